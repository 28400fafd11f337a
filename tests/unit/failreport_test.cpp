// The report of an uncaught failure, and checked line output.
#include "failreport/failreport.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "frontend/imagefile.h"
#include "tests/unit/enginetest.h"

namespace {

using enginetest::Lines;

using ReportTest = EngineTest;

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = Text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(Text.substr(at, end - at));
  if (at < Text.size()) lines.push_back(Text.substr(at));
  return lines;
}

// Eight upper-case hexadecimal digits at Text[At..], or "".
std::string Hex8At(const std::string& Text, size_t At) {
  if (Text.size() < At + 8) return "";
  const std::string digits = Text.substr(At, 8);
  for (char c : digits)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return "";
  return digits;
}

// "An unhandled exception occurred at $XXXXXXXX :" gives XXXXXXXX.
std::string FirstLineAddress(const std::string& Line) {
  const std::string head = "An unhandled exception occurred at $";
  if (Line.size() != head.size() + 8 + 2 || !Line.starts_with(head) || !Line.ends_with(" :")) return "";
  return Hex8At(Line, head.size());
}

// "  $XXXXXXXX" gives XXXXXXXX.
std::string AddressLineAddress(const std::string& Line) {
  if (Line.size() != 11 || !Line.starts_with("  $")) return "";
  return Hex8At(Line, 3);
}

struct Report {
  std::string At;                      // address of the first line
  std::string Failure;                 // second line
  std::vector<std::string> Addresses;  // the address lines
  bool WellFormed = false;
};

Report Parse(const std::vector<std::string>& Lines) {
  Report r;
  if (Lines.size() < 4 || (r.At = FirstLineAddress(Lines[0])).empty()) return r;
  r.Failure = Lines[1];
  size_t i = 2;
  for (; i < Lines.size() && !AddressLineAddress(Lines[i]).empty(); ++i) r.Addresses.push_back(AddressLineAddress(Lines[i]));
  r.WellFormed = !r.Addresses.empty() && i + 1 == Lines.size() && Lines[i].empty();
  return r;
}

// The source file and line that addr2line names for each address in this
// test program, in one run of addr2line (empty when it is not at hand).
std::vector<std::string> SourcesOf(const std::vector<std::string>& Addresses) {
  std::string command = "addr2line -e /proc/" + std::to_string(getpid()) + "/exe";
  for (const auto& a : Addresses) command += " 0x" + a;
  std::vector<std::string> sources;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return sources;
  char line[512];
  while (fgets(line, sizeof line, pipe)) sources.push_back(line);
  pclose(pipe);
  return sources;
}

bool HaveAddr2line() { return std::system("command -v addr2line >/dev/null 2>&1") == 0; }

TEST_F(ReportTest, AnAbortShowsOneAddressThatNamesWhereItWasRaised) {
  bootlink::AbortMode = false;
  try {
    bootlink::CommError("Unable to open");
    FAIL() << "CommError returned";
  } catch (const failreport::EAbort& e) {
    EXPECT_STREQ(e.what(), "Operation aborted");
    const size_t start = Output().size();
    EXPECT_EQ(failreport::ReportUnhandled(e), 217);
    const auto lines = SplitLines(Output().substr(start));
    const Report r = Parse(lines);
    ASSERT_TRUE(r.WellFormed) << Output();
    EXPECT_EQ(r.Failure, "EAbort : Operation aborted");
    ASSERT_EQ(r.Addresses.size(), 1u);
    EXPECT_EQ(r.Addresses[0], r.At);
    if (!HaveAddr2line()) GTEST_SKIP() << "addr2line is not installed: the address is not resolved";
    const auto sources = SourcesOf({r.At});
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_NE(sources[0].find("bootlink/transport.cpp:"), std::string::npos) << sources[0];
  }
}

TEST_F(ReportTest, AnInputOutputErrorShowsItsOwnAddressThenItsCallers) {
  std::string message;
  try {
    frontend::LoadImageFile("/nonexistent-folder-of-chipfeed/x.bin");
  } catch (const failreport::EInOutError& e) {
    message = e.what();
    EXPECT_EQ(failreport::ReportUnhandled(e), 217);
  }
  ASSERT_EQ(message, "Invalid filename");
  const Report r = Parse(SplitLines(Output()));
  ASSERT_TRUE(r.WellFormed) << Output();
  EXPECT_EQ(r.Failure, "EInOutError : Invalid filename");
  ASSERT_GE(r.Addresses.size(), 2u);
  EXPECT_EQ(r.Addresses[0], r.At);
  if (!HaveAddr2line()) GTEST_SKIP() << "addr2line is not installed: the addresses are not resolved";
  const auto sources = SourcesOf(r.Addresses);
  ASSERT_EQ(sources.size(), r.Addresses.size());
  EXPECT_NE(sources[0].find("frontend/imagefile.cpp:"), std::string::npos) << sources[0];
  bool callerHere = false;
  for (const auto& s : sources) callerHere |= s.find("failreport_test.cpp:") != std::string::npos;
  EXPECT_TRUE(callerHere) << "the test that called the loader should be among the callers";
}

TEST_F(ReportTest, LinesStillPendingComeBeforeTheReport) {
  failreport::WriteLine("reset DTR");
  failreport::WriteLine("Program aborted");
  failreport::ReportUnhandled("EInOutError", "File not found", {0x1234, 0xABCDEF});
  EXPECT_EQ(Output(), Lines({"reset DTR", "Program aborted", "An unhandled exception occurred at $00001234 :",
                             "EInOutError : File not found", "  $00001234", "  $00ABCDEF", ""}));
}

TEST_F(ReportTest, AFailedLineWriteRaisesAnInputOutputError) {
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_NE(full, -1);
  failreport::OutputFd = full;
  failreport::WriteLine("File size : 3");
  EXPECT_THROW(failreport::FlushOutput(), failreport::EInOutError);
  // The report itself never raises, whatever the output does.
  failreport::WriteLine("lost");
  EXPECT_EQ(failreport::ReportUnhandled("EInOutError", "Disk full", {}), 217);
  close(full);
  failreport::OutputFd = CaptureFd;
  EXPECT_EQ(Output(), "");
}

TEST_F(ReportTest, APipeClosedEarlyIsAnErrorNotASignal) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  const auto previous = std::signal(SIGPIPE, SIG_IGN);  // as the program does
  failreport::OutputFd = ends[1];
  failreport::WriteLine("Test Reset Pin 10");
  EXPECT_THROW(failreport::FlushOutput(), failreport::EInOutError);
  std::signal(SIGPIPE, previous);
  close(ends[1]);
  failreport::OutputFd = CaptureFd;
}

TEST_F(ReportTest, EngineLinesLeaveBeforeTheEngineWaitsOnTheLine) {
  // A user watching the terminal sees each line before the engine blocks.
  bootlink::OpenComm();
  failreport::WriteLine("reset DTR");
  bootlink::TComm();
  char c;
  EXPECT_EQ(pread(CaptureFd, &c, 1, 0), 1) << "the line was still held back when the port was written";
}

}  // namespace
