#pragma once

#include "capture/recording_source.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

// A camera that films a dark room: small black frames at 30 frames a second
// on a thread of its own, recorded and read back like any camera's. For
// trying the controller link (pixoria scan --controller HOST --camera
// sim:black) and its interrupt paths without a camera; a scan with it finds
// no LEDs.

namespace pxo::sim {

class BlankCamera final : public pxowin::RecordingCaptureSource {
 public:
  ~BlankCamera() override;
  bool start(const std::string& deviceId, std::string* error) override;
  void stop() override;
  void setExposure(float) override {}
  bool lockCameraControls(std::optional<float>) override { return true; }

 private:
  void captureLoop();
  std::atomic<bool> running_{false};
  std::thread thread_;
};

}  // namespace pxo::sim
