// Command line and start lines of chipfeed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace frontend {

// The front end's own settings; CommString and ResetPinPort live in the engine.
extern int16_t Mode;
extern std::string FileName;

// The process's arguments; number 0 is the program itself and never looked at.
extern std::vector<std::string> Arguments;

// The usage text: seven segments joined by a line feed followed by a carriage
// return (238 characters), printed as one piece with one line end after it.
std::string UsageText();

// Reads Arguments into Mode, CommString, ResetPinPort and FileName. Returns
// false when the run stops here (after the usage text, or without "-d").
bool ParseCommandLine();

// Splits a Windows command-line text into its items: runs of characters 1 to
// 32 separate them; a double quote switches quoting and is dropped; two double
// quotes in a row are dropped together. The first item is the program path.
std::vector<std::string> SplitCommandLine(std::string_view Text);

}  // namespace frontend
