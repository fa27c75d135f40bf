// rigpc: the least PC side for the line rig's tests. It opens ports, drives
// their modem lines, serves a download on one and closes them, reporting
// each step on stdout. Run with libkelvo-rig.so preloaded and KELVO_RIG set,
// it plays on pseudo terminals what a program does on USB serial ports.
//
//   rigpc [--retry MS] PORT[,PORT...] STEP...
//
// The ports are opened first (raw, non-blocking), each as "open N: ok" or
// "open N: <error>" (N counts from 1); with --retry an open refused with
// EACCES is tried again every 10 ms for up to MS ms. Then the steps, in
// order:
//   dtr=0|1, rts=0|1  a line of every port; the lines of consecutive steps
//                     are set together, with one TIOCMGET and one TIOCMSET
//   NNNms             sleep
//   get               the lines TIOCMGET reports on port 1:
//                     "lines: DTR RTS DSR CTS CD", the asserted ones
//   read=MS           wait up to MS ms for a byte on port 1: "rx XX", or
//                     "rx none"
//   serve=FILE        the PC's side of a download of FILE on port 1, every
//                     byte through the protocol step, until the completion:
//                     "served: complete", or "served: <why not>" after 20 s
//                     without a byte or on SIGTERM
//   close             close every port, each from a thread of its own,
//                     started in order: "close N: M ms" as each returns
// SIGTERM ends a read or serve step early, so that the ports are closed as
// a program closes them, not by its death.
// Exit status: 0, 1 when a port could not be opened or a call failed, 2 for
// a step that is not one of these.
#include "core/core.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

volatile sig_atomic_t g_term = 0;
void OnTerm(int) { g_term = 1; }

int Fail(const char *what)
{
    printf("%s: %s\n", what, strerror(errno));
    return 1;
}

// One byte within ms, -1 when none came (or SIGTERM ended the wait).
int ReadByte(int fd, int ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    unsigned char b;
    if (g_term || poll(&p, 1, ms) != 1 || read(fd, &b, 1) != 1)
        return -1;
    return b;
}

const char *Serve(int fd, const char *path)
{
    std::vector<unsigned char> file;
    FILE *f = fopen(path, "rb");
    if (!f)
        return "no file";
    for (int c; (c = fgetc(f)) != EOF;)
        file.push_back(static_cast<unsigned char>(c));
    fclose(f);
    DLSTATE st;
    DlInit(&st);
    for (;;) {
        int b = ReadByte(fd, 20000);
        if (b < 0)
            return g_term ? "interrupted" : "no byte for 20 s";
        DLSTEP step;
        DlStepByte(&st, file.data(), static_cast<uint32_t>(file.size()), static_cast<unsigned char>(b), &step);
        for (int e = 0; e < step.nEffects; e++) {
            if (step.aEffect[e].kind == DLE_SEND) {
                unsigned char out = static_cast<unsigned char>(step.aEffect[e].value);
                struct pollfd p = {fd, POLLOUT, 0};
                while (write(fd, &out, 1) != 1) {
                    if (errno != EAGAIN || poll(&p, 1, 20000) != 1)
                        return "the answer could not be written";
                }
            }
            if (step.aEffect[e].kind == DLE_COMPLETE)
                return "complete";
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnTerm;
    sigaction(SIGTERM, &sa, nullptr);   // no SA_RESTART: a wait ends with EINTR

    int i = 1;
    long retryMs = 0;
    if (i + 1 < argc && strcmp(argv[i], "--retry") == 0) {
        retryMs = atol(argv[i + 1]);
        i += 2;
    }
    if (i >= argc) {
        fprintf(stderr, "usage: rigpc [--retry MS] PORT[,PORT...] STEP...\n");
        return 2;
    }
    std::vector<int> fds;
    std::string ports = argv[i++];
    for (size_t pos = 0; pos <= ports.size();) {
        size_t comma = ports.find(',', pos);
        if (comma == std::string::npos)
            comma = ports.size();
        std::string port = ports.substr(pos, comma - pos);
        pos = comma + 1;
        long long giveUp = NowMs() + retryMs;
        int fd;
        while ((fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) < 0 && errno == EACCES && NowMs() < giveUp)
            SleepMs(10);
        std::string what = "open " + std::to_string(fds.size() + 1);
        if (fd < 0)
            return Fail(what.c_str());
        printf("%s: ok\n", what.c_str());
        struct termios t;
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        fds.push_back(fd);
    }

    int set = 0, clear = 0;    // lines of the steps not yet applied
    for (; i <= argc; i++) {
        std::string s = i < argc ? argv[i] : "";
        if (s.size() == 5 && (s.compare(0, 4, "dtr=") == 0 || s.compare(0, 4, "rts=") == 0) &&
            (s[4] == '0' || s[4] == '1')) {
            int bit = s[0] == 'd' ? TIOCM_DTR : TIOCM_RTS;
            set = s[4] == '1' ? set | bit : set & ~bit;
            clear = s[4] == '0' ? clear | bit : clear & ~bit;
            continue;
        }
        if (set || clear) {
            for (int fd : fds) {
                int bits;
                if (ioctl(fd, TIOCMGET, &bits) != 0)
                    return Fail("TIOCMGET");
                bits = (bits | set) & ~clear;
                if (ioctl(fd, TIOCMSET, &bits) != 0)
                    return Fail("TIOCMSET");
            }
            set = clear = 0;
        }
        if (i == argc) {
            break;
        } else if (s.size() > 2 && s.compare(s.size() - 2, 2, "ms") == 0) {
            SleepMs(atol(s.c_str()));
        } else if (s == "get") {
            int bits;
            if (ioctl(fds[0], TIOCMGET, &bits) != 0)
                return Fail("TIOCMGET");
            printf("lines:%s%s%s%s%s\n", bits & TIOCM_DTR ? " DTR" : "", bits & TIOCM_RTS ? " RTS" : "",
                   bits & TIOCM_DSR ? " DSR" : "", bits & TIOCM_CTS ? " CTS" : "", bits & TIOCM_CD ? " CD" : "");
        } else if (s.compare(0, 5, "read=") == 0) {
            int b = ReadByte(fds[0], atoi(s.c_str() + 5));
            if (b >= 0)
                printf("rx %02X\n", b);
            else
                printf("rx none\n");
        } else if (s.compare(0, 6, "serve=") == 0) {
            printf("served: %s\n", Serve(fds[0], s.c_str() + 6));
        } else if (s == "close") {
            std::vector<std::thread> closers;
            for (size_t n = 0; n < fds.size(); n++) {
                closers.emplace_back([n, &fds] {
                    long long t0 = NowMs();
                    int rc = close(fds[n]);
                    printf("close %zu: %s%lld ms\n", n + 1, rc == 0 ? "" : "failed, ", NowMs() - t0);
                });
            }
            for (std::thread &t : closers)
                t.join();
            fds.clear();
        } else {
            fprintf(stderr, "rigpc: unknown step %s\n", s.c_str());
            return 2;
        }
    }
    return 0;
}
