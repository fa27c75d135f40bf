// The test build's check of the port's one owner (see portcheck.h).
#include "serial/portcheck.h"
#include <cstdio>
#include <cstring>

#ifdef KELVO_PORT_CHECK

static SRWLOCK lockCheck = SRWLOCK_INIT;  // guards everything below
static HANDLE hSessionPort;               // the running session's handle, or NULL
static DWORD dwSessionOwner;              // the thread that owns it
static HANDLE hCountedPort;               // the last session's handle, until an open gives its value again
static int cCloses;                       // the closes of hCountedPort
static char szFindings[512];              // what was seen, one line per kind
static char szReported[sizeof szFindings];

// Appends a line to the findings, once.
static void Record(const char *pszLine)
{
    AcquireSRWLockExclusive(&lockCheck);
    if (!strstr(szFindings, pszLine))
        strncat(szFindings, pszLine, sizeof szFindings - strlen(szFindings) - 1);
    ReleaseSRWLockExclusive(&lockCheck);
}

void PortCheckBegin(HANDLE hPort, DWORD dwOwner)
{
    AcquireSRWLockExclusive(&lockCheck);
    hSessionPort = hPort;
    dwSessionOwner = dwOwner;
    hCountedPort = hPort;
    cCloses = 0;
    ReleaseSRWLockExclusive(&lockCheck);
}

void PortCheckEnd(HANDLE hPort)
{
    AcquireSRWLockExclusive(&lockCheck);
    if (hSessionPort == hPort)
        hSessionPort = NULL;
    ReleaseSRWLockExclusive(&lockCheck);
}

void PortCheckCall(HANDLE h, const char *pszWhat)
{
    AcquireSRWLockExclusive(&lockCheck);
    bool fForeign = h && h != INVALID_HANDLE_VALUE && h == hSessionPort && GetCurrentThreadId() != dwSessionOwner;
    bool fClosedTwice = h && h == hCountedPort && !strcmp(pszWhat, "CloseHandle") && ++cCloses > 1;
    ReleaseSRWLockExclusive(&lockCheck);
    char szLine[96];
    if (fForeign) {
        snprintf(szLine, sizeof szLine, "%s on the session's port from a thread other than its owner\n", pszWhat);
        Record(szLine);
    }
    if (fClosedTwice)
        Record("CloseHandle on a session's port that was closed already\n");
}

HANDLE PortCheckOpen(const char *pszName, HANDLE h)
{
    AcquireSRWLockExclusive(&lockCheck);
    if (h == hCountedPort)
        hCountedPort = NULL;                // a new object with the closed port's value
    ReleaseSRWLockExclusive(&lockCheck);
    int nPort = 0;
    char szLine[96];
    if (sscanf(pszName, "COM%d", &nPort) == 1 && nPort >= 10) {
        snprintf(szLine, sizeof szLine, "%s opened by its bare name, which Windows knows only for COM1 to COM9\n", pszName);
        Record(szLine);
    }
    return h;
}

const char *PortCheckFindings(void)
{
    AcquireSRWLockExclusive(&lockCheck);
    memcpy(szReported, szFindings, sizeof szReported);
    szFindings[0] = '\0';
    ReleaseSRWLockExclusive(&lockCheck);
    return szReported;
}

#endif
