// What dlfsim's files share: the options, the plan, the line to the PC
// (Target), the --link symlink and the line rig's files, and the failure
// that ends a run. Which file does what:
//   dlfsim.cpp      main, the options and their usage text
//   line.cpp        the serial line to the PC: the pseudo terminal or a
//                   device, the PC's open and close, pacing, reading and
//                   writing bytes, --link and the line rig's files
//   scenarios.cpp   the plan and the scenario steps: handshake, requests,
//                   completion and the faults; the board behind --wiring;
//                   Run, one whole run from the open port to its verdict
//   transcript.cpp  the transcript: every byte and the "# ..." comments
//   checks.cpp      the DLF file, comparing what the PC sends with what is
//                   due, and the RESULT line
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace sim {

using Clock = std::chrono::steady_clock;

enum ExitCode { EXIT_MATCHED = 0, EXIT_MISMATCH = 1, EXIT_USAGE = 2, EXIT_IO = 3 };

enum : uint8_t {
    STX = 0x02, ETX = 0x03, ACK = 0x06, WRONG = 0x15,
    CONNECT = 0x40, CONNECT_ANSWER = 0x41, REQUEST = 0x42, COMPLETE = 0x43,
    XON = 0x11, XOFF = 0x13
};

// Ends the run: code is the exit status, msg goes to stderr and the RESULT line.
struct Failure {
    int code;
    std::string msg;
};

// dlfsim.cpp: printf into a string, and throwing a Failure.
std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void Fail(int code, const std::string &msg);

// The signal (SIGINT, SIGTERM) that asked the run to end, else 0.
extern volatile sig_atomic_t g_signal;

// How the board's reset and boot pins hang on the PC's DTR and RTS.
enum class Wiring { kNone, kDtrPulse, kRtsPulse, kTwoTransistor };

struct PlanItem {
    uint32_t offset;
    uint32_t length;  // as sent: 0..65535; 0 still moves one byte
};

struct Options {
    std::string file;
    std::string device;
    long baud = 115200;
    bool xonxoff = true;
    std::string link;
    std::string plan = "auto:1024";
    long noise = 0;
    long wrongByte = -1;
    bool pastEnd = false;
    bool silent = false;
    long stopAfter = -1;
    long holdXoffAfter = -1;
    long xoffPause = 0;        // ms; with holdXoffAfter: XON after this long, then go on
    long vanishAfter = -1;
    long flood = 0;
    long pace = 0;
    bool complete = true;
    std::string transcript;
    long repeat = 1;
    long replyTimeout = 5000;
    long connectTimeout = 30000;
    long silenceMs = 500;
    long startDelay = 300;
    long lingerMs = 1000;
    long durationS = 0;
    bool waitOpen = true;
    bool seedGiven = false;
    unsigned long seed = 0;
    bool xoffAtComplete = false;
    long floodHeld = 0;
    std::string rigDir;        // --rig, else $KELVO_RIG
    Wiring wiring = Wiring::kNone;
    long denyOpen = -1;        // ms
    long hangClose = -1;       // ms
};

// The board behind the port as its reset wiring sees the PC's DTR and RTS,
// one logged change after the other (times in microseconds, the log's clock).
struct Board {
    bool reset = false;          // held in reset (EN low)
    int64_t resetSince = 0;
    bool download = false;       // its last start was into the download mode
    int64_t startedAt = 0;       // when it last came out of reset
};

// How a block request ended.
enum class Served { kBlock, kStopped, kHeld, kVanish };

// The serial line to the PC plus the bookkeeping of everything on it. Its
// functions live in the file of their job: line.cpp (the port and its
// bytes), scenarios.cpp (the steps), transcript.cpp, checks.cpp.
class Target {
public:
    Target(const Options &o, const std::vector<uint8_t> &file);
    ~Target();

    const std::string &PortPath() const { return portPath_; }
    bool IsPty() const { return isPty_; }
    long Verified() const { return verified_; }
    void NewSession() { paused_ = false; }
    long Blocks() const { return blocks_; }
    long ElapsedMs() const { return MsSince(t0_); }
    // The last completed session, from its first handshake byte to the
    // completion's answer: the download itself, without the PC's start-up.
    long TransferMs() const
    {
        if (xferEnd_ < xferStart_)
            return 0;
        return std::chrono::duration_cast<std::chrono::milliseconds>(xferEnd_ - xferStart_).count();
    }
    // The rig's log of the PC's DTR and RTS on this port (--wiring).
    void UseRigLines(const std::string &path) { rigLines_ = path; }

    // line.cpp
    void OpenPty();
    void StartHolder();
    void StopHolder();
    void OpenDevice();
    bool PeerClosed();
    void WaitOpen(const char *what);
    void Send(uint8_t b, const char *step);
    uint8_t Receive(long timeoutMs, const char *step);
    bool DurationOver() const;
    void CheckDuration(const char *what, bool passive);
    void CheckInterrupted(const char *what);

    // scenarios.cpp
    void Vanish();
    const char *Hold();
    void WaitDownloadMode();
    long FloodHeld(long n);
    const char *WatchHeld(bool strict, const char *what);
    void Handshake(bool first);
    void SendNoise(long count, std::mt19937 &rng);
    void SendFlood(long count, std::mt19937 &rng);
    Served Request(const PlanItem &p, long wrongAfter, long *sessionData);
    void Complete();

    // transcript.cpp
    void FlushTranscript();
    void OpenTranscript();
    void Comment(const std::string &text);
    void NotePeer(bool open);

    // checks.cpp
    bool WaitClosed(const char *what, long limitMs);
    void ExpectSilence(long ms, const char *what);
    void Expect(uint8_t want, long timeoutMs, const char *step);
    void Exchange(uint8_t b, std::initializer_list<uint8_t> answer, const char *step, long timeoutMs = 0);

    static constexpr int kNothing = -1;
    static constexpr int kClosed = -2;

private:
    // line.cpp
    int Poll(int ms);
    int Closed();
    int ReadAvailable();
    long WriteUnpaced(const uint8_t *p, size_t n, bool *pbClosed);
    int Pop();
    int Fatal(const char *what);
    static long MsSince(Clock::time_point t);
    void SetNonBlocking();
    int ReadRigLines();
    bool PortClosedNow();

    // transcript.cpp
    void Log(char who, uint8_t b);

    const Options &o_;
    const std::vector<uint8_t> &file_;
    Clock::time_point t0_;
    Clock::time_point xferStart_{}, xferEnd_{};
    // The paced line: the start of the target's last byte on it and when it
    // is free again (the line's own clock, which sleeps follow). A target's
    // byte is written at its lineFree_, when its last bit has arrived.
    Clock::time_point lineStart_, lineFree_;
    std::chrono::nanoseconds charTime_;
    Clock::duration writeLate_{};   // how long after its lineFree_ the last byte's write began
    int fd_ = -1;
    pid_t holder_ = -1;
    bool isPty_ = false;
    bool peerOpen_ = false;         // what the transcript last said of the PC's side
    std::string lastLine_;          // and of its line settings
    std::string portPath_;
    FILE *tr_ = nullptr;
    std::deque<uint8_t> rx_;
    long verified_ = 0;
    long blocks_ = 0;
    bool paused_ = false;           // this session's --xoff-pause is over
    std::string rigLines_;          // the rig's log of the PC's lines (--wiring)
    off_t rigRead_ = 0;             // how much of it is read
    std::string rigPartial_;        // a line read in part
    Board board_;
    int64_t closedSeenUs_ = 0;      // when the port was last seen closed (MonotonicUs)
};

// Keeps --link pointing at the port for the life of the run (line.cpp).
class Link {
public:
    ~Link();
    void Create(const std::string &path, const std::string &target);
    void Remove();

private:
    std::string path_;
    std::string target_;
};

// The line rig's files for the pseudo terminal, in the rig's directory,
// named after the slave's device number: <major>.<minor>.lines (the PC's
// DTR and RTS, logged by the rig), .deny (while it exists the PC's open
// fails with EACCES) and .hang (the milliseconds the PC's close takes).
// The rig itself is libkelvo-rig.so, preloaded into the PC program
// (line.cpp).
class Rig {
public:
    ~Rig();
    void Setup(const Options &o, const std::string &port);
    std::string LinesPath() const { return base_ + "lines"; }
    void DenyFor(long ms);

private:
    void Write(const char *what, const std::string &text);

    std::string base_;           // "<dir>/<major>.<minor>."
    std::thread timer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
};

// dlfsim.cpp
long NumberArg(const std::string &opt, const std::string &val, unsigned long long max);

// line.cpp
int64_t MonotonicUs();

// scenarios.cpp
const char *WiringName(Wiring w);
std::vector<PlanItem> BuildPlan(const Options &o, size_t fileLen);
bool PastEnd(const PlanItem &p, size_t fileLen);
void WarnFlowBytes(const std::vector<PlanItem> &plan);
std::string BoardLines(Board *b, Wiring w, int64_t t, bool dtr, bool rts);
int Run(const Options &o, Target &t, Link &link, Rig &rig, const std::vector<PlanItem> &plan, size_t fileLen,
        std::string *okLine);

// checks.cpp
std::vector<uint8_t> ReadFile(const std::string &path);
void PrintResult(Target &t, int code, const std::string &okLine, const std::string &reason);

}  // namespace sim
