// The GPIO reset path of the real program, against a private sysfs.
//
// The test process moves into a mount namespace of its own and binds a
// temporary folder over /sys/class, so that chipfeed, started from here,
// finds a /sys/class/gpio that the test prepared (export, unexport, a pin's
// direction and value as plain files or a FIFO) and that the host never
// sees. This needs root (CAP_SYS_ADMIN); without it the tests are skipped.
//
// The serial port is a pseudo-terminal whose far end the test holds: kept
// silent (the chip is not found, after about one second), answered by a
// small chip of the test's own, or a path that cannot be opened at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/fake/chipwire.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string SkipReason;
std::string Root;  // bound over /sys/class

std::string ReadFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary) << Text;
}

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> lines;
  std::stringstream in(Text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Contains(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

struct RunResult {
  int Status = -1;  // exit status, or -1 when the program did not exit normally
  std::string Output;
  std::vector<std::string> Lines;
};

// Runs chipfeed with Args and returns its exit status and output.
RunResult RunChipfeed(const std::vector<std::string>& Args) {
  char name[] = "/tmp/chipfeed-gpio-out-XXXXXX";
  const int out = mkstemp(name);
  unlink(name);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> argv{const_cast<char*>(CHIPFEED_PATH)};
    for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(CHIPFEED_PATH, argv.data());
    _exit(127);
  }
  RunResult run;
  int status = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "chipfeed did not finish within 30 s";
      break;
    }
    usleep(2000);
  }
  if (WIFEXITED(status)) run.Status = WEXITSTATUS(status);
  lseek(out, 0, SEEK_SET);
  char block[4096];
  for (ssize_t n; (n = read(out, block, sizeof block)) > 0;) run.Output.append(block, static_cast<size_t>(n));
  close(out);
  run.Lines = SplitLines(run.Output);
  return run;
}

// A pseudo-terminal whose master the test holds.
struct Pty {
  int Master = -1;
  std::string Slave;
};

Pty OpenPty() {
  Pty p;
  p.Master = posix_openpt(O_RDWR | O_NOCTTY);
  if (p.Master != -1 && grantpt(p.Master) == 0 && unlockpt(p.Master) == 0) p.Slave = ptsname(p.Master);
  return p;
}

// The program waits one second for each handshake bit, and the times of
// the pin's writes are taken as they are seen: on a loaded machine the
// test's own threads must not be the ones that are late. (Best effort: a
// real-time priority needs root, which these tests have.)
void RunPromptly() {
  sched_param realtime{};
  realtime.sched_priority = 1;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &realtime);
}

// A small chip on the master side: answers both handshakes of a run with
// version 1, takes the command-0 long, the download of LongCount longs,
// and answers the first echo byte of the RAM checksum wait with a 0 bit.
// Notes when the first byte of each handshake arrived, and what it did
// (for the message of a failing test).
void PlayChip(int Master, size_t LongCount, const std::atomic<bool>& Stop,
              std::vector<Clock::time_point>& HandshakeStarts, std::string& Log) {
  RunPromptly();
  const auto start = Clock::now();
  auto note = [&](const std::string& What) {
    Log += std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()) +
           " ms: " + What + "\n";
  };
  const std::vector<size_t> phases = {chipwire::HandshakeLength, 11, chipwire::HandshakeLength,
                                      11 * (2 + LongCount)};
  const auto reply = chipwire::ChipReply(1);
  size_t phase = 0, got = 0;
  bool acked = false;
  uint8_t buf[1024];
  // Never block in read: a read that sleeps on a master whose slave is not
  // open (between the two contacts) is not always woken by new data.
  fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
  while (!Stop) {
    pollfd p{Master, POLLIN, 0};
    if (poll(&p, 1, 10) != 1) continue;
    const ssize_t n = read(Master, buf, sizeof buf);
    if (n <= 0) {  // nothing yet, or no one has the far end open just now
      if (n < 0 && errno != EAGAIN) usleep(1000);
      continue;
    }
    note("read " + std::to_string(n));
    for (ssize_t i = 0; i < n; ++i) {
      if (phase < phases.size()) {
        if (got == 0 && (phase == 0 || phase == 2)) HandshakeStarts.push_back(Clock::now());
        if (++got < phases[phase]) continue;
        got = 0;
        if (phase == 0 || phase == 2) {
          const ssize_t sent = write(Master, reply.data(), reply.size());
          note("replied " + std::to_string(sent));
          if (sent != static_cast<ssize_t>(reply.size())) return;
        }
        ++phase;
      } else if (buf[i] == chipwire::Echo && !acked) {
        const uint8_t ok = chipwire::Bit0;
        if (write(Master, &ok, 1) != 1) return;
        acked = true;
      }
    }
  }
}

// Records what is written to a FIFO, one chunk per read, with its time.
struct FifoLog {
  std::mutex Lock;
  std::vector<std::pair<Clock::time_point, std::string>> Chunks;
};

void ReadFifo(int Fd, FifoLog& Log, const std::atomic<bool>& Stop) {
  RunPromptly();
  char buf[64];
  while (!Stop) {
    const ssize_t n = read(Fd, buf, sizeof buf);
    if (n > 0) {
      std::lock_guard<std::mutex> hold(Log.Lock);
      Log.Chunks.emplace_back(Clock::now(), std::string(buf, static_cast<size_t>(n)));
    } else {
      usleep(500);
    }
  }
}

class GpioTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) {
      SkipReason = "needs root to mount a private /sys/class (run as root, or in CI)";
      return;
    }
    char pattern[] = "/tmp/chipfeed-sysfs-XXXXXX";
    if (!mkdtemp(pattern)) {
      SkipReason = "cannot make a temporary folder";
      return;
    }
    Root = pattern;
    if (unshare(CLONE_NEWNS) != 0) {
      SkipReason = std::string("unshare(CLONE_NEWNS) refused: ") + std::strerror(errno);
      return;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(Root.c_str(), "/sys/class", nullptr, MS_BIND, nullptr) != 0) {
      SkipReason = std::string("cannot bind a private /sys/class: ") + std::strerror(errno);
      return;
    }
  }
  static void TearDownTestSuite() {
    if (SkipReason.empty()) umount("/sys/class");
    std::error_code ignored;
    if (!Root.empty()) fs::remove_all(Root, ignored);
  }

  void SetUp() override {
    if (!SkipReason.empty()) GTEST_SKIP() << SkipReason;
    std::error_code ignored;
    fs::remove_all(Root + "/gpio", ignored);
    fs::create_directories(Root + "/gpio");
    WriteFile(Gpio("export"), "");
    WriteFile(Gpio("unexport"), "");
    Image = Root + ".bin";
    WriteFile(Image, std::string("\x01\x00\x00\x00\x4D\x00\x00\x00", 8));  // the longs 1 and 77
  }
  void TearDown() override {
    if (!Image.empty()) unlink(Image.c_str());
    if (PtyPort.Master != -1) close(PtyPort.Master);
  }

  static std::string Gpio(const std::string& Name) { return Root + "/gpio/" + Name; }

  // A pin folder as sysfs shows it once exported.
  void MakePin(const std::string& Pin, bool WithValue = true) {
    fs::create_directories(Gpio(Pin));
    WriteFile(Gpio(Pin + "/direction"), "");
    if (WithValue) WriteFile(Gpio(Pin + "/value"), "");
  }

  const std::string& SilentPort() {
    PtyPort = OpenPty();
    EXPECT_NE(PtyPort.Master, -1);
    return PtyPort.Slave;
  }

  std::string Image;
  Pty PtyPort;
};

std::vector<std::string> ReportOf(const std::vector<std::string>& Lines, size_t& At) {
  for (At = 0; At < Lines.size(); ++At)
    if (Lines[At].starts_with("An unhandled exception occurred at $")) break;
  return At < Lines.size() ? std::vector<std::string>(Lines.begin() + static_cast<long>(At), Lines.end())
                           : std::vector<std::string>{};
}

TEST_F(GpioTest, AWholeRunExportsPulsesThreeTimesAndReleasesThePin) {
  MakePin("gpio186", false);
  ASSERT_EQ(mkfifo(Gpio("gpio186/value").c_str(), 0644), 0);
  const int fifo = open(Gpio("gpio186/value").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_NE(fifo, -1);
  const std::string& port = SilentPort();
  std::atomic<bool> stop{false};
  FifoLog values;
  std::vector<Clock::time_point> handshakes;
  std::string chipLog;
  std::thread chip(PlayChip, PtyPort.Master, size_t{2}, std::cref(stop), std::ref(handshakes), std::ref(chipLog));
  std::thread pin(ReadFifo, fifo, std::ref(values), std::cref(stop));
  const RunResult run = RunChipfeed({"-d", port, "-r", "gpio186", Image});
  usleep(20000);
  stop = true;
  chip.join();
  pin.join();
  close(fifo);

  EXPECT_EQ(run.Status, 0) << run.Output << "the chip:\n" << chipLog;
  const std::vector<std::string> expected = {
      "Test Reset Pin 10",
      "chipfeed will send : " + Image + " to " + port + " in Mode 1",
      " resetpin : gpio186",
      "Portnumber : 186",
      "Length of port string : 3 3 bytes written",
      "File size : 2",
      "file read2",
      "0 00001",
      "1 0004D",
      "reset gpio186",
      "reset gpio186",
      "Hardware version 1 found on " + port + ".",
      "reset gpio186",
      "Loading RAM",
      "Buffer length : 2",
      " i :0 Buffer[i] :1",
      " i :1 Buffer[i] :77",
      "Verifying RAM",
      "Portnumber : 186",
  };
  EXPECT_EQ(run.Lines, expected);
  EXPECT_EQ(ReadFile(Gpio("export")), "186");
  EXPECT_EQ(ReadFile(Gpio("gpio186/direction")), "out");
  EXPECT_EQ(ReadFile(Gpio("unexport")), "186");
  // Each pulse: "0" and a line end, then at least 25 ms later "1" and a
  // line end, each written through its own opening of the file.
  std::string all;
  for (const auto& [when, text] : values.Chunks) all += text;
  EXPECT_EQ(all, "0\n1\n0\n1\n0\n1\n");
  auto ms = [](Clock::time_point From, Clock::time_point To) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(To - From).count();
  };
  if (values.Chunks.size() == 6) {
    for (size_t i = 0; i < 6; i += 2) {
      const auto low = ms(values.Chunks[i].first, values.Chunks[i + 1].first);
      EXPECT_GE(low, 15) << "pulse " << i / 2;  // 25 ms, less what polling may lose
      EXPECT_LT(low, 1000) << "pulse " << i / 2;
    }
    // The chip gets 90 ms to start before the first handshake byte: after
    // the first pulse and after the third (the second ends the detection).
    ASSERT_EQ(handshakes.size(), 2u);
    EXPECT_GE(ms(values.Chunks[1].first, handshakes[0]), 80);
    EXPECT_GE(ms(values.Chunks[5].first, handshakes[1]), 80);
  }
}

TEST_F(GpioTest, NoChipLeavesThePinExportedAndHigh) {
  MakePin("gpio186");
  WriteFile(Gpio("gpio186/value"), "stale contents");
  const std::string& port = SilentPort();
  const RunResult run = RunChipfeed({"-d", port, "-p2", "-r", "gpio186", Image});
  EXPECT_EQ(run.Status, 217);
  size_t at = 0;
  const auto report = ReportOf(run.Lines, at);
  ASSERT_GE(at, 4u) << run.Output;
  EXPECT_EQ(std::vector<std::string>(run.Lines.begin() + static_cast<long>(at) - 4,
                                     run.Lines.begin() + static_cast<long>(at)),
            (std::vector<std::string>{"reset gpio186", "Program aborted", "No Propeller hardware found on " + port,
                                      "Program aborted"}));
  ASSERT_EQ(report.size(), 4u) << run.Output;
  EXPECT_EQ(report[1], "EAbort : Operation aborted");
  EXPECT_EQ(ReadFile(Gpio("export")), "186");
  EXPECT_EQ(ReadFile(Gpio("gpio186/direction")), "out");
  EXPECT_EQ(ReadFile(Gpio("gpio186/value")), "1\n");
  EXPECT_EQ(ReadFile(Gpio("unexport")), "") << "the pin stays exported after a failure";
}

TEST_F(GpioTest, AFailedExportShowsOnlyInTheCountAndTheRunGoesOn) {
  fs::remove(Gpio("export"));
  MakePin("gpio186");
  const RunResult run = RunChipfeed({"-d", "/dev/chipfeed-no-such-port", "-r", "gpio186", Image});
  EXPECT_EQ(run.Status, 217);
  ASSERT_GE(run.Lines.size(), 7u) << run.Output;
  EXPECT_EQ(run.Lines[3], "Portnumber : 186");
  EXPECT_EQ(run.Lines[4], "Length of port string : 3 -1 bytes written");
  EXPECT_EQ(run.Lines[5], "File size : 2");
  EXPECT_TRUE(Contains(run.Output, "No Propeller hardware found on /dev/chipfeed-no-such-port\n"));
  EXPECT_FALSE(fs::exists(Gpio("export"))) << "the export file must not be created";
  EXPECT_EQ(ReadFile(Gpio("gpio186/direction")), "out");
  EXPECT_EQ(ReadFile(Gpio("gpio186/value")), "") << "the port never opened: no reset";
}

// The text after the first four characters of the setting, whatever they
// are, at most 100 characters, goes to the export file as it is.
struct PortNumberCase {
  const char* Name;
  std::string Pin;
  std::string Number;
};

class PortNumberTest : public GpioTest, public ::testing::WithParamInterface<PortNumberCase> {};

TEST_P(PortNumberTest, ExportGetsTheCharactersAfterTheFourth) {
  const PortNumberCase& c = GetParam();
  MakePin(c.Pin);
  const RunResult run = RunChipfeed({"-d", "/dev/chipfeed-no-such-port", "-r", c.Pin, Image});
  EXPECT_EQ(run.Status, 217);
  ASSERT_GE(run.Lines.size(), 5u) << run.Output;
  const std::string length = std::to_string(c.Number.size());
  EXPECT_EQ(run.Lines[3], "Portnumber : " + c.Number);
  EXPECT_EQ(run.Lines[4], "Length of port string : " + length + " " + length + " bytes written");
  EXPECT_EQ(ReadFile(Gpio("export")), c.Number);
  EXPECT_EQ(ReadFile(Gpio(c.Pin + "/direction")), "out");
}

INSTANTIATE_TEST_SUITE_P(Gpio, PortNumberTest,
                         ::testing::Values(PortNumberCase{"FourCharacters", "gpio", ""},
                                           PortNumberCase{"OtherPrefix", "pin17", "7"},
                                           PortNumberCase{"CutAt100", "gpio" + std::string(120, '9'),
                                                          std::string(100, '9')}),
                         [](const auto& info) { return std::string(info.param.Name); });

struct MissingValue {
  const char* Name;
  std::string Pin;
  std::string ResetLine;
};

class MissingValueTest : public GpioTest, public ::testing::WithParamInterface<MissingValue> {};

TEST_P(MissingValueTest, TheFirstResetEndsTheRunWithFileNotFound) {
  const std::string& pin = GetParam().Pin;
  if (!pin.empty() && pin != "--") MakePin(pin, false);
  const std::string& port = SilentPort();
  const RunResult run = RunChipfeed({"-d", port, "-r", pin, Image});
  EXPECT_EQ(run.Status, 217);
  size_t at = 0;
  const auto report = ReportOf(run.Lines, at);
  ASSERT_GE(report.size(), 4u) << run.Output;
  EXPECT_EQ(run.Lines[at - 1], GetParam().ResetLine);
  EXPECT_EQ(report[1], "EInOutError : File not found");
  EXPECT_GE(report.size(), 5u) << "an input/output error shows its callers too";
  EXPECT_FALSE(Contains(run.Output, "No Propeller hardware found on"));
  EXPECT_FALSE(Contains(run.Output, "Program aborted"));
  if (!pin.empty() && pin != "--") {
    EXPECT_FALSE(fs::exists(Gpio(pin + "/value"))) << "the value file was created";
  }
  EXPECT_EQ(ReadFile(Gpio("unexport")), "");
}

INSTANTIATE_TEST_SUITE_P(Gpio, MissingValueTest,
                         ::testing::Values(MissingValue{"NotExported", "gpio186", "reset gpio186"},
                                           MissingValue{"DoubleDash", "--", "reset --"},
                                           MissingValue{"Empty", "", "reset "}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(GpioTest, ASettingWithASlashTouchesNoFileOutsideItsFolder) {
  // gpio7 exists as an exported pin; "x/../gpio7" would reach it.
  fs::create_directories(Gpio("x"));
  MakePin("gpio7");
  WriteFile(Gpio("gpio7/value"), "keep");
  const std::string& port = SilentPort();
  const RunResult run = RunChipfeed({"-d", port, "-r", "x/../gpio7", Image});
  EXPECT_EQ(run.Status, 217);
  size_t at = 0;
  const auto report = ReportOf(run.Lines, at);
  ASSERT_GE(report.size(), 4u) << run.Output;
  EXPECT_EQ(run.Lines[at - 1], "reset x/../gpio7");
  EXPECT_EQ(report[1], "EInOutError : Invalid filename");
  EXPECT_FALSE(Contains(run.Output, "Program aborted"));
  EXPECT_EQ(ReadFile(Gpio("gpio7/direction")), "") << "no direction write for such a setting";
  EXPECT_EQ(ReadFile(Gpio("gpio7/value")), "keep");
}

TEST_F(GpioTest, WithTheDtrLineNoGpioFileIsTouched) {
  WriteFile(Gpio("export"), "untouched");
  WriteFile(Gpio("unexport"), "untouched");
  for (const auto& args : {std::vector<std::string>{"-d", "/dev/chipfeed-no-such-port", Image},
                           std::vector<std::string>{"-d", "/dev/chipfeed-no-such-port", "-r", "-", Image}}) {
    const RunResult run = RunChipfeed(args);
    EXPECT_EQ(run.Status, 217);
    EXPECT_FALSE(Contains(run.Output, "Portnumber"));
  }
  EXPECT_EQ(ReadFile(Gpio("export")), "untouched");
  EXPECT_EQ(ReadFile(Gpio("unexport")), "untouched");
  EXPECT_EQ(std::distance(fs::directory_iterator(Root + "/gpio"), fs::directory_iterator()), 2);
}

}  // namespace
