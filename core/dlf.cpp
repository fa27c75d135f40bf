// DLF download files: the CRC-16/ARC and the header check.
//
// A DLF file starts with a 4-byte header, both fields big-endian:
//   offset 0  wSize   bytes after this field that the header covers: the CRC
//                     field itself plus the covered area (covered = wSize - 2,
//                     in 16-bit arithmetic)
//   offset 2  wCrc16  CRC-16/ARC of the covered area
//   offset 4  the covered area, then any further bytes (sent, but not covered)
//
// Only plain C++ and stdio here: this file is built into the Windows program
// and into the native host tools alike.
#include "core/core.h"

#include <cstdlib>

// Reflected CRC-16, polynomial 0x8005 (0xA001 reflected): entry i is i shifted
// right eight times, XORed with 0xA001 whenever a 1 bit was shifted out.
extern const uint16_t _crc16Tbl[256] = {
    0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241,
    0xC601, 0x06C0, 0x0780, 0xC741, 0x0500, 0xC5C1, 0xC481, 0x0440,
    0xCC01, 0x0CC0, 0x0D80, 0xCD41, 0x0F00, 0xCFC1, 0xCE81, 0x0E40,
    0x0A00, 0xCAC1, 0xCB81, 0x0B40, 0xC901, 0x09C0, 0x0880, 0xC841,
    0xD801, 0x18C0, 0x1980, 0xD941, 0x1B00, 0xDBC1, 0xDA81, 0x1A40,
    0x1E00, 0xDEC1, 0xDF81, 0x1F40, 0xDD01, 0x1DC0, 0x1C80, 0xDC41,
    0x1400, 0xD4C1, 0xD581, 0x1540, 0xD701, 0x17C0, 0x1680, 0xD641,
    0xD201, 0x12C0, 0x1380, 0xD341, 0x1100, 0xD1C1, 0xD081, 0x1040,
    0xF001, 0x30C0, 0x3180, 0xF141, 0x3300, 0xF3C1, 0xF281, 0x3240,
    0x3600, 0xF6C1, 0xF781, 0x3740, 0xF501, 0x35C0, 0x3480, 0xF441,
    0x3C00, 0xFCC1, 0xFD81, 0x3D40, 0xFF01, 0x3FC0, 0x3E80, 0xFE41,
    0xFA01, 0x3AC0, 0x3B80, 0xFB41, 0x3900, 0xF9C1, 0xF881, 0x3840,
    0x2800, 0xE8C1, 0xE981, 0x2940, 0xEB01, 0x2BC0, 0x2A80, 0xEA41,
    0xEE01, 0x2EC0, 0x2F80, 0xEF41, 0x2D00, 0xEDC1, 0xEC81, 0x2C40,
    0xE401, 0x24C0, 0x2580, 0xE541, 0x2700, 0xE7C1, 0xE681, 0x2640,
    0x2200, 0xE2C1, 0xE381, 0x2340, 0xE101, 0x21C0, 0x2080, 0xE041,
    0xA001, 0x60C0, 0x6180, 0xA141, 0x6300, 0xA3C1, 0xA281, 0x6240,
    0x6600, 0xA6C1, 0xA781, 0x6740, 0xA501, 0x65C0, 0x6480, 0xA441,
    0x6C00, 0xACC1, 0xAD81, 0x6D40, 0xAF01, 0x6FC0, 0x6E80, 0xAE41,
    0xAA01, 0x6AC0, 0x6B80, 0xAB41, 0x6900, 0xA9C1, 0xA881, 0x6840,
    0x7800, 0xB8C1, 0xB981, 0x7940, 0xBB01, 0x7BC0, 0x7A80, 0xBA41,
    0xBE01, 0x7EC0, 0x7F80, 0xBF41, 0x7D00, 0xBDC1, 0xBC81, 0x7C40,
    0xB401, 0x74C0, 0x7580, 0xB541, 0x7700, 0xB7C1, 0xB681, 0x7640,
    0x7200, 0xB2C1, 0xB381, 0x7340, 0xB101, 0x71C0, 0x7080, 0xB041,
    0x5000, 0x90C1, 0x9181, 0x5140, 0x9301, 0x53C0, 0x5280, 0x9241,
    0x9601, 0x56C0, 0x5780, 0x9741, 0x5500, 0x95C1, 0x9481, 0x5440,
    0x9C01, 0x5CC0, 0x5D80, 0x9D41, 0x5F00, 0x9FC1, 0x9E81, 0x5E40,
    0x5A00, 0x9AC1, 0x9B81, 0x5B40, 0x9901, 0x59C0, 0x5880, 0x9841,
    0x8801, 0x48C0, 0x4980, 0x8941, 0x4B00, 0x8BC1, 0x8A81, 0x4A40,
    0x4E00, 0x8EC1, 0x8F81, 0x4F40, 0x8D01, 0x4DC0, 0x4C80, 0x8C41,
    0x4400, 0x84C1, 0x8581, 0x4540, 0x8701, 0x47C0, 0x4680, 0x8641,
    0x8201, 0x42C0, 0x4380, 0x8341, 0x4100, 0x81C1, 0x8081, 0x4040,
};

uint16_t GetCrc16(const unsigned char *p, uint16_t n)
{
    uint16_t crc = 0;
    for (uint16_t i = 0; i < n; i++)
        crc = static_cast<uint16_t>((crc >> 8) ^ _crc16Tbl[(crc ^ p[i]) & 0xFF]);
    return crc;
}

namespace {

const long kHeaderLen = 4;

uint16_t BigEndian16(const unsigned char *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Reads exactly n bytes. A short count is told apart from a stream error, so
// that a file that simply ends early is reported as such.
DlfVerdict ReadExactly(FILE *fstream, unsigned char *p, size_t n, DlfVerdict short_verdict)
{
    if (n == 0)
        return DLF_OK;
    size_t got = std::fread(p, 1, n, fstream);
    if (got == n)
        return DLF_OK;
    return std::ferror(fstream) ? DLF_READ_ERROR : short_verdict;
}

// Reads the 4 header bytes into pInfo; the verdict for the file so far.
DlfVerdict JudgeHeader(const unsigned char *header, long lTotal, DLFINFO *pInfo)
{
    pInfo->lTotal = lTotal;
    if (lTotal < kHeaderLen)
        return DLF_TOO_SHORT;
    pInfo->wSize = BigEndian16(header);
    pInfo->wCrcStored = BigEndian16(header + 2);
    // A stored size of 0 or 1 wraps round to 65534 or 65535 covered bytes.
    pInfo->wCovered = static_cast<uint16_t>(pInfo->wSize - 2);
    return lTotal - kHeaderLen < static_cast<long>(pInfo->wCovered) ? DLF_TRUNCATED : DLF_OK;
}

// Compares the stored CRC with the covered area's.
DlfVerdict JudgeCrc(const unsigned char *pCovered, DLFINFO *pInfo)
{
    pInfo->wCrcComputed = GetCrc16(pCovered, pInfo->wCovered);
    if (pInfo->wCrcComputed == pInfo->wCrcStored)
        return DLF_OK;
    uint16_t wSwapped = static_cast<uint16_t>((pInfo->wCrcStored >> 8) | (pInfo->wCrcStored << 8));
    if (wSwapped == pInfo->wCrcComputed && (pInfo->wCrcStored >> 8) != (pInfo->wCrcStored & 0xFF))
        return DLF_CRC_LITTLE_ENDIAN;
    return DLF_CRC_MISMATCH;
}

// Everything after the entry position has been taken; the caller restores it.
DlfVerdict InspectFromStart(FILE *fstream, DLFINFO *pInfo)
{
    if (std::fseek(fstream, 0, SEEK_END) != 0)
        return DLF_READ_ERROR;
    long lTotal = std::ftell(fstream);
    if (lTotal < 0)
        return DLF_READ_ERROR;
    unsigned char header[kHeaderLen] = {};
    if (lTotal >= kHeaderLen) {
        if (std::fseek(fstream, 0, SEEK_SET) != 0)
            return DLF_READ_ERROR;
        DlfVerdict v = ReadExactly(fstream, header, sizeof header, DLF_TOO_SHORT);
        if (v != DLF_OK)
            return v;
    }
    DlfVerdict v = JudgeHeader(header, lTotal, pInfo);
    if (v != DLF_OK)
        return v;
    // One spare byte so that an empty covered area is still a real allocation.
    unsigned char *pBuf = static_cast<unsigned char *>(std::malloc(pInfo->wCovered + 1u));
    if (pBuf == nullptr)
        return DLF_NO_MEMORY;
    // The file may have shrunk since its length was taken: the read count
    // decides, never the length figure alone.
    v = ReadExactly(fstream, pBuf, pInfo->wCovered, DLF_TRUNCATED);
    if (v == DLF_OK)
        v = JudgeCrc(pBuf, pInfo);
    std::free(pBuf);
    return v;
}

}  // namespace

DlfVerdict DlfInspect(FILE *fstream, DLFINFO *pInfo)
{
    DLFINFO info = {};
    info.verdict = DLF_READ_ERROR;
    if (fstream != nullptr) {
        long lStart = std::ftell(fstream);
        // Without a known position it could not be given back; leave the
        // stream untouched and refuse.
        if (lStart >= 0) {
            info.verdict = InspectFromStart(fstream, &info);
            // Seeking also clears the end-of-file flag the reads may have set.
            if (std::fseek(fstream, lStart, SEEK_SET) != 0 && info.verdict == DLF_OK)
                info.verdict = DLF_READ_ERROR;
        }
    }
    if (pInfo != nullptr)
        *pInfo = info;
    return info.verdict;
}

DlfVerdict DlfInspectBytes(const unsigned char *p, size_t n, DLFINFO *pInfo)
{
    DLFINFO info = {};
    info.verdict = JudgeHeader(p, static_cast<long>(n), &info);
    if (info.verdict == DLF_OK)
        info.verdict = JudgeCrc(p + kHeaderLen, &info);
    if (pInfo != nullptr)
        *pInfo = info;
    return info.verdict;
}

int DlfHeaderCheck(FILE *fstream)
{
    return DlfInspect(fstream, nullptr) == DLF_OK ? 1 : 0;
}

const char *DlfVerdictText(DlfVerdict verdict)
{
    switch (verdict) {
    case DLF_OK:                return "ok";
    case DLF_TOO_SHORT:         return "too short";
    case DLF_TRUNCATED:         return "truncated covered area";
    case DLF_CRC_MISMATCH:      return "CRC mismatch";
    case DLF_CRC_LITTLE_ENDIAN: return "CRC stored little-endian";
    case DLF_NO_MEMORY:         return "out of memory";
    case DLF_READ_ERROR:        return "read error";
    }
    return "unknown verdict";
}
