#pragma once

#include "capture/capture_source.h"
#include "capture/recorded_frames.h"
#include "decode/decode_types.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

// Brightness auto-calibration: before the first scan of a session, a short
// recording of its own measures how noisy the dark picture is and how
// bright the LEDs appear at nine drive levels, and picks the lowest level
// at which the LEDs' own spots clear the decoder's detection threshold with
// a margin without saturating their cores.
//
// The level is judged on the LEDs, not on the picture: the spots are the
// local maxima of how much the brightest level lifts the picture over the
// dark frame, and each level is measured at those spots, against the
// spot's own surroundings (light spilled over the picture lifts those too)
// and in the camera channel the LED shows. A prop of ten LEDs and one
// covering a third of the picture are judged alike.

namespace pxo {

struct ScanSession;

inline constexpr std::array<uint8_t, 9> kCalibrationLevels = {
    16, 32, 48, 64, 96, 128, 160, 200, 255};
// Measured only when the LEDs clip at every level above and the camera
// cannot be dimmed further: through the controller's brightness scaling
// the lowest of them lights an LED at its least step of PWM.
inline constexpr std::array<uint8_t, 4> kLowCalibrationLevels = {2, 4, 8, 12};
// How often the LEDs are measured again after dimming.
inline constexpr int kMaxDimmingRounds = 5;

struct CameraNoise {
  double noiseR = 0, noiseG = 0, noiseB = 0;  // 95th percentile of pixel ranges
  double noiseMax = 0;
  double darkMeanR = 0, darkMeanG = 0, darkMeanB = 0;
  int32_t darkFrameCount = 0;
};

struct LevelMeasurement {
  uint8_t level = 0;
  double maxR = 0, maxG = 0, maxB = 0;  // 100th percentile of the increase
  double p99R = 0, p99G = 0, p99B = 0;  // 99th percentile
  double litFraction = 0;
  double saturatedFraction = 0;
  // At the LEDs' spots (see findLitSpots):
  int32_t spotCount = 0;
  int32_t decodableSpots = 0;   // clear the decoder's threshold × margin
  int32_t detectableSpots = 0;  // stand out of the noise (5 σ) at all
  int32_t saturatedSpots = 0;   // their core at 250 or above
};

// Where an LED lights the picture: the spot's centre and the camera channel
// it shows most in.
struct LitSpot {
  int32_t x = 0;
  int32_t y = 0;
  int32_t channel = 0;
};

// Spot cores whose local contrast reaches this many times the decoder's
// detection threshold (as the measured noise raises it) decode safely.
inline constexpr double kDecodableMargin = 1.5;
// The share of spots that must be decodable at the chosen level, and the
// share that may saturate.
inline constexpr double kMinDecodableShare = 0.95;
inline constexpr double kMaxSaturatedSpotShare = 0.10;

struct BrightnessCalibration {
  bool calibrated = false;
  CameraNoise noise;
  int32_t calibratedLevel = 0;
  bool usedDefaultLevel = false;
  // How long after a change the camera's picture shows it (0 when it could
  // not be seen); frames are read that much later.
  double cameraLagSeconds = 0;
  // The exposure time the camera was locked at for the scan, when it can
  // be read (-1 otherwise).
  double exposureSeconds = -1;
  // The LEDs' spots clip at every level the LEDs can show, with the camera
  // as dim as it goes: the scan must not go on.
  bool tooBright = false;
};

inline constexpr char kLedsTooBright[] =
    "the LEDs are too bright for the camera even at the lowest brightness "
    "\xE2\x80\x94 lower the camera's exposure, move the camera further "
    "back, or put a filter over the lens, and scan again";

// True when the LEDs clip at every measured level at which they show.
bool ledsClipAtEveryLevel(std::span<const LevelMeasurement> measurements);

// How long after the calibration's last mark (its LEDs going dark) the
// camera's picture shows them half gone, in 1/30 s steps up to a second;
// 0 when no change was seen. The frame at `darkTime` is the dark picture
// the light is measured against (by default a second after the mark).
double measureCameraLag(pxowin::ICaptureSource& camera,
                        std::span<const pxowin::CaptureMark> marks,
                        double darkTime = -1);

// Watches the calibration's dark end as it is recorded (from the frames
// the camera keeps in memory): once the pixels the brightest level lit
// have fallen back to the dark picture of the first dwell (within a tenth
// of the way) in three frames running, the LEDs are dark and the recording
// need not go on. `endMark` is the index of the mark at which the LEDs go
// dark; the dark dwell ends at mark 1.
class DarkEndWatch {
 public:
  DarkEndWatch(std::shared_ptr<pxowin::RecordedFrames> frames, size_t endMark);
  ~DarkEndWatch();
  DarkEndWatch(const DarkEndWatch&) = delete;
  DarkEndWatch& operator=(const DarkEndWatch&) = delete;

  bool dark() const { return darkTime_.load() >= 0; }
  // Once the recording ended: waits until every frame was looked at, then
  // the recording time of the third dark frame; -1 when the LEDs were not
  // seen dark.
  double darkTime();

 private:
  void run();

  std::shared_ptr<pxowin::RecordedFrames> frames_;
  const size_t endMark_;
  std::atomic<double> darkTime_{-1};
  std::thread thread_;
};

// Runs the calibration on the session's first scan (once one succeeded,
// later calls return at once). Outcomes are progress messages, and
// `tooBright` in the session's calibration, which fails the scan. LEDs
// that clip at every level dim the camera's exposure where it lets the
// scan set it ("LEDs too bright: camera exposure lowered to 2.0 ms"), then
// are measured at the levels below 16.
void calibrateBrightness(ScanSession& session);

// The smallest value whose cumulative count reaches max(ceil(p × total), 1)
// of a 256-bin histogram; 0 for an empty one.
double histogramPercentile(std::span<const int64_t> histogram, double p);

// The noise of a set of dark frames of one size; false when fewer than two
// or their sizes differ.
[[nodiscard]] bool measureCameraNoise(std::span<const FramePlanes> dark,
                                      int32_t width,
                                      int32_t height,
                                      CameraNoise* out);

// The spots the LEDs light in `brightest` (the frame of the brightest
// level) over `dark`: local maxima (5 × 5) of the largest channel's rise
// that stand at least max(6, 5 σ of the noise) above the lowest rise within
// 4 pixels, and, when `confirm` (the next brightest level's frame) is
// given, rise there by half that too: sensor noise does not repeat, LEDs
// do. At most `maxSpots`, the strongest.
std::vector<LitSpot> findLitSpots(const FramePlanes& brightest,
                                  const FramePlanes& dark,
                                  int32_t width,
                                  int32_t height,
                                  const CameraNoise& noise,
                                  const FramePlanes* confirm = nullptr,
                                  size_t maxSpots = 20000);

// How `lit` brightens over `dark` at `level`: the picture's percentiles
// and, at each spot, its contrast in its own channel against the decoder's
// detection threshold (as the measured noise raises it).
LevelMeasurement measureLevel(const FramePlanes& lit,
                              const FramePlanes& dark,
                              int32_t width,
                              int32_t height,
                              uint8_t level,
                              const CameraNoise& noise,
                              std::span<const LitSpot> spots);

// Only the spot counts of LevelMeasurement, for a second frame of a level
// (the picture's percentiles are not needed twice).
void measureSpots(const FramePlanes& lit,
                  const FramePlanes& dark,
                  int32_t width,
                  int32_t height,
                  const CameraNoise& noise,
                  std::span<const LitSpot> spots,
                  LevelMeasurement* m);

// Among the levels that saturate at most 10 % of the spots: the lowest at
// which at least 95 % of them decode safely; when none manages that, the
// one at which most decode (the lower on a tie); when none decodes at any
// level (dim LEDs), the brightest at which any stands out of the noise; -1
// when no spot was found or none stands out.
int32_t chooseLevel(std::span<const LevelMeasurement> measurements);

}  // namespace pxo
