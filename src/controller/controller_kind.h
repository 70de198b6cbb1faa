#pragma once

#include <cstdint>
#include <string>

// The kinds of pixel controller a scan drives, and what the user tells of a
// receiver that is driven as the show already drives it (plain_receiver.h).

namespace pxo {

enum class ControllerKind : int32_t {
  kFpp = 0,   // reconfigured for the scan through its HTTP API, then restored
  kWled = 1,  // its realtime input; only its on/off and brightness change
  kDdp = 2,   // any DDP receiver, as it is
  kE131 = 3,  // any E1.31 receiver, as it is
};

// The most pixels one receiver is scanned with (E1.31's universes hold
// about 10 million channels; no prop comes near).
inline constexpr int32_t kMaxReceiverPixels = 1 << 20;

struct PlainReceiver {
  std::string host;  // a name or an IPv4 address; "multicast" for E1.31
  int32_t pixels = 0;
  std::string colorOrder = "RGB";
  // The first channel of the first pixel, 1-based: DDP's channel (data
  // offset + 1); E1.31's slot in the first universe.
  int32_t startChannel = 1;
  // E1.31 only.
  int32_t universe = 1;
  int32_t universeSize = 510;
};

}  // namespace pxo
