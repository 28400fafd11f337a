// The chip side of the boot loader's conversation. See chipmodel.h.
//
// A contact on the wire, as the chip sees it:
//   host: 0xF9, then 250 bytes 0xFE/0xFF (the shift register's results 1..250)
//   host: 258 bytes 0xF9; the chip answers each one: results 251..500 of the
//         register, then its 8 version bits, least significant first
//   host: the command long; 0 ends the contact
//   host: the count long and that many longs (commands 1..3)
//   host: one 0xF9 every ~25 ms per acknowledgement wait; the chip answers one
//         of them with 0xFE (ok) or 0xFF (failed) once the result is ready:
//         RAM checksum, then for commands 2 and 3 EEPROM programming and verify.
// A long is 11 bytes: ten carry 3 bits each as 0x92|d0|d1<<3|d2<<6, the last
// carries the top 2 bits as 0xF2|d0|d1<<3.
#include "chipmodel.h"

#include <cstdio>

namespace chipmodel {

namespace {

Faults g_faults;
std::vector<Contact> g_contacts;

// State of the contact under way.
std::uint8_t g_lfsr = LfsrSeed;
int g_bitsReceived = 0;      // handshake bits received from the host
int g_replyPos = 0;          // reply bytes due so far in this contact (faults count them)
int g_longByte = 0;          // index 0..10 within the long being decoded
std::uint32_t g_longValue = 0;
double g_ackReadyMs = 0;
double g_lastByteMs = 0;
bool g_anyByte = false;

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

Contact& Current() { return g_contacts.back(); }

void Reject(const std::string& why) {
  Contact& c = Current();
  c.Rejection = why;
  c.State = Phase::Rejected;
}

// Applies the reply faults to the byte due at the next reply position.
int Send(std::uint8_t byte) {
  Contact& c = Current();
  ++g_replyPos;
  if (c.FaultsActive) {
    if (g_faults.Silent) return -1;
    if (g_faults.FlipReply == g_replyPos) byte ^= 1;
    if (g_faults.BadReplyAt == g_replyPos) byte = g_faults.BadReplyByte;
  }
  ++c.RepliesSent;
  return byte;
}

std::uint32_t ActiveDelay() { return Current().FaultsActive ? g_faults.AckDelayMs : 0; }

void BeginAck(const char* name, bool failFlag, double nowMs) {
  Contact& c = Current();
  AckWait wait;
  wait.Name = name;
  wait.Fail = c.FaultsActive && failFlag;
  wait.StartMs = nowMs;
  c.Acks.push_back(wait);
  c.State = Phase::Ack;
  g_ackReadyMs = nowMs + ActiveDelay();
}

void BeginLong(Phase phase) {
  Current().State = phase;
  g_longByte = 0;
  g_longValue = 0;
}

const char* LongName(Phase phase) {
  switch (phase) {
    case Phase::Command: return "the command long";
    case Phase::Count: return "the count long";
    default: return "an image long";
  }
}

void LongComplete(std::uint32_t value, double nowMs) {
  Contact& c = Current();
  switch (c.State) {
    case Phase::Command:
      c.Command = value;
      if (value == 0) {
        c.State = Phase::Finished;
      } else if (value <= 3) {
        BeginLong(Phase::Count);
      } else {
        Reject("unknown command " + std::to_string(value));
      }
      break;
    case Phase::Count:
      c.Count = value;
      if (value > MaxLongs) {
        Reject("count " + std::to_string(value) + " exceeds " + std::to_string(MaxLongs) + " longs");
      } else if (value == 0) {
        BeginAck("ram", g_faults.FailRam, nowMs);
      } else {
        c.Longs.reserve(value);
        BeginLong(Phase::Longs);
      }
      break;
    case Phase::Longs:
      if (c.Longs.empty()) c.FirstLongMs = nowMs;
      c.Longs.push_back(value);
      c.LastLongMs = nowMs;
      if (static_cast<std::int64_t>(c.Longs.size()) == c.Count) {
        BeginAck("ram", g_faults.FailRam, nowMs);
      } else {
        BeginLong(Phase::Longs);
      }
      break;
    default:
      break;
  }
}

int ReceiveLongByte(std::uint8_t byte, double nowMs) {
  Contact& c = Current();
  std::uint32_t bits = 0;
  if (!DecodeLongByte(g_longByte, byte, bits)) {
    std::string where = LongName(c.State);
    if (c.State == Phase::Longs) where += " #" + std::to_string(c.Longs.size());
    Reject("malformed byte " + Hex2(byte) + " at byte " + std::to_string(g_longByte + 1) + " of " + where);
    return -1;
  }
  g_longValue |= bits << (3 * g_longByte);
  if (++g_longByte == 11) LongComplete(g_longValue, nowMs);
  return -1;
}

int ReceiveEcho(double nowMs) {
  Contact& c = Current();
  AckWait& wait = c.Acks.back();
  ++wait.Echoes;
  if (nowMs < g_ackReadyMs) return -1;
  wait.Answered = true;
  wait.AnswerMs = nowMs;
  const bool fail = wait.Fail;
  const std::size_t done = c.Acks.size();
  if (fail) {
    c.State = Phase::Finished;  // a failed step ends the chip's work
  } else if (c.Command > 1 && done == 1) {
    BeginAck("eeprom_program", g_faults.FailEepromProgram, nowMs);
  } else if (c.Command > 1 && done == 2) {
    BeginAck("eeprom_verify", g_faults.FailEepromVerify, nowMs);
  } else {
    c.State = Phase::Finished;
  }
  return Send(fail ? Bit1 : Bit0);
}

int Dispatch(std::uint8_t byte, double nowMs) {
  Contact& c = Current();
  switch (c.State) {
    case Phase::AwaitSync:
      if (byte != Echo) {
        Reject("expected 0xF9 to begin the handshake, got " + Hex2(byte));
        return -1;
      }
      c.State = Phase::Handshake;
      g_lfsr = LfsrSeed;
      g_bitsReceived = 0;
      return -1;
    case Phase::Handshake: {
      const int expected = IterateLfsr(g_lfsr);
      if (byte != (Bit0 | expected)) {
        Reject("handshake bit " + std::to_string(g_bitsReceived + 1) + ": expected " + Hex2(Bit0 | expected) +
               ", got " + Hex2(byte));
        return -1;
      }
      ++c.HandshakeBitsOk;
      if (++g_bitsReceived == HandshakeBits) c.State = Phase::Replying;
      return -1;
    }
    case Phase::Replying: {
      if (byte != Echo) {
        Reject("expected 0xF9 while answering the handshake, got " + Hex2(byte));
        return -1;
      }
      const int position = g_replyPos + 1;
      int bit = 0;
      if (position <= HandshakeBits) {
        bit = IterateLfsr(g_lfsr);
      } else {
        bit = (g_faults.Version >> (position - HandshakeBits - 1)) & 1;
      }
      if (position == HandshakeBits + VersionBits) {
        c.VersionSent = true;
        c.HandshakeDoneMs = nowMs;
        BeginLong(Phase::Command);
      }
      return Send(static_cast<std::uint8_t>(Bit0 | bit));
    }
    case Phase::Command:
    case Phase::Count:
    case Phase::Longs:
      return ReceiveLongByte(byte, nowMs);
    case Phase::Ack:
      if (byte != Echo) {
        Reject("expected an echo byte 0xF9 while waiting to acknowledge, got " + Hex2(byte));
        return -1;
      }
      return ReceiveEcho(nowMs);
    case Phase::Finished:
    case Phase::Rejected:
    case Phase::HungUp:
      ++c.IgnoredBytes;
      return -1;
  }
  return -1;
}

// After a finished contact, a rejection, or in the middle of a long, a 0xF9
// that follows a quiet line is the host starting over after a reset we could
// not see. Without the gap it is a late echo byte: the host goes on sending
// them every 25 ms until the answer reaches it.
bool RestartsAfterGap(double gapMs) {
  switch (Current().State) {
    case Phase::Finished:
    case Phase::Rejected:
    case Phase::HungUp:
    case Phase::Command:
    case Phase::Count:
    case Phase::Longs:
      return gapMs >= ResetGapMs;
    default:
      return false;
  }
}

void AppendJsonString(std::string& out, const std::string& text) {
  out += '"';
  for (char ch : text) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (static_cast<unsigned char>(ch) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(ch));
      out += esc;
    } else {
      out += ch;
    }
  }
  out += '"';
}

std::string Ms(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

std::string Field(const char* name) { return std::string("\"") + name + "\":"; }

std::string Bool(bool value) { return value ? "true" : "false"; }

const char* AckTitle(const std::string& name) {
  if (name == "ram") return "RAM checksum";
  if (name == "eeprom_program") return "EEPROM programming";
  return "EEPROM verify";
}

}  // namespace

void Configure(const Faults& faults) { g_faults = faults; }

const Faults& Configuration() { return g_faults; }

void Reset() {
  g_contacts.clear();
  g_anyByte = false;
  g_lastByteMs = 0;
  g_replyPos = 0;
}

void StartContact(double nowMs, const std::string& cause) {
  if (!g_contacts.empty()) {
    const Contact& c = Current();
    if (c.State == Phase::AwaitSync && c.BytesReceived == 0) return;
  }
  Contact c;
  c.Number = static_cast<int>(g_contacts.size()) + 1;
  c.Cause = cause;
  c.StartMs = nowMs;
  c.LastByteMs = nowMs;
  c.FaultsActive = g_faults.OnlyContact == 0 || g_faults.OnlyContact == c.Number;
  g_contacts.push_back(std::move(c));
  g_lfsr = LfsrSeed;
  g_bitsReceived = 0;
  g_replyPos = 0;
  g_longByte = 0;
  g_longValue = 0;
}

int Receive(std::uint8_t byte, double nowMs) {
  const double gap = g_anyByte ? nowMs - g_lastByteMs : 1e18;
  g_anyByte = true;
  g_lastByteMs = nowMs;
  if (byte == Echo) {
    if (g_contacts.empty()) {
      StartContact(nowMs, "echo while idle");
    } else if (RestartsAfterGap(gap)) {
      StartContact(nowMs, "quiet gap");
    }
  }
  if (g_contacts.empty()) return -1;  // noise before the first reset
  Contact& c = Current();
  if (c.State == Phase::HungUp) {
    ++c.IgnoredBytes;
    return -1;
  }
  ++c.BytesReceived;
  c.LastByteMs = nowMs;
  int reply = Dispatch(byte, nowMs);
  if (c.FaultsActive && g_faults.HangUpAfter != 0 && c.BytesReceived >= g_faults.HangUpAfter) {
    c.HungUp = true;
    c.State = Phase::HungUp;
    reply = -1;
  }
  return reply;
}

bool HangUpDue() { return !g_contacts.empty() && Current().State == Phase::HungUp; }

Phase CurrentPhase() { return g_contacts.empty() ? Phase::Finished : Current().State; }

const std::vector<Contact>& Contacts() { return g_contacts; }

int IterateLfsr(std::uint8_t& lfsr) {
  const int result = lfsr & 1;
  const int feedback = ((lfsr >> 7) ^ (lfsr >> 5) ^ (lfsr >> 4) ^ (lfsr >> 1)) & 1;
  lfsr = static_cast<std::uint8_t>((lfsr << 1) | feedback);
  return result;
}

std::vector<std::uint8_t> EncodeLong(std::uint32_t value) {
  std::vector<std::uint8_t> bytes;
  for (int pass = 0; pass < 11; ++pass) {
    std::uint32_t byte = 0x92 | (value & 1) | ((value & 2) << 2) | ((value & 4) << 4);
    if (pass == 10) byte |= 0x60;
    bytes.push_back(static_cast<std::uint8_t>(byte));
    value >>= 3;
  }
  return bytes;
}

bool DecodeLongByte(int index, std::uint8_t byte, std::uint32_t& bits) {
  // Fixed bits: bytes 1..10 are 1?01?01? (mask 0xB6 -> 0x92), byte 11 is
  // 1111?01? (mask 0xF6 -> 0xF2); the last byte carries no third bit.
  if (index < 10) {
    if ((byte & 0xB6) != 0x92) return false;
    bits = (byte & 1u) | ((byte >> 2) & 2u) | ((byte >> 4) & 4u);
  } else {
    if ((byte & 0xF6) != 0xF2) return false;
    bits = (byte & 1u) | ((byte >> 2) & 2u);
  }
  return true;
}

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::AwaitSync: return "await_sync";
    case Phase::Handshake: return "handshake";
    case Phase::Replying: return "replying";
    case Phase::Command: return "command";
    case Phase::Count: return "count";
    case Phase::Longs: return "longs";
    case Phase::Ack: return "ack";
    case Phase::Finished: return "finished";
    case Phase::Rejected: return "rejected";
    case Phase::HungUp: return "hung_up";
  }
  return "?";
}

std::string Summary(const Contact& c) {
  std::string text = "contact " + std::to_string(c.Number) + ": ";
  if (c.Command < 0) {
    text += c.VersionSent ? "handshake answered, no command" : "no complete handshake";
    text += " (" + std::to_string(c.BytesReceived) + " bytes received)";
  } else if (c.Command == 0) {
    text += "command 0 (detection), version " + std::to_string(g_faults.Version) + " sent";
  } else {
    text += "command " + std::to_string(c.Command) + ", " + std::to_string(c.Longs.size()) + " longs received";
    if (c.Count >= 0 && static_cast<std::int64_t>(c.Longs.size()) != c.Count) {
      text += " of " + std::to_string(c.Count);
    }
    for (const AckWait& wait : c.Acks) {
      text += std::string(", ") + AckTitle(wait.Name);
      text += !wait.Answered ? " not answered" : wait.Fail ? " failed" : " ok";
    }
  }
  if (!c.Rejection.empty()) text += "; rejected: " + c.Rejection;
  if (c.HungUp) text += "; hung up after " + std::to_string(c.BytesReceived) + " bytes";
  return text;
}

std::string RecordJson(double nowMs) {
  std::string out = "{\n";
  out += "  " + Field("now_ms") + Ms(nowMs) + ",\n";
  out += "  " + Field("version") + std::to_string(g_faults.Version) + ",\n";
  out += "  " + Field("contacts") + "[";
  bool firstContact = true;
  for (const Contact& c : g_contacts) {
    out += firstContact ? "\n    {" : ",\n    {";
    firstContact = false;
    out += Field("number") + std::to_string(c.Number);
    out += "," + Field("cause");
    AppendJsonString(out, c.Cause);
    out += "," + Field("start_ms") + Ms(c.StartMs);
    out += "," + Field("last_byte_ms") + Ms(c.LastByteMs);
    out += "," + Field("handshake_done_ms") + Ms(c.HandshakeDoneMs);
    out += "," + Field("bytes_received") + std::to_string(c.BytesReceived);
    out += "," + Field("handshake_bits_ok") + std::to_string(c.HandshakeBitsOk);
    out += "," + Field("replies_sent") + std::to_string(c.RepliesSent);
    out += "," + Field("version_sent") + Bool(c.VersionSent);
    out += "," + Field("command") + std::to_string(c.Command);
    out += "," + Field("count") + std::to_string(c.Count);
    out += "," + Field("first_long_ms") + Ms(c.FirstLongMs);
    out += "," + Field("last_long_ms") + Ms(c.LastLongMs);
    out += "," + Field("acks") + "[";
    for (std::size_t i = 0; i < c.Acks.size(); ++i) {
      const AckWait& w = c.Acks[i];
      out += i ? ",{" : "{";
      out += Field("name");
      AppendJsonString(out, w.Name);
      out += "," + Field("fail") + Bool(w.Fail);
      out += "," + Field("echoes") + std::to_string(w.Echoes);
      out += "," + Field("answered") + Bool(w.Answered);
      out += "," + Field("start_ms") + Ms(w.StartMs);
      out += "," + Field("answer_ms") + Ms(w.AnswerMs);
      out += "}";
    }
    out += "]";
    out += "," + Field("ignored_bytes") + std::to_string(c.IgnoredBytes);
    out += "," + Field("rejection");
    AppendJsonString(out, c.Rejection);
    out += "," + Field("hung_up") + Bool(c.HungUp);
    out += "," + Field("faults_active") + Bool(c.FaultsActive);
    out += "," + Field("state");
    AppendJsonString(out, PhaseName(c.State));
    out += "," + Field("longs") + "[";
    for (std::size_t i = 0; i < c.Longs.size(); ++i) {
      if (i) out += (i % 16) ? "," : ",\n      ";
      out += std::to_string(c.Longs[i]);
    }
    out += "]}";
  }
  out += firstContact ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace chipmodel
