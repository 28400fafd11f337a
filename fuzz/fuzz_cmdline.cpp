// Fuzz target: the command line.
//
// The input is cut into an argument vector at NUL bytes and handed to
// ParseCommandLine; the same bytes are also split as a Windows command-line
// text by SplitCommandLine. Beyond "no crash, no undefined behaviour", the
// results must keep the properties the rest of the program builds on:
//   - a valid command line has a mode of 1, 2 or 3, a port name, a pin
//     setting and a file name of at most 255 characters, and the file name is
//     the last argument;
//   - a run that stops at the command line has printed at most the usage text;
//   - split items never hold a double quote or a NUL, and quoting every item
//     and splitting again gives the same items back.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"
#include "frontend/cmdline.h"

namespace {

[[noreturn]] void Fail(const char* What) {
  std::fprintf(stderr, "fuzz_cmdline: %s\n", What);
  std::abort();
}

void Check(bool Ok, const char* What) {
  if (!Ok) Fail(What);
}

void SendOutputNowhere() {
  static const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  failreport::OutputFd = sink;
}

void FuzzParse(std::string_view Data) {
  std::vector<std::string> args{"chipfeed"};
  size_t start = 0;
  for (size_t i = 0; i <= Data.size(); ++i) {
    if (i == Data.size() || Data[i] == '\0') {
      args.emplace_back(Data.substr(start, i - start));
      start = i + 1;
    }
  }
  // A lone empty argument means "no arguments at all" half the time, so
  // both the empty list and an empty first argument are reached.
  if (args.size() == 2 && args[1].empty() && Data.empty()) args.pop_back();

  frontend::Arguments = args;
  frontend::FileName.clear();
  bootlink::CommString.clear();
  bootlink::ResetPinPort.clear();
  const uint64_t linesBefore = failreport::LinesWritten;
  const bool valid = frontend::ParseCommandLine();
  const uint64_t printed = failreport::LinesWritten - linesBefore;
  failreport::FlushOutput();

  Check(frontend::Mode >= 1 && frontend::Mode <= 3, "mode out of 1..3");
  if (!valid) {
    Check(printed <= 1, "more than the usage text printed for a stopped command line");
    return;
  }
  Check(printed == 0, "a valid command line printed something");
  Check(args.size() >= 2 && !args[1].empty(), "valid without a first argument");
  Check(bootlink::CommString.size() <= 255, "port name longer than 255");
  Check(bootlink::ResetPinPort.size() <= 255, "pin setting longer than 255");
  Check(frontend::FileName == args.back().substr(0, 255), "file name is not the last argument");
  bool hasD = false;  // "-d" and "/d" are the only spellings of the switch
  for (size_t i = 1; i < args.size(); ++i) hasD = hasD || args[i] == "-d" || args[i] == "/d";
  Check(hasD, "valid without a -d switch");
}

std::string Quoted(const std::vector<std::string>& Items) {
  std::string text;
  for (const std::string& item : Items) text += "\"" + item + "\" ";
  return text;
}

void FuzzSplit(std::string_view Data) {
  const std::vector<std::string> items = frontend::SplitCommandLine(Data);
  size_t total = 0;
  for (const std::string& item : items) {
    Check(item.find('"') == std::string::npos, "split item holds a double quote");
    Check(item.find('\0') == std::string::npos, "split item holds a NUL");
    total += item.size();
  }
  Check(total <= Data.size(), "split items longer than the text");
  Check(frontend::SplitCommandLine(Quoted(items)) == items, "quoting the items and splitting again differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  SendOutputNowhere();
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  FuzzParse(text);
  FuzzSplit(text);
  return 0;
}
