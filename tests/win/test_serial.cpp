// The port and the watch thread, with dlfsim as the target on a real
// pseudo terminal: line settings on the device, downloads through faults,
// every way a session ends, and what sessions leave behind.
#include "kit.h"
#include <psapi.h>
#include "core/core.h"

namespace {

using namespace kt;

// What Kelvo last gave SetCommState and SetCommTimeouts: a pseudo terminal
// keeps 8 data bits and no parity whatever it is told, and has no time-outs.
DCB g_dcb;
COMMTIMEOUTS g_cto;
BOOL(WINAPI *g_pfnSetCommState)(HANDLE, LPDCB);
BOOL(WINAPI *g_pfnSetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
BOOL WINAPI RecordState(HANDLE h, LPDCB pdcb) { return g_dcb = *pdcb, g_pfnSetCommState(h, pdcb); }
BOOL WINAPI RecordTimeouts(HANDLE h, LPCOMMTIMEOUTS pcto) { return g_cto = *pcto, g_pfnSetCommTimeouts(h, pcto); }

// Points this program's imports of name (Kelvo's code is linked in) at pfn;
// returns what they pointed at.
void *Redirect(const char *name, void *pfn)
{
    void *pfnOld = nullptr;
    BYTE *base = (BYTE *)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    auto *imp = (IMAGE_IMPORT_DESCRIPTOR *)(base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
    for (; imp->Name; imp++)
        for (auto *th = (IMAGE_THUNK_DATA *)(base + imp->FirstThunk), *oth = (IMAGE_THUNK_DATA *)(base + imp->OriginalFirstThunk);
             oth->u1.AddressOfData; th++, oth++)
            if (!IMAGE_SNAP_BY_ORDINAL(oth->u1.Ordinal) && !strcmp((char *)((IMAGE_IMPORT_BY_NAME *)(base + oth->u1.AddressOfData))->Name, name)) {
                DWORD dwOld;
                VirtualProtect(&th->u1.Function, sizeof th->u1.Function, PAGE_READWRITE, &dwOld);
                pfnOld = (void *)th->u1.Function;
                th->u1.Function = (ULONG_PTR)pfn;
                VirtualProtect(&th->u1.Function, sizeof th->u1.Function, dwOld, &dwOld);
            }
    return pfnOld;
}

// Opens a connection with a file loaded, as Connect does after the dialog.
bool Open(const Window &w, const std::string &dlf, BYTE port)
{
    w.Info()->bPort = port;
    return QelFileRead(Win(dlf).c_str()) && StartSession(w.hWnd);
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
    // open port (carried out by the watch thread), as dlfsim reads it; the
    // line settings and the write time-out's multiplier (19200 / baud, kept
    // from the opening) as Kelvo gave them to the port.
    // DCB: data bits, parity, DSR and CTS gating, DTR and RTS control, XON/XOFF in and out.
    struct Row { BYTE flow, stop, bytes, parity; DWORD baud, then, mult; const char *line, *thenLine, *dcb; };
    const Row rows[] = {
        {4, ONESTOPBIT, 8, NOPARITY, 115200, 9600, 0, "115200 bit/s, 1 stop bit, flow xon/xoff", "9600 bit/s, 1 stop bit, flow xon/xoff",
         "8 0 00 11 11"},
        {1, TWOSTOPBITS, 7, EVENPARITY, 9600, 38400, 2, "9600 bit/s, 2 stop bits, flow none", "38400 bit/s, 2 stop bits, flow none",
         "7 2 10 21 00"},
        {2, ONESTOPBIT, 6, ODDPARITY, 19200, 115200, 1, "19200 bit/s, 1 stop bit, flow rts/cts", "115200 bit/s, 1 stop bit, flow rts/cts",
         "6 1 01 12 00"},
        {7, ONESTOPBIT, 5, SPACEPARITY, 38400, 9600, 0, "38400 bit/s, 1 stop bit, flow rts/cts", "9600 bit/s, 1 stop bit, flow rts/cts",
         "5 4 11 22 11"},
        {0, ONESTOPBIT, 8, MARKPARITY, 19200, 38400, 1, "19200 bit/s, 1 stop bit, flow none", "38400 bit/s, 1 stop bit, flow none",
         "8 3 00 11 00"},
    };
    *(void **)&g_pfnSetCommState = Redirect("SetCommState", (void *)RecordState);
    *(void **)&g_pfnSetCommTimeouts = Redirect("SetCommTimeouts", (void *)RecordTimeouts);
    ASSERT_TRUE(g_pfnSetCommState && g_pfnSetCommTimeouts);
    for (const Row &r : rows) {
        NPTTYINFO p = w.Info();
        p->bFlowCtrl = r.flow, p->bStopBits = r.stop, p->bByteSize = r.bytes, p->bParity = r.parity, p->dwBaudRate = r.baud;
        g_dcb = {}, g_cto = {};
        ASSERT_TRUE(Open(w, dlf, 12)) << r.baud;
        EXPECT_TRUE(t.Says(std::string("# line: ") + r.line)) << r.line << "\n" << t.Transcript();
        const DCB &d = g_dcb;
        char szDcb[32];
        snprintf(szDcb, sizeof szDcb, "%d %d %d%d %d%d %d%d", d.ByteSize, d.Parity, d.fOutxDsrFlow, d.fOutxCtsFlow,
                 d.fDtrControl, d.fRtsControl, d.fOutX, d.fInX);
        EXPECT_EQ(szDcb, std::string(r.dcb)) << r.line;
        EXPECT_TRUE(d.BaudRate == r.baud && d.StopBits == r.stop && d.XonChar == 0x11 && d.XoffChar == 0x13 && d.XonLim == 100 &&
                    d.XoffLim == 100 && d.fBinary && d.fParity) << r.line;
        EXPECT_TRUE(g_cto.ReadIntervalTimeout == MAXDWORD && g_cto.WriteTotalTimeoutMultiplier == r.mult) << r.line;
        p->bByteSize = 8, p->bParity = NOPARITY, p->dwBaudRate = r.then;      // what the pseudo terminal keeps
        g_cto = {};
        EXPECT_TRUE(SetupConnection(w.hWnd));
        EXPECT_TRUE(t.Says(std::string("# line: ") + r.thenLine)) << r.thenLine << "\n" << t.Transcript();
        EXPECT_TRUE(g_dcb.BaudRate == r.then && g_cto.WriteTotalTimeoutMultiplier == 0) << r.line << ": the time-outs are set at the opening only";
        CloseConnection(w.hWnd);
        EXPECT_TRUE(Closed(w));
    }
    Redirect("SetCommState", (void *)g_pfnSetCommState), Redirect("SetCommTimeouts", (void *)g_pfnSetCommTimeouts);

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

// A target that sends its bytes in chunks (chunktarget.py) on a pseudo
// terminal mapped to COMn: each chunk in one write, the next once the PC has
// sent the answers given for this one. The script is written at once; the
// target starts to play it at Go, once the PC has opened the port.
struct ChunkTarget {
    std::string base;
    ChunkTarget(const Scratch &s, int com, const std::string &script) : base(s / ("chunks" + std::to_string(Scratch::Next())))
    {
        WriteAll(Win(base + ".script"), script);
        Sh("echo $$ > " + base + ".pid; exec python3 " + Env("KELVO_WIN_TESTS") + "/chunktarget.py " + Env("WINEPREFIX") +
           "/dosdevices/com" + std::to_string(com) + " " + base + ".script " + base + ".go " + base + ".out > " + base + ".log 2>&1", false);
        EXPECT_TRUE(Pump(10000, [&] { return ReadAll(Win(base + ".log")).find("PTY") != std::string::npos; })) << ReadAll(Win(base + ".log"));
    }
    ~ChunkTarget() { Sh("kill $(cat " + base + ".pid) 2>/dev/null"); }
    void Go() const { WriteAll(Win(base + ".go"), ""); }
    // What the PC sent, in hex, and the target's verdict line.
    std::string Result() const
    {
        const std::string out = Win(base + ".out");
        return Pump(60000, [&] { return GetFileAttributesA(out.c_str()) != INVALID_FILE_ATTRIBUTES; })
                   ? ReadAll(out) : "no result: " + ReadAll(Win(base + ".log"));
    }
};

std::string Hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes)
        hex += std::string{digits[b >> 4], digits[b & 15]};
    return hex;
}

// The target's side of the protocol.
const std::string kHello("\x02\x40\x03\x06\x06\x06", 6), kDone("\x02\x43", 2);
std::string Request(unsigned wLength, uint32_t dwOffset)
{
    return {'\x02', '\x42', (char)(wLength >> 8), (char)wLength, (char)(dwOffset >> 16), (char)(dwOffset >> 8), (char)dwOffset, '\x03'};
}
// A request, an ACK per data byte, one for the ETX and one that ends the block.
std::string Block(unsigned wLength, uint32_t dwOffset) { return Request(wLength, dwOffset) + std::string((wLength ? wLength : 1) + 2, '\x06'); }
// n bytes the PC must not answer, none of them STX, XON or XOFF.
std::string Noise(size_t n)
{
    std::string noise;
    for (size_t i = 0; i < n; i++) {
        const char b = (char)(i * 37 + 5);
        noise += b == 0x02 || b == 0x11 || b == 0x13 ? '\x55' : b;
    }
    return noise;
}

// However the target's bytes are cut, every byte reaches the protocol step
// once and in order: the answers are those of the whole stream stepped byte
// by byte. A byte that draws no answer (noise, the last ACK of a handshake
// or of a block, a byte that does not fit) makes the watch thread take what
// is queued in one read, and every byte of that read counts. (Chunks that
// draw no answer follow each other at once, so they run together.) The
// completion comes last, one byte per write as a target sends it: the PC
// purges the port as it closes, so it is followed by no answer the target
// has yet to read.
TEST(Port, EveryByteIsAnsweredHoweverTheTargetCutsItsStream)
{
    Scratch s;
    Watch watch;
    Window w;
    const std::string dlf = MakeDlf(s, "fw.dlf", 3000), file = ReadAll(Win(dlf));
    // No request holds 0x11 or 0x13: the line's XON/XOFF would take them.
    const std::string stream = Noise(200) + kHello + Block(700, 5) + Block(0, 2999) + Noise(30) + kHello +
                               Request(100, 2950) + kHello + Request(1000, 2000) + std::string(300, '\x06') + "\x15" +
                               kHello + Block(1000, 2000);
    const struct { const char *what; std::vector<size_t> sizes; } rows[] = {
        {"one byte per write", {1}},
        {"two or three bytes per write", {2, 3}},
        {"frames cut anywhere", {5, 7, 11, 13}},
        {"more than one read takes", {79, 80, 81, 250}},
    };
    for (const auto &r : rows) {
        Strings chunks;
        for (size_t pos = 0, i = 0; pos < stream.size(); pos += chunks.back().size(), i++)
            chunks.push_back(stream.substr(pos, r.sizes[i % r.sizes.size()]));
        chunks.push_back(kDone.substr(0, 1)), chunks.push_back(kDone.substr(1));
        DLSTATE st;
        DlInit(&st);
        std::string script, answers;
        for (const std::string &chunk : chunks) {
            const size_t before = answers.size();
            for (unsigned char b : chunk) {
                DLSTEP step;
                DlStepByte(&st, (const unsigned char *)file.data(), (uint32_t)file.size(), b, &step);
                for (int e = 0; e < step.nEffects; e++)
                    if (step.aEffect[e].kind == DLE_SEND)
                        answers += (char)step.aEffect[e].value;
            }
            script += Hex(chunk) + " " + std::to_string(answers.size() - before) + "\n";
        }
        ASSERT_NE(answers.find(file.substr(2000, 1000) + "\x03"), std::string::npos) << "the stream serves no whole block";
        ChunkTarget t(s, 8, script);
        ASSERT_TRUE(Open(w, dlf, 8)) << r.what;
        t.Go();
        const std::string got = t.Result(), want = Hex(answers) + "\nRESULT done\n";
        const size_t at = std::mismatch(got.begin(), got.begin() + std::min(got.size(), want.size()), want.begin()).first - got.begin();
        EXPECT_TRUE(got == want) << r.what << ": the answers differ from byte " << at / 2 << " of " << answers.size()
                                 << "; the target says " << got.substr(std::min(got.find("RESULT"), got.size()));
        EXPECT_TRUE(Closed(w)) << r.what;
        EXPECT_EQ(w.Row(w.Info()->nRow - 1), "Complete!!!") << r.what;
    }
}

// Whatever ends a session, the thread ends, the port is closed once (and
// the record no longer names it), the window comes back to the unconnected
// state and the terminal says why: each session follows the previous one's
// end in the same window, so a Connect after a device that went away finds
// it back. A Disconnect ends the session at once, also while XOFF holds a
// write: the give-up bound stays at its 48 s (but in the row that waits for
// it), far beyond the Disconnect's 2 s. Settings applied while XOFF holds a write are carried
// out meanwhile. Last, a close sent (by another program) while a Disconnect
// waits for a watch thread the target holds up with XOFF is carried out once
// that wait is over.
TEST(Port, EverySessionEndLeavesThePortClosedAndSaysWhy)
{
    Scratch s;
    const std::string dlf = MakeDlf(s, "fw.dlf", 20000);
    // kGivenUp: the session ends by itself once a write is given up, after
    // a give-up bound shortened to 2 s for the test.
    enum End { kDisconnect, kSettingsThenDisconnect, kByItself, kGivenUp, kCloseInDisconnect };
    const struct { const char *what, *args, *when; End end; const char *line, *result, *bar; } rows[] = {
        {"Disconnect with a silent target", "--silent", "opened", kDisconnect, "User break.", "RESULT ok bytes=0"},
        {"the device vanished", "--vanish-after 300", "port vanished", kByItself,
         "The device on COM8 went away. Connect again once it is back.", "RESULT ok vanished", "UART downloading...  1%<CE-"},
        {"Disconnect inside a block", "--stop-after 300", "stopped after", kDisconnect, "User break.", "RESULT ok bytes=300",
         "UART downloading...  1%"},
        {"Disconnect while the target holds XOFF", "--hold-xoff-after 300", "holding with XOFF", kDisconnect, "User break.",
         "RESULT ok held after 300 until the PC closed the port", "UART downloading...  1%"},
        {"Settings, then Disconnect, while the target holds XOFF", "--hold-xoff-after 300", "holding with XOFF",
         kSettingsThenDisconnect, "User break.", "RESULT ok held after 300 until the PC closed the port"},
        {"a write held by XOFF past its bound", "--hold-xoff-after 300", "holding with XOFF", kGivenUp,
         "The target held the line (XOFF) for 2 s: download stopped.", "RESULT ok held after 300 until the PC closed the port",
         "UART downloading...  1%"},
        {"a close during a Disconnect", "--hold-xoff-after 300", "holding with XOFF", kCloseInDisconnect, nullptr,
         "RESULT ok held after 300 until the PC closed the port"},
    };
    Watch watch;
    Window w;
    for (const auto &r : rows) {
        const bool fByItself = r.end == kByItself || r.end == kGivenUp;
        gdwWriteGiveUpMs = r.end == kGivenUp ? 2000 : WRITE_GIVE_UP_MS;
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
            const DWORD t0 = GetTickCount();
            if (!fByItself)
                w.Key(4);
            EXPECT_TRUE(Closed(w)) << r.what;
            EXPECT_TRUE(fByItself || GetTickCount() - t0 < 2000) << r.what << ": the Disconnect took " << GetTickCount() - t0 << " ms";
            EXPECT_EQ(w.Info()->idComDev, INVALID_HANDLE_VALUE) << r.what << ": the record names a closed port";
            const int nRow = w.Info()->nRow;
            EXPECT_EQ(w.Row(nRow - (fByItself ? 1 : 2)), r.line) << r.what << "\n" << w.Screen();
            EXPECT_TRUE(!r.bar || w.Row(nRow - (fByItself ? 2 : 3)).find(r.bar) == 0) << r.what << "\n" << w.Screen();
            EXPECT_TRUE(w.Grayed(IDM_DISCONNECT) && !w.Grayed(IDM_CONNECT)) << r.what;
            EXPECT_LE(Count(w.Screen(), "<CE-"), 1) << r.what << ": notes repeat\n" << w.Screen();
        }
        EXPECT_TRUE(strstr(r.result, "vanished") || t.Says("the PC closed the port")) << r.what;
        EXPECT_EQ(std::string(PortCheckFindings()), "") << r.what;        // a port closed twice, among others
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
