// A POSIX serial port as the host programs use it: kelvo-cli serving
// targets, dlfsim playing one on a device, the bench's floor loop. The baud
// table, raw mode and the modem lines, in one place.
#pragma once
#include <sys/ioctl.h>   // the TIOCM_* bits
#include <termios.h>

enum SerialFlow { SERIAL_FLOW_NONE, SERIAL_FLOW_XONXOFF, SERIAL_FLOW_RTSCTS };

// The termios speed for baud bit/s; false when there is none.
bool SerialSpeed(unsigned long baud, speed_t *pSpeed);

// The rate a termios speed stands for; 0 when the table has none.
unsigned long SerialBaud(speed_t speed);

// Puts the open port fd in raw mode: 8 data bits, no parity, 1 stop bit,
// the receiver on, the carrier line ignored, a read returning as soon as
// one byte is there; at baud (a rate SerialSpeed knows) with flow control
// flow. False with errno set.
bool SerialMakeRaw(int fd, unsigned long baud, SerialFlow flow);

// The modem lines as TIOCM_* bits. Each returns false with errno set where
// the port has no lines to drive or report (a pseudo terminal: ENOTTY).
bool SerialGetLines(int fd, int *pBits);
bool SerialSetLines(int fd, int bits);
bool SerialRaiseLines(int fd, int bits);
bool SerialDropLines(int fd, int bits);

// Bytes written but not yet sent by the port; false where it cannot tell.
bool SerialOutQueued(int fd, int *pBytes);

// Makes the port's close discard what is still queued instead of waiting
// for it (a USB serial driver waits its closing_wait, 30 s by default, for
// output that flow control holds). Where the driver keeps no such wait,
// nothing happens.
void SerialCloseWithoutWaiting(int fd);
