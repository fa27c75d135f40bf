// The checks: the DLF file every data byte is compared with, what the PC
// must answer and where it must stay silent, and the RESULT line that gives
// the verdict.

#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

const long kMaxFile = 16L * 1024 * 1024;     // nothing beyond 24 bits is addressable

}  // namespace

std::vector<uint8_t> ReadFile(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        Fail(EXIT_IO, Format("cannot open %.300s: %s", path.c_str(), strerror(errno)));
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    for (;;) {
        size_t n = fread(buf, 1, sizeof buf, f);
        data.insert(data.end(), buf, buf + n);
        if (static_cast<long>(data.size()) > kMaxFile) {
            fclose(f);
            Fail(EXIT_USAGE, Format("%.300s is larger than the 24-bit address range", path.c_str()));
        }
        if (n < sizeof buf)
            break;
    }
    bool bad = ferror(f) != 0;
    fclose(f);
    if (bad)
        Fail(EXIT_IO, Format("cannot read %.300s", path.c_str()));
    return data;
}

void Target::Expect(uint8_t want, long timeoutMs, const char *step)
{
    uint8_t got = Receive(timeoutMs, step);
    if (got != want)
        Fail(EXIT_MISMATCH, Format("expected %02X, got %02X while %s", want, got, step));
}

// Sends b and checks the answer bytes, one after the other.
void Target::Exchange(uint8_t b, std::initializer_list<uint8_t> answer, const char *step, long timeoutMs)
{
    Send(b, step);
    for (uint8_t a : answer)
        Expect(a, timeoutMs > 0 ? timeoutMs : o_.replyTimeout, step);
}

// Watches the line for the given time (or until a signal or --duration
// when ms < 0); any byte is an error. A closed port simply counts as quiet.
void Target::ExpectSilence(long ms, const char *what)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        int b = Poll(20);
        if (b >= 0)
            Fail(EXIT_MISMATCH, Format("PC answered %02X %s, where silence was expected", b, what));
        NotePeer(b == kNothing);
        if (b == kClosed)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (ms < 0 ? (g_signal || DurationOver()) : Clock::now() >= end)
            return;
        if (g_signal)
            Fail(EXIT_MISMATCH, Format("interrupted %s", what));
    }
}

// Waits until the PC closes the port; anything it sends meanwhile is an error.
// limitMs < 0: no limit but --duration. Returns false if the limit passed.
bool Target::WaitClosed(const char *what, long limitMs)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(limitMs < 0 ? 0 : limitMs);
    for (;;) {
        int b = Poll(20);
        if (b == kClosed) {
            NotePeer(false);
            return true;
        }
        if (b >= 0)
            Fail(EXIT_MISMATCH, Format("PC sent %02X %s", b, what));
        if (g_signal)
            return false;
        if (DurationOver())
            return false;
        if (limitMs >= 0 && Clock::now() >= end)
            return false;
    }
}

// The last line on stdout: RESULT ok (okLine where the run ended in a hold,
// a vanish or a held flood) or RESULT fail with the reason, also on stderr.
void PrintResult(Target &t, int code, const std::string &okLine, const std::string &reason)
{
    if (code == EXIT_MATCHED && !okLine.empty()) {
        printf("%s\n", okLine.c_str());
    } else if (code == EXIT_MATCHED) {
        printf("RESULT ok bytes=%ld blocks=%ld time_ms=%ld xfer_ms=%ld\n", t.Verified(), t.Blocks(),
               t.ElapsedMs(), t.TransferMs());
    } else {
        fprintf(stderr, "dlfsim: %s\n", reason.c_str());
        printf("RESULT fail %s\n", reason.c_str());
    }
    fflush(stdout);
}

}  // namespace sim
