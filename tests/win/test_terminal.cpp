// The terminal: what written text does to the grid and the cursor, which
// parts of the window it marks for repainting, two writers at once, sizing
// and scrolling, the painted pixels, and the caret.
#include "tests/win/testkit.h"
#include <memory>

using namespace kt;

namespace {

// The saved port leads nowhere: the start-up probe shows its message box,
// which the spy answers, and no port is ever held.
const BYTE kDeadPort = 5;

class TerminalWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        static bool fMapped = false;
        if (!fMapped) {
            MapCom(kDeadPort, "/nonexistent/kelvo-term-tty");
            fMapped = true;
        }
        WriteSaveInfo(kDeadPort, 115200);
        win.reset(new MainWindow);
        ASSERT_TRUE(win->Hwnd());
        h = win->Hwnd();
        info = win->Info();
        ASSERT_TRUE(info);
        Place(TTY_COLUMNS * info->xChar + 200, TTY_ROWS * info->yChar + 200);
        Blank();
    }
    void TearDown() override
    {
        if (info)
            info->fConnected = FALSE;
        win.reset();
    }

    // Moves the window to the top-left corner of the screen with the given
    // outer size and returns the client area that results.
    RECT Place(int cx, int cy)
    {
        SetWindowPos(h, HWND_TOP, 0, 0, cx, cy, 0);
        Pump(20);
        RECT rc;
        GetClientRect(h, &rc);
        return rc;
    }
    RECT Client()
    {
        RECT rc;
        GetClientRect(h, &rc);
        return rc;
    }
    // An empty grid with the cursor at the top-left, as a fresh record has it
    // (the banner is gone).
    void Blank()
    {
        EnterCriticalSection(&info->csScreen);
        memset(info->abScreen, ' ', TTY_CELLS);
        info->nColumn = 0;
        info->nRow = 0;
        LeaveCriticalSection(&info->csScreen);
    }
    BOOL Write(const std::string &s) { return WriteTTYBlock(h, (LPSTR)s.data(), (int)s.size()); }
    void At(int nRow, int nColumn)
    {
        info->nRow = nRow;
        info->nColumn = nColumn;
    }
    char Cell(int r, int c) const { return (char)info->abScreen[r * TTY_COLUMNS + c]; }
    std::string Row(int r) const { return win->Row(r); }
    RECT CellRect(int r, int c) const
    {
        RECT rc;
        rc.left = c * info->xChar - info->xOffset;
        rc.top = r * info->yChar - info->yOffset;
        rc.right = rc.left + info->xChar;
        rc.bottom = rc.top + info->yChar;
        return rc;
    }

    ScratchDir dir;
    MessageBoxSpy spy;
    std::unique_ptr<MainWindow> win;
    HWND h = NULL;
    NPTTYINFO info = NULL;
};

std::string Blanks(size_t n) { return std::string(n, ' '); }

// A window of a class that has room for the record's pointer but none set.
HWND BareWindow()
{
    static bool fRegistered = false;
    if (!fRegistered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.cbWndExtra = sizeof(NPTTYINFO);
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "KelvoBareTestWnd";
        fRegistered = RegisterClassA(&wc) != 0;
    }
    return CreateWindowExA(0, "KelvoBareTestWnd", "", WS_OVERLAPPEDWINDOW, 0, 0, 200, 200, NULL,
                           NULL, GetModuleHandleA(NULL), NULL);
}

// The client area's pixels, read back from the window's device context.
class Shot {
public:
    explicit Shot(HWND hWnd)
    {
        RECT rc;
        GetClientRect(hWnd, &rc);
        m_w = rc.right;
        m_h = rc.bottom;
        HDC hDC = GetDC(hWnd);
        HDC hMem = CreateCompatibleDC(hDC);
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = m_w;
        bi.bmiHeader.biHeight = -m_h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void *pvBits = NULL;
        HBITMAP hbm = CreateDIBSection(hMem, &bi, DIB_RGB_COLORS, &pvBits, NULL, 0);
        HGDIOBJ hOld = SelectObject(hMem, hbm);
        BitBlt(hMem, 0, 0, m_w, m_h, hDC, 0, 0, SRCCOPY);
        GdiFlush();
        if (pvBits)
            m_px.assign((const DWORD *)pvBits, (const DWORD *)pvBits + (size_t)m_w * m_h);
        SelectObject(hMem, hOld);
        DeleteObject(hbm);
        DeleteDC(hMem);
        ReleaseDC(hWnd, hDC);
    }
    bool Valid() const { return !m_px.empty(); }
    COLORREF At(int x, int y) const
    {
        DWORD p = m_px[(size_t)y * m_w + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    // Pixels of the rectangle (clipped to the client area) that have the colour.
    int Count(RECT rc, COLORREF cr) const
    {
        int n = 0;
        for (int y = std::max<int>(0, rc.top); y < std::min<int>(m_h, rc.bottom); y++)
            for (int x = std::max<int>(0, rc.left); x < std::min<int>(m_w, rc.right); x++)
                n += At(x, y) == cr;
        return n;
    }
    int Area(RECT rc) const
    {
        int w = std::min<int>(m_w, rc.right) - std::max<int>(0, rc.left);
        int hgt = std::min<int>(m_h, rc.bottom) - std::max<int>(0, rc.top);
        return w > 0 && hgt > 0 ? w * hgt : 0;
    }
    int Width() const { return m_w; }
    int Height() const { return m_h; }

private:
    int m_w = 0, m_h = 0;
    std::vector<DWORD> m_px;
};

// Counts the erase requests that reach the window.
std::atomic<int> g_nErase{0};
WNDPROC g_pfnTTYProc = NULL;
LRESULT CALLBACK CountingProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_ERASEBKGND)
        g_nErase++;
    return CallWindowProcA(g_pfnTTYProc, hWnd, uMsg, wParam, lParam);
}

} // namespace

// ---------------------------------------------------------------------------
// What written text does to the grid and the cursor.

class Output : public TerminalWindow {};

TEST_F(Output, PrintedBytesLandAtTheCursorAndAdvanceIt)
{
    EXPECT_TRUE(Write("AB"));
    EXPECT_EQ(Cell(0, 0), 'A');
    EXPECT_EQ(Cell(0, 1), 'B');
    EXPECT_EQ(info->nRow, 0);
    EXPECT_EQ(info->nColumn, 2);
    EXPECT_EQ(Row(1), Blanks(80));
}

TEST_F(Output, TheEightiethCharacterWrapsAtOnceAndCrLfThenLeavesAnEmptyRow)
{
    std::string line;
    for (int i = 0; i < 80; i++)
        line += (char)('0' + i % 10);
    Write(line);
    EXPECT_EQ(Row(0), line);
    EXPECT_EQ(info->nRow, 1);
    EXPECT_EQ(info->nColumn, 0);
    Write("\r\nnext");
    EXPECT_EQ(Row(1), Blanks(80));
    EXPECT_EQ(Trim(Row(2)), "next");
}

TEST_F(Output, WithoutAutoWrapTheLastColumnIsOverwritten)
{
    info->fAutoWrap = FALSE;
    Write(std::string(79, '.') + "abcdef");
    EXPECT_EQ(Row(0), std::string(79, '.') + "f");
    EXPECT_EQ(info->nRow, 0);
    EXPECT_EQ(info->nColumn, 79);
    EXPECT_EQ(Row(1), Blanks(80));
}

TEST_F(Output, NewLineModeMakesEveryCrAdvanceARow)
{
    info->fNewLine = TRUE;
    Write("ab\r");
    EXPECT_EQ(info->nRow, 1);
    EXPECT_EQ(info->nColumn, 0);
    Write("cd\r\n");                 // the program's own line ends advance two rows
    EXPECT_EQ(info->nRow, 3);
    EXPECT_EQ(info->nColumn, 0);
    Write(std::string(80, 'w'));     // an automatic wrap advances two rows too
    EXPECT_EQ(info->nRow, 5);
    EXPECT_EQ(info->nColumn, 0);
    EXPECT_EQ(Trim(Row(0)), "ab");
    EXPECT_EQ(Trim(Row(1)), "cd");
    EXPECT_EQ(Row(3), std::string(80, 'w'));
    EXPECT_EQ(Row(4), Blanks(80));

    // The progress line then starts a new row with every update.
    Write("\rUART downloading... 10%");
    EXPECT_EQ(info->nRow, 6);
}

TEST_F(Output, ProgressLineIsRewrittenInPlaceByCarriageReturn)
{
    Write("waiting...\r\n\n");
    Write("\rUART downloading...  5%");
    Write("\rUART downloading... 17%");
    EXPECT_EQ(Trim(Row(2)), "UART downloading... 17%");
    EXPECT_EQ(info->nRow, 2);
    EXPECT_EQ(info->nColumn, 23);
    Write("\rUART downloading...100%\r\n\r\nComplete!!!\r\n");
    EXPECT_EQ(Trim(Row(2)), "UART downloading...100%");
    EXPECT_EQ(Row(3), Blanks(80));
    EXPECT_EQ(Trim(Row(4)), "Complete!!!");
    EXPECT_EQ(info->nRow, 5);
    EXPECT_EQ(info->nColumn, 0);
}

TEST_F(Output, LineFeedMovesDownAndKeepsTheColumnAboveTheLastRow)
{
    Write("top");
    for (int r = 0; r < TTY_ROWS - 1; r++) {
        Write("\n");
        EXPECT_EQ(info->nRow, r + 1);
        EXPECT_EQ(info->nColumn, 3);
    }
    EXPECT_EQ(Trim(Row(0)), "top");     // nothing scrolled
}

TEST_F(Output, LineFeedOnTheLastRowScrollsTheGridUpAndLosesTheTopRow)
{
    for (int r = 0; r < TTY_ROWS; r++)
        memset(info->abScreen + r * TTY_COLUMNS, 'A' + r, TTY_COLUMNS);
    At(TTY_ROWS - 1, 17);
    Write("\n");
    for (int r = 0; r < TTY_ROWS - 1; r++)
        EXPECT_EQ(Row(r), std::string(80, (char)('A' + r + 1))) << "row " << r;
    EXPECT_EQ(Row(TTY_ROWS - 1), Blanks(80));
    EXPECT_EQ(info->nRow, TTY_ROWS - 1);
    EXPECT_EQ(info->nColumn, 17);

    // Every further line feed scrolls again; the newest text stays on row 24.
    Write("x\n\n");
    EXPECT_EQ(Cell(TTY_ROWS - 3, 17), 'x');
    EXPECT_EQ(info->nRow, TTY_ROWS - 1);
    EXPECT_EQ(Row(0), std::string(80, 'D'));
}

TEST_F(Output, BackspaceMovesLeftWithoutErasingAndStopsAtColumnZero)
{
    Write("abc\b");
    EXPECT_EQ(info->nColumn, 2);
    EXPECT_EQ(Trim(Row(0)), "abc");
    Write("\bX");
    EXPECT_EQ(Trim(Row(0)), "aXc");
    At(3, 0);
    Write("\b\b");
    EXPECT_EQ(info->nRow, 3);
    EXPECT_EQ(info->nColumn, 0);
    EXPECT_EQ(Row(2), Blanks(80));
}

TEST_F(Output, BellStoresNothingAndLeavesTheCursor)
{
    Write("a\a\ab");
    EXPECT_EQ(Trim(Row(0)), "ab");
    EXPECT_EQ(info->nColumn, 2);
}

TEST_F(Output, EveryByteButTheFourControlCodesIsStoredAsItself)
{
    std::string bytes;
    for (int b = 0; b < 256; b++)
        if (b != 7 && b != 8 && b != 10 && b != 13)
            bytes += (char)b;
    ASSERT_EQ(bytes.size(), 252u);
    Write(bytes);
    EXPECT_EQ(win->Screen().substr(0, 252), bytes);
    EXPECT_EQ(info->nRow, 252 / 80);
    EXPECT_EQ(info->nColumn, 252 % 80);
}

TEST_F(Output, EmptyWritesDoNothingAndWindowsWithoutARecordAreRefused)
{
    Write("ab");
    const std::string before = win->Screen();
    EXPECT_TRUE(WriteTTYBlock(h, (LPSTR) "zz", 0));
    EXPECT_TRUE(WriteTTYBlock(h, (LPSTR) "zz", -5));
    EXPECT_EQ(win->Screen(), before);
    EXPECT_EQ(info->nColumn, 2);

    HWND hBare = BareWindow();
    ASSERT_TRUE(hBare);
    EXPECT_FALSE(WriteTTYBlock(hBare, (LPSTR) "zz", 2));
    EXPECT_FALSE(WriteTTYBlock(NULL, (LPSTR) "zz", 2));
    EXPECT_FALSE(ResetTTYScreen(hBare, NULL));
    EXPECT_FALSE(PaintTTY(hBare));
    EXPECT_FALSE(SizeTTY(hBare, 100, 100));
    EXPECT_FALSE(ScrollTTYVert(hBare, SB_LINEDOWN, 0));
    EXPECT_FALSE(ScrollTTYHorz(hBare, SB_LINEDOWN, 0));
    EXPECT_FALSE(SetTTYFocus(hBare));
    EXPECT_FALSE(KillTTYFocus(hBare));
    EXPECT_FALSE(MoveTTYCursor(hBare));
    DestroyWindow(hBare);
    EXPECT_EQ(win->Screen(), before);
}

// ---------------------------------------------------------------------------
// Which parts of the window written text marks for repainting.

class Invalidation : public TerminalWindow {
protected:
    // Scrolls the view one cell right and down, so that the offsets count.
    void ScrolledSmallWindow()
    {
        Place(260, 200);
        ASSERT_TRUE(ScrollTTYVert(h, SB_LINEDOWN, 0));
        ASSERT_TRUE(ScrollTTYHorz(h, SB_LINEDOWN, 0));
        ASSERT_EQ(info->xOffset, info->xChar);
        ASSERT_EQ(info->yOffset, info->yChar);
        Pump(20);
    }
    // Whether the pending update region is exactly the rectangle.
    bool UpdateIs(RECT rc)
    {
        HRGN hUpdate = CreateRectRgn(0, 0, 0, 0);
        HRGN hWant = CreateRectRgnIndirect(&rc);
        GetUpdateRgn(h, hUpdate, FALSE);
        bool f = EqualRgn(hUpdate, hWant) != 0;
        if (!f) {
            RECT box;
            GetRgnBox(hUpdate, &box);
            ADD_FAILURE() << "update box " << box.left << "," << box.top << "," << box.right << ","
                          << box.bottom << " wanted " << rc.left << "," << rc.top << "," << rc.right
                          << "," << rc.bottom;
        }
        DeleteObject(hUpdate);
        DeleteObject(hWant);
        return f;
    }
    bool NothingToPaint()
    {
        RECT rc;
        return !GetUpdateRect(h, &rc, FALSE);
    }
};

TEST_F(Invalidation, APrintedByteMarksExactlyItsCellAtTheScrolledPosition)
{
    ScrolledSmallWindow();
    At(3, 5);
    ValidateRect(h, NULL);
    ASSERT_TRUE(NothingToPaint());
    Write("Q");
    EXPECT_TRUE(UpdateIs(CellRect(3, 5)));

    ValidateRect(h, NULL);
    RECT rcA = CellRect(3, 6), rcB = CellRect(3, 7);
    Write("RS");
    RECT rcBoth = {rcA.left, rcA.top, rcB.right, rcB.bottom};
    EXPECT_TRUE(UpdateIs(rcBoth));
}

TEST_F(Invalidation, CursorMovesAloneMarkNothing)
{
    At(4, 10);
    ValidateRect(h, NULL);
    Write("\r\b\a\n\n");
    EXPECT_TRUE(NothingToPaint());
    EXPECT_EQ(info->nRow, 6);
}

TEST_F(Invalidation, AScrollMarksTheWholeClientArea)
{
    ScrolledSmallWindow();
    At(TTY_ROWS - 1, 2);
    ValidateRect(h, NULL);
    Write("\n");
    EXPECT_TRUE(UpdateIs(Client()));
}

TEST_F(Invalidation, TextChangesNeverAskForAnErase)
{
    g_pfnTTYProc = (WNDPROC)SetWindowLongPtrA(h, GWLP_WNDPROC, (LONG_PTR)CountingProc);
    RECT rc;

    // The way of seeing it works: a pending erase is carried out by
    // GetUpdateRect(bErase TRUE), which sends WM_ERASEBKGND.
    ValidateRect(h, NULL);
    RECT rcCell = CellRect(1, 1);
    InvalidateRect(h, &rcCell, TRUE);
    g_nErase = 0;
    GetUpdateRect(h, &rc, TRUE);
    EXPECT_EQ(g_nErase, 1);

    ValidateRect(h, NULL);
    Write("text");
    g_nErase = 0;
    EXPECT_TRUE(GetUpdateRect(h, &rc, TRUE));
    EXPECT_EQ(g_nErase, 0);

    ValidateRect(h, NULL);
    At(TTY_ROWS - 1, 0);
    Write("scroll\n");
    g_nErase = 0;
    EXPECT_TRUE(GetUpdateRect(h, &rc, TRUE));
    EXPECT_EQ(g_nErase, 0);

    // A resize does repaint with erase, for the area outside the grid.
    ValidateRect(h, NULL);
    RECT rcClient = Client();
    SizeTTY(h, (WORD)rcClient.bottom, (WORD)rcClient.right);
    g_nErase = 0;
    EXPECT_TRUE(GetUpdateRect(h, &rc, TRUE));
    EXPECT_EQ(g_nErase, 1);

    SetWindowLongPtrA(h, GWLP_WNDPROC, (LONG_PTR)g_pfnTTYProc);
}

// ---------------------------------------------------------------------------
// Two threads writing at once while the window paints and scrolls.

namespace {

// A long text from a set of printable bytes, with CR, LF and BS mixed in,
// cut into blocks of 1 to 97 bytes. Deterministic for a seed.
std::vector<std::string> MixedBlocks(const char *pszSet, unsigned uSeed, size_t nTotal)
{
    std::vector<std::string> blocks;
    const size_t nSet = strlen(pszSet);
    unsigned x = uSeed;
    auto next = [&x] {
        x = x * 1103515245u + 12345u;
        return (x >> 8) & 0xFFFF;
    };
    size_t n = 0;
    while (n < nTotal) {
        std::string b(1 + next() % 97, ' ');
        for (char &c : b) {
            unsigned r = next() % 100;
            c = r < 3 ? '\r' : r < 6 ? '\n' : r < 8 ? '\b' : pszSet[next() % nSet];
        }
        n += b.size();
        blocks.push_back(b);
    }
    return blocks;
}

} // namespace

class Concurrency : public TerminalWindow {};

TEST_F(Concurrency, TwoWritersAtOnceKeepTheCursorInsideTheGridAndOnlyTheirBytes)
{
    const char *pszSetA = "abcdefghijklm";
    const char *pszSetB = "NOPQRSTUVWXYZ";
    const auto blocksA = MixedBlocks(pszSetA, 1, 80000);
    const auto blocksB = MixedBlocks(pszSetB, 2, 80000);
    Place(300, 220);      // scroll bars, so the scroll requests below move the view

    // Fields that follow the grid in the record: a store outside the grid
    // would change them.
    const BOOL fConnected = info->fConnected, fAutoWrap = info->fAutoWrap;
    const DWORD dwBaud = info->dwBaudRate;

    std::atomic<int> nDone{0};
    std::atomic<bool> fFailed{false};
    auto writer = [&](const std::vector<std::string> *pBlocks) {
        for (const std::string &b : *pBlocks)
            if (!WriteTTYBlock(hTTYWnd, (LPSTR)b.data(), (int)b.size()))
                fFailed = true;
        nDone++;
    };
    std::thread tA(writer, &blocksA), tB(writer, &blocksB);
    const DWORD dwStart = GetTickCount();
    for (int i = 0; nDone < 2 && GetTickCount() - dwStart < 120000; i++) {
        InvalidateRect(h, NULL, FALSE);
        UpdateWindow(h);
        ScrollTTYVert(h, i % 2 ? SB_LINEUP : SB_PAGEDOWN, 0);
        ScrollTTYHorz(h, i % 3 ? SB_LINEDOWN : SB_LEFT, 0);
        Pump(2);
    }
    tA.join();
    tB.join();
    ASSERT_EQ(nDone, 2) << "the writers hung";
    EXPECT_FALSE(fFailed);

    EXPECT_GE(info->nColumn, 0);
    EXPECT_LE(info->nColumn, TTY_COLUMNS - 1);
    EXPECT_GE(info->nRow, 0);
    EXPECT_LE(info->nRow, TTY_ROWS - 1);
    const std::string allowed = std::string(" ") + pszSetA + pszSetB;
    const std::string screen = win->Screen();
    for (int i = 0; i < TTY_CELLS; i++)
        ASSERT_NE(allowed.find(screen[i]), std::string::npos)
            << "cell " << i << " holds " << (int)(unsigned char)screen[i];
    EXPECT_EQ(info->fConnected, fConnected);
    EXPECT_EQ(info->fAutoWrap, fAutoWrap);
    EXPECT_EQ(info->dwBaudRate, dwBaud);

    // The window still paints after it.
    InvalidateRect(h, NULL, FALSE);
    UpdateWindow(h);
    RECT rc;
    EXPECT_FALSE(GetUpdateRect(h, &rc, FALSE));
}

TEST_F(Concurrency, ALineFromOneWriterIsNeverSplitByTheOther)
{
    // Each block is a line of its own: CR LF and twelve copies of one letter.
    // Held whole by the lock, every row shows such a line or nothing, even
    // in a copy taken while both writers run.
    const int kBlocks = 3000, kRun = 12;
    auto blocks = [&](const char *pszSet) {
        std::vector<std::string> v;
        for (int i = 0; i < kBlocks; i++)
            v.push_back("\r\n" + std::string(kRun, pszSet[i % strlen(pszSet)]));
        return v;
    };
    const auto blocksA = blocks("abcdefghijklm"), blocksB = blocks("NOPQRSTUVWXYZ");
    auto rowIsWhole = [&](const BYTE *pbRow) {
        if (std::string((const char *)pbRow, TTY_COLUMNS) == Blanks(TTY_COLUMNS))
            return true;
        for (int c = 0; c < TTY_COLUMNS; c++)
            if (pbRow[c] != (c < kRun ? pbRow[0] : ' '))
                return false;
        return pbRow[0] != ' ';
    };
    At(TTY_ROWS - 1, 0);

    std::atomic<int> nDone{0};
    auto writer = [&](const std::vector<std::string> *pBlocks) {
        for (const std::string &b : *pBlocks)
            WriteTTYBlock(hTTYWnd, (LPSTR)b.data(), (int)b.size());
        nDone++;
    };
    std::thread tA(writer, &blocksA), tB(writer, &blocksB);
    int nBroken = 0, nCopies = 0;
    std::string firstBroken;
    const DWORD dwStart = GetTickCount();
    while (nDone < 2 && GetTickCount() - dwStart < 120000) {
        BYTE abCopy[TTY_CELLS];
        EnterCriticalSection(&info->csScreen);
        memcpy(abCopy, info->abScreen, TTY_CELLS);
        LeaveCriticalSection(&info->csScreen);
        nCopies++;
        for (int r = 0; r < TTY_ROWS; r++)
            if (!rowIsWhole(abCopy + r * TTY_COLUMNS) && nBroken++ == 0)
                firstBroken = std::string((const char *)abCopy + r * TTY_COLUMNS, TTY_COLUMNS);
        InvalidateRect(h, NULL, FALSE);
        UpdateWindow(h);
        Pump(1);
    }
    tA.join();
    tB.join();
    ASSERT_EQ(nDone, 2) << "the writers hung";
    EXPECT_EQ(nBroken, 0) << "in " << nCopies << " copies; first: [" << firstBroken << "]";
    for (int r = 0; r < TTY_ROWS; r++)
        EXPECT_TRUE(rowIsWhole(info->abScreen + r * TTY_COLUMNS)) << "[" << Row(r) << "]";
    EXPECT_EQ(info->nRow, TTY_ROWS - 1);
    EXPECT_EQ(info->nColumn, kRun);
}

// ---------------------------------------------------------------------------
// Sizing and scrolling.

class Sizing : public TerminalWindow {
protected:
    int GridW() const { return TTY_COLUMNS * info->xChar; }
    int GridH() const { return TTY_ROWS * info->yChar; }
    void ExpectBarsMatchTheRecord()
    {
        int lo = -1, hi = -1;
        GetScrollRange(h, SB_VERT, &lo, &hi);
        EXPECT_EQ(hi, info->yScroll);
        GetScrollRange(h, SB_HORZ, &lo, &hi);
        EXPECT_EQ(hi, info->xScroll);
        EXPECT_EQ(GetScrollPos(h, SB_VERT), info->yOffset);
        EXPECT_EQ(GetScrollPos(h, SB_HORZ), info->xOffset);
    }
};

TEST_F(Sizing, AClientAreaLargerThanTheGridNeedsNoScrolling)
{
    Place(300, 200);
    ScrollTTYVert(h, SB_BOTTOM, 0);
    ScrollTTYHorz(h, SB_RIGHT, 0);
    ASSERT_GT(info->yOffset, 0);
    const RECT rc = Place(GridW() + 150, GridH() + 150);
    ASSERT_GE(rc.right, GridW());
    ASSERT_GE(rc.bottom, GridH());
    EXPECT_EQ(info->xSize, rc.right);
    EXPECT_EQ(info->ySize, rc.bottom);
    EXPECT_EQ(info->xScroll, 0);
    EXPECT_EQ(info->yScroll, 0);
    EXPECT_EQ(info->xOffset, 0);
    EXPECT_EQ(info->yOffset, 0);
    ExpectBarsMatchTheRecord();

    for (WORD cmd : {SB_LINEDOWN, SB_PAGEDOWN, SB_BOTTOM, SB_LINEUP, SB_THUMBPOSITION}) {
        EXPECT_TRUE(ScrollTTYVert(h, cmd, 40)) << cmd;
        EXPECT_TRUE(ScrollTTYHorz(h, cmd, 40)) << cmd;
        EXPECT_EQ(info->xOffset, 0) << cmd;
        EXPECT_EQ(info->yOffset, 0) << cmd;
    }
}

TEST_F(Sizing, ASmallClientAreaScrollsOverTheWholeGrid)
{
    const RECT rc = Place(300, 200);
    ASSERT_LT(rc.right, GridW());
    ASSERT_LT(rc.bottom, GridH());
    EXPECT_EQ(info->xSize, rc.right);
    EXPECT_EQ(info->ySize, rc.bottom);
    EXPECT_EQ(info->xScroll, GridW() - rc.right);
    EXPECT_EQ(info->yScroll, GridH() - rc.bottom);
    EXPECT_EQ(info->xOffset, 0);
    EXPECT_EQ(info->yOffset, 0);
    ExpectBarsMatchTheRecord();
}

TEST_F(Sizing, MinimisingKeepsTheOffsetsAndRestoringClampsThem)
{
    const RECT rc = Place(300, 200);
    ScrollTTYVert(h, SB_LINEDOWN, 0);
    ScrollTTYHorz(h, SB_LINEDOWN, 0);
    ScrollTTYHorz(h, SB_LINEDOWN, 0);
    EXPECT_TRUE(SizeTTY(h, 0, 0));
    EXPECT_EQ(info->xScroll, GridW());
    EXPECT_EQ(info->yScroll, GridH());
    EXPECT_EQ(info->xOffset, 2 * info->xChar);
    EXPECT_EQ(info->yOffset, info->yChar);

    // At the very bottom and right of the minimised range, then restored.
    ScrollTTYVert(h, SB_BOTTOM, 0);
    ScrollTTYHorz(h, SB_RIGHT, 0);
    EXPECT_EQ(info->yOffset, GridH());
    EXPECT_EQ(info->xOffset, GridW());
    EXPECT_TRUE(SizeTTY(h, (WORD)rc.bottom, (WORD)rc.right));
    EXPECT_EQ(info->yScroll, GridH() - rc.bottom);
    EXPECT_EQ(info->xScroll, GridW() - rc.right);
    EXPECT_EQ(info->yOffset, info->yScroll);
    EXPECT_EQ(info->xOffset, info->xScroll);
    ExpectBarsMatchTheRecord();
}

TEST_F(Sizing, EnlargingAtTheBottomLowersTheOffsetToTheNewRange)
{
    const RECT rcSmall = Place(300, 180);
    ScrollTTYVert(h, SB_BOTTOM, 0);
    ASSERT_EQ(info->yOffset, GridH() - rcSmall.bottom);
    const RECT rcLarger = Place(300, 180 + 3 * info->yChar);
    ASSERT_GT(rcLarger.bottom, rcSmall.bottom);
    ASSERT_LT(rcLarger.bottom, GridH());
    EXPECT_EQ(info->yScroll, GridH() - rcLarger.bottom);
    EXPECT_EQ(info->yOffset, info->yScroll);
    ExpectBarsMatchTheRecord();

    // Shrinking again leaves the offset where it is and widens the range.
    const int yOffset = info->yOffset;
    Place(300, 180);
    EXPECT_EQ(info->yOffset, yOffset);
    EXPECT_EQ(info->yScroll, GridH() - rcSmall.bottom);
}

class Scrolling : public Sizing {
protected:
    void CheckAxis(bool fVert)
    {
        Place(200, 150);
        BOOL (*pfnScroll)(HWND, WORD, WORD) = fVert ? ScrollTTYVert : ScrollTTYHorz;
        int *pnOffset = fVert ? &info->yOffset : &info->xOffset;
        int *pnOther = fVert ? &info->xOffset : &info->yOffset;
        const int nBar = fVert ? SB_VERT : SB_HORZ;
        const int nRange = fVert ? info->yScroll : info->xScroll;
        const int nLine = fVert ? info->yChar : info->xChar;
        const int nPage = fVert ? info->ySize : info->xSize;
        ASSERT_GT(nRange, 2 * nPage + nLine) << "the window is too large for this test";
        ASSERT_GT(nPage, 0);
        const int nOther = *pnOther;

        struct Step {
            WORD wCmd, wPos;
            int nWant;
        } steps[] = {
            {SB_LINEDOWN, 0, nLine},
            {SB_LINEDOWN, 0, 2 * nLine},
            {SB_LINEUP, 0, nLine},
            {SB_PAGEDOWN, 0, nLine + nPage},
            {SB_PAGEUP, 0, nLine},
            {SB_PAGEUP, 0, 0},                       // clamps at the top
            {SB_LINEUP, 0, 0},
            {SB_THUMBPOSITION, (WORD)(nRange / 2), nRange / 2},
            {SB_BOTTOM, 0, nRange},
            {SB_LINEDOWN, 0, nRange},                // moves by 0 at the end
            {SB_PAGEUP, 0, nRange - nPage},
            {SB_THUMBPOSITION, (WORD)(nRange - nPage / 2), nRange - nPage / 2},
            {SB_PAGEDOWN, 0, nRange},                // clamps at the range
            {SB_TOP, 0, 0},
            {SB_THUMBPOSITION, (WORD)(nRange + 50), nRange},
        };
        for (const Step &s : steps) {
            EXPECT_TRUE(pfnScroll(h, s.wCmd, s.wPos)) << "request " << s.wCmd;
            EXPECT_EQ(*pnOffset, s.nWant) << "request " << s.wCmd << " pos " << s.wPos;
            EXPECT_EQ(GetScrollPos(h, nBar), s.nWant) << "request " << s.wCmd;
            EXPECT_EQ(*pnOther, nOther) << "request " << s.wCmd;
        }

        // Dragging the thumb, the end of a scroll and unknown codes move nothing.
        ASSERT_TRUE(pfnScroll(h, SB_THUMBPOSITION, (WORD)nLine));
        for (WORD wCmd : {(WORD)SB_THUMBTRACK, (WORD)SB_ENDSCROLL, (WORD)9, (WORD)0xFFFF}) {
            EXPECT_FALSE(pfnScroll(h, wCmd, (WORD)(3 * nLine))) << "request " << wCmd;
            EXPECT_EQ(*pnOffset, nLine) << "request " << wCmd;
            EXPECT_EQ(GetScrollPos(h, nBar), nLine) << "request " << wCmd;
        }
        // The window procedure passes the bar messages on.
        SendMessageA(h, fVert ? WM_VSCROLL : WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 2 * nLine), 0);
        EXPECT_EQ(*pnOffset, 2 * nLine);
    }
};

TEST_F(Scrolling, VerticalRequestsMoveTheViewWithinItsRange) { CheckAxis(true); }

TEST_F(Scrolling, HorizontalRequestsMoveTheViewWithinItsRange) { CheckAxis(false); }

// ---------------------------------------------------------------------------
// The pixels that painting puts on the screen.

class Painting : public TerminalWindow {
protected:
    COLORREF Bg() const { return GetSysColor(COLOR_WINDOW); }
    void Repaint(BOOL fErase)
    {
        InvalidateRect(h, NULL, fErase);
        UpdateWindow(h);
    }
    // Paints the whole client area in a colour the terminal never uses.
    void Smear()
    {
        HDC hDC = GetDC(h);
        RECT rc = Client();
        HBRUSH hbr = CreateSolidBrush(RGB(0x10, 0x80, 0x10));
        FillRect(hDC, &rc, hbr);
        DeleteObject(hbr);
        ReleaseDC(h, hDC);
    }
};

TEST_F(Painting, GlyphsAreDrawnInTheTextColourOnTheWindowColour)
{
    const COLORREF crText = RGB(0xC0, 0x30, 0x60);
    info->rgbFGColor = crText;
    ASSERT_NE(crText, Bg());
    const RECT rcClient = Client();
    ASSERT_GT(rcClient.right, TTY_COLUMNS * info->xChar);
    ASSERT_GT(rcClient.bottom, TTY_ROWS * info->yChar);
    At(2, 3);
    Write("#");
    At(TTY_ROWS - 1, TTY_COLUMNS - 1);
    info->fAutoWrap = FALSE;
    Write("#");

    // Without an erase, the cell backgrounds still come out in the window
    // colour: painting fills them itself.
    Smear();
    Repaint(FALSE);
    Shot shot(h);
    ASSERT_TRUE(shot.Valid());
    const RECT rcGlyph = CellRect(2, 3), rcLast = CellRect(TTY_ROWS - 1, TTY_COLUMNS - 1);
    EXPECT_GT(shot.Count(rcGlyph, crText), 0);
    EXPECT_EQ(shot.Count(rcGlyph, crText) + shot.Count(rcGlyph, Bg()), shot.Area(rcGlyph));
    EXPECT_GT(shot.Count(rcLast, crText), 0);
    const RECT rcSpace = CellRect(2, 4), rcOther = CellRect(10, 40);
    EXPECT_EQ(shot.Count(rcSpace, Bg()), shot.Area(rcSpace));
    EXPECT_EQ(shot.Count(rcOther, Bg()), shot.Area(rcOther));
    const RECT rcGrid = {0, 0, TTY_COLUMNS * info->xChar, TTY_ROWS * info->yChar};
    EXPECT_EQ(shot.Count(rcGrid, crText),
              shot.Count(rcGlyph, crText) + shot.Count(rcLast, crText));
    EXPECT_EQ(shot.Count(rcGrid, Bg()) + shot.Count(rcGrid, crText), shot.Area(rcGrid));

    // With the erase of a resize, the area outside the grid is the window colour too.
    Repaint(TRUE);
    Shot erased(h);
    const RECT rcRight = {rcGrid.right, 0, rcClient.right, rcClient.bottom};
    const RECT rcBelow = {0, rcGrid.bottom, rcClient.right, rcClient.bottom};
    EXPECT_EQ(erased.Count(rcRight, Bg()), erased.Area(rcRight));
    EXPECT_EQ(erased.Count(rcBelow, Bg()), erased.Area(rcBelow));
    EXPECT_GT(erased.Count(rcGlyph, crText), 0);
}

TEST_F(Painting, ScrollingShiftsTheShownGridByTheOffsets)
{
    const COLORREF crText = RGB(0xC0, 0x30, 0x60);
    info->rgbFGColor = crText;
    Place(260, 200);
    At(2, 3);
    Write("#");
    Repaint(TRUE);
    Shot before(h);
    EXPECT_GT(before.Count(CellRect(2, 3), crText), 0);

    ScrollTTYVert(h, SB_LINEDOWN, 0);
    ScrollTTYHorz(h, SB_LINEDOWN, 0);
    UpdateWindow(h);
    Shot after(h);
    const RECT rcNow = CellRect(2, 3);
    EXPECT_EQ(rcNow.left, 2 * info->xChar);
    EXPECT_EQ(rcNow.top, info->yChar);
    EXPECT_GT(after.Count(rcNow, crText), 0);
    const RECT rcWas = {3 * info->xChar, 2 * info->yChar, 4 * info->xChar, 3 * info->yChar};
    EXPECT_EQ(after.Count(rcWas, crText), 0);
    const RECT rcAll = Client();
    EXPECT_EQ(after.Count(rcAll, crText), after.Count(rcNow, crText));
}

TEST_F(Painting, AFontChangeRemeasuresTheCellsAndKeepsTextAndCursor)
{
    Write("font\r\nchange#");
    const std::string screen = win->Screen();
    const int nRow = info->nRow, nColumn = info->nColumn;
    const int xOld = info->xChar, yOld = info->yChar;

    info->lfTTYFont.lfHeight = 24;
    info->lfTTYFont.lfCharSet = ANSI_CHARSET;
    lstrcpynA(info->lfTTYFont.lfFaceName, "Courier New", LF_FACESIZE);
    EXPECT_TRUE(ResetTTYScreen(h, info));

    // The cell size of that font, measured here on our own.
    int xCell = 0, yCell = 0;
    CellOf(h, info->lfTTYFont, &xCell, &yCell);
    EXPECT_EQ(info->xChar, xCell);
    EXPECT_EQ(info->yChar, yCell);
    EXPECT_NE(info->yChar, yOld) << "the new font measures as the old one: " << xOld << "x" << yOld;

    const RECT rc = Client();
    EXPECT_EQ(info->xSize, rc.right);
    EXPECT_EQ(info->ySize, rc.bottom);
    EXPECT_EQ(info->xScroll, std::max(0, TTY_COLUMNS * info->xChar - (int)rc.right));
    EXPECT_EQ(info->yScroll, std::max(0, TTY_ROWS * info->yChar - (int)rc.bottom));
    EXPECT_EQ(win->Screen(), screen);
    EXPECT_EQ(info->nRow, nRow);
    EXPECT_EQ(info->nColumn, nColumn);

    // The text is shown in the new cells: the '#' cell has ink, the next one none.
    UpdateWindow(h);
    Shot shot(h);
    const COLORREF crBg = GetSysColor(COLOR_WINDOW);
    const RECT rcGlyph = CellRect(1, 6), rcSpace = CellRect(1, 7);
    EXPECT_LT(shot.Count(rcGlyph, crBg), shot.Area(rcGlyph));
    EXPECT_EQ(shot.Count(rcSpace, crBg), shot.Area(rcSpace));
}

// ---------------------------------------------------------------------------
// The caret marks the cursor while a connection is open.

class Caret : public TerminalWindow {
protected:
    HWND CaretWindow(RECT *prc = NULL)
    {
        GUITHREADINFO gti = {};
        gti.cbSize = sizeof gti;
        GetGUIThreadInfo(GetCurrentThreadId(), &gti);
        if (prc)
            *prc = gti.rcCaret;
        return gti.hwndCaret;
    }
    void ExpectCaretOnCursor()
    {
        POINT pt = {-1, -1};
        EXPECT_TRUE(GetCaretPos(&pt));
        EXPECT_EQ(pt.x, info->nColumn * info->xChar - info->xOffset);
        EXPECT_EQ(pt.y, info->nRow * info->yChar - info->yOffset);
    }
};

TEST_F(Caret, NoCaretWithoutAConnection)
{
    EXPECT_TRUE(SetTTYFocus(h));
    EXPECT_EQ(info->wCursorState, CURSOR_HIDDEN);
    EXPECT_NE(CaretWindow(), h);
}

TEST_F(Caret, AConnectionGetsOneCaretTheSizeOfACellOnTheCursor)
{
    Write("ab\r\ncd");
    info->fConnected = TRUE;
    EXPECT_TRUE(SetTTYFocus(h));
    EXPECT_EQ(info->wCursorState, CURSOR_SHOWN);
    RECT rc;
    EXPECT_EQ(CaretWindow(&rc), h);
    EXPECT_EQ(rc.right - rc.left, info->xChar);
    EXPECT_EQ(rc.bottom - rc.top, info->yChar);
    ExpectCaretOnCursor();

    EXPECT_TRUE(SetTTYFocus(h));
    EXPECT_EQ(info->wCursorState, CURSOR_SHOWN);
    EXPECT_EQ(CaretWindow(), h);
    ExpectCaretOnCursor();

    // Losing the focus while connected removes it; regaining brings it back.
    EXPECT_TRUE(KillTTYFocus(h));
    EXPECT_EQ(info->wCursorState, CURSOR_HIDDEN);
    EXPECT_NE(CaretWindow(), h);
    EXPECT_TRUE(SetTTYFocus(h));
    EXPECT_EQ(CaretWindow(), h);
    KillTTYFocus(h);
}

TEST_F(Caret, LosingFocusWithoutAConnectionLeavesTheCaretAlone)
{
    EXPECT_TRUE(KillTTYFocus(h));
    EXPECT_EQ(info->wCursorState, CURSOR_HIDDEN);

    info->fConnected = TRUE;
    SetTTYFocus(h);
    info->fConnected = FALSE;            // the connection ended first
    EXPECT_TRUE(KillTTYFocus(h));
    EXPECT_EQ(info->wCursorState, CURSOR_SHOWN);
    EXPECT_EQ(CaretWindow(), h);

    // A call from another thread leaves it too: the caret is the window thread's.
    info->fConnected = TRUE;
    std::thread([this] { KillTTYFocus(h); }).join();
    EXPECT_EQ(info->wCursorState, CURSOR_SHOWN);
    EXPECT_EQ(CaretWindow(), h);
    KillTTYFocus(h);
    EXPECT_EQ(info->wCursorState, CURSOR_HIDDEN);
}

TEST_F(Caret, TheCaretFollowsTheCursorAndTheScrollOffsets)
{
    Place(260, 200);
    info->fConnected = TRUE;
    SetTTYFocus(h);
    Write("line one\r\nline two\r\n   x\b");    // BS, CR and LF move the caret at once
    ExpectCaretOnCursor();

    ScrollTTYVert(h, SB_LINEDOWN, 0);
    ScrollTTYHorz(h, SB_LINEDOWN, 0);
    ScrollTTYHorz(h, SB_LINEDOWN, 0);
    ASSERT_GT(info->xOffset, 0);
    ASSERT_GT(info->yOffset, 0);
    EXPECT_TRUE(MoveTTYCursor(h));
    ExpectCaretOnCursor();

    // Text from the watch thread does not move the caret itself; the next
    // paint brings it to the cursor.
    POINT ptBefore;
    GetCaretPos(&ptBefore);
    std::thread([] { WriteTTYBlock(hTTYWnd, (LPSTR) "\r\n\n12345", 8); }).join();
    POINT ptNow;
    GetCaretPos(&ptNow);
    EXPECT_EQ(ptNow.x, ptBefore.x);
    EXPECT_EQ(ptNow.y, ptBefore.y);
    UpdateWindow(h);
    ExpectCaretOnCursor();
    KillTTYFocus(h);
}
