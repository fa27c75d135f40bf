// The port and the watch thread, with dlfsim as the target on a real
// pseudo terminal: line settings on the device, downloads through faults,
// every way a session ends, and what sessions leave behind.
#include "kit.h"
#include <psapi.h>

namespace {

using namespace kt;

// Opens a connection with a file loaded, as Connect does after the dialog.
bool Open(const Window &w, const std::string &dlf, BYTE port)
{
    w.Info()->bPort = port;
    return QelFileRead(Win(dlf).c_str()) && OpenConnection(w.hWnd);
}

// The session is over and its watch thread has ended.
bool Closed(const Window &w)
{
    return Pump(10000, [&] {
        HANDLE h = w.Info()->hThreadHandle;
        return !w.Connected() && (!h || WaitForSingleObject(h, 0) == WAIT_OBJECT_0);
    });
}

TEST(Port, LineSettingsAndTimeoutsReachTheDevice)
{
    Scratch s;
    Watch watch;
    Window w;
    const std::string dlf = MakeDlf(s, "fw.dlf", 10);
    // COM12: ports above COM9 open only by their device name \\.\COM12.
    Target t(s, 12, "--silent", dlf);
    // What the device is given at Connect, then by a change applied to the
    // open port (carried out by the watch thread), as dlfsim reads it.
    struct Row { BYTE flow, stop; DWORD baud, then; const char *line, *thenLine; };
    const Row rows[] = {
        {4, ONESTOPBIT, 115200, 9600, "115200 bit/s, 1 stop bit, flow xon/xoff", "9600 bit/s, 1 stop bit, flow xon/xoff"},
        {1, TWOSTOPBITS, 9600, 38400, "9600 bit/s, 2 stop bits, flow none", "38400 bit/s, 2 stop bits, flow none"},
        {2, ONESTOPBIT, 19200, 115200, "19200 bit/s, 1 stop bit, flow rts/cts", "115200 bit/s, 1 stop bit, flow rts/cts"},
        {7, ONESTOPBIT, 38400, 9600, "38400 bit/s, 1 stop bit, flow rts/cts", "9600 bit/s, 1 stop bit, flow rts/cts"},
    };
    for (const Row &r : rows) {
        NPTTYINFO p = w.Info();
        p->bFlowCtrl = r.flow, p->bStopBits = r.stop, p->dwBaudRate = r.baud;
        ASSERT_TRUE(Open(w, dlf, 12)) << r.baud;
        EXPECT_TRUE(t.Says(std::string("# line: ") + r.line)) << r.line << "\n" << t.Transcript();
        p->dwBaudRate = r.then;
        EXPECT_TRUE(SetupConnection(w.hWnd));
        EXPECT_TRUE(t.Says(std::string("# line: ") + r.thenLine)) << r.thenLine << "\n" << t.Transcript();
        CloseConnection(w.hWnd);
        EXPECT_TRUE(Closed(w));
    }

    // Ports that cannot be opened, and a baud rate no port can take.
    Unplug(9);
    for (auto port : std::initializer_list<std::pair<int, DWORD>>{{0, 115200}, {9, 115200}, {8, 0}}) {
        w.Info()->dwBaudRate = port.second;
        EXPECT_FALSE(Open(w, dlf, (BYTE)port.first)) << port.first << " at " << port.second;
        EXPECT_TRUE(!w.Connected() && w.Info()->idComDev == INVALID_HANDLE_VALUE);
        EXPECT_TRUE(w.Grayed(IDM_DISCONNECT) && !w.Grayed(IDM_CONNECT));
    }
    EXPECT_EQ(watch.Boxes(), std::vector<std::string>{"Kelvo|Can't open COM2"});   // the start-up probe's

    // A note repeated at once is counted, not written again: however long
    // the calls take, no more than one a second reaches the terminal.
    DWORD t0 = GetTickCount();
    for (int i = 0; i < 2000; i++)
        WriteCommNote(w.hWnd, w.Info(), 995);
    const DWORD nNotes = Count(w.Screen(), "<CE-995>");
    EXPECT_TRUE(nNotes >= 1 && nNotes <= 1 + (GetTickCount() - t0) / 1000) << nNotes;
}

// Each target checks every byte it receives against the file; the session
// then ends by itself with the completion lines, the port closed and the
// buffer released.
TEST(Port, DownloadsDeliverEveryByteThroughNoiseWrongAnswersAndBadRequests)
{
    Scratch s;
    Watch watch;
    Window w;
    // 0x11 and 0x13 are among the data; no request holds them (the line's
    // XON/XOFF would take them out of what the target sends).
    const std::string dlf = MakeDlf(s, "fw.dlf", 4000);
    const struct { const char *args, *result; } rows[] = {
        {"--plan auto:1024 --hold-xoff-after 1500 --xoff-pause 300", "RESULT ok bytes=4004 blocks=4 "},
        {"--plan auto:2000 --noise 30 --seed 4 --wrong-byte 10 --past-end", "RESULT ok bytes=4014 blocks=3 "},
        {"--plan 0:0,4003:1,100:300", "RESULT ok bytes=302 blocks=3 "},
        {"--flood 300000 --seed 2 --plan auto:1024", "RESULT ok bytes=4004 blocks=4 "},
    };
    for (const auto &r : rows) {
        Target t(s, 8, r.args, dlf);
        ASSERT_TRUE(Open(w, dlf, 8)) << r.args;
        EXPECT_EQ(t.Result().find(r.result), 0u) << r.args << "\n" << t.Result();
        EXPECT_TRUE(Closed(w)) << r.args;
        EXPECT_TRUE(t.Says("the PC closed the port")) << r.args;
        EXPECT_EQ(w.Row(w.Info()->nRow - 3) + "|" + w.Row(w.Info()->nRow - 1), "UART downloading...100%|Complete!!!") << r.args;
        EXPECT_TRUE(!w.Info()->pbConnBuf && w.Grayed(IDM_DISCONNECT) && !w.Grayed(IDM_CONNECT)) << r.args;
    }
    EXPECT_EQ(w.Screen().find("<CE-"), std::string::npos);
}

// Whatever ends a session, the thread ends, the port is closed once, the
// window comes back to the unconnected state and the terminal says why:
// each session follows the previous one's end in the same window, so a
// Connect after a device that went away finds it back. Settings applied
// while XOFF holds a write are carried out meanwhile. Last, a close sent (by
// another program) while a Disconnect waits for a watch thread the target
// holds up with XOFF is carried out once that wait is over.
TEST(Port, EverySessionEndLeavesThePortClosedAndSaysWhy)
{
    Scratch s;
    const std::string dlf = MakeDlf(s, "fw.dlf", 20000);
    gdwWriteGiveUpMs = 2000;
    enum End { kDisconnect, kSettingsThenDisconnect, kByItself, kCloseInDisconnect };
    const struct { const char *what, *args, *when; End end; const char *line, *result, *bar; } rows[] = {
        {"Disconnect with a silent target", "--silent", "opened", kDisconnect, "User break.", "RESULT ok bytes=0"},
        {"the device vanished", "--vanish-after 300", "port vanished", kByItself,
         "The device on COM8 went away. Connect again once it is back.", "RESULT ok vanished", "UART downloading...  1%<CE-"},
        {"Disconnect inside a block", "--stop-after 300", "stopped after", kDisconnect, "User break.", "RESULT ok bytes=300",
         "UART downloading...  1%"},
        {"Settings, then Disconnect, while the target holds XOFF", "--hold-xoff-after 300", "holding with XOFF",
         kSettingsThenDisconnect, "User break.", "RESULT ok held after 300 until the PC closed the port"},
        {"a write held by XOFF past its bound", "--hold-xoff-after 300", "holding with XOFF", kByItself,
         "The target held the line (XOFF) for 2 s: download stopped.", "RESULT ok held after 300 until the PC closed the port",
         "UART downloading...  1%"},
        {"a close during a Disconnect", "--hold-xoff-after 300", "holding with XOFF", kCloseInDisconnect, nullptr,
         "RESULT ok held after 300 until the PC closed the port"},
    };
    Watch watch;
    Window w;
    for (const auto &r : rows) {
        Target t(s, 8, std::string(r.args) + " --duration 60", dlf);
        ASSERT_TRUE(Open(w, dlf, 8)) << r.what;
        ASSERT_TRUE(t.Says(r.when)) << r.what << "\n" << t.Transcript();
        if (r.end == kSettingsThenDisconnect) {
            watch.On("Kelvo Settings...", [](HWND h) { PostMessageA(h, WM_COMMAND, IDOK, 0); });
            SendMessageA(w.hWnd, WM_COMMAND, IDM_SETTINGS, 0);
            EXPECT_TRUE(watch.Ran("Kelvo Settings...") && w.Connected()) << r.what;
        }
        if (r.end == kCloseInDisconnect) {
            NPTTYINFO p = w.Info();
            std::thread closer([&] {
                for (int i = 0; i < 10000 && !p->fWaitingForThread; i++)
                    Sleep(1);
                SendMessageA(w.hWnd, WM_CLOSE, 0, 0);
            });
            w.Key(4);
            EXPECT_TRUE(Pump(10000, [&] { return !IsWindow(w.hWnd); })) << r.what;
            closer.join();
        } else {
            if (r.end != kByItself)
                w.Key(4);
            EXPECT_TRUE(Closed(w)) << r.what;
            const int nRow = w.Info()->nRow;
            EXPECT_EQ(w.Row(nRow - (r.end == kByItself ? 1 : 2)), r.line) << r.what << "\n" << w.Screen();
            EXPECT_TRUE(!r.bar || w.Row(nRow - (r.end == kByItself ? 2 : 3)).find(r.bar) == 0) << r.what << "\n" << w.Screen();
            EXPECT_TRUE(w.Grayed(IDM_DISCONNECT) && !w.Grayed(IDM_CONNECT)) << r.what;
            EXPECT_LE(Count(w.Screen(), "<CE-"), 1) << r.what << ": notes repeat\n" << w.Screen();
        }
        EXPECT_TRUE(strstr(r.result, "vanished") || t.Says("the PC closed the port")) << r.what;
        std::string result = t.Stop();
        EXPECT_EQ(result.find(r.result), 0u) << r.what << "\n" << result;
    }
    gdwWriteGiveUpMs = WRITE_GIVE_UP_MS;
    EXPECT_EQ(watch.Boxes(), Strings{"Kelvo|Can't open COM2"});           // the start-up probe's
}

// Sessions broken off and sessions completed leave no handles and no file
// buffers behind.
TEST(Port, SessionsLeaveNothingBehind)
{
    Scratch s;
    Watch watch;
    Window w;
    const std::string big = MakeDlf(s, "big.dlf", 2 << 20), small = MakeDlf(s, "small.dlf", 100);
    auto usage = [] {
        DWORD n = 0;
        PROCESS_MEMORY_COUNTERS pmc = {sizeof pmc};
        GetProcessHandleCount(GetCurrentProcess(), &n), GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
        return std::make_pair(n, pmc.PagefileUsage >> 20);
    };
    auto before = usage();
    {
        Target t(s, 8, "--silent", small);
        for (int i = 0; i < 20; i++) {
            ASSERT_TRUE(Open(w, big, 8)) << i;
            w.Key(4);
            ASSERT_TRUE(Closed(w)) << i;
        }
    }
    Target t(s, 8, "--plan auto:50 --repeat 20 --linger 3000", small);
    for (int i = 0; i < 20; i++) {
        ASSERT_TRUE(t.Says("the PC closed the port", i)) << i << "\n" << t.Output() << t.Transcript().substr(t.Transcript().size() > 3000 ? t.Transcript().size() - 3000 : 0);
        ASSERT_TRUE(Open(w, small, 8)) << i;
        ASSERT_TRUE(Closed(w)) << i << "\n" << t.Output();
    }
    EXPECT_EQ(t.Result().find("RESULT ok bytes=2080 blocks=60 "), 0u);
    auto after = usage();
    EXPECT_LE(after.first, before.first + 5) << "handles";
    EXPECT_LE(after.second, before.second + 8) << "MiB";
}

} // namespace
