// End-to-end tests: the real chipfeed binary against the simulated chip
// (chipsim) on a pseudo-terminal. Each run compares chipfeed's whole output
// and exit status, and checks chipsim's record of what reached the chip.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::Exact;
using e2e::Lines;

struct Outcome {
  e2e::RunResult Run;
  e2e::Json Record;
  std::string Port;
};

// The sample image pattern of the tests: mixes small values, values with the
// top bit set and every byte lane.
std::vector<std::uint32_t> Pattern(std::size_t count) {
  std::vector<std::uint32_t> longs;
  for (std::size_t i = 0; i < count; ++i) {
    const auto n = static_cast<std::uint32_t>(i);
    longs.push_back(n % 3 == 0 ? n : n % 3 == 1 ? 0x80000000u | (n * 7919u) : ~n);
  }
  return longs;
}

class ChipfeedE2E : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = e2e::MakeTempDir(); }
  void TearDown() override { e2e::RemoveTree(dir_); }

  std::string Image(const std::vector<std::uint32_t>& longs, const std::string& name = "image.bin") {
    const std::string path = dir_ + "/" + name;
    e2e::WriteImage(path, longs);
    return path;
  }

  // chipsim --link PORT --record FILE OPTIONS -- chipfeed -d {port} -pMODE IMAGE
  Outcome RunUnderChip(const std::vector<std::string>& chipOptions, int mode, const std::string& image) {
    Outcome outcome;
    outcome.Port = dir_ + "/port";
    const std::string record = dir_ + "/record.json";
    std::vector<std::string> argv{e2e::ChipsimPath(), "--link", outcome.Port, "--record", record};
    argv.insert(argv.end(), chipOptions.begin(), chipOptions.end());
    for (const char* arg : {"--", "", "-d", "{port}", ""}) argv.push_back(arg);
    argv[argv.size() - 4] = e2e::ChipfeedPath();
    argv.back() = "-p" + std::to_string(mode);
    argv.push_back(image);
    outcome.Run = e2e::Run(argv, 120);
    EXPECT_FALSE(outcome.Run.TimedOut) << "chipfeed did not end";
    outcome.Record = e2e::ParseJson(e2e::ReadFile(record));
    return outcome;
  }

  std::string dir_;
};

const e2e::Json& ContactAt(const Outcome& outcome, std::size_t index) {
  return e2e::At(outcome.Record, "contacts").Items.at(index);
}

double Num(const e2e::Json& object, const std::string& field) { return e2e::At(object, field).Value; }

std::size_t ContactCount(const Outcome& outcome) { return e2e::At(outcome.Record, "contacts").Items.size(); }

// The detection contact: the full handshake, the command long 0, nothing else.
void ExpectDetectionContact(const Outcome& outcome) {
  ASSERT_GE(ContactCount(outcome), 1u);
  const e2e::Json& c = ContactAt(outcome, 0);
  EXPECT_EQ(Num(c, "command"), 0);
  EXPECT_EQ(Num(c, "handshake_bits_ok"), 250);
  EXPECT_EQ(Num(c, "bytes_received"), 509 + 11);
  EXPECT_EQ(e2e::At(c, "rejection").Text, "");
}

TEST_F(ChipfeedE2E, DownloadsInEveryMode) {
  struct Case {
    const char* name;
    int mode;
    std::size_t longs;
    int version;
  };
  const Case cases[] = {
      {"RAM, 3000 longs", 1, 3000, 1},     {"EEPROM", 2, 100, 1},       {"RAM and EEPROM", 3, 100, 1},
      {"empty image", 1, 0, 1},            {"largest image", 1, 8193, 1}, {"chip version 2", 2, 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The first image is chipsim's own sample, the others the tests' pattern.
    std::string image;
    if (c.longs == 3000) {
      image = dir_ + "/sample.bin";
      ASSERT_EQ(e2e::Run({e2e::ChipsimPath(), "--make-image", "3000", image}).Status, 0);
    } else {
      image = Image(Pattern(c.longs));
    }
    const std::vector<std::uint32_t> longs = e2e::ReadImage(image);
    ASSERT_EQ(longs.size(), c.longs);
    const Outcome outcome = RunUnderChip({"--chip-version", std::to_string(c.version)}, c.mode, image);

    Lines expected = e2e::StartAndListing(image, outcome.Port, c.mode, longs);
    e2e::Append(expected, e2e::Detection(outcome.Port, c.version));
    e2e::Append(expected, e2e::Download(c.mode, longs));
    EXPECT_EQ(e2e::CompareOutput(outcome.Run.Out, expected), "");
    EXPECT_EQ(outcome.Run.Status, 0);

    ASSERT_EQ(ContactCount(outcome), 2u);
    ExpectDetectionContact(outcome);
    const e2e::Json& download = ContactAt(outcome, 1);
    EXPECT_EQ(Num(download, "command"), c.mode);
    EXPECT_EQ(Num(download, "count"), static_cast<double>(c.longs));
    EXPECT_EQ(e2e::LongsOf(download), longs);
    const auto& acks = e2e::At(download, "acks").Items;
    ASSERT_EQ(acks.size(), c.mode == 1 ? 1u : 3u);
    double echoes = 0;
    for (const e2e::Json& ack : acks) {
      EXPECT_TRUE(e2e::At(ack, "answered").Flag);
      EXPECT_FALSE(e2e::At(ack, "fail").Flag);
      // A ready chip answers the first echo byte it sees.
      EXPECT_EQ(Num(ack, "echoes"), 1);
      echoes += Num(ack, "echoes");
    }
    // Handshake, command, count, the longs and the echo bytes (those that
    // were still on their way when the answer went out count as ignored):
    // nothing more.
    EXPECT_EQ(Num(download, "bytes_received"), 509 + 11 + 11 + 11.0 * static_cast<double>(c.longs) + echoes +
                                                   Num(download, "ignored_bytes"));

    std::string summary = "chipsim: contact 2: command " + std::to_string(c.mode) + ", " +
                          std::to_string(c.longs) + " longs received, RAM checksum ok";
    if (c.mode > 1) summary += ", EEPROM programming ok, EEPROM verify ok";
    EXPECT_EQ(outcome.Run.Err, summary + "\n");
  }
}

TEST_F(ChipfeedE2E, NoChipOrAWrongAnswerInTheHandshake) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool failsOnDownload;  // the detection contact succeeds first
    double minSeconds;     // chipfeed's time-out for one handshake bit
  };
  const Case cases[] = {
      {"no chip", {"--silent"}, false, 0.9},
      {"wrong echo bit", {"--flip-reply", "100"}, false, 0},
      {"last echo bit wrong", {"--flip-reply", "250"}, false, 0},
      {"bad byte as a version bit", {"--bad-reply", "258:0x00"}, false, 0},
      {"wrong echo on the download contact", {"--flip-reply", "17", "--only-contact", "2"}, true, 0},
  };
  const std::vector<std::uint32_t> longs = Pattern(40);
  const std::string image = Image(longs);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = RunUnderChip(c.options, 1, image);
    Lines expected = e2e::StartAndListing(image, outcome.Port, 1, longs);
    if (c.failsOnDownload) e2e::Append(expected, e2e::Detection(outcome.Port, 1));
    e2e::Append(expected, {Exact("reset DTR"), Exact("Program aborted")});
    e2e::Append(expected, e2e::AbortWith("No Propeller hardware found on " + outcome.Port));
    EXPECT_EQ(e2e::CompareOutput(outcome.Run.Out, expected), "");
    EXPECT_EQ(outcome.Run.Status, 217);
    EXPECT_GE(outcome.Run.Seconds, c.minSeconds);
    // No download follows a failed detection.
    ASSERT_EQ(ContactCount(outcome), c.failsOnDownload ? 2u : 1u);
    const e2e::Json& failed = ContactAt(outcome, ContactCount(outcome) - 1);
    EXPECT_EQ(Num(failed, "command"), -1) << "the host went on after a failed handshake";
    EXPECT_EQ(Num(failed, "bytes_received"), 509);
  }
}

TEST_F(ChipfeedE2E, NegativeOrBrokenAcknowledgements) {
  struct Case {
    const char* name;
    int mode;
    std::vector<std::string> options;
    int captions;  // acknowledgement captions printed before the failure
    std::string reason;
  };
  const Case cases[] = {
      {"RAM checksum", 1, {"--fail-ram"}, 1, "RAM checksum error on "},
      {"RAM checksum in mode 3", 3, {"--fail-ram"}, 1, "RAM checksum error on "},
      {"EEPROM programming", 2, {"--fail-eeprom-program"}, 2, "EEPROM programming error on "},
      {"EEPROM verify", 3, {"--fail-eeprom-verify"}, 3, "EEPROM verify error on "},
      {"RAM bit flipped on the line", 1, {"--flip-reply", "259"}, 1, "RAM checksum error on "},
      {"garbage instead of the RAM bit", 1, {"--bad-reply", "259:0x00"}, 1, "Hardware lost on "},
  };
  const std::vector<std::uint32_t> longs = Pattern(25);
  const std::string image = Image(longs);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = RunUnderChip(c.options, c.mode, image);
    Lines expected = e2e::StartAndListing(image, outcome.Port, c.mode, longs);
    e2e::Append(expected, e2e::Detection(outcome.Port, 1));
    e2e::Append(expected, e2e::Download(c.mode, longs, c.captions));
    e2e::Append(expected, e2e::AbortWith(c.reason + outcome.Port));
    EXPECT_EQ(e2e::CompareOutput(outcome.Run.Out, expected), "");
    EXPECT_EQ(outcome.Run.Status, 217);
    ASSERT_EQ(ContactCount(outcome), 2u);
    EXPECT_EQ(e2e::LongsOf(ContactAt(outcome, 1)), longs);
    EXPECT_EQ(e2e::At(ContactAt(outcome, 1), "acks").Items.size(), static_cast<std::size_t>(c.captions));
  }
}

// At line pace the chip falls behind the host by no more than the pty's
// buffer (about 20 KB), so the host is still sending the image when the
// line drops after 2000 of its 8193 longs.
TEST_F(ChipfeedE2E, LineDroppedInTheMiddleOfTheImage) {
  const std::vector<std::uint32_t> longs = Pattern(8193);
  const std::string image = Image(longs);
  const std::size_t hangUpAt = 509 + 22 + 11 * 2000;
  const Outcome outcome =
      RunUnderChip({"--pace", "--hangup-after", std::to_string(hangUpAt), "--only-contact", "2"}, 1, image);
  EXPECT_EQ(outcome.Run.Status, 217) << "a crash shows as 128 + signal";
  EXPECT_LT(outcome.Run.Seconds, 30);

  // The output runs as in a good download up to some long, then a reason
  // line naming the port, then the abort.
  Lines expected = e2e::StartAndListing(image, outcome.Port, 1, longs);
  e2e::Append(expected, e2e::Detection(outcome.Port, 1));
  const Lines download = e2e::Download(1, longs, 0);
  const std::string out = outcome.Run.Out;
  std::size_t printed = 0;
  while (printed < longs.size() &&
         out.find("\n" + download[3 + printed].Text + "\n") != std::string::npos) {
    ++printed;
  }
  EXPECT_GE(printed, 1900u);
  EXPECT_LT(printed, longs.size());
  e2e::Append(expected, Lines(download.begin(), download.begin() + 3 + static_cast<std::ptrdiff_t>(printed)));
  const std::string port = outcome.Port;
  e2e::Append(expected, e2e::AbortWith(""));
  expected[expected.size() - 6] = e2e::Matching(
      "(Unable to write to|Transmit stall on|Unable to read from|Hardware lost on) " + port);
  EXPECT_EQ(e2e::CompareOutput(out, expected), "");

  ASSERT_EQ(ContactCount(outcome), 2u);
  const e2e::Json& download2 = ContactAt(outcome, 1);
  EXPECT_TRUE(e2e::At(download2, "hung_up").Flag);
  EXPECT_EQ(Num(download2, "bytes_received"), static_cast<double>(hangUpAt));
  const std::vector<std::uint32_t> received = e2e::LongsOf(download2);
  EXPECT_EQ(received.size(), (hangUpAt - 509 - 22) / 11);
  EXPECT_TRUE(std::equal(received.begin(), received.end(), longs.begin()));
}

TEST_F(ChipfeedE2E, ImageTooLargeIsRefusedBeforeTheChipIsTouched) {
  const std::vector<std::uint32_t> longs = Pattern(8194);
  const std::string image = Image(longs);
  const Outcome outcome = RunUnderChip({}, 1, image);
  Lines expected{Exact("Test Reset Pin 10"),
                 Exact("chipfeed will send : " + image + " to " + outcome.Port + " in Mode 1"),
                 Exact(" resetpin : -"), Exact("File size : 8194")};
  e2e::Append(expected, e2e::IoErrorReport("Image file too large"));
  EXPECT_EQ(e2e::CompareOutput(outcome.Run.Out, expected), "");
  EXPECT_EQ(outcome.Run.Status, 217);
  EXPECT_EQ(ContactCount(outcome), 0u) << "something reached the chip";
  EXPECT_EQ(outcome.Run.Err, "chipsim: no contact, nothing received\n");
}

// Timing, with tolerances: the host keeps sending one echo byte per ~25 ms
// pass until the chip is ready, and waits as long as the chip needs.
TEST_F(ChipfeedE2E, SlowAcknowledgementsAreWaitedFor) {
  const std::vector<std::uint32_t> longs = Pattern(10);
  const std::string image = Image(longs);
  const Outcome outcome = RunUnderChip({"--ack-delay", "300", "--only-contact", "2"}, 2, image);
  Lines expected = e2e::StartAndListing(image, outcome.Port, 2, longs);
  e2e::Append(expected, e2e::Detection(outcome.Port, 1));
  e2e::Append(expected, e2e::Download(2, longs));
  EXPECT_EQ(e2e::CompareOutput(outcome.Run.Out, expected), "");
  EXPECT_EQ(outcome.Run.Status, 0);
  ASSERT_EQ(ContactCount(outcome), 2u);
  const auto& acks = e2e::At(ContactAt(outcome, 1), "acks").Items;
  ASSERT_EQ(acks.size(), 3u);
  for (const e2e::Json& ack : acks) {
    EXPECT_GE(Num(ack, "answer_ms") - Num(ack, "start_ms"), 300);
    // 300 ms of ~25 ms passes: at most 13 echo bytes, and clearly more than one.
    EXPECT_GE(Num(ack, "echoes"), 3);
    EXPECT_LE(Num(ack, "echoes"), 13);
  }
  EXPECT_GE(outcome.Run.Seconds, 0.9);
}

TEST_F(ChipfeedE2E, PacedLineTakesAsLongAsAWire) {
  const std::vector<std::uint32_t> longs = Pattern(2000);
  const std::string image = Image(longs);
  const Outcome outcome = RunUnderChip({"--pace"}, 1, image);
  EXPECT_EQ(outcome.Run.Status, 0);
  ASSERT_EQ(ContactCount(outcome), 2u);
  const e2e::Json& download = ContactAt(outcome, 1);
  EXPECT_EQ(e2e::LongsOf(download), longs);
  // 1999 longs after the first, 11 bytes of 86.8 us each.
  const double wire = 1999 * 11 * 10 * 1000.0 / 115200;
  const double took = Num(download, "last_long_ms") - Num(download, "first_long_ms");
  EXPECT_GE(took, wire * 0.98);
  EXPECT_LE(took, wire * 3);
  // The handshake's 509 bytes alone take 44 ms on the wire.
  EXPECT_GE(Num(download, "handshake_done_ms") - Num(download, "start_ms"), 44);
}

// The form other test suites use: chipsim serving on a link until stopped.
TEST_F(ChipfeedE2E, ServesOnALinkUntilStopped) {
  const std::vector<std::uint32_t> longs = Pattern(5);
  const std::string image = Image(longs);
  const std::string port = dir_ + "/ttyChip", record = dir_ + "/record.json";
  const int sim = e2e::Start({e2e::ChipsimPath(), "--link", port, "--record", record}, dir_ + "/sim.out",
                             dir_ + "/sim.err");
  struct stat st {};
  for (int i = 0; i < 500 && lstat(port.c_str(), &st) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(lstat(port.c_str(), &st), 0) << "chipsim made no link";
  // Two runs in a row on the same chip: four contacts.
  for (int run = 0; run < 2; ++run) {
    const e2e::RunResult result = e2e::Run({e2e::ChipfeedPath(), "-d", port, "-p1", image}, 60);
    Lines expected = e2e::StartAndListing(image, port, 1, longs);
    e2e::Append(expected, e2e::Detection(port, 1));
    e2e::Append(expected, e2e::Download(1, longs));
    EXPECT_EQ(e2e::CompareOutput(result.Out, expected), "") << "run " << run;
    EXPECT_EQ(result.Status, 0);
  }
  kill(sim, SIGTERM);
  EXPECT_EQ(e2e::Wait(sim, 10), 0);
  EXPECT_NE(lstat(port.c_str(), &st), 0) << "the link was left behind";
  const std::string slave = e2e::ReadFile(dir_ + "/sim.out");
  EXPECT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
  const e2e::Json rec = e2e::ParseJson(e2e::ReadFile(record));
  const auto& contacts = e2e::At(rec, "contacts").Items;
  ASSERT_EQ(contacts.size(), 4u);
  EXPECT_EQ(e2e::At(contacts[3], "command").Value, 1);
  EXPECT_EQ(e2e::LongsOf(contacts[3]), longs);
  const std::string log = e2e::ReadFile(dir_ + "/sim.err");
  EXPECT_NE(log.find("chipsim: contact 4: command 1, 5 longs received, RAM checksum ok\n"), std::string::npos)
      << log;
}

TEST(ChipsimRunForm, PassesTheCommandsStatusOn) {
  struct Case {
    std::vector<std::string> command;
    int status;
  };
  const Case cases[] = {
      {{"/bin/true"}, 0},
      {{"/bin/sh", "-c", "exit 217"}, 217},
      {{"/bin/sh", "-c", "kill -SEGV $$"}, 128 + SIGSEGV},
      {{"/nonexistent/program"}, 127},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{e2e::ChipsimPath(), "--"};
    argv.insert(argv.end(), c.command.begin(), c.command.end());
    EXPECT_EQ(e2e::Run(argv, 30).Status, c.status) << c.command.back();
  }
}

}  // namespace
