#include "scan/pattern_player.h"

#include "sim/ddp_receiver.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include <gtest/gtest.h>

namespace pxo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ShowPreviewLevel, ClampsAndShowsTheRedFlood) {
  ScanPlanPtr plan(
      buildScanPlan(std::vector<PortGroup>{{0, 4, 3}}, 4, 2, true));
  PatternPlayer player;
  EXPECT_EQ(player.showPreviewLevel(plan.get(), 0), 1);
  EXPECT_EQ(planLevel(plan.get()), 1);
  EXPECT_EQ(player.showPreviewLevel(plan.get(), 300), 255);
  EXPECT_EQ(planLevel(plan.get()), 255);
  EXPECT_EQ(player.showPreviewLevel(plan.get(), 90), 90);
  EXPECT_EQ(player.currentFrame(),
            (std::vector<uint8_t>{90, 0, 0, 90, 0, 0, 90, 0, 0, 90, 0, 0}));

  // Without a plan only the level is clamped; the frame stays as it was.
  EXPECT_EQ(player.showPreviewLevel(nullptr, -20), 1);
  EXPECT_EQ(player.currentFrame()[0], 90);
}

class KeepAlive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(receiver.valid());
    ControllerLink link;
    link.host = receiver.address();
    sender = openPixelSink(link, nullptr);
    ASSERT_TRUE(sender);
  }
  sim::DdpReceiver receiver;
  std::unique_ptr<PixelSink> sender;
  PatternPlayer player;
};

TEST_F(KeepAlive, RepeatsTheCurrentFrameEvery25Ms) {
  player.setCurrentFrame(std::vector<uint8_t>{1, 2, 3});
  auto start = Clock::now();
  player.startKeepAlive(sender.get());
  EXPECT_TRUE(player.keepAliveRunning());

  int count = 0;
  while (Clock::now() - start < 600ms) {
    auto packet = receiver.receive(200ms);
    ASSERT_TRUE(packet) << "keep-alive went quiet";
    EXPECT_EQ(packet->payload, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(packet->flags, 0x41);
    ++count;
  }
  // Never faster than one frame per 25 ms; roughly that often on a quiet
  // machine (the lower bound leaves room for a loaded one).
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - start);
  EXPECT_LE(count, elapsed.count() / 25 + 1);
  EXPECT_GE(count, 6);

  // A new frame is picked up by the next repeat.
  player.setCurrentFrame(std::vector<uint8_t>{9, 9});
  bool seen = false;
  for (int i = 0; i < 20 && !seen; ++i) {
    auto packet = receiver.receive(200ms);
    ASSERT_TRUE(packet);
    seen = packet->payload == std::vector<uint8_t>{9, 9};
  }
  EXPECT_TRUE(seen);

  EXPECT_TRUE(player.stopKeepAlive());
  EXPECT_FALSE(player.keepAliveRunning());
  while (receiver.receive(10ms)) {
  }  // drain what was sent before the stop
  EXPECT_FALSE(receiver.receive(150ms)) << "sent after being stopped";
  EXPECT_FALSE(player.stopKeepAlive());
}

TEST_F(KeepAlive, SendsNothingForAnEmptyFrameOrWithoutASender) {
  player.startKeepAlive(sender.get());
  EXPECT_FALSE(receiver.receive(120ms));
  player.stopKeepAlive();

  player.setCurrentFrame(std::vector<uint8_t>{5});
  player.startKeepAlive(nullptr);
  EXPECT_FALSE(receiver.receive(120ms));
  player.stopKeepAlive();
}

TEST_F(KeepAlive, StopsPromptlyAndOnDestruction) {
  player.setCurrentFrame(std::vector<uint8_t>(10, 1));
  player.startKeepAlive(sender.get());
  player.startKeepAlive(sender.get());  // a second start is ignored
  ASSERT_TRUE(receiver.receive(1s));
  auto start = Clock::now();
  EXPECT_TRUE(player.stopKeepAlive());
  EXPECT_LT(Clock::now() - start, 1s);
  {
    PatternPlayer scoped;
    scoped.setCurrentFrame(std::vector<uint8_t>{1});
    scoped.startKeepAlive(sender.get());
  }  // joins its thread
}

// A grid 300 columns wide and one row high sweeps 305 frames, one every 22 ms.
SweepInput wideGrid() {
  SweepInput input;
  input.cols = 300;
  input.rows = 1;
  for (int32_t c = 0; c < 300; ++c) {
    input.cells.push_back(c + 1);
    input.channelOffsets.push_back(c * 3);
  }
  input.channelCount = 900;
  return input;
}

TEST(Sweep, PlaysTheRenderedFramesInOrder) {
  SweepInput input = wideGrid();
  const int32_t frames = sweepFrameCount(input.cols, input.rows);
  ASSERT_EQ(frames, 305);
  std::vector<uint8_t> rendered(frames * 900);
  ASSERT_EQ(renderSweepFrames(input.cols,
                              input.rows,
                              input.cells,
                              input.channelOffsets,
                              900,
                              80,
                              rendered),
            frames);
  auto indexOf = [&](const std::vector<uint8_t>& frame) -> int {
    for (int f = 0; f < frames; ++f)
      if (std::equal(frame.begin(), frame.end(), rendered.begin() + f * 900))
        return f;
    return -1;
  };

  PatternPlayer player;
  ASSERT_TRUE(player.startSweep(input));
  EXPECT_TRUE(player.sweepRunning());
  std::vector<int> seen;
  auto start = Clock::now();
  while (Clock::now() - start < 400ms) {
    auto frame = player.currentFrame();
    if (frame.empty()) continue;
    ASSERT_EQ(frame.size(), 900u);
    int index = indexOf(frame);
    ASSERT_GE(index, 0) << "showed a frame that is not a sweep frame";
    if (seen.empty() || seen.back() != index) seen.push_back(index);
    std::this_thread::sleep_for(3ms);
  }
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen.front(), 0);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));

  auto stopStart = Clock::now();
  player.stopSweep();
  EXPECT_LT(Clock::now() - stopStart, 1s);
  EXPECT_FALSE(player.sweepRunning());
  // The last frame shown stays current.
  auto last = player.currentFrame();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(player.currentFrame(), last);
  EXPECT_GE(indexOf(last), seen.back());
}

TEST(Sweep, NeedsOffsetsAndAUsableGrid) {
  PatternPlayer player;
  SweepInput noOffsets = wideGrid();
  noOffsets.channelOffsets.clear();
  EXPECT_FALSE(player.startSweep(noOffsets));
  EXPECT_FALSE(player.sweepRunning());

  for (auto spoil : {+[](SweepInput& s) { s.cols = 0; },
                     +[](SweepInput& s) { s.cells.clear(); },
                     +[](SweepInput& s) { s.channelCount = 0; },
                     +[](SweepInput& s) { s.cells.resize(10); }}) {
    SweepInput input = wideGrid();
    spoil(input);
    EXPECT_TRUE(player.startSweep(input));
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(player.currentFrame().empty());
    player.stopSweep();
  }
  player.stopSweep();  // twice is harmless
}

TEST(Sweep, RestartingReplacesTheRunningSweep) {
  PatternPlayer player;
  ASSERT_TRUE(player.startSweep(wideGrid()));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(player.startSweep(wideGrid()));
  std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(player.sweepRunning());
  player.stopSweep();
}

}  // namespace
}  // namespace pxo
