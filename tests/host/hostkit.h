// What the native tests share: a scratch directory, DLF files made by
// dlftool, and the host programs run as child processes that are always
// reaped (killed when a test ends early).
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hk {

const std::string kBin = KELVO_BIN;

inline std::string ReadText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A fresh directory, removed with what it holds.
struct Scratch {
    std::string dir;
    Scratch()
    {
        char tmpl[] = "/tmp/kelvo-test-XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~Scratch() { (void)!system(("rm -rf '" + dir + "'").c_str()); }
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

struct Outcome {
    int code = -1;      // exit status, 128 + signal, or -1 when it had to be killed
    std::string out, err;
};

// A host program in the background, its stdout and stderr in files (stderr
// on errFd instead, a terminal for instance, when one is given).
class Proc {
public:
    Proc(const std::vector<std::string> &argv, const std::string &base, int errFd = -1)
        : out_(base + ".out"), err_(base + ".err")
    {
        pid_ = fork();
        if (pid_ == 0) {
            int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = errFd >= 0 ? errFd : open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Proc() { Finish(0); }
    void Signal(int sig) { kill(pid_, sig); }
    std::string Out() const { return ReadText(out_); }
    std::string Err() const { return ReadText(err_); }

    // Waits until text shows in stdout or stderr.
    bool WaitFor(const std::string &text, int ms = 20000) const
    {
        for (int t = 0; t < ms; t += 10) {
            if ((Out() + Err()).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Waits up to ms for the exit; a program still running then is killed.
    Outcome Finish(int ms = 60000)
    {
        for (int t = 0; code_ == -2 && t <= ms; t += 10) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else if (t < ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (code_ == -2) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            code_ = -1;
        }
        return Outcome{code_, Out(), Err()};
    }

private:
    std::string out_, err_;
    pid_t pid_;
    int code_ = -2;
};

inline Outcome RunTool(const std::vector<std::string> &argv, const Scratch &s, int ms = 60000)
{
    static int n;
    return Proc(argv, s / ("run" + std::to_string(++n))).Finish(ms);
}

// A DLF file of payload bytes of dlftool's sample pattern, the CRC over all
// of it or its first cover bytes.
inline std::string MakeDlf(const Scratch &s, const std::string &name, size_t payload, long cover = -1)
{
    std::string dlf = s / (name + ".dlf");
    std::vector<std::string> argv = {kBin + "/dlftool", "make", "--sample", std::to_string(payload), "-o", dlf};
    if (cover >= 0)
        argv.insert(argv.end(), {"--cover", std::to_string(cover)});
    EXPECT_EQ(RunTool(argv, s).code, 0) << "dlftool make " << name;
    return dlf;
}

// dlfsim on a fresh pseudo terminal, quick to start; port is its slave.
struct Sim : Proc {
    std::string port;
    Sim(const Scratch &s, const std::string &name, std::vector<std::string> args, const std::string &dlf)
        : Proc(Args(args, dlf, s / (name + ".transcript")), s / name)
    {
        if (WaitFor("PTY /dev/"))
            port = Out().substr(4, Out().find('\n') - 4);
    }
    static std::vector<std::string> Args(std::vector<std::string> args, const std::string &dlf,
                                         const std::string &transcript)
    {
        args.insert(args.begin(), {kBin + "/dlfsim", "--start-delay", "0", "--reply-timeout", "3000",
                                   "--silence", "300", "--transcript", transcript});
        args.push_back(dlf);
        return args;
    }
};

} // namespace hk
