// The scenario: the plan of block requests and the steps the target plays
// from it (handshake, requests, completion), the faults it can put in
// (noise, a flood, a wrong byte, a request past the end, a stop, an XOFF
// hold or pause, a vanishing port, an XOFF at the completion, a held flood)
// and the board whose reset wiring --wiring follows. Run plays one whole run.
//
// Everything is stop-and-wait: one byte out, then the answer is awaited with
// a timeout before the next byte goes out.

#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace sim {

namespace {

const uint32_t kMaxOffset = 0xFFFFFF;        // offsets travel as 24 bits

const int64_t kResetHoldUs = 10000;   // the least reset that starts the board anew

}  // namespace

const char *WiringName(Wiring w)
{
    switch (w) {
    case Wiring::kDtrPulse: return "dtr-pulse";
    case Wiring::kRtsPulse: return "rts-pulse";
    case Wiring::kTwoTransistor: return "two-transistor";
    case Wiring::kNone: break;
    }
    return "none";
}

std::vector<PlanItem> BuildPlan(const Options &o, size_t fileLen)
{
    std::vector<PlanItem> plan;
    if (o.plan.compare(0, 5, "auto:") == 0) {
        long block = NumberArg("--plan auto", o.plan.substr(5), 65535);
        if (block < 1)
            Fail(EXIT_USAGE, "--plan auto:BLOCK needs a block of 1..65535");
        for (size_t off = 0; off < fileLen; off += block) {
            size_t len = std::min<size_t>(block, fileLen - off);
            plan.push_back({static_cast<uint32_t>(off), static_cast<uint32_t>(len)});
        }
    } else {
        size_t pos = 0;
        while (pos <= o.plan.size()) {
            size_t comma = o.plan.find(',', pos);
            if (comma == std::string::npos)
                comma = o.plan.size();
            std::string item = o.plan.substr(pos, comma - pos);
            size_t colon = item.find(':');
            if (colon == std::string::npos)
                Fail(EXIT_USAGE, Format("--plan: item \"%.60s\" is not OFFSET:LENGTH", item.c_str()));
            PlanItem p;
            p.offset = NumberArg("--plan offset", item.substr(0, colon), kMaxOffset);
            p.length = NumberArg("--plan length", item.substr(colon + 1), 65535);
            plan.push_back(p);
            pos = comma + 1;
        }
    }
    if (o.pastEnd) {
        // Reaches exactly one byte beyond the end: the boundary the PC must notice.
        PlanItem p;
        p.offset = static_cast<uint32_t>(fileLen > 0 ? fileLen - 1 : 0);
        p.length = 2;
        plan.insert(plan.begin() + std::min<size_t>(1, plan.size()), p);
    }
    return plan;
}

bool PastEnd(const PlanItem &p, size_t fileLen)
{
    return static_cast<uint64_t>(p.offset) + std::max<uint32_t>(p.length, 1) > fileLen;
}

void WarnFlowBytes(const std::vector<PlanItem> &plan)
{
    for (const PlanItem &p : plan) {
        uint8_t fields[5] = {static_cast<uint8_t>(p.length >> 8), static_cast<uint8_t>(p.length),
                             static_cast<uint8_t>(p.offset >> 16), static_cast<uint8_t>(p.offset >> 8),
                             static_cast<uint8_t>(p.offset)};
        for (uint8_t f : fields) {
            if (f == XON || f == XOFF) {
                fprintf(stderr,
                        "dlfsim: warning: request offset=%" PRIu32 " length=%" PRIu32
                        " contains the byte %02X, which a port with XON/XOFF takes as flow control\n",
                        p.offset, p.length, f);
                break;
            }
        }
    }
}

// Applies the lines as they are from t on; returns how the board sees them.
std::string BoardLines(Board *b, Wiring w, int64_t t, bool dtr, bool rts)
{
    bool two = w == Wiring::kTwoTransistor;
    bool reset = w == Wiring::kDtrPulse ? dtr : w == Wiring::kRtsPulse ? rts : rts && !dtr;
    bool bootLow = dtr && !rts;
    std::string since;
    if (reset && !b->reset) {
        b->reset = true;
        b->resetSince = t;
        b->download = false;
    } else if (!reset && b->reset) {
        int64_t held = t - b->resetSince;
        b->reset = false;
        b->startedAt = t;
        b->download = held >= kResetHoldUs && (!two || bootLow);
        since = Format(" after %.1f ms %s", held / 1000.0, two ? "low" : "held");
    }
    if (two)
        return Format("EN %s%s, boot %s", reset ? "low" : "high", since.c_str(), bootLow ? "low" : "high");
    return (reset ? "reset held" : "reset released") + since;
}

// Waits until the PC's DTR and RTS have put the board into its download
// mode since the PC last opened the port. The board follows every change
// in the log, but only a start that came after the port was last seen
// closed counts. A close releases the lines and may well start the board
// (DTR held, then dropped): the lines are read before and after each look
// at the port, and only a start with the port seen open and no new line
// since counts, so the close's own never does.
void Target::WaitDownloadMode()
{
    const char *wiring = WiringName(o_.wiring);
    Comment(Format("waiting for the download mode (wiring %s)", wiring));
    for (;;) {
        ReadRigLines();
        if (PortClosedNow())
            Fail(EXIT_MISMATCH, Format("the target never entered its download mode (wiring %s): "
                                       "the PC closed the port", wiring));
        if (ReadRigLines() > 0)
            continue;
        if (board_.download && board_.startedAt > closedSeenUs_) {
            Comment("download mode entered");
            return;
        }
        if (g_signal)
            Fail(EXIT_MISMATCH, Format("the target never entered its download mode (wiring %s): "
                                       "interrupted", wiring));
        if (DurationOver())
            Fail(EXIT_MISMATCH, Format("the target never entered its download mode (wiring %s): "
                                       "--duration ended", wiring));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Target::Handshake(bool first)
{
    Comment("handshake");
    Exchange(STX, {ACK}, "handshake: waiting for 06 after 02", first ? o_.connectTimeout : 0);
    if (first)
        xferStart_ = lineStart_;
    Exchange(CONNECT, {ACK}, "handshake: waiting for 06 after 40");
    Exchange(ETX, {ACK, STX}, "handshake: waiting for 06 02 after 03");
    Exchange(ACK, {CONNECT_ANSWER}, "handshake: waiting for 41");
    Exchange(ACK, {ETX}, "handshake: waiting for 03 after 41");
    Send(ACK, "handshake: final 06");
}

void Target::SendNoise(long count, std::mt19937 &rng)
{
    Comment(Format("noise: %ld bytes", count));
    std::uniform_int_distribution<int> dist(0, 255);
    for (long i = 0; i < count; ++i) {
        int b;
        do
            b = dist(rng);
        while (b == STX || b == XON || b == XOFF);
        Send(static_cast<uint8_t>(b), "noise");
    }
    ExpectSilence(o_.silenceMs, "to the noise");
}

// Noise written in chunks as fast as the PC takes it. Whatever the PC
// sends meanwhile is collected (so it cannot block on a full line) and
// judged after the flood.
void Target::SendFlood(long count, std::mt19937 &rng)
{
    Comment(Format("flood: %ld bytes", count));
    int early = Poll(0);
    if (early >= 0)
        Fail(EXIT_MISMATCH, Format("PC sent %02X unprompted before the flood", early));
    if (early == kClosed)
        Fail(EXIT_MISMATCH, "PC closed the port before the flood");
    std::uniform_int_distribution<int> dist(0, 255);
    uint8_t chunk[4096];
    size_t have = 0, pos = 0;
    long left = count;
    Clock::time_point stall = Clock::now() + std::chrono::milliseconds(o_.replyTimeout);
    while (left > 0 || pos < have) {
        if (pos == have) {
            have = static_cast<size_t>(std::min<long>(left, sizeof chunk));
            for (size_t i = 0; i < have; ++i) {
                int b;
                do
                    b = dist(rng);
                while (b == STX || b == XON || b == XOFF);
                chunk[i] = static_cast<uint8_t>(b);
            }
            pos = 0;
            left -= static_cast<long>(have);
        }
        bool closed;
        long n = WriteUnpaced(chunk + pos, have - pos, &closed);
        if (closed)
            Fail(EXIT_MISMATCH, "PC closed the port during the flood");
        if (n > 0) {
            pos += static_cast<size_t>(n);
            stall = Clock::now() + std::chrono::milliseconds(o_.replyTimeout);
        }
        if (Clock::now() >= stall)
            Fail(EXIT_MISMATCH, "PC does not take data (flood)");
        CheckInterrupted("flooding");
        CheckDuration("flooding", false);
    }
    if (!rx_.empty())
        Fail(EXIT_MISMATCH, Format("PC answered %02X (%zu bytes in all) to the flood, where silence "
                                   "was expected",
                                   rx_.front(), rx_.size()));
    ExpectSilence(o_.silenceMs, "to the flood");
}

// One block request. wrongAfter >= 0 puts a wrong byte in place of the
// 06 after that many data bytes. Anything but kBlock means the session
// ends here: --stop-after, --hold-xoff-after (XOFF and the next 06 are
// out) or --vanish-after (the caller takes the port away).
Served Target::Request(const PlanItem &p, long wrongAfter, long *sessionData)
{
    bool past = PastEnd(p, file_.size());
    Comment(Format("request offset=%" PRIu32 " length=%" PRIu32 "%s", p.offset, p.length,
                   past ? " (past the end)" : ""));
    uint8_t fields[5] = {static_cast<uint8_t>(p.length >> 8), static_cast<uint8_t>(p.length),
                         static_cast<uint8_t>(p.offset >> 16), static_cast<uint8_t>(p.offset >> 8),
                         static_cast<uint8_t>(p.offset)};
    static const char *names[5] = {"request: waiting for 06 after length high",
                                   "request: waiting for 06 after length low",
                                   "request: waiting for 06 after offset byte 1",
                                   "request: waiting for 06 after offset byte 2",
                                   "request: waiting for 06 after offset byte 3"};
    Exchange(STX, {ACK}, "request: waiting for 06 after 02");
    Exchange(REQUEST, {ACK}, "request: waiting for 06 after 42");
    for (int i = 0; i < 5; ++i)
        Exchange(fields[i], {ACK}, names[i]);
    if (past) {
        Send(ETX, "past-end request: final 03");
        ExpectSilence(o_.silenceMs, "to a request past the end of the file");
        Comment("past-end request refused silently");
        Handshake(false);
        return Served::kBlock;
    }
    Exchange(ETX, {ACK, STX}, "request: waiting for 06 02 after 03");

    uint32_t count = std::max<uint32_t>(p.length, 1);
    for (uint32_t i = 0; i <= count; ++i) {
        if (o_.stopAfter >= 0 && *sessionData >= o_.stopAfter)
            return Served::kStopped;
        if (o_.vanishAfter >= 0 && *sessionData >= o_.vanishAfter)
            return Served::kVanish;
        bool hold = o_.holdXoffAfter >= 0 && *sessionData >= o_.holdXoffAfter && !paused_;
        if (hold && o_.xoffPause == 0) {
            Comment(Format("holding with XOFF after %ld data bytes", *sessionData));
            Send(XOFF, "hold: XOFF");
            Send(ACK, i == count ? "hold: block end 06" : "hold: data 06");
            return Served::kHeld;
        }
        if (wrongAfter >= 0 && static_cast<uint32_t>(wrongAfter) == i) {
            Comment(Format("wrong byte after %" PRIu32 " data bytes", i));
            Send(WRONG, "wrong byte");
            ExpectSilence(o_.silenceMs, "to the wrong byte");
            Comment("block dropped silently; asking again");
            Handshake(false);
            return Request(p, -1, sessionData);
        }
        if (i == count)
            break;
        if (hold) {
            // The PC's answer to this 06 must wait in its port until the XON
            // (at a block's end the pause comes with the next block's first byte).
            Comment(Format("pausing with XOFF after %ld data bytes for %ld ms", *sessionData, o_.xoffPause));
            Send(XOFF, "pause: XOFF");
            Send(ACK, "pause: data 06");
            ExpectSilence(o_.xoffPause, "while held by XOFF");
            Send(XON, "pause: XON");
            paused_ = true;
        } else {
            Send(ACK, "data: 06");
        }
        uint32_t at = p.offset + i;
        char step[96];
        snprintf(step, sizeof step, "waiting for the data byte at offset %" PRIu32, at);
        uint8_t got = Receive(o_.replyTimeout, step);
        if (got != file_[at])
            Fail(EXIT_MISMATCH, Format("data byte at offset %" PRIu32 " (0x%06" PRIX32
                                       "): expected %02X, got %02X",
                                       at, at, file_[at], got));
        ++verified_;
        ++*sessionData;
    }
    Exchange(ACK, {ETX}, "block end: waiting for 03");
    Send(ACK, "block end: final 06");
    ++blocks_;
    return Served::kBlock;
}

void Target::Complete()
{
    Comment("completion");
    Exchange(STX, {ACK}, "completion: waiting for 06 after 02");
    if (o_.xoffAtComplete) {
        // The PC's 06 for the 43 stays in its port: the run ends in a hold.
        Comment("holding the completion's answer with XOFF");
        Send(XOFF, "completion: XOFF");
        Send(COMPLETE, "completion: 43 under XOFF");
        return;
    }
    Exchange(COMPLETE, {ACK}, "completion: waiting for 06 after 43");
    xferEnd_ = o_.pace > 0 ? lineFree_ : Clock::now();
}

// Reads nothing more and only watches for the PC closing the port.
// Returns what ended the hold.
const char *Target::Hold()
{
    for (;;) {
        struct pollfd p = {fd_, 0, 0};
        int rc = poll(&p, 1, 50);
        if (rc < 0 && errno != EINTR)
            Fatal("poll");
        if (rc > 0 && (p.revents & (POLLHUP | POLLERR))) {
            NotePeer(false);
            return "the PC closed the port";
        }
        if (g_signal)
            return "interrupted";
        if (DurationOver())
            return "--duration ended";
    }
}

// Watches a line whose PC side XOFF holds until the PC closes the port,
// --duration ends or a signal arrives, and returns which. With strict,
// any byte from the PC fails the run; else it is only logged.
const char *Target::WatchHeld(bool strict, const char *what)
{
    for (;;) {
        int b = Poll(20);
        if (b == kClosed) {
            NotePeer(false);
            return "the PC closed the port";
        }
        if (b >= 0 && strict)
            Fail(EXIT_MISMATCH, Format("PC sent %02X %s", b, what));
        if (g_signal)
            return "interrupted";
        if (DurationOver())
            return "--duration ended";
    }
}

// The port disappears: the PC's handle hangs up at once.
void Target::Vanish()
{
    Comment("port vanished");
    FlushTranscript();
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

// --flood-held: XOFF, then n bytes 02 as fast as the line takes them,
// none waiting for an answer. Stops when all went, the line took nothing
// for 2 s, the PC closed the port, --duration ended or a signal came;
// returns how many went. What the PC sends meanwhile (a PC whose port
// ignores XOFF answers) is read and logged, so that it never blocks.
long Target::FloodHeld(long n)
{
    Comment(Format("flood held: XOFF, then %ld bytes 02", n));
    Send(XOFF, "flood held: XOFF");
    uint8_t chunk[4096];
    memset(chunk, STX, sizeof chunk);
    long sent = 0;
    Clock::time_point stall = Clock::now() + std::chrono::seconds(2);
    while (sent < n && Clock::now() < stall && !g_signal && !DurationOver()) {
        bool closed;
        long w = WriteUnpaced(chunk, static_cast<size_t>(std::min<long>(n - sent, sizeof chunk)), &closed);
        rx_.clear();
        if (closed)
            break;
        if (w > 0) {
            sent += w;
            stall = Clock::now() + std::chrono::seconds(2);
        }
    }
    Comment(Format("flood held: the line took %ld of %ld bytes", sent, n));
    return sent;
}

// *okLine replaces the usual RESULT ok line when the run ends in a hold, a vanish or a held flood.
int Run(const Options &o, Target &t, Link &link, Rig &rig, const std::vector<PlanItem> &plan, size_t fileLen,
        std::string *okLine)
{
    if (o.device.empty())
        t.OpenPty();
    else
        t.OpenDevice();
    if (o.device.empty() && !o.rigDir.empty()) {
        rig.Setup(o, t.PortPath());
        t.UseRigLines(rig.LinesPath());
    }
    printf("%s %s\n", o.device.empty() ? "PTY" : "DEVICE", t.PortPath().c_str());
    fflush(stdout);
    if (!o.link.empty())
        link.Create(o.link, t.PortPath());
    if (o.denyOpen >= 0)
        rig.DenyFor(o.denyOpen);

    if (o.silent) {
        t.Comment("silent: sending nothing");
        t.ExpectSilence(-1, "while the target was silent");
        return EXIT_MATCHED;
    }

    unsigned long seed = o.seedGiven ? o.seed
                                     : static_cast<unsigned long>(Clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    for (long session = 1; session <= o.repeat; ++session) {
        // A program may open the port only to see that it is there (the
        // station does so at start-up) and close it at once: the session
        // starts with a PC that keeps the port open.
        for (;;) {
            if (t.IsPty() && (o.waitOpen || session > 1))
                t.WaitOpen(session == 1 ? "start" : "next session");
            if (o.wiring != Wiring::kNone)
                t.WaitDownloadMode();
            if (o.startDelay > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(o.startDelay));
            if (!t.IsPty() || !(o.waitOpen || session > 1) || !t.PeerClosed())
                break;
            t.NotePeer(false);
        }
        t.Comment(Format("session %ld", session));
        if (o.noise > 0)
            t.SendNoise(o.noise, rng);
        if (o.flood > 0)
            t.SendFlood(o.flood, rng);
        t.Handshake(true);
        if (o.floodHeld > 0) {
            long took = t.FloodHeld(o.floodHeld);
            printf("flood: the line took %ld of %ld bytes\n", took, o.floodHeld);
            fflush(stdout);
            const char *why = t.WatchHeld(false, "");
            *okLine = Format("RESULT ok flood held until %s bytes=%ld blocks=%ld time_ms=%ld", why, t.Verified(),
                             t.Blocks(), t.ElapsedMs());
            return EXIT_MATCHED;
        }
        long sessionData = 0;
        t.NewSession();
        bool first = true;
        for (const PlanItem &p : plan) {
            // The wrong byte goes into the first block that lies inside the file.
            long wrong = -1;
            if (first && !PastEnd(p, fileLen)) {
                wrong = o.wrongByte;
                first = false;
            }
            Served served = t.Request(p, wrong, &sessionData);
            if (served == Served::kStopped) {
                t.Comment(Format("stopped after %ld data bytes", sessionData));
                printf("served %ld data bytes, then stopped\n", sessionData);
                fflush(stdout);
                t.WaitClosed("after the target stopped", -1);
                return EXIT_MATCHED;
            }
            if (served == Served::kHeld) {
                const char *why = t.Hold();
                *okLine = Format("RESULT ok held after %ld until %s bytes=%ld blocks=%ld time_ms=%ld",
                                 sessionData, why, t.Verified(), t.Blocks(), t.ElapsedMs());
                return EXIT_MATCHED;
            }
            if (served == Served::kVanish) {
                // The node goes first, so a PC that notices the hangup finds it gone.
                link.Remove();
                t.Vanish();
                *okLine = Format("RESULT ok vanished after %ld", sessionData);
                return EXIT_MATCHED;
            }
        }
        if (!o.complete) {
            t.Comment("no completion");
            continue;
        }
        t.Complete();
        if (o.xoffAtComplete) {
            const char *why = t.WatchHeld(true, "to the completion held by XOFF");
            *okLine = Format("RESULT ok held at completion until %s bytes=%ld blocks=%ld time_ms=%ld", why,
                             t.Verified(), t.Blocks(), t.ElapsedMs());
            return EXIT_MATCHED;
        }
        if (session < o.repeat && t.IsPty()) {
            t.Comment("waiting for the PC to close the port");
            if (!t.WaitClosed("after the completion", -1))
                Fail(EXIT_MISMATCH, "the PC did not close the port after the completion");
        } else {
            t.WaitClosed("after the completion", o.lingerMs);
        }
    }
    return EXIT_MATCHED;
}

}  // namespace sim
