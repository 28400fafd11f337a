// The values the Windows serial layer hands to SetCommState, SetCommTimeouts
// and PurgeComm, and the path it opens. Built natively: the records are
// plain data, checked here field by field.
#include "serial/wincommsettings.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

// Everything but the listed fields must stay zero: a field left over from
// an earlier setting (XON/XOFF, DSR sensitivity, abort on error) would make
// the line behave differently from what the engine expects.
void ExpectOnlyFrameFieldsSet(const TCommDcb& Dcb) {
  EXPECT_EQ(Dcb.wReserved, 0);
  EXPECT_EQ(Dcb.XonLim, 0);
  EXPECT_EQ(Dcb.XoffLim, 0);
  EXPECT_EQ(Dcb.XonChar, 0);
  EXPECT_EQ(Dcb.XoffChar, 0);
  EXPECT_EQ(Dcb.ErrorChar, 0);
  EXPECT_EQ(Dcb.EofChar, 0);
  EXPECT_EQ(Dcb.EvtChar, 0);
  EXPECT_EQ(Dcb.wReserved1, 0);
}

TEST(WinCommSettings, EngineLineIs115200EightNoneOneWithReadsThatNeverWait) {
  const TCommSettings s = BuildCommSettings(115200, 8, NoneParity, 1, 0);
  EXPECT_EQ(s.Dcb.DCBlength, 28u);
  EXPECT_EQ(s.Dcb.BaudRate, 115200u);
  EXPECT_EQ(s.Dcb.Flags, 0x1u) << "fBinary alone: no flow control, DTR and RTS left to the program";
  EXPECT_EQ(s.Dcb.ByteSize, 8);
  EXPECT_EQ(s.Dcb.Parity, 0) << "NOPARITY";
  EXPECT_EQ(s.Dcb.StopBits, 0) << "ONESTOPBIT";
  ExpectOnlyFrameFieldsSet(s.Dcb);

  EXPECT_EQ(s.Timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(s.Timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(s.Timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(s.Timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(s.Timeouts.WriteTotalTimeoutConstant, 0u);

  EXPECT_EQ(s.PurgeFlags, 0x0Cu) << "PURGE_RXCLEAR | PURGE_TXCLEAR";
}

// The records mirror the Win32 layout byte for byte (winport.cpp also checks
// the sizes against the real headers when it is compiled for Windows).
TEST(WinCommSettings, RecordsHaveTheWin32Layout) {
  EXPECT_EQ(sizeof(TCommDcb), 28u);
  EXPECT_EQ(offsetof(TCommDcb, Flags), 8u);
  EXPECT_EQ(offsetof(TCommDcb, ByteSize), 18u);
  EXPECT_EQ(offsetof(TCommDcb, EvtChar), 25u);
  EXPECT_EQ(sizeof(TCommTimeoutValues), 20u);
}

struct RateCase {
  int32_t Asked;
  uint32_t Applied;
};

class WinCommRate : public testing::TestWithParam<RateCase> {};

TEST_P(WinCommRate, StandardRatesPassAndEverythingElseRunsAt9600) {
  const RateCase c = GetParam();
  EXPECT_EQ(BuildCommSettings(c.Asked, 8, NoneParity, 1, 0).Dcb.BaudRate, c.Applied) << "asked " << c.Asked;
}

INSTANTIATE_TEST_SUITE_P(
    Table, WinCommRate,
    testing::Values(RateCase{110, 110}, RateCase{300, 300}, RateCase{600, 600}, RateCase{1200, 1200},
                    RateCase{2400, 2400}, RateCase{4800, 4800}, RateCase{14400, 14400}, RateCase{19200, 19200},
                    RateCase{38400, 38400}, RateCase{56000, 56000}, RateCase{57600, 57600},
                    RateCase{115200, 115200}, RateCase{128000, 128000}, RateCase{256000, 256000},
                    // 9600 reaches 9600 as the fallback; the POSIX-only rates do not pass here
                    RateCase{9600, 9600}, RateCase{0, 9600}, RateCase{-5, 9600}, RateCase{-115200, 9600},
                    RateCase{230400, 9600}, RateCase{460800, 9600}, RateCase{50, 9600}, RateCase{1800, 9600},
                    RateCase{115201, 9600}));

struct FrameCase {
  int32_t ByteSize;
  TParityType Parity;
  int32_t StopBits;
  uint8_t WantByteSize;
  uint8_t WantParity;
  uint8_t WantStopBits;
};

class WinCommFrame : public testing::TestWithParam<FrameCase> {};

TEST_P(WinCommFrame, DataBitsParityAndStopBits) {
  const FrameCase c = GetParam();
  const TCommSettings s = BuildCommSettings(115200, c.ByteSize, c.Parity, c.StopBits, 0);
  EXPECT_EQ(s.Dcb.ByteSize, c.WantByteSize);
  EXPECT_EQ(s.Dcb.Parity, c.WantParity);
  EXPECT_EQ(s.Dcb.StopBits, c.WantStopBits);
  EXPECT_EQ(s.Dcb.Flags, DcbBinary) << "parity is never checked on input: fParity stays clear";
}

INSTANTIATE_TEST_SUITE_P(Table, WinCommFrame,
                         testing::Values(
                             // data bits: 4..7 kept, everything else 8
                             FrameCase{4, NoneParity, 1, 4, 0, 0}, FrameCase{5, NoneParity, 1, 5, 0, 0},
                             FrameCase{6, NoneParity, 1, 6, 0, 0}, FrameCase{7, NoneParity, 1, 7, 0, 0},
                             FrameCase{3, NoneParity, 1, 8, 0, 0}, FrameCase{9, NoneParity, 1, 8, 0, 0},
                             FrameCase{0, NoneParity, 1, 8, 0, 0}, FrameCase{-7, NoneParity, 1, 8, 0, 0},
                             // parity: the ordinal is the Win32 code
                             FrameCase{8, OddParity, 1, 8, 1, 0}, FrameCase{8, EvenParity, 1, 8, 2, 0},
                             // stop bits: only 2 gives TWOSTOPBITS; 1.5 cannot be asked for
                             FrameCase{8, NoneParity, 2, 8, 0, 2}, FrameCase{8, NoneParity, 0, 8, 0, 0},
                             FrameCase{8, NoneParity, 3, 8, 0, 0}, FrameCase{7, EvenParity, 2, 7, 2, 2}));

TEST(WinCommSettings, RtsCtsFlowControlGatesOutputOnCtsAndHandsRtsToTheDriver) {
  const TCommDcb with = BuildCommSettings(115200, 8, NoneParity, 1, RtsCtsFlowControl).Dcb;
  EXPECT_EQ(with.Flags, 0x1u | 0x4u | 0x2000u) << "fBinary, fOutxCtsFlow, fRtsControl = RTS_CONTROL_HANDSHAKE";
  // Only bit 0 of the set means anything.
  const TCommDcb other = BuildCommSettings(115200, 8, NoneParity, 1, 0x2).Dcb;
  EXPECT_EQ(other.Flags, 0x1u);
}

TEST(WinCommDevicePath, TheDeviceNamespacePrefixGoesInFrontOfEveryName) {
  EXPECT_EQ(CommDevicePath("COM1"), "\\\\.\\COM1");
  EXPECT_EQ(CommDevicePath("COM12"), "\\\\.\\COM12");
  EXPECT_EQ(CommDevicePath("\\\\.\\COM3"), "\\\\.\\\\\\.\\COM3") << "a name with the prefix gets it again";
  EXPECT_EQ(CommDevicePath(""), "\\\\.\\");
}

}  // namespace
