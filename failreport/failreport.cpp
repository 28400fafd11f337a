#include "failreport/failreport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>
#endif

namespace failreport {

int OutputFd = 1;
uint64_t LinesWritten = 0;

namespace {

// Lines wait here until the next flush. Flushing happens before every wait
// on the chip or the line and whenever a block's worth has piled up, so a
// terminal or a pipe sees each line in time while a file gets large writes.
std::string Pending;
constexpr size_t FlushThreshold = 16 * 1024;

#ifdef _WIN32
uintptr_t LoadAddress() { return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)); }

// RtlCaptureStackBackTrace walks the frames of the calling thread. Frames
// outside the program (the C runtime, kernel32) are left out of the report.
__attribute__((noinline)) TCodeAddresses CaptureAddresses(unsigned Skip) {
  void* frames[64];
  const USHORT n = RtlCaptureStackBackTrace(Skip + 1, 64, frames, nullptr);
  const uintptr_t base = LoadAddress();
  MEMORY_BASIC_INFORMATION mbi{};
  TCodeAddresses result;
  for (USHORT i = 0; i < n; ++i) {
    const auto addr = reinterpret_cast<uintptr_t>(frames[i]);
    if (VirtualQuery(frames[i], &mbi, sizeof mbi) == 0 ||
        reinterpret_cast<uintptr_t>(mbi.AllocationBase) != base)
      continue;
    result.push_back(addr - 1 - base);
  }
  return result;
}
#else
uintptr_t LoadAddress() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&LoadAddress), &info);
  return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

// backtrace() loads the unwinder (libgcc_s) on its first call. That first
// call is made at start-up, so that a failure raised when no descriptor is
// left ("Too many open files") still gets its addresses.
[[maybe_unused]] const bool UnwinderLoaded = [] {
  void* frame[1];
  return backtrace(frame, 1) >= 0;
}();

// backtrace() gives the return addresses of the active frames. Each one is
// made relative to the load address of the program (so it fits eight hex
// digits and `addr2line -e chipfeed ADDR` finds it) and moved back by one
// byte into the call instruction, so that it names the line of the call
// rather than the line after it. Frames in shared libraries are left out.
__attribute__((noinline)) TCodeAddresses CaptureAddresses(unsigned Skip) {
  void* frames[64];
  const int n = backtrace(frames, 64);
  const uintptr_t base = LoadAddress();
  TCodeAddresses result;
  // Frames to pass over: this function's own and the Skip above it. Only the
  // program's own frames count, since a sanitizer runtime may put a frame of
  // its own (its backtrace interceptor) in front of them.
  unsigned skip = Skip + 1;
  for (int i = 0; i < n; ++i) {
    Dl_info info{};
    const bool ours = dladdr(frames[i], &info) != 0 && reinterpret_cast<uintptr_t>(info.dli_fbase) == base;
    // main is called from the C library; the program's frames end there
    // (what lies beyond is the start-up code, which has no source line).
    if (!ours && !result.empty()) break;
    if (!ours) continue;
    if (skip > 0) {
      --skip;
      continue;
    }
    result.push_back(reinterpret_cast<uintptr_t>(frames[i]) - 1 - base);
  }
  return result;
}
#endif

// Writes all of Text to the output, or returns the error code of the write
// that failed.
int WriteAll(std::string_view Text) {
  while (!Text.empty()) {
#ifdef _WIN32
    // WriteFile on the descriptor's own handle: no text-mode translation (the
    // line ends are already CR LF) and a Win32 error code on failure.
    DWORD n = 0;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(OutputFd));
    if (!WriteFile(handle, Text.data(), static_cast<DWORD>(Text.size()), &n, nullptr))
      return static_cast<int>(GetLastError());
    Text.remove_prefix(n);
#else
    const ssize_t n = write(OutputFd, Text.data(), Text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    Text.remove_prefix(static_cast<size_t>(n));
#endif
  }
  return 0;
}

std::string Hex8(uintptr_t Value) {
  char text[24];
  std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(Value));
  return text;
}

}  // namespace

// The constructors are the raise points: skip the constructor's own frame so
// that the first address is the place that built the failure.
__attribute__((noinline)) EAbort::EAbort() : addresses_(CaptureAddresses(1)) {}

__attribute__((noinline)) EInOutError::EInOutError(std::string message, unsigned CallerFrames)
    : message_(std::move(message)), addresses_(CaptureAddresses(1 + CallerFrames)) {}

std::string IOErrorMessage(int Code) {
#ifdef _WIN32
  switch (Code) {
    case ERROR_FILE_NOT_FOUND: return "File not found";
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return "Invalid filename";
    case ERROR_TOO_MANY_OPEN_FILES: return "Too many open files";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return "Access denied";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "Disk full";
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: return "Broken pipe";
    default: break;
  }
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(Code), 0, text, sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "I/O error " + std::to_string(Code) : message;
#else
  switch (Code) {
    case ENOENT: return "File not found";
    case ENOTDIR:
    case ENAMETOOLONG: return "Invalid filename";
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
    case EWOULDBLOCK: return "Access denied";
    case EMFILE:
    case ENFILE: return "Too many open files";
    case ENOSPC: return "Disk full";
    case EPIPE: return "Broken pipe";
    default: return std::strerror(Code);
  }
#endif
}

// The failure's own address is the place that called RaiseInOutError.
__attribute__((noinline)) void RaiseInOutError(int Code) { throw EInOutError(IOErrorMessage(Code), 1); }

void WriteLine(std::string_view Text) {
  Pending.append(Text);
  Pending.append(LineEnd);
  ++LinesWritten;
  if (Pending.size() >= FlushThreshold) FlushOutput();
}

void FlushOutput() {
  if (Pending.empty()) return;
  const int code = WriteAll(Pending);
  Pending.clear();
  if (code != 0) RaiseInOutError(code);
}

int ReportUnhandled(const char* TypeName, const char* Message, const TCodeAddresses& Addresses) {
  // Lines still waiting belong before the report; their failure cannot
  // change the outcome any more.
  std::string text = std::move(Pending);
  Pending.clear();
  const uintptr_t own = Addresses.empty() ? 0 : Addresses.front();
  text += "An unhandled exception occurred at $" + Hex8(own) + " :";
  text += LineEnd;
  text += std::string(TypeName) + " : " + Message;
  text += LineEnd;
  for (uintptr_t address : Addresses) {
    text += "  $" + Hex8(address);
    text += LineEnd;
  }
  if (Addresses.empty()) {
    text += "  $" + Hex8(0);
    text += LineEnd;
  }
  text += LineEnd;
  WriteAll(text);
  return FailureExitStatus;
}

int ReportUnhandled(const EAbort& E) {
  // The abort is raised in one place only; its report shows that one address.
  TCodeAddresses own;
  if (!E.Addresses().empty()) own.push_back(E.Addresses().front());
  return ReportUnhandled(E.TypeName(), E.what(), own);
}

int ReportUnhandled(const EInOutError& E) {
  return ReportUnhandled(E.TypeName(), E.what(), E.Addresses());
}

}  // namespace failreport
