// What the Windows tests share: Kelvo's main window made as WinMain makes
// it, a message pump, one watcher that answers dialogs and message boxes,
// a scratch directory, and dlfsim as the target behind a COM port.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include "app/app.h"
#include "download/download.h"
#include "serial/serial.h"
#include "serial/portcheck.h"
#include "terminal/terminal.h"

namespace kt {

typedef std::vector<std::string> Strings;
inline std::string Env(const char *pszName) { return getenv(pszName) ? getenv(pszName) : ""; }

// The Windows name of a Linux path (drive Z: is the root).
inline std::string Win(std::string path)
{
    for (char &c : path)
        c = c == '/' ? '\\' : c;
    return "Z:" + path;
}

inline std::string ReadAll(const std::string &path) { std::ifstream f(path, std::ios::binary); return {std::istreambuf_iterator<char>(f), {}}; }

inline void WriteAll(const std::string &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

inline int Count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++)
        n++;
    return n;
}

// Runs the message loop as Kelvo's does (accelerators first) until done()
// holds or ms have passed; returns what done() said last (asked once a
// round, so a caller never sees a second, different answer).
inline bool Pump(DWORD ms, const std::function<bool()> &done = [] { return false; })
{
    for (DWORD t0 = GetTickCount();; MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT)) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            if (msg.message != WM_QUIT && !TranslateAcceleratorA(hTTYWnd, ghAccel, &msg))
                TranslateMessage(&msg), DispatchMessageA(&msg);
        if (bool fDone = done(); fDone || GetTickCount() - t0 >= ms)
            return fDone;
    }
}

// A place for this prefix's test files (other prefixes count process ids alike).
inline std::string Here(const std::string &name)
{
    return "/tmp/kelvo-win-" + std::to_string(std::hash<std::string>()(Env("WINEPREFIX")) % 1000000) + "/" + name;
}

// Runs a Linux command line through /bin/sh, and waits for its end unless
// told not to. Wine hands out no process handle for a Linux program, so the
// end is a file the command leaves (one a killed run left is removed first).
inline void Sh(const std::string &cmd, bool fWait = true)
{
    static int n;
    std::string done = Here("done-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++n));
    CreateDirectoryA(Win(Here("")).c_str(), NULL), DeleteFileA(Win(done).c_str());
    std::string line = "/bin/sh -c \"" + cmd + (fWait ? "; touch " + done : "") + "\"";
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi = {};                 // left empty for a Linux program: nothing to close
    ASSERT_TRUE(CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) << cmd;
    if (fWait && Pump(20000, [&] { return GetFileAttributesA(Win(done).c_str()) != INVALID_FILE_ATTRIBUTES; }))
        DeleteFileA(Win(done).c_str());
}

// COMn mapped to a device that does not exist.
inline void Unplug(int n) { Sh("ln -sfn /nonexistent " + Env("WINEPREFIX") + "/dosdevices/com" + std::to_string(n)); }

// A fresh working directory for the test's life (saveinfo.cfg lives there),
// emptied of what a killed run may have left under its name.
struct Scratch {
    std::string dir = Here(std::to_string(GetCurrentProcessId()) + "-" + std::to_string(Next()));
    Scratch() { Sh("rm -rf " + dir + " && mkdir " + dir), SetCurrentDirectoryA(Win(dir).c_str()); }
    ~Scratch() { SetCurrentDirectoryA("C:\\"), Sh("rm -rf " + dir); }
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
    static int Next()
    {
        static int n;
        return ++n;
    }
};

// A DLF file of n bytes of dlftool's sample pattern (every byte value),
// the CRC over as much of it as a header covers. Returns its Linux path.
inline std::string MakeDlf(const Scratch &s, const std::string &name, size_t n)
{
    Sh(Env("KELVO_HOST_BIN") + "/dlftool make --sample " + std::to_string(n) + " -o " + s / name +
       (n > 65533 ? " --cover 65533" : ""));
    return s / name;
}

inline std::string Text(HWND h)
{
    char sz[512] = "";
    return GetWindowTextA(h, sz, sizeof sz) ? sz : "";
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
    ~Watch() { m_fStop = true, m_thread.join(); }
    void On(const std::string &key, std::function<void(HWND)> act) { std::lock_guard<std::mutex> lock(m_mutex); m_handlers.emplace_back(key, act); }
    // Whether the handler for key has run; it is dropped if not.
    bool Ran(const std::string &key)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_handlers.begin(); it != m_handlers.end(); ++it)
            if (it->first == key)
                return m_handlers.erase(it), false;
        return true;
    }
    // The boxes recorded since the last call.
    Strings Boxes() { std::lock_guard<std::mutex> lock(m_mutex); return std::exchange(m_boxes, {}); }

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
    // What to do with a dialog: its handler, OK for an unasked box, or nothing.
    std::function<void(HWND)> Act(HWND h)
    {
        std::string text = Text(GetDlgItem(h, 0xFFFF)), key = IsBox(h) ? Text(h) + "|" + text : Text(h);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_handlers.begin(); it != m_handlers.end(); ++it)
            if (it->first == key || (IsBox(h) && it->first.find('|') != std::string::npos && key.find(it->first) != std::string::npos)) {
                auto act = it->second;
                return m_handlers.erase(it), act;
            }
        if (!IsBox(h) || text.empty())
            return nullptr;
        m_boxes.push_back(key);
        return [](HWND b) { PostMessageA(b, WM_COMMAND, IDOK, 0); };
    }
    void Run()
    {
        for (; !m_fStop; Sleep(10)) {
            std::vector<HWND> dialogs;
            EnumWindows(Collect, (LPARAM)&dialogs);
            for (HWND h : dialogs)
                if (auto act = Act(h)) {
                    act(h);
                    for (int i = 0; i < 400 && IsWindow(h) && IsWindowVisible(h); i++)
                        Sleep(5);           // gone before it is looked at again
                }
        }
    }
    std::atomic<bool> m_fStop{false};
    std::mutex m_mutex;
    std::vector<std::pair<std::string, std::function<void(HWND)>>> m_handlers;
    Strings m_boxes;
    std::thread m_thread;
};

// The caret's place in hWnd's client area ({-1, ...} when hWnd has none).
inline RECT Caret(HWND h)
{
    GUITHREADINFO gti = {sizeof gti};
    return GetGUIThreadInfo(GetCurrentThreadId(), &gti) && gti.hwndCaret == h ? gti.rcCaret : RECT{-1, -1, -1, -1};
}

// Types a name into the file dialog and presses Open (Cancel without a name).
inline std::function<void(HWND)> Choose(const std::string &name, std::string *pInitial = nullptr)
{
    return [=](HWND h) {
        if (pInitial)
            *pInitial = Text(GetDlgItem(h, 0x47c));
        SendMessageA(GetDlgItem(h, 0x47c), WM_SETTEXT, 0, (LPARAM)name.c_str());
        PostMessageA(h, WM_COMMAND, name.empty() ? IDCANCEL : IDOK, 0);
    };
}

// Kelvo's main window, created exactly as WinMain creates it.
struct Window {
    HWND hWnd = (InitApplication(GetModuleHandleA(NULL)), hTTYWnd = InitInstance(GetModuleHandleA(NULL), SW_SHOWNORMAL));
    // (The window may be gone already; its WM_QUIT is not left for the next.)
    // Whatever the test did, no thread but the watch thread used a running
    // session's port, and no port was opened by a name Windows does not know.
    ~Window()
    {
        MSG msg;
        DestroyWindow(hWnd), PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE);
        EXPECT_EQ(std::string(PortCheckFindings()), "");
    }
    NPTTYINFO Info() const { return GETNPTTYINFO(hWnd); }
    std::string Screen() const { return std::string((const char *)Info()->abScreen, TTY_CELLS); }
    // Row r without the spaces at its end.
    std::string Row(int r) const
    {
        std::string row = Screen().substr(r * TTY_COLUMNS, TTY_COLUMNS);
        return row.substr(0, row.find_last_not_of(' ') + 1);
    }
    bool Grayed(UINT id) const { return GetMenuState(GetMenu(hWnd), id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED); }
    bool Connected() const { return Info()->fConnected; }
    // A key as the user types it: through the accelerators, as Kelvo's loop does.
    void Key(char c) const { PostMessageA(hWnd, WM_CHAR, (WPARAM)c, 0), Pump(50); }
};

// dlfsim as the target on a pseudo terminal mapped to COMn, judging every
// byte against the DLF file; stopped (and the mapping removed) at the end.
struct Target {
    std::string base, pid = base + ".pid";
    Target(const Scratch &s, int com, const std::string &args, const std::string &dlf)
        : base(s / ("sim" + std::to_string(Scratch::Next())))
    {
        Sh("echo $$ > " + pid + "; exec " + Env("KELVO_HOST_BIN") + "/dlfsim --link " + Env("WINEPREFIX") +
           "/dosdevices/com" + std::to_string(com) + " --start-delay 0 --transcript " + base + ".transcript " + args +
           " " + dlf + " > " + base + ".out 2>&1", false);
        EXPECT_TRUE(Pump(10000, [&] { return Output().find("PTY") != std::string::npos; })) << Output();
    }
    ~Target() { Stop(); }
    std::string Output() const { return ReadAll(Win(base + ".out")); }
    std::string Transcript() const { return ReadAll(Win(base + ".transcript")); }
    // The verdict line, once dlfsim has given it (the window is served meanwhile).
    std::string Result(DWORD ms = 60000) const
    {
        Pump(ms, [&] { return Output().find("RESULT") != std::string::npos; });
        size_t at = Output().find("RESULT");
        return at == std::string::npos ? "no verdict: " + Output() : Output().substr(at);
    }
    std::string Stop() const { return Sh("kill $(cat " + pid + ") 2>/dev/null"), Result(10000); }
    // Whether the transcript comes to hold text (n times) within ms.
    bool Says(const std::string &text, int n = 1, DWORD ms = 20000) const
    {
        return Pump(ms, [&] { return Count(Transcript(), text) >= n; });
    }
};

} // namespace kt
