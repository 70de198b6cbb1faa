#include "sim/rig_scan.h"

namespace pxo::sim {

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
    runScan(session, &scan.modelPath, modelName, error);
    if (scan.modelPath.empty()) return false;
    std::vector<TruthLed> truth;
    for (const ImagePoint& p : rig.truth(pose))
      truth.push_back({p.x, p.y, p.inView});
    scan.score = scoreDecode(truth, session.lastRun.decoded);
    scan.recordingSeconds = session.lastRun.recordingSeconds;
    scan.processingSeconds = session.lastRun.processingSeconds;
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
  SolveScore score = scoreSolve(rig.scene().leds, solved);
  score.removed = session.solveOutliersRemoved;
  return score;
}

}  // namespace pxo::sim
