#pragma once

#include "controller/fpp_client.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

// Where a scan's frames go, whatever the controller: DDP to an FPP or WLED
// controller or a plain DDP receiver, or E1.31 to a receiver (unicast or
// multicast). A frame's byte i is channel i of the scan's block; the sink
// puts it where the controller takes it (an FPP controller's block starts
// at its channel 1; a receiver's at the start channel the user gave).
//
//   auto sink = openPixelSink(session.controller, &error, &warning);
//   sink->send(frame);
//   sendBlackout(sink.get(), channelCount);
//   sink->finish();
//
// Threads: the keep-alive thread and the scan's thread send through one
// sink at once; each frame goes out whole under the sender's own mutex.

namespace pxo {

class PixelSink {
 public:
  virtual ~PixelSink() = default;
  // 0 when the whole frame went out; negative when it could not be sent.
  virtual int send(std::span<const uint8_t> frame) = 0;
  // The end of the stream: E1.31's stream-terminated packets, so the
  // receiver goes back to its show at once; nothing for DDP.
  virtual int finish() { return 0; }
};

// Sends `length` zero bytes; 0 for a length below 1.
int sendBlackout(PixelSink* sink, int32_t length);

// A sink to the controller `link` is connected to. Null with a message for
// a host that does not resolve or a socket that cannot be made
// ("could not open DDP socket", "could not resolve …"). `warning` gets
// what the user should know but does not stop the scan (an E1.31 source
// identifier that could not be kept).
std::unique_ptr<PixelSink> openPixelSink(const ControllerLink& link,
                                         std::string* error,
                                         std::string* warning = nullptr);

}  // namespace pxo
