// chipwire: the boot loader's side of the wire, worked out independently of
// the engine, for tests that play the chip.
//
// The shift register and the long encoding are written here from their
// definitions (bit by bit), not by calling the engine, so that a test which
// compares the engine's bytes with these compares two separate workings.
#pragma once

#include <cstdint>
#include <vector>

namespace chipwire {

constexpr uint8_t Echo = 0xF9;
constexpr uint8_t Bit0 = 0xFE;
constexpr uint8_t Bit1 = 0xFF;
constexpr int HandshakeBits = 250;
constexpr int VersionBits = 8;
// 0xF9, 250 sequence bits, 258 more 0xF9.
constexpr size_t HandshakeLength = 1 + 250 + 258;

// The first n results of the 8-bit register seeded with 'P': each result
// is the low bit; the feedback bit7^bit5^bit4^bit1 shifts in at the bottom.
inline std::vector<uint8_t> SequenceBits(int n) {
  std::vector<uint8_t> bits;
  unsigned state = 0x50;
  for (int i = 0; i < n; ++i) {
    bits.push_back(static_cast<uint8_t>(state & 1));
    const unsigned fb = ((state >> 7) ^ (state >> 5) ^ (state >> 4) ^ (state >> 1)) & 1;
    state = ((state << 1) | fb) & 0xFF;
  }
  return bits;
}

inline uint8_t BitByte(unsigned Bit) { return Bit ? Bit1 : Bit0; }

// What the host sends to open a contact.
inline std::vector<uint8_t> HostHandshake() {
  std::vector<uint8_t> bytes{Echo};
  const auto bits = SequenceBits(HandshakeBits);
  for (uint8_t b : bits) bytes.push_back(BitByte(b));
  bytes.insert(bytes.end(), 258, Echo);
  return bytes;
}

// What a chip answers: sequence results 251 to 500, then the version,
// least significant bit first.
inline std::vector<uint8_t> ChipReply(uint8_t Version) {
  const auto bits = SequenceBits(2 * HandshakeBits);
  std::vector<uint8_t> bytes;
  for (int i = HandshakeBits; i < 2 * HandshakeBits; ++i) bytes.push_back(BitByte(bits[i]));
  for (int i = 0; i < VersionBits; ++i) bytes.push_back(BitByte((Version >> i) & 1));
  return bytes;
}

// One long on the wire: eleven bytes, each a run of "0 d 1" groups (start
// bit 0, stop bit 1, least significant bit first), carrying three bits of
// the value, least significant first; the last byte carries two.
inline std::vector<uint8_t> LongBytes(uint32_t Value) {
  std::vector<uint8_t> bytes;
  for (int k = 0; k < 11; ++k) {
    const unsigned d0 = (Value >> (3 * k)) & 1;
    const unsigned d1 = (Value >> (3 * k + 1)) & 1;
    const unsigned d2 = k < 10 ? (Value >> (3 * k + 2)) & 1 : 1;  // byte 11: bit 6 set
    const unsigned top = k < 10 ? 0 : 1;                         // byte 11: bit 5 set
    // bit7..bit0 = 1 d2 top 1 d1 0 1 d0
    bytes.push_back(static_cast<uint8_t>(0x80 | (d2 << 6) | (top << 5) | 0x10 | (d1 << 3) | 0x02 | d0));
  }
  return bytes;
}

}  // namespace chipwire
