// kelvo-cli against dlfsim on real pseudo terminals: every way a session
// ends, with its exit status, its message and the target's verdict.
#include "download/protocol.h"
#include "hostkit.h"

#include <poll.h>

namespace {

using namespace hk;
const std::string kCli = kBin + "/kelvo-cli";

enum Then { kWait, kKillTarget, kInterrupt };

struct Case {
    const char *what;
    std::vector<std::string> sim;   // dlfsim's scenario; empty: no target at all
    std::vector<std::string> cli;   // kelvo-cli's options before PORT FILE
    Then then;                      // what happens once the session runs
    int code;                       // kelvo-cli's exit status
    std::string err;                // in its stderr
    std::string out;                // its stdout starts so
    std::string verdict;            // dlfsim's RESULT line starts so
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
         {"--plan", "auto:1024", "--stop-after", "1500", "--duration", "5"}, {"--timeout", "0.5"}, kWait, 3,
         std::string("while ") + DlStepName(14) + "; served 1500 of 5004 bytes", "", ""},
        {"a device that goes away", {"--plan", "auto:1024", "--pace", "9600"}, {}, kKillTarget, 4,
         "the device went away", "", ""},
        {"an interrupt", {"--silent", "--duration", "10"}, {}, kInterrupt, 130,
         std::string("interrupted while ") + DlStepName(0), "", "RESULT ok bytes=0 "},
        {"a port that does not exist", {}, {}, kWait, 1, "No such file or directory", "", ""},
        {"a port that does not appear", {}, {"--wait-port", "--timeout", "0.3"}, kWait, 3,
         "did not appear within 0.3 s", "", ""},
    };
    for (const Case &c : cases) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 5000);
        std::unique_ptr<Sim> sim;
        std::string port = s / "no-such-port";
        if (!c.sim.empty()) {
            sim.reset(new Sim(s, "sim", c.sim, dlf));
            port = sim->port;
        }
        std::vector<std::string> argv = {kCli};
        argv.insert(argv.end(), c.cli.begin(), c.cli.end());
        argv.insert(argv.end(), {port, dlf});
        Proc cli(argv, s / "cli");
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

TEST(KelvoCli, FilesAndArgumentsThatCannotBeServedSendNothing)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 600);
    std::string bad = s / "bad.dlf";
    std::string bytes = ReadText(dlf);
    std::swap(bytes[2], bytes[3]);              // the CRC stored little-endian
    std::ofstream(bad, std::ios::binary) << bytes;
    const struct { std::vector<std::string> args; int code; std::string err; } cases[] = {
        {{s / "tty", bad}, 2, bad + ": CRC stored little-endian"},
        {{s / "tty", s / "missing.dlf"}, 2, "No such file or directory"},
        {{dlf, dlf}, 1, "not a serial port"},
        {{}, 2, "kelvo-cli --help"},
        {{"--baud", "12345", s / "tty", dlf}, 2, "unsupported baud rate"},
        {{"--flow", "hardware", s / "tty", dlf}, 2, "unknown flow control"},
        {{"--timeout", "-1", s / "tty", dlf}, 2, "bad timeout"},
        {{"--help"}, 0, ""},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {kCli};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Outcome r = RunTool(argv, s);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
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
    auto bytes = [](const std::string &text) {
        std::istringstream in(text);
        std::string line, seq;
        while (std::getline(in, line))
            if (line[0] != '#')
                seq += line.substr(line.find(' ') + 1) + ";";
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

TEST(KelvoCli, ATerminalGetsABarRedrawnInPlace)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 5000);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    int tty = open(ptsname(master), O_RDWR | O_NOCTTY);
    Sim sim(s, "sim", {"--plan", "auto:1024"}, dlf);
    Proc cli({kCli, "--timeout", "10", sim.port, dlf}, s / "cli", tty);
    close(tty);
    std::string screen;
    char buf[4096];
    struct pollfd p = {master, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, 20000) > 0 && (n = read(master, buf, sizeof buf)) > 0;)
        screen.append(buf, static_cast<size_t>(n));
    close(master);
    EXPECT_EQ(cli.Finish().code, 0) << screen;
    EXPECT_NE(screen.find("\r[##############################] 100%  5004/5004 B"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("progress "), std::string::npos) << screen;
}

} // namespace
