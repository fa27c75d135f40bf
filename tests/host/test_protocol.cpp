// The PC side of the download protocol, driven byte by byte through
// DlStepByte exactly as the watch thread drives it.
#include "download/protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
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

// One session as the watch thread runs it: every received byte goes through
// DlStepByte, and what it asks for is collected.
class Session {
public:
    explicit Session(const Bytes &file) : file_(file) { DlInit(&state_); }

    // Feeds bytes; returns what the PC sent in answer to them, in order.
    Bytes Feed(const Bytes &in)
    {
        Bytes out;
        for (unsigned char b : in) {
            Bytes answer = Step(b);
            out.insert(out.end(), answer.begin(), answer.end());
        }
        return out;
    }

    // The answer to one byte.
    Bytes Step(unsigned char b)
    {
        DLSTEP step;
        DlStepByte(&state_, file_.data(), static_cast<uint32_t>(file_.size()), b, &step);
        EXPECT_GE(state_.iStep, 0);
        EXPECT_LE(state_.iStep, 16);
        Bytes out;
        for (int i = 0; i < step.nEffects; i++) {
            const DLEFFECT &e = step.aEffect[i];
            switch (e.kind) {
            case DLE_SEND:
                out.push_back(static_cast<unsigned char>(e.value));
                sent_.push_back(static_cast<unsigned char>(e.value));
                break;
            case DLE_PROGRESS: progress_.push_back(static_cast<int>(e.value)); break;
            case DLE_COMPLETE: completions_++; break;
            case DLE_BLOCK:    blocks_.push_back(e.value); break;
            case DLE_REFUSED:  refusals_++; break;
            }
        }
        return out;
    }

    int Step() const { return state_.iStep; }
    const Bytes &Sent() const { return sent_; }
    const std::vector<int> &Progress() const { return progress_; }
    const std::vector<uint32_t> &Blocks() const { return blocks_; }
    int Completions() const { return completions_; }
    int Refusals() const { return refusals_; }

private:
    Bytes file_;
    DLSTATE state_;
    Bytes sent_;
    std::vector<int> progress_;
    std::vector<uint32_t> blocks_;
    int completions_ = 0;
    int refusals_ = 0;
};

const Bytes kHandshake = {0x02, 0x40, 0x03, 0x06, 0x06, 0x06};
const Bytes kHandshakeAnswer = {0x06, 0x06, 0x06, 0x02, 0x41, 0x03};
const Bytes kComplete = {0x02, 0x43};

Bytes Request(uint16_t wLength, uint32_t dwOffset)
{
    return {0x02, 0x42, static_cast<unsigned char>(wLength >> 8), static_cast<unsigned char>(wLength),
            static_cast<unsigned char>(dwOffset >> 16), static_cast<unsigned char>(dwOffset >> 8),
            static_cast<unsigned char>(dwOffset), 0x03};
}

const Bytes kRequestAnswer = {0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x02};

Bytes Acks(size_t n) { return Bytes(n, 0x06); }

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Everything the target sends for one block after the request: an ACK per
// data byte, one for the ETX, one more that ends the block.
Bytes BlockAcks(uint16_t wLength) { return Acks((wLength ? wLength : 1u) + 2u); }

// What the PC sends for one served block, request included.
Bytes BlockAnswer(const Bytes &file, uint16_t wLength, uint32_t dwOffset)
{
    Bytes out = kRequestAnswer;
    size_t n = wLength ? wLength : 1;
    out.insert(out.end(), file.begin() + dwOffset, file.begin() + dwOffset + n);
    out.push_back(0x03);
    return out;
}

// ---------------------------------------------------------------- Transcript

TEST(Transcript, ThreeHundredByteFileInOneBlockMatchesByteForByte)
{
    Bytes file = FileOf(300);
    Session s(file);
    struct Row { Bytes in, out; };
    std::vector<Row> rows = {
        {{0x02}, {0x06}}, {{0x40}, {0x06}}, {{0x03}, {0x06, 0x02}},
        {{0x06}, {0x41}}, {{0x06}, {0x03}}, {{0x06}, {}},
        {{0x02}, {0x06}}, {{0x42}, {0x06}}, {{0x01}, {0x06}}, {{0x2C}, {0x06}},
        {{0x00}, {0x06}}, {{0x00}, {0x06}}, {{0x00}, {0x06}}, {{0x03}, {0x06, 0x02}},
    };
    for (size_t i = 0; i < rows.size(); i++)
        EXPECT_EQ(s.Step(rows[i].in[0]), rows[i].out) << "row " << i;
    for (size_t i = 0; i < 300; i++)
        ASSERT_EQ(s.Step(0x06), Bytes{file[i]}) << "data byte " << i;
    EXPECT_EQ(s.Step(0x06), Bytes{0x03});
    EXPECT_EQ(s.Step(0x06), Bytes{});
    EXPECT_EQ(s.Step(0x02), Bytes{0x06});
    EXPECT_EQ(s.Completions(), 0);
    EXPECT_EQ(s.Step(0x43), Bytes{0x06});
    EXPECT_EQ(s.Completions(), 1);
    EXPECT_EQ(s.Step(), 0);
}

TEST(Transcript, NoiseBeforeTheFirstStxDrawsNoAnswer)
{
    Session s(FileOf(16));
    Bytes noise = {0x00, 0x40, 0x03, 0x06, 0x41, 0x42, 0x43, 'O', 'K', '\r', '\n', 0xFF};
    EXPECT_EQ(s.Feed(noise), Bytes{});
    EXPECT_EQ(s.Step(), 0);
    EXPECT_EQ(s.Feed(kHandshake), kHandshakeAnswer);
    EXPECT_EQ(s.Step(), 6);
}

TEST(Transcript, CompletionRightAfterTheHandshakeEndsTheSession)
{
    Session s(FileOf(16));
    EXPECT_EQ(s.Feed(Cat({kHandshake, kComplete})), Cat({kHandshakeAnswer, {0x06, 0x06}}));
    EXPECT_EQ(s.Completions(), 1);
    EXPECT_EQ(s.Progress(), std::vector<int>{});
    EXPECT_EQ(s.Step(), 0);
}

TEST(Transcript, CompletionResetsSoTheNextRequestNeedsAHandshake)
{
    Bytes file = FileOf(32);
    Session s(file);
    s.Feed(Cat({kHandshake, kComplete}));
    // A request straight after the completion: only its STX is answered, as
    // the start of a new handshake; the rest is dropped.
    EXPECT_EQ(s.Feed(Request(4, 0)), Bytes{0x06});
    EXPECT_EQ(s.Step(), 0);
}

// -------------------------------------------------------------------- Blocks

TEST(Blocks, LengthZeroSendsTheOneByteAtTheOffset)
{
    Bytes file = FileOf(100);
    Session s(file);
    Bytes out = s.Feed(Cat({kHandshake, Request(0, 42), BlockAcks(0)}));
    EXPECT_EQ(out, Cat({kHandshakeAnswer, BlockAnswer(file, 0, 42)}));
    EXPECT_EQ(s.Blocks(), std::vector<uint32_t>{1});
    EXPECT_EQ(s.Step(), 6);
}

TEST(Blocks, Length65535SendsEveryByteOfTheBlock)
{
    Bytes file = FileOf(70000);
    Session s(file);
    Bytes out = s.Feed(Cat({kHandshake, Request(65535, 1000), BlockAcks(65535)}));
    ASSERT_EQ(out.size(), kHandshakeAnswer.size() + kRequestAnswer.size() + 65535 + 1);
    EXPECT_EQ(out, Cat({kHandshakeAnswer, BlockAnswer(file, 65535, 1000)}));
    EXPECT_EQ(s.Step(), 6);
}

TEST(Blocks, NextRequestNeedsNoNewHandshake)
{
    Bytes file = FileOf(500);
    Session s(file);
    Bytes out = s.Feed(Cat({kHandshake, Request(200, 0), BlockAcks(200), Request(300, 200),
                            BlockAcks(300), kComplete}));
    EXPECT_EQ(out, Cat({kHandshakeAnswer, BlockAnswer(file, 200, 0), BlockAnswer(file, 300, 200),
                        {0x06, 0x06}}));
    EXPECT_EQ(s.Completions(), 1);
}

TEST(Blocks, LastByteOfTheFileCanBeRequested)
{
    Bytes file = FileOf(10);
    Session s(file);
    EXPECT_EQ(s.Feed(Cat({kHandshake, Request(1, 9), BlockAcks(1)})),
              Cat({kHandshakeAnswer, BlockAnswer(file, 1, 9)}));
    EXPECT_EQ(s.Refusals(), 0);
}

TEST(Blocks, RequestedOffsetIsTwentyFourBitsBigEndian)
{
    Bytes file = FileOf(0x010203 + 4);
    Session s(file);
    Bytes out = s.Feed(Cat({kHandshake, Request(3, 0x010203), BlockAcks(3)}));
    EXPECT_EQ(out, Cat({kHandshakeAnswer, BlockAnswer(file, 3, 0x010203)}));
}

// ----------------------------------------------------------------- Past end

TEST(PastEnd, RequestReachingPastTheFileIsAnsweredWithSilence)
{
    Bytes file = FileOf(100);
    for (auto req : {std::make_pair(2, 99), std::make_pair(0, 100), std::make_pair(1, 100),
                     std::make_pair(65535, 0), std::make_pair(10, 0xFFFFFF)}) {
        Session s(file);
        s.Feed(kHandshake);
        Bytes r = Request(static_cast<uint16_t>(req.first), static_cast<uint32_t>(req.second));
        Bytes out = s.Feed(r);
        // Everything up to the ETX is acknowledged; the ETX itself is not,
        // and no STX or data follows.
        EXPECT_EQ(out, Acks(7)) << req.first << "@" << req.second;
        EXPECT_EQ(s.Refusals(), 1);
        EXPECT_EQ(s.Step(), 0);
        // The ACKs of a target that carries on regardless draw nothing.
        EXPECT_EQ(s.Feed(Acks(5)), Bytes{});
    }
}

TEST(PastEnd, ANewHandshakeIsNeededAfterARefusedRequest)
{
    Bytes file = FileOf(100);
    Session s(file);
    s.Feed(Cat({kHandshake, Request(50, 80)}));
    // Without a handshake, the next request is not served.
    EXPECT_EQ(s.Feed(Request(10, 0)), Bytes{0x06});
    s.Feed(Bytes{0x15});                       // leave the half-open handshake
    Bytes out = s.Feed(Cat({kHandshake, Request(10, 0), BlockAcks(10)}));
    EXPECT_EQ(out, Cat({kHandshakeAnswer, BlockAnswer(file, 10, 0)}));
}

TEST(PastEnd, NoFileLoadedServesNothing)
{
    DLSTATE st;
    DlInit(&st);
    Bytes in = Cat({kHandshake, Request(0, 0), Acks(3)});
    Bytes sent;
    for (unsigned char b : in) {
        DLSTEP step;
        DlStepByte(&st, nullptr, 0, b, &step);
        for (int i = 0; i < step.nEffects; i++)
            if (step.aEffect[i].kind == DLE_SEND)
                sent.push_back(static_cast<unsigned char>(step.aEffect[i].value));
    }
    EXPECT_EQ(sent, Cat({kHandshakeAnswer, Acks(7)}));
    EXPECT_EQ(st.iStep, 0);
}

// -------------------------------------------------------------------- Resets

TEST(Resets, WrongByteDuringABlockEndsItWithoutEtx)
{
    Bytes file = FileOf(100);
    Session s(file);
    s.Feed(Cat({kHandshake, Request(50, 0)}));
    Bytes out = s.Feed(Acks(10));
    EXPECT_EQ(out, Bytes(file.begin(), file.begin() + 10));
    EXPECT_EQ(s.Feed(Bytes{0x15}), Bytes{});
    EXPECT_EQ(s.Step(), 0);
    EXPECT_EQ(s.Feed(Acks(5)), Bytes{});
}

TEST(Resets, StxDuringABlockIsAcknowledgedAndStartsAHandshake)
{
    Bytes file = FileOf(100);
    Session s(file);
    s.Feed(Cat({kHandshake, Request(50, 0), Acks(10)}));
    EXPECT_EQ(s.Step(0x02), Bytes{0x06});
    EXPECT_EQ(s.Step(), 1);
    // The rest of the handshake goes on from there, then a block is served.
    Bytes out = s.Feed(Cat({Bytes(kHandshake.begin() + 1, kHandshake.end()), Request(5, 20), BlockAcks(5)}));
    EXPECT_EQ(out, Cat({Bytes(kHandshakeAnswer.begin() + 1, kHandshakeAnswer.end()), BlockAnswer(file, 5, 20)}));
}

// Every state that expects one byte, a wrong byte, and a wrong 0x02: the
// byte is examined once more in state 0 and no further.
TEST(Resets, UnexpectedByteIsExaminedOnceMoreInStateZeroOnly)
{
    Bytes file = FileOf(100);
    Bytes request = Request(1, 0);
    Bytes requestWithoutEtx(request.begin(), request.end() - 1);
    struct Case { Bytes prefix; int iStep; };
    std::vector<Case> cases = {
        {{0x02}, 1}, {{0x02, 0x40}, 2}, {{0x02, 0x40, 0x03}, 3}, {{0x02, 0x40, 0x03, 0x06}, 4},
        {{0x02, 0x40, 0x03, 0x06, 0x06}, 5}, {kHandshake, 6}, {Cat({kHandshake, {0x02}}), 7},
        {Cat({kHandshake, requestWithoutEtx}), 13},
        {Cat({kHandshake, Request(2, 0)}), 14}, {Cat({kHandshake, Request(2, 0), Acks(2)}), 15},
        {Cat({kHandshake, Request(2, 0), Acks(3)}), 16},
    };
    for (const Case &c : cases) {
        // States 6 and 13 already expect 0x02 or 0x03; use a byte no state
        // but 8..12 accepts.
        {
            Session s(file);
            s.Feed(c.prefix);
            ASSERT_EQ(s.Step(), c.iStep);
            EXPECT_EQ(s.Step(0x15), Bytes{}) << "state " << c.iStep;
            EXPECT_EQ(s.Step(), 0) << "state " << c.iStep;
        }
        if (c.iStep == 6)
            continue;                          // 0x02 is what state 6 expects
        Session s(file);
        s.Feed(c.prefix);
        EXPECT_EQ(s.Step(0x02), Bytes{0x06}) << "state " << c.iStep;
        EXPECT_EQ(s.Step(), 1) << "state " << c.iStep;
    }
}

TEST(Resets, RequestFieldsTakeAnyByteIncludingFramingBytes)
{
    Bytes file = FileOf(0x030303 + 0x0303);
    Session s(file);
    Bytes out = s.Feed(Cat({kHandshake, Request(0x0303, 0x030303), BlockAcks(0x0303)}));
    EXPECT_EQ(out, Cat({kHandshakeAnswer, BlockAnswer(file, 0x0303, 0x030303)}));
    Session t(file);
    out = t.Feed(Cat({kHandshake, Request(0x0206, 0x020606), BlockAcks(0x0206)}));
    EXPECT_EQ(out, Cat({kHandshakeAnswer, BlockAnswer(file, 0x0206, 0x020606)}));
}

// ----------------------------------------------------------------- Chunking

// The watch thread hands over whatever one read delivered; the answers must
// not depend on how the stream was cut into reads.
TEST(Chunking, AnyCuttingOfTheStreamGivesTheSameAnswers)
{
    Bytes file = FileOf(3000);
    Bytes stream = Cat({{0x00, 0x55}, kHandshake, Request(700, 5), BlockAcks(700), Request(0, 2999),
                        BlockAcks(0), Request(100, 2950), {0x02, 0x40, 0x03, 0x06, 0x06, 0x06},
                        Request(1000, 2000), Acks(300), {0x15}, kHandshake, Request(1000, 2000),
                        BlockAcks(1000), kComplete, {0x02}});
    Session whole(file);
    Bytes expected = whole.Feed(stream);
    ASSERT_GT(expected.size(), 2000u);

    std::mt19937 rng(12345);
    for (int round = 0; round < 200; round++) {
        Session s(file);
        Bytes out;
        size_t pos = 0;
        while (pos < stream.size()) {
            size_t n = std::min<size_t>(stream.size() - pos, 1 + rng() % 80);
            Bytes read(stream.begin() + pos, stream.begin() + pos + n);
            Bytes answer = s.Feed(read);
            out.insert(out.end(), answer.begin(), answer.end());
            pos += n;
        }
        ASSERT_EQ(out, expected) << "round " << round;
        ASSERT_EQ(s.Progress(), whole.Progress());
        ASSERT_EQ(s.Completions(), 1);
    }
}

// ------------------------------------------------------------------ Progress

TEST(Progress, OneBlockOfThreeHundredBytesShowsEveryFigureAndHundredOnlyAtTheEnd)
{
    Bytes file = FileOf(300);
    Session s(file);
    s.Feed(Cat({kHandshake, Request(300, 0)}));
    std::vector<int> expected;
    for (int i = 0; i <= 99; i++)
        expected.push_back(i);
    // 0% goes with the first data byte.
    s.Step(0x06);
    EXPECT_EQ(s.Progress(), std::vector<int>{0});
    s.Feed(Acks(299 + 2));
    EXPECT_EQ(s.Progress(), expected);
    EXPECT_EQ(s.Completions(), 0);
    s.Feed(kComplete);
    EXPECT_EQ(s.Completions(), 1);
    EXPECT_EQ(s.Progress(), expected);        // 100 comes with the completion alone
}

TEST(Progress, FigureIsReportedOnlyWhenItChanges)
{
    Bytes file = FileOf(1000);
    Session s(file);
    s.Feed(Cat({kHandshake, Request(1000, 0), BlockAcks(1000)}));
    ASSERT_EQ(s.Progress().size(), 100u);
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(s.Progress()[i], i);
}

TEST(Progress, FirstBlockAtAnOffsetStartsAtThatOffsetsFigure)
{
    Bytes file = FileOf(1000);
    Session s(file);
    s.Feed(Cat({kHandshake, Request(10, 500), {0x06}}));
    EXPECT_EQ(s.Progress(), std::vector<int>{50});
}

TEST(Progress, FigureGoesDownForALowerOffsetLater)
{
    Bytes file = FileOf(1000);
    Session s(file);
    s.Feed(Cat({kHandshake, Request(10, 800), BlockAcks(10), Request(10, 100), {0x06}}));
    EXPECT_EQ(s.Progress(), (std::vector<int>{80, 10}));
}

TEST(Progress, FigureComesFromTheFilePositionNotTheCount)
{
    Bytes file = FileOf(200);
    Session s(file);
    // The same 100 bytes twice: the second pass shows the same figures again.
    s.Feed(Cat({kHandshake, Request(100, 100), BlockAcks(100), Request(100, 100), BlockAcks(100)}));
    std::vector<int> once;
    for (int i = 50; i < 100; i++)
        once.push_back(i);
    std::vector<int> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(s.Progress(), twice);
}

TEST(Progress, LargeOffsetsDoNotOverflowTheFigure)
{
    Bytes file = FileOf(0xFFFFFF + 1);
    Session s(file);
    s.Feed(Cat({kHandshake, Request(1, 0xFFFFFF), {0x06}}));
    EXPECT_EQ(s.Progress(), std::vector<int>{99});
}

} // namespace
