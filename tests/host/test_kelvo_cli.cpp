// kelvo-cli against dlfsim on real pseudo terminals: every way a session
// ends, with its exit status, its message and the target's verdict.
#include "download/protocol.h"
#include "hostkit.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using namespace hk;
const std::string kCli = kBin + "/kelvo-cli";

// kelvo-cli's command line: its options, then the rest.
std::vector<std::string> Cli(std::vector<std::string> args, const std::vector<std::string> &rest = {})
{
    args.insert(args.begin(), kCli);
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

// A copy of a DLF file with its CRC stored little-endian.
std::string Swapped(const std::string &dlf)
{
    std::string bytes = ReadText(dlf);
    std::swap(bytes[2], bytes[3]);
    std::ofstream(dlf + ".swapped", std::ios::binary) << bytes;
    return dlf + ".swapped";
}

enum Then { kWait, kKillTarget, kInterrupt };

// The words of every line of a table.
std::vector<std::vector<std::string>> Cells(const std::string &text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line, word; std::getline(in, line);) {
        rows.emplace_back();
        for (std::istringstream words(line); words >> word;)
            rows.back().push_back(word);
    }
    return rows;
}

struct Case {
    const char *what;
    std::vector<std::string> sim;   // dlfsim's scenario; empty: no target at all
    std::vector<std::string> cli;   // kelvo-cli's options before PORT FILE
    Then then;                      // what happens once the session runs
    int code;                       // kelvo-cli's exit status
    std::string err;                // in its stderr
    std::string out;                // its stdout starts so
    std::string verdict;            // dlfsim's RESULT line starts so
    std::string file = "";          // "swapped": the file with its CRC stored little-endian
};

TEST(KelvoCli, EveryWayASessionEnds)
{
    const Case cases[] = {
        {"a download in five blocks", {"--plan", "auto:1024"}, {"--timeout", "10"}, kWait, 0,
         "progress 100%\n", "served 5004 bytes in 5 blocks,", "RESULT ok bytes=5004 blocks=5 "},
        {"noise, a wrong answer and a request past the end, each survived",
         {"--plan", "auto:2048", "--noise", "40", "--seed", "3", "--wrong-byte", "10", "--past-end"},
         {"--flow", "none", "--timeout", "10"}, kWait, 0, "past the end of the file",
         "served 5014 bytes in 4 blocks,", "RESULT ok bytes=5014 blocks=3 "},
        {"a silent target times out", {"--silent", "--duration", "5"}, {"--timeout", "0.5"}, kWait, 3,
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
        {"a file with its CRC swapped, before any port", {}, {}, kWait, 2, "fw.dlf.swapped: CRC stored little-endian", "", "", "swapped"},
        {"a plain file is no serial port", {}, {"--baud", "9600"}, kWait, 1, "not a serial port", "", "", "port=file"},
        {"a transcript into a directory", {}, {"--log", "/tmp"}, kWait, 1, "Is a directory", "", ""},
        {"no arguments", {}, {}, kWait, 2, "kelvo-cli --help", "", "", "none"},
        {"a rate no line has", {}, {"--baud", "12345"}, kWait, 2, "unsupported baud rate", "", ""},
        {"a flow control there is not", {}, {"--flow", "hardware"}, kWait, 2, "unknown flow control", "", ""},
        {"a negative time-out", {}, {"--timeout", "-1"}, kWait, 2, "bad timeout", "", ""},
    };
    for (const Case &c : cases) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 5000);
        std::unique_ptr<Sim> sim;
        std::string port = c.file == "port=file" ? dlf : s / "no-such-port";
        if (!c.sim.empty()) {
            sim.reset(new Sim(s, "sim", c.sim, dlf));
            port = sim->port;
        }
        Proc cli(c.file == "none" ? Cli({}) : Cli(c.cli, {port, c.file == "swapped" ? Swapped(dlf) : dlf}), s / "cli");
        if (c.then == kKillTarget) {
            EXPECT_TRUE(cli.WaitFor("progress 10%")) << c.what;
            sim->Signal(SIGKILL);               // its pseudo terminal goes with it
        } else if (c.then == kInterrupt) {
            EXPECT_TRUE(cli.WaitFor("kelvo-cli: serving")) << c.what;
            cli.Signal(SIGINT);
        }
        Outcome r = cli.Finish(30000);
        EXPECT_EQ(r.code, c.code) << c.what << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out.compare(0, c.out.size(), c.out), 0) << c.what << "\n" << r.out;
        if (sim && !c.verdict.empty()) {
            sim->Signal(SIGTERM);               // ends a silent target's watch
            Outcome t = sim->Finish();
            EXPECT_NE(t.out.find(c.verdict), std::string::npos) << c.what << "\n" << t.out << t.err;
        }
    }
}

// The transcript records what the target saw, byte for byte and in order,
// and a target serving the wrong file is caught by dlfsim.
TEST(KelvoCli, TranscriptMatchesTheTargetsAndAWrongFileIsCaught)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 5000);
    Sim sim(s, "sim", {"--plan", "0:300,4000:5"}, dlf);
    Outcome r = RunTool({kCli, "--log", s / "cli.log", "--timeout", "10", sim.port, dlf}, s);
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(sim.Finish().code, 0);
    auto bytes = [](const std::string &text) {     // the lines without their times
        std::string seq;
        for (const auto &line : Cells(text))
            seq += line[0] == "#" ? "" : line[1] + line[2] + ";";
        return seq;
    };
    std::string mine = ReadText(s / "cli.log");
    EXPECT_EQ(bytes(mine), bytes(ReadText(s / "sim.transcript")));
    EXPECT_NE(mine.find("# block offset=4000 length=5\n"), std::string::npos) << mine;

    std::string part = MakeDlf(s, "part", 5000, 10), other = s / "other.dlf";
    std::string b = ReadText(part);
    b[4000] ^= 1;                               // outside the covered area: still a valid file
    std::ofstream(other, std::ios::binary) << b;
    Sim judge(s, "judge", {"--plan", "auto:4096"}, part);
    RunTool({kCli, "--timeout", "10", judge.port, other}, s);
    EXPECT_NE(judge.Finish().out.find("RESULT fail data byte at offset 4000"), std::string::npos);
}

// dlfsim's paced line charges every byte both ways: a PC that answers at
// once reaches the line's limit and never more (at 115200 bit/s 5760 data
// bytes a second, each costing the target's 06 and itself).
TEST(KelvoCli, APacedLineCarriesNoMoreThanItsLimit)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 8192);
    Sim sim(s, "sim", {"--pace", "115200", "--plan", "auto:1024"}, dlf);
    ASSERT_EQ(RunTool({kCli, "--timeout", "10", sim.port, dlf}, s).code, 0);
    std::string out = sim.Finish().out;
    double share = 8196 / atof(out.substr(out.find("xfer_ms=") + 8).c_str()) * 1000 / 5760;
    std::cout << "kelvo-cli reached " << share * 100 << "% of the line\n";
    EXPECT_TRUE(share > 0.5 && share <= 1.0) << out;
}

TEST(KelvoCli, ATerminalGetsABarRedrawnInPlace)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 5000), screen;
    int master = posix_openpt(O_RDWR | O_NOCTTY), tty = grantpt(master) + unlockpt(master) + open(ptsname(master), O_RDWR);
    Sim sim(s, "sim", {"--plan", "auto:1024"}, dlf);
    Proc cli({kCli, "--timeout", "10", sim.port, dlf}, s / "cli", tty);
    close(tty);
    char buf[4096];
    struct pollfd p = {master, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, 20000) > 0 && (n = read(master, buf, sizeof buf)) > 0;)
        screen.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(cli.Finish().code, 0) << screen;
    EXPECT_NE(screen.find("\r[##############################] 100%  5004/5004 B"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("progress "), std::string::npos) << screen;
}

// Several targets served by one process: a port that fails ends alone while
// the others go on and verify every byte; the run ends with the most serious
// outcome, a device gone over a time-out over a port that cannot be used.
TEST(KelvoCli, ManyPortsOneFailingNeverDisturbsTheOthers)
{
    const std::vector<std::string> ok = {"--plan", "auto:1024", "--pace", "38400"},
        wrong = {"--plan", "auto:1024", "--wrong-byte", "10"}, silent = {"--silent", "--duration", "10"},
        gone = {"--plan", "auto:1024", "--vanish-after", "1000"}, absent = {};
    const struct { const char *what; std::vector<std::vector<std::string>> sims; int code; std::vector<std::string> results; } rows[] = {
        {"all complete, one after a wrong answer", {ok, wrong}, 0, {"ok", "ok"}},
        {"a silent target and a missing port", {ok, silent, absent, ok}, 3, {"ok", "timeout", "io-error", "ok"}},
        {"a device that goes away and a silent target", {silent, gone, ok}, 4, {"timeout", "gone", "ok"}},
    };
    for (const auto &row : rows) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 5000);
        std::vector<std::unique_ptr<Sim>> sims;
        std::vector<std::string> ports;
        for (const std::vector<std::string> &sim : row.sims) {
            sims.emplace_back(sim.empty() ? nullptr : new Sim(s, "sim" + std::to_string(sims.size()), sim, dlf));
            ports.push_back(sim.empty() ? s / "absent" : sims.back()->port);
        }
        std::vector<std::string> argv = {kCli, "--timeout", "4", "--log", s / "logs"};
        argv.insert(argv.end(), ports.begin(), ports.end());
        argv.push_back(dlf);
        Outcome r = RunTool(argv, s);
        EXPECT_EQ(r.code, row.code) << row.what << "\n" << r.err;
        auto table = Cells(r.out);
        ASSERT_EQ(table.size(), ports.size() + 1) << row.what << "\n" << r.out;
        for (size_t i = 0; i < ports.size(); i++) {
            EXPECT_EQ(table[i + 1][0] + " " + table[i + 1][1], ports[i] + " " + row.results[i]) << row.what;
            if (!sims[i])
                continue;
            sims[i]->Signal(SIGTERM);               // ends a silent target's watch
            EXPECT_NE(sims[i]->Finish().out.find("RESULT ok"), std::string::npos) << row.what << " " << i;
            std::string log = ReadText(s / "logs/" + ports[i].substr(5).replace(3, 1, "_") + ".log");
            EXPECT_EQ(log.find("# complete") != std::string::npos, row.results[i] == "ok") << row.what << i;
        }
    }
}

// Board after board on one port of a fixture: the device comes back for
// each board; one that comes and goes without a handshake is no board; the
// second board is pulled off in the middle; a row per board as it ends, and
// a summary with the failure's reason.
TEST(KelvoCli, RepeatServesBoardAfterBoard)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 5000), link = s / "ttyFIXTURE";
    Proc cli({kCli, "--repeat", "--count", "3", "--timeout", "5", link, dlf}, s / "cli");
    const std::vector<std::string> boards[] = {{}, {"--silent", "--duration", "3"}, {"--vanish-after", "1000"}, {}};
    for (const std::vector<std::string> &board : boards) {
        std::vector<std::string> args = {"--link", link};
        args.insert(args.end(), board.begin(), board.end());
        EXPECT_NE(Sim(s, "board", args, dlf).Finish().out.find("RESULT ok"), std::string::npos) << args.back();
    }
    Outcome r = cli.Finish();
    EXPECT_EQ(r.code, 4) << r.err;
    auto out = Cells(r.out);
    ASSERT_GE(out.size(), 5u) << r.out;
    const char *const want[][4] = {{"1", "ok", "5004"}, {"2", "gone", "1000"}, {"3", "ok", "5004"}};
    for (int i = 0; i < 3; i++) {
        std::vector<std::string> cells = {out[i + 1][0], out[i + 1][1], out[i + 1][2], out[i + 1][3]};
        EXPECT_EQ(cells, (std::vector<std::string>{want[i][0], link, want[i][1], want[i][2]})) << r.out;
    }
    EXPECT_NE(r.out.find("summary: 3 boards, 2 passed, 1 failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  board 2: gone: the device went away"), std::string::npos) << r.out;
}

// A USB adapter's latency timer in a fake sysfs tree, found through the
// port's device number as in /sys: reported with its cost, set to 1 ms for
// the run and put back on every way out; without permission, the way to
// make it stick.
TEST(KelvoCli, UsbLatencyTimerIsReportedLoweredAndPutBack)
{
    const struct { const char *what; std::vector<std::string> sim, cli; bool readOnly; int code; std::string err; } rows[] = {
        {"reported with its cost", {"--plan", "auto:1024"}, {}, false, 0, "up to 16.4 s per KiB"},
        {"lowered, back after a download", {"--plan", "auto:1024"}, {"--low-latency"}, false, 0, "set to 1 ms"},
        {"lowered, back after a timeout", {"--silent", "--duration", "5"}, {"--low-latency", "--timeout", "0.5"},
         false, 3, "set to 1 ms"},
        {"lowered, back after Ctrl+C with --repeat", {"--silent", "--duration", "10"}, {"--low-latency", "--repeat"},
         false, 130, "set to 1 ms"},
        {"not permitted", {"--plan", "auto:1024"}, {"--low-latency"}, true, 0,
         "ATTR{latency_timer}=\"1\""},
    };
    for (const auto &row : rows) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 5000);
        Sim sim(s, "sim", row.sim, dlf);
        struct stat st;
        ASSERT_EQ(stat(sim.port.c_str(), &st), 0);
        std::string adapter = s / "sys/bus/usb-serial/devices/ttyUSB7", timer = adapter + "/latency_timer";
        std::string node = s / ("sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
        // a timer that refuses writes, even root's, is a link to a read-only one
        ASSERT_EQ(system(("mkdir -p " + adapter + " " + node + " && ln -s " + adapter + " " + node + "/device && " +
                          (row.readOnly ? "ln -s /proc/sys/kernel/ngroups_max " + timer : "echo 16 > " + timer)).c_str()), 0);
        setenv("KELVO_SYSFS", (s / "sys").c_str(), 1);
        Proc cli(Cli(row.cli, {sim.port, dlf}), s / "cli");
        unsetenv("KELVO_SYSFS");
        if (row.code == 130) {
            EXPECT_TRUE(cli.WaitFor("set to 1 ms")) << row.what;
            EXPECT_EQ(ReadText(timer), "1\n") << row.what;
            cli.Signal(SIGINT);
        }
        Outcome r = cli.Finish();
        EXPECT_EQ(r.code, row.code) << row.what << "\n" << r.err;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << row.what << "\n" << r.err;
        EXPECT_EQ(ReadText(timer), row.readOnly ? ReadText("/proc/sys/kernel/ngroups_max") : "16\n") << row.what;
        sim.Signal(SIGTERM);
    }
}

} // namespace
