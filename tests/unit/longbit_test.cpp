// The long encoding and the timed bit receiver, on the fake port and clock.
#include "tests/unit/enginetest.h"

using namespace bootlink;
using enginetest::Lines;
using fakeserial::Op;

namespace {

using LongBitTest = EngineTest;

struct LongCase {
  uint32_t Value;
  std::vector<uint8_t> Bytes;
};

class TLongTest : public EngineTest, public ::testing::WithParamInterface<LongCase> {};

TEST_P(TLongTest, QueuesElevenBytesWithoutWriting) {
  OpenComm();
  TLong(GetParam().Value);
  EXPECT_TRUE(fakeserial::CallsOf(Op::Write).empty()) << "TLong must leave the flush to its caller";
  ASSERT_EQ(TxBuffLength, 11u);
  EXPECT_EQ(std::vector<uint8_t>(TxBuff.begin(), TxBuff.begin() + 11), GetParam().Bytes);
  EXPECT_EQ(chipwire::LongBytes(GetParam().Value), GetParam().Bytes);
}

const std::vector<uint8_t> Ten92 = {0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92};

std::vector<uint8_t> Then(std::vector<uint8_t> Head, std::initializer_list<uint8_t> Tail) {
  Head.insert(Head.end(), Tail);
  return Head;
}

INSTANTIATE_TEST_SUITE_P(
    LongBit, TLongTest,
    ::testing::Values(LongCase{0, Then(Ten92, {0xF2})},
                      LongCase{1, {0x93, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2}},
                      LongCase{0xFFFFFFFF, {0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xFB}},
                      LongCase{0x80000000, Then(Ten92, {0xFA})},
                      LongCase{0x40000000, Then(Ten92, {0xF3})},
                      // 0b100 010 001 in the low nine bits: one bit in each slot.
                      LongCase{0x111, {0x93, 0x9A, 0xD2, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2}}));

TEST_F(LongBitTest, AStreamOfLongsCrossesTheChunkBoundary) {
  OpenComm();
  std::vector<uint8_t> expected;
  for (uint32_t v = 0; v < 30; ++v) {
    TLong(v * 0x9E3779B9u);
    const auto bytes = chipwire::LongBytes(v * 0x9E3779B9u);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  TComm();
  EXPECT_EQ(fakeserial::WriteSizes(), (std::vector<int32_t>{256, 74}));
  EXPECT_EQ(fakeserial::Written(), expected);
}

// ---- RBit ----

struct ReplyCase {
  uint8_t Byte;
  int Result;  // -1: the chip is lost
};

class ReplyTest : public EngineTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, OnlyFEAndFFAreBits) {
  OpenComm();
  fakeserial::Deliver({GetParam().Byte});
  if (GetParam().Result >= 0) {
    EXPECT_EQ(RBit(false, 100), GetParam().Result);
    EXPECT_EQ(Output(), "");
    EXPECT_TRUE(CommOpen);
  } else {
    const uint64_t before = failreport::LinesWritten;
    EXPECT_THROW(RBit(false, 100), failreport::EAbort);
    EXPECT_EQ(Output(), Lines({"Hardware lost on /dev/ttyS0", "Program aborted"}));
    ExpectClosedBeforeLines(before);
  }
}

INSTANTIATE_TEST_SUITE_P(LongBit, ReplyTest,
                         ::testing::Values(ReplyCase{0xFE, 0}, ReplyCase{0xFF, 1}, ReplyCase{0xF9, -1},
                                           ReplyCase{0x00, -1}, ReplyCase{0xFD, -1}, ReplyCase{0x01, -1},
                                           ReplyCase{0x7F, -1}));

TEST_F(LongBitTest, ZeroOrNegativeTimeoutFailsAtOnceWithoutEchoOrRead) {
  for (int32_t timeout : {0, -1, INT32_MIN}) {
    fakeserial::Reset();
    OpenComm();
    fakeserial::Deliver({0xFE});
    RxBuff[0] = 0xFE;
    RxBuffEnd = 1;  // a bit is even waiting in the buffer
    EXPECT_THROW(RBit(true, timeout), failreport::EAbort) << timeout;
    EXPECT_TRUE(fakeserial::CallsOf(Op::Write).empty()) << timeout;
    EXPECT_TRUE(fakeserial::CallsOf(Op::Read).empty()) << timeout;
    EXPECT_TRUE(fakeserial::CallsOf(Op::Delay).empty()) << timeout;
    EXPECT_EQ(fakeserial::NowUs, 0u);
  }
  EXPECT_EQ(Output(), Lines({"Hardware lost on /dev/ttyS0", "Program aborted", "Hardware lost on /dev/ttyS0",
                             "Program aborted", "Hardware lost on /dev/ttyS0", "Program aborted"}));
}

TEST_F(LongBitTest, EchoComesBeforeEveryLookEvenWithABitWaiting) {
  OpenComm();
  fakeserial::Deliver({0xFF, 0xFE});
  RComm();  // both bytes now sit in the receive buffer
  fakeserial::Calls.clear();
  EXPECT_EQ(RBit(true, 100), 1);
  EXPECT_EQ(RBit(true, 100), 0);
  // Per call: one echo byte written alone, a 25 ms pause, no read.
  ASSERT_EQ(fakeserial::Calls.size(), 4u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(fakeserial::Calls[2 * i].Kind, Op::Write);
    EXPECT_EQ(fakeserial::Calls[2 * i].Bytes, std::vector<uint8_t>{0xF9});
    EXPECT_EQ(fakeserial::Calls[2 * i + 1].Kind, Op::Delay);
    EXPECT_EQ(fakeserial::Calls[2 * i + 1].Count, 25);
  }
}

TEST_F(LongBitTest, EchoPassesRepeatUntilTheReplyArrives) {
  OpenComm();
  fakeserial::Calls.clear();
  fakeserial::ReadQuantumUs = 0;
  fakeserial::DeliverAt(60000, {0xFE});  // readable from 60 ms on
  EXPECT_EQ(RBit(true, 100), 0);
  // Passes look at 25, 50 and 75 ms; the third finds the byte.
  std::vector<Op> kinds;
  for (const auto& c : fakeserial::Calls) kinds.push_back(c.Kind);
  const std::vector<Op> pass = {Op::Write, Op::Delay, Op::Read};
  std::vector<Op> expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), pass.begin(), pass.end());
  EXPECT_EQ(kinds, expected);
  EXPECT_EQ(fakeserial::Calls.back().TimeUs, 75000u);
  EXPECT_EQ(fakeserial::Written(), (std::vector<uint8_t>{0xF9, 0xF9, 0xF9}));
}

TEST_F(LongBitTest, TwoReplyBytesFromOneReadServeTwoCalls) {
  OpenComm();
  fakeserial::Deliver({0xFF, 0xFE});
  EXPECT_EQ(RBit(false, 100), 1);
  EXPECT_EQ(RBit(false, 100), 0);
  EXPECT_EQ(fakeserial::CallsOf(Op::Read).size(), 1u);
}

// Time-outs are counted in ticks of 10 ms from the start of the call, and
// the wait ends at the first look at or past the limit. With the tick
// counter about to wrap, the wait must end at the same moment.
struct TimeoutCase {
  int32_t Timeout;
  uint32_t TickBase;
  uint64_t FailsAtUs;
};

class TimeoutTest : public EngineTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(TimeoutTest, SilenceEndsTheWaitExactlyAtTheTimeout) {
  OpenComm();
  fakeserial::TickBase = GetParam().TickBase;
  EXPECT_THROW(RBit(false, GetParam().Timeout), failreport::EAbort);
  const auto closes = fakeserial::CallsOf(Op::Close);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].TimeUs, GetParam().FailsAtUs);
  EXPECT_TRUE(fakeserial::CallsOf(Op::Write).empty());
  EXPECT_EQ(Output(), Lines({"Hardware lost on /dev/ttyS0", "Program aborted"}));
}

INSTANTIATE_TEST_SUITE_P(LongBit, TimeoutTest,
                         ::testing::Values(TimeoutCase{100, 0, 1000000}, TimeoutCase{50, 0, 500000},
                                           TimeoutCase{1, 0, 10000}, TimeoutCase{100, 0xFFFFFFF0u, 1000000},
                                           TimeoutCase{100, 0xFFFFFFFFu, 1000000}));

TEST_F(LongBitTest, AWrappingTickCounterDoesNotStallAReply) {
  OpenComm();
  fakeserial::TickBase = 0xFFFFFFFEu;  // wraps 20 ms into the wait
  fakeserial::DeliverAt(300000, {0xFF});
  EXPECT_EQ(RBit(false, 100), 1);
  EXPECT_EQ(Output(), "");
}

TEST_F(LongBitTest, AReplyJustInsideTheTimeoutIsTaken) {
  OpenComm();
  fakeserial::DeliverAt(999900, {0xFE});  // the last poll before 1 s
  EXPECT_EQ(RBit(false, 100), 0);
  fakeserial::DeliverAt(fakeserial::NowUs + 1000000, {0xFE});  // one poll too late
  EXPECT_THROW(RBit(false, 100), failreport::EAbort);
}

TEST_F(LongBitTest, AFailedEchoWriteOrRefillAbortsWithItsOwnReason) {
  OpenComm();
  fakeserial::FailCall(Op::Write, 0, -1);
  EXPECT_THROW(RBit(true, 100), failreport::EAbort);
  OpenComm();
  fakeserial::FailCall(Op::Read, 0, -1);
  EXPECT_THROW(RBit(false, 100), failreport::EAbort);
  EXPECT_EQ(Output(), Lines({"Unable to write to /dev/ttyS0", "Program aborted", "Unable to read from /dev/ttyS0",
                             "Program aborted"}));
}

}  // namespace
