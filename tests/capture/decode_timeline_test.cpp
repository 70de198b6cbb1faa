// Decode times for units that arrive in decode order with presentation
// times only, as a network camera sends them.

#include "capture/decode_timeline.h"

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace pxowin {
namespace {

constexpr int64_t kFrame = 33333;

// Pushes units shown at `shown` × kFrame (in that decode order) and
// collects everything, the end included. Units listed in `keys` are key
// frames that declare the depth given with them; the first is always a key
// frame.
std::vector<DecodeTimeline::Unit> run(
    const std::vector<int64_t>& shown,
    DecodeTimeline* timeline,
    const std::map<size_t, std::optional<size_t>>& keys = {}) {
  std::vector<DecodeTimeline::Unit> out;
  for (size_t i = 0; i < shown.size(); ++i) {
    const auto key = keys.find(i);
    timeline->push(std::to_string(i),
                   shown[i] * kFrame,
                   i == 0 || key != keys.end(),
                   key != keys.end() ? key->second : std::nullopt);
    while (auto unit = timeline->next()) out.push_back(std::move(*unit));
  }
  timeline->finish();
  while (auto unit = timeline->next()) out.push_back(std::move(*unit));
  return out;
}

// Decode times rise, none comes after its unit is shown, and the units keep
// their order and presentation times.
void expectWritable(const std::vector<DecodeTimeline::Unit>& units,
                    const std::vector<int64_t>& shown) {
  ASSERT_EQ(units.size(), shown.size());
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i].data, std::to_string(i));
    EXPECT_EQ(units[i].presentation, shown[i] * kFrame);
    EXPECT_LE(units[i].decode, units[i].presentation) << "unit " << i;
    if (i > 0) {
      EXPECT_GT(units[i].decode, units[i - 1].decode) << "unit " << i;
    }
  }
}

TEST(DecodeTimeline, WithoutBFramesDecodeIsPresentation) {
  std::vector<int64_t> shown;
  for (int64_t i = 0; i < 40; ++i) shown.push_back(i);
  DecodeTimeline timeline;
  const auto units = run(shown, &timeline);
  expectWritable(units, shown);
  for (const auto& unit : units) EXPECT_EQ(unit.decode, unit.presentation);
}

TEST(DecodeTimeline, BFramesAndAPyramidGetTheirReorderDelay) {
  // I P B B P B B … (one reorder) and I P B b B with a pyramid (two).
  std::vector<int64_t> simple = {0};
  for (int64_t gop = 0; gop < 10; ++gop) {
    const int64_t p = 3 * gop + 3;
    simple.insert(simple.end(), {p, p - 2, p - 1});
  }
  DecodeTimeline one;
  const auto units = run(simple, &one);
  expectWritable(units, simple);
  EXPECT_EQ(units[0].decode, -kFrame);  // one frame of delay, before 0

  std::vector<int64_t> pyramid = {0};
  for (int64_t gop = 0; gop < 8; ++gop) {
    const int64_t p = 4 * gop + 4;
    pyramid.insert(pyramid.end(), {p, p - 2, p - 3, p - 1});
  }
  DecodeTimeline two;
  expectWritable(run(pyramid, &two), pyramid);
  EXPECT_TRUE(two.failed().empty());
}

// A camera's frames come off schedule and some are lost before they are
// encoded: the reorder depth is counted in units, so a gap later in the
// stream, wider than anything in the first window, changes nothing.
TEST(DecodeTimeline, FramesOffScheduleAndLostOnesDoNotMatter) {
  std::vector<int64_t> times;  // of the frames given to the encoder
  for (int64_t i = 0; i < 80; ++i)
    times.push_back(i * kFrame + (i * 7919 % 13 - 6) * 1000 +
                    (i >= 40 ? 5 * kFrame : 0));  // five lost at 40
  // I P B B, the P four frames on, the B-frames between, in decode order.
  std::vector<DecodeTimeline::Unit> out;
  std::vector<int64_t> shown = {times[0]};
  for (size_t p = 3; p < times.size(); p += 3)
    shown.insert(shown.end(), {times[p], times[p - 2], times[p - 1]});
  DecodeTimeline timeline;
  for (size_t i = 0; i < shown.size(); ++i) {
    timeline.push(std::to_string(i), shown[i], i == 0);
    while (auto unit = timeline.next()) out.push_back(std::move(*unit));
  }
  timeline.finish();
  while (auto unit = timeline.next()) out.push_back(std::move(*unit));
  EXPECT_TRUE(timeline.failed().empty()) << timeline.failed();
  ASSERT_EQ(out.size(), shown.size());
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_LE(out[i].decode, out[i].presentation) << "unit " << i;
    if (i > 0) {
      EXPECT_GT(out[i].decode, out[i - 1].decode) << "unit " << i;
    }
  }
}

TEST(DecodeTimeline, AShortStreamIsWrittenWholeAtTheEnd) {
  const std::vector<int64_t> shown = {0, 3, 1, 2};
  DecodeTimeline timeline;
  expectWritable(run(shown, &timeline), shown);
  EXPECT_EQ(timeline.pending(), 0u);
}

TEST(DecodeTimeline, RepeatedTimesGetTimesOfTheirOwn) {
  DecodeTimeline timeline;
  std::vector<DecodeTimeline::Unit> out;
  for (int i = 0; i < 4; ++i) timeline.push("x", 0, i == 0);
  timeline.finish();
  while (auto unit = timeline.next()) out.push_back(std::move(*unit));
  ASSERT_EQ(out.size(), 4u);
  for (size_t i = 1; i < out.size(); ++i) {
    EXPECT_GT(out[i].presentation, out[i - 1].presentation);
    EXPECT_GT(out[i].decode, out[i - 1].decode);
  }
}

// A stream that starts without reordering and later reorders more than
// its first window showed cannot be given decode times that fit: it is
// refused, and nothing wrong is handed out.
TEST(DecodeTimeline, ReorderingDeeperThanAtTheStartIsRefused) {
  std::vector<int64_t> shown;
  for (int64_t i = 0; i < 40; ++i) shown.push_back(i);
  shown.insert(shown.end(), {43, 41, 42});
  DecodeTimeline timeline;
  const auto units = run(shown, &timeline);
  EXPECT_FALSE(timeline.failed().empty());
  EXPECT_LT(units.size(), shown.size());
  for (size_t i = 0; i < units.size(); ++i)
    EXPECT_LE(units[i].decode, units[i].presentation);
}

// x264's B-pyramid (three B-frames, the middle one a reference): shown two
// places ahead of decode order, one place where a short group at the start
// or a scene cut holds fewer B-frames. Here the first window has only
// single B-frames.
std::vector<int64_t> shallowThenPyramid(size_t* idrAt = nullptr) {
  std::vector<int64_t> shown = {0};
  for (int64_t p = 2; p <= 24; p += 2) shown.insert(shown.end(), {p, p - 1});
  if (idrAt) *idrAt = shown.size();
  shown.push_back(25);
  for (int64_t gop = 0; gop < 8; ++gop) {
    const int64_t p = 25 + 4 * gop + 4;
    shown.insert(shown.end(), {p, p - 2, p - 3, p - 1});
  }
  return shown;
}

// The depth the stream's SPS declares holds from the first unit, so a
// pyramid that only starts after the first window is written whole.
TEST(DecodeTimeline, TheDeclaredDepthHoldsWhereTheFirstWindowWasShallower) {
  const std::vector<int64_t> shown = shallowThenPyramid();
  DecodeTimeline measured;
  (void)run(shown, &measured);
  EXPECT_FALSE(measured.failed().empty());  // what the SPS saves

  DecodeTimeline declared;
  const auto units = run(shown, &declared, {{0, 2}});
  EXPECT_TRUE(declared.failed().empty()) << declared.failed();
  expectWritable(units, shown);
  EXPECT_EQ(declared.depth(), 2u);
  EXPECT_FALSE(declared.depthMeasured());
  EXPECT_EQ(units[0].decode, -2 * kFrame);
}

// A camera that changes its encoder settings sends a new SPS with its next
// IDR: a deeper depth takes over there, and the decode times catch up
// without ever going back.
TEST(DecodeTimeline, ADeeperDepthFromAKeyFrameOnTakesOverThere) {
  size_t idr = 0;
  const std::vector<int64_t> shown = shallowThenPyramid(&idr);
  DecodeTimeline timeline;
  const auto units = run(shown, &timeline, {{0, 1}, {idr, 2}});
  EXPECT_TRUE(timeline.failed().empty()) << timeline.failed();
  expectWritable(units, shown);
  EXPECT_EQ(timeline.depth(), 2u);
  // Before the new SPS, one frame of delay as that SPS said.
  EXPECT_EQ(units[0].decode, -kFrame);
  // Well after it, a unit decodes when the picture two places before it in
  // showing order is shown.
  const int64_t last = *std::max_element(shown.begin(), shown.end());
  EXPECT_EQ(units.back().decode, (last - 2) * kFrame);

  // A shallower one, and a declared depth beyond H.264's buffer, capped.
  DecodeTimeline shallower;
  expectWritable(run(shown, &shallower, {{0, 16}, {idr, 2}}), shown);
  EXPECT_TRUE(shallower.failed().empty());
  DecodeTimeline capped;
  (void)run(shown, &capped, {{0, 99}});
  EXPECT_EQ(capped.depth(), DecodeTimeline::kReorderWindow);
}

// A declared depth the stream then exceeds is a broken stream, refused as
// a measured one is.
TEST(DecodeTimeline, AStreamDeeperThanItsSpsSaysIsRefused) {
  DecodeTimeline timeline;
  const std::vector<int64_t> shown = shallowThenPyramid();
  const auto units = run(shown, &timeline, {{0, 1}});
  EXPECT_FALSE(timeline.failed().empty());
  for (const auto& unit : units) EXPECT_LE(unit.decode, unit.presentation);
}

}  // namespace
}  // namespace pxowin
