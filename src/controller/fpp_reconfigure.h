#pragma once

#include "controller/fpp_client.h"

#include <cstdint>
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

// Posts the saved pixel strings back, restores or deletes ci-universes.json
// as it was at connect, and empties `savedPortStrings` (the link counts as
// not connected afterwards). Results are not checked.
void restoreController(ControllerLink* link);

}  // namespace pxo
