// Entry, window class, main window and its menu commands.
#include <cstdarg>
#include <cstdio>
#include "app/app.h"
#include "terminal/terminal.h"
#include "serial/serial.h"
#include "download/download.h"
#include "settings/settings.h"

HWND   hTTYWnd;
HACCEL ghAccel;
char   gszTTYClass[14] = "KelvoWndClass";
char   gszAppName[6] = "Kelvo";
unsigned char gszDebug[80];

// The chosen download file: its full path and its bare name. They keep their
// content between commands, so the next file dialog starts with the last choice.
static char szFileName[260];
static char szTitleName[512];

BOOL InitApplication(HINSTANCE hInstance)
{
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = TTYWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = sizeof(NPTTYINFO);
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_KELVO));
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDM_MAINMENU);
    wc.lpszClassName = gszTTYClass;
    return RegisterClassA(&wc) != 0;
}

HWND InitInstance(HINSTANCE hInstance, int nCmdShow)
{
    ghAccel = LoadAcceleratorsA(hInstance, MAKEINTRESOURCEA(IDA_ACCEL));
    HWND hWnd = CreateWindowExA(0, gszTTYClass, gszAppName,
                                WS_OVERLAPPEDWINDOW | WS_VSCROLL | WS_HSCROLL | WS_VISIBLE,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                NULL, NULL, hInstance, NULL);
    if (!hWnd)
        return NULL;
    ShowWindow(hWnd, nCmdShow);
    UpdateWindow(hWnd);
    return hWnd;
}

int RunMessageLoop(void)
{
    MSG msg = {};
    while (GetMessageA(&msg, NULL, 0, 0)) {
        if (!TranslateAcceleratorA(hTTYWnd, ghAccel, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return (int)msg.wParam;
}

int WINAPI KelvoMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR, int nCmdShow)
{
    if (!hPrevInstance && !InitApplication(hInstance))
        return 0;
    hTTYWnd = InitInstance(hInstance, nCmdShow);
    if (!hTTYWnd)
        return 0;
    return RunMessageLoop();
}

// Connect: choose a file, load it, open the port and report the session.
static void CmdConnect(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    // The menu grays Connect while a connection is open; a command that
    // arrives anyway (posted by another program) must not load a file under
    // a running download.
    if (!npTTYInfo || npTTYInfo->fConnected)
        return;
    // A rate no list offers (from a damaged or hand-edited saveinfo.cfg)
    // is refused before a file is asked for or the port is opened: the
    // user sets one in Settings.
    if (!IsOfferedBaudRate(npTTYInfo->dwBaudRate)) {
        snprintf((char *)gszDebug, sizeof gszDebug, "The baud rate %lu is not supported. Choose one in Settings.",
                 (unsigned long)npTTYInfo->dwBaudRate);
        KelvoMessage(hWnd, (const char *)gszDebug);
        return;
    }
    if (!PopFileOpenDlg(hWnd, szFileName, szTitleName))
        return;
    // The dialog ran a message loop of its own: a close that arrived
    // meanwhile has destroyed the window and its record.
    npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return;
    if (!QelFileRead(szFileName)) {
        KelvoMessage(hWnd, "This file is not DLF format.");
        return;
    }
    if (!StartSession(hWnd)) {
        snprintf((char *)gszDebug, sizeof gszDebug, "COM%d is not available.", npTTYInfo->bPort);
        KelvoMessage(hWnd, (const char *)gszDebug);
        return;
    }
    TTYPrintf(hWnd, "\r\n");
    TTYPrintf(hWnd, "Port:       COM%d\r\n", npTTYInfo->bPort);
    TTYPrintf(hWnd, "Baudrate:   %lu\r\n", (unsigned long)npTTYInfo->dwBaudRate);
    // A long name is cut so that the line still ends with its line break.
    TTYPrintf(hWnd, "File:       %.*s\r\n", (int)(sizeof gszDebug - 15), szTitleName);
    TTYPrintf(hWnd, "\r\nwaiting...\r\n\n");
    UpdateWindow(hWnd);
}

// Disconnect: break off the session and forget the file.
static void CmdDisconnect(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo || !npTTYInfo->fConnected)
        return;
    TTYPrintf(hWnd, "\r\nUser break.\r\n\n");
    UpdateWindow(hWnd);
    KillTTYFocus(hWnd);
    CloseConnection(hWnd);
    szFileName[0] = '\0';
    szTitleName[0] = '\0';
    // The file buffer belonged to the connection; its watch thread has
    // released it as its last step (CloseConnection waited for that).
}

static void CmdSettings(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return;
    HINSTANCE hInstance = (HINSTANCE)GetWindowLongPtrA(hWnd, GWLP_HINSTANCE);
    GoModalDialogBoxParam(hInstance, MAKEINTRESOURCEA(IDD_SETTINGS), hWnd,
                          SettingsDlgProc, (LPARAM)npTTYInfo);
    npTTYInfo = GETNPTTYINFO(hWnd);               // gone if the window was closed meanwhile
    if (npTTYInfo && npTTYInfo->fConnected && !SetupConnection(hWnd))
        KelvoMessage(hWnd, "Settings failed!");
}

static void CmdAbout(HWND hWnd)
{
    HINSTANCE hInstance = (HINSTANCE)GetWindowLongPtrA(hWnd, GWLP_HINSTANCE);
    GoModalDialogBoxParam(hInstance, MAKEINTRESOURCEA(IDD_ABOUT), hWnd, AboutDlgProc, 0);
}

static void OnCommand(HWND hWnd, WORD wId)
{
    switch (wId) {
    case IDM_CONNECT:    CmdConnect(hWnd); break;
    case IDM_DISCONNECT: CmdDisconnect(hWnd); break;
    case IDM_EXIT:       PostMessageA(hWnd, WM_CLOSE, 0, 0); break;
    case IDM_SETTINGS:   CmdSettings(hWnd); break;
    case IDM_ABOUT:      CmdAbout(hWnd); break;
    default:             break;
    }
}

LRESULT CALLBACK TTYWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    // While the window thread waits for the watch thread it handles the
    // messages other threads and programs send. A close or a command among
    // them would pull the record or the port from under that wait: the
    // close is carried out when the wait is over, commands are refused.
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (npTTYInfo && npTTYInfo->fWaitingForThread && (uMsg == WM_CLOSE || uMsg == WM_COMMAND)) {
        npTTYInfo->fCloseDeferred |= uMsg == WM_CLOSE;
        return 0;
    }
    switch (uMsg) {
    case WM_CREATE:
        PopFileInitialize(hWnd);
        return CreateTTYInfo(hWnd);
    case WM_DESTROY:
        DestroyTTYInfo(hWnd);
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        SizeTTY(hWnd, HIWORD(lParam), LOWORD(lParam));
        return 0;
    case WM_SETFOCUS:
        SetTTYFocus(hWnd);
        return 0;
    case WM_KILLFOCUS:
        KillTTYFocus(hWnd);
        return 0;
    case WM_PAINT:
        PaintTTY(hWnd);
        return 0;
    case WM_HSCROLL:
        ScrollTTYHorz(hWnd, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_VSCROLL:
        ScrollTTYVert(hWnd, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_COMMAND:
        OnCommand(hWnd, LOWORD(wParam));
        return 0;
    default:
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
}
