// A POSIX serial port (see serial.h).
#include "serial.h"

#include <cerrno>

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {

const struct { unsigned long rate; speed_t code; } kRates[] = {
    {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000},
};

} // namespace

bool SerialSpeed(unsigned long baud, speed_t *pSpeed)
{
    for (const auto &r : kRates) {
        if (r.rate == baud) {
            *pSpeed = r.code;
            return true;
        }
    }
    return false;
}

unsigned long SerialBaud(speed_t speed)
{
    for (const auto &r : kRates)
        if (r.code == speed)
            return r.rate;
    return 0;
}

bool SerialMakeRaw(int fd, unsigned long baud, SerialFlow flow)
{
    speed_t speed;
    if (!SerialSpeed(baud, &speed)) {
        errno = EINVAL;
        return false;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    if (flow == SERIAL_FLOW_XONXOFF)
        t.c_iflag |= IXON | IXOFF;
    else if (flow == SERIAL_FLOW_RTSCTS)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool SerialGetLines(int fd, int *pBits)
{
    return ioctl(fd, TIOCMGET, pBits) == 0;
}

bool SerialSetLines(int fd, int bits)
{
    return ioctl(fd, TIOCMSET, &bits) == 0;
}

bool SerialRaiseLines(int fd, int bits)
{
    return ioctl(fd, TIOCMBIS, &bits) == 0;
}

bool SerialDropLines(int fd, int bits)
{
    return ioctl(fd, TIOCMBIC, &bits) == 0;
}

bool SerialOutQueued(int fd, int *pBytes)
{
    return ioctl(fd, TIOCOUTQ, pBytes) == 0;
}

void SerialCloseWithoutWaiting(int fd)
{
    struct serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.closing_wait != ASYNC_CLOSING_WAIT_NONE) {
        ss.closing_wait = ASYNC_CLOSING_WAIT_NONE;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
    tcflush(fd, TCIOFLUSH);
}
