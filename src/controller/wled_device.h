#pragma once

#include "controller/http_client.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What a scan needs to know of a WLED controller, read from the documents
// its JSON API serves: GET /json/info (the device), GET /json/cfg (its
// outputs and its realtime input) and GET /json/state (whether it is on,
// and its master brightness).
//
// Only readWledDevice and setWledState talk to the controller, and only
// setWledState changes anything (its state, never its configuration: a
// configuration change reboots it). Each document is
// bounded in size and parsed with the product's JSON parser; fields that
// are missing keep their defaults, and numbers are clamped to what the
// firmware can hold. Pure functions, any thread.

namespace pxo {

// Larger documents are refused: a controller's configuration is a few
// kilobytes.
inline constexpr size_t kMaxWledDocumentBytes = 1u << 20;
// The most outputs a controller is read with; the firmware drives far
// fewer.
inline constexpr size_t kMaxWledOutputs = 64;
// The most LEDs one controller drives (the firmware counts in 16 bits).
inline constexpr int32_t kMaxWledLeds = 65535;
// WLED takes DDP on the protocol's own port, whatever its other ports are.
inline constexpr uint16_t kWledDdpPort = 4048;

// One output ("hw.led.ins" entry) of the controller.
struct WledOutput {
  int32_t start = 0;       // the output's first LED in the controller's strip
  int32_t length = 0;      // LEDs on the output
  int32_t colorOrder = 0;  // the firmware's code; wledColorOrderName
  int32_t type = 0;        // the firmware's LED type code
  bool reversed = false;
  int32_t skip = 0;  // LEDs at the start of the output that stay dark
};

struct WledDevice {
  // From /json/info.
  std::string name;
  std::string version;
  int32_t ledCount = 0;
  bool white = false;    // the LEDs have a white channel
  bool liveNow = false;  // realtime data is being shown right now
  // From /json/cfg.
  std::vector<WledOutput> outputs;
  bool realtimeEnabled = true;       // "Receive UDP realtime"
  bool forceMaxBrightness = false;   // realtime data at full brightness
  int32_t realtimeTimeoutMs = 2500;  // realtime ends this long after the
                                     // last packet
  int32_t dmxStartAddress = 1;       // 1-based; also offsets DDP data
  int32_t realtimeLedOffset = 0;
  // From /json/state.
  bool on = true;
  int32_t brightness = 128;  // 0-255
};

// The bounds of every request to a controller: 3 s to connect, 8 s in
// all, a document's size.
HttpLimits wledHttpLimits();

// Read one document into `device`; false, with why, for a document that is
// too large, does not parse or is not an object.
[[nodiscard]] bool parseWledInfo(std::string_view text,
                                 WledDevice* device,
                                 std::string* error);
[[nodiscard]] bool parseWledConfig(std::string_view text,
                                   WledDevice* device,
                                   std::string* error);
[[nodiscard]] bool parseWledState(std::string_view text,
                                  WledDevice* device,
                                  std::string* error);

// Reads the three documents from the controller at `host` ("name",
// "address:port", optionally with a scheme). False with a message naming
// the controller and what failed: no answer, an HTTP error, or a document
// that does not read. Nothing on the controller is changed.
[[nodiscard]] bool readWledDevice(const std::string& host,
                                  WledDevice* device,
                                  std::string* error);

// Sets the controller's on/off and master brightness (POST /json/state with
// just those two members) and checks that it took them: the state read
// back holds them. False with a message otherwise.
[[nodiscard]] bool setWledState(const std::string& host,
                                bool on,
                                int32_t brightness,
                                std::string* error);

// "GRB", "RGB", "BRG", "RBG", "BGR" or "GBR" for the firmware's colour
// order code (the low four bits; the higher ones swap the white channel);
// null for a code it does not have.
const char* wledColorOrderName(int32_t code);

// How the controller scales realtime data: 255 when it forces maximum
// brightness, 0 when it is off, otherwise its master brightness.
int32_t wledRealtimeBrightness(const WledDevice& device);

}  // namespace pxo
