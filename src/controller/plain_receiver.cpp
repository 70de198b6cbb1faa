#include "controller/plain_receiver.h"

#include <algorithm>

namespace pxo {

namespace {

constexpr int64_t kLastE131Universe = 63999;
constexpr int32_t kMaxE131Slots = 512;
constexpr int64_t kMaxDdpOffset = 0xFFFFFFFFLL;

}  // namespace

bool isColorOrder(const std::string& order) {
  if (order.size() != 3 && order.size() != 4) return false;
  const std::string needed = order.size() == 3 ? "BGR" : "BGRW";
  std::string sorted = order;
  std::sort(sorted.begin(), sorted.end());
  return sorted == needed;
}

bool checkPlainReceiver(ControllerKind kind,
                        const PlainReceiver& receiver,
                        std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  if (kind != ControllerKind::kDdp && kind != ControllerKind::kE131)
    return fail("not a DDP or E1.31 receiver");
  if (receiver.host.empty()) return fail("no receiver address given");
  if (receiver.pixels < 1 || receiver.pixels > kMaxReceiverPixels)
    return fail("the pixel count must be 1 to " +
                std::to_string(kMaxReceiverPixels));
  if (!isColorOrder(receiver.colorOrder))
    return fail("unknown colour order \"" + receiver.colorOrder +
                "\" (RGB, GRB, BGR, RGBW, …)");
  const int64_t channels = int64_t{receiver.pixels} *
                           static_cast<int64_t>(receiver.colorOrder.size());
  if (kind == ControllerKind::kDdp) {
    if (receiver.startChannel < 1)
      return fail("the start channel must be 1 or more");
    if (receiver.startChannel - 1 + channels > kMaxDdpOffset)
      return fail("the channel range runs past what DDP can address");
    return true;
  }
  if (receiver.universeSize < 1 || receiver.universeSize > kMaxE131Slots)
    return fail("the universe size must be 1 to 512");
  if (receiver.universe < 1 || receiver.universe > kLastE131Universe)
    return fail("the universe must be 1 to 63999");
  if (receiver.startChannel < 1 ||
      receiver.startChannel > receiver.universeSize)
    return fail("the start channel must lie in the first universe (1 to " +
                std::to_string(receiver.universeSize) + ")");
  const int64_t last = receiver.startChannel - 1 + channels - 1;
  if (receiver.universe + last / receiver.universeSize > kLastE131Universe)
    return fail("the channel range runs past universe 63999");
  return true;
}

bool connectPlainReceiver(ControllerLink* link,
                          ControllerKind kind,
                          const PlainReceiver& receiver,
                          std::string* error) {
  if (!checkPlainReceiver(kind, receiver, error)) return false;
  link->kind = kind;
  link->host = receiver.host;
  link->receiver = receiver;
  link->ports.clear();
  ControllerPort port;
  port.portNumber = 0;
  port.pixelCount = receiver.pixels;
  port.colorOrder = receiver.colorOrder;
  port.channelsPerPixel = static_cast<int32_t>(receiver.colorOrder.size());
  port.selected = true;
  port.channelEnd = receiver.pixels * port.channelsPerPixel;
  link->ports.push_back(port);
  link->hostName = receiver.host;
  link->platform = controllerKindName(kind);
  return true;
}

const char* controllerKindName(ControllerKind kind) {
  switch (kind) {
    case ControllerKind::kFpp:
      return "FPP";
    case ControllerKind::kWled:
      return "WLED";
    case ControllerKind::kDdp:
      return "DDP";
    case ControllerKind::kE131:
      return "E1.31";
  }
  return "FPP";
}

}  // namespace pxo
