// The CRC-16/ARC and the DLF header check, through the library and through
// dlftool, which runs the very same check on real files. fuzz_dlf holds the
// CRC against a bit-wise one on any input.
#include "core/core.h"
#include "hostkit.h"

namespace {

using namespace hk;
typedef std::string Bytes;

Bytes Be16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }

// Known values; the longest buffer a header covers goes through every
// entry of the table.
TEST(Crc16, KnownValues)
{
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(GetCrc16(digits, 9), 0xBB3D);
    EXPECT_EQ(GetCrc16(digits, 0), 0);
    unsigned char b[65535];
    for (unsigned i = 0; i < sizeof b; i++)
        b[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    EXPECT_EQ(GetCrc16(b, 4096), 0xB495);
    EXPECT_EQ(GetCrc16(b, 65535), 0xCC9E);
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
        EXPECT_EQ(DlfInspect(f, nullptr), r.verdict) << r.what;
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
    const Args refused[] = {
        {"--sample", "65534"},                          // one byte more than a header covers
        {"--sample", "3", "--cover", "4"},              // more than the payload
        {"--sample", "3", "--cover", "1e3"}, {},
    };
    for (const Args &args : refused) {
        Outcome o = RunTool(Join({kBin + "/dlftool", "make", "-o", s / "x.dlf"}, args), s);
        EXPECT_TRUE(o.code == 2 && !o.err.empty()) << o.err;
    }
    EXPECT_NE(access((s / "x.dlf").c_str(), F_OK), 0);
    EXPECT_EQ(RunTool({kBin + "/dlftool", "check", s / "missing.dlf"}, s).code, 1);
}

} // namespace
