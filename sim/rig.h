#pragma once

#include "controller/controller_kind.h"

#include "sim/e131_receiver.h"
#include "sim/fpp_simulator.h"
#include "sim/virtual_camera.h"
#include "sim/wled_simulator.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

// The virtual rig of a scene: a simulated controller driving a prop's LEDs
// and virtual cameras filming them, all described by one scene (JSON; see
// sim/scenes/README.md). The session under test drives both exactly as it
// would drive real ones.
//
//   SceneConfig scene;
//   loadScene(text, &scene, &error);
//   SimulatedRig rig(scene);
//   rig.start(&error);
//   auto camera = rig.makeCamera(0);   // the session takes it

namespace pxo::sim {

// The rig runs in real time: under ThreadSanitizer a scan falls too far
// behind its camera and controller for a whole-scan test to mean anything.
constexpr bool rigTooSlowForRealTime() {
#ifdef PXO_UNDER_TSAN
  return true;
#else
  return false;
#endif
}

struct ScenePort {
  int32_t port = 0;
  int32_t pixels = 0;
  std::string colorOrder = "RGB";  // what the controller is told
  std::string stripOrder;          // the strip's own order; "" = colorOrder
  int32_t nullNodes = 0;
  bool selected = true;  // scanned (filmed) or not
};

struct SceneConfig {
  uint64_t seed = 1;
  std::vector<std::array<double, 3>> leds;  // world positions, scan order
  std::vector<ScenePort> ports;
  std::vector<CameraPose> poses;
  VirtualCameraConfig camera;
  std::vector<int32_t> occluded;  // LED indices (0-based) nobody can see
  // Every `reflectionEvery`-th LED (0: none) shows a dim mirror image.
  int32_t reflectionEvery = 0;
  double reflectionGain = 0.3;
  double reflectionDx = 0;
  double reflectionDy = 12;
  bool universeFileExists = true;
  std::string password;  // the controller asks for one when set
};

// A cone of LEDs wound `turns` times from the bottom (radius `radius`) to
// the tip, centred on the origin: the "tree" prop.
std::vector<std::array<double, 3>> treeSpiral(int32_t count,
                                              double height,
                                              double radius,
                                              double turns);

// Wrapped props, centred on the origin, their front towards a camera on
// the -z side. A string wound round a tree trunk (a helix round a vertical
// cylinder: give the scene a "trunkRadius" a little under `radius` to hide
// the back); round a wreath's tube (a ring of `radius` in the picture's
// plane, wound `wraps` times round a tube of radius `tube`); and thrown
// over a bush (a string wandering over a ball's surface, LEDs `spacing`
// apart).
std::vector<std::array<double, 3>> trunkWrap(int32_t count,
                                             double height,
                                             double radius,
                                             double turns);
std::vector<std::array<double, 3>> wreathWrap(int32_t count,
                                              double radius,
                                              double tube,
                                              double wraps);
std::vector<std::array<double, 3>> bushWrap(int32_t count,
                                            double radius,
                                            double spacing,
                                            uint64_t seed);

// The built-in scene: a 10 × 10 matrix on port 1 behind an unselected
// 50-pixel port 0.
SceneConfig defaultScene();

// Reads a scene (the keys of sim/scenes/README.md). False with a message
// for a malformed one.
[[nodiscard]] bool loadScene(std::string_view text,
                             SceneConfig* out,
                             std::string* error);
[[nodiscard]] bool loadSceneFile(const std::string& path,
                                 SceneConfig* out,
                                 std::string* error);

class SimulatedRig {
 public:
  explicit SimulatedRig(SceneConfig scene);

  // Before start: the prop hangs on an E1.31 receiver instead of the FPP
  // controller, its selected ports' LEDs one string from `layout`'s start
  // channel, in the first selected port's colour order.
  void useE131Receiver(const E131Layout& layout);
  // Before start: the prop hangs on a WLED controller instead, one output
  // per scene port (in order, numbered from 0 by the controller), set up
  // as `settings` says (its outputs are filled in).
  void useWledController(WledSimConfig settings);

  [[nodiscard]] bool start(std::string* error);
  void stop();

  FppSimulator& controller() { return *controller_; }
  const SceneConfig& scene() const { return scene_; }
  ControllerKind controllerKind() const {
    return e131_   ? ControllerKind::kE131
           : wled_ ? ControllerKind::kWled
                   : ControllerKind::kFpp;
  }
  // The controller as a user would type it.
  std::string controllerAddress() const {
    return e131_   ? e131_->address()
           : wled_ ? wled_->httpAddress()
                   : controller_->httpAddress();
  }
  WledSimulator* wledController() const { return wled_.get(); }
  // What a user tells of the E1.31 receiver (useE131Receiver).
  PlainReceiver receiverSettings() const;
  E131Receiver* e131Receiver() const { return e131_.get(); }

  // A camera at pose `pose` filming the prop; the caller owns it.
  std::unique_ptr<VirtualCamera> makeCamera(size_t pose) const;
  // The scene's camera at pose `pose`, to change before making it.
  VirtualCameraConfig cameraConfig(size_t pose) const;
  std::unique_ptr<VirtualCamera> makeCamera(
      const VirtualCameraConfig& config) const;
  // Per scanned LED (ID order), where it truly is in pose `pose`'s picture
  // and whether it can be seen.
  std::vector<ImagePoint> truth(size_t pose) const;
  size_t ledCount() const { return scene_.leds.size(); }

 private:
  std::vector<PropLed> propLeds() const;

  const LedSource& ledSource() const;

  SceneConfig scene_;
  std::unique_ptr<FppSimulator> controller_;
  std::unique_ptr<E131Receiver> e131_;
  std::unique_ptr<WledSimulator> wled_;
};

}  // namespace pxo::sim
