// Handshake and chip detection.
//
// Every contact with the boot loader starts with a reset and this exchange:
// the host sends 0xF9, 250 bits of the sequence of an 8-bit LFSR seeded with
// 'P' (0x50), and 258 more 0xF9 bytes (one for each bit it will read next);
// the chip answers with the next 250 bits of the same sequence, then 8 bits
// of its hardware version. A bit travels as one byte: 0xFE for 0, 0xFF for 1.
#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace bootlink {

// One step of the register: the result is the old bit 0; the feedback
// (bits 7, 5, 4 and 1 xor-ed) enters at bit 0 as the register shifts left.
uint8_t IterateLFSR() {
  const uint8_t result = LFSR & 1;
  const uint8_t feedback = ((LFSR >> 7) ^ (LFSR >> 5) ^ (LFSR >> 4) ^ (LFSR >> 1)) & 1;
  LFSR = static_cast<uint8_t>((LFSR << 1) | feedback);
  return result;
}

// The one place that catches the abort: any failure of the exchange means
// "no chip here". Other failures (a GPIO value file, the console) pass.
bool HardwareFound() {
  bool result = false;
  AbortMode = false;
  try {
    OpenComm();
    ResetHardware();
    TByte(0xF9);
    LFSR = 0x50;
    for (int i = 0; i < 250; ++i) TByte(IterateLFSR() | 0xFE);
    for (int i = 0; i < 258; ++i) TByte(0xF9);
    TComm();
    for (int i = 0; i < 250; ++i) {
      const uint8_t received = RBit(false, 100);
      if (received != IterateLFSR()) HardwareLostError();
    }
    for (int i = 0; i < 8; ++i) {
      const uint8_t bit = RBit(false, 50);
      Version = static_cast<uint8_t>((bit << 7) | (Version >> 1));
    }
    if (VersionMode) {
      // Command 0 tells the loader there is nothing to load; the second
      // reset leaves the chip running its own program again.
      TLong(0);
      TComm();
      ResetHardware();
      CloseComm();
    }
    AbortMode = true;
    result = true;
  } catch (const failreport::EAbort&) {
    AbortMode = true;
  }
  return result;
}

void FindAnyHardware() {
  if (!HardwareFound()) CommError("No Propeller hardware found on");
}

void GetHardwareVersion() {
  VersionMode = true;
  FindAnyHardware();
  ProgressFormHide();
  failreport::WriteLine("Hardware version " + std::to_string(Version) + " found on " + CommString + ".");
}

}  // namespace bootlink
