// The application shell: saved settings, start-up, menu gating, commands,
// the about box and the end of the message loop.
#include "tests/win/testkit.h"

using namespace kt;

namespace {

// Ports 5 and 6 of the prefix lead nowhere, so the start-up probe fails on them.
class Shell : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        MapCom(5, "/nonexistent/kelvo-tty5");
        MapCom(6, "/nonexistent/kelvo-tty6");
    }
    ScratchDir dir;
    MessageBoxSpy spy;
};

} // namespace

TEST_F(Shell, FirstStartCreatesSaveInfoWithPort2At115200)
{
    MainWindow w;
    ASSERT_TRUE(w.Hwnd());
    std::string s = ReadFileBytes("saveinfo.cfg");
    ASSERT_EQ(s.size(), 8u) << Hex(s);
    EXPECT_EQ((unsigned char)s[0], 2);
    EXPECT_EQ(s.substr(4), std::string("\x00\xC2\x01\x00", 4)) << Hex(s);
    EXPECT_EQ(w.Info()->bPort, 2);
    EXPECT_EQ(w.Info()->dwBaudRate, 115200u);
    EXPECT_EQ(w.Info()->bByteSize, 8);
    EXPECT_EQ(w.Info()->bParity, NOPARITY);
    EXPECT_EQ(w.Info()->bStopBits, ONESTOPBIT);
    EXPECT_EQ(w.Info()->bFlowCtrl, FC_XONXOFF);
}

TEST_F(Shell, SavedPortAndBaudAreUsedAndTheFileIsNotRewritten)
{
    // Padding bytes that a rewrite would not keep.
    WriteFileBytes("saveinfo.cfg", std::string("\x05\xAA\xBB\xCC\x80\x25\x00\x00", 8));
    MainWindow w;
    EXPECT_EQ(w.Info()->bPort, 5);
    EXPECT_EQ(w.Info()->dwBaudRate, 9600u);
    EXPECT_EQ(ReadFileBytes("saveinfo.cfg"), std::string("\x05\xAA\xBB\xCC\x80\x25\x00\x00", 8));
}

TEST_F(Shell, ShortSaveInfoGivesTheDefaultsAndStaysAsItIs)
{
    WriteFileBytes("saveinfo.cfg", std::string("\x05\x00\x00", 3));
    MainWindow w;
    EXPECT_EQ(w.Info()->bPort, 2);
    EXPECT_EQ(w.Info()->dwBaudRate, 115200u);
    EXPECT_EQ(ReadFileBytes("saveinfo.cfg"), std::string("\x05\x00\x00", 3));
}

TEST_F(Shell, UnopenablePortIsReportedAndStartUpCompletes)
{
    WriteSaveInfo(0, 115200);
    MainWindow w;
    ASSERT_TRUE(w.Hwnd());
    ASSERT_TRUE(spy.WaitFor(1));
    std::vector<Box> boxes = spy.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Can't open COM0");
    EXPECT_EQ(boxes[0].caption, "Kelvo");
    EXPECT_TRUE(boxes[0].fExclamation);
    EXPECT_FALSE(w.Grayed(IDM_CONNECT));
    EXPECT_TRUE(w.Grayed(IDM_DISCONNECT));

    spy.Clear();
    WriteSaveInfo(6, 9600);
    MainWindow w2;
    ASSERT_TRUE(spy.WaitFor(1));
    EXPECT_EQ(spy.Boxes()[0].text, "Can't open COM6");
}

TEST_F(Shell, StartUpShowsTheBannerAloneWithTheCursorBelowIt)
{
    WriteSaveInfo(5, 115200);
    MainWindow w;
    EXPECT_EQ(Trim(w.Row(0)) + "\r\n", gszBanner);
    EXPECT_LT(strlen(gszBanner), (size_t)TTY_COLUMNS);
    EXPECT_EQ(w.Screen().substr(TTY_COLUMNS), std::string(TTY_CELLS - TTY_COLUMNS, ' '));
    EXPECT_EQ(w.Info()->nRow, 1);
    EXPECT_EQ(w.Info()->nColumn, 0);
    EXPECT_EQ(ClassOf(w.Hwnd()), "KelvoWndClass");
    EXPECT_EQ(TextOf(w.Hwnd()), "Kelvo");
    EXPECT_FALSE(w.Grayed(IDM_CONNECT));
    EXPECT_TRUE(w.Grayed(IDM_DISCONNECT));
    EXPECT_FALSE(w.Grayed(IDM_SETTINGS));
    EXPECT_FALSE(w.Info()->fConnected);
}

TEST_F(Shell, MenuHasTheActionPopupAndAboutOnTheBar)
{
    WriteSaveInfo(5, 115200);
    MainWindow w;
    HMENU hMenu = GetMenu(w.Hwnd());
    ASSERT_EQ(GetMenuItemCount(hMenu), 2);
    HMENU hAction = GetSubMenu(hMenu, 0);
    ASSERT_TRUE(hAction);
    const UINT aId[] = {IDM_CONNECT, IDM_DISCONNECT, 0, IDM_SETTINGS, 0, IDM_EXIT};
    ASSERT_EQ(GetMenuItemCount(hAction), 6);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(GetMenuItemID(hAction, i), aId[i]) << i;
    EXPECT_EQ(GetSubMenu(hMenu, 1), (HMENU)NULL);
    EXPECT_EQ(GetMenuItemID(hMenu, 1), (UINT)IDM_ABOUT);
}

TEST_F(Shell, AcceleratorsObeyTheMenuGating)
{
    WriteSaveInfo(5, 115200);
    MainWindow w;
    ASSERT_TRUE(spy.WaitFor(1));            // the start-up probe's box for COM5
    spy.Clear();
    std::string before = w.Screen();
    // Ctrl+D while unconnected: Disconnect is grayed, nothing happens.
    PostMessageA(w.Hwnd(), WM_CHAR, 0x04, 0);
    Pump(300);
    EXPECT_EQ(w.Screen(), before);
    EXPECT_TRUE(spy.Boxes().empty());

    // Ctrl+S opens the settings dialog through the message loop.
    {
        DialogDriver d("Kelvo Settings...", [&](HWND h) {
            PostMessageA(h, WM_COMMAND, IDCANCEL, 0);
        });
        PostMessageA(w.Hwnd(), WM_CHAR, 0x13, 0);
        Pump(12000, [&] { return d.Done() && FindDialog("Kelvo Settings...", 0) == NULL; });
        EXPECT_TRUE(d.Join());
    }

    // Ctrl+C opens the file dialog; cancelling it changes nothing.
    {
        DialogDriver d(nullptr, [&](HWND h) { PostMessageA(h, WM_COMMAND, IDCANCEL, 0); });
        PostMessageA(w.Hwnd(), WM_CHAR, 0x03, 0);
        Pump(12000, [&] { return d.Done(); });
        EXPECT_TRUE(d.Join());
    }
    Pump(200);
    EXPECT_EQ(w.Screen(), before);
    EXPECT_TRUE(spy.Boxes().empty());
    EXPECT_FALSE(w.Info()->fConnected);

    // Typing ordinary keys does nothing either.
    for (char c : std::string("hello"))
        PostMessageA(w.Hwnd(), WM_CHAR, (WPARAM)c, 0);
    Pump(200);
    EXPECT_EQ(w.Screen(), before);
}

TEST_F(Shell, ExitAndTheCloseBoxEndTheLoopWithZero)
{
    WriteSaveInfo(5, 115200);
    {
        MainWindow w;
        PostMessageA(w.Hwnd(), WM_COMMAND, IDM_EXIT, 0);
        EXPECT_EQ(RunMessageLoop(), 0);
        EXPECT_FALSE(IsWindow(w.Hwnd()));
    }
    {
        MainWindow w;
        PostMessageA(w.Hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_EQ(RunMessageLoop(), 0);
        EXPECT_FALSE(IsWindow(w.Hwnd()));
    }
}

TEST_F(Shell, DestroyWithoutRecordReturnsFalse)
{
    HWND h = CreateWindowA("STATIC", "", 0, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    EXPECT_FALSE(DestroyTTYInfo(h));
    DestroyWindow(h);
}

TEST_F(Shell, AboutBoxClosesOnlyWithOk)
{
    WriteSaveInfo(5, 115200);
    MainWindow w;
    std::string version, banner;
    bool fIconVisible = true, fOpenAfterEscape = false;
    DialogDriver d("About", [&](HWND h) {
        version = TextOf(GetDlgItem(h, IDD_VERSION));
        banner = TextOf(GetDlgItem(h, IDD_BANNER));
        fIconVisible = IsWindowVisible(GetDlgItem(h, IDD_ICON));
        PostMessageA(h, WM_COMMAND, IDCANCEL, 0);
        PostMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0);
        Sleep(300);
        fOpenAfterEscape = IsWindow(h) && IsWindowVisible(h);
        PostMessageA(h, WM_COMMAND, IDOK, 0);
    });
    PostMessageA(w.Hwnd(), WM_COMMAND, IDM_ABOUT, 0);
    Pump(12000, [&] { return d.Done() && FindDialog("About", 0) == NULL; });
    EXPECT_TRUE(d.Join());
    EXPECT_EQ(version, "Kelvo v.1.04");
    EXPECT_FALSE(banner.empty());
    EXPECT_FALSE(fIconVisible);
    EXPECT_TRUE(fOpenAfterEscape);
    EXPECT_EQ(FindDialog("About", 0), (HWND)NULL);
}
