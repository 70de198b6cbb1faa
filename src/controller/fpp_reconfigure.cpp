#include "controller/fpp_reconfigure.h"

#include "controller/http_client.h"
#include "json/json.h"

#include <algorithm>

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
  setString(
      string, "colorOrder", portSpec.channelsPerPixel == 4 ? "RGBW" : "RGB");
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

void restoreController(ControllerLink* link) {
  const std::string& host = link->host;
  if (!link->savedPortStrings.empty())
    (void)writePortStrings(host,
                           link->user,
                           link->password,
                           link->usesBBB,
                           documentForRestore(link->savedPortStrings, true));
  if (!link->universeFileExisted)
    (void)deleteUniverseInputsFile(host, link->user, link->password);
  else if (!link->savedUniverseInputs.empty())
    (void)writeUniverseInputs(
        host,
        link->user,
        link->password,
        documentForRestore(link->savedUniverseInputs, false));
  link->savedPortStrings.clear();
}

}  // namespace pxo
