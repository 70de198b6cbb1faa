#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The FPP controller's side of a connection: tells an FPP controller from
// other web servers, reads its pixel ports, and saves its pixel-string and
// universe-input configuration so the scan can change them and put them back
// (fpp_reconfigure.h).
//
// All calls block on the network (each request is time limited, see
// http_client.h) and run on the thread that connects; nothing is shared.

namespace pxo {

// Outcome of every controller request.
enum class FppResult : int32_t {
  kOk = 0,            // 2xx, usable body
  kUnreachable = 1,   // no HTTP answer at all
  kAuthRequired = 2,  // 401
  kHttpError = 3,     // any other status outside 2xx
  kNotFpp = 4,        // no platform or version in the system information
  kBadResponse = 5,   // the system information is not a JSON object
};

// One pixel output of the controller.
struct ControllerPort {
  int32_t portNumber = 0;
  // Pixels on the port: the sum over all its virtual strings.
  int32_t pixelCount = 0;
  // First channel of the port's first virtual string (0-based).
  int32_t startChannel = 0;
  std::string colorOrder = "RGB";
  int32_t channelsPerPixel = 3;  // 4 for four-letter colour orders
  int32_t nullNodes = 0;         // null pixels at the head of the string
  bool selected = false;
  int32_t scanPixelCount = 0;  // pixels the scan drives
  // One past the last channel any of its virtual strings drives: what an
  // unselected port keeps using while the others are scanned.
  int32_t channelEnd = 0;
};

// The controller half of a scan session: what connect learns and what the
// restore needs.
struct ControllerLink {
  std::string host;  // as the user typed it
  std::string user;
  std::string password;
  bool usesBBB = false;  // the BeagleBone pixel-string endpoint
  std::vector<ControllerPort> ports;
  // The pixel-string document as read at connect; non-empty = connected.
  std::string savedPortStrings;
  // ci-universes.json as read at connect (empty when there was none).
  std::string savedUniverseInputs;
  bool universeFileExisted = false;
};

inline constexpr char kFppSystemInfoPath[] = "/api/system/info";
inline constexpr char kFppPixelStringsPath[] =
    "/api/channel/output/co-pixelStrings";
inline constexpr char kFppBbbStringsPath[] =
    "/api/channel/output/co-bbbStrings";
inline constexpr char kFppUniverseFilePath[] =
    "/api/configfile/ci-universes.json";
inline constexpr char kFppUniverseInputsPath[] =
    "/api/channel/output/universeInputs";

// The pixel-string endpoint for a controller.
const char* pixelStringsPath(bool usesBBB);

// Asks the controller for its system information and pixel-string outputs
// and condenses both into the controller info document (JSON text) in
// `document`.
[[nodiscard]] FppResult queryControllerInfo(const std::string& host,
                                            const std::string& user,
                                            const std::string& password,
                                            std::string* document);

// Connects: stores the connection strings, reads the ports, saves the
// configuration texts. False with one of "not an FPP controller",
// "authentication required", "could not connect to FPP", "bad controller
// info", "controller reports no pixel ports", "could not read controller
// port configuration", "could not read controller universe configuration".
[[nodiscard]] bool connectController(ControllerLink* link,
                                     const std::string& host,
                                     const std::string& user,
                                     const std::string& password,
                                     std::string* error);

// The pixel-string document, verbatim.
[[nodiscard]] FppResult readPortStrings(const std::string& host,
                                        const std::string& user,
                                        const std::string& password,
                                        bool usesBBB,
                                        std::string* body);

// ci-universes.json, verbatim; `existed` is false (and the result kOk) for a
// 404. `wasEnabled` tells whether its first input was enabled.
[[nodiscard]] FppResult readUniverseInputs(const std::string& host,
                                           const std::string& user,
                                           const std::string& password,
                                           bool* wasEnabled,
                                           bool* existed,
                                           std::string* body);

// Maps an HTTP outcome onto a result: no answer, 401, 2xx, other.
FppResult fppResultOf(bool answered, int32_t status);

}  // namespace pxo
