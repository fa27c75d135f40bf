// Connection lifecycle: open and configure the port, hand it over to the
// thread that owns it while a session runs, and close it all down again.
#include <cstdio>
#include "serial/serial.h"
#include "terminal/terminal.h"
#include "serial/portcheck.h"

HANDLE OpenCommPort(HWND hWnd, BYTE bPort)
{
    // The device namespace form \\.\COMn: a bare COMn names a device only
    // for COM1 to COM9, and COM10 and above would never open.
    char szTemp[10], szPort[20];
    HINSTANCE hInstance = (HINSTANCE)GetWindowLongPtrA(hWnd, GWLP_HINSTANCE);
    if (!LoadStringA(hInstance, IDS_COMPREFIX, szTemp, sizeof szTemp))
        lstrcpynA(szTemp, "COM", sizeof szTemp);
    snprintf(szPort, sizeof szPort, "\\\\.\\%s%d", szTemp, bPort);
    return CreateFileA(szPort, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

DWORD WriteTimeoutMultiplier(DWORD dwBaudRate)
{
    return dwBaudRate ? 19200 / dwBaudRate : 0;
}

// Takes the port handle out of the record. Whoever gets a live handle closes
// it; everyone after that gets INVALID_HANDLE_VALUE.
static HANDLE TakePortHandle(NPTTYINFO npTTYInfo)
{
    return (HANDLE)InterlockedExchangePointer((PVOID volatile *)&npTTYInfo->idComDev,
                                              INVALID_HANDLE_VALUE);
}

static void SetConnectedMenu(HWND hWnd, BOOL fConnected)
{
    HMENU hMenu = GetMenu(hWnd);
    if (fConnected) {
        EnableMenuItem(hMenu, IDM_DISCONNECT, MF_ENABLED | MF_BYCOMMAND);
        EnableMenuItem(hMenu, IDM_CONNECT, MF_GRAYED | MF_DISABLED | MF_BYCOMMAND);
    } else {
        EnableMenuItem(hMenu, IDM_DISCONNECT, MF_GRAYED | MF_DISABLED | MF_BYCOMMAND);
        EnableMenuItem(hMenu, IDM_CONNECT, MF_ENABLED | MF_BYCOMMAND);
    }
}

// Waits until the watch thread hThread has ended, or hEvent (when given) is
// set: 0 for the thread, 1 for the event. The thread may need this thread
// to paint (UpdateWindow) on its way out, so messages sent to our windows
// are handled meanwhile; the window procedure holds back a close and
// refuses commands that arrive then (fWaitingForThread), and a close held
// back is carried out once the wait is over. Any failure of the wait ends
// it. The thread's own waits are bounded (a read by READ_BOUND_MS), so it
// ends soon after fConnected is cleared.
int WaitForWatchThread(HWND hWnd, NPTTYINFO npTTYInfo, HANDLE hThread, HANDLE hEvent)
{
    HANDLE ahWait[2] = {hThread, hEvent};
    const DWORD nWait = hEvent ? 2 : 1;
    DWORD dwWait;
    npTTYInfo->fWaitingForThread = TRUE;
    while ((dwWait = MsgWaitForMultipleObjects(nWait, ahWait, FALSE, INFINITE, QS_SENDMESSAGE)) == WAIT_OBJECT_0 + nWait) {
        MSG msg;
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    npTTYInfo->fWaitingForThread = FALSE;
    if (npTTYInfo->fCloseDeferred) {
        npTTYInfo->fCloseDeferred = FALSE;
        PostMessageA(hWnd, WM_CLOSE, 0, 0);
    }
    return dwWait == WAIT_OBJECT_0 + 1 ? 1 : 0;
}

void ReapWatchThread(HWND hWnd, NPTTYINFO npTTYInfo)
{
    HANDLE hThread = npTTYInfo->hThreadHandle;
    if (!hThread || npTTYInfo->dwWatchThreadId == GetCurrentThreadId())
        return;
    WaitForWatchThread(hWnd, npTTYInfo, hThread, NULL);
    CloseHandle(hThread);
    npTTYInfo->hThreadHandle = NULL;
}

// Writes the record's line settings into the port. Only the port's owner
// calls it: the thread that opens it before the session starts, then the
// watch thread.
static BOOL ApplyLineSettings(NPTTYINFO npTTYInfo)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(npTTYInfo->idComDev, &dcb);

    const BYTE bFlow = npTTYInfo->bFlowCtrl;
    dcb.BaudRate = npTTYInfo->dwBaudRate;
    dcb.ByteSize = npTTYInfo->bByteSize;
    dcb.Parity = npTTYInfo->bParity;
    dcb.StopBits = npTTYInfo->bStopBits;
    dcb.fOutxDsrFlow = (bFlow & FC_DTRDSR) ? TRUE : FALSE;
    dcb.fDtrControl = (bFlow & FC_DTRDSR) ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = (bFlow & FC_RTSCTS) ? TRUE : FALSE;
    dcb.fRtsControl = (bFlow & FC_RTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fInX = dcb.fOutX = (bFlow & FC_XONXOFF) ? TRUE : FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    return SetCommState(npTTYInfo->idComDev, &dcb);
}

void ServePortRequests(NPTTYINFO npTTYInfo)
{
    if (!npTTYInfo->lPortRequest || GetCurrentThreadId() != npTTYInfo->dwWatchThreadId ||
        InterlockedExchange(&npTTYInfo->lPortRequest, 0) != PORT_REQUEST_SETUP)
        return;
    npTTYInfo->fRequestResult = ApplyLineSettings(npTTYInfo);
    SetEvent(npTTYInfo->hReplyEvent);
}

// While a session runs its port belongs to the watch thread: on Windows a
// call from another thread would wait behind the thread's read (the handle
// is not overlapped, so Windows serialises every request on it). Another
// thread asks, and waits with the window's messages handled; the watch
// thread carries the request out between two port calls. A session that
// ends meanwhile has no port left to set: that is not a failure.
BOOL SetupConnection(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    if (GetCurrentThreadId() == npTTYInfo->dwWatchThreadId || !npTTYInfo->hThreadHandle)
        return ApplyLineSettings(npTTYInfo);
    ResetEvent(npTTYInfo->hReplyEvent);
    npTTYInfo->fRequestResult = FALSE;
    InterlockedExchange(&npTTYInfo->lPortRequest, PORT_REQUEST_SETUP);
    BOOL fResult = WaitForWatchThread(hWnd, npTTYInfo, npTTYInfo->hThreadHandle, npTTYInfo->hReplyEvent) == 1
                       ? npTTYInfo->fRequestResult : TRUE;
    InterlockedExchange(&npTTYInfo->lPortRequest, 0);
    return fResult;
}

// Opens and sets up the port; every way out leaves no port open.
static BOOL OpenAndSetUp(HWND hWnd, NPTTYINFO npTTYInfo)
{
    // A baud rate of 0 (only a damaged saveinfo.cfg brings one) cannot be
    // set and would divide by zero below.
    if (npTTYInfo->dwBaudRate == 0)
        return FALSE;
    // One connection at a time: a second open would wait for ever on the
    // running watch thread and overwrite the open port's handle.
    if (npTTYInfo->fConnected)
        return FALSE;
    // The previous connection's watch thread may still be on its last steps.
    ReapWatchThread(hWnd, npTTYInfo);

    HANDLE hPort = OpenCommPort(hWnd, npTTYInfo->bPort);
    npTTYInfo->idComDev = hPort;                // owned by the record until taken
    if (hPort == INVALID_HANDLE_VALUE)
        return FALSE;

    SetCommMask(hPort, EV_RXCHAR);
    SetupComm(hPort, 4096, 4096);
    PurgeComm(hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // A read returns as soon as the bytes asked for are there, or after
    // READ_BOUND_MS with what came: the watch thread waits in its reads. A
    // write the target holds up returns after WRITE_BOUND_MS, and is tried
    // again (WriteCommBytes), so a Disconnect never waits for it.
    COMMTIMEOUTS cto;
    cto.ReadIntervalTimeout = MAXDWORD;
    cto.ReadTotalTimeoutMultiplier = MAXDWORD;
    cto.ReadTotalTimeoutConstant = READ_BOUND_MS;
    cto.WriteTotalTimeoutMultiplier = WriteTimeoutMultiplier(npTTYInfo->dwBaudRate);
    cto.WriteTotalTimeoutConstant = WRITE_BOUND_MS;
    SetCommTimeouts(hPort, &cto);

    if (!SetupConnection(hWnd)) {
        npTTYInfo->fConnected = FALSE;
        DiscardPort(npTTYInfo);
        return FALSE;
    }
    return TRUE;
}

BOOL OpenConnection(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    return OpenAndSetUp(hWnd, npTTYInfo);
}

void DiscardPort(NPTTYINFO npTTYInfo)
{
    CloseHandle(TakePortHandle(npTTYInfo));
}

void HandPortOver(HWND hWnd, NPTTYINFO npTTYInfo, HANDLE hThread, DWORD dwThreadID)
{
    npTTYInfo->dwThreadID = dwThreadID;
    npTTYInfo->hWatchThread = hThread;
    npTTYInfo->hThreadHandle = hThread;
    npTTYInfo->dwWatchThreadId = dwThreadID;

    // DTR and the menu are set before the thread runs: a thread that ends
    // at once (the device is gone) closes the port and sets the menu back
    // itself, and must not be followed by a DTR on a closed handle or a menu
    // that says "connected" for a connection that is over. From the thread's
    // start on, the port is the thread's alone.
    HANDLE hPort = npTTYInfo->idComDev;
    EscapeCommFunction(hPort, SETDTR);
    SetConnectedMenu(hWnd, TRUE);
    PortCheckBegin(hPort, dwThreadID);
}

BOOL CloseConnection(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;

    // The watch thread sees the cleared flag within one bounded read or
    // write, and closes the port itself on its way out: nothing here touches
    // the port while the thread may still use it.
    npTTYInfo->fConnected = FALSE;
    SetEvent(npTTYInfo->hCloseEvent);            // releases the watch thread's waits

    // Wait for the whole end of the watch thread (not just its clearing of
    // dwThreadID), so the port and the record are not pulled from under its
    // last steps. The watch thread itself, closing at its end, does not wait.
    ReapWatchThread(hWnd, npTTYInfo);

    KillTTYFocus(hWnd);
    HANDLE hPort = TakePortHandle(npTTYInfo);
    if (hPort != INVALID_HANDLE_VALUE) {
        EscapeCommFunction(hPort, CLRDTR);
        // Purge before closing so a half-sent byte cannot reach the next session.
        PurgeComm(hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        PortCheckEnd(hPort);
        CloseHandle(hPort);
    }
    SetConnectedMenu(hWnd, FALSE);
    return TRUE;
}
