#include "capture/v4l2/v4l2_capture.h"

#include "controller/restore_record.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <new>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace pxowin {

namespace {

constexpr int kBufferCount = 4;

int xioctl(int fd, unsigned long request, void* arg) {
  int rc;
  do {
    rc = ::ioctl(fd, request, arg);
  } while (rc == -1 && errno == EINTR);
  return rc;
}

// The controls a scan freezes, in the order they are put back: values while
// still manual, then the auto modes.
struct FrozenControl {
  uint32_t id;
  const char* name;
};
constexpr FrozenControl kFrozenControls[] = {
    {V4L2_CID_EXPOSURE_ABSOLUTE, "exposure_time_absolute"},
    {V4L2_CID_FOCUS_ABSOLUTE, "focus_absolute"},
    {V4L2_CID_GAIN, "gain"},
    {V4L2_CID_BACKLIGHT_COMPENSATION, "backlight_compensation"},
    {V4L2_CID_EXPOSURE_AUTO, "auto_exposure"},
    {V4L2_CID_FOCUS_AUTO, "focus_automatic_continuous"},
    {V4L2_CID_AUTOGAIN, "gain_automatic"},
};

bool readControl(int fd, uint32_t id, int32_t* value) {
  v4l2_control control{id, 0};
  if (fd < 0 || xioctl(fd, VIDIOC_G_CTRL, &control) < 0) return false;
  *value = control.value;
  return true;
}

bool writeControl(int fd, uint32_t id, int32_t value) {
  v4l2_control control{id, value};
  return fd >= 0 && xioctl(fd, VIDIOC_S_CTRL, &control) == 0;
}

// Sets the recorded values in their order and reads each back; false
// names the first that did not hold.
bool applyControls(int fd,
                   const std::vector<pxo::CameraControlValue>& controls,
                   std::string* why) {
  for (const pxo::CameraControlValue& c : controls)
    (void)writeControl(fd, c.id, static_cast<int32_t>(c.value));
  for (const pxo::CameraControlValue& c : controls) {
    int32_t now = 0;
    if (!readControl(fd, c.id, &now) || now != c.value) {
      if (why) *why = "its " + c.name + " did not take its value back";
      return false;
    }
  }
  return true;
}

// A record an earlier run left for the camera open on `fd`: its controls
// put back, checked, and the record removed. True when there was nothing to
// do or everything is back.
bool putBackRecordedControls(int fd,
                             const std::string& deviceId,
                             bool* found,
                             std::string* error) {
  pxo::RestoreRecord record;
  std::string problem;
  *found = false;
  switch (
      pxo::readRestoreRecord(pxo::kCameraDevice, deviceId, &record, &problem)) {
    case pxo::RecordState::kNone:
      return true;
    case pxo::RecordState::kDamaged:
      *found = true;
      if (error)
        *error = "the restore record of camera " + deviceId + " is damaged (" +
                 problem + "); nothing was put back";
      return false;
    case pxo::RecordState::kOk:
      *found = true;
      break;
  }
  std::string why;
  if (!applyControls(fd, record.controls, &why)) {
    if (error)
      *error = "could not put the controls of camera " + deviceId + " back (" +
               why + "); the record is kept";
    return false;
  }
  return pxo::removeRestoreRecord(pxo::kCameraDevice, deviceId, error);
}

bool isCaptureDevice(const std::string& path, std::string* name) {
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  v4l2_capability caps{};
  bool ok = xioctl(fd, VIDIOC_QUERYCAP, &caps) == 0;
  ::close(fd);
  if (!ok) return false;
  uint32_t flags = (caps.capabilities & V4L2_CAP_DEVICE_CAPS)
                       ? caps.device_caps
                       : caps.capabilities;
  if (!(flags & V4L2_CAP_VIDEO_CAPTURE) || !(flags & V4L2_CAP_STREAMING))
    return false;
  *name = reinterpret_cast<const char*>(caps.card);
  return true;
}

}  // namespace

bool enumerateV4l2Cameras(const std::string& devDir,
                          std::vector<CameraDevice>* out,
                          std::string* /*error*/) {
  out->clear();
  namespace fs = std::filesystem;
  std::error_code ec;
  // Stable names first: /dev/v4l/by-id links to /dev/videoN.
  std::vector<std::pair<fs::path, fs::path>> stable;  // (link, target)
  for (const auto& entry :
       fs::directory_iterator(fs::path(devDir) / "v4l" / "by-id", ec))
    stable.push_back({entry.path(), fs::canonical(entry.path(), ec)});
  std::vector<fs::path> nodes;
  for (const auto& entry : fs::directory_iterator(devDir, ec))
    if (entry.path().filename().string().rfind("video", 0) == 0)
      nodes.push_back(entry.path());
  std::sort(nodes.begin(), nodes.end());
  for (const fs::path& node : nodes) {
    std::string name;
    if (!isCaptureDevice(node.string(), &name)) continue;
    std::string id = node.string();
    for (const auto& [link, target] : stable)
      if (target == fs::canonical(node, ec)) {
        id = link.string();
        break;
      }
    out->push_back({id, name});
  }
  return true;
}

bool enumerateCameras(std::vector<CameraDevice>* out, std::string* error) {
  return enumerateV4l2Cameras("/dev", out, error);
}

std::unique_ptr<ICaptureSource> createLocalCamera() {
  return std::unique_ptr<ICaptureSource>(new (std::nothrow) V4l2Capture());
}

V4l2Capture::~V4l2Capture() { stop(); }

bool V4l2Capture::start(const std::string& deviceId, std::string* error) {
  auto fail = [&](const std::string& message) {
    closeDevice();
    if (error) *error = message;
    return false;
  };
  stop();
  std::string id = deviceId;
  if (id.empty()) {
    std::vector<CameraDevice> cameras;
    if (!enumerateCameras(&cameras, error)) return false;
    if (cameras.empty()) return fail("no video capture devices");
    id = cameras.front().id;
    deviceName_ = cameras.front().name;
  }
  fd_ = ::open(id.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return fail("could not open camera " + id);
  deviceId_ = id;
  // A run that ended without putting the controls back left its record:
  // the user's own values come back before anything else. One that cannot
  // be put back is not locked over (its record must stay the user's).
  bool found = false;
  recordBlocked_ = !putBackRecordedControls(fd_, id, &found, nullptr);

  // Motion-JPEG reaches larger sizes over USB; YUYV otherwise.
  v4l2_format format{};
  bool negotiated = false;
  for (uint32_t pixel : {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}) {
    format = {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = 1920;
    format.fmt.pix.height = 1080;
    format.fmt.pix.pixelformat = pixel;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (xioctl(fd_, VIDIOC_S_FMT, &format) == 0 &&
        format.fmt.pix.pixelformat == pixel) {
      negotiated = true;
      break;
    }
  }
  if (!negotiated) return fail("could not negotiate a YUYV or MJPEG format");
  pixelFormat_ = format.fmt.pix.pixelformat;
  width_ = static_cast<int32_t>(format.fmt.pix.width);
  height_ = static_cast<int32_t>(format.fmt.pix.height);
  if (pixelFormat_ == V4L2_PIX_FMT_MJPEG) mjpeg_ = createMjpegDecoder();

  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (xioctl(fd_, VIDIOC_G_PARM, &parm) == 0 &&
      parm.parm.capture.timeperframe.numerator > 0)
    setNominalFrameRate(double(parm.parm.capture.timeperframe.denominator) /
                        parm.parm.capture.timeperframe.numerator);

  v4l2_requestbuffers request{};
  request.count = kBufferCount;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (xioctl(fd_, VIDIOC_REQBUFS, &request) < 0 || request.count < 2)
    return fail("could not allocate camera buffers");
  for (uint32_t i = 0; i < request.count; ++i) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (xioctl(fd_, VIDIOC_QUERYBUF, &buffer) < 0)
      return fail("could not map camera buffers");
    void* start = ::mmap(nullptr,
                         buffer.length,
                         PROT_READ | PROT_WRITE,
                         MAP_SHARED,
                         fd_,
                         buffer.m.offset);
    if (start == MAP_FAILED) return fail("could not map camera buffers");
    buffers_.push_back({start, buffer.length});
    if (xioctl(fd_, VIDIOC_QBUF, &buffer) < 0)
      return fail("could not queue camera buffers");
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (xioctl(fd_, VIDIOC_STREAMON, &type) < 0)
    return fail("could not start the camera stream");
  running_ = true;
  thread_ = std::thread(&V4l2Capture::captureLoop, this);
  return true;
}

void V4l2Capture::captureLoop() {
  BgraFrame frame;
  while (running_) {
    pollfd entry{fd_, POLLIN, 0};
    int ready = ::poll(&entry, 1, 100);
    if (ready <= 0) continue;
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_DQBUF, &buffer) < 0) {
      if (errno == EAGAIN) continue;
      break;  // the camera went away: frames stop
    }
    std::span<const uint8_t> data(
        static_cast<const uint8_t*>(buffers_[buffer.index].start),
        buffer.bytesused);
    bool converted = pixelFormat_ == V4L2_PIX_FMT_YUYV
                         ? yuyvToBgra(data, width_, height_, &frame)
                         : mjpeg_ && mjpeg_->decode(data, &frame, nullptr);
    double time = static_cast<double>(buffer.timestamp.tv_sec) +
                  static_cast<double>(buffer.timestamp.tv_usec) * 1e-6;
    xioctl(fd_, VIDIOC_QBUF, &buffer);
    if (!converted) continue;
    frame.timestamp = time;
    deliverFrame(frame, time);
  }
}

void V4l2Capture::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  stopRecordingAndExtraction();
  restoreControls();
  closeDevice();
}

void V4l2Capture::closeDevice() {
  if (fd_ >= 0) {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    xioctl(fd_, VIDIOC_STREAMOFF, &type);
  }
  for (const Buffer& b : buffers_) ::munmap(b.start, b.length);
  buffers_.clear();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  mjpeg_.reset();
}

bool V4l2Capture::getControl(uint32_t id, int32_t* value) const {
  return readControl(fd_, id, value);
}

bool V4l2Capture::setControl(uint32_t id, int32_t value) const {
  return writeControl(fd_, id, value);
}

V4l2Capture::SavedControl* V4l2Capture::savedFor(uint32_t id) {
  switch (id) {
    case V4L2_CID_EXPOSURE_ABSOLUTE:
      return &exposure_;
    case V4L2_CID_FOCUS_ABSOLUTE:
      return &focus_;
    case V4L2_CID_GAIN:
      return &gain_;
    case V4L2_CID_BACKLIGHT_COMPENSATION:
      return &backlight_;
    case V4L2_CID_EXPOSURE_AUTO:
      return &exposureAuto_;
    case V4L2_CID_FOCUS_AUTO:
      return &focusAuto_;
    default:
      return &autoGain_;
  }
}

bool V4l2Capture::recordControls() {
  if (recordBlocked_) return false;
  if (exposureAuto_.saved || exposure_.saved || focusAuto_.saved ||
      focus_.saved || autoGain_.saved || gain_.saved || backlight_.saved)
    return true;  // recorded when first locked
  pxo::RestoreRecord record;
  record.device = pxo::kCameraDevice;
  record.key = deviceId_;
  for (const FrozenControl& c : kFrozenControls) {
    int32_t value = 0;
    if (!getControl(c.id, &value)) continue;
    record.controls.push_back({c.name, c.id, value, 0});
  }
  if (record.controls.empty()) return true;
  if (!pxo::writeRestoreRecord(record, nullptr)) return false;
  for (const pxo::CameraControlValue& c : record.controls)
    *savedFor(c.id) = {static_cast<int32_t>(c.value), true};
  return true;
}

bool V4l2Capture::controlRange(uint32_t id,
                               int32_t* minimum,
                               int32_t* maximum) const {
  v4l2_queryctrl query{};
  query.id = id;
  if (fd_ < 0 || xioctl(fd_, VIDIOC_QUERYCTRL, &query) < 0 ||
      (query.flags & V4L2_CTRL_FLAG_DISABLED))
    return false;
  *minimum = query.minimum;
  *maximum = query.maximum;
  return true;
}

// Saves the control's value the first time and sets `value` (or keeps the
// value read). Controls the camera lacks are skipped.
void V4l2Capture::freeze(uint32_t id,
                         SavedControl* saved,
                         std::optional<int32_t> value) {
  int32_t current = 0;
  if (!getControl(id, &current)) return;
  if (!saved->saved) *saved = {current, true};
  (void)setControl(id, value.value_or(current));
}

void V4l2Capture::setExposure(float level) {
  int32_t minimum = 0, maximum = 0;
  if (!controlRange(V4L2_CID_EXPOSURE_ABSOLUTE, &minimum, &maximum)) return;
  (void)setControl(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL);
  float clamped = std::clamp(level, 0.0f, 1.0f);
  (void)setControl(
      V4L2_CID_EXPOSURE_ABSOLUTE,
      minimum + static_cast<int32_t>(float(maximum - minimum) * clamped));
}

bool V4l2Capture::lockCameraControls(std::optional<float> exposureLevel) {
  // The values before the lock go to disk first; without that record the
  // camera stays as the user set it.
  if (!recordControls()) return true;
  int32_t minimum = 0, maximum = 0;
  // Auto modes off first, then the values they had reached held.
  freeze(V4L2_CID_EXPOSURE_AUTO, &exposureAuto_, V4L2_EXPOSURE_MANUAL);
  if (exposureLevel &&
      controlRange(V4L2_CID_EXPOSURE_ABSOLUTE, &minimum, &maximum))
    freeze(
        V4L2_CID_EXPOSURE_ABSOLUTE,
        &exposure_,
        minimum + static_cast<int32_t>(float(maximum - minimum) *
                                       std::clamp(*exposureLevel, 0.0f, 1.0f)));
  else
    freeze(V4L2_CID_EXPOSURE_ABSOLUTE, &exposure_, std::nullopt);
  freeze(V4L2_CID_FOCUS_AUTO, &focusAuto_, 0);
  freeze(V4L2_CID_FOCUS_ABSOLUTE, &focus_, std::nullopt);
  freeze(V4L2_CID_AUTOGAIN, &autoGain_, 0);
  std::optional<int32_t> lowest;
  if (exposureLevel && controlRange(V4L2_CID_GAIN, &minimum, &maximum))
    lowest = minimum;
  freeze(V4L2_CID_GAIN, &gain_, lowest);
  lowest.reset();
  if (exposureLevel &&
      controlRange(V4L2_CID_BACKLIGHT_COMPENSATION, &minimum, &maximum))
    lowest = minimum;
  freeze(V4L2_CID_BACKLIGHT_COMPENSATION, &backlight_, lowest);
  return true;
}

std::optional<ExposureSetting> V4l2Capture::lockedExposure() {
  int32_t minimum = 0, maximum = 0, value = 0;
  if (!exposure_.saved ||
      !controlRange(V4L2_CID_EXPOSURE_ABSOLUTE, &minimum, &maximum) ||
      !getControl(V4L2_CID_EXPOSURE_ABSOLUTE, &value))
    return std::nullopt;
  ExposureSetting setting;
  // exposure_absolute counts 100 µs.
  setting.seconds = value * 1e-4;
  setting.minimumSeconds = std::max(minimum, 1) * 1e-4;
  int32_t gain = 0;
  if (controlRange(V4L2_CID_GAIN, &minimum, &maximum) &&
      getControl(V4L2_CID_GAIN, &gain)) {
    setting.gain = gain;
    setting.minimumGain = minimum;
  }
  return setting;
}

bool V4l2Capture::setLockedExposure(const ExposureSetting& setting) {
  int32_t minimum = 0, maximum = 0;
  if (!exposure_.saved ||
      !controlRange(V4L2_CID_EXPOSURE_ABSOLUTE, &minimum, &maximum))
    return false;
  const auto units = static_cast<int32_t>(std::lround(setting.seconds * 1e4));
  freeze(V4L2_CID_EXPOSURE_ABSOLUTE,
         &exposure_,
         std::clamp(units, std::max(minimum, 1), std::max(maximum, 1)));
  if (controlRange(V4L2_CID_GAIN, &minimum, &maximum))
    freeze(V4L2_CID_GAIN,
           &gain_,
           std::clamp(static_cast<int32_t>(std::lround(setting.gain)),
                      minimum,
                      std::max(minimum, maximum)));
  return true;
}

void V4l2Capture::restoreControls() {
  std::vector<pxo::CameraControlValue> saved;
  for (const FrozenControl& c : kFrozenControls) {
    SavedControl* control = savedFor(c.id);
    if (control->saved) saved.push_back({c.name, c.id, control->value, 0});
    *control = SavedControl{};
  }
  if (saved.empty()) return;
  // The record goes only once every value read back as it was.
  if (applyControls(fd_, saved, nullptr))
    (void)pxo::removeRestoreRecord(pxo::kCameraDevice, deviceId_, nullptr);
}

bool restoreCameraControls(const std::string& deviceId,
                           bool* found,
                           std::string* error) {
  *found = false;
  pxo::RestoreRecord record;
  std::string problem;
  if (pxo::readRestoreRecord(pxo::kCameraDevice, deviceId, &record, &problem) ==
      pxo::RecordState::kNone)
    return true;
  const int fd = ::open(deviceId.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *found = true;
    if (error)
      *error = "could not open camera " + deviceId + "; its record is kept";
    return false;
  }
  const bool ok = putBackRecordedControls(fd, deviceId, found, error);
  ::close(fd);
  return ok;
}

}  // namespace pxowin
