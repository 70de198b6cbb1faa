#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The camera contract: every camera (a local one, a network one, the
// virtual rig's) is driven through ICaptureSource. The window shows its
// frames through a callback; the scan run freezes its automatic controls,
// records it to an H.264 MP4 file with named time marks, and afterwards
// reads single frames back out of the finished file.
//
// Calling order the scan run uses: lockCameraControls, startRecording,
// waitForRecordedFrame(5.0), addMark per pattern, stopRecording, takeMarks,
// stop, then any number of extractFrame calls on the stopped source.
//
// Threads: the callback runs on the source's capture thread; the other
// operations on the caller's thread. stop() must not be called from the
// capture thread.

namespace pxowin {

class RecordedFrames;

// One picture: B, G, R, A bytes per pixel, top row first, rows packed.
struct BgraFrame {
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;  // width × 4
  std::vector<uint8_t> pixels;
  double timestamp = 0;  // seconds
};

struct CaptureMark {
  std::string label;
  double time = 0;  // seconds since the first frame of the recording
};

using FrameCallback = std::function<void(const BgraFrame&)>;

// What a camera with its controls locked exposes with, where it lets that be
// set: the exposure time and the shortest it takes, and the gain in the
// camera's own units with its least (equal when it has no gain control).
struct ExposureSetting {
  double seconds = 0;
  double minimumSeconds = 0;
  double gain = 0;
  double minimumGain = 0;
};

// A compressed stream's reorder depth in pictures, and what gave it.
struct StreamReorder {
  int32_t frames = 0;
  std::string from;
};

class ICaptureSource {
 public:
  virtual ~ICaptureSource() = default;

  // Opens the camera (empty id: the first one) and starts capturing.
  [[nodiscard]] virtual bool start(const std::string& deviceId,
                                   std::string* error) = 0;
  // Stops capturing, finalises an open recording, restores frozen
  // controls. Safe when not started.
  virtual void stop() = 0;
  virtual void setFrameCallback(FrameCallback callback) = 0;
  // Exposure level 0 ... 1 (clamped) onto the camera's range, manual.
  virtual void setExposure(float level) = 0;
  // Freezes automatic exposure, focus, gain and backlight compensation
  // until stop(). Always true.
  virtual bool lockCameraControls(std::optional<float> exposureLevel) = 0;
  // Records H.264 MP4 from the next frame on; clears the marks.
  [[nodiscard]] virtual bool startRecording(const std::filesystem::path& path,
                                            std::string* error) = 0;
  // Asks that the next recording (that one only) be written with its longer
  // side at most `maxDimension`, as downscaleFrame reduces a frame: for
  // recordings only read back at that size and then deleted. A source that
  // records its stream as it arrives may ignore it.
  virtual void reduceNextRecording(int32_t maxDimension) { (void)maxDimension; }
  // Asks that the next recording's frames (that one only) also be kept in
  // memory as they are recorded, reduced to at most `maxDimension` and
  // `maxBytes` at once, so they can be read while it goes on
  // (capture/recorded_frames.h). Null from a source that cannot: its
  // frames are read from the finished file.
  virtual std::shared_ptr<RecordedFrames> keepFramesOfNextRecording(
      int32_t maxDimension, size_t maxBytes) {
    (void)maxDimension;
    (void)maxBytes;
    return nullptr;
  }
  // Finalises an open recording and returns its path; nothing otherwise.
  virtual std::optional<std::filesystem::path> stopRecording() = 0;
  // True once a frame went into the current recording; false after
  // `timeoutSeconds` without one.
  virtual bool waitForRecordedFrame(double timeoutSeconds) = 0;
  // True once the started source delivers a frame after this call; false
  // after `timeoutSeconds` without one (a camera that opened but shows
  // nothing).
  virtual bool waitForFrame(double timeoutSeconds) = 0;
  virtual void addMark(const std::string& label) = 0;
  // Moves the marks out; the source's list is empty afterwards.
  virtual std::vector<CaptureMark> takeMarks() = 0;
  // The frame of the last recording shown at `time`, scaled so its longer
  // side is at most `maxDimension` (0: full size).
  [[nodiscard]] virtual bool extractFrame(double time,
                                          int32_t maxDimension,
                                          BgraFrame& out,
                                          std::string* error) = 0;
  // After lockCameraControls: the exposure the camera is locked at, when its
  // exposure time can be set; nullopt for a camera that does not let it be
  // set (a network camera, one without the control).
  virtual std::optional<ExposureSetting> lockedExposure() {
    return std::nullopt;
  }
  // Sets the locked camera's exposure time and gain (each clamped to the
  // camera's range); stop() puts back what the camera had before the lock.
  // False when the camera does not let them be set.
  virtual bool setLockedExposure(const ExposureSetting& setting) {
    (void)setting;
    return false;
  }
  // Why the started source can no longer give a scan what it needs (a
  // network camera that stopped sending, a stream that cannot be recorded
  // with the right times): a message for the user, naming the camera.
  // Empty while it can. The scan stops at once when it is not.
  virtual std::string failure() { return ""; }
  // Reserved; answers nothing.
  virtual std::optional<int32_t> reserved() { return std::nullopt; }
  // For a camera that sends a compressed stream with B-frames: how many
  // pictures of the last recording came ahead of their decode order at
  // most, and what said so ("sps", "level", or "stream" where it was
  // measured). Nothing for other cameras, or before a recording.
  virtual std::optional<StreamReorder> streamReorder() { return std::nullopt; }
};

// Nearest-neighbour reduction so that the longer side is at most
// `maxDimension`; a copy when it already is (or maxDimension < 1).
BgraFrame downscaleFrame(const BgraFrame& frame, int32_t maxDimension);
// The same for a frame that is no longer needed: moved, not copied, when it
// is small enough already.
BgraFrame downscaleFrame(BgraFrame&& frame, int32_t maxDimension);
// The size downscaleFrame gives a width × height frame.
std::pair<int32_t, int32_t> downscaledSize(int32_t width,
                                           int32_t height,
                                           int32_t maxDimension);

}  // namespace pxowin
