// DLF download files: the CRC-16/ARC and the header check.
// Plain C++ over bytes and stdio streams, no windows.h: Kelvo, dlftool,
// kelvo-cli and the fuzzers compile this very code.
#pragma once
#include <cstdint>
#include <cstdio>

// Byte-wise lookup table of the reflected CRC-16, polynomial 0x8005 (0xA001).
extern const uint16_t _crc16Tbl[256];

// CRC-16/ARC of n bytes: initial value 0, no final XOR. n == 0 gives 0.
uint16_t GetCrc16(const unsigned char *p, uint16_t n);

// What the header check found. Everything but DLF_OK refuses the file.
enum DlfVerdict {
    DLF_OK = 0,
    DLF_TOO_SHORT,          // fewer than the 4 header bytes
    DLF_TRUNCATED,          // the file ends inside the covered area
    DLF_CRC_MISMATCH,       // the stored CRC is not the CRC of the covered area
    DLF_CRC_LITTLE_ENDIAN,  // the stored CRC is right, but with its bytes swapped
    DLF_NO_MEMORY,          // no memory for the covered area
    DLF_READ_ERROR          // the stream could not be positioned or read
};

// The figures of a DLF header. Fields that the file does not reach stay 0.
struct DLFINFO {
    long     lTotal;        // length of the whole file in bytes
    uint16_t wSize;         // the size field: CRC field plus covered area
    uint16_t wCrcStored;    // the CRC field as stored (big-endian)
    uint16_t wCrcComputed;  // CRC of the covered area (valid unless too short or truncated)
    uint16_t wCovered;      // covered length: wSize - 2 in 16-bit arithmetic
    DlfVerdict verdict;
};

// Examines a stream opened for binary reading. The stream's position is the
// same on return as on entry, whatever the outcome.
DlfVerdict DlfInspect(FILE *fstream, DLFINFO *pInfo);

// The same for a whole file already in memory: n bytes at p.
DlfVerdict DlfInspectBytes(const unsigned char *p, size_t n, DLFINFO *pInfo);

// 1 when the stored CRC matches the covered area, 0 for any failure.
// The stream's position is restored on every return.
int DlfHeaderCheck(FILE *fstream);

// A short English text for a verdict ("CRC mismatch", ...).
const char *DlfVerdictText(DlfVerdict verdict);
