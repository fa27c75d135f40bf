// kelvo-cli's ports, board after board, whatever layer moves their bytes.
//
// Every port given is a session of its own: a record with its phase,
// protocol state, answer queue and deadlines. The port layer opens the port
// through LayerOpen, passes on what it reads (ServeBytes), writes the
// answers and calls Tick when a deadline is due; everything else is here.
// A port that fails ends without touching the rest. With --repeat a port
// goes on to the next board after each one.
#include "cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// What the user is told when a board ends other than by its completion.
void TellEnd(RUN *r, PORT *p, int rc, const char *reason, bool bBoard)
{
    if (!bBoard) {
        Say(r, "%s: %s before a board began; waiting for the next", p->name.c_str(), reason);
        return;
    }
    Say(r, "%s: %s", p->name.c_str(), SessionReason(&p->s, reason, r->image.size()).c_str());
    if (rc == EXIT_TIMEOUT && r->o.flow == "xonxoff" && p->s.state.iStep >= 8 && p->s.state.iStep <= 13)
        Say(r, "%s: with XON/XOFF the line takes the bytes 11 and 13 as flow control: a request"
            " byte may have been taken so; if the target's requests contain them, use --flow none",
            p->name.c_str());
    LogLine(r, p, "# end: %s\n", reason);
}

// Keeps the board's outcome, and puts it out: a row with --repeat, the
// served line for one port, the record with --report.
void RecordBoard(RUN *r, PORT *p, int rc, const char *reason)
{
    BOARD b = {};
    b.rc = rc;
    b.dwServed = p->s.dwServed;
    b.nBlocks = p->s.nBlocks;
    b.seconds = p->tFirstRx >= 0 ? p->tEnd - p->tFirstRx : 0;
    b.msEnded = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch()).count();
    if (rc != EXIT_DONE)
        snprintf(b.szReason, sizeof b.szReason, "%s", SessionReason(&p->s, reason, r->image.size()).c_str());
    p->boards.push_back(b);
    p->rc = Worse(p->rc, rc);
    ClearProgress(r);
    if (r->o.repeat) {
        char num[16];
        snprintf(num, sizeof num, "%-6zu", p->boards.size());
        PrintRow(r, num, p->name.c_str(), ResultWord(rc), b.dwServed, b.nBlocks, b.seconds, b.szReason);
        fflush(stdout);
    } else if (rc == EXIT_DONE && r->ports.size() == 1) {
        printf("served %u bytes in %d blocks, %.2f s, %.0f B/s\n", b.dwServed, b.nBlocks, b.seconds,
               b.seconds > 0 ? b.dwServed / b.seconds : 0);
        fflush(stdout);
    }
    ReportBoard(r, p, b);
}

// A port that cannot be opened, or no longer: says so and ends the port.
void PortUnusable(RUN *r, PORT *p, int rc, const char *msg)
{
    Say(r, "%s", msg);
    p->rc = Worse(p->rc, rc);
    p->phase = PH_DONE;
    r->disp.bDirty = true;
}

// The port is open: the reset sequence runs first when there is one.
void StartSession(RUN *r, PORT *p)
{
    SessionBegin(&p->s, r->image.size());
    p->tOpen = p->tLastRx = NowS();
    p->tFirstRx = -1;
    p->iLastTenth = -1;
    p->phase = r->o.reset.empty() ? PH_SERVE : PH_RESET;
    p->iReset = 0;
    p->tWake = p->tOpen;
    r->disp.bDirty = true;
    if (!p->bOpenedOnce)
        Say(r, "serving %s (%zu bytes) on %s at %lu bit/s", r->o.file.c_str(), r->image.size(),
            p->name.c_str(), r->o.baud);
    p->bOpenedOnce = true;
    p->bOpenTold = false;
    if (r->o.repeat)
        LogLine(r, p, "# board %zu\n", p->boards.size() + 1);
    LayerOpened(r, p);
}

// Opens the port, or decides how to go on waiting for it. True when it is
// open.
bool TryOpen(RUN *r, PORT *p)
{
    char why[600];
    OpenResult res = LayerOpen(r, p, why, sizeof why);
    if (res == OPEN_OK) {
        p->bOpen = true;
        StartSession(r, p);
        return true;
    }
    p->openWhy = why;
    bool bWaiting = r->o.repeat || r->o.waitPort;
    // Absent, or going away: a device that is waited for may come (back).
    // There but refused: a device just plugged in that is still being set
    // up, or another program that has it.
    bool bRefused = res == OPEN_DENIED || res == OPEN_BUSY;
    if (bWaiting && (res == OPEN_ABSENT || bRefused)) {
        if (bRefused && !p->bOpenTold) {
            Say(r, "%s; trying again every 100 ms", p->openWhy.c_str());
            Say(r, "%s: %s", p->name.c_str(), LayerOpenAdvice(p, res, true).c_str());
        }
        p->bOpenTold = p->bOpenTold || bRefused;
        p->phase = PH_WAIT_PORT;
        return false;
    }
    std::string advice = LayerOpenAdvice(p, res, false);
    if (!advice.empty())
        p->openWhy += "\nkelvo-cli: " + advice;
    PortUnusable(r, p, EXIT_IO, p->openWhy.c_str());
    return false;
}

// Runs one byte through the session and shows what it did. True when the
// target reported completion.
bool Examine(RUN *r, PORT *p, unsigned char b)
{
    SESSIONSTEP st;
    SessionByte(&p->s, r->image.data(), (uint32_t)r->image.size(), b, &st);
    r->disp.bDirty = r->disp.bDirty || st.bBegan;
    if (st.iProgress >= 0)
        ShowProgress(r, p, st.iProgress);
    if (st.dwBlockLength > 0)
        LogLine(r, p, "# block offset=%u length=%u\n", st.dwBlockOffset, st.dwBlockLength);
    if (st.bRefused) {
        Say(r, "%sthe target asked for bytes past the end of the file (offset %u, file %zu bytes): ignored",
            r->ports.size() > 1 ? (p->name + ": ").c_str() : "", st.dwRefusedAt, r->image.size());
        LogLine(r, p, "# refused request at offset %u: past the end\n", st.dwRefusedAt);
    }
    if (st.bComplete)
        LogLine(r, p, "# complete\n");
    return st.bComplete;
}

// The target is done: its last answer still has to leave the port.
void Complete(RUN *r, PORT *p, double tNow)
{
    p->tEnd = tNow;
    p->phase = PH_DRAIN;
    // Bounded: a port held off by flow control must not keep us for ever.
    p->tWake = p->tEnd + 2;
    p->s.iPercent = 100;
    r->disp.bDirty = true;
}

// True when the port's time-out runs: always without --repeat, with it
// once the board has begun.
bool TimeoutRuns(const RUN *r, const PORT *p)
{
    return r->o.timeoutS > 0 && (!r->o.repeat || p->s.bBegun);
}

// PH_WAIT_PORT: looks for the device every 100 ms, within --timeout
// without --repeat.
double TickWaitPort(RUN *r, PORT *p, double tNow)
{
    if (TryOpen(r, p) || p->phase != PH_WAIT_PORT)
        return Tick(r, p, tNow);
    if (!r->o.repeat && r->o.timeoutS > 0 && tNow - p->tWaitStart >= r->o.timeoutS) {
        char msg[800];
        if (p->bOpenTold)
            snprintf(msg, sizeof msg, "timeout: %s could not be opened within %g s: %s", p->name.c_str(),
                     r->o.timeoutS, p->openWhy.c_str());
        else
            snprintf(msg, sizeof msg, "timeout: %s did not appear within %g s", p->name.c_str(), r->o.timeoutS);
        PortUnusable(r, p, EXIT_TIMEOUT, msg);
        return 0;
    }
    return tNow + 0.1;
}

// PH_PAUSE: the port stays closed until tWake, then is looked for again.
double TickPause(RUN *r, PORT *p, double tNow)
{
    if (tNow < p->tWake)
        return p->tWake;
    p->phase = PH_WAIT_PORT;
    p->tWaitStart = tNow;
    return Tick(r, p, tNow);
}

// PH_RESET: sets each step's lines when it is due; the other ports are
// served meanwhile.
double TickReset(RUN *r, PORT *p, double tNow)
{
    while (tNow >= p->tWake && p->iReset < r->o.reset.size()) {
        const LINESTEP &step = r->o.reset[p->iReset++];
        char why[200], msg[300];
        if (!LayerSetLines(p, step, why, sizeof why)) {
            snprintf(msg, sizeof msg, "the port refused to set DTR and RTS: %s", why);
            EndBoard(r, p, EXIT_IO, msg);
            return Tick(r, p, tNow);
        }
        LogLine(r, p, "# reset%s%s%s%s, %d ms\n", step.dtr < 0 ? "" : " dtr=", step.dtr < 0 ? "" : step.dtr ? "1" : "0",
                step.rts < 0 ? "" : " rts=", step.rts < 0 ? "" : step.rts ? "1" : "0", step.msPause);
        p->tWake = tNow + step.msPause / 1000.0;
    }
    if (tNow < p->tWake)
        return p->tWake;
    // The target's silence is timed from here.
    p->phase = PH_SERVE;
    p->tLastRx = tNow;
    return Tick(r, p, tNow);
}

// PH_SERVE: the time-out, and DSR looked at again while it holds output.
double TickServe(RUN *r, PORT *p, double tNow)
{
    double tWhen = 0;
    if (TimeoutRuns(r, p)) {
        tWhen = p->tLastRx + r->o.timeoutS;
        if (tNow >= tWhen) {
            char msg[200];
            // A full queue stops the reading: the target is holding our answers back.
            if (p->s.out.size() >= kOutLimit)
                snprintf(msg, sizeof msg, "timeout: the target held the answers back (XOFF) for %g s", r->o.timeoutS);
            else
                snprintf(msg, sizeof msg, "timeout: no byte from the target for %g s", r->o.timeoutS);
            EndBoard(r, p, EXIT_TIMEOUT, msg);
            return Tick(r, p, tNow);
        }
    }
    if (!p->s.out.empty() && !LayerOutputReady(r, p))
        tWhen = tWhen > 0 ? std::min(tWhen, tNow + 0.01) : tNow + 0.01;   // DSR low: look again soon
    return tWhen;
}

// PH_DRAIN: the board is ok once its last answers have left, and not ok
// when flow control holds them for 2 s.
double TickDrain(RUN *r, PORT *p, double tNow)
{
    if (!p->s.out.empty() && !LayerFlush(r, p))
        return 0;
    if (LayerDrained(p)) {
        EndBoard(r, p, EXIT_DONE, "");
        return Tick(r, p, tNow);
    }
    if (tNow >= p->tWake) {
        EndBoard(r, p, EXIT_IO, "completed, but its last answer could not leave the port in 2 s"
                 " (held by flow control) and was discarded");
        return Tick(r, p, tNow);
    }
    return tNow + 0.01;
}

double TickDone(RUN *, PORT *, double)
{
    return 0;
}

} // namespace

void BeginPort(RUN *r, PORT *p, double tNow)
{
    p->tWaitStart = tNow;
    if (!TryOpen(r, p) && p->phase == PH_WAIT_PORT && !p->bOpenTold)
        Say(r, "waiting for %s", p->name.c_str());
}

double Tick(RUN *r, PORT *p, double tNow)
{
    static double (*const aTick[])(RUN *, PORT *, double) = {
        TickWaitPort, TickPause, TickReset, TickServe, TickDrain, TickDone};
    static_assert(sizeof aTick / sizeof aTick[0] == PH_DONE + 1, "a handler for every phase");
    return aTick[p->phase](r, p, tNow);
}

bool WantsInput(const PORT *p)
{
    return p->phase == PH_SERVE && p->s.out.size() < kOutLimit;
}

void ServeBytes(RUN *r, PORT *p, const unsigned char *pb, size_t n, double tNow)
{
    if (n == 0 || p->phase != PH_SERVE)
        return;
    p->tLastRx = tNow;
    if (p->tFirstRx < 0)
        p->tFirstRx = tNow;
    for (size_t i = 0; i < n; i++) {
        Record(r, p, 'T', pb[i]);
        if (Examine(r, p, pb[i])) {
            Complete(r, p, tNow);
            return;
        }
    }
}

void Sent(RUN *r, PORT *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        Record(r, p, 'P', p->s.out[i]);
    p->s.out.erase(p->s.out.begin(), p->s.out.begin() + (std::ptrdiff_t)n);
}

void EndBoard(RUN *r, PORT *p, int rc, const char *reason)
{
    if (rc != EXIT_DONE)
        p->tEnd = NowS();
    // With --repeat a port that hangs up or fails before its target began
    // (a device unplugged between boards) has had no board at all.
    bool bBoard = !r->o.repeat || p->s.bBegun || rc == EXIT_DONE;
    if (rc == EXIT_DONE) {
        ShowProgress(r, p, 100);
        if (!r->disp.bBlock)
            ClearProgress(r);    // ends the bar's line
    } else {
        TellEnd(r, p, rc, reason, bBoard);
    }
    if (p->bOpen)
        LayerClose(r, p, rc != EXIT_DONE);
    p->bOpen = false;
    FlushLog(r, p);
    if (bBoard)
        RecordBoard(r, p, rc, reason);
    bool bMore = r->o.repeat && !r->bStopping && (r->o.count == 0 || (long)p->boards.size() < r->o.count);
    p->phase = bMore ? PH_PAUSE : PH_DONE;
    // The port stays closed for a moment, so that the target sees DTR drop
    // and the other side of a pseudo terminal sees the close.
    p->tWake = NowS() + 0.25;
    r->disp.bDirty = true;
}

void InterruptPort(RUN *r, PORT *p)
{
    if (p->phase == PH_DRAIN && LayerDrained(p)) {
        EndBoard(r, p, EXIT_DONE, "");
    } else if (p->phase == PH_DRAIN) {
        EndBoard(r, p, EXIT_INTERRUPTED, "interrupted before its last answer left the port");
    } else if (p->phase == PH_RESET || (p->phase == PH_SERVE && (!r->o.repeat || p->s.bBegun))) {
        EndBoard(r, p, EXIT_INTERRUPTED, "interrupted");
    } else if (p->phase == PH_WAIT_PORT && !r->o.repeat) {
        Say(r, "interrupted while waiting for %s", p->name.c_str());
        p->rc = Worse(p->rc, EXIT_INTERRUPTED);
    }
    if (p->bOpen)
        LayerClose(r, p, true);
    p->bOpen = false;
    p->phase = PH_DONE;
}

int Finish(RUN *r)
{
    EndProgress(r);
    if (r->o.repeat)
        PrintSummary(r);
    else if (r->ports.size() > 1)
        PrintTable(r);
    int rc = EXIT_DONE;
    for (PORT &p : r->ports) {
        CloseLog(r, &p);
        rc = Worse(rc, p.rc);
    }
    fflush(stdout);
    return r->bStopping ? EXIT_INTERRUPTED : rc;
}

void LatencyCost(int ms, unsigned long baud, char *psz, size_t cb)
{
    // Every data byte is one answer from the target that the adapter may
    // hold for a whole period; the line itself carries the answer and the
    // data byte, 10 bit times each.
    double perKiB = 1024.0 * ms / 1000.0;
    double lineKiB = 1024.0 * 2 * 10 / (double)baud;
    snprintf(psz, cb, "the adapter holds each answer of the target up to %d ms, which costs this"
             " protocol up to %.1f s per KiB (64 KiB: %.0f min); the line needs %.2f s per KiB at %lu bit/s",
             ms, perKiB, perKiB * 64 / 60, lineKiB, baud);
}
