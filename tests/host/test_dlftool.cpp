// dlftool as a program: the built binary is run with its output captured.
#include "download/dlf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

struct Result {
    int code;
    std::string out;
    std::string err;
};

class DlfTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = ::testing::TempDir() + "kelvo_dlftool_XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir_ = buf.data();
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    // Runs dlftool with the arguments (already quoted where needed).
    Result Run(const std::string &args) const
    {
        std::string out = Path("stdout.txt"), err = Path("stderr.txt");
        std::string cmd = std::string(KELVO_BIN) + "/dlftool " + args + " >'" + out + "' 2>'" + err + "'";
        int status = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }

    static std::string Slurp(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static Bytes Read(const std::string &path)
    {
        std::string s = Slurp(path);
        return Bytes(s.begin(), s.end());
    }
    static void Write(const std::string &path, const Bytes &b)
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
        ASSERT_TRUE(out.good());
    }
    static bool Exists(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
    static Bytes Pattern(size_t n)
    {
        Bytes b(n);
        for (size_t i = 0; i < n; i++)
            b[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
        return b;
    }

    std::string dir_;
};

TEST_F(DlfTool, MakeThenCheckRoundTrip)
{
    Write(Path("abc.bin"), {'a', 'b', 'c'});
    Result r = Run(Path("abc.bin") + " -o " + Path("abc.dlf"));
    EXPECT_EQ(r.code, 2) << "the command comes first";

    r = Run("make " + Path("abc.bin") + " -o " + Path("abc.dlf"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Read(Path("abc.dlf")), (Bytes{0x00, 0x05, 0x97, 0x38, 'a', 'b', 'c'}));

    r = Run("check " + Path("abc.dlf"));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, Path("abc.dlf") + ": ok size=0x0005 stored=0x9738 computed=0x9738 covered=3 total=7\n");

    // Options may come first; an empty payload gives the bare header.
    Write(Path("empty.bin"), {});
    r = Run("make -o " + Path("empty.dlf") + " " + Path("empty.bin"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Read(Path("empty.dlf")), (Bytes{0x00, 0x02, 0x00, 0x00}));
    EXPECT_EQ(Run("check " + Path("empty.dlf")).code, 0);
}

TEST_F(DlfTool, CoverOnlyTheStart)
{
    Bytes payload = Pattern(10);
    Write(Path("p.bin"), payload);
    Result r = Run("make " + Path("p.bin") + " --cover 3 -o " + Path("p.dlf"));
    ASSERT_EQ(r.code, 0) << r.err;
    Bytes dlf = Read(Path("p.dlf"));
    ASSERT_EQ(dlf.size(), 14u);
    uint16_t crc = GetCrc16(payload.data(), 3);
    EXPECT_EQ(dlf[0], 0x00);
    EXPECT_EQ(dlf[1], 0x05);
    EXPECT_EQ(dlf[2], crc >> 8);
    EXPECT_EQ(dlf[3], crc & 0xFF);
    EXPECT_EQ(Bytes(dlf.begin() + 4, dlf.end()), payload);
    EXPECT_EQ(Run("check " + Path("p.dlf")).code, 0);

    // Past the covered part a change goes unnoticed; inside it, it does not.
    Bytes changed = dlf;
    changed[4 + 3] ^= 0xFF;
    Write(Path("after.dlf"), changed);
    EXPECT_EQ(Run("check " + Path("after.dlf")).code, 0);
    changed = dlf;
    changed[4 + 2] ^= 0xFF;
    Write(Path("inside.dlf"), changed);
    EXPECT_EQ(Run("check " + Path("inside.dlf")).code, 1);

    // Covering nothing, all of it, or more than there is.
    ASSERT_EQ(Run("make " + Path("p.bin") + " --cover 0 -o " + Path("zero.dlf")).code, 0);
    Bytes zero = Read(Path("zero.dlf"));
    ASSERT_EQ(zero.size(), 14u);
    EXPECT_EQ(Bytes(zero.begin(), zero.begin() + 4), (Bytes{0x00, 0x02, 0x00, 0x00}));
    ASSERT_EQ(Run("make " + Path("p.bin") + " --cover 10 -o " + Path("all.dlf")).code, 0);
    char line[96];
    uint16_t all = GetCrc16(payload.data(), 10);
    std::snprintf(line, sizeof line, ": ok size=0x000C stored=0x%04X computed=0x%04X covered=10 total=14\n", all, all);
    EXPECT_EQ(Run("check " + Path("all.dlf")).out, Path("all.dlf") + line);
    r = Run("make " + Path("p.bin") + " --cover 11 -o " + Path("over.dlf"));
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--cover"), std::string::npos);
    EXPECT_FALSE(Exists(Path("over.dlf")));
    for (const char *bad : {"abc", "-1", "3x", "''", "99999999999999999999"}) {
        r = Run("make " + Path("p.bin") + " --cover " + bad + " -o " + Path("bad.dlf"));
        EXPECT_EQ(r.code, 2) << bad;
        EXPECT_FALSE(r.err.empty()) << bad;
    }
}

TEST_F(DlfTool, CoveredLimit)
{
    Write(Path("max.bin"), Pattern(65533));
    Result r = Run("make " + Path("max.bin") + " -o " + Path("max.dlf"));
    ASSERT_EQ(r.code, 0) << r.err;
    r = Run("check " + Path("max.dlf"));
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(": ok size=0xFFFF "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" covered=65533 total=65537\n"), std::string::npos) << r.out;

    Write(Path("over.bin"), Pattern(65534));
    r = Run("make " + Path("over.bin") + " -o " + Path("over.dlf"));
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("65533"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_FALSE(Exists(Path("over.dlf")));
    r = Run("make " + Path("over.bin") + " --cover 65534 -o " + Path("over.dlf"));
    EXPECT_EQ(r.code, 2);
    EXPECT_FALSE(Exists(Path("over.dlf")));

    // A large payload is fine when only its start is covered.
    Write(Path("big.bin"), Pattern(16 * 1024 * 1024));
    ASSERT_EQ(Run("make " + Path("big.bin") + " --cover 65533 -o " + Path("big.dlf")).code, 0);
    r = Run("check " + Path("big.dlf"));
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(" covered=65533 total=16777220\n"), std::string::npos) << r.out;
}

TEST_F(DlfTool, CheckReportsEveryFailure)
{
    Write(Path("good.dlf"), {0x00, 0x05, 0x97, 0x38, 'a', 'b', 'c'});
    Write(Path("swapped.dlf"), {0x00, 0x05, 0x38, 0x97, 'a', 'b', 'c'});
    Write(Path("wrong.dlf"), {0x00, 0x05, 0x12, 0x34, 'a', 'b', 'c'});
    Write(Path("short.dlf"), {0x00, 0x05, 0x97});
    Write(Path("trunc.dlf"), {0x00, 0x00, 0x97, 0x38, 'a', 'b', 'c'});

    const std::string names[] = {"good.dlf", "swapped.dlf", "wrong.dlf", "short.dlf", "trunc.dlf", "missing.dlf"};
    std::string args = "check";
    for (const std::string &n : names)
        args += " " + Path(n);
    Result r = Run(args);
    EXPECT_EQ(r.code, 1);
    const std::string expected =
        Path("good.dlf") + ": ok size=0x0005 stored=0x9738 computed=0x9738 covered=3 total=7\n" +
        Path("swapped.dlf") + ": FAIL (CRC stored little-endian) size=0x0005 stored=0x3897 computed=0x9738 covered=3 total=7\n" +
        Path("wrong.dlf") + ": FAIL (CRC mismatch) size=0x0005 stored=0x1234 computed=0x9738 covered=3 total=7\n" +
        Path("short.dlf") + ": FAIL (too short) size=- stored=- computed=- covered=- total=3\n" +
        Path("trunc.dlf") + ": FAIL (truncated covered area) size=0x0000 stored=0x9738 computed=- covered=65534 total=7\n" +
        Path("missing.dlf") + ": FAIL (cannot open: No such file or directory)\n";
    EXPECT_EQ(r.out, expected);

    // Each failure on its own also gives exit status 1; a pass alone gives 0.
    for (const std::string &n : names)
        EXPECT_EQ(Run("check " + Path(n)).code, n == "good.dlf" ? 0 : 1) << n;
    EXPECT_EQ(Run("check " + Path("good.dlf") + " " + Path("good.dlf")).code, 0);
}

TEST_F(DlfTool, InfoShowsFiguresWithoutJudging)
{
    Write(Path("wrong.dlf"), {0x00, 0x05, 0x12, 0x34, 'a', 'b', 'c'});
    Result r = Run("info " + Path("wrong.dlf"));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, Path("wrong.dlf") + ": size=0x0005 stored=0x1234 computed=0x9738 covered=3 total=7\n");

    r = Run("info " + Path("missing.dlf"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("missing.dlf"), std::string::npos);
}

TEST_F(DlfTool, HelpAndUsageErrors)
{
    Result r = Run("--help");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("usage: dlftool make"), std::string::npos);
    EXPECT_NE(r.out.find("exit status"), std::string::npos);
    for (const char *code : {"  0  ", "  1  ", "  2  "})
        EXPECT_NE(r.out.find(code), std::string::npos) << code;

    Write(Path("p.bin"), {'a'});
    const std::string bad[] = {
        "",
        "frobnicate",
        "make",
        "make " + Path("p.bin"),
        "make -o " + Path("x.dlf"),
        "make " + Path("p.bin") + " -o",
        "make " + Path("p.bin") + " --cover",
        "make " + Path("p.bin") + " " + Path("p.bin") + " -o " + Path("x.dlf"),
        "make " + Path("p.bin") + " -o " + Path("x.dlf") + " -o " + Path("y.dlf"),
        "make " + Path("p.bin") + " --verbose -o " + Path("x.dlf"),
        "check",
        "info",
        "info " + Path("p.bin") + " " + Path("p.bin"),
    };
    for (const std::string &args : bad) {
        r = Run(args);
        EXPECT_EQ(r.code, 2) << "'" << args << "'";
        EXPECT_FALSE(r.err.empty()) << "'" << args << "'";
        EXPECT_TRUE(r.out.empty()) << "'" << args << "'";
    }
    EXPECT_FALSE(Exists(Path("x.dlf")));

    // A payload that cannot be read is a failure, not a usage error.
    r = Run("make " + Path("missing.bin") + " -o " + Path("x.dlf"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("missing.bin"), std::string::npos);
}

}  // namespace
