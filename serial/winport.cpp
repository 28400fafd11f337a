// winport: the Win32 serial port layer (COM ports).
//
// The same six routines as the POSIX variant, with the same names, types and
// results, over the Win32 communications interface. Each routine is one or a
// few platform calls; the layer keeps no state and prints nothing. Open, read
// and write report failure with -1; the results of every other call are
// dropped on purpose, as in the POSIX variant.
//
// All I/O is synchronous: the port is opened without FILE_FLAG_OVERLAPPED, so
// ReadFile and WriteFile complete before they return, and reads never wait
// because of the time-outs that SerSetParams sets.
#include <windows.h>

#include "serial/serialport.h"
#include "serial/wincommsettings.h"

// The portable records must be the Win32 ones, value for value.
static_assert(sizeof(DCB) == CommDcbLength, "DCBlength is the size of the DCB");
static_assert(sizeof(TCommDcb) == sizeof(DCB) && sizeof(TCommTimeoutValues) == sizeof(COMMTIMEOUTS));
static_assert(RtsControlHandshake == RTS_CONTROL_HANDSHAKE && DTR_CONTROL_DISABLE == 0 &&
              RTS_CONTROL_DISABLE == 0);
static_assert(OneStopBit == ONESTOPBIT && TwoStopBits == TWOSTOPBITS);
static_assert(NoneParity == NOPARITY && OddParity == ODDPARITY && EvenParity == EVENPARITY);
static_assert(PurgeTxClear == PURGE_TXCLEAR && PurgeRxClear == PURGE_RXCLEAR);
static_assert(MaxDword == MAXDWORD);
// A handle travels as a pointer-wide integer: INVALID_HANDLE_VALUE, all bits
// set, then reads as -1 for the callers.
static_assert(sizeof(HANDLE) == sizeof(TSerialHandle));

namespace {

HANDLE AsHandle(TSerialHandle Handle) { return reinterpret_cast<HANDLE>(Handle); }

// The flag word goes into the DCB's bit fields one by one: the fields are
// named, so no assumption about how the compiler packs them is needed.
constexpr DCB ToWin32(const TCommDcb& From) {
  DCB dcb{};
  dcb.DCBlength = From.DCBlength;
  dcb.BaudRate = From.BaudRate;
  dcb.fBinary = (From.Flags >> 0) & 1u;
  dcb.fParity = (From.Flags >> 1) & 1u;
  dcb.fOutxCtsFlow = (From.Flags >> 2) & 1u;
  dcb.fOutxDsrFlow = (From.Flags >> 3) & 1u;
  dcb.fDtrControl = (From.Flags >> DcbDtrControlShift) & 3u;
  dcb.fDsrSensitivity = (From.Flags >> 6) & 1u;
  dcb.fTXContinueOnXoff = (From.Flags >> 7) & 1u;
  dcb.fOutX = (From.Flags >> 8) & 1u;
  dcb.fInX = (From.Flags >> 9) & 1u;
  dcb.fErrorChar = (From.Flags >> 10) & 1u;
  dcb.fNull = (From.Flags >> 11) & 1u;
  dcb.fRtsControl = (From.Flags >> DcbRtsControlShift) & 3u;
  dcb.fAbortOnError = (From.Flags >> 14) & 1u;
  dcb.wReserved = From.wReserved;
  dcb.XonLim = From.XonLim;
  dcb.XoffLim = From.XoffLim;
  dcb.ByteSize = From.ByteSize;
  dcb.Parity = From.Parity;
  dcb.StopBits = From.StopBits;
  dcb.XonChar = From.XonChar;
  dcb.XoffChar = From.XoffChar;
  dcb.ErrorChar = From.ErrorChar;
  dcb.EofChar = From.EofChar;
  dcb.EvtChar = From.EvtChar;
  dcb.wReserved1 = From.wReserved1;
  return dcb;
}

// The bit numbers of the flag word are those of the Win32 bit fields.
constexpr bool FlagWordMatches() {
  const DCB dcb = ToWin32(TCommDcb{0, 0, DcbBinary | DcbOutxCtsFlow | (RtsControlHandshake << DcbRtsControlShift) |
                                             DcbAbortOnError | (1u << DcbDtrControlShift) | DcbNull,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  return dcb.fBinary == 1 && dcb.fParity == 0 && dcb.fOutxCtsFlow == 1 && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE &&
         dcb.fAbortOnError == 1 && dcb.fDtrControl == DTR_CONTROL_ENABLE && dcb.fNull == 1 && dcb.fOutX == 0;
}
static_assert(FlagWordMatches());

COMMTIMEOUTS ToWin32(const TCommTimeoutValues& From) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = From.ReadIntervalTimeout;
  timeouts.ReadTotalTimeoutMultiplier = From.ReadTotalTimeoutMultiplier;
  timeouts.ReadTotalTimeoutConstant = From.ReadTotalTimeoutConstant;
  timeouts.WriteTotalTimeoutMultiplier = From.WriteTotalTimeoutMultiplier;
  timeouts.WriteTotalTimeoutConstant = From.WriteTotalTimeoutConstant;
  return timeouts;
}

}  // namespace

// CreateFileA on "\\.\" + the name: the device namespace, which reaches every
// COM port (COM10 and above have no plain DOS name). Read and write access,
// share mode 0 (the port is ours alone: a second program gets
// ERROR_ACCESS_DENIED), OPEN_EXISTING (a device is never created), no
// FILE_FLAG_OVERLAPPED (synchronous I/O). No setting is applied here. The
// handle goes back unchanged, INVALID_HANDLE_VALUE (-1) included, with the
// last-error value left as CreateFileA set it.
TSerialHandle SerOpen(const std::string& DeviceName) {
  const HANDLE handle = CreateFileA(CommDevicePath(DeviceName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return reinterpret_cast<TSerialHandle>(handle);
}

// CloseHandle; its result is dropped.
void SerClose(TSerialHandle Handle) { CloseHandle(AsHandle(Handle)); }

// ReadFile without an overlapped record. With the time-outs of SerSetParams
// it returns at once with the bytes already received, 0 when none are there.
// A negative count asks for nothing sensible and fails like a failed read.
int32_t SerRead(TSerialHandle Handle, void* Buffer, int32_t Count) {
  if (Count < 0) return -1;
  DWORD got = 0;
  if (!ReadFile(AsHandle(Handle), Buffer, static_cast<DWORD>(Count), &got, nullptr)) return -1;
  return static_cast<int32_t>(got);
}

// WriteFile without an overlapped record. Both write time-outs are 0, so it
// returns once the driver has taken every byte; a short count goes back as
// it is and the caller decides.
int32_t SerWrite(TSerialHandle Handle, const void* Buffer, int32_t Count) {
  if (Count < 0) return -1;
  DWORD put = 0;
  if (!WriteFile(AsHandle(Handle), Buffer, static_cast<DWORD>(Count), &put, nullptr)) return -1;
  return static_cast<int32_t>(put);
}

// PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR) drops both queues, then
// SetCommState applies the frame and speed and SetCommTimeouts makes reads
// return at once (values: BuildCommSettings). On a handle that is not a
// communications device the calls fail and nothing changes; their results
// are dropped.
void SerSetParams(TSerialHandle Handle, int32_t BitsPerSec, int32_t ByteSize, TParityType Parity,
                  int32_t StopBits, TSerialFlags Flags) {
  const TCommSettings settings = BuildCommSettings(BitsPerSec, ByteSize, Parity, StopBits, Flags);
  DCB dcb = ToWin32(settings.Dcb);
  COMMTIMEOUTS timeouts = ToWin32(settings.Timeouts);
  PurgeComm(AsHandle(Handle), settings.PurgeFlags);
  SetCommState(AsHandle(Handle), &dcb);
  SetCommTimeouts(AsHandle(Handle), &timeouts);
}

// EscapeCommFunction with SETDTR raises DTR, with CLRDTR lowers it. The DCB
// leaves DTR to us (DTR_CONTROL_DISABLE), so the driver does not move it
// again. The result is dropped.
void SerSetDTR(TSerialHandle Handle, bool State) { EscapeCommFunction(AsHandle(Handle), State ? SETDTR : CLRDTR); }
