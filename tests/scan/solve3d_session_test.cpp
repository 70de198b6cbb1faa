// The session's 3D solve over views it collected, and the point model
// written from it.

#include "output/xmodel_checker.h"
#include "scan/session.h"

#include "sim/rig.h"
#include "sim/solve_scorer.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::vector<ScanView> treeViews() {
  const auto leds = sim::treeSpiral(150, 2, 0.6, 6);
  std::vector<ScanView> views;
  for (double yaw : {-20.0, 20.0})
    views.push_back(sim::syntheticView(
        leds, sim::poseAround(yaw, 4), 60, 1024, 576, 0.5, 9));
  return views;
}

TEST(Solve3DSession, NeedsTwoViewsAndKeepsTheLastSolveOnFailure) {
  auto session = createScanSession(nullptr, "", "");
  const std::vector<ScanView> views = treeViews();
  std::string error;
  session->views = {views[0]};
  EXPECT_FALSE(solve3D(*session, 60, &error));
  EXPECT_EQ(error, "need at least 2 viewpoints");

  session->views = views;
  ASSERT_TRUE(solve3D(*session, 60, &error)) << error;
  EXPECT_EQ(session->solveStatus,
            "150 points, 150 triangulated from 2 views (FOV 60\u00b0)");
  ASSERT_EQ(session->points3d.size(), 150u);
  for (size_t i = 0; i < session->points3d.size(); ++i)
    EXPECT_EQ(session->points3d[i].id, static_cast<int32_t>(i + 1));
  const auto solved = session->points3d;

  // Seven LEDs in common: the previous solve stays.
  std::erase_if(session->views[1].points,
                [](const ViewPoint& p) { return p.id > 7; });
  EXPECT_FALSE(solve3D(*session, 0, &error));
  EXPECT_EQ(error,
            "3D solve failed \xE2\x80\x94 try another angle, a less planar "
            "prop, or set FOV");
  EXPECT_EQ(session->points3d.size(), solved.size());
  EXPECT_EQ(session->points3d[20].x, solved[20].x);
  EXPECT_EQ(session->solveStatus,
            "150 points, 150 triangulated from 2 views (FOV 60\u00b0)");

  // A field of view with a fraction is reported whole.
  session->views = views;
  ASSERT_TRUE(solve3D(*session, 64.9, &error)) << error;
  EXPECT_NE(session->solveStatus.find("(FOV 64\u00b0)"), std::string::npos);

  resetScanResults(*session);
  EXPECT_EQ(viewCount(*session), 0);
  EXPECT_TRUE(session->points3d.empty());
  EXPECT_TRUE(session->solveStatus.empty());
}

TEST(Solve3DSession, WritesThePointModel) {
  auto session = createScanSession(nullptr, "", "");
  session->hasResult = true;
  session->modelName = "Spiral Tree";
  session->views = treeViews();
  for (const ViewPoint& p : session->views.back().points)
    session->points2d.push_back({p.id, p.x / 1024, p.y / 576});
  const auto folder = std::filesystem::temp_directory_path() / "pxo-solve3d";
  std::filesystem::create_directories(folder);
  std::string error;
  EXPECT_TRUE(writeModelFile(modelOutputInputs(*session),
                             ModelOutputKind::kMultiPoint3D,
                             &error,
                             folder.string())
                  .empty());
  EXPECT_EQ(error, "no 3D solve to write");

  ASSERT_TRUE(solve3D(*session, 0, &error)) << error;
  const std::string path = writeModelFile(modelOutputInputs(*session),
                                          ModelOutputKind::kMultiPoint3D,
                                          &error,
                                          folder.string());
  ASSERT_FALSE(path.empty()) << error;
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_TRUE(testing::checkXmodel(text.str()).empty());
  testing::XmodelFile model;
  ASSERT_TRUE(testing::parseXmodel(text.str(), &model, &error)) << error;
  EXPECT_EQ(model.root, "multipointmodel");
  EXPECT_EQ(model.attributes["name"], "Spiral Tree");
  EXPECT_EQ(model.attributes["NumPoints"], "150");
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace pxo
