// The POSIX serial layer on real pseudo-terminals, and the POSIX time base.
//
// The layer's ioctl and tcsetattr calls are wrapped at link time (see
// CMakeLists.txt): each is recorded and then passed on to the C library, so
// the tests see the exact terminal record and modem-line requests, also
// where a pseudo-terminal keeps less than it was given (it forces CS8 and
// drops parity, and has no modem lines at all).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "bootlink/bootlink.h"
#include "serial/serialport.h"

// ---- Recording wrappers ----

struct IoctlCall {
  int Fd;
  unsigned long Request;
  uint32_t Mask;  // the word the argument points at, for modem-line requests
};
struct TcsetattrCall {
  int Fd;
  int When;
  termios Record;
};
std::vector<IoctlCall> Ioctls;
std::vector<TcsetattrCall> Tcsetattrs;
std::vector<char> Order;  // 'i' for an ioctl, 't' for a tcsetattr

extern "C" {
int __real_ioctl(int Fd, unsigned long Request, ...);
int __real_tcsetattr(int Fd, int When, const termios* Record);

int __wrap_ioctl(int Fd, unsigned long Request, ...) {
  va_list args;
  va_start(args, Request);
  void* arg = va_arg(args, void*);
  va_end(args);
  IoctlCall call{Fd, Request, 0};
  if (Request == TIOCMBIS || Request == TIOCMBIC || Request == TIOCMSET)
    std::memcpy(&call.Mask, arg, sizeof call.Mask);
  if (Request == TCFLSH) call.Mask = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
  Ioctls.push_back(call);
  Order.push_back('i');
  return __real_ioctl(Fd, Request, arg);
}

int __wrap_tcsetattr(int Fd, int When, const termios* Record) {
  Tcsetattrs.push_back({Fd, When, *Record});
  Order.push_back('t');
  return __real_tcsetattr(Fd, When, Record);
}
}

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point Start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count());
}

// A pseudo-terminal: the test holds the master, the layer opens the slave.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_NE(Master, -1);
    ASSERT_EQ(grantpt(Master), 0);
    ASSERT_EQ(unlockpt(Master), 0);
    Slave = ptsname(Master);
    Ioctls.clear();
    Tcsetattrs.clear();
    Order.clear();
  }
  void TearDown() override {
    if (Port != -1) SerClose(Port);
    close(Master);
  }

  // Bytes written at the master become readable at the slave a moment
  // later (the terminal layer hands them over asynchronously): wait for them.
  void SendAndSettle(const std::vector<uint8_t>& Bytes, size_t Expected) {
    ASSERT_EQ(write(Master, Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
    for (int i = 0; i < 200; ++i) {
      int waiting = 0;
      ioctl(Port, FIONREAD, &waiting);
      if (static_cast<size_t>(waiting) >= Expected) return;
      usleep(1000);
    }
    FAIL() << "the bytes never arrived";
  }

  void OpenConfigured() {
    Port = SerOpen(Slave);
    ASSERT_NE(Port, -1);
    SerSetParams(Port, 115200, 8, NoneParity, 1, 0);
  }

  int Master = -1;
  std::string Slave;
  TSerialHandle Port = -1;
};

TEST_F(PtyTest, EngineSettingsReadBackAsARawLine) {
  OpenConfigured();
  termios t;
  std::memset(&t, 0xA5, sizeof t);
  ASSERT_EQ(tcgetattr(Port, &t), 0);
  EXPECT_EQ(t.c_cflag, 0x18B2u);
  EXPECT_EQ(t.c_iflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_line, 0);
  for (size_t i = 0; i < NCCS; ++i) EXPECT_EQ(t.c_cc[i], 0) << "c_cc[" << i << "]";
  EXPECT_EQ(t.c_ispeed, 0x1002u);
  EXPECT_EQ(t.c_ospeed, 0x1002u);
  // Flush both queues first, then apply the record at once.
  ASSERT_EQ(Ioctls.size(), 1u);
  EXPECT_EQ(Ioctls[0].Request, static_cast<unsigned long>(TCFLSH));
  EXPECT_EQ(Ioctls[0].Mask, static_cast<uint32_t>(TCIOFLUSH));
  ASSERT_EQ(Tcsetattrs.size(), 1u);
  EXPECT_EQ(Tcsetattrs[0].When, TCSANOW);
  EXPECT_EQ(Order, (std::vector<char>{'i', 't'}));
}

struct FrameCase {
  const char* Name;
  int32_t BitsPerSec;
  int32_t ByteSize;
  TParityType Parity;
  int32_t StopBits;
  TSerialFlags Flags;
  tcflag_t Speed;
  tcflag_t Frame;  // c_cflag bits beyond the speed, CREAD and CLOCAL
};

class FrameTest : public PtyTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FrameTest, RecordHoldsTheSpeedAndFrameAndNothingElse) {
  const FrameCase& c = GetParam();
  Port = SerOpen(Slave);
  ASSERT_NE(Port, -1);
  SerSetParams(Port, c.BitsPerSec, c.ByteSize, c.Parity, c.StopBits, c.Flags);
  ASSERT_EQ(Tcsetattrs.size(), 1u);
  const termios& t = Tcsetattrs[0].Record;
  EXPECT_EQ(t.c_cflag, c.Speed | CREAD | CLOCAL | c.Frame);
  EXPECT_EQ(t.c_ispeed, c.Speed);
  EXPECT_EQ(t.c_ospeed, c.Speed);
  EXPECT_EQ(t.c_iflag | t.c_oflag | t.c_lflag | t.c_line, 0u);
  termios zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(t.c_cc, zero.c_cc, sizeof t.c_cc), 0);
  // The speed is what the line really runs at.
  termios back;
  ASSERT_EQ(tcgetattr(Port, &back), 0);
  EXPECT_EQ(cfgetospeed(&back), c.Speed);
  EXPECT_EQ(cfgetispeed(&back), c.Speed);
}

constexpr tcflag_t Eight = CS8;

INSTANTIATE_TEST_SUITE_P(
    Ttyport, FrameTest,
    ::testing::Values(
        FrameCase{"Engine", 115200, 8, NoneParity, 1, 0, 0x1002, Eight},
        FrameCase{"B9600", 9600, 8, NoneParity, 1, 0, 0xD, Eight},
        FrameCase{"ZeroIs9600", 0, 8, NoneParity, 1, 0, 0xD, Eight},
        FrameCase{"NegativeIs9600", -5, 8, NoneParity, 1, 0, 0xD, Eight},
        FrameCase{"B14400Is9600", 14400, 8, NoneParity, 1, 0, 0xD, Eight},
        FrameCase{"B256000Is9600", 256000, 8, NoneParity, 1, 0, 0xD, Eight},
        FrameCase{"B50", 50, 8, NoneParity, 1, 0, 0x1, Eight},
        FrameCase{"B75", 75, 8, NoneParity, 1, 0, 0x2, Eight},
        FrameCase{"B110", 110, 8, NoneParity, 1, 0, 0x3, Eight},
        FrameCase{"B134", 134, 8, NoneParity, 1, 0, 0x4, Eight},
        FrameCase{"B150", 150, 8, NoneParity, 1, 0, 0x5, Eight},
        FrameCase{"B200", 200, 8, NoneParity, 1, 0, 0x6, Eight},
        FrameCase{"B300", 300, 8, NoneParity, 1, 0, 0x7, Eight},
        FrameCase{"B600", 600, 8, NoneParity, 1, 0, 0x8, Eight},
        FrameCase{"B1200", 1200, 8, NoneParity, 1, 0, 0x9, Eight},
        FrameCase{"B1800", 1800, 8, NoneParity, 1, 0, 0xA, Eight},
        FrameCase{"B2400", 2400, 8, NoneParity, 1, 0, 0xB, Eight},
        FrameCase{"B4800", 4800, 8, NoneParity, 1, 0, 0xC, Eight},
        FrameCase{"B19200", 19200, 8, NoneParity, 1, 0, 0xE, Eight},
        FrameCase{"B38400", 38400, 8, NoneParity, 1, 0, 0xF, Eight},
        FrameCase{"B57600", 57600, 8, NoneParity, 1, 0, 0x1001, Eight},
        FrameCase{"B230400", 230400, 8, NoneParity, 1, 0, 0x1003, Eight},
        FrameCase{"B460800", 460800, 8, NoneParity, 1, 0, 0x1004, Eight},
        FrameCase{"FiveBits", 9600, 5, NoneParity, 1, 0, 0xD, CS5},
        FrameCase{"SixBits", 9600, 6, NoneParity, 1, 0, 0xD, CS6},
        FrameCase{"SevenBits", 9600, 7, NoneParity, 1, 0, 0xD, CS7},
        FrameCase{"FourBitsIsEight", 9600, 4, NoneParity, 1, 0, 0xD, Eight},
        FrameCase{"NineBitsIsEight", 9600, 9, NoneParity, 1, 0, 0xD, Eight},
        FrameCase{"OddParity", 9600, 8, OddParity, 1, 0, 0xD, Eight | PARENB | PARODD},
        FrameCase{"EvenParity", 9600, 8, EvenParity, 1, 0, 0xD, Eight | PARENB},
        FrameCase{"NoStopBitsIsOne", 9600, 8, NoneParity, 0, 0, 0xD, Eight},
        FrameCase{"TwoStopBits", 9600, 8, NoneParity, 2, 0, 0xD, Eight | CSTOPB},
        FrameCase{"ThreeStopBitsIsOne", 9600, 8, NoneParity, 3, 0, 0xD, Eight},
        FrameCase{"RtsCts", 9600, 8, NoneParity, 1, RtsCtsFlowControl, 0xD, Eight | CRTSCTS},
        FrameCase{"Everything", 57600, 7, OddParity, 2, RtsCtsFlowControl, 0x1001,
                  CS7 | PARENB | PARODD | CSTOPB | CRTSCTS}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(PtyTest, ReadsNeverWaitAndTakeAtMostTheCountAsked) {
  Port = SerOpen(Slave);
  ASSERT_NE(Port, -1);
  // Sent before the line is configured: thrown away by SerSetParams.
  SendAndSettle({'o', 'l', 'd', '\n'}, 4);
  SerSetParams(Port, 115200, 8, NoneParity, 1, 0);
  uint8_t buf[512];
  const auto start = Clock::now();
  EXPECT_EQ(SerRead(Port, buf, 256), 0);
  EXPECT_LT(MsSince(start), 500) << "a read with nothing waiting must come back at once";

  std::vector<uint8_t> ten(10);
  for (size_t i = 0; i < ten.size(); ++i) ten[i] = static_cast<uint8_t>(0xF0 + i);
  SendAndSettle(ten, 10);
  EXPECT_EQ(SerRead(Port, buf, 256), 10);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 10), ten);

  std::vector<uint8_t> many(300);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i);
  SendAndSettle(many, 300);
  EXPECT_EQ(SerRead(Port, buf, 256), 256);
  EXPECT_EQ(buf[255], 255);
  EXPECT_EQ(SerRead(Port, buf, 256), 44);
  EXPECT_EQ(buf[0], 0);  // byte 256
  EXPECT_EQ(buf[43], 43);
  EXPECT_EQ(SerRead(Port, buf, 256), 0);
}

TEST_F(PtyTest, WritesPassEveryByteUnchanged) {
  OpenConfigured();
  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(SerWrite(Port, all.data(), 256), 256);
  std::vector<uint8_t> got;
  uint8_t buf[512];
  pollfd p{Master, POLLIN, 0};
  while (got.size() < all.size() && poll(&p, 1, 1000) == 1) {
    const ssize_t n = read(Master, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, all);
  EXPECT_EQ(SerWrite(Port, all.data(), 0), 0);
}

TEST_F(PtyTest, ClosedOrInvalidHandlesFailWithMinusOne) {
  OpenConfigured();
  const TSerialHandle closed = Port;
  SerClose(Port);
  Port = -1;
  uint8_t buf[4] = {1, 2, 3, 4};
  for (TSerialHandle h : {closed, TSerialHandle{-1}}) {
    EXPECT_EQ(SerRead(h, buf, 4), -1) << h;
    EXPECT_EQ(SerWrite(h, buf, 4), -1) << h;
  }
}

TEST(Ttyport, OpeningWhatIsNotATerminalFails) {
  EXPECT_EQ(SerOpen("/dev/chipfeed-no-such-port"), -1);
  EXPECT_EQ(SerOpen("/nonexistent-folder/ttyS0"), -1);
  EXPECT_EQ(SerOpen(""), -1);
  EXPECT_EQ(SerOpen("/dev/null"), -1);
  // An ordinary file named by mistake keeps its contents.
  char name[] = "/tmp/chipfeed-not-a-port-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_NE(fd, -1);
  ASSERT_EQ(write(fd, "image", 5), 5);
  close(fd);
  EXPECT_EQ(SerOpen(name), -1);
  struct stat info;
  EXPECT_EQ(stat(name, &info), 0);
  EXPECT_EQ(info.st_size, 5);
  unlink(name);
}

TEST_F(PtyTest, APortHeldByAnotherProcessCannotBeOpened) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  if (child == 0) {
    const TSerialHandle h = SerOpen(Slave);
    const char ok = h == -1 ? 'n' : 'y';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    char c;
    if (read(release[0], &c, 1) != 1) _exit(3);
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y') << "the other process could not open the port";
  EXPECT_EQ(SerOpen(Slave), -1);
  // Once the holder is gone, the port is free again.
  ASSERT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  Port = SerOpen(Slave);
  EXPECT_NE(Port, -1);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(PtyTest, OpeningDoesNotMakeItTheControllingTerminal) {
  const pid_t child = fork();
  if (child == 0) {
    if (setsid() == -1) _exit(2);  // a new session, with no controlling terminal
    const TSerialHandle h = SerOpen(Slave);
    if (h == -1) _exit(3);
    // With a controlling terminal, /dev/tty would open.
    _exit(open("/dev/tty", O_RDWR) == -1 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(PtyTest, OpenedPortsWriteAndReadInBlockingMode) {
  // Opened without waiting for a carrier, then switched back to blocking.
  Port = SerOpen(Slave);
  ASSERT_NE(Port, -1);
  EXPECT_EQ(fcntl(Port, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(PtyTest, DtrAndRtsTouchOnlyTheirOwnLine) {
  OpenConfigured();
  Ioctls.clear();
  SerSetDTR(Port, true);
  SerSetDTR(Port, false);
  SerSetRTS(Port, true);
  SerSetRTS(Port, false);
  ASSERT_EQ(Ioctls.size(), 4u);
  const unsigned long bis = TIOCMBIS, bic = TIOCMBIC;
  EXPECT_EQ(Ioctls[0].Request, bis);
  EXPECT_EQ(Ioctls[0].Mask, static_cast<uint32_t>(TIOCM_DTR));
  EXPECT_EQ(Ioctls[1].Request, bic);
  EXPECT_EQ(Ioctls[1].Mask, static_cast<uint32_t>(TIOCM_DTR));
  EXPECT_EQ(Ioctls[2].Request, bis);
  EXPECT_EQ(Ioctls[2].Mask, static_cast<uint32_t>(TIOCM_RTS));
  EXPECT_EQ(Ioctls[3].Request, bic);
  EXPECT_EQ(Ioctls[3].Mask, static_cast<uint32_t>(TIOCM_RTS));
  for (const auto& c : Ioctls) EXPECT_EQ(c.Fd, Port);
  // A pseudo-terminal has no modem lines: the kernel refuses the request
  // (ENOTTY), and the layer drops that without harm to the line.
  int lines = 0;
  EXPECT_EQ(ioctl(Port, TIOCMGET, &lines), -1);
  uint8_t b = 0x5A;
  EXPECT_EQ(SerWrite(Port, &b, 1), 1);
  EXPECT_FALSE(SerGetCTS(Port));
  EXPECT_FALSE(SerGetDSR(Port));
  EXPECT_FALSE(SerGetRI(Port));
}

TEST_F(PtyTest, SavedStateComesBackSettingsFirstThenModemLines) {
  OpenConfigured();
  const TSerialState saved = SerSaveState(Port);
  EXPECT_EQ(saved.tios.c_cflag, 0x18B2u);
  SerSetParams(Port, 9600, 7, EvenParity, 2, 0);
  Order.clear();
  Ioctls.clear();
  Tcsetattrs.clear();
  SerRestoreState(Port, saved);
  EXPECT_EQ(Order, (std::vector<char>{'t', 'i'}));
  ASSERT_EQ(Ioctls.size(), 1u);
  EXPECT_EQ(Ioctls[0].Request, static_cast<unsigned long>(TIOCMSET));
  EXPECT_EQ(Ioctls[0].Mask, saved.LineState);
  termios back;
  ASSERT_EQ(tcgetattr(Port, &back), 0);
  EXPECT_EQ(back.c_cflag, 0x18B2u);
}

// ---- The POSIX time base ----

TEST(TimeBase, TicksRunAtAHundredASecond) {
  const auto start = Clock::now();
  const uint32_t before = bootlink::GetTickCount();
  usleep(300000);
  const uint32_t ticks = bootlink::GetTickCount() - before;
  const long tenths = MsSince(start) / 10;  // however long the sleep really took
  EXPECT_GE(static_cast<long>(ticks), tenths - 3);
  EXPECT_LE(static_cast<long>(ticks), tenths + 3);
  EXPECT_GE(ticks, 28u);
}

TEST(TimeBase, DelayUsesOnlyTheLow16BitsOfItsMilliseconds) {
  for (uint32_t ms : {25u, 65561u}) {  // 65,561 = 65,536 + 25
    const auto start = Clock::now();
    bootlink::DelayMilliseconds(ms);
    const long took = MsSince(start);
    EXPECT_GE(took, 25) << ms;
    EXPECT_LT(took, 2000) << ms;  // far below the 65 s a full count would take
  }
  const auto start = Clock::now();
  bootlink::DelayMilliseconds(65536);
  EXPECT_LT(MsSince(start), 2000);
}

}  // namespace
