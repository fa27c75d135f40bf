// The latency timer of a USB serial adapter in sysfs (see linux.h).
#include "linux.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

const char *SysfsRoot()
{
    const char *psz = getenv("KELVO_SYSFS");
    return (psz && *psz) ? psz : "/sys";
}

namespace {

// Reads a small decimal number from a sysfs attribute; -1 when it cannot.
int ReadNumber(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[32];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    char *end = nullptr;
    long v = strtol(buf, &end, 10);
    if (end == buf || v < 0 || v > INT_MAX)
        return -1;
    return (int)v;
}

} // namespace

bool UsbLatencyFind(int fd, USBLATENCY *pl)
{
    memset(pl, 0, sizeof *pl);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    char dev[400];
    snprintf(dev, sizeof dev, "%s/dev/char/%u:%u/device", SysfsRoot(),
             major(st.st_rdev), minor(st.st_rdev));
    snprintf(pl->szPath, sizeof pl->szPath, "%s/latency_timer", dev);
    pl->msFound = ReadNumber(pl->szPath);
    if (pl->msFound < 0) {
        pl->szPath[0] = '\0';
        return false;
    }
    // The device link leads to the adapter's own directory, named as the
    // kernel names the port (ttyUSB0).
    char real[PATH_MAX];
    const char *name = realpath(dev, real) ? strrchr(real, '/') + 1 : "ttyUSB0";
    snprintf(pl->szName, sizeof pl->szName, "%s", name);
    return true;
}

bool UsbLatencyWrite(const USBLATENCY *pl, int ms)
{
    int fd = open(pl->szPath, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[16];
    int n = snprintf(buf, sizeof buf, "%d\n", ms);
    ssize_t w = write(fd, buf, (size_t)n);
    int err = w < 0 ? errno : EIO;
    if (close(fd) != 0 && w == n)
        return false;
    if (w != n) {
        errno = err;
        return false;
    }
    return true;
}

void UsbLatencyAdvice(const USBLATENCY *pl, char *psz, size_t cb)
{
    snprintf(psz, cb,
             "  for this boot, until the adapter is unplugged:\n"
             "    echo 1 | sudo tee /sys/bus/usb-serial/devices/%s/latency_timer\n"
             "  to make it stick, a udev rule in /etc/udev/rules.d/99-usb-serial-latency.rules:\n"
             "    ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"\n"
             "  then 'sudo udevadm control --reload' and plug the adapter in again",
             pl->szName);
}
