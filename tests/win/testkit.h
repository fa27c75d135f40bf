// What the Windows tests share: a scratch working directory, the real main
// window, a watcher that reads and answers message boxes, and a message pump.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "app/app.h"
#include "terminal/terminal.h"
#include "serial/serial.h"
#include "download/download.h"

namespace kt {

// A fresh, empty working directory for the test's lifetime (saveinfo.cfg
// lives in the working directory).
class ScratchDir {
public:
    ScratchDir()
    {
        char szTemp[MAX_PATH];
        GetTempPathA(sizeof szTemp, szTemp);
        static int nSerial;
        snprintf(m_szDir, sizeof m_szDir, "%skelvo-test-%lu-%d-%lu", szTemp,
                 (unsigned long)GetCurrentProcessId(), ++nSerial, (unsigned long)GetTickCount());
        CreateDirectoryA(m_szDir, NULL);
        GetCurrentDirectoryA(sizeof m_szOld, m_szOld);
        SetCurrentDirectoryA(m_szDir);
    }
    ~ScratchDir()
    {
        SetCurrentDirectoryA(m_szOld);
        Remove(m_szDir);
    }
    const char *Path() const { return m_szDir; }
    std::string File(const char *pszName) const { return std::string(m_szDir) + "\\" + pszName; }

private:
    static void Remove(const char *pszDir)
    {
        WIN32_FIND_DATAA fd;
        std::string pattern = std::string(pszDir) + "\\*";
        HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                if (strcmp(fd.cFileName, ".") && strcmp(fd.cFileName, "..")) {
                    std::string p = std::string(pszDir) + "\\" + fd.cFileName;
                    SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
                    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                        Remove(p.c_str());
                    else
                        DeleteFileA(p.c_str());
                }
            } while (FindNextFileA(h, &fd));
            FindClose(h);
        }
        RemoveDirectoryA(pszDir);
    }
    char m_szDir[MAX_PATH];
    char m_szOld[MAX_PATH];
};

inline std::string ReadFileBytes(const std::string &path)
{
    std::string s;
    FILE *fp = fopen(path.c_str(), "rb");
    if (!fp)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
        s.append(buf, n);
    fclose(fp);
    return s;
}

inline void WriteFileBytes(const std::string &path, const std::string &bytes)
{
    FILE *fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), fp);
    fclose(fp);
}

inline std::string ClassOf(HWND h)
{
    char sz[64] = "";
    GetClassNameA(h, sz, sizeof sz);
    return sz;
}

inline std::string TextOf(HWND h)
{
    char sz[1024] = "";
    GetWindowTextA(h, sz, sizeof sz);
    return sz;
}

// Collects the visible dialogs of this process into the vector at lp.
inline BOOL CALLBACK CollectOurDialog(HWND h, LPARAM lp)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(h) && ClassOf(h) == "#32770")
        ((std::vector<HWND> *)lp)->push_back(h);
    return TRUE;
}

// Every visible top-level dialog window of this process.
inline std::vector<HWND> OurDialogs()
{
    std::vector<HWND> v;
    EnumWindows(CollectOurDialog, (LPARAM)&v);
    return v;
}

// A message box is a dialog with the static text control 0xFFFF, only
// buttons and statics, and not the about box (whose banner line is 0xFFFF too).
inline bool IsMessageBox(HWND h)
{
    if (GetDlgItem(h, 0xFFFF) == NULL || GetDlgItem(h, IDD_VERSION) != NULL)
        return false;
    for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        std::string cls = ClassOf(c);
        if (cls != "Static" && cls != "Button")
            return false;
    }
    return true;
}

// Whether a message box shows the given system icon.
inline bool HasIcon(HWND hBox, HICON hIcon)
{
    for (HWND c = GetWindow(hBox, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (ClassOf(c) == "Static" && (HICON)SendMessageA(c, STM_GETICON, 0, 0) == hIcon)
            return true;
    return false;
}

struct Box {
    std::string caption, text;
    bool fExclamation;
};

// Watches for message boxes of this process on its own thread, records their
// caption and text, and presses OK, so code that shows one does not block.
class MessageBoxSpy {
public:
    MessageBoxSpy() : m_thread([this] { Run(); }) {}
    ~MessageBoxSpy()
    {
        m_fStop = true;
        m_thread.join();
    }
    std::vector<Box> Boxes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes;
    }
    // Waits until at least n boxes were seen.
    bool WaitFor(size_t n, DWORD dwTimeout = 5000);
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.clear();
    }

private:
    void Run()
    {
        while (!m_fStop) {
            for (HWND h : OurDialogs()) {
                if (!IsMessageBox(h))
                    continue;
                Box box;
                box.caption = TextOf(h);
                box.text = TextOf(GetDlgItem(h, 0xFFFF));
                // A dialog being torn down (the file dialog closing) can
                // pass for a message box for a moment; ours always have text.
                if (box.text.empty() || !IsWindowVisible(h))
                    continue;
                box.fExclamation = HasIcon(h, LoadIconA(NULL, (LPCSTR)IDI_EXCLAMATION));
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_boxes.push_back(box);
                }
                PostMessageA(h, WM_COMMAND, IDOK, 0);
                // Wait until it is gone so it is recorded once.
                for (int i = 0; i < 200 && IsWindow(h) && IsWindowVisible(h); i++)
                    Sleep(5);
            }
            Sleep(10);
        }
    }
    std::atomic<bool> m_fStop{false};
    std::mutex m_mutex;
    std::vector<Box> m_boxes;
    std::thread m_thread;
};

// Runs the message loop as Kelvo's does (accelerators first) for a while,
// or until pfnDone says so.
inline bool Pump(DWORD dwMs, const std::function<bool()> &pfnDone = nullptr)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                continue;
            if (!TranslateAcceleratorA(hTTYWnd, ghAccel, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        if (pfnDone && pfnDone())
            return true;
        if (GetTickCount() - dwStart >= dwMs)
            return pfnDone ? pfnDone() : true;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

inline bool MessageBoxSpy::WaitFor(size_t n, DWORD dwTimeout)
{
    return Pump(dwTimeout, [&] { return Boxes().size() >= n; });
}

// Creates Kelvo's main window exactly as WinMain does and tears it down.
class MainWindow {
public:
    MainWindow()
    {
        HINSTANCE hInstance = GetModuleHandleA(NULL);
        static bool fRegistered = false;
        if (!fRegistered)
            fRegistered = InitApplication(hInstance);
        hTTYWnd = InitInstance(hInstance, SW_SHOWNORMAL);
        m_hWnd = hTTYWnd;
    }
    ~MainWindow() { Destroy(); }
    void Destroy()
    {
        if (m_hWnd && IsWindow(m_hWnd))
            DestroyWindow(m_hWnd);
        m_hWnd = NULL;
        // Drop the WM_QUIT that WM_DESTROY posted.
        MSG msg;
        while (PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
    HWND Hwnd() const { return m_hWnd; }
    NPTTYINFO Info() const { return GETNPTTYINFO(m_hWnd); }
    std::string Row(int r) const
    {
        return std::string((const char *)Info()->abScreen + r * TTY_COLUMNS, TTY_COLUMNS);
    }
    std::string Screen() const { return std::string((const char *)Info()->abScreen, TTY_CELLS); }
    UINT MenuState(UINT id) const { return GetMenuState(GetMenu(m_hWnd), id, MF_BYCOMMAND); }
    bool Grayed(UINT id) const { return (MenuState(id) & (MF_GRAYED | MF_DISABLED)) != 0; }

private:
    HWND m_hWnd;
};

// Bytes as hexadecimal pairs, for failure messages.
inline std::string Hex(const std::string &s)
{
    std::string out;
    char sz[4];
    for (unsigned char c : s) {
        snprintf(sz, sizeof sz, "%02X ", c);
        out += sz;
    }
    return out;
}

// The cell size a font description gives, measured as the terminal does.
inline void CellOf(HWND hWnd, const LOGFONTA &lf, int *pxChar, int *pyChar)
{
    HFONT hFont = CreateFontIndirectA(&lf);
    HDC hDC = GetDC(hWnd);
    HGDIOBJ hOld = SelectObject(hDC, hFont);
    TEXTMETRICA tm = {};
    GetTextMetricsA(hDC, &tm);
    SelectObject(hDC, hOld);
    ReleaseDC(hWnd, hDC);
    DeleteObject(hFont);
    *pxChar = tm.tmAveCharWidth;
    *pyChar = tm.tmHeight + tm.tmExternalLeading;
}

// Trims the spaces at the end of a row.
inline std::string Trim(const std::string &s)
{
    size_t n = s.find_last_not_of(' ');
    return n == std::string::npos ? std::string() : s.substr(0, n + 1);
}

// Writes saveinfo.cfg with a port and a baud rate.
inline void WriteSaveInfo(BYTE bPort, DWORD dwBaud)
{
    unsigned char ab[8] = {bPort, 0, 0, 0, (unsigned char)dwBaud, (unsigned char)(dwBaud >> 8),
                           (unsigned char)(dwBaud >> 16), (unsigned char)(dwBaud >> 24)};
    WriteFileBytes("saveinfo.cfg", std::string((const char *)ab, 8));
}

} // namespace kt

namespace kt {

// Finds a visible dialog of this process whose caption is pszCaption
// (any dialog when null) and is not a message box.
inline HWND FindDialog(const char *pszCaption, DWORD dwTimeout = 5000)
{
    DWORD dwStart = GetTickCount();
    do {
        for (HWND h : OurDialogs())
            if (!IsMessageBox(h) && (!pszCaption || TextOf(h) == pszCaption))
                return h;
        Sleep(10);
    } while (GetTickCount() - dwStart < dwTimeout);
    return NULL;
}

// Runs pfnAct on its own thread once a dialog with the caption appears,
// while the test thread runs the modal loop that shows it.
class DialogDriver {
public:
    DialogDriver(const char *pszCaption, std::function<void(HWND)> pfnAct)
        : m_caption(pszCaption ? pszCaption : ""), m_fAny(!pszCaption),
          m_thread([this, pfnAct] {
              HWND h = FindDialog(m_fAny ? nullptr : m_caption.c_str(), 30000);
              m_fFound = h != NULL;
              if (h)
                  pfnAct(h);
              m_fDone = true;
          })
    {
    }
    ~DialogDriver() { Join(); }
    // True once the dialog was handled (or never came): safe to call from a pump.
    bool Done() const { return m_fDone; }
    bool Join()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_fFound;
    }

private:
    std::string m_caption;
    bool m_fAny;
    std::atomic<bool> m_fFound{false};
    std::atomic<bool> m_fDone{false};
    std::thread m_thread;
};

// Runs a Unix command line through Wine and waits for it.
inline void RunUnix(const std::string &cmd)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::string line = "/bin/sh -c \"" + cmd + "\"";
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    if (CreateProcessA(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 20000);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
}

inline std::string Env(const char *pszName)
{
    char sz[1024];
    DWORD n = GetEnvironmentVariableA(pszName, sz, sizeof sz);
    return (n && n < sizeof sz) ? std::string(sz) : std::string();
}

// Points COMn of the prefix at a Unix path (a device that does not exist
// makes the port unavailable).
inline void MapCom(int n, const std::string &target)
{
    std::string link = Env("WINEPREFIX") + "/dosdevices/com" + std::to_string(n);
    RunUnix("ln -sfn '" + target + "' '" + link + "'");
}

} // namespace kt
