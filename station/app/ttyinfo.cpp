// The session record: creation with the saved settings and the start-up
// probe, and teardown.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include "app/app.h"
#include "terminal/terminal.h"
#include "serial/serial.h"

const char gszBanner[] = "Kelvo serial download station - Ctrl+C connects, Ctrl+S sets the port\r\n";

// Where saveinfo.cfg lives; only FixSaveInfoPath writes it.
static char szSaveInfoPath[MAX_PATH + 16] = "saveinfo.cfg";

// A message box of Kelvo's own: its name as the title, an exclamation mark.
void KelvoMessage(HWND hWnd, const char *pszText)
{
    MessageBoxA(hWnd, pszText, gszAppName, MB_OK | MB_ICONEXCLAMATION);
}

int TTYPrintf(HWND hWnd, const char *pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    int nLength = vsnprintf((char *)gszDebug, sizeof gszDebug, pszFormat, args);
    va_end(args);
    if (nLength < 0)
        return 0;
    if (nLength >= (int)sizeof gszDebug)        // cut to what the buffer holds
        nLength = (int)sizeof gszDebug - 1;
    WriteTTYBlock(hWnd, (LPSTR)gszDebug, nLength);
    return nLength;
}

const char *SaveInfoPath(void)
{
    return szSaveInfoPath;
}

// Takes the working folder of now as saveinfo.cfg's folder for the rest of
// the run. Without a usable folder name the plain name is kept.
static void FixSaveInfoPath(void)
{
    char szDir[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof szDir, szDir);
    if (n == 0 || n >= sizeof szDir) {
        lstrcpynA(szSaveInfoPath, "saveinfo.cfg", sizeof szSaveInfoPath);
        return;
    }
    snprintf(szSaveInfoPath, sizeof szSaveInfoPath, "%s%ssaveinfo.cfg", szDir,
             szDir[n - 1] == '\\' ? "" : "\\");
}

BOOL WriteSaveInfo(const SAVEINFO *psi)
{
    FILE *fp = fopen(szSaveInfoPath, "wb+");
    if (!fp)
        return FALSE;
    size_t nWritten = fwrite(psi, sizeof *psi, 1, fp);
    // A full disk shows only when the buffered bytes go out, at the close.
    return (fclose(fp) == 0 && nWritten == 1) ? TRUE : FALSE;
}

// Reads saveinfo.cfg from the working folder, whose full name it fixes for
// the run. A missing file is created with the defaults; a file too short to
// hold the whole record gives the defaults too (and is left as it is). The
// values are taken as they are: the settings dialog and Connect deal with a
// port or a rate they do not offer.
static void LoadSaveInfo(SAVEINFO *psi)
{
    FixSaveInfoPath();
    SAVEINFO si = {};
    FILE *fp = fopen(szSaveInfoPath, "rb");
    if (fp) {
        size_t nRead = fread(&si, sizeof si, 1, fp);
        fclose(fp);
        if (nRead != 1) {
            si.bPort = 2;
            si.dwBaudRate = 115200;
        }
    } else {
        si.bPort = 2;
        si.dwBaudRate = 115200;
        WriteSaveInfo(&si);     // a folder that takes no file just has none
    }
    *psi = si;
}

static void SetDefaultFont(LOGFONTA *plf)
{
    memset(plf, 0, sizeof *plf);
    plf->lfHeight = 17;
    plf->lfCharSet = OEM_CHARSET;
    plf->lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    lstrcpynA(plf->lfFaceName, "FixedSys", LF_FACESIZE);
}

// Opens the saved port once and closes it again, so the user learns at
// start-up when it is absent or held by another program.
static void ProbeSavedPort(HWND hWnd, NPTTYINFO npTTYInfo)
{
    HANDLE hPort = OpenCommPort(hWnd, npTTYInfo->bPort);
    npTTYInfo->idComDev = INVALID_HANDLE_VALUE;
    if (hPort != INVALID_HANDLE_VALUE) {
        CloseHandle(hPort);
        return;
    }
    // The record is not touched after the box: a close that arrives while
    // it is up destroys the window, and the record with it.
    snprintf((char *)gszDebug, sizeof gszDebug, "Can't open COM%d", npTTYInfo->bPort);
    KelvoMessage(hWnd, (const char *)gszDebug);
}

LRESULT CreateTTYInfo(HWND hWnd)
{
    NPTTYINFO npTTYInfo = (NPTTYINFO)LocalAlloc(LPTR, sizeof(TTYINFO));
    if (!npTTYInfo)
        return -1;

    SAVEINFO si;
    LoadSaveInfo(&si);

    npTTYInfo->idComDev = INVALID_HANDLE_VALUE;
    npTTYInfo->fConnected = FALSE;
    npTTYInfo->wCursorState = CURSOR_HIDDEN;
    npTTYInfo->fLocalEcho = FALSE;
    npTTYInfo->fAutoWrap = TRUE;
    npTTYInfo->bPort = si.bPort;
    npTTYInfo->dwBaudRate = si.dwBaudRate;
    npTTYInfo->bByteSize = 8;
    npTTYInfo->bFlowCtrl = FC_XONXOFF;
    npTTYInfo->bParity = NOPARITY;
    npTTYInfo->bStopBits = ONESTOPBIT;
    npTTYInfo->fXonXoff = FALSE;
    npTTYInfo->fUseCNReceive = TRUE;
    npTTYInfo->fDisplayErrors = TRUE;
    npTTYInfo->hTermWnd = hWnd;

    npTTYInfo->osRead.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!npTTYInfo->osRead.hEvent) {
        LocalFree(npTTYInfo);
        return -1;
    }
    npTTYInfo->osWrite.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!npTTYInfo->osWrite.hEvent) {
        CloseHandle(npTTYInfo->osRead.hEvent);
        LocalFree(npTTYInfo);
        return -1;
    }
    npTTYInfo->hCloseEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    npTTYInfo->hReplyEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!npTTYInfo->hCloseEvent || !npTTYInfo->hReplyEvent) {
        if (npTTYInfo->hCloseEvent)
            CloseHandle(npTTYInfo->hCloseEvent);
        CloseHandle(npTTYInfo->osWrite.hEvent);
        CloseHandle(npTTYInfo->osRead.hEvent);
        LocalFree(npTTYInfo);
        return -1;
    }
    InitializeCriticalSection(&npTTYInfo->csScreen);
    InitializeCriticalSection(&npTTYInfo->csWrite);

    memset(npTTYInfo->abScreen, ' ', TTY_CELLS);
    SetDefaultFont(&npTTYInfo->lfTTYFont);

    SetWindowLongPtrA(hWnd, GWL_NPTTYINFO, (LONG_PTR)npTTYInfo);
    ResetTTYScreen(hWnd, npTTYInfo);

    TTYPrintf(hWnd, "%s", gszBanner);
    UpdateWindow(hWnd);

    HMENU hMenu = GetMenu(hWnd);
    EnableMenuItem(hMenu, IDM_DISCONNECT, MF_GRAYED | MF_DISABLED | MF_BYCOMMAND);
    EnableMenuItem(hMenu, IDM_CONNECT, MF_ENABLED | MF_BYCOMMAND);

    ProbeSavedPort(hWnd, npTTYInfo);
    return TRUE;
}

BOOL DestroyTTYInfo(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;

    if (npTTYInfo->fConnected)
        CloseConnection(hWnd);
    // A watch thread that ended the download by itself may still be running
    // its last steps: the record must outlive them.
    ReapWatchThread(hWnd, npTTYInfo);

    CloseHandle(npTTYInfo->osRead.hEvent);
    CloseHandle(npTTYInfo->osWrite.hEvent);
    if (npTTYInfo->hPostEvent)
        CloseHandle(npTTYInfo->hPostEvent);
    CloseHandle(npTTYInfo->hCloseEvent);
    CloseHandle(npTTYInfo->hReplyEvent);
    DeleteObject(npTTYInfo->hTTYFont);
    DeleteCriticalSection(&npTTYInfo->csWrite);
    DeleteCriticalSection(&npTTYInfo->csScreen);

    SetWindowLongPtrA(hWnd, GWL_NPTTYINFO, 0);
    LocalFree(npTTYInfo);
    return TRUE;
}
