// The download: the second contact of a run. After the handshake the host
// sends the command; for commands 1 to 3 the count and the longs follow, and
// the chip answers one acknowledgement bit per phase (0 = good): the RAM
// checksum, and for the EEPROM commands 2 and 3 the programming and verify.
#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace bootlink {

using failreport::WriteLine;

namespace {

void ShowStatus(const char* Caption) {
  ProgressFormStatusLabelCaption = Caption;
  ProgressFormStatusLabelRepaint();
}

// One acknowledgement: echo bytes every 25 ms until the chip answers.
void AwaitAcknowledgement(const char* Caption, int32_t Timeout, const char* Reason) {
  ShowStatus(Caption);
  if (RBit(true, Timeout) == 1) CommError(Reason);
}

}  // namespace

void TalkToHardware(int32_t LongCount, uint8_t Command) {
  VersionMode = false;
  // The buffer holds 8,193 longs; a larger count would send memory that is
  // not the image. The loader never asks for it; refuse before the chip is
  // touched rather than send a cut image as if it were whole.
  if (LongCount < 0 || LongCount > BufferLongs) CommError("Image too large for");
  FindAnyHardware();
  TLong(Command);
  TComm();
  if (Command > 0) {
    ShowStatus("Loading RAM");
    TLong(static_cast<uint32_t>(LongCount));
    WriteLine("Buffer length : " + std::to_string(LongCount));
    for (int32_t I = 0; I < LongCount; ++I) {
      WriteLine(" i :" + std::to_string(I) + " Buffer[i] :" + std::to_string(Buffer[I]));
      TLong(Buffer[I]);
    }
    TComm();
    AwaitAcknowledgement("Verifying RAM", 2500, "RAM checksum error on");
    if (Command > 1) {
      AwaitAcknowledgement("Programming EEPROM", 5000, "EEPROM programming error on");
      AwaitAcknowledgement("Verifying EEPROM", 2500, "EEPROM verify error on");
    }
  }
  CloseComm();
  ProgressFormHide();
}

}  // namespace bootlink
