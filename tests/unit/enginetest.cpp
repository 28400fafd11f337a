#include "tests/unit/enginetest.h"

#include <sys/mman.h>
#include <unistd.h>

namespace enginetest {

namespace {

struct ChipState {
  ChipScript Script;
  int Contact = -1;          // index of the current contact
  size_t WrittenInContact = 0;
  size_t AcksGiven = 0;
  int EchoesSinceAck = 0;
};
ChipState Chip;

void Respond(const fakeserial::Call& C) {
  using fakeserial::Op;
  if (C.Kind == Op::Open && C.Result != -1) {
    ++Chip.Contact;
    Chip.WrittenInContact = 0;
    Chip.EchoesSinceAck = 0;
    return;
  }
  if (C.Kind != Op::Write || C.Result <= 0 || Chip.Contact < 0) return;
  const size_t before = Chip.WrittenInContact;
  Chip.WrittenInContact += static_cast<size_t>(C.Result);
  const auto contact = static_cast<size_t>(Chip.Contact);
  if (before < chipwire::HandshakeLength && Chip.WrittenInContact >= chipwire::HandshakeLength) {
    if (contact < Chip.Script.Replies.size())
      fakeserial::DeliverAt(fakeserial::NowUs + Chip.Script.LatencyUs, Chip.Script.Replies[contact]);
    return;
  }
  const bool lastContact = contact + 1 == Chip.Script.Replies.size();
  if (before >= chipwire::HandshakeLength && lastContact && C.Bytes.size() == 1 && C.Bytes[0] == chipwire::Echo &&
      Chip.AcksGiven < Chip.Script.Acks.size() && ++Chip.EchoesSinceAck >= Chip.Script.AckAfterEchoes) {
    fakeserial::DeliverAt(fakeserial::NowUs + Chip.Script.LatencyUs, {Chip.Script.Acks[Chip.AcksGiven++]});
    Chip.EchoesSinceAck = 0;
  }
}

}  // namespace

std::string Lines(std::initializer_list<std::string> Items) {
  std::string text;
  for (const std::string& line : Items) text += line + "\n";
  return text;
}

void InstallChip(const ChipScript& Script) {
  Chip = ChipState{};
  Chip.Script = Script;
  fakeserial::OnCall = Respond;
}

ChipScript GoodChip(int Contacts, uint8_t Version) {
  ChipScript script;
  for (int i = 0; i < Contacts; ++i) script.Replies.push_back(chipwire::ChipReply(Version));
  return script;
}

std::vector<uint8_t> WrittenInContact(int N) {
  std::vector<uint8_t> out;
  int contact = -1;
  for (const fakeserial::Call& c : fakeserial::Calls) {
    if (c.Kind == fakeserial::Op::Open) ++contact;
    if (c.Kind == fakeserial::Op::Write && contact == N) out.insert(out.end(), c.Bytes.begin(), c.Bytes.end());
  }
  return out;
}

}  // namespace enginetest

void EngineTest::SetUp() {
  fakeserial::Reset();
  using namespace bootlink;
  Buffer.fill(0);
  LongCount = 0;
  CommString = "/dev/ttyS0";
  ResetPinPort = "-";
  CommOpen = false;
  CommHandle = 0;
  TxBuffLength = 0;
  TxBuff.fill(0);
  RxBuffStart = 0;
  RxBuffEnd = 0;
  RxBuff.fill(0);
  LFSR = 0;
  Version = 0;
  VersionMode = false;
  AbortMode = true;
  ProgressFormStatusLabelCaption.clear();

  CaptureFd = memfd_create("output", 0);
  ASSERT_NE(CaptureFd, -1);
  SavedFd = failreport::OutputFd;
  failreport::OutputFd = CaptureFd;
  LinesAtStart = failreport::LinesWritten;
}

void EngineTest::TearDown() {
  // Lines a failing test left pending go to this test's file, not the next.
  try {
    failreport::FlushOutput();
  } catch (...) {
  }
  failreport::OutputFd = SavedFd;
  if (CaptureFd != -1) close(CaptureFd);
  fakeserial::OnCall = nullptr;
}

std::string EngineTest::Output() {
  failreport::FlushOutput();
  std::string text;
  char block[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(CaptureFd, block, sizeof block, at);
    if (n <= 0) break;
    text.append(block, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

void EngineTest::ExpectClosedBeforeLines(uint64_t FromLine) {
  const auto closes = fakeserial::CallsOf(fakeserial::Op::Close);
  ASSERT_FALSE(closes.empty()) << "the port was never closed";
  EXPECT_EQ(closes.back().Lines, FromLine) << "a line was printed before the port was closed";
  EXPECT_GT(failreport::LinesWritten, FromLine);
  EXPECT_FALSE(bootlink::CommOpen);
}
