#include "frontend/cmdline.h"

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace frontend {

int16_t Mode = 0;
std::string FileName;
std::vector<std::string> Arguments;

namespace {

size_t ArgumentCount() { return Arguments.empty() ? 0 : Arguments.size() - 1; }

// Argument number I; the empty text beyond the count.
const std::string& Argument(size_t I) {
  static const std::string none;
  return I >= 1 && I <= ArgumentCount() ? Arguments[I] : none;
}

// An argument taken as a value is cut to its first 255 characters.
std::string ArgumentValue(size_t I) { return Argument(I).substr(0, 255); }

// The switch S is present when some argument is "-" or "/" followed by
// exactly S. Every argument takes part, values and the file name included;
// the last argument is tried first.
bool HasSwitch(std::string_view S) {
  for (size_t i = ArgumentCount(); i >= 1; --i) {
    const std::string& arg = Argument(i);
    if (!arg.empty() && (arg[0] == '-' || arg[0] == '/') && std::string_view(arg).substr(1) == S) return true;
  }
  return false;
}

// The argument after each "-X" or "/X", in order: the last occurrence wins.
std::string SwitchValue(char X, const std::string& Current) {
  std::string value = Current;
  const std::string dash = std::string("-") + X;
  const std::string slash = std::string("/") + X;
  for (size_t i = 1; i <= ArgumentCount(); ++i)
    if (Argument(i) == dash || Argument(i) == slash) value = ArgumentValue(i + 1);
  return value;
}

}  // namespace

std::string UsageText() {
  static const char* const segments[] = {
      " call chipfeed -d /dev/ttyS0 -p1 test.binary",
      " or in Windows",
      " chipfeed -d COM1 -p1 test.binary",
      " -p1 = loading RAM",
      " -p2 = loading EEPROM",
      " -p3 = loading RAM and EEPROM and start ? ",
      " -r gpio186 = use GPIO Port 186 instead of the DTR pin",
  };
  std::string text;
  for (const char* segment : segments) {
    if (!text.empty()) text += "\n\r";
    text += segment;
  }
  return text;
}

bool ParseCommandLine() {
  Mode = 1;
  if (Argument(1).empty()) {
    failreport::WriteLine(UsageText());
    return false;
  }
  if (HasSwitch("p1")) Mode = 1;
  if (HasSwitch("p2")) Mode = 2;
  if (HasSwitch("p3")) Mode = 3;
  if (HasSwitch("h")) {
    failreport::WriteLine(UsageText());
    return false;
  }
  if (!HasSwitch("d")) return false;
  bootlink::CommString = SwitchValue('d', bootlink::CommString);
  bootlink::ResetPinPort.assign(1, '-');  // (assign: GCC 12 misreads operator= here, -Wrestrict)
  if (HasSwitch("r")) bootlink::ResetPinPort = SwitchValue('r', bootlink::ResetPinPort);
  FileName = ArgumentValue(ArgumentCount());
  return true;
}

std::vector<std::string> SplitCommandLine(std::string_view Text) {
  auto separates = [](char c) {
    const auto code = static_cast<unsigned char>(c);
    return code >= 1 && code <= 32;
  };
  std::vector<std::string> items;
  size_t i = 0;
  for (;;) {
    while (i < Text.size() && separates(Text[i])) ++i;
    if (i >= Text.size() || Text[i] == '\0') break;
    std::string item;
    bool quoted = false;
    while (i < Text.size() && Text[i] != '\0' && (quoted || !separates(Text[i]))) {
      if (Text[i] == '"') {
        if (i + 1 < Text.size() && Text[i + 1] == '"') {
          i += 2;  // a doubled quote is dropped and leaves the quoting as it was
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      item += Text[i++];
    }
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace frontend
