// Chip reset: a pulse on the serial port's DTR line, or on a GPIO pin driven
// through the sysfs GPIO files, and the export and release of that pin.
//
// The sysfs files are only ever written. Export, direction and unexport are
// written through plain handles whose results nobody examines (a pin that is
// already exported simply shows -1 bytes written). The value file is written
// as checked text: a reset that cannot happen ends the run with EInOutError.
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace bootlink {

using failreport::WriteLine;

namespace {

const std::string GpioRoot = "/sys/class/gpio/";

#ifdef _WIN32
constexpr int WriteFlags = O_WRONLY | O_BINARY;
#else
constexpr int WriteFlags = O_WRONLY | O_CLOEXEC;
#endif

// The text after the first four characters ("gpio186" -> "186"), at most
// 100 characters; empty when there is nothing after them.
std::string PortNumber() {
  return ResetPinPort.size() > 4 ? ResetPinPort.substr(4, 100) : std::string();
}

// The setting names one directory below /sys/class/gpio; a "/" in it would
// let the loader write files elsewhere.
bool PinNameIsSafe() { return ResetPinPort.find('/') == std::string::npos; }

// The system's code for the last failed file call, as failreport words it:
// errno on POSIX, the Win32 error code (which the C runtime keeps in
// _doserrno) on Windows.
int LastFileError() {
#ifdef _WIN32
  return static_cast<int>(_doserrno);
#else
  return errno;
#endif
}

// Opens an existing file for writing: never created, never truncated.
int OpenForWrite(const std::string& Path) { return open(Path.c_str(), WriteFlags); }

int WriteText(int Handle, const std::string& Text) {
  return static_cast<int>(write(Handle, Text.data(), static_cast<unsigned>(Text.size())));
}

// One checked write of the value file: open the existing file (sysfs
// provides it once the pin is exported), write the digit and the line end,
// close. Each step that fails raises EInOutError with its message.
void WriteValueFile(char Digit) {
  std::string path = GpioRoot + ResetPinPort + "/value";
  if (path.size() > 255) path.resize(255);
  const int fd = open(path.c_str(), WriteFlags | O_TRUNC);
  if (fd == -1) failreport::RaiseInOutError(LastFileError());
  const std::string line = std::string(1, Digit) + std::string(failreport::LineEnd);
  const int written = WriteText(fd, line);
  if (written == -1) {
    const int code = LastFileError();
    close(fd);
    failreport::RaiseInOutError(code);
  }
  if (written != static_cast<int>(line.size())) {
    close(fd);
    throw failreport::EInOutError("Disk write error");
  }
  if (close(fd) == -1) failreport::RaiseInOutError(LastFileError());
}

}  // namespace

void ResetHardware() {
  if (ResetPinPort == "-") {
    WriteLine("reset DTR");
    ResetDTR();
  } else {
    WriteLine("reset " + ResetPinPort);
    ResetPin();
  }
}

// The boot loader starts when its reset is released: DTR on for 25 ms, off,
// and 90 ms for the chip to come up before the first handshake byte.
void ResetDTR() {
  SerSetDTR(CommHandle, true);
  DelayMilliseconds(25);
  SerSetDTR(CommHandle, false);
  DelayMilliseconds(90);
}

// The same pulse on a GPIO pin: value 0 for 25 ms, then 1, then 90 ms. The
// value file is never held open across a sleep.
void ResetPin() {
  if (!PinNameIsSafe()) throw failreport::EInOutError("Invalid filename");
  WriteValueFile('0');
  DelayMilliseconds(25);
  WriteValueFile('1');
  DelayMilliseconds(90);
}

void OpenPin() {
  const std::string number = PortNumber();
  const int Test = OpenForWrite(GpioRoot + "export");
  WriteLine("Portnumber : " + number);
  const int Number = WriteText(Test, number);
  WriteLine("Length of port string : " + std::to_string(number.size()) + " " + std::to_string(Number) +
            " bytes written");
  if (Test != -1) close(Test);
  if (!PinNameIsSafe()) return;
  const int direction = OpenForWrite(GpioRoot + ResetPinPort + "/direction");
  WriteText(direction, "out");
  if (direction != -1) close(direction);
}

void ClosePin() {
  const std::string number = PortNumber();
  const int Test = OpenForWrite(GpioRoot + "unexport");
  WriteLine("Portnumber : " + number);
  WriteText(Test, number);
  if (Test != -1) close(Test);
}

}  // namespace bootlink
