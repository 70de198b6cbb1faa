#pragma once

#include "capture/recording_source.h"

#include "sim/camera_imager.h"
#include "sim/fpp_simulator.h"
#include "sim/mjpeg_encoder.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

// A camera filming the simulated controller's LEDs in real time: each LED
// has a place in the world, projected through a pinhole camera with a pose
// and a field of view; what it shows follows the controller after a
// response latency, and a change inside the exposure time blends the two
// states. Frames come at the configured rate on the wall clock; when
// rendering falls behind, frames are dropped as a real camera drops them,
// keeping true timestamps. It records through the same writer as a real
// camera.
//
// Threads: a sampler thread follows the controller's LEDs, a capture thread
// renders (and, for a camera that sends Motion-JPEG, compresses: the
// camera's own chip, while a link thread of the host's decodes and delivers
// the frames); the operations run on the caller's thread.

namespace pxo::sim {

struct CameraPose {
  std::array<double, 3> position = {0, 0, -5};  // metres
  double yawDeg = 0;                            // about the vertical axis
  double pitchDeg = 0;                          // about the sideways axis
  double rollDeg = 0;                           // about the viewing axis
};

struct VirtualCameraConfig {
  ImagerOptions imaging;
  double fps = 30;
  double fovDeg = 60;  // horizontal field of view
  CameraPose pose;
  double latencyMs = 40;  // from a DDP push to the LEDs changing
  // From the exposure to the frame's delivery, as a camera's pipeline
  // delays it: marks added now carry the time of a frame taken this long
  // ago.
  double deliveryDelayMs = 100;
  double exposureMs = 12;  // a change within it blends two states
  // A webcam's exposure. The optics (spot peaks, background) are as they
  // look at `exposureMs` and gain 1; the picture scales with exposure time
  // × gain, the noise with the gain. The camera runs at what its own auto
  // exposure chose before the scan locked it (negative: `exposureMs`), at
  // `gain`; a camera with `exposureSettable` lets the scan set both down to
  // `minExposureMs` and gain 1, and gets its own back on stop. A frame
  // takes at least its exposure time: a long one lowers the frame rate.
  double autoExposureMs = -1;
  double gain = 1;
  bool exposureSettable = false;
  double minExposureMs = 0.1;
  // Light beyond what a pixel holds spreads round a clipped core: this
  // share of a spot's excess, over three times its width.
  double bloom = 0;
  // Rows are exposed one after another, the bottom row this long after the
  // top one (0: a global shutter).
  double rollingShutterMs = 0;
  // Frames taken up to this far off their schedule, and this share of them
  // lost on the way (neither changes the times of the others).
  double frameJitterMs = 0;
  double dropRate = 0;
  // Frames compressed as Motion-JPEG at this quality (1 ... 100) on the way
  // and decoded by the product's own MJPEG decoder, as a USB webcam's are;
  // 0: uncompressed.
  int32_t mjpegQuality = 0;
  // Motion of the picture in pixels: a steady drift per second, a random
  // jitter and one bump at a time after start.
  double driftXPerSecond = 0;
  double driftYPerSecond = 0;
  double jitterPx = 0;
  double bumpAtSeconds = -1;
  double bumpDx = 0;
  double bumpDy = 0;
  // The prop's body: a vertical cylinder of this radius (metres) about the
  // world's y axis, opaque; LEDs behind it are hidden (0: none).
  double trunkRadius = 0;
  // Stop delivering frames this long after start (a camera that fails
  // mid-scan); negative: never.
  double stopDeliveringAfterSeconds = -1;
};

// One physical LED of the prop: which controller port and LED it is, and
// where it sits in the world (metres; x right, y up, z away from a camera
// at the default pose).
struct PropLed {
  int32_t port = 0;
  int32_t index = 0;  // in the port's physical LED list
  std::array<double, 3> world{};
  bool occluded = false;
  // A dim mirror image of the LED (a reflection), in picture pixels.
  double reflectionGain = 0;
  double reflectionDx = 0;
  double reflectionDy = 0;
};

struct ImagePoint {
  double x = 0;
  double y = 0;
  bool inView = false;
};

// Where a world point lands in the picture of a camera.
ImagePoint projectPoint(const std::array<double, 3>& world,
                        const CameraPose& pose,
                        double fovDeg,
                        int32_t width,
                        int32_t height);

// Whether a vertical cylinder of `radius` about the world's y axis stands
// between `world` and a camera at `eye`, judged in the horizontal plane
// (the cameras stand about level with the prop). Points inside the
// cylinder are on its surface and never hidden.
bool hiddenByTrunk(const std::array<double, 3>& world,
                   const std::array<double, 3>& eye,
                   double radius);

// projectPoint, with the LEDs behind the camera's prop body out of view.
ImagePoint seenPoint(const std::array<double, 3>& world,
                     const VirtualCameraConfig& config,
                     const CameraPose& pose);

class VirtualCamera final : public pxowin::RecordingCaptureSource {
 public:
  VirtualCamera(const LedSource& controller,
                std::vector<PropLed> leds,
                const VirtualCameraConfig& config);
  ~VirtualCamera() override;

  bool start(const std::string& deviceId, std::string* error) override;
  void stop() override;
  void setExposure(float level) override;
  bool lockCameraControls(std::optional<float> exposureLevel) override;
  std::optional<pxowin::ExposureSetting> lockedExposure() override;
  bool setLockedExposure(const pxowin::ExposureSetting& setting) override;
  // The exposure time (ms) and gain the camera films with now.
  double exposureMs() const { return exposureMs_.load(); }
  double sensorGain() const { return sensorGain_.load(); }

  // The true picture position of every LED (without motion), in the order
  // given.
  std::vector<ImagePoint> groundTruth() const;
  // Puts the camera somewhere else, as a user carries it to the next
  // viewpoint; frames from now on show the prop from there. Any thread.
  void moveTo(const CameraPose& pose);
  int64_t framesDelivered() const { return delivered_.load(); }
  // How far the picture has moved at the camera's own time `time`: the
  // drift and the bump, without the random jitter.
  std::array<double, 2> motionAt(double time) const;
  int64_t framesDropped() const { return dropped_.load(); }
  // True when this camera records the rig's raw test recording, the
  // platform's writer not recording here.
  bool rawRecording() const { return rawRecording_; }
  // Where the scan's recording time 0 falls on this camera's clock: its own
  // recording's start, unless the scan records through another source that
  // films it (a network camera), which then says so here.
  double recordingStart();
  void setRecordingStart(std::function<double()> start);

 private:
  using Snapshot = std::map<int32_t, std::vector<LedColor>>;
  void sampleLoop();
  void captureLoop();
  // The LEDs in view as the imager draws them, with their light over the
  // exposure [from, to] (each row of a rolling shutter a little later).
  std::vector<Emitter> emittersFor(double from,
                                   double to,
                                   double ledScale,
                                   int32_t height,
                                   std::vector<double>* rowDelays);
  // Hands a frame on: compressed onto the link for a compressing camera
  // (lost when it cannot be, or the link is full), else delivered.
  void sendFrame(const pxowin::BgraFrame& frame,
                 double stamp,
                 MjpegEncoder* encoder,
                 std::vector<uint8_t>* jpeg);
  void linkLoop();
  // The LEDs' light over [from, to] seconds on the camera clock, blended.
  // Each LED's light over its own window: [from, to] + its row's delay.
  std::vector<std::array<double, 3>> lightBetween(
      double from, double to, std::span<const double> delays);
  double now() const;

  const LedSource& controller_;
  std::vector<PropLed> leds_;
  VirtualCameraConfig config_;
  mutable std::mutex truthMutex_;
  std::vector<ImagePoint> truth_;  // guarded by truthMutex_
  std::chrono::steady_clock::time_point epoch_;

  std::mutex historyMutex_;
  std::deque<std::pair<double, Snapshot>> history_;
  std::atomic<bool> running_{false};
  std::thread sampler_;
  std::thread capture_;
  // A compressing camera's frames on their way to the host, and the
  // host's thread that takes them (as many as a driver queues).
  static constexpr size_t kLinkBuffers = 4;
  std::mutex linkMutex_;
  std::condition_variable linkReady_;
  std::deque<std::pair<std::vector<uint8_t>, double>> inFlight_;
  std::thread link_;
  std::atomic<int64_t> delivered_{0};
  std::atomic<int64_t> dropped_{0};
  std::atomic<float> gain_{1.0f};
  double ownExposureMs() const;
  std::atomic<double> exposureMs_;
  std::atomic<double> sensorGain_;
  std::atomic<bool> locked_{false};
  std::function<double()> recordingStart_;
  bool rawRecording_ = false;
};

}  // namespace pxo::sim
