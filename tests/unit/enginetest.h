// Shared ground for the engine's unit tests: a fixture that starts every test
// from a fresh engine state, a fresh fake port and clock, and an output
// captured in a memory file; and a scripted chip that answers the engine
// through the fake port.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"
#include "tests/fake/chipwire.h"
#include "tests/fake/fakeserial.h"

namespace enginetest {

// Output lines, each with its line end.
std::string Lines(std::initializer_list<std::string> Items);

// The chip at the far end of the fake port.
struct ChipScript {
  // Per contact (per SerOpen), the bytes that become readable once the
  // host has written its whole handshake in that contact. Contacts beyond
  // the list get no answer.
  std::vector<std::vector<uint8_t>> Replies;
  // Acknowledgement bytes, in order; the next one is answered to the
  // AckAfterEchoes-th echo byte of a wait, in the last contact only.
  std::vector<uint8_t> Acks;
  int AckAfterEchoes = 1;
  // Fake time between a byte leaving and its answer being readable.
  uint64_t LatencyUs = 0;
};

// Puts the chip on the line (as the fake port's responder).
void InstallChip(const ChipScript& Script);

// A chip that answers `Contacts` handshakes with version `Version`.
ChipScript GoodChip(int Contacts, uint8_t Version = 1);

// Bytes written in the contact that starts with the Nth Open (0-based).
std::vector<uint8_t> WrittenInContact(int N);

}  // namespace enginetest

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Everything printed since SetUp (pending lines flushed first).
  std::string Output();

  // Asserts that the port was closed before any line after FromLine was
  // printed: the close is recorded with failreport::LinesWritten at FromLine.
  void ExpectClosedBeforeLines(uint64_t FromLine);

  int CaptureFd = -1;
  int SavedFd = 1;
  uint64_t LinesAtStart = 0;
};
