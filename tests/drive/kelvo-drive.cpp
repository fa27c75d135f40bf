// kelvo-drive: works a running Kelvo from another process the way a user
// would: key presses through the accelerators, a path typed into the real
// file dialog, the close box. The demo and the end-to-end tests use it.
//
//   kelvo-drive wait-window [MS]     wait until Kelvo's main window exists
//   kelvo-drive key HEX              post a typed character (03 Connect, 04 Disconnect, 13 Settings)
//   kelvo-drive open-file PATH [MS]  wait for the file dialog, type PATH, press Open
//   kelvo-drive boxes [MS]           print Kelvo's message boxes "caption|text" and press OK
//   kelvo-drive settings-baud LABEL [MS]  in the settings dialog choose a baud rate and press Ok
//   kelvo-drive close [MS]           press the window's close box, wait for the
//                                    process to end and print its exit code
//   kelvo-drive wait-exit [MS]       wait until Kelvo's process has ended; prints its exit code
//   kelvo-drive hold-port COMn MS    open a port exclusively and keep it for a while (a busy port)
//
// Exit status: 0 done, 1 not found or timed out, 2 usage error.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const int kFileNameEdit = 0x47c;

static HWND FindKelvo() { return FindWindowA("KelvoWndClass", NULL); }

static DWORD KelvoPid()
{
    DWORD pid = 0;
    HWND h = FindKelvo();
    if (h)
        GetWindowThreadProcessId(h, &pid);
    return pid;
}

struct DialogSearch {
    DWORD pid;
    bool (*pfnMatch)(HWND);
    HWND hFound;
};

static BOOL CALLBACK FindDialogProc(HWND h, LPARAM lp)
{
    DialogSearch *ps = (DialogSearch *)lp;
    DWORD pid = 0;
    char szClass[32] = "";
    GetWindowThreadProcessId(h, &pid);
    GetClassNameA(h, szClass, sizeof szClass);
    if (pid == ps->pid && IsWindowVisible(h) && strcmp(szClass, "#32770") == 0 && ps->pfnMatch(h)) {
        ps->hFound = h;
        return FALSE;
    }
    return TRUE;
}

static HWND WaitDialog(bool (*pfnMatch)(HWND), DWORD dwTimeout)
{
    DWORD dwStart = GetTickCount();
    do {
        DialogSearch s = {KelvoPid(), pfnMatch, NULL};
        if (s.pid) {
            EnumWindows(FindDialogProc, (LPARAM)&s);
            if (s.hFound)
                return s.hFound;
        }
        Sleep(50);
    } while (GetTickCount() - dwStart < dwTimeout);
    return NULL;
}

static bool IsFileDialog(HWND h) { return GetDlgItem(h, kFileNameEdit) != NULL; }
static bool IsMessageBox(HWND h) { return GetDlgItem(h, 0xFFFF) != NULL && GetDlgItem(h, 529) == NULL && !IsFileDialog(h) && GetDlgItem(h, 544) == NULL; }
static bool IsSettings(HWND h) { return GetDlgItem(h, 545) != NULL; }

// Waits for a process to end and prints its exit code; 1 when it did not end.
static int PrintExitCode(HANDLE hProcess, DWORD dwTimeout)
{
    DWORD dwWait = WaitForSingleObject(hProcess, dwTimeout);
    DWORD dwCode = 0;
    GetExitCodeProcess(hProcess, &dwCode);
    CloseHandle(hProcess);
    if (dwWait != WAIT_OBJECT_0)
        return 1;
    printf("%lu\n", (unsigned long)dwCode);
    return 0;
}

static DWORD Timeout(int argc, char **argv, int i, DWORD dwDefault)
{
    return argc > i ? (DWORD)strtoul(argv[i], NULL, 10) : dwDefault;
}

int main(int argc, char **argv)
{
    if (argc < 2 || !strcmp(argv[1], "--help")) {
        fprintf(argc < 2 ? stderr : stdout,
                "usage: kelvo-drive wait-window [MS] | key HEX | open-file PATH [MS] | boxes [MS]\n"
                "       | settings-baud LABEL [MS] | close [MS] | wait-exit [MS] | hold-port COMn MS\n"
                "exit status: 0 done, 1 not found or timed out, 2 usage error\n");
        return argc < 2 ? 2 : 0;
    }
    std::string cmd = argv[1];
    if (cmd == "wait-window") {
        DWORD dwTimeout = Timeout(argc, argv, 2, 20000), dwStart = GetTickCount();
        while (!FindKelvo()) {
            if (GetTickCount() - dwStart >= dwTimeout)
                return 1;
            Sleep(50);
        }
        return 0;
    }
    if (cmd == "key" && argc == 3) {
        HWND h = FindKelvo();
        if (!h)
            return 1;
        PostMessageA(h, WM_CHAR, (WPARAM)strtoul(argv[2], NULL, 16), 0);
        return 0;
    }
    if (cmd == "open-file" && argc >= 3) {
        HWND hDlg = WaitDialog(IsFileDialog, Timeout(argc, argv, 3, 20000));
        if (!hDlg)
            return 1;
        SendMessageA(GetDlgItem(hDlg, kFileNameEdit), WM_SETTEXT, 0, (LPARAM)argv[2]);
        PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
        return 0;
    }
    if (cmd == "boxes") {
        HWND hBox = WaitDialog(IsMessageBox, Timeout(argc, argv, 2, 5000));
        if (!hBox)
            return 1;
        char szCaption[256] = "", szText[512] = "";
        GetWindowTextA(hBox, szCaption, sizeof szCaption);
        GetWindowTextA(GetDlgItem(hBox, 0xFFFF), szText, sizeof szText);
        printf("%s|%s\n", szCaption, szText);
        PostMessageA(hBox, WM_COMMAND, IDOK, 0);
        return 0;
    }
    if (cmd == "settings-baud" && argc >= 3) {
        HWND hDlg = WaitDialog(IsSettings, Timeout(argc, argv, 3, 20000));
        if (!hDlg)
            return 1;
        HWND hCombo = GetDlgItem(hDlg, 545);
        LRESULT i = SendMessageA(hCombo, CB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)argv[2]);
        if (i == CB_ERR)
            return 1;
        SendMessageA(hCombo, CB_SETCURSEL, (WPARAM)i, 0);
        PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
        return 0;
    }
    if (cmd == "close") {
        HWND h = FindKelvo();
        DWORD pid = KelvoPid();
        if (!h || !pid)
            return 1;
        // Hold the process before closing, so its exit code can be read.
        HANDLE hProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        PostMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0);
        if (!hProcess)
            return 1;
        return PrintExitCode(hProcess, Timeout(argc, argv, 2, 20000));
    }
    if (cmd == "wait-exit") {
        DWORD pid = KelvoPid();
        if (!pid)
            return 0;
        HANDLE hProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (!hProcess)
            return 1;
        return PrintExitCode(hProcess, Timeout(argc, argv, 2, 20000));
    }
    if (cmd == "hold-port" && argc == 4) {
        HANDLE h = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return 1;
        printf("held\n");
        fflush(stdout);
        Sleep((DWORD)strtoul(argv[3], NULL, 10));
        CloseHandle(h);
        return 0;
    }
    fprintf(stderr, "kelvo-drive: unknown command or missing argument: %s\n", argv[1]);
    return 2;
}
