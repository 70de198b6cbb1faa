#include "sim/rig.h"

#include "json/json.h"

#include "sim/fpp_quirks.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

namespace pxo::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kE131RigPort = 1;  // the E1.31 receiver's one string

double number(const JsonValue& v, std::string_view key, double fallback) {
  const JsonValue* m = findMember(v, key);
  return m && m->type == JsonType::kNumber ? m->number : fallback;
}

bool triple(const JsonValue& v, std::array<double, 3>* out) {
  if (!v.isArray() || v.array.size() != 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    if (v.array[i].type != JsonType::kNumber) return false;
    (*out)[i] = v.array[i].number;
  }
  return true;
}

// Prop shapes in metres, centred on the origin in the x-y plane (z depth).
std::vector<std::array<double, 3>> shapeLeds(const JsonValue& prop,
                                             uint64_t seed,
                                             std::string* error) {
  std::vector<std::array<double, 3>> leds;
  const std::string shape = getString(prop, "shape", "matrix");
  if (const JsonValue* points = findMember(prop, "points");
      points && points->isArray()) {
    for (const JsonValue& p : points->array) {
      std::array<double, 3> xyz{};
      if (!triple(p, &xyz)) {
        *error = "scene \"points\" must hold [x, y, z] triples";
        return {};
      }
      leds.push_back(xyz);
    }
    return leds;
  }
  if (shape == "matrix") {
    int32_t cols = getInt(prop, "cols", 10), rows = getInt(prop, "rows", 10);
    double spacing = number(prop, "spacing", 0.1);
    for (int32_t r = 0; r < rows; ++r)
      for (int32_t i = 0; i < cols; ++i) {
        int32_t c = r % 2 == 0 ? i : cols - 1 - i;  // wired as a serpentine
        leds.push_back({(c - (cols - 1) / 2.0) * spacing,
                        ((rows - 1) / 2.0 - r) * spacing,
                        0});
      }
  } else if (shape == "arch") {
    int32_t count = getInt(prop, "count", 50);
    double width = number(prop, "width", 2), height = number(prop, "height", 1);
    for (int32_t i = 0; i < count; ++i) {
      double a = kPi * i / std::max(count - 1, 1);
      leds.push_back(
          {-std::cos(a) * width / 2, std::sin(a) * height - height / 2, 0});
    }
  } else if (shape == "tree") {
    int32_t count = getInt(prop, "count", 150);
    double height = number(prop, "height", 2),
           radius = number(prop, "radius", 0.6);
    double turns = number(prop, "turns", 6);
    leds = treeSpiral(count, height, radius, turns);
  } else if (shape == "trunk") {
    leds = trunkWrap(getInt(prop, "count", 150),
                     number(prop, "height", 0.5),
                     number(prop, "radius", 0.06),
                     number(prop, "turns", 12));
  } else if (shape == "wreath") {
    leds = wreathWrap(getInt(prop, "count", 150),
                      number(prop, "radius", 0.2),
                      number(prop, "tube", 0.04),
                      number(prop, "wraps", 16));
  } else if (shape == "bush") {
    leds = bushWrap(getInt(prop, "count", 150),
                    number(prop, "radius", 0.3),
                    number(prop, "spacing", 0.06),
                    seed);
  } else if (shape == "random") {
    int32_t count = getInt(prop, "count", 100);
    double width = number(prop, "width", 2),
           height = number(prop, "height", 1.2);
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> step(-1, 1);
    double x = 0, y = 0;
    for (int32_t i = 0; i < count; ++i) {  // a string wandering about
      x = std::clamp(x + 0.06 * step(rng), -width / 2, width / 2);
      y = std::clamp(y + 0.06 * step(rng), -height / 2, height / 2);
      leds.push_back({x, y, 0});
    }
  } else {
    *error = "unknown prop shape \"" + shape + "\"";
  }
  return leds;
}

}  // namespace

std::vector<std::array<double, 3>> treeSpiral(int32_t count,
                                              double height,
                                              double radius,
                                              double turns) {
  std::vector<std::array<double, 3>> leds;
  for (int32_t i = 0; i < count; ++i) {
    double t = double(i) / std::max(count - 1, 1);
    double a = 2 * kPi * turns * t, r = radius * (1 - t);
    leds.push_back({r * std::cos(a), t * height - height / 2, r * std::sin(a)});
  }
  return leds;
}

std::vector<std::array<double, 3>> trunkWrap(int32_t count,
                                             double height,
                                             double radius,
                                             double turns) {
  std::vector<std::array<double, 3>> leds;
  for (int32_t i = 0; i < count; ++i) {
    const double t = double(i) / std::max(count - 1, 1);
    const double a = 2 * kPi * turns * t;
    leds.push_back(
        {radius * std::sin(a), t * height - height / 2, -radius * std::cos(a)});
  }
  return leds;
}

std::vector<std::array<double, 3>> wreathWrap(int32_t count,
                                              double radius,
                                              double tube,
                                              double wraps) {
  std::vector<std::array<double, 3>> leds;
  for (int32_t i = 0; i < count; ++i) {
    const double t = double(i) / std::max(count, 1);
    const double ring = 2 * kPi * t, round = 2 * kPi * wraps * t;
    const double r = radius + tube * std::cos(round);
    leds.push_back(
        {r * std::cos(ring), r * std::sin(ring), -tube * std::sin(round)});
  }
  return leds;
}

std::vector<std::array<double, 3>> bushWrap(int32_t count,
                                            double radius,
                                            double spacing,
                                            uint64_t seed) {
  // A string thrown over a ball: each LED a fixed step from the last in a
  // direction that turns at random, kept on the ball's surface.
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> turn(-0.9, 0.9);
  const double step = spacing / radius;  // radians of arc
  double lat = 0, lon = -kPi / 2, heading = 0;
  std::vector<std::array<double, 3>> leds;
  for (int32_t i = 0; i < count; ++i) {
    leds.push_back({radius * std::cos(lat) * std::cos(lon),
                    radius * std::sin(lat),
                    radius * std::cos(lat) * std::sin(lon)});
    heading += turn(rng);
    lat = std::clamp(lat + step * std::sin(heading), -1.2, 1.2);
    lon += step * std::cos(heading) / std::max(std::cos(lat), 0.3);
  }
  return leds;
}

SceneConfig defaultScene() {
  SceneConfig scene;
  std::string error;
  JsonValue prop;
  (void)parseJsonDocument(
      R"({"shape":"matrix","cols":10,"rows":10,"spacing":0.12})", &prop);
  scene.leds = shapeLeds(prop, 1, &error);
  scene.ports = {{0, 50, "RGB", "", 0, false}, {1, 100, "RGB", "", 0, true}};
  CameraPose pose;
  pose.position = {0, 0, -2.4};
  scene.poses = {pose};
  scene.camera.imaging.width = 1024;
  scene.camera.imaging.height = 576;
  scene.camera.imaging.noiseSigma = 2;
  // LEDs are bright: a lit one saturates its spot even at the scan's 40 %
  // brightness.
  scene.camera.imaging.spotPeak = 900;
  // No spill light by default: frames that light different LEDs would
  // differ all over, which the shake search reads as motion.
  scene.camera.imaging.glowPerLed = 0;
  return scene;
}

namespace {

// The scene's parts, each read into `scene`: "" or what is wrong.
std::string readScenePorts(const JsonValue& doc, SceneConfig* scene) {
  const JsonValue* ports = findMember(doc, "ports");
  if (!ports || !ports->isArray()) return {};
  scene->ports.clear();
  for (const JsonValue& p : ports->array) {
    ScenePort port;
    port.port = getInt(p, "port", static_cast<int32_t>(scene->ports.size()));
    port.pixels = getInt(p, "pixels", 0);
    port.colorOrder = getString(p, "colorOrder", "RGB");
    port.stripOrder = getString(p, "stripOrder", "");
    port.nullNodes = getInt(p, "nullNodes", 0);
    port.selected = getInt(p, "selected", 1) != 0;
    if (port.pixels < 0) return "a port has a negative pixel count";
    scene->ports.push_back(port);
  }
  return {};
}

std::string readSceneCamera(const JsonValue& doc, SceneConfig* scene) {
  const JsonValue* camera = findMember(doc, "camera");
  if (!camera || !camera->isObject()) return {};
  VirtualCameraConfig& c = scene->camera;
  c.imaging.width = getInt(*camera, "width", 1024);
  c.imaging.height = getInt(*camera, "height", 576);
  c.fps = number(*camera, "fps", 30);
  c.fovDeg = number(*camera, "fovDeg", 60);
  if (const JsonValue* exposure = findMember(*camera, "exposure");
      exposure && exposure->isObject()) {
    c.autoExposureMs = number(*exposure, "autoMs", c.autoExposureMs);
    c.gain = std::max(number(*exposure, "gain", c.gain), 1.0);
    c.exposureSettable = getInt(*exposure, "settable", 0) != 0;
    c.minExposureMs = number(*exposure, "minMs", c.minExposureMs);
  }
  c.rollingShutterMs = std::max(number(*camera, "rollingShutterMs", 0), 0.0);
  c.frameJitterMs = std::max(number(*camera, "frameJitterMs", 0), 0.0);
  c.dropRate = std::clamp(number(*camera, "dropRate", 0), 0.0, 0.5);
  c.mjpegQuality = std::clamp(getInt(*camera, "mjpegQuality", 0), 0, 100);
  const JsonValue* poses = findMember(*camera, "poses");
  if (!poses || !poses->isArray()) return {};
  scene->poses.clear();
  for (const JsonValue& p : poses->array) {
    CameraPose pose;
    if (const JsonValue* at = findMember(p, "position");
        at && !triple(*at, &pose.position))
      return "a camera position must be [x, y, z]";
    pose.yawDeg = number(p, "yaw", 0);
    pose.pitchDeg = number(p, "pitch", 0);
    pose.rollDeg = number(p, "roll", 0);
    scene->poses.push_back(pose);
  }
  return {};
}

std::string readSceneOptics(const JsonValue& doc, SceneConfig* scene) {
  const JsonValue* optics = findMember(doc, "optics");
  if (!optics || !optics->isObject()) return {};
  ImagerOptions& im = scene->camera.imaging;
  im.spotSigma = number(*optics, "spotSigma", im.spotSigma);
  im.spotPeak = number(*optics, "spotPeak", im.spotPeak);
  im.noiseSigma = number(*optics, "noise", im.noiseSigma);
  im.ambient = number(*optics, "ambient", im.ambient);
  im.ambientTexture = number(*optics, "texture", im.ambientTexture);
  im.glowPerLed = number(*optics, "glowPerLed", im.glowPerLed);
  im.glowCap = number(*optics, "glowCap", im.glowCap);
  im.bloom = std::max(number(*optics, "bloom", im.bloom), 0.0);
  if (const JsonValue* m = findMember(*optics, "crosstalk");
      m && m->isArray() && m->array.size() == 3)
    for (size_t r = 0; r < 3; ++r) {
      std::array<double, 3> row{};
      if (!triple(m->array[r], &row))
        return "crosstalk must be three rows of three";
      im.crosstalk[r] = row;
    }
  return {};
}

// The camera's motion, its timing, the controller's files, reflections and
// the LEDs hidden from the camera.
void readSceneExtras(const JsonValue& doc, SceneConfig* scene) {
  if (const JsonValue* motion = findMember(doc, "motion");
      motion && motion->isObject()) {
    scene->camera.driftXPerSecond = number(*motion, "driftX", 0);
    scene->camera.driftYPerSecond = number(*motion, "driftY", 0);
    scene->camera.jitterPx = number(*motion, "jitter", 0);
    scene->camera.bumpAtSeconds = number(*motion, "bumpAt", -1);
    scene->camera.bumpDx = number(*motion, "bumpDx", 0);
    scene->camera.bumpDy = number(*motion, "bumpDy", 0);
  }
  scene->camera.latencyMs = number(doc, "latencyMs", scene->camera.latencyMs);
  scene->camera.exposureMs =
      number(doc, "exposureMs", scene->camera.exposureMs);
  scene->universeFileExists = getInt(doc, "universeFile", 1) != 0;
  scene->password = getString(doc, "password", "");
  if (const JsonValue* r = findMember(doc, "reflections"); r && r->isObject()) {
    scene->reflectionEvery = std::max(getInt(*r, "every", 0), 0);
    scene->reflectionGain = number(*r, "gain", scene->reflectionGain);
    scene->reflectionDx = number(*r, "dx", scene->reflectionDx);
    scene->reflectionDy = number(*r, "dy", scene->reflectionDy);
  }
  if (const JsonValue* hidden = findMember(doc, "occluded");
      hidden && hidden->isArray())
    for (const JsonValue& v : hidden->array)
      scene->occluded.push_back(jsonToInt(v, -1));
  if (double fraction = number(doc, "occludedFraction", 0); fraction > 0) {
    std::mt19937_64 rng(scene->seed + 5);
    std::uniform_real_distribution<double> u(0, 1);
    for (size_t i = 0; i < scene->leds.size(); ++i)
      if (u(rng) < fraction) scene->occluded.push_back(static_cast<int32_t>(i));
  }
}

}  // namespace

bool loadScene(std::string_view text, SceneConfig* out, std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  JsonValue doc;
  if (!parseJsonDocument(text, &doc) || !doc.isObject())
    return fail("scene is not a JSON object");
  SceneConfig scene = defaultScene();
  scene.seed = static_cast<uint64_t>(std::max(getInt(doc, "seed", 1), 0));
  scene.camera.imaging.seed = scene.seed;
  std::string problem;
  if (const JsonValue* prop = findMember(doc, "prop");
      prop && prop->isObject()) {
    scene.leds = shapeLeds(*prop, scene.seed, &problem);
    if (!problem.empty()) return fail(problem);
    scene.camera.trunkRadius = number(*prop, "trunkRadius", 0);
  }
  if (problem = readScenePorts(doc, &scene); !problem.empty())
    return fail(problem);
  int64_t scanned = 0;
  for (const ScenePort& p : scene.ports)
    if (p.selected) scanned += p.pixels;
  if (scanned != static_cast<int64_t>(scene.leds.size()))
    return fail("the selected ports hold " + std::to_string(scanned) +
                " pixels but the prop has " +
                std::to_string(scene.leds.size()) + " LEDs");
  if (problem = readSceneCamera(doc, &scene); !problem.empty())
    return fail(problem);
  if (scene.poses.empty()) return fail("the scene has no camera pose");
  if (problem = readSceneOptics(doc, &scene); !problem.empty())
    return fail(problem);
  readSceneExtras(doc, &scene);
  *out = std::move(scene);
  return true;
}

bool loadSceneFile(const std::string& path,
                   SceneConfig* out,
                   std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read scene " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return loadScene(text.str(), out, error);
}

SimulatedRig::SimulatedRig(SceneConfig scene) : scene_(std::move(scene)) {
  // The controller's configuration: the ports one after another.
  JsonValue outputs = JsonValue::makeArray();
  FppSimConfig config;
  int32_t channel = 0;
  for (const ScenePort& p : scene_.ports) {
    JsonValue string = JsonValue::makeObject();
    setString(string, "description", "Port " + std::to_string(p.port));
    setNumber(string, "startChannel", channel);
    setNumber(string, "pixelCount", p.pixels);
    setNumber(string, "groupCount", 1);
    setNumber(string, "reverse", 0);
    setString(string, "colorOrder", p.colorOrder);
    setNumber(string, "nullNodes", p.nullNodes);
    setNumber(string, "endNulls", 0);
    setNumber(string, "zigZag", 0);
    setNumber(string, "brightness", 100);
    setString(string, "gamma", "1.0");
    JsonValue output = JsonValue::makeObject();
    setNumber(output, "portNumber", p.port);
    setString(output, "protocol", "ws2811");
    output.object["virtualStrings"] = JsonValue::makeArray();
    output.object["virtualStrings"].array.push_back(string);
    outputs.array.push_back(output);
    channel += p.pixels * (p.colorOrder.size() >= 4 ? 4 : 3);
    config.stripOrders[p.port] =
        p.stripOrder.empty() ? p.colorOrder : p.stripOrder;
  }
  JsonValue block = JsonValue::makeObject();
  setString(block, "type", "RPIWS281X");
  setString(block, "subType", "PiHat");
  setNumber(block, "enabled", 1);
  setNumber(block, "startChannel", 1);
  setNumber(block, "outputCount", static_cast<double>(scene_.ports.size()));
  block.object["outputs"] = outputs;
  config.pixelStrings = JsonValue::makeObject();
  config.pixelStrings.object["channelOutputs"] = JsonValue::makeArray();
  config.pixelStrings.object["channelOutputs"].array.push_back(block);
  (void)parseJsonDocument(
      R"({"Platform":"Raspberry Pi","Version":"9.5.3","HostName":"FPP-Sim","Mode":"player","Variant":"Pi 4"})",
      &config.systemInfo);
  if (scene_.universeFileExists) {
    JsonValue universes;
    (void)parseJsonDocument(
        R"({"channelInputs":[{"type":"universes","enabled":0,"timeout":1000,"startChannel":1,"channelCount":-1,"universes":[{"active":1,"description":"Show PC","id":1,"startChannel":1,"universeCount":1,"channelCount":510,"type":0}]}]})",
        &universes);
    config.universes = universes;
  }
  config.password = scene_.password;
  controller_ = std::make_unique<FppSimulator>(std::move(config));
}

namespace {

const ScenePort* firstSelectedPort(const SceneConfig& scene) {
  for (const ScenePort& p : scene.ports)
    if (p.selected) return &p;
  return nullptr;
}

}  // namespace

void SimulatedRig::useE131Receiver(const E131Layout& layout) {
  E131ReceiverConfig config;
  config.layout = layout;
  for (const ScenePort& p : scene_.ports)
    if (p.selected) config.pixels += p.pixels;
  if (const ScenePort* first = firstSelectedPort(scene_)) {
    config.colorOrder = first->colorOrder;
    config.stripOrder = first->stripOrder;
  }
  e131_ = std::make_unique<E131Receiver>(std::move(config));
}

void SimulatedRig::useWledController(WledSimConfig settings) {
  settings.outputs.clear();
  int32_t start = 0;
  for (const ScenePort& p : scene_.ports) {
    WledSimOutput output;
    output.output.start = start;
    output.output.length = p.pixels;
    output.port = p.port;
    settings.outputs.push_back(output);
    start += p.pixels;
  }
  wled_ = std::make_unique<WledSimulator>(std::move(settings));
}

PlainReceiver SimulatedRig::receiverSettings() const {
  PlainReceiver receiver;
  receiver.host = controllerAddress();
  for (const ScenePort& p : scene_.ports)
    if (p.selected) receiver.pixels += p.pixels;
  if (const ScenePort* first = firstSelectedPort(scene_))
    receiver.colorOrder = first->colorOrder;
  if (e131_) {
    const E131Layout& layout = e131_->layout();
    receiver.universe = layout.firstUniverse;
    receiver.universeSize = layout.universeSize;
    receiver.startChannel = layout.startChannel;
  }
  return receiver;
}

bool SimulatedRig::start(std::string* error) {
  if (e131_) return e131_->start(error);
  if (wled_) return wled_->start(error);
  return controller_->start(error);
}

void SimulatedRig::stop() {
  if (e131_) e131_->stop();
  if (wled_) wled_->stop();
  controller_->stop();
}

const LedSource& SimulatedRig::ledSource() const {
  if (e131_) return *e131_;
  if (wled_) return *wled_;
  return *controller_;
}

std::vector<PropLed> SimulatedRig::propLeds() const {
  std::vector<PropLed> leds;
  size_t next = 0;
  for (const ScenePort& p : scene_.ports) {
    if (!p.selected) continue;
    for (int32_t j = 0; j < p.pixels && next < scene_.leds.size(); ++j, ++next)
      if (e131_)  // one string over the selected ports
        leds.push_back({kE131RigPort,
                        static_cast<int32_t>(next),
                        scene_.leds[next],
                        false});
      else
        leds.push_back(
            {p.port, (wled_ ? 0 : p.nullNodes) + j, scene_.leds[next], false});
  }
  if (scene_.reflectionEvery > 0)
    for (size_t i = 0; i < leds.size();
         i += static_cast<size_t>(scene_.reflectionEvery)) {
      leds[i].reflectionGain = scene_.reflectionGain;
      leds[i].reflectionDx = scene_.reflectionDx;
      leds[i].reflectionDy = scene_.reflectionDy;
    }
  for (int32_t hidden : scene_.occluded)
    if (hidden >= 0 && static_cast<size_t>(hidden) < leds.size())
      leds[static_cast<size_t>(hidden)].occluded = true;
  return leds;
}

VirtualCameraConfig SimulatedRig::cameraConfig(size_t pose) const {
  VirtualCameraConfig config = scene_.camera;
  config.pose = scene_.poses.at(pose);
  return config;
}

std::unique_ptr<VirtualCamera> SimulatedRig::makeCamera(size_t pose) const {
  return makeCamera(cameraConfig(pose));
}

std::unique_ptr<VirtualCamera> SimulatedRig::makeCamera(
    const VirtualCameraConfig& config) const {
  return std::make_unique<VirtualCamera>(ledSource(), propLeds(), config);
}

std::vector<ImagePoint> SimulatedRig::truth(size_t pose) const {
  std::vector<ImagePoint> points;
  std::vector<PropLed> leds = propLeds();
  for (const PropLed& led : leds) {
    ImagePoint p = seenPoint(led.world, scene_.camera, scene_.poses.at(pose));
    if (led.occluded) p.inView = false;
    points.push_back(p);
  }
  return points;
}

}  // namespace pxo::sim
