#include "controller/wled_device.h"

#include "controller/http_client.h"
#include "json/json.h"

#include <algorithm>
#include <chrono>

namespace pxo {

namespace {

bool fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return false;
}

// The document as an object, or why not.
bool readDocument(std::string_view text,
                  const char* what,
                  JsonValue* doc,
                  std::string* error) {
  if (text.size() > kMaxWledDocumentBytes)
    return fail(error,
                std::string("the controller's ") + what +
                    " is larger than a controller's document can be");
  if (!parseJsonDocument(text, doc) || !doc->isObject())
    return fail(
        error,
        std::string("the controller's ") + what + " is not a JSON object");
  return true;
}

int32_t clampedInt(const JsonValue& object,
                   std::string_view key,
                   int32_t fallback,
                   int32_t low,
                   int32_t high) {
  return std::clamp(getInt(object, key, fallback), low, high);
}

bool getBool(const JsonValue& object, std::string_view key, bool fallback) {
  const JsonValue* value = findMember(object, key);
  if (!value) return fallback;
  if (value->type == JsonType::kBoolean) return value->boolean;
  if (value->type == JsonType::kNumber) return value->number != 0;
  return fallback;
}

const JsonValue* findPath(const JsonValue& doc,
                          std::initializer_list<std::string_view> keys) {
  const JsonValue* at = &doc;
  for (std::string_view key : keys) {
    at = findMember(*at, key);
    if (!at) return nullptr;
  }
  return at;
}

WledOutput readOutput(const JsonValue& entry) {
  WledOutput output;
  output.start = clampedInt(entry, "start", 0, 0, kMaxWledLeds);
  output.length = clampedInt(entry, "len", 0, 0, kMaxWledLeds);
  output.colorOrder = clampedInt(entry, "order", 0, 0, 255);
  output.type = clampedInt(entry, "type", 0, 0, 255);
  output.reversed = getBool(entry, "rev", false);
  output.skip = clampedInt(entry, "skip", 0, 0, kMaxWledLeds);
  return output;
}

}  // namespace

bool parseWledInfo(std::string_view text,
                   WledDevice* device,
                   std::string* error) {
  JsonValue doc;
  if (!readDocument(text, "information", &doc, error)) return false;
  device->name = getString(doc, "name", "");
  device->version = getString(doc, "ver", "");
  device->liveNow = getBool(doc, "live", false);
  if (const JsonValue* leds = findMember(doc, "leds")) {
    device->ledCount = clampedInt(*leds, "count", 0, 0, kMaxWledLeds);
    // "lc": bit 0 RGB, bit 1 white; older firmware says "rgbw".
    const int32_t capabilities = getInt(*leds, "lc", -1);
    device->white = capabilities >= 0 ? (capabilities & 2) != 0
                                      : getBool(*leds, "rgbw", false);
  }
  return true;
}

bool parseWledConfig(std::string_view text,
                     WledDevice* device,
                     std::string* error) {
  JsonValue doc;
  if (!readDocument(text, "configuration", &doc, error)) return false;
  device->outputs.clear();
  if (const JsonValue* ins = findPath(doc, {"hw", "led", "ins"});
      ins && ins->isArray()) {
    if (ins->array.size() > kMaxWledOutputs)
      return fail(error,
                  "the controller's configuration lists " +
                      std::to_string(ins->array.size()) + " outputs; at most " +
                      std::to_string(kMaxWledOutputs) + " are read");
    for (const JsonValue& entry : ins->array)
      if (entry.isObject()) device->outputs.push_back(readOutput(entry));
  }
  if (const JsonValue* live = findPath(doc, {"if", "live"})) {
    device->realtimeEnabled = getBool(*live, "en", true);
    device->forceMaxBrightness = getBool(*live, "maxbri", false);
    // The firmware keeps the timeout in tenths of a second.
    device->realtimeTimeoutMs =
        clampedInt(*live, "timeout", 25, 0, 65535) * 100;
    device->realtimeLedOffset =
        clampedInt(*live, "offset", 0, -kMaxWledLeds, kMaxWledLeds);
    if (const JsonValue* dmx = findMember(*live, "dmx"))
      device->dmxStartAddress = clampedInt(*dmx, "addr", 1, 1, 512);
  }
  return true;
}

bool parseWledState(std::string_view text,
                    WledDevice* device,
                    std::string* error) {
  JsonValue doc;
  if (!readDocument(text, "state", &doc, error)) return false;
  device->on = getBool(doc, "on", true);
  device->brightness = clampedInt(doc, "bri", 128, 0, 255);
  return true;
}

namespace {

// GET `path`: its body, or false with a message naming the controller.
bool getWledDocument(const std::string& host,
                     const char* path,
                     std::string* body,
                     std::string* error) {
  HttpResponse response;
  httpRequest(&response, host, "GET", path, "", "", "", "", wledHttpLimits());
  if (!response.ok)
    return fail(error, "no answer from the WLED controller at " + host);
  if (response.status != 200)
    return fail(error,
                "the WLED controller at " + host + " answered HTTP " +
                    std::to_string(response.status) + " for " + path);
  *body = std::move(response.body);
  return true;
}

}  // namespace

HttpLimits wledHttpLimits() {
  HttpLimits limits;
  limits.connectPerAddress = std::chrono::milliseconds(3000);
  limits.total = std::chrono::milliseconds(8000);
  limits.maxResponseBytes = kMaxWledDocumentBytes + 4096;
  return limits;
}

bool readWledDevice(const std::string& host,
                    WledDevice* device,
                    std::string* error) {
  WledDevice read;
  std::string body;
  std::string why;
  if (!getWledDocument(host, "/json/info", &body, error)) return false;
  if (!parseWledInfo(body, &read, &why)) return fail(error, host + ": " + why);
  if (!getWledDocument(host, "/json/cfg", &body, error)) return false;
  if (!parseWledConfig(body, &read, &why))
    return fail(error, host + ": " + why);
  if (!getWledDocument(host, "/json/state", &body, error)) return false;
  if (!parseWledState(body, &read, &why)) return fail(error, host + ": " + why);
  *device = std::move(read);
  return true;
}

bool setWledState(const std::string& host,
                  bool on,
                  int32_t brightness,
                  std::string* error) {
  brightness = std::clamp(brightness, 0, 255);
  const std::string body = std::string("{\"on\":") + (on ? "true" : "false") +
                           ",\"bri\":" + std::to_string(brightness) + "}";
  HttpResponse response;
  httpRequest(&response,
              host,
              "POST",
              "/json/state",
              body,
              "application/json",
              "",
              "",
              wledHttpLimits());
  if (!response.ok)
    return fail(error, "no answer from the WLED controller at " + host);
  if (response.status != 200)
    return fail(error,
                "the WLED controller at " + host + " answered HTTP " +
                    std::to_string(response.status) + " for /json/state");
  std::string state;
  if (!getWledDocument(host, "/json/state", &state, error)) return false;
  WledDevice now;
  std::string why;
  if (!parseWledState(state, &now, &why)) return fail(error, host + ": " + why);
  if (now.on != on || now.brightness != brightness)
    return fail(
        error,
        "the WLED controller at " + host + " did not take its new state");
  return true;
}

const char* wledColorOrderName(int32_t code) {
  static constexpr const char* kNames[] = {
      "GRB", "RGB", "BRG", "RBG", "BGR", "GBR"};
  const int32_t order = code & 0x0F;
  return code >= 0 && order < 6 ? kNames[order] : nullptr;
}

int32_t wledRealtimeBrightness(const WledDevice& device) {
  if (device.forceMaxBrightness) return 255;
  return device.on ? device.brightness : 0;
}

}  // namespace pxo
