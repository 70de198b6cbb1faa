#include "scan/pixel_sink.h"

#include "controller/wled_controller.h"
#include "scan/ddp_sender.h"
#include "scan/e131_sender.h"
#include "scan/e131_source.h"

#include <vector>

namespace pxo {

namespace {

inline constexpr char kE131SourceName[] = "pixoria";

// Frame byte `skip` on goes to DDP offset `offset`; the bytes before it
// are for channels the controller's DDP input cannot reach.
class DdpSink final : public PixelSink {
 public:
  DdpSink(DdpSenderPtr sender, int64_t offset, size_t skip)
      : sender_(std::move(sender)), offset_(offset), skip_(skip) {}
  int send(std::span<const uint8_t> frame) override {
    if (frame.size() <= skip_) return 0;
    return sendDdpFrame(sender_.get(), frame.subspan(skip_), offset_);
  }

 private:
  DdpSenderPtr sender_;
  int64_t offset_;
  size_t skip_;
};

class E131Sink final : public PixelSink {
 public:
  explicit E131Sink(std::unique_ptr<E131Sender> sender)
      : sender_(std::move(sender)) {}
  int send(std::span<const uint8_t> frame) override {
    return sendE131Frame(*sender_, frame);
  }
  int finish() override { return sendE131StreamTerminated(*sender_); }

 private:
  std::unique_ptr<E131Sender> sender_;
};

std::unique_ptr<PixelSink> openDdpSink(const std::string& host,
                                       int64_t offset,
                                       std::string* error,
                                       size_t skip = 0) {
  DdpSenderPtr sender(openDdpSender(host.c_str()));
  if (!sender) {
    if (error) *error = "could not open DDP socket";
    return nullptr;
  }
  return std::make_unique<DdpSink>(std::move(sender), offset, skip);
}

}  // namespace

int sendBlackout(PixelSink* sink, int32_t length) {
  if (!sink) return -1;
  if (length < 1) return 0;
  const std::vector<uint8_t> dark(static_cast<size_t>(length), 0);
  return sink->send(dark);
}

std::unique_ptr<PixelSink> openPixelSink(const ControllerLink& link,
                                         std::string* error,
                                         std::string* warning) {
  switch (link.kind) {
    case ControllerKind::kFpp:
      return openDdpSink(link.host, 0, error);
    case ControllerKind::kWled: {
      // WLED moves DDP data on by its DMX start address and LED offset.
      const int64_t shift = int64_t{wledDdpShift(link.wled)} * 3;
      return shift >= 0
                 ? openDdpSink(link.host, 0, error, static_cast<size_t>(shift))
                 : openDdpSink(link.host, -shift, error);
    }
    case ControllerKind::kDdp:
      return openDdpSink(link.host, link.receiver.startChannel - 1, error);
    case ControllerKind::kE131: {
      E131Source source;
      source.name = kE131SourceName;
      std::string kept;
      if (!installationE131Cid(&source.cid, &kept)) {
        if (error) *error = "could not make an E1.31 source identifier";
        return nullptr;
      }
      if (warning) *warning = kept;
      E131Layout layout;
      layout.firstUniverse = static_cast<uint16_t>(link.receiver.universe);
      layout.universeSize = link.receiver.universeSize;
      layout.startChannel = link.receiver.startChannel;
      auto sender = openE131Sender(link.host, source, layout, error);
      if (!sender) return nullptr;
      return std::make_unique<E131Sink>(std::move(sender));
    }
  }
  if (error) *error = "could not open DDP socket";
  return nullptr;
}

}  // namespace pxo
