// The usage text as a user sees it, written out here by hand (not taken from
// the program): seven segments joined by a line feed then a carriage return,
// 238 characters, without the line end that follows it.
#pragma once

#include <string>

namespace wanted {

inline const std::string UsageText =
    " call chipfeed -d /dev/ttyS0 -p1 test.binary\n\r"
    " or in Windows\n\r"
    " chipfeed -d COM1 -p1 test.binary\n\r"
    " -p1 = loading RAM\n\r"
    " -p2 = loading EEPROM\n\r"
    " -p3 = loading RAM and EEPROM and start ? \n\r"
    " -r gpio186 = use GPIO Port 186 instead of the DTR pin";

}  // namespace wanted
