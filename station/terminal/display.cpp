// Painting the grid, sizing, scrolling and the caret.
#include <algorithm>
#include <climits>
#include <cstring>
#include "terminal/terminal.h"

static int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

static bool OnWindowThread(HWND hWnd)
{
    return GetWindowThreadProcessId(hWnd, NULL) == GetCurrentThreadId();
}

BOOL ResetTTYScreen(HWND hWnd, NPTTYINFO npTTYInfo)
{
    if (!npTTYInfo)
        return FALSE;
    if (npTTYInfo->hTTYFont)
        DeleteObject(npTTYInfo->hTTYFont);
    npTTYInfo->hTTYFont = CreateFontIndirectA(&npTTYInfo->lfTTYFont);

    TEXTMETRICA tm = {};
    HDC hDC = GetDC(hWnd);
    HGDIOBJ hOldFont = SelectObject(hDC, npTTYInfo->hTTYFont);
    GetTextMetricsA(hDC, &tm);
    SelectObject(hDC, hOldFont);
    ReleaseDC(hWnd, hDC);

    EnterCriticalSection(&npTTYInfo->csScreen);
    npTTYInfo->xChar = tm.tmAveCharWidth > 0 ? tm.tmAveCharWidth : 1;
    npTTYInfo->yChar = tm.tmHeight + tm.tmExternalLeading > 0 ? tm.tmHeight + tm.tmExternalLeading : 1;
    LeaveCriticalSection(&npTTYInfo->csScreen);

    // Recompute scroll ranges and offsets for the new cell size with the
    // client area's size, as the system's own WM_SIZE carries it.
    RECT rcClient;
    GetClientRect(hWnd, &rcClient);
    SendMessageA(hWnd, WM_SIZE, 0, MAKELPARAM(rcClient.right - rcClient.left,
                                              rcClient.bottom - rcClient.top));
    return TRUE;
}

BOOL PaintTTY(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;

    PAINTSTRUCT ps;
    HDC hDC = BeginPaint(hWnd, &ps);
    HGDIOBJ hOldFont = SelectObject(hDC, npTTYInfo->hTTYFont);
    SetTextColor(hDC, npTTYInfo->rgbFGColor);
    SetBkColor(hDC, GetSysColor(COLOR_WINDOW));

    // Take a consistent copy of the grid: the watch thread may be writing.
    BYTE abScreen[TTY_CELLS];
    EnterCriticalSection(&npTTYInfo->csScreen);
    memcpy(abScreen, npTTYInfo->abScreen, TTY_CELLS);
    const int xChar = npTTYInfo->xChar, yChar = npTTYInfo->yChar;
    const int xOffset = npTTYInfo->xOffset, yOffset = npTTYInfo->yOffset;
    LeaveCriticalSection(&npTTYInfo->csScreen);

    const RECT &rc = ps.rcPaint;
    int nRow = Clamp((rc.top + yOffset) / yChar, 0, TTY_ROWS - 1);
    int nEndRow = Clamp((rc.bottom + yOffset - 1) / yChar, INT_MIN, TTY_ROWS - 1);
    int nCol = Clamp((rc.left + xOffset) / xChar, 0, TTY_COLUMNS - 1);
    int nEndCol = Clamp((rc.right + xOffset - 1) / xChar, INT_MIN, TTY_COLUMNS - 1);
    int nCount = nEndCol - nCol + 1;

    for (; nRow <= nEndRow && nCount > 0; nRow++) {
        int nVertPos = nRow * yChar - yOffset;
        int nHorzPos = nCol * xChar - xOffset;
        RECT rect = {nHorzPos, nVertPos, nHorzPos + nCount * xChar, nVertPos + yChar};
        SetBkMode(hDC, OPAQUE);
        ExtTextOutA(hDC, nHorzPos, nVertPos, ETO_OPAQUE | ETO_CLIPPED, &rect,
                    (LPCSTR)(abScreen + nRow * TTY_COLUMNS + nCol), (UINT)nCount, NULL);
    }

    SelectObject(hDC, hOldFont);
    EndPaint(hWnd, &ps);
    MoveTTYCursor(hWnd);
    return TRUE;
}

// Showing or hiding a scroll bar changes the client area, and the system
// reports that with a WM_SIZE that arrives inside SetScrollRange. So both
// axes are settled first, and the bars are then set from the record, which
// such a nested call has already brought up to date; sizes passed to this
// (outer) call would be stale by then.
BOOL SizeTTY(HWND hWnd, WORD wVertSize, WORD wHorzSize)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;

    npTTYInfo->ySize = (int)wVertSize;
    npTTYInfo->yScroll = std::max(0, TTY_ROWS * npTTYInfo->yChar - npTTYInfo->ySize);
    int nScrollAmt = std::min(npTTYInfo->yScroll, npTTYInfo->yOffset) - npTTYInfo->yOffset;
    ScrollWindow(hWnd, 0, -nScrollAmt, NULL, NULL);
    EnterCriticalSection(&npTTYInfo->csScreen);
    npTTYInfo->yOffset += nScrollAmt;
    LeaveCriticalSection(&npTTYInfo->csScreen);

    npTTYInfo->xSize = (int)wHorzSize;
    npTTYInfo->xScroll = std::max(0, TTY_COLUMNS * npTTYInfo->xChar - npTTYInfo->xSize);
    nScrollAmt = std::min(npTTYInfo->xScroll, npTTYInfo->xOffset) - npTTYInfo->xOffset;
    ScrollWindow(hWnd, -nScrollAmt, 0, NULL, NULL);
    EnterCriticalSection(&npTTYInfo->csScreen);
    npTTYInfo->xOffset += nScrollAmt;
    LeaveCriticalSection(&npTTYInfo->csScreen);

    SetScrollPos(hWnd, SB_VERT, npTTYInfo->yOffset, FALSE);
    SetScrollRange(hWnd, SB_VERT, 0, npTTYInfo->yScroll, TRUE);
    SetScrollPos(hWnd, SB_HORZ, npTTYInfo->xOffset, FALSE);
    SetScrollRange(hWnd, SB_HORZ, 0, npTTYInfo->xScroll, TRUE);

    InvalidateRect(hWnd, NULL, TRUE);
    return TRUE;
}

// The scroll amount a request asks for, or false for a request that is not
// handled (SB_THUMBTRACK, SB_ENDSCROLL and unknown codes).
static bool ScrollAmount(WORD wScrollCmd, WORD wScrollPos, int nLine, int nPage,
                         int nOffset, int nRange, int *pnAmt)
{
    switch (wScrollCmd) {
    case SB_LINEUP:        *pnAmt = -nLine; return true;
    case SB_LINEDOWN:      *pnAmt = nLine; return true;
    case SB_PAGEUP:        *pnAmt = -nPage; return true;
    case SB_PAGEDOWN:      *pnAmt = nPage; return true;
    case SB_THUMBPOSITION: *pnAmt = (int)wScrollPos - nOffset; return true;
    case SB_TOP:           *pnAmt = -nOffset; return true;
    case SB_BOTTOM:        *pnAmt = nRange - nOffset; return true;
    default:               return false;
    }
}

static BOOL ScrollTTY(HWND hWnd, int nBar, WORD wScrollCmd, WORD wScrollPos)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    const bool fVert = (nBar == SB_VERT);
    int *pnOffset = fVert ? &npTTYInfo->yOffset : &npTTYInfo->xOffset;
    const int nRange = fVert ? npTTYInfo->yScroll : npTTYInfo->xScroll;
    int nScrollAmt;
    if (!ScrollAmount(wScrollCmd, wScrollPos,
                      fVert ? npTTYInfo->yChar : npTTYInfo->xChar,
                      fVert ? npTTYInfo->ySize : npTTYInfo->xSize,
                      *pnOffset, nRange, &nScrollAmt))
        return FALSE;

    if (*pnOffset + nScrollAmt > nRange)
        nScrollAmt = nRange - *pnOffset;
    if (*pnOffset + nScrollAmt < 0)
        nScrollAmt = -*pnOffset;
    if (fVert)
        ScrollWindow(hWnd, 0, -nScrollAmt, NULL, NULL);
    else
        ScrollWindow(hWnd, -nScrollAmt, 0, NULL, NULL);
    EnterCriticalSection(&npTTYInfo->csScreen);
    *pnOffset += nScrollAmt;
    LeaveCriticalSection(&npTTYInfo->csScreen);
    SetScrollPos(hWnd, nBar, *pnOffset, TRUE);
    return TRUE;
}

BOOL ScrollTTYVert(HWND hWnd, WORD wScrollCmd, WORD wScrollPos)
{
    return ScrollTTY(hWnd, SB_VERT, wScrollCmd, wScrollPos);
}

BOOL ScrollTTYHorz(HWND hWnd, WORD wScrollCmd, WORD wScrollPos)
{
    return ScrollTTY(hWnd, SB_HORZ, wScrollCmd, wScrollPos);
}

BOOL SetTTYFocus(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    // The caret belongs to the window's thread: only that thread can make it.
    if (npTTYInfo->fConnected && npTTYInfo->wCursorState != CURSOR_SHOWN && OnWindowThread(hWnd)) {
        CreateCaret(hWnd, NULL, npTTYInfo->xChar, npTTYInfo->yChar);
        ShowCaret(hWnd);
        npTTYInfo->wCursorState = CURSOR_SHOWN;
    }
    MoveTTYCursor(hWnd);
    return TRUE;
}

BOOL KillTTYFocus(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    // The caret belongs to the window's thread: the watch thread's call at
    // its end finds fConnected clear and leaves it alone in any case.
    if (npTTYInfo->fConnected && npTTYInfo->wCursorState != CURSOR_HIDDEN && OnWindowThread(hWnd)) {
        HideCaret(hWnd);
        DestroyCaret();
        npTTYInfo->wCursorState = CURSOR_HIDDEN;
    }
    return TRUE;
}

BOOL MoveTTYCursor(HWND hWnd)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    // Only the window's thread can move its caret. From the watch thread the
    // caret catches up at the next paint, which ends with this call.
    // The cursor is read under the screen lock, so a writer on the watch
    // thread cannot hand over a half-updated position.
    if (npTTYInfo->fConnected && npTTYInfo->wCursorState == CURSOR_SHOWN && OnWindowThread(hWnd)) {
        EnterCriticalSection(&npTTYInfo->csScreen);
        const int x = npTTYInfo->nColumn * npTTYInfo->xChar - npTTYInfo->xOffset;
        const int y = npTTYInfo->nRow * npTTYInfo->yChar - npTTYInfo->yOffset;
        LeaveCriticalSection(&npTTYInfo->csScreen);
        SetCaretPos(x, y);
    }
    return TRUE;
}
