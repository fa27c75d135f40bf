// The CRC-16/ARC and the DLF header check, through the library and through
// dlftool, which runs the very same check on real files.
#include "download/dlf.h"
#include "hostkit.h"

namespace {

using namespace hk;
typedef std::string Bytes;

uint16_t BitwiseCrc16(const Bytes &b)
{
    uint16_t crc = 0;
    for (unsigned char c : b) {
        crc ^= c;
        for (int i = 0; i < 8; i++)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

Bytes Be16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }

TEST(Crc16, KnownValuesTableAndLongBuffers)
{
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(GetCrc16(digits, 9), 0xBB3D);
    EXPECT_EQ(GetCrc16(digits, 0), 0);
    EXPECT_EQ(_crc16Tbl[1], 0xC0C1);
    EXPECT_EQ(_crc16Tbl[128], 0xA001);
    EXPECT_EQ(_crc16Tbl[255], 0x4040);
    Bytes b;
    for (unsigned i = 0; i < 65535; i++)
        b += static_cast<char>((i * 2654435761u) >> 13);
    for (size_t n : {1u, 2u, 255u, 4096u, 65535u})
        EXPECT_EQ(GetCrc16(reinterpret_cast<const unsigned char *>(b.data()), static_cast<uint16_t>(n)),
                  BitwiseCrc16(b.substr(0, n))) << n;
}

// One file per row: the library's verdict, the stream left where it was,
// and dlftool check's line and exit status for the same file.
TEST(DlfCheck, EveryKindOfFileGetsItsVerdict)
{
    const Bytes abc = Be16(5) + Be16(0x9738) + "abc";
    struct Row { const char *what; Bytes file; DlfVerdict verdict; const char *line; };
    const Row rows[] = {
        {"abc, the CRC over three bytes", abc, DLF_OK, "ok size=0x0005 stored=0x9738 computed=0x9738 covered=3 total=7"},
        {"an empty covered area", Be16(2) + Be16(0), DLF_OK, "ok size=0x0002 stored=0x0000 computed=0x0000 covered=0 total=4"},
        {"bytes after the covered area", abc + "tail", DLF_OK, "ok size=0x0005 stored=0x9738 computed=0x9738 covered=3 total=11"},
        {"a changed byte after the covered area", abc + "tAil", DLF_OK, "ok "},
        {"a changed byte inside it", Be16(5) + Be16(0x9738) + "abd", DLF_CRC_MISMATCH, "FAIL (CRC mismatch) size=0x0005 stored=0x9738 computed="},
        {"the CRC stored little-endian", Be16(5) + Be16(0x3897) + "abc", DLF_CRC_LITTLE_ENDIAN, "FAIL (CRC stored little-endian)"},
        {"three bytes", Bytes("\0\5\x97", 3), DLF_TOO_SHORT, "FAIL (too short) size=- stored=- computed=- covered=- total=3"},
        {"an empty file", "", DLF_TOO_SHORT, "FAIL (too short)"},
        {"a covered area cut short", Be16(6) + Be16(0x9738) + "abc", DLF_TRUNCATED, "FAIL (truncated covered area) size=0x0006 stored=0x9738 computed=- covered=4 total=7"},
        {"a size field of 1 wraps to 65535", Be16(1) + Be16(0) + Bytes(100, 'x'), DLF_TRUNCATED, "FAIL (truncated covered area) size=0x0001 stored=0x0000 computed=- covered=65535"},
    };
    Scratch s;
    for (const Row &r : rows) {
        std::string path = s / "f.dlf";
        std::ofstream(path, std::ios::binary) << r.file;
        FILE *f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        fseek(f, 1, SEEK_SET);
        DLFINFO info;
        EXPECT_EQ(DlfInspect(f, &info), r.verdict) << r.what;
        EXPECT_EQ(DlfHeaderCheck(f), r.verdict == DLF_OK) << r.what;
        EXPECT_EQ(ftell(f), 1) << r.what;
        fclose(f);
        Outcome o = RunTool({kBin + "/dlftool", "check", path}, s);
        EXPECT_EQ(o.code, r.verdict == DLF_OK ? 0 : 1) << r.what;
        EXPECT_EQ(o.out.find(path + ": " + r.line), 0u) << r.what << "\n" << o.out;
        if (r.verdict == DLF_OK) {                     // info gives the same figures, unjudged
            EXPECT_EQ(RunTool({kBin + "/dlftool", "info", path}, s).out, std::string(o.out).erase(path.size() + 2, 3));
        }
    }
    EXPECT_EQ(DlfInspect(nullptr, nullptr), DLF_READ_ERROR);
}

// What dlftool make cannot cover is refused, and nothing is written.
TEST(DlfTool, MakeRefusesWhatAHeaderCannotCover)
{
    Scratch s;
    const std::vector<std::string> refused[] = {
        {"--sample", "65534"},                          // one byte more than a header covers
        {"--sample", "3", "--cover", "4"},              // more than the payload
        {"--sample", "3", "--cover", "1e3"},
        {},
    };
    for (std::vector<std::string> args : refused) {
        args.insert(args.begin(), {kBin + "/dlftool", "make", "-o", s / "x.dlf"});
        Outcome o = RunTool(args, s);
        EXPECT_TRUE(o.code == 2 && !o.err.empty()) << o.err;
    }
    EXPECT_NE(access((s / "x.dlf").c_str(), F_OK), 0);
    EXPECT_EQ(RunTool({kBin + "/dlftool", "check", s / "missing.dlf"}, s).code, 1);
}

} // namespace
