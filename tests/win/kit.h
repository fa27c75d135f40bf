// What the Windows tests share: Kelvo's main window made as WinMain makes
// it, a message pump, one watcher that answers dialogs and message boxes,
// a scratch directory, and dlfsim as the target behind a COM port.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "app/app.h"
#include "download/dlf.h"
#include "download/download.h"
#include "serial/serial.h"
#include "terminal/terminal.h"

namespace kt {

inline std::string Env(const char *pszName)
{
    char sz[1024];
    DWORD n = GetEnvironmentVariableA(pszName, sz, sizeof sz);
    return n && n < sizeof sz ? sz : "";
}

inline std::string ReadAll(const std::string &path)
{
    std::string s;
    if (FILE *fp = fopen(path.c_str(), "rb")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, fp)) > 0;)
            s.append(buf, n);
        fclose(fp);
    }
    return s;
}

inline void WriteAll(const std::string &path, const std::string &bytes)
{
    FILE *fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), fp);
    fclose(fp);
}

// The Windows name of a Linux path (drive Z: is the root).
inline std::string Win(std::string path)
{
    for (char &c : path)
        c = c == '/' ? '\\' : c;
    return "Z:" + path;
}

// Runs the message loop as Kelvo's does (accelerators first) until done()
// holds or ms have passed; returns done()'s last word.
inline bool Pump(DWORD ms, const std::function<bool()> &done = [] { return false; })
{
    for (DWORD t0 = GetTickCount();;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            if (msg.message != WM_QUIT && !TranslateAcceleratorA(hTTYWnd, ghAccel, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        if (done() || GetTickCount() - t0 >= ms)
            return done();
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

// Starts a Linux command line through /bin/sh. Wine hands out no process
// handle for a Linux program, so whoever needs its end waits for a file.
inline void Shell(const std::string &cmd)
{
    std::string line = "/bin/sh -c \"" + cmd + "\"";
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) << cmd;
}

inline void ShellWait(const std::string &cmd)
{
    static int n;
    std::string done = "/tmp/kelvo-win-done-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++n);
    Shell(cmd + "; touch " + done);
    Pump(20000, [&] { return GetFileAttributesA(Win(done).c_str()) != INVALID_FILE_ATTRIBUTES; });
    DeleteFileA(Win(done).c_str());
}

// A fresh working directory for the test's life (saveinfo.cfg lives there).
struct Scratch {
    std::string dir;
    Scratch()
    {
        static int n;
        dir = "/tmp/kelvo-win-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++n);
        CreateDirectoryA(Win(dir).c_str(), NULL);
        SetCurrentDirectoryA(Win(dir).c_str());
    }
    ~Scratch()
    {
        SetCurrentDirectoryA("C:\\");
        ShellWait("rm -rf " + dir);
    }
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

// A DLF file of n payload bytes (every byte value, 0x11 and 0x13 too), the
// CRC over as much of it as a header covers. Returns its Linux path.
inline std::string MakeDlf(const Scratch &s, const std::string &name, size_t n)
{
    std::string b(n + 4, '\0');
    for (size_t i = 0; i < n; i++)
        b[4 + i] = (char)(i * 7 + 3 + (i >> 8));
    uint16_t wCovered = (uint16_t)(n < 65533 ? n : 65533);
    uint16_t wCrc = GetCrc16((const unsigned char *)b.data() + 4, wCovered);
    b[0] = (char)((wCovered + 2) >> 8), b[1] = (char)(wCovered + 2), b[2] = (char)(wCrc >> 8), b[3] = (char)wCrc;
    WriteAll(Win(s / name), b);
    return s / name;
}

inline std::string Text(HWND h)
{
    char sz[512] = "";
    GetWindowTextA(h, sz, sizeof sz);
    return sz;
}

// A message box: a dialog of statics and buttons with the text control
// 0xFFFF, and not the about box (which has one too).
inline bool IsBox(HWND h)
{
    char szClass[16];
    for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (GetClassNameA(c, szClass, sizeof szClass) && strcmp(szClass, "Static") && strcmp(szClass, "Button"))
            return false;
    return GetDlgItem(h, 0xFFFF) && !GetDlgItem(h, IDD_VERSION);
}

// Watches this process's dialogs on its own thread. A dialog goes, once,
// to the handler given for its caption; a message box to the handler whose
// key (holding a '|') is part of its "caption|text", else it is recorded
// as "caption|text" and closed with OK.
class Watch {
public:
    Watch() : m_thread([this] { Run(); }) {}
    ~Watch()
    {
        m_fStop = true;
        m_thread.join();
    }
    void On(const std::string &caption, std::function<void(HWND)> act)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_handlers[caption] = act;
    }
    // The boxes recorded since the last call.
    std::vector<std::string> Boxes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_boxes);
    }
    // Whether the handler for caption has run; it is dropped if not.
    bool Ran(const std::string &caption)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_handlers.erase(caption);
    }

private:
    static BOOL CALLBACK Collect(HWND h, LPARAM lp)
    {
        DWORD pid = 0;
        char szClass[16] = "";
        GetWindowThreadProcessId(h, &pid);
        GetClassNameA(h, szClass, sizeof szClass);
        if (pid == GetCurrentProcessId() && IsWindowVisible(h) && !strcmp(szClass, "#32770"))
            ((std::vector<HWND> *)lp)->push_back(h);
        return TRUE;
    }
    void Run()
    {
        for (; !m_fStop; Sleep(10)) {
            std::vector<HWND> dialogs;
            EnumWindows(Collect, (LPARAM)&dialogs);
            for (HWND h : dialogs) {
                std::function<void(HWND)> act;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    std::string text = Text(GetDlgItem(h, 0xFFFF)), key = IsBox(h) ? Text(h) + "|" + text : Text(h);
                    auto it = m_handlers.begin();
                    while (it != m_handlers.end() && !(it->first == key || (IsBox(h) && it->first.find('|') != std::string::npos &&
                                                                             key.find(it->first) != std::string::npos)))
                        ++it;
                    if (it != m_handlers.end()) {
                        act = it->second;
                        m_handlers.erase(it);
                    } else if (IsBox(h) && !text.empty()) {
                        m_boxes.push_back(Text(h) + "|" + text);
                        act = [](HWND b) { PostMessageA(b, WM_COMMAND, IDOK, 0); };
                    }
                }
                if (!act)
                    continue;
                act(h);
                for (int i = 0; i < 400 && IsWindow(h) && IsWindowVisible(h); i++)
                    Sleep(5);           // gone before it is looked at again
            }
        }
    }
    std::atomic<bool> m_fStop{false};
    std::mutex m_mutex;
    std::map<std::string, std::function<void(HWND)>> m_handlers;
    std::vector<std::string> m_boxes;
    std::thread m_thread;
};

// Kelvo's main window, created exactly as WinMain creates it.
struct Window {
    HWND hWnd;
    Window()
    {
        static bool fRegistered = InitApplication(GetModuleHandleA(NULL));
        EXPECT_TRUE(fRegistered);
        hWnd = hTTYWnd = InitInstance(GetModuleHandleA(NULL), SW_SHOWNORMAL);
    }
    ~Window()
    {
        if (IsWindow(hWnd))
            DestroyWindow(hWnd);
        MSG msg;
        while (PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
    NPTTYINFO Info() const { return GETNPTTYINFO(hWnd); }
    std::string Row(int r) const { return std::string((const char *)Info()->abScreen + r * TTY_COLUMNS, TTY_COLUMNS); }
    std::string Screen() const { return std::string((const char *)Info()->abScreen, TTY_CELLS); }
    bool Grayed(UINT id) const { return GetMenuState(GetMenu(hWnd), id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED); }
    bool Connected() const { return Info()->fConnected; }
    // A key as the user types it: through the accelerators, as Kelvo's loop does.
    void Key(char c) const
    {
        PostMessageA(hWnd, WM_CHAR, (WPARAM)c, 0);
        Pump(50);
    }
};

// dlfsim as the target on a pseudo terminal mapped to COMn, judging every
// byte against the DLF file; stopped (and the mapping removed) at the end.
struct Target {
    std::string out, transcript, pid;
    Target(const Scratch &s, int com, const std::string &args, const std::string &dlf)
    {
        static int n;
        std::string base = s / ("sim" + std::to_string(++n));
        out = base + ".out", transcript = base + ".transcript", pid = base + ".pid";
        Shell("echo $$ > " + pid + "; exec " + Env("KELVO_HOST_BIN") + "/dlfsim --link " + Env("WINEPREFIX") +
              "/dosdevices/com" + std::to_string(com) + " --start-delay 0 --transcript " + transcript + " " +
              args + " " + dlf + " > " + out + " 2>&1");
        EXPECT_TRUE(Pump(10000, [&] { return Output().find("PTY") != std::string::npos; })) << Output();
    }
    ~Target() { ShellWait("kill $(cat " + pid + ") 2>/dev/null; sleep 0.1"); }
    std::string Output() const { return ReadAll(Win(out)); }
    std::string Transcript() const { return ReadAll(Win(transcript)); }
    // The verdict line, once dlfsim has given it (the window is served meanwhile).
    std::string Result(DWORD ms = 60000) const
    {
        Pump(ms, [&] { return Output().find("RESULT") != std::string::npos; });
        size_t at = Output().find("RESULT");
        return at == std::string::npos ? "no verdict: " + Output() : Output().substr(at);
    }
    // Whether the transcript comes to hold text (n times) within ms.
    bool Says(const std::string &text, DWORD ms = 20000) const { return Says(1, text, ms); }
    bool Says(int n, const std::string &text, DWORD ms = 20000) const
    {
        return Pump(ms, [&] {
            std::string tr = Transcript();
            int k = 0;
            for (size_t at = 0; (at = tr.find(text, at)) != std::string::npos; at++)
                k++;
            return k >= n;
        });
    }
    std::string Stop() const
    {
        ShellWait("kill $(cat " + pid + ") 2>/dev/null");
        return Result(10000);
    }
};

} // namespace kt
