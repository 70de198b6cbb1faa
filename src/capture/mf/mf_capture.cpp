#include "capture/mf/mf_capture.h"

#include "controller/restore_record.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <strmif.h>

namespace pxowin {
namespace {

using mf::ComApartment;
using mf::ComPtr;

// The control flags of the camera-control and amplifier interfaces.
constexpr long kManual = 2;
// How long stop() waits for a frame before it shuts the camera down under
// the capture thread (a read that waits for a camera that stopped).
constexpr auto kStopWait = std::chrono::seconds(1);

void setError(std::string* error, const char* message) {
  if (error) *error = message;
}

}  // namespace

bool enumerateCameras(std::vector<CameraDevice>* out, std::string* error) {
  out->clear();
  ComApartment com(COINIT_APARTMENTTHREADED);
  mf::Started started;
  if (!started.take()) {
    setError(error, "MFStartup failed");
    return false;
  }
  ComPtr<IMFAttributes> attributes;
  if (FAILED(mf::api().createAttributes(attributes.put(), 1)) ||
      FAILED(attributes->SetGUID(
          MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE,
          MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID))) {
    setError(error, "MFCreateAttributes failed");
    return false;
  }
  IMFActivate** devices = nullptr;
  UINT32 count = 0;
  if (FAILED(mf::api().enumDeviceSources(attributes.get(), &devices, &count))) {
    setError(error, "MFEnumDeviceSources failed");
    return false;
  }
  auto text = [](IMFActivate* device, REFGUID key) {
    WCHAR* value = nullptr;
    UINT32 length = 0;
    std::string utf8;
    if (SUCCEEDED(device->GetAllocatedString(key, &value, &length))) {
      utf8 = mf::narrow(value ? value : L"");
      ::CoTaskMemFree(value);
    }
    return utf8;
  };
  for (UINT32 i = 0; i < count; ++i) {
    CameraDevice camera;
    camera.id = text(devices[i],
                     MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK);
    camera.name = text(devices[i], MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME);
    if (!camera.id.empty()) out->push_back(std::move(camera));
    devices[i]->Release();
  }
  if (devices) ::CoTaskMemFree(devices);
  return true;
}

std::unique_ptr<ICaptureSource> createLocalCamera() {
  return std::make_unique<MFCapture>();
}

MFCapture::~MFCapture() { stop(); }

bool MFCapture::start(const std::string& deviceId, std::string* error) {
  stop();
  ComApartment com;
  if (!started_.take()) {
    setError(error, "MFStartup failed");
    return false;
  }
  // The camera is looked up among those attached first: one that is gone
  // fails here, without asking the platform to open it (Wine's device
  // source is a stub that ends the process).
  std::vector<CameraDevice> cameras;
  if (!enumerateCameras(&cameras, error)) return false;
  if (cameras.empty() && deviceId.empty()) {
    setError(error, "no video capture devices");
    return false;
  }
  auto camera =
      std::find_if(cameras.begin(), cameras.end(), [&](const CameraDevice& c) {
        return deviceId.empty() || c.id == deviceId;
      });
  if (camera == cameras.end()) {
    setError(error, "MFCreateDeviceSource failed");
    return false;
  }
  const std::string id = camera->id;
  deviceName_ = camera->name;
  ComPtr<IMFAttributes> attributes;
  if (FAILED(mf::api().createAttributes(attributes.put(), 2)) ||
      FAILED(attributes->SetGUID(
          MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE,
          MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID)) ||
      FAILED(attributes->SetString(
          MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK,
          mf::widen(id).c_str()))) {
    setError(error, "MFCreateAttributes failed");
    return false;
  }
  ComPtr<IMFMediaSource> source;
  if (FAILED(mf::api().createDeviceSource(attributes.get(), source.put()))) {
    setError(error, "MFCreateDeviceSource failed");
    return false;
  }
  ComPtr<IMFAttributes> readerAttributes;
  if (SUCCEEDED(mf::api().createAttributes(readerAttributes.put(), 1)))
    readerAttributes->SetUINT32(
        MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, TRUE);
  ComPtr<IMFSourceReader> reader;
  if (FAILED(mf::api().createSourceReaderFromMediaSource(
          source.get(), readerAttributes.get(), reader.put()))) {
    source->Shutdown();
    setError(error, "MFCreateSourceReaderFromMediaSource failed");
    return false;
  }
  mf::VideoFormat format;
  if (!mf::negotiateOutput(reader.get(), &format)) {
    source->Shutdown();
    setError(error, "could not negotiate RGB32 output");
    return false;
  }
  {
    std::lock_guard lock(formatMutex_);
    format_ = format;
  }
  setNominalFrameRate(static_cast<double>(format.frameRateNumerator) /
                      format.frameRateDenominator);
  source_ = std::move(source);
  reader_ = std::move(reader);
  deviceId_ = id;
  // A run that ended without putting the controls back left its record:
  // the user's own values come back first. One that cannot be put back is
  // not locked over.
  recordBlocked_ = !putBackRecordedControls(nullptr);
  {
    std::lock_guard lock(endMutex_);
    threadEnded_ = false;
  }
  running_ = true;
  thread_ = std::thread([this] { captureLoop(); });
  return true;
}

bool MFCapture::startRecording(const std::filesystem::path& path,
                               std::string* error) {
  if (!reader_) {
    setError(error, "not started");
    return false;
  }
  return RecordingCaptureSource::startRecording(path, error);
}

void MFCapture::captureLoop() {
  ComApartment com;
  const auto stream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
  BgraFrame frame;
  while (running_) {
    DWORD flags = 0;
    LONGLONG time = 0;
    ComPtr<IMFSample> sample;
    if (FAILED(reader_->ReadSample(
            stream, 0, nullptr, &flags, &time, sample.put())) ||
        (flags & MF_SOURCE_READERF_ENDOFSTREAM))
      break;
    mf::VideoFormat format;
    {
      std::lock_guard lock(formatMutex_);
      // A format the camera changed to and we cannot read ends the frames.
      if (flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED &&
          !mf::negotiateOutput(reader_.get(), &format_))
        format_ = mf::VideoFormat{};
      format = format_;
    }
    if (!sample || !running_) continue;
    if (mf::frameFromSample(sample.get(), format, 0, &frame)) {
      frame.timestamp = static_cast<double>(time) / 1e7;
      deliverFrame(frame, frame.timestamp);
    }
  }
  std::lock_guard lock(endMutex_);
  threadEnded_ = true;
  ended_.notify_all();
}

void MFCapture::stop() {
  running_ = false;
  if (thread_.joinable()) {
    // A camera that stopped sending leaves the read waiting: shutting the
    // source down ends it.
    std::unique_lock lock(endMutex_);
    if (!ended_.wait_for(lock, kStopWait, [this] { return threadEnded_; }) &&
        source_) {
      lock.unlock();
      ComApartment com;
      source_->Shutdown();
    }
    thread_.join();
  }
  stopRecordingAndExtraction();
  closeCamera();
}

void MFCapture::closeCamera() {
  ComApartment com;
  restoreControls();
  reader_.reset();
  if (source_) source_->Shutdown();
  source_.reset();
}

// Calls `call` with the camera's camera-control or amplifier interface,
// whichever holds the property; false when the camera has none.
template <typename Call>
static bool withControls(IMFSourceReader* reader, bool amplifier, Call call) {
  if (!reader) return false;
  const auto source = static_cast<DWORD>(MF_SOURCE_READER_MEDIASOURCE);
  if (amplifier) {
    ComPtr<IAMVideoProcAmp> amp;
    return SUCCEEDED(reader->GetServiceForStream(
               source,
               GUID_NULL,
               IID_IAMVideoProcAmp,
               reinterpret_cast<void**>(amp.put()))) &&
           SUCCEEDED(call(amp.get()));
  }
  ComPtr<IAMCameraControl> control;
  return SUCCEEDED(reader->GetServiceForStream(
             source,
             GUID_NULL,
             IID_IAMCameraControl,
             reinterpret_cast<void**>(control.put()))) &&
         SUCCEEDED(call(control.get()));
}

bool MFCapture::range(const Property& p,
                      long* minimum,
                      long* maximum,
                      long* caps) {
  long step = 0, fallback = 0;
  return withControls(reader_.get(), p.amplifier, [&](auto* controls) {
    return controls->GetRange(p.id, minimum, maximum, &step, &fallback, caps);
  });
}

bool MFCapture::get(const Property& p, long* value, long* flags) {
  return withControls(reader_.get(), p.amplifier, [&](auto* controls) {
    return controls->Get(p.id, value, flags);
  });
}

bool MFCapture::set(const Property& p, long value, long flags) {
  return withControls(reader_.get(), p.amplifier, [&](auto* controls) {
    return controls->Set(p.id, value, flags);
  });
}

void MFCapture::freeze(const Property& p, std::optional<long> value) {
  long current = 0, flags = 0;
  if (!get(p, &current, &flags)) return;
  if (!p.saved->saved) *p.saved = SavedControl{current, flags, true};
  set(p, value.value_or(current), kManual);
}

void MFCapture::setExposure(float level) {
  ComApartment com;
  long minimum = 0, maximum = 0, caps = 0;
  if (!range(exposureProperty(), &minimum, &maximum, &caps)) return;
  const float clamped = std::clamp(level, 0.0f, 1.0f);
  set(exposureProperty(),
      minimum +
          static_cast<long>(static_cast<float>(maximum - minimum) * clamped),
      kManual);
}

// The properties a scan freezes, by name in the restore record.
static const char* propertyName(bool amplifier, long id) {
  if (!amplifier) return id == 4 ? "exposure" : "focus";
  return id == 9 ? "gain" : "backlight_compensation";
}

bool MFCapture::recordControls() {
  if (recordBlocked_) return false;
  if (exposure_.saved || focus_.saved || gain_.saved || backlight_.saved)
    return true;  // recorded when first locked
  pxo::RestoreRecord record;
  record.device = pxo::kCameraDevice;
  record.key = deviceId_;
  std::vector<Property> taken;
  for (Property p : frozenProperties()) {
    long value = 0, flags = 0;
    if (!get(p, &value, &flags)) continue;
    record.controls.push_back(
        {propertyName(p.amplifier, p.id),
         static_cast<uint32_t>(p.id) | (p.amplifier ? 0x100u : 0u),
         value,
         flags});
    *p.saved = SavedControl{value, flags, false};
    taken.push_back(p);
  }
  if (record.controls.empty()) return true;
  if (!pxo::writeRestoreRecord(record, nullptr)) return false;
  for (Property p : taken) p.saved->saved = true;
  return true;
}

bool MFCapture::lockCameraControls(std::optional<float> exposureLevel) {
  ComApartment com;
  // The values before the lock go to disk first; without that record the
  // camera stays as the user set it.
  if (!recordControls()) return true;
  if (exposureLevel) setExposure(*exposureLevel);
  freeze(exposureProperty(), std::nullopt);
  freeze({false, 6, &focus_}, std::nullopt);
  for (Property p : {gainProperty(), Property{true, 8, &backlight_}}) {
    long minimum = 0, maximum = 0, caps = 0;
    if (!range(p, &minimum, &maximum, &caps) || !(caps & kManual)) continue;
    freeze(p, exposureLevel ? std::optional<long>(minimum) : std::nullopt);
  }
  return true;
}

std::optional<ExposureSetting> MFCapture::lockedExposure() {
  ComApartment com;
  long minimum = 0, maximum = 0, caps = 0, value = 0, flags = 0;
  if (!exposure_.saved ||
      !range(exposureProperty(), &minimum, &maximum, &caps) ||
      !get(exposureProperty(), &value, &flags))
    return std::nullopt;
  // The camera control counts exposure in powers of two of a second.
  ExposureSetting setting;
  setting.seconds = std::exp2(static_cast<double>(value));
  setting.minimumSeconds = std::exp2(static_cast<double>(minimum));
  long gain = 0;
  if (range(gainProperty(), &minimum, &maximum, &caps) &&
      get(gainProperty(), &gain, &flags)) {
    setting.gain = static_cast<double>(gain);
    setting.minimumGain = static_cast<double>(minimum);
  }
  return setting;
}

bool MFCapture::setLockedExposure(const ExposureSetting& setting) {
  ComApartment com;
  long minimum = 0, maximum = 0, caps = 0;
  if (!exposure_.saved || !(setting.seconds > 0) ||
      !range(exposureProperty(), &minimum, &maximum, &caps))
    return false;
  const auto steps = static_cast<long>(std::lround(std::log2(setting.seconds)));
  freeze(exposureProperty(),
         std::clamp(steps, minimum, std::max(minimum, maximum)));
  if (range(gainProperty(), &minimum, &maximum, &caps) && (caps & kManual))
    freeze(gainProperty(),
           std::clamp(static_cast<long>(std::lround(setting.gain)),
                      minimum,
                      std::max(minimum, maximum)));
  return true;
}

std::vector<MFCapture::Property> MFCapture::frozenProperties() {
  return {exposureProperty(),
          Property{false, 6, &focus_},
          gainProperty(),
          Property{true, 8, &backlight_}};
}

// Sets each value with its flags and reads it back.
bool MFCapture::applyControls(
    const std::vector<pxo::CameraControlValue>& controls) {
  bool all = true;
  for (const pxo::CameraControlValue& c : controls) {
    SavedControl scratch;
    const Property p{
        (c.id & 0x100u) != 0, static_cast<long>(c.id & 0xFFu), &scratch};
    set(p, static_cast<long>(c.value), static_cast<long>(c.flags));
    long value = 0, flags = 0;
    all = all && get(p, &value, &flags) && value == c.value && flags == c.flags;
  }
  return all;
}

bool MFCapture::putBackRecordedControls(std::string* error) {
  pxo::RestoreRecord record;
  std::string problem;
  switch (pxo::readRestoreRecord(
      pxo::kCameraDevice, deviceId_, &record, &problem)) {
    case pxo::RecordState::kNone:
      return true;
    case pxo::RecordState::kDamaged:
      if (error)
        *error = "the restore record of camera " + deviceId_ + " is damaged (" +
                 problem + "); nothing was put back";
      return false;
    case pxo::RecordState::kOk:
      break;
  }
  ComApartment com;
  if (!applyControls(record.controls)) {
    if (error)
      *error = "could not put the controls of camera " + deviceId_ +
               " back; the record is kept";
    return false;
  }
  return pxo::removeRestoreRecord(pxo::kCameraDevice, deviceId_, error);
}

void MFCapture::restoreControls() {
  std::vector<pxo::CameraControlValue> saved;
  for (Property p : frozenProperties()) {
    if (p.saved->saved)
      saved.push_back(
          {propertyName(p.amplifier, p.id),
           static_cast<uint32_t>(p.id) | (p.amplifier ? 0x100u : 0u),
           p.saved->value,
           p.saved->flags});
    p.saved->saved = false;
  }
  if (saved.empty()) return;
  // The record goes only once every value read back as it was.
  if (applyControls(saved))
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
  *found = true;
  // Starting the camera puts its record back first.
  MFCapture camera;
  std::string why;
  if (!camera.start(deviceId, &why)) {
    if (error)
      *error = "could not open camera " + deviceId + " (" + why +
               "); its record is kept";
    return false;
  }
  camera.stop();
  if (pxo::readRestoreRecord(pxo::kCameraDevice, deviceId, &record, &problem) !=
      pxo::RecordState::kNone) {
    if (error)
      *error = "could not put the controls of camera " + deviceId +
               " back; the record is kept";
    return false;
  }
  return true;
}

}  // namespace pxowin
