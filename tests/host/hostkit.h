// Shared helpers for the native tests that run the host programs: child
// processes with a bounded wait, temporary directories, files, and what
// /proc says about who holds a terminal. Header only.
#ifndef KELVO_TESTS_HOST_HOSTKIT_H
#define KELVO_TESTS_HOST_HOSTKIT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace hostkit {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

inline long MsSince(Clock::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// The whole file, or "" if it cannot be read.
inline std::string ReadText(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteBytes(const std::string &path, const Bytes &b)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(b.data(), 1, b.size(), f), b.size());
    fclose(f);
}

// True if something (a link included, even a dangling one) has this name.
inline bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A fresh directory /tmp/<prefix>-XXXXXX, removed with all it holds.
class TempDir {
public:
    explicit TempDir(const std::string &prefix)
    {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const char *d = mkdtemp(buf.data());
        path_ = d ? d : "";
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The session leader whose controlling terminal is the tty dev, from
// /proc/<pid>/stat (field 7 is tty_nr), or -1.
inline pid_t SessionOf(dev_t dev)
{
    pid_t found = -1;
    char path[64], buf[1024];
    DIR *d = opendir("/proc");
    if (!d)
        return -1;
    while (struct dirent *e = readdir(d)) {
        int pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        FILE *f = fopen(path, "r");
        if (!f)
            continue;
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = '\0';
        const char *p = strrchr(buf, ')');
        int ppid = 0, pgrp = 0, session = 0, ttyNr = 0;
        char state = 0;
        if (p && sscanf(p + 1, " %c %d %d %d %d", &state, &ppid, &pgrp, &session, &ttyNr) == 5 &&
            static_cast<dev_t>(ttyNr) == dev && session == pid) {
            found = pid;
            break;
        }
    }
    closedir(d);
    return found;
}

// Polls cond every 10 ms until it holds or ms have passed; true if it held.
inline bool WaitUntil(const std::function<bool()> &cond, int ms)
{
    Clock::time_point t0 = Clock::now();
    while (!cond()) {
        if (MsSince(t0) >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Waits until link is a symlink to target.
inline bool WaitLink(const std::string &link, const std::string &target, int ms)
{
    Clock::time_point t0 = Clock::now();
    char buf[256];
    do {
        ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
        if (n >= 0 && target == std::string(buf, static_cast<size_t>(n)))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (MsSince(t0) < ms);
    return false;
}

// Forks a child that starts a session of its own and opens path without
// O_NOCTTY, the way the wineserver opens a COM port. Its exit status is 0
// if the tty did not become its controlling terminal, 1 if it did, 2 if
// setsid failed and 3 if the open did. The caller reaps it.
inline pid_t OpenAsSessionLeader(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setsid() < 0)
            _exit(2);
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0)
            _exit(3);
        int adopted = tcgetsid(fd) == getpid();
        close(fd);
        _exit(adopted ? 1 : 0);
    }
    return pid;
}

// Runs OpenAsSessionLeader(path) to its end: 0 if the tty was not adopted,
// 1 if it was, -1 if the child did not get as far as the open.
inline int SessionLeaderAdopts(const std::string &path)
{
    int status = 0;
    pid_t pid = OpenAsSessionLeader(path);
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
        return -1;
    return WEXITSTATUS(status);
}

// Moves the first complete line (without its newline) out of pending into
// *line; false while pending holds no whole line.
inline bool TakeLine(std::string *pending, std::string *line)
{
    size_t nl = pending->find('\n');
    if (nl == std::string::npos)
        return false;
    *line = pending->substr(0, nl);
    pending->erase(0, nl + 1);
    return true;
}

// How a program run ended: its exit status (128 + the signal if one ended
// it) and what it wrote.
struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// A child process running a program. It is killed and reaped when the
// object goes, so a failing test leaves nothing running.
class Child {
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { Kill(); }

    // Runs exe with args. inChild, if given, runs in the child before the
    // exec to set up its descriptors; it may _exit on failure. An exec that
    // fails ends the child with 127.
    void Start(const std::string &exe, const std::vector<std::string> &args,
               const std::function<void()> &inChild = nullptr)
    {
        pid_ = fork();
        if (pid_ == 0) {
            if (inChild)
                inChild();
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(exe.c_str()));
            for (const auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
    }

    bool Started() const { return pid_ > 0; }

    void Signal(int sig)
    {
        if (pid_ > 0)
            kill(pid_, sig);
    }

    // Still running (not yet ended, or ended but not reaped).
    bool Running()
    {
        if (pid_ <= 0 || reaped_)
            return false;
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            Reaped(status);
        return r == 0;
    }

    // Waits up to timeoutMs for the exit; returns the exit status, or -1 if
    // the child still runs.
    int Wait(int timeoutMs)
    {
        if (pid_ <= 0)
            return -1;
        Clock::time_point t0 = Clock::now();
        while (!reaped_ && MsSince(t0) < timeoutMs) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                Reaped(status);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return reaped_ ? exitCode_ : -1;
    }

    // Waits for the exit; a child still running after timeoutMs is killed,
    // which err then says. Fills in exitCode and err; output is the
    // caller's to collect.
    Outcome Finish(int timeoutMs)
    {
        Outcome o;
        if (pid_ <= 0)
            return o;
        Clock::time_point t0 = Clock::now();
        while (!reaped_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                Reaped(status);
                break;
            }
            if (MsSince(t0) > timeoutMs) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                Reaped(status);
                o.err = "(killed after timeout) ";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        o.exitCode = exitCode_;
        return o;
    }

    // Kills and reaps the child unless it was reaped already.
    void Kill()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
        }
    }

private:
    void Reaped(int status)
    {
        reaped_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
};

} // namespace hostkit

#endif
