// The terminal: what written bytes do to the grid, the cursor and the
// window's update region; sizing and scrolling; painting; the caret.
#include "kit.h"
#include <algorithm>

namespace {

const std::string X80(80, 'x');

// Kelvo's window with an empty grid and the cursor at the top left.
struct Term : ::testing::Test {
    kt::Scratch s;
    kt::Watch watch;        // answers the start-up probe's box
    kt::Window w;
    NPTTYINFO info = w.Info();
    Term() { Clear(); }
    void Clear() { memset(info->abScreen, ' ', TTY_CELLS), info->nRow = info->nColumn = 0; }
    void Write(const std::string &text) { WriteTTYBlock(w.hWnd, (LPSTR)text.data(), (int)text.size()); }
    RECT Cell(int r, int c) const
    {
        int x = c * info->xChar - info->xOffset, y = r * info->yChar - info->yOffset;
        return {x, y, x + info->xChar, y + info->yChar};
    }
    RECT Place(int cx, int cy)
    {
        RECT rc;
        MoveWindow(w.hWnd, 0, 0, cx, cy, TRUE), GetClientRect(w.hWnd, &rc);
        return rc;
    }
};

TEST_F(Term, BytesLandInTheGridAsTheControlCodesSay)
{
    std::string stored;
    for (int b = 0; b < 256; b++)
        if (b != 7 && b != 8 && b != 10 && b != 13 && (b < 32 || b > 126))
            stored += (char)b;
    stored = stored.substr(0, 40) + "\x1b" "\x7f";
    struct Case { const char *what; BOOL fAutoWrap, fNewLine; std::string in; std::vector<std::string> rows; int row, col; };
    const Case rows[] = {
        {"printed bytes advance the cursor", TRUE, FALSE, "AB", {"AB"}, 0, 2},
        {"the 80th character wraps at once; CR LF then leaves a blank row", TRUE, FALSE, X80 + "\r\ny", {X80, "", "y"}, 2, 1},
        {"without autowrap the last column is overwritten", FALSE, FALSE, std::string(79, 'a') + "bcd", {std::string(79, 'a') + "d"}, 0, 79},
        {"autowrap with new line advances two rows", TRUE, TRUE, X80 + "y", {X80, "", "y"}, 2, 1},
        {"in new line mode CR advances a row", TRUE, TRUE, "ab\rc", {"ab", "c"}, 1, 1},
        {"CR rewrites the row in place", TRUE, FALSE, "\rUART downloading...  5%\rUART downloading... 42%", {"UART downloading... 42%"}, 0, 23},
        {"LF moves down and keeps the column", TRUE, FALSE, "abc\nd", {"abc", "   d"}, 1, 4},
        {"BS moves left without erasing, never past column 0", TRUE, FALSE, "ab\b\b\bc", {"cb"}, 0, 1},
        {"BS at column 0 of a lower row stays in that row", TRUE, FALSE, "ab\r\n\bc", {"ab", "c"}, 1, 1},
        {"BEL stores nothing", TRUE, FALSE, "a\ab", {"ab"}, 0, 2},
        {"every other byte is stored as itself", TRUE, FALSE, stored, {stored}, 0, (int)stored.size()},
        {"LF on the last row scrolls the grid up", TRUE, FALSE, "top" + std::string(24, '\n') + "\r" + X80, {""}, 24, 0},
    };
    for (const Case &r : rows) {
        Clear();
        info->fAutoWrap = r.fAutoWrap, info->fNewLine = r.fNewLine;
        Write(r.in);
        for (size_t i = 0; i < r.rows.size(); i++)
            EXPECT_EQ(w.Row((int)i), r.rows[i]) << r.what << ", row " << i;
        EXPECT_EQ(info->nRow * 100 + info->nColumn, r.row * 100 + r.col) << r.what;
    }
    EXPECT_TRUE(w.Row(23) == X80 && w.Row(24) == "" && w.Screen().find("top") == std::string::npos);  // the last case's
    EXPECT_TRUE(WriteTTYBlock(w.hWnd, (LPSTR) "x", 0) && w.Row(24) == "");
    EXPECT_FALSE(WriteTTYBlock(GetDesktopWindow(), (LPSTR) "x", 1));
}

WNDPROC g_pfnKelvo;
int g_nErase;
LRESULT CALLBACK CountErase(HWND h, UINT m, WPARAM wp, LPARAM lp)
{
    g_nErase += m == WM_ERASEBKGND;
    return CallWindowProcA(g_pfnKelvo, h, m, wp, lp);
}

// A printed byte marks exactly its cell where the view shows it; cursor
// moves mark nothing; a scroll marks the whole window; nothing asks for an erase.
TEST_F(Term, WritesMarkWhatTheyChangeAndNeverAskForAnErase)
{
    RECT rc, rcClient = Place(300, 200);
    ScrollTTYVert(w.hWnd, SB_LINEDOWN, 0);
    ScrollTTYHorz(w.hWnd, SB_LINEDOWN, 0);
    ASSERT_GT(info->xOffset, 0);
    g_pfnKelvo = (WNDPROC)SetWindowLongPtrA(w.hWnd, GWLP_WNDPROC, (LONG_PTR)CountErase);
    UpdateWindow(w.hWnd);
    g_nErase = 0;
    RECT cell = Cell(3, 9);
    info->nRow = 3, info->nColumn = 9;
    Write("Z");
    EXPECT_TRUE(GetUpdateRect(w.hWnd, &rc, FALSE) && EqualRect(&rc, &cell)) << rc.left << "," << rc.top;
    UpdateWindow(w.hWnd);
    Write("\r\b\n");
    EXPECT_FALSE(GetUpdateRect(w.hWnd, &rc, FALSE));
    info->nRow = 24;
    Write("\n");
    EXPECT_TRUE(GetUpdateRect(w.hWnd, &rc, FALSE) && EqualRect(&rc, &rcClient));
    UpdateWindow(w.hWnd);
    EXPECT_EQ(g_nErase, 0);
    SetWindowLongPtrA(w.hWnd, GWLP_WNDPROC, (LONG_PTR)g_pfnKelvo);
}

// Whatever the moment the grid is looked at (under its lock, as painting
// does), every line of either writer is whole.
TEST_F(Term, TwoWritersAtOnceNeverShowAHalfWrittenLine)
{
    std::atomic<int> nDone{0};
    auto writer = [&](char c) {
        std::string lines;
        for (int n = 0; n < 30; n++)
            lines += "\r\n" + std::string(40, c);
        for (int i = 0; i < 2000; i++)
            Write(lines);
        nDone++;
    };
    std::thread a(writer, 'A'), b(writer, 'B');
    int nBroken = 0;
    while (nDone < 2) {
        EnterCriticalSection(&info->csScreen);
        std::string grid = w.Screen();
        LeaveCriticalSection(&info->csScreen);
        for (int r = 0; r < 25; r++) {
            std::string row = grid.substr(r * 80, 80);
            nBroken += row != std::string(80, ' ') && row != std::string(40, row[0]) + std::string(40, ' ');
        }
    }
    a.join();
    b.join();
    EXPECT_EQ(nBroken, 0);
    EXPECT_EQ(info->nRow * 100 + info->nColumn, 2440);
}

// One script of resizes and scroll requests: after each, the offsets, the
// ranges and the scroll bars' positions.
TEST_F(Term, TheViewScrollsOverTheWholeGridAndNeverBeyondIt)
{
    const int W = 80 * info->xChar, H = 25 * info->yChar;
    RECT rc = Place(300, 200);
    const int cx = rc.right, cy = rc.bottom, xc = info->xChar, yc = info->yChar;
    auto V = [&](WORD cmd, WORD pos) { return ScrollTTYVert(w.hWnd, cmd, pos); };
    auto Hz = [&](WORD cmd, WORD pos) { return ScrollTTYHorz(w.hWnd, cmd, pos); };
    struct Step { const char *what; std::function<BOOL()> act; BOOL ok; int x, y, xRange, yRange; };
    const Step steps[] = {
        {"a small window", [] { return TRUE; }, TRUE, 0, 0, W - cx, H - cy},
        {"line down", [&] { return V(SB_LINEDOWN, 0); }, TRUE, 0, yc, W - cx, H - cy},
        {"page down moves a client height", [&] { return V(SB_PAGEDOWN, 0); }, TRUE, 0, yc + cy, W - cx, H - cy},
        {"thumb tracking moves nothing", [&] { return V(SB_THUMBTRACK, 3); }, FALSE, 0, yc + cy, W - cx, H - cy},
        {"thumb position", [&] { return V(SB_THUMBPOSITION, 3); }, TRUE, 0, 3, W - cx, H - cy},
        {"bottom", [&] { return V(SB_BOTTOM, 0); }, TRUE, 0, H - cy, W - cx, H - cy},
        {"line down at the end", [&] { return V(SB_LINEDOWN, 0); }, TRUE, 0, H - cy, W - cx, H - cy},
        {"right", [&] { return Hz(SB_RIGHT, 0); }, TRUE, W - cx, H - cy, W - cx, H - cy},
        {"page left", [&] { return Hz(SB_PAGELEFT, 0); }, TRUE, W - 2 * cx, H - cy, W - cx, H - cy},
        {"line left", [&] { return Hz(SB_LINELEFT, 0); }, TRUE, W - 2 * cx - xc, H - cy, W - cx, H - cy},
        {"minimised: the range is the grid", [&] { return SizeTTY(w.hWnd, 0, 0); }, TRUE, W - 2 * cx - xc, H - cy, W, H},
        {"restored larger: the offset comes down", [&] { return SizeTTY(w.hWnd, (WORD)(cy + 3 * yc), (WORD)cx); },
         TRUE, W - 2 * cx - xc, H - cy - 3 * yc, W - cx, H - cy - 3 * yc},
        {"top", [&] { return V(SB_TOP, 0); }, TRUE, W - 2 * cx - xc, 0, W - cx, H - cy - 3 * yc},
        {"line up at the top", [&] { return V(SB_LINEUP, 0); }, TRUE, W - 2 * cx - xc, 0, W - cx, H - cy - 3 * yc},
        {"end of scroll is not a request", [&] { return Hz(SB_ENDSCROLL, 0); }, FALSE, W - 2 * cx - xc, 0, W - cx, H - cy - 3 * yc},
        {"larger than the grid", [&] { Place(W + 150, H + 150); return TRUE; }, TRUE, 0, 0, 0, 0},
        {"then nothing scrolls", [&] { return V(SB_BOTTOM, 0) && Hz(SB_RIGHT, 0); }, TRUE, 0, 0, 0, 0},
    };
    for (const Step &st : steps) {
        EXPECT_EQ(st.act(), st.ok) << st.what;
        EXPECT_EQ((std::vector<int>{info->xOffset, info->yOffset, info->xScroll, info->yScroll, GetScrollPos(w.hWnd, SB_VERT)}),
                  (std::vector<int>{st.x, st.y, st.xRange, st.yRange, st.y})) << st.what;
    }
}

// The pixels of a rectangle of the client area, as the window shows them.
std::vector<COLORREF> Shot(HWND h, const RECT &rc)
{
    std::vector<COLORREF> px;
    HDC hDC = GetDC(h);
    for (int y = rc.top; y < rc.bottom; y++)
        for (int x = rc.left; x < rc.right; x++)
            px.push_back(GetPixel(hDC, x, y));
    ReleaseDC(h, hDC);
    return px;
}

int Count(const std::vector<COLORREF> &px, COLORREF cr) { return (int)std::count(px.begin(), px.end(), cr); }

// Painting, in a font the test sets without smoothing: glyphs in the text
// colour on the window colour, moved by scrolling, remeasured on a change.
TEST_F(Term, TheGridIsPaintedInTheTextColourWhereTheViewShowsIt)
{
    info->lfTTYFont.lfQuality = NONANTIALIASED_QUALITY;
    ResetTTYScreen(w.hWnd, info);
    const COLORREF crText = RGB(0xC0, 0x30, 0x60), crBg = GetSysColor(COLOR_WINDOW);
    info->rgbFGColor = crText;
    info->nRow = 2, info->nColumn = 3;
    Write("#");
    Place(80 * info->xChar + 100, 25 * info->yChar + 120);
    UpdateWindow(w.hWnd);
    std::vector<COLORREF> glyph = Shot(w.hWnd, Cell(2, 3));
    RECT grid = {0, 0, 80 * info->xChar, 25 * info->yChar};
    EXPECT_GT(Count(glyph, crText), 0);
    EXPECT_EQ(Count(glyph, crText) + Count(glyph, crBg), (int)glyph.size());
    std::vector<COLORREF> all = Shot(w.hWnd, grid);
    EXPECT_EQ(Count(all, crText), Count(glyph, crText));
    EXPECT_EQ(Count(all, crText) + Count(all, crBg), (int)all.size());

    Place(300, 200);
    ScrollTTYVert(w.hWnd, SB_LINEDOWN, 0);
    ScrollTTYHorz(w.hWnd, SB_LINEDOWN, 0);
    UpdateWindow(w.hWnd);
    RECT now = Cell(2, 3);
    EXPECT_EQ(now.top, info->yChar);
    EXPECT_EQ(Shot(w.hWnd, now), glyph);

    const int yOld = info->yChar;
    const std::string screen = w.Screen();
    info->lfTTYFont.lfHeight = 30;
    ResetTTYScreen(w.hWnd, info);
    TEXTMETRICA tm;
    HDC hDC = GetDC(w.hWnd);
    HGDIOBJ hOld = SelectObject(hDC, info->hTTYFont);
    GetTextMetricsA(hDC, &tm), SelectObject(hDC, hOld), ReleaseDC(w.hWnd, hDC);
    EXPECT_TRUE(info->xChar == tm.tmAveCharWidth && info->yChar == tm.tmHeight + tm.tmExternalLeading && info->yChar > yOld);
    EXPECT_EQ(info->yScroll, 25 * info->yChar - info->ySize);
    EXPECT_TRUE(w.Screen() == screen && info->nRow * 100 + info->nColumn == 204);
}

TEST_F(Term, TheCaretMarksTheCursorOnlyWhileConnected)
{
    SetFocus(w.hWnd);
    SetTTYFocus(w.hWnd);
    EXPECT_EQ(kt::Caret(w.hWnd).left, -1) << "a caret without a connection";
    info->fConnected = TRUE;                  // what StartSession sets before it asks for one
    SetTTYFocus(w.hWnd);
    SetTTYFocus(w.hWnd);
    Place(300, 200);
    ScrollTTYHorz(w.hWnd, SB_LINEDOWN, 0);
    ScrollTTYVert(w.hWnd, SB_LINEDOWN, 0);
    Write("ab\r\ncd");
    UpdateWindow(w.hWnd);
    RECT cell = Cell(1, 2), rc = kt::Caret(w.hWnd);
    EXPECT_TRUE(EqualRect(&rc, &cell)) << rc.left << "," << rc.top << " " << rc.right << "," << rc.bottom;
    KillTTYFocus(w.hWnd);
    EXPECT_EQ(kt::Caret(w.hWnd).left, -1);
    EXPECT_EQ(info->wCursorState, CURSOR_HIDDEN);
    SetTTYFocus(w.hWnd);
    info->fConnected = FALSE;                 // a connection that ended by itself leaves it
    KillTTYFocus(w.hWnd);
    EXPECT_EQ(info->wCursorState, CURSOR_SHOWN);
}

} // namespace
