#pragma once

#include "controller/controller_kind.h"
#include "controller/restore_record.h"
#include "controller/wled_device.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
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
  // The pixel-string answer is not a readable document (a damaged file:
  // FPP answers {"status":"OK"} when its own file does not parse).
  kUnreadablePorts = 6,
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
  // The port's chain from its first pixel to its last, counted after the
  // head nulls: positions in it that are null pixels (end nulls of a string
  // and head nulls of the next), ascending. The chain is `pixelCount` plus
  // these positions long.
  std::vector<int32_t> innerNulls;
};

// The controller half of a scan session: what connect learns and what the
// restore needs.
//
// Threads: connect, the scan's changes and the restore run on the
// session's worker thread; an interrupt (interruptController in
// fpp_reconfigure.h) may restore from a thread of its own at any time. The
// requests that change the controller and the restore hold `changeMutex`,
// so the two threads never send requests at the same time, and the flags
// below are read and written only under it.
struct ControllerLink {
  ControllerKind kind = ControllerKind::kFpp;
  std::string host;  // as the user typed it
  // A DDP or E1.31 receiver's settings (plain_receiver.h).
  PlainReceiver receiver;
  std::string user;
  std::string password;
  bool usesBBB = false;         // the BeagleBone pixel-string endpoint
  int32_t fppMajorVersion = 0;  // from "Version"; 0 when unknown
  // What identifies the controller, from its system information.
  std::string hostName;
  std::string platform;
  std::string version;
  std::vector<ControllerPort> ports;
  // One past the last channel the controller's other channel outputs (E1.31,
  // DDP or other outputs to further controllers) send; the scan's block
  // starts after it.
  int32_t otherOutputsEnd = 0;
  // The pixel-string document as read at connect; non-empty = connected.
  std::string savedPortStrings;
  // ci-universes.json as read at connect (empty when there was none).
  std::string savedUniverseInputs;
  bool universeFileExisted = false;

  // How long putting the configuration back keeps trying, in seconds.
  double restoreSeconds = 60;

  std::mutex changeMutex;
  // What this session has changed on the controller and not put back yet;
  // set before the request that makes the change is sent. The restore
  // record on disk (restore_record.h) holds the same, and is written
  // before the first of them.
  bool portStringsChanged = false;
  bool universesChanged = false;
  bool recordWritten = false;
  RestoreRecord record;
  // A WLED controller's documents as read at connect, and whether the scan
  // changed its state (on, brightness) and has not put it back yet.
  WledDevice wled;
  bool wledStateChanged = false;
  // After an interrupt's restore: nothing may be changed any more.
  bool closed = false;
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

inline constexpr char kFppStatusPath[] = "/api/system/status";
inline constexpr char kFppRestartPath[] = "/api/system/fppd/restart";
// Other channel-output files whose channels the scan keeps clear of.
inline constexpr const char* kFppOtherOutputPaths[] = {
    "/api/channel/output/co-universes", "/api/channel/output/co-other"};

// The pixel-string endpoint for a controller.
const char* pixelStringsPath(bool usesBBB);

// The major version of an FPP version text ("9.5.3", "v8.5.1-dirty"); 0
// when it does not start with a number.
int32_t fppMajorVersion(const std::string& version);

// Asks the controller for its system information and pixel-string outputs
// and condenses both into the controller info document (JSON text) in
// `document`. Any answer at /api/system/info that is not FPP's JSON (a 404,
// an HTML page, JSON without platform and version) is kNotFpp. The
// pixel-string endpoint is the one whose answer has outputs, the one the
// platform names when both or neither have; "usesBBB" in the document
// follows the endpoint chosen. kUnreadablePorts when no endpoint has
// outputs and one of them answered with a document that cannot be read.
[[nodiscard]] FppResult queryControllerInfo(const std::string& host,
                                            const std::string& user,
                                            const std::string& password,
                                            std::string* document);

// Connects: stores the connection strings, reads the ports, the channels
// other outputs use and the version, saves the configuration texts. False
// with one of "not an FPP controller", "authentication required", "could
// not connect to FPP", "bad controller info", "controller reports no pixel
// ports", "could not read controller port configuration" (also for a saved
// document that is not valid JSON), "could not read controller universe
// configuration".
//
// When a restore record of an earlier scan of this controller is left
// (a crash, a dropped connection), that is finished first
// (recoverEarlierScan in fpp_restore.h): the user's configuration is put
// back, checked, and read again, so a configuration a scan wrote is never
// taken for the user's own; otherwise nothing is changed on the
// controller.
[[nodiscard]] bool connectController(
    ControllerLink* link,
    const std::string& host,
    const std::string& user,
    const std::string& password,
    std::string* error,
    const std::function<void(const std::string&)>& progress = {});

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
