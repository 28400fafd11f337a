// winport_check: the Windows serial layer on its own, against a real COM
// port (under wine: a pseudo-terminal mapped as the port). Built with
// MinGW-w64 and run by wine_e2e_test, which owns the other end of the line.
//
//   winport_check PORT ABSENT-PORT
//
// Prints one line per check, "ok NAME" or "FAIL NAME: what", and ends with
// status 0 only when every check passed. The caller has left bytes waiting in
// the port's input before the run; they must be gone after SerSetParams.
// Last, the program writes "hello" to the port and closes it, and the caller
// checks what reached its end of the line and how the line was set.
#include <windows.h>

#include <cstdio>
#include <string>

#include "serial/serialport.h"

namespace {

int Failures = 0;

void Check(bool Passed, const char* Name, const std::string& What) {
  if (Passed) {
    std::printf("ok %s\n", Name);
  } else {
    std::printf("FAIL %s: %s\n", Name, What.c_str());
    ++Failures;
  }
}

std::string Describe(const DCB& Dcb) {
  char text[200];
  std::snprintf(text, sizeof text, "BaudRate %lu ByteSize %u Parity %u StopBits %u fBinary %u fParity %u "
                "fOutxCtsFlow %u fRtsControl %u fOutX %u fInX %u",
                static_cast<unsigned long>(Dcb.BaudRate), Dcb.ByteSize, Dcb.Parity, Dcb.StopBits,
                static_cast<unsigned>(Dcb.fBinary), static_cast<unsigned>(Dcb.fParity),
                static_cast<unsigned>(Dcb.fOutxCtsFlow), static_cast<unsigned>(Dcb.fRtsControl),
                static_cast<unsigned>(Dcb.fOutX), static_cast<unsigned>(Dcb.fInX));
  return text;
}

// What the port reports after SerSetParams: the settings reached the driver.
DCB StateOf(TSerialHandle Handle) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(reinterpret_cast<HANDLE>(Handle), &dcb);
  return dcb;
}

double Milliseconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: winport_check PORT ABSENT-PORT\n");
    return 2;
  }
  const std::string port = argv[1];
  char buffer[64];

  Check(SerOpen(argv[2]) == -1, "open-absent-port", "a port that does not exist opened");
  Check(SerRead(-1, buffer, 1) == -1, "read-invalid-handle", "SerRead on INVALID_HANDLE_VALUE did not fail");
  Check(SerWrite(-1, "x", 1) == -1, "write-invalid-handle", "SerWrite on INVALID_HANDLE_VALUE did not fail");

  const TSerialHandle handle = SerOpen(port);
  if (handle == -1) {
    Check(false, "open", "SerOpen(" + port + ") failed, error " + std::to_string(GetLastError()));
    return 1;
  }
  Check(true, "open", "");
  // (Exclusive access, share mode 0, is Windows' to enforce; wine does not
  // enforce it for serial devices, so it is not checked here.)

  // Another line first, so that the second call visibly replaces it. A
  // pseudo-terminal keeps 8 data bits without parity whatever it is told,
  // and wine reports RTS handshaking only through fOutxCtsFlow: speed, stop
  // bits and CTS flow control are what can be seen here.
  SerSetParams(handle, 9600, 7, EvenParity, 2, RtsCtsFlowControl);
  DCB dcb = StateOf(handle);
  Check(dcb.BaudRate == 9600 && dcb.StopBits == TWOSTOPBITS && dcb.fOutxCtsFlow == 1, "state-9600-2-stop-rtscts",
        Describe(dcb));

  SerSetParams(handle, 115200, 8, NoneParity, 1, 0);
  dcb = StateOf(handle);
  Check(dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT &&
            dcb.fBinary == 1 && dcb.fParity == 0 && dcb.fOutxCtsFlow == 0 && dcb.fRtsControl != RTS_CONTROL_HANDSHAKE &&
            dcb.fOutX == 0 && dcb.fInX == 0,
        "state-115200-8N1", Describe(dcb));

  COMMTIMEOUTS timeouts{};
  GetCommTimeouts(reinterpret_cast<HANDLE>(handle), &timeouts);
  Check(timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == 0 &&
            timeouts.ReadTotalTimeoutConstant == 0 && timeouts.WriteTotalTimeoutMultiplier == 0 &&
            timeouts.WriteTotalTimeoutConstant == 0,
        "timeouts", "ReadIntervalTimeout " + std::to_string(timeouts.ReadIntervalTimeout));

  // The bytes the caller left waiting were purged, and a read with nothing
  // there comes back at once.
  const double start = Milliseconds();
  const int32_t got = SerRead(handle, buffer, sizeof buffer);
  const double took = Milliseconds() - start;
  Check(got == 0, "read-after-purge", "SerRead returned " + std::to_string(got));
  Check(took < 50.0, "read-does-not-wait", "SerRead took " + std::to_string(took) + " ms");

  SerSetDTR(handle, true);
  SerSetDTR(handle, false);
  Check(SerWrite(handle, "hello", 5) == 5, "write", "SerWrite did not report 5 bytes");
  SerClose(handle);

  // Closed, the port is free again.
  const TSerialHandle again = SerOpen(port);
  Check(again != -1, "reopen-after-close", "SerOpen after SerClose failed");
  if (again != -1) SerClose(again);

  std::printf("%s\n", Failures == 0 ? "all ok" : "failures");
  return Failures == 0 ? 0 : 1;
}
