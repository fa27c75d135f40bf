// What kelvo-cli's Windows port layer learns of an adapter from the
// registry (adapter.cpp).
#pragma once
#include "cli/cli.h"

#include <cstddef>

// ---- adapter.cpp -------------------------------------------------------------

// The device behind a COM port, found in the registry from the port's name.
//
// Every device has a key below HKLM\SYSTEM\CurrentControlSet\Enum, named
// <enumerator>\<device id>\<instance>: its device instance ID.
// The driver of a serial port keeps the port's COM name in the value
// PortName of the instance's "Device Parameters" subkey, and the port is
// found by walking Enum three levels deep and reading those values.
//
// The latency timer: a USB serial adapter holds the bytes it receives until
// its buffer fills or a timer runs out (often 16 ms). The download protocol
// answers every byte and waits for the next, so each byte can cost a whole
// timer period. Some drivers keep the timer in the same subkey as the value
// LatencyTimer (REG_DWORD, ms) and read it when the device starts.
// kelvo-cli reports it and can lower it to 1 ms.

// The device behind a COM port, as the registry knows it.
struct WINADAPTER {
    char szInstance[400];   // device instance ID under Enum; empty when not found
    int msLatency;          // LatencyTimer in its Device Parameters; -1 when the driver keeps none
    bool bLowered;          // set to 1 ms by this program: put msLatency back at the end
};

// Finds the device behind port ("COM3" or "\\.\COM12"). False when the registry has none.
// Where several devices name the port (the registry also keeps devices that
// were plugged in once), the one present now is taken.
bool WinAdapterFind(const char *pszPort, WINADAPTER *pa);

// Writes ms as its LatencyTimer. False with the Windows error code in *pdwErr
// (ERROR_ACCESS_DENIED without the rights). A device whose driver keeps no
// LatencyTimer (msLatency -1) is given none: ERROR_FILE_NOT_FOUND.
bool WinLatencyWrite(const WINADAPTER *pa, int ms, unsigned long *pdwErr);

// Where the value is and how to set it for good without this program,
// several indented lines: the registry path, the reg command to run as
// administrator, that the adapter must be plugged in again, and the route
// through Device Manager.
void WinLatencyAdvice(const WINADAPTER *pa, char *psz, size_t cb);

// The port's identity for the record (PORTID from core/core.h): stable = the
// instance ID; bUsb with vendor/product/serial/manufacturer/name when a
// VID_/PID_ pair is found in the device id.
//
// The serial number is read from the instance ID:
//   - enumerator USB (USB\VID_2341&PID_0043\85734323): the instance part,
//     unless it holds a '&' (Windows makes up such an instance, with the
//     device's place on the bus, for a device that has no serial number);
//   - a device id joined by '+' (FTDIBUS\VID_0403+PID_6015+KV0042A\0000):
//     what follows the second '+', less one trailing 'A', the letter the
//     driver appends for the chip's first interface (a second interface's
//     'B' and so on are left as they are); none when it holds a '&'.
// Manufacturer and name are the instance key's Mfg and FriendlyName, with
// an "@file.inf,%key%;" prefix dropped. Empty strings where not found.
PORTID WinPortIdentify(const WINADAPTER *pa);
