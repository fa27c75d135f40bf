// Claiming a pseudo terminal's slave as the controlling terminal of a helper
// process, for dlfsim's line (line.cpp). Plain POSIX, header only.
//
// A session leader without a controlling terminal that opens a tty without
// O_NOCTTY adopts it. The wineserver is such a leader and opens COM ports
// itself: it would get SIGHUP when the master closes (a debug wineserver then
// dumps its object table to stderr), and with ISIG set the PC's data bytes
// could signal it. A tty belongs to one session at most, so a child in a
// session of its own claims the slave first. It closes the slave again at
// once (the master still sees the port as closed until the PC opens it),
// ignores the hangup and job-control signals, and is killed by its owner or
// by the kernel when the owner dies.
#ifndef KELVO_SIM_PTYCLAIM_H
#define KELVO_SIM_PTYCLAIM_H

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

enum class PtyClaim {
    Claimed,     // the helper holds the slave as its controlling terminal
    PipeFailed,  // no helper; errno says why
    ForkFailed,  // no helper; errno says why
    NotClaimed   // the helper runs but could not take the slave
};

// Starts the helper for the slave at slavePath. master is the pty's master
// descriptor: the helper closes its copy, else closing the master in the
// owner would not end the pty. *holder receives the helper's pid whenever one
// was started (NotClaimed included), else -1, before the claim is awaited,
// so that a signal handler can already kill it; the caller kills and reaps it.
inline PtyClaim ClaimPtyInHelper(const char *slavePath, int master, volatile pid_t *holder)
{
    *holder = -1;
    int ready[2];
    if (pipe(ready) != 0)
        return PtyClaim::PipeFailed;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(ready[0]);
        close(ready[1]);
        errno = err;
        return PtyClaim::ForkFailed;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(0);
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE, SIGALRM})
            signal(sig, SIG_IGN);
        signal(SIGTERM, SIG_DFL);
        alarm(0);
        close(ready[0]);
        close(master);
        // Nor does it keep the owner's stdout or stderr open past the owner.
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2)
                close(null);
        }
        char ok = '0';
        if (setsid() >= 0) {
            int s = open(slavePath, O_RDWR);
            if (s >= 0) {
                ioctl(s, TIOCSCTTY, 0);
                if (tcgetsid(s) == getpid())
                    ok = '1';
                close(s);
            }
        }
        if (write(ready[1], &ok, 1) != 1)
            _exit(1);
        close(ready[1]);
        for (;;)
            pause();
    }
    *holder = pid;
    close(ready[1]);
    char ok = '0';
    ssize_t n;
    do
        n = read(ready[0], &ok, 1);
    while (n < 0 && errno == EINTR);
    close(ready[0]);
    return n == 1 && ok == '1' ? PtyClaim::Claimed : PtyClaim::NotClaimed;
}

#endif
