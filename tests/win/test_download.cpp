// Downloads end to end: the real main window, a real COM port (COM8, a
// Linux pty) and the simulated target dlfsim on its far side, which checks
// every data byte it receives against the same DLF file.
#include "testkit.h"
#include "peer.h"
#include "download/dlf.h"

#include <cstdlib>
#include <string>

namespace {

const int kPort = 8;

std::string UnixToWin(const std::string &unixPath)
{
    std::string s = "Z:" + unixPath;
    for (char &c : s)
        if (c == '/')
            c = '\\';
    return s;
}

// A unique path under /tmp, reachable from both sides (Z: is the root).
std::string TempUnixPath(const char *pszWhat)
{
    static int nSerial;
    char sz[200];
    snprintf(sz, sizeof sz, "/tmp/kelvo-dl-%lu-%lu-%d-%s", (unsigned long)GetCurrentProcessId(),
             (unsigned long)GetTickCount(), ++nSerial, pszWhat);
    return sz;
}

// A DLF file of n bytes with a correct header: the CRC covers the whole rest
// of the file (or the first 65533 bytes of it). The body holds every byte
// value, XON and XOFF included.
std::string MakeDlf(size_t n, unsigned seed)
{
    std::string b(n, '\0');
    for (size_t i = 4; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        b[i] = (char)(seed >> 16);
    }
    uint16_t wCovered = (uint16_t)std::min<size_t>(n - 4, 65533);
    uint16_t wSize = (uint16_t)(wCovered + 2);
    uint16_t wCrc = GetCrc16((const unsigned char *)b.data() + 4, wCovered);
    b[0] = (char)(wSize >> 8);
    b[1] = (char)wSize;
    b[2] = (char)(wCrc >> 8);
    b[3] = (char)wCrc;
    return b;
}

// dlfsim as the target on COM8, started in the background: the test keeps
// pumping Kelvo's messages while the two talk. Its output goes to a file.
class DlfSim {
public:
    ~DlfSim() { Forget(); }

    // args: dlfsim's scenario options. Returns once the port exists.
    bool Start(const std::string &args, const std::string &unixDlf)
    {
        Forget();
        std::string bin = kt::Env("KELVO_HOST_BIN");
        std::string prefix = kt::Env("WINEPREFIX");
        if (bin.empty() || prefix.empty())
            return false;
        m_out = TempUnixPath("dlfsim.txt");
        std::string cmd = "exec '" + bin + "/dlfsim' --link '" + prefix + "/dosdevices/com" +
                          std::to_string(kPort) + "' " + args + " '" + unixDlf + "' > '" + m_out + "' 2>&1";
        std::string line = "/bin/sh -c \"" + cmd + "\"";
        std::vector<char> buf(line.begin(), line.end());
        buf.push_back('\0');
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        if (!CreateProcessA(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &m_pi))
            return false;
        m_fStarted = true;
        // The first line names the pty; the link is in place by then.
        return kt::Pump(10000, [&] { return Output().find("PTY ") != std::string::npos; });
    }

    std::string Output() const { return m_out.empty() ? "" : kt::ReadFileBytes(UnixToWin(m_out)); }

    // The RESULT line, once dlfsim has written it (pumping meanwhile).
    std::string WaitResult(DWORD dwTimeout)
    {
        kt::Pump(dwTimeout, [&] { return Output().find("RESULT ") != std::string::npos; });
        std::string out = Output();
        size_t pos = out.find("RESULT ");
        if (pos == std::string::npos)
            return "";
        size_t end = out.find('\n', pos);
        return out.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    }

private:
    void Forget()
    {
        if (m_fStarted) {
            CloseHandle(m_pi.hProcess);
            CloseHandle(m_pi.hThread);
            m_fStarted = false;
        }
        if (!m_out.empty())
            DeleteFileA(UnixToWin(m_out).c_str());
        m_out.clear();
    }
    PROCESS_INFORMATION m_pi = {};
    bool m_fStarted = false;
    std::string m_out;
};

long ResultNumber(const std::string &result, const char *pszKey)
{
    size_t pos = result.find(pszKey);
    return pos == std::string::npos ? -1 : atol(result.c_str() + pos + strlen(pszKey));
}

class Download : public ::testing::Test {
protected:
    void SetUp() override
    {
        kt::WriteSaveInfo(kPort, 115200);
        m_window.reset(new kt::MainWindow);
        ASSERT_NE(m_window->Info(), nullptr);
        m_dlf = TempUnixPath("image.dlf");
    }
    void TearDown() override
    {
        if (m_window)
            m_window->Destroy();
        m_window.reset();
        DeleteFileA(UnixToWin(m_dlf).c_str());
    }

    void WriteDlf(size_t n, unsigned seed = 7) { kt::WriteFileBytes(UnixToWin(m_dlf), MakeDlf(n, seed)); }

    // Connect as the user does: the menu command, then the open-file dialog
    // with the file's path typed into its name field.
    void ConnectThroughDialog()
    {
        HWND hWnd = m_window->Hwnd();
        std::string path = UnixToWin(m_dlf);
        kt::DialogDriver driver(nullptr, [path](HWND hDlg) {
            SendDlgItemMessageA(hDlg, 0x47c, WM_SETTEXT, 0, (LPARAM)path.c_str());
            PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
        });
        PostMessageA(hWnd, WM_COMMAND, IDM_CONNECT, 0);
        kt::Pump(15000, [&] { return driver.Done() && Info()->fConnected; });
        ASSERT_TRUE(driver.Join()) << "no open-file dialog";
        ASSERT_TRUE(Info()->fConnected) << "the connection did not open";
    }

    // Connect without the dialog: load the file and open the port.
    bool ConnectDirect()
    {
        return QelFileRead(UnixToWin(m_dlf).c_str()) && OpenConnection(m_window->Hwnd());
    }

    void Disconnect() { PostMessageA(m_window->Hwnd(), WM_COMMAND, IDM_DISCONNECT, 0); }

    // The session is over on both threads: flag clear, port closed, the
    // watch thread gone and its buffer released.
    bool Closed()
    {
        NPTTYINFO p = Info();
        return !p->fConnected && p->idComDev == INVALID_HANDLE_VALUE && p->dwThreadID == 0 &&
               p->pbConnBuf == NULL &&
               (!p->hThreadHandle || WaitForSingleObject(p->hThreadHandle, 0) == WAIT_OBJECT_0);
    }

    void ExpectUnconnectedMenu()
    {
        EXPECT_FALSE(m_window->Grayed(IDM_CONNECT));
        EXPECT_TRUE(m_window->Grayed(IDM_DISCONNECT));
    }

    NPTTYINFO Info() const { return m_window->Info(); }
    std::string Screen() const { return m_window->Screen(); }

    // The last progress figure on the screen, or -1.
    int ShownPercent() const
    {
        std::string s = Screen();
        size_t pos = s.rfind("UART downloading...");
        return pos == std::string::npos ? -1 : atoi(s.c_str() + pos + 19);
    }

    kt::ScratchDir m_dir;
    kt::MessageBoxSpy m_spy;     // the start-up probe of COM8 may complain
    std::unique_ptr<kt::MainWindow> m_window;
    std::string m_dlf;
    DlfSim m_sim;
};

// ------------------------------------------------------------- Completion

TEST_F(Download, MultiBlockDownloadDeliversEveryByteAndClosesThePort)
{
    WriteDlf(65536);
    ASSERT_TRUE(m_sim.Start("--plan auto:4096 --linger 3000", m_dlf)) << m_sim.Output();
    DWORD dwStart = GetTickCount();
    ConnectThroughDialog();
    EXPECT_TRUE(m_window->Grayed(IDM_CONNECT));
    EXPECT_FALSE(m_window->Grayed(IDM_DISCONNECT));

    std::string result = m_sim.WaitResult(120000);
    DWORD dwElapsed = GetTickCount() - dwStart;
    EXPECT_EQ(ResultNumber(result, "RESULT ok bytes="), 65536) << m_sim.Output();
    EXPECT_EQ(ResultNumber(result, "blocks="), 16);
    EXPECT_TRUE(kt::Pump(5000, [&] { return Closed(); }));

    EXPECT_NE(Screen().find("UART downloading...100%"), std::string::npos);
    EXPECT_NE(Screen().find("Complete!!!"), std::string::npos);
    EXPECT_EQ(Info()->idComDev, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Info()->fConnected);
    EXPECT_EQ(Info()->pbConnBuf, nullptr);
    ExpectUnconnectedMenu();

    long ms = ResultNumber(result, "xfer_ms=");
    char sz[160];
    snprintf(sz, sizeof sz, "64 KiB in %ld ms by the target's clock (%lu ms from Connect): %ld bytes/s",
             ms, (unsigned long)dwElapsed, ms > 0 ? 65536L * 1000 / ms : -1L);
    RecordProperty("rate", sz);
    printf("[ rate     ] %s\n", sz);
}

TEST_F(Download, DataBytesThatAreFlowControlCharactersPassWithXonXoffOn)
{
    // A small file made of nothing but XON and XOFF after the header.
    std::string image = MakeDlf(600, 1);
    for (size_t i = 4; i < image.size(); i++)
        image[i] = (i & 1) ? 0x11 : 0x13;
    uint16_t wCrc = GetCrc16((const unsigned char *)image.data() + 4, (uint16_t)(image.size() - 4));
    image[2] = (char)(wCrc >> 8);
    image[3] = (char)wCrc;
    kt::WriteFileBytes(UnixToWin(m_dlf), image);
    ASSERT_TRUE(Info()->bFlowCtrl & FC_XONXOFF);

    ASSERT_TRUE(m_sim.Start("--plan auto:256", m_dlf));
    ASSERT_TRUE(ConnectDirect());
    std::string result = m_sim.WaitResult(30000);
    EXPECT_EQ(ResultNumber(result, "RESULT ok bytes="), 600) << m_sim.Output();
    EXPECT_TRUE(kt::Pump(5000, [&] { return Closed(); }));
}

TEST_F(Download, NoiseWrongByteAndPastEndRequestAreHandledOverTheLine)
{
    WriteDlf(3000);
    ASSERT_TRUE(m_sim.Start("--plan auto:1000 --noise 40 --seed 3 --wrong-byte 100 --past-end", m_dlf));
    ASSERT_TRUE(ConnectDirect());
    std::string result = m_sim.WaitResult(60000);
    EXPECT_EQ(result.compare(0, 9, "RESULT ok"), 0) << m_sim.Output();
    EXPECT_TRUE(kt::Pump(5000, [&] { return Closed(); }));
    EXPECT_NE(Screen().find("Complete!!!"), std::string::npos);
}

// ------------------------------------------------------------- User break

TEST_F(Download, DisconnectWhileTheTargetIsSilentEndsTheSession)
{
    WriteDlf(2000);
    ASSERT_TRUE(m_sim.Start("--silent --duration 4", m_dlf));
    ConnectThroughDialog();
    kt::Pump(500);
    ASSERT_TRUE(Info()->fConnected);

    // How much processor time an idle, connected session costs: the watch
    // thread's own time (the test's message-box watcher polls, so the
    // process as a whole is shown for comparison only).
    auto ticks = [](const FILETIME &f) { return ((ULONGLONG)f.dwHighDateTime << 32) | f.dwLowDateTime; };
    auto cpuOf = [&](bool fThread) {
        FILETIME c, e, k, u;
        if (fThread)
            GetThreadTimes(Info()->hThreadHandle, &c, &e, &k, &u);
        else
            GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
        return ticks(k) + ticks(u);                  // 100 ns units
    };
    ULONGLONG thread0 = cpuOf(true), process0 = cpuOf(false);
    DWORD dwT0 = GetTickCount();
    Sleep(2000);
    ULONGLONG thread1 = cpuOf(true), process1 = cpuOf(false);
    DWORD dwWall = GetTickCount() - dwT0;
    printf("[ idle cpu ] watch thread %.2f%%, whole process %.2f%% of a core while connected and silent\n",
           (thread1 - thread0) / 100.0 / dwWall, (process1 - process0) / 100.0 / dwWall);

    Disconnect();
    EXPECT_TRUE(kt::Pump(5000, [&] { return Closed(); }));
    EXPECT_NE(Screen().find("User break."), std::string::npos);
    ExpectUnconnectedMenu();
    // The PC sent nothing to a target that never spoke.
    EXPECT_EQ(m_sim.WaitResult(10000).compare(0, 9, "RESULT ok"), 0) << m_sim.Output();
}

TEST_F(Download, DisconnectInsideABlockStopsTheDataWithoutEtx)
{
    WriteDlf(4000);
    ASSERT_TRUE(m_sim.Start("--plan auto:2048 --stop-after 1000 --duration 30", m_dlf));
    ASSERT_TRUE(ConnectDirect());
    // The target stops answering in the middle of the first block.
    kt::Pump(30000, [&] { return m_sim.Output().find("then stopped") != std::string::npos; });
    ASSERT_NE(m_sim.Output().find("served 1000 data bytes"), std::string::npos) << m_sim.Output();
    EXPECT_EQ(ShownPercent(), 999 * 100 / 4000);
    Disconnect();
    EXPECT_TRUE(kt::Pump(5000, [&] { return Closed(); }));
    EXPECT_NE(Screen().find("User break."), std::string::npos);
    // dlfsim watched the line until the port closed: nothing more came.
    EXPECT_EQ(m_sim.WaitResult(10000).compare(0, 9, "RESULT ok"), 0) << m_sim.Output();
}

TEST_F(Download, DisconnectWhileDataFlowsEndsTheThreadPromptly)
{
    WriteDlf(16384);
    ASSERT_TRUE(m_sim.Start("--plan auto:16384 --duration 60", m_dlf));
    ASSERT_TRUE(ConnectDirect());
    ASSERT_TRUE(kt::Pump(60000, [&] { return ShownPercent() >= 10; })) << m_sim.Output();
    Disconnect();
    EXPECT_TRUE(kt::Pump(5000, [&] { return Closed(); }));
    EXPECT_NE(Screen().find("User break."), std::string::npos);
    EXPECT_EQ(Screen().find("Complete!!!"), std::string::npos);
    ExpectUnconnectedMenu();
    // The target saw the data stop and gives up: it must not report success.
    EXPECT_EQ(m_sim.WaitResult(30000).compare(0, 11, "RESULT fail"), 0) << m_sim.Output();
}

// ------------------------------------------------------------- Teardown

TEST_F(Download, DestroyingTheWindowDuringADownloadNeitherCrashesNorHangs)
{
    WriteDlf(16384);
    ASSERT_TRUE(m_sim.Start("--plan auto:16384 --duration 60", m_dlf));
    ASSERT_TRUE(ConnectDirect());
    ASSERT_TRUE(kt::Pump(60000, [&] { return ShownPercent() >= 10; })) << m_sim.Output();
    HANDLE hThread = NULL;
    DuplicateHandle(GetCurrentProcess(), Info()->hThreadHandle, GetCurrentProcess(), &hThread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    ASSERT_NE(hThread, (HANDLE)NULL);
    m_window->Destroy();
    EXPECT_EQ(WaitForSingleObject(hThread, 5000), WAIT_OBJECT_0) << "the watch thread outlived its window";
    CloseHandle(hThread);
    EXPECT_EQ(m_sim.WaitResult(30000).compare(0, 11, "RESULT fail"), 0) << m_sim.Output();

    // The port is free again: a new window connects to a new target.
    m_window.reset(new kt::MainWindow);
    WriteDlf(700);
    ASSERT_TRUE(m_sim.Start("--plan auto:512", m_dlf));
    ASSERT_TRUE(ConnectDirect());
    EXPECT_EQ(ResultNumber(m_sim.WaitResult(30000), "RESULT ok bytes="), 700) << m_sim.Output();
}

// ------------------------------------------------------------- Many sessions

TEST_F(Download, FiftySessionsLeakNoHandles)
{
    WriteDlf(100);
    ASSERT_TRUE(m_sim.Start("--plan auto:50 --repeat 50 --start-delay 100 --linger 3000", m_dlf));
    // Warm up once so that lazily created objects of the platform are there.
    ASSERT_TRUE(ConnectDirect());
    ASSERT_TRUE(kt::Pump(20000, [&] { return Closed(); })) << m_sim.Output();
    kt::Pump(100);
    DWORD dwBefore = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &dwBefore));

    for (int i = 1; i < 50; i++) {
        // dlfsim wants the port closed for a while between sessions.
        kt::Pump(150);
        ASSERT_TRUE(ConnectDirect()) << "session " << i;
        ASSERT_TRUE(kt::Pump(20000, [&] { return Closed(); })) << "session " << i << "\n" << m_sim.Output();
        // A Disconnect after the target's completion finds nothing to end.
        Disconnect();
        kt::Pump(10);
    }
    std::string result = m_sim.WaitResult(20000);
    EXPECT_EQ(ResultNumber(result, "RESULT ok bytes="), 50 * 100) << m_sim.Output();
    EXPECT_EQ(ResultNumber(result, "blocks="), 100);

    DWORD dwAfter = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &dwAfter));
    EXPECT_LE(dwAfter, dwBefore + 5) << "handles before " << dwBefore << ", after " << dwAfter;
}

TEST_F(Download, RepeatedUserBreaksLeakNoHandles)
{
    PtyPeer peer;
    ASSERT_TRUE(peer.Start(kPort)) << peer.Error();
    WriteDlf(300);
    ASSERT_TRUE(ConnectDirect());
    PostMessageA(m_window->Hwnd(), WM_COMMAND, IDM_DISCONNECT, 0);
    ASSERT_TRUE(kt::Pump(5000, [&] { return Closed(); }));
    DWORD dwBefore = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &dwBefore));
    for (int i = 0; i < 50; i++) {
        ASSERT_TRUE(ConnectDirect()) << "session " << i;
        kt::Pump(5);
        Disconnect();
        ASSERT_TRUE(kt::Pump(5000, [&] { return Closed(); })) << "session " << i;
    }
    DWORD dwAfter = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &dwAfter));
    EXPECT_LE(dwAfter, dwBefore + 5) << "handles before " << dwBefore << ", after " << dwAfter;
    EXPECT_EQ(Info()->pbConnBuf, nullptr);
}

} // namespace
