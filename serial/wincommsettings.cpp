// The values the Windows serial layer gives a COM port, as plain records.
#include "serial/wincommsettings.h"

namespace {

// The Win32 standard rates (the CBR_ constants). A driver may accept other
// rates, but the layer passes only these and falls back to 9600.
uint32_t StandardRate(int32_t BitsPerSec) {
  switch (BitsPerSec) {
    case 110:
    case 300:
    case 600:
    case 1200:
    case 2400:
    case 4800:
    case 14400:
    case 19200:
    case 38400:
    case 56000:
    case 57600:
    case 115200:
    case 128000:
    case 256000: return static_cast<uint32_t>(BitsPerSec);
    default: return 9600;
  }
}

}  // namespace

TCommSettings BuildCommSettings(int32_t BitsPerSec, int32_t ByteSize, TParityType Parity,
                                int32_t StopBits, TSerialFlags Flags) {
  TCommSettings settings{};

  // Reads never wait: an interval time-out of MAXDWORD with both totals 0
  // makes ReadFile return at once with the bytes already received, even
  // none. The engine's bit receiver polls and keeps its own time.
  settings.Timeouts.ReadIntervalTimeout = MaxDword;

  // Binary mode is the only mode Win32 supports. No DTR or RTS control by
  // the driver (the reset pulse drives DTR itself), no XON/XOFF, no
  // character replacement, no abort on error.
  TCommDcb& dcb = settings.Dcb;
  dcb.DCBlength = CommDcbLength;
  dcb.Flags = DcbBinary;
  dcb.BaudRate = StandardRate(BitsPerSec);
  dcb.ByteSize = ByteSize >= 4 && ByteSize <= 7 ? static_cast<uint8_t>(ByteSize) : uint8_t{8};
  dcb.Parity = static_cast<uint8_t>(Parity);
  dcb.StopBits = StopBits == 2 ? TwoStopBits : OneStopBit;
  if (Flags & RtsCtsFlowControl) dcb.Flags |= DcbOutxCtsFlow | (RtsControlHandshake << DcbRtsControlShift);

  // Both queues are thrown away before the new settings take effect.
  settings.PurgeFlags = PurgeRxClear | PurgeTxClear;
  return settings;
}

std::string CommDevicePath(const std::string& DeviceName) { return "\\\\.\\" + DeviceName; }
