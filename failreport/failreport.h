// failreport: how chipfeed prints, and how it fails.
//
// - The two failure types: EAbort (the protocol engine's one abort) and
//   EInOutError (a file or output operation that failed, with the platform's
//   message for it). Each records the code addresses of the place that raised
//   it, taken with the platform's backtrace facility at construction.
// - Checked line output: every line goes to standard output with the
//   platform's line end; a write that fails raises EInOutError.
// - The report of a failure that nothing caught, which ends every failed run
//   with exit status 217.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace failreport {

constexpr int FailureExitStatus = 217;

#ifdef _WIN32
constexpr std::string_view LineEnd = "\r\n";
#else
constexpr std::string_view LineEnd = "\n";
#endif

// Code addresses, relative to the program's load address, innermost first.
using TCodeAddresses = std::vector<uintptr_t>;

class EAbort : public std::exception {
 public:
  EAbort();
  const char* what() const noexcept override { return "Operation aborted"; }
  const char* TypeName() const noexcept { return "EAbort"; }
  const TCodeAddresses& Addresses() const noexcept { return addresses_; }

 private:
  TCodeAddresses addresses_;
};

class EInOutError : public std::exception {
 public:
  // CallerFrames: how many frames of helpers between the failing place and
  // the constructor to leave out of the addresses.
  explicit EInOutError(std::string message, unsigned CallerFrames = 0);
  const char* what() const noexcept override { return message_.c_str(); }
  const char* TypeName() const noexcept { return "EInOutError"; }
  const TCodeAddresses& Addresses() const noexcept { return addresses_; }

 private:
  std::string message_;
  TCodeAddresses addresses_;
};

// The platform's wording of an input/output failure (errno on POSIX, the
// last-error code on Windows), for the cases the user must be able to tell
// apart: "File not found", "Access denied", "Too many open files", ...
std::string IOErrorMessage(int Code);

// Raises EInOutError with the message for Code.
[[noreturn]] void RaiseInOutError(int Code);

// Checked line output. Lines are collected and written out in blocks; the
// engine calls FlushOutput before anything that may wait on the chip or the
// line, so a user never waits without seeing every line printed so far.
void WriteLine(std::string_view Text);
void FlushOutput();

// Where lines go (standard output; tests point it at a file of their own).
extern int OutputFd;
// Number of lines handed to WriteLine since the start of the process.
extern uint64_t LinesWritten;

// Prints the report of an uncaught failure and returns the exit status (217).
// Never raises: once the run is failing, a broken standard output cannot make
// it fail differently.
int ReportUnhandled(const char* TypeName, const char* Message, const TCodeAddresses& Addresses);
int ReportUnhandled(const EAbort& E);
int ReportUnhandled(const EInOutError& E);

}  // namespace failreport
