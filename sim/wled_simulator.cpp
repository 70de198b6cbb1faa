#include "sim/wled_simulator.h"

#include "json/json.h"

#include "sim/ddp_receiver.h"
#include "sim/loopback.h"

#include <algorithm>

namespace pxo::sim {

namespace {

using namespace std::chrono_literals;

std::string boolText(bool value) { return value ? "true" : "false"; }

// The firmware's "rgbw" bit of info.leds.lc and DDP's RGBW data type.
constexpr uint8_t kDdpRgbwType = 0x1B;

}  // namespace

WledSimulator::WledSimulator(WledSimConfig config)
    : config_(std::move(config)) {
  realtime_.resize(static_cast<size_t>(stripLength()));
}

WledSimulator::~WledSimulator() { stop(); }

int32_t WledSimulator::stripLength() const {
  int32_t length = 0;
  for (const WledSimOutput& o : config_.outputs)
    length = std::max(length, o.output.start + o.output.length);
  return length;
}

bool WledSimulator::start(std::string* error) {
  std::string lastError;
  ddp_ = bindLoopbackUdp(4048, &address_);
  if (!ddp_.valid()) {
    if (error) *error = "no loopback address for the simulated WLED";
    return false;
  }
  if (!http_.start(
          address_,
          0,
          [this](const HttpRequest& r) { return handle(r); },
          &lastError)) {
    ddp_.close();
    if (error) *error = lastError;
    return false;
  }
  running_ = true;
  ddpThread_ = std::thread(&WledSimulator::ddpLoop, this);
  return true;
}

void WledSimulator::stop() {
  running_ = false;
  if (ddpThread_.joinable()) ddpThread_.join();
  http_.stop();
  ddp_.close();
}

std::string WledSimulator::httpAddress() const {
  return address_ + ":" + std::to_string(http_.port());
}

bool WledSimulator::on() const {
  std::lock_guard lock(mutex_);
  return config_.on;
}

int32_t WledSimulator::brightness() const {
  std::lock_guard lock(mutex_);
  return config_.brightness;
}

std::optional<std::string> WledSimulator::file(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto found = config_.files.find(name);
  if (found == config_.files.end()) return std::nullopt;
  return found->second;
}

HttpReply WledSimulator::handle(const HttpRequest& request) {
  std::lock_guard lock(mutex_);
  const bool live =
      std::chrono::steady_clock::now() - lastRealtime_ <
      std::chrono::milliseconds(int64_t{config_.timeoutTenths} * 100);
  if (request.method == "GET" && request.path == "/json/info") {
    return HttpReply::json(
        200,
        "{\"ver\":\"" + config_.version +
            "\",\"vid\":2405180,\"leds\":{"
            "\"count\":" +
            std::to_string(stripLength()) +
            ",\"pwr\":0,\"fps\":42,\"maxpwr\":850,\"maxseg\":32,\"lc\":1,"
            "\"seglc\":[1],\"rgbw\":false,\"wv\":0,\"cct\":0},\"str\":false,"
            "\"name\":\"" +
            config_.name + "\",\"udpport\":21324,\"live\":" + boolText(live) +
            ",\"liveseg\":-1,\"lm\":\"\",\"lip\":\"\","
            "\"ws\":0,\"fxcount\":187,\"palcount\":71,\"arch\":\"esp32\","
            "\"core\":\"v3.3.6\",\"brand\":\"WLED\",\"product\":\"FOSS\"}");
  }
  if (request.method == "GET" && request.path == "/json/cfg") {
    std::string ins;
    for (const WledSimOutput& o : config_.outputs) {
      if (!ins.empty()) ins += ",";
      ins += "{\"start\":" + std::to_string(o.output.start) +
             ",\"len\":" + std::to_string(o.output.length) +
             ",\"pin\":[16],\"order\":" + std::to_string(o.output.colorOrder) +
             ",\"rev\":" + boolText(o.output.reversed) +
             ",\"skip\":" + std::to_string(o.output.skip) +
             ",\"type\":22,\"ref\":false,\"rgbwm\":0,\"freq\":0}";
    }
    return HttpReply::json(
        200,
        "{\"rev\":[1,0],\"vid\":2405180,\"id\":{\"name\":\"" + config_.name +
            "\"},\"hw\":{\"led\":{\"total\":" + std::to_string(stripLength()) +
            ",\"maxpwr\":850,\"ledma\":0,\"fps\":42,\"ins\":[" + ins +
            "]}},\"if\":{\"live\":{\"en\":" +
            boolText(config_.realtimeEnabled) +
            ",\"mso\":false,\"port\":5568,\"mc\":false,\"dmx\":{\"uni\":1,"
            "\"seqskip\":false,\"e131prio\":0,\"addr\":" +
            std::to_string(config_.dmxStartAddress) +
            ",\"dss\":0,\"mode\":4},\"timeout\":" +
            std::to_string(config_.timeoutTenths) +
            ",\"maxbri\":" + boolText(config_.forceMaxBrightness) +
            ",\"no-gc\":true,\"offset\":" + std::to_string(config_.ledOffset) +
            "}}}");
  }
  if (request.path == "/json/cfg") {
    ++configWrites_;
    return HttpReply::json(200, "{\"success\":true}");
  }
  if (request.path == "/json/state" || request.path == "/json/state/") {
    if (request.method == "POST") {
      JsonValue change;
      if (!parseJsonDocument(request.body, &change) || !change.isObject())
        return HttpReply::json(400, "{\"error\":9}");
      if (const JsonValue* v = findMember(change, "on");
          v && v->type == JsonType::kBoolean)
        config_.on = v->boolean;
      if (const JsonValue* v = findMember(change, "bri");
          v && v->type == JsonType::kNumber)
        config_.brightness =
            std::clamp(static_cast<int32_t>(v->number), 0, 255);
      return HttpReply::json(200, "{\"success\":true}");
    }
    return HttpReply::json(
        200,
        "{\"on\":" + boolText(config_.on) +
            ",\"bri\":" + std::to_string(config_.brightness) +
            ",\"transition\":7,\"ps\":-1,\"pl\":-1,\"lor\":0,\"mainseg\":0,"
            "\"seg\":[{\"id\":0,\"start\":0,\"stop\":" +
            std::to_string(stripLength()) + ",\"col\":[[" +
            std::to_string(config_.effect.r) + "," +
            std::to_string(config_.effect.g) + "," +
            std::to_string(config_.effect.b) +
            "],[0,0,0],[0,0,0]],\"fx\":0}]}");
  }
  if (request.method == "POST" && request.path == "/upload")
    return upload(request);
  if (request.method == "GET") {
    const auto found = config_.files.find(request.path);
    if (found != config_.files.end())
      return HttpReply::json(200, found->second);
  }
  return HttpReply::html(404, "Not Found");
}

// The firmware's upload form: one file part, stored under its file name
// (a leading slash added), replacing a file of that name.
HttpReply WledSimulator::upload(const HttpRequest& request) {
  const std::string type = request.header("content-type");
  const size_t at = type.find("boundary=");
  if (at == std::string::npos) return HttpReply::html(400, "bad upload");
  const std::string boundary = "--" + type.substr(at + 9);
  const std::string& body = request.body;
  const size_t part = body.find(boundary);
  const size_t nameAt = body.find("filename=\"", part);
  if (part == std::string::npos || nameAt == std::string::npos)
    return HttpReply::html(400, "bad upload");
  const size_t nameEnd = body.find('"', nameAt + 10);
  const size_t dataAt = body.find("\r\n\r\n", nameAt);
  if (nameEnd == std::string::npos || dataAt == std::string::npos)
    return HttpReply::html(400, "bad upload");
  const size_t dataEnd = body.find("\r\n" + boundary, dataAt + 4);
  if (dataEnd == std::string::npos) return HttpReply::html(400, "bad upload");
  std::string name = body.substr(nameAt + 10, nameEnd - nameAt - 10);
  if (name.empty() || name.find('/') != std::string::npos)
    return HttpReply::html(400, "bad file name");
  config_.files["/" + name] = body.substr(dataAt + 4, dataEnd - dataAt - 4);
  return HttpReply::html(200, "File Uploaded!");
}

void WledSimulator::ddpLoop() {
  std::vector<uint8_t> buffer(65536);
  while (running_) {
    const long n = ddp_.receiveFrom(buffer.data(), buffer.size(), 50ms);
    if (n < 0) continue;
    DdpPacket packet;
    if (!parseDdpPacket(std::span(buffer.data(), static_cast<size_t>(n)),
                        &packet) ||
        !packet.isData())
      continue;
    ++ddpPackets_;
    std::lock_guard lock(mutex_);
    if (!config_.realtimeEnabled) continue;
    const int64_t perLed = packet.dataType == kDdpRgbwType ? 4 : 3;
    int64_t led = int64_t{packet.offset} / perLed +
                  config_.dmxStartAddress / 3 + config_.ledOffset;
    for (size_t c = 0; c + 2 < packet.payload.size();
         c += static_cast<size_t>(perLed), ++led) {
      if (led < 0 || led >= static_cast<int64_t>(realtime_.size())) continue;
      LedColor& color = realtime_[static_cast<size_t>(led)];
      color.r = packet.payload[c];
      color.g = packet.payload[c + 1];
      color.b = packet.payload[c + 2];
    }
    lastRealtime_ = std::chrono::steady_clock::now();
  }
}

std::map<int32_t, std::vector<LedColor>> WledSimulator::allPortLeds() const {
  std::lock_guard lock(mutex_);
  const bool live =
      std::chrono::steady_clock::now() - lastRealtime_ <
      std::chrono::milliseconds(int64_t{config_.timeoutTenths} * 100);
  const int32_t scale = !config_.on ? 0
                        : live && config_.forceMaxBrightness
                            ? 255
                            : config_.brightness;
  auto scaled = [&](uint8_t v) {
    return static_cast<uint8_t>((int32_t{v} * scale + 127) / 255);
  };
  std::map<int32_t, std::vector<LedColor>> ports;
  for (const WledSimOutput& o : config_.outputs) {
    std::vector<LedColor>& leds = ports[o.port];
    for (int32_t j = 0; j < o.output.length; ++j) {
      const size_t index =
          static_cast<size_t>(o.output.start) + static_cast<size_t>(j);
      const LedColor source =
          index < realtime_.size() && live ? realtime_[index] : config_.effect;
      leds.push_back({scaled(source.r), scaled(source.g), scaled(source.b), 0});
    }
  }
  return ports;
}

}  // namespace pxo::sim
