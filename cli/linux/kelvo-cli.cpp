// kelvo-cli's Linux port layer: ports opened raw through termios, one
// epoll set of every open port driving every session from one thread,
// adapters looked up in sysfs and /dev, and the signals that end a run.
//
// The sessions themselves, board after board, are the engine's (engine.cpp);
// this layer only moves the bytes and keeps the clock. SIGINT, SIGTERM,
// SIGHUP and SIGQUIT wake the loop's wait; a port never waits for another.
#include "cli/cli.h"
#include "linux.h"
#include "posix/serial.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// The layer's side of a port.
struct PORTIO {
    int fd = -1;               // owned; closed by LayerClose
    uint32_t watched = 0;      // events the loop's epoll set watches fd for
    bool bWatched = false;     // fd is in that set (closing fd takes it out)
    USBLATENCY lat = {};       // the adapter's timer, while the port is open
    bool bLatencyTold = false;
};

const LAYERTEXT kLayerText = {
    "/dev/ttyUSB0",
    "                  (dtrdsr holds output back while DSR is low; a port that\n"
    "                  cannot report DSR, such as a pseudo terminal, counts as\n"
    "                  ready). ",
    "/dev/ttyUSB0 -> ttyUSB0.log",
    "                  100 ms): a device just plugged in may refuse to open\n"
    "                  (permission denied, busy) until udev has set it up\n",
    "                  while its port is open, and put the old value back on\n"
    "                  every way out (needs write access to sysfs)\n",
    "its name in\n                  /dev/serial/by-id or by-path",
    "SIGINT, SIGTERM, SIGHUP or SIGQUIT",
};

namespace {

volatile sig_atomic_t g_signal = 0;
int g_epfd = -1;                            // the loop's epoll set of open ports
const sigset_t *g_pOrigMask = nullptr;      // the mask inside the loop's wait
int g_reportFd = -1;                        // --report, opened for appending

void OnSignal(int sig)
{
    g_signal = sig;
}

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
    // Output of before goes; the input stays: the driver of a real port
    // receives nothing while it is closed, and a target that begins the
    // moment the port opens must not lose its first byte to a flush.
    tcflush(fd, TCOFLUSH);
    // Pseudo terminals have no modem lines: a failure here is expected there.
    SerialRaiseLines(fd, TIOCM_DTR | TIOCM_RTS);
    return fd;
}

// Reports a USB adapter's latency timer once per port, and with
// --low-latency sets it to 1 ms for as long as the port is open.
void TuneLatency(RUN *r, PORT *p)
{
    if (!UsbLatencyFind(p->io->fd, &p->io->lat))
        return;
    int ms = p->io->lat.msFound;
    char cost[400], advice[600];
    LatencyCost(ms, r->o.baud, cost, sizeof cost);
    UsbLatencyAdvice(&p->io->lat, advice, sizeof advice);
    bool bTell = !p->io->bLatencyTold;
    p->io->bLatencyTold = true;
    if (bTell)
        Say(r, "%s: USB latency timer %d ms (%s): %s", p->name.c_str(), ms, p->io->lat.szPath, cost);
    if (ms <= 1)
        return;
    if (!r->o.lowLatency) {
        if (bTell)
            Say(r, "%s: --low-latency sets it to 1 ms for the run; or set it yourself:\n%s",
                p->name.c_str(), advice);
        return;
    }
    if (!UsbLatencyWrite(&p->io->lat, 1)) {
        if (bTell)
            Say(r, "%s: cannot set the latency timer to 1 ms: %s; it can be set so:\n%s",
                p->name.c_str(), strerror(errno), advice);
        return;
    }
    p->io->lat.bLowered = true;
    if (bTell)
        Say(r, "%s: latency timer set to 1 ms for this run (back to %d ms at the end)", p->name.c_str(), ms);
}

void RestoreLatency(RUN *r, PORT *p)
{
    if (!p->io->lat.bLowered)
        return;
    p->io->lat.bLowered = false;
    // A device that went away takes its attribute along: nothing to restore.
    if (!UsbLatencyWrite(&p->io->lat, p->io->lat.msFound) && errno != ENOENT && errno != ENODEV)
        Say(r, "%s: cannot put the latency timer back to %d ms: %s", p->name.c_str(),
            p->io->lat.msFound, strerror(errno));
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
} // namespace

double NowS()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

bool LayerBaudOk(unsigned long baud)
{
    speed_t sp;
    return SerialSpeed(baud, &sp);
}

OpenResult LayerOpen(RUN *r, PORT *p, char *psz, size_t cb)
{
    if (!p->io)
        p->io = new PORTIO;
    p->io->fd = OpenPort(r->o, p->name, psz, cb);
    if (p->io->fd >= 0)
        return OPEN_OK;
    int err = errno;
    if (err == ENOENT || err == ENXIO || err == ENODEV || err == EIO)
        return OPEN_ABSENT;
    return err == EACCES || err == EPERM ? OPEN_DENIED : err == EBUSY ? OPEN_BUSY : OPEN_FAILED;
}

void LayerOpened(RUN *r, PORT *p)
{
    p->id = PortIdentify(p->io->fd, p->name);
    TuneLatency(r, p);
}

std::string LayerOpenAdvice(const PORT *p, OpenResult res, bool bWaiting)
{
    if (res == OPEN_DENIED && bWaiting)
        return "a device just plugged in gets its group from udev a moment later. If it stays so:\n"
               "  the user needs the port's group (sudo usermod -aG dialout $USER, then log in again),\n"
               "  and udev must give the adapter that group: the rules in\n"
               "  /usr/share/doc/kelvo/examples/60-kelvo-serial.rules do it for ttyUSB and ttyACM\n"
               "  (copy them to /etc/udev/rules.d/, then sudo udevadm control --reload)";
    if (res == OPEN_BUSY && bWaiting)
        return "another program has it open (sudo fuser -v " + p->name + " names it)";
    if (res == OPEN_DENIED)
        return "serial ports usually belong to the group 'dialout'; add the user to it\n"
               "  (sudo usermod -aG dialout $USER) and log in again";
    return "";
}

void LayerClose(RUN *r, PORT *p, bool bDiscard)
{
    PORTIO *io = p->io;
    if (io->fd < 0)
        return;
    SerialDropLines(io->fd, TIOCM_DTR);
    if (bDiscard)
        SerialCloseWithoutWaiting(io->fd);
    RestoreLatency(r, p);
    if (io->bWatched)
        epoll_ctl(g_epfd, EPOLL_CTL_DEL, io->fd, nullptr);
    flock(io->fd, LOCK_UN);
    try {
        std::thread(CloseInBackground, io->fd).detach();
    } catch (const std::system_error &) {
        close(io->fd);         // no thread to be had: close it here
    }
    io->fd = -1;
    io->bWatched = false;
}

bool LayerOutputReady(const RUN *r, PORT *p)
{
    if (!r->o.bDsrFlow)
        return true;
    int bits = 0;
    if (!SerialGetLines(p->io->fd, &bits))
        return true;      // no modem lines to ask (pseudo terminal)
    return (bits & TIOCM_DSR) != 0;
}

bool LayerSetLines(PORT *p, const LINESTEP &step, char *psz, size_t cb)
{
    int bits = 0;
    bool bSet = SerialGetLines(p->io->fd, &bits);
    if (step.dtr >= 0)
        bits = step.dtr ? bits | TIOCM_DTR : bits & ~TIOCM_DTR;
    if (step.rts >= 0)
        bits = step.rts ? bits | TIOCM_RTS : bits & ~TIOCM_RTS;
    bSet = bSet && SerialSetLines(p->io->fd, bits);
    if (!bSet)
        snprintf(psz, cb, "%s", strerror(errno));
    return bSet;
}

bool LayerDrained(PORT *p)
{
    int queued = 0;
    return p->s.out.empty() && (!SerialOutQueued(p->io->fd, &queued) || queued == 0);
}

// Writes pending answers as far as the port takes them. False when the
// board ended.
bool LayerFlush(RUN *r, PORT *p)
{
    while (!p->s.out.empty() && LayerOutputReady(r, p)) {
        ssize_t n = write(p->io->fd, p->s.out.data(), p->s.out.size());
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
        Sent(r, p, (size_t)n);
    }
    return true;
}

namespace {

// Reads what the port has and examines every byte. bHungUp: the wait
// reported a hang-up or an error on the port.
void ServeInput(RUN *r, PORT *p, bool bHungUp)
{
    unsigned char buf[512];
    ssize_t n = read(p->io->fd, buf, sizeof buf);
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
    // Each byte's answer leaves before the next byte is looked at.
    double tNow = NowS();
    for (ssize_t i = 0; i < n && p->phase == PH_SERVE; i++) {
        ServeBytes(r, p, buf + i, 1, tNow);
        if (!LayerFlush(r, p))
            return;
    }
}

// Puts the open port p in the loop's epoll set with the events it waits
// for. False when epoll refuses (the port's session then ends). Closing the
// port takes it out of the set.
bool Watch(RUN *r, PORT *p, uint32_t events)
{
    if (p->io->bWatched && p->io->watched == events)
        return true;
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.u32 = (uint32_t)(p - r->ports.data());
    if (epoll_ctl(g_epfd, p->io->bWatched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, p->io->fd, &ev) != 0)
        return false;
    p->io->bWatched = true;
    p->io->watched = events;
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
        if (!p.bOpen || (p.phase != PH_SERVE && p.phase != PH_DRAIN))
            continue;
        // Hang-ups and errors are always reported, even with no events asked for.
        // A full queue of answers stops the reading until the port takes them.
        uint32_t events = WantsInput(&p) ? (uint32_t)EPOLLIN : 0;
        if (!p.s.out.empty() && LayerOutputReady(r, &p))
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
        LayerFlush(r, p);
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
        int n = epoll_pwait(g_epfd, aEv, (int)(sizeof aEv / sizeof aEv[0]), msWait, g_pOrigMask);
        int err = errno;
        for (PORT &p : r->ports) {
            if (n < 0 && err != EINTR && p.io->bWatched) {
                char msg[200];
                snprintf(msg, sizeof msg, "waiting on the port failed: %s", strerror(err));
                EndBoard(r, &p, EXIT_IO, msg);
            }
        }
        for (int i = 0; i < n; i++)
            Dispatch(r, aEv[i]);
    }
    r->bStopping = true;
    for (PORT &p : r->ports)
        InterruptPort(r, &p);
}

} // namespace

bool LayerMakeDirectory(const std::string &path, char *psz, size_t cb)
{
    struct stat st;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        snprintf(psz, cb, "cannot make the directory %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        snprintf(psz, cb, "%s: with several ports --log names a directory", path.c_str());
        return false;
    }
    return true;
}

bool LayerOpenReport(RUN *r, char *psz, size_t cb)
{
    g_reportFd = open(r->o.report.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g_reportFd < 0) {
        snprintf(psz, cb, "%s", strerror(errno));
        return false;
    }
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    r->host = host;
    return true;
}

// One write() on the O_APPEND descriptor, so that records of several
// processes never interleave, then fdatasync.
bool LayerAppendReport(RUN *, const std::string &line, char *psz, size_t cb)
{
    ssize_t n = write(g_reportFd, line.data(), line.size());
    int err = errno;
    // A pipe or a terminal cannot be synced and need not be.
    if (n == (ssize_t)line.size() && (fdatasync(g_reportFd) == 0 || errno == EINVAL))
        return true;
    if (n >= 0 && n != (ssize_t)line.size())
        err = ENOSPC;
    else if (n >= 0)
        err = errno;
    snprintf(psz, cb, "%s", strerror(err));
    return false;
}

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
    g_pOrigMask = &origMask;

    RUN run;
    RUN *r = &run;
    int rc = Prepare(r, argc, argv);
    if (rc < 0) {
        g_epfd = epoll_create1(EPOLL_CLOEXEC);
        if (g_epfd < 0) {
            fprintf(stderr, "kelvo-cli: cannot set up the wait on the ports: %s\n", strerror(errno));
            rc = EXIT_IO;
        }
    }
    if (rc < 0) {
        r->disp.bTty = isatty(2) != 0;
        r->disp.bBlock = r->disp.bTty && r->ports.size() > 1;
        double tNow = NowS();
        for (PORT &p : r->ports)
            BeginPort(r, &p, tNow);
        if (r->o.repeat)
            PrintHeader(r, "board ");
        Serve(r);
        rc = Finish(r);
    }
    for (PORT &p : r->ports) {
        if (p.bOpen)
            LayerClose(r, &p, true);
        if (p.log)
            fclose(p.log);
        delete p.io;
    }
    if (g_reportFd >= 0)
        close(g_reportFd);
    fflush(stdout);
    return rc;
}
