// The screen buffer and the interpretation of the bytes written into it.
#include <cstring>
#include "terminal/terminal.h"

// The cells one block has changed, marked for repainting in one call when
// the block is done: each mark is a request to the window system, and a
// progress line would otherwise cost one per character.
struct DIRTY {
    BOOL fAll;      // the grid scrolled: the whole window
    RECT rc;        // covers every changed cell; empty while none changed
};

static void InvalidateCell(NPTTYINFO npTTYInfo, DIRTY *pDirty)
{
    RECT rect;
    rect.left = npTTYInfo->nColumn * npTTYInfo->xChar - npTTYInfo->xOffset;
    rect.top = npTTYInfo->nRow * npTTYInfo->yChar - npTTYInfo->yOffset;
    rect.right = rect.left + npTTYInfo->xChar;
    rect.bottom = rect.top + npTTYInfo->yChar;
    UnionRect(&pDirty->rc, &pDirty->rc, &rect);   // an empty rc takes rect as it is
}

// Marks what the block changed, without erase: painting fills the
// background of every cell it draws.
static void InvalidateDirty(HWND hWnd, const DIRTY *pDirty)
{
    if (pDirty->fAll)
        InvalidateRect(hWnd, NULL, FALSE);
    else if (!IsRectEmpty(&pDirty->rc))
        InvalidateRect(hWnd, &pDirty->rc, FALSE);
}

// The row never leaves 0..24, not even for a moment: MoveTTYCursor and the
// caret read it too.
static void LineFeed(HWND hWnd, NPTTYINFO npTTYInfo, DIRTY *pDirty)
{
    if (npTTYInfo->nRow < TTY_ROWS - 1) {
        npTTYInfo->nRow++;
    } else {
        // One move of rows 1..24 up to rows 0..23, a blank last row, and one
        // repaint of the whole window.
        memmove(npTTYInfo->abScreen, npTTYInfo->abScreen + TTY_COLUMNS,
                (TTY_ROWS - 1) * TTY_COLUMNS);
        memset(npTTYInfo->abScreen + (TTY_ROWS - 1) * TTY_COLUMNS, ' ', TTY_COLUMNS);
        pDirty->fAll = TRUE;
        npTTYInfo->nRow = TTY_ROWS - 1;
    }
    MoveTTYCursor(hWnd);
}

static void CarriageReturn(HWND hWnd, NPTTYINFO npTTYInfo, DIRTY *pDirty)
{
    npTTYInfo->nColumn = 0;
    MoveTTYCursor(hWnd);
    if (npTTYInfo->fNewLine)
        LineFeed(hWnd, npTTYInfo, pDirty);
}

static void PutByte(HWND hWnd, NPTTYINFO npTTYInfo, BYTE b, DIRTY *pDirty)
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
        CarriageReturn(hWnd, npTTYInfo, pDirty);
        return;
    case 10:                                    // LF: the column stays
        LineFeed(hWnd, npTTYInfo, pDirty);
        return;
    default:
        npTTYInfo->abScreen[npTTYInfo->nRow * TTY_COLUMNS + npTTYInfo->nColumn] = b;
        InvalidateCell(npTTYInfo, pDirty);
        if (npTTYInfo->nColumn < TTY_COLUMNS - 1) {
            npTTYInfo->nColumn++;
        } else if (npTTYInfo->fAutoWrap) {
            // Wrap right after the 80th character: a CR LF through the
            // same rules, fNewLine included.
            CarriageReturn(hWnd, npTTYInfo, pDirty);
            LineFeed(hWnd, npTTYInfo, pDirty);
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
    DIRTY dirty = {};
    EnterCriticalSection(&npTTYInfo->csScreen);
    for (int i = 0; i < nLength; i++)
        PutByte(hWnd, npTTYInfo, (BYTE)lpBlock[i], &dirty);
    InvalidateDirty(hWnd, &dirty);
    LeaveCriticalSection(&npTTYInfo->csScreen);
    return TRUE;
}
