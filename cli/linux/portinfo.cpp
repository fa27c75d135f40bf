// Port identity (see linux.h).
#include "linux.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string DevRoot()
{
    const char *psz = getenv("KELVO_DEV");
    return (psz && *psz) ? psz : "/dev";
}

std::string Real(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// A sysfs attribute's first line, or empty.
std::string Attribute(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return "";
    buf[n] = '\0';
    buf[strcspn(buf, "\n")] = '\0';
    return buf;
}

// The first link in dir that leads to the device target; sorted by name so
// that a port with several gets the same one every time.
std::string LinkTo(const std::string &dir, const std::string &target)
{
    std::string found;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return found;
    while (struct dirent *e = readdir(d)) {
        std::string path = dir + "/" + e->d_name;
        if (e->d_name[0] != '.' && Real(path) == target && (found.empty() || path < found))
            found = path;
    }
    closedir(d);
    return found;
}

} // namespace

PORTID PortIdentify(int fd, const std::string &path)
{
    PORTID id;
    std::string target = Real(path);
    if (!target.empty()) {
        id.stable = LinkTo(DevRoot() + "/serial/by-id", target);
        if (id.stable.empty())
            id.stable = LinkTo(DevRoot() + "/serial/by-path", target);
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return id;
    // The port's device leads to its USB interface (ttyACM) or to a child
    // of it (ttyUSB); the USB device, with idVendor, is a parent of both.
    std::string dir = Real(std::string(SysfsRoot()) + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                           std::to_string(minor(st.st_rdev)) + "/device");
    for (int i = 0; i < 4 && dir.size() > 1; i++, dir = dir.substr(0, dir.rfind('/'))) {
        std::string vendor = Attribute(dir + "/idVendor");
        if (vendor.empty())
            continue;
        id.bUsb = true;
        id.vendor = vendor;
        id.product = Attribute(dir + "/idProduct");
        id.serial = Attribute(dir + "/serial");
        id.manufacturer = Attribute(dir + "/manufacturer");
        id.name = Attribute(dir + "/product");
        break;
    }
    return id;
}
