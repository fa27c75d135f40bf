/* libkelvo-rig.so: gives pseudo terminal slaves the modem lines and the
 * open and close behaviour of a USB serial port, for the tests. Preloaded
 * (LD_PRELOAD) into the PC-side program, it acts only while the environment
 * variable KELVO_RIG names a directory; otherwise every call goes straight
 * to the C library.
 *
 * It concerns only pty slaves (character devices of major 136..143), each
 * keyed by its device number: the files in the rig directory are named
 * <major>.<minor>.<what>.
 *
 *   lines  DTR and RTS as this process drives them: one line per change,
 *          "<CLOCK_MONOTONIC microseconds> <dtr 0|1> <rts 0|1>\n", appended
 *          with a single write(). An open logs "1 1" (a serial port's open
 *          raises both lines) before the kernel opens the device, so that
 *          whoever sees the port open finds the line already there; the
 *          close of the process's last descriptor on it logs "0 0".
 *   deny   while it exists, opening the device fails with EACCES, as a
 *          node does before udev has given it its group.
 *   hang   a decimal number of milliseconds that close() of the device
 *          sleeps before it closes, as a USB serial driver's close waits
 *          for output that XOFF holds back.
 *
 * TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on a pty slave are served here
 * and never reach the kernel (which answers ENOTTY): DTR and RTS are kept per
 * device for the process, DSR, CTS and CD always read as asserted.
 *
 * What it sees are the program's calls of open, open64, openat, openat64
 * (and their _FORTIFY_SOURCE forms), close and ioctl; the C library's own
 * opens and closes, fopen's and fclose's among them, pass it by. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

typedef int (*OpenFn)(const char *, int, ...);
typedef int (*OpenatFn)(int, const char *, int, ...);
typedef int (*CloseFn)(int);
typedef int (*IoctlFn)(int, unsigned long, ...);

static struct {
    OpenFn open, open64;
    OpenatFn openat, openat64;
    CloseFn close;
    IoctlFn ioctl;
    char dir[4096]; /* empty: the rig is off */
} g_real;

static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

/* DTR and RTS of each pty slave this process has touched. */
struct Lines {
    dev_t dev;
    int dtr, rts;
};
static struct Lines *g_lines;
static size_t g_nLines;

static void Resolve(void)
{
    g_real.open = (OpenFn)dlsym(RTLD_NEXT, "open");
    g_real.open64 = (OpenFn)dlsym(RTLD_NEXT, "open64");
    g_real.openat = (OpenatFn)dlsym(RTLD_NEXT, "openat");
    g_real.openat64 = (OpenatFn)dlsym(RTLD_NEXT, "openat64");
    g_real.close = (CloseFn)dlsym(RTLD_NEXT, "close");
    g_real.ioctl = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
    if (!g_real.open64)
        g_real.open64 = g_real.open;
    if (!g_real.openat64)
        g_real.openat64 = g_real.openat;
    const char *dir = getenv("KELVO_RIG");
    struct stat st;
    if (dir && *dir && strlen(dir) < sizeof g_real.dir && stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
        strcpy(g_real.dir, dir);
}

static int Active(void)
{
    pthread_once(&g_once, Resolve);
    return g_real.dir[0] != 0;
}

static int IsPtySlave(const struct stat *st)
{
    return S_ISCHR(st->st_mode) && major(st->st_rdev) >= 136 && major(st->st_rdev) <= 143;
}

static void RigPath(char *buf, size_t size, dev_t dev, const char *what)
{
    snprintf(buf, size, "%s/%u.%u.%s", g_real.dir, major(dev), minor(dev), what);
}

static int RigFileExists(dev_t dev, const char *what)
{
    char path[4200];
    struct stat st;
    RigPath(path, sizeof path, dev, what);
    return stat(path, &st) == 0;
}

/* The milliseconds in the device's hang file, 0 without one. */
static long HangMs(dev_t dev)
{
    char path[4200], buf[32];
    RigPath(path, sizeof path, dev, "hang");
    int fd = g_real.open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    g_real.close(fd);
    if (n <= 0)
        return 0;
    buf[n] = 0;
    long ms = strtol(buf, NULL, 10);
    return ms > 0 ? ms : 0;
}

/* The entry of dev; g_lock held. Null only when memory runs out. */
static struct Lines *LinesOf(dev_t dev)
{
    for (size_t i = 0; i < g_nLines; i++)
        if (g_lines[i].dev == dev)
            return &g_lines[i];
    struct Lines *grown = realloc(g_lines, (g_nLines + 1) * sizeof *g_lines);
    if (!grown)
        return NULL;
    g_lines = grown;
    g_lines[g_nLines].dev = dev;
    g_lines[g_nLines].dtr = 0;
    g_lines[g_nLines].rts = 0;
    return &g_lines[g_nLines++];
}

/* Sets the lines and logs them, if they changed or always is set; g_lock held. */
static void SetLines(struct Lines *l, int dtr, int rts, int always)
{
    if (!always && l->dtr == dtr && l->rts == rts)
        return;
    l->dtr = dtr;
    l->rts = rts;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char path[4200], line[64];
    RigPath(path, sizeof path, l->dev, "lines");
    int n = snprintf(line, sizeof line, "%lld %d %d\n",
                     (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000, dtr, rts);
    int fd = g_real.open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)n) != n) {
        /* The log is the rig's only output; a test that reads it sees the gap. */
    }
    g_real.close(fd);
}

/* Whether the process still has a descriptor other than except on dev. */
static int OtherDescriptorOn(dev_t dev, int except)
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return 0;
    int found = 0, own = dirfd(d);
    struct dirent *e;
    while (!found && (e = readdir(d)) != NULL) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        int fd = atoi(e->d_name);
        struct stat st;
        if (fd != except && fd != own && fstat(fd, &st) == 0 && IsPtySlave(&st) && st.st_rdev == dev)
            found = 1;
    }
    closedir(d);
    return found;
}

/* The device an open would reach, when it is a pty slave the rig serves. */
static int RiggedTarget(int dirfd, const char *path, int flags, dev_t *dev)
{
    struct stat st;
    if (!Active() || (flags & O_PATH) || !path || fstatat(dirfd, path, &st, 0) != 0 || !IsPtySlave(&st))
        return 0;
    *dev = st.st_rdev;
    return 1;
}

/* Opens through the real call, with the rig's denial and line log around it. */
static int RiggedOpen(int dirfd, const char *path, int flags, mode_t mode, int at, OpenFn real, OpenatFn realAt)
{
    dev_t dev;
    if (!RiggedTarget(dirfd, path, flags, &dev))
        return at ? realAt(dirfd, path, flags, mode) : real(path, flags, mode);
    if (RigFileExists(dev, "deny")) {
        errno = EACCES;
        return -1;
    }
    pthread_mutex_lock(&g_lock);
    struct Lines *l = LinesOf(dev);
    int dtr = l ? l->dtr : 0, rts = l ? l->rts : 0;
    if (l)
        SetLines(l, 1, 1, 1);
    int fd = at ? realAt(dirfd, path, flags, mode) : real(path, flags, mode);
    if (fd < 0 && l) {
        int err = errno;
        SetLines(l, dtr, rts, 0);
        errno = err;
    }
    pthread_mutex_unlock(&g_lock);
    return fd;
}

static mode_t ModeArg(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    pthread_once(&g_once, Resolve);
    return RiggedOpen(AT_FDCWD, path, flags, mode, 0, g_real.open, NULL);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    pthread_once(&g_once, Resolve);
    return RiggedOpen(AT_FDCWD, path, flags, mode, 0, g_real.open64, NULL);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    pthread_once(&g_once, Resolve);
    return RiggedOpen(dirfd, path, flags, mode, 1, NULL, g_real.openat);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    pthread_once(&g_once, Resolve);
    return RiggedOpen(dirfd, path, flags, mode, 1, NULL, g_real.openat64);
}

/* What a program built with _FORTIFY_SOURCE calls for an open without a mode. */
int __open_2(const char *path, int flags) { return open(path, flags); }
int __open64_2(const char *path, int flags) { return open64(path, flags); }
int __openat_2(int dirfd, const char *path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char *path, int flags) { return openat64(dirfd, path, flags); }

int close(int fd)
{
    struct stat st;
    if (!Active() || fstat(fd, &st) != 0 || !IsPtySlave(&st))
        return g_real.close(fd);
    /* The wait happens with the port still open and without the lock, so
     * that a close on another thread, of another port, goes on meanwhile. */
    long ms = HangMs(st.st_rdev);
    if (ms > 0) {
        struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
    pthread_mutex_lock(&g_lock);
    int rc = g_real.close(fd), err = errno;
    if (rc == 0 && !OtherDescriptorOn(st.st_rdev, fd)) {
        struct Lines *l = LinesOf(st.st_rdev);
        if (l)
            SetLines(l, 0, 0, 1);
    }
    pthread_mutex_unlock(&g_lock);
    errno = err;
    return rc;
}

/* The modem-line requests on a pty slave, answered from the kept state. */
static int ModemIoctl(int fd, unsigned long request, int *arg)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !IsPtySlave(&st))
        return -2;
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    pthread_mutex_lock(&g_lock);
    struct Lines *l = LinesOf(st.st_rdev);
    if (!l) {
        pthread_mutex_unlock(&g_lock);
        errno = ENOMEM;
        return -1;
    }
    int bits = (l->dtr ? TIOCM_DTR : 0) | (l->rts ? TIOCM_RTS : 0);
    switch (request) {
    case TIOCMGET:
        *arg = bits | TIOCM_DSR | TIOCM_CTS | TIOCM_CD;
        pthread_mutex_unlock(&g_lock);
        return 0;
    case TIOCMSET: bits = *arg; break;
    case TIOCMBIS: bits |= *arg; break;
    default: bits &= ~*arg; break;       /* TIOCMBIC */
    }
    SetLines(l, (bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0, 0);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (Active() && (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC)) {
        int rc = ModemIoctl(fd, request, (int *)arg);
        if (rc != -2)
            return rc;
    }
    return g_real.ioctl(fd, request, arg);
}
