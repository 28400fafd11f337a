// bootlink: the boot protocol engine.
//
// One module whose procedures share one set of module-level variables: the
// link to the chip (transport, receive and transmit buffers, the abort path),
// the long encoding and the timed bit receiver, the chip reset by DTR or GPIO
// pin, the handshake and version detection, and the download.
//
// Every failure of the engine goes through CommError, which closes the port,
// prints its reason (only while AbortMode is true) and "Program aborted", and
// raises failreport::EAbort. The abort is caught in one place only:
// HardwareFound, which turns a failed handshake into "no chip found".
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "serial/serialport.h"

namespace bootlink {

// The long image buffer: 8,193 longs, indexes 0 to 8192.
constexpr int32_t BufferLongs = 8193;
using TLongArray = std::array<uint32_t, BufferLongs>;

// ---- Module state, in declaration order; all zero/false/empty at start ----
extern TLongArray Buffer;        // the long image, filled by the image loader
extern int32_t LongCount;        // longs loaded into Buffer
extern std::string CommString;   // serial device name (argument after -d)
extern std::string ResetPinPort; // "-" for DTR reset, else a gpio directory name
constexpr uint32_t TxBuffSize = 256;
constexpr uint32_t RxBuffSize = 256;
extern bool CommOpen;
extern TSerialHandle CommHandle;
extern uint32_t TxBuffLength;
extern std::array<uint8_t, TxBuffSize> TxBuff;
extern uint32_t RxBuffStart;
extern uint32_t RxBuffEnd;
extern std::array<uint8_t, RxBuffSize> RxBuff;
extern uint8_t LFSR;
extern uint8_t Version;
extern bool VersionMode;
extern bool AbortMode;
extern std::string ProgressFormStatusLabelCaption;

// Module end: release the engine's text strings. Runs at every end of the
// process, normal or through a failure; touches nothing else.
void FinalizeModule();

// ---- Port transport, status lines and the abort path ----
void OpenComm();
void CloseComm();
void TByte(uint8_t X);
void TComm();
void RComm();
[[noreturn]] void CommError(const std::string& Msg);
[[noreturn]] void HardwareLostError();
void ProgressFormStatusLabelRepaint();
void ProgressFormHide();

// ---- Long encoding, bit receive and time base ----
void TLong(uint32_t X);
uint8_t RBit(bool Echo, int32_t Timeout);
// Tick counter: clock ticks of times() on Linux (100 a second), milliseconds
// on Windows. Only differences of two readings mean anything.
uint32_t GetTickCount();
// Pauses for MS modulo 65,536 milliseconds. Pending output lines are flushed
// first, so that a user sees every line before the program waits.
void DelayMilliseconds(uint32_t MS);

// ---- Chip reset ----
void ResetHardware();
void ResetDTR();
void ResetPin();
void OpenPin();
void ClosePin();

// ---- Handshake and detection ----
uint8_t IterateLFSR();
bool HardwareFound();
void FindAnyHardware();
void GetHardwareVersion();

// ---- Download ----
void TalkToHardware(int32_t LongCount, uint8_t Command);

}  // namespace bootlink
