// dlfsim as a PC sees it: its paced line, its holds of the PC's answers,
// and, with the line rig preloaded into the PC side, the modem lines a
// board's reset wiring reads, a late permission and a slow close.
#include "core/core.h"
#include "hostkit.h"

#include <functional>

#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

namespace {

using namespace hk;
typedef std::chrono::steady_clock Clock;

// At 9600 bit/s a character takes 1042 us. No byte of the target reaches
// the PC before the line could have carried it and every byte before it,
// both ways, plus the PC's own delays: an exchange costs at least two
// characters and the delay, so a PC that waits D per answer gets at most
// 1/(1 + D/(2 characters)) of the line. Nothing here bounds the rate from
// below: a slow machine only satisfies these more.
TEST(Dlfsim, APacedLineChargesThePCsTurnaround)
{
    const double c = 10.0 / 9600;
    const struct { const char *what; double delay; } rows[] = {
        {"answers at once", 0}, {"waits half a character", c / 2}, {"waits two characters", 2 * c}};
    for (const auto &row : rows) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 600), image = ReadText(dlf);
        std::vector<unsigned char> file(image.begin(), image.end());
        Sim sim(s, "sim", {"--pace", "9600", "--plan", "auto:300"}, dlf);
        int fd = open(sim.port.c_str(), O_RDWR | O_NOCTTY);
        Clock::time_point opened = Clock::now();
        struct termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0) << row.what;
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        DLSTATE st;
        DlInit(&st);
        long carried = 0, delays = 0;        // bytes on the line so far, both ways; answers delayed
        double worst = 1e9;                  // least margin of a byte's arrival over its earliest time
        bool done = false;
        unsigned char buf[64];
        struct pollfd p = {fd, POLLIN, 0};
        for (ssize_t n; !done && poll(&p, 1, 5000) > 0 && (n = read(fd, buf, sizeof buf)) > 0;) {
            Clock::time_point got = Clock::now();
            for (ssize_t i = 0; i < n; i++) {
                double since = std::chrono::duration<double>(got - opened).count();
                worst = std::min(worst, since - (++carried * c + delays * row.delay));
                DLSTEP step;
                DlStepByte(&st, file.data(), static_cast<uint32_t>(file.size()), buf[i], &step);
                std::string answer;
                for (int e = 0; e < step.nEffects; e++) {
                    if (step.aEffect[e].kind == DLE_SEND)
                        answer += static_cast<char>(step.aEffect[e].value);
                    done = done || step.aEffect[e].kind == DLE_COMPLETE;
                }
                if (answer.empty())
                    continue;
                std::this_thread::sleep_until(got + std::chrono::duration<double>(row.delay));
                ASSERT_EQ(write(fd, answer.data(), answer.size()), static_cast<ssize_t>(answer.size())) << row.what;
                carried += static_cast<long>(answer.size());
                delays++;
            }
        }
        close(fd);
        Outcome r = sim.Finish();
        ASSERT_TRUE(done && r.code == 0) << row.what << "\n" << r.out << r.err;
        EXPECT_GE(worst, 0) << row.what << ": a byte of the target came this many seconds early";
        long bytes = atol(r.out.substr(r.out.find("bytes=") + 6).c_str());
        double xfer = (atol(r.out.substr(r.out.find("xfer_ms=") + 8).c_str()) + 1) / 1000.0;
        EXPECT_EQ(bytes, 604) << row.what;
        std::cout << row.what << ": " << bytes * 2 * c / xfer * 100 << "% of the line\n";
        EXPECT_LE(bytes * 2 * c / xfer, 1 / (1 + row.delay / (2 * c))) << row.what << "\n" << r.out;
    }
}

// The PC's side in the test, on the pty slave fd: every byte through the
// protocol step, the answers written at once or, while the port's output is
// held, queued. It reads nothing while more than maxQueued answers wait, and
// ends at the completion, when done() holds, or after a minute (a hang).
// With dropFlow it drops 11 and 13 before the step, as a port that takes
// them for flow control does, but never stops its output.
bool ServeAsPc(int fd, const std::string &image, size_t maxQueued, const std::function<bool()> &done,
               bool dropFlow = false)
{
    DLSTATE st;
    DlInit(&st);
    std::string queue;
    bool complete = false;
    Clock::time_point giveUp = Clock::now() + std::chrono::seconds(60);
    while (!complete && !done() && Clock::now() < giveUp) {
        struct pollfd p = {fd, static_cast<short>(queue.size() > maxQueued ? 0 : POLLIN), 0};
        unsigned char buf[4096];
        ssize_t n = poll(&p, 1, 20) > 0 && (p.revents & POLLIN) ? read(fd, buf, sizeof buf) : 0;
        for (ssize_t i = 0; i < n; i++) {
            if (dropFlow && (buf[i] == 0x11 || buf[i] == 0x13))
                continue;
            DLSTEP step;
            DlStepByte(&st, reinterpret_cast<const unsigned char *>(image.data()), static_cast<uint32_t>(image.size()),
                       buf[i], &step);
            for (int e = 0; e < step.nEffects; e++) {
                if (step.aEffect[e].kind == DLE_SEND)
                    queue += static_cast<char>(step.aEffect[e].value);
                complete = complete || step.aEffect[e].kind == DLE_COMPLETE;
            }
        }
        ssize_t w = queue.empty() ? 0 : write(fd, queue.data(), queue.size());
        if (w > 0)
            queue.erase(0, static_cast<size_t>(w));
    }
    return complete;
}

// Opens the slave raw and non-blocking, with XON/XOFF on its output or not.
int OpenPcPort(const std::string &port, bool ixon)
{
    int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        if (ixon)
            t.c_iflag |= IXON;
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// XOFF between the completion's 02 and 43: a port that obeys it keeps the
// PC's last answer, and the PC is done all the same when it closes the port.
// One that takes the XOFF but sends on lets the answer through.
TEST(Dlfsim, AnXoffAtTheCompletionHoldsThePCsLastAnswer)
{
    const struct { const char *what; bool ixon; int code; const char *result; } rows[] = {
        {"a port that stops its output", true, 0,
         "RESULT ok held at completion until the PC closed the port bytes=604 blocks=1 "},
        {"a PC that drops the XOFF and sends on", false, 1, "RESULT fail PC sent 06 to the completion held by XOFF\n"},
    };
    for (const auto &row : rows) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 600);
        Sim sim(s, "sim", {"--xoff-at-complete", "--duration", "30"}, dlf);
        int fd = OpenPcPort(sim.port, row.ixon);
        EXPECT_TRUE(ServeAsPc(fd, ReadText(dlf), SIZE_MAX, [] { return false; }, !row.ixon)) << row.what;
        close(fd);
        Outcome r = sim.Finish();
        EXPECT_EQ(r.code, row.code) << row.what << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(row.result), std::string::npos) << row.what << "\n" << r.out;
    }
}

// A flood of bytes each asking for an answer, under XOFF: a PC that queues
// its answers without bound reads it all; one that stops reading when its
// queue is full leaves the rest in dlfsim, the line taking only what the
// pseudo terminal buffers.
TEST(Dlfsim, AFloodUnderXoffShowsWhetherThePCStopsReading)
{
    const long kFlood = 300000;
    const struct { const char *what; size_t maxQueued; bool all; } rows[] = {
        {"a PC that queues every answer", SIZE_MAX, true},
        {"a PC that stops at 256 queued answers", 256, false},
    };
    for (const auto &row : rows) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 600);
        Sim sim(s, "sim", {"--flood-held", std::to_string(kFlood), "--duration", "120"}, dlf);
        int fd = OpenPcPort(sim.port, true);
        ServeAsPc(fd, ReadText(dlf), row.maxQueued, [&] { return sim.Out().find("flood: ") != std::string::npos; });
        EXPECT_NE(sim.Out().find("flood: "), std::string::npos) << row.what << ": no end of the flood with the port open";
        close(fd);
        Outcome r = sim.Finish();
        ASSERT_EQ(r.code, 0) << row.what << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("RESULT ok flood held until the PC closed the port bytes=0 blocks=0 "), std::string::npos)
            << row.what << "\n" << r.out;
        size_t at = r.out.find("flood: the line took ");
        ASSERT_NE(at, std::string::npos) << row.what << "\n" << r.out;
        long took = atol(r.out.c_str() + at + 21);
        std::cout << row.what << ": the line took " << took << " bytes\n";
        EXPECT_NE(r.out.find(" of " + std::to_string(kFlood) + " bytes\n", at), std::string::npos) << r.out;
        if (row.all)
            EXPECT_EQ(took, kFlood) << row.what;
        else
            EXPECT_LT(took, kFlood / 4) << row.what;
    }
}

const std::string kRig = kBin + "/libkelvo-rig.so";

// rigpc with the rig preloaded, the scratch directory its directory.
Args RigPc(const Scratch &s, const Args &args, bool rig = true)
{
    return Join({"/usr/bin/env", "-u", "KELVO_RIG", "LD_PRELOAD=" + kRig},
                rig ? Args{"KELVO_RIG=" + s.dir} : Args{}, Join({kBin + "/rigpc"}, args));
}

// The rig's file of a port: <dir>/<major>.<minor>.<what>.
std::string RigFile(const Scratch &s, const std::string &port, const std::string &what)
{
    struct stat st;
    stat(port.c_str(), &st);
    return s / (std::to_string(major(st.st_rdev)) + "." + std::to_string(minor(st.st_rdev)) + "." + what);
}

// The log of the lines without its times.
std::string LoggedLines(const std::string &path)
{
    std::string lines = ReadText(path), out;
    for (size_t at = 0, nl; (nl = lines.find('\n', at)) != std::string::npos; at = nl + 1)
        out += lines.substr(lines.find(' ', at) + 1, nl - lines.find(' ', at));
    return out;
}

// On a pty slave the rig answers the modem-line requests the kernel refuses:
// DTR and RTS as the program set them, DSR, CTS and CD asserted. It logs an
// open and every change, and the drop of both lines when the last
// descriptor goes; without KELVO_RIG it is not there.
TEST(LineRig, AnswersAndLogsTheModemLines)
{
    const struct { const char *what; bool rig; int ports; Args steps; std::string out, log; } rows[] = {
        {"lines set, read back and logged", true, 1, {"get", "dtr=0", "get", "rts=0", "dtr=1", "get", "dtr=1", "get"},
         "open 1: ok\nlines: DTR RTS DSR CTS CD\nlines: RTS DSR CTS CD\nlines: DTR DSR CTS CD\nlines: DTR DSR CTS CD\n",
         "1 1\n0 1\n1 0\n0 0\n"},
        {"two descriptors: the lines drop with the last", true, 2, {}, "open 1: ok\nopen 2: ok\n", "1 1\n1 1\n0 0\n"},
        {"without KELVO_RIG", false, 1, {"get"}, "open 1: ok\nTIOCMGET: Inappropriate ioctl for device\n", ""},
    };
    for (const auto &row : rows) {
        Scratch s;
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_EQ(grantpt(master) + unlockpt(master), 0);
        std::string port = ptsname(master), ports = row.ports == 2 ? port + "," + port : port;
        std::string log = RigFile(s, port, "lines");
        Outcome r = Proc(RigPc(s, Join({ports}, row.steps, {"close"}), row.rig), s / "pc").Finish();
        close(master);
        EXPECT_EQ(r.out.compare(0, row.out.size(), row.out), 0) << row.what << "\n" << r.out << r.err;
        EXPECT_EQ(LoggedLines(log), row.log) << row.what;
    }
}

// The sequences a PC applies after its open raised both lines.
const Args kDtrPulse = {"dtr=1", "100ms", "dtr=0", "50ms"}, kRtsPulse = {"rts=1", "100ms", "rts=0", "50ms"},
           kTwoTransistor = {"dtr=0", "rts=1", "100ms", "dtr=1", "rts=0", "50ms", "dtr=0"};

// A board with a reset wiring says nothing until its sequence has put it in
// the download mode, and then serves the download. A wrong sequence leaves
// it silent, and when the PC gives up and closes the port, dlfsim says why:
// the close that releases a held reset does not count.
TEST(Dlfsim, AResetWiringWaitsForItsSequence)
{
    const Args kRestart = {"dtr=0", "rts=1", "100ms", "rts=0", "50ms"};   // EN low, released with boot high
    // settled: the last of the sequence's lines in the transcript, for a
    // sequence that must not enter the download mode.
    const struct { const char *what, *wiring; Args seq; std::string settled; } rows[] = {
        {"a DTR pulse", "dtr-pulse", kDtrPulse, ""},
        {"an RTS pulse", "rts-pulse", kRtsPulse, ""},
        {"EN low, then released with boot low", "two-transistor", kTwoTransistor, ""},
        {"DTR left asserted holds the reset", "dtr-pulse", kRtsPulse, "lines: DTR 1 RTS 0:"},
        {"RTS left asserted holds the reset", "rts-pulse", kDtrPulse, "lines: DTR 0 RTS 1:"},
        {"EN released with boot high starts the board normally", "two-transistor", kRestart, "lines: DTR 0 RTS 0:"},
    };
    for (const auto &row : rows) {
        Scratch s;
        std::string dlf = MakeDlf(s, "fw", 600);
        Sim sim(s, "sim", {"--rig", s.dir, "--wiring", row.wiring}, dlf);
        Proc pc(RigPc(s, Join({sim.port}, row.seq, {"serve=" + dlf, "close"})), s / "pc");
        if (!row.settled.empty()) {
            EXPECT_TRUE(Poll(20000, [&] { return ReadText(s / "sim.transcript").find(row.settled) != std::string::npos; }))
                << row.what;
            pc.Signal(SIGTERM);
        }
        Outcome p = pc.Finish(), r = sim.Finish();
        std::string transcript = ReadText(s / "sim.transcript");
        if (row.settled.empty()) {
            EXPECT_EQ(r.code, 0) << row.what << "\n" << r.out << r.err << transcript;
            EXPECT_NE(p.out.find("served: complete\n"), std::string::npos) << row.what << "\n" << p.out;
            EXPECT_NE(transcript.find("# download mode entered\n"), std::string::npos) << row.what;
        } else {
            EXPECT_EQ(r.code, 1) << row.what << "\n" << r.out << r.err;
            EXPECT_NE(r.out.find(std::string("RESULT fail the target never entered its download mode (wiring ") +
                                 row.wiring + "): the PC closed the port\n"),
                      std::string::npos)
                << row.what << "\n" << r.out << transcript;
            EXPECT_EQ(p.out.find("rx"), std::string::npos) << row.what << "\n" << p.out;
        }
    }
}

// The reset must last 10 ms: the board reads the times in the rig's log,
// written here by the test for a PC that has the port open.
TEST(Dlfsim, AResetStartsTheBoardAfterTenMilliseconds)
{
    const struct { const char *what, *wiring; std::vector<std::pair<long, std::string>> log; bool enters; } rows[] = {
        {"DTR held 10 ms", "dtr-pulse", {{0, "1 1"}, {10000, "0 1"}}, true},
        {"DTR held just under 10 ms", "dtr-pulse", {{0, "1 1"}, {9999, "0 1"}}, false},
        {"EN low 10 ms", "two-transistor", {{0, "1 1"}, {1, "0 1"}, {10001, "1 0"}}, true},
        {"EN low just under 10 ms", "two-transistor", {{0, "1 1"}, {1, "0 1"}, {10000, "1 0"}}, false},
    };
    for (const auto &row : rows) {
        Scratch s;
        std::string transcript = s / "sim.transcript";
        Sim sim(s, "sim", {"--rig", s.dir, "--wiring", row.wiring}, MakeDlf(s, "fw", 600));
        int fd = OpenPcPort(sim.port, false);
        ASSERT_TRUE(Poll(20000, [&] { return ReadText(transcript).find("# waiting for the download mode") != std::string::npos; }))
            << row.what;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::string log;
        for (const auto &line : row.log)
            log += std::to_string(now.tv_sec * 1000000L + now.tv_nsec / 1000 + line.first) + " " + line.second + "\n";
        std::ofstream(RigFile(s, sim.port, "lines"), std::ios::app) << log;
        unsigned char b = 0;
        if (row.enters) {
            struct pollfd p = {fd, POLLIN, 0};
            EXPECT_TRUE(poll(&p, 1, 20000) == 1 && read(fd, &b, 1) == 1 && b == 0x02) << row.what;
        } else {
            EXPECT_TRUE(Poll(20000, [&] { return ReadText(transcript).find("# lines: DTR " + row.log.back().second.substr(0, 1) +
                                                                              " RTS " + row.log.back().second.substr(2)) !=
                                                 std::string::npos; }))
                << row.what;
        }
        close(fd);
        Outcome r = sim.Finish();
        EXPECT_EQ(r.out.find("never entered its download mode") == std::string::npos, row.enters) << row.what << "\n" << r.out;
    }
}

// Each session needs its own reset: a two-transistor board stays in the
// download mode through a close and an open, and the next session must not
// take the last one's start for its own.
TEST(Dlfsim, EverySessionNeedsItsOwnReset)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 600), transcript = s / "sim.transcript";
    Sim sim(s, "sim", {"--rig", s.dir, "--wiring", "two-transistor", "--repeat", "2"}, dlf);
    Outcome first = Proc(RigPc(s, Join({sim.port}, kTwoTransistor, {"serve=" + dlf, "close"})), s / "pc1").Finish();
    ASSERT_NE(first.out.find("served: complete\n"), std::string::npos) << first.out;
    ASSERT_TRUE(Poll(20000, [&] { return ReadText(transcript).find("# the PC closed the port") != std::string::npos; }));
    Proc second(RigPc(s, {sim.port, "serve=" + dlf, "close"}), s / "pc2");
    auto reread = [&] {     // the second open's lines, read while it waits for the download mode
        std::string t = ReadText(transcript);
        size_t wait = t.find("# waiting for the download mode", t.find("# waiting for the download mode") + 1);
        return wait != std::string::npos && t.find("# lines: DTR 1 RTS 1:", wait) != std::string::npos;
    };
    EXPECT_TRUE(Poll(20000, reread)) << ReadText(transcript);
    second.Signal(SIGTERM);
    Outcome r = sim.Finish();
    EXPECT_EQ(r.code, 1) << r.out << ReadText(transcript);
    EXPECT_NE(r.out.find("RESULT fail the target never entered its download mode (wiring two-transistor): "
                         "the PC closed the port\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(second.Finish().out.find("rx"), std::string::npos);
}

TEST(Dlfsim, ModemLineOptionsNeedTheRigAndAPseudoTerminal)
{
    const struct { Args args; const char *err; } rows[] = {
        {{"--wiring", "dtr-pulse"}, "need the rig's directory: --rig DIR or KELVO_RIG"},
        {{"--rig", "/tmp", "--wiring", "rts"}, "--wiring: unknown wiring \"rts\""},
        {{"--rig", "/tmp", "--device", "/dev/null", "--hang-close", "5"}, "need a pseudo terminal, not --device"},
    };
    for (const auto &row : rows) {
        Scratch s;
        unsetenv("KELVO_RIG");
        Outcome r = RunTool(Join({kBin + "/dlfsim"}, row.args, {MakeDlf(s, "fw", 10)}), s);
        EXPECT_EQ(r.code, 2) << row.err;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    }
}

// The port's node refuses the PC while it is denied, and lets it in once the
// denial is over; the open goes through dlfsim's link.
TEST(Dlfsim, ADeniedOpenFailsUntilTheDenialEnds)
{
    const struct { const char *what; const char *deny; Args pc; int code; const char *out; } rows[] = {
        {"while denied", "60000", {}, 1, "open 1: Permission denied\n"},
        {"after the denial", "300", {"--retry", "20000"}, 0, "open 1: ok\n"},
    };
    for (const auto &row : rows) {
        Scratch s;
        std::string link = s / "ttyUSB0";
        Sim sim(s, "sim", {"--rig", s.dir, "--link", link, "--deny-open", row.deny, "--silent"}, MakeDlf(s, "fw", 10));
        std::string deny = RigFile(s, sim.port, "deny");
        Outcome p = Proc(RigPc(s, Join(row.pc, {link})), s / "pc").Finish();
        EXPECT_EQ(p.code, row.code) << row.what << "\n" << p.out << p.err;
        EXPECT_EQ(p.out, row.out) << row.what;
        sim.Signal(SIGTERM);
        EXPECT_EQ(sim.Finish().code, 0) << row.what;
        EXPECT_NE(access(deny.c_str(), F_OK), 0) << row.what << ": the denial outlived dlfsim";
    }
    // A run that fails before the denial's time begins leaves none behind.
    Scratch s;
    std::ofstream(s / "taken") << "a file, no link";
    Sim sim(s, "sim", {"--rig", s.dir, "--link", s / "taken", "--deny-open", "60000"}, MakeDlf(s, "fw", 10));
    EXPECT_EQ(sim.Finish().code, 3);
    EXPECT_EQ(system(("ls " + s.dir + " | grep -q 'deny$'").c_str()), 256) << "a denial outlived dlfsim";
}

// A close with a hang takes it, on its own thread: the other port's close,
// started after it, returns first.
TEST(Dlfsim, ASlowCloseHoldsUpNoOtherPort)
{
    Scratch s;
    std::string dlf = MakeDlf(s, "fw", 10);
    Sim slow(s, "slow", {"--rig", s.dir, "--hang-close", "4000", "--silent"}, dlf),
        quick(s, "quick", {"--silent"}, dlf);
    Outcome p = Proc(RigPc(s, {slow.port + "," + quick.port, "close"}), s / "pc").Finish();
    size_t first = p.out.find("close 1: "), second = p.out.find("close 2: ");
    ASSERT_TRUE(first != std::string::npos && second != std::string::npos) << p.out << p.err;
    EXPECT_GE(atol(p.out.c_str() + first + 9), 4000) << p.out;
    EXPECT_LT(second, first) << p.out;
    for (Sim *sim : {&slow, &quick}) {
        sim->Signal(SIGTERM);
        EXPECT_EQ(sim->Finish().code, 0);
    }
}

} // namespace
