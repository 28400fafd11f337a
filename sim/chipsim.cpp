// chipsim: a simulated boot loader on a pseudo-terminal.
//
// It plays the chip's side of the serial conversation (chipmodel) on the
// master side of a pty, and hands the slave side to the host program as its
// serial port. chipsim keeps the slave open itself, so the line survives the
// host closing and reopening the port between its contacts.
//
// A pty has no DTR line, so chipsim cannot see the reset pulse. It starts a
// new contact instead when:
//   - the host flushes the port's queues (every open of the port by chipfeed
//     does, through TCFLSH); the master is in packet mode and is told of it;
//   - a 0xF9 arrives before any contact;
//   - a 0xF9 arrives after 100 ms of silence from the host while the chip had
//     finished its contact, was decoding longs, or had gone silent after a
//     rejection (the reset pulse keeps the line quiet for 115 ms). Echo bytes
//     that arrive late, right after an acknowledgement, start nothing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "chipmodel.h"

extern char** environ;

namespace chipsim {

namespace {

const char* const HelpText =
    "usage: chipsim [options]                      serve a simulated chip until SIGINT/SIGTERM\n"
    "       chipsim [options] -- COMMAND [ARG...]  serve it while COMMAND runs, then exit\n"
    "                                              with COMMAND's status; {port} in an ARG\n"
    "                                              is replaced by the port path\n"
    "       chipsim --make-image N FILE            write a sample image of N longs and exit\n"
    "       chipsim --help\n"
    "\n"
    "The chip sits on the master side of a new pseudo-terminal; its slave side is the\n"
    "serial port to give the host. Serving, chipsim prints the slave's path on standard\n"
    "output; with --link the link is made once the chip is ready, and {port} is the link.\n"
    "\n"
    "Options:\n"
    "  --link PATH              make PATH a symbolic link to the port (an old link there is\n"
    "                           replaced; the link is removed at exit)\n"
    "  --record FILE            write a JSON record of every contact: cause, times (ms since\n"
    "                           start), handshake, command, count, every long decoded,\n"
    "                           acknowledgement waits with their echo bytes; rewritten as\n"
    "                           each contact ends and at exit\n"
    "  --chip-version V         hardware version sent after the handshake (0..255, default 1)\n"
    "  --pace                   consume and send bytes at the pace of a 115200 baud 8N1 line\n"
    "                           (86.8 us a byte)\n"
    "Faults (each applies to every contact unless --only-contact is given):\n"
    "  --silent                 never answer\n"
    "  --flip-reply K           send reply byte K with its bit inverted (replies are counted\n"
    "                           per contact: 1..250 handshake, 251..258 version bits, 259 on\n"
    "                           acknowledgements)\n"
    "  --bad-reply K:BYTE       send BYTE (e.g. 0x00) in place of reply byte K\n"
    "  --fail-ram               answer the RAM checksum with a failure (0xFF)\n"
    "  --fail-eeprom-program    answer EEPROM programming with a failure\n"
    "  --fail-eeprom-verify     answer EEPROM verify with a failure\n"
    "  --ack-delay MS           an acknowledgement is ready MS ms after its wait begins\n"
    "                           (the last long, or the previous acknowledgement); echo\n"
    "                           bytes before that stay unanswered\n"
    "  --hangup-after N         drop the line (close the pty) once a contact has received\n"
    "                           N bytes; the host's reads and writes then fail, and the\n"
    "                           chip serves nothing more until chipsim ends\n"
    "  --only-contact N         apply the faults only to contact N (1 = detection,\n"
    "                           2 = download in a chipfeed run)\n"
    "\n"
    "A pty has no reset line. A new contact begins when the host reopens the port (seen\n"
    "as its flush of the queues), or with a 0xF9 before any contact or after 100 ms of\n"
    "silence once the chip has finished, gone silent or is decoding longs. A chip that\n"
    "sees a wrong handshake or a malformed byte goes silent until the next contact, as\n"
    "the real one does.\n"
    "\n"
    "Serving, chipsim tells on standard error what each contact received once it is\n"
    "over. In the run form it prints one such line after COMMAND has ended, for the\n"
    "last contact that got a download command, e.g.\n"
    "  chipsim: contact 2: command 1, 3000 longs received, RAM checksum ok\n"
    "and exits with COMMAND's status (128 + N when signal N ended it, 127 when it could\n"
    "not be started); SIGINT or SIGTERM to chipsim is passed on to COMMAND as SIGTERM.\n"
    "A bad option ends chipsim with status 2.\n"
    "\n"
    "Example:\n"
    "  chipsim --make-image 3000 sample.bin\n"
    "  chipsim -- chipfeed -d {port} -p1 sample.bin\n";

constexpr double ByteMs = 10.0 * 1000.0 / 115200.0;  // start bit, 8 data bits, stop bit
constexpr std::size_t PacedFifo = 16;                 // bytes taken from the pty ahead of time when paced

struct Event {
  bool Flush = false;
  std::uint8_t Byte = 0;
  double AtMs = 0;
};

struct Reply {
  std::uint8_t Byte = 0;
  double AtMs = 0;
};

// Settings from the command line.
std::string g_link;
std::string g_record;
bool g_pace = false;
std::vector<std::string> g_command;

// Line state.
int g_master = -1;
int g_slave = -1;
std::string g_slavePath;
bool g_lineUp = false;
std::deque<Event> g_inbox;
std::deque<Reply> g_outbox;
double g_lastProcessedMs = -1e18;
double g_lastSentMs = -1e18;
std::size_t g_contactsReported = 0;

volatile sig_atomic_t g_stop = 0;
const auto g_start = std::chrono::steady_clock::now();

double NowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start).count();
}

void OnStop(int) { g_stop = 1; }

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "chipsim: %s\n", message.c_str());
  std::exit(2);
}

bool ParseNumber(const std::string& text, unsigned long long limit, unsigned long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0' && text[0] != '-' && value <= limit;
}

unsigned long long NumberArg(int argc, char** argv, int& i, unsigned long long limit) {
  const std::string option = argv[i];
  if (i + 1 >= argc) Fail(option + " needs a value");
  unsigned long long value = 0;
  if (!ParseNumber(argv[++i], limit, value)) Fail(option + ": bad value '" + argv[i] + "'");
  return value;
}

std::string TextArg(int argc, char** argv, int& i) {
  if (i + 1 >= argc) Fail(std::string(argv[i]) + " needs a value");
  return argv[++i];
}

// The sample image: a pattern that is easy to recognise in a listing and
// covers small values, values with the top bit set and every byte lane.
std::uint32_t SampleLong(std::uint32_t i) {
  switch (i % 4) {
    case 0: return i;
    case 1: return 0xC0DE0000u | (i & 0xFFFFu);
    case 2: return ~i;
    default: return i * 2654435761u;
  }
}

int MakeImage(unsigned long long count, const std::string& path) {
  std::vector<unsigned char> bytes;
  bytes.reserve(count * 4);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t value = SampleLong(i);
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<unsigned char>(value >> (8 * b)));
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) Fail("cannot create " + path + ": " + std::strerror(errno));
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !ok) Fail("cannot write " + path);
  return 0;
}

void ParseArgs(int argc, char** argv, chipmodel::Faults& faults) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) g_command.push_back(argv[i]);
      if (g_command.empty()) Fail("no command after --");
      break;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(HelpText, stdout);
      std::exit(0);
    } else if (arg == "--make-image") {
      const unsigned long long count = NumberArg(argc, argv, i, 1u << 24);
      std::exit(MakeImage(count, TextArg(argc, argv, i)));
    } else if (arg == "--link") {
      g_link = TextArg(argc, argv, i);
    } else if (arg == "--record") {
      g_record = TextArg(argc, argv, i);
    } else if (arg == "--chip-version") {
      faults.Version = static_cast<std::uint8_t>(NumberArg(argc, argv, i, 255));
    } else if (arg == "--pace") {
      g_pace = true;
    } else if (arg == "--silent") {
      faults.Silent = true;
    } else if (arg == "--flip-reply") {
      faults.FlipReply = static_cast<int>(NumberArg(argc, argv, i, 1000000));
    } else if (arg == "--bad-reply") {
      const std::string value = TextArg(argc, argv, i);
      const std::size_t colon = value.find(':');
      unsigned long long position = 0, byte = 0;
      if (colon == std::string::npos || !ParseNumber(value.substr(0, colon), 1000000, position) ||
          !ParseNumber(value.substr(colon + 1), 255, byte)) {
        Fail("--bad-reply wants K:BYTE, e.g. 250:0x00");
      }
      faults.BadReplyAt = static_cast<int>(position);
      faults.BadReplyByte = static_cast<std::uint8_t>(byte);
    } else if (arg == "--fail-ram") {
      faults.FailRam = true;
    } else if (arg == "--fail-eeprom-program") {
      faults.FailEepromProgram = true;
    } else if (arg == "--fail-eeprom-verify") {
      faults.FailEepromVerify = true;
    } else if (arg == "--ack-delay") {
      faults.AckDelayMs = static_cast<std::uint32_t>(NumberArg(argc, argv, i, 3600000));
    } else if (arg == "--hangup-after") {
      faults.HangUpAfter = NumberArg(argc, argv, i, ~0ull);
    } else if (arg == "--only-contact") {
      faults.OnlyContact = static_cast<int>(NumberArg(argc, argv, i, 1000000));
    } else {
      Fail("unknown option '" + arg + "' (see chipsim --help)");
    }
  }
}

void OpenLine() {
  g_master = posix_openpt(O_RDWR | O_NOCTTY);
  if (g_master < 0) Fail(std::string("posix_openpt: ") + std::strerror(errno));
  if (grantpt(g_master) != 0 || unlockpt(g_master) != 0) Fail(std::string("pty setup: ") + std::strerror(errno));
  const char* name = ptsname(g_master);
  if (!name) Fail("ptsname failed");
  g_slavePath = name;
  // Our own hold on the slave: without it the line would hang up each time
  // the host closes the port.
  g_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (g_slave < 0) Fail("cannot open " + g_slavePath + ": " + std::strerror(errno));
  // Raw until the host sets its own line settings: no echo, no translation.
  termios tio{};
  if (tcgetattr(g_slave, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(g_slave, TCSANOW, &tio);
  }
  // Packet mode tells us when the host flushes the port, which it does on
  // every open: our stand-in for the reset line.
  int on = 1;
  if (ioctl(g_master, TIOCPKT, &on) != 0) Fail(std::string("TIOCPKT: ") + std::strerror(errno));
  fcntl(g_master, F_SETFL, fcntl(g_master, F_GETFL) | O_NONBLOCK);
  fcntl(g_master, F_SETFD, FD_CLOEXEC);
  g_lineUp = true;
}

void MakeLink() {
  if (g_link.empty()) return;
  struct stat st {};
  if (lstat(g_link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) Fail(g_link + " exists and is not a symbolic link");
    unlink(g_link.c_str());
  }
  if (symlink(g_slavePath.c_str(), g_link.c_str()) != 0) {
    Fail("cannot link " + g_link + ": " + std::strerror(errno));
  }
}

void RemoveLink() {
  if (g_link.empty()) return;
  struct stat st {};
  if (lstat(g_link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(g_link.c_str());
}

void WriteRecord() {
  if (g_record.empty()) return;
  const std::string text = chipmodel::RecordJson(NowMs());
  const std::string temp = g_record + ".tmp";
  FILE* file = std::fopen(temp.c_str(), "w");
  if (!file) {
    std::fprintf(stderr, "chipsim: cannot write %s: %s\n", temp.c_str(), std::strerror(errno));
    return;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) == 0 && ok) std::rename(temp.c_str(), g_record.c_str());
}

// Server mode tells of each contact once it is over.
void ReportContacts(bool all) {
  const auto& contacts = chipmodel::Contacts();
  const std::size_t upTo = all ? contacts.size() : (contacts.empty() ? 0 : contacts.size() - 1);
  for (; g_contactsReported < upTo; ++g_contactsReported) {
    std::fprintf(stderr, "chipsim: %s\n", chipmodel::Summary(contacts[g_contactsReported]).c_str());
  }
}

void ContactsChanged() {
  if (g_command.empty()) ReportContacts(false);
  WriteRecord();
}

void HangUp() {
  if (!g_lineUp) return;
  close(g_master);
  close(g_slave);
  g_master = g_slave = -1;
  g_lineUp = false;
  g_inbox.clear();
  g_outbox.clear();
  WriteRecord();
}

// Takes what the host has sent from the pty; paced, only a small FIFO's
// worth ahead, so that the host's writes block as on a real line. `all`
// takes everything (at the end, when pacing no longer matters).
void ReadLine(bool all = false) {
  if (!g_lineUp) return;
  if (g_pace && !all && g_inbox.size() >= PacedFifo) return;
  unsigned char buffer[4097];
  for (;;) {
    const ssize_t n = read(g_master, buffer, sizeof buffer);
    if (n <= 0) return;  // EAGAIN: nothing more now
    const double now = NowMs();
    if (buffer[0] == TIOCPKT_DATA) {
      for (ssize_t i = 1; i < n; ++i) g_inbox.push_back(Event{false, buffer[i], now});
    } else if (buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) {
      g_inbox.push_back(Event{true, 0, now});
    }
    if (g_pace && !all && g_inbox.size() >= PacedFifo) return;
  }
}

// Hands the received bytes to the chip, at line pace when asked; `drain`
// takes everything at once.
void Process(bool drain) {
  const double now = NowMs();
  while (!g_inbox.empty()) {
    const Event event = g_inbox.front();
    if (event.Flush) {
      g_inbox.pop_front();
      const std::size_t before = chipmodel::Contacts().size();
      chipmodel::StartContact(now, "flush");
      if (chipmodel::Contacts().size() != before) ContactsChanged();
      continue;
    }
    double at = now;
    if (g_pace && !drain) {
      at = std::max(event.AtMs, g_lastProcessedMs + ByteMs);
      if (at > now) return;
    }
    g_inbox.pop_front();
    g_lastProcessedMs = at;
    const std::size_t before = chipmodel::Contacts().size();
    const int reply = chipmodel::Receive(event.Byte, at);
    if (chipmodel::Contacts().size() != before) ContactsChanged();
    if (chipmodel::HangUpDue()) {
      HangUp();
      return;
    }
    if (reply >= 0) g_outbox.push_back(Reply{static_cast<std::uint8_t>(reply), at});
  }
}

void SendReplies() {
  const double now = NowMs();
  while (g_lineUp && !g_outbox.empty()) {
    const Reply reply = g_outbox.front();
    double at = now;
    if (g_pace) {
      at = std::max(reply.AtMs, g_lastSentMs) + ByteMs;
      if (at > now) return;
    }
    const ssize_t n = write(g_master, &reply.Byte, 1);
    if (n != 1) return;  // the host's input queue is full: try again later
    g_outbox.pop_front();
    g_lastSentMs = at;
  }
}

// Milliseconds until the next paced byte is due (or a short poll).
int PollTimeout(int idleMs) {
  if (!g_pace) return idleMs;
  double next = 1e18;
  const double now = NowMs();
  if (!g_inbox.empty() && !g_inbox.front().Flush) next = std::max(g_inbox.front().AtMs, g_lastProcessedMs + ByteMs);
  if (!g_outbox.empty()) next = std::min(next, std::max(g_outbox.front().AtMs, g_lastSentMs) + ByteMs);
  if (next >= 1e17) return idleMs;
  const double wait = next - now;
  return wait <= 0 ? 0 : std::min(idleMs, static_cast<int>(wait) + 1);
}

void ServeOnce(int idleMs) {
  pollfd pfd{g_lineUp ? g_master : -1, POLLIN, 0};
  const bool wantRead = g_lineUp && !(g_pace && g_inbox.size() >= PacedFifo);
  if (!wantRead) pfd.fd = -1;
  poll(&pfd, 1, PollTimeout(idleMs));
  ReadLine();
  Process(false);
  SendReplies();
}

pid_t StartCommand() {
  const std::string port = g_link.empty() ? g_slavePath : g_link;
  std::vector<std::string> args;
  for (std::string arg : g_command) {
    for (std::size_t at = arg.find("{port}"); at != std::string::npos; at = arg.find("{port}", at + port.size())) {
      arg.replace(at, 6, port);
    }
    args.push_back(arg);
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    std::fprintf(stderr, "chipsim: cannot run %s: %s\n", argv[0], std::strerror(rc));
    return -1;
  }
  return pid;
}

int StatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

void FinalSummary() {
  const auto& contacts = chipmodel::Contacts();
  if (contacts.empty()) {
    std::fprintf(stderr, "chipsim: no contact, nothing received\n");
    return;
  }
  // The last contact that got a command says most; otherwise the last one.
  const chipmodel::Contact* pick = &contacts.back();
  for (const auto& contact : contacts) {
    if (contact.Command > 0) pick = &contact;
  }
  std::fprintf(stderr, "chipsim: %s\n", chipmodel::Summary(*pick).c_str());
}

int RunCommand() {
  const pid_t child = StartCommand();
  if (child < 0) return 127;
  int status = 0;
  bool signalled = false;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (g_stop && !signalled) {
      kill(child, SIGTERM);
      signalled = true;
    }
    ServeOnce(5);
  }
  // Whatever the host wrote before it ended still reaches the chip.
  ReadLine(true);
  Process(true);
  WriteRecord();
  FinalSummary();
  return StatusOf(status);
}

int Serve() {
  std::printf("%s\n", g_slavePath.c_str());
  std::fflush(stdout);
  while (!g_stop) ServeOnce(50);
  ReadLine(true);
  Process(true);
  ReportContacts(true);
  WriteRecord();
  return 0;
}

}  // namespace

int Main(int argc, char** argv) {
  chipmodel::Faults faults;
  ParseArgs(argc, argv, faults);
  chipmodel::Configure(faults);
  chipmodel::Reset();

  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  OpenLine();
  MakeLink();
  WriteRecord();
  const int status = g_command.empty() ? Serve() : RunCommand();
  RemoveLink();
  if (g_lineUp) {
    close(g_master);
    close(g_slave);
  }
  return status;
}

}  // namespace chipsim

int main(int argc, char** argv) { return chipsim::Main(argc, argv); }
