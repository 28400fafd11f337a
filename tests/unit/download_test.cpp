// The download contact: command, count, longs, acknowledgements and their
// failures, against a scripted chip on the fake port.
#include "tests/unit/enginetest.h"

using namespace bootlink;
using enginetest::ChipScript;
using enginetest::GoodChip;
using enginetest::InstallChip;
using enginetest::Lines;
using fakeserial::Op;

namespace {

using DownloadTest = EngineTest;

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> Pieces) {
  std::vector<uint8_t> out;
  for (const auto& p : Pieces) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Bytes written after the handshake of the (only) contact.
std::vector<uint8_t> AfterHandshake() {
  const auto all = fakeserial::Written();
  if (all.size() < chipwire::HandshakeLength) return {};
  return std::vector<uint8_t>(all.begin() + chipwire::HandshakeLength, all.end());
}

// Drops the echo bytes that follow the image (written one at a time).
std::vector<uint8_t> WithoutEchoes(std::vector<uint8_t> Bytes) {
  while (!Bytes.empty() && Bytes.back() == chipwire::Echo) Bytes.pop_back();
  return Bytes;
}

ChipScript Acking(std::vector<uint8_t> Acks) {
  ChipScript s = GoodChip(1);
  s.Acks = std::move(Acks);
  return s;
}

TEST_F(DownloadTest, TwoLongsLeaveAsCommandCountAndLongs) {
  Buffer[0] = 1;
  Buffer[1] = 0xFFFFFFFF;
  Buffer[2] = 0x12345678;  // beyond the count: never sent
  InstallChip(Acking({0xFE}));
  TalkToHardware(2, 1);
  EXPECT_EQ(WithoutEchoes(AfterHandshake()),
            (std::vector<uint8_t>{0x93, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2,   // command 1
                                  0x9A, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2,   // count 2
                                  0x93, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2,   // 1
                                  0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xFB}));  // 0xFFFFFFFF
  // The command leaves in a write of its own, the count and longs in the next.
  const auto sizes = fakeserial::WriteSizes();
  ASSERT_GE(sizes.size(), 5u);
  EXPECT_EQ(sizes[2], 11);
  EXPECT_EQ(sizes[3], 33);
  EXPECT_EQ(sizes[4], 1) << "then echo bytes, one per write";
  EXPECT_EQ(Output(), Lines({"reset DTR", "Loading RAM", "Buffer length : 2", " i :0 Buffer[i] :1",
                             " i :1 Buffer[i] :4294967295", "Verifying RAM"}));
  EXPECT_FALSE(CommOpen);
  EXPECT_FALSE(VersionMode);
  EXPECT_EQ(fakeserial::CallsOf(Op::Open).size(), 1u);
  EXPECT_EQ(fakeserial::CallsOf(Op::SetDTR).size(), 2u) << "one reset only";
}

TEST_F(DownloadTest, ZeroLongsStillSendTheCountAndAwaitTheChecksum) {
  InstallChip(Acking({0xFE}));
  TalkToHardware(0, 1);
  const auto sent = WithoutEchoes(AfterHandshake());
  EXPECT_EQ(sent, Concat({chipwire::LongBytes(1), chipwire::LongBytes(0)}));
  EXPECT_EQ(Output(), Lines({"reset DTR", "Loading RAM", "Buffer length : 0", "Verifying RAM"}));
}

TEST_F(DownloadTest, CommandZeroSendsElevenBytesAndCloses) {
  InstallChip(GoodChip(1));
  TalkToHardware(5, 0);
  EXPECT_EQ(AfterHandshake(),
            (std::vector<uint8_t>{0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2}));
  EXPECT_EQ(Output(), Lines({"reset DTR"}));
  EXPECT_EQ(fakeserial::Calls.back().Kind, Op::Close);
  EXPECT_EQ(fakeserial::CallsOf(Op::SetDTR).size(), 2u);
  EXPECT_EQ(ProgressFormStatusLabelCaption, "");
}

struct CommandCase {
  uint8_t Command;
  uint8_t FirstByte;
  int Acks;
};

class CommandTest : public EngineTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, EachCommandAwaitsItsAcknowledgements) {
  Buffer[0] = 0x80000000;
  Buffer[1] = 77;
  Buffer[2] = 0;
  InstallChip(Acking({0xFE, 0xFE, 0xFE}));
  TalkToHardware(3, GetParam().Command);
  const auto sent = WithoutEchoes(AfterHandshake());
  ASSERT_EQ(sent.size(), 5u * 11);
  EXPECT_EQ(sent[0], GetParam().FirstByte);
  EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 11), chipwire::LongBytes(GetParam().Command));
  EXPECT_EQ(std::vector<uint8_t>(sent.begin() + 11, sent.end()),
            Concat({chipwire::LongBytes(3), chipwire::LongBytes(0x80000000), chipwire::LongBytes(77),
                    chipwire::LongBytes(0)}));
  std::string expected = Lines({"reset DTR", "Loading RAM", "Buffer length : 3", " i :0 Buffer[i] :2147483648",
                                " i :1 Buffer[i] :77", " i :2 Buffer[i] :0", "Verifying RAM"});
  if (GetParam().Acks == 3) expected += Lines({"Programming EEPROM", "Verifying EEPROM"});
  EXPECT_EQ(Output(), expected);
  // Every wait begins with an echo byte; the chip answers the first one.
  EXPECT_EQ(fakeserial::Written().size(), chipwire::HandshakeLength + 55 + GetParam().Acks);
  EXPECT_FALSE(CommOpen);
  EXPECT_EQ(fakeserial::Calls.back().Kind, Op::Close);
}

INSTANTIATE_TEST_SUITE_P(Download, CommandTest,
                         ::testing::Values(CommandCase{1, 0x93, 1}, CommandCase{2, 0x9A, 3},
                                           CommandCase{3, 0x9B, 3}));

TEST_F(DownloadTest, AFullBufferLeavesIn256ByteWrites) {
  for (int i = 0; i < BufferLongs; ++i) Buffer[i] = static_cast<uint32_t>(i) * 2654435761u;
  InstallChip(Acking({0xFE}));
  TalkToHardware(BufferLongs, 1);
  std::vector<uint8_t> expected = Concat({chipwire::LongBytes(1), chipwire::LongBytes(BufferLongs)});
  for (int i = 0; i < BufferLongs; ++i) {
    const auto bytes = chipwire::LongBytes(Buffer[i]);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(WithoutEchoes(AfterHandshake()), expected);
  // After the handshake (256 + 253) and the command (11): full chunks, then the rest.
  const auto sizes = fakeserial::WriteSizes();
  const size_t stream = 11u * (1 + BufferLongs);
  for (size_t i = 3; i < 3 + stream / 256; ++i) ASSERT_EQ(sizes[i], 256) << "write " << i;
  EXPECT_EQ(sizes[3 + stream / 256], static_cast<int32_t>(stream % 256));
}

TEST_F(DownloadTest, ACountBeyondTheBufferNeverReachesTheChip) {
  InstallChip(Acking({0xFE}));
  EXPECT_ANY_THROW(TalkToHardware(BufferLongs + 1, 1));
  EXPECT_TRUE(fakeserial::CallsOf(Op::Write).empty());
}

struct AckFailure {
  const char* Name;
  uint8_t Command;
  std::vector<uint8_t> Acks;
  std::vector<std::string> Captions;  // after "Verifying RAM"
  const char* Reason;
};

class AckFailureTest : public EngineTest, public ::testing::WithParamInterface<AckFailure> {};

TEST_P(AckFailureTest, ABadAcknowledgementEndsTheRunWithItsReason) {
  const AckFailure& c = GetParam();
  InstallChip(Acking(c.Acks));
  const uint64_t linesBefore = failreport::LinesWritten;
  EXPECT_THROW(TalkToHardware(0, c.Command), failreport::EAbort);
  std::string expected = Lines({"reset DTR", "Loading RAM", "Buffer length : 0", "Verifying RAM"});
  for (const auto& caption : c.Captions) expected += caption + "\n";
  expected += Lines({std::string(c.Reason) + " /dev/ttyS0", "Program aborted"});
  EXPECT_EQ(Output(), expected);
  ExpectClosedBeforeLines(linesBefore + 4 + c.Captions.size());
  EXPECT_EQ(fakeserial::CallsOf(Op::Close).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Download, AckFailureTest,
    ::testing::Values(AckFailure{"RamChecksum", 1, {0xFF}, {}, "RAM checksum error on"},
                      AckFailure{"RamChecksumBeforeEeprom", 3, {0xFF}, {}, "RAM checksum error on"},
                      AckFailure{"EepromProgramming", 2, {0xFE, 0xFF}, {"Programming EEPROM"},
                                 "EEPROM programming error on"},
                      AckFailure{"EepromVerify", 3, {0xFE, 0xFE, 0xFF},
                                 {"Programming EEPROM", "Verifying EEPROM"}, "EEPROM verify error on"},
                      AckFailure{"StrangeByte", 2, {0xFE, 0x00}, {"Programming EEPROM"}, "Hardware lost on"},
                      AckFailure{"EchoAsReply", 1, {0xF9}, {}, "Hardware lost on"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(DownloadTest, PortFailuresAfterTheHandshakeAreExplained) {
  struct Case {
    Op Kind;
    int Nth;
    int32_t Result;
    const char* Reason;
    int Lines;  // lines printed before the failure
  };
  for (const Case& k : {Case{Op::Write, 2, -1, "Unable to write to", 1},      // the command
                        Case{Op::Write, 3, 255, "Transmit stall on", 26},     // first chunk, during long 22
                        Case{Op::Write, 12, -1, "Unable to write to", 204},   // first echo byte
                        Case{Op::Read, 2, -1, "Unable to read from", 204}}) { // first look for the bit
    SCOPED_TRACE(k.Reason);
    fakeserial::Reset();
    const size_t start = Output().size();
    for (int i = 0; i < 200; ++i) Buffer[i] = static_cast<uint32_t>(i);
    InstallChip(Acking({0xFE}));
    fakeserial::FailCall(k.Kind, k.Nth, k.Result);
    const uint64_t before = failreport::LinesWritten;
    EXPECT_THROW(TalkToHardware(200, 1), failreport::EAbort);
    const std::string out = Output().substr(start);
    EXPECT_TRUE(out.ends_with(std::string(k.Reason) + " /dev/ttyS0\nProgram aborted\n")) << out;
    EXPECT_EQ(fakeserial::CallsOf(Op::Close).size(), 1u);
    EXPECT_EQ(fakeserial::CallsOf(Op::Close)[0].Lines, before + static_cast<uint64_t>(k.Lines));
  }
}

TEST_F(DownloadTest, NoChipEndsBeforeAnythingIsSent) {
  InstallChip(ChipScript{});
  EXPECT_THROW(TalkToHardware(1, 1), failreport::EAbort);
  EXPECT_EQ(fakeserial::Written(), chipwire::HostHandshake());
  EXPECT_EQ(Output(), Lines({"reset DTR", "Program aborted", "No Propeller hardware found on /dev/ttyS0",
                             "Program aborted"}));
}

// The acknowledgement waits: an echo byte and 25 ms per pass, until the
// time-out in ticks of 10 ms; 2500 ticks are 25 s, 5000 are 50 s.
struct AckTimeout {
  uint8_t Command;
  std::vector<uint8_t> Acks;  // given before the wait that times out
  uint64_t WaitUs;
  size_t Echoes;
  const char* Caption;
};

class AckTimeoutTest : public EngineTest, public ::testing::WithParamInterface<AckTimeout> {};

TEST_P(AckTimeoutTest, ASilentChipIsLostExactlyAtTheTimeout) {
  const AckTimeout& c = GetParam();
  InstallChip(Acking(c.Acks));
  fakeserial::ReadQuantumUs = 0;  // time moves only with the pauses
  EXPECT_THROW(TalkToHardware(0, c.Command), failreport::EAbort);
  // The last wait starts with the echo byte after the last answered one.
  const auto writes = fakeserial::CallsOf(Op::Write);
  const size_t firstEcho = 4 + c.Acks.size();  // 256, 253, command, count; one echo per answered wait
  ASSERT_GT(writes.size(), firstEcho);
  const auto closes = fakeserial::CallsOf(Op::Close);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].TimeUs - writes[firstEcho].TimeUs, c.WaitUs);
  EXPECT_EQ(writes.size() - firstEcho, c.Echoes);
  EXPECT_TRUE(Output().ends_with(std::string(c.Caption) + "\nHardware lost on /dev/ttyS0\nProgram aborted\n"));
}

INSTANTIATE_TEST_SUITE_P(Download, AckTimeoutTest,
                         ::testing::Values(AckTimeout{1, {}, 25000000, 1000, "Verifying RAM"},
                                           AckTimeout{2, {0xFE}, 50000000, 2000, "Programming EEPROM"},
                                           AckTimeout{3, {0xFE, 0xFE}, 25000000, 1000, "Verifying EEPROM"}));

TEST_F(DownloadTest, ALateButTimelyAcknowledgementIsAccepted) {
  ChipScript s = Acking({0xFE});
  s.AckAfterEchoes = 1000;  // answered to the last echo byte before 25 s
  InstallChip(s);
  fakeserial::ReadQuantumUs = 0;
  TalkToHardware(0, 1);
  EXPECT_FALSE(CommOpen);
  EXPECT_EQ(fakeserial::CallsOf(Op::Write).size(), 4u + 1000);
}

}  // namespace
