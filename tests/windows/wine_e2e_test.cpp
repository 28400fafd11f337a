// chipfeed.exe, the Windows build, end to end under wine against the
// simulated chip.
//
// chipsim serves the chip on a pseudo-terminal and links it as
// $WINEPREFIX/dosdevices/com5, which wine opens for \\.\COM5: the Windows
// serial layer (CreateFileA, SetCommState, SetCommTimeouts, PurgeComm,
// ReadFile, WriteFile, EscapeCommFunction) runs for real on top of wine's
// serial driver, and the output is checked byte for byte with its CR LF.
//
// Where chipfeed.exe is: the CMake cache variable CHIPFEED_WINDOWS_EXE
// (scripts/windows-tests.sh builds it with the `windows` preset and sets it).
// The tests skip when it or wine is missing, and fail instead when the
// environment says CI=true: there they must run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/expected_usage.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string WindowsExe = CHIPFEED_WINDOWS_EXE;
const std::string WinportCheck = WINPORT_CHECK_EXE;
const std::string ChipSim = CHIPSIM_EXE;
const std::string WinePrefix = WINE_PREFIX_DIR;
const std::string WorkDir = WINE_WORK_DIR;

// The COM port the tests map onto the simulator's pty.
const std::string Port = "COM5";

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

std::string FindOnPath(const std::string& Name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir.empty() ? "." : dir) / Name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

struct RunResult {
  int Status = -1;  // exit status; -1 when it had to be killed
  std::string Out;  // standard output, byte for byte
  double Seconds = 0;
};

// Runs Argv with standard output into a file (not a pipe: wine's helper
// processes may outlive the run, and nobody must wait for them), standard
// error into Log. Kills it after TimeoutSeconds.
RunResult RunProgram(const std::vector<std::string>& Argv, const std::string& Log, int TimeoutSeconds = 120) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string outPath = WorkDir + "/" + (test ? test->name() : "setup") + ".out";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, Log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> argv;
  for (const std::string& arg : Argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  RunResult result;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot run " << Argv[0] << ": " << std::strerror(rc);
    return result;
  }
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(TimeoutSeconds)) {
      kill(pid, SIGTERM);
      std::this_thread::sleep_for(std::chrono::seconds(2));
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << Argv[0] << " still running after " << TimeoutSeconds << " s: killed";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::ifstream out(outPath, std::ios::binary);
  result.Out.assign(std::istreambuf_iterator<char>(out), {});
  return result;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lines as the Windows build writes them: each ended with CR LF.
std::string Lines(const std::vector<std::string>& Texts) {
  std::string out;
  for (const std::string& text : Texts) out += text + "\r\n";
  return out;
}

void WriteImage(const std::string& Path, const std::vector<uint32_t>& Longs) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  for (uint32_t value : Longs) {
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 24)};
    out.write(bytes, 4);
  }
}

// The report that ends every failed run; its code addresses are the
// program's own and vary with the build.
const std::regex AbortReport(
    "An unhandled exception occurred at \\$[0-9A-F]{8} :\r\n"
    "EAbort : Operation aborted\r\n"
    "  \\$[0-9A-F]{8}\r\n"
    "\r\n");

std::regex InOutReport(const std::string& Message) {
  return std::regex("An unhandled exception occurred at \\$([0-9A-F]{8}) :\r\n"
                    "EInOutError : " + Message + "\r\n"
                    "  \\$\\1\r\n"
                    "(  \\$[0-9A-F]{8}\r\n)*"
                    "\r\n");
}

// The last contact's entries of chipsim's JSON record.
std::string LastContact(const std::string& Record) {
  const size_t at = Record.rfind("{\"number\"");
  return at == std::string::npos ? std::string() : Record.substr(at);
}

std::string Field(const std::string& Json, const std::string& Name) {
  std::smatch m;
  const std::regex pattern("\"" + Name + "\"\\s*:\\s*(\\[[^\\]]*\\]|[^,}]+)");
  if (!std::regex_search(Json, m, pattern)) return {};
  std::string value = m[1];
  std::erase_if(value, [](char c) { return c == ' ' || c == '\n'; });
  return value;
}

class WineChipfeed : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    Unavailable.clear();
    if (WindowsExe.empty()) {
      Unavailable = "no Windows build: configure with -DCHIPFEED_WINDOWS_EXE=<cross build>/chipfeed.exe "
                    "(scripts/windows-tests.sh does)";
    } else if (!fs::exists(WindowsExe)) {
      Unavailable = WindowsExe + " does not exist: build it with cmake --preset windows && cmake --build --preset "
                                 "windows (or run scripts/windows-tests.sh)";
    } else if ((Wine = FindOnPath("wine")).empty()) {
      Unavailable = "wine is not installed (apt-get install wine wine64, or run scripts/windows-tests.sh)";
    }
    if (!Unavailable.empty()) return;
    fs::create_directories(WorkDir);
    WineLog = WorkDir + "/wine.log";
    // A private prefix, no window, no prompts for Mono or Gecko, no noise.
    setenv("WINEPREFIX", WinePrefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // The prefix is made once (wineboot -i, about 15 s); a mark file says
    // it is complete, since wine writes its registry files only when the
    // wine server ends.
    const fs::path ready = fs::path(WinePrefix) / "chipfeed-prefix-ready";
    if (!fs::exists(ready)) {
      const RunResult boot = RunProgram({Wine, "wineboot", "-i"}, WineLog, 300);
      if (boot.Status != 0) {
        Unavailable = "could not create the wine prefix " + WinePrefix + " (see " + WineLog + ")";
        return;
      }
      std::ofstream(ready) << "made by wine_e2e_test\n";
    }
    // The wine server is started here, detached from every output of the
    // tests. Started by a run instead, it would inherit that run's standard
    // output, and it prints its object list there when the simulator closes
    // the pty (it has the pty as its controlling terminal, and takes the
    // hang-up as a request to dump). It stays 30 s after its last client, so
    // that it does not end, and get started again by a run, between two tests.
    const std::string server = FindOnPath("wineserver");
    if (!server.empty()) RunProgram({server, "-p30"}, WineLog);
    // The first program of a server session starts wine's own services;
    // that start-up is kept out of the timed runs.
    RunProgram({Wine, "cmd", "/c", "exit"}, WineLog);
  }

  void SetUp() override {
    if (!Unavailable.empty()) {
      if (InCi()) GTEST_FAIL() << Unavailable << " (CI=true: the Windows tests must run)";
      GTEST_SKIP() << Unavailable;
    }
    ComLink = WinePrefix + "/dosdevices/" + LowerPort();
    Record = WorkDir + "/" + testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
    fs::remove(Record);
  }

  static std::string LowerPort() {
    std::string lower = Port;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
  }

  // chipfeed.exe with Args, under wine, with no chip on any port.
  RunResult Chipfeed(const std::vector<std::string>& Args) {
    std::vector<std::string> argv{Wine, WindowsExe};
    argv.insert(argv.end(), Args.begin(), Args.end());
    return RunProgram(argv, WineLog);
  }

  // chipfeed.exe with Args while chipsim (with SimOptions) serves COM5.
  //
  // On Windows a handshake bit must arrive within 100 ms. Under wine on a
  // busy machine the simulator's answer can now and then miss that, which
  // chipfeed rightly reports as no chip found; a run that is meant to find
  // the chip is then made once more, and only a second miss counts.
  RunResult WithChip(const std::vector<std::string>& SimOptions, const std::vector<std::string>& Args,
                     bool ChipAnswers = true) {
    std::vector<std::string> argv{ChipSim, "--link", ComLink, "--record", Record};
    argv.insert(argv.end(), SimOptions.begin(), SimOptions.end());
    argv.insert(argv.end(), {"--", Wine, WindowsExe});
    argv.insert(argv.end(), Args.begin(), Args.end());
    RunResult run = RunProgram(argv, WineLog);
    if (ChipAnswers && run.Status == 217 && run.Out.find("No Propeller hardware found on") != std::string::npos) {
      std::cerr << "handshake deadline missed under wine; running once more\n";
      run = RunProgram(argv, WineLog);
    }
    return run;
  }

  static inline std::string Unavailable;
  static inline std::string Wine;
  static inline std::string WineLog;
  std::string ComLink;
  std::string Record;
};

// The usage text is one piece: seven segments joined by LF CR, then the
// line end CR LF. It comes without arguments, with an empty first argument
// (wine passes it as "" in the command-line text, which chipfeed splits
// itself), and with the switch h.
TEST_F(WineChipfeed, UsageTextKeepsItsLfCrJoinsAndEndsWithCrLf) {
  const std::string usage = wanted::UsageText + "\r\n";
  const std::string expected = "Test Reset Pin 10\r\n" + usage + "No valid command line\r\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"", "-d", "COM1", "x.bin"},
        std::vector<std::string>{"/d", "COM1", "/h", "x.bin"}}) {
    const RunResult run = Chipfeed(args);
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out, expected) << "arguments: " << testing::PrintToString(args);
  }
}

// A whole mode-1 run: detection, then the download of three longs into RAM,
// acknowledged by the chip. The image name holds a blank: wine hands it
// over quoted in the command-line text, which chipfeed splits itself.
TEST_F(WineChipfeed, ModeOneRunLoadsTheImageIntoRam) {
  const std::string image = WorkDir + "/sample image.bin";
  WriteImage(image, {0x00000001, 0xFFFFFFFF, 0x000000FF, 0x80000000});
  const RunResult run = WithChip({"--chip-version", "1"}, {"-d", Port, "-p1", image});
  EXPECT_EQ(run.Status, 0) << run.Out;
  EXPECT_EQ(run.Out, Lines({"Test Reset Pin 10",
                            "chipfeed will send : " + image + " to COM5 in Mode 1",
                            " resetpin : -",
                            "File size : 4",
                            "file read4",
                            "0 00001",
                            "1 FFFFFFFF",
                            "2 000FF",
                            "3 80000000",
                            "reset DTR",
                            "reset DTR",
                            "Hardware version 1 found on COM5.",
                            "reset DTR",
                            "Loading RAM",
                            "Buffer length : 4",
                            " i :0 Buffer[i] :1",
                            " i :1 Buffer[i] :4294967295",
                            " i :2 Buffer[i] :255",
                            " i :3 Buffer[i] :2147483648",
                            "Verifying RAM"}));
  // What reached the chip on the second contact, decoded by the simulator.
  const std::string contact = LastContact(ReadFile(Record));
  EXPECT_EQ(Field(contact, "number"), "2");
  EXPECT_EQ(Field(contact, "command"), "1");
  EXPECT_EQ(Field(contact, "count"), "4");
  EXPECT_EQ(Field(contact, "longs"), "[1,4294967295,255,2147483648]");
}

// 2,048 longs: the count and the image leave in 87 full writes of 256
// bytes and a last short one, through WriteFile on the COM port; the chip
// must decode every long.
TEST_F(WineChipfeed, LargeImageReachesTheChipIntact) {
  std::vector<uint32_t> longs(2048);
  for (size_t i = 0; i < longs.size(); ++i) longs[i] = static_cast<uint32_t>(i * 0x9E3779B9u);
  const std::string image = WorkDir + "/large.bin";
  WriteImage(image, longs);
  const RunResult run = WithChip({}, {"-d", Port, image});
  EXPECT_EQ(run.Status, 0);
  EXPECT_NE(run.Out.find(Lines({"Buffer length : 2048", " i :0 Buffer[i] :0"})), std::string::npos);
  EXPECT_NE(run.Out.find(Lines({" i :2047 Buffer[i] :" + std::to_string(longs[2047]), "Verifying RAM"})),
            std::string::npos);
  std::string expected = "[";
  for (size_t i = 0; i < longs.size(); ++i) expected += (i ? "," : "") + std::to_string(longs[i]);
  expected += "]";
  const std::string contact = LastContact(ReadFile(Record));
  EXPECT_EQ(Field(contact, "count"), "2048");
  EXPECT_EQ(Field(contact, "longs"), expected);
}

TEST_F(WineChipfeed, ModeThreeRunWaitsForTheEepromAcknowledgements) {
  const std::string image = WorkDir + "/three.bin";
  WriteImage(image, {77});
  const RunResult run = WithChip({"--chip-version", "2"}, {"-d", Port, "-p3", image});
  EXPECT_EQ(run.Status, 0) << run.Out;
  EXPECT_EQ(run.Out, Lines({"Test Reset Pin 10", "chipfeed will send : " + image + " to COM5 in Mode 3",
                            " resetpin : -", "File size : 1", "file read1", "0 0004D", "reset DTR", "reset DTR",
                            "Hardware version 2 found on COM5.", "reset DTR", "Loading RAM", "Buffer length : 1",
                            " i :0 Buffer[i] :77", "Verifying RAM", "Programming EEPROM", "Verifying EEPROM"}));
  EXPECT_EQ(Field(LastContact(ReadFile(Record)), "command"), "3");
}

// No chip answers: a silent one on COM5, and a port that does not exist at
// all (CreateFileA fails). On Windows a handshake bit times out after
// 100 ms, so the run is over quickly.
TEST_F(WineChipfeed, WithoutAChipTheHandshakeFailsQuickly) {
  const std::string image = WorkDir + "/one.bin";
  WriteImage(image, {5});
  struct Case {
    const char* What;
    std::string PortName;
    bool Serve;
  };
  for (const Case& c : {Case{"silent chip", "COM5", true}, Case{"no such port", "COM9", false}}) {
    SCOPED_TRACE(c.What);
    const std::vector<std::string> args{"-d", c.PortName, "-p1", image};
    const RunResult run = c.Serve ? WithChip({"--silent"}, args, false) : Chipfeed(args);
    EXPECT_EQ(run.Status, 217);
    const std::string head = Lines({"Test Reset Pin 10", "chipfeed will send : " + image + " to " + c.PortName +
                                    " in Mode 1", " resetpin : -", "File size : 1", "file read1", "0 00005"});
    const std::string reason = Lines({"Program aborted", "No Propeller hardware found on " + c.PortName,
                                      "Program aborted"});
    // The port that cannot be opened fails before the reset line.
    const std::string body = c.Serve ? Lines({"reset DTR"}) + reason : reason;
    ASSERT_EQ(run.Out.substr(0, head.size() + body.size()), head + body);
    EXPECT_TRUE(std::regex_match(run.Out.substr(head.size() + body.size()), AbortReport)) << run.Out;
    EXPECT_LT(run.Seconds, 20.0) << "wine start included; the wait itself is 0.1 s";
  }
}

// The RAM acknowledgement waits 2,500 ms on Windows (ticks are
// milliseconds), sending an echo byte and sleeping 25 ms on each pass.
// Where ticks were taken in another unit the wait would be ten times
// shorter or longer.
TEST_F(WineChipfeed, RamAcknowledgementTimesOutAfterTwoAndAHalfSeconds) {
  const std::string image = WorkDir + "/ack.bin";
  WriteImage(image, {1, 2});
  const RunResult run = WithChip({"--ack-delay", "60000"}, {"-d", Port, "-p1", image});
  EXPECT_EQ(run.Status, 217);
  const std::string tail = Lines({"Verifying RAM", "Hardware lost on COM5", "Program aborted"});
  const size_t at = run.Out.find(tail);
  ASSERT_NE(at, std::string::npos) << run.Out;
  EXPECT_TRUE(std::regex_match(run.Out.substr(at + tail.size()), AbortReport)) << run.Out;

  const std::string contact = LastContact(ReadFile(Record));
  const std::string acks = Field(contact, "acks");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(acks, m, std::regex("\"echoes\":(\\d+)"))) << acks;
  const int echoes = std::stoi(m[1]);
  // At most one echo per 25 ms pass; a pass takes little more than its sleep.
  EXPECT_LE(echoes, 101) << "2500 ms / 25 ms";
  EXPECT_GE(echoes, 50) << "each pass sleeps about 25 ms, not much more";
  EXPECT_GE(run.Seconds, 2.5);
  EXPECT_LT(run.Seconds, 15.0) << "the wait is 2.5 s, not 25 s";
}

// The GPIO reset path runs on Windows against the same path strings, which
// there name folders below the root of the current drive. Without them the
// export shows -1 bytes written, the run goes on, and the first reset fails
// to create the value file: an input/output error, not "no chip found".
TEST_F(WineChipfeed, GpioResetWithoutSysfsEndsTheRunAtTheFirstReset) {
  const std::string image = WorkDir + "/gpio.bin";
  WriteImage(image, {5});
  const RunResult run = WithChip({}, {"-d", Port, "-r", "gpio186", image});
  EXPECT_EQ(run.Status, 217);
  const std::string head = Lines({"Test Reset Pin 10", "chipfeed will send : " + image + " to COM5 in Mode 1",
                                  " resetpin : gpio186", "Portnumber : 186",
                                  "Length of port string : 3 -1 bytes written", "File size : 1", "file read1",
                                  "0 00005", "reset gpio186"});
  ASSERT_EQ(run.Out.substr(0, head.size()), head) << run.Out;
  EXPECT_TRUE(std::regex_match(run.Out.substr(head.size()), InOutReport("Invalid filename"))) << run.Out;
}

// The serial layer alone (winport_check.exe) on a pseudo-terminal of this
// test mapped as COM6: open (also of an absent port), settings read back through GetCommState and GetCommTimeouts, purge
// of the bytes waiting before SerSetParams, a read that does not wait, a
// write, close. From this end the test sees the line settings and the bytes.
TEST_F(WineChipfeed, SerialLayerDrivesARealComPort) {
  if (WinportCheck.empty()) {
    if (InCi()) GTEST_FAIL() << "winport_check.exe was not built: no MinGW-w64 compiler";
    GTEST_SKIP() << "winport_check.exe was not built: no MinGW-w64 compiler (apt-get install g++-mingw-w64-x86-64)";
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slavePath = ptsname(master);
  // This end keeps the slave open: the line and its settings outlive the
  // program's close, and can be read here afterwards.
  const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  const std::string link = WinePrefix + "/dosdevices/com6";
  fs::remove(link);
  fs::create_symlink(slavePath, link);
  // Waiting input that SerSetParams must throw away.
  ASSERT_EQ(write(master, "stale", 5), 5);

  const RunResult run = RunProgram({Wine, WinportCheck, "COM6", "COM98"}, WineLog);
  fs::remove(link);
  EXPECT_EQ(run.Status, 0) << run.Out;
  for (const char* check : {"open-absent-port", "read-invalid-handle", "write-invalid-handle", "open",
                            "state-9600-2-stop-rtscts", "state-115200-8N1", "timeouts",
                            "read-after-purge", "read-does-not-wait", "write", "reopen-after-close"})
    EXPECT_NE(run.Out.find(std::string("ok ") + check + "\r\n"), std::string::npos) << check << "\n" << run.Out;

  // The last settings applied: 115200 baud, 8 data bits, no parity, one stop
  // bit, no RTS/CTS.
  termios tios{};
  ASSERT_EQ(tcgetattr(slave, &tios), 0);
  EXPECT_EQ(cfgetospeed(&tios), static_cast<speed_t>(B115200));
  EXPECT_EQ(tios.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tios.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  // The bytes written arrived unchanged.
  std::string received;
  pollfd pfd{master, POLLIN, 0};
  char buffer[64];
  while (received.size() < 5 && poll(&pfd, 1, 2000) == 1) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(received, "hello");
  close(slave);
  close(master);
}

// The Windows file errors with their messages: no such file, no such
// folder, a folder in place of the file. Nothing touches the port.
TEST_F(WineChipfeed, ImageFileErrorsCarryTheWindowsMessages) {
  fs::create_directories(WorkDir + "/folder");
  struct Case {
    std::string Path;
    std::string Message;
  };
  for (const Case& c : {Case{WorkDir + "/missing.bin", "File not found"},
                        Case{WorkDir + "/no-such-folder/x.bin", "Invalid filename"},
                        Case{WorkDir + "/folder", "Access denied"}}) {
    SCOPED_TRACE(c.Path);
    const RunResult run = Chipfeed({"-d", "COM9", c.Path});
    EXPECT_EQ(run.Status, 217);
    const std::string head =
        Lines({"Test Reset Pin 10", "chipfeed will send : " + c.Path + " to COM9 in Mode 1", " resetpin : -"});
    ASSERT_EQ(run.Out.substr(0, head.size()), head) << run.Out;
    EXPECT_TRUE(std::regex_match(run.Out.substr(head.size()), InOutReport(c.Message))) << run.Out;
  }
}

}  // namespace
