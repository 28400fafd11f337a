// The fault matrix: the real chipfeed against the simulated chip on a
// pseudo-terminal, one row per fault.
//
// Every row checks the same four promises:
//   - the run ends with exit status 217, by exit and not by a signal;
//   - it ends within the row's bound (the time-out that applies, plus slack),
//     and no sooner than the row's lower bound where a time-out must expire;
//   - it says why: the reason line (or the input/output error in the report)
//     that the fault calls for, after the status caption of the phase it hit,
//     followed by the failure report; nothing on standard error;
//   - from the chip's own record: every long the chip decoded is the file's
//     long at that index, every count it received is the file's count, and it
//     never saw a malformed byte or an unknown command.
//
// chipsim serves the chip on a pty and links the port into a temporary
// folder; the test starts chipfeed on that link, reads its output as it
// comes (some rows act on a line: the device is removed, a pipe is closed),
// then stops chipsim, which writes its JSON record.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#ifndef CHIPFEED_BIN
#error CHIPFEED_BIN must name the chipfeed program
#endif
#ifndef CHIPSIM_BIN
#error CHIPSIM_BIN must name the chipsim program
#endif

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// A small JSON reader for chipsim's record.

struct Json;
using JsonArray = std::vector<Json>;
using JsonObject = std::map<std::string, Json>;
struct Json {
  std::variant<std::nullptr_t, bool, double, std::string, JsonArray, JsonObject> Value;

  const Json& operator[](const std::string& Key) const {
    static const Json none;
    const auto* object = std::get_if<JsonObject>(&Value);
    if (!object) return none;
    const auto it = object->find(Key);
    return it == object->end() ? none : it->second;
  }
  double Number() const { return std::holds_alternative<double>(Value) ? std::get<double>(Value) : -1e300; }
  bool Bool() const { return std::holds_alternative<bool>(Value) && std::get<bool>(Value); }
  std::string Text() const { return std::holds_alternative<std::string>(Value) ? std::get<std::string>(Value) : ""; }
  const JsonArray& Items() const {
    static const JsonArray none;
    const auto* array = std::get_if<JsonArray>(&Value);
    return array ? *array : none;
  }
};

struct JsonReader {
  const std::string& Text;
  size_t At = 0;
  bool Failed = false;

  void Space() {
    while (At < Text.size() && std::isspace(static_cast<unsigned char>(Text[At]))) ++At;
  }
  bool Take(char C) {
    Space();
    if (At < Text.size() && Text[At] == C) {
      ++At;
      return true;
    }
    return false;
  }
  Json Fail() {
    Failed = true;
    return {};
  }
  std::string String() {
    std::string out;
    ++At;  // opening quote
    while (At < Text.size() && Text[At] != '"') {
      char c = Text[At++];
      if (c == '\\' && At < Text.size()) {
        c = Text[At++];
        if (c == 'u' && At + 4 <= Text.size()) {
          c = static_cast<char>(std::stoi(Text.substr(At, 4), nullptr, 16));
          At += 4;
        } else if (c == 'n') {
          c = '\n';
        }
      }
      out += c;
    }
    if (At >= Text.size()) Failed = true;
    ++At;
    return out;
  }
  Json Value() {
    Space();
    if (At >= Text.size()) return Fail();
    const char c = Text[At];
    if (c == '{') {
      ++At;
      JsonObject object;
      if (Take('}')) return {object};
      do {
        Space();
        if (At >= Text.size() || Text[At] != '"') return Fail();
        std::string key = String();
        if (!Take(':')) return Fail();
        object[key] = Value();
      } while (!Failed && Take(','));
      if (!Take('}')) return Fail();
      return {object};
    }
    if (c == '[') {
      ++At;
      JsonArray array;
      if (Take(']')) return {array};
      do array.push_back(Value());
      while (!Failed && Take(','));
      if (!Take(']')) return Fail();
      return {array};
    }
    if (c == '"') return {String()};
    if (Text.compare(At, 4, "true") == 0) return At += 4, Json{true};
    if (Text.compare(At, 5, "false") == 0) return At += 5, Json{false};
    if (Text.compare(At, 4, "null") == 0) return At += 4, Json{nullptr};
    size_t used = 0;
    try {
      const double number = std::stod(Text.substr(At, 40), &used);
      At += used;
      return {number};
    } catch (const std::exception&) {
      return Fail();
    }
  }
};

std::optional<Json> ParseJson(const std::string& Text) {
  JsonReader reader{Text};
  Json value = reader.Value();
  if (reader.Failed) return std::nullopt;
  return value;
}

// ---------------------------------------------------------------------------
// Processes and files.

std::string ReadFile(const std::string& Path) {
  std::ifstream file(Path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

double SecondsSince(Clock::time_point Start) {
  return std::chrono::duration<double>(Clock::now() - Start).count();
}

// Starts Argv with the given descriptors as standard input, output and
// error (-1: /dev/null; ClosedFd: no descriptor at all).
constexpr int ClosedFd = -2;
pid_t Spawn(const std::vector<std::string>& Argv, int Out, int Err) {
  std::vector<char*> args;
  for (const std::string& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(Out == -1 ? null : Out, 1);
    dup2(Err == -1 ? null : Err, 2);
    if (Out == ClosedFd) close(1);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Waits for Pid until Deadline; kills it when the deadline passes.
// Returns the wait status, and whether it had to be killed.
std::pair<int, bool> WaitUntil(pid_t Pid, Clock::time_point Deadline) {
  int status = 0;
  while (waitpid(Pid, &status, WNOHANG) == 0) {
    if (Clock::now() > Deadline) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &status, 0);
      return {status, true};
    }
    usleep(5000);
  }
  return {status, false};
}

bool HaveFeature(const std::vector<std::string>& Argv) {
  const pid_t pid = Spawn(Argv, -1, -1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---------------------------------------------------------------------------
// The rows.

// Abort: a reason line, "Program aborted" and the EAbort report; InOut: the
// EInOutError report; Either: a failure report of either kind.
enum class Failure { Abort, InOut, Either };
enum class Output { Pipe, DevFull, PipeClosedAfter, Closed };
enum class Action { None, RemoveDeviceAfter, HoldPortLock, NoDevice, PortIsFile, GpioValueReadOnly };

struct Row {
  const char* Name;
  std::vector<std::string> Sim = {};  // chipsim fault options
  int Mode = 1;
  // "small": 40 longs; "full": 8,193 longs; "fifo": a named pipe nobody writes
  const char* Image = "small";
  Failure Kind = Failure::Abort;
  // Reason line without the port (abort), or the report's message (InOut);
  // several when the platform may word the same fault either way.
  std::vector<std::string> Reasons = {};
  // The last status caption before the reason ("" when none may appear).
  const char* Stage = "";
  double MaxSeconds = 10;  // bound on the run
  double MinSeconds = 0;   // a time-out that must have expired
  Output Out = Output::Pipe;
  Action Act = Action::None;
  const char* Trigger = "";  // output line that sets off the action
  // From the chip's record: how many contacts, and the state of the last one.
  int Contacts = -1;
  const char* LastState = "";
};

constexpr int SmallLongs = 40;
// Bytes a download contact carries, as the chip counts them.
constexpr int Handshake = 509;
constexpr int ImageEnd = Handshake + 11 + 11 + 11 * SmallLongs;  // command, count, longs

std::string N(int Value) { return std::to_string(Value); }

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      // ---- the chip hangs up (closes the line) ----
      {.Name = "HangUpInDetectionHandshake",
       .Sim = {"--hangup-after", "100", "--only-contact", "1"},
       .Reasons = {"No Propeller hardware found on"},
       .Contacts = 1, .LastState = "hung_up"},
      {.Name = "HangUpInDownloadHandshake",
       .Sim = {"--hangup-after", "400", "--only-contact", "2"},
       .Reasons = {"No Propeller hardware found on"},
       .Contacts = 2, .LastState = "hung_up"},
      // Paced at the line's real speed with the full image, so that the host
      // is surely still sending when the chip drops the line.
      {.Name = "HangUpInImage",
       .Sim = {"--pace", "--hangup-after", N(Handshake + 22 + 11 * 100 + 5), "--only-contact", "2"}, .Image = "full",
       .Reasons = {"Unable to write to", "Transmit stall on"}, .Stage = "Loading RAM", .MaxSeconds = 15,
       .Contacts = 2, .LastState = "hung_up"},
      {.Name = "HangUpInRamAcknowledgement",
       .Sim = {"--hangup-after", N(ImageEnd + 1), "--only-contact", "2"},
       .Reasons = {"Unable to write to"}, .Stage = "Verifying RAM",
       .Contacts = 2, .LastState = "hung_up"},
      {.Name = "HangUpInEepromProgrammingAcknowledgement",
       .Sim = {"--hangup-after", N(ImageEnd + 2), "--only-contact", "2"}, .Mode = 2,
       .Reasons = {"Unable to write to"}, .Stage = "Programming EEPROM",
       .Contacts = 2, .LastState = "hung_up"},
      {.Name = "HangUpInEepromVerifyAcknowledgement",
       .Sim = {"--hangup-after", N(ImageEnd + 3), "--only-contact", "2"}, .Mode = 3,
       .Reasons = {"Unable to write to"}, .Stage = "Verifying EEPROM",
       .Contacts = 2, .LastState = "hung_up"},

      // ---- the chip stays silent (each costs the time-out of its wait) ----
      {.Name = "SilentInDetection",
       .Sim = {"--silent"},
       .Reasons = {"No Propeller hardware found on"}, .MaxSeconds = 8, .MinSeconds = 0.9,
       .Contacts = 1},
      {.Name = "SilentInDownloadHandshake",
       .Sim = {"--silent", "--only-contact", "2"},
       .Reasons = {"No Propeller hardware found on"}, .MaxSeconds = 8, .MinSeconds = 0.9,
       .Contacts = 2},
      // The one row that waits out a whole acknowledgement time-out (25 s);
      // the EEPROM waits (50 s and 25 s) time out the same way through the
      // same receive routine.
      {.Name = "SilentInRamAcknowledgement",
       .Sim = {"--ack-delay", "600000", "--only-contact", "2"},
       .Reasons = {"Hardware lost on"}, .Stage = "Verifying RAM", .MaxSeconds = 40, .MinSeconds = 24,
       .Contacts = 2, .LastState = "ack"},

      // ---- the chip answers a wrong byte ----
      {.Name = "WrongFirstHandshakeBit",
       .Sim = {"--flip-reply", "1", "--only-contact", "1"},
       .Reasons = {"No Propeller hardware found on"}, .Contacts = 1},
      {.Name = "WrongLastHandshakeBitInDownload",
       .Sim = {"--flip-reply", "250", "--only-contact", "2"},
       .Reasons = {"No Propeller hardware found on"}, .Contacts = 2},
      {.Name = "WrongByteInVersion",
       .Sim = {"--bad-reply", "255:0x00", "--only-contact", "1"},
       .Reasons = {"No Propeller hardware found on"}, .Contacts = 1},
      {.Name = "WrongByteForRamAcknowledgement",
       .Sim = {"--bad-reply", "259:0x00", "--only-contact", "2"},
       .Reasons = {"Hardware lost on"}, .Stage = "Verifying RAM", .Contacts = 2},
      {.Name = "WrongByteForEepromProgramming",
       .Sim = {"--bad-reply", "260:0xF9", "--only-contact", "2"}, .Mode = 2,
       .Reasons = {"Hardware lost on"}, .Stage = "Programming EEPROM", .Contacts = 2},
      {.Name = "WrongByteForEepromVerify",
       .Sim = {"--bad-reply", "261:0x7F", "--only-contact", "2"}, .Mode = 3,
       .Reasons = {"Hardware lost on"}, .Stage = "Verifying EEPROM", .Contacts = 2},
      {.Name = "RamChecksumRefused",
       .Sim = {"--fail-ram"},
       .Reasons = {"RAM checksum error on"}, .Stage = "Verifying RAM", .Contacts = 2},
      {.Name = "EepromProgrammingRefused",
       .Sim = {"--fail-eeprom-program"}, .Mode = 2,
       .Reasons = {"EEPROM programming error on"}, .Stage = "Programming EEPROM", .Contacts = 2},
      {.Name = "EepromVerifyRefused",
       .Sim = {"--fail-eeprom-verify"}, .Mode = 3,
       .Reasons = {"EEPROM verify error on"}, .Stage = "Verifying EEPROM", .Contacts = 2},

      // ---- the serial device goes away, or is not ours ----
      {.Name = "DeviceAbsent",
       .Reasons = {"No Propeller hardware found on"}, .Act = Action::NoDevice, .Contacts = 0},
      {.Name = "DeviceRemovedInImage",
       .Sim = {"--pace"}, .Image = "full",
       .Reasons = {"Unable to write to", "Transmit stall on"}, .Stage = "Loading RAM", .MaxSeconds = 15,
       .Act = Action::RemoveDeviceAfter, .Trigger = "Loading RAM", .Contacts = 2},
      {.Name = "DeviceRemovedInRamAcknowledgement",
       .Sim = {"--ack-delay", "600000", "--only-contact", "2"},
       .Reasons = {"Unable to write to"}, .Stage = "Verifying RAM", .MaxSeconds = 5,
       .Act = Action::RemoveDeviceAfter, .Trigger = "Verifying RAM", .Contacts = 2},
      // An image path that names a pipe with no writer: the run must not
      // wait for one. (Read as an empty image it goes on to the missing
      // port; refused, it ends with an input/output error.)
      {.Name = "ImageIsPipeWithoutWriter",
       .Image = "fifo", .Kind = Failure::Either, .MaxSeconds = 5, .Act = Action::NoDevice},
      // "-d" naming an ordinary file (the image itself, by a slip of the
      // arguments): no chip answers, and the file must come out unchanged.
      {.Name = "PortIsOrdinaryFile",
       .Reasons = {"No Propeller hardware found on"}, .Act = Action::PortIsFile},
      {.Name = "PortLockedByAnotherProgram",
       .Reasons = {"No Propeller hardware found on"}, .Act = Action::HoldPortLock, .Contacts = 0},

      // ---- standard output fails ----
      // The first output is written before the first reset pulse: the run
      // ends there, before a byte goes to the chip.
      {.Name = "StandardOutputFull",
       .Kind = Failure::InOut, .Out = Output::DevFull, .Contacts = 1, .LastState = "await_sync"},
      // No standard output at all: the first line cannot be written, and no
      // file or device that the run opens may take its place (the chip must
      // not receive the program's text).
      {.Name = "StandardOutputClosed",
       .Kind = Failure::InOut, .Out = Output::Closed, .Contacts = 1, .LastState = "await_sync"},
      // Closed once the first reset line has come: the run ends at its next
      // output (normally the second reset of the detection contact).
      {.Name = "StandardOutputPipeClosed",
       .Kind = Failure::InOut, .Out = Output::PipeClosedAfter, .Trigger = "reset DTR"},

      // ---- the GPIO reset pin's value file cannot be written ----
      {.Name = "GpioValueFileReadOnly",
       .Kind = Failure::InOut, .Reasons = {"Access denied"}, .Act = Action::GpioValueReadOnly,
       .Contacts = 1, .LastState = "await_sync"},
  };
  return rows;
}

// ---------------------------------------------------------------------------
// One run.

std::vector<uint32_t> SampleImage(int Longs) {
  std::vector<uint32_t> image;
  for (int i = 0; i < Longs; ++i) {
    const auto u = static_cast<uint32_t>(i);
    // Every byte lane, the top bit, and values that differ in one bit.
    image.push_back((u * 0x9E3779B1u) ^ (u % 3 == 0 ? 0x80000000u : 0u) ^ (u << 8));
  }
  return image;
}

void WriteImage(const std::string& Path, const std::vector<uint32_t>& Image) {
  std::ofstream file(Path, std::ios::binary);
  for (uint32_t value : Image)
    for (int b = 0; b < 4; ++b) file.put(static_cast<char>((value >> (8 * b)) & 0xFF));
}

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = Text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(Text.substr(start, nl - start));
  if (start < Text.size()) lines.push_back(Text.substr(start));
  return lines;
}

// The end of the output: the reason (or the error) and the failure report.
void CheckReport(const Row& R, const std::string& out, const std::string& port) {
  const std::vector<std::string> lines = SplitLines(out);
  const std::regex first(R"(An unhandled exception occurred at \$[0-9A-F]{8} :)");
  const std::regex address(R"(  \$[0-9A-F]{8})");
  ASSERT_GE(lines.size(), 4u) << out;
  // The report: first line, type and message, address lines, empty line.
  size_t report = lines.size();
  for (size_t i = 0; i < lines.size(); ++i)
    if (std::regex_match(lines[i], first)) report = i;
  ASSERT_LT(report + 2, lines.size()) << "no failure report\n" << out;
  EXPECT_EQ(lines.back(), "") << "the report does not end with an empty line\n" << out;
  for (size_t i = report + 2; i + 1 < lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], address)) << "line " << i << ": " << lines[i];
  if (R.Kind == Failure::Abort) {
    EXPECT_EQ(lines[report + 1], "EAbort : Operation aborted");
    EXPECT_EQ(lines.size(), report + 4) << "the abort's report has one address line\n" << out;
    ASSERT_GE(report, 2u) << out;
    EXPECT_EQ(lines[report - 1], "Program aborted") << out;
    const std::string& reason = lines[report - 2];
    bool known = false;
    for (const std::string& r : R.Reasons) known = known || reason == r + " " + port;
    ::testing::Test::RecordProperty("outcome", reason);
    EXPECT_TRUE(known) << "reason line \"" << reason << "\", expected \"" << R.Reasons.front() << " " << port
                       << "\"\n" << out;
    if (reason.rfind("No Propeller hardware found on", 0) == 0) {
      ASSERT_GE(report, 3u);
      EXPECT_EQ(lines[report - 3], "Program aborted") << "the handshake's own abort line is missing\n" << out;
    }
    // The phase it hit: the last status caption before the reason.
    std::string stage;
    for (size_t i = 0; i + 2 < report; ++i)
      for (const char* caption : {"Loading RAM", "Verifying RAM", "Programming EEPROM", "Verifying EEPROM"})
        if (lines[i] == caption) stage = caption;
    EXPECT_EQ(stage, R.Stage) << out;
  } else if (R.Kind == Failure::Either) {
    ::testing::Test::RecordProperty("outcome", lines[report + 1]);
    EXPECT_TRUE(lines[report + 1] == "EAbort : Operation aborted" || lines[report + 1].rfind("EInOutError : ", 0) == 0)
        << out;
  } else {
    ::testing::Test::RecordProperty("outcome", lines[report + 1]);
    EXPECT_EQ(lines[report + 1], "EInOutError : " + R.Reasons.front()) << out;
    EXPECT_EQ(out.find("Program aborted"), std::string::npos) << "an input/output error is no abort\n" << out;
    EXPECT_EQ(out.find("No Propeller hardware found"), std::string::npos) << out;
  }
}

class FaultMatrix : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/chipfeed-faults-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
  }
  void TearDown() override {
    if (SimPid > 0) StopSim();
    for (const char* name : {"/port", "/record.json", "/record.json.tmp", "/image.bin", "/stderr.txt"})
      unlink((Dir + name).c_str());
    rmdir(Dir.c_str());
  }

  // Starts chipsim; returns false (with a failure recorded) when it does not
  // come up.
  bool StartSim(const Row& R) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argv = {CHIPSIM_BIN, "--link", Port(), "--record", Dir + "/record.json"};
    argv.insert(argv.end(), R.Sim.begin(), R.Sim.end());
    SimPid = Spawn(argv, out[1], -1);
    close(out[1]);
    // chipsim prints the port's path once the line is up.
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    char c = 0;
    while (Clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if (read(out[0], &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    close(out[0]);
    EXPECT_FALSE(line.empty()) << "chipsim did not come up";
    return !line.empty();
  }

  // Stops chipsim, which then writes its final record and removes the link.
  void StopSim() {
    kill(SimPid, SIGTERM);
    const auto [status, killed] = WaitUntil(SimPid, Clock::now() + std::chrono::seconds(5));
    EXPECT_FALSE(killed) << "chipsim did not stop on SIGTERM";
    SimPid = -1;
  }

  std::string Port() const { return Dir + "/port"; }

  std::string Dir;
  pid_t SimPid = -1;
};

// The chipfeed command for a row: plain, or for the GPIO row inside a private
// mount namespace whose /sys/class holds a GPIO directory with a read-only
// value file.
std::vector<std::string> ChipfeedCommand(const Row& R, const std::string& Port, const std::string& Image) {
  std::vector<std::string> args = {CHIPFEED_BIN, "-d", Port, "-p" + N(R.Mode)};
  if (R.Act == Action::GpioValueReadOnly) {
    args.insert(args.end(), {"-r", "gpio186"});
    const char* script =
        "set -e; mount -t tmpfs faultmatrix /sys/class; g=/sys/class/gpio; mkdir -p $g/gpio186;"
        " : >$g/export; : >$g/unexport; : >$g/gpio186/direction; : >$g/gpio186/value;"
        " mount --bind $g/gpio186/value $g/gpio186/value;"
        " mount -o remount,bind,ro $g/gpio186/value; exec \"$@\"";
    args.insert(args.begin(), {"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"});
  }
  args.push_back(Image);
  return args;
}

TEST_P(FaultMatrix, EndsWithItsReasonAndStatus217WithinItsBoundAndNoWrongLong) {
  const Row& R = GetParam();
  if (R.Act == Action::GpioValueReadOnly) {
    if (geteuid() != 0 || !HaveFeature({"unshare", "-m", "--propagation", "private", "true"}))
      GTEST_SKIP() << "needs root and unshare -m for a private /sys/class (run the suite as root)";
  }

  const std::string imageKind = R.Image;
  const std::vector<uint32_t> image = SampleImage(imageKind == "full" ? 8193 : imageKind == "fifo" ? 0 : SmallLongs);
  const std::string imagePath = Dir + "/image.bin";
  if (imageKind == "fifo") {
    ASSERT_EQ(mkfifo(imagePath.c_str(), 0600), 0);
  } else {
    WriteImage(imagePath, image);
  }

  const bool simulated = R.Act != Action::NoDevice && R.Act != Action::PortIsFile;
  if (simulated && !StartSim(R)) return;
  std::string port = Port();
  if (R.Act == Action::NoDevice) port = Dir + "/no-such-port";
  if (R.Act == Action::PortIsFile) port = imagePath;
  const std::string portContent = R.Act == Action::PortIsFile ? ReadFile(port) : "";

  // Another program holding the port.
  int lockFd = -1;
  if (R.Act == Action::HoldPortLock) {
    lockFd = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_NE(lockFd, -1);
    ASSERT_EQ(flock(lockFd, LOCK_EX | LOCK_NB), 0);
  }

  // Standard output: a pipe read here, or /dev/full.
  int outRead = -1;
  int outWrite = -1;
  if (R.Out == Output::DevFull) {
    outWrite = open("/dev/full", O_WRONLY | O_CLOEXEC);
  } else if (R.Out == Output::Closed) {
    outWrite = ClosedFd;
  } else {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    outRead = fds[0];
    outWrite = fds[1];
  }
  const int errFd = open((Dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(R.MaxSeconds));
  const pid_t pid = Spawn(ChipfeedCommand(R, port, imagePath), outWrite, errFd);
  if (outWrite >= 0) close(outWrite);
  close(errFd);

  // Read the output as it comes; act on the trigger line.
  std::string out;
  bool acted = false;
  int status = 0;
  bool killed = false;
  bool exited = false;
  while (!exited) {
    if (outRead != -1) {
      pollfd p{outRead, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        char block[4096];
        const ssize_t n = read(outRead, block, sizeof block);
        if (n > 0) out.append(block, static_cast<size_t>(n));
        if (n == 0) {
          close(outRead);
          outRead = -1;
        }
      }
    } else {
      usleep(5000);
    }
    if (!acted && *R.Trigger && out.find(std::string(R.Trigger) + "\n") != std::string::npos) {
      acted = true;
      if (R.Act == Action::RemoveDeviceAfter) StopSim();
      if (R.Out == Output::PipeClosedAfter && outRead != -1) {
        close(outRead);
        outRead = -1;
      }
    }
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) exited = true;
    if (!exited && Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      killed = true;
      exited = true;
    }
  }
  // Whatever is still in the pipe.
  while (outRead != -1) {
    char block[4096];
    const ssize_t n = read(outRead, block, sizeof block);
    if (n <= 0) {
      close(outRead);
      outRead = -1;
    } else {
      out.append(block, static_cast<size_t>(n));
    }
  }
  const double seconds = SecondsSince(start);
  if (lockFd != -1) close(lockFd);
  if (SimPid > 0) StopSim();

  // ---- no hang, no crash, status 217 ----
  // (A run killed at its bound still has its record examined below.)
  EXPECT_FALSE(killed) << "chipfeed still running after " << R.MaxSeconds << " s\n" << out;
  if (!killed) {
    EXPECT_TRUE(WIFEXITED(status)) << "chipfeed ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0)
                                   << "\n" << out;
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 217) << out;
    EXPECT_GE(seconds, R.MinSeconds) << "ended before the time-out could expire";
    if (*R.Trigger) {
      EXPECT_TRUE(acted) << "the line \"" << R.Trigger << "\" never came\n" << out;
    }
    EXPECT_EQ(ReadFile(Dir + "/stderr.txt"), "") << "chipfeed wrote to standard error";
  }

  // ---- the reason and the report ----
  if (!killed && R.Out == Output::Pipe) CheckReport(R, out, port);

  if (R.Act == Action::PortIsFile) {
    EXPECT_TRUE(ReadFile(port) == portContent) << "the file named as the port was changed";
  }

  // ---- the chip's record: nothing wrong ever accepted ----
  if (!simulated) return;
  const std::string recordText = ReadFile(Dir + "/record.json");
  const std::optional<Json> record = ParseJson(recordText);
  ASSERT_TRUE(record.has_value()) << "unreadable record:\n" << recordText;
  const JsonArray& contacts = (*record)["contacts"].Items();
  if (R.Contacts >= 0) {
    EXPECT_EQ(static_cast<int>(contacts.size()), R.Contacts) << recordText;
  }
  if (*R.LastState && !contacts.empty()) {
    EXPECT_EQ(contacts.back()["state"].Text(), R.LastState) << recordText;
  }
  size_t decoded = 0;
  for (const Json& contact : contacts) {
    const int number = static_cast<int>(contact["number"].Number());
    EXPECT_EQ(contact["rejection"].Text(), "") << "contact " << number << ": the chip saw a malformed stream";
    const double command = contact["command"].Number();
    EXPECT_TRUE(command == -1 || command == 0 || command == R.Mode) << "contact " << number << ": command " << command;
    const double count = contact["count"].Number();
    if (count >= 0) {
      EXPECT_EQ(count, static_cast<double>(image.size())) << "contact " << number << ": wrong count";
    }
    const JsonArray& longs = contact["longs"].Items();
    EXPECT_LE(longs.size(), image.size()) << "contact " << number << ": more longs than the image holds";
    for (size_t i = 0; i < longs.size() && i < image.size(); ++i) {
      ASSERT_EQ(static_cast<uint32_t>(longs[i].Number()), image[i])
          << "contact " << number << ": long " << i << " accepted by the chip differs from the file";
    }
    decoded += longs.size();
    // An acknowledgement answered "good" means the chip had the whole image.
    for (const Json& ack : contact["acks"].Items()) {
      if (ack["answered"].Bool() && !ack["fail"].Bool()) {
        EXPECT_EQ(longs.size(), image.size()) << "contact " << number << ": acknowledged an incomplete image";
      }
    }
  }
  RecordProperty("decoded_longs", static_cast<int>(decoded));
  RecordProperty("seconds", std::to_string(seconds));
}

std::string RowName(const ::testing::TestParamInfo<Row>& Info) { return Info.param.Name; }

// gtest names a failing row by this, not by a dump of its bytes.
[[maybe_unused]] void PrintTo(const Row& R, std::ostream* Out) { *Out << R.Name; }

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(Rows()), RowName);

}  // namespace
