#include "scan/pixel_sink.h"

#include "scan/ddp_sender.h"
#include "scan/e131_sender.h"
#include "scan/e131_source.h"

#include <vector>

namespace pxo {

namespace {

inline constexpr char kE131SourceName[] = "pixoria";

class DdpSink final : public PixelSink {
 public:
  DdpSink(DdpSenderPtr sender, int64_t offset)
      : sender_(std::move(sender)), offset_(offset) {}
  int send(std::span<const uint8_t> frame) override {
    return sendDdpFrame(sender_.get(), frame, offset_);
  }

 private:
  DdpSenderPtr sender_;
  int64_t offset_;
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
                                       std::string* error) {
  DdpSenderPtr sender(openDdpSender(host.c_str()));
  if (!sender) {
    if (error) *error = "could not open DDP socket";
    return nullptr;
  }
  return std::make_unique<DdpSink>(std::move(sender), offset);
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
    case ControllerKind::kWled:
      return openDdpSink(link.host, 0, error);
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
