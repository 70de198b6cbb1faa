#pragma once

#include "controller/fpp_client.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

// Switching the controller to take the scan's pixel data from the network,
// and putting it back as it was.
//
// The controller runs PHP's stripslashes() over every document posted to
// /api/channel/output/<file> and answers GETs re-encoded ("\/", "\uXXXX")
// with a "status" member added. So every document is posted as our own
// writer's text (raw UTF-8, that "status" dropped) with each backslash
// doubled, and the controller stores exactly the intended content.
//
// Calls block on the network and run on the thread that prepares or tears
// down the scan.

namespace pxo {

// A selected port as laid out for the scan.
struct ScanPortSpec {
  int32_t portNumber = 0;
  int32_t startChannel = 0;
  int32_t pixelCount = 0;
  int32_t channelsPerPixel = 3;
  int32_t nullNodes = 0;
};

// The universe-input document that makes the controller take channel data
// from the network for as long as it keeps arriving.
inline constexpr char kScanUniverseInputs[] =
    "{\"channelInputs\":[{\"type\":\"universes\",\"enabled\":1,\"timeout\":"
    "1000,"
    "\"startChannel\":1,\"channelCount\":-1,\"universes\":[]}]}";

// The brightness a scanned port may have at most.
inline constexpr int32_t kMaxScanBrightness = 40;

// Rewrites the saved pixel-string document so that every output named by a
// portSpec has one plain virtual string for the scan (the first portSpec for a
// port wins; other outputs and keys stay). False when the text is empty, not a
// JSON object, or has no "channelOutputs" array starting with an object.
[[nodiscard]] bool buildScanPortConfig(std::string_view savedPortStrings,
                                       std::span<const ScanPortSpec> portSpecs,
                                       std::string* out);

// The saved document as it should be posted back: re-written by our writer
// with a root "status" member dropped; the text itself when it does not
// parse.
std::string documentForRestore(std::string_view saved, bool dropRootStatus);

// Doubles every backslash, so that one stripslashes() pass gives `json`.
std::string escapeForStripslashes(std::string_view json);

FppResult writePortStrings(const std::string& host,
                           const std::string& user,
                           const std::string& password,
                           bool usesBBB,
                           std::string_view json);
FppResult writeScanUniverseInputs(const std::string& host,
                                  const std::string& user,
                                  const std::string& password);
FppResult writeUniverseInputs(const std::string& host,
                              const std::string& user,
                              const std::string& password,
                              std::string_view json);
FppResult deleteUniverseInputsFile(const std::string& host,
                                   const std::string& user,
                                   const std::string& password);

// Progress messages of the changes below (start with a capital, end in
// "…").
using ControllerProgress = std::function<void(const std::string&)>;

inline constexpr char kFppPlayingMessage[] =
    "FPP is playing a show \xE2\x80\x94 stop it and try again";
inline constexpr char kFppNotRunningMessage[] =
    "FPP's player (fppd) is not running \xE2\x80\x94 start it on the "
    "controller's web page (or restart the controller) and try again";
inline constexpr char kFppUpdatingMessage[] =
    "FPP is updating \xE2\x80\x94 wait until the update has finished and try "
    "again";

// Asks /api/system/status whether fppd's player is idle, and says why not:
// playing, paused or stopping a show (fppd overwrites the channels the
// scan sends) gives "FPP is playing a show — stop it and try again";
// "stopped" or fppd "Not Running" says the player is not running and how to
// start it; "updating" says the controller is updating; any other state is
// named. A controller without that answer counts as idle. Sends nothing
// that changes the controller.
[[nodiscard]] bool checkControllerIdle(const ControllerLink& link,
                                       std::string* error);

// Puts the controller in the scan configuration. First writes the restore
// record (restore_record.h) of what the controller holds, and changes
// nothing when that fails ("could not keep a copy of the controller's
// configuration (…); nothing was changed") or when another run's record is
// there. Then posts `portConfig` (buildScanPortConfig's text) and the scan
// universe input, each marked as changed before it is sent. A write the
// controller refuses or leaves unanswered stops here with what it said
// ("the controller refused the scan's pixel-string configuration: it
// answered HTTP 500"), after what was changed has been put back. On FPP 8,
// whose fppd reads its files only when it starts, restarts fppd and waits
// until it answers again (progress "Restarting FPP to apply the scan
// configuration…"). False with "interrupted" after interruptController.
[[nodiscard]] bool applyScanConfiguration(ControllerLink* link,
                                          const std::string& portConfig,
                                          const ControllerProgress& progress,
                                          std::string* error);

// Puts back what this session changed and nothing else, checked: the saved
// pixel strings when they were replaced, ci-universes.json as it was
// (deleted when it did not exist) when it was replaced, each read back and
// compared, tried again for up to `link->restoreSeconds`; on FPP 8
// restarts fppd afterwards. The restore record goes once everything is
// back. False with restoreFailureMessage (fpp_restore.h) otherwise; the
// record then stays for the next connect or `pixoria restore`. Empties
// `savedPortStrings` (the link counts as not connected afterwards).
bool restoreController(ControllerLink* link,
                       const ControllerProgress& progress = {},
                       std::string* error = nullptr);

enum class InterruptRestore { kNothingChanged, kRestored, kFailed };

// The same from an interrupt, on any thread: waits for a change in flight
// to finish, restores, and refuses every later change.
InterruptRestore interruptController(ControllerLink* link, std::string* error);

}  // namespace pxo
