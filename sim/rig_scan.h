#pragma once

#include "scan/session.h"

#include "sim/decode_scorer.h"
#include "sim/rig.h"
#include "sim/solve_scorer.h"

#include <string>
#include <vector>

// Scanning a rig's prop from every camera pose of its scene, as a user
// carries one camera round the prop: one prepared session, one run per
// pose (each adds a view), the camera moved and started again in between.
//
//   auto owned = rig.makeCamera(0);
//   VirtualCamera* camera = owned.get();
//   auto session = createScanSession(std::move(owned), "", dir);
//   ... connect, select the scene's ports, prepareScan ...
//   std::vector<PoseScan> scans;
//   scanEveryPose(rig, *session, *camera, "Tree", &scans, &error);
//   solve3D(*session, 0, &error);

namespace pxo::sim {

struct PoseScan {
  std::string modelPath;  // the run's own model file
  DecodeScore score;      // its LEDs against that pose's truth
  double recordingSeconds = 0;
  double processingSeconds = 0;
  int32_t overlapping = 0;  // LEDs the decoder could not tell apart
};

// The scene's LEDs as the last run of `session` should have found them:
// the pose's truth scaled into the decode frame (the camera's picture
// reduced to at most 1024 pixels) and moved by the camera's motion at the
// decoder's reference frame (the baseline, read at its mark plus the settle
// offset). `shift` gets that motion in decode-frame pixels.
std::vector<TruthLed> truthOfLastRun(const SimulatedRig& rig,
                                     size_t pose,
                                     VirtualCamera& camera,
                                     const ScanSession& session,
                                     std::array<double, 2>* shift);

// The last run of `session` scored against truthOfLastRun.
// `apartPx` (decode-frame pixels): also count the LEDs with no other
// nearer than that, and how many of them are right (DecodeScore::apart).
DecodeScore scoreLastRun(const SimulatedRig& rig,
                         size_t pose,
                         VirtualCamera& camera,
                         const ScanSession& session,
                         double apartPx = 0);

// One run with `camera` at the scene's pose `pose`, scored against it.
[[nodiscard]] bool scanPose(const SimulatedRig& rig,
                            ScanSession& session,
                            VirtualCamera& camera,
                            size_t pose,
                            const std::string& modelName,
                            PoseScan* scan,
                            std::string* error);

// Stops at the first failed run with its message.
[[nodiscard]] bool scanEveryPose(const SimulatedRig& rig,
                                 ScanSession& session,
                                 VirtualCamera& camera,
                                 const std::string& modelName,
                                 std::vector<PoseScan>* scans,
                                 std::string* error);

// The solved points of a session against the scene's LEDs.
SolveScore scoreSessionSolve(const SimulatedRig& rig,
                             const ScanSession& session);

}  // namespace pxo::sim
