// The engine's module state: one set of variables shared by every procedure
// of the protocol engine, and by the front end for the four settings it fills.
#include "bootlink/bootlink.h"

namespace bootlink {

TLongArray Buffer{};
int32_t LongCount = 0;
std::string CommString;
std::string ResetPinPort;
bool CommOpen = false;
TSerialHandle CommHandle = 0;
uint32_t TxBuffLength = 0;
std::array<uint8_t, TxBuffSize> TxBuff{};
uint32_t RxBuffStart = 0;
uint32_t RxBuffEnd = 0;
std::array<uint8_t, RxBuffSize> RxBuff{};
uint8_t LFSR = 0;
uint8_t Version = 0;
bool VersionMode = false;
bool AbortMode = false;
std::string ProgressFormStatusLabelCaption;

void FinalizeModule() {
  CommString.clear();
  CommString.shrink_to_fit();
  ResetPinPort.clear();
  ResetPinPort.shrink_to_fit();
  ProgressFormStatusLabelCaption.clear();
  ProgressFormStatusLabelCaption.shrink_to_fit();
}

}  // namespace bootlink
