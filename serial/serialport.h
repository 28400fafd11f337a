// The serial port layer: one small set of routines over one serial device.
//
// Two variants sit side by side and offer the same names and types:
//   ttyport.cpp  - POSIX terminals (Linux), termios + ioctl
//   winport.cpp  - Win32 COM ports
// The layer keeps no state, prints nothing and raises nothing: open, read and
// write report failure with -1, every other routine drops the results of its
// platform calls.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
// A Win32 HANDLE is pointer-wide; INVALID_HANDLE_VALUE is all bits set, so it
// compares equal to -1 whatever the width.
using TSerialHandle = intptr_t;
#else
#include <termios.h>
// The POSIX file descriptor of the open device; -1 when opening failed.
using TSerialHandle = int32_t;
#endif

enum TParityType : int32_t { NoneParity = 0, OddParity = 1, EvenParity = 2 };

// A set over a one-member enumeration, held in a 32-bit word: bit 0 stands for
// RtsCtsFlowControl. The empty set (0) means no hardware flow control.
using TSerialFlags = uint32_t;
constexpr TSerialFlags RtsCtsFlowControl = 1u << 0;

TSerialHandle SerOpen(const std::string& DeviceName);
void SerClose(TSerialHandle Handle);
int32_t SerRead(TSerialHandle Handle, void* Buffer, int32_t Count);
int32_t SerWrite(TSerialHandle Handle, const void* Buffer, int32_t Count);
void SerSetParams(TSerialHandle Handle, int32_t BitsPerSec, int32_t ByteSize,
                  TParityType Parity, int32_t StopBits, TSerialFlags Flags);
void SerSetDTR(TSerialHandle Handle, bool State);

#ifndef _WIN32
// The POSIX variant's complete port state: modem lines and terminal settings.
struct TSerialState {
  uint32_t LineState;
  termios tios;
};

// Masks handed to the modem-line ioctls of SerSetDTR and SerSetRTS.
extern const uint32_t DTR;
extern const uint32_t RTS;

void SerFlush(TSerialHandle Handle);
TSerialState SerSaveState(TSerialHandle Handle);
void SerRestoreState(TSerialHandle Handle, TSerialState State);
void SerSetRTS(TSerialHandle Handle, bool State);
bool SerGetCTS(TSerialHandle Handle);
bool SerGetDSR(TSerialHandle Handle);
bool SerGetRI(TSerialHandle Handle);
#endif
