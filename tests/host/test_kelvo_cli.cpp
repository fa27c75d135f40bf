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

enum Then { kWait, kKillTarget, kInterrupt };

// dlfsim's scenario (none: no target at all); kelvo-cli's options before PORT
// FILE; what happens once the session runs; kelvo-cli's exit status, a piece
// of its stderr and the start of its stdout; dlfsim's RESULT line's start;
// setup: "swapped" (the file's CRC stored little-endian), "changed" (a byte
// past the CRC's 10), "port=file", "no arguments", "read-only timer".
struct Case { const char *what; Args sim, cli; Then then; int code; std::string err, out, verdict, setup = ""; };

// Every target sits behind a USB adapter whose latency timer, 16 ms, is in a
// fake sysfs tree, found through the port's device number as in /sys: it is
// reported with its cost, with --low-latency set to 1 ms for the run and put
// back on every way out; without permission, the way to make it stick.
TEST(KelvoCli, EveryWayASessionEnds)
{
    const Case cases[] = {
        {"a download in five blocks, held once by XOFF", {"--plan", "auto:1024", "--hold-xoff-after", "1500", "--xoff-pause", "300"},
         {"--timeout", "10", "--low-latency"}, kWait, 0,
         "progress 100%\n", "served 5004 bytes in 5 blocks,", "RESULT ok bytes=5004 blocks=5 "},
        {"noise, a wrong answer and a request past the end, each survived",
         {"--plan", "auto:2048", "--noise", "40", "--seed", "3", "--wrong-byte", "10", "--past-end"},
         {"--flow", "none", "--timeout", "10"}, kWait, 0, "past the end of the file",
         "served 5014 bytes in 4 blocks,", "RESULT ok bytes=5014 blocks=3 "},
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
    };
    for (const Case &c : cases) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 5000, 10), served = dlf + "." + c.setup, bytes = ReadText(dlf);
        std::unique_ptr<Sim> sim(c.sim.empty() ? nullptr : new Sim(s, "sim", c.sim, dlf));
        std::string port = sim ? sim->port : c.setup == "port=file" ? dlf : s / "no-such-port";
        if (c.setup == "swapped")
            std::swap(bytes[2], bytes[3]);
        bytes[4000] ^= c.setup == "changed";
        std::ofstream(served, std::ios::binary) << bytes;
        std::string adapter = s / "sys/bus/usb-serial/devices/ttyUSB7", timer = adapter + "/latency_timer";
        std::string readOnly = "/proc/sys/kernel/ngroups_max";    // refuses writes, even root's
        struct stat st;
        if (sim && stat(port.c_str(), &st) == 0) {
            std::string node = s / ("sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
            ASSERT_EQ(system(("mkdir -p " + adapter + " " + node + " && ln -s " + adapter + " " + node + "/device && " +
                              (c.setup == "read-only timer" ? "ln -s " + readOnly + " " : "echo 16 > ") + timer).c_str()), 0);
        }
        setenv("KELVO_SYSFS", (s / "sys").c_str(), 1);
        Proc cli(c.setup == "no arguments" ? Args{kCli} : Join({kCli}, c.cli, {port, served}), s / "cli");
        unsetenv("KELVO_SYSFS");
        if (c.then == kKillTarget) {
            EXPECT_TRUE(cli.WaitFor("progress 10%")) << c.what;
            sim->Signal(SIGKILL);               // its pseudo terminal goes with it
        } else if (c.then == kInterrupt) {
            EXPECT_TRUE(cli.WaitFor("to 1 ms for")) << c.what;     // the session's last word on starting
            EXPECT_EQ(ReadText(timer), std::count(c.cli.begin(), c.cli.end(), "--low-latency") ? "1\n" : "16\n") << c.what;
            cli.Signal(SIGINT);
        }
        Outcome r = cli.Finish(30000);
        EXPECT_EQ(r.code, c.code) << c.what << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out.compare(0, c.out.size(), c.out), 0) << c.what << "\n" << r.out;
        Outcome t = sim ? (sim->Signal(SIGTERM), sim->Finish()) : Outcome{};   // ends a silent target's watch
        EXPECT_NE(t.out.find(c.verdict), std::string::npos) << c.what << "\n" << t.out << t.err;
        EXPECT_EQ(ReadText(timer), !sim ? "" : c.setup == "read-only timer" ? ReadText(readOnly) : "16\n") << c.what;
    }
}

// The transcript records what the target saw, byte for byte and in order;
// a terminal gets a bar redrawn in place. dlfsim's paced line charges every
// byte both ways: however fast the PC answers, it never passes the line's
// limit (at 115200 bit/s 5760 data bytes a second, each costing the target's
// 06 and itself).
TEST(KelvoCli, OnAPacedLineTheTranscriptMatchesAndATerminalGetsABar)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 8192), screen;
    int master = posix_openpt(O_RDWR | O_NOCTTY), tty = grantpt(master) + unlockpt(master) + open(ptsname(master), O_RDWR);
    Sim sim(s, "sim", {"--pace", "115200", "--plan", "0:300,300:7896"}, dlf);
    Proc cli({kCli, "--log", s / "cli.log", "--timeout", "10", sim.port, dlf}, s / "cli", tty);
    close(tty);
    char buf[4096];
    struct pollfd p = {master, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, 20000) > 0 && (n = read(master, buf, sizeof buf)) > 0;)
        screen.append(buf, static_cast<size_t>(n));
    Outcome t = sim.Finish();
    ASSERT_EQ(cli.Finish().code, 0) << screen;
    ASSERT_EQ(t.code, 0) << t.err;
    EXPECT_NE(screen.find("\r[##############################] 100%  8196/8196 B"), std::string::npos) << screen;
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
    double share = 8196 / atof(t.out.substr(t.out.find("xfer_ms=") + 8).c_str()) * 1000 / 5760;
    std::cout << "kelvo-cli reached " << share * 100 << "% of the line\n";
    EXPECT_LE(share, 1.0) << t.out;
}

// Several targets served by one process: a port that fails ends alone while
// the others go on and verify every byte; the run ends with the most serious
// outcome, a device gone over a time-out over a port that cannot be used.
TEST(KelvoCli, ManyPortsOneFailingNeverDisturbsTheOthers)
{
    const Args ok = {"--plan", "auto:1024", "--pace", "38400"},
        wrong = {"--plan", "auto:1024", "--wrong-byte", "10"}, silent = {"--silent", "--duration", "10"},
        gone = {"--plan", "auto:1024", "--vanish-after", "1000"}, absent = {};
    const struct { const char *what; std::vector<Args> sims; int code; Args results; } rows[] = {
        {"all complete, one after a wrong answer", {ok, wrong}, 0, {"ok", "ok"}},
        {"a silent target and a missing port", {ok, silent, absent, ok}, 3, {"ok", "timeout", "io-error", "ok"}},
        {"a device that goes away and a silent target", {silent, gone, ok}, 4, {"timeout", "gone", "ok"}},
    };
    for (const auto &row : rows) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 5000);
        std::vector<std::unique_ptr<Sim>> sims;
        Args ports;
        for (const Args &sim : row.sims) {
            sims.emplace_back(sim.empty() ? nullptr : new Sim(s, "sim" + std::to_string(sims.size()), sim, dlf));
            ports.push_back(sim.empty() ? s / "absent" : sims.back()->port);
        }
        Outcome r = RunTool(Join({kCli, "--timeout", "4", "--log", s / "logs"}, ports, {dlf}), s);
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
    const Args boards[] = {{}, {"--silent", "--duration", "3"}, {"--vanish-after", "1000"}, {}};
    for (const Args &board : boards)
        EXPECT_NE(Sim(s, "board", Join({"--link", link}, board), dlf).Finish().out.find("RESULT ok"), std::string::npos)
            << board.size();
    Outcome r = cli.Finish();
    EXPECT_EQ(r.code, 4) << r.err;
    auto out = Cells(r.out);
    ASSERT_GE(out.size(), 5u) << r.out;
    const Args want[] = {{"1", link, "ok", "5004"}, {"2", link, "gone", "1000"}, {"3", link, "ok", "5004"}};
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(Args(out[i + 1].begin(), out[i + 1].begin() + 4), want[i]) << r.out;
    EXPECT_NE(r.out.find("summary: 3 boards, 2 passed, 1 failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  board 2: gone: the device went away"), std::string::npos) << r.out;
}

} // namespace
