// The GPIO reset path of the real chipfeed against the real chipsim, inside a
// private sysfs: the test process moves into a mount namespace of its own and
// mounts a tmpfs over /sys/class, so that chipfeed (started by chipsim, started
// from here) finds the /sys/class/gpio that each test lays out. Needs root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
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
  Outcome RunUnderChip(const std::vector<std::string>& ChipfeedArgs, const std::vector<std::string>& ChipOptions = {}) {
    Outcome outcome;
    outcome.Port = Dir + "/port";
    const std::string record = Dir + "/record.json";
    std::vector<std::string> argv{e2e::ChipsimPath(), "--link", outcome.Port, "--record", record};
    argv.insert(argv.end(), ChipOptions.begin(), ChipOptions.end());
    for (const std::string& arg : std::vector<std::string>{"--", e2e::ChipfeedPath(), "-d", "{port}"}) argv.push_back(arg);
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

  // A run that exits 0 with the whole transcript (Written: the export's
  // count) and leaves the chip holding exactly the image.
  void ExpectWholeRun(const Outcome& Out, const std::string& Written) {
    EXPECT_EQ(Out.Run.Status, 0) << Out.Run.Out << Out.Run.Err;
    EXPECT_EQ(e2e::CompareOutput(Out.Run.Out, WholeRun(Out.Port, Written)), "") << Out.Run.Out;
    const auto& contacts = e2e::At(Out.Record, "contacts").Items;
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(e2e::LongsOf(contacts[1]), Longs);
  }

  std::string Dir, Image;
  std::vector<std::uint32_t> Longs;
};

TEST_F(GpioE2E, AWholeRunExportsResetsThreeTimesLoadsTheImageAndReleasesThePin) {
  MakePin("gpio186");
  const Outcome out = RunUnderChip({"-r", "gpio186"});
  ExpectWholeRun(out, "3");
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
  ExpectWholeRun(out, "-1");
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

#ifdef FAKESYSFS_PATH
// One write that the FUSE sysfs saw: when (ms on CLOCK_MONOTONIC), to which
// file, what (line ends as \n) and what it answered (a count or -errno).
struct Write {
  double Ms;
  std::string File, Text;
  int Result;
};

// /sys/class/gpio served by fakesysfs, the pins it knows given as its
// arguments ("186", or "186+" for one exported from the start).
class FuseGpioE2E : public GpioE2E {
 protected:
  void Mount(const std::vector<std::string>& Pins) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse: cannot serve a FUSE sysfs";
    std::error_code ignored;
    fs::remove_all(GpioDir, ignored);
    fs::create_directories(GpioDir);
    struct stat below {};
    stat(GpioDir.c_str(), &below);
    std::vector<std::string> argv{FAKESYSFS_PATH, GpioDir, Dir + "/writes.log"};
    argv.insert(argv.end(), Pins.begin(), Pins.end());
    Server = e2e::Start(argv, Dir + "/fakesysfs.out", Dir + "/fakesysfs.err");
    for (int i = 0; i < 500; ++i) {  // mounted once the folder is another file system's
      struct stat now {};
      if (stat(GpioDir.c_str(), &now) == 0 && now.st_dev != below.st_dev) return;
      if (e2e::Wait(Server, 0) != -1) break;
      usleep(10000);
    }
    ADD_FAILURE() << "fakesysfs did not mount: " << e2e::ReadFile(Dir + "/fakesysfs.err");
  }
  void TearDown() override {
    if (Server > 0) {
      umount2(GpioDir.c_str(), MNT_DETACH);
      kill(Server, SIGTERM);
      e2e::Wait(Server, 10);
    }
    GpioE2E::TearDown();
  }

  std::vector<Write> Writes() const {
    std::vector<Write> writes;
    std::istringstream in(e2e::ReadFile(Dir + "/writes.log"));
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      long long ns = 0;
      Write w;
      fields >> ns >> w.File >> w.Text >> w.Result;
      w.Ms = static_cast<double>(ns) / 1e6;
      writes.push_back(w);
    }
    return writes;
  }
  static std::string Summary(const std::vector<Write>& Writes) {
    std::string text;
    for (const Write& w : Writes) text += w.File + " " + w.Text + " " + std::to_string(w.Result) + "\n";
    return text;
  }

  int Server = -1;
};

TEST_F(FuseGpioE2E, ARealExportPulsesThePinAndUnexportsItAfterAGoodRun) {
  Mount({"186"});
  const Outcome out = RunUnderChip({"-r", "gpio186"});
  EXPECT_EQ(out.Run.Status, 0) << out.Run.Out << out.Run.Err;
  EXPECT_EQ(e2e::CompareOutput(out.Run.Out, WholeRun(out.Port, "3")), "") << out.Run.Out;
  const auto& contacts = e2e::At(out.Record, "contacts").Items;
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(e2e::LongsOf(contacts[1]), Longs);
  EXPECT_FALSE(fs::exists(Gpio("gpio186"))) << "the pin is unexported after a good run";

  const std::vector<Write> writes = Writes();
  const std::string expected =
      "/export 186 3\n/gpio186/direction out 3\n"
      "/gpio186/value 0\\n 2\n/gpio186/value 1\\n 2\n/gpio186/value 0\\n 2\n/gpio186/value 1\\n 2\n"
      "/gpio186/value 0\\n 2\n/gpio186/value 1\\n 2\n/unexport 186 3\n";
  ASSERT_EQ(Summary(writes), expected);
  for (size_t i = 2; i < 8; i += 2) {
    const double low = writes[i + 1].Ms - writes[i].Ms;
    EXPECT_GE(low, 24.0) << "pulse " << i / 2;
    EXPECT_LT(low, 500.0) << "pulse " << i / 2;
  }
  // The chip gets 90 ms after the pin's release before the handshake: after
  // the first pulse (detection) and after the third (download). Each time
  // is taken on one clock: the chip's from the contact's start (chipfeed
  // opening the port, just before the pulse) to its handshake, less the
  // pin's own from the pulse's start to its release.
  for (const auto& [contact, low] : {std::pair{size_t{0}, size_t{2}}, std::pair{size_t{1}, size_t{6}}}) {
    const e2e::Json& c = contacts[contact];
    const double opened = e2e::At(c, "start_ms").Value, handshake = e2e::At(c, "handshake_done_ms").Value;
    const double wait = (handshake - opened) - (writes[low + 1].Ms - writes[low].Ms);
    EXPECT_GE(wait, 85.0) << "contact " << contact + 1;
    EXPECT_LT(wait, 1000.0) << "contact " << contact + 1;
  }
}

TEST_F(FuseGpioE2E, AFailedRunLeavesThePinExportedAndHigh) {
  Mount({"186"});
  const Outcome out = RunUnderChip({"-r", "gpio186", "-p2"}, {"--silent"});
  EXPECT_EQ(out.Run.Status, 217) << out.Run.Out;
  EXPECT_NE(out.Run.Out.find("No Propeller hardware found on " + out.Port + "\n"), std::string::npos) << out.Run.Out;
  EXPECT_TRUE(fs::exists(Gpio("gpio186/value"))) << "the pin stays exported after a failure";
  EXPECT_EQ(e2e::ReadFile(Gpio("gpio186/value")), "1\n");
  EXPECT_EQ(e2e::ReadFile(Gpio("gpio186/direction")), "out\n");
  const std::vector<Write> writes = Writes();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.front().File, "/export");
  EXPECT_EQ(writes.back().File, "/gpio186/value") << Summary(writes);
}

// The kernel's refusals of an export: the write's count is -1 and the run
// goes on. An exported pin then works as usual; a pin that does not exist has
// no value file, and the first reset ends the run.
struct RefusedExport {
  const char* Name;
  std::vector<std::string> Pins;
  std::string Answer;  // the export write's answer, as logged
  int Status;
};

class RefusedExportTest : public FuseGpioE2E, public ::testing::WithParamInterface<RefusedExport> {};

TEST_P(RefusedExportTest, TheCountIsMinusOneAndTheRunGoesOn) {
  const RefusedExport& c = GetParam();
  Mount(c.Pins);
  const Outcome out = RunUnderChip({"-r", "gpio186"});
  EXPECT_EQ(out.Run.Status, c.Status) << out.Run.Out;
  e2e::Lines expected = WholeRun(out.Port, "-1");
  std::string writes = "/export 186 " + c.Answer + "\n";
  if (c.Status == 0) {
    writes += "/gpio186/direction out 3\n";
    for (int pulse = 0; pulse < 3; ++pulse) writes += "/gpio186/value 0\\n 2\n/gpio186/value 1\\n 2\n";
    writes += "/unexport 186 3\n";
  } else {
    expected.resize(3 + 2 + 2 + Longs.size() + 1);  // up to the first reset
    e2e::Append(expected, e2e::IoErrorReport("File not found"));
  }
  EXPECT_EQ(e2e::CompareOutput(out.Run.Out, expected), "") << out.Run.Out;
  EXPECT_EQ(Summary(Writes()), writes);
}

INSTANTIATE_TEST_SUITE_P(Fuse, RefusedExportTest,
                         ::testing::Values(RefusedExport{"AlreadyExported", {"186+"}, std::to_string(-EBUSY), 0},
                                           RefusedExport{"NoSuchPin", {"17"}, std::to_string(-EINVAL), 217}),
                         [](const auto& info) { return std::string(info.param.Name); });
#else
TEST(FuseGpioE2E, ARealExport) { GTEST_SKIP() << "built without libfuse3 (pkg-config fuse3 not found): no FUSE sysfs"; }
#endif

}  // namespace
