// ttyport: the POSIX serial port layer (Linux terminals).
//
// Each routine is one or two calls of the terminal interface. Failures are
// reported only where the callers need them (open, read, write: -1); the
// results of every other platform call are dropped on purpose.
#include "serial/serialport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

const uint32_t DTR = TIOCM_DTR;
const uint32_t RTS = TIOCM_RTS;

namespace {

// Speeds passed through to the line; every other value runs at 9600.
tcflag_t SpeedCode(int32_t BitsPerSec) {
  switch (BitsPerSec) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    default: return B9600;
  }
}

bool LineIsSet(TSerialHandle Handle, int Bit) {
  int status = 0;
  ioctl(Handle, TIOCMGET, &status);  // a failed query answers "not set"
  return (status & Bit) != 0;
}

}  // namespace

// open(2) with O_NOCTTY, so that a terminal device never becomes the
// controlling terminal of the process (a hang-up must not kill us).
// O_NONBLOCK keeps open from waiting for the carrier-detect line, which
// on a port with no modem attached may never come; blocking mode is then
// restored with fcntl(F_SETFL), because the rest of the layer relies on
// blocking writes (reads never wait anyway once VMIN = VTIME = 0).
// isatty(3) refuses anything that is not a terminal: a port name that is by
// mistake an ordinary file (the image itself, after a slip of the arguments)
// must not have the handshake written into it.
// flock(LOCK_EX | LOCK_NB) makes the port ours alone: a second loader on
// the same device gets -1 instead of interleaving its bytes with ours.
TSerialHandle SerOpen(const std::string& DeviceName) {
  const int fd = open(DeviceName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd == -1) return -1;
  const int flags = fcntl(fd, F_GETFL);
  if (!isatty(fd) || flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1 ||
      flock(fd, LOCK_EX | LOCK_NB) == -1) {
    close(fd);
    return -1;
  }
  return fd;
}

// close(2); the lock taken in SerOpen goes with the descriptor.
void SerClose(TSerialHandle Handle) { close(Handle); }

// fsync(2) and nothing else: it neither discards nor drains queued bytes.
void SerFlush(TSerialHandle Handle) { fsync(Handle); }

// read(2), result unchanged. With the settings of SerSetParams (VMIN = 0,
// VTIME = 0) it returns at once with what has arrived, 0 when nothing has.
int32_t SerRead(TSerialHandle Handle, void* Buffer, int32_t Count) {
  return static_cast<int32_t>(read(Handle, Buffer, static_cast<size_t>(Count)));
}

// write(2), result unchanged; a short count is the caller's business.
int32_t SerWrite(TSerialHandle Handle, const void* Buffer, int32_t Count) {
  return static_cast<int32_t>(write(Handle, Buffer, static_cast<size_t>(Count)));
}

// Builds the terminal record from zeros, so no earlier setting survives:
// raw 8-bit input and output (c_iflag, c_oflag, c_lflag all 0), no control
// characters (VMIN = VTIME = 0: reads never wait), HUPCL clear (closing the
// port leaves the modem lines alone). Then ioctl(TCFLSH, TCIOFLUSH) throws
// away both queues and tcsetattr(TCSANOW) applies the record at once.
void SerSetParams(TSerialHandle Handle, int32_t BitsPerSec, int32_t ByteSize,
                  TParityType Parity, int32_t StopBits, TSerialFlags Flags) {
  termios tios;
  std::memset(&tios, 0, sizeof tios);
  const tcflag_t speed = SpeedCode(BitsPerSec);
  tios.c_cflag = speed;
  tios.c_ispeed = speed;
  tios.c_ospeed = speed;
  tios.c_cflag |= CREAD | CLOCAL;
  switch (ByteSize) {
    case 5: tios.c_cflag |= CS5; break;
    case 6: tios.c_cflag |= CS6; break;
    case 7: tios.c_cflag |= CS7; break;
    default: tios.c_cflag |= CS8; break;
  }
  if (Parity == OddParity) tios.c_cflag |= PARENB | PARODD;
  if (Parity == EvenParity) tios.c_cflag |= PARENB;
  if (StopBits == 2) tios.c_cflag |= CSTOPB;
  if (Flags & RtsCtsFlowControl) tios.c_cflag |= CRTSCTS;
  ioctl(Handle, TCFLSH, TCIOFLUSH);
  tcsetattr(Handle, TCSANOW, &tios);
}

// ioctl(TIOCMGET) for the modem lines, then ioctl(TCGETS) for the settings.
TSerialState SerSaveState(TSerialHandle Handle) {
  TSerialState state;
  std::memset(&state, 0, sizeof state);
  int lines = 0;
  ioctl(Handle, TIOCMGET, &lines);
  state.LineState = static_cast<uint32_t>(lines);
  ioctl(Handle, TCGETS, &state.tios);
  return state;
}

// Settings first (tcsetattr), then all modem lines at once (TIOCMSET).
void SerRestoreState(TSerialHandle Handle, TSerialState State) {
  tcsetattr(Handle, TCSANOW, &State.tios);
  int lines = static_cast<int>(State.LineState);
  ioctl(Handle, TIOCMSET, &lines);
}

// TIOCMBIS raises and TIOCMBIC lowers the lines of the mask; the other
// modem lines stay as they are.
void SerSetDTR(TSerialHandle Handle, bool State) {
  ioctl(Handle, State ? TIOCMBIS : TIOCMBIC, &DTR);
}

void SerSetRTS(TSerialHandle Handle, bool State) {
  ioctl(Handle, State ? TIOCMBIS : TIOCMBIC, &RTS);
}

bool SerGetCTS(TSerialHandle Handle) { return LineIsSet(Handle, TIOCM_CTS); }
bool SerGetDSR(TSerialHandle Handle) { return LineIsSet(Handle, TIOCM_DSR); }
bool SerGetRI(TSerialHandle Handle) { return LineIsSet(Handle, TIOCM_RI); }
