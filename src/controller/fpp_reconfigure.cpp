#include "controller/fpp_reconfigure.h"

#include "controller/http_client.h"
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

constexpr auto kRestartSettle = std::chrono::milliseconds(1000);
constexpr auto kRestartPoll = std::chrono::milliseconds(500);
constexpr auto kRestartLimit = std::chrono::seconds(30);

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

bool needsRestart(const ControllerLink& link) {
  return link.fppMajorVersion > 0 && link.fppMajorVersion < 9;
}

// Asks fppd to restart and waits, at most 30 s, until it answers its
// status again. Called with the change mutex held.
void restartFppd(const ControllerLink& link) {
  HttpResponse response;
  httpRequest(&response,
              link.host,
              "GET",
              kFppRestartPath,
              "",
              "",
              link.user,
              link.password);
  const auto deadline = std::chrono::steady_clock::now() + kRestartLimit;
  std::this_thread::sleep_for(kRestartSettle);
  while (std::chrono::steady_clock::now() < deadline) {
    JsonValue doc;
    if (readStatus(link, &doc)) return;
    std::this_thread::sleep_for(kRestartPoll);
  }
}

// Puts back what was changed; called with the change mutex held.
bool restoreChanges(ControllerLink* link, const ControllerProgress& progress) {
  const std::string& host = link->host;
  const bool any = link->portStringsChanged || link->universesChanged;
  if (link->portStringsChanged && !link->savedPortStrings.empty())
    (void)writePortStrings(host,
                           link->user,
                           link->password,
                           link->usesBBB,
                           documentForRestore(link->savedPortStrings, true));
  if (link->universesChanged) {
    if (!link->universeFileExisted)
      (void)deleteUniverseInputsFile(host, link->user, link->password);
    else if (!link->savedUniverseInputs.empty())
      (void)writeUniverseInputs(
          host,
          link->user,
          link->password,
          documentForRestore(link->savedUniverseInputs, false));
  }
  link->portStringsChanged = false;
  link->universesChanged = false;
  if (any && needsRestart(*link)) {
    if (progress)
      progress(
          "Restarting FPP to apply the restored configuration\xE2\x80\xA6");
    restartFppd(*link);
  }
  return any;
}

}  // namespace

bool checkControllerIdle(const ControllerLink& link, std::string* error) {
  JsonValue doc;
  if (!readStatus(link, &doc)) return true;
  const JsonValue* name = findMember(doc, "status_name");
  if (!name || name->type != JsonType::kString || name->string == "idle")
    return true;
  if (error) *error = kFppPlayingMessage;
  return false;
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
  link->portStringsChanged = true;
  (void)writePortStrings(
      link->host, link->user, link->password, link->usesBBB, portConfig);
  link->universesChanged = true;
  (void)writeScanUniverseInputs(link->host, link->user, link->password);
  if (needsRestart(*link)) {
    if (progress)
      progress("Restarting FPP to apply the scan configuration\xE2\x80\xA6");
    restartFppd(*link);
  }
  return true;
}

void restoreController(ControllerLink* link,
                       const ControllerProgress& progress) {
  std::lock_guard lock(link->changeMutex);
  (void)restoreChanges(link, progress);
  link->savedPortStrings.clear();
}

bool interruptController(ControllerLink* link) {
  std::lock_guard lock(link->changeMutex);
  link->closed = true;
  return restoreChanges(link, {});
}

}  // namespace pxo
