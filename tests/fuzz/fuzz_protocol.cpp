// Fuzzes the per-byte protocol step: a file of any length and any byte
// stream from the target. Whatever the target sends, the PC must never send
// a byte from outside the file, and the machine must stay in its 17 states.
//
// Input: two bytes of file length (0..65535), then the target's bytes.
#include "core/core.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : (std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__), std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint32_t dwLength = (uint32_t)((data[0] << 8) | data[1]);
    data += 2;
    size -= 2;
    // Exactly the file's size, so that AddressSanitizer catches any read
    // past it; a file of length 0 has no buffer at all.
    std::unique_ptr<unsigned char[]> file(dwLength ? new unsigned char[dwLength] : nullptr);
    for (uint32_t i = 0; i < dwLength; i++)
        file[i] = (unsigned char)(i * 131u + 7u);

    DLSTATE s;
    DlInit(&s);
    for (size_t i = 0; i < size; i++) {
        const int iBefore = s.iStep;
        const uint32_t dwPos = s.dwFilePos;
        DLSTEP step;
        DlStepByte(&s, file.get(), dwLength, data[i], &step);
        FUZZ_CHECK(s.iStep >= 0 && s.iStep <= 16 && step.nEffects >= 0 && step.nEffects <= 4);

        // A data byte goes out only for an ACK in state 14, and then it is
        // the file's byte at the position the machine kept.
        const bool fData = iBefore == 14 && data[i] == DL_ACK;
        int nSends = 0;
        for (int k = 0; k < step.nEffects; k++) {
            const DLEFFECT &e = step.aEffect[k];
            switch (e.kind) {
            case DLE_SEND:
                nSends++;
                FUZZ_CHECK(fData ? dwPos < dwLength && e.value == file[dwPos] && s.dwFilePos == dwPos + 1
                                 : e.value == DL_ACK || e.value == DL_STX || e.value == DL_ETX || e.value == DL_CONNECT_ANSWER);
                break;
            case DLE_PROGRESS:
                FUZZ_CHECK(fData && e.value <= 99 && (int)e.value == s.iProgress);
                break;
            case DLE_COMPLETE:
                FUZZ_CHECK(iBefore == 7 && data[i] == DL_COMPLETE && s.iStep == 0);
                break;
            case DLE_BLOCK:
                FUZZ_CHECK(iBefore == 13 && s.iStep == 14 && e.value >= 1 && s.dwDataOffset + e.value <= dwLength);
                break;
            case DLE_REFUSED:
                FUZZ_CHECK(iBefore == 13 && s.iStep == 0);
                break;
            }
        }
        // One data byte for an ACK in a block; no answer longer than two bytes
        // (ACK, STX); while a block is open, its next byte lies inside the file.
        FUZZ_CHECK((!fData || nSends == 1) && nSends <= 2 && (s.iStep != 14 || s.dwFilePos < dwLength));
    }
    return 0;
}
