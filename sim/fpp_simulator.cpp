#include "sim/fpp_simulator.h"

#include "codec/base64.h"

#include "sim/ddp_receiver.h"
#include "sim/fpp_quirks.h"
#include "sim/loopback.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace pxo::sim {

namespace {

using namespace std::chrono_literals;

constexpr char kOutputPrefix[] = "/api/channel/output/";
constexpr char kUniverseFile[] = "/api/configfile/ci-universes.json";
constexpr int64_t kDefaultTimeoutMs = 1000;
// How long fppd is away while it restarts.
constexpr int64_t kRestartMs = 1500;

HttpReply notFoundPage(const std::string& what) {
  return HttpReply::html(
      404,
      "<html><head><title>Page not found</title></head><body><h1>Page "
      "not found</h1><p>" +
          what + "</p></body></html>");
}

std::string defaultColorOrder(const JsonValue& output) {
  const JsonValue* strings = findMember(output, "virtualStrings");
  if (strings && strings->isArray() && !strings->array.empty())
    return getString(strings->array.front(), "colorOrder", "RGB");
  return "RGB";
}

double parseGamma(const JsonValue& string) {
  const JsonValue* gamma = findMember(string, "gamma");
  if (!gamma) return 1.0;
  if (gamma->type == JsonType::kNumber) return gamma->number;
  if (gamma->type != JsonType::kString) return 1.0;
  JsonValue parsed;
  if (!parseJsonDocument(gamma->string, &parsed) ||
      parsed.type != JsonType::kNumber || !(parsed.number > 0))
    return 1.0;
  return parsed.number;
}

}  // namespace

bool loadFppSimConfig(std::string_view text,
                      FppSimConfig* out,
                      std::string* error) {
  auto fail = [&](const char* message) {
    if (error) *error = message;
    return false;
  };
  JsonValue doc;
  if (!parseJsonDocument(text, &doc) || !doc.isObject())
    return fail("simulator config is not a JSON object");
  *out = FppSimConfig{};
  const JsonValue* info = findMember(doc, "systemInfo");
  const JsonValue* strings = findMember(doc, "pixelStrings");
  if (!info || !info->isObject())
    return fail("simulator config lacks \"systemInfo\"");
  if (!strings || !strings->isObject())
    return fail("simulator config lacks \"pixelStrings\"");
  out->systemInfo = *info;
  out->pixelStrings = *strings;
  if (const JsonValue* u = findMember(doc, "universes"); u && u->isObject())
    out->universes = *u;
  out->password = getString(doc, "password", "");
  out->pixelFile = getString(doc, "pixelFile", "");
  if (const JsonValue* other = findMember(doc, "otherOutputs");
      other && other->isObject())
    for (const auto& [name, file] : other->object)
      out->otherOutputs[name] = file;
  if (const JsonValue* strips = findMember(doc, "stripOrders");
      strips && strips->isObject()) {
    for (const auto& [port, order] : strips->object)
      if (order.type == JsonType::kString)
        out->stripOrders[std::atoi(port.c_str())] = order.string;
  }
  return true;
}

bool loadFppSimConfigFile(const std::string& path,
                          FppSimConfig* out,
                          std::string* error) {
  std::string full = path.find('/') == std::string::npos
                         ? std::string(PXO_SIM_DATA_DIR) + "/" + path
                         : path;
  std::ifstream in(full, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + full;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return loadFppSimConfig(text.str(), out, error);
}

FppSimulator::FppSimulator(FppSimConfig config) : config_(std::move(config)) {
  std::string platform = getString(config_.systemInfo, "Platform", "");
  std::transform(
      platform.begin(), platform.end(), platform.begin(), [](unsigned char c) {
        return std::tolower(c);
      });
  pixelFileName_ = !config_.pixelFile.empty() ? config_.pixelFile
                   : platform.find("beagle") != std::string::npos
                       ? "co-bbbStrings"
                       : "co-pixelStrings";
  // The pixel-string file holds what the controller's page posted (compact
  // UTF-8 JSON); the universe file is pretty-printed by the controller.
  pixelStrings_ = toJsonText(config_.pixelStrings);
  if (config_.universes) universes_ = phpJsonEncode(*config_.universes, true);
  appliedPixelStrings_ = pixelStrings_;
  appliedUniverses_ = universes_;
  const std::string version = getString(config_.systemInfo, "Version", "");
  for (char c : version) {
    if (c < '0' || c > '9') break;
    majorVersion_ = std::min(majorVersion_ * 10 + (c - '0'), 1000);
  }
  restartOnly_ = majorVersion_ > 0 && majorVersion_ < 9;

  // The strips are wired as the controller was configured at first, unless
  // the scene says otherwise.
  const JsonValue* outputs = findMember(config_.pixelStrings, "channelOutputs");
  if (outputs && outputs->isArray() && !outputs->array.empty()) {
    const JsonValue* ports = findMember(outputs->array.front(), "outputs");
    if (ports && ports->isArray())
      for (const JsonValue& output : ports->array)
        config_.stripOrders.try_emplace(getInt(output, "portNumber", -1),
                                        defaultColorOrder(output));
  }
  pending_.assign(kChannelCount, 0);
  shown_.assign(kChannelCount, 0);
  updated_.assign(kChannelCount, INT64_MIN / 2);
}

FppSimulator::~FppSimulator() { stop(); }

bool FppSimulator::start(std::string* error,
                         const std::string& address,
                         uint16_t httpPort) {
  std::string lastError;
  for (int attempt = 0; attempt < kLoopbackAttempts; ++attempt) {
    std::string candidate = address.empty() ? nextLoopbackAddress() : address;
    platform::SocketAddress ddpAddress;
    if (!platform::makeIPv4Address(candidate, 4048, &ddpAddress)) {
      lastError = "bad address " + candidate;
      break;
    }
    ddpSocket_ = platform::UdpSocket::bind(ddpAddress, &lastError);
    if (ddpSocket_.valid() &&
        http_.start(
            candidate,
            httpPort,
            [this](const HttpRequest& r) { return handle(r); },
            &lastError)) {
      address_ = candidate;
      ddpSocket_.setReceiveBufferSize(4 << 20);
      running_ = true;
      ddpThread_ = std::thread(&FppSimulator::ddpLoop, this);
      return true;
    }
    ddpSocket_.close();
    if (!address.empty()) break;
  }
  if (error) *error = lastError;
  return false;
}

void FppSimulator::stop() {
  running_ = false;
  if (ddpThread_.joinable()) ddpThread_.join();
  http_.stop();
  ddpSocket_.close();
}

std::string FppSimulator::httpAddress() const {
  return address_ + ":" + std::to_string(http_.port());
}

void FppSimulator::setFault(FppFault fault, const std::string& pathPrefix) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
  faultPrefix_ = pathPrefix;
}

void FppSimulator::setDelay(const std::string& method,
                            const std::string& pathPrefix,
                            int32_t ms) {
  std::lock_guard lock(mutex_);
  std::erase_if(delays_, [&](const Delay& d) {
    return d.method == method && d.prefix == pathPrefix;
  });
  if (ms > 0) delays_.push_back({method, pathPrefix, ms});
}

void FppSimulator::setRefusal(const std::string& method,
                              const std::string& pathPrefix,
                              int32_t from) {
  std::lock_guard lock(mutex_);
  refusals_.push_back({method, pathPrefix, std::max(from, 1), 0});
}

void FppSimulator::clearRefusals() {
  std::lock_guard lock(mutex_);
  refusals_.clear();
}

void FppSimulator::setStatusName(const std::string& name) {
  std::lock_guard lock(mutex_);
  statusName_ = name;
}

void FppSimulator::setPixelStringsFile(std::optional<std::string> text) {
  std::lock_guard lock(mutex_);
  pixelStrings_ = std::move(text);
  if (!restartOnly_) appliedPixelStrings_ = pixelStrings_;
}

void FppSimulator::setUniverseFile(std::optional<std::string> text) {
  std::lock_guard lock(mutex_);
  universes_ = std::move(text);
  if (!restartOnly_) appliedUniverses_ = universes_;
}

const std::optional<std::string>& FppSimulator::activePixelStrings() const {
  return restartOnly_ ? appliedPixelStrings_ : pixelStrings_;
}

const std::optional<std::string>& FppSimulator::activeUniverses() const {
  return restartOnly_ ? appliedUniverses_ : universes_;
}

bool FppSimulator::restarting() const { return nowMs() < restartUntilMs_; }

std::vector<LoggedRequest> FppSimulator::requests() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void FppSimulator::clearRequests() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

std::optional<std::string> FppSimulator::pixelStringsFile() const {
  std::lock_guard lock(mutex_);
  return pixelStrings_;
}

std::optional<std::string> FppSimulator::universeFile() const {
  std::lock_guard lock(mutex_);
  return universes_;
}

bool FppSimulator::authorized(const HttpRequest& request) const {
  if (config_.password.empty()) return true;
  std::string given = request.header("authorization");
  for (const char* user : {"admin", "fpp"})
    if (given ==
        "Basic " + base64Encode(std::string(user) + ":" + config_.password))
      return true;
  return false;
}

HttpReply FppSimulator::handle(const HttpRequest& request) {
  FppFault fault;
  int32_t delayMs = 0;
  bool refused = false;
  {
    std::lock_guard lock(mutex_);
    log_.push_back({request.method,
                    request.path,
                    request.header("authorization"),
                    request.header("content-type"),
                    request.body});
    fault = request.path.rfind(faultPrefix_, 0) == 0 ? fault_ : FppFault::kNone;
    for (const Delay& d : delays_)
      if (d.method == request.method && request.path.rfind(d.prefix, 0) == 0)
        delayMs = std::max(delayMs, d.ms);
    for (Refusal& r : refusals_)
      if (r.method == request.method && request.path.rfind(r.prefix, 0) == 0 &&
          ++r.seen >= r.from)
        refused = true;
  }
  if (logToStdout_) {
    std::printf(
        "fpp-sim: %s %s\n", request.method.c_str(), request.path.c_str());
    std::fflush(stdout);
  }
  // A busy controller: the answer (and what a POST changes) comes late.
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
  while (running_ && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  if (refused)
    return HttpReply::html(503,
                           "<html><body>503 Service Unavailable</body></html>");
  switch (fault) {
    case FppFault::kNone:
    case FppFault::kChunked:
    case FppFault::kCutShort:
    case FppFault::kPixelStatusError:
      break;
    case FppFault::kServerError:
      return HttpReply::html(500,
                             "<html><body>Internal Server Error</body></html>");
    case FppFault::kNotFppHtml:
      return HttpReply::html(
          200, "<!DOCTYPE html><html><body>Router login</body></html>");
    case FppFault::kNotFppJson:
      return HttpReply::json(200, "{\"name\":\"router\",\"firmware\":\"2.1\"}");
    case FppFault::kNotFound:
      return notFoundPage(request.path);
    case FppFault::kGarbage: {
      HttpReply reply;
      reply.raw = true;
      reply.body = "SSH-2.0-OpenSSH_9.2\r\n";
      return reply;
    }
    case FppFault::kNeverAnswer: {
      HttpReply reply;
      reply.neverAnswer = true;
      return reply;
    }
  }
  HttpReply reply = route(request);
  if (fault == FppFault::kPixelStatusError &&
      request.path.rfind(kOutputPrefix, 0) == 0)
    reply =
        HttpReply::json(200, "{\"status\":\"ERROR: Unable to parse outputs\"}");
  reply.chunked = fault == FppFault::kChunked;
  reply.cutShort = fault == FppFault::kCutShort;
  return reply;
}

HttpReply FppSimulator::outputAnswer(const std::string& file) const {
  // Called with the mutex held.
  const std::optional<std::string>& stored =
      file == pixelFileName_ ? pixelStrings_ : universes_;
  // FPP 8 answered a missing file with 200 and the error status.
  if (!stored)
    return HttpReply::json(restartOnly_ ? 200 : 404,
                           "{\"status\":\"ERROR: File not found\"}");
  JsonValue doc;
  if (!parseJsonDocument(*stored, &doc) || !doc.isObject())
    doc = JsonValue::makeObject();  // json_decode failed: only the status
  setString(doc, "status", "OK");
  return HttpReply::json(200, phpJsonEncode(doc));
}

HttpReply FppSimulator::route(const HttpRequest& request) {
  if (!authorized(request))
    return HttpReply::html(401, "<html><body>401 Unauthorized</body></html>");
  const std::string& path = request.path;
  std::lock_guard lock(mutex_);
  if (request.method == "GET" && path == "/api/system/info")
    return HttpReply::json(200, phpJsonEncode(config_.systemInfo));
  if (request.method == "GET" && path == "/api/system/status")
    return systemStatus();
  if (request.method == "GET" && path == "/api/system/fppd/restart")
    return restartFppd();
  if (path.rfind(kOutputPrefix, 0) == 0)
    if (auto reply = outputFile(request)) return *reply;
  if (path == kUniverseFile)
    if (auto reply = universeFile(request)) return *reply;
  return notFoundPage(path);
}

HttpReply FppSimulator::systemStatus() {
  if (statusName_.empty()) return notFoundPage("/api/system/status");
  // fppd is down while it restarts; the web server answers for it.
  if (restarting())
    return HttpReply::html(500,
                           "<html><body>fppd is not running</body></html>");
  JsonValue status = JsonValue::makeObject();
  // With fppd down, the web page answers for it.
  setString(
      status, "fppd", statusName_ == "stopped" ? "Not Running" : "running");
  setString(status, "status_name", statusName_);
  setNumber(status, "status", statusName_ == "idle" ? 0 : 1);
  return HttpReply::json(200, phpJsonEncode(status));
}

HttpReply FppSimulator::restartFppd() {
  ++restarts_;
  appliedPixelStrings_ = pixelStrings_;
  appliedUniverses_ = universes_;
  restartUntilMs_ = nowMs() + kRestartMs;
  return HttpReply::json(200, "{\"status\":\"OK\"}");
}

std::optional<HttpReply> FppSimulator::outputFile(const HttpRequest& request) {
  std::string file = request.path.substr(sizeof kOutputPrefix - 1);
  bool known = file == pixelFileName_ || file == "universeInputs" ||
               file == "co-pixelStrings" || file == "co-bbbStrings";
  if (request.method == "GET") {
    if (file == "universeInputs") file = "ci-universes";
    if (auto other = config_.otherOutputs.find(file);
        other != config_.otherOutputs.end()) {
      JsonValue doc = other->second;
      setString(doc, "status", "OK");
      return HttpReply::json(200, phpJsonEncode(doc));
    }
    return file == pixelFileName_ || file == "ci-universes"
               ? outputAnswer(file)
               : HttpReply::json(restartOnly_ ? 200 : 404,
                                 "{\"status\":\"ERROR: File not found\"}");
  }
  if (request.method != "POST") return std::nullopt;
  if (!known)
    return HttpReply::json(
        200, "{\"status\":\"ERROR file not supported: " + file + "\"}");
  std::string stored = stripSlashes(request.body);
  if (file == "universeInputs") {
    JsonValue doc;
    universes_ =
        parseJsonDocument(stored, &doc) ? phpJsonEncode(doc, true) : stored;
    if (!restartOnly_) appliedUniverses_ = universes_;
    return outputAnswer("ci-universes");
  }
  if (file != pixelFileName_)
    return HttpReply::json(200, "{\"status\":\"OK\"}");
  pixelStrings_ = stored;
  if (!restartOnly_) appliedPixelStrings_ = pixelStrings_;
  return outputAnswer(file);
}

std::optional<HttpReply> FppSimulator::universeFile(
    const HttpRequest& request) {
  if (request.method == "GET") {
    if (!universes_)
      return notFoundPage(
          "unknown filename /home/fpp/media/config/ci-universes.json");
    HttpReply reply = HttpReply::json(200, *universes_);
    reply.contentType = "application/json";
    return reply;
  }
  if (request.method != "DELETE") return std::nullopt;
  if (!universes_)
    return HttpReply::json(
        200,
        "{\"Status\":\"Error\",\"Message\":\"ci-universes.json is not a "
        "regular file\"}");
  universes_.reset();
  if (!restartOnly_) appliedUniverses_.reset();
  return HttpReply::json(200, "{\"Status\":\"OK\",\"Message\":\"\"}");
}

bool FppSimulator::universeInputEnabled() const {
  std::lock_guard lock(mutex_);
  const std::optional<std::string>& universes = activeUniverses();
  if (!universes || restarting()) return false;
  JsonValue doc;
  if (!parseJsonDocument(*universes, &doc)) return false;
  const JsonValue* inputs = findMember(doc, "channelInputs");
  if (!inputs || !inputs->isArray() || inputs->array.empty()) return false;
  const JsonValue& first = inputs->array.front();
  return getString(first, "type", "") == "universes" &&
         getInt(first, "enabled", 0) == 1;
}

int64_t FppSimulator::nowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - epoch_)
      .count();
}

void FppSimulator::ddpLoop() {
  std::vector<uint8_t> buffer(65536);
  while (running_) {
    long n = ddpSocket_.receiveFrom(buffer.data(), buffer.size(), 50ms);
    if (n < 0) continue;
    DdpPacket packet;
    if (!parseDdpPacket(std::span(buffer.data(), static_cast<size_t>(n)),
                        &packet)) {
      ++ignored_;
      continue;
    }
    applyPacket(packet);
  }
}

void FppSimulator::applyPacket(const DdpPacket& packet) {
  // Network input counts only while the universe file enables it; packets
  // for other devices, with sequence 0, or beyond the buffer are dropped.
  if (!universeInputEnabled() || !packet.isData() || packet.sequence == 0 ||
      packet.offset + packet.payload.size() > kChannelCount) {
    ++ignored_;
    return;
  }
  std::lock_guard lock(mutex_);
  int64_t now = nowMs();
  std::copy(packet.payload.begin(),
            packet.payload.end(),
            pending_.begin() + packet.offset);
  std::fill_n(updated_.begin() + packet.offset, packet.payload.size(), now);
  dirtyBegin_ = std::min<size_t>(dirtyBegin_, packet.offset);
  dirtyEnd_ =
      std::max<size_t>(dirtyEnd_, packet.offset + packet.payload.size());
  if (packet.push() && dirtyBegin_ < dirtyEnd_) {
    std::copy(pending_.data() + dirtyBegin_,
              pending_.data() + dirtyEnd_,
              shown_.data() + dirtyBegin_);
    dirtyBegin_ = SIZE_MAX;
    dirtyEnd_ = 0;
  }
  ++applied_;
}

uint8_t FppSimulator::channelValue(int64_t channel,
                                   int64_t now,
                                   int64_t timeoutMs) const {
  if (channel < 0 || channel >= static_cast<int64_t>(kChannelCount)) return 0;
  // Without fresh network data the controller shows its own (idle) output.
  if (now - updated_[channel] > timeoutMs) return 0;
  return shown_[channel];
}

std::vector<int32_t> FppSimulator::portNumbers() const {
  std::vector<int32_t> numbers;
  for (const auto& [port, order] : config_.stripOrders) numbers.push_back(port);
  return numbers;
}

std::string FppSimulator::stripOrder(int32_t portNumber) const {
  auto strip = config_.stripOrders.find(portNumber);
  return strip == config_.stripOrders.end() ? "RGB" : strip->second;
}

std::map<int32_t, std::vector<LedColor>> FppSimulator::allPortLeds() const {
  std::map<int32_t, std::vector<LedColor>> all;
  for (int32_t port : portNumbers()) all[port] = portLeds(port);
  return all;
}

std::vector<LedColor> FppSimulator::portLeds(int32_t portNumber) const {
  bool networkOn = universeInputEnabled();
  std::lock_guard lock(mutex_);
  std::vector<LedColor> leds;
  JsonValue doc;
  const std::optional<std::string>& applied = activePixelStrings();
  if (!applied || !parseJsonDocument(*applied, &doc)) return leds;
  const JsonValue* outputs = findMember(doc, "channelOutputs");
  if (!outputs || !outputs->isArray() || outputs->array.empty()) return leds;
  const JsonValue& block = outputs->array.front();
  bool enabled = getInt(block, "enabled", 1) == 1;
  const JsonValue* ports = findMember(block, "outputs");
  if (!ports || !ports->isArray()) return leds;

  int64_t timeout = kDefaultTimeoutMs;
  if (const std::optional<std::string>& universes = activeUniverses()) {
    JsonValue u;
    if (parseJsonDocument(*universes, &u))
      if (const JsonValue* in = findMember(u, "channelInputs");
          in && in->isArray() && !in->array.empty())
        timeout = getInt(in->array.front(), "timeout", kDefaultTimeoutMs);
  }
  const int64_t now = nowMs();
  const std::string physical = stripOrder(portNumber);

  for (const JsonValue& output : ports->array) {
    if (getInt(output, "portNumber", -1) != portNumber) continue;
    const JsonValue* strings = findMember(output, "virtualStrings");
    if (!strings || !strings->isArray()) continue;
    for (const JsonValue& vs : strings->array) {
      int32_t nulls = std::max(getInt(vs, "nullNodes", 0), 0);
      int32_t count = std::max(getInt(vs, "pixelCount", 0), 0);
      int32_t ends = std::max(getInt(vs, "endNulls", 0), 0);
      int32_t group = std::max(getInt(vs, "groupCount", 1), 1);
      bool reverse = getInt(vs, "reverse", 0) != 0;
      int64_t start = getInt(vs, "startChannel", 0);
      std::string order = getString(vs, "colorOrder", "RGB");
      int cpp = order.size() >= 4 ? 4 : static_cast<int>(order.size());
      double brightness =
          std::clamp(getInt(vs, "brightness", 100), 0, 100) / 100.0;
      double gamma = parseGamma(vs);

      leds.resize(leds.size() + static_cast<size_t>(nulls));
      for (int32_t p = 0; p < count; ++p) {
        int32_t index = reverse ? count - 1 - p : p;
        int64_t base = start + int64_t{index / group} * cpp;
        LedColor led;
        // Byte k on the wire carries the channel named by order[k]; the
        // strip reads it as the colour its own wiring puts at position k.
        for (size_t k = 0; k < order.size() && k < physical.size(); ++k) {
          size_t component = std::string("RGBW").find(order[k]);
          if (component == std::string::npos) continue;
          uint8_t value =
              enabled && networkOn
                  ? channelValue(
                        base + static_cast<int64_t>(component), now, timeout)
                  : 0;
          double level = 255.0 * std::pow(value * brightness / 255.0, gamma);
          auto out =
              static_cast<uint8_t>(std::clamp(std::lround(level), 0L, 255L));
          switch (physical[k]) {
            case 'R':
              led.r = out;
              break;
            case 'G':
              led.g = out;
              break;
            case 'B':
              led.b = out;
              break;
            case 'W':
              led.w = out;
              break;
            default:
              break;
          }
        }
        leds.push_back(led);
      }
      leds.resize(leds.size() + static_cast<size_t>(ends));
    }
  }
  return leds;
}

}  // namespace pxo::sim
