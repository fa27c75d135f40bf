// ptypeer driven over its control connection while this test plays the PC:
// it opens the slave through the link, sets termios and reads and writes
// there, and checks that what ptypeer reports matches what really happened.
#include <gtest/gtest.h>

#include "hostkit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace hostkit;

std::string Hex(const Bytes &b)
{
    std::string s;
    char two[3];
    for (uint8_t c : b) {
        snprintf(two, sizeof two, "%02x", c);
        s += two;
    }
    return s;
}

Bytes Unhex(const std::string &s)
{
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
    return b;
}

// Reads exactly n bytes from fd within timeoutMs.
Bytes ReadN(int fd, size_t n, int timeoutMs)
{
    Bytes got;
    Clock::time_point t0 = Clock::now();
    while (got.size() < n && MsSince(t0) < timeoutMs) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        uint8_t buf[4096];
        size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
        ssize_t r = read(fd, buf, want);
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

bool WriteAll(int fd, const Bytes &b)
{
    size_t done = 0;
    while (done < b.size()) {
        ssize_t n = write(fd, b.data() + done, b.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One ptypeer child with its link in a fresh temporary directory.
class Peer {
public:
    explicit Peer(long lifetime = 60)
    {
        link_ = dir_.File("com9");
        portFile_ = dir_.File("port");
        child_.Start(std::string(KELVO_BIN) + "/ptypeer",
                     {"--link", link_, "--port-file", portFile_, "--lifetime", std::to_string(lifetime)});
    }

    ~Peer()
    {
        if (sock_ >= 0)
            close(sock_);
        child_.Kill();
    }

    // Waits for the port file, then connects.
    bool Connect()
    {
        Clock::time_point t0 = Clock::now();
        int port = 0;
        while (MsSince(t0) < 5000) {
            FILE *f = fopen(portFile_.c_str(), "r");
            if (f) {
                int ok = fscanf(f, "%d", &port);
                fclose(f);
                if (ok == 1)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (port <= 0)
            return false;
        sock_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        // A wedged peer fails the test instead of hanging it.
        struct timeval tv = {15, 0};
        return sock_ >= 0 && setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
               connect(sock_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }

    std::string Cmd(const std::string &line)
    {
        std::string out = line + "\n";
        if (send(sock_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
            return "(send failed)";
        std::string reply;
        for (;;) {
            if (TakeLine(&pending_, &reply))
                return reply;
            char buf[4096];
            ssize_t n = recv(sock_, buf, sizeof buf, 0);
            if (n <= 0)
                return "(closed)";
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

    // The hex payload of an "OK <hex>" reply.
    Bytes Data(const std::string &line)
    {
        std::string r = Cmd(line);
        EXPECT_EQ(r.compare(0, 3, "OK "), 0) << line << " -> " << r;
        return r.size() > 3 ? Unhex(r.substr(3)) : Bytes();
    }

    void CloseControl()
    {
        close(sock_);
        sock_ = -1;
    }

    // Waits for the child to exit; returns its exit status or -1.
    int Wait(int timeoutMs) { return child_.Wait(timeoutMs); }

    // Opens the slave through the link the way a PC program would, raw.
    int OpenSlave()
    {
        int fd = open(link_.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            return -1;
        struct termios t;
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        return fd;
    }

    void Signal(int sig) { child_.Signal(sig); }
    const std::string &Link() const { return link_; }
    const std::string &PortFile() const { return portFile_; }

private:
    TempDir dir_{"ptypeer-test"};  // declared first: removed after the child is gone
    std::string link_, portFile_, pending_;
    Child child_;
    int sock_ = -1;
};

class PtyPeerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(peer.Connect()); }
    Peer peer;
};

TEST_F(PtyPeerTest, LinkPointsAtTheReportedSlaveWhichIsRawAndClosed)
{
    std::string r = peer.Cmd("PATH");
    ASSERT_EQ(r.compare(0, 12, "OK /dev/pts/"), 0) << r;
    char target[256];
    ssize_t n = readlink(peer.Link().c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0);
    target[n] = '\0';
    EXPECT_EQ(r.substr(3), target);
    // ptypeer only held the slave while configuring it.
    EXPECT_EQ(peer.Cmd("OPENED"), "OK 0");
    int fd = open(target, O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    close(fd);
}

TEST_F(PtyPeerTest, BytesTravelBothWaysUnchanged)
{
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    Bytes all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);

    // Peer to PC: every byte value, in order.
    EXPECT_EQ(peer.Cmd("SEND " + Hex(all)), "OK 256");
    EXPECT_EQ(ReadN(fd, 256, 2000), all);
    EXPECT_EQ(peer.Cmd("SEND "), "OK 0");

    // PC to peer: RECV gathers one burst; RECVN waits for the exact count.
    ASSERT_TRUE(WriteAll(fd, all));
    EXPECT_EQ(peer.Data("RECVN 256 2000"), all);
    ASSERT_TRUE(WriteAll(fd, Bytes{1, 2, 3}));
    EXPECT_EQ(peer.Data("RECV 100 2000"), (Bytes{1, 2, 3}));

    // RECV stops at max and leaves the rest queued.
    ASSERT_TRUE(WriteAll(fd, Bytes{9, 8, 7, 6, 5}));
    EXPECT_EQ(peer.Data("RECV 2 2000"), (Bytes{9, 8}));
    EXPECT_EQ(peer.Data("RECVN 3 2000"), (Bytes{7, 6, 5}));

    // A byte written late is still caught by a waiting RECV.
    std::thread late([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        WriteAll(fd, Bytes{0x42});
    });
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(peer.Data("RECV 10 3000"), (Bytes{0x42}));
    EXPECT_LT(MsSince(t0), 2000);
    late.join();
    close(fd);
}

TEST_F(PtyPeerTest, TimeoutsReturnWhatArrived)
{
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(peer.Cmd("RECV 10 300"), "OK ");
    long ms = MsSince(t0);
    EXPECT_GE(ms, 280);
    EXPECT_LT(ms, 1500);

    ASSERT_TRUE(WriteAll(fd, Bytes{0xaa, 0xbb}));
    t0 = Clock::now();
    EXPECT_EQ(peer.Data("RECVN 5 300"), (Bytes{0xaa, 0xbb}));
    EXPECT_GE(MsSince(t0), 280);

    // Nobody holds the slave: reads on the master fail with EIO, which is
    // no data rather than an error.
    close(fd);
    ASSERT_EQ(peer.Cmd("WAITOPEN 0 1000"), "OK 0");
    EXPECT_EQ(peer.Cmd("RECV 10 200"), "OK ");
    EXPECT_EQ(peer.Cmd("PATH").compare(0, 3, "OK "), 0);
}

// Linux's pty driver forces CS8 and clears PARENB whatever the PC asks for,
// so csize and parenb are checked against what the slave itself reports.
TEST_F(PtyPeerTest, TermiosReportsWhatThePcSet)
{
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag &= ~(CSIZE | PARODD | CMSPAR | HUPCL);
    t.c_cflag |= CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | ISTRIP);
    t.c_iflag |= INPCK;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    struct termios back;
    ASSERT_EQ(tcgetattr(fd, &back), 0);
    const char *csize = (back.c_cflag & CSIZE) == CS7 ? "7" : "8";
    const char *parenb = (back.c_cflag & PARENB) ? "1" : "0";
    EXPECT_EQ(peer.Cmd("TERMIOS"), std::string("OK speed=9600 csize=") + csize + " parenb=" + parenb +
                                       " parodd=0 cmspar=0 cstopb=1 ixon=0 ixoff=0 crtscts=1 hupcl=0 "
                                       "inpck=1 istrip=0");

    // Every field flipped the other way.
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | PARODD | CMSPAR | HUPCL;
    t.c_iflag |= IXON | IXOFF | ISTRIP;
    t.c_iflag &= ~INPCK;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    EXPECT_EQ(peer.Cmd("TERMIOS"), "OK speed=115200 csize=8 parenb=0 parodd=1 cmspar=1 cstopb=0 ixon=1 "
                                   "ixoff=1 crtscts=0 hupcl=1 inpck=0 istrip=1");

    cfsetospeed(&t, B57600);
    cfsetispeed(&t, B57600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    std::string r = peer.Cmd("TERMIOS");
    EXPECT_EQ(r.compare(0, 15, "OK speed=57600 "), 0) << r;

    // The settings are still readable after the PC closed the port.
    close(fd);
    ASSERT_EQ(peer.Cmd("WAITOPEN 0 1000"), "OK 0");
    r = peer.Cmd("TERMIOS");
    EXPECT_EQ(r.compare(0, 15, "OK speed=57600 "), 0) << r;
    EXPECT_NE(r.find(" parodd=1 "), std::string::npos) << r;
}

TEST_F(PtyPeerTest, OpenedFollowsThePc)
{
    EXPECT_EQ(peer.Cmd("OPENED"), "OK 0");
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(peer.Cmd("OPENED"), "OK 1");
    EXPECT_EQ(peer.Cmd("WAITOPEN 1 100"), "OK 1");

    // WAITOPEN 0 returns soon after the close, not at its timeout.
    std::thread closer([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(fd);
    });
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(peer.Cmd("WAITOPEN 0 5000"), "OK 0");
    long ms = MsSince(t0);
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 2000);
    closer.join();

    // And the timeout answers with the state as it is.
    t0 = Clock::now();
    EXPECT_EQ(peer.Cmd("WAITOPEN 1 200"), "OK 0");
    EXPECT_GE(MsSince(t0), 180);
}

TEST_F(PtyPeerTest, FloodFillsThePcWithTheValueOrRandomBytes)
{
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    // Larger than the pty buffer, so ptypeer must wait for the reader.
    const size_t n = 200000;
    Bytes got;
    std::thread reader([&] { got = ReadN(fd, n, 10000); });
    EXPECT_EQ(peer.Cmd("FLOOD 200000 5a"), "OK 200000");
    reader.join();
    ASSERT_EQ(got.size(), n);
    EXPECT_EQ(Bytes(n, 0x5a), got);

    std::thread reader2([&] { got = ReadN(fd, 70000, 10000); });
    EXPECT_EQ(peer.Cmd("FLOOD 70000 random"), "OK 70000");
    reader2.join();
    ASSERT_EQ(got.size(), 70000u);
    size_t flow = 0, distinct = 0;
    std::vector<bool> seen(256);
    for (uint8_t c : got) {
        flow += (c == 0x11 || c == 0x13);
        if (!seen[c]) {
            seen[c] = true;
            ++distinct;
        }
    }
    EXPECT_EQ(flow, 0u);
    EXPECT_EQ(distinct, 254u);
    close(fd);
}

TEST_F(PtyPeerTest, HoldLeavesPcWritesQueuedUntilRelease)
{
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(peer.Cmd("HOLD"), "OK");
    int fl = fcntl(fd, F_GETFL);
    ASSERT_EQ(fcntl(fd, F_SETFL, fl | O_NONBLOCK), 0);
    // With nobody draining the master, the PC's writes stop being accepted.
    Bytes chunk(4096, 0x33);
    size_t written = 0;
    for (int i = 0; i < 1000; ++i) {
        ssize_t w = write(fd, chunk.data(), chunk.size());
        if (w <= 0)
            break;
        written += static_cast<size_t>(w);
    }
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, 1000u * chunk.size());
    EXPECT_EQ(peer.Cmd("RECV 10 100"), "ERR held");
    EXPECT_EQ(peer.Cmd("RELEASE"), "OK");
    Bytes got = peer.Data("RECVN " + std::to_string(written) + " 5000");
    EXPECT_EQ(got.size(), written);
    close(fd);
}

TEST_F(PtyPeerTest, BadCommandsAnswerErr)
{
    EXPECT_EQ(peer.Cmd("NOPE").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(peer.Cmd("").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(peer.Cmd("SEND abc").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(peer.Cmd("SEND zz").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(peer.Cmd("RECV 10").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(peer.Cmd("RECV -1 10").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(peer.Cmd("WAITOPEN 2 10").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(peer.Cmd("FLOOD 10 xyz").compare(0, 4, "ERR "), 0);
    // Still serving afterwards; CR LF line ends are accepted.
    EXPECT_EQ(peer.Cmd("OPENED\r"), "OK 0");
}

TEST_F(PtyPeerTest, VanishRemovesTheLinkAndHangsUpThePc)
{
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Exists(peer.Link()));
    EXPECT_EQ(peer.Cmd("VANISH"), "OK");
    EXPECT_FALSE(Exists(peer.Link()));
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
    uint8_t b;
    EXPECT_LE(read(fd, &b, 1), 0);
    EXPECT_EQ(peer.Cmd("SEND 00"), "ERR vanished");
    EXPECT_EQ(peer.Cmd("QUIT"), "OK");
    EXPECT_EQ(peer.Wait(3000), 0);
    close(fd);
}

// The wineserver is a session leader that opens COM ports without
// O_NOCTTY; it must not be able to adopt the slave as its terminal.
TEST_F(PtyPeerTest, ASessionLeaderOpeningTheSlaveDoesNotAdoptIt)
{
    std::string link = peer.Link();
    pid_t pid = OpenAsSessionLeader(link);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // And the hangup when the master closes does not end the peer.
    EXPECT_EQ(peer.Cmd("OPENED"), "OK 0");
}

TEST_F(PtyPeerTest, QuitRemovesLinkPortFileAndTheTerminalsSession)
{
    struct stat st;
    ASSERT_EQ(stat(peer.Link().c_str(), &st), 0);
    pid_t holder = SessionOf(st.st_rdev);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(kill(holder, 0), 0);
    ASSERT_TRUE(Exists(peer.Link()));
    EXPECT_EQ(peer.Cmd("QUIT"), "OK");
    EXPECT_EQ(peer.Wait(3000), 0);
    EXPECT_FALSE(Exists(peer.Link()));
    EXPECT_FALSE(Exists(peer.PortFile()));
    EXPECT_NE(kill(holder, 0), 0);
}

TEST_F(PtyPeerTest, ClosingTheControlConnectionEnds)
{
    peer.CloseControl();
    EXPECT_EQ(peer.Wait(3000), 0);
    EXPECT_FALSE(Exists(peer.Link()));
}

TEST_F(PtyPeerTest, SigtermRemovesTheLink)
{
    peer.Signal(SIGTERM);
    EXPECT_EQ(peer.Wait(3000), 128 + SIGTERM);
    EXPECT_FALSE(Exists(peer.Link()));
}

TEST(PtyPeerLifetime, ExpiresWhileWaitingForAConnectionAndDuringACommand)
{
    {
        Peer idle(1);
        Clock::time_point t0 = Clock::now();
        EXPECT_EQ(idle.Wait(4000), 3);
        EXPECT_GE(MsSince(t0), 800);
        EXPECT_FALSE(Exists(idle.Link()));
    }
    Peer busy(1);
    ASSERT_TRUE(busy.Connect());
    EXPECT_EQ(busy.Cmd("RECV 10 10000"), "(closed)");
    EXPECT_EQ(busy.Wait(2000), 3);
    EXPECT_FALSE(Exists(busy.Link()));
}

TEST(PtyPeerLink, ReplacesAnOldLinkButLeavesAForeignOneAlone)
{
    TempDir dir("ptypeer-link");
    ASSERT_FALSE(dir.Path().empty());
    std::string link = dir.File("com3"), portFile = dir.File("port");
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    Child peer;
    peer.Start(std::string(KELVO_BIN) + "/ptypeer", {"--link", link, "--port-file", portFile});
    Clock::time_point t0 = Clock::now();
    while (!Exists(portFile) && MsSince(t0) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0);
    target[n] = '\0';
    EXPECT_EQ(std::string(target).compare(0, 9, "/dev/pts/"), 0) << target;

    // Someone else took the name over: on exit the peer must not delete it.
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", link.c_str()), 0);
    peer.Signal(SIGTERM);
    peer.Finish(10000);
    EXPECT_TRUE(Exists(link));
}

} // namespace
