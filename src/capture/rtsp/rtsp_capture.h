#pragma once

#include "capture/media.h"
#include "capture/recording_source.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace pxo {
struct RtspSession;
}

// A network camera: an RTSP/H.264 stream received on a capture thread,
// its access units timed by the RTP clock (wrap-around absorbed), decoded
// for the live picture only while a frame callback is installed (longer
// side at most 640 pixels), and recorded as the camera sent them: the
// recording starts at a key frame and is never re-encoded. Exposure and
// the camera's automatic controls are the camera's own business.
//
// Threads: the capture thread runs the reader, the depacketiser callbacks,
// decoding and writing; every operation runs on the caller's thread.

namespace pxowin {

inline constexpr int32_t kLivePictureMaxDimension = 640;

class RTSPCapture final : public RecordingCaptureSource {
 public:
  RTSPCapture(std::string url, std::string user, std::string password);
  ~RTSPCapture() override;

  // The device identifier is ignored: the URL says which camera.
  bool start(const std::string& deviceId, std::string* error) override;
  void stop() override;
  void setExposure(float level) override;
  bool lockCameraControls(std::optional<float> exposureLevel) override;

  // The picture size from the stream's SPS; 0 × 0 until known.
  std::pair<int32_t, int32_t> streamSize() const;
  // Whether the reader ended by itself (the camera closed the connection
  // or went silent): no more frames will come until stop and start.
  bool streamEnded() const { return ended_; }
  // The stream ended or stalled (no access unit for kStallSeconds after
  // they had been coming), or cannot be recorded: why, naming the camera.
  std::string failure() override;

  static constexpr double kStallSeconds = 3;

 private:
  void onParameterSets(std::string_view sps, std::string_view pps);
  void onAccessUnit(std::span<const std::string_view> units,
                    uint32_t timestamp,
                    bool key);

  std::string url_, user_, password_;
  std::unique_ptr<pxo::RtspSession> session_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int32_t> end_{0};  // how the reader ended (pxo::RtspEnd)
  // Steady-clock nanoseconds of the newest access unit; 0 before one.
  std::atomic<int64_t> lastUnitAt_{0};
  std::string cameraName_;  // host:port, no credentials

  mutable std::mutex parameterMutex_;
  std::string sps_, pps_;  // under parameterMutex_
  int32_t width_ = 0;      // under parameterMutex_
  int32_t height_ = 0;     // under parameterMutex_
  bool parametersReady_ = false;

  // Capture thread only.
  int32_t clockRate_ = 90000;
  bool timestampReset_ = true;
  uint32_t lastRtpTimestamp_ = 0;
  int64_t elapsedTicks_ = 0;
  std::string annexB_;
  std::unique_ptr<H264Decoder> decoder_;
  bool decoderReady_ = false;
};

}  // namespace pxowin
