// The screen buffer and the interpretation of the bytes written into it.
#include <cstring>
#include "terminal/terminal.h"
#include "serial/serial.h"

// Marks one cell for repainting, without erase: painting fills the
// background of every cell it draws.
static void InvalidateCell(HWND hWnd, NPTTYINFO npTTYInfo)
{
    RECT rect;
    rect.left = npTTYInfo->nColumn * npTTYInfo->xChar - npTTYInfo->xOffset;
    rect.top = npTTYInfo->nRow * npTTYInfo->yChar - npTTYInfo->yOffset;
    rect.right = rect.left + npTTYInfo->xChar;
    rect.bottom = rect.top + npTTYInfo->yChar;
    InvalidateRect(hWnd, &rect, FALSE);
}

// The row never leaves 0..24, not even for a moment: MoveTTYCursor and the
// caret read it too.
static void LineFeed(HWND hWnd, NPTTYINFO npTTYInfo)
{
    if (npTTYInfo->nRow < TTY_ROWS - 1) {
        npTTYInfo->nRow++;
    } else {
        // One move of rows 1..24 up to rows 0..23, a blank last row, and one
        // repaint of the whole window.
        memmove(npTTYInfo->abScreen, npTTYInfo->abScreen + TTY_COLUMNS,
                (TTY_ROWS - 1) * TTY_COLUMNS);
        memset(npTTYInfo->abScreen + (TTY_ROWS - 1) * TTY_COLUMNS, ' ', TTY_COLUMNS);
        InvalidateRect(hWnd, NULL, FALSE);
        npTTYInfo->nRow = TTY_ROWS - 1;
    }
    MoveTTYCursor(hWnd);
}

static void CarriageReturn(HWND hWnd, NPTTYINFO npTTYInfo)
{
    npTTYInfo->nColumn = 0;
    MoveTTYCursor(hWnd);
    if (npTTYInfo->fNewLine)
        LineFeed(hWnd, npTTYInfo);
}

static void PutByte(HWND hWnd, NPTTYINFO npTTYInfo, BYTE b)
{
    switch (b) {
    case 7:                                     // BEL
        MessageBeep(0);
        return;
    case 8:                                     // BS: never back into the previous row
        if (npTTYInfo->nColumn > 0)
            npTTYInfo->nColumn--;
        MoveTTYCursor(hWnd);
        return;
    case 13:                                    // CR
        CarriageReturn(hWnd, npTTYInfo);
        return;
    case 10:                                    // LF: the column stays
        LineFeed(hWnd, npTTYInfo);
        return;
    default:
        npTTYInfo->abScreen[npTTYInfo->nRow * TTY_COLUMNS + npTTYInfo->nColumn] = b;
        InvalidateCell(hWnd, npTTYInfo);
        if (npTTYInfo->nColumn < TTY_COLUMNS - 1) {
            npTTYInfo->nColumn++;
        } else if (npTTYInfo->fAutoWrap) {
            // Wrap right after the 80th character: a CR LF through the
            // same rules, fNewLine included.
            CarriageReturn(hWnd, npTTYInfo);
            LineFeed(hWnd, npTTYInfo);
        }
        return;
    }
}

// Both the window thread and the watch thread write here; the lock is held
// for the whole block so that a line is never interleaved with another and
// the cursor always names a cell inside the grid.
BOOL WriteTTYBlock(HWND hWnd, LPSTR lpBlock, int nLength)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    if (nLength <= 0)
        return TRUE;
    if (!lpBlock)
        return FALSE;
    EnterCriticalSection(&npTTYInfo->csScreen);
    for (int i = 0; i < nLength; i++)
        PutByte(hWnd, npTTYInfo, (BYTE)lpBlock[i]);
    InterlockedIncrement(&npTTYInfo->lScreenGen);    // tells the watch thread to paint
    LeaveCriticalSection(&npTTYInfo->csScreen);
    return TRUE;
}

// The keyboard side: sends one typed byte to the port and echoes it when
// local echo is on. The main window does not call it: typed keys do nothing.
BOOL ProcessTTYCharacter(HWND hWnd, BYTE bOut)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo || !npTTYInfo->fConnected)
        return FALSE;
    WriteCommBlock(hWnd, (LPSTR)&bOut, 1);
    if (npTTYInfo->fLocalEcho)
        WriteTTYBlock(hWnd, (LPSTR)&bOut, 1);
    return TRUE;
}
