// dlfsim: a simulated download target for testing Kelvo without hardware.
//
// It opens a pseudo terminal (or a real serial device), waits until the PC
// side opens the port, and then plays the target's part of the download
// protocol from a scenario given on the command line: handshake, block
// requests, completion, plus deliberate faults (noise, a flood of noise, a
// wrong answer byte, a request past the end of the file, silence, a stop in
// the middle, an XOFF that never ends, a port that vanishes mid-block, an
// XOFF that holds the PC's last answer, a flood of bytes to answer under XOFF).
// Every data byte the PC sends is compared with the DLF file; the run ends
// with exit status 0 only when the PC behaved exactly as expected.
//
// With the line rig preloaded into the PC program (tests/rig/linerig.c),
// the pseudo terminal gets modem lines: the target can then wait to be put
// into its download mode through DTR and RTS by a board's reset wiring, and
// the PC's open can be refused for a while and its close be slow.
//
// Everything is stop-and-wait: one byte out, then the answer is awaited with
// a timeout before the next byte goes out.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "kelvo_version.h"
#include "ptyclaim.h"

namespace {

using Clock = std::chrono::steady_clock;

enum ExitCode { EXIT_MATCHED = 0, EXIT_MISMATCH = 1, EXIT_USAGE = 2, EXIT_IO = 3 };

enum : uint8_t {
    STX = 0x02, ETX = 0x03, ACK = 0x06, WRONG = 0x15,
    CONNECT = 0x40, CONNECT_ANSWER = 0x41, REQUEST = 0x42, COMPLETE = 0x43,
    XON = 0x11, XOFF = 0x13
};

const uint32_t kMaxOffset = 0xFFFFFF;        // offsets travel as 24 bits
const long kMaxFile = 16L * 1024 * 1024;     // nothing beyond 24 bits is addressable

// Ends the run: code is the exit status, msg goes to stderr and the RESULT line.
struct Failure {
    int code;
    std::string msg;
};

std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

[[noreturn]] void Fail(int code, const std::string &msg) { throw Failure{code, msg}; }

volatile sig_atomic_t g_signal = 0;
void OnSignal(int sig) { g_signal = sig; }

// How the board's reset and boot pins hang on the PC's DTR and RTS.
enum class Wiring { kNone, kDtrPulse, kRtsPulse, kTwoTransistor };

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

struct PlanItem {
    uint32_t offset;
    uint32_t length;  // as sent: 0..65535; 0 still moves one byte
};

struct Options {
    std::string file;
    std::string device;
    long baud = 115200;
    bool xonxoff = true;
    std::string link;
    std::string plan = "auto:1024";
    long noise = 0;
    long wrongByte = -1;
    bool pastEnd = false;
    bool silent = false;
    long stopAfter = -1;
    long holdXoffAfter = -1;
    long xoffPause = 0;        // ms; with holdXoffAfter: XON after this long, then go on
    long vanishAfter = -1;
    long flood = 0;
    long pace = 0;
    bool complete = true;
    std::string transcript;
    long repeat = 1;
    long replyTimeout = 5000;
    long connectTimeout = 30000;
    long silenceMs = 500;
    long startDelay = 300;
    long lingerMs = 1000;
    long durationS = 0;
    bool waitOpen = true;
    bool seedGiven = false;
    unsigned long seed = 0;
    bool xoffAtComplete = false;
    long floodHeld = 0;
    std::string rigDir;        // --rig, else $KELVO_RIG
    Wiring wiring = Wiring::kNone;
    long denyOpen = -1;        // ms
    long hangClose = -1;       // ms
};

const char kHelp[] =
    "Usage: dlfsim [options] FILE.dlf\n"
    "\n"
    "Simulated download target. Creates a pseudo terminal, prints its slave path\n"
    "as the first line on stdout (\"PTY /dev/pts/N\"), waits until the PC program\n"
    "opens it, then plays the target side of the download protocol and checks\n"
    "every data byte against FILE.dlf (the whole file, header included, is the\n"
    "image that request offsets address).\n"
    "\n"
    "Port:\n"
    "  --device PATH        use a serial device instead of a pseudo terminal\n"
    "                       (raw 8N1 with XON/XOFF); prints \"DEVICE PATH\" first\n"
    "  --baud N             line speed for --device (default 115200)\n"
    "  --no-xonxoff         no XON/XOFF on --device\n"
    "  --link PATH          symlink PATH to the port (an old symlink there is\n"
    "                       replaced); removed again on exit, SIGINT and SIGTERM\n"
    "  --no-wait-open       start at once instead of waiting for the PC to open\n"
    "                       the pseudo terminal\n"
    "  --start-delay MS     pause after the PC opened the port (default 300)\n"
    "\n"
    "Modem lines, with the line rig (libkelvo-rig.so preloaded into the PC\n"
    "program gives a pseudo terminal's slave DTR and RTS and logs them; its\n"
    "files are DIR/<major>.<minor>.lines, .deny and .hang of the slave):\n"
    "  --rig DIR            the rig's directory (default: $KELVO_RIG), needed by\n"
    "                       the options below; whatever an earlier run left there\n"
    "                       for this pseudo terminal is removed at the start\n"
    "  --wiring W           the board's reset wiring: dtr-pulse, rts-pulse or\n"
    "                       two-transistor. The target says nothing until the\n"
    "                       PC, after it opened the port, has put it into its\n"
    "                       download mode through the lines (asserted: the\n"
    "                       ioctl bit set); then the session goes on as usual\n"
    "                       (--start-delay, handshake, plan).\n"
    "                       dtr-pulse: reset is held while DTR is asserted;\n"
    "                       releasing DTR after at least 10 ms of it enters the\n"
    "                       download mode. rts-pulse: the same with RTS.\n"
    "                       two-transistor: reset (EN) is low exactly while RTS\n"
    "                       is asserted and DTR released, the boot pin low\n"
    "                       exactly while DTR is asserted and RTS released; EN\n"
    "                       going high after at least 10 ms low, with the boot\n"
    "                       pin low then, enters the download mode.\n"
    "                       If the PC closes the port or --duration ends first,\n"
    "                       the run fails: the target never entered its\n"
    "                       download mode\n"
    "  --deny-open MS       for the first MS ms after the port (and --link) is\n"
    "                       made, the PC's open fails with EACCES\n"
    "  --hang-close MS      the PC's close of the port takes MS ms\n"
    "\n"
    "Scenario:\n"
    "  --plan LIST          block requests: OFF:LEN[,OFF:LEN...] or auto:BLOCK\n"
    "                       (consecutive blocks over the whole file); default\n"
    "                       auto:1024. LEN 0..65535 (0 moves one byte), OFF up to\n"
    "                       0xFFFFFF; decimal or 0x-hex. A request reaching past\n"
    "                       the end of the file must be refused by the PC with\n"
    "                       silence, after which a new handshake follows.\n"
    "  --past-end           add a request past the end of the file after the\n"
    "                       first block\n"
    "  --noise N            send N random bytes (never 02, 11 or 13) before the\n"
    "                       first STX; the PC must not answer any of them\n"
    "  --flood N            send N random bytes (never 02, 11 or 13) at full speed\n"
    "                       before the first STX (after --noise, not paced); what\n"
    "                       the PC sends meanwhile is collected and must be\n"
    "                       nothing, then the handshake follows at once\n"
    "  --seed N             seed for --noise and --flood (default: from the clock)\n"
    "  --wrong-byte K       in the first block, after K data bytes, send 15\n"
    "                       instead of 06; the PC must drop the block silently,\n"
    "                       then the target shakes hands again and repeats it\n"
    "  --stop-after N       stop responding after N data bytes of the session\n"
    "                       and only watch until the PC closes the port (or\n"
    "                       --duration ends); the PC must stay silent\n"
    "  --hold-xoff-after N  after N data bytes of the session send 13 (XOFF), which\n"
    "                       stops the output of a PC port with XON/XOFF, then the\n"
    "                       06 for the next byte as usual, and from then on read\n"
    "                       nothing: the PC's writes stay queued. Held until the\n"
    "                       PC closes the port, --duration ends or a signal\n"
    "                       arrives; passes if the PC behaved up to the hold\n"
    "                       (\"RESULT ok held after N until ...\")\n"
    "  --xoff-pause MS      with --hold-xoff-after: the hold ends after MS ms with\n"
    "                       11 (XON) and the session goes on; the PC must send\n"
    "                       nothing while held and its queued byte after the XON\n"
    "  --vanish-after N     after N data bytes of the session the port vanishes:\n"
    "                       the --link symlink is removed and the pseudo terminal\n"
    "                       closed, so the PC sees a hangup mid-block; prints\n"
    "                       \"RESULT ok vanished after N\" (not with --device)\n"
    "                       Only one of --stop-after, --hold-xoff-after and\n"
    "                       --vanish-after; if the plan moves fewer than N data\n"
    "                       bytes, the run ends normally.\n"
    "  --silent             never send anything; passes if the PC sends nothing\n"
    "                       until --duration ends or a signal arrives\n"
    "  --no-complete        leave out the completion (02 43) at the end\n"
    "  --xoff-at-complete   in the completion, after the PC's 06 for 02, send 13\n"
    "                       (XOFF), then 43, and never 11 (XON): the PC's last\n"
    "                       answer cannot arrive. Passes if it does not until\n"
    "                       the PC closes the port or --duration ends (\"RESULT\n"
    "                       ok held at completion until ...\")\n"
    "  --flood-held N       after the handshake send 13 (XOFF) and then, unpaced\n"
    "                       and without waiting for answers, N bytes 02: each\n"
    "                       starts a connect again, and the PC's protocol step\n"
    "                       answers every one with 06. Stops when all N went or\n"
    "                       the line took nothing for 2 s, prints \"flood: the\n"
    "                       line took K of N bytes\", and passes when the PC then\n"
    "                       closes the port or --duration ends (\"RESULT ok\n"
    "                       flood held until ...\"). A PC that stops reading\n"
    "                       when its answers pile up leaves K at what the pseudo\n"
    "                       terminal buffers, some KiB\n"
    "  --repeat N           N sessions: after each completion wait for the PC to\n"
    "                       close and reopen the port, then serve the plan again\n"
    "                       (the port has to stay closed for some 100 ms)\n"
    "\n"
    "Timing:\n"
    "  --pace BAUD          behave like a line at BAUD, charging 10 bit times for\n"
    "                       every byte in both directions: a byte of the target\n"
    "                       reaches the PC when its last bit has, 10 bit times\n"
    "                       after the line came free; a byte from the PC counts\n"
    "                       as arrived 10 bit times after it was sent or after\n"
    "                       the line came free, whichever is later. The PC's\n"
    "                       turnaround is all charged: a PC that answers at once\n"
    "                       reaches the line's limit, never more; one that takes\n"
    "                       D per answer at most 1/(1 + D/(20 bit times)) of it\n"
    "                       (xfer_ms runs on this line's clock)\n"
    "  --reply-timeout MS   wait for each answer (default 5000)\n"
    "  --connect-timeout MS wait for the answer to a session's first STX\n"
    "                       (default 30000)\n"
    "  --silence MS         how long the PC must stay quiet where no answer is\n"
    "                       due: after noise, a wrong byte, a past-end request\n"
    "                       (default 500)\n"
    "  --linger MS          after the last completion, wait this long for the PC\n"
    "                       to close the port (default 1000)\n"
    "  --duration S         limit of the whole run in seconds (0: none)\n"
    "\n"
    "Output:\n"
    "  --transcript FILE    one line per byte: \"<ms since start> <T|P> <hex>\",\n"
    "                       T sent by the target, P by the PC; \"# ...\" lines\n"
    "                       mark the phases, when the PC opens and closes the\n"
    "                       pseudo terminal and, while it is silent, the line\n"
    "                       settings the PC gives it (\"# line: 9600 bit/s, ...\")\n"
    "  -h, --help           this text\n"
    "  --version            print the version and exit\n"
    "\n"
    "The last line on stdout is \"RESULT ok bytes=<verified data bytes>\n"
    "blocks=<n> time_ms=<t> xfer_ms=<x>\" or \"RESULT fail <reason>\" (or the\n"
    "hold, vanish and flood lines above). time_ms counts from dlfsim's start, xfer_ms\n"
    "the last session from its first handshake byte to the completion's\n"
    "answer (0 without a completion).\n"
    "\n"
    "With a pseudo terminal, a helper process claims the slave as its own\n"
    "controlling terminal, so that a session leader opening the port (the\n"
    "wineserver does) cannot adopt it and get a hangup signal when dlfsim ends.\n"
    "\n"
    "A PC port with XON/XOFF on swallows the bytes 11 and 13 that the target\n"
    "sends. The protocol bytes never are 11 or 13, but the length and offset\n"
    "bytes of a request can be; dlfsim warns on stderr about every such request\n"
    "and sends it unchanged.\n"
    "\n"
    "Exit status: 0 the exchange matched, 1 mismatch or timeout, 2 usage error,\n"
    "3 I/O error.\n";

// Decimal or 0x-hex, nothing else; false on garbage or a value above max.
bool ParseNumber(const std::string &s, unsigned long long max, unsigned long long *out)
{
    if (s.empty())
        return false;
    int base = 10;
    size_t i = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    unsigned long long v = 0;
    for (; i < s.size(); ++i) {
        int d;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * base + d;
        if (v > max)
            return false;
    }
    *out = v;
    return true;
}

long NumberArg(const std::string &opt, const std::string &val, unsigned long long max)
{
    unsigned long long v;
    if (!ParseNumber(val, max, &v))
        Fail(EXIT_USAGE, Format("%s: bad number \"%.60s\" (0..%llu)", opt.c_str(), val.c_str(), max));
    return static_cast<long>(v);
}

Wiring WiringArg(const std::string &val)
{
    for (Wiring w : {Wiring::kDtrPulse, Wiring::kRtsPulse, Wiring::kTwoTransistor})
        if (val == WiringName(w))
            return w;
    Fail(EXIT_USAGE, Format("--wiring: unknown wiring \"%.60s\" (dtr-pulse, rts-pulse, two-transistor)", val.c_str()));
}

// *pShowOnly gets the text to print instead of running (--help, --version).
Options ParseArgs(int argc, char **argv, std::string *pShowOnly)
{
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            *pShowOnly = kHelp;
            return o;
        }
        if (a == "--version") {
            *pShowOnly = std::string("dlfsim ") + KELVO_VERSION + "\n";
            return o;
        }
        if (a.size() < 2 || a[0] != '-' || a == "--") {
            if (a == "--") {
                for (++i; i < argc; ++i)
                    positional.push_back(argv[i]);
                break;
            }
            positional.push_back(a);
            continue;
        }
        std::string val;
        bool hasInline = false;
        size_t eq = a.find('=');
        if (eq != std::string::npos) {
            val = a.substr(eq + 1);
            a = a.substr(0, eq);
            hasInline = true;
        }
        auto flag = [&](bool *target, bool value) {
            if (hasInline)
                Fail(EXIT_USAGE, a + " takes no value");
            *target = value;
        };
        auto value = [&]() -> std::string {
            if (hasInline)
                return val;
            if (i + 1 >= argc)
                Fail(EXIT_USAGE, a + " needs a value");
            return argv[++i];
        };
        const unsigned long long kMs = 3600000ULL;
        if (a == "--device") o.device = value();
        else if (a == "--baud") o.baud = NumberArg(a, value(), 4000000);
        else if (a == "--no-xonxoff") flag(&o.xonxoff, false);
        else if (a == "--link") o.link = value();
        else if (a == "--no-wait-open") flag(&o.waitOpen, false);
        else if (a == "--start-delay") o.startDelay = NumberArg(a, value(), kMs);
        else if (a == "--plan") o.plan = value();
        else if (a == "--past-end") flag(&o.pastEnd, true);
        else if (a == "--noise") o.noise = NumberArg(a, value(), 1000000);
        else if (a == "--seed") { o.seed = NumberArg(a, value(), 0xFFFFFFFFULL); o.seedGiven = true; }
        else if (a == "--wrong-byte") o.wrongByte = NumberArg(a, value(), 65536);
        else if (a == "--stop-after") o.stopAfter = NumberArg(a, value(), 0x7FFFFFFF);
        else if (a == "--hold-xoff-after") o.holdXoffAfter = NumberArg(a, value(), 0x7FFFFFFF);
        else if (a == "--xoff-pause") o.xoffPause = NumberArg(a, value(), 3600000);
        else if (a == "--vanish-after") o.vanishAfter = NumberArg(a, value(), 0x7FFFFFFF);
        else if (a == "--flood") o.flood = NumberArg(a, value(), 100000000);
        else if (a == "--silent") flag(&o.silent, true);
        else if (a == "--no-complete") flag(&o.complete, false);
        else if (a == "--repeat") o.repeat = NumberArg(a, value(), 100000);
        else if (a == "--pace") o.pace = NumberArg(a, value(), 100000000);
        else if (a == "--reply-timeout") o.replyTimeout = NumberArg(a, value(), kMs);
        else if (a == "--connect-timeout") o.connectTimeout = NumberArg(a, value(), kMs);
        else if (a == "--silence") o.silenceMs = NumberArg(a, value(), kMs);
        else if (a == "--linger") o.lingerMs = NumberArg(a, value(), kMs);
        else if (a == "--duration") o.durationS = NumberArg(a, value(), 30L * 86400);
        else if (a == "--transcript") o.transcript = value();
        else if (a == "--xoff-at-complete") flag(&o.xoffAtComplete, true);
        else if (a == "--flood-held") o.floodHeld = NumberArg(a, value(), 100000000);
        else if (a == "--rig") o.rigDir = value();
        else if (a == "--wiring") o.wiring = WiringArg(value());
        else if (a == "--deny-open") o.denyOpen = NumberArg(a, value(), kMs);
        else if (a == "--hang-close") o.hangClose = NumberArg(a, value(), kMs);
        else Fail(EXIT_USAGE, "unknown option " + a);
    }
    if (positional.size() != 1)
        Fail(EXIT_USAGE, positional.empty() ? "no DLF file given" : "more than one DLF file given");
    o.file = positional[0];
    if (o.repeat < 1)
        Fail(EXIT_USAGE, "--repeat must be at least 1");
    if (o.replyTimeout < 1 || o.connectTimeout < 1)
        Fail(EXIT_USAGE, "timeouts must be at least 1 ms");
    if (o.silent && (o.noise || o.flood || o.wrongByte >= 0 || o.pastEnd || o.stopAfter >= 0 ||
                     o.holdXoffAfter >= 0 || o.vanishAfter >= 0 || o.xoffAtComplete || o.floodHeld))
        Fail(EXIT_USAGE, "--silent excludes the other scenario options");
    if ((o.stopAfter >= 0) + (o.holdXoffAfter >= 0) + (o.vanishAfter >= 0) > 1)
        Fail(EXIT_USAGE, "--stop-after, --hold-xoff-after and --vanish-after exclude one another");
    if (o.xoffPause > 0 && o.holdXoffAfter < 0)
        Fail(EXIT_USAGE, "--xoff-pause needs --hold-xoff-after");
    if (o.vanishAfter >= 0 && !o.device.empty())
        Fail(EXIT_USAGE, "--vanish-after needs a pseudo terminal, not --device");
    // Both end the run where they hold the PC's answers.
    if (o.xoffAtComplete && (!o.complete || o.repeat > 1 || o.floodHeld))
        Fail(EXIT_USAGE, "--xoff-at-complete ends the run: not with --no-complete, --repeat or --flood-held");
    if (o.floodHeld && (o.repeat > 1 || o.stopAfter >= 0 || o.holdXoffAfter >= 0 || o.vanishAfter >= 0))
        Fail(EXIT_USAGE, "--flood-held ends the run after the handshake: not with --repeat, --stop-after, "
                         "--hold-xoff-after or --vanish-after");
    if (o.rigDir.empty() && getenv("KELVO_RIG"))
        o.rigDir = getenv("KELVO_RIG");
    bool rigged = o.wiring != Wiring::kNone || o.denyOpen >= 0 || o.hangClose >= 0;
    if (rigged && o.rigDir.empty())
        Fail(EXIT_USAGE, "--wiring, --deny-open and --hang-close need the rig's directory: --rig DIR or KELVO_RIG");
    if (rigged && !o.device.empty())
        Fail(EXIT_USAGE, "--wiring, --deny-open and --hang-close need a pseudo terminal, not --device");
    if (o.wiring != Wiring::kNone && !o.waitOpen)
        Fail(EXIT_USAGE, "--wiring waits for the PC to open the port: not with --no-wait-open");
    return o;
}

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

// The board behind the port as its reset wiring sees the PC's DTR and RTS,
// one logged change after the other (times in microseconds, the log's clock).
struct Board {
    bool reset = false;          // held in reset (EN low)
    int64_t resetSince = 0;
    bool download = false;       // its last start was into the download mode
    int64_t startedAt = 0;       // when it last came out of reset
};

const int64_t kResetHoldUs = 10000;   // the least reset that starts the board anew

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

int64_t MonotonicUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// How a block request ended.
enum class Served { kBlock, kStopped, kHeld, kVanish };

// The serial line to the PC plus the bookkeeping of everything on it.
class Target {
public:
    Target(const Options &o, const std::vector<uint8_t> &file)
        : o_(o), file_(file), t0_(Clock::now()), lineFree_(t0_),
          charTime_(std::chrono::nanoseconds(o.pace > 0 ? 10LL * 1000000000LL / o.pace : 0))
    {
        if (o.pace > 0)
            prctl(PR_SET_TIMERSLACK, 1);            // a character time is some 100 us
    }

    ~Target()
    {
        if (fd_ >= 0)
            close(fd_);
        StopHolder();
        if (tr_)
            fclose(tr_);
    }

    const std::string &PortPath() const { return portPath_; }
    bool IsPty() const { return isPty_; }
    long Verified() const { return verified_; }
    void NewSession() { paused_ = false; }
    long Blocks() const { return blocks_; }
    long ElapsedMs() const { return MsSince(t0_); }
    // The last completed session, from its first handshake byte to the
    // completion's answer: the download itself, without the PC's start-up.
    long TransferMs() const
    {
        if (xferEnd_ < xferStart_)
            return 0;
        return std::chrono::duration_cast<std::chrono::milliseconds>(xferEnd_ - xferStart_).count();
    }
    void FlushTranscript()
    {
        if (tr_)
            fflush(tr_);
    }

    void OpenTranscript()
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

    void OpenPty()
    {
        fd_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0)
            Fail(EXIT_IO, Format("cannot create a pseudo terminal: %s", strerror(errno)));
        char name[256];
        if (ptsname_r(fd_, name, sizeof name) != 0)
            Fail(EXIT_IO, "cannot name the pseudo terminal");
        portPath_ = name;
        // Raw mode is set through the slave once; the PC program sets its own
        // termios later. The slave is closed again right away so that the
        // master reports a hangup until the PC opens it.
        int s = open(name, O_RDWR | O_NOCTTY);
        if (s < 0)
            Fail(EXIT_IO, Format("cannot open %.200s: %s", name, strerror(errno)));
        struct termios t;
        if (tcgetattr(s, &t) != 0) {
            close(s);
            Fail(EXIT_IO, "cannot read the pseudo terminal's settings");
        }
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        int rc = tcsetattr(s, TCSANOW, &t);
        close(s);
        if (rc != 0)
            Fail(EXIT_IO, "cannot set the pseudo terminal to raw mode");
        StartHolder();
        SetNonBlocking();
        isPty_ = true;
    }

    // Claims the slave for a helper process (see ptyclaim.h) so that the
    // wineserver, opening the port, cannot adopt it. holder_ is killed when
    // dlfsim ends, or by the kernel if dlfsim dies.
    void StartHolder()
    {
        switch (ClaimPtyInHelper(portPath_.c_str(), fd_, &holder_)) {
        case PtyClaim::Claimed:
            return;
        case PtyClaim::PipeFailed:
            Fail(EXIT_IO, Format("pipe failed: %s", strerror(errno)));
        case PtyClaim::ForkFailed:
            Fail(EXIT_IO, Format("fork failed: %s", strerror(errno)));
        case PtyClaim::NotClaimed:
            break;
        }
        Fail(EXIT_IO, Format("cannot claim %.200s as a controlling terminal", portPath_.c_str()));
    }

    void StopHolder()
    {
        if (holder_ <= 0)
            return;
        kill(holder_, SIGKILL);
        while (waitpid(holder_, nullptr, 0) < 0 && errno == EINTR) {
        }
        holder_ = -1;
    }

    // The port disappears: the PC's handle hangs up at once.
    void Vanish()
    {
        Comment("port vanished");
        FlushTranscript();
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    // Reads nothing more and only watches for the PC closing the port.
    // Returns what ended the hold.
    const char *Hold()
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

    void OpenDevice()
    {
        speed_t sp = BaudConstant(o_.baud);
        fd_ = open(o_.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            Fail(EXIT_IO, Format("cannot open %.300s: %s", o_.device.c_str(), strerror(errno)));
        struct termios t;
        if (tcgetattr(fd_, &t) != 0)
            Fail(EXIT_IO, Format("%.300s is not a serial port", o_.device.c_str()));
        cfmakeraw(&t);
        t.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
        t.c_cflag |= CS8 | CLOCAL | CREAD;
        if (o_.xonxoff)
            t.c_iflag |= IXON | IXOFF;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
        if (tcsetattr(fd_, TCSANOW, &t) != 0)
            Fail(EXIT_IO, Format("cannot configure %.300s: %s", o_.device.c_str(), strerror(errno)));
        tcflush(fd_, TCIOFLUSH);
        portPath_ = o_.device;
    }

    void Comment(const std::string &text)
    {
        if (tr_)
            fprintf(tr_, "# %s\n", text.c_str());
    }

    // True while nobody has the pty slave open (a device is always "open").
    bool PeerClosed()
    {
        if (!isPty_)
            return false;
        struct pollfd p = {fd_, POLLIN, 0};
        int rc = poll(&p, 1, 0);
        bool closed = rc > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN);
        if (closed)
            closedSeenUs_ = MonotonicUs();
        return closed;
    }

    // Waits until the PC has opened the port; only --duration or a signal ends it early.
    void WaitOpen(const char *what)
    {
        Comment(Format("waiting for the PC to open the port (%s)", what));
        while (PeerClosed()) {
            CheckInterrupted(what);
            CheckDuration(what, true);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        NotePeer(true);
    }

    // The rig's log of the PC's DTR and RTS on this port (--wiring).
    void UseRigLines(const std::string &path) { rigLines_ = path; }

    // Waits until the PC's DTR and RTS have put the board into its download
    // mode since the PC last opened the port. The board follows every change
    // in the log, but only a start that came after the port was last seen
    // closed counts. A close releases the lines and may well start the board
    // (DTR held, then dropped): the lines are read before and after each look
    // at the port, and only a start with the port seen open and no new line
    // since counts, so the close's own never does.
    void WaitDownloadMode()
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

    // --flood-held: XOFF, then n bytes 02 as fast as the line takes them,
    // none waiting for an answer. Stops when all went, the line took nothing
    // for 2 s, the PC closed the port, --duration ended or a signal came;
    // returns how many went. What the PC sends meanwhile (a PC whose port
    // ignores XOFF answers) is read and logged, so that it never blocks.
    long FloodHeld(long n)
    {
        Comment(Format("flood held: XOFF, then %ld bytes 02", n));
        Send(XOFF, "flood held: XOFF");
        uint8_t chunk[4096];
        memset(chunk, STX, sizeof chunk);
        long sent = 0;
        Clock::time_point stall = Clock::now() + std::chrono::seconds(2);
        while (sent < n && Clock::now() < stall && !g_signal && !DurationOver()) {
            struct pollfd p = {fd_, POLLIN | POLLOUT, 0};
            int rc = poll(&p, 1, 20);
            if (rc < 0 && errno != EINTR)
                Fatal("poll");
            if (rc > 0 && (p.revents & POLLIN)) {
                if (ReadAvailable() == kClosed)
                    break;
                rx_.clear();
            } else if (rc > 0 && (p.revents & (POLLHUP | POLLERR))) {
                break;
            }
            if (rc > 0 && (p.revents & POLLOUT)) {
                ssize_t w = write(fd_, chunk, static_cast<size_t>(std::min<long>(n - sent, sizeof chunk)));
                if (w > 0) {
                    for (ssize_t i = 0; i < w; ++i)
                        Log('T', STX);
                    sent += w;
                    stall = Clock::now() + std::chrono::seconds(2);
                } else if (w < 0 && errno == EIO) {
                    break;
                } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    Fatal("write");
                }
            }
        }
        Comment(Format("flood held: the line took %ld of %ld bytes", sent, n));
        return sent;
    }

    // Watches a line whose PC side XOFF holds until the PC closes the port,
    // --duration ends or a signal arrives, and returns which. With strict,
    // any byte from the PC fails the run; else it is only logged.
    const char *WatchHeld(bool strict, const char *what)
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

    // Notes in the transcript when the PC opens or closes the pseudo
    // terminal, and the line settings it gives it (speed, stop bits, flow
    // control) as they change: the first thing to look at when a PC program
    // and a target do not talk.
    void NotePeer(bool open)
    {
        if (!isPty_)
            return;
        if (open != peerOpen_)
            Comment(open ? "the PC opened the port" : "the PC closed the port");
        peerOpen_ = open;
        struct termios t;
        if (!open || tcgetattr(fd_, &t) != 0)      // a master reports its slave's settings
            return;
        long baud = 0;
        for (long b : {1200L, 2400L, 4800L, 9600L, 19200L, 38400L, 57600L, 115200L, 230400L, 460800L, 921600L})
            if (BaudConstant(b) == cfgetospeed(&t))
                baud = b;
        const char *flow = (t.c_cflag & CRTSCTS) ? "rts/cts" : (t.c_iflag & (IXON | IXOFF)) ? "xon/xoff" : "none";
        std::string line = Format("line: %ld bit/s, %s, flow %s", baud,
                                  (t.c_cflag & CSTOPB) ? "2 stop bits" : "1 stop bit", flow);
        if (line != lastLine_)
            Comment(line);
        lastLine_ = line;
    }

    // Waits until the PC closes the port; anything it sends meanwhile is an error.
    // limitMs < 0: no limit but --duration. Returns false if the limit passed.
    bool WaitClosed(const char *what, long limitMs)
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

    // Watches the line for the given time (or until a signal or --duration
    // when ms < 0); any byte is an error. A closed port simply counts as quiet.
    void ExpectSilence(long ms, const char *what)
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

    void Send(uint8_t b, const char *step)
    {
        // Anything already waiting arrived without being asked for.
        int early = Poll(0);
        if (early >= 0)
            Fail(EXIT_MISMATCH, Format("PC sent %02X unprompted before %s", early, step));
        if (early == kClosed)
            Fail(EXIT_MISMATCH, Format("PC closed the port before %s", step));
        if (o_.pace > 0) {
            // The byte goes on the line when the line is free: at once after
            // what came before (the target answers without delay), or now
            // when the line has stood idle for longer than a character. The
            // PC gets it when its last bit has arrived, a character later.
            Clock::time_point now = Clock::now();
            lineStart_ = now - lineFree_ < charTime_ ? lineFree_ : now;
            lineFree_ = lineStart_ + charTime_;
            std::this_thread::sleep_until(lineFree_);
        } else {
            lineStart_ = Clock::now();
        }
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(o_.replyTimeout);
        for (;;) {
            // Taken before each try: the PC cannot have the byte any sooner.
            writeLate_ = Clock::now() - lineFree_;
            ssize_t n = write(fd_, &b, 1);
            if (n == 1)
                break;
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (Clock::now() >= end)
                    Fail(EXIT_MISMATCH, Format("PC does not take data (%s)", step));
                struct pollfd p = {fd_, POLLOUT, 0};
                poll(&p, 1, 20);
                continue;
            }
            if (n < 0 && errno == EIO)
                Fail(EXIT_MISMATCH, Format("PC closed the port at %s", step));
            Fail(EXIT_IO, Format("write failed at %s: %s", step, n < 0 ? strerror(errno) : "short write"));
        }
        Log('T', b);
    }

    // Waits for one byte; fails on timeout or a closed port.
    uint8_t Receive(long timeoutMs, const char *step)
    {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            long left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            int b = Poll(static_cast<int>(std::min<long>(std::max<long>(left, 0), 50)));
            if (b >= 0 && o_.pace > 0) {
                // The PC's byte has crossed the line 10 bit times after it was
                // sent, and no sooner than that after the line came free. All
                // the time from this side beginning to write its last byte to
                // the answer arriving here is the PC's, and charged; only how
                // late that write began, past the line's clock, is not.
                lineFree_ = std::max(Clock::now() - writeLate_, lineFree_) + charTime_;
                std::this_thread::sleep_until(lineFree_);
            }
            if (b >= 0)
                return static_cast<uint8_t>(b);
            if (b == kClosed)
                Fail(EXIT_MISMATCH, Format("PC closed the port while %s", step));
            if (g_signal)
                Fail(EXIT_MISMATCH, Format("interrupted while %s", step));
            CheckDuration(step, false);
            if (left <= 0)
                Fail(EXIT_MISMATCH, Format("no answer within %ld ms while %s", timeoutMs, step));
        }
    }

    void Expect(uint8_t want, long timeoutMs, const char *step)
    {
        uint8_t got = Receive(timeoutMs, step);
        if (got != want)
            Fail(EXIT_MISMATCH, Format("expected %02X, got %02X while %s", want, got, step));
    }

    // Sends b and checks the answer bytes, one after the other.
    void Exchange(uint8_t b, std::initializer_list<uint8_t> answer, const char *step, long timeoutMs = 0)
    {
        Send(b, step);
        for (uint8_t a : answer)
            Expect(a, timeoutMs > 0 ? timeoutMs : o_.replyTimeout, step);
    }

    void Handshake(bool first)
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

    void SendNoise(long count, std::mt19937 &rng)
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
    void SendFlood(long count, std::mt19937 &rng)
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
            struct pollfd p = {fd_, POLLIN | POLLOUT, 0};
            int rc = poll(&p, 1, 20);
            if (rc < 0 && errno != EINTR)
                Fatal("poll");
            if (rc > 0 && (p.revents & POLLIN)) {
                if (ReadAvailable() == kClosed)
                    Fail(EXIT_MISMATCH, "PC closed the port during the flood");
            } else if (rc > 0 && (p.revents & (POLLHUP | POLLERR))) {
                Fail(EXIT_MISMATCH, "PC closed the port during the flood");
            }
            if (rc > 0 && (p.revents & POLLOUT)) {
                ssize_t n = write(fd_, chunk + pos, have - pos);
                if (n > 0) {
                    for (ssize_t i = 0; i < n; ++i)
                        Log('T', chunk[pos + i]);
                    pos += static_cast<size_t>(n);
                    stall = Clock::now() + std::chrono::milliseconds(o_.replyTimeout);
                } else if (n < 0 && errno == EIO) {
                    Fail(EXIT_MISMATCH, "PC closed the port during the flood");
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    Fatal("write");
                }
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
    Served Request(const PlanItem &p, long wrongAfter, long *sessionData)
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

    void Complete()
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

    bool DurationOver() const
    {
        return o_.durationS > 0 && ElapsedMs() >= o_.durationS * 1000;
    }

    void CheckDuration(const char *what, bool passive)
    {
        if (DurationOver())
            Fail(EXIT_MISMATCH, Format("--duration ran out %s%s", passive ? "" : "while ", what));
    }

    void CheckInterrupted(const char *what)
    {
        if (g_signal)
            Fail(EXIT_MISMATCH, Format("interrupted while %s", what));
    }

    static const int kNothing = -1;
    static const int kClosed = -2;

private:
    // One byte if one arrives within ms, kNothing, or kClosed when the PC
    // closed the port (a pty hangup or EIO).
    int Poll(int ms)
    {
        if (!rx_.empty())
            return Pop();
        struct pollfd p = {fd_, POLLIN, 0};
        int rc = poll(&p, 1, ms);
        if (rc < 0)
            return errno == EINTR ? kNothing : Fatal("poll");
        if (rc == 0)
            return kNothing;
        if (p.revents & POLLIN) {
            int r = ReadAvailable();
            return r > 0 ? Pop() : r;
        }
        if (p.revents & (POLLHUP | POLLERR))
            return Closed();
        return kNothing;
    }

    // kClosed, noting when the port was last seen closed: whatever the PC
    // did to the lines before then belongs to an earlier open.
    int Closed()
    {
        closedSeenUs_ = MonotonicUs();
        return kClosed;
    }

    // Appends what the PC has sent to rx_: the count, kNothing or kClosed.
    int ReadAvailable()
    {
        uint8_t buf[256];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                Log('P', buf[i]);
                rx_.push_back(buf[i]);
            }
            return static_cast<int>(n);
        }
        if (n == 0 || errno == EIO)
            return Closed();
        if (errno == EAGAIN || errno == EINTR)
            return kNothing;
        return Fatal("read");
    }

    int Pop()
    {
        int b = rx_.front();
        rx_.pop_front();
        return b;
    }

    int Fatal(const char *what)
    {
        Fail(EXIT_IO, Format("%s failed on %.200s: %s", what, portPath_.c_str(), strerror(errno)));
    }

    void Log(char who, uint8_t b)
    {
        if (tr_)
            fprintf(tr_, "%ld %c %02X\n", ElapsedMs(), who, b);
    }

    static long MsSince(Clock::time_point t)
    {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
    }

    void SetNonBlocking()
    {
        int fl = fcntl(fd_, F_GETFL);
        if (fl < 0 || fcntl(fd_, F_SETFL, fl | O_NONBLOCK) != 0)
            Fail(EXIT_IO, "cannot make the port non-blocking");
    }

    static speed_t BaudConstant(long baud)
    {
        static const struct { long baud; speed_t sp; } table[] = {
            {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
            {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
            {230400, B230400}, {460800, B460800}, {921600, B921600},
        };
        for (const auto &e : table)
            if (e.baud == baud)
                return e.sp;
        Fail(EXIT_USAGE, Format("--baud %ld is not a standard rate", baud));
    }

    const Options &o_;
    const std::vector<uint8_t> &file_;
    Clock::time_point t0_;
    Clock::time_point xferStart_{}, xferEnd_{};
    // The paced line: the start of the target's last byte on it and when it
    // is free again (the line's own clock, which sleeps follow). A target's
    // byte is written at its lineFree_, when its last bit has arrived.
    Clock::time_point lineStart_, lineFree_;
    std::chrono::nanoseconds charTime_;
    Clock::duration writeLate_{};   // how long after its lineFree_ the last byte's write began
    int fd_ = -1;
    pid_t holder_ = -1;
    bool isPty_ = false;
    bool peerOpen_ = false;         // what the transcript last said of the PC's side
    std::string lastLine_;          // and of its line settings
    std::string portPath_;
    FILE *tr_ = nullptr;
    std::deque<uint8_t> rx_;
    long verified_ = 0;
    long blocks_ = 0;
    bool paused_ = false;           // this session's --xoff-pause is over
    std::string rigLines_;          // the rig's log of the PC's lines (--wiring)
    off_t rigRead_ = 0;             // how much of it is read
    std::string rigPartial_;        // a line read in part
    Board board_;
    int64_t closedSeenUs_ = 0;      // when the port was last seen closed (MonotonicUs)

    // Reads the lines the rig logged since the last call, feeds them to the
    // board and notes each in the transcript; returns how many there were.
    int ReadRigLines()
    {
        int fd = open(rigLines_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT)
                Fail(EXIT_IO, Format("cannot read %.300s: %s", rigLines_.c_str(), strerror(errno)));
            return 0;
        }
        char buf[4096];
        ssize_t n;
        while ((n = pread(fd, buf, sizeof buf, rigRead_)) > 0) {
            rigPartial_.append(buf, static_cast<size_t>(n));
            rigRead_ += n;
        }
        close(fd);
        int lines = 0;
        for (size_t nl; (nl = rigPartial_.find('\n')) != std::string::npos; rigPartial_.erase(0, nl + 1)) {
            long long t;
            int dtr, rts;
            std::string line = rigPartial_.substr(0, nl);
            if (sscanf(line.c_str(), "%lld %d %d", &t, &dtr, &rts) != 3)
                Fail(EXIT_IO, Format("%.300s: not a line of the rig: \"%.60s\"", rigLines_.c_str(), line.c_str()));
            std::string how = BoardLines(&board_, o_.wiring, t, dtr != 0, rts != 0);
            Comment(Format("lines: DTR %d RTS %d: %s", dtr != 0, rts != 0, how.c_str()));
            ++lines;
        }
        return lines;
    }

    // Whether the PC has closed the port; what it sent is kept for the session.
    bool PortClosedNow()
    {
        struct pollfd p = {fd_, POLLIN, 0};
        int rc = poll(&p, 1, 0);
        if (rc < 0 && errno != EINTR)
            Fatal("poll");
        if (rc > 0 && (p.revents & POLLIN))
            return ReadAvailable() == kClosed;
        if (rc > 0 && (p.revents & (POLLHUP | POLLERR))) {
            Closed();
            return true;
        }
        return false;
    }
};

// Keeps --link pointing at the port for the life of the run.
class Link {
public:
    ~Link() { Remove(); }

    void Create(const std::string &path, const std::string &target)
    {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                Fail(EXIT_IO, Format("--link: %.300s exists and is not a symlink", path.c_str()));
            if (unlink(path.c_str()) != 0)
                Fail(EXIT_IO, Format("--link: cannot remove %.300s: %s", path.c_str(), strerror(errno)));
        }
        if (symlink(target.c_str(), path.c_str()) != 0)
            Fail(EXIT_IO, Format("--link: cannot create %.300s: %s", path.c_str(), strerror(errno)));
        path_ = path;
        target_ = target;
    }

    // Only our own link goes: if someone replaced it meanwhile, it stays.
    void Remove()
    {
        if (path_.empty())
            return;
        char buf[4096];
        ssize_t n = readlink(path_.c_str(), buf, sizeof buf - 1);
        if (n >= 0) {
            buf[n] = '\0';
            if (target_ == buf)
                unlink(path_.c_str());
        }
        path_.clear();
    }

private:
    std::string path_;
    std::string target_;
};

// The line rig's files for the pseudo terminal, in the rig's directory,
// named after the slave's device number: <major>.<minor>.lines (the PC's
// DTR and RTS, logged by the rig), .deny (while it exists the PC's open
// fails with EACCES) and .hang (the milliseconds the PC's close takes).
// The rig itself is libkelvo-rig.so, preloaded into the PC program.
class Rig {
public:
    ~Rig()
    {
        if (timer_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stop_ = true;
            }
            wake_.notify_all();
            timer_.join();
        }
        if (!base_.empty()) {
            unlink((base_ + "deny").c_str());
            unlink((base_ + "hang").c_str());
        }
    }

    // Clears what an earlier pseudo terminal of the same number left and
    // makes the files of --deny-open and --hang-close.
    void Setup(const Options &o, const std::string &port)
    {
        struct stat st;
        if (stat(port.c_str(), &st) != 0)
            Fail(EXIT_IO, Format("cannot stat %.300s: %s", port.c_str(), strerror(errno)));
        base_ = Format("%.300s/%u.%u.", o.rigDir.c_str(), major(st.st_rdev), minor(st.st_rdev));
        for (const char *what : {"lines", "deny", "hang"})
            if (unlink((base_ + what).c_str()) != 0 && errno != ENOENT)
                Fail(EXIT_IO, Format("--rig: cannot remove %.300s: %s", (base_ + what).c_str(), strerror(errno)));
        if (o.denyOpen >= 0)
            Write("deny", "");
        if (o.hangClose >= 0)
            Write("hang", Format("%ld\n", o.hangClose));
    }

    std::string LinesPath() const { return base_ + "lines"; }

    // Removes the deny file ms from now.
    void DenyFor(long ms)
    {
        timer_ = std::thread([this, ms] {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
            unlink((base_ + "deny").c_str());
        });
    }

private:
    void Write(const char *what, const std::string &text)
    {
        std::string path = base_ + what;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd >= 0 && close(fd) != 0)
            ok = false;
        if (!ok)
            Fail(EXIT_IO, Format("--rig: cannot write %.300s: %s", path.c_str(), strerror(errno)));
    }

    std::string base_;           // "<dir>/<major>.<minor>."
    std::thread timer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
};

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

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    try {
        std::string showOnly;
        o = ParseArgs(argc, argv, &showOnly);
        if (!showOnly.empty()) {
            fputs(showOnly.c_str(), stdout);
            return EXIT_MATCHED;
        }
    } catch (const Failure &f) {
        fprintf(stderr, "dlfsim: %s\n(dlfsim --help shows the options)\n", f.msg.c_str());
        return f.code;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<uint8_t> file;
    std::vector<PlanItem> plan;
    int code;
    std::string reason, okLine;
    {
        Link link;
        Rig rig;
        try {
            file = ReadFile(o.file);
            plan = BuildPlan(o, file.size());
            if (o.wrongByte >= 0) {
                auto it = std::find_if(plan.begin(), plan.end(),
                                       [&](const PlanItem &p) { return !PastEnd(p, file.size()); });
                if (it == plan.end())
                    Fail(EXIT_USAGE, "--wrong-byte needs a block inside the file");
                if (o.wrongByte > static_cast<long>(std::max<uint32_t>(it->length, 1)))
                    Fail(EXIT_USAGE, "--wrong-byte is beyond the first block");
            }
            WarnFlowBytes(plan);
        } catch (const Failure &f) {
            fprintf(stderr, "dlfsim: %s\n", f.msg.c_str());
            return f.code;
        }
        Target t(o, file);
        try {
            t.OpenTranscript();
            code = Run(o, t, link, rig, plan, file.size(), &okLine);
        } catch (const Failure &f) {
            code = f.code;
            reason = f.msg;
        }
        t.FlushTranscript();
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
    return code;
}
