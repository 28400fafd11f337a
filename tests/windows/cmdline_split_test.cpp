// How the Windows build splits the process's command-line text into the
// program path and its arguments (GetCommandLineA gives one string there).
#include "frontend/cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct SplitCase {
  const char* Name;
  std::string Text;
  std::vector<std::string> Items;
};

class SplitCommandLine : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLine, Items) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(frontend::SplitCommandLine(c.Text), c.Items);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitCommandLine,
    testing::Values(
        SplitCase{"PlainWords", "chipfeed.exe -d COM1 -p1 x.bin", {"chipfeed.exe", "-d", "COM1", "-p1", "x.bin"}},
        SplitCase{"QuotedProgramPathAndImage",
                  R"("C:\Program Files\chipfeed.exe" -d COM1 "my image.bin")",
                  {R"(C:\Program Files\chipfeed.exe)", "-d", "COM1", "my image.bin"}},
        // every code from 1 to 32 separates, in runs; 127 and above do not
        SplitCase{"ControlCharactersSeparate", "p \t\ta\x01\x1f b\r\n c", {"p", "a", "b", "c"}},
        SplitCase{"HighCharactersBelongToTheArgument", "p \xA0x\x7F \xE9", {"p", "\xA0x\x7F", "\xE9"}},
        SplitCase{"LeadingAndTrailingBlanks", "   p  a   ", {"p", "a"}},
        SplitCase{"EmptyText", "", {}},
        SplitCase{"OnlyBlanks", " \t ", {}},
        // a quote toggles quoting wherever it stands and is dropped
        SplitCase{"QuotesInsideAWord", R"(p a"b c"d -d"COM1")", {"p", "ab cd", "-dCOM1"}},
        SplitCase{"QuotedBlank", R"(p " " x)", {"p", " ", "x"}},
        SplitCase{"UnterminatedQuoteRunsToTheEnd", R"(p "a  b)", {"p", "a  b"}},
        // two quotes in a row are dropped together and leave quoting alone
        SplitCase{"DoubledQuoteOutsideQuotes", R"(p a""b c)", {"p", "ab", "c"}},
        SplitCase{"DoubledQuoteInsideQuotes", R"(p "a""b c" d)", {"p", "ab c", "d"}},
        SplitCase{"EmptyQuotedArgument", R"(p "" -d COM1 x.bin)", {"p", "", "-d", "COM1", "x.bin"}},
        SplitCase{"ThreeQuotesOpenQuoting", R"(p """a b" c)", {"p", "a b", "c"}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.Name); });

}  // namespace
