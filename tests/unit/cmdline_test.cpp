// The command line: switch test, value lookup, usage text, and the Windows
// command-line splitter.
#include "frontend/cmdline.h"

#include "tests/expected_usage.h"
#include "tests/unit/enginetest.h"

namespace {

const std::string& Usage = wanted::UsageText;

const std::string Long300 = std::string(300, 'x');
const std::string Long255 = std::string(255, 'x');

struct ParseCase {
  const char* Name;
  std::vector<std::string> Args;  // without the program itself
  bool Valid;
  int Mode;
  std::string Comm;
  std::string Pin;
  std::string File;
  bool UsagePrinted;
};

// Settings that ParseCommandLine leaves alone keep these values.
const std::string Untouched = "<untouched>";

class ParseTest : public EngineTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTest, SettingsAndOutputFollowTheArguments) {
  const ParseCase& c = GetParam();
  frontend::Arguments = {"chipfeed"};
  frontend::Arguments.insert(frontend::Arguments.end(), c.Args.begin(), c.Args.end());
  bootlink::CommString = Untouched;
  bootlink::ResetPinPort = Untouched;
  frontend::FileName = Untouched;
  frontend::Mode = -7;
  EXPECT_EQ(frontend::ParseCommandLine(), c.Valid);
  EXPECT_EQ(frontend::Mode, c.Mode);
  EXPECT_EQ(bootlink::CommString, c.Comm);
  EXPECT_EQ(bootlink::ResetPinPort, c.Pin);
  EXPECT_EQ(frontend::FileName, c.File);
  EXPECT_EQ(Output(), c.UsagePrinted ? Usage + "\n" : "");
  EXPECT_TRUE(fakeserial::Calls.empty());
}

const std::string U = Untouched;

INSTANTIATE_TEST_SUITE_P(
    CommandLine, ParseTest,
    ::testing::Values(
        ParseCase{"NoArguments", {}, false, 1, U, U, U, true},
        ParseCase{"EmptyFirstArgument", {"", "-d", "COM1", "x.bin"}, false, 1, U, U, U, true},
        ParseCase{"Plain", {"-d", "/dev/ttyS0", "-p1", "test.binary"}, true, 1, "/dev/ttyS0", "-", "test.binary",
                  false},
        ParseCase{"NoModeMeansOne", {"-d", "COM1", "x.bin"}, true, 1, "COM1", "-", "x.bin", false},
        ParseCase{"HighestModeWins", {"-d", "COM1", "-p3", "-p1", "x.bin"}, true, 3, "COM1", "-", "x.bin", false},
        ParseCase{"ModeTwo", {"-p2", "-d", "COM1", "x.bin"}, true, 2, "COM1", "-", "x.bin", false},
        ParseCase{"LastPortWins", {"-d", "COM1", "-d", "COM2", "x.bin"}, true, 1, "COM2", "-", "x.bin", false},
        ParseCase{"SlashSwitches", {"/d", "COM1", "/p2", "x.bin"}, true, 2, "COM1", "-", "x.bin", false},
        ParseCase{"CaseMatters", {"-D", "COM1", "x.bin"}, false, 1, U, U, U, false},
        ParseCase{"NotSwitches", {"-d", "COM1", "-P3", "-p22", "--p3", "p3", "-p3x", "-hh", "/H", "x.bin"}, true, 1,
                  "COM1", "-", "x.bin", false},
        ParseCase{"PortSwitchMustBeExact", {"-dev", "COM1", "x.bin"}, false, 1, U, U, U, false},
        ParseCase{"HelpWinsOverAll", {"-d", "COM1", "-h", "x.bin"}, false, 1, U, U, U, true},
        ParseCase{"HelpSetsModeFirst", {"-p3", "/h"}, false, 3, U, U, U, true},
        ParseCase{"HelpAsAValueStillCounts", {"-d", "-h", "x.bin"}, false, 1, U, U, U, true},
        ParseCase{"PortAlone", {"-d", "COM1"}, true, 1, "COM1", "-", "COM1", false},
        ParseCase{"SwitchLast", {"x.bin", "-d"}, true, 1, "", "-", "-d", false},
        ParseCase{"DashPin", {"-d", "COM1", "-r", "-", "x.bin"}, true, 1, "COM1", "-", "x.bin", false},
        ParseCase{"PinSwitchLast", {"-d", "COM1", "x.bin", "-r"}, true, 1, "COM1", "", "-r", false},
        ParseCase{"GpioPin", {"-d", "/dev/ttyS1", "/r", "gpio186", "-p2", "img"}, true, 2, "/dev/ttyS1", "gpio186",
                  "img", false},
        ParseCase{"LastPinWins", {"-r", "gpio1", "-d", "COM1", "-r", "gpio2", "x"}, true, 1, "COM1", "gpio2", "x",
                  false},
        ParseCase{"ValuesCutTo255", {"-d", Long300, "-r", Long300, Long300}, true, 1, Long255, Long255, Long255,
                  false},
        ParseCase{"ModeSwitchAsFileName", {"-d", "COM1", "-p2"}, true, 2, "COM1", "-", "-p2", false},
        ParseCase{"UnknownOptionsIgnored", {"-x", "-d", "COM1", "--verbose", "x.bin"}, true, 1, "COM1", "-", "x.bin",
                  false},
        ParseCase{"EmptyPortValue", {"-d", "", "x.bin"}, true, 1, "", "-", "x.bin", false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(UsageText, IsTheSevenSegmentsJoinedByLineFeedCarriageReturn) {
  const std::string text = frontend::UsageText();
  EXPECT_EQ(text, Usage);
  EXPECT_EQ(text.size(), 238u);
}

// ---- Splitting a Windows command line ----

struct SplitCase {
  const char* Name;
  std::string Text;
  std::vector<std::string> Items;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, ItemsFollowBlanksAndQuotes) { EXPECT_EQ(frontend::SplitCommandLine(GetParam().Text), GetParam().Items); }

INSTANTIATE_TEST_SUITE_P(
    CommandLine, SplitTest,
    ::testing::Values(
        SplitCase{"Empty", "", {}},
        SplitCase{"OnlyBlanks", " \t ", {}},
        SplitCase{"Plain", "chipfeed.exe -d COM1 -p1 x.bin", {"chipfeed.exe", "-d", "COM1", "-p1", "x.bin"}},
        SplitCase{"RunsOfBlanks", "  a   b\t\tc  ", {"a", "b", "c"}},
        SplitCase{"ControlCharactersSeparate", "a\x01" "b\x1F" "c\x20" "d", {"a", "b", "c", "d"}},
        SplitCase{"HighBytesDoNot", "a\x7F" "b \xE9t\xE9", {"a\x7F" "b", "\xE9t\xE9"}},
        SplitCase{"QuotedProgramPath",
                  "\"C:\\Program Files\\chipfeed.exe\" -d COM1",
                  {"C:\\Program Files\\chipfeed.exe", "-d", "COM1"}},
        SplitCase{"QuotesInsideAnItem", "p a\"b c\"d", {"p", "ab cd"}},
        SplitCase{"DoubledQuoteOutside", "p a\"\"b", {"p", "ab"}},
        SplitCase{"DoubledQuoteInside", "p \"a\"\"b c\"", {"p", "ab c"}},
        SplitCase{"UnclosedQuote", "p \"a b", {"p", "a b"}},
        SplitCase{"TabInsideQuotes", "p \"a\tb\"", {"p", "a\tb"}},
        SplitCase{"BackslashIsPlain", "p C:\\dir\\x.bin", {"p", "C:\\dir\\x.bin"}}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
