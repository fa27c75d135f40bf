// dlfsim against a scripted PC on the other end of its pseudo terminal.
// The PC side here is written independently of Kelvo's own protocol code:
// a plain state machine that answers byte by byte, with switches to make it
// misbehave in the ways the simulated target has to catch.
#include <gtest/gtest.h>

#include "hostkit.h"

#include <cerrno>
#include <cstdio>

#include <poll.h>

namespace {

using namespace hostkit;

// Every byte value occurs, 0x11 and 0x13 included: the PC's data must
// reach the target unchanged.
Bytes Image(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 3 + (i >> 8));
    return b;
}

// dlfsim as a child process, its stdout and stderr going to files.
class Sim {
public:
    Sim(const TempDir &dir, std::vector<std::string> args, const std::string &dlf)
        : out_(dir.File("out.txt")), err_(dir.File("err.txt"))
    {
        args.push_back(dlf);
        int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o >= 0 && e >= 0)
            child_.Start(std::string(KELVO_BIN) + "/dlfsim", args, [&] {
                dup2(o, 1);
                dup2(e, 2);
            });
        close(o);
        close(e);
    }

    // The slave path from the first stdout line, "PTY /dev/pts/N".
    std::string Port()
    {
        std::string text, line;
        WaitUntil([&] { return (text = ReadText(out_)).find('\n') != std::string::npos; }, 5000);
        return TakeLine(&text, &line) && line.compare(0, 4, "PTY ") == 0 ? line.substr(4) : "";
    }

    bool Running() { return child_.Running(); }

    // Waits for the exit (killing the child after timeoutMs) and collects output.
    Outcome Finish(int timeoutMs = 10000)
    {
        Outcome o = child_.Finish(timeoutMs);
        o.out = ReadText(out_);
        o.err += ReadText(err_);
        return o;
    }

private:
    std::string out_, err_;
    Child child_;
};

// The PC side of the download protocol, answering one byte at a time.
class Pc {
public:
    explicit Pc(const Bytes &file) : file_(file) {}
    ~Pc() { Close(); }

    // Misbehaviour switches.
    long corruptAt = -1;   // send a wrong value for this file offset
    bool xonxoff = false;  // leave XON/XOFF on, as the PC program has it; a
                           // write the line discipline holds back ends Play

    // What happened.
    long dataSent = 0;
    int completions = 0;
    Bytes received;                // every byte from the target, in order
    std::vector<long> arrivalMs;   // when each of them arrived
    bool stuck = false;            // a write would have blocked
    bool hungUp = false;           // the port reported a hangup or an error

    bool Open(const std::string &path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | (xonxoff ? O_NONBLOCK : 0));
        struct termios t;
        if (fd_ < 0 || tcgetattr(fd_, &t) != 0)
            return false;
        cfmakeraw(&t);
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (xonxoff)
            t.c_iflag |= IXON | IXOFF;
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    int Fd() const { return fd_; }

    // Plays until a completion was acknowledged or the target has been
    // quiet for idleMs.
    void Play(int idleMs)
    {
        Clock::time_point t0 = Clock::now();
        while (completions == 0 && !gone_ && !stuck) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, idleMs) <= 0)
                return;
            uint8_t b;
            ssize_t n = read(fd_, &b, 1);
            if (n < 0 && errno == EAGAIN)
                continue;
            if (n != 1) {
                hungUp = true;
                return;
            }
            received.push_back(b);
            arrivalMs.push_back(MsSince(t0));
            Step(b);
        }
    }

private:
    // A failed write means the target has already quit (after catching a
    // fault); the run's outcome is judged from its exit status.
    void Put(uint8_t b)
    {
        ssize_t n = write(fd_, &b, 1);
        if (n < 0 && errno == EAGAIN)
            stuck = true;
        else if (n != 1)
            gone_ = true;
    }

    void Step(uint8_t b)
    {
        switch (st_) {
        case 0:
            if (b == 0x02) { Put(0x06); st_ = 1; }
            return;
        case 1:
            if (b == 0x40) { Put(0x06); st_ = 2; return; }
            // Requests and the completion only count after a handshake.
            if (b == 0x42 && connected_) { Put(0x06); st_ = 10; field_ = 0; len_ = off_ = 0; return; }
            if (b == 0x43 && connected_) { Put(0x06); st_ = 0; ++completions; return; }
            break;
        case 2: if (b == 0x03) { Put(0x06); Put(0x02); st_ = 3; return; } break;
        case 3: if (b == 0x06) { Put(0x41); st_ = 4; return; } break;
        case 4: if (b == 0x06) { Put(0x03); st_ = 5; return; } break;
        case 5: if (b == 0x06) { st_ = 0; connected_ = true; return; } break;
        case 10:
            if (field_ < 2)
                len_ = (len_ << 8) | b;
            else
                off_ = (off_ << 8) | b;
            Put(0x06);
            if (++field_ == 5)
                st_ = 11;
            return;
        case 11:
            if (b != 0x03)
                break;
            count_ = len_ ? len_ : 1;
            if (off_ + count_ > file_.size()) {  // past the end: stay silent
                st_ = 0;
                connected_ = false;
                return;
            }
            Put(0x06);
            Put(0x02);
            served_ = 0;
            st_ = 12;
            return;
        case 12:
            if (b == 0x06 && served_ < count_) {
                size_t at = off_ + served_++;
                Put(static_cast<long>(at) == corruptAt ? file_[at] ^ 0x5A : file_[at]);
                ++dataSent;
                return;
            }
            if (b == 0x06) { Put(0x03); st_ = 13; return; }
            break;
        case 13: if (b == 0x06) { st_ = 0; return; } break;
        }
        // Anything out of place resets, and the byte is looked at again.
        st_ = 0;
        connected_ = false;
        Step(b);
    }

    const Bytes &file_;
    int fd_ = -1;
    int st_ = 0;
    bool gone_ = false;
    bool connected_ = false;
    int field_ = 0;
    uint32_t len_ = 0, off_ = 0, count_ = 0, served_ = 0;
};

// Options that keep a run short, plus extra.
std::vector<std::string> With(std::vector<std::string> extra)
{
    std::vector<std::string> a = {"--start-delay", "0", "--reply-timeout", "1500", "--silence", "300"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

class DlfsimTest : public ::testing::Test {
protected:
    void SetUp() override { WriteBytes(dlf_, image_); }

    // Starts dlfsim with args plus the DLF file, lets pc play on the port
    // (or on openAs, a link to it), returns the outcome.
    Outcome RunWith(Pc &pc, const std::vector<std::string> &args, int idleMs = 1500, const std::string &openAs = "")
    {
        Sim sim(dir_, args, dlf_);
        std::string port = sim.Port();
        EXPECT_FALSE(port.empty());
        if (port.empty())
            return sim.Finish(0);
        EXPECT_TRUE(openAs.empty() || WaitLink(openAs, port, 3000));
        EXPECT_TRUE(pc.Open(openAs.empty() ? port : openAs));
        pc.Play(idleMs);
        pc.Close();
        return sim.Finish();
    }

    TempDir dir_{"dlfsim-test"};
    Bytes image_ = Image(3000);
    std::string dlf_ = dir_.File("image.dlf");
};

TEST_F(DlfsimTest, JudgesEveryDataByteOfAMultiBlockDownload)
{
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "auto:1024"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=3000 blocks=3 "), std::string::npos) << r.out;
    EXPECT_EQ(pc.dataSent, 3000);
    EXPECT_EQ(pc.completions, 1);
    // The download's own time is part of the whole run and never zero for
    // 3000 stop-and-wait bytes (the benchmarks compare it).
    long total = -1, xfer = -1;
    size_t at = r.out.find("time_ms=");
    if (at != std::string::npos)
        sscanf(r.out.c_str() + at, "time_ms=%ld xfer_ms=%ld", &total, &xfer);
    EXPECT_GT(xfer, 0) << r.out;
    EXPECT_LE(xfer, total) << r.out;

    Pc wrong(image_);
    wrong.corruptAt = 1500;
    r = RunWith(wrong, With({"--plan", "auto:1024"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("RESULT fail data byte at offset 1500"), std::string::npos) << r.out;
    char want[64];
    snprintf(want, sizeof want, "expected %02X, got %02X", image_[1500], image_[1500] ^ 0x5A);
    EXPECT_NE(r.err.find(want), std::string::npos) << r.err;
}

TEST_F(DlfsimTest, APortOpenedAndClosedAtOnceDoesNotStartTheSession)
{
    // The station opens its saved port once at start-up and closes it again.
    Sim sim(dir_, With({"--plan", "0:100", "--start-delay", "300"}), dlf_);
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));

    Pc pc(image_);
    ASSERT_TRUE(pc.Open(port));
    pc.Play(1500);
    pc.Close();
    Outcome r = sim.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(pc.dataSent, 100);
}

TEST_F(DlfsimTest, NoiseAndFloodBeforeTheHandshakeReachThePc)
{
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "0:20", "--noise", "200", "--seed", "7"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pc.dataSent, 20);
    size_t stx = 0;
    while (stx < pc.received.size() && pc.received[stx] != 0x02) {
        EXPECT_NE(pc.received[stx], 0x11);
        EXPECT_NE(pc.received[stx], 0x13);
        ++stx;
    }
    EXPECT_EQ(stx, 200u);

    Pc flooded(image_);
    flooded.xonxoff = true;  // an 11 or 13 in the flood would be eaten and could stop the PC
    r = RunWith(flooded, With({"--plan", "0:20", "--flood", "200000", "--seed", "11"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=20 blocks=1 "), std::string::npos) << r.out;
    EXPECT_FALSE(flooded.stuck);
    // Every flood byte arrived, then 6 of handshake, 8 of request, 22 around
    // the data and 2 of completion.
    EXPECT_EQ(flooded.received.size(), 200000u + 6 + 8 + 22 + 2);
}

TEST_F(DlfsimTest, WrongAnswerByteAndPastEndRequestAreSurvived)
{
    // The PC drops the block silently; the target asks again and all is served.
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "0:100,100:50", "--wrong-byte", "10"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("blocks=2 "), std::string::npos) << r.out;
    EXPECT_EQ(pc.dataSent, 160);  // 10 before the fault, then 100 + 50

    // A request past the end is refused by silence, and the run goes on.
    Pc refusing(image_);
    r = RunWith(refusing, With({"--plan", "0:1000,1000:2000", "--past-end"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=3000 blocks=2 "), std::string::npos) << r.out;
}

TEST_F(DlfsimTest, SilentTargetAndStopInTheMiddle)
{
    Pc quiet(image_);
    Outcome r = RunWith(quiet, With({"--silent", "--duration", "1"}), 3000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(quiet.received.empty());
    EXPECT_NE(r.out.find("RESULT ok bytes=0 blocks=0"), std::string::npos) << r.out;

    // --stop-after: the PC gives up (closes) once the target stops answering.
    Pc pc(image_);
    r = RunWith(pc, With({"--plan", "auto:1024", "--stop-after", "1100"}), 400);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("served 1100 data bytes"), std::string::npos) << r.out;
    EXPECT_EQ(pc.dataSent, 1100);
    EXPECT_EQ(pc.completions, 0);
}

TEST_F(DlfsimTest, PacingHoldsBackEveryByte)
{
    // 1200 baud: at most 120 bytes a second. The target sends 6 bytes of
    // handshake, 8 of request, 60 + 2 around the data and 2 of completion.
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "0:60", "--pace", "1200"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(pc.arrivalMs.size(), 6u + 8u + 62u + 2u);
    long span = pc.arrivalMs.back() - pc.arrivalMs.front();
    EXPECT_GE(span, (6 + 8 + 62 + 2 - 1) * 1000 / 120 * 9 / 10);
}

TEST_F(DlfsimTest, LinkReplacesAStaleOneAndGoesWithTheRun)
{
    std::string link = dir_.File("com2");
    ASSERT_EQ(symlink("/nonexistent/old", link.c_str()), 0);
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--link", link, "--plan", "0:5"}), 1500, link);  // opened as Wine would
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pc.dataSent, 5);
    EXPECT_FALSE(Exists(link)) << "link left behind";
}

// The wineserver is a session leader that opens COM ports without
// O_NOCTTY; it must not adopt the pty, or dlfsim's exit would hang it up.
TEST_F(DlfsimTest, ASessionLeaderOpeningThePortDoesNotAdoptIt)
{
    Sim sim(dir_, With({"--silent", "--duration", "1"}), dlf_);
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    EXPECT_EQ(SessionLeaderAdopts(port), 0) << "the session leader took the pty as its terminal";

    // The process holding the terminal goes with dlfsim.
    struct stat st;
    ASSERT_EQ(stat(port.c_str(), &st), 0);
    pid_t holder = SessionOf(st.st_rdev);
    ASSERT_GT(holder, 0);
    Outcome r = sim.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(kill(holder, 0), 0) << "terminal holder " << holder << " outlived dlfsim";
}

TEST_F(DlfsimTest, HeldXoffStopsThePcUntilItClosesThePort)
{
    std::string tr = dir_.File("t.txt");
    Sim sim(dir_, With({"--plan", "auto:1024", "--hold-xoff-after", "1500", "--transcript", tr}), dlf_);
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    Pc pc(image_);
    pc.xonxoff = true;
    ASSERT_TRUE(pc.Open(port));
    pc.Play(3000);
    // The 06 for byte 1501 came through, the answer to it cannot go out:
    // the XOFF stopped the PC's output in the line discipline.
    EXPECT_TRUE(pc.stuck);
    EXPECT_EQ(pc.dataSent, 1501);
    EXPECT_TRUE(sim.Running()) << "the hold ended while the PC still had the port open";
    pc.Close();
    Outcome r = sim.Finish(5000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok held after 1500 until the PC closed the port bytes=1500 blocks=1 "),
              std::string::npos)
        << r.out;
    std::string t = ReadText(tr);
    size_t hold = t.find("# holding with XOFF after 1500");
    ASSERT_NE(hold, std::string::npos);
    EXPECT_EQ(t.find(" P ", hold), std::string::npos) << "read from the PC during the hold";
    EXPECT_NE(t.find(" T 13\n", hold), std::string::npos);
}

TEST_F(DlfsimTest, VanishingPortHangsUpThePcMidBlock)
{
    std::string link = dir_.File("com3");
    Sim sim(dir_, With({"--link", link, "--plan", "auto:1024", "--vanish-after", "700"}), dlf_);
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    ASSERT_TRUE(WaitLink(link, port, 3000));
    Pc pc(image_);
    ASSERT_TRUE(pc.Open(link));
    pc.Play(3000);
    EXPECT_TRUE(pc.hungUp);
    EXPECT_EQ(pc.dataSent, 700);
    EXPECT_FALSE(Exists(link)) << "the link outlived the port";
    uint8_t b = 0x06;
    EXPECT_EQ(write(pc.Fd(), &b, 1), -1);
    EXPECT_EQ(errno, EIO);
    // dlfsim does not wait for the PC to let go of its handle.
    Outcome r = sim.Finish(5000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok vanished after 700\n"), std::string::npos) << r.out;
}

}  // namespace
