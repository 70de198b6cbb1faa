#include "scan/session.h"

#include "controller/fpp_reconfigure.h"
#include "controller/wled_controller.h"
#include "output/led_map.h"
#include "scan/scan_decode.h"
#include "scan/sleep.h"

#include <cstdio>
#include <new>
#include <random>
#include <thread>

namespace pxo {

namespace {

constexpr int kReconfigureSettleMs = 500;
constexpr double kFirstFrameSeconds = 5.0;

}  // namespace

std::unique_ptr<ScanSession> createScanSession(
    std::unique_ptr<pxowin::ICaptureSource> camera,
    std::string deviceId,
    std::string scanDataDir) {
  auto session = std::make_unique<ScanSession>();
  session->camera = std::move(camera);
  session->deviceId = std::move(deviceId);
  session->scanDataDir = std::move(scanDataDir);
  return session;
}

bool connectController(ScanSession& session,
                       const std::string& host,
                       const std::string& user,
                       const std::string& password,
                       std::string* error) {
  return connectController(
      &session.controller,
      host,
      user,
      password,
      error,
      [&](const std::string& message) { session.report(message); });
}

bool connectReceiver(ScanSession& session,
                     ControllerKind kind,
                     const PlainReceiver& receiver,
                     std::string* error) {
  if (!connectPlainReceiver(&session.controller, kind, receiver, error))
    return false;
  const ControllerPort& port = session.controller.ports.front();
  std::string where = controllerKindName(kind);
  where += " receiver at " + receiver.host;
  if (kind == ControllerKind::kE131)
    where += ", universe " + std::to_string(receiver.universe) + " channel " +
             std::to_string(receiver.startChannel);
  else
    where += ", channel " + std::to_string(receiver.startChannel);
  session.report(where + ": " + std::to_string(port.pixelCount) + " pixels, " +
                 port.colorOrder);
  return true;
}

bool connectWledController(ScanSession& session,
                           const std::string& host,
                           std::string* error) {
  if (!connectWled(&session.controller, host, error, [&](const std::string& m) {
        session.report(m);
      }))
    return false;
  const ControllerLink& link = session.controller;
  session.report("WLED controller \"" + link.hostName + "\" (" + link.version +
                 ") at " + host + ": " + std::to_string(link.ports.size()) +
                 " outputs, realtime at " +
                 std::to_string(wledRealtimeBrightness(link.wled)) +
                 " of 255 brightness");
  return true;
}

bool controllerConnected(const ControllerLink& link) {
  return link.kind == ControllerKind::kFpp ? !link.savedPortStrings.empty()
                                           : !link.ports.empty();
}

ScanLayout computeScanLayout(ScanSession& session) {
  const ControllerLink& link = session.controller;
  ScanLayout layout = link.kind == ControllerKind::kFpp
                          ? computeScanLayout(link.ports, link.otherOutputsEnd)
                          : computeFixedLayout(link.ports);
  session.channelOffsetList.clear();
  for (size_t i = 0; i < layout.nodeOfLed.size(); ++i)
    if (layout.nodeOfLed[i] > 0)
      session.channelOffsetList.push_back(layout.channelOffsets[i]);
  session.nodeOfLed = layout.nodeOfLed;
  session.nodeCount = layout.nodeCount;
  session.portRanges.clear();
  int32_t first = 0;
  for (size_t i = 0; i < layout.portSpecs.size(); ++i) {
    ScanPortRange range{layout.portSpecs[i].portNumber,
                        first,
                        layout.portSpecs[i].pixelCount,
                        "RGB"};
    for (const ControllerPort& port : session.controller.ports)
      if (port.portNumber == range.portNumber)
        range.colorOrder = port.colorOrder;
    first += range.count;
    session.portRanges.push_back(std::move(range));
  }
  return layout;
}

bool prepareScan(ScanSession& session, std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  if (!controllerConnected(session.controller)) return fail("not connected");
  const bool reconfigured = session.controller.kind == ControllerKind::kFpp;
  ScanLayout layout = computeScanLayout(session);
  if (layout.groups.empty() || layout.ledCount <= 0)
    return fail("no ports selected");

  // Everything that can fail without the controller comes first: a show
  // that is playing, the plan, the DDP socket and a camera that shows a
  // picture. Only then is the controller changed. The camera opens (which
  // takes a webcam the better part of a second) while the rest is made
  // ready.
  std::string scanConfig;
  if (reconfigured &&
      !buildScanPortConfig(
          session.controller.savedPortStrings, layout.portSpecs, &scanConfig))
    return fail("could not build scan config");
  bool cameraStarted = false, cameraShowed = false;
  std::string cameraError;
  std::thread opening;
  if (session.camera)
    opening = std::thread([&] {
      cameraStarted = session.camera->start(session.deviceId, &cameraError);
      cameraShowed =
          cameraStarted && session.camera->waitForFrame(kFirstFrameSeconds);
    });
  std::string notReady;
  if (!reconfigured || checkControllerIdle(session.controller, &notReady)) {
    session.plan.reset(
        buildScanPlan(layout.groups, layout.ledCount, kScanPasses, true));
    if (session.plan) {
      session.channelCount = planChannelCount(session.plan.get());
      session.frameCount = planFrameCount(session.plan.get());
      session.ledCount = layout.ledCount;
      std::string warning;
      session.sink = openPixelSink(session.controller, &notReady, &warning);
      if (!warning.empty()) session.report(warning);
    } else {
      notReady = "could not build scan plan";
    }
  }
  if (opening.joinable()) opening.join();
  if (session.camera && cameraStarted) {
    std::string why = !notReady.empty() ? notReady
                      : !cameraShowed   ? "camera delivered no picture"
                                        : session.camera->failure();
    if (!why.empty()) {
      session.camera->stop();
      return fail(why);
    }
  } else if (!notReady.empty()) {
    return fail(notReady);
  } else if (session.camera) {
    return fail(cameraError);
  }

  const auto progress = [&](const std::string& message) {
    session.report(message);
  };
  const bool changed =
      reconfigured ? applyScanConfiguration(
                         &session.controller, scanConfig, progress, error)
      : session.controller.kind == ControllerKind::kWled
          ? prepareWled(&session.controller, error, progress)
          : true;
  if (!changed) {
    if (session.camera) session.camera->stop();
    return false;
  }
  if (reconfigured) sleepMilliseconds(kReconfigureSettleMs);
  session.level =
      session.player.showPreviewLevel(session.plan.get(), session.level);
  session.player.startKeepAlive(session.sink.get());
  session.prepared = true;
  return true;
}

bool startCamera(ScanSession& session, std::string* error) {
  if (!session.prepared) {
    if (error) *error = "not prepared";
    return false;
  }
  if (session.camera && !session.camera->start(session.deviceId, error))
    return false;
  session.level =
      session.player.showPreviewLevel(session.plan.get(), session.level);
  return true;
}

void setLevel(ScanSession& session, int level) {
  session.level = session.player.showPreviewLevel(session.plan.get(), level);
}

void startSweep(ScanSession& session) {
  session.player.stopSweep();
  if (!session.grid || session.channelOffsetList.empty()) return;
  SweepInput input;
  input.cols = session.grid->cols;
  input.rows = session.grid->rows;
  input.cells = session.grid->cells;
  input.channelOffsets = session.channelOffsetList;
  input.channelCount = session.channelCount;
  (void)session.player.startSweep(std::move(input));
}

void stopSweep(ScanSession& session) { session.player.stopSweep(); }

void resetScanResults(ScanSession& session) {
  stopSweep(session);
  session.views.clear();
  session.points3d.clear();
  session.ledResults.clear();
  session.points2d.clear();
  session.solveStatus.clear();
  session.modelName.clear();
  session.grid.reset();
  session.hasResult = false;
}

int32_t viewCount(const ScanSession& session) {
  return static_cast<int32_t>(session.views.size());
}

bool solve3D(ScanSession& session, double fovDeg, std::string* error) {
  auto fail = [&](const char* message) {
    if (error) *error = message;
    return false;
  };
  if (session.views.size() < 2) return fail(kSolveNeedsViews);
  FovChoice chosen;
  Solve3DResultPtr result = solveViews(session.views, fovDeg, &chosen);
  if (!result) return fail(kSolveFailed);
  if (const std::string text = fovChoiceText(chosen); !text.empty())
    session.report(text);
  std::vector<ModelPoint3D> points;
  try {
    points.reserve(result->points.size());
  } catch (const std::bad_alloc&) {
    return fail(kSolveFailed);
  }
  for (const Point3D& p : result->points)
    points.push_back({p.id, p.x, p.y, p.z, p.interpolated});
  session.points3d = std::move(points);
  session.solveFovDeg = chosen.fovDeg;
  session.solveOutliersRemoved = result->outliersRemoved;
  session.solveStatus =
      solveSummary(*result, viewCount(session), chosen.fovDeg);
  session.solveDetails = solveDetails(*result);
  return true;
}

std::string writeControllerLedMap(const ScanSession& session,
                                  const std::string& directory,
                                  std::string* error) {
  if (!session.hasResult || !session.grid) {
    if (error) *error = "no scan result to map";
    return {};
  }
  // Cells hold model nodes; the map wants each node's LED on the
  // controller, which is where its channels are (three per LED).
  std::vector<int32_t> cells = session.grid->cells;
  for (int32_t& cell : cells) {
    if (cell <= 0) continue;
    const auto node = static_cast<size_t>(cell - 1);
    cell = node < session.channelOffsetList.size()
               ? session.channelOffsetList[node] / 3 + 1
               : 0;
  }
  return writeLedMapFile(directory,
                         session.modelName,
                         session.grid->cols,
                         session.grid->rows,
                         1,
                         cells,
                         0,
                         error);
}

ModelOutputInputs modelOutputInputs(const ScanSession& session) {
  ModelOutputInputs inputs;
  if (!session.hasResult) return inputs;
  inputs.modelName = session.modelName;
  if (session.grid) {
    inputs.gridWidth = session.grid->cols;
    inputs.gridHeight = session.grid->rows;
    inputs.gridDepth = 1;
    inputs.cells = session.grid->cells;
  }
  inputs.points2d = session.points2d;
  inputs.points3d = session.points3d;
  return inputs;
}

bool teardownScan(ScanSession& session, std::string* error) {
  stopSweep(session);
  (void)session.player.stopKeepAlive();
  if (session.sink) {
    (void)sendBlackout(session.sink.get(), session.channelCount);
    (void)session.sink->finish();
    session.sink.reset();
  }
  session.grid.reset();
  session.views.clear();
  session.points3d.clear();
  session.solveStatus.clear();
  if (session.camera) session.camera->stop();
  // Only what this session changed is put back; a session that never got
  // as far as changing the controller sends nothing.
  bool restored = true;
  if (session.controller.kind == ControllerKind::kWled)
    restored = restoreWled(
        &session.controller, error, [&](const std::string& message) {
          session.report(message);
        });
  else if (session.controller.kind == ControllerKind::kFpp &&
           !session.controller.savedPortStrings.empty())
    restored = restoreController(
        &session.controller,
        [&](const std::string& message) { session.report(message); },
        error);
  session.plan.reset();
  session.prepared = false;
  return restored;
}

namespace {

std::filesystem::path tempFile(const std::string& tag, std::string_view stem) {
  std::string name(stem);
  name += '_';
  name += tag;
  name += ".mp4";
  std::error_code ec;
  return std::filesystem::temp_directory_path(ec) / name;
}

}  // namespace

SessionTempFiles::SessionTempFiles() {
  std::random_device entropy;
  char drawn[17];
  (void)std::snprintf(drawn,
                      sizeof drawn,
                      "%08x%08x",
                      static_cast<unsigned>(entropy()),
                      static_cast<unsigned>(entropy()));
  tag = drawn;
}

SessionTempFiles::~SessionTempFiles() {
  std::error_code ec;
  std::filesystem::remove(tempFile(tag, "pxo_scan"), ec);
}

std::filesystem::path sessionTempFile(const ScanSession& session,
                                      std::string_view stem) {
  return tempFile(session.tempFiles.tag, stem);
}

void destroyScanSession(std::unique_ptr<ScanSession> session) {
  if (!session) return;
  teardownScan(*session);
  session.reset();
}

}  // namespace pxo
