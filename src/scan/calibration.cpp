#include "scan/calibration.h"

#include "scan/frame_convert.h"
#include "scan/marked_recording.h"
#include "scan/session.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace pxo {

namespace {

constexpr double kNoiseFactor = 4.0;
constexpr double kMaxSaturatedFraction = 0.02;
constexpr double kMinLitFraction = 0.0;
constexpr int kDarkDwellMs = 700;
constexpr int kLevelDwellMs = 350;

}  // namespace

double histogramPercentile(std::span<const int64_t> histogram, double p) {
  int64_t total = 0;
  for (int64_t n : histogram) total += n;
  if (total < 1) return 0;
  auto wanted = static_cast<int64_t>(
      std::ceil(std::min(std::max(p, 0.0), 1.0) * double(total)));
  wanted = std::max<int64_t>(wanted, 1);
  int64_t cumulative = 0;
  for (size_t v = 0; v < histogram.size(); ++v) {
    cumulative += histogram[v];
    if (cumulative >= wanted) return static_cast<double>(v);
  }
  return 255;
}

bool measureCameraNoise(std::span<const FramePlanes> dark,
                        int32_t width,
                        int32_t height,
                        CameraNoise* out) {
  const size_t pixels =
      static_cast<size_t>(width) * static_cast<size_t>(height);
  if (dark.size() < 2 || pixels == 0) return false;
  for (const FramePlanes& f : dark)
    for (const auto& plane : f.plane)
      if (plane.size() != pixels) return false;
  *out = CameraNoise{};
  double* noise[3] = {&out->noiseR, &out->noiseG, &out->noiseB};
  double* mean[3] = {&out->darkMeanR, &out->darkMeanG, &out->darkMeanB};
  for (int c = 0; c < 3; ++c) {
    std::array<int64_t, 256> ranges{};
    double sum = 0;
    for (size_t p = 0; p < pixels; ++p) {
      uint8_t lo = 255, hi = 0;
      for (const FramePlanes& f : dark) {
        uint8_t v = f.plane[c][p];
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sum += v;
      }
      ++ranges[hi - lo];
    }
    *noise[c] = histogramPercentile(ranges, 0.95);
    *mean[c] = sum / (double(pixels) * double(dark.size()));
  }
  out->noiseMax = std::max({out->noiseR, out->noiseG, out->noiseB});
  out->darkFrameCount = static_cast<int32_t>(dark.size());
  return true;
}

LevelMeasurement measureLevel(const FramePlanes& lit,
                              const FramePlanes& dark,
                              uint8_t level,
                              const CameraNoise& noise) {
  LevelMeasurement m;
  m.level = level;
  const size_t pixels = dark.plane[0].size();
  std::array<std::array<int64_t, 256>, 3> increase{};
  const double litThreshold = std::max(1.0, kNoiseFactor * noise.noiseMax);
  int64_t litCount = 0, saturated = 0;
  for (size_t p = 0; p < pixels; ++p) {
    int largest = 0;
    bool full = false;
    for (int c = 0; c < 3; ++c) {
      int v = lit.plane[c][p];
      int rise = std::max(v - int(dark.plane[c][p]), 0);
      ++increase[c][rise];
      largest = std::max(largest, rise);
      full = full || v >= 250;
    }
    if (largest >= litThreshold) ++litCount;
    if (full) ++saturated;
  }
  m.maxR = histogramPercentile(increase[0], 1.0);
  m.maxG = histogramPercentile(increase[1], 1.0);
  m.maxB = histogramPercentile(increase[2], 1.0);
  m.p99R = histogramPercentile(increase[0], 0.99);
  m.p99G = histogramPercentile(increase[1], 0.99);
  m.p99B = histogramPercentile(increase[2], 0.99);
  m.litFraction = pixels ? double(litCount) / double(pixels) : 0;
  m.saturatedFraction = pixels ? double(saturated) / double(pixels) : 0;
  return m;
}

int32_t chooseLevel(std::span<const LevelMeasurement> measurements,
                    const CameraNoise& noise) {
  const double threshold = std::max(1.0, kNoiseFactor * noise.noiseMax);
  int32_t best = -1;
  for (const LevelMeasurement& m : measurements) {
    double p99 = std::max({0.0, m.p99R, m.p99G, m.p99B});
    if (p99 < threshold || m.saturatedFraction > kMaxSaturatedFraction ||
        m.litFraction < kMinLitFraction)
      continue;
    if (best < 0 || m.level < best) best = m.level;
  }
  return best;
}

void calibrateBrightness(ScanSession& session) {
  BrightnessCalibration& result = session.calibration;
  if (result.calibrated) return;
  result = BrightnessCalibration{};
  if (!session.plan || !session.sender || session.channelCount < 1 ||
      !session.camera)
    return;
  pxowin::ICaptureSource& camera = *session.camera;

  const auto path =
      std::filesystem::temp_directory_path() / "pxo_calibrate.mp4";
  session.report("Measuring camera noise\xE2\x80\xA6");
  const std::vector<uint8_t> dark(static_cast<size_t>(session.channelCount), 0);
  std::vector<MarkedStep> steps;
  steps.push_back({dark, "cal-dark", kDarkDwellMs, ""});
  for (size_t i = 0; i < kCalibrationLevels.size(); ++i) {
    std::vector<uint8_t> frame(static_cast<size_t>(session.channelCount), 0);
    renderLevelFrame(session.plan.get(), kCalibrationLevels[i], frame);
    steps.push_back(
        {std::move(frame),
         "cal-level",
         kLevelDwellMs,
         "Calibrating brightness\xE2\x80\xA6 " + std::to_string(i + 1) + "/9"});
  }
  steps.push_back({dark, "cal-end", kLevelDwellMs, ""});
  std::vector<pxowin::CaptureMark> marks;
  if (!recordMarkedSteps(session, path, steps, {}, &marks, nullptr)) return;

  auto cleanUp = [&] {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  };
  if (marks.size() <= 10) {
    session.report("Calibration skipped (camera underran)");
    cleanUp();
    return;
  }

  // Dark frames from the end of the dark dwell, walking back 1/30 s.
  std::vector<FramePlanes> darkFrames;
  int32_t width = 0, height = 0;
  bool sizesAgree = true;
  for (int j = 0; j < 5; ++j) {
    double t = marks[1].time - 0.04 - j / 30.0;
    if (t <= marks[0].time + 1 / 30.0) break;
    FramePlanes planes;
    int32_t w = 0, h = 0;
    if (!extractPlanes(camera, t, 1024, &planes, &w, &h)) continue;
    if (darkFrames.empty()) {
      width = w;
      height = h;
    } else if (w != width || h != height) {
      sizesAgree = false;
    }
    darkFrames.push_back(std::move(planes));
  }
  CameraNoise noise;
  if (!sizesAgree || !measureCameraNoise(darkFrames, width, height, &noise)) {
    session.report("Calibration skipped (no usable dark frames)");
    cleanUp();
    return;
  }

  std::vector<LevelMeasurement> measurements;
  for (size_t i = 0; i < kCalibrationLevels.size(); ++i) {
    FramePlanes planes;
    int32_t w = 0, h = 0;
    if (!extractPlanes(
            camera, marks[i + 2].time - 0.04, 1024, &planes, &w, &h) ||
        w != width || h != height)
      continue;
    measurements.push_back(
        measureLevel(planes, darkFrames[0], kCalibrationLevels[i], noise));
  }
  result.calibrated = true;
  result.noise = noise;
  if (session.autoBrightness) {
    int32_t chosen = chooseLevel(measurements, noise);
    if (chosen > 0) {
      result.calibratedLevel = chosen;
      setPlanLevel(session.plan.get(), static_cast<uint8_t>(chosen));
      session.report("Auto brightness: " + std::to_string(chosen));
    } else {
      result.usedDefaultLevel = true;
      result.calibratedLevel = planLevel(session.plan.get());
      session.report(
          "Auto brightness: no level cleared the noise floor; using default");
    }
  }
  cleanUp();
}

}  // namespace pxo
