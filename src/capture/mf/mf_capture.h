#pragma once

#include "capture/camera_list.h"
#include "capture/mf/mf_platform.h"
#include "capture/recording_source.h"
#include "controller/restore_record.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// A local camera through Media Foundation: the device's source reader
// hands RGB32 (or NV12, converted here) frames to a capture thread that
// feeds the callback and the recording; automatic exposure, focus, gain and
// backlight compensation frozen for a scan and restored on stop.
//
// Threads: start, stop and the controls on the caller's thread; frames on
// the capture thread. stop() must not be called from the capture thread.

namespace pxowin {

class MFCapture final : public RecordingCaptureSource {
 public:
  MFCapture() = default;
  ~MFCapture() override;

  bool start(const std::string& deviceId, std::string* error) override;
  void stop() override;
  // "not started" before start() succeeded.
  bool startRecording(const std::filesystem::path& path,
                      std::string* error) override;
  void setExposure(float level) override;
  bool lockCameraControls(std::optional<float> exposureLevel) override;
  // The exposure (the camera's log2 seconds) and the gain, while locked.
  std::optional<ExposureSetting> lockedExposure() override;
  bool setLockedExposure(const ExposureSetting& setting) override;

  const std::string& deviceName() const { return deviceName_; }

 private:
  struct SavedControl {
    long value = 0;
    long flags = 0;
    bool saved = false;
  };
  // One camera property: exposure and focus through the camera control,
  // gain and backlight compensation through the amplifier.
  struct Property {
    bool amplifier;
    long id;
    SavedControl* saved;
  };

  void captureLoop();
  bool range(const Property& p, long* minimum, long* maximum, long* caps);
  bool get(const Property& p, long* value, long* flags);
  bool set(const Property& p, long value, long flags);
  // Saves the control the first time and sets it manual at `value`, or at
  // the value it has when none is given.
  void freeze(const Property& p, std::optional<long> value);
  std::vector<Property> frozenProperties();
  // Writes the restore record of the controls' values before the first
  // lock (restore_record.h); false when it could not be written.
  bool recordControls();
  bool applyControls(const std::vector<pxo::CameraControlValue>& controls);
  // An earlier run's record for this camera put back, checked, and removed.
  bool putBackRecordedControls(std::string* error);
  // Puts the values back, checked; the record goes once they are back.
  void restoreControls();
  void closeCamera();
  Property exposureProperty() { return {false, 4, &exposure_}; }
  Property gainProperty() { return {true, 9, &gain_}; }

  mf::Started started_;
  mf::ComPtr<IMFMediaSource> source_;
  mf::ComPtr<IMFSourceReader> reader_;
  mf::VideoFormat format_;  // under formatMutex_
  std::mutex formatMutex_;
  std::string deviceName_;
  std::string deviceId_;
  bool recordBlocked_ = false;
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::mutex endMutex_;
  std::condition_variable ended_;
  bool threadEnded_ = false;  // under endMutex_
  SavedControl exposure_, focus_, gain_, backlight_;
};

}  // namespace pxowin
