// What the native tests share: a scratch directory, DLF files made by
// dlftool, and the host programs run as child processes that are always
// reaped (killed when a test ends early).
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hk {

typedef std::vector<std::string> Args;
const std::string kBin = KELVO_BIN;

inline std::string ReadText(const std::string &path)
{
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

// A command line put together from its parts.
inline Args Join(Args a, const Args &b, const Args &c = {})
{
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    return a;
}

// Looks every 10 ms, for up to ms, whether cond holds.
template <class F> bool Poll(int ms, F cond)
{
    bool fDone;
    for (int t = 0; !(fDone = cond()) && t < ms; t += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fDone;
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
struct Proc {
    Proc(const Args &argv, const std::string &base, int errFd = -1) : out_(base + ".out"), err_(base + ".err")
    {
        // Emptied before the program starts: what an earlier one left there is never read as its output.
        int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);      // a kill at the end takes whatever it started along
            dup2(o, 1);
            dup2(errFd >= 0 ? errFd : e, 2);
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        if (pid_ > 0)
            setpgid(pid_, pid_);    // as the child does: whichever runs first
        close(o);
        close(e);
    }
    ~Proc() { Finish(0); }
    void Signal(int sig) { kill(pid_, sig); }
    std::string Out() const { return ReadText(out_); }
    std::string Err() const { return ReadText(err_); }

    // Waits until text shows in stdout or stderr.
    bool WaitFor(const std::string &text, int ms = 20000) const
    {
        return Poll(ms, [&] { return (Out() + Err()).find(text) != std::string::npos; });
    }

    // Waits up to ms for the exit; a program still running then is killed.
    Outcome Finish(int ms = 60000)
    {
        int status;
        if (code_ == -2 && Poll(ms, [&] { return waitpid(pid_, &status, WNOHANG) == pid_; }))
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (code_ == -2) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            code_ = -1;
        }
        return Outcome{code_, Out(), Err()};
    }
    std::string out_, err_;
    pid_t pid_;
    int code_ = -2;
};

inline Outcome RunTool(const Args &argv, const Scratch &s, int ms = 60000)
{
    static int n;
    return Proc(argv, s / ("run" + std::to_string(++n))).Finish(ms);
}

// A DLF file of payload bytes of dlftool's sample pattern, the CRC over all
// of it or its first cover bytes.
inline std::string MakeDlf(const Scratch &s, const std::string &name, size_t payload, long cover = -1)
{
    std::string dlf = s / (name + ".dlf");
    Args argv = {kBin + "/dlftool", "make", "--sample", std::to_string(payload), "-o", dlf};
    EXPECT_EQ(RunTool(cover < 0 ? argv : Join(argv, {"--cover", std::to_string(cover)}), s).code, 0) << name;
    return dlf;
}

// dlfsim on a fresh pseudo terminal, quick to start; port is its slave.
struct Sim : Proc {
    std::string port;
    Sim(const Scratch &s, const std::string &name, const Args &args, const std::string &dlf)
        : Proc(Join({kBin + "/dlfsim", "--start-delay", "0", "--reply-timeout", "3000", "--silence", "300",
                    "--transcript", s / (name + ".transcript")}, args, {dlf}), s / name)
    {
        if (WaitFor("PTY /dev/"))
            port = Out().substr(4, Out().find('\n') - 4);
    }
};

// One JSON object read into key -> value, a nested object's keys as
// "outer.inner"; strings unescaped, numbers and literals as written (null as
// "null"). False when the text is not exactly one well-formed object.
typedef std::map<std::string, std::string> Json;
struct JsonReader {
    const std::string &s;
    size_t i = 0;
    void Space() { while (i < s.size() && strchr(" \t\r\n", s[i])) i++; }
    bool Eat(char c) { Space(); return i < s.size() && s[i] == c ? (i++, true) : false; }
    bool String(std::string *v)
    {
        if (!Eat('"'))
            return false;
        for (v->clear(); i < s.size() && s[i] != '"'; i++) {
            if (static_cast<unsigned char>(s[i]) < 0x20)
                return false;
            if (s[i] != '\\') {
                *v += s[i];
                continue;
            }
            char c = ++i < s.size() ? s[i] : '?';
            const char *from = "\"\\/bfnrt", *to = "\"\\/\b\f\n\r\t";
            if (c == 'u' && i + 4 < s.size()) {
                unsigned long u = std::stoul(s.substr(i + 1, 4), nullptr, 16);
                i += 4;
                if (u < 0x80)
                    *v += static_cast<char>(u);
                else if (u < 0x800)
                    *v += {static_cast<char>(0xC0 | u >> 6), static_cast<char>(0x80 | (u & 0x3F))};
                else
                    *v += {static_cast<char>(0xE0 | u >> 12), static_cast<char>(0x80 | (u >> 6 & 0x3F)),
                           static_cast<char>(0x80 | (u & 0x3F))};
            } else if (c && strchr(from, c)) {
                *v += to[strchr(from, c) - from];
            } else {
                return false;
            }
        }
        return Eat('"');
    }
    bool Object(Json *out, const std::string &prefix)
    {
        if (!Eat('{'))
            return false;
        if (Eat('}'))
            return true;
        do {
            std::string key, value;
            if (!String(&key) || !Eat(':') || out->count(prefix + key))
                return false;
            Space();
            if (i < s.size() && s[i] == '{') {
                if (!Object(out, prefix + key + "."))
                    return false;
                continue;
            }
            if (i < s.size() && s[i] == '"' ? !String(&value) : false)
                return false;
            if (value.empty() && s[i - 1] != '"') {
                size_t n = strspn(s.c_str() + i, "-+.0123456789eEnulltruefalse");
                value = s.substr(i, n);
                i += n;
                if (value.empty())
                    return false;
            }
            (*out)[prefix + key] = value;
        } while (Eat(','));
        return Eat('}');
    }
};
inline bool ParseJson(const std::string &text, Json *out)
{
    JsonReader r{text};
    out->clear();
    bool ok = r.Object(out, "");
    r.Space();
    return ok && r.i == text.size();
}

} // namespace hk
