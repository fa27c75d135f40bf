// The download session: its start (the loaded file handed to the session,
// the port opened and handed over to a new watch thread) and the watch
// thread, which reads what the target sends, runs each byte through the
// protocol step and carries out the answers and effects it returns.
//
// Ownership (see also the record's comment in app/app.h): while the session
// runs, this thread is the only one that calls anything on the port; the
// window thread's requests (Settings while connected) are carried out here
// between two port calls, and a Disconnect is a cleared fConnected that
// this thread sees within one bounded read or write. The thread serves
// the file buffer that StartSession handed to the record and releases it
// as its very last step, once, whatever ended the session. It closes the
// port through CloseConnection, which takes the handle out of the record
// atomically, so a Disconnect running at the same time closes nothing twice.
// The window thread never frees the record before this thread has ended:
// CloseConnection and DestroyTTYInfo wait for the thread's handle.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include "download/download.h"
#include "core/core.h"
#include "serial/serial.h"
#include "terminal/terminal.h"
#include "serial/portcheck.h"

// Backs off after a read that the port refused while it still answers for
// its state: the next try waits a while, doubling up to a second, so a
// failing line costs no processor time.
const DWORD kFirstBackoffMs = 10;
static void BackOff(NPTTYINFO npTTYInfo, DWORD *pdwBackoff)
{
    WaitForSingleObject(npTTYInfo->hCloseEvent, *pdwBackoff);
    *pdwBackoff = std::min(*pdwBackoff * 2, (DWORD)1000);
}

// Formats a line of the watch thread's own and writes it into the terminal.
static void WriteLine(const char *pszFormat, ...)
{
    char szMsg[96];
    va_list args;
    va_start(args, pszFormat);
    int nLength = vsnprintf(szMsg, sizeof szMsg, pszFormat, args);
    va_end(args);
    if (nLength > 0)
        WriteTTYBlock(hTTYWnd, szMsg, std::min(nLength, (int)sizeof szMsg - 1));
}

// Ends the session from the watch thread, once the line that tells the user
// why is written; the thread closes the port on its way out.
static void EndSession(NPTTYINFO npTTYInfo)
{
    UpdateWindow(hTTYWnd);
    npTTYInfo->fConnected = FALSE;
}

// A device that went away (unplugged, switched off) fails every call on its
// handle, and the handle stays dead when it comes back: the session ends
// after one note, and the next Connect opens the port anew.
static void EndDeviceGone(NPTTYINFO npTTYInfo)
{
    if (!npTTYInfo->fConnected)
        return;
    WriteLine("\r\nThe device on COM%d went away. Connect again once it is back.\r\n", npTTYInfo->bPort);
    EndSession(npTTYInfo);
}

// Whether the port still answers for its state (filling *pComStat). One
// that does not has gone: its error is noted when fNote says so (it was not
// noted already), and the session ends.
static bool PortAnswers(NPTTYINFO npTTYInfo, COMSTAT *pComStat, bool fNote)
{
    DWORD dwErrorFlags = 0;
    if (ClearCommError(npTTYInfo->idComDev, &dwErrorFlags, pComStat))
        return true;
    if (fNote && npTTYInfo->fConnected)
        WriteCommNote(hTTYWnd, npTTYInfo, GetLastError());
    EndDeviceGone(npTTYInfo);
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
    if ((fDrain || *pdwBackoff > kFirstBackoffMs) && !PortAnswers(npTTYInfo, &comStat, true))
        return 0;
    int nLength = fDrain ? (int)std::min<DWORD>(std::max<DWORD>(comStat.cbInQue, 1), (DWORD)nMax) : 1;
    nLength = ReadCommBlockOf(hTTYWnd, npTTYInfo, abIn, nLength);
    // A read that brought nothing may mean a device that has gone (its reads
    // just end empty): asking for the port's state tells. A read refused by
    // a port that still answers is tried again after a while, so a failing
    // line costs no processor time.
    if (nLength == 0 && npTTYInfo->fConnected && !PortAnswers(npTTYInfo, &comStat, true))
        return 0;
    if (nLength < 0) {
        if (npTTYInfo->fConnected && PortAnswers(npTTYInfo, &comStat, false))
            BackOff(npTTYInfo, pdwBackoff);
        return 0;
    }
    if (nLength > 0)
        *pdwBackoff = kFirstBackoffMs;
    return nLength;
}

// A byte the target waits for that could not be sent ends the session: the
// target would wait for it for ever, and Kelvo for the target's answer.
static void EndUnsent(NPTTYINFO npTTYInfo, DWORD dwError)
{
    COMSTAT comStat;
    if (!npTTYInfo->fConnected || dwError == ERROR_OPERATION_ABORTED)
        return;                                 // the session is being closed
    if (dwError == ERROR_TIMEOUT)
        WriteLine("\r\nThe target held the line (XOFF) for %lu s: download stopped.\r\n",
                  (unsigned long)(gdwWriteGiveUpMs / 1000));
    else if (!PortAnswers(npTTYInfo, &comStat, false))
        return;                                 // the device has gone: said and ended there
    else
        WriteLine("\r\nA byte could not be sent (error %lu): download stopped.\r\n", (unsigned long)dwError);
    EndSession(npTTYInfo);
}

// Carries out what the protocol step asked for, in order.
static void CarryOut(NPTTYINFO npTTYInfo, const DLSTEP *pStep)
{
    for (int i = 0; i < pStep->nEffects; i++) {
        const DLEFFECT &e = pStep->aEffect[i];
        switch (e.kind) {
        case DLE_SEND: {
            BYTE b = (BYTE)e.value;
            if (!WriteCommBytes(hTTYWnd, npTTYInfo, &b, 1))
                EndUnsent(npTTYInfo, GetLastError());
            break;
        }
        case DLE_PROGRESS:
            WriteLine("\rUART downloading...%3d%%", (int)e.value);
            break;
        case DLE_COMPLETE:
            WriteLine("\rUART downloading...%3d%%\r\n\r\n", 100);
            WriteLine("Complete!!!\r\n");
            EndSession(npTTYInfo);
            break;
        case DLE_BLOCK:
        case DLE_REFUSED:
            break;
        }
    }
}

// The thread's last steps, in this order, whatever ended the session. A
// thread that never began serving leaves the file to StartSession, which
// gives it back: the user's file stays loaded when a connection fails.
static DWORD EndWatchThread(NPTTYINFO npTTYInfo, DWORD dwExitCode)
{
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

    // A port that refuses its event mask cannot be served: the connection
    // ends rather than stays open with nothing behind it.
    if (!SetCommMask(npTTYInfo->idComDev, EV_RXCHAR)) {
        npTTYInfo->fConnected = FALSE;
        return EndWatchThread(npTTYInfo, 0);
    }

    SetEvent(npTTYInfo->hReplyEvent);           // StartSession may report the connection open
    const unsigned char *pbFile = (const unsigned char *)npTTYInfo->pbConnBuf;
    const DWORD dwFileLength = npTTYInfo->dwConnLength;
    char abIn[81];
    DWORD dwBackoff = kFirstBackoffMs;
    bool fDrain = false;
    while (npTTYInfo->fConnected) {
        ServePortRequests(npTTYInfo);
        int nLength = ReadInput(npTTYInfo, abIn, 80, fDrain, &dwBackoff);
        fDrain = false;
        for (int iCnt = 0; iCnt < nLength && npTTYInfo->fConnected; iCnt++) {
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
    return EndWatchThread(npTTYInfo, 1);
}

// Opens the port and starts the watch thread on the loaded file; every way
// out leaves the port closed or handed over to the thread.
static BOOL OpenAndStart(HWND hWnd, NPTTYINFO npTTYInfo)
{
    if (!OpenConnection(hWnd))
        return FALSE;

    // The connection takes over the loaded file; its watch thread releases it.
    npTTYInfo->pbConnBuf = TakeLoadedFile(&npTTYInfo->dwConnLength);
    ResetEvent(npTTYInfo->hCloseEvent);
    npTTYInfo->lPortRequest = 0;
    npTTYInfo->fConnected = TRUE;
    // Created suspended so that its id is in the record before it can end.
    DWORD dwThreadID = 0;
    HANDLE hThread = CreateThread(NULL, 0, CommWatchProc, npTTYInfo, CREATE_SUSPENDED, &dwThreadID);
    if (!hThread) {
        npTTYInfo->fConnected = FALSE;
        ReturnLoadedFile(npTTYInfo->pbConnBuf, npTTYInfo->dwConnLength);
        npTTYInfo->pbConnBuf = NULL;
        DiscardPort(npTTYInfo);
        return FALSE;
    }
    HandPortOver(hWnd, npTTYInfo, hThread, dwThreadID);
    ResetEvent(npTTYInfo->hReplyEvent);
    ResumeThread(hThread);
    // The connection counts as open only once its thread serves it: one that
    // cannot begin (no event, no event mask) ends at once, having closed the
    // connection, and Connect then tells the user instead of "waiting...".
    if (WaitForWatchThread(hWnd, npTTYInfo, hThread, npTTYInfo->hReplyEvent) != 1) {
        ReapWatchThread(hWnd, npTTYInfo);
        ReturnLoadedFile(npTTYInfo->pbConnBuf, npTTYInfo->dwConnLength);
        npTTYInfo->pbConnBuf = NULL;
        return FALSE;
    }
    // A caret of an earlier session may be gone without the record knowing
    // (the file dialog's edit box took this thread's one caret): make one.
    npTTYInfo->wCursorState = CURSOR_HIDDEN;
    SetTTYFocus(hWnd);
    return TRUE;
}

BOOL StartSession(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    HCURSOR hOldCursor = SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_WAIT));
    BOOL fOk = OpenAndStart(hWnd, npTTYInfo);
    SetCursor(hOldCursor);
    return fOk;
}
