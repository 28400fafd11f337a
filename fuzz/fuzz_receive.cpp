// Fuzz target: the engine's receive side.
//
// Arbitrary reply bytes from "the chip", through the fake serial layer
// (which also owns the clock), into the handshake, the version bits and the
// acknowledgement waits.
//
// Input layout:
//   byte 0  bits 0-1: 0 = the detection contact (GetHardwareVersion),
//                     1..3 = a download (TalkToHardware) with that command
//           bit 2:    downloads only: the reply stream starts at the
//                     handshake (otherwise a correct handshake answer is
//                     given and the stream begins at the acknowledgements)
//           bit 3:    timed: the stream is chunks "gap, length, bytes", each
//                     readable gap x 10 ms after the previous one; otherwise
//                     everything is readable at once
//           bits 4-5: 1 = the Nth read fails, 2 = the Nth write is short,
//                     3 = the Nth write fails (N = byte 1)
//   byte 1  version for the correct handshake answer; N for a port fault
//   byte 2  image length in longs (0..15)
//   rest    the reply stream
//
// Checked on every input: the call ends (no wait beyond the sum of the
// time-outs), only through the abort, with the port closed; the host never
// sends anything but the handshake, the command, the count, the image and
// echo bytes; the engine accepts the chip only when the bytes it consumed
// really are a correct answer, reads the version from them, and ends a
// failure with the reason that the first wrong byte calls for. Without port
// faults and with everything readable at once, the outcome is fully
// determined by the bytes, so success and failure must both match.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"
#include "tests/fake/chipwire.h"
#include "tests/fake/fakeserial.h"

namespace {

using fakeserial::Op;

const std::string Port = "/dev/ttyFUZZ";
// The longest a run may take in fake time: every bit of the handshake
// arriving just in time, the three acknowledgement waits to their ends, the
// resets, and a margin for the 25 ms pauses and the 10 ms tick.
constexpr uint64_t LongestRunUs = (250ull * 1000 + 8 * 500 + 25000 + 50000 + 25000 + 5000) * 1000;

[[noreturn]] void Fail(const std::string& What) {
  std::fprintf(stderr, "fuzz_receive: %s\n", What.c_str());
  std::abort();
}

void Check(bool Ok, const std::string& What) {
  if (!Ok) Fail(What);
}

struct Plan {
  uint8_t Command = 0;       // 0: detection contact
  bool RawHandshake = true;  // the stream answers the handshake too
  bool Timed = false;
  int PortFault = 0;
  int FaultAt = 0;
  uint8_t Version = 0;
  int32_t Longs = 0;
  std::vector<uint8_t> Stream;  // reply bytes, in order, without timing
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> Chunks;  // offset in us, bytes
};

Plan ReadPlan(const uint8_t* Data, size_t Size) {
  Plan p;
  const uint8_t flags = Size > 0 ? Data[0] : 0;
  const uint8_t arg = Size > 1 ? Data[1] : 0;
  p.Command = flags & 3;
  p.RawHandshake = p.Command == 0 || (flags & 4) != 0;
  p.Timed = (flags & 8) != 0;
  p.PortFault = (flags >> 4) & 3;
  p.FaultAt = arg;
  p.Version = arg;
  p.Longs = Size > 2 ? Data[2] % 16 : 0;
  const size_t head = Size < 3 ? Size : 3;
  const uint8_t* body = Data + head;
  const size_t bodySize = Size - head;
  if (!p.RawHandshake) {
    p.Stream = chipwire::ChipReply(p.Version);
    p.Chunks.push_back({0, p.Stream});
  }
  if (!p.Timed) {
    p.Stream.insert(p.Stream.end(), body, body + bodySize);
    p.Chunks.push_back({0, std::vector<uint8_t>(body, body + bodySize)});
    return p;
  }
  uint64_t at = 0;
  for (size_t i = 0; i + 1 < bodySize;) {
    at += uint64_t{body[i]} * 10000;
    const size_t length = std::min<size_t>(body[i + 1], bodySize - i - 2);
    std::vector<uint8_t> chunk(body + i + 2, body + i + 2 + length);
    p.Stream.insert(p.Stream.end(), chunk.begin(), chunk.end());
    p.Chunks.push_back({at, std::move(chunk)});
    i += 2 + length;
  }
  return p;
}

// What a correct answer is, worked out from the bytes alone.
struct Verdict {
  bool Accepted = false;
  std::string Reason;  // the reason line of a failure after the handshake
  uint8_t Version = 0;
};

Verdict Judge(const Plan& P) {
  Verdict v;
  const std::vector<uint8_t> want = chipwire::ChipReply(0);
  const std::vector<uint8_t>& s = P.Stream;
  size_t at = 0;
  for (; at < chipwire::HandshakeBits; ++at) {
    if (at >= s.size() || s[at] != want[at]) {
      v.Reason = "No Propeller hardware found on";
      return v;
    }
  }
  for (int bit = 0; bit < chipwire::VersionBits; ++bit, ++at) {
    if (at >= s.size() || (s[at] != chipwire::Bit0 && s[at] != chipwire::Bit1)) {
      v.Reason = "No Propeller hardware found on";
      return v;
    }
    v.Version = static_cast<uint8_t>(v.Version | ((s[at] & 1) << bit));
  }
  const char* const ackReasons[] = {"RAM checksum error on", "EEPROM programming error on",
                                    "EEPROM verify error on"};
  const int acks = P.Command == 0 ? 0 : P.Command == 1 ? 1 : 3;
  for (int i = 0; i < acks; ++i, ++at) {
    if (at >= s.size() || (s[at] != chipwire::Bit0 && s[at] != chipwire::Bit1)) {
      v.Reason = "Hardware lost on";
      return v;
    }
    if (s[at] == chipwire::Bit1) {
      v.Reason = ackReasons[i];
      return v;
    }
  }
  v.Accepted = true;
  return v;
}

// The chip: once the host has sent its whole handshake, the stream's chunks
// become readable at their offsets.
struct Chip {
  const Plan* P = nullptr;
  size_t Written = 0;
  bool Delivered = false;
} chip;

void Respond(const fakeserial::Call& C) {
  if (C.Kind != Op::Write || C.Result <= 0 || chip.Delivered) return;
  chip.Written += static_cast<size_t>(C.Result);
  if (chip.Written < chipwire::HandshakeLength) return;
  chip.Delivered = true;
  for (const auto& [offset, bytes] : chip.P->Chunks) fakeserial::DeliverAt(fakeserial::NowUs + offset, bytes);
}

int OutputFile() {
  static const int fd = memfd_create("output", MFD_CLOEXEC);
  if (fd == -1) Fail("memfd_create failed");
  return fd;
}

std::vector<std::string> OutputLines(int Fd) {
  std::string text;
  char block[4096];
  off_t at = 0;
  for (ssize_t n; (n = pread(Fd, block, sizeof block, at)) > 0; at += n) text.append(block, static_cast<size_t>(n));
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

// The host's bytes: the handshake, then (downloads) the command, the count
// and the image, and nothing after them but echo bytes. A detection contact
// ends with the command 0.
void CheckWire(const Plan& P, bool Accepted) {
  const std::vector<uint8_t> sent = fakeserial::Written();
  std::vector<uint8_t> want = chipwire::HostHandshake();
  if (P.Command == 0) {
    const auto zero = chipwire::LongBytes(0);
    want.insert(want.end(), zero.begin(), zero.end());
  } else {
    for (uint32_t value : {uint32_t{P.Command}, static_cast<uint32_t>(P.Longs)}) {
      const auto bytes = chipwire::LongBytes(value);
      want.insert(want.end(), bytes.begin(), bytes.end());
    }
    for (int32_t i = 0; i < P.Longs; ++i) {
      const auto bytes = chipwire::LongBytes(bootlink::Buffer[static_cast<size_t>(i)]);
      want.insert(want.end(), bytes.begin(), bytes.end());
    }
  }
  const size_t common = std::min(sent.size(), want.size());
  for (size_t i = 0; i < common; ++i) Check(sent[i] == want[i], "the host sent a wrong byte at " + std::to_string(i));
  if (Accepted) Check(sent.size() >= want.size(), "accepted before the whole image was sent");
  for (size_t i = common; i < sent.size(); ++i)
    Check(P.Command != 0 && sent[i] == chipwire::Echo, "the host sent something after the image that is no echo byte");
}

void CheckPortClosed() {
  int opened = 0;
  int closed = 0;
  for (const fakeserial::Call& c : fakeserial::Calls) {
    if (c.Kind == Op::Open && c.Result != -1) ++opened;
    if (c.Kind == Op::Close) ++closed;
  }
  Check(!bootlink::CommOpen, "CommOpen still true");
  Check(opened == closed, "the port was left open");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const Plan plan = ReadPlan(Data, Size);
  const int out = OutputFile();
  if (ftruncate(out, 0) != 0 || lseek(out, 0, SEEK_SET) != 0) Fail("cannot empty the output file");
  failreport::OutputFd = out;

  fakeserial::Reset();
  // Each poll of the port costs 5 ms of fake time: two looks per tick, and
  // few enough calls that a run waiting out every time-out stays quick.
  fakeserial::ReadQuantumUs = 5000;
  chip = Chip{&plan};
  fakeserial::OnCall = Respond;
  if (plan.PortFault == 1) fakeserial::FailCall(Op::Read, plan.FaultAt, -1);
  if (plan.PortFault == 2) fakeserial::FailCall(Op::Write, plan.FaultAt % 8, 1);
  if (plan.PortFault == 3) fakeserial::FailCall(Op::Write, plan.FaultAt % 8, -1);

  bootlink::CommString = Port;
  bootlink::ResetPinPort = "-";
  bootlink::CommOpen = false;
  bootlink::AbortMode = false;
  bootlink::VersionMode = false;
  bootlink::Version = static_cast<uint8_t>(~plan.Version);  // must not leak into the result
  for (size_t i = 0; i < bootlink::Buffer.size(); ++i) bootlink::Buffer[i] = static_cast<uint32_t>(i * 0x9E3779B9u);

  bool accepted = false;
  try {
    if (plan.Command == 0) {
      bootlink::GetHardwareVersion();
    } else {
      bootlink::TalkToHardware(plan.Longs, plan.Command);
    }
    accepted = true;
  } catch (const failreport::EAbort&) {
  } catch (const std::runtime_error& e) {
    Fail(std::string("the engine kept waiting: ") + e.what());
  }
  try {
    failreport::FlushOutput();
  } catch (const failreport::EInOutError&) {
    Fail("the output file failed");
  }

  Check(fakeserial::NowUs <= LongestRunUs, "a run lasted longer than all its time-outs together");
  CheckPortClosed();
  CheckWire(plan, accepted);
  const Verdict verdict = Judge(plan);
  const std::vector<std::string> lines = OutputLines(out);
  if (accepted) {
    Check(verdict.Accepted, "the engine accepted a wrong answer");
    Check(bootlink::Version == verdict.Version, "the version is not the one the chip sent");
    if (plan.Command == 0)
      Check(!lines.empty() && lines.back() == "Hardware version " + std::to_string(verdict.Version) + " found on " +
                                                     Port + ".",
            "no version line after a detection");
    return 0;
  }
  Check(lines.size() >= 2 && lines.back() == "Program aborted", "a failure that does not end in \"Program aborted\"");
  if (plan.PortFault == 0 && !plan.Timed) {
    Check(!verdict.Accepted, "the engine refused a correct answer");
    Check(lines[lines.size() - 2] == verdict.Reason + " " + Port,
          "reason \"" + lines[lines.size() - 2] + "\", expected \"" + verdict.Reason + " " + Port + "\"");
  }
  return 0;
}
