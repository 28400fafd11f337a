// The two units of the boot loader's protocol: longs sent to the chip in a
// 3-bits-per-byte encoding, and single bits received as one byte each.
#include "bootlink/bootlink.h"

namespace bootlink {

// Each byte carries three bits of X, least significant first. On the wire
// (LSB first, a 0 start bit, a 1 stop bit) the byte 0x92 | d0 | d1<<3 | d2<<6
// reads as three groups "0 d 1"; the eleventh byte carries bits 30 and 31
// and fills the rest with 1s (0xF2 | d0 | d1<<3).
void TLong(uint32_t X) {
  for (int pass = 0; pass <= 10; ++pass) {
    uint8_t byte = static_cast<uint8_t>(0x92 | (X & 1) | ((X & 2) << 2) | ((X & 4) << 4));
    if (pass == 10) byte |= 0x60;
    TByte(byte);
    X >>= 3;
  }
}

// Receives one bit: 0xFE is 0, 0xFF is 1, anything else means the chip is
// lost. With Echo, each pass first sends 0xF9 and pauses 25 ms: the chip
// answers an acknowledgement only in reply to such an echo byte.
//
// The elapsed time is the unsigned 32-bit difference of two readings of the
// tick counter, so a wrap of the counter during the wait is harmless. A
// time-out of 0 or below fails before anything is sent or read.
uint8_t RBit(bool Echo, int32_t Timeout) {
  const uint32_t Ticks = GetTickCount();
  for (;;) {
    const uint32_t Elapsed = GetTickCount() - Ticks;
    if (static_cast<int64_t>(Elapsed) >= static_cast<int64_t>(Timeout)) HardwareLostError();
    if (Echo) {
      TByte(0xF9);
      TComm();
      DelayMilliseconds(25);
    }
    if (RxBuffStart == RxBuffEnd) RComm();
    if (RxBuffStart == RxBuffEnd) continue;
    const uint8_t Bit = static_cast<uint8_t>(RxBuff[RxBuffStart] - 0xFE);
    ++RxBuffStart;
    if (Bit <= 1) return Bit;
    HardwareLostError();
  }
}

}  // namespace bootlink
