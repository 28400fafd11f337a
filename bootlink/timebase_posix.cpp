// The engine's time base on POSIX systems.
#include <sys/times.h>
#include <time.h>

#include <cerrno>

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace bootlink {

// times(2) returns clock ticks since an arbitrary point (sysconf(_SC_CLK_TCK)
// a second: 100 on Linux); the process times it also fills in are not used.
uint32_t GetTickCount() {
  tms unused;
  return static_cast<uint32_t>(times(&unused));
}

// nanosleep(2), resumed after a signal until the whole pause has passed.
void DelayMilliseconds(uint32_t MS) {
  failreport::FlushOutput();
  const uint32_t ms = MS & 0xFFFF;
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

}  // namespace bootlink
