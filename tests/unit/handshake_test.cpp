// The shift register, the handshake, version detection and the DTR reset,
// against a scripted chip on the fake port.
#include "tests/unit/enginetest.h"

using namespace bootlink;
using enginetest::ChipScript;
using enginetest::GoodChip;
using enginetest::InstallChip;
using enginetest::Lines;
using fakeserial::Op;

namespace {

using HandshakeTest = EngineTest;

const std::string NotFound = "No Propeller hardware found on /dev/ttyS0";

TEST_F(HandshakeTest, ShiftRegisterRunsFromPWithItsKnownResults) {
  LFSR = 0x50;
  std::vector<uint8_t> states;
  std::vector<int> results;
  for (int i = 0; i < 16; ++i) {
    states.push_back(LFSR);
    results.push_back(IterateLFSR());
  }
  EXPECT_EQ(results, (std::vector<int>{0, 1, 0, 1, 1, 1, 0, 0, 1, 1, 1, 1, 0, 1, 0, 1}));
  EXPECT_EQ(std::vector<uint8_t>(states.begin(), states.begin() + 6),
            (std::vector<uint8_t>{0x50, 0xA1, 0x42, 0x85, 0x0B, 0x17}));
  // From any non-zero state: all 255 non-zero states, then back.
  for (uint8_t seed : {uint8_t{0x50}, uint8_t{0x01}, uint8_t{0xFF}}) {
    LFSR = seed;
    std::vector<bool> seen(256, false);
    for (int i = 0; i < 255; ++i) {
      ASSERT_FALSE(seen[LFSR]) << "state repeated early from seed " << int(seed);
      seen[LFSR] = true;
      IterateLFSR();
    }
    EXPECT_EQ(LFSR, seed);
    EXPECT_FALSE(seen[0]);
  }
}

TEST_F(HandshakeTest, TheOwnWorkingOfTheWireAgreesWithTheKnownBytes) {
  // Guards the test's own chip against a mistake shared with the engine.
  const auto host = chipwire::HostHandshake();
  EXPECT_EQ(std::vector<uint8_t>(host.begin() + 1, host.begin() + 17),
            (std::vector<uint8_t>{0xFE, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE,
                                  0xFF, 0xFE, 0xFF}));
  const auto reply = chipwire::ChipReply(1);
  EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 16),
            (std::vector<uint8_t>{0xFE, 0xFF, 0xFE, 0xFE, 0xFE, 0xFE, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0xFE,
                                  0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(reply.size(), 258u);
}

TEST_F(HandshakeTest, HostSendsItsHandshakeInTwoWritesBeforeReadingAnything) {
  InstallChip(GoodChip(1));
  VersionMode = false;
  ASSERT_TRUE(HardwareFound());
  const auto written = fakeserial::Written();
  EXPECT_EQ(written, chipwire::HostHandshake());
  EXPECT_EQ(written[0], 0xF9);
  EXPECT_EQ(std::count(written.begin() + 251, written.end(), 0xF9), 258);
  EXPECT_EQ(fakeserial::WriteSizes(), (std::vector<int32_t>{256, 253}));
  const int secondWrite = fakeserial::FindCall(Op::Write, fakeserial::FindCall(Op::Write) + 1);
  EXPECT_LT(secondWrite, fakeserial::FindCall(Op::Read)) << "a read came before the handshake had left";
  // The port stays open, the queue empty, for the download.
  EXPECT_TRUE(CommOpen);
  EXPECT_TRUE(AbortMode);
  EXPECT_EQ(TxBuffLength, 0u);
  EXPECT_TRUE(fakeserial::CallsOf(Op::Close).empty());
  EXPECT_EQ(Output(), Lines({"reset DTR"}));
}

TEST_F(HandshakeTest, TheDtrPulseIs25msAndTheHandshakeWaits90msMore) {
  InstallChip(GoodChip(1));
  ASSERT_TRUE(HardwareFound());
  const auto& c = fakeserial::Calls;
  const int on = fakeserial::FindCall(Op::SetDTR);
  ASSERT_GE(on, 0);
  const int off = fakeserial::FindCall(Op::SetDTR, static_cast<size_t>(on) + 1);
  const int firstWrite = fakeserial::FindCall(Op::Write);
  ASSERT_TRUE(off > on && firstWrite > off);
  EXPECT_EQ(c[on].Count, 1);
  EXPECT_EQ(c[off].Count, 0);
  EXPECT_EQ(c[on].Handle, fakeserial::NextHandle);
  EXPECT_EQ(c[off].TimeUs - c[on].TimeUs, 25000u);
  EXPECT_EQ(c[firstWrite].TimeUs - c[off].TimeUs, 90000u);
  EXPECT_EQ(c[on].Lines, LinesAtStart + 1) << "\"reset DTR\" must be printed before the pulse";
  EXPECT_EQ(fakeserial::CallsOf(Op::SetDTR).size(), 2u);
}

struct EchoFault {
  const char* Name;
  size_t Position;  // 1-based place among the 250 returned sequence bits
  int Byte;         // -1: the expected bit inverted
};

class EchoFaultTest : public EngineTest, public ::testing::WithParamInterface<EchoFault> {};

TEST_P(EchoFaultTest, AnyWrongEchoMeansNoChip) {
  ChipScript script = GoodChip(1);
  uint8_t& b = script.Replies[0][GetParam().Position - 1];
  b = GetParam().Byte < 0 ? static_cast<uint8_t>(b ^ 1) : static_cast<uint8_t>(GetParam().Byte);
  InstallChip(script);
  EXPECT_FALSE(HardwareFound());
  EXPECT_TRUE(AbortMode);
  EXPECT_FALSE(CommOpen);
  EXPECT_EQ(fakeserial::CallsOf(Op::Close).size(), 1u);
  // The wrong byte is the last one taken.
  EXPECT_EQ(RxBuffStart, GetParam().Position);
  EXPECT_EQ(Output(), Lines({"reset DTR", "Program aborted"}));
}

INSTANTIATE_TEST_SUITE_P(Handshake, EchoFaultTest,
                         ::testing::Values(EchoFault{"FirstInverted", 1, -1}, EchoFault{"LastInverted", 250, -1},
                                           EchoFault{"Zero", 1, 0x00}, EchoFault{"EchoByte", 125, 0xF9},
                                           EchoFault{"ZeroAtTheEnd", 250, 0x00}),
                         [](const auto& info) { return std::string(info.param.Name); });

struct VersionCase {
  std::vector<uint8_t> Bits;
  int Version;
};

class VersionTest : public EngineTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, VersionBitsArriveLeastSignificantFirst) {
  ChipScript script = GoodChip(1);
  std::copy(GetParam().Bits.begin(), GetParam().Bits.end(), script.Replies[0].end() - 8);
  InstallChip(script);
  Version = 0xA5;  // an earlier value must not show through
  GetHardwareVersion();
  EXPECT_EQ(Version, GetParam().Version);
  EXPECT_EQ(Output(), Lines({"reset DTR", "reset DTR",
                             "Hardware version " + std::to_string(GetParam().Version) + " found on /dev/ttyS0."}));
}

INSTANTIATE_TEST_SUITE_P(
    Handshake, VersionTest,
    ::testing::Values(VersionCase{{0xFF, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE}, 1},
                      VersionCase{{0xFE, 0xFF, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE}, 2},
                      VersionCase{{0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFF}, 128},
                      VersionCase{{0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE}, 0},
                      VersionCase{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 255}));

TEST_F(HandshakeTest, DetectionEndsWithCommandZeroASecondResetAndTheClose) {
  InstallChip(GoodChip(1));
  GetHardwareVersion();
  const auto& c = fakeserial::Calls;
  // Everything after the handshake: 11 bytes of command 0, then the pulse
  // and the close, and nothing else on the line.
  const auto written = fakeserial::Written();
  ASSERT_EQ(written.size(), chipwire::HandshakeLength + 11);
  EXPECT_EQ(std::vector<uint8_t>(written.end() - 11, written.end()),
            (std::vector<uint8_t>{0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2}));
  EXPECT_EQ(fakeserial::WriteSizes().back(), 11);
  const int command = static_cast<int>(c.size()) - 1 - 5;  // write, DTR on, delay, DTR off, delay, close
  ASSERT_GT(command, 0);
  std::vector<Op> tail;
  for (size_t i = static_cast<size_t>(command); i < c.size(); ++i) tail.push_back(c[i].Kind);
  EXPECT_EQ(tail, (std::vector<Op>{Op::Write, Op::SetDTR, Op::Delay, Op::SetDTR, Op::Delay, Op::Close}));
  EXPECT_EQ(c.back().Lines, LinesAtStart + 2) << "the version line comes after the close";
  EXPECT_FALSE(CommOpen);
  EXPECT_TRUE(VersionMode);
  EXPECT_EQ(fakeserial::CallsOf(Op::Open).size(), 1u);
}

TEST_F(HandshakeTest, SilentChipTimesOutAfterOneSecondAndIsReportedOnce) {
  InstallChip(ChipScript{});
  const uint64_t before = failreport::LinesWritten;
  EXPECT_THROW(GetHardwareVersion(), failreport::EAbort);
  EXPECT_EQ(Output(), Lines({"reset DTR", "Program aborted", NotFound, "Program aborted"}));
  const auto closes = fakeserial::CallsOf(Op::Close);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].Lines, before + 1) << "closed before \"Program aborted\"";
  // 100 whole ticks of 10 ms from the first look.
  const uint64_t waited = closes[0].TimeUs - fakeserial::CallsOf(Op::Write).back().TimeUs;
  EXPECT_GT(waited, 990000u);
  EXPECT_LE(waited, 1000000u);
  EXPECT_TRUE(AbortMode);
}

TEST_F(HandshakeTest, TheFirstReplyMayTakeAlmostASecond) {
  // Each bit has its own time-out, counted from the start of its receive.
  for (uint64_t latency : {900000u, 1100000u}) {
    SCOPED_TRACE(latency);
    fakeserial::Reset();
    ChipScript script = GoodChip(1);
    script.LatencyUs = latency;
    InstallChip(script);
    EXPECT_EQ(HardwareFound(), latency < 1000000u);
  }
}

TEST_F(HandshakeTest, AChipThatStopsInTheVersionTimesOutAfterHalfASecond) {
  ChipScript script = GoodChip(1);
  script.Replies[0].resize(250 + 3);
  InstallChip(script);
  EXPECT_THROW(GetHardwareVersion(), failreport::EAbort);
  const auto reads = fakeserial::CallsOf(Op::Read);
  const auto closes = fakeserial::CallsOf(Op::Close);
  ASSERT_EQ(closes.size(), 1u);
  // Counted from the start of the fourth version bit, in whole ticks.
  const uint64_t waited = closes[0].TimeUs - reads.front().TimeUs;
  EXPECT_GE(waited, 490000u);
  EXPECT_LE(waited, 510000u);
  EXPECT_EQ(Output(), Lines({"reset DTR", "Program aborted", NotFound, "Program aborted"}));
}

TEST_F(HandshakeTest, PortFailuresInTheHandshakeShowOnlyAsNoChip) {
  struct Case {
    Op Kind;
    int Nth;
    int32_t Result;
    bool Reset;  // the reset line came before the failure
  };
  for (const Case& k : {Case{Op::Open, 0, -1, false}, Case{Op::Write, 0, -1, true}, Case{Op::Write, 1, 200, true},
                        Case{Op::Read, 1, -1, true}}) {
    SCOPED_TRACE(std::string(fakeserial::OpName(k.Kind)) + " #" + std::to_string(k.Nth));
    fakeserial::Reset();
    const size_t start = Output().size();
    InstallChip(GoodChip(1));
    fakeserial::FailCall(k.Kind, k.Nth, k.Result);
    EXPECT_THROW(FindAnyHardware(), failreport::EAbort);
    const std::string all = Output();
    const std::string expected = (k.Reset ? Lines({"reset DTR"}) : "") +
                                 Lines({"Program aborted", NotFound, "Program aborted"});
    EXPECT_EQ(all.substr(start), expected);
    EXPECT_FALSE(CommOpen);
    EXPECT_EQ(fakeserial::CallsOf(Op::Close).size(), k.Kind == Op::Open ? 0u : 1u);
  }
}

TEST_F(HandshakeTest, AFailedCommandZeroStillMeansNoChip) {
  InstallChip(GoodChip(1));
  fakeserial::FailCall(Op::Write, 2, -1);  // the 11 bytes after the version
  EXPECT_THROW(GetHardwareVersion(), failreport::EAbort);
  EXPECT_EQ(Output(), Lines({"reset DTR", "Program aborted", NotFound, "Program aborted"}));
}

TEST_F(HandshakeTest, EveryHandshakeStartsAfreshFromTheSeed) {
  InstallChip(GoodChip(2, 7));
  GetHardwareVersion();
  LFSR = 0x33;
  Version = 0;
  GetHardwareVersion();
  EXPECT_EQ(enginetest::WrittenInContact(1), enginetest::WrittenInContact(0));
  EXPECT_EQ(Output(), Lines({"reset DTR", "reset DTR", "Hardware version 7 found on /dev/ttyS0.", "reset DTR",
                             "reset DTR", "Hardware version 7 found on /dev/ttyS0."}));
}

TEST_F(HandshakeTest, AFailedPinResetIsNotCaughtAndLeavesThePortOpen) {
  // A setting with "/" would reach outside /sys/class/gpio: refused before
  // any file is touched, as an input/output error, not as "no chip".
  ResetPinPort = "../../../tmp/x";
  InstallChip(GoodChip(1));
  try {
    HardwareFound();
    FAIL() << "no failure";
  } catch (const failreport::EInOutError& e) {
    EXPECT_STREQ(e.what(), "Invalid filename");
  }
  EXPECT_FALSE(AbortMode);
  EXPECT_TRUE(CommOpen);
  EXPECT_TRUE(fakeserial::CallsOf(Op::Write).empty());
  EXPECT_EQ(Output(), Lines({"reset ../../../tmp/x"}));
}

}  // namespace
