// The PC side of the download protocol, driven byte by byte through
// DlStepByte exactly as the watch thread drives it, and kelvo-cli's serving
// session around it: what was served, the outcomes, the record's strings.
#include "core/core.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes FileOf(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
    return b;
}

// One session: every byte from the target goes through DlStepByte and
// what it asks for is collected.
struct Session {
    Bytes file, sent;
    std::vector<int> progress;
    int completions = 0, refusals = 0;
    DLSTATE st;
    explicit Session(const Bytes &f) : file(f) { DlInit(&st); }

    Bytes Feed(const Bytes &in)
    {
        Bytes out;
        for (unsigned char b : in) {
            DLSTEP step;
            DlStepByte(&st, file.empty() ? nullptr : file.data(), static_cast<uint32_t>(file.size()), b, &step);
            for (int i = 0; i < step.nEffects; i++) {
                const DLEFFECT &e = step.aEffect[i];
                if (e.kind == DLE_SEND)
                    out.push_back(static_cast<unsigned char>(e.value));
                progress.insert(progress.end(), e.kind == DLE_PROGRESS, static_cast<int>(e.value));
                completions += e.kind == DLE_COMPLETE;
                refusals += e.kind == DLE_REFUSED;
            }
        }
        sent.insert(sent.end(), out.begin(), out.end());
        return out;
    }
};

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The handshake and the completion, the target's side and the PC's.
const Bytes kHello = {0x02, 0x40, 0x03, 0x06, 0x06, 0x06}, kHelloAnswer = {0x06, 0x06, 0x06, 0x02, 0x41, 0x03};
const Bytes kDone = {0x02, 0x43}, kDoneAnswer = {0x06, 0x06};

Bytes Acks(size_t n) { return Bytes(n, 0x06); }

Bytes Request(unsigned wLength, uint32_t dwOffset)
{
    return {0x02, 0x42, static_cast<unsigned char>(wLength >> 8), static_cast<unsigned char>(wLength),
            static_cast<unsigned char>(dwOffset >> 16), static_cast<unsigned char>(dwOffset >> 8),
            static_cast<unsigned char>(dwOffset), 0x03};
}

// The target's side of one block: the request, an ACK per data byte, one
// for the ETX and one that ends the block.
Bytes Block(unsigned wLength, uint32_t dwOffset)
{
    return Cat({Request(wLength, dwOffset), Acks((wLength ? wLength : 1u) + 2u)});
}

// The PC's side of the same block.
Bytes Served(const Bytes &file, unsigned wLength, uint32_t dwOffset)
{
    return Cat({Acks(8), {0x02}, Bytes(file.begin() + dwOffset, file.begin() + dwOffset + (wLength ? wLength : 1)), {0x03}});
}

// Whole exchanges: what the target sends, what the PC must answer, how
// many completions and refusals it reports and the state it is left in. A
// request reaching past the file is refused: everything up to its ETX is
// acknowledged, the ETX is not, and nothing of the file goes out.
TEST(Protocol, ExchangesAnswerByteForByte)
{
    const Bytes f300 = FileOf(300), f100 = FileOf(100), big = FileOf(0x030303 + 0x0303), refused = Cat({kHelloAnswer, Acks(7)});
    struct Row { const char *what; Bytes file, in, out; int completions, refusals, step; };
    const Row rows[] = {
        {"300 bytes as one block, then completion", f300, Cat({kHello, Block(300, 0), kDone}),
         Cat({kHelloAnswer, Served(f300, 300, 0), kDoneAnswer}), 1, 0, 0},
        {"noise before the first STX draws nothing", f100,
         Cat({{0x00, 0x40, 0x03, 0x06, 0x41, 0x42, 0x43, 'O', 'K', '\r', 0xFF}, kHello}), kHelloAnswer, 0, 0, 6},
        {"completion right after the handshake", f100, Cat({kHello, kDone}), Cat({kHelloAnswer, kDoneAnswer}), 1, 0, 0},
        {"after completion a request needs a new handshake", f100, Cat({kHello, kDone, Request(4, 0)}),
         Cat({kHelloAnswer, kDoneAnswer, {0x06}}), 1, 0, 0},
        {"length 0 sends the one byte at the offset", f100, Cat({kHello, Block(0, 42)}),
         Cat({kHelloAnswer, Served(f100, 0, 42)}), 0, 0, 6},
        {"the next request needs no handshake", f300, Cat({kHello, Block(200, 0), Block(100, 200), kDone}),
         Cat({kHelloAnswer, Served(f300, 200, 0), Served(f300, 100, 200), kDoneAnswer}), 1, 0, 0},
        {"the last byte of the file", f100, Cat({kHello, Block(1, 99)}), Cat({kHelloAnswer, Served(f100, 1, 99)}), 0, 0, 6},
        {"offset and length take any byte, framing bytes too", big, Cat({kHello, Block(0x0303, 0x030303)}),
         Cat({kHelloAnswer, Served(big, 0x0303, 0x030303)}), 0, 0, 6},
        {"a wrong byte in a block ends it without ETX", f100, Cat({kHello, Request(50, 0), Acks(10), {0x15}, Acks(5)}),
         Cat({kHelloAnswer, Acks(8), {0x02}, Bytes(f100.begin(), f100.begin() + 10)}), 0, 0, 0},
        {"STX in a block starts a handshake", f100, Cat({kHello, Request(50, 0), Acks(10), kHello, Block(5, 20)}),
         Cat({kHelloAnswer, Acks(8), {0x02}, Bytes(f100.begin(), f100.begin() + 10), kHelloAnswer, Served(f100, 5, 20)}), 0, 0, 6},
        {"a refused request needs a new handshake", f100,
         Cat({kHello, Request(50, 80), Acks(3), Request(10, 0), {0x15}, kHello, Block(10, 0)}),
         Cat({kHelloAnswer, Acks(7), {0x06}, kHelloAnswer, Served(f100, 10, 0)}), 0, 1, 6},
        {"no file loaded serves nothing", {}, Cat({kHello, Request(0, 0), Acks(3)}), refused, 0, 1, 0},
        {"past the end: 2 bytes at 99", f100, Cat({kHello, Request(2, 99), Acks(5)}), refused, 0, 1, 0},
        {"past the end: 1 byte at 100", f100, Cat({kHello, Request(1, 100), Acks(5)}), refused, 0, 1, 0},
        {"past the end: length 0 at 100", f100, Cat({kHello, Request(0, 100), Acks(5)}), refused, 0, 1, 0},
        {"past the end: 65535 bytes at 0", f100, Cat({kHello, Request(65535, 0), Acks(5)}), refused, 0, 1, 0},
        {"past the end: 10 bytes at 0xFFFFFF", f100, Cat({kHello, Request(10, 0xFFFFFF), Acks(5)}), refused, 0, 1, 0},
    };
    for (const Row &r : rows) {
        Session s(r.file);
        EXPECT_EQ(s.Feed(r.in), r.out) << r.what;
        EXPECT_EQ(s.completions, r.completions) << r.what;
        EXPECT_EQ(s.refusals, r.refusals) << r.what;
        EXPECT_EQ(s.st.iStep, r.step) << r.what;
    }
}

// In every state that expects one byte, a wrong byte is examined once more
// in state 0 and no further; a 0x02 there starts a handshake.
TEST(Protocol, UnexpectedByteIsExaminedOnceMoreInStateZero)
{
    const Bytes file = FileOf(100), stream = Cat({kHello, Request(2, 0), Acks(3)});
    // how much of the stream leads to each state
    const struct { size_t prefix; int step; } states[] = {
        {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {13, 13}, {14, 14}, {16, 15}, {17, 16}};
    for (const auto &c : states) {
        for (unsigned char b : {0x15, 0x02}) {
            if (c.step == 6 && b == 0x02)
                continue;                       // what state 6 expects
            Session s(file);
            s.Feed(Bytes(stream.begin(), stream.begin() + c.prefix));
            ASSERT_EQ(s.st.iStep, c.step);
            EXPECT_EQ(s.Feed({b}), b == 0x02 ? Bytes{0x06} : Bytes{}) << "state " << c.step;
            EXPECT_EQ(s.st.iStep, b == 0x02 ? 1 : 0) << "state " << c.step;
        }
    }
}

// from, from + 1, ... to - 1, as many times over as asked.
std::vector<int> Range(int from, int to, int times = 1)
{
    std::vector<int> v;
    for (int i = 0; i < (to - from) * times; i++)
        v.push_back(from + i % (to - from));
    return v;
}

// The figure is the share of the file before the byte being sent, reported
// only when it changes; 100 comes with the completion alone.
TEST(Protocol, ProgressFollowsTheFilePosition)
{
    struct Row { const char *what; size_t size; Bytes in; std::vector<int> progress; };
    const Row rows[] = {
        {"0 goes out with the first byte", 300, Cat({kHello, Request(300, 0), Acks(1)}), {0}},
        {"one block of 300 shows 0 to 99, then completion", 300, Cat({kHello, Block(300, 0), kDone}), Range(0, 100)},
        {"a first block at an offset starts at its figure", 1000, Cat({kHello, Request(10, 500), Acks(1)}), {50}},
        {"a lower offset later makes it go down", 1000, Cat({kHello, Block(10, 800), Request(10, 100), Acks(1)}), {80, 10}},
        {"the same block twice shows the same figures twice", 200, Cat({kHello, Block(100, 100), Block(100, 100)}), Range(50, 100, 2)},
        {"large offsets do not overflow", 0xFFFFFF + 1, Cat({kHello, Request(1, 0xFFFFFF), Acks(1)}), {99}},
    };
    for (const Row &r : rows) {
        Session s(FileOf(r.size));
        s.Feed(r.in);
        EXPECT_EQ(s.progress, r.progress) << r.what;
    }
    Session s(FileOf(70000));
    EXPECT_EQ(s.Feed(Cat({kHello, Block(65535, 1000)})), Cat({kHelloAnswer, Served(s.file, 65535, 1000)}));
}

// kelvo-cli's session passes on every answer of the step in order, counts
// each data byte sent and each byte of the file once however often it is
// asked for, and tells the begin, the blocks, a refusal and the completion.
TEST(Session, CountsWhatWasServedAndTellsWhatHappened)
{
    struct Row { const char *what; size_t size; Bytes in; uint32_t served, distinct; int blocks, began, refused, completions; };
    const Row rows[] = {
        {"one block, then completion", 300, Cat({kHello, Block(300, 0), kDone}), 300, 300, 1, 1, -1, 1},
        {"the same block twice counts its bytes once", 300, Cat({kHello, Block(100, 0), Block(100, 0)}), 200, 100, 2, 1, -1, 0},
        {"overlapping blocks", 300, Cat({kHello, Block(100, 0), Block(100, 50), Block(1, 299)}), 201, 151, 3, 1, -1, 0},
        {"a block broken off counts what went out", 300, Cat({kHello, Request(50, 10), Acks(11), {0x15}}), 11, 11, 1, 1, -1, 0},
        {"a request past the end serves nothing", 100, Cat({kHello, Request(2, 99), Acks(5)}), 0, 0, 0, 1, 99, 0},
        {"noise alone begins nothing", 100, {0x00, 0x41, 0xFF}, 0, 0, 0, 0, -1, 0},
        {"a new handshake after completion is no second begin", 100, Cat({kHello, kDone, kHello, Block(10, 0)}), 10, 10, 1, 1, -1, 1},
    };
    for (const Row &r : rows) {
        Bytes file = FileOf(r.size), out;
        SESSION s;
        SessionBegin(&s, file.size());
        Session reference(file);
        int began = 0, refused = -1, completions = 0, blocks = 0, progress = -1;
        for (unsigned char b : r.in) {
            SESSIONSTEP st;
            SessionByte(&s, file.data(), static_cast<uint32_t>(file.size()), b, &st);
            began += st.bBegan;
            refused = st.bRefused ? static_cast<int>(st.dwRefusedAt) : refused;
            completions += st.bComplete;
            blocks += st.dwBlockLength > 0;
            progress = st.iProgress >= 0 ? st.iProgress : progress;
        }
        EXPECT_EQ(s.out, reference.Feed(r.in)) << r.what;
        EXPECT_EQ(s.dwServed, r.served) << r.what;
        EXPECT_EQ(s.dwDistinct, r.distinct) << r.what;
        EXPECT_EQ(s.nBlocks, r.blocks) << r.what;
        EXPECT_EQ(blocks, r.blocks) << r.what;
        EXPECT_EQ(began, r.began) << r.what;
        EXPECT_EQ(refused, r.refused) << r.what;
        EXPECT_EQ(completions, r.completions) << r.what;
        EXPECT_EQ(s.iPercent, progress < 0 ? 0 : progress) << r.what;
        EXPECT_EQ(SessionReason(&s, "gone", file.size()),
                  std::string("gone while ") + DlStepName(s.state.iStep) + "; served " + std::to_string(r.distinct) +
                      " of " + std::to_string(r.size) + " bytes") << r.what;
    }
}

// A run ends with its most serious outcome: interrupted, a device gone, a
// time-out, then an I/O error or a usage error.
TEST(Session, TheMostSeriousOutcomeWins)
{
    const struct { int a, b, worse; const char *word; } rows[] = {
        {EXIT_DONE, EXIT_IO, EXIT_IO, "io-error"},
        {EXIT_IO, EXIT_TIMEOUT, EXIT_TIMEOUT, "timeout"},
        {EXIT_GONE, EXIT_TIMEOUT, EXIT_GONE, "gone"},
        {EXIT_GONE, EXIT_INTERRUPTED, EXIT_INTERRUPTED, "interrupted"},
        {EXIT_DONE, EXIT_DONE, EXIT_DONE, "ok"},
        {EXIT_USAGE, EXIT_TIMEOUT, EXIT_TIMEOUT, "timeout"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(Worse(r.a, r.b), r.worse) << r.a << " " << r.b;
        EXPECT_EQ(Worse(r.b, r.a), r.worse) << r.b << " " << r.a;
        EXPECT_STREQ(ResultWord(r.worse), r.word);
    }
}

// Every record's strings parse as JSON whatever a port or file name holds.
TEST(Session, RecordStringsAreJson)
{
    const struct { std::string in, json; } rows[] = {
        {"/dev/ttyUSB0", "\"/dev/ttyUSB0\""},
        {"a \"quoted\" \\ name", "\"a \\\"quoted\\\" \\\\ name\""},
        {"tab\there\nline\x01", "\"tab\\u0009here\\u000aline\\u0001\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
        {"bad \xff byte", "\"bad \\u00ff byte\""},
        {"cut \xc3", "\"cut \\u00c3\""},
        {"overlong \xc0\xaf", "\"overlong \\u00c0\\u00af\""},
        {"half \xe2\x82 x", "\"half \\u00e2\\u0082 x\""},
    };
    for (const auto &r : rows)
        EXPECT_EQ(JsonString(r.in), r.json) << r.in;
}

} // namespace
