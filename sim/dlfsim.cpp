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
//
// This file holds main and the options; sim.h says where the rest is.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

#include "kelvo_version.h"
#include "sim.h"

namespace sim {

volatile sig_atomic_t g_signal = 0;

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

namespace {

void OnSignal(int sig) { g_signal = sig; }

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

}  // namespace

long NumberArg(const std::string &opt, const std::string &val, unsigned long long max)
{
    unsigned long long v;
    if (!ParseNumber(val, max, &v))
        Fail(EXIT_USAGE, Format("%s: bad number \"%.60s\" (0..%llu)", opt.c_str(), val.c_str(), max));
    return static_cast<long>(v);
}

namespace {

Wiring WiringArg(const std::string &val)
{
    for (Wiring w : {Wiring::kDtrPulse, Wiring::kRtsPulse, Wiring::kTwoTransistor})
        if (val == WiringName(w))
            return w;
    Fail(EXIT_USAGE, Format("--wiring: unknown wiring \"%.60s\" (dtr-pulse, rts-pulse, two-transistor)", val.c_str()));
}

// The long options; each value is OPT_FIRST plus the option's own index in
// the table, clear of the characters getopt_long returns.
enum {
    OPT_FIRST = 256,
    OPT_DEVICE = OPT_FIRST, OPT_BAUD, OPT_NO_XONXOFF, OPT_LINK, OPT_NO_WAIT_OPEN, OPT_START_DELAY, OPT_PLAN,
    OPT_PAST_END, OPT_NOISE, OPT_SEED, OPT_WRONG_BYTE, OPT_STOP_AFTER, OPT_HOLD_XOFF_AFTER, OPT_XOFF_PAUSE,
    OPT_VANISH_AFTER, OPT_FLOOD, OPT_SILENT, OPT_NO_COMPLETE, OPT_REPEAT, OPT_PACE, OPT_REPLY_TIMEOUT,
    OPT_CONNECT_TIMEOUT, OPT_SILENCE, OPT_LINGER, OPT_DURATION, OPT_TRANSCRIPT, OPT_XOFF_AT_COMPLETE,
    OPT_FLOOD_HELD, OPT_RIG, OPT_WIRING, OPT_DENY_OPEN, OPT_HANG_CLOSE, OPT_HELP, OPT_VERSION
};
const struct option kOptions[] = {
    {"device", required_argument, nullptr, OPT_DEVICE},
    {"baud", required_argument, nullptr, OPT_BAUD},
    {"no-xonxoff", no_argument, nullptr, OPT_NO_XONXOFF},
    {"link", required_argument, nullptr, OPT_LINK},
    {"no-wait-open", no_argument, nullptr, OPT_NO_WAIT_OPEN},
    {"start-delay", required_argument, nullptr, OPT_START_DELAY},
    {"plan", required_argument, nullptr, OPT_PLAN},
    {"past-end", no_argument, nullptr, OPT_PAST_END},
    {"noise", required_argument, nullptr, OPT_NOISE},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"wrong-byte", required_argument, nullptr, OPT_WRONG_BYTE},
    {"stop-after", required_argument, nullptr, OPT_STOP_AFTER},
    {"hold-xoff-after", required_argument, nullptr, OPT_HOLD_XOFF_AFTER},
    {"xoff-pause", required_argument, nullptr, OPT_XOFF_PAUSE},
    {"vanish-after", required_argument, nullptr, OPT_VANISH_AFTER},
    {"flood", required_argument, nullptr, OPT_FLOOD},
    {"silent", no_argument, nullptr, OPT_SILENT},
    {"no-complete", no_argument, nullptr, OPT_NO_COMPLETE},
    {"repeat", required_argument, nullptr, OPT_REPEAT},
    {"pace", required_argument, nullptr, OPT_PACE},
    {"reply-timeout", required_argument, nullptr, OPT_REPLY_TIMEOUT},
    {"connect-timeout", required_argument, nullptr, OPT_CONNECT_TIMEOUT},
    {"silence", required_argument, nullptr, OPT_SILENCE},
    {"linger", required_argument, nullptr, OPT_LINGER},
    {"duration", required_argument, nullptr, OPT_DURATION},
    {"transcript", required_argument, nullptr, OPT_TRANSCRIPT},
    {"xoff-at-complete", no_argument, nullptr, OPT_XOFF_AT_COMPLETE},
    {"flood-held", required_argument, nullptr, OPT_FLOOD_HELD},
    {"rig", required_argument, nullptr, OPT_RIG},
    {"wiring", required_argument, nullptr, OPT_WIRING},
    {"deny-open", required_argument, nullptr, OPT_DENY_OPEN},
    {"hang-close", required_argument, nullptr, OPT_HANG_CLOSE},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

// Takes one option and its value v; a is the option's name, for messages.
// Returns true when *pShowOnly is to be printed instead of running.
bool TakeOption(int opt, const std::string &a, const char *v, Options *o, std::string *pShowOnly)
{
    const unsigned long long kMs = 3600000ULL;
    switch (opt) {
    case OPT_DEVICE: o->device = v; break;
    case OPT_BAUD: o->baud = NumberArg(a, v, 4000000); break;
    case OPT_NO_XONXOFF: o->xonxoff = false; break;
    case OPT_LINK: o->link = v; break;
    case OPT_NO_WAIT_OPEN: o->waitOpen = false; break;
    case OPT_START_DELAY: o->startDelay = NumberArg(a, v, kMs); break;
    case OPT_PLAN: o->plan = v; break;
    case OPT_PAST_END: o->pastEnd = true; break;
    case OPT_NOISE: o->noise = NumberArg(a, v, 1000000); break;
    case OPT_SEED: o->seed = NumberArg(a, v, 0xFFFFFFFFULL); o->seedGiven = true; break;
    case OPT_WRONG_BYTE: o->wrongByte = NumberArg(a, v, 65536); break;
    case OPT_STOP_AFTER: o->stopAfter = NumberArg(a, v, 0x7FFFFFFF); break;
    case OPT_HOLD_XOFF_AFTER: o->holdXoffAfter = NumberArg(a, v, 0x7FFFFFFF); break;
    case OPT_XOFF_PAUSE: o->xoffPause = NumberArg(a, v, 3600000); break;
    case OPT_VANISH_AFTER: o->vanishAfter = NumberArg(a, v, 0x7FFFFFFF); break;
    case OPT_FLOOD: o->flood = NumberArg(a, v, 100000000); break;
    case OPT_SILENT: o->silent = true; break;
    case OPT_NO_COMPLETE: o->complete = false; break;
    case OPT_REPEAT: o->repeat = NumberArg(a, v, 100000); break;
    case OPT_PACE: o->pace = NumberArg(a, v, 100000000); break;
    case OPT_REPLY_TIMEOUT: o->replyTimeout = NumberArg(a, v, kMs); break;
    case OPT_CONNECT_TIMEOUT: o->connectTimeout = NumberArg(a, v, kMs); break;
    case OPT_SILENCE: o->silenceMs = NumberArg(a, v, kMs); break;
    case OPT_LINGER: o->lingerMs = NumberArg(a, v, kMs); break;
    case OPT_DURATION: o->durationS = NumberArg(a, v, 30L * 86400); break;
    case OPT_TRANSCRIPT: o->transcript = v; break;
    case OPT_XOFF_AT_COMPLETE: o->xoffAtComplete = true; break;
    case OPT_FLOOD_HELD: o->floodHeld = NumberArg(a, v, 100000000); break;
    case OPT_RIG: o->rigDir = v; break;
    case OPT_WIRING: o->wiring = WiringArg(v); break;
    case OPT_DENY_OPEN: o->denyOpen = NumberArg(a, v, kMs); break;
    case OPT_HANG_CLOSE: o->hangClose = NumberArg(a, v, kMs); break;
    case OPT_HELP:
        *pShowOnly = kHelp;
        return true;
    case OPT_VERSION:
        *pShowOnly = std::string("dlfsim ") + KELVO_VERSION + "\n";
        return true;
    }
    return false;
}

// *pShowOnly gets the text to print instead of running (--help, --version).
Options ParseArgs(int argc, char **argv, std::string *pShowOnly)
{
    Options o;
    std::vector<std::string> positional;
    opterr = 0;
    // "-": the file may stand before, between or after the options and comes
    // back in its place (as 1); ":": a missing value comes back as ':'. Every
    // return of a short option ends the parse, so no call starts inside a
    // group like -hx, and argv[at] is always the element the call read.
    for (;;) {
        int at = optind;
        int opt = getopt_long(argc, argv, "-:h", kOptions, nullptr);
        if (opt == -1)
            break;
        if (opt == 1) {
            positional.push_back(optarg);
            continue;
        }
        // The option as written, without its "=value".
        std::string a = argv[at];
        a = a.substr(0, a.find('='));
        int id = opt >= OPT_FIRST ? opt : (opt == '?' || opt == ':') && optopt >= OPT_FIRST ? optopt : 0;
        // getopt_long takes any unambiguous abbreviation; dlfsim only whole names.
        if (id && a != std::string("--") + kOptions[id - OPT_FIRST].name)
            Fail(EXIT_USAGE, "unknown option " + a);
        if (opt == ':')
            Fail(EXIT_USAGE, a + " needs a value");
        if (opt == '?' && (!id || id == OPT_HELP || id == OPT_VERSION))
            Fail(EXIT_USAGE, "unknown option " + a);
        if (opt == '?')
            Fail(EXIT_USAGE, a + " takes no value");
        if (opt == 'h' && strcmp(argv[at], "-h") != 0)
            Fail(EXIT_USAGE, "unknown option " + a);
        if (TakeOption(opt == 'h' ? OPT_HELP : opt, a, optarg, &o, pShowOnly))
            return o;
    }
    for (int i = optind; i < argc; ++i)
        positional.push_back(argv[i]);
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

}  // namespace

}  // namespace sim

int main(int argc, char **argv)
{
    using namespace sim;

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
        PrintResult(t, code, okLine, reason);
    }
    return code;
}
