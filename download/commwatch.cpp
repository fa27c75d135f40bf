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

// Backs off after a read that failed or ended at once without a byte (a
// device that vanished fails every call immediately): the next try waits a
// while, doubling up to a second, so a dead line costs no processor time.
static void BackOff(NPTTYINFO npTTYInfo, DWORD *pdwBackoff)
{
    WaitForSingleObject(npTTYInfo->hCloseEvent, *pdwBackoff);
    *pdwBackoff = std::min(*pdwBackoff * 2, (DWORD)1000);
}

// Waits until the target sends something or the connection closes, and
// returns the number of bytes placed in abIn.
//
// The wait is a pending one-byte read: it completes as soon as a byte
// arrives, the close event releases it, and an idle session costs no
// processor time. Polling the queue instead (even for a few milliseconds
// after the last byte) made downloads slower, not faster: each look at the
// queue is a request to the system, and a polling thread keeps a core busy
// that the target's side and the painting of the progress need.
static int WaitForInput(NPTTYINFO npTTYInfo, OVERLAPPED *pos, char *abIn, int nMax, DWORD *pdwBackoff)
{
    DWORD dwRead = 0;
    DWORD dwIssued = GetTickCount();
    HANDLE hPort = npTTYInfo->idComDev;
    if (!ReadFile(hPort, abIn, 1, &dwRead, pos)) {
        DWORD dwError = GetLastError();
        if (dwError != ERROR_IO_PENDING) {
            WriteCommNote(hTTYWnd, npTTYInfo, dwError);
            BackOff(npTTYInfo, pdwBackoff);
            return 0;
        }
        HANDLE ahWait[2] = {pos->hEvent, npTTYInfo->hCloseEvent};
        if (WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) != WAIT_OBJECT_0)
            CancelIoEx(hPort, pos);
        if (!GetOverlappedResult(hPort, pos, &dwRead, TRUE)) {
            DWORD dwError2 = GetLastError();
            if (dwError2 != ERROR_OPERATION_ABORTED || npTTYInfo->fConnected) {
                WriteCommNote(hTTYWnd, npTTYInfo, dwError2);
                BackOff(npTTYInfo, pdwBackoff);
            }
            return (int)dwRead;
        }
    }
    if (dwRead == 0) {
        // The read time-out ran out (48 s of silence), or the device ended
        // the read at once without data: only the latter needs a pause.
        if (GetTickCount() - dwIssued < 1000 && npTTYInfo->fConnected)
            BackOff(npTTYInfo, pdwBackoff);
        return 0;
    }
    *pdwBackoff = 10;
    return (int)dwRead + ReadCommBlockOf(hTTYWnd, npTTYInfo, abIn + dwRead, nMax - (int)dwRead);
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
    DWORD dwBackoff = 10;
    while (npTTYInfo->fConnected) {
        int nLength = ReadCommBlockOf(hTTYWnd, npTTYInfo, abIn, 80);
        if (nLength == 0)
            nLength = WaitForInput(npTTYInfo, &os, abIn, 80, &dwBackoff);
        LONG lScreenGen = npTTYInfo->lScreenGen;
        for (int iCnt = 0; iCnt < nLength; iCnt++) {
            DLSTEP step;
            DlStepByte(&state, pbFile, dwFileLength, (unsigned char)abIn[iCnt], &step);
            CarryOut(npTTYInfo, &step);
        }
        // Show what this pass wrote (progress, completion, error notes). A
        // pass that wrote nothing has nothing to show, and under
        // stop-and-wait that is almost every pass: the call costs a round
        // trip to the window's thread per byte.
        if (npTTYInfo->lScreenGen != lScreenGen)
            UpdateWindow(hTTYWnd);
    }
    return EndWatchThread(npTTYInfo, os.hEvent, 1);
}
