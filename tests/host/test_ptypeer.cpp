// ptypeer driven over its control connection while this test plays the PC:
// it opens the slave through the link, sets termios and reads and writes
// there, and checks that what ptypeer reports matches what really happened.
#include <gtest/gtest.h>

#include "hostkit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

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

// Reads exactly n bytes from fd, or what came within timeoutMs.
Bytes ReadN(int fd, size_t n, int timeoutMs)
{
    Bytes got;
    Clock::time_point t0 = Clock::now();
    while (got.size() < n && MsSince(t0) < timeoutMs) {
        struct pollfd p = {fd, POLLIN, 0};
        uint8_t buf[4096];
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t r = read(fd, buf, std::min(n - got.size(), sizeof buf));
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

bool WriteAll(int fd, const Bytes &b)
{
    return write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
}

// One ptypeer child with its link in a fresh temporary directory.
class Peer {
public:
    Peer()
    {
        child.Start(std::string(KELVO_BIN) + "/ptypeer", {"--link", link, "--port-file", portFile});
    }
    ~Peer()
    {
        if (sock_ >= 0)
            close(sock_);
    }

    // Waits for the port file, then connects.
    bool Connect()
    {
        int port = 0;
        WaitUntil([&] { return sscanf(ReadText(portFile).c_str(), "%d", &port) == 1; }, 5000);
        sock_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        // A wedged peer fails the test instead of hanging it.
        struct timeval tv = {15, 0};
        return port > 0 && sock_ >= 0 && setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
               connect(sock_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }

    std::string Cmd(const std::string &line)
    {
        std::string out = line + "\n", reply;
        if (send(sock_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
            return "(send failed)";
        while (!TakeLine(&pending_, &reply)) {
            char buf[4096];
            ssize_t n = recv(sock_, buf, sizeof buf, 0);
            if (n <= 0)
                return "(closed)";
            pending_.append(buf, static_cast<size_t>(n));
        }
        return reply;
    }

    void CloseControl()
    {
        close(sock_);
        sock_ = -1;
    }

    // Opens the slave through the link the way a PC program would, raw.
    int OpenSlave()
    {
        int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
        struct termios t;
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        return fd;
    }

    TempDir dir{"ptypeer-test"};  // declared first: removed after the child is gone
    std::string link = dir.File("com9"), portFile = dir.File("port");
    Child child;

private:
    std::string pending_;
    int sock_ = -1;
};

class PtyPeerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(peer.Connect()); }
    Peer peer;
};

// The wineserver is a session leader that opens COM ports without
// O_NOCTTY; it must not be able to adopt the slave as its terminal.
TEST_F(PtyPeerTest, LinkedSlaveIsRawClosedAndNotAdoptedByASessionLeader)
{
    std::string r = peer.Cmd("PATH");
    char target[256];
    ssize_t n = readlink(peer.link.c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(r, "OK " + std::string(target, static_cast<size_t>(n)));
    // ptypeer only held the slave while configuring it.
    EXPECT_EQ(peer.Cmd("OPENED"), "OK 0");
    int fd = open(peer.link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    close(fd);

    EXPECT_EQ(SessionLeaderAdopts(peer.link), 0);
    // And the hangup when that leader's session ends does not end the peer.
    EXPECT_EQ(peer.Cmd("OPENED"), "OK 0");
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

    // PC to peer: RECVN waits for the exact count; RECV stops at max and
    // leaves the rest queued.
    ASSERT_TRUE(WriteAll(fd, all));
    EXPECT_EQ(peer.Cmd("RECVN 256 2000"), "OK " + Hex(all));
    ASSERT_TRUE(WriteAll(fd, Bytes{9, 8, 7, 6, 5}));
    EXPECT_EQ(peer.Cmd("RECV 2 2000"), "OK 0908");
    EXPECT_EQ(peer.Cmd("RECVN 3 2000"), "OK 070605");
    close(fd);
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

    // Every field flipped the other way; still readable after the PC closed.
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | PARODD | CMSPAR | HUPCL;
    t.c_iflag |= IXON | IXOFF | ISTRIP;
    t.c_iflag &= ~INPCK;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    close(fd);
    ASSERT_EQ(peer.Cmd("WAITOPEN 0 1000"), "OK 0");
    EXPECT_EQ(peer.Cmd("TERMIOS"), "OK speed=115200 csize=8 parenb=0 parodd=1 cmspar=1 cstopb=0 ixon=1 "
                                   "ixoff=1 crtscts=0 hupcl=1 inpck=0 istrip=1");
}

TEST_F(PtyPeerTest, OpenedAndWaitopenFollowThePc)
{
    EXPECT_EQ(peer.Cmd("OPENED"), "OK 0");
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(peer.Cmd("OPENED"), "OK 1");
    EXPECT_EQ(peer.Cmd("WAITOPEN 1 100"), "OK 1");

    // WAITOPEN 0 notices the close instead of sitting out its timeout.
    std::thread closer([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(fd);
    });
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(peer.Cmd("WAITOPEN 0 20000"), "OK 0");
    EXPECT_LT(MsSince(t0), 15000);
    closer.join();
    // A timeout answers with the state as it is.
    EXPECT_EQ(peer.Cmd("WAITOPEN 1 200"), "OK 0");
}

TEST_F(PtyPeerTest, VanishRemovesTheLinkAndHangsUpThePc)
{
    int fd = peer.OpenSlave();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(peer.Cmd("VANISH"), "OK");
    EXPECT_FALSE(Exists(peer.link));
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
    EXPECT_EQ(peer.Cmd("SEND 00"), "ERR vanished");
    close(fd);
}

TEST_F(PtyPeerTest, EveryWayOfEndingRemovesTheLink)
{
    // QUIT: the link, the port file and the process holding the terminal go.
    struct stat st;
    ASSERT_EQ(stat(peer.link.c_str(), &st), 0);
    pid_t holder = SessionOf(st.st_rdev);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(peer.Cmd("QUIT"), "OK");
    EXPECT_EQ(peer.child.Wait(3000), 0);
    EXPECT_FALSE(Exists(peer.link));
    EXPECT_FALSE(Exists(peer.portFile));
    EXPECT_NE(kill(holder, 0), 0);

    Peer dropped;
    ASSERT_TRUE(dropped.Connect());
    dropped.CloseControl();
    EXPECT_EQ(dropped.child.Wait(3000), 0);
    EXPECT_FALSE(Exists(dropped.link));

    Peer killed;
    ASSERT_TRUE(killed.Connect());
    killed.child.Signal(SIGTERM);
    EXPECT_EQ(killed.child.Wait(3000), 128 + SIGTERM);
    EXPECT_FALSE(Exists(killed.link));
}

} // namespace
