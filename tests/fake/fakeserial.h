// fakeserial: a serial layer and a clock for testing the protocol engine
// without a device and without waiting.
//
// Links in place of the POSIX serial layer (serial/ttyport.cpp) and of the
// POSIX time base (bootlink/timebase_posix.cpp). It
//   - owns the clock: fake time in microseconds. GetTickCount gives ticks at
//     100 a second, as times() does on Linux; DelayMilliseconds moves the
//     clock on by (MS & 0xFFFF) ms; every SerRead (a poll) moves it on by
//     ReadQuantumUs, so a busy wait progresses and a 25 s time-out passes in
//     microseconds of real time;
//   - records every call of the serial layer and every delay, with its
//     bytes, counts, result, the fake time and failreport::LinesWritten at
//     that moment (so a test can tell whether the port was closed before a
//     line was printed);
//   - plays back input: bytes that become readable at a given fake time,
//     queued by the test up front or by a responder (OnCall) in reply to
//     what the engine wrote;
//   - makes any call fail or write short on request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial/serialport.h"

namespace fakeserial {

enum class Op { Open, Close, Read, Write, SetParams, SetDTR, Delay };

const char* OpName(Op Kind);

struct Call {
  Op Kind;
  std::string Name;            // Open: the device name
  TSerialHandle Handle = 0;    // every call but Open and Delay: the handle passed in
  std::vector<uint8_t> Bytes;  // Write: the bytes handed over; Read: the bytes delivered
  int32_t Count = 0;           // Read/Write: count asked; Delay: ms asked; SetDTR: 1 on, 0 off; SetParams: bits/s
  int32_t Result = 0;          // Open: handle or -1; Read/Write: the result returned
  int32_t ByteSize = 0;        // SetParams only
  int32_t Parity = 0;          // SetParams only
  int32_t StopBits = 0;        // SetParams only
  uint32_t Flags = 0;          // SetParams only
  uint64_t TimeUs = 0;         // fake time when the call was made
  uint64_t Lines = 0;          // failreport::LinesWritten when the call was made
};

// ---- What happened ----
extern std::vector<Call> Calls;

// ---- The clock ----
extern uint64_t NowUs;          // fake time, microseconds since Reset
extern uint32_t TickBase;       // GetTickCount() = TickBase + NowUs / 10000 (wraps at 2^32)
extern uint64_t ReadQuantumUs;  // fake time one SerRead takes (default 100 us)

// ---- The port ----
extern TSerialHandle NextHandle;  // handle a successful SerOpen returns (default 7)
// A call beyond this many raises std::runtime_error: a test whose engine
// never stops waiting fails instead of hanging (default 500,000).
extern size_t MaxCalls;

// Called after each call has been recorded, before its result goes back:
// the place for a responder that answers what the engine wrote.
extern std::function<void(const Call&)> OnCall;

// Back to the start: no calls, time 0, no input, no faults, no responder.
void Reset();

// Bytes that become readable at fake time AtUs (at once by default).
void Deliver(const std::vector<uint8_t>& Bytes);
void DeliverAt(uint64_t AtUs, const std::vector<uint8_t>& Bytes);

// The Nth call (0-based, counted since Reset) of Kind returns Result instead
// of doing its work: Open -1, Read -1, Write -1 or a short count.
void FailCall(Op Kind, int Nth, int32_t Result);

// ---- Views of the record ----
std::vector<Call> CallsOf(Op Kind);
// Every byte written, in order.
std::vector<uint8_t> Written();
// The sizes of the writes, in order.
std::vector<int32_t> WriteSizes();
// Index in Calls of the first call of Kind at or after From; -1 when none.
int FindCall(Op Kind, size_t From = 0);

}  // namespace fakeserial
