// The port transport: chunked writes, the refill of the receive buffer, and
// the one failure path with its reasons.
#include "tests/unit/enginetest.h"

using namespace bootlink;
using enginetest::Lines;
using fakeserial::Op;

namespace {

using TransportTest = EngineTest;

struct ChunkCase {
  int Queued;
  std::vector<int32_t> Writes;
};

class ChunkTest : public EngineTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ChunkTest, QueuedBytesLeaveInChunksOf256ThenTheRest) {
  OpenComm();
  for (int i = 0; i < GetParam().Queued; ++i) TByte(static_cast<uint8_t>(i * 7));
  TComm();
  EXPECT_EQ(fakeserial::WriteSizes(), GetParam().Writes);
  const auto written = fakeserial::Written();
  ASSERT_EQ(written.size(), static_cast<size_t>(GetParam().Queued));
  for (int i = 0; i < GetParam().Queued; ++i) ASSERT_EQ(written[i], static_cast<uint8_t>(i * 7)) << "byte " << i;
  EXPECT_EQ(TxBuffLength, 0u);
  EXPECT_EQ(Output(), "");
}

INSTANTIATE_TEST_SUITE_P(Transport, ChunkTest,
                         ::testing::Values(ChunkCase{255, {255}}, ChunkCase{256, {256, 0}},
                                           ChunkCase{600, {256, 256, 88}}, ChunkCase{0, {0}}));

TEST_F(TransportTest, TheFullBufferIsWrittenDuringThe256thByte) {
  OpenComm();
  for (int i = 0; i < 255; ++i) TByte(0x55);
  EXPECT_TRUE(fakeserial::CallsOf(Op::Write).empty());
  TByte(0x55);
  EXPECT_EQ(fakeserial::WriteSizes(), std::vector<int32_t>{256});
  EXPECT_EQ(TxBuffLength, 0u);
}

TEST_F(TransportTest, OpenCommUsesTheBootLoadersLineAndEmptiesBothBuffers) {
  // Left over from an earlier contact: unsent and unread bytes.
  TxBuffLength = 17;
  RxBuffStart = 3;
  RxBuffEnd = 40;
  OpenComm();
  EXPECT_TRUE(CommOpen);
  EXPECT_EQ(CommHandle, fakeserial::NextHandle);
  EXPECT_EQ(TxBuffLength, 0u);
  EXPECT_EQ(RxBuffStart, 0u);
  EXPECT_EQ(RxBuffEnd, 0u);
  ASSERT_EQ(fakeserial::Calls.size(), 2u);
  EXPECT_EQ(fakeserial::Calls[0].Kind, Op::Open);
  EXPECT_EQ(fakeserial::Calls[0].Name, "/dev/ttyS0");
  const auto& params = fakeserial::Calls[1];
  EXPECT_EQ(params.Kind, Op::SetParams);
  EXPECT_EQ(params.Handle, fakeserial::NextHandle);
  EXPECT_EQ(params.Count, 115200);
  EXPECT_EQ(params.ByteSize, 8);
  EXPECT_EQ(params.Parity, NoneParity);
  EXPECT_EQ(params.StopBits, 1);
  EXPECT_EQ(params.Flags, 0u);
  // Nothing of the old queue goes out.
  TComm();
  EXPECT_EQ(fakeserial::WriteSizes(), std::vector<int32_t>{0});
}

TEST_F(TransportTest, RCommAsksFor256AndTakesWhatHasArrived) {
  OpenComm();
  RComm();  // nothing there: no error, buffer empty
  EXPECT_EQ(RxBuffStart, 0u);
  EXPECT_EQ(RxBuffEnd, 0u);
  std::vector<uint8_t> many(300);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i);
  fakeserial::Deliver(many);
  RxBuffStart = 5;  // a refill starts again at index 0
  RComm();
  EXPECT_EQ(RxBuffStart, 0u);
  EXPECT_EQ(RxBuffEnd, 256u);
  EXPECT_EQ(RxBuff[255], 255);
  RComm();
  EXPECT_EQ(RxBuffEnd, 44u);
  EXPECT_EQ(RxBuff[0], 0);  // byte 256
  for (const auto& read : fakeserial::CallsOf(Op::Read)) EXPECT_EQ(read.Count, 256);
  EXPECT_EQ(Output(), "");
}

TEST_F(TransportTest, CloseCommClosesTheHandleAndKeepsTheBuffers) {
  OpenComm();
  TByte(1);
  CloseComm();
  EXPECT_FALSE(CommOpen);
  ASSERT_EQ(fakeserial::CallsOf(Op::Close).size(), 1u);
  EXPECT_EQ(fakeserial::CallsOf(Op::Close)[0].Handle, fakeserial::NextHandle);
  EXPECT_EQ(TxBuffLength, 1u);
}

// ---- Failure reasons ----

struct FailureCase {
  const char* Name;
  Op Failing;
  int32_t Result;
  const char* Reason;
};

void Provoke(Op Failing) {
  if (Failing == Op::Open) {
    OpenComm();
    return;
  }
  OpenComm();
  if (Failing == Op::Write) {
    for (int i = 0; i < 256; ++i) TByte(0x92);
  } else {
    RComm();
  }
}

class FailureTest : public EngineTest, public ::testing::WithParamInterface<std::tuple<FailureCase, bool>> {};

TEST_P(FailureTest, ClosesThePortThenPrintsTheReasonOnlyInAbortMode) {
  const auto& [c, abortMode] = GetParam();
  AbortMode = abortMode;
  fakeserial::FailCall(c.Failing, 0, c.Result);
  const uint64_t before = failreport::LinesWritten;
  EXPECT_THROW(Provoke(c.Failing), failreport::EAbort);
  const std::string reasonLine = std::string(c.Reason) + " /dev/ttyS0";
  EXPECT_EQ(Output(), abortMode ? Lines({reasonLine, "Program aborted"}) : Lines({"Program aborted"}));
  EXPECT_FALSE(CommOpen);
  if (c.Failing == Op::Open) {
    EXPECT_TRUE(fakeserial::CallsOf(Op::Close).empty()) << "nothing was open to close";
    EXPECT_TRUE(fakeserial::CallsOf(Op::SetParams).empty());
  } else {
    ExpectClosedBeforeLines(before);
    EXPECT_EQ(fakeserial::CallsOf(Op::Close)[0].Handle, fakeserial::NextHandle);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transport, FailureTest,
    ::testing::Combine(::testing::Values(FailureCase{"OpenFails", Op::Open, -1, "Unable to open"},
                                         FailureCase{"WriteFails", Op::Write, -1, "Unable to write to"},
                                         FailureCase{"WriteShort", Op::Write, 255, "Transmit stall on"},
                                         FailureCase{"WriteNegative", Op::Write, -2, "Transmit stall on"},
                                         FailureCase{"WriteLong", Op::Write, 257, "Transmit stall on"},
                                         FailureCase{"ReadFails", Op::Read, -1, "Unable to read from"}),
                       ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).Name) + (std::get<1>(info.param) ? "_AbortMode" : "_Quiet");
    });

TEST_F(TransportTest, AStallLeavesTheQueueForTheNextOpenToDrop) {
  fakeserial::FailCall(Op::Write, 0, 100);
  OpenComm();
  for (int i = 0; i < 255; ++i) TByte(0x92);
  EXPECT_THROW(TComm(), failreport::EAbort);
  EXPECT_EQ(TxBuffLength, 255u);
  OpenComm();
  EXPECT_EQ(TxBuffLength, 0u);
}

TEST_F(TransportTest, AnEmptyPortNameLeavesTheReasonWithItsBlank) {
  CommString.clear();
  fakeserial::FailCall(Op::Open, 0, -1);
  EXPECT_THROW(OpenComm(), failreport::EAbort);
  EXPECT_EQ(Output(), Lines({"Unable to open ", "Program aborted"}));
}

TEST_F(TransportTest, StatusLinesPrintTheCaptionAsItIs) {
  ProgressFormStatusLabelCaption = "  Loading RAM ";
  ProgressFormStatusLabelRepaint();
  ProgressFormStatusLabelCaption.clear();
  ProgressFormStatusLabelRepaint();
  OpenComm();
  ProgressFormStatusLabelCaption = "kept";
  ProgressFormHide();
  EXPECT_EQ(ProgressFormStatusLabelCaption, "kept");
  EXPECT_TRUE(CommOpen);
  EXPECT_EQ(Output(), Lines({"  Loading RAM ", ""}));
}

TEST_F(TransportTest, ModuleEndEmptiesTheTextStringsOnly) {
  ProgressFormStatusLabelCaption = "Verifying RAM";
  LongCount = 3;
  FinalizeModule();
  EXPECT_EQ(CommString, "");
  EXPECT_EQ(ResetPinPort, "");
  EXPECT_EQ(ProgressFormStatusLabelCaption, "");
  EXPECT_EQ(LongCount, 3);
  EXPECT_TRUE(fakeserial::Calls.empty());
  EXPECT_EQ(Output(), "");
}

}  // namespace
