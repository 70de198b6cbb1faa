#include "capture/rtsp/rtsp_capture.h"

#include "capture/rtsp/rtsp_session.h"

#include <chrono>
#include <cmath>
#include <utility>

namespace pxowin {

namespace {

constexpr char kStartCode[] = {0, 0, 0, 1};

}  // namespace

RTSPCapture::RTSPCapture(std::string url,
                         std::string user,
                         std::string password)
    : url_(std::move(url)),
      user_(std::move(user)),
      password_(std::move(password)),
      decoder_(createH264Decoder()) {}

RTSPCapture::~RTSPCapture() { stop(); }

bool RTSPCapture::start(const std::string& deviceId, std::string* error) {
  (void)deviceId;
  if (running_) {
    if (error) *error = "camera already started";
    return false;
  }
  pxo::RtspStreamInfo info;
  std::string message;
  session_ = pxo::openRtspSession(url_, user_, password_, &info, &message);
  if (!session_) {
    if (error) *error = message.empty() ? "rtsp open failed" : message;
    return false;
  }
  if (info.clockRate > 0) clockRate_ = info.clockRate;
  cameraName_ = session_->url.host.find(':') == std::string::npos
                    ? session_->url.host + ":" + session_->url.port
                    : "[" + session_->url.host + "]:" + session_->url.port;
  lastUnitAt_ = 0;
  timestampReset_ = true;
  decoderReady_ = false;
  {
    std::lock_guard lock(parameterMutex_);
    sps_.clear();
    pps_.clear();
    width_ = height_ = 0;
    parametersReady_ = false;
  }
  session_->depacketizer.setCallbacks(
      [this](std::span<const std::string_view> units, uint32_t ts, bool key) {
        onAccessUnit(units, ts, key);
      },
      [this](std::string_view sps, std::string_view pps) {
        onParameterSets(sps, pps);
      });
  // The SDP's parameter sets count as if they had come in band.
  const std::string sdpSps = session_->depacketizer.sps();
  const std::string sdpPps = session_->depacketizer.pps();
  if (!sdpSps.empty() || !sdpPps.empty()) onParameterSets(sdpSps, sdpPps);
  ended_ = false;
  running_ = true;
  thread_ = std::thread([this] {
    end_ = static_cast<int32_t>(pxo::runRtspReader(session_.get()));
    ended_ = true;
  });
  return true;
}

std::string RTSPCapture::failure() {
  std::string why;
  if (running_ && ended_) {
    switch (static_cast<pxo::RtspEnd>(end_.load())) {
      case pxo::RtspEnd::kClosedByCamera:
        why = "it closed the connection";
        break;
      case pxo::RtspEnd::kSocketError:
        why = "the connection failed";
        break;
      case pxo::RtspEnd::kNoData:
        why = "nothing came for " + std::to_string(pxo::kRtspNoDataSeconds) +
              " seconds";
        break;
      case pxo::RtspEnd::kStopRequested:
      case pxo::RtspEnd::kNoSession:
        break;
    }
  } else if (const int64_t last = lastUnitAt_; running_ && last != 0) {
    const auto since = std::chrono::steady_clock::now().time_since_epoch() -
                       std::chrono::nanoseconds(last);
    if (since > std::chrono::duration<double>(kStallSeconds))
      why = "no picture for " +
            std::to_string(
                std::lround(std::chrono::duration<double>(since).count())) +
            " seconds";
  }
  if (!why.empty())
    return "the network camera at " + cameraName_ + " stopped sending (" + why +
           ")";
  return RecordingCaptureSource::failure();
}

void RTSPCapture::stop() {
  running_ = false;
  pxo::requestStop(session_.get());
  if (thread_.joinable()) thread_.join();
  stopRecordingAndExtraction();
  pxo::closeRtspSession(std::move(session_));
  decoder_->close();
  decoderReady_ = false;
}

void RTSPCapture::setExposure(float level) { (void)level; }

bool RTSPCapture::lockCameraControls(std::optional<float> exposureLevel) {
  (void)exposureLevel;
  return true;
}

std::pair<int32_t, int32_t> RTSPCapture::streamSize() const {
  std::lock_guard lock(parameterMutex_);
  return {width_, height_};
}

void RTSPCapture::onParameterSets(std::string_view sps, std::string_view pps) {
  std::lock_guard lock(parameterMutex_);
  if (!sps.empty()) sps_ = std::string(sps);
  if (!pps.empty()) pps_ = std::string(pps);
  if (sps_.empty() || pps_.empty()) return;
  int32_t width = 0, height = 0;
  if (pxo::readSpsSize(sps_, &width, &height)) {
    width_ = width;
    height_ = height;
  }
  parametersReady_ = true;
  // New parameters may mean a new picture size: the live decoder starts
  // again with them.
  decoderReady_ = false;
}

void RTSPCapture::onAccessUnit(std::span<const std::string_view> units,
                               uint32_t timestamp,
                               bool key) {
  // The RTP clock, wrap-around absorbed by the signed difference.
  if (timestampReset_) {
    timestampReset_ = false;
    elapsedTicks_ = 0;
  } else {
    elapsedTicks_ += static_cast<int32_t>(timestamp - lastRtpTimestamp_);
  }
  lastRtpTimestamp_ = timestamp;
  lastUnitAt_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
  const double time = double(elapsedTicks_) / clockRate_;

  StreamParameters parameters;
  std::string sps, pps;
  {
    std::lock_guard lock(parameterMutex_);
    if (!parametersReady_) return;
    sps = sps_;
    pps = pps_;
    parameters.width = width_;
    parameters.height = height_;
  }
  parameters.sps = sps;
  parameters.pps = pps;
  annexB_.clear();
  for (std::string_view unit : units)
    annexB_.append(kStartCode, 4).append(unit);
  deliverAccessUnit(annexB_, key, time, parameters, [&](BgraFrame* frame) {
    if (!decoderReady_) {
      std::string header;
      header.append(kStartCode, 4)
          .append(sps)
          .append(kStartCode, 4)
          .append(pps);
      decoderReady_ = decoder_->open(header, nullptr);
      if (!decoderReady_) return false;
    }
    return decoder_->decode(annexB_, kLivePictureMaxDimension, frame);
  });
}

}  // namespace pxowin
