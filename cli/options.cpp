// kelvo-cli's command line: its options, the usage text, and the file
// loaded and checked before any port is touched.
#include "cli.h"
#include "kelvo_version.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <getopt.h>   // getopt_long: the C library's on Linux, MinGW's own on Windows

namespace {

// The usage text; the %s are the port layer's own parts (kLayerText).
const char kUsage[] =
    "usage: kelvo-cli [options] PORT [PORT...] FILE.dlf\n"
    "\n"
    "Serves FILE.dlf to a download target on each serial port PORT (for\n"
    "example %s) and exits when every target has reported completion\n"
    "or failed. FILE is checked as the download station checks it before any\n"
    "port is opened; a file that fails is refused with the reason dlftool check\n"
    "gives. Each port is a session of its own: one that fails never stops the\n"
    "others.\n"
    "\n"
    "options:\n"
    "  --baud N        line speed in bit/s (default 115200)\n"
    "  --flow MODE     flow control: xonxoff (default), none, rtscts or dtrdsr\n"
    "%sWith xonxoff the line itself takes the bytes\n"
    "                  11 and 13 as flow control, so a request whose length or\n"
    "                  offset contains them never arrives: use none for such\n"
    "                  targets\n"
    "  --timeout S     give up on a port when its target sends nothing for S\n"
    "                  seconds (fractions allowed); also limits --wait-port.\n"
    "                  With --repeat it runs once a board has begun its\n"
    "                  handshake: the wait for the next board has no limit.\n"
    "                  Default 0: wait for ever\n"
    "  --log PATH      transcript, one line per byte:\n"
    "                    <ms since the port was opened> <T|P> <hex>\n"
    "                  T sent by the target, P by this program; lines starting\n"
    "                  with '#' mark events (boards, blocks, refusals, the end).\n"
    "                  With one port PATH is the file; with several it is a\n"
    "                  directory (made if missing) with one file per port,\n"
    "                  named after it: %s\n"
    "  --wait-port     wait for each PORT to appear and to open (tried every\n"
    "%s"
    "  --repeat        board after board: when a board has ended, its port is\n"
    "                  closed for a moment (DTR low), opened again (waiting for\n"
    "                  the device when it went away) and the next target is\n"
    "                  served; until interrupted or --count boards per port\n"
    "  --count N       with --repeat: stop after N boards on each port\n"
    "  --low-latency   set the latency timer of a USB serial adapter to 1 ms\n"
    "%s"
    "  --reset SEQ     put the target into its download mode through DTR and\n"
    "                  RTS after the port opens (for every board with --repeat).\n"
    "                  SEQ is a preset or a sequence of its own (below). A port\n"
    "                  that cannot drive the lines is refused before anything\n"
    "                  is sent. --timeout runs from the sequence's end\n"
    "  --report FILE   append one JSON object per board to FILE (JSON Lines):\n"
    "                  time (UTC), host, board, port, stable (%s), usb (vendor, product,\n"
    "                  serial, manufacturer, name), file, file_bytes, crc,\n"
    "                  sha256, bytes, blocks, seconds, reset, result, reason.\n"
    "                  Each record is written whole and flushed to the disk as\n"
    "                  its board ends; several runs may append to one file\n"
    "  -h, --help      this text\n"
    "  --version       print the version and exit\n"
    "\n"
    "The line runs 8 data bits, no parity, 1 stop bit; DTR and RTS are raised\n"
    "when the port opens and DTR is dropped before it is closed. For a USB\n"
    "serial adapter the latency timer is reported with what it costs.\n"
    "\n"
    "Reset sequences (asserted: the line's bit set, which drives an adapter's\n"
    "TTL output low):\n"
    "  dtr-pulse       the target's reset input on DTR (directly or through a\n"
    "                  capacitor): DTR asserted 100 ms, released, 50 ms\n"
    "  rts-pulse       the same on RTS\n"
    "  two-transistor  the two-transistor auto-reset circuit: RTS drives the\n"
    "                  reset (enable) pin and DTR the boot-select pin, each\n"
    "                  through a transistor the other line cancels, so that one\n"
    "                  line alone pulls its pin low and both alike do nothing:\n"
    "                  reset (RTS alone) 100 ms, boot-select (DTR alone) as the\n"
    "                  reset is let go, 50 ms, both released\n"
    "  spelled out     items dtr=0|1, rts=0|1 and pauses like 100ms, separated\n"
    "                  by commas; levels without a pause between them change\n"
    "                  together. two-transistor is\n"
    "                  dtr=0,rts=1,100ms,dtr=1,rts=0,50ms,dtr=0\n"
    "The lines keep the levels the sequence leaves until the board ends.\n"
    "\n"
    "Progress goes to stderr. With one port: a bar on a terminal, otherwise a\n"
    "line \"progress N%%\" at every tenth. With several: one line per port\n"
    "redrawn in place on a terminal, otherwise \"progress N%% PORT\".\n"
    "With one port and no --repeat, stdout gets one line at the end:\n"
    "  served <bytes> bytes in <blocks> blocks, <seconds> s, <rate> B/s\n"
    "(data bytes sent and blocks served, a block the target asked for again\n"
    "counted again; the time runs from the target's first byte to its\n"
    "completion). With several ports it gets a table, one row per port:\n"
    "  port  result  bytes  blocks  seconds  B/s\n"
    "With --repeat it gets one such row per board as the board ends, the\n"
    "board's number first and the reason of a failure last, and at the end a\n"
    "summary: boards passed and failed per port, each failure with its reason.\n"
    "Results: ok, io-error, timeout, gone, interrupted. A board whose last\n"
    "answer cannot leave the port within 2 s of its completion (the target\n"
    "holds XOFF) is not ok: the answer is discarded and the result is io-error.\n"
    "\n"
    "exit status:\n"
    "  0    every target reported completion\n"
    "  1    I/O error on a port (cannot open, read or write it, or drive its\n"
    "       lines for --reset) or on a transcript or the report (cannot create\n"
    "       or write it)\n"
    "  2    usage error, or FILE cannot be served: nothing was sent\n"
    "  3    timeout: a target sent nothing for S seconds, or a PORT did not\n"
    "       appear within S seconds; the message names the awaited step\n"
    "  4    a device went away during its session (unplugged, hung up)\n"
    "  130  interrupted by %s (DTR dropped, ports\n"
    "       closed)\n"
    "With several ports or boards the most serious outcome wins, in the\n"
    "order 130, 4, 3, 1: an interrupted run, a device that went away\n"
    "mid-session, a target that stopped answering, a port that could not be used.\n";

int UsageError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int UsageError(const char *fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "kelvo-cli: %s\nrun 'kelvo-cli --help' for usage\n", msg);
    return EXIT_USAGE;
}

// The long options; each value is the option's own index in the table.
enum {
    OPT_BAUD, OPT_FLOW, OPT_TIMEOUT, OPT_LOG, OPT_WAIT_PORT, OPT_REPEAT, OPT_COUNT,
    OPT_LOW_LATENCY, OPT_RESET, OPT_REPORT, OPT_HELP, OPT_VERSION
};
const struct option kOptions[] = {
    {"baud", required_argument, nullptr, OPT_BAUD},
    {"flow", required_argument, nullptr, OPT_FLOW},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"log", required_argument, nullptr, OPT_LOG},
    {"wait-port", no_argument, nullptr, OPT_WAIT_PORT},
    {"repeat", no_argument, nullptr, OPT_REPEAT},
    {"count", required_argument, nullptr, OPT_COUNT},
    {"low-latency", no_argument, nullptr, OPT_LOW_LATENCY},
    {"reset", required_argument, nullptr, OPT_RESET},
    {"report", required_argument, nullptr, OPT_REPORT},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

// Takes one option's value. Returns -1 when it is fine, else the exit status.
int TakeOption(int opt, const char *v, Options *o)
{
    char *end = nullptr;
    char why[400];
    switch (opt) {
    case OPT_BAUD:
        errno = 0;
        o->baud = strtoul(v, &end, 10);
        if (errno || end == v || *end || !LayerBaudOk(o->baud))
            return UsageError("unsupported baud rate '%s'", v);
        break;
    case OPT_FLOW:
        o->flow = v;
        if (o->flow != "none" && o->flow != "xonxoff" && o->flow != "rtscts" && o->flow != "dtrdsr")
            return UsageError("unknown flow control '%s' (none, xonxoff, rtscts, dtrdsr)", v);
        o->bDsrFlow = o->flow == "dtrdsr";
        break;
    case OPT_TIMEOUT:
        o->timeoutS = strtod(v, &end);
        if (end == v || *end || !std::isfinite(o->timeoutS) || o->timeoutS < 0 || o->timeoutS > 1e6)
            return UsageError("bad timeout '%s' (seconds, 0 for none)", v);
        break;
    case OPT_LOG: o->log = v; break;
    case OPT_WAIT_PORT: o->waitPort = true; break;
    case OPT_REPEAT: o->repeat = true; break;
    case OPT_COUNT:
        errno = 0;
        o->count = strtol(v, &end, 10);
        if (errno || end == v || *end || o->count < 1 || o->count > 1000000)
            return UsageError("bad count '%s' (1 or more boards)", v);
        break;
    case OPT_LOW_LATENCY: o->lowLatency = true; break;
    case OPT_RESET:
        if (!ParseLineSeq(v, &o->reset, why, sizeof why))
            return UsageError("--reset: %s", why);
        o->resetText = v;
        break;
    case OPT_REPORT: o->report = v; break;
    case OPT_HELP:
        printf(kUsage, kLayerText.pszPortExample, kLayerText.pszFlow, kLayerText.pszLogExample,
               kLayerText.pszWaitPort, kLayerText.pszLowLatency, kLayerText.pszStable, kLayerText.pszSignals);
        return EXIT_DONE;
    case OPT_VERSION:
        printf("kelvo-cli %s\n", KELVO_VERSION);
        return EXIT_DONE;
    }
    return -1;
}

// Returns -1 when the arguments are fine, else the exit status.
int ParseArgs(int argc, char **argv, Options *o)
{
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
        if (opt == ':')
            return UsageError("%s needs a value", argv[optind - 1]);
        if (opt == '?')
            return UsageError("unknown option '%s'", argv[optind - 1]);
        int rc = TakeOption(opt == 'h' ? OPT_HELP : opt, optarg, o);
        if (rc >= 0)
            return rc;
    }
    std::vector<std::string> positional(argv + optind, argv + argc);
    if (positional.size() < 2)
        return UsageError("expected PORT and FILE.dlf");
    if (o->count > 0 && !o->repeat)
        return UsageError("--count needs --repeat");
    o->file = positional.back();
    positional.pop_back();
    for (size_t i = 0; i < positional.size(); i++) {
        for (size_t j = 0; j < i; j++) {
            if (positional[j] == positional[i])
                return UsageError("%s is given twice", positional[i].c_str());
            if (!o->log.empty() && LogName(positional[j]) == LogName(positional[i]))
                return UsageError("%s and %s would share the transcript %s", positional[j].c_str(),
                                  positional[i].c_str(), LogName(positional[i]).c_str());
        }
    }
    o->ports = positional;
    return -1;
}

// Reads and checks the download file. The whole file, header included, is
// the image that the target's requests address. Also names it for the
// record: its header CRC and its SHA-256.
int LoadDlf(RUN *r)
{
    const std::string &path = r->o.file;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "kelvo-cli: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return EXIT_USAGE;
    }
    DLFINFO info = {};
    DlfVerdict verdict = DlfInspect(f, &info);
    if (verdict != DLF_OK) {
        fprintf(stderr, "kelvo-cli: %s: %s\n", path.c_str(), DlfVerdictText(verdict));
        fclose(f);
        return EXIT_USAGE;
    }
    // Request offsets have 24 bits: a larger image could never be served whole.
    if (info.lTotal <= 0 || info.lTotal > 0x1000000L) {
        fprintf(stderr, "kelvo-cli: %s: too large (%ld bytes, at most 16 MiB)\n", path.c_str(), info.lTotal);
        fclose(f);
        return EXIT_USAGE;
    }
    r->image.resize((size_t)info.lTotal);
    size_t n = fread(r->image.data(), 1, r->image.size(), f);
    bool bShort = n != r->image.size();
    fclose(f);
    if (bShort) {
        fprintf(stderr, "kelvo-cli: %s: read %zu of %ld bytes\n", path.c_str(), n, info.lTotal);
        return EXIT_USAGE;
    }
    r->wCrc = info.wCrcStored;
    Sha256Hex(r->image.data(), r->image.size(), r->szSha);
    return -1;
}

} // namespace

int Prepare(RUN *r, int argc, char **argv)
{
    int rc = ParseArgs(argc, argv, &r->o);
    if (rc < 0)
        rc = LoadDlf(r);
    if (rc >= 0)
        return rc;
    r->ports.resize(r->o.ports.size());
    for (size_t i = 0; i < r->ports.size(); i++)
        r->ports[i].name = r->o.ports[i];
    rc = OpenLogs(r);
    return rc >= 0 ? rc : OpenReport(r);
}
