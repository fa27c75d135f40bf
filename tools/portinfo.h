// Who a port is, for the per-board record: the name that stays with the
// adapter (a link in /dev/serial/by-id or by-path) and, for a USB adapter,
// its vendor, product and serial number from sysfs.
//
// /dev is $KELVO_DEV when set, and sysfs the root usblatency.h names: the
// tests build both trees.
#pragma once
#include <string>

struct PORTID {
    std::string stable;          // by-id link, else by-path link, else empty
    bool bUsb = false;           // the fields below were found
    std::string vendor, product; // idVendor, idProduct: four hex digits each
    std::string serial, manufacturer, name;   // empty where the device has none
};

// Looks the open port fd, opened as path, up.
PORTID PortIdentify(int fd, const std::string &path);
