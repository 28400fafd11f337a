// Port transport, status lines and the one failure path of the engine.
//
// Outgoing bytes are collected in TxBuff and leave in writes of 256 bytes as
// the buffer fills, plus one shorter write when a transfer ends (TComm). The
// receive side refills RxBuff with whatever the port has, never waiting: all
// waiting is done by the bit receiver against the tick counter.
#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace bootlink {

using failreport::WriteLine;

// The boot loader's line: 115200 baud, 8 data bits, no parity, 1 stop bit,
// no flow control.
void OpenComm() {
  CommOpen = false;
  CommHandle = SerOpen(CommString);
  if (CommHandle == -1) CommError("Unable to open");
  SerSetParams(CommHandle, 115200, 8, NoneParity, 1, 0);
  TxBuffLength = 0;
  RxBuffStart = 0;
  RxBuffEnd = 0;
  CommOpen = true;
}

void CloseComm() {
  SerClose(CommHandle);
  CommOpen = false;
}

void TByte(uint8_t X) {
  TxBuff[TxBuffLength] = X;
  ++TxBuffLength;
  if (TxBuffLength == TxBuffSize) TComm();
}

// The whole queue goes in one write; a short write is fatal (no resend), so
// the chip never sees a stream with a hole in it.
void TComm() {
  // A write may wait on the line: let the user see every line first.
  failreport::FlushOutput();
  const int32_t BytesWritten = SerWrite(CommHandle, TxBuff.data(), static_cast<int32_t>(TxBuffLength));
  if (BytesWritten == -1) CommError("Unable to write to");
  if (static_cast<int64_t>(BytesWritten) != static_cast<int64_t>(TxBuffLength)) CommError("Transmit stall on");
  TxBuffLength = 0;
}

void RComm() {
  RxBuffStart = 0;
  RxBuffEnd = 0;
  failreport::FlushOutput();
  const int32_t BytesRead = SerRead(CommHandle, RxBuff.data(), static_cast<int32_t>(RxBuffSize));
  if (BytesRead == -1) CommError("Unable to read from");
  RxBuffEnd = static_cast<uint32_t>(BytesRead);
}

// The port is closed before anything is printed, so that whatever happens to
// the output, the device is released. The reason is shown only while
// AbortMode is true: inside the handshake a failure just means "no chip".
void CommError(const std::string& Msg) {
  if (CommOpen) CloseComm();
  if (AbortMode) {
    ProgressFormHide();
    WriteLine(Msg + " " + CommString);
  }
  WriteLine("Program aborted");
  throw failreport::EAbort();
}

void HardwareLostError() { CommError("Hardware lost on"); }

void ProgressFormStatusLabelRepaint() { WriteLine(ProgressFormStatusLabelCaption); }

// chipfeed has no progress window; the status lines are printed instead.
void ProgressFormHide() {}

}  // namespace bootlink
