// The PC side of the download protocol as a pure step function.
// No windows.h: the watch thread, kelvo-cli and the fuzzer call the same code.
// The caller feeds every received byte to DlStepByte and carries out the
// effects it returns, in order.
#pragma once
#include <cstdint>

enum {
    DL_STX = 0x02, DL_ETX = 0x03, DL_ACK = 0x06,
    DL_CONNECT = 0x40, DL_CONNECT_ANSWER = 0x41,
    DL_REQUEST = 0x42, DL_COMPLETE = 0x43
};

// State of one session; the watch thread keeps one for its whole life.
struct DLSTATE {
    int      iStep;         // 0..16
    uint16_t wNumOfData;    // block length of the current request
    uint32_t dwDataOffset;  // block offset of the current request (24 bits)
    uint16_t cwData;        // data bytes of the current block sent so far
    uint32_t dwFilePos;     // offset in the file of the next byte to send
    int      iProgress;     // last percentage reported; -1 at start
};

enum DlEffectKind {
    DLE_SEND,       // send the byte in value
    DLE_PROGRESS,   // the integer percentage changed to value
    DLE_COMPLETE,   // the target reported completion: end the session
    DLE_BLOCK,      // a block request was accepted (value: its length, at least 1)
    DLE_REFUSED     // a request reaching past the file was treated as a reset
};

struct DLEFFECT {
    DlEffectKind kind;
    uint32_t     value;
};

// What examining one received byte asks for, in order.
struct DLSTEP {
    int      nEffects;
    DLEFFECT aEffect[4];
};

void DlInit(DLSTATE *s);

// Examines byte b in the current state. A byte that does not fit resets the
// machine to state 0 and is examined once more there. pbFile/dwFileLength are
// the loaded file; no byte outside it is ever sent: a request that reaches
// past its end is treated as a reset.
void DlStepByte(DLSTATE *s, const unsigned char *pbFile, uint32_t dwFileLength,
                unsigned char b, DLSTEP *out);

// A short name for a state, for diagnostics ("waiting for STX", ...).
const char *DlStepName(int iStep);
