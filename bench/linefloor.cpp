// linefloor: the least a program can do to serve several targets at once,
// for comparison with kelvo-cli in bench/line.sh. One epoll set of all ports;
// each received byte goes through the same protocol step and its answers are
// written at once. No time-outs, logs, progress, modem lines or error
// reports: what it costs is the pseudo terminals' and the step's own cost.
//
//   linefloor FILE.dlf PORT [PORT...]
//
// Prints "served BYTES bytes in SECONDS s" per port (the time from the
// target's first byte to its completion) and exits 0 when every target
// completed, 1 otherwise.
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "core/core.h"
#include "posix/serial.h"

struct LINE {
    const char *name;
    int fd;
    DLSTATE state;
    unsigned long served;
    double tFirst, tEnd;
    bool bDone;
};

static double Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: linefloor FILE.dlf PORT [PORT...]\n");
        return 2;
    }
    FILE *f = fopen(argv[1], "rb");
    if (!f) {
        perror(argv[1]);
        return 2;
    }
    std::vector<unsigned char> image;
    unsigned char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        image.insert(image.end(), chunk, chunk + n);
    fclose(f);

    int ep = epoll_create1(0);
    std::vector<LINE> lines((size_t)argc - 2);
    for (size_t i = 0; i < lines.size(); i++) {
        LINE &l = lines[i];
        l.name = argv[i + 2];
        l.fd = open(l.name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (l.fd < 0 || !SerialMakeRaw(l.fd, 115200, SERIAL_FLOW_NONE)) {
            perror(l.name);
            return 1;
        }
        DlInit(&l.state);
        l.served = 0;
        l.tFirst = -1;
        l.bDone = false;
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u32 = (uint32_t)i;
        epoll_ctl(ep, EPOLL_CTL_ADD, l.fd, &ev);
    }

    size_t nOpen = lines.size();
    int rc = 0;
    struct epoll_event aEv[64];
    while (nOpen > 0) {
        int nReady = epoll_wait(ep, aEv, 64, -1);
        for (int k = 0; k < nReady; k++) {
            LINE &l = lines[aEv[k].data.u32];
            if (l.bDone)
                continue;
            unsigned char buf[512];
            ssize_t got = read(l.fd, buf, sizeof buf);
            bool bEnd = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
            if (got > 0 && l.tFirst < 0)
                l.tFirst = Now();
            for (ssize_t b = 0; b < got && !bEnd; b++) {
                int iBefore = l.state.iStep;
                DLSTEP step;
                DlStepByte(&l.state, image.data(), (uint32_t)image.size(), buf[b], &step);
                if (iBefore == 14 && (l.state.iStep == 14 || l.state.iStep == 15))
                    l.served++;
                for (int e = 0; e < step.nEffects; e++) {
                    if (step.aEffect[e].kind == DLE_SEND) {
                        unsigned char c = (unsigned char)step.aEffect[e].value;
                        ssize_t put;
                        while ((put = write(l.fd, &c, 1)) < 0 && (errno == EAGAIN || errno == EINTR)) {
                        }
                        bEnd = bEnd || put != 1;    // the target went away
                    } else if (step.aEffect[e].kind == DLE_COMPLETE) {
                        l.tEnd = Now();
                        l.bDone = true;
                        bEnd = true;
                    }
                }
            }
            if (bEnd) {
                if (!l.bDone) {
                    fprintf(stderr, "%s: the target went away\n", l.name);
                    rc = 1;
                    l.bDone = true;
                    l.tEnd = Now();
                }
                epoll_ctl(ep, EPOLL_CTL_DEL, l.fd, nullptr);
                nOpen--;
            }
        }
    }
    // The last answers are still on their way to the targets: they leave the
    // queue before the ports are closed.
    for (LINE &l : lines) {
        tcdrain(l.fd);
        close(l.fd);
        printf("%s served %lu bytes in %.2f s\n", l.name, l.served, l.tFirst < 0 ? 0 : l.tEnd - l.tFirst);
    }
    return rc;
}
