// The shell as a user meets it: start-up with the saved settings, a session
// through the menu keys and the real file dialog, what cannot be used, the
// settings and about boxes, the file dialog and the loader.
#include "kit.h"

namespace {

using namespace kt;
const int kTypeCombo = 0x470, kFontSize = 0x472, kFontColour = 0x473;

std::string SaveInfo(BYTE port, DWORD baud, char pad = 0)
{
    return {(char)port, pad, pad, pad, (char)baud, (char)(baud >> 8), (char)(baud >> 16), (char)(baud >> 24)};
}

TEST(Shell, StartUpTakesTheSavedPortAndBaudAndProbesThePort)
{
    struct Row { const char *what; std::string file; BYTE port; DWORD baud; std::string box; };
    const Row rows[] = {
        {"a first start writes COM2 at 115200", "", 2, 115200, "Kelvo|Can't open COM2"},
        {"COM3 at 9600 is taken as saved", SaveInfo(3, 9600, 'x'), 3, 9600, "Kelvo|Can't open COM3"},
        {"a short file gives the defaults", "\x01\x02\x03", 2, 115200, "Kelvo|Can't open COM2"},
        {"a rate no list offers is kept as read", SaveInfo(3, 0xFFFFFFFF), 3, 0xFFFFFFFF, "Kelvo|Can't open COM3"},
        {"a port that opens draws no box and is closed again", SaveInfo(5, 38400), 5, 38400, ""},
    };
    for (const Row &r : rows) {
        Scratch s;
        Unplug(2), Unplug(3);
        if (!r.file.empty())
            WriteAll("saveinfo.cfg", r.file);
        std::unique_ptr<Target> t(r.box.empty() ? new Target(s, 5, "--silent", MakeDlf(s, "fw.dlf", 10)) : nullptr);
        Watch watch;
        Window w;
        NPTTYINFO p = w.Info();
        EXPECT_EQ(p->bPort * 1000000 + p->dwBaudRate, r.port * 1000000 + r.baud) << r.what;
        EXPECT_TRUE(p->bByteSize == 8 && p->bParity == NOPARITY && p->bStopBits == ONESTOPBIT && p->bFlowCtrl == 4 &&
                    p->fAutoWrap && !p->fNewLine && !p->fLocalEcho && p->fDisplayErrors) << r.what;
        std::string file = ReadAll("saveinfo.cfg");
        EXPECT_EQ(r.file.empty() ? file.erase(1, 3) : file, r.file.empty() ? std::string("\2\0\xc2\1\0", 5) : r.file) << r.what;
        EXPECT_EQ(watch.Boxes(), r.box.empty() ? Strings{} : Strings{r.box}) << r.what;
        EXPECT_EQ(w.Row(0) + "\r\n", gszBanner);
        EXPECT_EQ(w.Screen().substr(80), std::string(TTY_CELLS - 80, ' '));
        EXPECT_TRUE(p->nRow == 1 && p->nColumn == 0 && w.Grayed(IDM_DISCONNECT) && !w.Grayed(IDM_CONNECT));
        // A port the probe kept would show as opened and never closed.
        EXPECT_TRUE(!t || !t->Says("opened", 1, 500) || t->Says("closed")) << r.what;
    }
}

// A download, the next Connect with the previous path, a second session
// (with the settings and about boxes) broken off with Ctrl+D, and the gating
// of Connect while connected.
TEST(Shell, ASessionThroughTheMenuKeysAndTheFileDialog)
{
    Scratch s;
    WriteAll("saveinfo.cfg", SaveInfo(6, 115200));
    const std::string dlf = MakeDlf(s, "fw.dlf", 3000);
    std::unique_ptr<Target> t(new Target(s, 6, "--plan auto:1000", dlf));
    Watch watch;
    Window w;
    std::string initial = "?", filters;
    watch.On("Open", [&](HWND h) {
        char sz[64];
        for (int i = 0; SendDlgItemMessageA(h, kTypeCombo, CB_GETLBTEXT, i, (LPARAM)sz) > 0; i++)
            filters += std::string(sz) + (i == SendDlgItemMessageA(h, kTypeCombo, CB_GETCURSEL, 0, 0) ? "*|" : "|");
        Choose(Win(dlf), &initial)(h);
    });
    w.Key(3);                                                // Ctrl+C
    EXPECT_EQ(t->Result().substr(0, 30), "RESULT ok bytes=3004 blocks=4 ");
    EXPECT_TRUE(Pump(5000, [&] { return !w.Connected() && !w.Grayed(IDM_CONNECT) && w.Grayed(IDM_DISCONNECT); }));
    EXPECT_TRUE(t->Says("the PC closed the port"));
    EXPECT_EQ(initial, "");
    EXPECT_EQ(filters, "Data Files (*.DLF)*|All Files (*.*)|");
    const char *rows[] = {"", "Port:       COM6", "Baudrate:   115200", "File:       fw.dlf", "", "waiting...", "",
                          "UART downloading...100%", "", "Complete!!!", ""};
    for (int r = 1; r <= 11; r++)
        EXPECT_EQ(w.Row(r), rows[r - 1]) << "row " << r;

    const std::string screen = w.Screen();
    watch.On("Open", Choose("", &initial));                 // looked at, then cancelled
    w.Key(3);
    EXPECT_EQ(initial, "fw.dlf");                            // in the folder it came from
    EXPECT_EQ(w.Screen(), screen);

    t.reset(new Target(s, 6, "--silent", dlf));
    watch.On("Open", Choose(Win(dlf)));
    w.Key(3);
    ASSERT_TRUE(w.Connected());
    EXPECT_TRUE(w.Grayed(IDM_CONNECT) && !w.Grayed(IDM_DISCONNECT));
    EXPECT_GE(Caret(w.hWnd).left, 0) << "no caret in the session after a completed one";
    // Settings while connected: no other port offered; the record's line
    // settings reach the open port, even on Cancel.
    bool fPortEnabled = true;
    w.Info()->dwBaudRate = 9600;                             // as if changed behind the port's back
    watch.On("Kelvo Settings...", [&](HWND h) {
        fPortEnabled = IsWindowEnabled(GetDlgItem(h, IDD_PORTCB));
        PostMessageA(h, WM_COMMAND, IDCANCEL, 0);
    });
    SendMessageA(w.hWnd, WM_COMMAND, IDM_SETTINGS, 0);
    EXPECT_TRUE(t->Says("# line: 9600 bit/s") && !fPortEnabled) << t->Transcript();
    // The about box, its icon hidden, closes with Ok alone.
    std::string about;
    watch.On("About", [&](HWND h) {
        SendMessageA(h, WM_COMMAND, IDCANCEL, 0);            // Escape
        SendMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0);         // the close box
        about = IsWindowVisible(h) && !IsWindowVisible(GetDlgItem(h, IDD_ICON)) ? Text(GetDlgItem(h, IDD_VERSION)) : "gone";
        PostMessageA(h, WM_COMMAND, IDOK, 0);
    });
    SendMessageA(w.hWnd, WM_COMMAND, IDM_ABOUT, 0);
    EXPECT_EQ(about, "Kelvo v.1.04");
    watch.On("Open", Choose(""));
    SendMessageA(w.hWnd, WM_COMMAND, IDM_CONNECT, 0);        // as another program might post it
    w.Key(3);
    EXPECT_FALSE(watch.Ran("Open")) << "a file dialog while connected";
    w.Key(4);                                                // Ctrl+D
    EXPECT_TRUE(!w.Connected() && w.Grayed(IDM_DISCONNECT) && !w.Grayed(IDM_CONNECT));
    EXPECT_TRUE(t->Says("the PC closed the port"));
    EXPECT_EQ(w.Row(w.Info()->nRow - 2), "User break.");
    EXPECT_LT(Caret(w.hWnd).left, 0) << "a caret after Disconnect";
    watch.On("Open", Choose("", &initial));
    w.Key(3);
    EXPECT_EQ(initial, "");
    EXPECT_EQ(watch.Boxes(), Strings{});
}

TEST(Shell, AFileOrAPortThatCannotBeUsedIsToldAndNothingStarts)
{
    Scratch s;
    const std::string good = MakeDlf(s, "good.dlf", 100);
    std::string bad = ReadAll(Win(good));
    WriteAll(Win(s / "bad.dlf"), bad.replace(50, 1, 1, bad[50] ^ 1));
    const std::string notDlf = "Kelvo|This file is not DLF format.", notFree = "Kelvo|COM7 is not available.",
                      notRate = " is not supported. Choose one in Settings.";
    WriteAll(Win(s / "other.txt"), ReadAll(Win(good)));
    // The file dialog gives back a name typed without extension with .txt
    // (when "All Files" is chosen) and one of a file that does not exist
    // after its question. A saved rate that no list offers (a damaged or
    // hand-edited saveinfo.cfg) is refused before a file is asked for.
    const struct { const char *what; DWORD baud; std::string file; bool fLive, fAllFiles; Strings boxes; } rows[] = {
        {"a damaged file", 115200, s / "bad.dlf", true, false, {notDlf}},
        {"a file that does not exist", 115200, s / "none.dlf", true, false, {notDlf}},
        {"a port that cannot be opened", 115200, good, false, false, {notFree}},
        {"the same, the name given without .txt", 115200, s / "other", false, true, {notFree}},
        {"a saved rate of 0, the port live", 0, good, true, false, {"Kelvo|The baud rate 0" + notRate}},
        {"a saved rate of all ones, the port live", 0xFFFFFFFF, good, true, false, {"Kelvo|The baud rate 4294967295" + notRate}},
    };
    for (const auto &r : rows) {
        Unplug(7);
        WriteAll("saveinfo.cfg", SaveInfo(7, r.baud));
        Watch watch;
        Window w;                                            // its start-up probe finds no port
        std::unique_ptr<Target> t(r.fLive ? new Target(s, 7, "--silent", good) : nullptr);
        FreeLoadedFile(TakeLoadedFile(&dwQelLength));
        watch.On("Open", [&](HWND h) {
            SendDlgItemMessageA(h, kTypeCombo, CB_SETCURSEL, r.fAllFiles, 0);
            SendMessageA(h, WM_COMMAND, MAKEWPARAM(kTypeCombo, CBN_SELENDOK), (LPARAM)GetDlgItem(h, kTypeCombo));
            Choose(Win(r.file))(h);
        });
        watch.On("|File does not exist", [](HWND h) { PostMessageA(h, WM_COMMAND, IDYES, 0); });
        w.Key(3);
        Strings boxes = r.boxes;
        boxes.insert(boxes.begin(), "Kelvo|Can't open COM7");
        EXPECT_EQ(watch.Boxes(), boxes) << r.what;
        EXPECT_TRUE(!w.Connected() && w.Grayed(IDM_DISCONNECT) && !w.Grayed(IDM_CONNECT)) << r.what;
        EXPECT_EQ(pstrQelBuf != NULL, r.boxes.back() == notFree) << r.what << ": the file stays loaded when the port failed";
        EXPECT_EQ(w.Row(2), "") << r.what;
        EXPECT_TRUE(!t || t->Transcript().find("opened") == std::string::npos || t->Says("closed")) << r.what;
    }
}

// A close that arrives while one of the window's modal loops runs (from
// another program, or a session ending) ends the program cleanly, whichever
// loop it was: the window gone, the port closed, no box, and nothing written
// into the record it freed (the heap stays sound).
TEST(Shell, ClosingTheWindowDuringAnyDialogEndsCleanly)
{
    auto close = [](HWND) { PostMessageA(FindWindowA(gszTTYClass, NULL), WM_CLOSE, 0, 0); };
    const struct { const char *what; UINT cmd; std::vector<std::pair<std::string, std::function<void(HWND)>>> steps; } rows[] = {
        {"the start-up probe's box", 0, {{"Kelvo|Can't open", close}}},
        {"the settings dialog", IDM_SETTINGS, {{"Kelvo Settings...", close}}},
        {"the font dialog", IDM_SETTINGS, {{"Kelvo Settings...", [](HWND h) { PostMessageA(h, WM_COMMAND, IDD_FONT, 0); }}, {"Font", close}}},
        {"the about box", IDM_ABOUT, {{"About", close}}},
        {"Exit", IDM_EXIT, {}},
        {"the file dialog", IDM_CONNECT, {{"Open", close}}},
        {"a message box", IDM_CONNECT, {{"Open", Choose(Win("/tmp/kelvo-none.dlf"))},
                                        {"|File does not exist", [](HWND h) { PostMessageA(h, WM_COMMAND, IDYES, 0); }},
                                        {"Kelvo|This file", close}}},
    };
    for (const auto &r : rows) {
        Scratch s;
        Unplug(9);
        WriteAll("saveinfo.cfg", SaveInfo(r.cmd ? 5 : 9, 115200));
        const std::string dlf = MakeDlf(s, "fw.dlf", 10);
        Target t(s, 5, "--silent", dlf);
        Watch watch;
        for (const auto &step : r.steps)
            watch.On(step.first, step.second);
        Window w;
        ASSERT_TRUE(r.cmd == IDM_CONNECT || !w.hWnd || (QelFileRead(Win(dlf).c_str()) && StartSession(w.hWnd) && t.Says("opened")));
        SendMessageA(w.hWnd, WM_COMMAND, r.cmd, 0);
        EXPECT_TRUE(Pump(5000, [&] { return !IsWindow(w.hWnd); })) << r.what;
        EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, NULL)) << r.what;
        EXPECT_EQ(watch.Boxes(), Strings{}) << r.what;
        EXPECT_TRUE(r.cmd == IDM_CONNECT || !r.cmd || t.Says("the PC closed the port")) << r.what;
    }
}

// Each row opens the dialog on a record, reads what it shows, picks a port
// and a baud rate (when given), and closes it with Ok or Cancel. The file
// goes to the folder Kelvo started in, wherever the working folder is by
// then; a file that cannot be written is told, and the choice still holds.
TEST(Shell, TheSettingsDialogShowsTheRecordAndChangesOnlyPortAndBaud)
{
    enum Folder { kStart, kMovedAway, kUnwritable };
    // The record, what the dialog shows, what is picked, the button, the port and rate after, and the folders.
    struct Row { const char *what; BYTE port; DWORD baud; BYTE parity, bytes, flow;
                 const char *shown, *pickPort, *pickBaud; int button; BYTE port1; DWORD baud1; Folder folder; };
    const Row rows[] = {
        {"the defaults, Ok", 2, 115200, NOPARITY, 8, 4, "COM2 112k None 8 1 001", "", "", IDOK, 2, 115200, kStart},
        {"56k and COM3, Ok", 2, 115200, NOPARITY, 8, 4, "COM2 112k None 8 1 001", "COM3", "56k", IDOK, 3, 56000, kStart},
        {"9600, Cancel", 1, 19200, EVENPARITY, 6, 2, "COM1 19.2k Even 6 1 010", "COM4", "9600", IDCANCEL, 1, 19200, kStart},
        {"a port no entry carries is kept, a rate shows as the default, Ok", 7, 0, NOPARITY, 8, 4, "- 112k None 8 1 001", "", "", IDOK, 7, 115200, kStart},
        {"other line settings, shown and kept", 4, 38400, ODDPARITY, 7, 5, "COM4 38.4k Odd 7 1 101", "", "", IDOK, 4, 38400, kStart},
        {"the working folder moved after start-up, Ok", 2, 115200, SPACEPARITY, 5, 3, "COM2 112k Space 5 1 110", "COM3", "9600", IDOK, 3, 9600, kMovedAway},
        {"a saveinfo.cfg that cannot be written, Ok", 2, 115200, MARKPARITY, 8, 4, "COM2 112k Mark 8 1 001", "COM4", "56k", IDOK, 4, 56000, kUnwritable},
    };
    for (const Row &r : rows) {
        Scratch s;
        Watch watch;
        Window w;
        NPTTYINFO p = w.Info();
        p->bPort = r.port, p->dwBaudRate = r.baud, p->bParity = r.parity, p->bByteSize = r.bytes, p->bFlowCtrl = r.flow;
        WriteAll("saveinfo.cfg", "before");
        if (r.folder == kMovedAway)                          // as the file dialog leaves it
            CreateDirectoryA("elsewhere", NULL), SetCurrentDirectoryA("elsewhere");
        if (r.folder == kUnwritable)                         // a folder of that name: not even root writes it
            DeleteFileA("saveinfo.cfg"), CreateDirectoryA("saveinfo.cfg", NULL);
        watch.Boxes();                                       // the start-up probe's
        std::string shown, enabled, counts;
        watch.On("Kelvo Settings...", [&](HWND h) {
            for (int id : {IDD_PORTCB, IDD_BAUDCB, IDD_PARITYCB, IDD_DATABITSCB, IDD_STOPBITSCB}) {
                shown += (Text(GetDlgItem(h, id)).empty() ? "-" : Text(GetDlgItem(h, id))) + " ";
                counts += std::to_string(SendDlgItemMessageA(h, id, CB_GETCOUNT, 0, 0));
            }
            for (int id : {IDD_DTRDSR, IDD_RTSCTS, IDD_XONXOFF})
                shown += IsDlgButtonChecked(h, id) ? '1' : '0';
            for (int id = IDD_PORTCB; id <= IDD_LOCALECHO; id++)
                enabled += IsWindowEnabled(GetDlgItem(h, id)) ? '1' : '0';
            for (auto pick : std::initializer_list<std::pair<int, const char *>>{{IDD_PORTCB, r.pickPort}, {IDD_BAUDCB, r.pickBaud}})
                if (*pick.second)
                    SendDlgItemMessageA(h, pick.first, CB_SETCURSEL,
                                        SendDlgItemMessageA(h, pick.first, CB_FINDSTRINGEXACT, -1, (LPARAM)pick.second), 0);
            PostMessageA(h, WM_COMMAND, r.button, 0);
        });
        SendMessageA(w.hWnd, WM_COMMAND, IDM_SETTINGS, 0);
        EXPECT_EQ(shown, r.shown) << r.what;
        EXPECT_EQ(enabled, "11000000000") << r.what;
        EXPECT_EQ(counts, "45541") << r.what;               // ports, rates, parities, data bits, stop bits
        EXPECT_EQ(p->bPort * 1000000 + p->dwBaudRate, r.port1 * 1000000 + r.baud1) << r.what;
        EXPECT_TRUE(p->bParity == r.parity && p->bByteSize == r.bytes && p->bFlowCtrl == r.flow) << r.what;
        std::string file = ReadAll(Win(s / "saveinfo.cfg")), saved = SaveInfo(r.port1, r.baud1);
        if (file.size() == saved.size())
            file.erase(1, 3), saved.erase(1, 3);             // the padding is not looked at
        EXPECT_EQ(file, r.folder == kUnwritable ? "" : r.button == IDOK ? saved : "before") << r.what;
        EXPECT_EQ(GetFileAttributesA(Win(s / "elsewhere/saveinfo.cfg").c_str()), INVALID_FILE_ATTRIBUTES) << r.what;
        EXPECT_EQ(watch.Boxes(), r.folder != kUnwritable ? Strings{} : Strings{"Kelvo|The settings could not be saved in " +
                  Win(s / "saveinfo.cfg") + ". They apply until Kelvo is closed."}) << r.what;
    }
}

// The font dialog, reached from the settings dialog: another size changes
// the cells and keeps the text; Cancel changes nothing.
TEST(Shell, AFontChoiceResizesTheCellsAndCancelKeepsThem)
{
    Scratch s;
    Watch watch;
    Window w;
    NPTTYINFO p = w.Info();
    TTYPrintf(w.hWnd, "some text\r\nmore");
    const std::string screen = w.Screen();
    for (int button : {IDCANCEL, IDOK}) {
        const int yChar = p->yChar;
        const COLORREF rgbBefore = p->rgbFGColor;
        COLORREF rgbPicked = rgbBefore;
        watch.On("Kelvo Settings...", [&](HWND h) { PostMessageA(h, WM_COMMAND, IDD_FONT, 0); });
        watch.On("Font", [&](HWND f) {
            // The largest size and a colour other than the one shown.
            for (int id : {kFontSize, kFontColour}) {
                HWND hCombo = GetDlgItem(f, id);
                LRESULT i = id == kFontSize ? SendMessageA(hCombo, CB_GETCOUNT, 0, 0) - 1
                                            : SendMessageA(hCombo, CB_GETCURSEL, 0, 0) == 1 ? 2 : 1;
                SendMessageA(hCombo, CB_SETCURSEL, i, 0);
                SendMessageA(f, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), (LPARAM)hCombo);
                if (id == kFontColour)
                    rgbPicked = (COLORREF)SendMessageA(hCombo, CB_GETITEMDATA, i, 0);
            }
            PostMessageA(f, WM_COMMAND, button, 0);
            watch.On("Kelvo Settings...", [](HWND h) { PostMessageA(h, WM_COMMAND, IDCANCEL, 0); });
        });
        SendMessageA(w.hWnd, WM_COMMAND, IDM_SETTINGS, 0);
        EXPECT_TRUE(watch.Ran("Font"));
        EXPECT_EQ(p->yChar > yChar, button == IDOK) << yChar << " -> " << p->yChar;
        EXPECT_NE(rgbPicked, rgbBefore);
        EXPECT_EQ(p->rgbFGColor, button == IDOK ? rgbPicked : rgbBefore);
        EXPECT_TRUE(w.Screen() == screen && p->nRow == 2 && p->nColumn == 4);
    }
}

// The loader keeps the whole file from its first byte, or, on any failure,
// the file it held before.
TEST(Shell, TheLoaderHoldsAWholeFileOrKeepsThePreviousOne)
{
    Scratch s;
    const std::string abc = std::string("\0\5\x97\x38", 4) + "abc";
    const struct { const char *what; std::string file; int ret; } rows[] = {
        {"abc", abc, 1},
        {"bytes after the covered area are loaded too", abc + "tail", 1},
        {"the CRC swapped", std::string("\0\5\x38\x97", 4) + "abc", 0},
        {"a file shorter than its covered area", std::string("\0\x09\x97\x38", 4) + "abc", 0},
        {"two megabytes", ReadAll(Win(MakeDlf(s, "big.dlf", 2 << 20))), 1},
    };
    std::string held;
    for (const auto &r : rows) {
        WriteAll("f.dlf", r.file);
        EXPECT_EQ(QelFileRead("f.dlf"), r.ret) << r.what;
        held = r.ret ? r.file : held;
        EXPECT_EQ(std::string(pstrQelBuf, dwQelLength), held) << r.what;
    }
    EXPECT_TRUE(!QelFileRead("missing.dlf") && !QelFileRead(""));
    EXPECT_EQ(std::string(pstrQelBuf, dwQelLength), held);

    // A file rewritten while it is loaded (a build writing the image): what
    // is loaded is always a whole, checked version of it.
    const std::string good = ReadAll(Win(MakeDlf(s, "race.dlf", 60000)));
    std::string bad = good;
    bad[30000] ^= 1;
    std::atomic<bool> fStop{false};
    std::thread writer([&] {
        for (int i = 0; !fStop; i++)
            if (FILE *fp = fopen("race.dlf", "r+b"))
                fwrite((i % 2 ? bad : good).data(), 1, good.size(), fp), fclose(fp);
    });
    int nLoaded = 0;
    for (int i = 0; i < 200; i++) {
        bool fLoaded = QelFileRead("race.dlf");
        nLoaded += fLoaded;
        EXPECT_TRUE(!fLoaded || std::string(pstrQelBuf, dwQelLength) == good) << "load " << i << " holds bytes never checked";
    }
    fStop = true;
    writer.join();
    EXPECT_GT(nLoaded, 0);
}

} // namespace
