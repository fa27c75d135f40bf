// kelvo-cli: serves a DLF download file to a target on a serial port, without
// a window, for production lines and scripts.
//
// The file is checked by the very code the download station runs
// (download/dlf.cpp), and every byte from the target goes through the
// station's own protocol step (download/protocol.cpp). This program only
// moves bytes and carries out the effects the step returns.
//
// I/O is event driven: one poll() on the port descriptor (ppoll, so that
// SIGINT and SIGTERM wake it), everything available is read at once, and the
// answers are written as they come.
#include "download/dlf.h"
#include "download/protocol.h"
#include "kelvo_version.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum {
    EXIT_DONE = 0,          // the target reported completion
    EXIT_IO = 1,            // the port could not be opened, read or written
    EXIT_USAGE = 2,         // bad arguments, or a file that cannot be served
    EXIT_TIMEOUT = 3,       // the target stayed silent for --timeout seconds
    EXIT_GONE = 4,          // the device went away during the session
    EXIT_INTERRUPTED = 130  // SIGINT or SIGTERM
};

const char kUsage[] =
    "usage: kelvo-cli [options] PORT FILE.dlf\n"
    "\n"
    "Serves FILE.dlf to a download target on the serial port PORT (for\n"
    "example /dev/ttyUSB0) and exits when the target reports completion.\n"
    "FILE is checked as the download station checks it before the port is\n"
    "opened; a file that fails is refused with the reason dlftool check gives.\n"
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
    "  --timeout S     give up when the target sends nothing for S seconds\n"
    "                  (fractions allowed); also limits --wait-port.\n"
    "                  Default 0: wait for ever\n"
    "  --log FILE      transcript, one line per byte:\n"
    "                    <ms since the port was opened> <T|P> <hex>\n"
    "                  T sent by the target, P by this program; lines starting\n"
    "                  with '#' mark events (blocks, refusals, completion)\n"
    "  --wait-port     wait for PORT to appear (checked every 100 ms)\n"
    "  -h, --help      this text\n"
    "  --version       print the version and exit\n"
    "\n"
    "The line runs 8 data bits, no parity, 1 stop bit; DTR and RTS are raised\n"
    "while the port is open and DTR is dropped before it is closed.\n"
    "Progress goes to stderr: a bar on a terminal, otherwise a line\n"
    "\"progress N%\" at every tenth. At the end stdout gets one line:\n"
    "  served <bytes> bytes in <blocks> blocks, <seconds> s, <rate> B/s\n"
    "(data bytes sent and blocks served, a block the target asked for again\n"
    "counted again; the time runs from the target's first byte to its\n"
    "completion).\n"
    "\n"
    "exit status:\n"
    "  0    the target reported completion\n"
    "  1    I/O error on the port (cannot open, read or write it)\n"
    "  2    usage error, or FILE (or the --log file) cannot be used:\n"
    "       nothing was sent\n"
    "  3    timeout: the target sent nothing for S seconds, or PORT did not\n"
    "       appear within S seconds; the message names the awaited step\n"
    "  4    the device went away during the session (unplugged, hung up)\n"
    "  130  interrupted by SIGINT or SIGTERM (DTR dropped, port closed)\n";

volatile sig_atomic_t g_signal = 0;

void OnSignal(int sig)
{
    g_signal = sig;
}

struct Options {
    unsigned long baud = 115200;
    std::string flow = "xonxoff";
    double timeoutS = 0;
    std::string log;
    bool waitPort = false;
    std::string port;
    std::string file;
};

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

double NowS()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

bool BaudConstant(unsigned long baud, speed_t *pSpeed)
{
    static const struct { unsigned long rate; speed_t code; } aRate[] = {
        {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800},
        {500000, B500000}, {576000, B576000}, {921600, B921600},
        {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000},
    };
    for (const auto &r : aRate) {
        if (r.rate == baud) {
            *pSpeed = r.code;
            return true;
        }
    }
    return false;
}

// Returns -1 when the arguments are fine, else the exit status.
int ParseArgs(int argc, char **argv, Options *o)
{
    std::vector<std::string> positional;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char **pv) {
            if (i + 1 >= argc)
                return false;
            *pv = argv[++i];
            return true;
        };
        const char *v = nullptr;
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            return EXIT_DONE;
        } else if (a == "--version") {
            printf("kelvo-cli %s\n", KELVO_VERSION);
            return EXIT_DONE;
        } else if (a == "--baud") {
            char *end = nullptr;
            if (!value(&v))
                return UsageError("--baud needs a value");
            errno = 0;
            o->baud = strtoul(v, &end, 10);
            speed_t sp;
            if (errno || end == v || *end || !BaudConstant(o->baud, &sp))
                return UsageError("unsupported baud rate '%s'", v);
        } else if (a == "--flow") {
            if (!value(&v))
                return UsageError("--flow needs a value");
            o->flow = v;
            if (o->flow != "none" && o->flow != "xonxoff" && o->flow != "rtscts" && o->flow != "dtrdsr")
                return UsageError("unknown flow control '%s' (none, xonxoff, rtscts, dtrdsr)", v);
        } else if (a == "--timeout") {
            char *end = nullptr;
            if (!value(&v))
                return UsageError("--timeout needs a value");
            o->timeoutS = strtod(v, &end);
            if (end == v || *end || !std::isfinite(o->timeoutS) || o->timeoutS < 0 || o->timeoutS > 1e6)
                return UsageError("bad timeout '%s' (seconds, 0 for none)", v);
        } else if (a == "--log") {
            if (!value(&v))
                return UsageError("--log needs a file name");
            o->log = v;
        } else if (a == "--wait-port") {
            o->waitPort = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return UsageError("unknown option '%s'", a.c_str());
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2)
        return UsageError("expected PORT and FILE.dlf");
    o->port = positional[0];
    o->file = positional[1];
    return -1;
}

// Reads and checks the download file. The whole file, header included, is
// the image that the target's requests address.
int LoadDlf(const std::string &path, std::vector<unsigned char> *pImage)
{
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
    pImage->resize((size_t)info.lTotal);
    size_t n = fread(pImage->data(), 1, pImage->size(), f);
    bool bShort = n != pImage->size();
    fclose(f);
    if (bShort) {
        fprintf(stderr, "kelvo-cli: %s: read %zu of %ld bytes\n", path.c_str(), n, info.lTotal);
        return EXIT_USAGE;
    }
    return -1;
}

// Sleeps up to ms, or less when a blocked SIGINT/SIGTERM arrives.
void SleepInterruptible(const sigset_t *pOrigMask, long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    ppoll(nullptr, 0, &ts, pOrigMask);
}

// Waits until the port path exists. Returns -1 when it does, else the exit status.
int WaitForPort(const Options &o, const sigset_t *pOrigMask)
{
    double t0 = NowS();
    bool bTold = false;
    for (;;) {
        if (access(o.port.c_str(), F_OK) == 0)
            return -1;
        if (g_signal) {
            fprintf(stderr, "kelvo-cli: interrupted while waiting for %s\n", o.port.c_str());
            return EXIT_INTERRUPTED;
        }
        if (o.timeoutS > 0 && NowS() - t0 >= o.timeoutS) {
            fprintf(stderr, "kelvo-cli: timeout: %s did not appear within %g s\n", o.port.c_str(), o.timeoutS);
            return EXIT_TIMEOUT;
        }
        if (!bTold) {
            fprintf(stderr, "kelvo-cli: waiting for %s\n", o.port.c_str());
            bTold = true;
        }
        SleepInterruptible(pOrigMask, 100);
    }
}

// Opens the port raw with the station's line defaults. Returns the
// descriptor, or -1 after printing why.
int OpenPort(const Options &o)
{
    int fd = open(o.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        fprintf(stderr, "kelvo-cli: cannot open %s: %s\n", o.port.c_str(), strerror(err));
        if (err == EACCES)
            fprintf(stderr,
                    "kelvo-cli: serial ports usually belong to the group 'dialout'; add the user to it\n"
                    "  (sudo usermod -aG dialout $USER) and log in again\n");
        return -1;
    }
    // Two programs serving one port would corrupt each other's answers.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        fprintf(stderr, "kelvo-cli: %s is in use by another program\n", o.port.c_str());
        close(fd);
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "kelvo-cli: %s is not a serial port: %s\n", o.port.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    if (o.flow == "xonxoff")
        t.c_iflag |= IXON | IXOFF;
    else if (o.flow == "rtscts")
        t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t speed = B115200;
    BaudConstant(o.baud, &speed);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        fprintf(stderr, "kelvo-cli: cannot set up %s: %s\n", o.port.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    // Whatever arrived before this session is not part of it.
    tcflush(fd, TCIOFLUSH);
    // Pseudo terminals have no modem lines: a failure here is expected there.
    int bits = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &bits);
    return fd;
}

// Progress on stderr: a bar redrawn in place on a terminal, otherwise a
// plain line at every tenth so that logs stay short.
class Progress {
public:
    explicit Progress(uint32_t dwTotal) : dwTotal_(dwTotal), bTty_(isatty(2) != 0) {}

    void Update(int iPercent, uint32_t dwBytes)
    {
        if (bTty_) {
            char bar[33];
            const int kWidth = 30;
            int nFull = iPercent * kWidth / 100;
            bar[0] = '[';
            for (int i = 0; i < kWidth; i++)
                bar[1 + i] = i < nFull ? '#' : '.';
            bar[kWidth + 1] = ']';
            bar[kWidth + 2] = '\0';
            fprintf(stderr, "\r%s %3d%%  %u/%u B", bar, iPercent, dwBytes, dwTotal_);
            bOpenLine_ = true;
        } else if (iPercent / 10 != iLastTenth_) {
            iLastTenth_ = iPercent / 10;
            fprintf(stderr, "progress %d%%\n", iLastTenth_ * 10);
        }
    }

    // Ends a bar line so that a following message starts on a line of its own.
    void Break()
    {
        if (bOpenLine_)
            fputc('\n', stderr);
        bOpenLine_ = false;
    }

private:
    uint32_t dwTotal_;
    bool bTty_;
    bool bOpenLine_ = false;
    int iLastTenth_ = -1;
};

// One download session on an open port.
class Session {
public:
    Session(const Options &o, int fd, const std::vector<unsigned char> &image, FILE *log, const sigset_t *pOrigMask)
        : o_(o), fd_(fd), image_(image), log_(log), pOrigMask_(pOrigMask),
          progress_((uint32_t)image.size())
    {
        DlInit(&state_);
        tOpen_ = NowS();
    }

    int Run()
    {
        fprintf(stderr, "kelvo-cli: serving %s (%zu bytes) on %s at %lu bit/s\n",
                o_.file.c_str(), image_.size(), o_.port.c_str(), o_.baud);
        double tLastRx = tOpen_;
        for (;;) {
            if (g_signal)
                return Fail(EXIT_INTERRUPTED, "interrupted");
            double tNow = NowS();
            long waitMs = -1;
            if (o_.timeoutS > 0) {
                double left = o_.timeoutS - (tNow - tLastRx);
                if (left <= 0) {
                    char msg[200];
                    snprintf(msg, sizeof msg, "timeout: no byte from the target for %g s", o_.timeoutS);
                    return Fail(EXIT_TIMEOUT, msg);
                }
                waitMs = (long)std::ceil(left * 1000);
            }
            struct pollfd p = {fd_, POLLIN, 0};
            if (!out_.empty()) {
                if (OutputReady())
                    p.events |= POLLOUT;
                else if (waitMs < 0 || waitMs > 10)
                    waitMs = 10;    // DSR low: look again soon
            }
            struct timespec ts = {waitMs / 1000, (waitMs % 1000) * 1000000L};
            int r = ppoll(&p, 1, waitMs < 0 ? nullptr : &ts, pOrigMask_);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                return IoError("poll");
            }
            if (r == 0)
                continue;
            if (p.revents & POLLNVAL)
                return IoError("poll");
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                int rc = ReadAvailable(p.revents, &tLastRx);
                if (rc >= 0)
                    return rc;
            }
            if (!out_.empty()) {
                int rc = Flush();
                if (rc >= 0)
                    return rc;
            }
        }
    }

private:
    // Reads what is there and examines every byte. Returns -1 to go on.
    int ReadAvailable(short revents, double *ptLastRx)
    {
        unsigned char buf[512];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n == 0)
            return Fail(EXIT_GONE, "the device went away (end of file on the port)");
        if (n < 0) {
            int err = errno;
            if (err == EAGAIN || err == EINTR) {
                if (revents & (POLLHUP | POLLERR))
                    return Fail(EXIT_GONE, "the device went away (hang-up)");
                return -1;
            }
            if (err == EIO || err == ENXIO || err == ENODEV)
                return Fail(EXIT_GONE, "the device went away (hang-up)");
            return IoError("read");
        }
        double tNow = NowS();
        *ptLastRx = tNow;
        if (tFirstRx_ < 0)
            tFirstRx_ = tNow;
        for (ssize_t i = 0; i < n; i++) {
            Record('T', buf[i]);
            bool bComplete = Examine(buf[i]);
            int rc = Flush();
            if (rc >= 0)
                return rc;
            if (bComplete)
                return Finish();
        }
        return -1;
    }

    // Runs one byte through the protocol step and carries out its effects.
    // True when the target reported completion.
    bool Examine(unsigned char b)
    {
        int iStepBefore = state_.iStep;
        DLSTEP step;
        DlStepByte(&state_, image_.data(), (uint32_t)image_.size(), b, &step);
        // Still in the block after the target's byte: a data byte went out.
        if (iStepBefore == 14 && (state_.iStep == 14 || state_.iStep == 15))
            dwServed_++;
        bool bComplete = false;
        for (int i = 0; i < step.nEffects; i++) {
            const DLEFFECT &e = step.aEffect[i];
            switch (e.kind) {
            case DLE_SEND:
                out_.push_back((unsigned char)e.value);
                break;
            case DLE_PROGRESS:
                progress_.Update((int)e.value, dwServed_);
                break;
            case DLE_BLOCK:
                nBlocks_++;
                Comment("block offset=%u length=%u", state_.dwDataOffset, e.value);
                break;
            case DLE_REFUSED:
                progress_.Break();
                fprintf(stderr, "kelvo-cli: the target asked for bytes past the end of the file"
                        " (offset %u, file %zu bytes): ignored\n", e.value, image_.size());
                Comment("refused request at offset %u: past the end", e.value);
                break;
            case DLE_COMPLETE:
                bComplete = true;
                Comment("complete");
                break;
            }
        }
        return bComplete;
    }

    bool OutputReady() const
    {
        if (o_.flow != "dtrdsr")
            return true;
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0)
            return true;      // no modem lines to ask (pseudo terminal)
        return (bits & TIOCM_DSR) != 0;
    }

    // Writes pending answers as far as the port takes them. -1 to go on.
    int Flush()
    {
        while (!out_.empty() && OutputReady()) {
            ssize_t n = write(fd_, out_.data(), out_.size());
            if (n < 0) {
                int err = errno;
                if (err == EAGAIN || err == EINTR)
                    return -1;
                if (err == EIO || err == ENXIO || err == ENODEV)
                    return Fail(EXIT_GONE, "the device went away (write failed)");
                return IoError("write");
            }
            for (ssize_t i = 0; i < n; i++)
                Record('P', out_[(size_t)i]);
            out_.erase(out_.begin(), out_.begin() + n);
        }
        return -1;
    }

    // The target is done: let the last answer leave the port, then report.
    int Finish()
    {
        double tEnd = NowS();
        // Bounded: a port held off by flow control must not keep us for ever.
        for (int i = 0; i < 200 && !out_.empty(); i++) {
            struct pollfd p = {fd_, POLLOUT, 0};
            struct timespec ts = {0, 10 * 1000000L};
            ppoll(&p, 1, &ts, pOrigMask_);
            int rc = Flush();
            if (rc >= 0)
                return rc;
        }
        int queued = 0;
        for (int i = 0; i < 100 && ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0; i++)
            SleepInterruptible(pOrigMask_, 10);
        progress_.Update(100, dwServed_);
        progress_.Break();
        double t = tFirstRx_ >= 0 ? tEnd - tFirstRx_ : 0;
        double rate = t > 0 ? dwServed_ / t : 0;
        printf("served %u bytes in %d blocks, %.2f s, %.0f B/s\n", dwServed_, nBlocks_, t, rate);
        fflush(stdout);
        return EXIT_DONE;
    }

    int IoError(const char *what)
    {
        char msg[300];
        snprintf(msg, sizeof msg, "%s on the port failed: %s", what, strerror(errno));
        return Fail(EXIT_IO, msg);
    }

    int Fail(int rc, const char *msg)
    {
        progress_.Break();
        fprintf(stderr, "kelvo-cli: %s: %s while %s; served %u of %zu bytes\n",
                o_.port.c_str(), msg, DlStepName(state_.iStep), dwServed_, image_.size());
        Comment("end: %s", msg);
        return rc;
    }

    void Record(char who, unsigned char b)
    {
        if (log_)
            fprintf(log_, "%ld %c %02X\n", ElapsedMs(), who, b);
    }

    void Comment(const char *fmt, ...)
    {
        if (!log_)
            return;
        char msg[256];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(msg, sizeof msg, fmt, ap);
        va_end(ap);
        fprintf(log_, "# %s\n", msg);
    }

    long ElapsedMs() const { return (long)((NowS() - tOpen_) * 1000); }

    const Options &o_;
    int fd_;                                   // owned by main
    const std::vector<unsigned char> &image_;
    FILE *log_;                                // owned by main; may be null
    const sigset_t *pOrigMask_;
    Progress progress_;
    DLSTATE state_;
    std::vector<unsigned char> out_;           // answers not yet taken by the port
    double tOpen_ = 0;
    double tFirstRx_ = -1;
    uint32_t dwServed_ = 0;                    // data bytes sent
    int nBlocks_ = 0;                          // block requests accepted
};

// Drops DTR and closes the port. After a session that broke off, whatever is
// still queued is thrown away so that a half-sent byte cannot reach the next
// session; after a completed one it is not: the queue holds the last answer
// the target waits for (on a pseudo terminal a flush would even discard it
// from the other side's input).
void ClosePort(int fd, bool bDiscard)
{
    int bits = TIOCM_DTR;
    ioctl(fd, TIOCMBIC, &bits);
    if (bDiscard)
        tcflush(fd, TCIOFLUSH);
    close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    // SIGINT and SIGTERM stay blocked except inside ppoll, so a signal can
    // only end a wait, never interrupt a half-done step.
    sigset_t block, origMask;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &origMask);
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigdelset(&origMask, SIGINT);
    sigdelset(&origMask, SIGTERM);

    Options o;
    int rc = ParseArgs(argc, argv, &o);
    if (rc >= 0)
        return rc;

    std::vector<unsigned char> image;
    rc = LoadDlf(o.file, &image);
    if (rc >= 0)
        return rc;

    FILE *log = nullptr;       // owned here; closed last
    if (!o.log.empty()) {
        log = fopen(o.log.c_str(), "w");
        if (!log) {
            fprintf(stderr, "kelvo-cli: cannot write %s: %s\n", o.log.c_str(), strerror(errno));
            return EXIT_USAGE;
        }
    }

    if (o.waitPort)
        rc = WaitForPort(o, &origMask);
    if (rc < 0) {
        int fd = OpenPort(o);  // owned here; closed by ClosePort
        if (fd < 0) {
            rc = EXIT_IO;
        } else {
            Session session(o, fd, image, log, &origMask);
            rc = session.Run();
            ClosePort(fd, rc != EXIT_DONE);
        }
    }
    if (log && fclose(log) != 0)
        fprintf(stderr, "kelvo-cli: writing %s failed: %s\n", o.log.c_str(), strerror(errno));
    return rc;
}
