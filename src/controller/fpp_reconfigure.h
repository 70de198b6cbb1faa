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

// Asks /api/system/status whether fppd is idle: false with "FPP is playing
// a show — stop it and try again" when its "status_name" is anything but
// "idle" (playing a sequence or a playlist, or in test mode, fppd
// overwrites the channels the scan sends). A controller without that answer
// counts as idle. Sends nothing that changes the controller.
[[nodiscard]] bool checkControllerIdle(const ControllerLink& link,
                                       std::string* error);

// Puts the controller in the scan configuration: posts `portConfig`
// (buildScanPortConfig's text) and the scan universe input, each marked as
// changed before it is sent. On FPP 8, whose fppd reads its files only when
// it starts, restarts fppd and waits until it answers again (progress
// "Restarting FPP to apply the scan configuration…"). False with
// "interrupted" after interruptController; a rejected write is not an
// error (the scan shows what the controller does).
[[nodiscard]] bool applyScanConfiguration(ControllerLink* link,
                                          const std::string& portConfig,
                                          const ControllerProgress& progress,
                                          std::string* error);

// Puts back what this session changed and nothing else: the saved pixel
// strings when they were replaced, ci-universes.json as it was (deleted
// when it did not exist) when it was replaced; on FPP 8 restarts fppd
// afterwards. Empties `savedPortStrings` (the link counts as not connected
// afterwards). Results are not checked.
void restoreController(ControllerLink* link,
                       const ControllerProgress& progress = {});

// The same from an interrupt, on any thread: waits for a change in flight
// to finish, restores, and refuses every later change. True when anything
// had to be put back.
bool interruptController(ControllerLink* link);

}  // namespace pxo
