// The PC side of the download protocol, one received byte at a time.
//
// The target leads. Connect handshake: it sends 02 40 03, each answered by
// 06; after the 06 for the 03 the PC sends 02, then 41 and 03, each only after
// the target's 06; the target's 06 for that 03 ends the handshake (state 6).
// Block request: 02 42 len(2, big-endian) offset(3, big-endian) 03, each byte
// answered by 06; then 02, then one file byte per 06 from the target, then 03
// after the 06 for the last byte; the target's 06 for that 03 ends the block.
// Completion: 02 43, answered by 06.
#include "core/core.h"

namespace {

void Emit(DLSTEP *out, DlEffectKind kind, uint32_t value)
{
    if (out->nEffects < (int)(sizeof out->aEffect / sizeof out->aEffect[0]))
        out->aEffect[out->nEffects++] = DLEFFECT{kind, value};
}

// Examines b in the current state. Returns false for a reset: the caller then
// examines the same byte again in state 0. Effects emitted before a reset
// (the completion's answer) stand.
bool Examine(DLSTATE *s, const unsigned char *pbFile, uint32_t dwFileLength,
             unsigned char b, DLSTEP *out)
{
    switch (s->iStep) {
    case 0:
        if (b == DL_STX) { Emit(out, DLE_SEND, DL_ACK); s->iStep = 1; }
        return true;                          // anything else is dropped
    case 1:
        if (b != DL_CONNECT) return false;
        Emit(out, DLE_SEND, DL_ACK); s->iStep = 2;
        return true;
    case 2:
        if (b != DL_ETX) return false;
        Emit(out, DLE_SEND, DL_ACK); Emit(out, DLE_SEND, DL_STX); s->iStep = 3;
        return true;
    case 3:
        if (b != DL_ACK) return false;
        Emit(out, DLE_SEND, DL_CONNECT_ANSWER); s->iStep = 4;
        return true;
    case 4:
        if (b != DL_ACK) return false;
        Emit(out, DLE_SEND, DL_ETX); s->iStep = 5;
        return true;
    case 5:
        if (b != DL_ACK) return false;
        s->iStep = 6;
        return true;
    case 6:
        if (b != DL_STX) return false;
        Emit(out, DLE_SEND, DL_ACK); s->iStep = 7;
        return true;
    case 7:
        if (b == DL_REQUEST) {
            Emit(out, DLE_SEND, DL_ACK); s->iStep = 8;
            return true;
        }
        if (b == DL_COMPLETE) {
            // Acknowledge and report completion; the reset sends this same
            // byte through state 0 once more, where it is dropped.
            Emit(out, DLE_SEND, DL_ACK);
            s->iProgress = 100;
            Emit(out, DLE_COMPLETE, 100);
            return false;
        }
        return false;
    case 8:
        s->wNumOfData = b;
        Emit(out, DLE_SEND, DL_ACK); s->iStep = 9;
        return true;
    case 9:
        s->wNumOfData = (uint16_t)(s->wNumOfData * 256u + b);
        Emit(out, DLE_SEND, DL_ACK); s->iStep = 10;
        return true;
    case 10:
        s->dwDataOffset = b;
        Emit(out, DLE_SEND, DL_ACK); s->iStep = 11;
        return true;
    case 11:
    case 12:
        s->dwDataOffset = s->dwDataOffset * 256u + b;
        Emit(out, DLE_SEND, DL_ACK); s->iStep++;
        return true;
    case 13: {
        if (b != DL_ETX) return false;
        // A block always carries at least one byte. A request that reaches
        // past the loaded file is not served at all: answering it would mean
        // sending bytes from outside the file. Treat it as a reset, so the
        // target sees no answer.
        uint32_t dwNeed = s->wNumOfData ? s->wNumOfData : 1u;
        if (s->dwDataOffset >= dwFileLength || dwNeed > dwFileLength - s->dwDataOffset) {
            Emit(out, DLE_REFUSED, s->dwDataOffset);
            return false;
        }
        Emit(out, DLE_SEND, DL_ACK); Emit(out, DLE_SEND, DL_STX);
        Emit(out, DLE_BLOCK, dwNeed);
        s->cwData = 0;
        s->dwFilePos = s->dwDataOffset;
        s->iStep = 14;
        return true;
    }
    case 14: {
        if (b != DL_ACK) return false;
        Emit(out, DLE_SEND, pbFile[s->dwFilePos]);
        s->dwFilePos++;
        // The share of the file before the byte just sent, from its position.
        uint32_t dwPercent = (uint32_t)((s->cwData + s->dwDataOffset) * 100u) / dwFileLength;
        if ((int)dwPercent != s->iProgress) {
            s->iProgress = (int)dwPercent;
            Emit(out, DLE_PROGRESS, dwPercent);
        }
        s->cwData++;
        s->iStep = (s->cwData >= s->wNumOfData) ? 15 : 14;
        return true;
    }
    case 15:
        if (b != DL_ACK) return false;
        Emit(out, DLE_SEND, DL_ETX); s->iStep = 16;
        return true;
    case 16:
        if (b != DL_ACK) return false;
        s->iStep = 6;
        return true;
    default:
        return false;
    }
}

} // namespace

void DlInit(DLSTATE *s)
{
    *s = DLSTATE{};
    s->iStep = 0;
    s->iProgress = -1;
}

void DlStepByte(DLSTATE *s, const unsigned char *pbFile, uint32_t dwFileLength,
                unsigned char b, DLSTEP *out)
{
    out->nEffects = 0;
    if (!Examine(s, pbFile, dwFileLength, b, out)) {
        s->iStep = 0;                          // state 0 never refuses a byte
        Examine(s, pbFile, dwFileLength, b, out);
    }
}

const char *DlStepName(int iStep)
{
    static const char *const aName[] = {
        "waiting for the target's STX",           // 0
        "handshake: waiting for 0x40",            // 1
        "handshake: waiting for ETX",             // 2
        "handshake: waiting for ACK of STX",      // 3
        "handshake: waiting for ACK of 0x41",     // 4
        "handshake: waiting for ACK of ETX",      // 5
        "waiting for a request's STX",            // 6
        "waiting for 0x42 or 0x43",               // 7
        "request: waiting for length high byte",  // 8
        "request: waiting for length low byte",   // 9
        "request: waiting for offset byte 1",     // 10
        "request: waiting for offset byte 2",     // 11
        "request: waiting for offset byte 3",     // 12
        "request: waiting for ETX",               // 13
        "block: waiting for ACK of a data byte",  // 14
        "block: waiting for ACK of the last byte",// 15
        "block: waiting for ACK of ETX",          // 16
    };
    return (iStep >= 0 && iStep <= 16) ? aName[iStep] : "unknown state";
}
