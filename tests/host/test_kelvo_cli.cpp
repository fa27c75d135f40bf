// kelvo-cli against dlfsim on real pseudo terminals: every way a session
// ends, with its exit status, its message and the target's verdict.
//
// The tables run for the native kelvo-cli, and again for kelvo-cli.exe
// under Wine when the Windows tree's run names it in KELVO_CLI_EXE: each
// pseudo terminal is then a COM port of the prefix. A row that means the
// same on both runs on both; a few are Linux's own (sysfs permissions,
// SIGQUIT, the rig's refused opens and slow closes) or Windows's own (port
// names).
#include "core/core.h"
#include "hostkit.h"

#include <algorithm>

#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using namespace hk;
const std::string kCli = kBin + "/kelvo-cli";
const char *const kExe = getenv("KELVO_CLI_EXE");
const bool kWin = kExe && *kExe;

std::string Env(const char *name)
{
    return getenv(name) ? getenv(name) : "";
}

Args Cli()
{
    return kWin ? Args{Env("KELVO_WINE"), kExe} : Args{kCli};
}

// What the program's streams say, line ends as on Linux.
Outcome Lf(Outcome r)
{
    for (std::string *text : {&r.out, &r.err})
        text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
    return r;
}

// The name the program is given for the port at path: the path itself, or
// under Wine COM<n> (as) mapped to it for the mapping's life.
struct Port {
    std::string name, link;
    Port(const std::string &path, int n, const std::string &as = "")
    {
        name = !kWin ? path : !as.empty() ? as : "COM" + std::to_string(n);
        if (kWin) {
            link = Env("WINEPREFIX") + "/dosdevices/com" + std::to_string(n);
            unlink(link.c_str());
            EXPECT_EQ(symlink(path.c_str(), link.c_str()), 0) << link;
        }
    }
    ~Port()
    {
        if (!link.empty())
            unlink(link.c_str());
    }
};

// Under Wine, a USB adapter behind COM<n> in the prefix's registry, its
// latency timer 16 ms, for the adapter's life.
struct Adapter {
    const Scratch &s;
    std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6015+KV0042A";
    Adapter(const Scratch &scratch, int n) : s(scratch)
    {
        if (!kWin)
            return;
        std::ofstream(s / "adapter.reg") << "REGEDIT4\n\n[" << key << "\\0000]\n\"Mfg\"=\"@oem7.inf,%ftdi%;Kelvo \\\"Bench\\\"\"\n\n["
                                         << key << "\\0000\\Device Parameters]\n\"PortName\"=\"COM" << n
                                         << "\"\n\"LatencyTimer\"=dword:00000010\n";
        EXPECT_EQ(RunTool({Env("KELVO_WINE"), "regedit", "/S", s / "adapter.reg"}, s).code, 0);
    }
    ~Adapter()
    {
        if (kWin)
            RunTool({Env("KELVO_WINE"), "reg", "delete", key, "/f"}, s);
    }
    // The timer as the program left it ("16\n").
    std::string Timer() const
    {
        Outcome r = RunTool({Env("KELVO_WINE"), "reg", "query", key + "\\0000\\Device Parameters", "/v", "LatencyTimer"}, s);
        size_t at = r.out.find("0x");
        return at == std::string::npos ? "" : std::to_string(std::stoul(r.out.substr(at), nullptr, 16)) + "\n";
    }
};

// The words of every line of a table.
std::vector<Args> Cells(const std::string &text)
{
    std::vector<Args> rows;
    std::istringstream in(text);
    for (std::string line, word; std::getline(in, line);) {
        rows.emplace_back();
        for (std::istringstream words(line); words >> word;)
            rows.back().push_back(word);
    }
    return rows;
}

enum Then { kWait, kKillTarget, kInterrupt, kQuit };

const std::string kRigLib = kBin + "/libkelvo-rig.so";

// The line rig for what the programs started from here on: pseudo terminals
// with modem lines (and refusals and slow closes dlfsim asks for) in the
// directory dir; preloaded into kelvo-cli only, dlfsim only reads the rig.
struct Rig {
    Rig(const std::string &dir, bool bOn) : on(bOn)
    {
        if (on && mkdir(dir.c_str(), 0755) == 0)
            setenv("KELVO_RIG", dir.c_str(), 1);
    }
    ~Rig() { unsetenv("KELVO_RIG"); }
    Args Preload() const { return on ? Args{"/usr/bin/env", "LD_PRELOAD=" + kRigLib} : Args{}; }
    bool on;
};

// The records of a --report file, each parsed: a line that is not one JSON
// object is a failure.
std::vector<Json> Records(const std::string &path)
{
    std::vector<Json> records;
    std::istringstream in(ReadText(path));
    for (std::string line; std::getline(in, line);) {
        records.emplace_back();
        EXPECT_TRUE(ParseJson(line, &records.back())) << line;
    }
    return records;
}

// What sha256sum says of a file.
std::string Sha256Of(const std::string &path)
{
    Scratch s;
    return RunTool({"/bin/sh", "-c", "sha256sum < '" + path + "'"}, s).out.substr(0, 64);
}

// dlfsim's scenario (none: no target at all); kelvo-cli's options before PORT
// FILE; what happens once the session runs; kelvo-cli's exit status, a piece
// of its stderr and the start of its stdout; dlfsim's RESULT line's start;
// setup: "swapped" (the file's CRC stored little-endian), "changed" (a byte
// past the CRC's 10), "port=file", "no arguments", "read-only timer", "rig"
// (the ports have modem lines and the rig's faults).
struct Case { const char *what; Args sim, cli; Then then; int code; std::string err, out, verdict, setup = ""; };

// Every target sits behind a USB adapter whose latency timer, 16 ms, is in a
// fake sysfs tree, found through the port's device number as in /sys: it is
// reported with its cost, with --low-latency set to 1 ms for the run and put
// back on every way out; without permission, the way to make it stick.
TEST(KelvoCli, EveryWayASessionEnds)
{
    Scratch once;
    Adapter registry(once, 20);
    const Case cases[] = {
        {"a download in five blocks, held once by XOFF", {"--plan", "auto:1024", "--hold-xoff-after", "1500", "--xoff-pause", "300"},
         {"--timeout", "10", "--low-latency"}, kWait, 0,
         "progress 100%\n", "served 5004 bytes in 5 blocks,", "RESULT ok bytes=5004 blocks=5 "},
        {"noise, a wrong answer and a request past the end, each survived",
         {"--plan", "auto:2048", "--noise", "40", "--seed", "3", "--wrong-byte", "10", "--past-end"},
         {"--flow", "none", "--timeout", "10"}, kWait, 0, "past the end of the file",
         "served 5014 bytes in 4 blocks,", "RESULT ok bytes=5014 blocks=3 "},
        {"a download longer than the time-out: only silence counts", {"--plan", "auto:1024", "--pace", "19200"},
         {"--timeout", "2"}, kWait, 0, "progress 100%", "served 5004 bytes", "RESULT ok bytes=5004 "},
        {"a reader of stdout that goes away ends nothing early", {"--plan", "auto:1024", "--repeat", "2"},
         {"--repeat", "--count", "2", "--low-latency"}, kWait, 0, "set to 1 ms", "", "RESULT ok bytes=10008 ", "stdout gone"},
        {"a silent target times out", {"--silent", "--duration", "5"}, {"--timeout", "0.5", "--low-latency"}, kWait, 3,
         std::string("timeout: no byte from the target for 0.5 s while ") + DlStepName(0), "", "RESULT ok bytes=0 "},
        {"a target that stops in a block times out there",
         {"--plan", "auto:1024", "--stop-after", "1500", "--duration", "8"}, {"--timeout", "2"}, kWait, 3,
         std::string("while ") + DlStepName(14) + "; served 1500 of 5004 bytes", "", ""},
        {"a request byte taken as flow control: the message says so",
         {"--plan", "0x1100:5", "--duration", "8"}, {"--timeout", "2"}, kWait, 3, "use --flow none", "", ""},
        {"a transcript that cannot be written: served, but an I/O error",
         {"--plan", "auto:1024"}, {"--log", "/dev/full", "--timeout", "10"}, kWait, 1,
         "writing /dev/full failed: No space left on device", "served 5004 bytes", "RESULT ok bytes=5004 "},
        {"a device that goes away", {"--plan", "auto:1024", "--pace", "9600"}, {}, kKillTarget, 4,
         "the device went away", "", ""},
        {"an interrupt", {"--silent", "--duration", "10"}, {}, kInterrupt, 130,
         std::string("interrupted while ") + DlStepName(0), "", "RESULT ok bytes=0 "},
        {"a port that does not exist", {}, {}, kWait, 1, "No such file or directory", "", ""},
        {"a port that does not appear", {}, {"--wait-port", "--timeout", "0.3"}, kWait, 3,
         "did not appear within 0.3 s", "", ""},
        {"a file that is not the target's: caught by it", {"--plan", "auto:4096"}, {"--timeout", "10"}, kWait, 4,
         "the device went away", "", "RESULT fail data byte at offset 4000", "changed"},
        {"a file with its CRC swapped, before any port", {}, {}, kWait, 2, "fw.dlf.swapped: CRC stored little-endian", "", "", "swapped"},
        {"a plain file is no serial port", {}, {"--baud", "9600"}, kWait, 1, "not a serial port", "", "", "port=file"},
        {"a transcript into a directory", {}, {"--log", "/tmp"}, kWait, 1, "Is a directory", "", ""},
        {"no arguments", {}, {}, kWait, 2, "kelvo-cli --help", "", "", "no arguments"},
        {"a rate no line has", {}, {"--baud", "12345"}, kWait, 2, "unsupported baud rate", "", ""},
        {"a flow control there is not", {}, {"--flow", "hardware"}, kWait, 2, "unknown flow control", "", ""},
        {"a negative time-out", {}, {"--timeout", "-1"}, kWait, 2, "bad timeout", "", ""},
        {"a latency timer reported with its cost", {"--plan", "auto:1024"}, {}, kWait, 0, "up to 16.4 s per KiB", "", ""},
        {"a latency timer lowered till Ctrl+C with --repeat", {"--silent", "--duration", "10"},
         {"--low-latency", "--repeat"}, kInterrupt, 130, "set to 1 ms", "", ""},
        {"a latency timer not to be lowered", {"--plan", "auto:1024"}, {"--low-latency"}, kWait, 0,
         "ATTR{latency_timer}=\"1\"", "", "", "read-only timer"},
        {"a target whose answers XOFF holds at its completion: not ok", {"--plan", "auto:1024", "--xoff-at-complete"},
         {"--timeout", "10"}, kWait, 1, "last answer could not leave the port in 2 s", "", "RESULT ok held at completion"},
        {"a target that holds XOFF and floods: the queue stays bounded", {"--flood-held", "1000000", "--duration", "20"},
         {"--timeout", "3"}, kWait, 3, "timeout: the target held the answers back (XOFF) for 3 s", "", "flood: the line took "},
        {"a block asked for again is served again but counted once", {"--plan", "0:3000,0:3000,3000:2004",
         "--stop-after", "6500", "--duration", "8"}, {"--timeout", "2"}, kWait, 3, "; served 3500 of 5004 bytes", "", ""},
        {"SIGQUIT ends a run as SIGINT does", {"--silent", "--duration", "10"}, {"--low-latency"}, kQuit, 130,
         "interrupted while", "", "RESULT ok bytes=0 "},
        // Reset sequences, against targets that enter their download mode only by the lines of their wiring.
        {"dtr-pulse resets a board on DTR", {"--wiring", "dtr-pulse", "--plan", "auto:1024"},
         {"--reset", "dtr-pulse", "--timeout", "10"}, kWait, 0, "", "served 5004 bytes", "RESULT ok bytes=5004 ", "rig"},
        {"rts-pulse resets a board on RTS", {"--wiring", "rts-pulse", "--plan", "auto:1024"},
         {"--reset", "rts-pulse", "--timeout", "10"}, kWait, 0, "", "served 5004 bytes", "RESULT ok bytes=5004 ", "rig"},
        {"two-transistor boots a board with the auto-reset circuit", {"--wiring", "two-transistor", "--plan", "auto:1024"},
         {"--reset", "two-transistor", "--timeout", "10"}, kWait, 0, "", "served 5004 bytes", "RESULT ok bytes=5004 ", "rig"},
        {"a sequence spelled out", {"--wiring", "two-transistor", "--plan", "auto:1024"},
         {"--reset", "rts=1,dtr=0,120ms,rts=0,dtr=1,80ms,dtr=0", "--timeout", "10"}, kWait, 0, "", "served 5004 bytes",
         "RESULT ok bytes=5004 ", "rig"},
        // DTR dropped as the port closes may still let such a board boot, after the session.
        {"the wrong sequence leaves the board in reset", {"--wiring", "dtr-pulse", "--plan", "auto:1024", "--duration", "8"},
         {"--reset", "rts-pulse", "--timeout", "1"}, kWait, 3, "timeout: no byte from the target for 1 s", "",
         "RESULT fail ", "rig"},
        {"no sequence at all leaves it there too", {"--wiring", "two-transistor", "--plan", "auto:1024", "--duration", "8"},
         {"--timeout", "1"}, kWait, 3, "timeout: no byte from the target for 1 s", "", "RESULT fail ", "rig"},
        {"a port without modem lines is refused before anything is sent", {"--silent", "--duration", "5"},
         {"--reset", "dtr-pulse"}, kWait, 1, "cannot drive DTR and RTS", "", "RESULT ok bytes=0 "},
        {"a sequence that is none", {}, {"--reset", "dtr=1,dtr=0"}, kWait, 2, "dtr is set twice without a pause", "", ""},
        // A device node that refuses to open at first, as one just plugged in does until udev gives it its group.
        {"a port that opens only after a while is waited for", {"--deny-open", "1500", "--plan", "auto:1024"},
         {"--wait-port", "--timeout", "10"}, kWait, 0, "Permission denied; trying again every 100 ms", "served 5004",
         "RESULT ok bytes=5004 ", "rig"},
        {"and says what mends it for good", {"--deny-open", "1500", "--plan", "auto:1024"},
         {"--wait-port", "--timeout", "10"}, kWait, 0, "60-kelvo-serial.rules", "served 5004", "", "rig"},
        {"without --wait-port it is refused at once", {"--deny-open", "20000", "--duration", "5"}, {}, kWait, 1,
         "Permission denied\nkelvo-cli: serial ports usually belong to the group 'dialout'", "", "", "rig"},
        {"within --timeout only", {"--deny-open", "20000", "--duration", "5"}, {"--wait-port", "--timeout", "1"}, kWait, 3,
         "could not be opened within 1 s: cannot open", "", "", "rig"},
        {"a close that hangs holds up no Ctrl+C", {"--silent", "--duration", "10", "--hang-close", "120000"},
         {"--low-latency"}, kInterrupt, 130, "interrupted while", "", "", "rig"},
        // Windows's own: COM10 and up open only by their device name, which the
        // user may give or leave to the program.
        {"COM12 opened by its device name", {"--plan", "auto:1024"}, {"--timeout", "10"}, kWait, 0, "",
         "served 5004 bytes", "RESULT ok bytes=5004 ", "COM12"},
        {"\\\\.\\COM12 as the user gives it", {"--plan", "auto:1024"}, {"--timeout", "10"}, kWait, 0, "",
         "served 5004 bytes", "RESULT ok bytes=5004 ", "DEV12"},
    };
    // Where Windows says it in its own words.
    const std::map<std::string, std::string> winErr = {
        {"a port that does not exist", "cannot open COM20: there is no such port"},
        {"a transcript into a directory", "cannot write /tmp: Permission denied"}};
    for (const Case &c : cases) {
        // Under Wine the rig gives a 64-bit kelvo-cli.exe its modem lines, one
        // at a time (Windows sets DTR and RTS by a call each: a sequence that
        // changes both at once is Linux's); the wineserver, not the program,
        // opens and closes the port.
        bool bLines = getenv("KELVO_CLI_RIG") && std::count(c.sim.begin(), c.sim.end(), "--wiring") &&
                      std::none_of(c.cli.begin(), c.cli.end(), [](const std::string &a) {
                          return a == "two-transistor" || a.find(',') != std::string::npos; });
        bool bLinuxOnly = (c.setup == "rig" && !bLines) || c.setup == "read-only timer" || c.then == kQuit;
        if (kWin ? bLinuxOnly : c.setup == "COM12" || c.setup == "DEV12")
            continue;
        Scratch s;
        Rig rig(s / "rig", c.setup == "rig");
        std::string dlf = MakeDlf(s, "fw", 5000, 10), served = dlf + "." + c.setup, bytes = ReadText(dlf);
        std::unique_ptr<Sim> sim(c.sim.empty() ? nullptr : new Sim(s, "sim", c.sim, dlf));
        Port port(sim ? sim->port : c.setup == "port=file" ? dlf : s / "no-such-port", c.setup.find("12") == std::string::npos ? 20 : 12,
                  c.setup == "DEV12" ? "\\\\.\\COM12" : "");
        if (c.setup == "swapped")
            std::swap(bytes[2], bytes[3]);
        bytes[4000] ^= c.setup == "changed";
        std::ofstream(served, std::ios::binary) << bytes;
        std::string adapter = s / "sys/bus/usb-serial/devices/ttyUSB7", timer = adapter + "/latency_timer";
        std::string readOnly = "/proc/sys/kernel/ngroups_max";    // refuses writes, even root's
        struct stat st;
        auto timerNow = [&] { return kWin ? registry.Timer() : ReadText(timer); };
        if (sim && !kWin && stat(port.name.c_str(), &st) == 0) {
            std::string node = s / ("sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
            ASSERT_EQ(system(("mkdir -p " + adapter + " " + node + " && ln -s " + adapter + " " + node + "/device && " +
                              (c.setup == "read-only timer" ? "ln -s " + readOnly + " " : "echo 16 > ") + timer).c_str()), 0);
        }
        setenv("KELVO_SYSFS", (s / "sys").c_str(), 1);
        Args argv = c.setup == "no arguments" ? Cli() : Join(rig.Preload(), Cli(), Join(c.cli, {port.name, served}));
        if (c.setup == "stdout gone")       // true leaves at once: every write to the pipe fails
            argv = Join({"/bin/bash", "-c", "set -o pipefail; \"$0\" \"$@\" | true; exit ${PIPESTATUS[0]}"}, argv);
        Proc cli(argv, s / "cli");
        unsetenv("KELVO_SYSFS");
        if (c.then == kKillTarget) {
            EXPECT_TRUE(cli.WaitFor("progress 10%")) << c.what;
            sim->Signal(SIGKILL);               // its pseudo terminal goes with it
        } else if (c.then == kInterrupt || c.then == kQuit) {
            EXPECT_TRUE(cli.WaitFor("to 1 ms for")) << c.what;     // the session's last word on starting
            EXPECT_EQ(timerNow(), std::count(c.cli.begin(), c.cli.end(), "--low-latency") ? "1\n" : "16\n") << c.what;
            cli.Signal(c.then == kQuit ? SIGQUIT : SIGINT);
        }
        // Far less than any hang of the rig's (a close of 120 s).
        Outcome r = Lf(cli.Finish(30000));
        std::string err = kWin && winErr.count(c.what) ? winErr.at(c.what) : c.err;
        EXPECT_EQ(r.code, c.code) << c.what << "\n" << r.err;
        EXPECT_NE(r.err.find(err), std::string::npos) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out.compare(0, c.out.size(), c.out), 0) << c.what << "\n" << r.out;
        Outcome t = sim ? (sim->Signal(SIGTERM), sim->Finish()) : Outcome{};   // ends a silent target's watch
        EXPECT_NE(t.out.find(c.verdict), std::string::npos) << c.what << "\n" << t.out << t.err;
        long took = -1, flood = 0;
        if (sscanf(t.out.c_str() + std::min(t.out.size(), t.out.find(c.verdict)), "flood: the line took %ld of %ld", &took, &flood) == 2) {
            EXPECT_LT(took, flood / 10) << c.what << ": a queue that grows with what the target sends\n" << t.out;
        }
        if (sim) {
            EXPECT_EQ(timerNow(), c.setup == "read-only timer" ? ReadText(readOnly) : "16\n") << c.what;
        }
    }
}

// The transcript records what the target saw, byte for byte and in order;
// a terminal gets a bar redrawn in place (on Linux: Wine gives a pseudo
// terminal no console).
TEST(KelvoCli, OnAPacedLineTheTranscriptMatchesAndATerminalGetsABar)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 8192), screen;
    int master = posix_openpt(O_RDWR | O_NOCTTY), tty = grantpt(master) + unlockpt(master) + open(ptsname(master), O_RDWR);
    Sim sim(s, "sim", {"--pace", "115200", "--plan", "0:300,300:7896"}, dlf);
    Port port(sim.port, 20);
    Proc cli(Join(Cli(), {"--log", s / "cli.log", "--timeout", "10", port.name, dlf}), s / "cli", kWin ? -1 : tty);
    close(tty);
    char buf[4096];
    struct pollfd p = {master, POLLIN, 0};
    for (ssize_t n; !kWin && poll(&p, 1, 20000) > 0 && (n = read(master, buf, sizeof buf)) > 0;)
        screen.append(buf, static_cast<size_t>(n));
    Outcome t = sim.Finish();
    ASSERT_EQ(cli.Finish().code, 0) << screen;
    ASSERT_EQ(t.code, 0) << t.err;
    EXPECT_TRUE(kWin || screen.find("\r[##############################] 100%  8196/8196 B") != std::string::npos) << screen;
    EXPECT_EQ(screen.find("progress "), std::string::npos) << screen;
    auto bytes = [](const std::string &text) {     // the lines without their times
        std::string seq;
        for (const auto &line : Cells(text))
            seq += line[0] == "#" ? "" : line[1] + line[2] + ";";
        return seq;
    };
    std::string mine = ReadText(s / "cli.log");
    EXPECT_EQ(bytes(mine), bytes(ReadText(s / "sim.transcript")));
    EXPECT_NE(mine.find("# block offset=300 length=7896\n"), std::string::npos) << mine;
}

// The wall clock as a record writes it, to the second.
std::string UtcNow()
{
    // The precise clock, as the program reads it: time() may lag it by a tick.
    char buf[32];
    time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", gmtime(&t));
    return buf;
}

// Checks a board's record: every field there is, the run's figures, the
// file's names and when it was written (between from and to).
void ExpectRecord(const Json &j, const std::string &what, const std::string &dlf, const std::string &from,
                  const std::string &to, const Json &want)
{
    std::string keys, last;
    for (const auto &kv : j) {
        std::string key = kv.first.substr(0, kv.first.find('.'));   // usb.vendor: a field of usb
        keys += key == last ? "" : key + " ";
        last = key;
    }
    EXPECT_EQ(keys, "blocks board bytes crc file file_bytes host port reason reset result seconds sha256 stable time usb ")
        << what;
    std::string bytes = ReadText(dlf), time = j.count("time") ? j.at("time") : "";
    char crc[8], host[256] = "";
    snprintf(crc, sizeof crc, "%02X%02X", static_cast<unsigned char>(bytes[2]), static_cast<unsigned char>(bytes[3]));
    gethostname(host, sizeof host - 1);
    Json common = {{"file", dlf}, {"file_bytes", std::to_string(bytes.size())}, {"crc", crc},
                   {"sha256", Sha256Of(dlf)}, {"host", host}};
    common.insert(want.begin(), want.end());
    for (const auto &kv : common)
        EXPECT_EQ(j.count(kv.first) ? j.at(kv.first) : "(none)", kv.second) << what << ": " << kv.first;
    EXPECT_TRUE(time.size() == 24 && time.substr(0, 19) >= from && time.substr(0, 19) <= to && time[23] == 'Z')
        << what << ": " << time << " not within " << from << " .. " << to;
    EXPECT_GE(atof(j.count("seconds") ? j.at("seconds").c_str() : "-1"), 0) << what;
}

// Several targets served by one process: a port that fails ends alone while
// the others go on and verify every byte; the run ends with the most serious
// outcome, a device gone over a time-out over a port that cannot be used. A
// close that hangs (a USB driver waiting for output XOFF holds) holds up no
// other port. Every board gets its record; the first port sits behind a USB
// adapter with a name in /dev/serial/by-id, the second has one in by-path.
TEST(KelvoCli, ManyPortsOneFailingNeverDisturbsTheOthers)
{
    const Args ok = {"--plan", "auto:1024", "--pace", "38400"},
        wrong = {"--plan", "auto:1024", "--wrong-byte", "10"}, silent = {"--silent", "--duration", "10"},
        gone = {"--plan", "auto:1024", "--vanish-after", "1000"}, absent = {},
        hangs = {"--plan", "auto:1024", "--hang-close", "120000"};
    // The files' sizes leave 55, 56, 0 and 12 bytes after the last whole
    // 64-byte block: the SHA-256 pads them into one last block or two.
    const struct { const char *what; std::vector<Args> sims; int code; Args results; bool rig; size_t payload; } rows[] = {
        {"all complete, one after a wrong answer", {ok, wrong}, 0, {"ok", "ok"}, false, 5043},
        {"a silent target and a missing port", {ok, silent, absent, ok}, 3, {"ok", "timeout", "io-error", "ok"}, false, 5044},
        {"a device that goes away and a silent target", {silent, gone, ok}, 4, {"timeout", "gone", "ok"}, false, 5052},
        {"a close that hangs for two minutes", {hangs, ok, ok, ok}, 0, {"ok", "ok", "ok", "ok"}, true, 5000},
    };
    for (const auto &row : rows) {
        if (kWin && row.rig)
            continue;
        Scratch s;
        Rig rig(s / "rig", row.rig);
        std::string dlf = MakeDlf(s, "fw", row.payload), byId = s / "dev/serial/by-id/usb-Kelvo_Bench_KV-0042-if00-port0",
                    byPath = s / "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
        std::vector<std::unique_ptr<Sim>> sims;
        std::vector<std::unique_ptr<Port>> coms;
        Args ports;
        for (const Args &sim : row.sims) {
            sims.emplace_back(sim.empty() ? nullptr : new Sim(s, "sim" + std::to_string(sims.size()), sim, dlf));
            // COM1 to COM9 name devices as files do: their transcripts must not.
            coms.emplace_back(new Port(sim.empty() ? s / "absent" : sims.back()->port, 5 + (int)coms.size()));
            ports.push_back(coms.back()->name);
        }
        // Under Wine the first port's adapter is in the registry.
        Adapter adapter(s, 5);
        if (kWin) {
            byId = "FTDIBUS\\VID_0403+PID_6015+KV0042A\\0000";
            byPath = "null";
        }
        struct stat st;
        ASSERT_EQ(stat(sims[0]->port.c_str(), &st), 0) << row.what;
        std::string usb = s / "sys/devices/usb1/1-1", node = s / ("sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                                               std::to_string(minor(st.st_rdev)));
        ASSERT_TRUE(kWin || !system(("mkdir -p " + usb + "/1-1:1.0/ttyUSB7 " + node + " " + s / "dev/serial/by-id " + s / "dev/serial/by-path && ln -s " + ports[1] +
                          " " + byPath + " && ln -s " + usb +
                          "/1-1:1.0/ttyUSB7 " + node + "/device && ln -s " + ports[0] + " " + byId + " && cd " + usb +
                          " && echo 0403 > idVendor && echo 6015 > idProduct && echo KV-0042 > serial && "
                          "echo 'Kelvo \"Bench\"' > manufacturer").c_str()));
        setenv("KELVO_SYSFS", (s / "sys").c_str(), 1);
        setenv("KELVO_DEV", (s / "dev").c_str(), 1);
        std::string from = UtcNow();
        Outcome r = Lf(RunTool(Join(rig.Preload(), Cli(), Join({"--timeout", "4", "--log", s / "logs", "--report", s / "report"},
                                                              ports, {dlf})), s));
        std::string to = UtcNow();
        unsetenv("KELVO_SYSFS");
        unsetenv("KELVO_DEV");
        EXPECT_EQ(r.code, row.code) << row.what << "\n" << r.err;
        auto table = Cells(r.out);
        ASSERT_EQ(table.size(), ports.size() + 1) << row.what << "\n" << r.out;
        std::vector<Json> records = Records(s / "report");
        EXPECT_EQ(records.size(), ports.size() - std::count(row.sims.begin(), row.sims.end(), absent)) << row.what;
        for (size_t i = 0, k = 0; i < ports.size(); i++) {
            EXPECT_EQ(table[i + 1][0] + " " + table[i + 1][1], ports[i] + " " + row.results[i]) << row.what;
            if (!sims[i])
                continue;
            Json want = {{"port", ports[i]}, {"board", "1"}, {"result", row.results[i]}, {"bytes", table[i + 1][2]},
                         {"blocks", table[i + 1][3]}, {"reset", "null"}, {"stable", i == 0 ? byId : i == 1 ? byPath : "null"}};
            if (i == 0)
                want.insert({{"usb.vendor", "0403"}, {"usb.product", "6015"}, {"usb.serial", kWin ? "KV0042" : "KV-0042"},
                             {"usb.manufacturer", "Kelvo \"Bench\""}, {"usb.name", "null"}});
            else
                want["usb"] = "null";
            // The records come in the order the boards ended.
            for (k = 0; k < records.size() && records[k]["port"] != ports[i]; k++) {
            }
            if (k < records.size())
                ExpectRecord(records[k], std::string(row.what) + " " + ports[i], dlf, from, to, want);
            EXPECT_TRUE(k < records.size() && (records[k]["reason"] == "") == (row.results[i] == "ok")) << row.what << i;
            sims[i]->Signal(SIGTERM);               // ends a silent target's watch
            EXPECT_NE(sims[i]->Finish().out.find("RESULT ok"), std::string::npos) << row.what << " " << i;
            std::string log = ReadText(s / "logs/" + (kWin ? ports[i] + "-port" : ports[i].substr(5).replace(3, 1, "_")) + ".log");
            EXPECT_EQ(log.find("# complete") != std::string::npos, row.results[i] == "ok") << row.what << i;
        }
    }
}

// Board after board on one port of a fixture, each board put into its
// download mode by DTR: the device comes back for each board, the first
// refusing to open for a moment as one just plugged in does; one that comes
// and goes without a handshake is no board; the second board is pulled off
// in the middle; a row and a record per board as it ends, and a summary with
// the failure's reason.
TEST(KelvoCli, RepeatServesBoardAfterBoard)
{
    Scratch s;
    // The line rig gives the pseudo terminals their modem lines: on Linux only.
    Rig rig(s / "rig", !kWin);
    std::string dlf = MakeDlf(s, "fw", 5000), from = UtcNow();
    Port link(s / "ttyFIXTURE", 20);
    Args reset = kWin ? Args{} : Args{"--reset", "dtr-pulse"};
    Proc cli(Join(rig.Preload(), Cli(), Join({"--repeat", "--count", "3", "--timeout", "5", "--report", s / "report"},
                                             reset, {link.name, dlf})), s / "cli");
    const Args dtr = kWin ? Args{} : Args{"--wiring", "dtr-pulse"};
    const Args boards[] = {Join(dtr, kWin ? Args{} : Args{"--deny-open", "1000"}), {"--silent", "--duration", "3"},
                           Join(dtr, {"--vanish-after", "1000"}), dtr};
    for (const Args &board : boards)
        EXPECT_NE(Sim(s, "board", Join({"--link", s / "ttyFIXTURE"}, board), dlf).Finish().out.find("RESULT ok"), std::string::npos)
            << board.size();
    Outcome r = Lf(cli.Finish());
    std::string to = UtcNow();
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_TRUE(kWin || r.err.find("Permission denied; trying again") != std::string::npos) << r.err;
    auto out = Cells(r.out);
    ASSERT_GE(out.size(), 5u) << r.out;
    const Args want[] = {{"1", link.name, "ok", "5004"}, {"2", link.name, "gone", "1000"}, {"3", link.name, "ok", "5004"}};
    std::vector<Json> records = Records(s / "report");
    ASSERT_EQ(records.size(), 3u) << ReadText(s / "report");
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(Args(out[i + 1].begin(), out[i + 1].begin() + 4), want[i]) << r.out;
        ExpectRecord(records[i], "board " + want[i][0], dlf, from, to,
                     {{"board", want[i][0]}, {"port", link.name}, {"result", want[i][2]}, {"bytes", want[i][3]},
                      {"blocks", i == 1 ? "1" : "5"}, {"reset", kWin ? "null" : "dtr-pulse"}, {"stable", "null"}, {"usb", "null"},
                      {"reason", i != 1 ? "" : records[i]["reason"]}});
    }
    std::string reason = records[1]["reason"], served = " while " + std::string(DlStepName(14)) + "; served 1000 of 5004 bytes";
    EXPECT_TRUE(reason.find("the device went away") == 0 && reason.size() > served.size() &&
                reason.compare(reason.size() - served.size(), served.size(), served) == 0) << reason;
    EXPECT_NE(r.out.find("summary: 3 boards, 2 passed, 1 failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  board 2: gone: the device went away"), std::string::npos) << r.out;
}

} // namespace
