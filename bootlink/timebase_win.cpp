// The engine's time base on Windows: milliseconds.
#include <windows.h>

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace bootlink {

namespace {

// QueryPerformanceFrequency: counts per second of the performance counter,
// fixed at boot. On Windows XP and later the call cannot fail.
int64_t CounterFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

}  // namespace

// Milliseconds of the performance counter (QueryPerformanceCounter). It
// counts up from boot at a fixed rate, is 64 bits wide and does not follow
// the wall clock, so a wait is neither cut short nor stretched when the user
// or a daylight-saving change sets the clock. Its resolution is well below a
// millisecond, where GetTickCount64 moves in steps of the 15.6 ms timer
// interrupt (a third of the 50 ms version-bit time-out). The engine uses
// only differences of the low 32 bits, which stay right across their wrap
// after 49.7 days.
uint32_t GetTickCount() {
  static const int64_t frequency = CounterFrequency();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // Whole seconds and the rest apart: counts * 1000 alone could overflow.
  const int64_t seconds = now.QuadPart / frequency;
  const int64_t rest = now.QuadPart % frequency;
  return static_cast<uint32_t>(seconds * 1000 + rest * 1000 / frequency);
}

// Sleep for MS modulo 65,536 milliseconds, after every pending output line
// has been written, so that the user sees them before the program waits.
void DelayMilliseconds(uint32_t MS) {
  failreport::FlushOutput();
  Sleep(MS & 0xFFFF);
}

}  // namespace bootlink
