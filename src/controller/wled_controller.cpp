#include "controller/wled_controller.h"

#include "controller/http_client.h"
#include "json/json.h"
#include "platform/utf8_path.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace pxo {

namespace {

constexpr int32_t kWledChannelsPerLed = 3;  // DDP's RGB data type
constexpr int32_t kFullBrightness = 255;

bool fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return false;
}

void say(const ControllerProgress& progress, const std::string& message) {
  if (progress) progress(message);
}

std::string stateText(bool on, int32_t brightness) {
  return std::string("{\"on\":") + (on ? "true" : "false") +
         ",\"bri\":" + std::to_string(brightness) + "}";
}

// The state a record keeps, read back from its text.
bool recordedState(const RestoreRecord& record, bool* on, int32_t* bri) {
  if (record.kind != kWledRecordKind || record.files.size() != 1 ||
      record.files[0].path != kWledStatePath)
    return false;
  JsonValue doc;
  if (!parseJsonDocument(record.files[0].original, &doc) || !doc.isObject())
    return false;
  const JsonValue* onValue = findMember(doc, "on");
  const JsonValue* briValue = findMember(doc, "bri");
  if (!onValue || onValue->type != JsonType::kBoolean || !briValue ||
      briValue->type != JsonType::kNumber)
    return false;
  *on = onValue->boolean;
  *bri = std::clamp(static_cast<int32_t>(briValue->number), 0, 255);
  return true;
}

std::string failureMessage(const std::string& host, const std::string& why) {
  return "could not put the state of the WLED controller at " + host +
         " back (" + why + "); it is kept safe in " +
         platform::pathToUtf8(
             restoreRecordPath(kControllerDevice, controllerRecordKey(host))) +
         ": run \"" + restoreCommandFor(host) +
         "\" when the controller answers again";
}

// Sets the state until it takes or `seconds` have passed, backing off.
bool setStateRetried(const std::string& host,
                     bool on,
                     int32_t bri,
                     double seconds,
                     std::string* why) {
  using Clock = std::chrono::steady_clock;
  const auto until =
      Clock::now() + std::chrono::milliseconds(
                         static_cast<int64_t>(std::max(seconds, 0.0) * 1000));
  auto wait = std::chrono::milliseconds(250);
  for (;;) {
    if (setWledState(host, on, bri, why)) return true;
    if (Clock::now() + wait > until) return false;
    std::this_thread::sleep_for(wait);
    wait = std::min(wait * 2, std::chrono::milliseconds(4000));
  }
}

// Puts back the state an earlier scan left, at connect. A state changed
// since that scan is the user's: it stays, and the record goes.
bool recoverWledState(const std::string& host,
                      const ControllerProgress& progress,
                      std::string* error) {
  RestoreRecord record;
  std::string problem;
  const std::string key = controllerRecordKey(host);
  switch (readRestoreRecord(kControllerDevice, key, &record, &problem)) {
    case RecordState::kNone:
      return true;
    case RecordState::kDamaged:
      return fail(error,
                  "the restore record of " + host + " is damaged: " + problem +
                      "; nothing was changed. Remove it with \"" +
                      restoreCommandFor(host) + " --discard\"");
    case RecordState::kOk:
      break;
  }
  bool on = true;
  int32_t bri = 0;
  if (!recordedState(record, &on, &bri))
    return fail(error,
                "the restore record of " + host +
                    " is not a WLED controller's; put it back with \"" +
                    restoreCommandFor(host) + "\" first");
  WledDevice now;
  if (!readWledDevice(host, &now, error)) return false;
  if (now.on && now.brightness == kFullBrightness) {
    say(progress,
        "Putting back the state an earlier scan left on " + host +
            "\xE2\x80\xA6");
    if (!setWledState(host, on, bri, &problem))
      return fail(error, failureMessage(host, problem));
  }
  return removeRestoreRecord(kControllerDevice, key, error);
}

// A map takes longer to write to flash than a document to read.
HttpLimits uploadLimits() {
  HttpLimits limits = wledHttpLimits();
  limits.total = std::chrono::milliseconds(15000);
  return limits;
}

std::string ledMapName(int32_t slot) {
  return slot == 0 ? "ledmap.json" : "ledmap" + std::to_string(slot) + ".json";
}

// GET /name: 1 when the controller has the file (its bytes in `body`), 0
// when it has not (404), -1 when it did not answer as it should.
int fileOnController(const std::string& host,
                     const std::string& name,
                     std::string* body) {
  HttpResponse response;
  httpRequest(
      &response, host, "GET", "/" + name, "", "", "", "", uploadLimits());
  if (!response.ok) return -1;
  if (response.status == 404) return 0;
  if (response.status != 200) return -1;
  *body = std::move(response.body);
  return 1;
}

}  // namespace

bool uploadWledLedMap(const std::string& host,
                      const std::string& text,
                      std::string* storedAs,
                      std::string* error) {
  const std::string controller = "the WLED controller at " + host;
  std::string name;
  for (int32_t slot = 0; slot < kWledLedMapSlots && name.empty(); ++slot) {
    std::string existing;
    const int found = fileOnController(host, ledMapName(slot), &existing);
    if (found < 0)
      return fail(error,
                  "could not ask " + controller + " which LED maps it has");
    if (found == 0) name = ledMapName(slot);
  }
  if (name.empty())
    return fail(error,
                controller +
                    " keeps ten LED maps already; remove one to upload "
                    "another");
  // A boundary that cannot occur in the map's JSON text.
  const std::string boundary = "----pixoria-ledmap-7d1f0c";
  const std::string body = "--" + boundary +
                           "\r\nContent-Disposition: form-data; "
                           "name=\"data\"; filename=\"" +
                           name +
                           "\"\r\nContent-Type: application/json\r\n\r\n" +
                           text + "\r\n--" + boundary + "--\r\n";
  HttpResponse response;
  httpRequest(&response,
              host,
              "POST",
              "/upload",
              body,
              "multipart/form-data; boundary=" + boundary,
              "",
              "",
              uploadLimits());
  if (!response.ok) return fail(error, "no answer from " + controller);
  if (response.status != 200)
    return fail(error,
                controller + " answered HTTP " +
                    std::to_string(response.status) + " for /upload");
  std::string kept;
  if (fileOnController(host, name, &kept) != 1 || kept != text)
    return fail(error, controller + " did not keep the LED map as sent");
  *storedAs = "/" + name;
  return true;
}

int32_t wledDdpShift(const WledDevice& device) {
  return device.dmxStartAddress / kWledChannelsPerLed +
         device.realtimeLedOffset;
}

bool connectWled(ControllerLink* link,
                 const std::string& host,
                 std::string* error,
                 const ControllerProgress& progress) {
  if (!recoverWledState(host, progress, error)) return false;
  WledDevice device;
  if (!readWledDevice(host, &device, error)) return false;
  if (!device.realtimeEnabled)
    return fail(error,
                "the WLED controller at " + host +
                    " has its realtime input switched off: switch on "
                    "\"Receive UDP realtime\" in its sync settings; nothing "
                    "was changed");
  std::vector<ControllerPort> ports;
  auto addPort = [&](int32_t start, int32_t length) {
    ControllerPort port;
    port.portNumber = static_cast<int32_t>(ports.size());  // 0-based
    port.pixelCount = length;
    port.startChannel = start * kWledChannelsPerLed;
    port.colorOrder = "RGB";  // the controller orders each output itself
    port.channelsPerPixel = kWledChannelsPerLed;
    port.selected = true;
    port.channelEnd = (start + length) * kWledChannelsPerLed;
    ports.push_back(port);
  };
  for (const WledOutput& output : device.outputs)
    if (output.length > 0) addPort(output.start, output.length);
  if (ports.empty() && device.ledCount > 0) addPort(0, device.ledCount);
  if (ports.empty())
    return fail(error, "the WLED controller at " + host + " has no LEDs");
  link->kind = ControllerKind::kWled;
  link->host = host;
  link->hostName = device.name;
  link->platform = "WLED";
  link->version = device.version;
  link->ports = std::move(ports);
  link->wled = std::move(device);
  link->wledStateChanged = false;
  link->closed = false;
  return true;
}

bool prepareWled(ControllerLink* link,
                 std::string* error,
                 const ControllerProgress& progress) {
  const WledDevice& device = link->wled;
  const int32_t shift = wledDdpShift(device);
  for (const ControllerPort& port : link->ports)
    if (port.selected && port.startChannel / kWledChannelsPerLed < shift)
      return fail(error,
                  "the WLED controller at " + link->host +
                      " moves realtime data " + std::to_string(shift) +
                      " LEDs on (its DMX start address and LED offset), so "
                      "its first LEDs cannot be reached: set its DMX start "
                      "address to 1 and its offset to 0");
  if (wledRealtimeBrightness(device) == kFullBrightness) return true;

  std::lock_guard lock(link->changeMutex);
  if (link->closed) return fail(error, "the scan was stopped");
  RestoreRecord record;
  record.device = kControllerDevice;
  record.key = controllerRecordKey(link->host);
  record.host = link->host;
  record.kind = kWledRecordKind;
  record.hostName = device.name;
  record.platform = "WLED";
  record.version = device.version;
  RestoreFile state;
  state.name = "state";
  state.path = kWledStatePath;
  state.original = stateText(device.on, device.brightness);
  state.scanDigest = documentDigest(stateText(true, kFullBrightness));
  record.files.push_back(state);
  std::string why;
  if (!writeRestoreRecord(record, &why))
    return fail(error,
                "could not keep the state of " + link->host +
                    " before changing it (" + why + "); nothing was changed");
  link->record = record;
  link->recordWritten = true;
  say(progress,
      "Setting " + link->host + " to full brightness for the scan\xE2\x80\xA6");
  link->wledStateChanged = true;
  if (!setWledState(link->host, true, kFullBrightness, &why)) {
    std::string back;
    if (!restoreWledLocked(link, &back)) return fail(error, why + "; " + back);
    return fail(error, why);
  }
  return true;
}

bool restoreWledLocked(ControllerLink* link, std::string* error) {
  if (!link->wledStateChanged) return true;
  const WledDevice& device = link->wled;
  std::string why;
  if (!setStateRetried(
          link->host, device.on, device.brightness, link->restoreSeconds, &why))
    return fail(error, failureMessage(link->host, why));
  link->wledStateChanged = false;
  if (link->recordWritten) {
    if (!removeRestoreRecord(kControllerDevice, link->record.key, error))
      return false;
    link->recordWritten = false;
  }
  return true;
}

bool restoreWled(ControllerLink* link,
                 std::string* error,
                 const ControllerProgress& progress) {
  std::lock_guard lock(link->changeMutex);
  if (!link->wledStateChanged) return true;
  say(progress, "Putting back the state of " + link->host + "\xE2\x80\xA6");
  return restoreWledLocked(link, error);
}

bool restoreRecordedWled(const std::string& host,
                         double seconds,
                         bool* found,
                         std::vector<std::string>* report,
                         std::string* error) {
  RestoreRecord record;
  std::string problem;
  const std::string key = controllerRecordKey(host);
  const RecordState state =
      readRestoreRecord(kControllerDevice, key, &record, &problem);
  *found = state != RecordState::kNone;
  if (state == RecordState::kNone) return true;
  bool on = true;
  int32_t bri = 0;
  if (state == RecordState::kDamaged || !recordedState(record, &on, &bri))
    return fail(error,
                "the restore record of " + host + " is damaged" +
                    (problem.empty() ? "" : ": " + problem) +
                    "; nothing was put back");
  if (!setStateRetried(host, on, bri, seconds, &problem))
    return fail(error, failureMessage(host, problem));
  report->push_back("put back: state (" + stateText(on, bri) + ")");
  return removeRestoreRecord(kControllerDevice, key, error);
}

}  // namespace pxo
