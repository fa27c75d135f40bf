// The transcript (--transcript): one line per byte on the line,
// "<ms since start> <T|P> <hex>", and "# ..." comments for the phases, the
// PC's open and close and the line settings it gives the port.

#include "sim.h"

#include <cerrno>
#include <cstring>

#include <termios.h>

#include "posix/serial.h"

namespace sim {

void Target::OpenTranscript()
{
    if (o_.transcript.empty())
        return;
    tr_ = fopen(o_.transcript.c_str(), "w");
    // Line by line, so that whoever watches the transcript (a test
    // waiting for a fault to strike) sees each byte as it happens.
    if (tr_)
        setvbuf(tr_, NULL, _IOLBF, 0);
    if (!tr_)
        Fail(EXIT_IO, Format("cannot write %.300s: %s", o_.transcript.c_str(), strerror(errno)));
}

void Target::FlushTranscript()
{
    if (tr_)
        fflush(tr_);
}

void Target::Comment(const std::string &text)
{
    if (tr_)
        fprintf(tr_, "# %s\n", text.c_str());
}

void Target::Log(char who, uint8_t b)
{
    if (tr_)
        fprintf(tr_, "%ld %c %02X\n", ElapsedMs(), who, b);
}

// Notes in the transcript when the PC opens or closes the pseudo
// terminal, and the line settings it gives it (speed, stop bits, flow
// control) as they change: the first thing to look at when a PC program
// and a target do not talk.
void Target::NotePeer(bool open)
{
    if (!isPty_)
        return;
    if (open != peerOpen_)
        Comment(open ? "the PC opened the port" : "the PC closed the port");
    peerOpen_ = open;
    struct termios t;
    if (!open || tcgetattr(fd_, &t) != 0)      // a master reports its slave's settings
        return;
    long baud = static_cast<long>(SerialBaud(cfgetospeed(&t)));
    const char *flow = (t.c_cflag & CRTSCTS) ? "rts/cts" : (t.c_iflag & (IXON | IXOFF)) ? "xon/xoff" : "none";
    std::string line = Format("line: %ld bit/s, %s, flow %s", baud,
                              (t.c_cflag & CSTOPB) ? "2 stop bits" : "1 stop bit", flow);
    if (line != lastLine_)
        Comment(line);
    lastLine_ = line;
}

}  // namespace sim
