#pragma once

#include "capture/capture_source.h"
#include "controller/fpp_client.h"
#include "controller/plain_receiver.h"
#include "decode/decode_types.h"
#include "decode/grid_snap.h"
#include "output/model_writer.h"
#include "recon3d/reconstruct.h"
#include "scan/calibration.h"
#include "scan/pattern_player.h"
#include "scan/pixel_sink.h"
#include "scan/scan_decode.h"
#include "scan/scan_layout.h"
#include "scan/scan_plan.h"
#include "scan/scan_run.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The scan session: the one object a scan window (or the pixoria command)
// drives. It owns the camera, remembers the controller connection and its
// original configuration, lays the selected ports out, owns the plan, the
// pixel sink and the pattern player, runs scans and keeps their results.
//
//   auto session = createScanSession(std::move(camera), "", dataDir);
//   connectController(*session, host, user, password, &error);
//   session->controller.ports[0].selected = true;
//   prepareScan(*session, &error);
//   std::string model;
//   runScan(*session, &model, "Arch", &error);
//   teardownScan(*session);   // the controller is restored
//
// Threads: one long operation at a time (connect, prepare, startCamera,
// runScan, teardown, reset) from one worker thread; the pattern player has
// threads of its own (pattern_player.h).

namespace pxo {

// Per LED of the last scan, as the window and the model writer read it.
struct LedResult {
  int32_t id = 0;
  float normX = 0;
  float normY = 0;
  bool estimated = false;
};

// Names a session's files in the temporary directory, so that two scans at
// once (two windows, two processes) never share one, and removes the
// scan's recording when the session goes, after its camera (declared
// first, destroyed last).
struct SessionTempFiles {
  SessionTempFiles();
  ~SessionTempFiles();
  SessionTempFiles(const SessionTempFiles&) = delete;
  SessionTempFiles& operator=(const SessionTempFiles&) = delete;
  std::string tag;
};

struct ScanSession {
  SessionTempFiles tempFiles;
  std::unique_ptr<pxowin::ICaptureSource> camera;
  std::string deviceId;
  std::string scanDataDir;     // empty: no scan data kept
  std::string scanDataFolder;  // the folder the last run created

  ControllerLink controller;

  ScanPlanPtr plan;
  std::unique_ptr<PixelSink> sink;  // where the frames go
  int32_t channelCount = 0;
  int32_t frameCount = 0;
  int32_t ledCount = 0;
  int32_t level = kDefaultPlanLevel;
  bool prepared = false;
  std::function<void(const std::string&)> progress;
  bool autoBrightness = true;

  // Brightness calibration (calibration.h).
  BrightnessCalibration calibration;

  // Results of the last successful run.
  ModelGridPtr grid;
  int32_t observedCount = 0;
  int32_t resultLedCount = 0;
  bool hasResult = false;
  std::string modelName;
  std::vector<LedResult> ledResults;
  std::vector<ModelPoint2D> points2d;
  std::vector<ScanView> views;
  std::vector<ModelPoint3D> points3d;  // the last solve's, ascending id
  std::string solveStatus;             // its summary
  std::string solveDetails;            // per view and per LED, a line each
  double solveFovDeg = 0;              // the field of view it used
  int32_t solveOutliersRemoved = 0;
  ScanRunRecord lastRun;  // the last successful run's records

  std::vector<int32_t> channelOffsetList;  // per model node, its channel
  std::vector<int32_t> nodeOfLed;  // per scan LED, its model node (0: null)
  std::vector<ScanPortRange> portRanges;  // the scanned ports' LEDs
  int32_t nodeCount = 0;                  // the model's nodes (real pixels)
  PatternPlayer player;
  // Set from any thread (a window closing) to end a running scan at its
  // next pattern: runScan then fails with kScanStopped. For good: a
  // stopped session is only torn down.
  std::atomic<bool> stopRequested{false};

  void report(const std::string& message) const {
    if (progress) progress(message);
  }
};

std::unique_ptr<ScanSession> createScanSession(
    std::unique_ptr<pxowin::ICaptureSource> camera,
    std::string deviceId,
    std::string scanDataDir);

// `stem` + "_" + this session's tag + ".mp4" in the temporary directory:
// where recordings go that no scan-data folder keeps.
std::filesystem::path sessionTempFile(const ScanSession& session,
                                      std::string_view stem);

// Connects to the controller (fpp_client.h has the messages).
[[nodiscard]] bool connectController(ScanSession& session,
                                     const std::string& host,
                                     const std::string& user,
                                     const std::string& password,
                                     std::string* error);

// Connects to a DDP or E1.31 receiver as the show drives it
// (plain_receiver.h has the messages). Nothing on it changes.
[[nodiscard]] bool connectReceiver(ScanSession& session,
                                   ControllerKind kind,
                                   const PlainReceiver& receiver,
                                   std::string* error);

// Connects to a WLED controller (wled_controller.h has the messages).
[[nodiscard]] bool connectWledController(ScanSession& session,
                                         const std::string& host,
                                         std::string* error);

// Whether a controller is connected: an FPP controller's configuration was
// read, or any other controller's ports are known.
bool controllerConnected(const ControllerLink& link);

// Lays the selected ports out (and keeps the per-LED channel offsets).
ScanLayout computeScanLayout(ScanSession& session);

// Reconfigures the controller (an FPP one; others are driven as they are),
// builds the plan, opens the frames' way to it, starts the
// camera and shows the aiming level. Messages: "not connected", "no ports
// selected", "could not build scan config", "could not build scan plan",
// "could not open DDP socket" (or E1.31's), or the camera's.
[[nodiscard]] bool prepareScan(ScanSession& session, std::string* error);
[[nodiscard]] bool startCamera(ScanSession& session, std::string* error);
void setLevel(ScanSession& session, int level);

void startSweep(ScanSession& session);
void stopSweep(ScanSession& session);
void resetScanResults(ScanSession& session);
int32_t viewCount(const ScanSession& session);

// Reconstructs the LEDs in 3D from the views collected so far (one per
// successful run, reconstruct.h) with a horizontal field of view in
// degrees, or searched when `fovDeg` <= 0. On success replaces the 3D
// points and the summary ("118 points, 112 triangulated from 2 views (FOV
// 70°)"); on failure leaves them and gives "need at least 2 viewpoints" or
// "3D solve failed — try another angle, a less planar prop, or set FOV".
[[nodiscard]] bool solve3D(ScanSession& session,
                           double fovDeg,
                           std::string* error);

// The last result as the controller's own LED map ("ledmap.json", led_map.h)
// in `directory`: each cell the controller's index of the LED there. Its
// path, or empty with why (no result, a 3D or layered grid).
std::string writeControllerLedMap(const ScanSession& session,
                                  const std::string& directory,
                                  std::string* error);

// What the model writer needs from the session's results.
ModelOutputInputs modelOutputInputs(const ScanSession& session);
// Stops the player, blacks the LEDs out, stops the camera and restores the
// controller, checked. Safe at any time. False when the controller's
// configuration could not be put back: `error` then names the controller
// and the command that puts it back from its restore record.
bool teardownScan(ScanSession& session, std::string* error = nullptr);
void destroyScanSession(std::unique_ptr<ScanSession> session);

}  // namespace pxo
