// Fuzzes the DLF header check: the input is the whole file. DlfInspect must
// agree with an independent bit-wise reading of the header, never read
// outside the stream, and leave the stream where it found it.
#include "core/core.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : (std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__), std::abort()))

static uint16_t BitwiseCrc16(const uint8_t *p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *fp = std::tmpfile();
    FUZZ_CHECK(fp && std::fwrite(data, 1, size, fp) == size);
    // Start somewhere in the file (the loader's stream may stand anywhere).
    long lStart = size ? (long)(data[0] % (size + 1)) : 0;
    FUZZ_CHECK(std::fseek(fp, lStart, SEEK_SET) == 0);

    DLFINFO info;
    DlfVerdict v = DlfInspect(fp, &info);
    FUZZ_CHECK(std::ftell(fp) == lStart && info.verdict == v && info.lTotal == (long)size);

    if (size < 4) {
        FUZZ_CHECK(v == DLF_TOO_SHORT);
    } else {
        uint16_t wSize = (uint16_t)((data[0] << 8) | data[1]);
        uint16_t wStored = (uint16_t)((data[2] << 8) | data[3]);
        uint16_t wCovered = (uint16_t)(wSize - 2);
        FUZZ_CHECK(info.wSize == wSize && info.wCrcStored == wStored && info.wCovered == wCovered);
        if (size - 4 < wCovered) {
            FUZZ_CHECK(v == DLF_TRUNCATED);
        } else {
            uint16_t wCrc = BitwiseCrc16(data + 4, wCovered);
            FUZZ_CHECK(info.wCrcComputed == wCrc && (v == DLF_OK) == (wCrc == wStored));
            FUZZ_CHECK(v == DLF_OK || v == DLF_CRC_MISMATCH || v == DLF_CRC_LITTLE_ENDIAN);
        }
    }

    // The yes/no check agrees and also puts the stream back.
    FUZZ_CHECK(DlfHeaderCheck(fp) == (v == DLF_OK ? 1 : 0) && std::ftell(fp) == lStart);
    // The check of a file in memory (the loader's) gives the same verdict.
    FUZZ_CHECK(DlfInspectBytes(data, size, nullptr) == v);
    std::fclose(fp);
    return 0;
}
