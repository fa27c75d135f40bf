// kelvo-cli's records and what its files share: the program (kelvo-cli.cpp:
// options, ports, the loop: the Linux port layer around the core's
// serving session), its output (cli-report.cpp: progress and
// messages on stderr, transcripts, the tables on stdout, the per-board
// record), and what it learns of an adapter from sysfs and /dev
// (usblatency.cpp, portinfo.cpp).
#pragma once
#include "core/core.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// ---- usblatency.cpp ----------------------------------------------------------

// The latency timer of a USB serial adapter, found in sysfs from an open port.
//
// Such an adapter holds the bytes it receives until its buffer fills or the
// timer runs out (16 ms by default). The download protocol answers every
// byte and waits for the next, so each byte can cost a whole timer period.
// kelvo-cli reports the timer and can lower it to 1 ms for its run.
//
// The sysfs root is /sys, or the directory named by KELVO_SYSFS (the tests
// build a fake tree there). The attribute is found through the port's device
// number: <root>/dev/char/MAJOR:MINOR/device/latency_timer, the same file as
// /sys/bus/usb-serial/devices/ttyUSBn/latency_timer, whatever name or link the
// port was opened by.

struct USBLATENCY {
    char szPath[512];   // the sysfs attribute; empty when the port has none
    char szName[64];    // the adapter's name in sysfs, for advice ("ttyUSB0")
    int msFound;        // the timer when the port was opened
    bool bLowered;      // set to 1 ms by this program: restore msFound
};

// Looks up the timer of the device behind the open descriptor fd. False when
// it has none (not a USB serial adapter, a pseudo terminal) or it cannot be read.
bool UsbLatencyFind(int fd, USBLATENCY *pl);

// The sysfs root: /sys, or $KELVO_SYSFS.
const char *SysfsRoot();

// Writes ms into the attribute. On failure returns false with errno set.
bool UsbLatencyWrite(const USBLATENCY *pl, int ms);

// What a timer of ms costs this protocol per KiB, against what the line
// itself needs at baud, as one sentence.
void UsbLatencyCost(int ms, unsigned long baud, char *psz, size_t cb);

// How to make 1 ms stick without this program (udev rule, or a command that
// lasts until the adapter is unplugged), several indented lines.
void UsbLatencyAdvice(const USBLATENCY *pl, char *psz, size_t cb);

// ---- portinfo.cpp ------------------------------------------------------------

// Who a port is, for the per-board record: the name that stays with the
// adapter (a link in /dev/serial/by-id or by-path) and, for a USB adapter,
// its vendor, product and serial number from sysfs.
//
// /dev is $KELVO_DEV when set, and sysfs the root SysfsRoot() names: the
// tests build both trees.

// Looks the open port fd, opened as path, up (PORTID is the core's).
PORTID PortIdentify(int fd, const std::string &path);

// ---- kelvo-cli ----------------------------------------------------------------

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
    struct timespec ended;     // wall clock (UTC) when it ended
};

enum Phase {
    PH_WAIT_PORT,   // the device is absent (or cannot be opened yet); looked for every 100 ms
    PH_PAUSE,       // closed between boards, opened again at tWake
    PH_RESET,       // open; the reset sequence's step iReset is due at tWake
    PH_SERVE,       // open, the session runs
    PH_DRAIN,       // the target completed; the last answers leave the port
    PH_DONE         // no more boards here
};

// One port and the session on it. Every field is this process's own; only
// the main loop's thread exists.
struct PORT {
    std::string name;
    std::string logPath;
    FILE *log = nullptr;       // owned; closed by CloseLog
    int fd = -1;               // owned; closed by ClosePort
    uint32_t watched = 0;      // events the loop's epoll set watches fd for
    bool bWatched = false;     // fd is in that set (closing fd takes it out)
    USBLATENCY lat = {};       // the adapter's timer, while the port is open
    Phase phase = PH_WAIT_PORT;
    double tWake = 0;          // PH_PAUSE: when to open again; PH_RESET: the next step;
                               // PH_DRAIN: give up waiting
    double tWaitStart = 0;     // PH_WAIT_PORT: when the wait began
    size_t iReset = 0;         // PH_RESET: the next step of the sequence
    bool bOpenedOnce = false;
    bool bOpenTold = false;    // a refused open was reported
    std::string openWhy;       // why the last open failed
    PORTID id;                 // who the port is, found when it opened
    bool bLatencyTold = false;

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
    const sigset_t *pOrigMask = nullptr;
    int epfd = -1;             // the loop's epoll set of open ports
    int reportFd = -1;         // --report, opened for appending
    std::string host;          // this station's name, for the record
    uint16_t wCrc = 0;         // the file's header CRC, as stored
    char szSha[65] = "";       // the file's SHA-256
};

// ---- cli-report.cpp ----------------------------------------------------------

double NowS();

// stderr.
void ClearProgress(RUN *r);
void Say(RUN *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void DrawProgress(RUN *r, bool bForce);
void EndProgress(RUN *r);
void ShowProgress(RUN *r, PORT *p, int iPercent);

// Transcripts. A write that fails gives the transcript up and makes the
// port's outcome an I/O error.
std::string LogName(const std::string &port);
int OpenLogs(RUN *r);
void LogLine(RUN *r, PORT *p, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
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
