#include "tests/fake/fakeserial.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <stdexcept>

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace fakeserial {

std::vector<Call> Calls;
uint64_t NowUs = 0;
uint32_t TickBase = 0;
uint64_t ReadQuantumUs = 100;
TSerialHandle NextHandle = 7;
size_t MaxCalls = 500000;
std::function<void(const Call&)> OnCall;

namespace {

struct Input {
  uint64_t AtUs;
  uint8_t Byte;
};
struct Fault {
  Op Kind;
  int Nth;
  int32_t Result;
};

std::deque<Input> Incoming;  // ordered by AtUs
std::vector<Fault> Faults;
std::set<TSerialHandle> OpenHandles;
int Seen[7] = {};  // calls made so far, per Op

// Records the call and returns the fault result planned for it, if any.
bool Faulted(Op Kind, int32_t& Result) {
  const int nth = Seen[static_cast<int>(Kind)]++;
  for (const Fault& f : Faults)
    if (f.Kind == Kind && f.Nth == nth) {
      Result = f.Result;
      return true;
    }
  return false;
}

Call Begin(Op Kind, TSerialHandle Handle) {
  Call c;
  c.Kind = Kind;
  c.Handle = Handle;
  c.TimeUs = NowUs;
  c.Lines = failreport::LinesWritten;
  return c;
}

void Finish(const Call& c) {
  // A wait that never ends would otherwise hang the test run.
  if (Calls.size() >= MaxCalls) throw std::runtime_error("fakeserial: runaway, too many calls");
  Calls.push_back(c);
  if (OnCall) {
    // A copy: the responder may record no calls, but it may deliver input.
    const Call copy = c;
    OnCall(copy);
  }
}

}  // namespace

const char* OpName(Op Kind) {
  switch (Kind) {
    case Op::Open: return "Open";
    case Op::Close: return "Close";
    case Op::Read: return "Read";
    case Op::Write: return "Write";
    case Op::SetParams: return "SetParams";
    case Op::SetDTR: return "SetDTR";
    case Op::Delay: return "Delay";
  }
  return "?";
}

void Reset() {
  Calls.clear();
  NowUs = 0;
  TickBase = 0;
  ReadQuantumUs = 100;
  NextHandle = 7;
  MaxCalls = 500000;
  OnCall = nullptr;
  Incoming.clear();
  Faults.clear();
  OpenHandles.clear();
  std::fill(std::begin(Seen), std::end(Seen), 0);
}

void Deliver(const std::vector<uint8_t>& Bytes) { DeliverAt(NowUs, Bytes); }

void DeliverAt(uint64_t AtUs, const std::vector<uint8_t>& Bytes) {
  // Keep the queue ordered by time; bytes of one delivery stay together.
  auto pos = std::upper_bound(Incoming.begin(), Incoming.end(), AtUs,
                              [](uint64_t t, const Input& in) { return t < in.AtUs; });
  std::vector<Input> add;
  for (uint8_t b : Bytes) add.push_back({AtUs, b});
  Incoming.insert(pos, add.begin(), add.end());
}

void FailCall(Op Kind, int Nth, int32_t Result) { Faults.push_back({Kind, Nth, Result}); }

std::vector<Call> CallsOf(Op Kind) {
  std::vector<Call> out;
  for (const Call& c : Calls)
    if (c.Kind == Kind) out.push_back(c);
  return out;
}

std::vector<uint8_t> Written() {
  std::vector<uint8_t> out;
  for (const Call& c : Calls)
    if (c.Kind == Op::Write) out.insert(out.end(), c.Bytes.begin(), c.Bytes.end());
  return out;
}

std::vector<int32_t> WriteSizes() {
  std::vector<int32_t> out;
  for (const Call& c : Calls)
    if (c.Kind == Op::Write) out.push_back(c.Count);
  return out;
}

int FindCall(Op Kind, size_t From) {
  for (size_t i = From; i < Calls.size(); ++i)
    if (Calls[i].Kind == Kind) return static_cast<int>(i);
  return -1;
}

}  // namespace fakeserial

// ---- The serial layer ----

using namespace fakeserial;

TSerialHandle SerOpen(const std::string& DeviceName) {
  Call c = Begin(Op::Open, -1);
  c.Name = DeviceName;
  int32_t result = 0;
  if (!Faulted(Op::Open, result)) {
    result = NextHandle;
    OpenHandles.insert(result);
  }
  c.Result = result;
  Finish(c);
  return result;
}

void SerClose(TSerialHandle Handle) {
  Call c = Begin(Op::Close, Handle);
  int32_t ignored = 0;
  if (!Faulted(Op::Close, ignored)) OpenHandles.erase(Handle);
  Finish(c);
}

int32_t SerRead(TSerialHandle Handle, void* Buffer, int32_t Count) {
  Call c = Begin(Op::Read, Handle);
  c.Count = Count;
  int32_t result = 0;
  if (!Faulted(Op::Read, result)) {
    if (!OpenHandles.count(Handle)) {
      result = -1;  // like read(2) on a closed descriptor
    } else {
      auto* out = static_cast<uint8_t*>(Buffer);
      while (result < Count && !Incoming.empty() && Incoming.front().AtUs <= NowUs) {
        out[result] = Incoming.front().Byte;
        c.Bytes.push_back(Incoming.front().Byte);
        Incoming.pop_front();
        ++result;
      }
    }
  }
  c.Result = result;
  NowUs += ReadQuantumUs;
  Finish(c);
  return result;
}

int32_t SerWrite(TSerialHandle Handle, const void* Buffer, int32_t Count) {
  Call c = Begin(Op::Write, Handle);
  c.Count = Count;
  const auto* in = static_cast<const uint8_t*>(Buffer);
  if (Count > 0) c.Bytes.assign(in, in + Count);
  int32_t result = Count;
  if (!Faulted(Op::Write, result) && !OpenHandles.count(Handle)) result = -1;
  c.Result = result;
  Finish(c);
  return result;
}

void SerSetParams(TSerialHandle Handle, int32_t BitsPerSec, int32_t ByteSize, TParityType Parity,
                  int32_t StopBits, TSerialFlags Flags) {
  Call c = Begin(Op::SetParams, Handle);
  c.Count = BitsPerSec;
  c.ByteSize = ByteSize;
  c.Parity = Parity;
  c.StopBits = StopBits;
  c.Flags = Flags;
  int32_t ignored = 0;
  // Like the real layer: whatever had arrived before is thrown away.
  if (!Faulted(Op::SetParams, ignored))
    while (!Incoming.empty() && Incoming.front().AtUs <= NowUs) Incoming.pop_front();
  Finish(c);
}

void SerSetDTR(TSerialHandle Handle, bool State) {
  Call c = Begin(Op::SetDTR, Handle);
  c.Count = State ? 1 : 0;
  int32_t ignored = 0;
  Faulted(Op::SetDTR, ignored);
  Finish(c);
}

// ---- The time base ----

namespace bootlink {

uint32_t GetTickCount() {
  return static_cast<uint32_t>(TickBase + static_cast<uint32_t>(NowUs / 10000));
}

void DelayMilliseconds(uint32_t MS) {
  Call c = Begin(Op::Delay, -1);
  c.Count = static_cast<int32_t>(MS);
  int32_t ignored = 0;
  Faulted(Op::Delay, ignored);
  NowUs += static_cast<uint64_t>(MS & 0xFFFF) * 1000;
  Finish(c);
}

}  // namespace bootlink
