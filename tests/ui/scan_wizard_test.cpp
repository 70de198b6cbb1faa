// The scan window's behaviour, stage by stage, driving the real session on
// the virtual rig. The test thread plays the window thread: it sends the
// commands and handles the posted messages.

#include "ui/scan_wizard.h"

#include "controller/fpp_restore.h"

#include "sim/rig.h"
#include "sim/virtual_camera.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

namespace pxo::ui {
namespace {

using namespace std::chrono_literals;

class WizardOnTheRig : public ::testing::Test {
 protected:
  void TearDown() override {
    wizard.reset();
    if (rig) rig->stop();
  }

  // A window on the rig's scene; `host`: launched with the controller's
  // address.
  void open(sim::SceneConfig scene,
            bool withHost,
            const std::string& dataDir = "",
            bool withCallback = true) {
    rig = std::make_unique<sim::SimulatedRig>(std::move(scene));
    std::string error;
    ASSERT_TRUE(rig->start(&error)) << error;
    auto owned = rig->makeCamera(0);
    camera = owned.get();
    auto owner = createScanSession(std::move(owned), "", dataDir);
    session = owner.get();
    std::function<void(const std::string&)> callback;
    if (withCallback)
      callback = [this](const std::string& result) {
        results.push_back(result);
      };
    wizard = std::make_unique<ScanWizard>(
        std::move(owner),
        callback,
        withHost ? rig->controllerAddress() : std::string(),
        "");
    launchedWithHost = wizard->start([this](PostedMessage message) {
      std::lock_guard lock(mutex);
      queue.push_back(std::move(message));
      arrived.notify_one();
    });
  }

  // Handles posted messages until `done` holds or `timeout` passes.
  bool pumpUntil(const std::function<bool()>& done,
                 std::chrono::seconds timeout = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      std::unique_lock lock(mutex);
      if (!arrived.wait_until(lock, deadline, [&] { return !queue.empty(); }))
        return done();
      PostedMessage message = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      if (message.message == WizardMessage::kFrameWaiting) {
        ++framePosts;
        PreviewFrame frame;
        if (wizard->takePreviewFrame(&frame)) lastFrame = std::move(frame);
      }
      wizard->handle(message);
    }
    return true;
  }

  void connectToPorts() {
    if (!launchedWithHost)
      wizard->setHostFields(rig->controllerAddress(), "", "");
    wizard->connect();
    ASSERT_TRUE(pumpUntil([&] { return wizard->stage() == Stage::kPorts; }))
        << wizard->status();
  }

  // Checks the ports the scene films, as a user would, and continues.
  void continueToAim() {
    for (size_t i = 0; i < wizard->portRows().size(); ++i)
      for (const sim::ScenePort& p : rig->scene().ports)
        if (p.port == wizard->portRows()[i].portNumber)
          wizard->setPortSelected(i, p.selected);
    wizard->continueToAim();
    ASSERT_TRUE(pumpUntil([&] { return wizard->stage() == Stage::kAim; }))
        << wizard->status();
  }

  void scanToReview() {
    wizard->startScan();
    EXPECT_EQ(wizard->stage(), Stage::kScanning);
    ASSERT_TRUE(
        pumpUntil([&] { return wizard->stage() == Stage::kReview; }, 120s))
        << wizard->status();
  }

  // A tree filmed from two angles, 40° apart.
  static sim::SceneConfig twoViewScene() {
    sim::SceneConfig scene;
    std::string error;
    EXPECT_TRUE(sim::loadSceneFile(
        PXO_SOURCE_DIR "/sim/scenes/tree-two-views.json", &scene, &error))
        << error;
    return scene;
  }

  std::unique_ptr<sim::SimulatedRig> rig;
  ScanSession* session = nullptr;  // the wizard's
  sim::VirtualCamera* camera = nullptr;
  std::unique_ptr<ScanWizard> wizard;
  bool launchedWithHost = false;
  std::vector<std::string> results;
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<PostedMessage> queue;
  int32_t framePosts = 0;
  std::optional<PreviewFrame> lastFrame;
};

TEST(WizardControls, StagesShowTheirOwnControls) {
  int32_t connectStage = 0, reviewStage = 0;
  for (const ControlLayout& c : wizardControls()) {
    connectStage += controlShown(c, Stage::kConnect, true);
    reviewStage += controlShown(c, Stage::kReview, true);
    if (c.id == kSaveScanDataButton) {
      EXPECT_TRUE(controlShown(c, Stage::kReview, true));
      EXPECT_FALSE(controlShown(c, Stage::kReview, false));
    }
    if (c.role == ControlRole::kStatusLabel) {
      for (int32_t s = 0; s <= 4; ++s)
        EXPECT_TRUE(controlShown(c, static_cast<Stage>(s), false));
    }
    // Everything fits the client area.
    EXPECT_LE(c.x + c.width, kClientWidth) << c.text;
    EXPECT_LE(c.y + c.height, kClientHeight + 200) << c.text;
  }
  // Host, user and password with their labels; the controller list, the
  // receiver's pixels, start channel and universe with their labels and
  // a heading; Connect; the status.
  EXPECT_EQ(connectStage, 17);
  EXPECT_EQ(reviewStage, 14);  // with Save Scan Data… and the status
}

TEST(ReviewDrawing, TwoDimensionsFitTheControlAndColourTheDots) {
  std::vector<ViewPoint> points = {
      {1, 100, 50, false}, {2, 300, 50, true}, {3, 300, 150, false}};
  ReviewDrawing d = drawReview2D(points, 640, 270);
  EXPECT_EQ(d.background, (Rgb{26, 26, 26}));
  EXPECT_EQ(d.lineColour, (Rgb{90, 90, 90}));
  ASSERT_EQ(d.dots.size(), 3u);
  EXPECT_EQ(d.dots[0].colour, (Rgb{40, 255, 40}));
  EXPECT_EQ(d.dots[1].colour, (Rgb{255, 150, 30}));
  EXPECT_EQ(d.dots[2].colour, (Rgb{255, 255, 255}));
  // Scale min((640 - 32) / 200, (270 - 32) / 100) = 2.38, centred.
  EXPECT_NEAR(d.dots[1].x - d.dots[0].x, 476, 1e-9);
  EXPECT_NEAR(d.dots[0].x + d.dots[1].x, 640, 1e-9);
  EXPECT_NEAR(d.dots[0].y + d.dots[2].y, 270, 1e-9);
  // One point: an empty span counts as 1, and it sits in the middle.
  ReviewDrawing one = drawReview2D(std::span(points).first(1), 640, 270);
  ASSERT_EQ(one.dots.size(), 1u);
  EXPECT_NEAR(one.dots[0].x, 320, 1e-9);
  EXPECT_TRUE(drawReview2D({}, 640, 270).dots.empty());
}

TEST(ReviewDrawing, ThreeDimensionsBackToFrontShadedByDepth) {
  std::vector<ModelPoint3D> points = {
      {1, 0, 0, -1, 0}, {2, 0, 0, 1, 0}, {3, 1, 0, 0, 1}, {4, -1, 0, 0, 0}};
  ReviewCamera camera;
  ReviewDrawing d = drawReview3D(points, camera, 400, 300);
  EXPECT_EQ(d.lineColour, (Rgb{70, 70, 70}));
  ASSERT_EQ(d.dots.size(), 4u);
  ASSERT_EQ(d.path.size(), 4u);
  // Depth grows towards the viewer: the point at z = -1 first, z = 1 last.
  EXPECT_EQ(d.dots.front().colour, (Rgb{40, 255, 40}));  // the first LED
  EXPECT_EQ(d.dots.back().colour, (Rgb{255, 255, 255}));
  // Turned a quarter round, the points on the x axis come to the front
  // and back; the estimated one is orange, shaded.
  camera.drag(std::numbers::pi / 2 / 0.01, 0);
  d = drawReview3D(points, camera, 400, 300);
  bool orange = false;
  for (const Dot& dot : d.dots)
    orange = orange || (dot.colour.g < dot.colour.r && dot.colour.b < 60);
  EXPECT_TRUE(orange);
  camera.wheel(2);
  EXPECT_NEAR(camera.zoom, 1.21, 1e-12);
  camera.wheel(-1);
  EXPECT_NEAR(camera.zoom, 1.1, 1e-12);
}

// Stage 0 → 1: a host in the launch record connects without a click; the
// port rows and the total; Continue with nothing usable starts no worker.
TEST_F(WizardOnTheRig, ConnectAndPorts) {
  if (sim::rigTooSlowForRealTime()) GTEST_SKIP() << "real-time rig";
  open(sim::defaultScene(), true);
  ASSERT_TRUE(launchedWithHost);
  EXPECT_EQ(wizard->hostText(), rig->controllerAddress());
  EXPECT_EQ(wizard->status(), "Enter your FPP controller and Connect.");
  connectToPorts();
  EXPECT_EQ(wizard->status(), "Select the ports to scan, then Continue.");
  ASSERT_EQ(wizard->portRows().size(), rig->controller().portNumbers().size());
  const PortRow& first = wizard->portRows()[0];
  EXPECT_EQ(first.checkLabel, "Port 1");
  EXPECT_EQ(first.pixels, "50");
  EXPECT_EQ(first.infoLabel, "(50 px, RGB)");

  // Nothing checked: the warning, and no worker.
  for (size_t i = 0; i < wizard->portRows().size(); ++i)
    wizard->setPortSelected(i, false);
  EXPECT_EQ(wizard->totalLabel(), "Total LEDs to scan: 0");
  const int32_t workers = wizard->workersStarted();
  wizard->continueToAim();
  EXPECT_EQ(wizard->status(),
            "Select at least one port with a pixel count above 0.");
  EXPECT_EQ(wizard->workersStarted(), workers);
  // Checked, but no pixels: the same.
  wizard->setPortSelected(1, true);
  wizard->setPortPixels(1, "0");
  wizard->continueToAim();
  EXPECT_EQ(wizard->workersStarted(), workers);
  EXPECT_EQ(wizard->stage(), Stage::kPorts);

  // 50 pixels and 2 null nodes add 50.
  wizard->setPortPixels(1, "");
  wizard->setPortSelected(1, false);
  wizard->setPortSelected(0, true);
  wizard->setPortNulls(0, "2");
  EXPECT_EQ(wizard->totalLabel(), "Total LEDs to scan: 50");

  // Cancel in the ports stage: one null result, the controller untouched.
  wizard->cancel();
  wizard->cancel();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0], "");
}

// Connect without a host: the message, no worker; a wrong host: the
// failure, Connect usable again; closing in stage 0 gives one empty result.
TEST_F(WizardOnTheRig, ConnectFailures) {
  if (sim::rigTooSlowForRealTime()) GTEST_SKIP() << "real-time rig";
  open(sim::defaultScene(), false);
  EXPECT_FALSE(launchedWithHost);
  wizard->connect();
  EXPECT_EQ(wizard->status(), "Enter the FPP controller host/IP.");
  EXPECT_EQ(wizard->workersStarted(), 0);
  wizard->setHostFields("127.0.0.1:9", "", "");
  wizard->connect();
  EXPECT_FALSE(wizard->connectEnabled());
  ASSERT_TRUE(pumpUntil([&] { return wizard->connectEnabled(); }));
  EXPECT_EQ(wizard->status().rfind("Connect failed: ", 0), 0u)
      << wizard->status();
  EXPECT_EQ(wizard->stage(), Stage::kConnect);
  wizard.reset();  // the close box: the window ends
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0], "");
}

// The controller list: a WLED controller's outputs become the port rows;
// a DDP or E1.31 receiver's settings are checked before any worker starts,
// and its one port row holds the pixels given.
TEST_F(WizardOnTheRig, OtherControllersFromTheList) {
  if (sim::rigTooSlowForRealTime()) GTEST_SKIP() << "real-time rig";
  sim::SimulatedRig wledRig(sim::defaultScene());
  wledRig.useWledController(sim::WledSimConfig{});
  std::string error;
  ASSERT_TRUE(wledRig.start(&error)) << error;
  open(sim::defaultScene(), false);
  wizard->setControllerKind(static_cast<int32_t>(ControllerKind::kWled));
  wizard->connect();
  EXPECT_EQ(wizard->status(), "Enter the WLED controller host/IP.");
  wizard->setHostFields(wledRig.controllerAddress(), "", "");
  wizard->connect();
  ASSERT_TRUE(pumpUntil([&] { return wizard->stage() == Stage::kPorts; }))
      << wizard->status();
  ASSERT_EQ(wizard->portRows().size(), 2u);
  EXPECT_EQ(wizard->portRows()[1].checkLabel, "Port 2");
  EXPECT_EQ(wizard->portRows()[1].infoLabel, "(100 px, RGB)");
  wizard->cancel();
  EXPECT_EQ(wledRig.wledController()->brightness(), 128);

  open(sim::defaultScene(), false);
  wizard->setControllerKind(static_cast<int32_t>(ControllerKind::kE131));
  wizard->setHostFields("127.0.0.1", "", "");
  wizard->setReceiverFields("", "1", "1");
  wizard->connect();
  EXPECT_EQ(wizard->status().rfind("Connect failed: the pixel count", 0), 0u)
      << wizard->status();
  EXPECT_EQ(wizard->workersStarted(), 0);
  wizard->setReceiverFields("300", "4", "3");
  wizard->connect();
  ASSERT_TRUE(pumpUntil([&] { return wizard->stage() == Stage::kPorts; }))
      << wizard->status();
  ASSERT_EQ(wizard->portRows().size(), 1u);
  EXPECT_EQ(wizard->portRows()[0].pixels, "300");
  EXPECT_EQ(session->controller.receiver.universe, 3);
  EXPECT_EQ(session->controller.receiver.startChannel, 4);
}

// The whole job with one view, then a second: the review's texts, Show 3D,
// the views label, the review drawing, the live preview's throttle, Save
// Scan Data without a folder, and Add to Layout's one callback.
TEST_F(WizardOnTheRig, ScanReviewAnotherAngleAndAddToLayout) {
  if (sim::rigTooSlowForRealTime()) GTEST_SKIP() << "real-time rig";
  open(twoViewScene(), true);
  connectToPorts();
  continueToAim();
  EXPECT_EQ(wizard->status(), "Aim the camera at the prop, then Start Scan.");
  // The live preview: frames arrive, never faster than one post per 60 ms.
  const auto aimed = std::chrono::steady_clock::now();
  ASSERT_TRUE(pumpUntil([&] { return framePosts >= 5; }, 10s));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - aimed)
          .count();
  EXPECT_GE(seconds, 4 * kPreviewIntervalMs / 1000.0);
  ASSERT_TRUE(lastFrame.has_value());
  EXPECT_EQ(lastFrame->width, 1024);
  EXPECT_EQ(lastFrame->pixels.size(),
            static_cast<size_t>(lastFrame->stride) * lastFrame->height);

  scanToReview();
  const std::string& done = wizard->status();
  EXPECT_EQ(done.rfind("Scan complete: ", 0), 0u) << done;
  EXPECT_NE(done.find(" of 150 LEDs detected"), std::string::npos) << done;
  EXPECT_TRUE(done.ends_with(". Accept to save, or Discard.")) << done;
  EXPECT_FALSE(wizard->show3DEnabled());
  EXPECT_EQ(wizard->viewsLabel(), "Views: 1");
  ReviewDrawing drawn = wizard->reviewDrawing(640, 270);
  EXPECT_EQ(drawn.dots.size(), 150u);
  EXPECT_EQ(drawn.dots[0].colour, (Rgb{40, 255, 40}));
  // Show 3D with one view: the warning, and the box unchecks.
  wizard->setShow3D(true);
  EXPECT_EQ(wizard->status(), "Capture at least 2 angles before enabling 3D.");
  EXPECT_FALSE(wizard->show3DChecked());
  // No data folder in the launch record.
  EXPECT_FALSE(wizard->hasScanData());
  wizard->saveScanData([](const std::string&) { return "/tmp"; });
  EXPECT_EQ(wizard->status(), "No scan data to save.");

  // A second angle: the camera moves, back through the aim stage.
  camera->moveTo(rig->scene().poses[1]);
  wizard->captureAnotherAngle();
  ASSERT_TRUE(pumpUntil([&] { return wizard->stage() == Stage::kAim; }))
      << wizard->status();
  scanToReview();
  EXPECT_TRUE(wizard->status().ends_with(
      ". Accept to save, or Discard. (or enable Show 3D)"))
      << wizard->status();
  EXPECT_TRUE(wizard->show3DEnabled());
  EXPECT_EQ(wizard->viewsLabel(), "Views: 2");
  // FOV "0": solved without a field of view (searched).
  EXPECT_EQ(wizard->fovText(), "0");
  wizard->setShow3D(true);
  EXPECT_TRUE(wizard->show3DChecked()) << wizard->status();
  EXPECT_EQ(wizard->status().rfind("3D: ", 0), 0u) << wizard->status();
  EXPECT_TRUE(wizard->status().ends_with(
      " \xE2\x80\x94 drag to rotate, wheel to zoom."));
  EXPECT_EQ(wizard->reviewDrawing(640, 270).lineColour, (Rgb{70, 70, 70}));

  ASSERT_TRUE(wizard->addToLayout());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].ends_with(".xmodel")) << results[0];
  EXPECT_TRUE(std::filesystem::exists(results[0]));
  wizard.reset();  // the window closing afterwards calls nothing more
  EXPECT_EQ(results.size(), 1u);
}

// A strip wired in another colour order than its port says: the scan's
// notice stays on the review with the result.
TEST_F(WizardOnTheRig, AColourOrderNoticeStaysOnTheReview) {
  if (sim::rigTooSlowForRealTime()) GTEST_SKIP() << "real-time rig";
  sim::SceneConfig scene;
  std::string error;
  ASSERT_TRUE(sim::loadSceneFile(
      PXO_SOURCE_DIR "/sim/scenes/conditions/misconfigured-port.json",
      &scene,
      &error))
      << error;
  open(scene, true);
  connectToPorts();
  continueToAim();
  scanToReview();
  EXPECT_NE(wizard->status().find(". Accept to save, or Discard.\nPort "),
            std::string::npos)
      << wizard->status();
  EXPECT_NE(wizard->status().find(": LEDs answer as "), std::string::npos)
      << wizard->status();
}

// Closing while a scan records: the close returns at once and hands the
// teardown to the view's runner; the scan stops at its next pattern, and
// the teardown restores the controller's files and calls back once, with
// nothing.
TEST_F(WizardOnTheRig, ClosingDuringAScanStopsItAndDoesNotWait) {
  if (sim::rigTooSlowForRealTime()) GTEST_SKIP() << "real-time rig";
  open(sim::defaultScene(), true);
  std::function<void()> teardown;
  wizard->setFinishRunner(
      [&](std::function<void()> work) { teardown = std::move(work); });
  connectToPorts();
  const std::optional<std::string> before =
      rig->controller().pixelStringsFile();
  continueToAim();
  EXPECT_NE(rig->controller().pixelStringsFile(), before);
  wizard->startScan();
  ASSERT_TRUE(pumpUntil([&] { return framePosts >= 3; }, 10s));
  ASSERT_TRUE(wizard->busy());
  EXPECT_TRUE(wizard->finish(""));
  EXPECT_FALSE(wizard->finish(""));
  ASSERT_TRUE(teardown);
  EXPECT_TRUE(results.empty());
  // The scan (about 15 s) stops early; its failure changes nothing shown.
  EXPECT_TRUE(pumpUntil([&] { return !wizard->busy(); }, 5s));
  pumpUntil([&] { return false; }, 1s);
  EXPECT_EQ(wizard->stage(), Stage::kScanning);
  std::thread(teardown).join();
  EXPECT_TRUE(wizard->finishDone());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0], "");
  EXPECT_EQ(rig->controller().pixelStringsFile(), before);
  wizard.reset();
  EXPECT_EQ(results.size(), 1u);
}

// The controller refuses to take its configuration back as the window
// closes: the view gets the failure to show, with the command that puts it
// back, and the host still gets its one callback. That command, with the
// controller back, puts every file back.
TEST_F(WizardOnTheRig, ARestoreThatFailsIsSaidAndStillCallsBack) {
  if (sim::rigTooSlowForRealTime()) GTEST_SKIP() << "real-time rig";
  open(sim::defaultScene(), true);
  connectToPorts();
  const std::optional<std::string> before =
      rig->controller().pixelStringsFile();
  continueToAim();
  rig->controller().setRefusal("POST", "/api/channel/output/", 1);
  session->controller.restoreSeconds = 1;
  EXPECT_TRUE(wizard->finish(""));
  EXPECT_TRUE(wizard->finishDone());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0], "");
  const std::string failure = wizard->restoreFailure();
  EXPECT_NE(
      failure.find("pixoria restore --controller " + rig->controllerAddress()),
      std::string::npos)
      << failure;
  EXPECT_NE(rig->controller().pixelStringsFile(), before);

  rig->controller().clearRefusals();
  bool found = false;
  std::vector<std::string> report;
  std::string error;
  EXPECT_TRUE(restoreRecordedController(
      rig->controllerAddress(), "", "", 10, {}, &found, &report, &error))
      << error;
  EXPECT_TRUE(found);
  EXPECT_EQ(rig->controller().pixelStringsFile(), before);
}

// A null callback: the window works and nothing is called at the end.
TEST_F(WizardOnTheRig, ANullCallbackIsFine) {
  if (sim::rigTooSlowForRealTime()) GTEST_SKIP() << "real-time rig";
  open(sim::defaultScene(), true, "", false);
  connectToPorts();
  continueToAim();
  EXPECT_TRUE(wizard->finish(""));
  EXPECT_FALSE(wizard->finish(""));
}

}  // namespace
}  // namespace pxo::ui
