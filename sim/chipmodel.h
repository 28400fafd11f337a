// chipmodel: the chip side of the boot loader's serial conversation, as a plain
// procedural module with no I/O of its own.
//
// Feed it every byte the host sends (Receive) and tell it when the host resets
// or reopens the line (StartContact); it answers with the reply byte the chip
// would send, if any, and keeps a record of everything it decoded: handshake,
// version sent, command, count, every long, and each acknowledgement wait with
// the echo bytes counted in it.
//
// Time is always passed in by the caller, in milliseconds on any monotonic
// scale, so a test can drive the model from its own fake clock.
//
// The module holds one chip. Configure it, then Reset it before each scenario.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chipmodel {

// What the chip does wrong, and on which contact. Everything but `Version`
// is a fault; the faults apply only to contact `OnlyContact` when that is
// not 0 (contact 1 is the first contact after Reset, normally the host's
// detection contact, contact 2 its download contact).
struct Faults {
  bool Silent = false;              // never send a reply byte
  int FlipReply = 0;                // reply byte number K (1-based) sent with its bit inverted
  int BadReplyAt = 0;               // reply byte number K replaced by BadReplyByte
  std::uint8_t BadReplyByte = 0x00;
  bool FailRam = false;             // RAM checksum acknowledgement is 1
  bool FailEepromProgram = false;   // EEPROM programming acknowledgement is 1
  bool FailEepromVerify = false;    // EEPROM verify acknowledgement is 1
  std::uint32_t AckDelayMs = 0;     // an acknowledgement is ready this long after its wait begins
  std::uint64_t HangUpAfter = 0;    // hang up once this many bytes of a contact were received (0: never)
  int OnlyContact = 0;              // 0: every contact; N: only contact N
  std::uint8_t Version = 1;         // hardware version sent after the handshake (not a fault)
};

// Reply bytes are numbered within a contact: 1..250 answer the handshake,
// 251..258 carry the version, 259 on are the acknowledgements.
constexpr int HandshakeBits = 250;
constexpr int VersionBits = 8;
constexpr std::uint8_t Echo = 0xF9;
constexpr std::uint8_t Bit0 = 0xFE;
constexpr std::uint8_t Bit1 = 0xFF;
constexpr std::uint8_t LfsrSeed = 0x50;
constexpr std::uint32_t MaxLongs = 8193;
// A 0xF9 after this much silence from the host is taken as a new contact
// when the chip is not in a handshake or waiting for echo bytes: the host's
// reset pulse alone keeps the line quiet for 115 ms.
constexpr double ResetGapMs = 100.0;

enum class Phase {
  AwaitSync,     // contact begun, waiting for the leading 0xF9
  Handshake,     // receiving the host's 250 sequence bits
  Replying,      // answering 0xF9 bytes with sequence bits, then the version
  Command,       // decoding the command long
  Count,         // decoding the count long
  Longs,         // decoding the image
  Ack,           // answering echo bytes with acknowledgements
  Finished,      // the contact ended normally
  Rejected,      // the chip saw something wrong and went silent
  HungUp,        // the chip dropped the line
};

struct AckWait {
  std::string Name;           // "ram", "eeprom_program", "eeprom_verify"
  bool Fail = false;          // the bit answered (true: 1, a failure)
  std::uint32_t Echoes = 0;   // echo bytes received during this wait
  bool Answered = false;
  double StartMs = 0;         // the wait began (previous phase complete)
  double AnswerMs = 0;        // the answer was given
};

struct Contact {
  int Number = 0;
  std::string Cause;               // what began it: "reset", "flush", "echo while idle", "quiet gap"
  double StartMs = 0;
  double LastByteMs = 0;
  double HandshakeDoneMs = -1;     // the last version bit was answered
  std::uint64_t BytesReceived = 0;
  std::uint32_t HandshakeBitsOk = 0;
  std::uint32_t RepliesSent = 0;
  bool VersionSent = false;
  std::int64_t Command = -1;       // -1: not received
  std::int64_t Count = -1;
  std::vector<std::uint32_t> Longs;
  double FirstLongMs = -1;
  double LastLongMs = -1;
  std::vector<AckWait> Acks;
  std::uint64_t IgnoredBytes = 0;  // bytes after the contact ended or while silent after a rejection
  std::string Rejection;           // why the chip went silent, empty if it did not
  bool HungUp = false;
  bool FaultsActive = false;
  Phase State = Phase::AwaitSync;
};

// Sets the chip's behaviour; kept until the next call.
void Configure(const Faults& faults);
const Faults& Configuration();

// Forgets every contact; the chip is idle and has never been reset.
void Reset();

// The chip was reset (or the host reopened and flushed the line): a new
// contact begins. A second call before any byte of the current contact
// arrived does not begin another one.
void StartContact(double nowMs, const std::string& cause);

// One byte from the host. Returns the reply byte (0..255), or -1 for none.
int Receive(std::uint8_t byte, double nowMs);

// True once the chip has decided to drop the line (HangUpAfter reached).
bool HangUpDue();

Phase CurrentPhase();
const std::vector<Contact>& Contacts();

// Helpers of the wire format, shared with tests.
// Steps the 8-bit shift register (feedback bit7^bit5^bit4^bit1 into bit 0)
// and returns bit 0 of the state before the step.
int IterateLfsr(std::uint8_t& lfsr);
// The 11 bytes that carry `value`, least significant bits first.
std::vector<std::uint8_t> EncodeLong(std::uint32_t value);
// Checks one byte of an encoded long (index 0..10) and extracts its bits into
// `bits`; false if the byte is malformed.
bool DecodeLongByte(int index, std::uint8_t byte, std::uint32_t& bits);

const char* PhaseName(Phase phase);
// One line describing what a contact received, e.g.
// "contact 2: command 1, 3000 longs received, RAM checksum ok".
std::string Summary(const Contact& contact);
// The whole record as JSON text.
std::string RecordJson(double nowMs);

}  // namespace chipmodel
