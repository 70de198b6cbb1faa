#pragma once

#include <cstdint>
#include <map>
#include <vector>

// What the rig's cameras film: a simulated controller's LEDs, port by port,
// as they show at the moment asked. Any controller of the rig (FPP, an
// E1.31 receiver) is one.

namespace pxo::sim {

struct LedColor {
  uint8_t r = 0, g = 0, b = 0, w = 0;
  bool lit() const { return r || g || b || w; }
  bool operator==(const LedColor&) const = default;
};

class LedSource {
 public:
  virtual ~LedSource() = default;
  // Every port's physical LEDs in string order, at one moment. Any thread.
  virtual std::map<int32_t, std::vector<LedColor>> allPortLeds() const = 0;
};

}  // namespace pxo::sim
