// kelvo-cli: its records and the parts every build of it shares.
//
// kelvo-cli is one program with two port layers. What it does with a port
// (sessions board after board, phases and deadlines, results and the exit
// status, progress, tables, transcripts, the per-board record) is written
// once, in plain C++ with neither windows.h nor POSIX: engine.cpp and
// output.cpp, around the core's serving session (core/session.cpp). A port
// layer opens, reads, writes and closes the ports and keeps the clock: the
// Linux one (linux/: termios, one epoll loop, sysfs, signals) and the
// Windows one (win/: COM ports, a thread per port, the registry, the
// console). Each layer defines the Layer* functions below.
//
// The engine's functions work on one port's record and on the run's shared
// output. A layer that serves ports from several threads calls them with
// its lock held (LayerLock); the Linux layer has one thread.
#pragma once
#include "core/core.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Answers waiting for the port beyond this many bytes stop the reading of
// the target's bytes: a target that holds XOFF and goes on sending cannot
// make the queue grow without bound.
const size_t kOutLimit = 4096;

struct Options {
    unsigned long baud = 115200;
    std::string flow = "xonxoff";
    bool bDsrFlow = false;     // flow dtrdsr: output waits for DSR
    double timeoutS = 0;
    std::string log;
    bool waitPort = false;
    bool repeat = false;
    long count = 0;            // boards per port with --repeat; 0: no limit
    bool lowLatency = false;
    std::string resetText;     // --reset as given
    std::vector<LINESTEP> reset;
    std::string report;        // --report FILE
    std::vector<std::string> ports;
    std::string file;
};

// What became of one board.
struct BOARD {
    int rc;
    char szReason[320];        // empty when it succeeded
    uint32_t dwServed;
    int nBlocks;
    double seconds;
    int64_t msEnded;           // wall clock (ms since 1970, UTC) when it ended
};

enum Phase {
    PH_WAIT_PORT,   // the device is absent (or cannot be opened yet); looked for every 100 ms
    PH_PAUSE,       // closed between boards, opened again at tWake
    PH_RESET,       // open; the reset sequence's step iReset is due at tWake
    PH_SERVE,       // open, the session runs
    PH_DRAIN,       // the target completed; the last answers leave the port
    PH_DONE         // no more boards here
};

// What the layer's port is (its handle, what it found of the adapter),
// defined by each layer.
struct PORTIO;

// One port and the session on it.
struct PORT {
    std::string name;
    std::string logPath;
    FILE *log = nullptr;       // owned; closed by CloseLog
    PORTIO *io = nullptr;      // the layer's, for the life of the run
    bool bOpen = false;        // the layer holds the port open
    Phase phase = PH_WAIT_PORT;
    double tWake = 0;          // PH_PAUSE: when to open again; PH_RESET: the next step;
                               // PH_DRAIN: give up waiting
    double tWaitStart = 0;     // PH_WAIT_PORT: when the wait began
    size_t iReset = 0;         // PH_RESET: the next step of the sequence
    bool bOpenedOnce = false;
    bool bOpenTold = false;    // a refused open was reported
    std::string openWhy;       // why the last open failed
    PORTID id;                 // who the port is, found when it opened

    // The session, from the port's opening to the board's end.
    SESSION s = {};
    double tOpen = 0, tLastRx = 0, tFirstRx = -1, tEnd = 0;
    int iLastTenth = -1;

    std::vector<BOARD> boards;
    int rc = EXIT_DONE;        // the most serious outcome here so far
};

// stderr as the user sees it: the progress of one port as a bar (terminal)
// or lines, of several ports as a block of lines redrawn in place, and
// messages between them.
struct DISPLAY {
    bool bTty = false;
    bool bBlock = false;       // several ports on a terminal
    bool bBarOpen = false;     // one port: the bar's line is not ended yet
    int nDrawn = 0;            // lines of the block on the screen
    bool bDirty = false;
    double tNextDraw = 0;      // redraws at most ten times a second
};

struct RUN {
    Options o;
    std::vector<unsigned char> image;
    std::vector<PORT> ports;
    DISPLAY disp;
    std::atomic<bool> bStopping{false};  // a signal or the console asked the run to end
    bool bReport = false;      // --report is open
    std::string host;          // this station's name, for the record
    uint16_t wCrc = 0;         // the file's header CRC, as stored
    char szSha[65] = "";       // the file's SHA-256
};

// ---- options.cpp: the command line -----------------------------------------

// Reads the arguments into r->o and loads the file. Returns -1 when the run
// can go on, else the exit status (after --help, --version, or saying what
// is wrong).
int Prepare(RUN *r, int argc, char **argv);

// ---- engine.cpp: a port's life, board after board -----------------------------

// Opens the port (or starts waiting for it) at the start of the run.
void BeginPort(RUN *r, PORT *p, double tNow);

// Everything that happens to a port by the clock, by its phase. Returns the
// latest time it wants to be looked at again (0: no wish).
double Tick(RUN *r, PORT *p, double tNow);

// True while the port's phase reads the target (PH_SERVE) and its answers
// leave room to take more.
bool WantsInput(const PORT *p);

// The target's bytes, as read: each is recorded and run through the
// session; its answers wait in p->s.out. Stops at the target's completion.
void ServeBytes(RUN *r, PORT *p, const unsigned char *pb, size_t n, double tNow);

// The first n answers of p->s.out have left the port.
void Sent(RUN *r, PORT *p, size_t n);

// The board on p has ended with rc: closes the port, tells and records the
// board, and decides what comes next (another board with --repeat).
void EndBoard(RUN *r, PORT *p, int rc, const char *reason);

// The run is ending (a signal, the console): a session that runs is broken
// off, a completed one finished, a port that waits simply stops.
void InterruptPort(RUN *r, PORT *p);

// After the ports: the progress's last state, the table or summary, the
// transcripts closed. Returns the exit status.
int Finish(RUN *r);

// What a latency timer of ms costs this protocol, as one sentence.
void LatencyCost(int ms, unsigned long baud, char *psz, size_t cb);

// ---- output.cpp: stderr, transcripts, stdout, the record --------------------

void ClearProgress(RUN *r);
void Say(RUN *r, const char *fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
void DrawProgress(RUN *r, bool bForce);
void EndProgress(RUN *r);
void ShowProgress(RUN *r, PORT *p, int iPercent);

// Transcripts. A write that fails gives the transcript up and makes the
// port's outcome an I/O error.
std::string LogName(const std::string &port);
int OpenLogs(RUN *r);
void LogLine(RUN *r, PORT *p, const char *fmt, ...) __attribute__((format(gnu_printf, 3, 4)));
void Record(RUN *r, PORT *p, char who, unsigned char b);
void FlushLog(RUN *r, PORT *p);
void CloseLog(RUN *r, PORT *p);

// stdout.
void PrintHeader(const RUN *r, const char *board);
void PrintRow(const RUN *r, const char *board, const char *port, const char *result,
              uint32_t bytes, int blocks, double seconds, const char *reason);
void PrintTable(RUN *r);
void PrintSummary(RUN *r);

// The per-board record (--report): opened before any port; one JSON object
// per line, written whole and flushed to the disk as the board ends.
int OpenReport(RUN *r);
void ReportBoard(RUN *r, PORT *p, const BOARD &b);

// ---- what each port layer defines ---------------------------------------------

// The program's name in messages, and the parts of --help that differ.
struct LAYERTEXT {
    const char *pszPortExample;   // "/dev/ttyUSB0"
    const char *pszFlow;          // what --flow says of dtrdsr
    const char *pszLogExample;    // a port's transcript in a --log directory
    const char *pszWaitPort;      // why a port may refuse to open at first
    const char *pszLowLatency;    // --low-latency
    const char *pszStable;        // the record's stable name of a port
    const char *pszSignals;       // what interrupts a run (exit status 130)
};
extern const LAYERTEXT kLayerText;

// A monotonic clock in seconds.
double NowS();

// Whether a line speed can be set.
bool LayerBaudOk(unsigned long baud);

// How an open ended.
enum OpenResult {
    OPEN_OK,
    OPEN_ABSENT,     // no such device (yet, or no longer)
    OPEN_DENIED,     // there, but this user may not open it (yet)
    OPEN_BUSY,       // there, but another program has it
    OPEN_FAILED      // anything else: why tells
};

// Opens the port raw with the station's line defaults (8N1, the flow
// control asked for, DTR and RTS raised), nothing of an earlier session
// left in it; with a reset sequence, only a port that can drive DTR and RTS.
// On failure says why in psz (without advice).
OpenResult LayerOpen(RUN *r, PORT *p, char *psz, size_t cb);

// The session on the open port begins: finds who the port is (p->id), and
// tells its adapter's latency timer (lowered with --low-latency).
void LayerOpened(RUN *r, PORT *p);

// What mends a refused open, as lines to tell the user: bWaiting, the port
// is tried again; else it is the end of the port.
std::string LayerOpenAdvice(const PORT *p, OpenResult res, bool bWaiting);

// Drops DTR and closes the port; bDiscard: after a session that broke off,
// whatever is still queued is thrown away. Gives back what the run changed
// of the adapter. Never waits for the device.
void LayerClose(RUN *r, PORT *p, bool bDiscard);

// Sets the lines of one step of a reset sequence. False when the port
// refuses, with the reason in psz.
bool LayerSetLines(PORT *p, const LINESTEP &step, char *psz, size_t cb);

// Writes what it can of p->s.out now (calling Sent). False when the board
// ended. A layer whose own loop does the writing returns true.
bool LayerFlush(RUN *r, PORT *p);

// True when nothing waits to leave: none in p->s.out, and the port's own
// output queue is empty (or cannot tell).
bool LayerDrained(PORT *p);

// False while flow control the layer keeps itself holds output back (DSR).
bool LayerOutputReady(const RUN *r, PORT *p);

// Makes the --log directory; false with the reason in psz.
bool LayerMakeDirectory(const std::string &path, char *psz, size_t cb);

// Opens --report for appending, and names this station (r->host); false
// with the reason in psz.
bool LayerOpenReport(RUN *r, char *psz, size_t cb);

// Appends one record to the report as one write, and makes it reach the
// disk. False with the reason in psz.
bool LayerAppendReport(RUN *r, const std::string &line, char *psz, size_t cb);
