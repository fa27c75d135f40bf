// The portable core: what Kelvo.exe, kelvo-cli, dlftool, dlfsim, the
// benchmarks and the fuzzers share. Plain C++ over bytes, no windows.h and
// no POSIX: the DLF file check, the PC side of the download protocol as a
// pure step, the SHA-256 that names an image, the reset sequences of DTR
// and RTS, and kelvo-cli's serving session with its per-board record.
// This header is all that the other folders may call here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// DLF download files: the CRC-16/ARC and the header check.
// Plain C++ over bytes and stdio streams, no windows.h: Kelvo, dlftool,
// kelvo-cli and the fuzzers compile this very code.

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

// ----------------------------------------------------------------------------

// The PC side of the download protocol as a pure step function.
// No windows.h: the watch thread, kelvo-cli and the fuzzer call the same code.
// The caller feeds every received byte to DlStepByte and carries out the
// effects it returns, in order.

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

// ----------------------------------------------------------------------------

// SHA-256 of a block of bytes, for the per-board record: the image a board
// received is named by its digest. Plain C++, no system headers.

// The digest of n bytes at p as 64 lowercase hex digits and a NUL.
void Sha256Hex(const unsigned char *p, size_t n, char szHex[65]);

// ----------------------------------------------------------------------------

// Reset sequences: DTR and RTS levels and pauses that put a target into its
// boot ROM's download mode without a hand on the board. Parsing only; the
// port layer applies the steps. Plain C++, no system headers.

// One step: the levels to set together (1 asserted, 0 released, -1 left as
// they are), then the pause before the next step.
struct LINESTEP {
    int dtr;
    int rts;
    int msPause;
};

// A named sequence for a common wiring.
struct LINEPRESET {
    const char *pszName;
    const char *pszSequence;     // in the spelled-out form
};
extern const LINEPRESET aLinePreset[3];

// Parses a preset's name or a spelled-out sequence: comma-separated items
// dtr=0|1, rts=0|1 and pauses like 100ms. Levels without a pause between
// them are set together. False with the reason in szWhy when it is not one.
bool ParseLineSeq(const char *psz, std::vector<LINESTEP> *pSteps, char *szWhy, size_t cb);

// ----------------------------------------------------------------------------

// A serving session: one port's targets served board after board by
// kelvo-cli. The port layer moves the bytes and keeps the clock; the session
// keeps the protocol state, the answers the port has still to take, what was
// served, and makes the outcome's texts and the per-board record.

// The outcome of a board, and the exit status of a run.
enum {
    EXIT_DONE = 0,          // the target reported completion
    EXIT_IO = 1,            // a port, a transcript or the report could not be opened, read or written
    EXIT_USAGE = 2,         // bad arguments, or a file that cannot be served
    EXIT_TIMEOUT = 3,       // the target stayed silent for --timeout seconds
    EXIT_GONE = 4,          // the device went away during the session
    EXIT_INTERRUPTED = 130  // the run was interrupted (Ctrl+C, a signal to end)
};

// How serious an outcome is (a run ends with the most serious one), which
// of two is worse, and the word for the tables and the record.
int Severity(int rc);
int Worse(int a, int b);
const char *ResultWord(int rc);

struct SESSION {
    DLSTATE state;
    std::vector<unsigned char> out;   // answers the port has not taken yet
    std::vector<unsigned char> sent;  // a bit per byte of the file: sent at least once
    uint32_t dwServed;     // data bytes sent, a block asked for again counted again
    uint32_t dwDistinct;   // bytes of the file sent at least once
    int nBlocks;           // block requests accepted
    bool bBegun;           // the target has begun a handshake
    int iPercent;          // the last percentage reported
};

// What one byte of the target did, beyond the answers it queued.
struct SESSIONSTEP {
    bool bBegan;             // the session's first handshake byte
    int iProgress;           // the new percentage; -1: unchanged
    uint32_t dwBlockLength;  // a block request accepted: its length (0: none)
    uint32_t dwBlockOffset;  //   and its offset
    bool bRefused;           // a request past the end of the file, ignored
    uint32_t dwRefusedAt;    //   at this offset
    bool bComplete;          // the target reported completion
};

// Starts a session on a file of cbImage bytes.
void SessionBegin(SESSION *s, size_t cbImage);

// Runs the target's byte b through the protocol step: its answers go to
// s->out, the rest is told in *pStep.
void SessionByte(SESSION *s, const unsigned char *pbImage, uint32_t cbImage, unsigned char b,
                 SESSIONSTEP *pStep);

// Why a board ended other than by its completion:
// "REASON while STEP; served N of M bytes" (N: bytes of the file sent).
std::string SessionReason(const SESSION *s, const char *pszReason, size_t cbImage);

// Who a port is: the name that stays with the adapter (a link in
// /dev/serial/by-id or by-path) and, for a USB adapter, what it says of
// itself. The port layer finds it; the record carries it.
struct PORTID {
    std::string stable;          // by-id link, else by-path link, else empty
    bool bUsb = false;           // the fields below were found
    std::string vendor, product; // idVendor, idProduct: four hex digits each
    std::string serial, manufacturer, name;   // empty where the device has none
};

// One board's record (kelvo-cli --report). Empty strings are written as
// null where a field may be missing (stable, reset, the adapter's serial,
// manufacturer and name).
struct BOARDRECORD {
    std::string time;        // UTC, "2026-12-08T01:31:25.075Z"
    std::string host;
    int board;
    std::string port;
    PORTID id;
    std::string file;
    size_t fileBytes;
    uint16_t wCrc;           // the header CRC as stored
    std::string sha256;
    uint32_t bytes;
    int blocks;
    double seconds;
    std::string reset;
    int rc;
    std::string reason;
};

// The record as one line of JSON, newline included.
std::string BoardRecordLine(const BOARDRECORD &rec);

// s as a JSON string: quotes, backslashes and control characters escaped,
// and any byte that is not part of well-formed UTF-8 (a file name may hold
// such) written as the character of its value, so that every line parses.
std::string JsonString(const std::string &s);
