// The CRC-16 and the DLF header check, on real files in a temporary directory.
#include "download/dlf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// Bit-at-a-time CRC-16/ARC, independent of the table.
uint16_t BitwiseCrc16(const unsigned char *p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

Bytes PseudoRandom(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<unsigned char>(seed >> 16);
    }
    return b;
}

// A DLF image: big-endian size and CRC fields, then the body.
Bytes Dlf(uint16_t wSize, uint16_t wCrc, const Bytes &body)
{
    Bytes b(4 + body.size());
    b[0] = static_cast<unsigned char>(wSize >> 8);
    b[1] = static_cast<unsigned char>(wSize);
    b[2] = static_cast<unsigned char>(wCrc >> 8);
    b[3] = static_cast<unsigned char>(wCrc);
    std::copy(body.begin(), body.end(), b.begin() + 4);
    return b;
}

class DlfFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = ::testing::TempDir() + "kelvo_dlf_XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir_ = buf.data();
    }
    void TearDown() override
    {
        for (const std::string &p : written_)
            std::remove(p.c_str());
        rmdir(dir_.c_str());
    }
    // Writes the bytes to a fresh file and opens it for binary reading.
    FILE *Open(const Bytes &content)
    {
        std::string path = dir_ + "/f" + std::to_string(written_.size()) + ".dlf";
        written_.push_back(path);
        FILE *w = std::fopen(path.c_str(), "wb");
        EXPECT_NE(w, nullptr);
        if (w == nullptr)
            return nullptr;
        if (!content.empty()) {
            EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), w), content.size());
        }
        EXPECT_EQ(std::fclose(w), 0);
        FILE *f = std::fopen(path.c_str(), "rb");
        EXPECT_NE(f, nullptr);
        return f;
    }
    // Inspects the file and also runs the plain check, which must agree.
    DLFINFO Inspect(const Bytes &content)
    {
        DLFINFO info = {};
        FILE *f = Open(content);
        if (f == nullptr)
            return info;
        EXPECT_EQ(DlfInspect(f, &info), info.verdict);
        EXPECT_EQ(DlfHeaderCheck(f), info.verdict == DLF_OK ? 1 : 0);
        std::fclose(f);
        return info;
    }

    std::string dir_;
    std::vector<std::string> written_;
};

const Bytes kAbc = {'a', 'b', 'c'};

TEST(Crc16, KnownValuesAndTable)
{
    const char *check = "123456789";
    EXPECT_EQ(GetCrc16(reinterpret_cast<const unsigned char *>(check), 9), 0xBB3D);
    EXPECT_EQ(GetCrc16(kAbc.data(), 3), 0x9738);
    EXPECT_EQ(GetCrc16(nullptr, 0), 0);
    EXPECT_EQ(GetCrc16(kAbc.data(), 0), 0);

    EXPECT_EQ(_crc16Tbl[0], 0x0000);
    EXPECT_EQ(_crc16Tbl[1], 0xC0C1);
    EXPECT_EQ(_crc16Tbl[128], 0xA001);
    EXPECT_EQ(_crc16Tbl[255], 0x4040);
    // The table is written out literally; every entry must follow the rule.
    for (unsigned i = 0; i < 256; i++) {
        unsigned char b = static_cast<unsigned char>(i);
        // CRC of one byte from 0 is exactly table entry b.
        EXPECT_EQ(_crc16Tbl[i], BitwiseCrc16(&b, 1)) << "entry " << i;
    }
}

TEST(Crc16, LongBuffersMatchBitwiseReference)
{
    Bytes data = PseudoRandom(65535, 7);
    EXPECT_EQ(GetCrc16(data.data(), 65533), BitwiseCrc16(data.data(), 65533));
    // The largest count the 16-bit length can express still ends.
    EXPECT_EQ(GetCrc16(data.data(), 65535), BitwiseCrc16(data.data(), 65535));
    for (uint16_t n : {1, 2, 255, 256, 257, 4096})
        EXPECT_EQ(GetCrc16(data.data(), n), BitwiseCrc16(data.data(), n)) << n;
}

TEST_F(DlfFile, ValidFilesPass)
{
    DLFINFO info = Inspect({0x00, 0x05, 0x97, 0x38, 'a', 'b', 'c'});
    EXPECT_EQ(info.verdict, DLF_OK);
    EXPECT_EQ(info.lTotal, 7);
    EXPECT_EQ(info.wSize, 5);
    EXPECT_EQ(info.wCovered, 3);
    EXPECT_EQ(info.wCrcStored, 0x9738);
    EXPECT_EQ(info.wCrcComputed, 0x9738);

    // Nothing covered: the CRC of no bytes is 0.
    info = Inspect({0x00, 0x02, 0x00, 0x00});
    EXPECT_EQ(info.verdict, DLF_OK);
    EXPECT_EQ(info.wCovered, 0);
    EXPECT_EQ(info.lTotal, 4);

    // Bytes after the covered area are not covered, and the file may be longer.
    info = Inspect({0x00, 0x05, 0x97, 0x38, 'a', 'b', 'c', 'x', 'y', 0xFF});
    EXPECT_EQ(info.verdict, DLF_OK);
    EXPECT_EQ(info.lTotal, 10);
    EXPECT_EQ(info.wCovered, 3);
}

TEST_F(DlfFile, CrcFaults)
{
    // The CRC's two bytes swapped: recognised as little-endian.
    DLFINFO info = Inspect({0x00, 0x05, 0x38, 0x97, 'a', 'b', 'c'});
    EXPECT_EQ(info.verdict, DLF_CRC_LITTLE_ENDIAN);
    EXPECT_EQ(info.wCrcStored, 0x3897);
    EXPECT_EQ(info.wCrcComputed, 0x9738);

    // A changed byte inside the covered area fails, one after it does not.
    EXPECT_EQ(Inspect({0x00, 0x05, 0x97, 0x38, 'a', 'B', 'c', 'x'}).verdict, DLF_CRC_MISMATCH);
    EXPECT_EQ(Inspect({0x00, 0x05, 0x97, 0x38, 'a', 'b', 'c', 'X'}).verdict, DLF_OK);
    // The size field decides the extent: covering one byte more or less fails.
    EXPECT_EQ(Inspect({0x00, 0x04, 0x97, 0x38, 'a', 'b', 'c'}).verdict, DLF_CRC_MISMATCH);
    EXPECT_EQ(Inspect({0x00, 0x06, 0x97, 0x38, 'a', 'b', 'c', 'd'}).verdict, DLF_CRC_MISMATCH);

    // Wrong CRC whose swapped form is no better: a plain mismatch.
    info = Inspect({0x00, 0x05, 0x12, 0x34, 'a', 'b', 'c'});
    EXPECT_EQ(info.verdict, DLF_CRC_MISMATCH);
    EXPECT_EQ(info.wCrcComputed, 0x9738);
}

TEST_F(DlfFile, ShortAndTruncatedFilesAreRefused)
{
    const Bytes header = {0x00, 0x02, 0x00, 0x00};
    for (size_t n = 0; n < 4; n++) {
        DLFINFO info = Inspect(Bytes(header.begin(), header.begin() + n));
        EXPECT_EQ(info.verdict, DLF_TOO_SHORT) << n << " bytes";
        EXPECT_EQ(info.lTotal, static_cast<long>(n));
    }

    // Four covered bytes promised, three present. The stored CRC is what a
    // check would compute over the bytes read, or over them plus a zero byte:
    // neither may be mistaken for a pass.
    const Bytes abc0 = {'a', 'b', 'c', 0};
    DLFINFO info = Inspect(Dlf(6, GetCrc16(kAbc.data(), 3), kAbc));
    EXPECT_EQ(info.verdict, DLF_TRUNCATED);
    EXPECT_EQ(info.wCovered, 4);
    EXPECT_EQ(info.lTotal, 7);
    EXPECT_EQ(Inspect(Dlf(6, GetCrc16(abc0.data(), 4), kAbc)).verdict, DLF_TRUNCATED);

    // A stored size of 0 or 1 wraps round to 65534 or 65535 covered bytes.
    info = Inspect(Dlf(0, 0, kAbc));
    EXPECT_EQ(info.verdict, DLF_TRUNCATED);
    EXPECT_EQ(info.wCovered, 65534);
    info = Inspect(Dlf(1, 0, {}));
    EXPECT_EQ(info.verdict, DLF_TRUNCATED);
    EXPECT_EQ(info.wCovered, 65535);

    // One byte short of a wrapped size is still truncated; complete, it passes.
    Bytes big = PseudoRandom(65535, 3);
    uint16_t crc = GetCrc16(big.data(), 65535);
    EXPECT_EQ(Inspect(Dlf(1, crc, Bytes(big.begin(), big.end() - 1))).verdict, DLF_TRUNCATED);
    info = Inspect(Dlf(1, crc, big));
    EXPECT_EQ(info.verdict, DLF_OK);
    EXPECT_EQ(info.lTotal, 65539);
    EXPECT_EQ(Inspect(Dlf(0, GetCrc16(big.data(), 65534), big)).verdict, DLF_OK);
}

TEST_F(DlfFile, StreamPositionIsRestored)
{
    const Bytes passing = {0x00, 0x05, 0x97, 0x38, 'a', 'b', 'c', 'x', 'y'};
    const Bytes failing = {0x00, 0x05, 0x97, 0x39, 'a', 'b', 'c', 'x', 'y'};
    const Bytes truncated = {0x00, 0x09, 0x97, 0x39, 'a', 'b', 'c', 'x', 'y'};
    const Bytes tooShort = {0x00, 0x05};
    for (const Bytes *content : {&passing, &failing, &truncated, &tooShort}) {
        for (long pos : {0L, 1L, static_cast<long>(content->size())}) {
            FILE *f = Open(*content);
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(std::fseek(f, pos, SEEK_SET), 0);
            DlfHeaderCheck(f);
            EXPECT_EQ(std::ftell(f), pos);
            DLFINFO info;
            DlfInspect(f, &info);
            EXPECT_EQ(std::ftell(f), pos);
            // The stream reads on from there, end-of-file included.
            int c = std::fgetc(f);
            if (pos < static_cast<long>(content->size())) {
                EXPECT_EQ(c, (*content)[pos]);
            } else {
                EXPECT_EQ(c, EOF);
            }
            std::fclose(f);
        }
    }
}

TEST_F(DlfFile, UnreadableStreamsAreRefused)
{
    DLFINFO info;
    EXPECT_EQ(DlfInspect(nullptr, &info), DLF_READ_ERROR);
    EXPECT_EQ(DlfHeaderCheck(nullptr), 0);

    // A stream open only for writing: its length is known, but reading fails.
    std::string path = dir_ + "/writeonly.dlf";
    written_.push_back(path);
    FILE *w = std::fopen(path.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    const unsigned char good[] = {0x00, 0x05, 0x97, 0x38, 'a', 'b', 'c'};
    ASSERT_EQ(std::fwrite(good, 1, sizeof good, w), sizeof good);
    ASSERT_EQ(std::fflush(w), 0);
    ASSERT_EQ(std::fseek(w, 2, SEEK_SET), 0);
    EXPECT_EQ(DlfInspect(w, &info), DLF_READ_ERROR);
    EXPECT_EQ(DlfHeaderCheck(w), 0);
    EXPECT_EQ(std::ftell(w), 2);
    std::fclose(w);

    // A pipe cannot be positioned, so it cannot be checked.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], good, sizeof good), static_cast<ssize_t>(sizeof good));
    close(fds[1]);
    FILE *p = fdopen(fds[0], "rb");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(DlfInspect(p, &info), DLF_READ_ERROR);
    EXPECT_EQ(DlfHeaderCheck(p), 0);
    std::fclose(p);
}

}  // namespace
