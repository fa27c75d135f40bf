// dlfsim's paced line as a PC sees it: a PC side that runs every byte
// through the protocol step and answers after a known delay. And the line
// rig, preloaded into a PC side, that gives pseudo terminals modem lines.
#include "download/protocol.h"
#include "hostkit.h"

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

} // namespace
