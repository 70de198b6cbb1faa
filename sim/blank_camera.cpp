#include "sim/blank_camera.h"

#include <chrono>

namespace pxo::sim {

namespace {

constexpr int32_t kWidth = 320;
constexpr int32_t kHeight = 180;
constexpr auto kFramePeriod = std::chrono::microseconds(33333);

}  // namespace

BlankCamera::~BlankCamera() { stop(); }

bool BlankCamera::start(const std::string&, std::string*) {
  stop();
  running_ = true;
  thread_ = std::thread(&BlankCamera::captureLoop, this);
  return true;
}

void BlankCamera::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  stopRecordingAndExtraction();
}

void BlankCamera::captureLoop() {
  pxowin::BgraFrame frame;
  frame.width = kWidth;
  frame.height = kHeight;
  frame.stride = kWidth * 4;
  frame.pixels.assign(static_cast<size_t>(frame.stride) * kHeight, 0);
  for (size_t i = 3; i < frame.pixels.size(); i += 4) frame.pixels[i] = 255;
  const auto epoch = std::chrono::steady_clock::now();
  auto next = epoch;
  while (running_) {
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - epoch)
            .count();
    frame.timestamp = t;
    deliverFrame(frame, t);
    next += kFramePeriod;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace pxo::sim
