// The serial line to the PC: the pseudo terminal (with the helper that
// holds its slave) or a serial device, the PC's open and close, the paced
// line's clock, reading and writing single bytes, and the --link symlink and
// line rig files that outlast the run unless removed.

#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "posix/serial.h"
#include "ptyclaim.h"

namespace sim {

int64_t MonotonicUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Target::Target(const Options &o, const std::vector<uint8_t> &file)
    : o_(o), file_(file), t0_(Clock::now()), lineFree_(t0_),
      charTime_(std::chrono::nanoseconds(o.pace > 0 ? 10LL * 1000000000LL / o.pace : 0))
{
    if (o.pace > 0)
        prctl(PR_SET_TIMERSLACK, 1);            // a character time is some 100 us
}

Target::~Target()
{
    if (fd_ >= 0)
        close(fd_);
    StopHolder();
    if (tr_)
        fclose(tr_);
}

void Target::OpenPty()
{
    fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0)
        Fail(EXIT_IO, Format("cannot create a pseudo terminal: %s", strerror(errno)));
    char name[256];
    if (ptsname_r(fd_, name, sizeof name) != 0)
        Fail(EXIT_IO, "cannot name the pseudo terminal");
    portPath_ = name;
    // Raw mode is set through the slave once; the PC program sets its own
    // termios later. The slave is closed again right away so that the
    // master reports a hangup until the PC opens it.
    int s = open(name, O_RDWR | O_NOCTTY);
    if (s < 0)
        Fail(EXIT_IO, Format("cannot open %.200s: %s", name, strerror(errno)));
    struct termios t;
    if (tcgetattr(s, &t) != 0) {
        close(s);
        Fail(EXIT_IO, "cannot read the pseudo terminal's settings");
    }
    bool raw = SerialMakeRaw(s, 115200, SERIAL_FLOW_NONE);
    close(s);
    if (!raw)
        Fail(EXIT_IO, "cannot set the pseudo terminal to raw mode");
    StartHolder();
    SetNonBlocking();
    isPty_ = true;
}

// Claims the slave for a helper process (see ptyclaim.h) so that the
// wineserver, opening the port, cannot adopt it. holder_ is killed when
// dlfsim ends, or by the kernel if dlfsim dies.
void Target::StartHolder()
{
    switch (ClaimPtyInHelper(portPath_.c_str(), fd_, &holder_)) {
    case PtyClaim::Claimed:
        return;
    case PtyClaim::PipeFailed:
        Fail(EXIT_IO, Format("pipe failed: %s", strerror(errno)));
    case PtyClaim::ForkFailed:
        Fail(EXIT_IO, Format("fork failed: %s", strerror(errno)));
    case PtyClaim::NotClaimed:
        break;
    }
    Fail(EXIT_IO, Format("cannot claim %.200s as a controlling terminal", portPath_.c_str()));
}

void Target::StopHolder()
{
    if (holder_ <= 0)
        return;
    kill(holder_, SIGKILL);
    while (waitpid(holder_, nullptr, 0) < 0 && errno == EINTR) {
    }
    holder_ = -1;
}

void Target::OpenDevice()
{
    speed_t sp;
    if (!SerialSpeed(static_cast<unsigned long>(o_.baud), &sp))
        Fail(EXIT_USAGE, Format("--baud %ld is not a standard rate", o_.baud));
    fd_ = open(o_.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0)
        Fail(EXIT_IO, Format("cannot open %.300s: %s", o_.device.c_str(), strerror(errno)));
    struct termios t;
    if (tcgetattr(fd_, &t) != 0)
        Fail(EXIT_IO, Format("%.300s is not a serial port", o_.device.c_str()));
    SerialFlow flow = o_.xonxoff ? SERIAL_FLOW_XONXOFF : SERIAL_FLOW_NONE;
    if (!SerialMakeRaw(fd_, static_cast<unsigned long>(o_.baud), flow))
        Fail(EXIT_IO, Format("cannot configure %.300s: %s", o_.device.c_str(), strerror(errno)));
    tcflush(fd_, TCIOFLUSH);
    portPath_ = o_.device;
}

void Target::SetNonBlocking()
{
    int fl = fcntl(fd_, F_GETFL);
    if (fl < 0 || fcntl(fd_, F_SETFL, fl | O_NONBLOCK) != 0)
        Fail(EXIT_IO, "cannot make the port non-blocking");
}

// True while nobody has the pty slave open (a device is always "open").
bool Target::PeerClosed()
{
    if (!isPty_)
        return false;
    struct pollfd p = {fd_, POLLIN, 0};
    int rc = poll(&p, 1, 0);
    bool closed = rc > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN);
    if (closed)
        closedSeenUs_ = MonotonicUs();
    return closed;
}

// Waits until the PC has opened the port; only --duration or a signal ends it early.
void Target::WaitOpen(const char *what)
{
    Comment(Format("waiting for the PC to open the port (%s)", what));
    while (PeerClosed()) {
        CheckInterrupted(what);
        CheckDuration(what, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    NotePeer(true);
}

// Whether the PC has closed the port; what it sent is kept for the session.
bool Target::PortClosedNow()
{
    struct pollfd p = {fd_, POLLIN, 0};
    int rc = poll(&p, 1, 0);
    if (rc < 0 && errno != EINTR)
        Fatal("poll");
    if (rc > 0 && (p.revents & POLLIN))
        return ReadAvailable() == kClosed;
    if (rc > 0 && (p.revents & (POLLHUP | POLLERR))) {
        Closed();
        return true;
    }
    return false;
}

void Target::Send(uint8_t b, const char *step)
{
    // Anything already waiting arrived without being asked for.
    int early = Poll(0);
    if (early >= 0)
        Fail(EXIT_MISMATCH, Format("PC sent %02X unprompted before %s", early, step));
    if (early == kClosed)
        Fail(EXIT_MISMATCH, Format("PC closed the port before %s", step));
    if (o_.pace > 0) {
        // The byte goes on the line when the line is free: at once after
        // what came before (the target answers without delay), or now
        // when the line has stood idle for longer than a character. The
        // PC gets it when its last bit has arrived, a character later.
        Clock::time_point now = Clock::now();
        lineStart_ = now - lineFree_ < charTime_ ? lineFree_ : now;
        lineFree_ = lineStart_ + charTime_;
        std::this_thread::sleep_until(lineFree_);
    } else {
        lineStart_ = Clock::now();
    }
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(o_.replyTimeout);
    for (;;) {
        // Taken before each try: the PC cannot have the byte any sooner.
        writeLate_ = Clock::now() - lineFree_;
        ssize_t n = write(fd_, &b, 1);
        if (n == 1)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Clock::now() >= end)
                Fail(EXIT_MISMATCH, Format("PC does not take data (%s)", step));
            struct pollfd p = {fd_, POLLOUT, 0};
            poll(&p, 1, 20);
            continue;
        }
        if (n < 0 && errno == EIO)
            Fail(EXIT_MISMATCH, Format("PC closed the port at %s", step));
        Fail(EXIT_IO, Format("write failed at %s: %s", step, n < 0 ? strerror(errno) : "short write"));
    }
    Log('T', b);
}

// Waits for one byte; fails on timeout or a closed port.
uint8_t Target::Receive(long timeoutMs, const char *step)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        long left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        int b = Poll(static_cast<int>(std::min<long>(std::max<long>(left, 0), 50)));
        if (b >= 0 && o_.pace > 0) {
            // The PC's byte has crossed the line 10 bit times after it was
            // sent, and no sooner than that after the line came free. All
            // the time from this side beginning to write its last byte to
            // the answer arriving here is the PC's, and charged; only how
            // late that write began, past the line's clock, is not.
            lineFree_ = std::max(Clock::now() - writeLate_, lineFree_) + charTime_;
            std::this_thread::sleep_until(lineFree_);
        }
        if (b >= 0)
            return static_cast<uint8_t>(b);
        if (b == kClosed)
            Fail(EXIT_MISMATCH, Format("PC closed the port while %s", step));
        if (g_signal)
            Fail(EXIT_MISMATCH, Format("interrupted while %s", step));
        CheckDuration(step, false);
        if (left <= 0)
            Fail(EXIT_MISMATCH, Format("no answer within %ld ms while %s", timeoutMs, step));
    }
}

// One byte if one arrives within ms, kNothing, or kClosed when the PC
// closed the port (a pty hangup or EIO).
int Target::Poll(int ms)
{
    if (!rx_.empty())
        return Pop();
    struct pollfd p = {fd_, POLLIN, 0};
    int rc = poll(&p, 1, ms);
    if (rc < 0)
        return errno == EINTR ? kNothing : Fatal("poll");
    if (rc == 0)
        return kNothing;
    if (p.revents & POLLIN) {
        int r = ReadAvailable();
        return r > 0 ? Pop() : r;
    }
    if (p.revents & (POLLHUP | POLLERR))
        return Closed();
    return kNothing;
}

// kClosed, noting when the port was last seen closed: whatever the PC
// did to the lines before then belongs to an earlier open.
int Target::Closed()
{
    closedSeenUs_ = MonotonicUs();
    return kClosed;
}

// One step of an unpaced send: waits up to 20 ms for the line, reads what
// the PC sent meanwhile (into rx_), and writes as much of the n bytes at p
// as the line takes, logging them. Returns how many went; *pbClosed tells
// that the PC closed the port.
long Target::WriteUnpaced(const uint8_t *p, size_t n, bool *pbClosed)
{
    *pbClosed = false;
    struct pollfd pfd = {fd_, POLLIN | POLLOUT, 0};
    int rc = poll(&pfd, 1, 20);
    if (rc < 0 && errno != EINTR)
        Fatal("poll");
    if (rc <= 0)
        return 0;
    if (pfd.revents & POLLIN) {
        if (ReadAvailable() == kClosed) {
            *pbClosed = true;
            return 0;
        }
    } else if (pfd.revents & (POLLHUP | POLLERR)) {
        *pbClosed = true;
        return 0;
    }
    if (!(pfd.revents & POLLOUT))
        return 0;
    ssize_t w = write(fd_, p, n);
    if (w < 0 && errno == EIO)
        *pbClosed = true;
    else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        Fatal("write");
    for (ssize_t k = 0; k < w; ++k)
        Log('T', p[k]);
    return w > 0 ? static_cast<long>(w) : 0;
}

// Appends what the PC has sent to rx_: the count, kNothing or kClosed.
int Target::ReadAvailable()
{
    uint8_t buf[256];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            Log('P', buf[i]);
            rx_.push_back(buf[i]);
        }
        return static_cast<int>(n);
    }
    if (n == 0 || errno == EIO)
        return Closed();
    if (errno == EAGAIN || errno == EINTR)
        return kNothing;
    return Fatal("read");
}

int Target::Pop()
{
    int b = rx_.front();
    rx_.pop_front();
    return b;
}

int Target::Fatal(const char *what)
{
    Fail(EXIT_IO, Format("%s failed on %.200s: %s", what, portPath_.c_str(), strerror(errno)));
}

long Target::MsSince(Clock::time_point t)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

bool Target::DurationOver() const
{
    return o_.durationS > 0 && ElapsedMs() >= o_.durationS * 1000;
}

void Target::CheckDuration(const char *what, bool passive)
{
    if (DurationOver())
        Fail(EXIT_MISMATCH, Format("--duration ran out %s%s", passive ? "" : "while ", what));
}

void Target::CheckInterrupted(const char *what)
{
    if (g_signal)
        Fail(EXIT_MISMATCH, Format("interrupted while %s", what));
}

// Reads the lines the rig logged since the last call, feeds them to the
// board and notes each in the transcript; returns how many there were.
int Target::ReadRigLines()
{
    int fd = open(rigLines_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            Fail(EXIT_IO, Format("cannot read %.300s: %s", rigLines_.c_str(), strerror(errno)));
        return 0;
    }
    char buf[4096];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, rigRead_)) > 0) {
        rigPartial_.append(buf, static_cast<size_t>(n));
        rigRead_ += n;
    }
    close(fd);
    int lines = 0;
    for (size_t nl; (nl = rigPartial_.find('\n')) != std::string::npos; rigPartial_.erase(0, nl + 1)) {
        long long t;
        int dtr, rts;
        std::string line = rigPartial_.substr(0, nl);
        if (sscanf(line.c_str(), "%lld %d %d", &t, &dtr, &rts) != 3)
            Fail(EXIT_IO, Format("%.300s: not a line of the rig: \"%.60s\"", rigLines_.c_str(), line.c_str()));
        std::string how = BoardLines(&board_, o_.wiring, t, dtr != 0, rts != 0);
        Comment(Format("lines: DTR %d RTS %d: %s", dtr != 0, rts != 0, how.c_str()));
        ++lines;
    }
    return lines;
}

// Keeps --link pointing at the port for the life of the run.

Link::~Link() { Remove(); }

void Link::Create(const std::string &path, const std::string &target)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            Fail(EXIT_IO, Format("--link: %.300s exists and is not a symlink", path.c_str()));
        if (unlink(path.c_str()) != 0)
            Fail(EXIT_IO, Format("--link: cannot remove %.300s: %s", path.c_str(), strerror(errno)));
    }
    if (symlink(target.c_str(), path.c_str()) != 0)
        Fail(EXIT_IO, Format("--link: cannot create %.300s: %s", path.c_str(), strerror(errno)));
    path_ = path;
    target_ = target;
}

// Only our own link goes: if someone replaced it meanwhile, it stays.
void Link::Remove()
{
    if (path_.empty())
        return;
    char buf[4096];
    ssize_t n = readlink(path_.c_str(), buf, sizeof buf - 1);
    if (n >= 0) {
        buf[n] = '\0';
        if (target_ == buf)
            unlink(path_.c_str());
    }
    path_.clear();
}

Rig::~Rig()
{
    if (timer_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        timer_.join();
    }
    if (!base_.empty()) {
        unlink((base_ + "deny").c_str());
        unlink((base_ + "hang").c_str());
    }
}

// Clears what an earlier pseudo terminal of the same number left and
// makes the files of --deny-open and --hang-close.
void Rig::Setup(const Options &o, const std::string &port)
{
    struct stat st;
    if (stat(port.c_str(), &st) != 0)
        Fail(EXIT_IO, Format("cannot stat %.300s: %s", port.c_str(), strerror(errno)));
    base_ = Format("%.300s/%u.%u.", o.rigDir.c_str(), major(st.st_rdev), minor(st.st_rdev));
    for (const char *what : {"lines", "deny", "hang"})
        if (unlink((base_ + what).c_str()) != 0 && errno != ENOENT)
            Fail(EXIT_IO, Format("--rig: cannot remove %.300s: %s", (base_ + what).c_str(), strerror(errno)));
    if (o.denyOpen >= 0)
        Write("deny", "");
    if (o.hangClose >= 0)
        Write("hang", Format("%ld\n", o.hangClose));
}

// Removes the deny file ms from now.
void Rig::DenyFor(long ms)
{
    timer_ = std::thread([this, ms] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
        unlink((base_ + "deny").c_str());
    });
}

void Rig::Write(const char *what, const std::string &text)
{
    std::string path = base_ + what;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    if (!ok)
        Fail(EXIT_IO, Format("--rig: cannot write %.300s: %s", path.c_str(), strerror(errno)));
}

}  // namespace sim
