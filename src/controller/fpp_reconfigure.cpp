#include "controller/fpp_reconfigure.h"

#include "controller/fpp_restore.h"
#include "controller/http_client.h"
#include "controller/wled_controller.h"
#include "json/json.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace pxo {

namespace {

FppResult send(const std::string& host,
               const std::string& user,
               const std::string& password,
               const char* method,
               const char* path,
               std::string_view body) {
  HttpResponse response;
  httpRequest(
      &response, host, method, path, body, "application/json", user, password);
  return fppResultOf(response.ok, response.status);
}

// Three different letters of R, G and B (and a W for four channels).
bool isColourOrder(const std::string& order, int32_t channelsPerPixel) {
  const size_t size = channelsPerPixel == 4 ? 4 : 3;
  if (order.size() != size) return false;
  for (char letter : std::string_view("RGB"))
    if (std::count(order.begin(), order.end(), letter) != 1) return false;
  return size == 3 || std::count(order.begin(), order.end(), 'W') == 1;
}

JsonValue scanVirtualString(const ScanPortSpec& portSpec,
                            const JsonValue* old) {
  // The old first string's other keys are kept in their places; the scan's
  // own keys replace theirs or are added after them.
  JsonValue string = JsonValue::makeObject();
  int32_t brightness = kMaxScanBrightness;
  if (old && old->isObject()) {
    string = *old;
    brightness = std::clamp(
        getInt(*old, "brightness", kMaxScanBrightness), 1, kMaxScanBrightness);
  }
  setString(string, "description", "");
  setNumber(string, "startChannel", portSpec.startChannel);
  setNumber(string, "pixelCount", portSpec.pixelCount);
  setNumber(string, "groupCount", 1);
  setNumber(string, "reverse", 0);
  // The port's own colour order stays, so that its strip shows the colours
  // the scan sends; only a missing one, or one of the wrong length, becomes
  // RGB or RGBW.
  std::string order =
      old && old->isObject() ? getString(*old, "colorOrder", "") : "";
  if (!isColourOrder(order, portSpec.channelsPerPixel))
    order = portSpec.channelsPerPixel == 4 ? "RGBW" : "RGB";
  setString(string, "colorOrder", order);
  setNumber(string, "nullNodes", portSpec.nullNodes);
  setNumber(string, "endNulls", 0);
  setNumber(string, "zigZag", 0);
  setNumber(string, "brightness", brightness);
  setString(string, "gamma", "1.0");
  return string;
}

}  // namespace

bool buildScanPortConfig(std::string_view savedPortStrings,
                         std::span<const ScanPortSpec> portSpecs,
                         std::string* out) {
  out->clear();
  if (savedPortStrings.empty()) return false;
  JsonValue doc;
  if (!parseJsonDocument(savedPortStrings, &doc) || !doc.isObject())
    return false;
  JsonValue* outputs = findMember(doc, "channelOutputs");
  if (!outputs || !outputs->isArray() || outputs->array.empty() ||
      !outputs->array.front().isObject())
    return false;
  // The controller's answer carries a "status" it adds to every GET; it is
  // not part of the stored document.
  doc.object.erase("status");

  JsonValue* ports = findMember(outputs->array.front(), "outputs");
  if (ports && ports->isArray()) {
    for (JsonValue& output : ports->array) {
      if (!output.isObject()) continue;
      int32_t portNumber = getInt(output, "portNumber", -1);
      auto portSpec = std::find_if(
          portSpecs.begin(), portSpecs.end(), [&](const ScanPortSpec& s) {
            return s.portNumber == portNumber;
          });
      if (portSpec == portSpecs.end()) continue;
      const JsonValue* list = findMember(output, "virtualStrings");
      const JsonValue* old = list && list->isArray() && !list->array.empty()
                                 ? &list->array.front()
                                 : nullptr;
      JsonValue replacement = JsonValue::makeArray();
      replacement.array.push_back(scanVirtualString(*portSpec, old));
      output.object.set("virtualStrings", std::move(replacement));
    }
  }
  writeJson(doc, out);
  return true;
}

std::string documentForRestore(std::string_view saved, bool dropRootStatus) {
  JsonValue doc;
  if (!parseJsonDocument(saved, &doc)) return std::string(saved);
  if (dropRootStatus && doc.isObject()) doc.object.erase("status");
  return toJsonText(doc);
}

std::string escapeForStripslashes(std::string_view json) {
  std::string out;
  out.reserve(json.size() + json.size() / 16);
  for (char c : json) {
    out.push_back(c);
    if (c == '\\') out.push_back('\\');
  }
  return out;
}

FppResult writePortStrings(const std::string& host,
                           const std::string& user,
                           const std::string& password,
                           bool usesBBB,
                           std::string_view json) {
  return send(host,
              user,
              password,
              "POST",
              pixelStringsPath(usesBBB),
              escapeForStripslashes(json));
}

FppResult writeScanUniverseInputs(const std::string& host,
                                  const std::string& user,
                                  const std::string& password) {
  return writeUniverseInputs(host, user, password, kScanUniverseInputs);
}

FppResult writeUniverseInputs(const std::string& host,
                              const std::string& user,
                              const std::string& password,
                              std::string_view json) {
  return send(host,
              user,
              password,
              "POST",
              kFppUniverseInputsPath,
              escapeForStripslashes(json));
}

FppResult deleteUniverseInputsFile(const std::string& host,
                                   const std::string& user,
                                   const std::string& password) {
  return send(host, user, password, "DELETE", kFppUniverseFilePath, "");
}

namespace {

bool needsRestart(const ControllerLink& link) {
  return link.fppMajorVersion > 0 && link.fppMajorVersion < 9;
}

// fppd's status document; false when it does not answer with one.
bool readStatus(const ControllerLink& link, JsonValue* doc) {
  HttpResponse response;
  httpRequest(&response,
              link.host,
              "GET",
              kFppStatusPath,
              "",
              "",
              link.user,
              link.password);
  return response.ok && response.status >= 200 && response.status <= 299 &&
         parseJsonDocument(response.body, doc) && doc->isObject();
}

// Posts one of the scan's documents; false with what the controller said
// when it did not take it.
bool postScanDocument(const ControllerLink& link,
                      const char* path,
                      std::string_view json,
                      const char* what,
                      std::string* error) {
  HttpResponse response;
  httpRequest(&response,
              link.host,
              "POST",
              path,
              escapeForStripslashes(json),
              "application/json",
              link.user,
              link.password);
  std::string refusal;
  JsonValue doc;
  if (!response.ok)
    refusal = "did not answer";
  else if (response.status == 401)
    refusal = "asked for authentication";
  else if (response.status < 200 || response.status > 299)
    refusal = "answered HTTP " + std::to_string(response.status);
  else if (parseJsonDocument(response.body, &doc) && doc.isObject() &&
           getString(doc, "status", "").rfind("ERROR", 0) == 0)
    refusal = "answered \"" + getString(doc, "status", "") + "\"";
  if (refusal.empty()) return true;
  if (error)
    *error = "the controller refused the scan's " + std::string(what) +
             " configuration: it " + refusal;
  return false;
}

// Puts back what was changed, checked; called with the change mutex held.
// The record goes once everything is back.
bool restoreChanges(ControllerLink* link,
                    const ControllerProgress& progress,
                    double seconds,
                    std::string* error) {
  if (!link->portStringsChanged && !link->universesChanged) return true;
  std::vector<bool> which(link->record.files.size());
  for (size_t i = 0; i < which.size(); ++i)
    which[i] = link->record.files[i].path == kFppUniverseFilePath
                   ? link->universesChanged
                   : link->portStringsChanged;
  link->portStringsChanged = false;
  link->universesChanged = false;
  std::string why;
  if (!restoreFppFiles(link->host,
                       link->user,
                       link->password,
                       link->record,
                       which,
                       seconds,
                       progress,
                       &why)) {
    // The record stays: the next connect or `pixoria restore` finishes it.
    if (error) *error = restoreFailureMessage(link->host, why);
    link->recordWritten = false;
    return false;
  }
  (void)removeRestoreRecord(kControllerDevice, link->record.key, nullptr);
  link->recordWritten = false;
  return true;
}

}  // namespace

bool checkControllerIdle(const ControllerLink& link, std::string* error) {
  JsonValue doc;
  if (!readStatus(link, &doc)) return true;
  auto fail = [&](std::string message) {
    if (error) *error = std::move(message);
    return false;
  };
  if (getString(doc, "fppd", "") == "Not Running")
    return fail(kFppNotRunningMessage);
  const JsonValue* name = findMember(doc, "status_name");
  if (!name || name->type != JsonType::kString || name->string == "idle")
    return true;
  const std::string& state = name->string;
  if (state == "playing" || state == "paused" ||
      state.rfind("stopping", 0) == 0)
    return fail(kFppPlayingMessage);
  if (state == "stopped") return fail(kFppNotRunningMessage);
  if (state == "updating") return fail(kFppUpdatingMessage);
  return fail("FPP's player is \"" + state +
              "\" \xE2\x80\x94 scanning needs it idle; stop what it is "
              "doing and try again");
}

bool applyScanConfiguration(ControllerLink* link,
                            const std::string& portConfig,
                            const ControllerProgress& progress,
                            std::string* error) {
  std::lock_guard lock(link->changeMutex);
  if (link->closed) {
    if (error) *error = "interrupted";
    return false;
  }
  // First the record of what the controller holds, on disk, so that no
  // crash from here on can lose it. A record another run left means that
  // run is scanning this controller now, or did not finish.
  RestoreRecord record = fppScanRecord(*link, portConfig);
  if (!link->recordWritten) {
    RestoreRecord existing;
    std::string problem;
    if (readRestoreRecord(kControllerDevice, record.key, &existing, &problem) !=
        RecordState::kNone) {
      if (error)
        *error = "another scan of " + link->host +
                 " is running or did not finish (its restore record is "
                 "there); nothing was changed";
      return false;
    }
  }
  std::string why;
  if (!writeRestoreRecord(record, &why)) {
    if (error)
      *error = "could not keep a copy of the controller's configuration (" +
               why + "); nothing was changed";
    return false;
  }
  link->record = std::move(record);
  link->recordWritten = true;

  std::string refused;
  link->portStringsChanged = true;
  bool taken = postScanDocument(*link,
                                pixelStringsPath(link->usesBBB),
                                portConfig,
                                "pixel-string",
                                &refused);
  if (taken) {
    link->universesChanged = true;
    taken = postScanDocument(*link,
                             kFppUniverseInputsPath,
                             kScanUniverseInputs,
                             "universe-input",
                             &refused);
  }
  if (!taken) {
    // What was changed goes back before the scan stops.
    std::string restoreError;
    if (!restoreChanges(link, progress, link->restoreSeconds, &restoreError))
      refused += "; " + restoreError;
    if (error) *error = refused;
    return false;
  }
  if (needsRestart(*link)) {
    if (progress)
      progress("Restarting FPP to apply the scan configuration\xE2\x80\xA6");
    restartFppd(link->host, link->user, link->password, 30);
  }
  return true;
}

bool restoreController(ControllerLink* link,
                       const ControllerProgress& progress,
                       std::string* error) {
  std::lock_guard lock(link->changeMutex);
  const bool ok = restoreChanges(link, progress, link->restoreSeconds, error);
  link->savedPortStrings.clear();
  return ok;
}

InterruptRestore interruptController(ControllerLink* link, std::string* error) {
  std::lock_guard lock(link->changeMutex);
  link->closed = true;
  if (link->kind == ControllerKind::kWled)
    return !link->wledStateChanged          ? InterruptRestore::kNothingChanged
           : restoreWledLocked(link, error) ? InterruptRestore::kRestored
                                            : InterruptRestore::kFailed;
  if (!link->portStringsChanged && !link->universesChanged)
    return InterruptRestore::kNothingChanged;
  return restoreChanges(link, {}, link->restoreSeconds, error)
             ? InterruptRestore::kRestored
             : InterruptRestore::kFailed;
}

}  // namespace pxo
