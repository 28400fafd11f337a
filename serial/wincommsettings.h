// wincommsettings: the values that the Windows serial layer hands to Win32
// for a COM port, worked out without any Win32 header.
//
// SerSetParams (winport.cpp) builds a device control block (DCB) and a
// time-out record (COMMTIMEOUTS) from its arguments. The rules for those
// values live here, in plain records laid out field for field like the Win32
// ones, so that they compile on any host and can be tested without Windows;
// winport.cpp copies them into the real structures and checks at compile time
// that every constant below equals its Win32 counterpart.
#pragma once

#include <cstdint>
#include <string>

#include "serial/serialport.h"

// The device control block, in the order and widths of the Win32 DCB. The
// Win32 record packs its fourteen flags into bit fields of one 32-bit word;
// here that word is a plain number, `Flags`, with the bits named below.
struct TCommDcb {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t Flags;
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;
};

// The time-out record, in the order of the Win32 COMMTIMEOUTS.
struct TCommTimeoutValues {
  uint32_t ReadIntervalTimeout;
  uint32_t ReadTotalTimeoutMultiplier;
  uint32_t ReadTotalTimeoutConstant;
  uint32_t WriteTotalTimeoutMultiplier;
  uint32_t WriteTotalTimeoutConstant;
};

// Everything SerSetParams applies, in the order it applies it: the purge
// flags for PurgeComm, the DCB for SetCommState, the time-outs for
// SetCommTimeouts.
struct TCommSettings {
  uint32_t PurgeFlags;
  TCommDcb Dcb;
  TCommTimeoutValues Timeouts;
};

// Size of the Win32 DCB, which goes into its DCBlength field.
constexpr uint32_t CommDcbLength = 28;

// Bits of the DCB flag word, numbered as in the Win32 bit fields (fBinary is
// bit 0, fRtsControl bits 12 and 13, and so on).
constexpr uint32_t DcbBinary = 1u << 0;            // fBinary: no end-of-file check
constexpr uint32_t DcbParity = 1u << 1;            // fParity: check parity on input
constexpr uint32_t DcbOutxCtsFlow = 1u << 2;       // fOutxCtsFlow: CTS gates output
constexpr uint32_t DcbOutxDsrFlow = 1u << 3;       // fOutxDsrFlow: DSR gates output
constexpr unsigned DcbDtrControlShift = 4;         // fDtrControl: 2 bits
constexpr uint32_t DcbDsrSensitivity = 1u << 6;    // fDsrSensitivity
constexpr uint32_t DcbTXContinueOnXoff = 1u << 7;  // fTXContinueOnXoff
constexpr uint32_t DcbOutX = 1u << 8;              // fOutX: XON/XOFF on output
constexpr uint32_t DcbInX = 1u << 9;               // fInX: XON/XOFF on input
constexpr uint32_t DcbErrorChar = 1u << 10;        // fErrorChar
constexpr uint32_t DcbNull = 1u << 11;             // fNull: drop NUL bytes
constexpr unsigned DcbRtsControlShift = 12;        // fRtsControl: 2 bits
constexpr uint32_t DcbAbortOnError = 1u << 14;     // fAbortOnError

// Codes of the Win32 headers used in the records.
constexpr uint32_t RtsControlHandshake = 2;  // RTS_CONTROL_HANDSHAKE
constexpr uint8_t OneStopBit = 0;            // ONESTOPBIT
constexpr uint8_t TwoStopBits = 2;           // TWOSTOPBITS
constexpr uint32_t PurgeTxClear = 0x4;       // PURGE_TXCLEAR
constexpr uint32_t PurgeRxClear = 0x8;       // PURGE_RXCLEAR
constexpr uint32_t MaxDword = 0xFFFFFFFFu;   // MAXDWORD

// The values SerSetParams applies for these arguments. Both records start
// from zeros, so nothing of an earlier setting survives:
//  - BaudRate: one of the Win32 standard rates (110 ... 256000) as given,
//    9600 for anything else;
//  - ByteSize: 4 to 7 as given, 8 for anything else;
//  - Parity: the ordinal of TParityType, which is the Win32 parity code;
//    parity is never checked on input (fParity clear);
//  - StopBits: two when asked for 2, one otherwise;
//  - RtsCtsFlowControl: CTS gates output and RTS follows the input buffer;
//  - reads return at once with what has arrived (ReadIntervalTimeout =
//    MAXDWORD, both read totals 0) and writes have no time-out.
TCommSettings BuildCommSettings(int32_t BitsPerSec, int32_t ByteSize, TParityType Parity,
                                int32_t StopBits, TSerialFlags Flags);

// The path CreateFileA opens for a port name: "\\.\" in front of it, always
// (also in front of a name that carries it already). The prefix reaches
// COM10 and above, which have no plain DOS name.
std::string CommDevicePath(const std::string& DeviceName);
