// kelvo-cli: serves a DLF download file to targets on serial ports, without
// a window, for production lines and scripts.
//
// The file is checked by the very code the download station runs
// (core/dlf.cpp), and every byte from a target goes through the
// station's own protocol step (core/protocol.cpp). This program only
// moves bytes and carries out the effects the step returns.
//
// Every port given is a session of its own: a record with its descriptor,
// protocol state, answer queue and deadlines. One epoll set of all open
// ports drives every session (SIGINT, SIGTERM, SIGHUP and SIGQUIT wake its wait); a port
// never waits for another, and one that fails is closed without touching the
// rest. With --repeat a port goes on to the next board after each one.
#include "cli.h"
#include "core/core.h"
#include "kelvo_version.h"
#include "posix/serial.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: kelvo-cli [options] PORT [PORT...] FILE.dlf\n"
    "\n"
    "Serves FILE.dlf to a download target on each serial port PORT (for\n"
    "example /dev/ttyUSB0) and exits when every target has reported completion\n"
    "or failed. FILE is checked as the download station checks it before any\n"
    "port is opened; a file that fails is refused with the reason dlftool check\n"
    "gives. Each port is a session of its own: one that fails never stops the\n"
    "others.\n"
    "\n"
    "options:\n"
    "  --baud N        line speed in bit/s (default 115200)\n"
    "  --flow MODE     flow control: xonxoff (default), none, rtscts or dtrdsr\n"
    "                  (dtrdsr holds output back while DSR is low; a port that\n"
    "                  cannot report DSR, such as a pseudo terminal, counts as\n"
    "                  ready). With xonxoff the line itself takes the bytes\n"
    "                  11 and 13 as flow control, so a request whose length or\n"
    "                  offset contains them never arrives: use none for such\n"
    "                  targets\n"
    "  --timeout S     give up on a port when its target sends nothing for S\n"
    "                  seconds (fractions allowed); also limits --wait-port.\n"
    "                  With --repeat it runs once a board has begun its\n"
    "                  handshake: the wait for the next board has no limit.\n"
    "                  Default 0: wait for ever\n"
    "  --log PATH      transcript, one line per byte:\n"
    "                    <ms since the port was opened> <T|P> <hex>\n"
    "                  T sent by the target, P by this program; lines starting\n"
    "                  with '#' mark events (boards, blocks, refusals, the end).\n"
    "                  With one port PATH is the file; with several it is a\n"
    "                  directory (made if missing) with one file per port,\n"
    "                  named after it: /dev/ttyUSB0 -> ttyUSB0.log\n"
    "  --wait-port     wait for each PORT to appear and to open (tried every\n"
    "                  100 ms): a device just plugged in may refuse to open\n"
    "                  (permission denied, busy) until udev has set it up\n"
    "  --repeat        board after board: when a board has ended, its port is\n"
    "                  closed for a moment (DTR low), opened again (waiting for\n"
    "                  the device when it went away) and the next target is\n"
    "                  served; until interrupted or --count boards per port\n"
    "  --count N       with --repeat: stop after N boards on each port\n"
    "  --low-latency   set the latency timer of a USB serial adapter to 1 ms\n"
    "                  while its port is open, and put the old value back on\n"
    "                  every way out (needs write access to sysfs)\n"
    "  --reset SEQ     put the target into its download mode through DTR and\n"
    "                  RTS after the port opens (for every board with --repeat).\n"
    "                  SEQ is a preset or a sequence of its own (below). A port\n"
    "                  that cannot drive the lines is refused before anything\n"
    "                  is sent. --timeout runs from the sequence's end\n"
    "  --report FILE   append one JSON object per board to FILE (JSON Lines):\n"
    "                  time (UTC), host, board, port, stable (its name in\n"
    "                  /dev/serial/by-id or by-path), usb (vendor, product,\n"
    "                  serial, manufacturer, name), file, file_bytes, crc,\n"
    "                  sha256, bytes, blocks, seconds, reset, result, reason.\n"
    "                  Each record is written whole and flushed to the disk as\n"
    "                  its board ends; several runs may append to one file\n"
    "  -h, --help      this text\n"
    "  --version       print the version and exit\n"
    "\n"
    "The line runs 8 data bits, no parity, 1 stop bit; DTR and RTS are raised\n"
    "when the port opens and DTR is dropped before it is closed. For a USB\n"
    "serial adapter the latency timer is reported with what it costs.\n"
    "\n"
    "Reset sequences (asserted: the line's bit set, which drives an adapter's\n"
    "TTL output low):\n"
    "  dtr-pulse       the target's reset input on DTR (directly or through a\n"
    "                  capacitor): DTR asserted 100 ms, released, 50 ms\n"
    "  rts-pulse       the same on RTS\n"
    "  two-transistor  the two-transistor auto-reset circuit: RTS drives the\n"
    "                  reset (enable) pin and DTR the boot-select pin, each\n"
    "                  through a transistor the other line cancels, so that one\n"
    "                  line alone pulls its pin low and both alike do nothing:\n"
    "                  reset (RTS alone) 100 ms, boot-select (DTR alone) as the\n"
    "                  reset is let go, 50 ms, both released\n"
    "  spelled out     items dtr=0|1, rts=0|1 and pauses like 100ms, separated\n"
    "                  by commas; levels without a pause between them change\n"
    "                  together. two-transistor is\n"
    "                  dtr=0,rts=1,100ms,dtr=1,rts=0,50ms,dtr=0\n"
    "The lines keep the levels the sequence leaves until the board ends.\n"
    "\n"
    "Progress goes to stderr. With one port: a bar on a terminal, otherwise a\n"
    "line \"progress N%\" at every tenth. With several: one line per port\n"
    "redrawn in place on a terminal, otherwise \"progress N% PORT\".\n"
    "With one port and no --repeat, stdout gets one line at the end:\n"
    "  served <bytes> bytes in <blocks> blocks, <seconds> s, <rate> B/s\n"
    "(data bytes sent and blocks served, a block the target asked for again\n"
    "counted again; the time runs from the target's first byte to its\n"
    "completion). With several ports it gets a table, one row per port:\n"
    "  port  result  bytes  blocks  seconds  B/s\n"
    "With --repeat it gets one such row per board as the board ends, the\n"
    "board's number first and the reason of a failure last, and at the end a\n"
    "summary: boards passed and failed per port, each failure with its reason.\n"
    "Results: ok, io-error, timeout, gone, interrupted. A board whose last\n"
    "answer cannot leave the port within 2 s of its completion (the target\n"
    "holds XOFF) is not ok: the answer is discarded and the result is io-error.\n"
    "\n"
    "exit status:\n"
    "  0    every target reported completion\n"
    "  1    I/O error on a port (cannot open, read or write it, or drive its\n"
    "       lines for --reset) or on a transcript or the report (cannot create\n"
    "       or write it)\n"
    "  2    usage error, or FILE cannot be served: nothing was sent\n"
    "  3    timeout: a target sent nothing for S seconds, or a PORT did not\n"
    "       appear within S seconds; the message names the awaited step\n"
    "  4    a device went away during its session (unplugged, hung up)\n"
    "  130  interrupted by SIGINT, SIGTERM, SIGHUP or SIGQUIT (DTR dropped, ports\n"
    "       closed)\n"
    "With several ports or boards the most serious outcome wins, in the\n"
    "order 130, 4, 3, 1: an interrupted run, a device that went away\n"
    "mid-session, a target that stopped answering, a port that could not be used.\n";

volatile sig_atomic_t g_signal = 0;

void OnSignal(int sig)
{
    g_signal = sig;
}

int UsageError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int UsageError(const char *fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "kelvo-cli: %s\nrun 'kelvo-cli --help' for usage\n", msg);
    return EXIT_USAGE;
}

// The long options; each value is the option's own index in the table.
enum {
    OPT_BAUD, OPT_FLOW, OPT_TIMEOUT, OPT_LOG, OPT_WAIT_PORT, OPT_REPEAT, OPT_COUNT,
    OPT_LOW_LATENCY, OPT_RESET, OPT_REPORT, OPT_HELP, OPT_VERSION
};
const struct option kOptions[] = {
    {"baud", required_argument, nullptr, OPT_BAUD},
    {"flow", required_argument, nullptr, OPT_FLOW},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"log", required_argument, nullptr, OPT_LOG},
    {"wait-port", no_argument, nullptr, OPT_WAIT_PORT},
    {"repeat", no_argument, nullptr, OPT_REPEAT},
    {"count", required_argument, nullptr, OPT_COUNT},
    {"low-latency", no_argument, nullptr, OPT_LOW_LATENCY},
    {"reset", required_argument, nullptr, OPT_RESET},
    {"report", required_argument, nullptr, OPT_REPORT},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

// Takes one option's value. Returns -1 when it is fine, else the exit status.
int TakeOption(int opt, const char *v, Options *o)
{
    char *end = nullptr;
    char why[400];
    speed_t sp;
    switch (opt) {
    case OPT_BAUD:
        errno = 0;
        o->baud = strtoul(v, &end, 10);
        if (errno || end == v || *end || !SerialSpeed(o->baud, &sp))
            return UsageError("unsupported baud rate '%s'", v);
        break;
    case OPT_FLOW:
        o->flow = v;
        if (o->flow != "none" && o->flow != "xonxoff" && o->flow != "rtscts" && o->flow != "dtrdsr")
            return UsageError("unknown flow control '%s' (none, xonxoff, rtscts, dtrdsr)", v);
        o->bDsrFlow = o->flow == "dtrdsr";
        break;
    case OPT_TIMEOUT:
        o->timeoutS = strtod(v, &end);
        if (end == v || *end || !std::isfinite(o->timeoutS) || o->timeoutS < 0 || o->timeoutS > 1e6)
            return UsageError("bad timeout '%s' (seconds, 0 for none)", v);
        break;
    case OPT_LOG: o->log = v; break;
    case OPT_WAIT_PORT: o->waitPort = true; break;
    case OPT_REPEAT: o->repeat = true; break;
    case OPT_COUNT:
        errno = 0;
        o->count = strtol(v, &end, 10);
        if (errno || end == v || *end || o->count < 1 || o->count > 1000000)
            return UsageError("bad count '%s' (1 or more boards)", v);
        break;
    case OPT_LOW_LATENCY: o->lowLatency = true; break;
    case OPT_RESET:
        if (!ParseLineSeq(v, &o->reset, why, sizeof why))
            return UsageError("--reset: %s", why);
        o->resetText = v;
        break;
    case OPT_REPORT: o->report = v; break;
    case OPT_HELP:
        fputs(kUsage, stdout);
        return EXIT_DONE;
    case OPT_VERSION:
        printf("kelvo-cli %s\n", KELVO_VERSION);
        return EXIT_DONE;
    }
    return -1;
}

// Returns -1 when the arguments are fine, else the exit status.
int ParseArgs(int argc, char **argv, Options *o)
{
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
        if (opt == ':')
            return UsageError("%s needs a value", argv[optind - 1]);
        if (opt == '?')
            return UsageError("unknown option '%s'", argv[optind - 1]);
        int rc = TakeOption(opt == 'h' ? OPT_HELP : opt, optarg, o);
        if (rc >= 0)
            return rc;
    }
    std::vector<std::string> positional(argv + optind, argv + argc);
    if (positional.size() < 2)
        return UsageError("expected PORT and FILE.dlf");
    if (o->count > 0 && !o->repeat)
        return UsageError("--count needs --repeat");
    o->file = positional.back();
    positional.pop_back();
    for (size_t i = 0; i < positional.size(); i++) {
        for (size_t j = 0; j < i; j++) {
            if (positional[j] == positional[i])
                return UsageError("%s is given twice", positional[i].c_str());
            if (!o->log.empty() && LogName(positional[j]) == LogName(positional[i]))
                return UsageError("%s and %s would share the transcript %s", positional[j].c_str(),
                                  positional[i].c_str(), LogName(positional[i]).c_str());
        }
    }
    o->ports = positional;
    return -1;
}

// Reads and checks the download file. The whole file, header included, is
// the image that the target's requests address. Also names it for the
// record: its header CRC and its SHA-256.
int LoadDlf(RUN *r)
{
    const std::string &path = r->o.file;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "kelvo-cli: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return EXIT_USAGE;
    }
    DLFINFO info = {};
    DlfVerdict verdict = DlfInspect(f, &info);
    if (verdict != DLF_OK) {
        fprintf(stderr, "kelvo-cli: %s: %s\n", path.c_str(), DlfVerdictText(verdict));
        fclose(f);
        return EXIT_USAGE;
    }
    // Request offsets have 24 bits: a larger image could never be served whole.
    if (info.lTotal <= 0 || info.lTotal > 0x1000000L) {
        fprintf(stderr, "kelvo-cli: %s: too large (%ld bytes, at most 16 MiB)\n", path.c_str(), info.lTotal);
        fclose(f);
        return EXIT_USAGE;
    }
    r->image.resize((size_t)info.lTotal);
    size_t n = fread(r->image.data(), 1, r->image.size(), f);
    bool bShort = n != r->image.size();
    fclose(f);
    if (bShort) {
        fprintf(stderr, "kelvo-cli: %s: read %zu of %ld bytes\n", path.c_str(), n, info.lTotal);
        return EXIT_USAGE;
    }
    r->wCrc = info.wCrcStored;
    Sha256Hex(r->image.data(), r->image.size(), r->szSha);
    return -1;
}

// ---- the port ------------------------------------------------------------------

// Opens the port raw with the station's line defaults. Returns the
// descriptor, or -1 with errno set and the reason in psz.
int OpenPort(const Options &o, const std::string &port, char *psz, size_t cb)
{
    int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        snprintf(psz, cb, "cannot open %s: %s", port.c_str(), strerror(err));
        errno = err;
        return -1;
    }
    // Two programs serving one port would corrupt each other's answers.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        snprintf(psz, cb, "%s is in use by another program", port.c_str());
        close(fd);
        errno = EBUSY;
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        int err = errno;
        snprintf(psz, cb, "%s is not a serial port: %s", port.c_str(), strerror(err));
        close(fd);
        errno = err;
        return -1;
    }
    // Asked before anything is sent: a sequence that cannot be played would
    // leave the target where it is, and the session would only time out.
    int bits = 0;
    if (!o.reset.empty() && !SerialGetLines(fd, &bits)) {
        int err = errno;
        snprintf(psz, cb, "%s cannot drive DTR and RTS (%s): --reset needs a serial port with modem lines",
                 port.c_str(), strerror(err));
        close(fd);
        errno = ENOTTY;
        return -1;
    }
    SerialFlow flow = o.flow == "xonxoff" ? SERIAL_FLOW_XONXOFF : o.flow == "rtscts" ? SERIAL_FLOW_RTSCTS
                                                                        : SERIAL_FLOW_NONE;
    if (!SerialMakeRaw(fd, o.baud, flow)) {
        int err = errno;
        snprintf(psz, cb, "cannot set up %s: %s", port.c_str(), strerror(err));
        close(fd);
        errno = err;
        return -1;
    }
    // Whatever arrived before this session is not part of it.
    tcflush(fd, TCIOFLUSH);
    // Pseudo terminals have no modem lines: a failure here is expected there.
    SerialRaiseLines(fd, TIOCM_DTR | TIOCM_RTS);
    return fd;
}

// Reports a USB adapter's latency timer once per port, and with
// --low-latency sets it to 1 ms for as long as the port is open.
void TuneLatency(RUN *r, PORT *p)
{
    if (!UsbLatencyFind(p->fd, &p->lat))
        return;
    int ms = p->lat.msFound;
    char cost[400], advice[600];
    UsbLatencyCost(ms, r->o.baud, cost, sizeof cost);
    UsbLatencyAdvice(&p->lat, advice, sizeof advice);
    bool bTell = !p->bLatencyTold;
    p->bLatencyTold = true;
    if (bTell)
        Say(r, "%s: USB latency timer %d ms (%s): %s", p->name.c_str(), ms, p->lat.szPath, cost);
    if (ms <= 1)
        return;
    if (!r->o.lowLatency) {
        if (bTell)
            Say(r, "%s: --low-latency sets it to 1 ms for the run; or set it yourself:\n%s",
                p->name.c_str(), advice);
        return;
    }
    if (!UsbLatencyWrite(&p->lat, 1)) {
        if (bTell)
            Say(r, "%s: cannot set the latency timer to 1 ms: %s; it can be set so:\n%s",
                p->name.c_str(), strerror(errno), advice);
        return;
    }
    p->lat.bLowered = true;
    if (bTell)
        Say(r, "%s: latency timer set to 1 ms for this run (back to %d ms at the end)", p->name.c_str(), ms);
}

void RestoreLatency(RUN *r, PORT *p)
{
    if (!p->lat.bLowered)
        return;
    p->lat.bLowered = false;
    // A device that went away takes its attribute along: nothing to restore.
    if (!UsbLatencyWrite(&p->lat, p->lat.msFound) && errno != ENOENT && errno != ENODEV)
        Say(r, "%s: cannot put the latency timer back to %d ms: %s", p->name.c_str(),
            p->lat.msFound, strerror(errno));
}

void CloseInBackground(int fd)
{
    close(fd);
}

// Drops DTR, gives back the latency timer and closes the port. After a
// session that broke off, whatever is still queued is thrown away so that a
// half-sent byte cannot reach the next session; after a completed one there
// is nothing left (on a pseudo terminal a flush would even discard the last
// answer from the other side's input).
//
// A USB serial driver's close waits up to the port's closing_wait (30 s by
// default) for output that flow control holds back. The wait is turned off
// where the driver allows it, and the close itself runs on a thread of its
// own, so that it never holds up the other ports or the end of the run. The
// lock goes first: the next board may open the port while the old
// descriptor is still closing.
void ClosePort(RUN *r, PORT *p, bool bDiscard)
{
    if (p->fd < 0)
        return;
    SerialDropLines(p->fd, TIOCM_DTR);
    if (bDiscard)
        SerialCloseWithoutWaiting(p->fd);
    RestoreLatency(r, p);
    if (p->bWatched)
        epoll_ctl(r->epfd, EPOLL_CTL_DEL, p->fd, nullptr);
    flock(p->fd, LOCK_UN);
    try {
        std::thread(CloseInBackground, p->fd).detach();
    } catch (const std::system_error &) {
        close(p->fd);         // no thread to be had: close it here
    }
    p->fd = -1;
    p->bWatched = false;
}

bool OutputReady(const RUN *r, const PORT *p)
{
    if (!r->o.bDsrFlow)
        return true;
    int bits = 0;
    if (!SerialGetLines(p->fd, &bits))
        return true;      // no modem lines to ask (pseudo terminal)
    return (bits & TIOCM_DSR) != 0;
}

// Sets the lines of one step of the reset sequence. False when the port
// refuses.
bool SetLines(PORT *p, const LINESTEP &step)
{
    int bits = 0;
    if (!SerialGetLines(p->fd, &bits))
        return false;
    if (step.dtr >= 0)
        bits = step.dtr ? bits | TIOCM_DTR : bits & ~TIOCM_DTR;
    if (step.rts >= 0)
        bits = step.rts ? bits | TIOCM_RTS : bits & ~TIOCM_RTS;
    return SerialSetLines(p->fd, bits);
}

// ---- boards --------------------------------------------------------------------

// What the user is told when a board ends other than by its completion.
void TellEnd(RUN *r, PORT *p, int rc, const char *reason, bool bBoard)
{
    if (!bBoard) {
        Say(r, "%s: %s before a board began; waiting for the next", p->name.c_str(), reason);
        return;
    }
    Say(r, "%s: %s", p->name.c_str(), SessionReason(&p->s, reason, r->image.size()).c_str());
    if (rc == EXIT_TIMEOUT && r->o.flow == "xonxoff" && p->s.state.iStep >= 8 && p->s.state.iStep <= 13)
        Say(r, "%s: with XON/XOFF the line takes the bytes 11 and 13 as flow control: a request"
            " byte may have been taken so; if the target's requests contain them, use --flow none",
            p->name.c_str());
    LogLine(r, p, "# end: %s\n", reason);
}

// Keeps the board's outcome, and puts it out: a row with --repeat, the
// served line for one port, the record with --report.
void RecordBoard(RUN *r, PORT *p, int rc, const char *reason)
{
    BOARD b = {};
    b.rc = rc;
    b.dwServed = p->s.dwServed;
    b.nBlocks = p->s.nBlocks;
    b.seconds = p->tFirstRx >= 0 ? p->tEnd - p->tFirstRx : 0;
    clock_gettime(CLOCK_REALTIME, &b.ended);
    if (rc != EXIT_DONE)
        snprintf(b.szReason, sizeof b.szReason, "%s", SessionReason(&p->s, reason, r->image.size()).c_str());
    p->boards.push_back(b);
    p->rc = Worse(p->rc, rc);
    ClearProgress(r);
    if (r->o.repeat) {
        char num[16];
        snprintf(num, sizeof num, "%-6zu", p->boards.size());
        PrintRow(r, num, p->name.c_str(), ResultWord(rc), b.dwServed, b.nBlocks, b.seconds, b.szReason);
        fflush(stdout);
    } else if (rc == EXIT_DONE && r->ports.size() == 1) {
        printf("served %u bytes in %d blocks, %.2f s, %.0f B/s\n", b.dwServed, b.nBlocks, b.seconds,
               b.seconds > 0 ? b.dwServed / b.seconds : 0);
        fflush(stdout);
    }
    ReportBoard(r, p, b);
}

// The board on p has ended with rc. Closes the port and decides what comes
// next: another board (--repeat) or nothing.
void EndBoard(RUN *r, PORT *p, int rc, const char *reason)
{
    if (rc != EXIT_DONE)
        p->tEnd = NowS();
    // With --repeat a port that hangs up or fails before its target began
    // (a device unplugged between boards) has had no board at all.
    bool bBoard = !r->o.repeat || p->s.bBegun || rc == EXIT_DONE;
    if (rc == EXIT_DONE) {
        ShowProgress(r, p, 100);
        if (!r->disp.bBlock)
            ClearProgress(r);    // ends the bar's line
    } else {
        TellEnd(r, p, rc, reason, bBoard);
    }
    ClosePort(r, p, rc != EXIT_DONE);
    FlushLog(r, p);
    if (bBoard)
        RecordBoard(r, p, rc, reason);
    bool bMore = r->o.repeat && !g_signal && (r->o.count == 0 || (long)p->boards.size() < r->o.count);
    p->phase = bMore ? PH_PAUSE : PH_DONE;
    // The port stays closed for a moment, so that the target sees DTR drop
    // and a pseudo terminal's other side sees the close.
    p->tWake = NowS() + 0.25;
    r->disp.bDirty = true;
}

// A port that cannot be opened, or no longer: says so and ends the port.
void PortUnusable(RUN *r, PORT *p, int rc, const char *msg)
{
    Say(r, "%s", msg);
    p->rc = Worse(p->rc, rc);
    p->phase = PH_DONE;
    r->disp.bDirty = true;
}

// The port is open: the reset sequence runs first when there is one.
void StartSession(RUN *r, PORT *p)
{
    SessionBegin(&p->s, r->image.size());
    p->tOpen = p->tLastRx = NowS();
    p->tFirstRx = -1;
    p->iLastTenth = -1;
    p->phase = r->o.reset.empty() ? PH_SERVE : PH_RESET;
    p->iReset = 0;
    p->tWake = p->tOpen;
    r->disp.bDirty = true;
    if (!p->bOpenedOnce)
        Say(r, "serving %s (%zu bytes) on %s at %lu bit/s", r->o.file.c_str(), r->image.size(),
            p->name.c_str(), r->o.baud);
    p->bOpenedOnce = true;
    p->bOpenTold = false;
    if (r->o.repeat)
        LogLine(r, p, "# board %zu\n", p->boards.size() + 1);
    p->id = PortIdentify(p->fd, p->name);
    TuneLatency(r, p);
}

// Why a port that exists refuses to open, and what mends it for good.
void TellRefused(RUN *r, PORT *p, int err)
{
    Say(r, "%s; trying again every 100 ms", p->openWhy.c_str());
    if (err == EACCES)
        Say(r, "%s: a device just plugged in gets its group from udev a moment later. If it stays so:\n"
            "  the user needs the port's group (sudo usermod -aG dialout $USER, then log in again),\n"
            "  and udev must give the adapter that group: the rules in\n"
            "  /usr/share/doc/kelvo/examples/60-kelvo-serial.rules do it for ttyUSB and ttyACM\n"
            "  (copy them to /etc/udev/rules.d/, then sudo udevadm control --reload)", p->name.c_str());
    else
        Say(r, "%s: another program has it open (sudo fuser -v %s names it)", p->name.c_str(), p->name.c_str());
}

// Opens the port, or decides how to go on waiting for it.
void TryOpen(RUN *r, PORT *p)
{
    char why[600];
    p->fd = OpenPort(r->o, p->name, why, sizeof why);
    if (p->fd >= 0) {
        StartSession(r, p);
        return;
    }
    int err = errno;
    p->openWhy = why;
    bool bWaiting = r->o.repeat || r->o.waitPort;
    // Absent, or going away: a device that is waited for may come (back).
    bool bAbsent = err == ENOENT || err == ENXIO || err == ENODEV || err == EIO;
    // There but refused: udev still setting up a device just plugged in, or
    // another program that has it.
    bool bRefused = err == EACCES || err == EPERM || err == EBUSY;
    if (bWaiting && (bAbsent || bRefused)) {
        if (bRefused && !p->bOpenTold)
            TellRefused(r, p, err);
        p->bOpenTold = p->bOpenTold || bRefused;
        p->phase = PH_WAIT_PORT;
        return;
    }
    if (err == EACCES)
        p->openWhy += "\nkelvo-cli: serial ports usually belong to the group 'dialout'; add the user to it\n"
                      "  (sudo usermod -aG dialout $USER) and log in again";
    PortUnusable(r, p, EXIT_IO, p->openWhy.c_str());
}

// ---- serving -------------------------------------------------------------------

// Writes pending answers as far as the port takes them. False when the
// board ended.
bool Flush(RUN *r, PORT *p)
{
    while (!p->s.out.empty() && OutputReady(r, p)) {
        ssize_t n = write(p->fd, p->s.out.data(), p->s.out.size());
        if (n < 0) {
            int err = errno;
            if (err == EAGAIN || err == EINTR)
                return true;
            if (err == EIO || err == ENXIO || err == ENODEV) {
                EndBoard(r, p, EXIT_GONE, "the device went away (write failed)");
                return false;
            }
            char msg[200];
            snprintf(msg, sizeof msg, "write on the port failed: %s", strerror(err));
            EndBoard(r, p, EXIT_IO, msg);
            return false;
        }
        for (ssize_t i = 0; i < n; i++)
            Record(r, p, 'P', p->s.out[(size_t)i]);
        p->s.out.erase(p->s.out.begin(), p->s.out.begin() + n);
    }
    return true;
}

// Runs one byte through the session and shows what it did. True when the
// target reported completion.
bool Examine(RUN *r, PORT *p, unsigned char b)
{
    SESSIONSTEP st;
    SessionByte(&p->s, r->image.data(), (uint32_t)r->image.size(), b, &st);
    r->disp.bDirty = r->disp.bDirty || st.bBegan;
    if (st.iProgress >= 0)
        ShowProgress(r, p, st.iProgress);
    if (st.dwBlockLength > 0)
        LogLine(r, p, "# block offset=%u length=%u\n", st.dwBlockOffset, st.dwBlockLength);
    if (st.bRefused) {
        Say(r, "%sthe target asked for bytes past the end of the file (offset %u, file %zu bytes): ignored",
            r->ports.size() > 1 ? (p->name + ": ").c_str() : "", st.dwRefusedAt, r->image.size());
        LogLine(r, p, "# refused request at offset %u: past the end\n", st.dwRefusedAt);
    }
    if (st.bComplete)
        LogLine(r, p, "# complete\n");
    return st.bComplete;
}

// The target is done: its last answer still has to leave the port.
void Complete(RUN *r, PORT *p)
{
    p->tEnd = NowS();
    p->phase = PH_DRAIN;
    // Bounded: a port held off by flow control must not keep us for ever.
    p->tWake = p->tEnd + 2;
    p->s.iPercent = 100;
    r->disp.bDirty = true;
}

// Reads what the port has and examines every byte. bHungUp: the wait
// reported a hang-up or an error on the port.
void ServeInput(RUN *r, PORT *p, bool bHungUp)
{
    unsigned char buf[512];
    ssize_t n = read(p->fd, buf, sizeof buf);
    if (n == 0) {
        EndBoard(r, p, EXIT_GONE, "the device went away (end of file on the port)");
        return;
    }
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EINTR) {
            if (bHungUp)
                EndBoard(r, p, EXIT_GONE, "the device went away (hang-up)");
            return;
        }
        if (err == EIO || err == ENXIO || err == ENODEV) {
            EndBoard(r, p, EXIT_GONE, "the device went away (hang-up)");
            return;
        }
        char msg[200];
        snprintf(msg, sizeof msg, "read on the port failed: %s", strerror(err));
        EndBoard(r, p, EXIT_IO, msg);
        return;
    }
    double tNow = NowS();
    p->tLastRx = tNow;
    if (p->tFirstRx < 0)
        p->tFirstRx = tNow;
    for (ssize_t i = 0; i < n; i++) {
        Record(r, p, 'T', buf[i]);
        bool bComplete = Examine(r, p, buf[i]);
        if (!Flush(r, p))
            return;
        if (bComplete) {
            Complete(r, p);
            return;
        }
    }
}

// True when the last answers have left: none waits here, and the port's
// own queue is empty (or cannot tell).
bool Drained(PORT *p)
{
    int queued = 0;
    return p->s.out.empty() && (!SerialOutQueued(p->fd, &queued) || queued == 0);
}

// True when the port's time-out runs: always without --repeat, with it
// once the board has begun.
bool TimeoutRuns(const RUN *r, const PORT *p)
{
    return r->o.timeoutS > 0 && (!r->o.repeat || p->s.bBegun);
}

double Tick(RUN *r, PORT *p, double tNow);

// PH_WAIT_PORT: looks for the device every 100 ms, within --timeout
// without --repeat.
double TickWaitPort(RUN *r, PORT *p, double tNow)
{
    if (access(p->name.c_str(), F_OK) == 0) {
        TryOpen(r, p);
        if (p->phase != PH_WAIT_PORT)
            return Tick(r, p, tNow);
    }
    if (!r->o.repeat && r->o.timeoutS > 0 && tNow - p->tWaitStart >= r->o.timeoutS) {
        char msg[800];
        if (p->bOpenTold)
            snprintf(msg, sizeof msg, "timeout: %s could not be opened within %g s: %s", p->name.c_str(),
                     r->o.timeoutS, p->openWhy.c_str());
        else
            snprintf(msg, sizeof msg, "timeout: %s did not appear within %g s", p->name.c_str(), r->o.timeoutS);
        PortUnusable(r, p, EXIT_TIMEOUT, msg);
        return 0;
    }
    return tNow + 0.1;
}

// PH_PAUSE: the port stays closed until tWake, then is looked for again.
double TickPause(RUN *r, PORT *p, double tNow)
{
    if (tNow < p->tWake)
        return p->tWake;
    p->phase = PH_WAIT_PORT;
    p->tWaitStart = tNow;
    return Tick(r, p, tNow);
}

// PH_RESET: sets each step's lines when it is due; the loop serves the
// other ports meanwhile.
double TickReset(RUN *r, PORT *p, double tNow)
{
    while (tNow >= p->tWake && p->iReset < r->o.reset.size()) {
        const LINESTEP &step = r->o.reset[p->iReset++];
        if (!SetLines(p, step)) {
            char msg[200];
            snprintf(msg, sizeof msg, "the port refused to set DTR and RTS: %s", strerror(errno));
            EndBoard(r, p, EXIT_IO, msg);
            return Tick(r, p, tNow);
        }
        LogLine(r, p, "# reset%s%s%s%s, %d ms\n", step.dtr < 0 ? "" : " dtr=", step.dtr < 0 ? "" : step.dtr ? "1" : "0",
                step.rts < 0 ? "" : " rts=", step.rts < 0 ? "" : step.rts ? "1" : "0", step.msPause);
        p->tWake = tNow + step.msPause / 1000.0;
    }
    if (tNow < p->tWake)
        return p->tWake;
    // The target's silence is timed from here.
    p->phase = PH_SERVE;
    p->tLastRx = tNow;
    return Tick(r, p, tNow);
}

// PH_SERVE: the time-out, and DSR looked at again while it holds output.
double TickServe(RUN *r, PORT *p, double tNow)
{
    double tWhen = 0;
    if (TimeoutRuns(r, p)) {
        tWhen = p->tLastRx + r->o.timeoutS;
        if (tNow >= tWhen) {
            char msg[200];
            // A full queue stops the reading: the target is holding our answers back.
            if (p->s.out.size() >= kOutLimit)
                snprintf(msg, sizeof msg, "timeout: the target held the answers back (XOFF) for %g s", r->o.timeoutS);
            else
                snprintf(msg, sizeof msg, "timeout: no byte from the target for %g s", r->o.timeoutS);
            EndBoard(r, p, EXIT_TIMEOUT, msg);
            return Tick(r, p, tNow);
        }
    }
    if (!p->s.out.empty() && !OutputReady(r, p))
        tWhen = tWhen > 0 ? std::min(tWhen, tNow + 0.01) : tNow + 0.01;   // DSR low: look again soon
    return tWhen;
}

// PH_DRAIN: the board is ok once its last answers have left, and not ok
// when flow control holds them for 2 s.
double TickDrain(RUN *r, PORT *p, double tNow)
{
    if (!p->s.out.empty() && !Flush(r, p))
        return 0;
    if (Drained(p)) {
        EndBoard(r, p, EXIT_DONE, "");
        return Tick(r, p, tNow);
    }
    if (tNow >= p->tWake) {
        EndBoard(r, p, EXIT_IO, "completed, but its last answer could not leave the port in 2 s"
                 " (held by flow control) and was discarded");
        return Tick(r, p, tNow);
    }
    return tNow + 0.01;
}

double TickDone(RUN *, PORT *, double)
{
    return 0;
}

// Everything that happens to a port by the clock, by its phase. Returns the
// latest time it wants to be looked at again (0: no wish).
double Tick(RUN *r, PORT *p, double tNow)
{
    static double (*const aTick[])(RUN *, PORT *, double) = {
        TickWaitPort, TickPause, TickReset, TickServe, TickDrain, TickDone};
    static_assert(sizeof aTick / sizeof aTick[0] == PH_DONE + 1, "a handler for every phase");
    return aTick[p->phase](r, p, tNow);
}

// A signal ends the run: a session that runs is broken off, a completed one
// is finished, a port that waits simply stops.
void Interrupt(RUN *r)
{
    for (PORT &p : r->ports) {
        if (p.phase == PH_DRAIN && Drained(&p)) {
            EndBoard(r, &p, EXIT_DONE, "");
        } else if (p.phase == PH_DRAIN) {
            EndBoard(r, &p, EXIT_INTERRUPTED, "interrupted before its last answer left the port");
        } else if (p.phase == PH_RESET || (p.phase == PH_SERVE && (!r->o.repeat || p.s.bBegun))) {
            EndBoard(r, &p, EXIT_INTERRUPTED, "interrupted");
        } else if (p.phase == PH_WAIT_PORT && !r->o.repeat) {
            Say(r, "interrupted while waiting for %s", p.name.c_str());
            p.rc = Worse(p.rc, EXIT_INTERRUPTED);
        }
        ClosePort(r, &p, true);
        p.phase = PH_DONE;
    }
}

// Puts the open port p in the loop's epoll set with the events it waits
// for. False when epoll refuses (the port's session then ends). Closing the
// port takes it out of the set.
bool Watch(RUN *r, PORT *p, uint32_t events)
{
    if (p->bWatched && p->watched == events)
        return true;
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.u32 = (uint32_t)(p - r->ports.data());
    if (epoll_ctl(r->epfd, p->bWatched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, p->fd, &ev) != 0)
        return false;
    p->bWatched = true;
    p->watched = events;
    return true;
}

// Ticks every port. Returns the soonest time any port wants to be looked
// at again (0: none), and in *pbActive whether any port has more to do.
double TickAll(RUN *r, double tNow, bool *pbActive)
{
    double tNext = 0;
    *pbActive = false;
    for (PORT &p : r->ports) {
        double t = Tick(r, &p, tNow);
        if (t > 0 && (tNext == 0 || t < tNext))
            tNext = t;
        *pbActive = *pbActive || p.phase != PH_DONE;
    }
    return tNext;
}

// Asks the epoll set for what each open port waits for. Returns false when
// a port's session ended because epoll refused it (look again at once).
bool WatchAll(RUN *r)
{
    bool bAllWatched = true;
    for (PORT &p : r->ports) {
        if (p.fd < 0 || (p.phase != PH_SERVE && p.phase != PH_DRAIN))
            continue;
        // Hang-ups and errors are always reported, even with no events asked for.
        // A full queue of answers stops the reading until the port takes them.
        uint32_t events = p.phase == PH_SERVE && p.s.out.size() < kOutLimit ? (uint32_t)EPOLLIN : 0;
        if (!p.s.out.empty() && OutputReady(r, &p))
            events |= EPOLLOUT;
        if (!Watch(r, &p, events)) {
            char msg[200];
            snprintf(msg, sizeof msg, "cannot watch the port: %s", strerror(errno));
            EndBoard(r, &p, EXIT_IO, msg);
            bAllWatched = false;
        }
    }
    return bAllWatched;
}

// Carries out what one wait reported for a port.
void Dispatch(RUN *r, const struct epoll_event &ev)
{
    PORT *p = &r->ports[ev.data.u32];
    bool bHungUp = (ev.events & (EPOLLHUP | EPOLLERR)) != 0;
    if (p->phase == PH_SERVE && (ev.events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        ServeInput(r, p, bHungUp);
    else if (p->phase == PH_DRAIN && bHungUp)
        EndBoard(r, p, EXIT_DONE, "");      // completed; nothing more can leave
    if (p->phase == PH_SERVE && !p->s.out.empty())
        Flush(r, p);
}

// The loop: one wait on the epoll set of every open port, the soonest
// deadline of any port as its limit. The set is kept from one wait to the
// next, so a wait costs the same for eight ports as for one and reports
// only the ports that have something.
void Serve(RUN *r)
{
    struct epoll_event aEv[64];
    while (!g_signal) {
        double tNow = NowS();
        bool bActive;
        double tNext = TickAll(r, tNow, &bActive);
        if (!bActive)
            return;
        DrawProgress(r, false);
        if (r->disp.bBlock && r->disp.bDirty && (tNext == 0 || r->disp.tNextDraw < tNext))
            tNext = std::max(r->disp.tNextDraw, tNow);
        if (!WatchAll(r))
            tNext = tNow;
        // Milliseconds, rounded up: a wait that ends before the deadline would
        // only come straight back.
        int msWait = -1;
        if (tNext > 0)
            msWait = (int)std::min(std::ceil(std::max(0.0, tNext - tNow) * 1000), 3600000.0);
        int n = epoll_pwait(r->epfd, aEv, (int)(sizeof aEv / sizeof aEv[0]), msWait, r->pOrigMask);
        int err = errno;
        for (PORT &p : r->ports) {
            if (n < 0 && err != EINTR && p.bWatched) {
                char msg[200];
                snprintf(msg, sizeof msg, "waiting on the port failed: %s", strerror(err));
                EndBoard(r, &p, EXIT_IO, msg);
            }
        }
        for (int i = 0; i < n; i++)
            Dispatch(r, aEv[i]);
    }
    Interrupt(r);
}

} // namespace

int main(int argc, char **argv)
{
    // The signals that end a run stay blocked except inside the loop's wait,
    // so a signal can only end a wait, never interrupt a half-done step.
    const int aEnd[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    sigset_t block, origMask;
    sigemptyset(&block);
    for (int sig : aEnd)
        sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &origMask);
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : aEnd) {
        sigaction(sig, &sa, nullptr);
        sigdelset(&origMask, sig);
    }
    // A reader of stdout that went away must not end the run before the
    // ports are closed and the latency timers given back.
    signal(SIGPIPE, SIG_IGN);

    RUN run;
    RUN *r = &run;
    r->pOrigMask = &origMask;
    int rc = ParseArgs(argc, argv, &r->o);
    if (rc >= 0)
        return rc;
    rc = LoadDlf(r);
    if (rc >= 0)
        return rc;
    r->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (r->epfd < 0) {
        fprintf(stderr, "kelvo-cli: cannot set up the wait on the ports: %s\n", strerror(errno));
        return EXIT_IO;
    }
    r->ports.resize(r->o.ports.size());
    for (size_t i = 0; i < r->ports.size(); i++)
        r->ports[i].name = r->o.ports[i];
    r->disp.bTty = isatty(2) != 0;
    r->disp.bBlock = r->disp.bTty && r->ports.size() > 1;

    rc = OpenLogs(r);
    if (rc < 0)
        rc = OpenReport(r);
    if (rc < 0) {
        double tNow = NowS();
        for (PORT &p : r->ports) {
            p.tWaitStart = tNow;
            if (access(p.name.c_str(), F_OK) == 0 || !(r->o.waitPort || r->o.repeat))
                TryOpen(r, &p);
            else
                Say(r, "waiting for %s", p.name.c_str());
        }
        if (r->o.repeat)
            PrintHeader(r, "board ");
        Serve(r);
        EndProgress(r);
        if (r->o.repeat)
            PrintSummary(r);
        else if (r->ports.size() > 1)
            PrintTable(r);
        rc = EXIT_DONE;
        for (PORT &p : r->ports) {
            CloseLog(r, &p);
            rc = Worse(rc, p.rc);
        }
        if (g_signal)
            rc = EXIT_INTERRUPTED;
    }
    for (PORT &p : r->ports) {
        ClosePort(r, &p, true);
        if (p.log)
            fclose(p.log);
    }
    if (r->reportFd >= 0)
        close(r->reportFd);
    fflush(stdout);
    return rc;
}
