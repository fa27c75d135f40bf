// The serial port: line settings as the device sees them, opening and its
// failures, block and byte I/O, error notes, and closing against a running
// or finishing watch thread. Every case drives a real pty mapped to COM7.
#include "tests/win/peer.h"
#include "tests/win/testkit.h"
#include <memory>

using namespace kt;

// Started with --hold-port=COMn, this program only holds that port open,
// exclusively as any other program would, until it is ended (or 60 s pass).
// This runs before the test runner looks at the command line.
static const bool s_fPortHolder = [] {
    const char *psz = strstr(GetCommandLineA(), "--hold-port=");
    if (!psz)
        return false;
    char szPort[16] = "";
    if (sscanf(psz + 12, "%15[^ \"]", szPort) != 1)
        ExitProcess(2);
    HANDLE hPort = CreateFileA(szPort, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (hPort == INVALID_HANDLE_VALUE)
        ExitProcess(1);
    Sleep(60000);
    ExitProcess(0);
}();

namespace {

const int kPort = 7;            // the pty of every case
const int kMissingPort = 8;     // leads nowhere

typedef std::vector<uint8_t> Bytes;

// Runs fn on its own thread while this thread (the window's) pumps, so that
// the watch thread's window updates are served meanwhile.
void WhilePumping(const std::function<void()> &fn)
{
    std::atomic<bool> fDone{false};
    std::thread t([&] {
        fn();
        fDone = true;
    });
    Pump(120000, [&] { return fDone.load(); });
    t.join();
}

class Serial : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MapCom(kMissingPort, "/nonexistent/kelvo-serial-tty8"); }

    void SetUp() override
    {
        ASSERT_TRUE(peer.Start(kPort)) << peer.Error();
        // The start-up probe opens the saved port: it must find the pty.
        WriteSaveInfo(kPort, 115200);
        w.reset(new MainWindow);
        ASSERT_TRUE(w->Hwnd());
        info = w->Info();
        ASSERT_TRUE(info);
    }

    void TearDown() override
    {
        // A port opened by the test itself (no connection) is the test's to close.
        if (info && !info->fConnected && info->idComDev != INVALID_HANDLE_VALUE) {
            CloseHandle(info->idComDev);
            info->idComDev = INVALID_HANDLE_VALUE;
        }
        w.reset();
        EXPECT_TRUE(spy.Boxes().empty()) << spy.Boxes()[0].text;
    }

    HWND Hwnd() const { return w->Hwnd(); }

    PtyPeer::Termios Termios()
    {
        PtyPeer::Termios t;
        EXPECT_TRUE(peer.GetTermios(&t));
        return t;
    }

    bool Connected() const { return info->fConnected != FALSE; }

    // The menu and the record both say "no connection".
    void ExpectClosed()
    {
        EXPECT_FALSE(info->fConnected);
        EXPECT_EQ(info->idComDev, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(w->Grayed(IDM_CONNECT));
        EXPECT_TRUE(w->Grayed(IDM_DISCONNECT));
    }

    bool ScreenHas(const std::string &text) const { return w->Screen().find(text) != std::string::npos; }

    // Opens the port the way OpenConnection does but starts no watch thread,
    // so that the test is the port's only reader. fConnected stays FALSE.
    void OpenPortDirect(BYTE bFlowCtrl)
    {
        HANDLE hPort = CreateFileA("COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(hPort, INVALID_HANDLE_VALUE);
        SetupComm(hPort, 4096, 4096);
        PurgeComm(hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        COMMTIMEOUTS cto = {MAXDWORD, 0, 48000, 0, 48000};
        SetCommTimeouts(hPort, &cto);
        info->idComDev = hPort;
        info->bFlowCtrl = bFlowCtrl;
        ASSERT_TRUE(SetupConnection(Hwnd()));
    }

    DWORD Queued()
    {
        DWORD dwErrors = 0;
        COMSTAT cs = {};
        ClearCommError(info->idComDev, &dwErrors, &cs);
        return cs.cbInQue;
    }

    bool WaitQueued(DWORD n)
    {
        for (int i = 0; i < 500; i++) {
            if (Queued() >= n)
                return true;
            Sleep(10);
        }
        return false;
    }

    // The target's side of the connect handshake; true when the PC answered
    // as it should.
    bool PlayHandshake()
    {
        bool fOk = false;
        WhilePumping([&] {
            fOk = peer.Send({0x02, 0x40, 0x03}) && peer.RecvN(4, 5000) == Bytes{0x06, 0x06, 0x06, 0x02} &&
                  peer.Send({0x06, 0x06, 0x06}) && peer.RecvN(2, 5000) == Bytes{0x41, 0x03};
        });
        return fOk;
    }

    ScratchDir dir;
    MessageBoxSpy spy;
    PtyPeer peer;
    std::unique_ptr<MainWindow> w;
    NPTTYINFO info = nullptr;
};

// ---------------------------------------------------------------------------
// LineSettings: what OpenConnection and SetupConnection write reaches the
// device. Data bits and parity enable cannot be seen on a pty (the kernel
// forces 8 bits and no parity enable); the parity kind can.

TEST_F(Serial, LineSettings_BaudAndStopBitsReachTheDeviceAndAChangeIsApplied)
{
    info->dwBaudRate = 9600;
    info->bStopBits = TWOSTOPBITS;
    ASSERT_TRUE(OpenConnection(Hwnd()));
    PtyPeer::Termios t = Termios();
    EXPECT_EQ(t.speed, 9600u);
    EXPECT_TRUE(t.cstopb);

    info->dwBaudRate = 38400;
    info->bStopBits = ONESTOPBIT;
    EXPECT_TRUE(SetupConnection(Hwnd()));
    t = Termios();
    EXPECT_EQ(t.speed, 38400u);
    EXPECT_FALSE(t.cstopb);

    // The time-outs stay as they were computed at opening (9600 bit/s).
    COMMTIMEOUTS cto = {};
    ASSERT_TRUE(GetCommTimeouts(info->idComDev, &cto));
    EXPECT_EQ(cto.WriteTotalTimeoutMultiplier, 2u);
    EXPECT_TRUE(CloseConnection(Hwnd()));
}

TEST_F(Serial, LineSettings_FlowControlChoicesReachTheDevice)
{
    // DTR/DSR handshaking (value 1) leaves no trace in a pty's termios; what
    // can be seen is XON/XOFF (ixon, ixoff) and RTS/CTS (crtscts).
    struct {
        BYTE bFlowCtrl;
        bool fXonXoff, fRtsCts;
    } const aCase[] = {{0, false, false}, {3, false, true}, {4, true, false}, {7, true, true}};
    for (const auto &c : aCase) {
        SCOPED_TRACE("bFlowCtrl " + std::to_string(c.bFlowCtrl));
        info->bFlowCtrl = c.bFlowCtrl;
        ASSERT_TRUE(OpenConnection(Hwnd()));
        PtyPeer::Termios t = Termios();
        EXPECT_EQ(t.ixon, c.fXonXoff);
        EXPECT_EQ(t.ixoff, c.fXonXoff);
        EXPECT_EQ(t.crtscts, c.fRtsCts);
        EXPECT_TRUE(CloseConnection(Hwnd()));
    }
}

TEST_F(Serial, LineSettings_ParityKindReachesTheDevice)
{
    info->bParity = ODDPARITY;
    ASSERT_TRUE(OpenConnection(Hwnd()));
    PtyPeer::Termios t = Termios();
    EXPECT_TRUE(t.parodd);
    EXPECT_FALSE(t.cmspar);
    EXPECT_EQ(t.csize, 8u);     // all a pty ever shows

    struct {
        BYTE bParity;
        bool fOdd, fStick;
    } const aCase[] = {{MARKPARITY, true, true}, {SPACEPARITY, false, true},
                       {EVENPARITY, false, false}, {NOPARITY, false, false}};
    for (const auto &c : aCase) {
        SCOPED_TRACE("bParity " + std::to_string(c.bParity));
        info->bParity = c.bParity;
        EXPECT_TRUE(SetupConnection(Hwnd()));
        t = Termios();
        EXPECT_EQ(t.parodd, c.fOdd);
        EXPECT_EQ(t.cmspar, c.fStick);
    }
    EXPECT_TRUE(CloseConnection(Hwnd()));
}

// ---------------------------------------------------------------------------
// Open: the port is held exclusively, failures leave everything closed.

TEST_F(Serial, Open_PortHeldByAnotherProgramIsRefusedAndMenuStaysUnconnected)
{
    char szExe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(NULL, szExe, sizeof szExe), 0u);
    char szCmd[MAX_PATH + 64];
    snprintf(szCmd, sizeof szCmd, "\"%s\" --hold-port=COM%d", szExe, kPort);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(NULL, szCmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
    CloseHandle(pi.hThread);
    ASSERT_TRUE(peer.WaitOpened(true, 20000)) << "the holder did not open COM7";

    // Refusing a second open is the system's part (the port is opened with
    // no sharing); where the system does not refuse it, there is nothing
    // for the program to react to.
    HANDLE hSecond = CreateFileA("COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    const bool fEnforced = hSecond == INVALID_HANDLE_VALUE;
    if (!fEnforced)
        CloseHandle(hSecond);
    else {
        EXPECT_FALSE(OpenConnection(Hwnd()));
        ExpectClosed();
    }

    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    ASSERT_TRUE(peer.WaitOpened(false, 10000));
    // Once the other program lets go, the same port opens.
    EXPECT_TRUE(OpenConnection(Hwnd()));
    EXPECT_TRUE(CloseConnection(Hwnd()));
    if (!fEnforced)
        GTEST_SKIP() << "this system lets a second program open a COM port that is held exclusively";
}

TEST_F(Serial, Open_Com0AndAMissingDeviceFailCleanly)
{
    for (BYTE bPort : {(BYTE)0, (BYTE)kMissingPort}) {
        SCOPED_TRACE("COM" + std::to_string(bPort));
        info->bPort = bPort;
        EXPECT_FALSE(OpenConnection(Hwnd()));
        ExpectClosed();
        EXPECT_EQ(info->dwThreadID, 0u);
    }
}

TEST_F(Serial, Open_ZeroBaudRateIsRefusedWithoutOpeningThePort)
{
    info->dwBaudRate = 0;
    ASSERT_FALSE(OpenConnection(Hwnd()));
    ExpectClosed();
    EXPECT_FALSE(peer.Opened());
    info->dwBaudRate = 19200;
    EXPECT_TRUE(OpenConnection(Hwnd()));
    EXPECT_TRUE(CloseConnection(Hwnd()));
}

TEST_F(Serial, Open_SettingsTheDriverRefusesCloseThePortAgain)
{
    info->bByteSize = 9;
    EXPECT_FALSE(OpenConnection(Hwnd()));
    ExpectClosed();
    EXPECT_TRUE(peer.WaitOpened(false, 5000));
}

TEST_F(Serial, Open_WriteTimeoutFollowsTheBaudRate)
{
    EXPECT_EQ(WriteTimeoutMultiplier(9600), 2u);
    EXPECT_EQ(WriteTimeoutMultiplier(19200), 1u);
    EXPECT_EQ(WriteTimeoutMultiplier(38400), 0u);
    EXPECT_EQ(WriteTimeoutMultiplier(56000), 0u);
    EXPECT_EQ(WriteTimeoutMultiplier(115200), 0u);

    info->dwBaudRate = 19200;
    ASSERT_TRUE(OpenConnection(Hwnd()));
    COMMTIMEOUTS cto = {};
    ASSERT_TRUE(GetCommTimeouts(info->idComDev, &cto));
    EXPECT_EQ(cto.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(cto.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(cto.ReadTotalTimeoutConstant, 48000u);
    EXPECT_EQ(cto.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(cto.WriteTotalTimeoutConstant, 48000u);
    EXPECT_TRUE(w->Grayed(IDM_CONNECT));
    EXPECT_FALSE(w->Grayed(IDM_DISCONNECT));
    EXPECT_NE(info->dwThreadID, 0u);
    // A second open while this one runs is refused and leaves it alone.
    HANDLE hPort = info->idComDev;
    EXPECT_FALSE(OpenConnection(Hwnd()));
    EXPECT_TRUE(Connected());
    EXPECT_EQ(info->idComDev, hPort);
    EXPECT_TRUE(CloseConnection(Hwnd()));
    ExpectClosed();
}

// ---------------------------------------------------------------------------
// Io: block reads take only what is queued; bytes go out as given.

TEST_F(Serial, Io_ReadWithNothingQueuedReturnsZeroAtOnce)
{
    OpenPortDirect(0);
    char ab[80];
    memset(ab, 'Z', sizeof ab);
    DWORD dwStart = GetTickCount();
    EXPECT_EQ(ReadCommBlock(Hwnd(), ab, 80), 0);
    // A read issued anyway would sit out the 48 s read time-out.
    EXPECT_LT(GetTickCount() - dwStart, 5000u);
    EXPECT_EQ(ab[0], 'Z');
}

TEST_F(Serial, Io_QueuedBytesComeBackInPiecesOfAtMostTheAskedLength)
{
    OpenPortDirect(0);
    Bytes sent;
    for (int i = 0; i < 200; i++)
        sent.push_back((uint8_t)(0x20 + i % 90));
    ASSERT_TRUE(peer.Send(sent));
    ASSERT_TRUE(WaitQueued(200)) << Queued() << " queued";

    Bytes got;
    std::vector<int> counts;
    for (int i = 0; i < 3; i++) {
        char ab[81];
        int n = ReadCommBlock(Hwnd(), ab, 80);
        counts.push_back(n);
        if (n > 0)
            got.insert(got.end(), ab, ab + n);
    }
    EXPECT_EQ(counts, (std::vector<int>{80, 80, 40}));
    EXPECT_EQ(got, sent);
    char ab[80];
    EXPECT_EQ(ReadCommBlock(Hwnd(), ab, 80), 0);
}

TEST_F(Serial, Io_WrittenBytesArriveInOrder)
{
    OpenPortDirect(0);     // no XON/XOFF: every byte value is data
    Bytes sent;
    for (int i = 0; i < 256; i++)
        sent.push_back((uint8_t)i);
    for (uint8_t b : sent)
        ASSERT_TRUE(WriteCommByte(Hwnd(), b));
    char szBlock[] = "block of text";
    ASSERT_TRUE(WriteCommBlock(Hwnd(), szBlock, 13));
    sent.insert(sent.end(), szBlock, szBlock + 13);
    EXPECT_EQ(PtyPeer::ToHex(peer.RecvN(sent.size(), 5000)), PtyPeer::ToHex(sent));
}

// ---------------------------------------------------------------------------
// Notes: failures show up in the terminal as "<CE-n>".

TEST_F(Serial, Notes_WriteToAVanishedDeviceIsNoted)
{
    OpenPortDirect(0);
    info->fDisplayErrors = FALSE;     // the note is of an error code, not of line errors
    peer.Vanish();
    EXPECT_FALSE(WriteCommByte(Hwnd(), 0x41));
    const std::string row = Trim(w->Row(1));
    unsigned uCode = 0;
    char chEnd = 0;
    EXPECT_EQ(sscanf(row.c_str(), "<CE-%u%c", &uCode, &chEnd), 2) << row;
    EXPECT_NE(uCode, 0u);
    EXPECT_EQ(chEnd, '>');
    char ab[80];
    EXPECT_EQ(ReadCommBlock(Hwnd(), ab, 80), 0);
}

TEST_F(Serial, Notes_CancelledPendingWriteIsNotedEvenWithLineErrorNotesOff)
{
    OpenPortDirect(0);
    info->fDisplayErrors = FALSE;
    // Nothing reads the pty, so a large write fills it and stays pending
    // until the close event lets the write be cancelled.
    std::vector<char> big(256 * 1024, 'x');
    std::atomic<bool> fDone{false};
    BOOL fResult = FALSE;
    std::thread writer([&] {
        fResult = WriteCommBlock(Hwnd(), big.data(), (DWORD)big.size());
        fDone = true;
    });
    Pump(500);
    EXPECT_FALSE(fDone.load()) << "the write did not stay pending";
    SetEvent(info->hCloseEvent);
    Pump(20000, [&] { return fDone.load(); });
    ASSERT_TRUE(fDone.load()) << "the pending write was not released";
    writer.join();
    ResetEvent(info->hCloseEvent);
    EXPECT_TRUE(fResult);
    EXPECT_TRUE(ScreenHas("<CE-995>")) << Trim(w->Row(1));
}

TEST_F(Serial, Notes_RepeatsWithinASecondAreCountedNotRepeated)
{
    // Line errors cannot be produced on a pty (its error word stays 0), so
    // the note writer's own flood control is what is checked here.
    const std::string before = w->Screen();
    WriteCommNote(Hwnd(), info, 5);
    WriteCommNote(Hwnd(), info, 5);
    WriteCommNote(Hwnd(), info, 5);
    WriteCommNote(Hwnd(), info, 7);
    std::string row = Trim(w->Row(1));
    EXPECT_EQ(row, "<CE-5>(2 more)<CE-7>");
    Sleep(1100);
    WriteCommNote(Hwnd(), info, 7);
    EXPECT_EQ(Trim(w->Row(1)), "<CE-5>(2 more)<CE-7><CE-7>");
}

// ---------------------------------------------------------------------------
// Close: the watch thread is stopped, the port closed once, nothing leaks.

TEST_F(Serial, Close_TwoHundredConnectionsLeakNoHandles)
{
    ASSERT_TRUE(OpenConnection(Hwnd()));
    ASSERT_TRUE(CloseConnection(Hwnd()));
    DWORD dwBefore = 0, dwAfter = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &dwBefore));
    for (int i = 0; i < 200; i++) {
        ASSERT_TRUE(OpenConnection(Hwnd())) << "round " << i;
        ASSERT_TRUE(CloseConnection(Hwnd())) << "round " << i;
    }
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &dwAfter));
    EXPECT_LE(dwAfter, dwBefore + 5);
    ExpectClosed();
    EXPECT_TRUE(peer.WaitOpened(false, 5000));
}

TEST_F(Serial, Close_AfterTheThreadEndedTheDownloadReturnsAtOnce)
{
    ASSERT_TRUE(OpenConnection(Hwnd()));
    ASSERT_TRUE(PlayHandshake());
    Bytes ack;
    WhilePumping([&] {
        peer.Send({0x02, 0x43});
        ack = peer.RecvN(2, 5000);
    });
    EXPECT_EQ(ack, (Bytes{0x06, 0x06}));
    // The thread closes the connection by itself.
    ASSERT_TRUE(Pump(10000, [&] { return info->dwThreadID == 0 && info->idComDev == INVALID_HANDLE_VALUE; }));
    EXPECT_TRUE(ScreenHas("Complete!!!"));
    EXPECT_TRUE(peer.WaitOpened(false, 5000));

    DWORD dwStart = GetTickCount();
    EXPECT_TRUE(CloseConnection(Hwnd()));
    EXPECT_TRUE(CloseConnection(Hwnd()));
    EXPECT_LT(GetTickCount() - dwStart, 5000u) << "close waited for a thread that had ended";
    ExpectClosed();
}

TEST_F(Serial, Close_RacingTheThreadsOwnCloseLeavesThePortClosedOnce)
{
    // The delays let either side get there first: the target's completion
    // notice or the window thread's close.
    for (int nDelay : {0, 1, 3, 6, 10}) {
        SCOPED_TRACE("delay " + std::to_string(nDelay));
        ASSERT_TRUE(OpenConnection(Hwnd()));
        ASSERT_TRUE(PlayHandshake());
        std::thread target([&] { peer.Send({0x02, 0x43}); });
        Sleep(nDelay);
        EXPECT_TRUE(CloseConnection(Hwnd()));
        target.join();
        ExpectClosed();
        EXPECT_EQ(info->dwThreadID, 0u);
        EXPECT_EQ(info->hThreadHandle, (HANDLE)NULL);
        EXPECT_TRUE(peer.WaitOpened(false, 5000));
        peer.Recv(16, 50);     // whatever the PC answered before it stopped
    }
    // The port is free for the next connection.
    ASSERT_TRUE(OpenConnection(Hwnd()));
    ASSERT_TRUE(PlayHandshake());
    EXPECT_TRUE(CloseConnection(Hwnd()));
    ExpectClosed();
}

TEST_F(Serial, Close_DisconnectReleasesAnIdleThreadAndSaysUserBreak)
{
    ASSERT_TRUE(OpenConnection(Hwnd()));
    Pump(300);     // the watch thread is now waiting for bytes
    ASSERT_TRUE(Connected());
    PostMessageA(Hwnd(), WM_COMMAND, IDM_DISCONNECT, 0);
    DWORD dwStart = GetTickCount();
    // Without the release the idle read would hold the close for 48 s.
    ASSERT_TRUE(Pump(10000, [&] { return !Connected() && !w->Grayed(IDM_CONNECT); }));
    EXPECT_LT(GetTickCount() - dwStart, 5000u);
    ExpectClosed();
    EXPECT_TRUE(ScreenHas("User break."));
    EXPECT_TRUE(peer.WaitOpened(false, 5000));
}

} // namespace
