// The port watch thread: reads what the target sends, runs each byte through
// the protocol step and carries out the answers and effects it returns.
//
// Ownership (see also the record's comment in app/app.h): the thread serves
// the file buffer that OpenConnection handed to the record and releases it
// as its very last step, once, whatever ended the session. It closes the
// port through CloseConnection, which takes the handle out of the record
// atomically, so a Disconnect running at the same time closes nothing twice.
// The window thread never frees the record before this thread has ended:
// CloseConnection and DestroyTTYInfo wait for the thread's handle.
#include <algorithm>
#include <cstdio>
#include "download/download.h"
#include "download/protocol.h"
#include "serial/serial.h"
#include "terminal/terminal.h"

HANDLE (WINAPI *pfnCreateWatchEvent)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR) = CreateEventA;

// Backs off after a read that failed or found the line dead (a device that
// vanished fails every call): the next try waits a while, doubling up to a
// second, so a dead line costs no processor time.
const DWORD kFirstBackoffMs = 10;
static void BackOff(NPTTYINFO npTTYInfo, DWORD *pdwBackoff)
{
    WaitForSingleObject(npTTYInfo->hCloseEvent, *pdwBackoff);
    *pdwBackoff = std::min(*pdwBackoff * 2, (DWORD)1000);
}

// Whether the port still answers for its state (filling *pComStat); one
// that does not (a device that has gone) is noted like any failure.
static bool PortAnswers(NPTTYINFO npTTYInfo, COMSTAT *pComStat)
{
    DWORD dwErrorFlags = 0;
    if (ClearCommError(npTTYInfo->idComDev, &dwErrorFlags, pComStat))
        return true;
    WriteCommNote(hTTYWnd, npTTYInfo, GetLastError());
    return false;
}

// Reads what the target sends next into abIn and returns the count; 0 when
// nothing came within the port's read bound (or the connection closed).
//
// Under stop-and-wait the target sends one byte and waits for the answer,
// so one byte is read at a time: a synchronous read of one byte returns the
// moment it arrives, the fastest turnaround Wine allows. A byte that drew no
// answer may be part of more (noise, a flood, a request sent whole), so the
// queue is then taken as it is, up to nMax bytes.
static int ReadInput(NPTTYINFO npTTYInfo, char *abIn, int nMax, bool fDrain, DWORD *pdwBackoff)
{
    // The port's state is asked for before a read that takes the queue, and
    // before a line found dead is read again: under Wine a read of a line
    // that has hung up spins through its whole bound.
    COMSTAT comStat = {};
    if ((fDrain || *pdwBackoff > kFirstBackoffMs) && !PortAnswers(npTTYInfo, &comStat)) {
        BackOff(npTTYInfo, pdwBackoff);
        return 0;
    }
    int nLength = fDrain ? (int)std::min<DWORD>(std::max<DWORD>(comStat.cbInQue, 1), (DWORD)nMax) : 1;
    nLength = ReadCommBlockOf(hTTYWnd, npTTYInfo, abIn, nLength);
    // A read that brought nothing may mean a device that has gone (its reads
    // just end empty): asking for the port's state tells. A dead line is then
    // tried again only after a while, so it costs no processor time.
    if (nLength == 0 && npTTYInfo->fConnected && !PortAnswers(npTTYInfo, &comStat))
        nLength = -1;
    if (nLength < 0) {
        if (npTTYInfo->fConnected)
            BackOff(npTTYInfo, pdwBackoff);
        return 0;
    }
    if (nLength > 0)
        *pdwBackoff = kFirstBackoffMs;
    return nLength;
}

// Formats one line of the download's progress (pszFormat takes the figure,
// or ignores it) and writes it into the terminal.
static void WriteProgress(const char *pszFormat, int iPercent)
{
    char szMsg[80];
    int nLength = snprintf(szMsg, sizeof szMsg, pszFormat, iPercent);
    if (nLength > 0)
        WriteTTYBlock(hTTYWnd, szMsg, nLength < (int)sizeof szMsg ? nLength : (int)sizeof szMsg - 1);
}

// Carries out what the protocol step asked for, in order.
static void CarryOut(NPTTYINFO npTTYInfo, const DLSTEP *pStep)
{
    for (int i = 0; i < pStep->nEffects; i++) {
        const DLEFFECT &e = pStep->aEffect[i];
        switch (e.kind) {
        case DLE_SEND: {
            BYTE b = (BYTE)e.value;
            WriteCommBytes(hTTYWnd, npTTYInfo, &b, 1);
            break;
        }
        case DLE_PROGRESS:
            WriteProgress("\rUART downloading...%3d%%", (int)e.value);
            break;
        case DLE_COMPLETE:
            WriteProgress("\rUART downloading...%3d%%\r\n\r\n", 100);
            WriteProgress("Complete!!!\r\n", 0);
            UpdateWindow(hTTYWnd);
            npTTYInfo->fConnected = FALSE;
            break;
        case DLE_BLOCK:
        case DLE_REFUSED:
            break;
        }
    }
}

// The thread's last steps, in this order, whatever ended the session. A
// thread that never began serving leaves the file to OpenConnection, which
// gives it back: the user's file stays loaded when a connection fails.
static DWORD EndWatchThread(NPTTYINFO npTTYInfo, HANDLE hEvent, DWORD dwExitCode)
{
    if (hEvent)
        CloseHandle(hEvent);
    npTTYInfo->dwThreadID = 0;
    npTTYInfo->hWatchThread = NULL;
    KillTTYFocus(hTTYWnd);
    CloseConnection(hTTYWnd);
    if (dwExitCode == 0)
        return dwExitCode;
    char *pBuf = npTTYInfo->pbConnBuf;
    npTTYInfo->pbConnBuf = NULL;
    npTTYInfo->dwConnLength = 0;
    FreeLoadedFile(pBuf);
    return dwExitCode;
}

DWORD WINAPI CommWatchProc(LPVOID lpData)
{
    NPTTYINFO npTTYInfo = (NPTTYINFO)lpData;
    DLSTATE state;
    DlInit(&state);
    OVERLAPPED os = {};

    os.hEvent = pfnCreateWatchEvent(NULL, TRUE, FALSE, NULL);
    if (!os.hEvent) {
        MessageBoxA(NULL, "Failed to create event for thread!", gszAppName, MB_OK | MB_ICONEXCLAMATION);
        // Nothing serves this connection: end it rather than leave it open.
        npTTYInfo->fConnected = FALSE;
        return EndWatchThread(npTTYInfo, NULL, 0);
    }
    if (!SetCommMask(npTTYInfo->idComDev, EV_RXCHAR)) {
        npTTYInfo->fConnected = FALSE;
        return EndWatchThread(npTTYInfo, os.hEvent, 0);
    }

    SetEvent(npTTYInfo->hStartEvent);           // OpenConnection may report the connection open
    const unsigned char *pbFile = (const unsigned char *)npTTYInfo->pbConnBuf;
    const DWORD dwFileLength = npTTYInfo->dwConnLength;
    char abIn[81];
    DWORD dwBackoff = kFirstBackoffMs;
    bool fDrain = false;
    while (npTTYInfo->fConnected) {
        int nLength = ReadInput(npTTYInfo, abIn, 80, fDrain, &dwBackoff);
        fDrain = false;
        for (int iCnt = 0; iCnt < nLength; iCnt++) {
            DLSTEP step;
            DlStepByte(&state, pbFile, dwFileLength, (unsigned char)abIn[iCnt], &step);
            fDrain |= step.nEffects == 0;
            CarryOut(npTTYInfo, &step);
        }
        // What a pass writes into the terminal (progress, error notes) is
        // painted by the window's thread as soon as it is free: waiting here
        // for that paint (UpdateWindow) would hold the target's next answer
        // up by a round trip to the window's thread. The completion is
        // painted at once (CarryOut).
    }
    return EndWatchThread(npTTYInfo, os.hEvent, 1);
}
