// kelvo-cli's Windows port layer: COM ports ("COM3", "\\.\COM12"), a
// thread per port, adapters looked up in the registry, and the console's
// Ctrl+C, Ctrl+Break and close.
//
// Each port has one thread, and only that thread touches the port's handle
// from its opening to its close: the handle is not overlapped, and Windows
// serialises every request on such a handle, so a call from another thread
// would wait behind the owner's read. The owner reads synchronously, one
// read bounded by kReadBoundMs, which is also the fastest turnaround Wine
// offers for a byte in and a byte out. The engine (engine.cpp, output.cpp)
// is called with g_cs held: the output and the run's record are shared.
// The port's I/O runs outside it, so ports never wait for one another.
#include "cli/cli.h"
#include "win.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

// The layer's side of a port.
struct PORTIO {
    HANDLE h = INVALID_HANDLE_VALUE;   // owned by the port's thread; closed by LayerClose
    WINADAPTER ad = {};                // the adapter in the registry, while the port is open
    bool bAdapter = false;
    bool bLatencyTold = false;
    bool bDrain = false;               // the last byte drew no answer, or answers are held: take the whole queue next
    DWORD dwOwner = 0;                 // the thread that opened the port: the only one to use it
};

// The port's handle, for its owner's use. Wine lets any thread use a
// handle, Windows makes another thread wait behind the owner's read; the
// test build (KELVO_PORT_CHECK) ends the program when another thread asks,
// so the tests under Wine catch what only Windows would show.
static HANDLE PortHandle(const PORT *p)
{
#ifdef KELVO_PORT_CHECK
    if (p->io->dwOwner != GetCurrentThreadId()) {
        fprintf(stderr, "kelvo-cli: port check: %s used by thread %lu, owned by %lu\n", p->name.c_str(),
                GetCurrentThreadId(), p->io->dwOwner);
        fflush(stderr);
        ExitProcess(99);
    }
#endif
    return p->io->h;
}

const LAYERTEXT kLayerText = {
    "COM3",
    "                  (dtrdsr: the port's driver holds output back while DSR\n"
    "                  is low). ",
    "COM3 -> COM3-port.log",
    "                  100 ms): a port another program has open is refused\n"
    "                  (access denied) until that program lets it go\n",
    "                  in the registry, where its driver keeps it, and put the\n"
    "                  old value back at the end (needs administrator rights)\n",
    "the device's\n                  instance ID in the registry",
    "Ctrl+C, Ctrl+Break or closing the\n       console",
};

namespace {

// A read returns at once with what has come, or after this long with
// nothing: the bound within which the port's thread sees the run end and
// its deadlines come due.
const DWORD kReadBoundMs = 50;
// A write the target holds back (XOFF) returns after this long, and is
// tried again; the engine bounds how long.
const DWORD kWriteBoundMs = 100;

CRITICAL_SECTION g_cs;          // held while the engine runs
HANDLE g_hStop;                 // set when the run is to end
HANDLE g_hFinished;             // set when the ports are closed and the summary printed
RUN *g_run;

// A Windows error as text, without the trailing line break.
std::string ErrorText(DWORD dwErr)
{
    char sz[300] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwErr, 0, sz,
                             sizeof sz, nullptr);
    while (n > 0 && (sz[n - 1] == '\n' || sz[n - 1] == '\r' || sz[n - 1] == ' ' || sz[n - 1] == '.'))
        sz[--n] = '\0';
    if (n == 0)
        snprintf(sz, sizeof sz, "error %lu", (unsigned long)dwErr);
    return sz;
}

// The name CreateFile needs: COM10 and up open only as \\.\COM10, and the
// form works for every COM port.
std::string DevicePath(const std::string &name)
{
    if (name.compare(0, 4, "\\\\.\\") == 0)
        return name;
    if (name.size() > 3 && _strnicmp(name.c_str(), "COM", 3) == 0 &&
        name.find_first_not_of("0123456789", 3) == std::string::npos)
        return "\\\\.\\" + name;
    return name;
}

// Sets up the open port h, whose state is *pdcb: the line, the flow
// control, DTR and RTS raised, reads and writes bounded, no output of
// before left in it. False with the error in *pdwErr.
bool SetUpPort(const Options &o, HANDLE h, DCB *pdcb, DWORD *pdwErr)
{
    DCB &dcb = *pdcb;
    dcb.BaudRate = o.baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxDsrFlow = o.bDsrFlow;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutxCtsFlow = o.flow == "rtscts";
    dcb.fRtsControl = o.flow == "rtscts" ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fInX = dcb.fOutX = o.flow == "xonxoff";
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
    COMMTIMEOUTS cto = {};
    cto.ReadIntervalTimeout = MAXDWORD;
    cto.ReadTotalTimeoutMultiplier = MAXDWORD;
    cto.ReadTotalTimeoutConstant = kReadBoundMs;
    cto.WriteTotalTimeoutConstant = kWriteBoundMs;
    if (!SetCommState(h, &dcb) || !SetupComm(h, 4096, 4096) || !SetCommTimeouts(h, &cto)) {
        *pdwErr = GetLastError();
        return false;
    }
    // The input is left alone: Windows starts a port with empty queues, and
    // a target that begins the moment the port opens must not lose its
    // first byte to a purge (the session would wait for it until --timeout).
    PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
    return true;
}

// Reports the adapter's latency timer once per port where its driver keeps
// one in the registry, and with --low-latency sets it to 1 ms for the run.
void TuneLatency(RUN *r, PORT *p)
{
    PORTIO *io = p->io;
    if (!io->bAdapter || io->ad.msLatency < 0)
        return;
    int ms = io->ad.msLatency;
    char cost[400], advice[1200];
    LatencyCost(ms, r->o.baud, cost, sizeof cost);
    WinLatencyAdvice(&io->ad, advice, sizeof advice);
    bool bTell = !io->bLatencyTold;
    io->bLatencyTold = true;
    if (bTell)
        Say(r, "%s: USB latency timer %d ms (HKLM\\SYSTEM\\CurrentControlSet\\Enum\\%s\\Device Parameters,"
            " LatencyTimer): %s", p->name.c_str(), ms, io->ad.szInstance, cost);
    if (ms <= 1)
        return;
    if (!r->o.lowLatency) {
        if (bTell)
            Say(r, "%s: --low-latency sets it to 1 ms for the run; or set it yourself:\n%s", p->name.c_str(), advice);
        return;
    }
    unsigned long dwErr = 0;
    if (!WinLatencyWrite(&io->ad, 1, &dwErr)) {
        if (bTell)
            Say(r, "%s: cannot set the latency timer to 1 ms: %s%s; it can be set so:\n%s", p->name.c_str(),
                ErrorText(dwErr).c_str(), dwErr == ERROR_ACCESS_DENIED ? " (it needs administrator rights)" : "",
                advice);
        return;
    }
    io->ad.bLowered = true;
    if (bTell)
        Say(r, "%s: latency timer set to 1 ms for this run (back to %d ms at the end); the driver takes it up"
            " when it next reads its settings, at the latest when the adapter is plugged in again",
            p->name.c_str(), ms);
}

void RestoreLatency(RUN *r, PORT *p)
{
    PORTIO *io = p->io;
    if (!io->ad.bLowered)
        return;
    io->ad.bLowered = false;
    unsigned long dwErr = 0;
    // A device that went away may have taken its key along: nothing to restore.
    if (!WinLatencyWrite(&io->ad, io->ad.msLatency, &dwErr) && dwErr != ERROR_FILE_NOT_FOUND)
        Say(r, "%s: cannot put the latency timer back to %d ms: %s", p->name.c_str(), io->ad.msLatency,
            ErrorText(dwErr).c_str());
}

DWORD WINAPI CloseInBackground(LPVOID pv)
{
    CloseHandle((HANDLE)pv);
    return 0;
}

// A read or write that failed: the device went away (an adapter pulled out
// fails so, and its port no longer answers for its state), or the port
// failed otherwise.
void PortFailed(RUN *r, PORT *p, const char *what, DWORD dwErr)
{
    static const DWORD aGone[] = {ERROR_GEN_FAILURE, ERROR_IO_DEVICE, ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED,
        ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED, ERROR_OPERATION_ABORTED, ERROR_FILE_NOT_FOUND, ERROR_DEV_NOT_EXIST};
    DWORD dwErrors = 0;
    COMSTAT cs = {};
    bool bGone = std::find(std::begin(aGone), std::end(aGone), dwErr) != std::end(aGone) ||
                 !ClearCommError(PortHandle(p), &dwErrors, &cs);
    if (bGone)
        EndBoard(r, p, EXIT_GONE, (std::string("the device went away (") + what + " failed: " + ErrorText(dwErr) + ")").c_str());
    else
        EndBoard(r, p, EXIT_IO, (std::string(what) + " on the port failed: " + ErrorText(dwErr)).c_str());
}

// Writes the waiting answers with g_cs left meanwhile. Called with it held.
// A write the target holds back (XOFF) ends after kWriteBoundMs with less
// written (Wine refuses it at once, as not ready): the rest is tried again,
// after a pause when nothing went, for as long as the engine allows.
void WriteAnswers(RUN *r, PORT *p)
{
    unsigned char buf[kOutLimit + 64];
    DWORD n = (DWORD)std::min(p->s.out.size(), sizeof buf), dwWritten = 0, dwErrors = 0;
    memcpy(buf, p->s.out.data(), n);
    HANDLE h = PortHandle(p);
    COMSTAT cs = {};
    LeaveCriticalSection(&g_cs);
    BOOL fOk = WriteFile(h, buf, n, &dwWritten, nullptr);
    DWORD dwErr = fOk ? 0 : GetLastError();
    bool bHeld = fOk || ((dwErr == ERROR_TIMEOUT || dwErr == ERROR_NOT_READY) && ClearCommError(h, &dwErrors, &cs));
    if (bHeld && dwWritten == 0)
        WaitForSingleObject(g_hStop, 10);
    EnterCriticalSection(&g_cs);
    if (dwWritten > 0)
        Sent(r, p, dwWritten);
    // A target that holds our answers and goes on sending: its bytes are
    // taken as they come, up to the engine's limit, not one per write.
    p->io->bDrain = p->io->bDrain || dwWritten < n;
    if (!bHeld)
        PortFailed(r, p, "write", dwErr);
}

// Reads what the target sends next (waiting up to kReadBoundMs) with g_cs
// left meanwhile, and serves it. Called with it held.
//
// The target sends one byte and waits for its answer, so one byte is read
// at a time: a synchronous read of one byte returns the moment it arrives,
// the fastest turnaround Wine allows (a larger read waits out its bound
// there). A byte that drew no answer may be part of more (noise, a flood),
// so the queue is then taken as it is. A read that brings nothing may mean
// a device that has gone (under Wine its reads just end empty): a port that
// no longer answers for its state has.
void ReadTarget(RUN *r, PORT *p)
{
    unsigned char buf[512];
    DWORD dwRead = 0, dwErrors = 0;
    COMSTAT cs = {};
    HANDLE h = PortHandle(p);
    bool bDrain = p->io->bDrain;
    LeaveCriticalSection(&g_cs);
    DWORD n = 1;
    if (bDrain && ClearCommError(h, &dwErrors, &cs))
        n = std::min<DWORD>(std::max<DWORD>(cs.cbInQue, 1), sizeof buf);
    BOOL fOk = ReadFile(h, buf, n, &dwRead, nullptr);
    DWORD dwErr = fOk ? 0 : GetLastError();
    bool bGone = fOk && dwRead == 0 && !ClearCommError(h, &dwErrors, &cs);
    EnterCriticalSection(&g_cs);
    if (!fOk) {
        PortFailed(r, p, "read", dwErr);
    } else if (bGone) {
        EndBoard(r, p, EXIT_GONE, "the device went away (the port no longer answers)");
    } else if (dwRead > 0) {
        size_t nBefore = p->s.out.size();
        ServeBytes(r, p, buf, dwRead, NowS());
        p->io->bDrain = p->s.out.size() == nBefore;
    }
}

// One port's life on its own thread, from its first open to its last board.
DWORD WINAPI PortThread(LPVOID pv)
{
    RUN *r = g_run;
    PORT *p = (PORT *)pv;
    EnterCriticalSection(&g_cs);
    BeginPort(r, p, NowS());
    for (;;) {
        if (r->bStopping) {
            InterruptPort(r, p);
            break;
        }
        double tNow = NowS();
        double tNext = Tick(r, p, tNow);
        if (p->phase == PH_DONE)
            break;
        bool bIo = p->bOpen && (p->phase == PH_SERVE || p->phase == PH_DRAIN);
        if (bIo && !p->s.out.empty())
            WriteAnswers(r, p);
        if (p->bOpen && WantsInput(p)) {
            ReadTarget(r, p);
            continue;
        }
        if (bIo && !p->s.out.empty())
            continue;
        // Nothing to read or write: sleep until the next deadline, or the end.
        DWORD ms = tNext <= 0 ? INFINITE : (DWORD)std::min(std::ceil(std::max(0.0, tNext - tNow) * 1000), 3600000.0);
        LeaveCriticalSection(&g_cs);
        WaitForSingleObject(g_hStop, ms);
        EnterCriticalSection(&g_cs);
    }
    LeaveCriticalSection(&g_cs);
    return 0;
}

// Ctrl+C, Ctrl+Break, and the console closing (or the user logging off,
// the system shutting down). Windows ends the process when this returns
// from a close: it waits for the ports to be closed and the summary
// printed, within the few seconds Windows allows.
BOOL WINAPI OnConsoleEvent(DWORD dwType)
{
    g_run->bStopping = true;
    SetEvent(g_hStop);
    if (dwType == CTRL_CLOSE_EVENT || dwType == CTRL_LOGOFF_EVENT || dwType == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_hFinished, 4000);
    return TRUE;
}

} // namespace

double NowS()
{
    static LARGE_INTEGER freq;
    if (!freq.QuadPart)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / (double)freq.QuadPart;
}

bool LayerBaudOk(unsigned long baud)
{
    static const unsigned long aBaud[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600,
        115200, 128000, 230400, 256000, 460800, 500000, 576000, 921600, 1000000, 1500000, 2000000, 3000000};
    return std::find(std::begin(aBaud), std::end(aBaud), baud) != std::end(aBaud);
}

OpenResult LayerOpen(RUN *r, PORT *p, char *psz, size_t cb)
{
    if (!p->io)
        p->io = new PORTIO;
    const char *port = p->name.c_str();
    std::string path = DevicePath(p->name);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
#ifdef KELVO_PORT_CHECK
    // Windows finds COM10 and up only by their device name; Wine finds them either way.
    if (h != INVALID_HANDLE_VALUE && _strnicmp(path.c_str(), "COM", 3) == 0 && path.size() > 4) {
        CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
#endif
    if (h == INVALID_HANDLE_VALUE) {
        DWORD dwErr = GetLastError();
        snprintf(psz, cb, "cannot open %s: %s", port, ErrorText(dwErr).c_str());
        switch (dwErr) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
            snprintf(psz, cb, "cannot open %s: there is no such port (%s)", port, ErrorText(dwErr).c_str());
            return OPEN_ABSENT;
        // A COM port is opened for one program at a time: another has it.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            snprintf(psz, cb, "cannot open %s: %s: it is in use by another program", port, ErrorText(dwErr).c_str());
            return OPEN_BUSY;
        default:
            return OPEN_FAILED;
        }
    }
    DWORD dwErr = 0, dwModem = 0;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
        dwErr = GetLastError();
        snprintf(psz, cb, "%s is not a serial port: %s", port, ErrorText(dwErr ? dwErr : ERROR_INVALID_HANDLE).c_str());
        CloseHandle(h);
        return OPEN_FAILED;
    }
    // Asked before anything is sent: a sequence that cannot be played would
    // leave the target where it is, and the session would only time out.
    if (!r->o.reset.empty() && !GetCommModemStatus(h, &dwModem)) {
        snprintf(psz, cb, "%s cannot drive DTR and RTS (%s): --reset needs a serial port with modem lines", port,
                 ErrorText(GetLastError()).c_str());
        CloseHandle(h);
        return OPEN_FAILED;
    }
    if (!SetUpPort(r->o, h, &dcb, &dwErr)) {
        snprintf(psz, cb, "cannot set up %s: %s", port, ErrorText(dwErr).c_str());
        CloseHandle(h);
        return OPEN_FAILED;
    }
    p->io->h = h;
    p->io->dwOwner = GetCurrentThreadId();
    return OPEN_OK;
}

void LayerOpened(RUN *r, PORT *p)
{
    PORTIO *io = p->io;
    io->bAdapter = WinAdapterFind(p->name.c_str(), &io->ad);
    p->id = io->bAdapter ? WinPortIdentify(&io->ad) : PORTID();
    TuneLatency(r, p);
}

std::string LayerOpenAdvice(const PORT *, OpenResult res, bool bWaiting)
{
    if (res == OPEN_BUSY && !bWaiting)
        return "close the program that has it (a terminal, another download), or give --wait-port to wait for it";
    if (res == OPEN_BUSY)
        return "another program has it open; it is opened as soon as that program lets it go";
    return "";
}

// Drops DTR and closes the port. After a session that broke off, whatever
// is still queued is thrown away so that a half-sent byte cannot reach the
// next session. The close itself runs on a thread of its own: a driver
// that waits for output held back must not hold up the run's end.
void LayerClose(RUN *r, PORT *p, bool bDiscard)
{
    PORTIO *io = p->io;
    if (io->h == INVALID_HANDLE_VALUE)
        return;
    EscapeCommFunction(PortHandle(p), CLRDTR);
    if (bDiscard)
        PurgeComm(io->h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    RestoreLatency(r, p);
    HANDLE hThread = CreateThread(nullptr, 64 * 1024, CloseInBackground, io->h, 0, nullptr);
    if (hThread)
        CloseHandle(hThread);
    else
        CloseHandle(io->h);      // no thread to be had: close it here
    io->h = INVALID_HANDLE_VALUE;
}

bool LayerSetLines(PORT *p, const LINESTEP &step, char *psz, size_t cb)
{
    HANDLE h = PortHandle(p);
    bool bSet = (step.dtr < 0 || EscapeCommFunction(h, step.dtr ? SETDTR : CLRDTR)) &&
                (step.rts < 0 || EscapeCommFunction(h, step.rts ? SETRTS : CLRRTS));
    if (!bSet)
        snprintf(psz, cb, "%s", ErrorText(GetLastError()).c_str());
    return bSet;
}

// The port's thread writes in its own loop.
bool LayerFlush(RUN *, PORT *)
{
    return true;
}

bool LayerDrained(PORT *p)
{
    COMSTAT cs = {};
    DWORD dwErrors = 0;
    return p->s.out.empty() && (!ClearCommError(PortHandle(p), &dwErrors, &cs) || cs.cbOutQue == 0);
}

// DSR flow control is the driver's (fOutxDsrFlow).
bool LayerOutputReady(const RUN *, PORT *)
{
    return true;
}

bool LayerMakeDirectory(const std::string &path, char *psz, size_t cb)
{
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        snprintf(psz, cb, "cannot make the directory %s: %s", path.c_str(), ErrorText(GetLastError()).c_str());
        return false;
    }
    DWORD dwAttr = GetFileAttributesA(path.c_str());
    if (dwAttr == INVALID_FILE_ATTRIBUTES || !(dwAttr & FILE_ATTRIBUTE_DIRECTORY)) {
        snprintf(psz, cb, "%s: with several ports --log names a directory", path.c_str());
        return false;
    }
    return true;
}

namespace {
HANDLE g_hReport = INVALID_HANDLE_VALUE;   // --report, opened for appending
}

bool LayerOpenReport(RUN *r, char *psz, size_t cb)
{
    g_hReport = CreateFileA(r->o.report.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_hReport == INVALID_HANDLE_VALUE) {
        snprintf(psz, cb, "%s", ErrorText(GetLastError()).c_str());
        return false;
    }
    char host[256] = "";
    DWORD n = sizeof host;
    if (!GetComputerNameExA(ComputerNameDnsHostname, host, &n))
        host[0] = '\0';
    r->host = host;
    return true;
}

// One WriteFile on a handle opened for appending only, so that records of
// several processes never interleave, then FlushFileBuffers.
bool LayerAppendReport(RUN *, const std::string &line, char *psz, size_t cb)
{
    DWORD dwWritten = 0;
    BOOL fOk = WriteFile(g_hReport, line.data(), (DWORD)line.size(), &dwWritten, nullptr);
    DWORD dwErr = !fOk ? GetLastError() : dwWritten != line.size() ? ERROR_DISK_FULL : 0;
    // A pipe or a console cannot be flushed and need not be.
    if (!dwErr && !FlushFileBuffers(g_hReport) && GetFileType(g_hReport) == FILE_TYPE_DISK)
        dwErr = GetLastError();
    if (dwErr)
        snprintf(psz, cb, "%s", ErrorText(dwErr).c_str());
    return dwErr == 0;
}

int main(int argc, char **argv)
{
    RUN run;
    RUN *r = &run;
    g_run = r;
    int rc = Prepare(r, argc, argv);
    if (rc >= 0)
        return rc;
    InitializeCriticalSection(&g_cs);
    g_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_hFinished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    // A console shows the progress in place; several ports need its
    // escape sequences (Windows 10 and later), else they get lines.
    DWORD dwMode = 0;
    HANDLE hErr = GetStdHandle(STD_ERROR_HANDLE);
    r->disp.bTty = GetConsoleMode(hErr, &dwMode) != 0;
    r->disp.bBlock = r->disp.bTty && r->ports.size() > 1 &&
                     SetConsoleMode(hErr, dwMode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
    if (r->o.repeat)
        PrintHeader(r, "board ");
    std::vector<HANDLE> threads;
    for (PORT &p : r->ports) {
        HANDLE h = CreateThread(nullptr, 256 * 1024, PortThread, &p, 0, nullptr);
        if (h) {
            threads.push_back(h);
            continue;
        }
        EnterCriticalSection(&g_cs);
        Say(r, "%s: cannot start its thread: %s", p.name.c_str(), ErrorText(GetLastError()).c_str());
        p.rc = Worse(p.rc, EXIT_IO);
        LeaveCriticalSection(&g_cs);
    }
    // The block of port lines is redrawn here, also while every port waits.
    for (HANDLE h : threads) {
        while (WaitForSingleObject(h, 100) == WAIT_TIMEOUT) {
            EnterCriticalSection(&g_cs);
            DrawProgress(r, false);
            LeaveCriticalSection(&g_cs);
        }
        CloseHandle(h);
    }
    rc = Finish(r);
    for (PORT &p : r->ports)
        delete p.io;
    if (g_hReport != INVALID_HANDLE_VALUE)
        CloseHandle(g_hReport);
    fflush(stderr);
    SetEvent(g_hFinished);
    return rc;
}
