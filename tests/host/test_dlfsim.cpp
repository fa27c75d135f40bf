// dlfsim's paced line as a PC sees it: a PC side that runs every byte
// through the protocol step and answers after a known delay. Its scenarios
// and the line rig are exercised by kelvo-cli's tests, which drive them.
#include "core/core.h"
#include "hostkit.h"

#include <poll.h>
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

} // namespace
