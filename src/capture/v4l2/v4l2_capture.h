#pragma once

#include "capture/camera_list.h"
#include "capture/pixel_convert.h"
#include "capture/recording_source.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// A local camera through V4L2: YUYV or Motion-JPEG frames converted to
// BGRA on a capture thread that feeds the callback and the recording;
// automatic exposure, focus, gain and backlight compensation frozen for a
// scan and restored on stop.

namespace pxowin {

// Cameras under `devDir` ("/dev" normally): every video-capture node, by a
// stable /dev/v4l/by-id path where one exists.
[[nodiscard]] bool enumerateV4l2Cameras(const std::string& devDir,
                                        std::vector<CameraDevice>* out,
                                        std::string* error);

class V4l2Capture final : public RecordingCaptureSource {
 public:
  V4l2Capture() = default;
  ~V4l2Capture() override;

  bool start(const std::string& deviceId, std::string* error) override;
  void stop() override;
  void setExposure(float level) override;
  bool lockCameraControls(std::optional<float> exposureLevel) override;
  // exposure_absolute (100 µs units) and the gain, while locked.
  std::optional<ExposureSetting> lockedExposure() override;
  bool setLockedExposure(const ExposureSetting& setting) override;

  const std::string& deviceName() const { return deviceName_; }

 private:
  struct SavedControl {
    int32_t value = 0;
    bool saved = false;
  };
  struct Buffer {
    void* start = nullptr;
    size_t length = 0;
  };

  void captureLoop();
  bool getControl(uint32_t id, int32_t* value) const;
  bool setControl(uint32_t id, int32_t value) const;
  bool controlRange(uint32_t id, int32_t* minimum, int32_t* maximum) const;
  void freeze(uint32_t id, SavedControl* saved, std::optional<int32_t> value);
  SavedControl* savedFor(uint32_t id);
  // Writes the restore record of the controls' values before the first
  // lock (restore_record.h); false when it could not be written.
  bool recordControls();
  // Puts the values back, checked; the record goes once they are back.
  void restoreControls();
  void closeDevice();

  int fd_ = -1;
  std::string deviceId_;
  // An earlier run's record that could not be put back: no lock over it.
  bool recordBlocked_ = false;
  std::string deviceName_;
  uint32_t pixelFormat_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::vector<Buffer> buffers_;
  std::unique_ptr<MjpegDecoder> mjpeg_;
  std::atomic<bool> running_{false};
  std::thread thread_;
  // Auto modes and values as they were before the scan froze them.
  SavedControl exposureAuto_, exposure_, focusAuto_, focus_, autoGain_, gain_,
      backlight_;
};

}  // namespace pxowin
