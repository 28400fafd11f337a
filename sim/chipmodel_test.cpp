// Unit tests of the simulated chip: a scripted host drives chipmodel byte by
// byte on a fake clock and checks what the chip answers and records.
#include "chipmodel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// The scripted host, with its own clock in milliseconds.
double g_clock = 0;

Bytes Feed(const Bytes& bytes, double stepMs = 0.1) {
  Bytes replies;
  for (std::uint8_t byte : bytes) {
    g_clock += stepMs;
    const int reply = chipmodel::Receive(byte, g_clock);
    if (reply >= 0) replies.push_back(static_cast<std::uint8_t>(reply));
  }
  return replies;
}

// The host's 509 handshake bytes: 0xF9, the register's results 1..250, 258 x 0xF9.
Bytes HostHandshake() {
  Bytes bytes{0xF9};
  std::uint8_t lfsr = chipmodel::LfsrSeed;
  for (int i = 0; i < 250; ++i) bytes.push_back(static_cast<std::uint8_t>(0xFE | chipmodel::IterateLfsr(lfsr)));
  bytes.insert(bytes.end(), 258, 0xF9);
  return bytes;
}

// What a good chip answers: the register's results 251..500, then the version.
Bytes ChipAnswer(std::uint8_t version) {
  std::uint8_t lfsr = chipmodel::LfsrSeed;
  for (int i = 0; i < 250; ++i) chipmodel::IterateLfsr(lfsr);
  Bytes bytes;
  for (int i = 0; i < 250; ++i) bytes.push_back(static_cast<std::uint8_t>(0xFE | chipmodel::IterateLfsr(lfsr)));
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(0xFE | ((version >> i) & 1)));
  return bytes;
}

Bytes Longs(const std::vector<std::uint32_t>& values) {
  Bytes bytes;
  for (std::uint32_t v : values) {
    const Bytes one = chipmodel::EncodeLong(v);
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  return bytes;
}

void Begin(const chipmodel::Faults& faults = {}) {
  chipmodel::Configure(faults);
  chipmodel::Reset();
  g_clock = 1000;
  chipmodel::StartContact(g_clock, "reset");
}

const chipmodel::Contact& Last() { return chipmodel::Contacts().back(); }

TEST(ChipModelWire, LongEncodingMatchesTheLineFormat) {
  struct Case {
    std::uint32_t value;
    Bytes bytes;
  };
  const Case cases[] = {
      {0, {0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2}},
      {1, {0x93, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2}},
      {2, {0x9A, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2}},
      {3, {0x9B, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xF2}},
      {0xFFFFFFFF, {0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xDB, 0xFB}},
      {0x80000000, {0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0x92, 0xFA}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(chipmodel::EncodeLong(c.value), c.bytes) << c.value;
  }
  for (std::uint32_t value : {0u, 1u, 5u, 0x12345678u, 0xDEADBEEFu, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    const Bytes bytes = chipmodel::EncodeLong(value);
    std::uint32_t decoded = 0;
    for (int i = 0; i < 11; ++i) {
      std::uint32_t bits = 0;
      ASSERT_TRUE(chipmodel::DecodeLongByte(i, bytes[i], bits));
      decoded |= bits << (3 * i);
    }
    EXPECT_EQ(decoded, value);
  }
}

TEST(ChipModelWire, MalformedLongBytesAreRefused) {
  struct Case {
    int index;
    std::uint8_t byte;
    bool ok;
  };
  const Case cases[] = {
      {0, 0x92, true},  {0, 0xDB, true},  {0, 0xF9, false}, {0, 0x00, false}, {0, 0xFE, false},
      {0, 0xB2, false}, {0, 0x96, false}, {9, 0xF2, false}, {10, 0xF2, true}, {10, 0xFB, true},
      {10, 0x92, false}, {10, 0xF6, false}, {10, 0xF9, false},
  };
  for (const Case& c : cases) {
    std::uint32_t bits = 0;
    EXPECT_EQ(chipmodel::DecodeLongByte(c.index, c.byte, bits), c.ok)
        << "index " << c.index << " byte " << int(c.byte);
  }
}

TEST(ChipModelWire, ShiftRegisterFromTheSeed) {
  std::uint8_t lfsr = chipmodel::LfsrSeed;
  std::vector<int> bits;
  for (int i = 0; i < 16; ++i) bits.push_back(chipmodel::IterateLfsr(lfsr));
  EXPECT_EQ(bits, (std::vector<int>{0, 1, 0, 1, 1, 1, 0, 0, 1, 1, 1, 1, 0, 1, 0, 1}));
  const Bytes answer = ChipAnswer(1);
  const Bytes first16(answer.begin(), answer.begin() + 16);
  EXPECT_EQ(first16, (Bytes{0xFE, 0xFF, 0xFE, 0xFE, 0xFE, 0xFE, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0xFE, 0xFF,
                            0xFF, 0xFF}));
}

TEST(ChipModelHandshake, AnswersSequenceAndVersion) {
  for (int v : {1, 2, 128, 0}) {
    const auto version = static_cast<std::uint8_t>(v);
    chipmodel::Faults faults;
    faults.Version = version;
    Begin(faults);
    EXPECT_EQ(Feed(HostHandshake()), ChipAnswer(version)) << int(version);
    EXPECT_TRUE(Last().VersionSent);
    EXPECT_EQ(Last().HandshakeBitsOk, 250u);
    EXPECT_EQ(chipmodel::CurrentPhase(), chipmodel::Phase::Command);
  }
  // Version 1 is FF then seven FE.
  const Bytes answer = ChipAnswer(1);
  EXPECT_EQ(Bytes(answer.begin() + 250, answer.end()), (Bytes{0xFF, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE}));
}

TEST(ChipModelHandshake, ReplyFaults) {
  struct Case {
    const char* name;
    chipmodel::Faults faults;
    int changed;            // reply index (0-based) that differs, -1: none
    std::uint8_t expected;  // its value
    std::size_t count;      // replies sent
  };
  chipmodel::Faults flip;
  flip.FlipReply = 100;
  chipmodel::Faults bad;
  bad.BadReplyAt = 250;
  bad.BadReplyByte = 0x00;
  chipmodel::Faults silent;
  silent.Silent = true;
  const Bytes good = ChipAnswer(1);
  const Case cases[] = {
      {"flip", flip, 99, static_cast<std::uint8_t>(good[99] ^ 1), 258},
      {"bad byte", bad, 249, 0x00, 258},
      {"silent", silent, -1, 0, 0},
  };
  for (const Case& c : cases) {
    Begin(c.faults);
    const Bytes replies = Feed(HostHandshake());
    ASSERT_EQ(replies.size(), c.count) << c.name;
    for (std::size_t i = 0; i < replies.size(); ++i) {
      EXPECT_EQ(replies[i], static_cast<int>(i) == c.changed ? c.expected : good[i]) << c.name << " at " << i;
    }
  }
}

TEST(ChipModelHandshake, WrongHostBytesSilenceTheChip) {
  struct Case {
    const char* name;
    std::size_t position;  // byte of the host's handshake to corrupt
    int byte;              // its new value; -1: the bit inverted
    std::string rejection;
  };
  const Case cases[] = {
      {"no leading F9", 0, 0xFE, "expected 0xF9 to begin the handshake, got 0xFE"},
      {"first bit wrong", 1, 0xFF, "handshake bit 1: expected 0xFE, got 0xFF"},
      {"last bit wrong", 250, -1, "handshake bit 250: expected 0xFF, got 0xFE"},
      {"noise in the echo run", 300, 0x00, "expected 0xF9 while answering the handshake, got 0x00"},
  };
  for (const Case& c : cases) {
    Begin();
    Bytes host = HostHandshake();
    host[c.position] = static_cast<std::uint8_t>(c.byte < 0 ? host[c.position] ^ 1 : c.byte);
    const Bytes replies = Feed(host);
    EXPECT_EQ(chipmodel::CurrentPhase(), chipmodel::Phase::Rejected) << c.name;
    EXPECT_EQ(Last().Rejection, c.rejection) << c.name;
    EXPECT_LT(replies.size(), 258u) << c.name;
    // Silent from then on.
    EXPECT_TRUE(Feed(Bytes(5, 0xF9)).empty()) << c.name;
  }
}

TEST(ChipModelDownload, CommandsCountsLongsAndAcknowledgements) {
  struct Case {
    const char* name;
    std::uint32_t command;
    chipmodel::Faults faults;
    Bytes acks;  // replies to one echo byte per wait
  };
  chipmodel::Faults ram, prog, verify;
  ram.FailRam = true;
  prog.FailEepromProgram = true;
  verify.FailEepromVerify = true;
  const Case cases[] = {
      {"ram", 1, {}, {0xFE}},
      {"eeprom", 2, {}, {0xFE, 0xFE, 0xFE}},
      {"ram and eeprom", 3, {}, {0xFE, 0xFE, 0xFE}},
      {"ram checksum fails", 1, ram, {0xFF}},
      {"programming fails", 2, prog, {0xFE, 0xFF}},
      {"verify fails", 3, verify, {0xFE, 0xFE, 0xFF}},
  };
  const std::vector<std::uint32_t> image{1, 0xFFFFFFFF, 0x80000000, 77, 0};
  for (const Case& c : cases) {
    Begin(c.faults);
    Feed(HostHandshake());
    EXPECT_TRUE(Feed(Longs({c.command, static_cast<std::uint32_t>(image.size())})).empty());
    EXPECT_TRUE(Feed(Longs(image)).empty());
    EXPECT_EQ(chipmodel::CurrentPhase(), chipmodel::Phase::Ack) << c.name;
    Bytes acks;
    for (std::size_t i = 0; i < c.acks.size(); ++i) {
      const Bytes one = Feed({0xF9}, 25);
      ASSERT_EQ(one.size(), 1u) << c.name;
      acks.push_back(one[0]);
      if (one[0] == 0xFF) break;
    }
    EXPECT_EQ(acks, c.acks) << c.name;
    const chipmodel::Contact& contact = Last();
    EXPECT_EQ(contact.Command, c.command);
    EXPECT_EQ(contact.Count, 5);
    EXPECT_EQ(contact.Longs, image) << c.name;
    EXPECT_EQ(contact.Acks.size(), c.acks.size()) << c.name;
    for (const chipmodel::AckWait& wait : contact.Acks) EXPECT_EQ(wait.Echoes, 1u);
  }
}

TEST(ChipModelDownload, DetectionContactAndEmptyImage) {
  Begin();
  Feed(HostHandshake());
  Feed(Longs({0}));
  EXPECT_EQ(Last().Command, 0);
  EXPECT_EQ(chipmodel::CurrentPhase(), chipmodel::Phase::Finished);
  EXPECT_EQ(chipmodel::Summary(Last()), "contact 1: command 0 (detection), version 1 sent");

  Begin();
  Feed(HostHandshake());
  Feed(Longs({1, 0}));
  EXPECT_EQ(chipmodel::CurrentPhase(), chipmodel::Phase::Ack);
  EXPECT_EQ(Feed({0xF9}), Bytes{0xFE});
  EXPECT_EQ(chipmodel::Summary(Last()), "contact 1: command 1, 0 longs received, RAM checksum ok");
}

TEST(ChipModelDownload, MalformedLongAndBadCountsAreRejected) {
  struct Case {
    const char* name;
    Bytes after;  // host bytes after the handshake
    std::string rejection;
  };
  Bytes badImage = Longs({1, 3, 5, 6, 7});
  badImage[22 + 11 + 4] = 0xF9;  // 5th byte of long #1
  const Case cases[] = {
      {"malformed image byte", badImage, "malformed byte 0xF9 at byte 5 of an image long #1"},
      {"unknown command", Longs({4}), "unknown command 4"},
      {"count too large", Longs({1, 8194}), "count 8194 exceeds 8193 longs"},
  };
  for (const Case& c : cases) {
    Begin();
    Feed(HostHandshake());
    Feed(c.after);
    EXPECT_EQ(chipmodel::CurrentPhase(), chipmodel::Phase::Rejected) << c.name;
    EXPECT_EQ(Last().Rejection, c.rejection) << c.name;
  }
}

TEST(ChipModelDownload, AckDelayLeavesEarlyEchoesUnanswered) {
  chipmodel::Faults faults;
  faults.AckDelayMs = 100;
  Begin(faults);
  Feed(HostHandshake());
  Feed(Longs({1, 1, 42}));
  Bytes replies;
  int echoes = 0;
  while (replies.empty() && echoes < 20) {
    replies = Feed({0xF9}, 25);
    ++echoes;
  }
  EXPECT_EQ(replies, Bytes{0xFE});
  EXPECT_EQ(echoes, 4);  // at 25, 50, 75 ms not ready; at 100 ms answered
  EXPECT_EQ(Last().Acks[0].Echoes, 4u);
  EXPECT_NEAR(Last().Acks[0].AnswerMs - Last().Acks[0].StartMs, 100, 0.01);
}

TEST(ChipModelContacts, NewContactsAndOnlyContact) {
  chipmodel::Faults faults;
  faults.FailRam = true;
  faults.OnlyContact = 2;
  chipmodel::Configure(faults);
  chipmodel::Reset();
  g_clock = 0;
  // Contact 1 begins with a 0xF9 while idle; a flush before any byte of a
  // contact does not add another one.
  Feed(HostHandshake());
  Feed(Longs({0}));
  chipmodel::StartContact(g_clock, "flush");
  chipmodel::StartContact(g_clock, "flush");
  Feed(HostHandshake());
  Feed(Longs({1, 1, 5}));
  EXPECT_EQ(Feed({0xF9}), Bytes{0xFF});  // the fault applies on contact 2
  // Late echo bytes right after the answer are ignored.
  EXPECT_TRUE(Feed(Bytes(3, 0xF9), 25).empty());
  EXPECT_EQ(Last().IgnoredBytes, 3u);
  // Finished: a 0xF9 after a quiet line starts contact 3, where the fault
  // does not apply.
  g_clock += 150;
  Feed(HostHandshake());
  Feed(Longs({1, 1, 5}));
  EXPECT_EQ(Feed({0xF9}), Bytes{0xFE});
  // Contact 4 is rejected mid-image; 0xF9 after a quiet line starts contact 5.
  g_clock += 150;
  Feed(HostHandshake());
  Feed(Longs({1, 3, 5}));
  Feed({0x00});
  EXPECT_EQ(chipmodel::CurrentPhase(), chipmodel::Phase::Rejected);
  EXPECT_TRUE(Feed(Bytes(2, 0xF9)).empty());  // no gap: still silent
  g_clock += 150;
  EXPECT_EQ(Feed(HostHandshake()).size(), 258u);
  const auto& contacts = chipmodel::Contacts();
  ASSERT_EQ(contacts.size(), 5u);
  EXPECT_EQ(contacts[0].Cause, "echo while idle");
  EXPECT_EQ(contacts[1].Cause, "flush");
  EXPECT_EQ(contacts[2].Cause, "quiet gap");
  EXPECT_EQ(contacts[3].Cause, "quiet gap");
  EXPECT_EQ(contacts[4].Cause, "quiet gap");
  EXPECT_FALSE(contacts[0].FaultsActive);
  EXPECT_TRUE(contacts[1].FaultsActive);
  EXPECT_EQ(contacts[3].Rejection, "malformed byte 0x00 at byte 1 of an image long #1");
}

TEST(ChipModelContacts, HangUpAfterNBytes) {
  chipmodel::Faults faults;
  faults.HangUpAfter = 600;
  Begin(faults);
  const Bytes replies = Feed(HostHandshake());
  EXPECT_EQ(replies.size(), 258u);
  EXPECT_FALSE(chipmodel::HangUpDue());
  Feed(Longs({1, 20}));
  Feed(Longs(std::vector<std::uint32_t>(20, 9)));
  EXPECT_TRUE(chipmodel::HangUpDue());
  EXPECT_EQ(Last().BytesReceived, 600u);
  EXPECT_EQ(Last().Longs.size(), (600u - 509u - 22u) / 11u);
  EXPECT_NE(chipmodel::RecordJson(g_clock).find("\"hung_up\":true"), std::string::npos);
}

}  // namespace
