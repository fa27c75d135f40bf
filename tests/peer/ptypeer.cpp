// ptypeer: the far end of a serial line for the Windows tests.
//
// It creates a pseudo terminal, points a symlink (a COM port of the Wine
// prefix) at the slave and is then driven over one TCP control connection
// on 127.0.0.1. The Windows test process cannot create ptys or read termios
// itself, but it can start this program and talk TCP to it.
//
//   ptypeer --link PATH --port-file FILE [--lifetime S]
//
// Once ready, the TCP port number is written to FILE (atomically, through
// FILE.tmp and rename). Each command line is answered by exactly one line,
// "OK ..." or "ERR <text>":
//
//   PATH                     OK /dev/pts/K
//   SEND <hex>               OK <bytes written>
//   RECV <max> <timeout_ms>  OK <hex>   first byte within the timeout, then
//                                       until 20 ms of silence or max bytes
//   RECVN <n> <timeout_ms>   OK <hex>   n bytes, or what came before timeout
//   TERMIOS                  OK speed=.. csize=.. parenb=.. parodd=.. cmspar=..
//                               cstopb=.. ixon=.. ixoff=.. crtscts=.. hupcl=..
//                               inpck=.. istrip=..
//                            Linux's pty driver forces CS8 and clears PARENB
//                            on every tcsetattr, so csize is always 8 and
//                            parenb 0; parodd, cmspar and the input flags
//                            inpck and istrip do keep what the PC set.
//   OPENED                   OK 1 if someone holds the slave open, else OK 0
//   WAITOPEN <0|1> <ms>      OK <state now>, after waiting for that state
//   HOLD / RELEASE           OK; while held, RECV and RECVN answer ERR held
//   VANISH                   OK; master closed and link removed
//   FLOOD <n> <hex|random>   OK <bytes written>; random avoids 0x11 and 0x13
//   QUIT                     OK, then exit
//
// Only RECV and RECVN read the master: bytes from the PC stay queued in the
// pty until asked for, so a test that stops asking makes the PC's writes
// block once the pty buffer is full.
//
// The link (and the port file) is removed on every way out: QUIT, the
// control connection closing, SIGTERM/SIGINT/SIGHUP and the lifetime
// (default 600 s) running out, so a crashed test leaves nothing behind.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "../../tools/ptyclaim.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Paths the signal handler needs; fixed buffers so that it only touches
// async-signal-safe calls.
char g_link[4096];
char g_slave[256];
char g_portFile[4096];
volatile sig_atomic_t g_linkLive = 0;
volatile pid_t g_holder = -1;

const int kQuietMs = 20;         // RECV: silence that ends a burst
const long kFloodLimitMs = 30000;
const long kRecvHardCapMs = 30000;
const size_t kMaxTransfer = 16u << 20;

// Removes the link only if it still points at our slave: another peer may
// have taken over the same COM name meanwhile.
void RemoveLink()
{
    if (!g_linkLive)
        return;
    char target[sizeof g_slave];
    ssize_t n = readlink(g_link, target, sizeof target - 1);
    if (n >= 0) {
        target[n] = '\0';
        if (strcmp(target, g_slave) == 0)
            unlink(g_link);
    }
    g_linkLive = 0;
}

void Cleanup()
{
    if (g_holder > 0) {
        kill(g_holder, SIGKILL);
        waitpid(g_holder, nullptr, 0);
        g_holder = -1;
    }
    RemoveLink();
    if (g_portFile[0])
        unlink(g_portFile);
}

void OnSignal(int sig)
{
    Cleanup();
    _exit(sig == SIGALRM ? 3 : 128 + sig);
}

long MsLeft(Clock::time_point deadline)
{
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return d > 0 ? static_cast<long>(d) : 0;
}

void SleepMs(long ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string ToHex(const Bytes &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size() * 2);
    for (uint8_t c : b) {
        s.push_back(digits[c >> 4]);
        s.push_back(digits[c & 15]);
    }
    return s;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool FromHex(const std::string &s, Bytes *out)
{
    if (s.size() % 2)
        return false;
    out->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

// Whole decimal number, nothing else.
bool ParseNum(const std::string &s, long *out)
{
    if (s.empty() || s.size() > 12)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    *out = strtol(s.c_str(), nullptr, 10);
    return true;
}

std::vector<std::string> Split(const std::string &line)
{
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ')
            ++j;
        if (j > i)
            w.push_back(line.substr(i, j - i));
        i = j;
    }
    return w;
}

unsigned SpeedNumber(speed_t s)
{
    static const struct {
        speed_t code;
        unsigned baud;
    } table[] = {
        {B0, 0}, {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200},
        {B300, 300}, {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800},
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B500000, 500000}, {B576000, 576000},
        {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
        {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
        {B4000000, 4000000},
    };
    for (const auto &e : table)
        if (e.code == s)
            return e.baud;
    return static_cast<unsigned>(s);
}

class Peer {
public:
    int master = -1;
    bool held = false;

    bool Open(const std::string &link)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            perror("ptypeer: pty");
            return false;
        }
        const char *name = ptsname(master);
        if (!name || strlen(name) >= sizeof g_slave) {
            fprintf(stderr, "ptypeer: ptsname failed\n");
            return false;
        }
        snprintf(g_slave, sizeof g_slave, "%s", name);

        // Raw mode on the slave, held open only while configuring, so the
        // COM port's own open is the only user afterwards.
        int s = open(g_slave, O_RDWR | O_NOCTTY);
        if (s < 0) {
            perror("ptypeer: open slave");
            return false;
        }
        struct termios t;
        if (tcgetattr(s, &t) != 0) {
            perror("ptypeer: tcgetattr");
            close(s);
            return false;
        }
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        if (tcsetattr(s, TCSANOW, &t) != 0) {
            perror("ptypeer: tcsetattr");
            close(s);
            return false;
        }
        close(s);
        if (!StartHolder())
            return false;

        int fl = fcntl(master, F_GETFL);
        if (fl < 0 || fcntl(master, F_SETFL, fl | O_NONBLOCK) != 0) {
            perror("ptypeer: fcntl");
            return false;
        }

        if (link.size() >= sizeof g_link) {
            fprintf(stderr, "ptypeer: link path too long\n");
            return false;
        }
        snprintf(g_link, sizeof g_link, "%s", link.c_str());
        if (unlink(g_link) != 0 && errno != ENOENT) {
            perror("ptypeer: remove old link");
            return false;
        }
        if (symlink(g_slave, g_link) != 0) {
            perror("ptypeer: symlink");
            return false;
        }
        g_linkLive = 1;
        return true;
    }

    // Claims the slave for a helper process (see ptyclaim.h) so that the
    // wineserver, opening the port, cannot adopt it. g_holder dies with us.
    bool StartHolder()
    {
        if (ClaimPtyInHelper(g_slave, master, &g_holder) != PtyClaim::Claimed) {
            fprintf(stderr, "ptypeer: could not claim the slave as a controlling terminal\n");
            return false;
        }
        return true;
    }

    // POLLHUP on the master means no one holds the slave open.
    bool SlaveOpen() const
    {
        if (master < 0)
            return false;
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 0) < 0)
            return false;
        return !(p.revents & POLLHUP);
    }

    // Reads what is there now. EIO (no one holds the slave) counts as no data.
    bool ReadSome(Bytes *into, size_t max)
    {
        if (into->size() >= max)
            return false;
        uint8_t buf[4096];
        size_t want = max - into->size();
        if (want > sizeof buf)
            want = sizeof buf;
        ssize_t n = read(master, buf, want);
        if (n <= 0)
            return false;
        into->insert(into->end(), buf, buf + n);
        return true;
    }

    // Waits up to ms for bytes from the PC. With the slave closed, poll
    // reports POLLHUP at once, so that case sleeps in small steps instead.
    bool WaitReadable(long ms)
    {
        struct pollfd p = {master, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(ms));
        if (r > 0 && (p.revents & POLLIN))
            return true;
        if (r > 0 && (p.revents & POLLHUP))
            SleepMs(ms < 5 ? ms : 5);
        return false;
    }

    Bytes Recv(size_t max, long timeoutMs)
    {
        Bytes got;
        Clock::time_point start = Clock::now();
        Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
        while (got.empty()) {
            if (WaitReadable(MsLeft(deadline)))
                ReadSome(&got, max);
            if (MsLeft(deadline) == 0 && got.empty()) {
                ReadSome(&got, max);
                if (got.empty())
                    return got;
            }
        }
        Clock::time_point cap = start + std::chrono::milliseconds(timeoutMs + kRecvHardCapMs);
        Clock::time_point quietEnd = Clock::now() + std::chrono::milliseconds(kQuietMs);
        while (got.size() < max && MsLeft(quietEnd) > 0 && MsLeft(cap) > 0) {
            if (WaitReadable(MsLeft(quietEnd)) && ReadSome(&got, max))
                quietEnd = Clock::now() + std::chrono::milliseconds(kQuietMs);
        }
        return got;
    }

    Bytes RecvN(size_t n, long timeoutMs)
    {
        Bytes got;
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n) {
            if (WaitReadable(MsLeft(deadline)))
                ReadSome(&got, n);
            if (MsLeft(deadline) == 0) {
                ReadSome(&got, n);
                break;
            }
        }
        return got;
    }

    // Writes as much of b as the reader takes within limitMs.
    size_t Write(const Bytes &b, long limitMs)
    {
        size_t done = 0;
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
        while (done < b.size()) {
            ssize_t n = write(master, b.data() + done, b.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != EIO)
                break;
            long left = MsLeft(deadline);
            if (left == 0)
                break;
            struct pollfd p = {master, POLLOUT, 0};
            if (poll(&p, 1, static_cast<int>(left < 10 ? left : 10)) > 0 && (p.revents & POLLHUP))
                SleepMs(2);
        }
        return done;
    }

    std::string Termios()
    {
        // On a pty, tcgetattr on the master reports the slave's settings;
        // reopening the slave is the fallback.
        struct termios t;
        if (tcgetattr(master, &t) != 0) {
            int s = open(g_slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (s < 0)
                return "ERR cannot open slave";
            int r = tcgetattr(s, &t);
            close(s);
            if (r != 0)
                return "ERR tcgetattr failed";
        }
        unsigned csize = 8;
        switch (t.c_cflag & CSIZE) {
        case CS5: csize = 5; break;
        case CS6: csize = 6; break;
        case CS7: csize = 7; break;
        default: csize = 8; break;
        }
        char line[320];
        snprintf(line, sizeof line,
                 "OK speed=%u csize=%u parenb=%d parodd=%d cmspar=%d cstopb=%d ixon=%d ixoff=%d "
                 "crtscts=%d hupcl=%d inpck=%d istrip=%d",
                 SpeedNumber(cfgetospeed(&t)), csize, !!(t.c_cflag & PARENB), !!(t.c_cflag & PARODD),
                 !!(t.c_cflag & CMSPAR), !!(t.c_cflag & CSTOPB), !!(t.c_iflag & IXON),
                 !!(t.c_iflag & IXOFF), !!(t.c_cflag & CRTSCTS), !!(t.c_cflag & HUPCL),
                 !!(t.c_iflag & INPCK), !!(t.c_iflag & ISTRIP));
        return line;
    }

    // Returns the reply line; sets *quit for QUIT.
    std::string Handle(const std::string &line, bool *quit)
    {
        std::vector<std::string> w = Split(line);
        if (w.empty())
            return "ERR empty command";
        const std::string &c = w[0];
        long a = 0, b = 0;

        if (c == "QUIT") {
            *quit = true;
            return "OK";
        }
        if (c == "PATH")
            return std::string("OK ") + g_slave;
        if (master < 0)
            return "ERR vanished";

        if (c == "SEND") {
            Bytes data;
            if (w.size() > 2 || !FromHex(w.size() == 2 ? w[1] : std::string(), &data))
                return "ERR bad hex";
            return "OK " + std::to_string(Write(data, 5000));
        }
        if (c == "RECV" || c == "RECVN") {
            if (w.size() != 3 || !ParseNum(w[1], &a) || !ParseNum(w[2], &b) || a < 1 ||
                static_cast<size_t>(a) > kMaxTransfer)
                return "ERR usage: " + c + " <count> <timeout_ms>";
            if (held)
                return "ERR held";
            Bytes got = c == "RECV" ? Recv(static_cast<size_t>(a), b) : RecvN(static_cast<size_t>(a), b);
            return "OK " + ToHex(got);
        }
        if (c == "TERMIOS")
            return Termios();
        if (c == "OPENED")
            return SlaveOpen() ? "OK 1" : "OK 0";
        if (c == "WAITOPEN") {
            if (w.size() != 3 || !ParseNum(w[1], &a) || a > 1 || !ParseNum(w[2], &b))
                return "ERR usage: WAITOPEN <0|1> <timeout_ms>";
            Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(b);
            while (SlaveOpen() != (a == 1) && MsLeft(deadline) > 0)
                SleepMs(5);
            return SlaveOpen() ? "OK 1" : "OK 0";
        }
        if (c == "HOLD") {
            held = true;
            return "OK";
        }
        if (c == "RELEASE") {
            held = false;
            return "OK";
        }
        if (c == "VANISH") {
            close(master);
            master = -1;
            RemoveLink();
            return "OK";
        }
        if (c == "FLOOD") {
            if (w.size() != 3 || !ParseNum(w[1], &a) || static_cast<size_t>(a) > kMaxTransfer)
                return "ERR usage: FLOOD <count> <hex byte|random>";
            Bytes data(static_cast<size_t>(a));
            if (w[2] == "random") {
                std::mt19937 rng(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
                for (auto &x : data) {
                    do
                        x = static_cast<uint8_t>(rng());
                    while (x == 0x11 || x == 0x13);
                }
            } else {
                Bytes v;
                if (!FromHex(w[2], &v) || v.size() != 1)
                    return "ERR bad value";
                std::fill(data.begin(), data.end(), v[0]);
            }
            return "OK " + std::to_string(Write(data, kFloodLimitMs));
        }
        return "ERR unknown command";
    }
};

bool WriteAll(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool WritePortFile(const std::string &file, int port)
{
    std::string tmp = file + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    bool ok = fprintf(f, "%d\n", port) > 0;
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(tmp.c_str(), file.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

int Usage()
{
    fprintf(stderr, "usage: ptypeer --link PATH --port-file FILE [--lifetime S]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string link, portFile;
    long lifetime = 600;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            return Usage();
        std::string v = argv[++i];
        if (a == "--link")
            link = v;
        else if (a == "--port-file")
            portFile = v;
        else if (a == "--lifetime") {
            if (!ParseNum(v, &lifetime) || lifetime < 1)
                return Usage();
        } else
            return Usage();
    }
    if (link.empty() || portFile.empty() || portFile.size() >= sizeof g_portFile)
        return Usage();

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGALRM})
        sigaction(sig, &sa, nullptr);
    alarm(static_cast<unsigned>(lifetime));

    Peer peer;
    if (!peer.Open(link)) {
        Cleanup();
        return 1;
    }

    int ls = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(ls, 1) != 0 ||
        getsockname(ls, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        perror("ptypeer: listen");
        Cleanup();
        return 1;
    }
    if (!WritePortFile(portFile, ntohs(addr.sin_port))) {
        perror("ptypeer: port file");
        Cleanup();
        return 1;
    }
    snprintf(g_portFile, sizeof g_portFile, "%s", portFile.c_str());

    int cs;
    do
        cs = accept(ls, nullptr, nullptr);
    while (cs < 0 && errno == EINTR);
    close(ls);
    if (cs < 0) {
        perror("ptypeer: accept");
        Cleanup();
        return 1;
    }
    int one = 1;
    setsockopt(cs, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::string pending;
    bool quit = false;
    while (!quit) {
        size_t nl = pending.find('\n');
        if (nl == std::string::npos) {
            if (pending.size() > (kMaxTransfer * 2 + 64))
                break;
            char buf[4096];
            ssize_t n = recv(cs, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // control connection closed: the test is gone
            pending.append(buf, static_cast<size_t>(n));
            continue;
        }
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string reply = peer.Handle(line, &quit) + "\n";
        if (!WriteAll(cs, reply))
            break;
    }
    close(cs);
    if (peer.master >= 0)
        close(peer.master);
    Cleanup();
    return 0;
}
