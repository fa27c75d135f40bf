// The application shell: the session record, the shell's globals and the
// functions the other subsystems call back into.
#pragma once
#include <windows.h>
#include "res/resource.h"

#define TTY_ROWS     25
#define TTY_COLUMNS  80
#define TTY_CELLS    (TTY_ROWS * TTY_COLUMNS)

// The session record: one per main window, in the window's extra bytes at
// index 0. Fields up to osRead are the program's shared state, in this order;
// the fields after them are the locks and handles that make the two threads'
// work safe (see "Ownership" below).
//
// Ownership of what the two threads share:
// - fConnected: set by StartSession (window thread); cleared by
//   CloseConnection or by the watch thread on completion; the watch thread
//   reads it before every pass. Volatile 32-bit word.
// - dwThreadID, hWatchThread: set by HandPortOver, cleared by the watch
//   thread as it ends.
// - idComDev: opened by OpenConnection; closed by whichever thread first takes
//   it out of the record with an atomic exchange (TakePortHandle), so it is
//   closed exactly once and never names a closed handle afterwards.
// - hThreadHandle: the window thread's own handle of the watch thread, owned
//   by the window thread: it waits on it (CloseConnection, DestroyTTYInfo,
//   the next OpenConnection) and closes it once the thread has ended. The
//   record is freed only after that wait, so it outlives the thread.
// - fWaitingForThread: set by the window thread while it waits for the watch
//   thread (its start or its end) and handles messages sent meanwhile; the
//   window procedure then holds a WM_CLOSE back (fCloseDeferred) and refuses
//   commands, so that nothing frees the record or the port under that wait.
// - pbConnBuf/dwConnLength: the file buffer a connection serves. StartSession
//   takes it over from the loader's pstrQelBuf; from then on only the watch
//   thread releases it, once, as its last step. A file loaded after that
//   (a new Connect) is a different buffer that the old thread never sees.
// - abScreen, nColumn, nRow: changed only inside WriteTTYBlock, which holds
//   csScreen for the whole call; PaintTTY holds it while it reads rows.
// - idComDev while a session runs: the watch thread is the only thread that
//   calls anything on it (on Windows a call from another thread would wait
//   behind the thread's read). Before the thread starts, OpenConnection opens
//   and sets the port up and HandPortOver gives it to the thread; from then
//   on the window thread only asks: it clears fConnected to end the session
//   (the thread closes the port on its way out), or it sets lPortRequest and
//   waits for hReplyEvent, and the thread carries the request out between
//   two port calls (ServePortRequests). The test build checks the rule (serial/portcheck.h).
// - lPortRequest: written by the window thread (a PORT_REQUEST_ value), taken
//   and cleared by the watch thread with an atomic exchange; fRequestResult is
//   written by the watch thread before it sets hReplyEvent.
// - the port's writes (WriteCommBytes) are serialised by csWrite. osRead
//   and osWrite are kept for the record's layout; the port is synchronous
//   (see serial/commio.cpp).
typedef struct tagTTYINFO {
    HANDLE   idComDev;
    BYTE     bPort;
    BYTE     abScreen[TTY_CELLS];
    volatile BOOL fConnected;
    BOOL     fXonXoff;
    BOOL     fLocalEcho;
    BOOL     fNewLine;
    BOOL     fAutoWrap;
    BOOL     fUseCNReceive;
    BOOL     fDisplayErrors;
    BYTE     bByteSize;
    BYTE     bFlowCtrl;
    BYTE     bParity;
    BYTE     bStopBits;
    DWORD    dwBaudRate;
    WORD     wCursorState;
    HFONT    hTTYFont;
    LOGFONTA lfTTYFont;
    DWORD    rgbFGColor;
    int      xSize, ySize, xScroll, yScroll, xOffset, yOffset;
    int      nColumn, nRow, xChar, yChar;
    HANDLE   hPostEvent;
    volatile HANDLE hWatchThread;
    HANDLE   hWatchEvent;
    HWND     hTermWnd;
    volatile DWORD dwThreadID;
    OVERLAPPED osWrite;
    OVERLAPPED osRead;

    CRITICAL_SECTION csScreen;      // serialises WriteTTYBlock and painting
    CRITICAL_SECTION csWrite;       // serialises the port's writers
    HANDLE   hCloseEvent;           // set by CloseConnection: releases the watch thread's waits
    HANDLE   hReplyEvent;           // set by the watch thread once it serves the port, and after each request
    volatile LONG lPortRequest;     // what the window thread asks of the watch thread (see "Ownership")
    BOOL     fRequestResult;        // the watch thread's answer to it
    HANDLE   hThreadHandle;         // window thread's handle of the watch thread
    DWORD    dwWatchThreadId;       // id of the last watch thread (kept after dwThreadID is cleared)
    char    *pbConnBuf;             // the file buffer the running connection serves
    DWORD    dwConnLength;          // its length
    DWORD    dwLastNote;            // last "<CE-%u>" value written, for flood control
    DWORD    dwNoteTick;            // when it was last written
    DWORD    cNoteRepeats;          // repeats of it held back since then
    BOOL     fWaitingForThread;     // window thread only (see "Ownership")
    BOOL     fCloseDeferred;        // window thread only: a close to carry out after that wait
} TTYINFO, *NPTTYINFO;

// Saved settings: the 8-byte image of saveinfo.cfg.
typedef struct tagSAVEINFO {
    BYTE  bPort;
    DWORD dwBaudRate;
} SAVEINFO;

static_assert(sizeof(SAVEINFO) == 8, "saveinfo.cfg holds exactly 8 bytes");

// saveinfo.cfg's full name, fixed by CreateTTYInfo from the working folder
// at start-up. The open-file dialog may leave the working folder in one the
// user browsed; every later write still goes where the next start reads.
const char *SaveInfoPath(void);
// Writes the record to SaveInfoPath(); FALSE when the file cannot be
// created or written whole.
BOOL WriteSaveInfo(const SAVEINFO *psi);

#define GWL_NPTTYINFO 0
#define GETNPTTYINFO(hWnd) ((NPTTYINFO)GetWindowLongPtrA((hWnd), GWL_NPTTYINFO))

// Shell globals.
extern HWND  hTTYWnd;             // the main window; set once before the message loop
extern HACCEL ghAccel;
extern char  gszTTYClass[14];     // "KelvoWndClass"
extern char  gszAppName[6];       // "Kelvo"
extern unsigned char gszDebug[80];// window thread's scratch text buffer

// The start-up banner (row 0 of the terminal).
extern const char gszBanner[];

int  WINAPI KelvoMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpszCmdLine, int nCmdShow);
BOOL InitApplication(HINSTANCE hInstance);
HWND InitInstance(HINSTANCE hInstance, int nCmdShow);
LRESULT CALLBACK TTYWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
int  RunMessageLoop(void);

LRESULT CreateTTYInfo(HWND hWnd);
BOOL DestroyTTYInfo(HWND hWnd);

void GoModalDialogBoxParam(HINSTANCE hInstance, LPCSTR lpszTemplate, HWND hWnd,
                           DLGPROC lpDlgProc, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

// A message box of the window thread: owned by hWnd, captioned "Kelvo",
// OK with the exclamation icon.
void KelvoMessage(HWND hWnd, const char *pszText);

// Writes a bounded, formatted text into gszDebug and then into the terminal.
// Returns the length written.
int  TTYPrintf(HWND hWnd, const char *pszFormat, ...);
