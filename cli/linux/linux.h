// What kelvo-cli's Linux port layer learns of an adapter from sysfs and
// /dev (usblatency.cpp, portinfo.cpp).
#pragma once
#include "cli/cli.h"

#include <cstddef>
#include <string>

// ---- usblatency.cpp ----------------------------------------------------------

// The latency timer of a USB serial adapter, found in sysfs from an open port.
//
// Such an adapter holds the bytes it receives until its buffer fills or the
// timer runs out (16 ms by default). The download protocol answers every
// byte and waits for the next, so each byte can cost a whole timer period.
// kelvo-cli reports the timer and can lower it to 1 ms for its run.
//
// The sysfs root is /sys, or the directory named by KELVO_SYSFS (the tests
// build a fake tree there). The attribute is found through the port's device
// number: <root>/dev/char/MAJOR:MINOR/device/latency_timer, the same file as
// /sys/bus/usb-serial/devices/ttyUSBn/latency_timer, whatever name or link the
// port was opened by.

struct USBLATENCY {
    char szPath[512];   // the sysfs attribute; empty when the port has none
    char szName[64];    // the adapter's name in sysfs, for advice ("ttyUSB0")
    int msFound;        // the timer when the port was opened
    bool bLowered;      // set to 1 ms by this program: restore msFound
};

// Looks up the timer of the device behind the open descriptor fd. False when
// it has none (not a USB serial adapter, a pseudo terminal) or it cannot be read.
bool UsbLatencyFind(int fd, USBLATENCY *pl);

// The sysfs root: /sys, or $KELVO_SYSFS.
const char *SysfsRoot();

// Writes ms into the attribute. On failure returns false with errno set.
bool UsbLatencyWrite(const USBLATENCY *pl, int ms);

// How to make 1 ms stick without this program (udev rule, or a command that
// lasts until the adapter is unplugged), several indented lines.
void UsbLatencyAdvice(const USBLATENCY *pl, char *psz, size_t cb);

// ---- portinfo.cpp ------------------------------------------------------------

// Who a port is, for the per-board record: the name that stays with the
// adapter (a link in /dev/serial/by-id or by-path) and, for a USB adapter,
// its vendor, product and serial number from sysfs.
//
// /dev is $KELVO_DEV when set, and sysfs the root SysfsRoot() names: the
// tests build both trees.

// Looks the open port fd, opened as path, up (PORTID is the core's).
PORTID PortIdentify(int fd, const std::string &path);
