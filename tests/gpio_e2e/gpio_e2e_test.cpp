// The GPIO reset path of the real chipfeed against the real chipsim, inside a
// private sysfs: the test process moves into a mount namespace of its own and
// mounts a tmpfs over /sys/class, so that chipfeed (started by chipsim, started
// from here) finds the /sys/class/gpio that each test lays out. Needs root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace {

std::string SkipReason;
const std::string GpioDir = "/sys/class/gpio";

void WriteFile(const std::string& Path, const std::string& Text) { std::ofstream(Path, std::ios::binary) << Text; }
std::string Gpio(const std::string& Name) { return GpioDir + "/" + Name; }

struct Outcome {
  e2e::RunResult Run;
  e2e::Json Record;
  std::string Port;
};

class GpioE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) {
      SkipReason = "needs root to mount a private /sys/class (run as root, or in CI)";
      return;
    }
    if (unshare(CLONE_NEWNS) != 0) {
      SkipReason = std::string("unshare(CLONE_NEWNS) refused: ") + std::strerror(errno);
      return;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("chipfeed-sysfs", "/sys/class", "tmpfs", 0, "mode=0755") != 0) {
      SkipReason = std::string("cannot mount a private /sys/class: ") + std::strerror(errno);
    }
  }
  static void TearDownTestSuite() {
    if (SkipReason.empty()) umount2("/sys/class", MNT_DETACH);
  }

  void SetUp() override {
    if (!SkipReason.empty()) GTEST_SKIP() << SkipReason;
    Dir = e2e::MakeTempDir();
    std::error_code ignored;
    fs::remove_all(GpioDir, ignored);
    fs::create_directories(GpioDir);
    WriteFile(Gpio("export"), "");
    WriteFile(Gpio("unexport"), "");
    Longs = {0x11111111, 0x2222, 77, 0xFFFFFFFF, 0};
    Image = Dir + "/image.bin";
    e2e::WriteImage(Image, Longs);
  }
  void TearDown() override {
    if (!Dir.empty()) e2e::RemoveTree(Dir);
  }

  static void MakePin(const std::string& Pin) {
    fs::create_directories(Gpio(Pin));
    WriteFile(Gpio(Pin + "/direction"), "");
    WriteFile(Gpio(Pin + "/value"), "");
  }

  // chipsim --link PORT --record FILE -- chipfeed -d {port} -r gpio186 IMAGE
  Outcome RunUnderChip(const std::vector<std::string>& ChipfeedArgs) {
    Outcome outcome;
    outcome.Port = Dir + "/port";
    const std::string record = Dir + "/record.json";
    std::vector<std::string> argv{e2e::ChipsimPath(), "--link", outcome.Port, "--record", record, "--",
                                  e2e::ChipfeedPath(),  "-d",     "{port}"};
    argv.insert(argv.end(), ChipfeedArgs.begin(), ChipfeedArgs.end());
    argv.push_back(Image);
    outcome.Run = e2e::Run(argv, 30);
    EXPECT_FALSE(outcome.Run.TimedOut) << "chipfeed did not end";
    outcome.Record = e2e::ParseJson(e2e::ReadFile(record));
    return outcome;
  }

  // The whole mode-1 transcript of a run with -r gpio186; Written is the
  // count that the export write reports.
  e2e::Lines WholeRun(const std::string& Port, const std::string& Written) const {
    using e2e::Exact;
    e2e::Lines lines = e2e::StartAndListing(Image, Port, 1, Longs);
    lines[2] = Exact(" resetpin : gpio186");
    lines.insert(lines.begin() + 3,
                 {Exact("Portnumber : 186"), Exact("Length of port string : 3 " + Written + " bytes written")});
    e2e::Lines detection = e2e::Detection(Port, 1), download = e2e::Download(1, Longs);
    detection[0] = detection[1] = download[0] = Exact("reset gpio186");
    e2e::Append(lines, detection);
    e2e::Append(lines, download);
    lines.push_back(Exact("Portnumber : 186"));
    return lines;
  }

  std::string Dir, Image;
  std::vector<std::uint32_t> Longs;
};

TEST_F(GpioE2E, AWholeRunExportsResetsThreeTimesLoadsTheImageAndReleasesThePin) {
  MakePin("gpio186");
  const Outcome out = RunUnderChip({"-r", "gpio186"});
  EXPECT_EQ(out.Run.Status, 0) << out.Run.Out << out.Run.Err;
  EXPECT_EQ(e2e::CompareOutput(out.Run.Out, WholeRun(out.Port, "3")), "") << out.Run.Out;
  const auto& contacts = e2e::At(out.Record, "contacts").Items;
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(e2e::LongsOf(contacts[1]), Longs);
  EXPECT_EQ(e2e::ReadFile(Gpio("export")), "186");
  EXPECT_EQ(e2e::ReadFile(Gpio("gpio186/direction")), "out");
  EXPECT_EQ(e2e::ReadFile(Gpio("unexport")), "186");
  EXPECT_EQ(e2e::ReadFile(Gpio("gpio186/value")), "1\n") << "each write opens the file anew; the last is 1";
}

// The kernel refuses an export of a pin that is already exported (EBUSY) or
// that does not exist (EINVAL). Here the export "file" is a folder: its
// write fails the same way, and the run must go on just as it does then.
TEST_F(GpioE2E, ARefusedExportShowsOnlyInTheCountAndTheRunGoesOn) {
  fs::remove(Gpio("export"));
  fs::create_directories(Gpio("export"));
  MakePin("gpio186");
  const Outcome out = RunUnderChip({"-r", "gpio186"});
  EXPECT_EQ(out.Run.Status, 0) << out.Run.Out << out.Run.Err;
  EXPECT_EQ(e2e::CompareOutput(out.Run.Out, WholeRun(out.Port, "-1")), "") << out.Run.Out;
  const auto& contacts = e2e::At(out.Record, "contacts").Items;
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(e2e::LongsOf(contacts[1]), Longs);
  EXPECT_EQ(e2e::ReadFile(Gpio("unexport")), "186");
}

TEST_F(GpioE2E, AnUnwritableValueFileEndsTheRunWithAccessDeniedAndKeepsThePinExported) {
  MakePin("gpio186");
  const std::string value = Gpio("gpio186/value");
  ASSERT_EQ(mount(value.c_str(), value.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
  ASSERT_EQ(mount(nullptr, value.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);
  const Outcome out = RunUnderChip({"-r", "gpio186"});
  umount(value.c_str());
  EXPECT_EQ(out.Run.Status, 217) << out.Run.Out;
  using e2e::Exact;
  e2e::Lines expected = e2e::StartAndListing(Image, out.Port, 1, Longs);
  expected[2] = Exact(" resetpin : gpio186");
  expected.insert(expected.begin() + 3,
                  {Exact("Portnumber : 186"), Exact("Length of port string : 3 3 bytes written")});
  expected.push_back(Exact("reset gpio186"));
  e2e::Append(expected, e2e::IoErrorReport("Access denied"));
  EXPECT_EQ(e2e::CompareOutput(out.Run.Out, expected), "") << out.Run.Out;
  EXPECT_EQ(e2e::ReadFile(Gpio("export")), "186");
  EXPECT_EQ(e2e::ReadFile(Gpio("unexport")), "") << "the pin stays exported after a failure";
  EXPECT_EQ(e2e::ReadFile(value), "");
}

}  // namespace
