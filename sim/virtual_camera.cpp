#include "sim/virtual_camera.h"

#include "capture/pixel_convert.h"

#include "sim/mjpeg_encoder.h"
#include "sim/raw_recording.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <random>

namespace pxo::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSampleIntervalSeconds = 0.004;
constexpr double kHistorySeconds = 2.0;

}  // namespace

ImagePoint projectPoint(const std::array<double, 3>& world,
                        const CameraPose& pose,
                        double fovDeg,
                        int32_t width,
                        int32_t height) {
  double p[3] = {world[0] - pose.position[0],
                 world[1] - pose.position[1],
                 world[2] - pose.position[2]};
  // World to camera: undo yaw (about y), then pitch (about x), then roll.
  double yaw = -pose.yawDeg * kPi / 180, pitch = -pose.pitchDeg * kPi / 180,
         roll = -pose.rollDeg * kPi / 180;
  double x1 = std::cos(yaw) * p[0] + std::sin(yaw) * p[2];
  double z1 = -std::sin(yaw) * p[0] + std::cos(yaw) * p[2];
  double y2 = std::cos(pitch) * p[1] - std::sin(pitch) * z1;
  double z2 = std::sin(pitch) * p[1] + std::cos(pitch) * z1;
  double x3 = std::cos(roll) * x1 - std::sin(roll) * y2;
  double y3 = std::sin(roll) * x1 + std::cos(roll) * y2;
  ImagePoint out;
  if (z2 <= 1e-6) return out;
  double focal = (width / 2.0) / std::tan(fovDeg * kPi / 360);
  out.x = width / 2.0 + focal * x3 / z2;
  out.y = height / 2.0 - focal * y3 / z2;
  out.inView = out.x >= 0 && out.x < width && out.y >= 0 && out.y < height;
  return out;
}

bool hiddenByTrunk(const std::array<double, 3>& world,
                   const std::array<double, 3>& eye,
                   double radius) {
  if (!(radius > 0)) return false;
  const double px = world[0], pz = world[2];
  if (px * px + pz * pz <= radius * radius) return false;
  // The point of the sight line P + s (E − P), s in (0, 1], nearest the
  // axis.
  const double dx = eye[0] - px, dz = eye[2] - pz;
  const double length2 = dx * dx + dz * dz;
  if (!(length2 > 0)) return false;
  const double s = std::clamp(-(px * dx + pz * dz) / length2, 0.0, 1.0);
  const double cx = px + s * dx, cz = pz + s * dz;
  return s > 0 && cx * cx + cz * cz < radius * radius;
}

ImagePoint seenPoint(const std::array<double, 3>& world,
                     const VirtualCameraConfig& config,
                     const CameraPose& pose) {
  ImagePoint p = projectPoint(
      world, pose, config.fovDeg, config.imaging.width, config.imaging.height);
  if (hiddenByTrunk(world, pose.position, config.trunkRadius)) p.inView = false;
  return p;
}

VirtualCamera::VirtualCamera(const LedSource& controller,
                             std::vector<PropLed> leds,
                             const VirtualCameraConfig& config)
    : controller_(controller),
      leds_(std::move(leds)),
      config_(config),
      exposureMs_(ownExposureMs()),
      sensorGain_(config.gain) {
  for (const PropLed& led : leds_)
    truth_.push_back(seenPoint(led.world, config_, config_.pose));
  setNominalFrameRate(config_.fps);
  // Where the platform cannot record video (Wine), the rig records a raw
  // test recording of its own, and says so once.
  std::string why;
  if (!platformCanRecord(&why)) {
    useRecordingMedia(&createRawRecordingWriter, createRawRecordingReader());
    rawRecording_ = true;
    static std::once_flag said;
    std::call_once(said, [&why] {
      std::fprintf(stderr,
                   "virtual camera: this platform cannot record video here "
                   "(%s); the rig records a raw test recording instead\n",
                   why.c_str());
    });
  }
}

VirtualCamera::~VirtualCamera() { stop(); }

double VirtualCamera::recordingStart() {
  return recordingStart_ ? recordingStart_() : recordingBase();
}

void VirtualCamera::setRecordingStart(std::function<double()> start) {
  recordingStart_ = std::move(start);
}

std::vector<ImagePoint> VirtualCamera::groundTruth() const {
  std::lock_guard<std::mutex> lock(truthMutex_);
  return truth_;
}

void VirtualCamera::moveTo(const CameraPose& pose) {
  std::vector<ImagePoint> truth;
  for (const PropLed& led : leds_)
    truth.push_back(seenPoint(led.world, config_, pose));
  std::lock_guard<std::mutex> lock(truthMutex_);
  truth_ = std::move(truth);
}

double VirtualCamera::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                       epoch_)
      .count();
}

bool VirtualCamera::start(const std::string&, std::string* error) {
  stop();
  if (config_.fps <= 0 || config_.imaging.width < 2 ||
      config_.imaging.height < 2) {
    if (error) *error = "bad virtual camera configuration";
    return false;
  }
  epoch_ = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(historyMutex_);
    history_.clear();
    history_.push_back({-1e9, controller_.allPortLeds()});
  }
  {
    std::lock_guard lock(linkMutex_);
    inFlight_.clear();
  }
  running_ = true;
  sampler_ = std::thread(&VirtualCamera::sampleLoop, this);
  capture_ = std::thread(&VirtualCamera::captureLoop, this);
  if (config_.mjpegQuality > 0)
    link_ = std::thread(&VirtualCamera::linkLoop, this);
  return true;
}

double VirtualCamera::ownExposureMs() const {
  return config_.autoExposureMs > 0 ? config_.autoExposureMs
                                    : config_.exposureMs;
}

void VirtualCamera::stop() {
  {
    std::lock_guard lock(linkMutex_);
    running_ = false;
  }
  linkReady_.notify_all();
  if (capture_.joinable()) capture_.join();
  if (link_.joinable()) link_.join();
  if (sampler_.joinable()) sampler_.join();
  stopRecordingAndExtraction();
  // The camera's own exposure back, as a real camera's controls are.
  locked_ = false;
  exposureMs_ = ownExposureMs();
  sensorGain_ = config_.gain;
}

void VirtualCamera::setExposure(float level) {
  gain_ = std::clamp(level, 0.0f, 1.0f) * 2.0f;
}

bool VirtualCamera::lockCameraControls(std::optional<float> exposureLevel) {
  if (exposureLevel) setExposure(*exposureLevel);
  locked_ = true;
  return true;
}

std::optional<pxowin::ExposureSetting> VirtualCamera::lockedExposure() {
  if (!config_.exposureSettable || !locked_) return std::nullopt;
  return pxowin::ExposureSetting{exposureMs_.load() / 1000,
                                 config_.minExposureMs / 1000,
                                 sensorGain_.load(),
                                 1.0};
}

bool VirtualCamera::setLockedExposure(const pxowin::ExposureSetting& setting) {
  if (!config_.exposureSettable || !locked_) return false;
  exposureMs_ =
      std::clamp(setting.seconds * 1000,
                 config_.minExposureMs,
                 std::max(config_.minExposureMs, 10 * ownExposureMs()));
  sensorGain_ = std::max(setting.gain, 1.0);
  return true;
}

void VirtualCamera::sampleLoop() {
  while (running_) {
    double t = now();
    Snapshot snapshot = controller_.allPortLeds();
    {
      std::lock_guard lock(historyMutex_);
      history_.push_back({t, std::move(snapshot)});
      while (history_.size() > 2 && history_[1].first < t - kHistorySeconds)
        history_.pop_front();
    }
    std::this_thread::sleep_for(
        std::chrono::duration<double>(kSampleIntervalSeconds));
  }
}

std::vector<std::array<double, 3>> VirtualCamera::lightBetween(
    double from, double to, std::span<const double> delays) {
  constexpr int kSubsamples = 4;
  std::vector<std::array<double, 3>> light(leds_.size(), {0, 0, 0});
  std::lock_guard lock(historyMutex_);
  // The newest snapshot taken at or before t.
  auto stateAt = [&](double t) -> const Snapshot& {
    auto it = std::upper_bound(
        history_.begin(), history_.end(), t, [](double v, const auto& entry) {
          return v < entry.first;
        });
    return it == history_.begin() ? history_.front().second
                                  : std::prev(it)->second;
  };
  for (int s = 0; s < kSubsamples; ++s) {
    const double t = from + (to - from) * (s + 0.5) / kSubsamples;
    const Snapshot* shared = delays.empty() ? &stateAt(t) : nullptr;
    for (size_t i = 0; i < leds_.size(); ++i) {
      const Snapshot& state =
          shared ? *shared : stateAt(t + (i < delays.size() ? delays[i] : 0));
      auto port = state.find(leds_[i].port);
      if (port == state.end() || leds_[i].index < 0 ||
          static_cast<size_t>(leds_[i].index) >= port->second.size())
        continue;
      const LedColor& c = port->second[static_cast<size_t>(leds_[i].index)];
      light[i][0] += (c.r + c.w) / 255.0 / kSubsamples;
      light[i][1] += (c.g + c.w) / 255.0 / kSubsamples;
      light[i][2] += (c.b + c.w) / 255.0 / kSubsamples;
    }
  }
  return light;
}

std::array<double, 2> VirtualCamera::motionAt(double time) const {
  std::array<double, 2> shift = {config_.driftXPerSecond * time,
                                 config_.driftYPerSecond * time};
  if (config_.bumpAtSeconds >= 0 && time >= config_.bumpAtSeconds) {
    shift[0] += config_.bumpDx;
    shift[1] += config_.bumpDy;
  }
  return shift;
}

namespace {

// Where the camera has moved the picture at `stamp`: its drift, its
// jitter, and the bump once it came.
std::array<double, 2> cameraShift(const VirtualCameraConfig& config,
                                  double stamp,
                                  double jitterX,
                                  double jitterY) {
  double dx = config.driftXPerSecond * stamp + jitterX;
  double dy = config.driftYPerSecond * stamp + jitterY;
  if (config.bumpAtSeconds >= 0 && stamp >= config.bumpAtSeconds) {
    dx += config.bumpDx;
    dy += config.bumpDy;
  }
  return {dx, dy};
}

// The imager's R, G, B planes into the frame's B, G, R bytes.
void copyPlanes(const std::array<std::vector<uint8_t>, 3>& planes,
                pxowin::BgraFrame* frame) {
  const size_t pixels = planes[0].size();
  for (size_t p = 0; p < pixels; ++p) {
    frame->pixels[4 * p] = planes[2][p];
    frame->pixels[4 * p + 1] = planes[1][p];
    frame->pixels[4 * p + 2] = planes[0][p];
  }
}

}  // namespace

void VirtualCamera::captureLoop() {
  CameraImager imager(config_.imaging);
  std::mt19937_64 rng(config_.imaging.seed + 99);
  std::uniform_real_distribution<double> jitter(-config_.jitterPx,
                                                config_.jitterPx);
  std::uniform_real_distribution<double> unit(0, 1);
  const double nominal = 1.0 / config_.fps;
  std::vector<double> rowDelays;
  pxowin::BgraFrame frame;
  frame.width = config_.imaging.width;
  frame.height = config_.imaging.height;
  frame.stride = frame.width * 4;
  frame.pixels.assign(static_cast<size_t>(frame.stride) * frame.height, 255);
  double scheduled = nominal;
  std::unique_ptr<MjpegEncoder> encoder;
  std::vector<uint8_t> jpeg;
  if (config_.mjpegQuality > 0)
    encoder = std::make_unique<MjpegEncoder>(config_.mjpegQuality);
  while (running_) {
    // A frame takes at least its exposure time.
    const double exposure = exposureMs_.load() / 1000;
    const double interval = std::max(nominal, exposure);
    // Off schedule by less than half a frame, so frames keep their order.
    const double offset =
        config_.frameJitterMs > 0
            ? (2 * unit(rng) - 1) *
                  std::min(config_.frameJitterMs / 1000, 0.45 * interval)
            : 0;
    double due = scheduled + offset;
    double wait = due - now();
    if (wait > 0)
      std::this_thread::sleep_for(
          std::chrono::duration<double>(std::min(wait, 0.05)));
    if (now() < due) continue;
    // Behind by more than a frame: the frames in between are lost.
    auto late = static_cast<int64_t>((now() - due) / interval);
    if (late > 0) {
      dropped_ += late;
      scheduled += static_cast<double>(late) * interval;
      due = scheduled + offset;
    }
    scheduled += interval;

    // The frame delivered now was exposed deliveryDelay ago; with a rolling
    // shutter its top row, and each lower row a little later.
    const double stamp = due - config_.deliveryDelayMs / 1000;
    double exposureEnd = stamp - config_.latencyMs / 1000;
    // Brightness follows exposure time × gain, against the exposure the
    // optics were given at.
    const double sensorGain = sensorGain_.load();
    const double scale = exposure * 1000 / config_.exposureMs * sensorGain;
    const std::vector<Emitter> emitters = emittersFor(exposureEnd - exposure,
                                                      exposureEnd,
                                                      scale * gain_.load(),
                                                      frame.height,
                                                      &rowDelays);
    const double jitterX = config_.jitterPx > 0 ? jitter(rng) : 0;
    const double jitterY = config_.jitterPx > 0 ? jitter(rng) : 0;
    const auto [dx, dy] = cameraShift(config_, stamp, jitterX, jitterY);
    copyPlanes(imager.render(emitters, dx, dy, scale, sensorGain), &frame);
    frame.timestamp = stamp;
    if (config_.stopDeliveringAfterSeconds >= 0 &&
        due > config_.stopDeliveringAfterSeconds)
      continue;
    if (config_.dropRate > 0 && unit(rng) < config_.dropRate) {
      ++dropped_;
      continue;
    }
    sendFrame(frame, stamp, encoder.get(), &jpeg);
  }
}

std::vector<Emitter> VirtualCamera::emittersFor(
    double from,
    double to,
    double ledScale,
    int32_t height,
    std::vector<double>* rowDelays) {
  std::unique_lock<std::mutex> truthLock(truthMutex_);
  rowDelays->clear();
  if (config_.rollingShutterMs > 0)
    for (size_t i = 0; i < leds_.size(); ++i)
      rowDelays->push_back(config_.rollingShutterMs / 1000 *
                           std::clamp(truth_[i].y / height, 0.0, 1.0));
  truthLock.unlock();
  auto light = lightBetween(from, to, *rowDelays);
  std::vector<Emitter> emitters;
  truthLock.lock();
  for (size_t i = 0; i < leds_.size(); ++i) {
    if (leds_[i].occluded || !truth_[i].inView) continue;
    Emitter e{truth_[i].x,
              truth_[i].y,
              light[i],
              leds_[i].reflectionGain,
              leds_[i].reflectionDx,
              leds_[i].reflectionDy};
    for (double& v : e.light) v *= ledScale;
    emitters.push_back(e);
  }
  return emitters;
}

void VirtualCamera::sendFrame(const pxowin::BgraFrame& frame,
                              double stamp,
                              MjpegEncoder* encoder,
                              std::vector<uint8_t>* jpeg) {
  if (!encoder) {
    deliverFrame(frame, stamp);
    ++delivered_;
    return;
  }
  // The camera's own chip compresses the frame and sends it over the link;
  // one that cannot be compressed, or finds every buffer of the host's
  // still full, is lost on the way.
  if (!encoder->encode(frame, jpeg)) {
    ++dropped_;
    return;
  }
  std::lock_guard lock(linkMutex_);
  if (inFlight_.size() >= kLinkBuffers) {
    ++dropped_;
    return;
  }
  inFlight_.emplace_back(std::move(*jpeg), stamp);
  linkReady_.notify_one();
}

void VirtualCamera::linkLoop() {
  // The host's side of a compressing camera: each frame read back through
  // the product's own MJPEG decoder, as a real camera's frames reach it,
  // while the camera goes on with the next one.
  std::unique_ptr<pxowin::MjpegDecoder> decoder = pxowin::createMjpegDecoder();
  pxowin::BgraFrame unpacked;
  for (;;) {
    std::pair<std::vector<uint8_t>, double> sent;
    {
      std::unique_lock lock(linkMutex_);
      linkReady_.wait(lock, [this] { return !running_ || !inFlight_.empty(); });
      if (!running_) return;
      sent = std::move(inFlight_.front());
      inFlight_.pop_front();
    }
    if (!decoder->decode(sent.first, &unpacked, nullptr)) {
      ++dropped_;
      continue;
    }
    unpacked.timestamp = sent.second;
    deliverFrame(unpacked, sent.second);
    ++delivered_;
  }
}

}  // namespace pxo::sim
