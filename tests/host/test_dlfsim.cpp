// dlfsim against a scripted PC on the other end of its pseudo terminal.
// The PC side here is written independently of Kelvo's own protocol code:
// a plain state machine that answers byte by byte, with switches to make it
// misbehave in the ways the simulated target has to catch.
#include <gtest/gtest.h>

#include "hostkit.h"

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

// dlfsim as a child process: stdout through a pipe, stderr into a file.
class Sim {
public:
    Sim(const std::vector<std::string> &args, const std::string &errFile) : errFile_(errFile)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        child_.Start(std::string(KELVO_BIN) + "/dlfsim", args, [&] {
            dup2(fds[1], 1);
            int e = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (e >= 0)
                dup2(e, 2);
            close(fds[0]);
        });
        close(fds[1]);
        out_ = fds[0];
    }

    ~Sim()
    {
        child_.Kill();
        if (out_ >= 0)
            close(out_);
    }

    // The first stdout line: "PTY /dev/pts/N" gives the slave path.
    std::string Port(int timeoutMs = 5000)
    {
        std::string line = ReadLine(timeoutMs);
        if (line.compare(0, 4, "PTY ") != 0)
            return "";
        return line.substr(4);
    }

    void Signal(int sig) { child_.Signal(sig); }

    bool Running() { return child_.Running(); }

    // Waits for the exit (killing the child after timeoutMs) and collects output.
    Outcome Finish(int timeoutMs = 10000)
    {
        Outcome o = child_.Finish(timeoutMs);
        char buf[4096];
        ssize_t n;
        while (out_ >= 0 && (n = read(out_, buf, sizeof buf)) > 0)
            pending_.append(buf, static_cast<size_t>(n));
        o.out = pending_;
        o.err += ReadText(errFile_);
        return o;
    }

private:
    std::string ReadLine(int timeoutMs)
    {
        Clock::time_point t0 = Clock::now();
        std::string line;
        for (;;) {
            if (TakeLine(&pending_, &line))
                return line;
            struct pollfd p = {out_, POLLIN, 0};
            long left = timeoutMs - MsSince(t0);
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return "";
            char buf[256];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0)
                return "";
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

    std::string errFile_;
    Child child_;
    int out_ = -1;
    std::string pending_;
};

// The PC side of the download protocol, answering one byte at a time.
class Pc {
public:
    explicit Pc(const Bytes &file) : file_(file) {}

    // Misbehaviour switches.
    long corruptAt = -1;          // send a wrong value for this file offset
    bool answerPastEnd = false;   // serve a request past the end instead of staying silent
    bool etxAfterWrong = false;   // end a block with 03 even after a wrong byte
    bool answerNoise = false;     // answer stray bytes in the idle state with 06
    bool chatty = false;          // send one byte right after opening
    bool xonxoff = false;         // leave XON/XOFF on, as the PC program has it
    bool nonBlocking = false;     // a write that would block ends Play (stuck)

    // What happened.
    long dataSent = 0;
    int completions = 0;
    std::vector<long> arrivalMs;  // when each target byte arrived
    bool stuck = false;           // a write would have blocked
    bool hungUp = false;          // the port reported a hangup or an error

    bool Open(const std::string &path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0)
            return false;
        struct termios t;
        if (tcgetattr(fd_, &t) != 0)
            return false;
        cfmakeraw(&t);
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (xonxoff)
            t.c_iflag |= IXON | IXOFF;
        if (nonBlocking && fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK) != 0)
            return false;
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    ~Pc() { Close(); }

    int Fd() const { return fd_; }

    // Plays until `sessions` completions were acknowledged or the target has
    // been quiet for idleMs.
    void Play(int idleMs, int sessions = 1)
    {
        Clock::time_point t0 = Clock::now();
        if (chatty)
            Put(0x06);
        while (completions < sessions && !gone_ && !stuck) {
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
            arrivalMs.push_back(MsSince(t0));
            Step(b);
        }
    }

    // Collects whatever the target sends within ms, answering nothing.
    size_t Listen(int ms)
    {
        size_t n = 0;
        Clock::time_point t0 = Clock::now();
        for (;;) {
            long left = ms - MsSince(t0);
            struct pollfd p = {fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return n;
            uint8_t b;
            if (read(fd_, &b, 1) == 1)
                ++n;
        }
    }

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

private:
    void Step(uint8_t b)
    {
        switch (st_) {
        case 0:
            if (b == 0x02) {
                Put(0x06);
                st_ = 1;
            } else if (answerNoise) {
                Put(0x06);
            }
            return;
        case 1:
            if (b == 0x40) { Put(0x06); st_ = 2; return; }
            // Requests and the completion only count after a handshake.
            if (b == 0x42 && connected_) { Put(0x06); st_ = 10; field_ = 0; len_ = off_ = 0; return; }
            if (b == 0x43 && connected_) { Put(0x06); st_ = 0; ++completions; return; }
            break;
        case 2:
            if (b == 0x03) { Put(0x06); Put(0x02); st_ = 3; return; }
            break;
        case 3:
            if (b == 0x06) { Put(0x41); st_ = 4; return; }
            break;
        case 4:
            if (b == 0x06) { Put(0x03); st_ = 5; return; }
            break;
        case 5:
            if (b == 0x06) { st_ = 0; connected_ = true; return; }
            break;
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
            if (b == 0x03) {
                count_ = len_ ? len_ : 1;
                if (off_ + count_ > file_.size() && !answerPastEnd) {
                    st_ = 0;
                    connected_ = false;
                    return;
                }
                Put(0x06);
                Put(0x02);
                served_ = 0;
                st_ = 12;
                return;
            }
            break;
        case 12:
            if (b == 0x06 && served_ < count_) {
                size_t at = off_ + served_;
                uint8_t v = at < file_.size() ? file_[at] : 0;
                if (static_cast<long>(at) == corruptAt)
                    v ^= 0x5A;
                Put(v);
                ++served_;
                ++dataSent;
                return;
            }
            if (b == 0x06 || etxAfterWrong) {
                Put(0x03);
                st_ = 13;
                return;
            }
            break;
        case 13:
            if (b == 0x06) { st_ = 0; return; }
            break;
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

class DlfsimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        image_ = Image(3000);
        dlf_ = dir_.File("image.dlf");
        WriteBytes(dlf_, image_);
    }

    // Starts dlfsim with args plus the DLF file, lets `pc` play, returns the outcome.
    Outcome RunWith(Pc &pc, std::vector<std::string> args, int idleMs = 1500, int sessions = 1)
    {
        args.push_back(dlf_);
        Sim sim(args, dir_.File("stderr.txt"));
        std::string port = sim.Port();
        EXPECT_FALSE(port.empty());
        if (port.empty())
            return sim.Finish(0);
        EXPECT_TRUE(pc.Open(port));
        pc.Play(idleMs, sessions);
        pc.Close();
        return sim.Finish();
    }

    TempDir dir_{"dlfsim-test"};
    Bytes image_;
    std::string dlf_;
};

const std::vector<std::string> kQuick = {"--start-delay", "0", "--reply-timeout", "1500", "--silence", "300"};

std::vector<std::string> With(std::vector<std::string> extra)
{
    std::vector<std::string> a = kQuick;
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

TEST_F(DlfsimTest, DownloadsTheWholeFileInBlocks)
{
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "auto:1024"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=3000 blocks=3 "), std::string::npos) << r.out;
    EXPECT_EQ(pc.dataSent, 3000);
    EXPECT_EQ(pc.completions, 1);

    // Explicit plan: a zero length moves exactly one byte; 0x-hex accepted.
    // Offset 0x13 would be eaten by a port with XON/XOFF: warned, sent anyway.
    Pc pc2(image_);
    r = RunWith(pc2, With({"--plan", "0x10:0,0x13:0x100,2999:1"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("offset=19 length=256 contains the byte 13"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("offset=16"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=258 blocks=3 "), std::string::npos) << r.out;
    EXPECT_EQ(pc2.dataSent, 258);
}

TEST_F(DlfsimTest, WaitsForThePortToBeOpened)
{
    Sim sim(With({"--plan", "0:10", dlf_}), dir_.File("stderr.txt"));
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    // Nothing may be lost while the PC has not opened the port yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    Pc pc(image_);
    ASSERT_TRUE(pc.Open(port));
    pc.Play(1500);
    pc.Close();
    Outcome r = sim.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pc.dataSent, 10);
}

TEST_F(DlfsimTest, TranscriptRecordsTheExactConversation)
{
    std::string tr = dir_.File("t.txt");
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "0x0102:2", "--transcript", tr}));
    ASSERT_EQ(r.exitCode, 0) << r.err;

    std::istringstream in(ReadText(tr));
    std::string line, seq;
    long lastMs = -1;
    int comments = 0;
    while (std::getline(in, line)) {
        if (line.compare(0, 2, "# ") == 0) {
            ++comments;
            continue;
        }
        long ms;
        char who, hex[3], extra;
        ASSERT_EQ(sscanf(line.c_str(), "%ld %c %2[0-9A-F]%c", &ms, &who, hex, &extra), 3) << line;
        ASSERT_TRUE(who == 'T' || who == 'P') << line;
        EXPECT_GE(ms, lastMs);
        lastMs = ms;
        seq += std::string(1, who) + hex + " ";
    }
    EXPECT_GT(comments, 2);
    char data[32];
    snprintf(data, sizeof data, "T06 P%02X T06 P%02X ", image_[0x102], image_[0x103]);
    std::string want =
        "T02 P06 T40 P06 T03 P06 P02 T06 P41 T06 P03 T06 "                  // handshake
        "T02 P06 T42 P06 T00 P06 T02 P06 T00 P06 T01 P06 T02 P06 T03 P06 P02 " // request
        + std::string(data) + "T06 P03 T06 "                               // data, block end
        "T02 P06 T43 P06 ";                                                 // completion
    EXPECT_EQ(seq, want);
}

TEST_F(DlfsimTest, NoiseBeforeTheFirstStx)
{
    std::string tr = dir_.File("t.txt");
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "0:20", "--noise", "200", "--seed", "7", "--transcript", tr}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pc.dataSent, 20);

    // 200 target bytes come before the first 02, none of them 02, 11 or 13.
    std::istringstream in(ReadText(tr));
    std::string line;
    int noise = 0;
    while (std::getline(in, line)) {
        long ms;
        char who;
        unsigned v;
        if (sscanf(line.c_str(), "%ld %c %x", &ms, &who, &v) != 3)
            continue;
        ASSERT_EQ(who, 'T') << "the PC answered noise: " << line;
        if (v == 0x02)
            break;
        EXPECT_NE(v, 0x11u);
        EXPECT_NE(v, 0x13u);
        ++noise;
    }
    EXPECT_EQ(noise, 200);

    Pc answering(image_);
    answering.answerNoise = true;
    r = RunWith(answering, With({"--plan", "0:20", "--noise", "5"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("RESULT fail"), std::string::npos) << r.out;
}

TEST_F(DlfsimTest, WrongDataByteNamesTheOffset)
{
    Pc pc(image_);
    pc.corruptAt = 1500;
    Outcome r = RunWith(pc, With({"--plan", "auto:1024"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("RESULT fail data byte at offset 1500"), std::string::npos) << r.out;
    char want[64];
    snprintf(want, sizeof want, "expected %02X, got %02X", image_[1500], image_[1500] ^ 0x5A);
    EXPECT_NE(r.err.find(want), std::string::npos) << r.err;
}

TEST_F(DlfsimTest, WrongAnswerByteDropsTheBlock)
{
    // The PC drops the block silently; the target asks again and all is served.
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "0:100,100:50", "--wrong-byte", "10"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("blocks=2 "), std::string::npos) << r.out;
    EXPECT_EQ(pc.dataSent, 160);  // 10 before the fault, then 100 + 50

    // The same fault at the very end of the block, where the final 06 is due.
    Pc pcEnd(image_);
    r = RunWith(pcEnd, With({"--plan", "0:100", "--wrong-byte", "100"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pcEnd.dataSent, 200);

    Pc sloppy(image_);
    sloppy.etxAfterWrong = true;
    r = RunWith(sloppy, With({"--plan", "0:100", "--wrong-byte", "10"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("wrong byte"), std::string::npos) << r.err;
}

TEST_F(DlfsimTest, RequestPastTheEndMustBeRefused)
{
    Pc pc(image_);
    Outcome r = RunWith(pc, With({"--plan", "0:1000,1000:2000", "--past-end"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=3000 blocks=2 "), std::string::npos) << r.out;

    // Explicit items: one byte too far with a length of 0, and far beyond.
    Pc pc2(image_);
    r = RunWith(pc2, With({"--plan", "3000:0,0:5,2990:0xFFFF,5:5"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=10 blocks=2 "), std::string::npos) << r.out;

    Pc answering(image_);
    answering.answerPastEnd = true;
    r = RunWith(answering, With({"--plan", "0:10", "--past-end"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("past the end"), std::string::npos) << r.err;
}

TEST_F(DlfsimTest, SilentTargetAndStopInTheMiddle)
{
    Sim sim(With({"--silent", "--duration", "1", dlf_}), dir_.File("stderr.txt"));
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    Pc quiet(image_);
    ASSERT_TRUE(quiet.Open(port));
    EXPECT_EQ(quiet.Listen(1300), 0u);
    quiet.Close();
    Outcome r = sim.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=0 blocks=0"), std::string::npos) << r.out;

    Pc chatty(image_);
    chatty.chatty = true;
    r = RunWith(chatty, With({"--silent", "--duration", "2"}), 500);
    EXPECT_EQ(r.exitCode, 1);

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

TEST_F(DlfsimTest, SeveralSessionsOnOnePort)
{
    Sim sim(With({"--plan", "auto:700", "--repeat", "2", dlf_}), dir_.File("stderr.txt"));
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    for (int i = 0; i < 2; ++i) {
        Pc pc(image_);
        ASSERT_TRUE(pc.Open(port));
        pc.Play(1500);
        pc.Close();
        EXPECT_EQ(pc.dataSent, 3000) << "session " << i;
        // A closed port has to stay closed long enough to be noticed.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    Outcome r = sim.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=6000 blocks=10 "), std::string::npos) << r.out;
}

TEST_F(DlfsimTest, LinkFollowsTheRun)
{
    std::string link = dir_.File("com2");
    ASSERT_EQ(symlink("/nonexistent/old", link.c_str()), 0);  // a stale link is replaced
    Sim sim(With({"--link", link, "--plan", "0:5", dlf_}), dir_.File("stderr.txt"));
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    char buf[256] = {0};
    ssize_t n = -1;
    for (int i = 0; i < 100 && n < 0; ++i) {
        n = readlink(link.c_str(), buf, sizeof buf - 1);
        if (n < 0 || port != std::string(buf, static_cast<size_t>(n))) {
            n = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_GE(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), port);
    Pc pc(image_);
    ASSERT_TRUE(pc.Open(link));  // through the link, as Wine would
    pc.Play(1500);
    pc.Close();
    Outcome r = sim.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";

    // Killed while waiting for the PC: the link still goes.
    Sim waiting(With({"--link", link, dlf_}), dir_.File("stderr2.txt"));
    ASSERT_FALSE(waiting.Port().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    waiting.Signal(SIGTERM);
    r = waiting.Finish();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind after SIGTERM";

    // A regular file in the way is not touched.
    WriteBytes(link, Bytes{1, 2, 3});
    Sim refused(With({"--link", link, dlf_}), dir_.File("stderr3.txt"));
    r = refused.Finish();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(ReadText(link), std::string("\x01\x02\x03"));
}

// The wineserver is a session leader that opens COM ports without
// O_NOCTTY; it must not adopt the pty, or dlfsim's exit would hang it up.
TEST_F(DlfsimTest, ASessionLeaderOpeningThePortDoesNotAdoptIt)
{
    Sim sim(With({"--silent", "--duration", "1", dlf_}), dir_.File("stderr.txt"));
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    pid_t pid = OpenAsSessionLeader(port);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the session leader took the pty as its terminal";

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
    Sim sim(With({"--plan", "auto:1024", "--hold-xoff-after", "1500", "--transcript", tr, dlf_}),
            dir_.File("stderr.txt"));
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    Pc pc(image_);
    pc.xonxoff = true;
    pc.nonBlocking = true;
    ASSERT_TRUE(pc.Open(port));
    pc.Play(3000);
    // The 06 for byte 1501 came through, the answer to it cannot go out:
    // the XOFF stopped the PC's output in the line discipline.
    EXPECT_TRUE(pc.stuck);
    EXPECT_EQ(pc.dataSent, 1501);

    // Switching XON/XOFF off restarts the PC's output; it then fills the
    // line, which stays full: the target no longer reads.
    struct termios tio;
    ASSERT_EQ(tcgetattr(pc.Fd(), &tio), 0);
    tio.c_iflag &= ~(IXON | IXOFF);
    ASSERT_EQ(tcsetattr(pc.Fd(), TCSANOW, &tio), 0);
    Bytes junk(4096, 0x55);
    size_t written = 0, took = 1;
    // The kernel goes on moving queued bytes between its buffers for a
    // moment after the first refusal; a line nobody reads settles within a
    // few rounds, one being drained never does.
    for (int round = 0; round < 10 && took > 0; ++round) {
        took = 0;
        for (ssize_t w; took < (4u << 20) && (w = write(pc.Fd(), junk.data(), junk.size())) > 0;)
            took += static_cast<size_t>(w);
        written += took;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_GT(written, 0u);
    EXPECT_EQ(took, 0u) << "the target drained the line during the hold (" << written << " bytes went in)";
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

    // Held from the first byte, with the PC keeping the port: --duration ends it.
    Sim timed(With({"--plan", "auto:1024", "--hold-xoff-after", "0", "--duration", "1", dlf_}),
              dir_.File("stderr2.txt"));
    port = timed.Port();
    ASSERT_FALSE(port.empty());
    Pc keeping(image_);
    keeping.xonxoff = true;
    keeping.nonBlocking = true;
    ASSERT_TRUE(keeping.Open(port));
    keeping.Play(3000);
    EXPECT_TRUE(keeping.stuck);
    r = timed.Finish(8000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok held after 0 until --duration ended bytes=0 blocks=0 "),
              std::string::npos)
        << r.out;

    // A PC that went wrong before the hold still fails the run.
    Pc wrong(image_);
    wrong.corruptAt = 100;
    wrong.xonxoff = true;
    wrong.nonBlocking = true;
    r = RunWith(wrong, With({"--plan", "auto:1024", "--hold-xoff-after", "1500"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("RESULT fail data byte at offset 100"), std::string::npos) << r.out;
}

TEST_F(DlfsimTest, VanishingPortHangsUpThePcMidBlock)
{
    std::string link = dir_.File("com3");
    Sim sim(With({"--link", link, "--plan", "auto:1024", "--vanish-after", "700", dlf_}),
            dir_.File("stderr.txt"));
    std::string port = sim.Port();
    ASSERT_FALSE(port.empty());
    ASSERT_TRUE(WaitLink(link, port, 3000));
    Pc pc(image_);
    ASSERT_TRUE(pc.Open(link));
    pc.Play(3000);
    EXPECT_TRUE(pc.hungUp);
    EXPECT_EQ(pc.dataSent, 700);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the port";
    uint8_t b = 0x06;
    EXPECT_EQ(write(pc.Fd(), &b, 1), -1);
    EXPECT_EQ(errno, EIO);
    // dlfsim does not wait for the PC to let go of its handle.
    Outcome r = sim.Finish(5000);
    pc.Close();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok vanished after 700\n"), std::string::npos) << r.out;
}

TEST_F(DlfsimTest, FloodBeforeTheHandshake)
{
    Pc pc(image_);
    pc.xonxoff = true;  // an 11 or 13 in the flood would be eaten and could stop the PC
    pc.nonBlocking = true;
    Outcome r = RunWith(pc, With({"--plan", "0:20", "--flood", "200000", "--seed", "11"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok bytes=20 blocks=1 "), std::string::npos) << r.out;
    EXPECT_FALSE(pc.stuck);
    // Every flood byte arrived, then 6 of handshake, 8 of request, 22 around
    // the data and 2 of completion.
    EXPECT_EQ(pc.arrivalMs.size(), 200000u + 6 + 8 + 22 + 2);

    Pc answering(image_);
    answering.answerNoise = true;
    r = RunWith(answering, With({"--plan", "0:20", "--flood", "50000"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("RESULT fail PC answered 06"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("to the flood"), std::string::npos) << r.out;
}

TEST_F(DlfsimTest, UsageAndIoErrors)
{
    struct Case {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{}, 2},
        {{"--plan", "0:65536", dlf_}, 2},
        {{"--plan", "0x1000000:1", dlf_}, 2},
        {{"--plan", "12", dlf_}, 2},
        {{"--plan", "auto:0", dlf_}, 2},
        {{"--noise", "x", dlf_}, 2},
        {{"--bogus", dlf_}, 2},
        {{"--plan", "0:10", "--wrong-byte", "11", dlf_}, 2},
        {{"--stop-after", "5", "--hold-xoff-after", "5", dlf_}, 2},
        {{"--vanish-after", "5", "--hold-xoff-after", "5", dlf_}, 2},
        {{"--device", "/dev/null", "--vanish-after", "5", dlf_}, 2},
        {{"--silent", "--flood", "5", dlf_}, 2},
        {{dir_.File("missing.dlf")}, 3},
        {{"--transcript", dir_.File("no/such/dir/t.txt"), dlf_}, 3},
        {{"--device", dir_.File("nodevice"), dlf_}, 3},
    };
    for (const Case &c : cases) {
        Sim sim(c.args, dir_.File("stderr.txt"));
        Outcome r = sim.Finish(3000);
        std::string joined;
        for (const auto &a : c.args)
            joined += a + " ";
        EXPECT_EQ(r.exitCode, c.code) << joined << "\n" << r.err;
    }

    Sim help({"--help"}, dir_.File("stderr.txt"));
    Outcome r = help.Finish(3000);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Exit status"), std::string::npos);
}

}  // namespace
