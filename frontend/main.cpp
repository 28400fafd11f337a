// chipfeed: downloads a program image into a Propeller chip through its ROM
// boot loader over a serial line.
//
// The run is one straight pass: first line, command line, start lines, then
//   OpenPin (GPIO reset only) -> LoadImageFile -> GetHardwareVersion
//   -> TalkToHardware -> ClosePin (GPIO reset only) -> exit status 0.
// Any failure ends the pass at once with the failure report and status 217.
#include <csignal>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>

#include <cerrno>
#endif

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"
#include "frontend/cmdline.h"
#include "frontend/imagefile.h"

namespace {

using failreport::WriteLine;

void PrintStartLines() {
  WriteLine("chipfeed will send : " + frontend::FileName + " to " + bootlink::CommString + " in Mode " +
            std::to_string(frontend::Mode));
  WriteLine(" resetpin : " + bootlink::ResetPinPort);
}

void RunSequence() {
  if (bootlink::ResetPinPort != "-") bootlink::OpenPin();
  frontend::LoadImageFile(frontend::FileName);
  bootlink::GetHardwareVersion();
  bootlink::TalkToHardware(bootlink::LongCount, static_cast<uint8_t>(frontend::Mode & 0xFF));
  if (bootlink::ResetPinPort != "-") bootlink::ClosePin();
}

void ReadArguments([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
#ifdef _WIN32
  frontend::Arguments = frontend::SplitCommandLine(GetCommandLineA());
#else
  frontend::Arguments.assign(argv, argv + argc);
#endif
}

#ifndef _WIN32
// A process started with standard input, output or error closed would hand
// those numbers to the first files it opens: the image, or the serial port,
// which would then receive the program's text. Each missing one is taken by
// a descriptor that fails every write, so output fails as output should.
void HoldStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDONLY);
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  HoldStandardDescriptors();
  // A pipe closed early must fail a write with EPIPE, to be reported like any
  // other output failure, instead of killing the process with a signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  int status = 0;
  try {
    ReadArguments(argc, argv);
    WriteLine("Test Reset Pin 10");
    if (frontend::ParseCommandLine()) {
      PrintStartLines();
      RunSequence();
    } else {
      WriteLine("No valid command line");
    }
    failreport::FlushOutput();
  } catch (const failreport::EAbort& e) {
    status = failreport::ReportUnhandled(e);
  } catch (const failreport::EInOutError& e) {
    status = failreport::ReportUnhandled(e);
  } catch (const std::exception& e) {
    status = failreport::ReportUnhandled("Exception", e.what(), {});
  }
  bootlink::FinalizeModule();
  return status;
}
