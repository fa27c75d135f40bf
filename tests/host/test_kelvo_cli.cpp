// kelvo-cli against dlfsim on a real pseudo terminal: downloads, the
// transcript, and every way a session can end with its exit status.
#include <gtest/gtest.h>

#include "download/dlf.h"
#include "download/protocol.h"
#include "hostkit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace hostkit;

// A DLF file: size and CRC-16 big-endian, then a payload in which every byte
// value occurs (0x11 and 0x13 too: data must reach the target unchanged).
enum class Header { Good, SwappedCrc, Truncated };

void WriteDlf(const std::string &path, size_t payload, Header kind = Header::Good)
{
    Bytes p(payload);
    for (size_t i = 0; i < payload; ++i)
        p[i] = static_cast<uint8_t>(i * 7 + 3 + (i >> 8));
    uint16_t crc = GetCrc16(p.data(), static_cast<uint16_t>(payload));
    uint16_t size = static_cast<uint16_t>(payload + 2);
    if (kind == Header::SwappedCrc)
        crc = static_cast<uint16_t>((crc << 8) | (crc >> 8));
    if (kind == Header::Truncated)
        p.resize(payload / 2);
    Bytes f = {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size), static_cast<uint8_t>(crc >> 8),
               static_cast<uint8_t>(crc)};
    f.insert(f.end(), p.begin(), p.end());
    WriteBytes(path, f);
}

// A child process with stdout and stderr in files (or stderr on a given
// descriptor, e.g. a terminal).
class Proc {
public:
    Proc(const std::string &exe, const std::vector<std::string> &args, const std::string &outFile,
         const std::string &errFile, int errFd = -1)
        : outFile_(outFile), errFile_(errFile)
    {
        child_.Start(exe, args, [&] {
            int o = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = errFd >= 0 ? errFd : open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0)
                _exit(126);
            dup2(o, 1);
            dup2(e, 2);
        });
    }

    void Signal(int sig) { child_.Signal(sig); }
    std::string Out() const { return ReadText(outFile_); }
    std::string Err() const { return ReadText(errFile_); }

    // Polls the files until text shows up in stdout or stderr.
    bool WaitFor(const std::string &text, int timeoutMs = 10000) const
    {
        Clock::time_point t0 = Clock::now();
        while (MsSince(t0) < timeoutMs) {
            if (Out().find(text) != std::string::npos || Err().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Waits for the exit; a process still running after timeoutMs is killed.
    Outcome Finish(int timeoutMs = 20000)
    {
        Outcome o = child_.Finish(timeoutMs);
        o.out = Out();
        o.err += Err();
        return o;
    }

private:
    std::string outFile_, errFile_;
    Child child_;
};

const std::string kCli = std::string(KELVO_BIN) + "/kelvo-cli";
// dlfsim comes from the same build unless KELVO_DLFSIM names another one.
const std::string kSim = getenv("KELVO_DLFSIM") && *getenv("KELVO_DLFSIM") ? getenv("KELVO_DLFSIM")
                                                                             : std::string(KELVO_BIN) + "/dlfsim";

class KelvoCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(access(kSim.c_str(), X_OK), 0) << kSim << ": build the dlfsim target too, or set KELVO_DLFSIM";
        dlf_ = dir_.File("image.dlf");
        WriteDlf(dlf_, 5000);
    }

    // Starts dlfsim (quick settings plus args plus the DLF file); returns its port.
    std::string StartSim(std::vector<std::string> args)
    {
        std::vector<std::string> a = {"--start-delay", "0", "--reply-timeout", "3000", "--silence", "300"};
        a.insert(a.end(), args.begin(), args.end());
        a.push_back(dlf_);
        // Fresh file names each time: a stale "PTY" line must not be taken for this run's.
        std::string n = std::to_string(++nSim_);
        sim_.reset(new Proc(kSim, a, dir_.File("sim" + n + ".out"), dir_.File("sim" + n + ".err")));
        if (!sim_->WaitFor("PTY ", 5000))
            return "";
        std::string line = sim_->Out();
        size_t nl = line.find('\n');
        return nl == std::string::npos ? "" : line.substr(4, nl - 4);
    }

    Proc *StartCli(std::vector<std::string> args, int errFd = -1)
    {
        std::string n = std::to_string(++nCli_);
        cli_.reset(new Proc(kCli, args, dir_.File("cli" + n + ".out"), dir_.File("cli" + n + ".err"), errFd));
        return cli_.get();
    }

    Outcome RunCli(std::vector<std::string> args) { return StartCli(args)->Finish(); }

    TempDir dir_{"kelvo-cli-test"};
    std::string dlf_;
    std::unique_ptr<Proc> sim_;
    std::unique_ptr<Proc> cli_;
    int nSim_ = 0, nCli_ = 0;
};

// --- Downloads ----------------------------------------------------------

TEST_F(KelvoCli, DownloadServesEveryBlockAndPrintsTheSummary)
{
    std::string port = StartSim({"--plan", "auto:1024"});
    ASSERT_FALSE(port.empty());
    Outcome c = RunCli({"--timeout", "10", port, dlf_});
    Outcome s = sim_->Finish();
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(s.exitCode, 0) << s.err;
    // The image is the whole file, header included: 5004 bytes in 5 blocks.
    EXPECT_NE(s.out.find("RESULT ok bytes=5004 blocks=5 "), std::string::npos) << s.out;
    EXPECT_EQ(c.out.compare(0, 30, "served 5004 bytes in 5 blocks,"), 0) << c.out;
    EXPECT_NE(c.out.find(" B/s\n"), std::string::npos) << c.out;

    // Not a terminal: plain lines, one per tenth, ending at 100%.
    std::istringstream err(c.err);
    std::string line;
    int nProgress = 0;
    std::string last;
    while (std::getline(err, line)) {
        if (line.compare(0, 9, "progress ") == 0) {
            ++nProgress;
            last = line;
        }
    }
    EXPECT_LE(nProgress, 11) << c.err;
    EXPECT_EQ(last, "progress 100%") << c.err;
}

TEST_F(KelvoCli, DownloadSurvivesTheTargetStartingOver)
{
    // Noise before the first STX, a wrong answer inside the first block and a
    // request past the end: each must be answered by silence, then served.
    // That request's offset holds 0x13, which XON/XOFF would swallow.
    std::string port = StartSim({"--plan", "auto:2048", "--noise", "40", "--seed", "3", "--wrong-byte", "10",
                                 "--past-end"});
    ASSERT_FALSE(port.empty());
    Outcome c = RunCli({"--flow", "none", "--timeout", "10", port, dlf_});
    Outcome s = sim_->Finish();
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(s.exitCode, 0) << s.err << s.out;
    // The ten bytes of the broken block were sent twice; both sides count them.
    EXPECT_NE(s.out.find("RESULT ok bytes=5014 blocks=3 "), std::string::npos) << s.out;
    EXPECT_EQ(c.out.compare(0, 30, "served 5014 bytes in 4 blocks,"), 0) << c.out;
    EXPECT_NE(c.err.find("past the end of the file"), std::string::npos) << c.err;
}

TEST_F(KelvoCli, DownloadDrawsABarOnATerminal)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);

    std::string port = StartSim({"--plan", "auto:1024"});
    ASSERT_FALSE(port.empty());
    Proc *cli = StartCli({"--timeout", "10", port, dlf_}, slave);
    close(slave);
    std::string screen;
    char buf[4096];
    for (;;) {   // until the child's end closes the terminal
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        screen.append(buf, static_cast<size_t>(n));
    }
    close(master);
    Outcome c = cli->Finish();
    EXPECT_EQ(c.exitCode, 0) << screen;
    EXPECT_NE(screen.find("\r[##############################] 100%  5004/5004 B"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\r[...."), std::string::npos) << screen;
    EXPECT_EQ(screen.find("progress "), std::string::npos) << screen;
}

// --- Transcript ---------------------------------------------------------

TEST_F(KelvoCli, TranscriptRecordsBothDirectionsAsTheTargetSawThem)
{
    std::string mine = dir_.File("cli.log"), theirs = dir_.File("sim.log");
    std::string port = StartSim({"--plan", "0:300,4000:5", "--transcript", theirs});
    ASSERT_FALSE(port.empty());
    Outcome c = RunCli({"--log", mine, "--timeout", "10", port, dlf_});
    Outcome s = sim_->Finish();
    ASSERT_EQ(c.exitCode, 0) << c.err;
    ASSERT_EQ(s.exitCode, 0) << s.err;

    auto sequence = [](const std::string &text, bool strict, std::string *pFirstT, std::string *pFirstP) {
        std::istringstream in(text);
        std::string line, seq;
        long lastMs = -1;
        while (std::getline(in, line)) {
            if (line.compare(0, 2, "# ") == 0)
                continue;
            long ms;
            char who, hex[3], extra;
            int n = sscanf(line.c_str(), "%ld %c %2[0-9A-F]%c", &ms, &who, hex, &extra);
            if (strict) {
                EXPECT_EQ(n, 3) << line;
                EXPECT_TRUE(who == 'T' || who == 'P') << line;
                EXPECT_GE(ms, lastMs) << line;
                EXPECT_EQ(strlen(hex), 2u) << line;
            }
            lastMs = ms;
            if (pFirstT && who == 'T' && pFirstT->empty())
                *pFirstT = hex;
            if (pFirstP && who == 'P' && pFirstP->empty())
                *pFirstP = hex;
            seq += std::string(1, who) + hex + " ";
        }
        return seq;
    };
    std::string firstT, firstP;
    std::string seqMine = sequence(ReadText(mine), true, &firstT, &firstP);
    EXPECT_EQ(firstT, "02");
    EXPECT_EQ(firstP, "06");
    // Same bytes, same order as the target recorded them.
    EXPECT_EQ(seqMine, sequence(ReadText(theirs), false, nullptr, nullptr));
    // Both blocks and the completion are marked.
    std::string text = ReadText(mine);
    EXPECT_NE(text.find("# block offset=0 length=300\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# block offset=4000 length=5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# complete\n"), std::string::npos) << text;
}

// --- Refusals and usage -------------------------------------------------

TEST_F(KelvoCli, BadFileIsRefusedWithTheCheckersReasonBeforeThePortIsTouched)
{
    const struct { Header kind; DlfVerdict verdict; } aCase[] = {
        {Header::SwappedCrc, DLF_CRC_LITTLE_ENDIAN},
        {Header::Truncated, DLF_TRUNCATED},
    };
    for (const auto &k : aCase) {
        std::string bad = dir_.File("bad.dlf");
        WriteDlf(bad, 600, k.kind);
        // The port does not exist: opening it first would give status 1.
        Outcome c = RunCli({dir_.File("no-such-port"), bad});
        EXPECT_EQ(c.exitCode, 2) << c.err;
        EXPECT_NE(c.err.find(bad + ": " + DlfVerdictText(k.verdict)), std::string::npos) << c.err;
        EXPECT_EQ(c.out, "");
    }
    Outcome c = RunCli({dir_.File("no-such-port"), dir_.File("missing.dlf")});
    EXPECT_EQ(c.exitCode, 2) << c.err;
    EXPECT_NE(c.err.find("No such file or directory"), std::string::npos) << c.err;
}

TEST_F(KelvoCli, UsageErrorsExitTwoAndHelpListsTheExitCodes)
{
    const std::vector<std::vector<std::string>> aBad = {
        {},
        {"/dev/null"},
        {"--baud", "12345", "/dev/null", dlf_},
        {"--baud", "fast", "/dev/null", dlf_},
        {"--flow", "hardware", "/dev/null", dlf_},
        {"--timeout", "-1", "/dev/null", dlf_},
        {"--timeout"},
        {"--bogus", "/dev/null", dlf_},
        {"/dev/null", dlf_, "extra"},
    };
    for (const auto &args : aBad) {
        Outcome c = RunCli(args);
        EXPECT_EQ(c.exitCode, 2) << args.size() << " " << c.err;
        EXPECT_NE(c.err.find("kelvo-cli --help"), std::string::npos) << c.err;
    }
    Outcome h = RunCli({"--help"});
    EXPECT_EQ(h.exitCode, 0);
    for (const char *code : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  130 "})
        EXPECT_NE(h.out.find(code), std::string::npos) << code;
}

// --- The port -----------------------------------------------------------

TEST_F(KelvoCli, PortThatCannotBeOpenedIsAnIoError)
{
    Outcome c = RunCli({dir_.File("no-such-port"), dlf_});
    EXPECT_EQ(c.exitCode, 1) << c.err;
    EXPECT_NE(c.err.find("cannot open " + dir_.File("no-such-port") + ": No such file or directory"),
              std::string::npos) << c.err;
    c = RunCli({dlf_, dlf_});   // a plain file is no serial port
    EXPECT_EQ(c.exitCode, 1) << c.err;
    EXPECT_NE(c.err.find("not a serial port"), std::string::npos) << c.err;
}

TEST_F(KelvoCli, WaitPortServesADeviceThatAppearsLater)
{
    std::string link = dir_.File("ttyTARGET");
    Proc *cli = StartCli({"--wait-port", "--timeout", "15", link, dlf_});
    ASSERT_TRUE(cli->WaitFor("waiting for " + link));
    std::string port = StartSim({"--plan", "auto:4096", "--link", link});
    ASSERT_FALSE(port.empty());
    Outcome c = cli->Finish();
    Outcome s = sim_->Finish();
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_NE(s.out.find("RESULT ok bytes=5004 blocks=2 "), std::string::npos) << s.out << s.err;

    c = RunCli({"--wait-port", "--timeout", "0.3", dir_.File("never"), dlf_});
    EXPECT_EQ(c.exitCode, 3) << c.err;
    EXPECT_NE(c.err.find("did not appear within 0.3 s"), std::string::npos) << c.err;
}

// --- How a session ends -------------------------------------------------

TEST_F(KelvoCli, TimeoutNamesTheStepItWaitedIn)
{
    std::string port = StartSim({"--silent", "--duration", "5"});
    ASSERT_FALSE(port.empty());
    Outcome c = RunCli({"--timeout", "0.5", port, dlf_});
    EXPECT_EQ(c.exitCode, 3) << c.err;
    EXPECT_NE(c.err.find(std::string("while ") + DlStepName(0)), std::string::npos) << c.err;
    sim_->Signal(SIGTERM);
    Outcome s = sim_->Finish();
    EXPECT_NE(s.out.find("RESULT ok bytes=0 "), std::string::npos) << s.out << s.err;

    // In the middle of a block the message names that step and the count.
    port = StartSim({"--plan", "auto:1024", "--stop-after", "1500", "--duration", "5"});
    ASSERT_FALSE(port.empty());
    c = RunCli({"--timeout", "0.5", port, dlf_});
    EXPECT_EQ(c.exitCode, 3) << c.err;
    EXPECT_NE(c.err.find(std::string("while ") + DlStepName(14) + "; served 1500 of 5004 bytes"),
              std::string::npos) << c.err;
    EXPECT_EQ(c.out, "");
}

TEST_F(KelvoCli, DeviceThatGoesAwayMidDownloadExitsFour)
{
    WriteDlf(dlf_, 20000);
    std::string port = StartSim({"--plan", "auto:1024", "--pace", "9600"});
    ASSERT_FALSE(port.empty());
    Proc *cli = StartCli({port, dlf_});   // no --timeout: only the hang-up can end it
    ASSERT_TRUE(cli->WaitFor("progress 10%", 15000)) << cli->Err();
    sim_->Signal(SIGKILL);                // the pty master closes with it
    Outcome c = cli->Finish();
    EXPECT_EQ(c.exitCode, 4) << c.err;
    EXPECT_NE(c.err.find("the device went away"), std::string::npos) << c.err;
    EXPECT_EQ(c.out, "");
}

TEST_F(KelvoCli, InterruptEndsCleanlyWithoutSendingAByte)
{
    for (int sig : {SIGINT, SIGTERM}) {
        std::string port = StartSim({"--silent", "--duration", "10"});
        ASSERT_FALSE(port.empty());
        Proc *cli = StartCli({port, dlf_});
        ASSERT_TRUE(cli->WaitFor("kelvo-cli: serving")) << cli->Err();
        cli->Signal(sig);
        Outcome c = cli->Finish(5000);
        EXPECT_EQ(c.exitCode, 130) << sig << " " << c.err;
        EXPECT_NE(c.err.find("interrupted while " + std::string(DlStepName(0))), std::string::npos) << c.err;
        sim_->Signal(SIGTERM);
        Outcome s = sim_->Finish();
        EXPECT_NE(s.out.find("RESULT ok bytes=0 "), std::string::npos) << s.out << s.err;
    }
}

} // namespace
