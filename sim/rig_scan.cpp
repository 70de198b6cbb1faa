#include "sim/rig_scan.h"

#include "scan/scan_decode.h"

#include <algorithm>

namespace pxo::sim {

std::vector<TruthLed> truthOfLastRun(const SimulatedRig& rig,
                                     size_t pose,
                                     VirtualCamera& camera,
                                     const ScanSession& session,
                                     std::array<double, 2>* shift) {
  const auto& imaging = rig.scene().camera.imaging;
  const double largest = std::max(imaging.width, imaging.height);
  const double scale =
      largest > kScanFrameMaxDimension ? kScanFrameMaxDimension / largest : 1.0;
  std::array<double, 2> motion = {0, 0};
  if (!session.lastRun.marks.empty())
    motion = camera.motionAt(camera.recordingStart() +
                             session.lastRun.marks[0].time +
                             session.lastRun.settleOffset);
  *shift = {motion[0] * scale, motion[1] * scale};
  std::vector<TruthLed> truth;
  for (const ImagePoint& p : rig.truth(pose))
    truth.push_back(
        {(p.x + motion[0]) * scale, (p.y + motion[1]) * scale, p.inView});
  return truth;
}

DecodeScore scoreLastRun(const SimulatedRig& rig,
                         size_t pose,
                         VirtualCamera& camera,
                         const ScanSession& session,
                         double apartPx) {
  std::array<double, 2> shift{};
  DecodeScore score =
      scoreDecode(truthOfLastRun(rig, pose, camera, session, &shift),
                  session.lastRun.decoded,
                  apartPx);
  score.referenceShiftX = shift[0];
  score.referenceShiftY = shift[1];
  return score;
}

bool scanPose(const SimulatedRig& rig,
              ScanSession& session,
              VirtualCamera& camera,
              size_t pose,
              const std::string& modelName,
              PoseScan* scan,
              std::string* error) {
  runScan(session, &scan->modelPath, modelName, error);
  if (scan->modelPath.empty()) return false;
  scan->score = scoreLastRun(rig, pose, camera, session);
  scan->recordingSeconds = session.lastRun.recordingSeconds;
  scan->processingSeconds = session.lastRun.processingSeconds;
  scan->overlapping = session.lastRun.overlapping;
  return true;
}

bool scanEveryPose(const SimulatedRig& rig,
                   ScanSession& session,
                   VirtualCamera& camera,
                   const std::string& modelName,
                   std::vector<PoseScan>* scans,
                   std::string* error) {
  const size_t poses = rig.scene().poses.size();
  for (size_t pose = 0; pose < poses; ++pose) {
    if (pose > 0) {
      // The run stopped the camera; carried to the next place, it starts
      // again as the window would start it.
      camera.moveTo(rig.scene().poses[pose]);
      if (!startCamera(session, error)) return false;
    }
    if (poses > 1)
      session.report("View " + std::to_string(pose + 1) + " of " +
                     std::to_string(poses));
    PoseScan scan;
    if (!scanPose(rig, session, camera, pose, modelName, &scan, error))
      return false;
    scans->push_back(std::move(scan));
  }
  return true;
}

SolveScore scoreSessionSolve(const SimulatedRig& rig,
                             const ScanSession& session) {
  Solve3DResult solved;
  for (const ModelPoint3D& p : session.points3d) {
    solved.points.push_back({p.id, p.x, p.y, p.z, p.flag});
    if (p.flag) ++solved.interpolatedCount;
  }
  solved.pointCount = static_cast<int32_t>(solved.points.size());
  SolveScore score = scoreSolve(rig.scene().leds, solved, session.views);
  score.removed = session.solveOutliersRemoved;
  return score;
}

}  // namespace pxo::sim
