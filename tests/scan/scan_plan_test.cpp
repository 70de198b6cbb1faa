#include "scan/scan_plan.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pxo {
namespace {

ScanPlanPtr makePlan(std::vector<PortGroup> groups,
                     int32_t leds,
                     int32_t passes = 2,
                     bool diversity = true) {
  return ScanPlanPtr(buildScanPlan(groups, leds, passes, diversity));
}

ScanPlanPtr makeSimplePlan(int32_t leds, int32_t passes = 2) {
  return makePlan({{0, leds, 3}}, leds, passes);
}

std::vector<uint8_t> render(const ScanPlan* plan, int32_t index) {
  std::vector<uint8_t> frame(static_cast<size_t>(planChannelCount(plan)), 0xEE);
  EXPECT_EQ(renderPatternFrame(plan, index, frame), 0) << "frame " << index;
  return frame;
}

std::string label(const ScanPlan* plan, int32_t index) {
  char buffer[kLabelBufferSize];
  EXPECT_EQ(patternFrameLabel(plan, index, buffer, sizeof buffer), 0);
  return buffer;
}

// Bit b of the reflected Gray code, written as "bit b of id XOR bit b + 1".
int grayBit(int id, int b) { return ((id >> b) & 1) ^ ((id >> (b + 1)) & 1); }

// The protocol's frames written out directly in sequence order, independent
// of the index arithmetic under test.
std::vector<std::vector<uint8_t>> expectedFrames(
    const std::vector<int32_t>& offsets,
    int32_t channelCount,
    int32_t bits,
    int32_t passes,
    bool diversity,
    uint8_t level) {
  std::vector<std::vector<uint8_t>> frames;
  auto blank = [&] { return std::vector<uint8_t>(channelCount, 0); };
  auto set = [&](std::vector<uint8_t>& f, int64_t pos, uint8_t v) {
    if (pos >= 0 && pos < channelCount) f[pos] = v;
  };
  auto channelOf = [&](size_t led, int pass) {
    int shift = diversity ? pass % 3 : 0;
    return static_cast<int>((led + shift) % 3);
  };

  // 13, or an eighth of the level when that is less: at a low level a
  // baseline of 13 would show as bright as the codes.
  const uint8_t dim = level >= 104 ? 13 : static_cast<uint8_t>(level / 8);
  auto baseline = blank();
  for (int32_t o : offsets)
    for (int c = 0; c < 3; ++c) set(baseline, o + c, dim);
  frames.push_back(baseline);
  for (int color = 0; color < 3; ++color) {
    auto flood = blank();
    for (int32_t o : offsets) set(flood, o + color, level);
    frames.push_back(flood);
  }
  for (int p = 0; p < passes; ++p) {
    for (int b = 0; b < bits; ++b) {
      for (int wanted : {1, 0}) {
        auto f = blank();
        for (size_t i = 0; i < offsets.size(); ++i)
          if (grayBit(static_cast<int>(i + 1), b) == wanted)
            set(f, offsets[i] + channelOf(i, p), level);
        frames.push_back(f);
      }
    }
  }
  for (int p = 0; p < passes; ++p) {
    for (int wanted : {1, 0}) {
      auto f = blank();
      for (size_t i = 0; i < offsets.size(); ++i) {
        int parity = 0;
        for (int b = 0; b < 31; ++b)
          parity ^= grayBit(static_cast<int>(i + 1), b);
        if (parity == wanted) set(f, offsets[i] + channelOf(i, p), level);
      }
      frames.push_back(f);
    }
  }
  return frames;
}

TEST(BuildScanPlan, IdBitsFollowTheHighestId) {
  struct Case {
    int32_t leds;
    int32_t bits;
  };
  for (Case c : {Case{0, 0},
                 Case{1, 1},
                 Case{2, 2},
                 Case{3, 2},
                 Case{4, 3},
                 Case{7, 3},
                 Case{8, 4},
                 Case{100, 7},
                 Case{127, 7},
                 Case{128, 8},
                 Case{5000, 13}}) {
    auto plan = makeSimplePlan(c.leds);
    ASSERT_TRUE(plan) << c.leds;
    EXPECT_EQ(planIdBits(plan.get()), c.bits) << c.leds << " LEDs";
    // Every ID's Gray code fits in idBits bits.
    if (c.leds > 0) {
      EXPECT_LT(grayCode(static_cast<uint32_t>(c.leds)), 1u << c.bits);
    }
  }
}

TEST(BuildScanPlan, FrameCounts) {
  EXPECT_EQ(planFrameCount(makeSimplePlan(0, 1).get()), 6);
  EXPECT_EQ(planFrameCount(makeSimplePlan(1, 2).get()), 12);
  EXPECT_EQ(planFrameCount(makeSimplePlan(5, 2).get()), 20);
  EXPECT_EQ(planFrameCount(makeSimplePlan(100, 2).get()), 36);
  EXPECT_EQ(planFrameCount(makeSimplePlan(100, 1).get()), 20);
  EXPECT_EQ(planFrameCount(makeSimplePlan(128, 2).get()), 40);
}

TEST(BuildScanPlan, ClampsPassesAndRejectsNegativeCounts) {
  EXPECT_EQ(planPasses(makeSimplePlan(10, 0).get()), 1);
  EXPECT_EQ(planPasses(makeSimplePlan(10, -3).get()), 1);
  EXPECT_EQ(planPasses(makeSimplePlan(10, 7).get()), 2);
  EXPECT_EQ(makePlan({}, -1), nullptr);
}

TEST(BuildScanPlan, LaysLedsOverGroupsInOrder) {
  // Three RGB pixels, then an RGBW port behind a gap.
  auto plan = makePlan({{30, 3, 3}, {100, 5, 4}}, 6);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->channelOffsets,
            (std::vector<int32_t>{30, 33, 36, 100, 104, 108}));
  // The fourth byte of the last placed LED counts; pixels past N do not.
  EXPECT_EQ(planChannelCount(plan.get()), 112);
  EXPECT_EQ(planLevel(plan.get()), 192);
  EXPECT_STREQ(planProtocolName(plan.get()), "gray-rgb-mux-p1-cd1");

  auto defaulted = makePlan({{0, 2, 0}}, 2);
  EXPECT_EQ(defaulted->channelOffsets, (std::vector<int32_t>{0, 3}));
  EXPECT_EQ(planChannelCount(defaulted.get()), 6);
}

TEST(BuildScanPlan, FewerPixelsThanLedsLeavesTheRestUnlit) {
  auto plan = makePlan({{0, 4, 3}}, 9);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->channelOffsets.size(), 4u);
  EXPECT_EQ(planIdBits(plan.get()), 4);  // from the 9 requested
  EXPECT_EQ(planChannelCount(plan.get()), 12);
}

TEST(BuildScanPlan, RefusesOffsetsBeyond32Bits) {
  EXPECT_EQ(makePlan({{INT32_MAX - 5, 3, 3}}, 3), nullptr);
  EXPECT_NE(makePlan({{INT32_MAX - 5, 1, 3}}, 1), nullptr);
}

TEST(RenderPatternFrame, EveryFrameMatchesTheProtocol) {
  struct Case {
    std::vector<PortGroup> groups;
    int32_t leds;
    int32_t passes;
    bool diversity;
    uint8_t level;
  };
  std::vector<Case> cases = {
      {{{0, 7, 3}}, 7, 2, true, 192},
      {{{0, 7, 3}}, 7, 2, false, 192},
      {{{0, 5, 3}}, 5, 1, true, 77},
      {{{9, 4, 3}, {60, 6, 4}}, 10, 2, true, 255},
      {{{0, 1, 3}}, 1, 2, true, 192},
      {{{3, 20, 3}}, 17, 2, true, 40},
  };
  for (const Case& c : cases) {
    auto plan = makePlan(c.groups, c.leds, c.passes, c.diversity);
    ASSERT_TRUE(plan);
    setPlanLevel(plan.get(), c.level);
    auto expected = expectedFrames(plan->channelOffsets,
                                   planChannelCount(plan.get()),
                                   planIdBits(plan.get()),
                                   c.passes,
                                   c.diversity,
                                   c.level);
    ASSERT_EQ(static_cast<int32_t>(expected.size()),
              planFrameCount(plan.get()));
    for (int32_t k = 0; k < planFrameCount(plan.get()); ++k)
      EXPECT_EQ(render(plan.get(), k), expected[k])
          << c.leds << " LEDs, diversity " << c.diversity << ", frame " << k;
  }
}

TEST(RenderPatternFrame, MultiplexChannelRotatesPerPass) {
  auto plan = makeSimplePlan(5);  // 3 bits, pass 1 starts at frame 10
  auto bit0 = render(plan.get(), 4);
  auto bit0Complement = render(plan.get(), 5);
  auto bit0Pass1 = render(plan.get(), 10);
  // LED index 0 (ID 1, Gray 1): byte 0 in pass 0, dark in the complement.
  EXPECT_EQ(bit0[0], 192);
  EXPECT_EQ(bit0Complement[0] | bit0Complement[1] | bit0Complement[2], 0);
  // Pass 1 moves it to byte 1, and LED index 1 (ID 2, Gray 3) to byte 2.
  EXPECT_EQ(bit0Pass1[1], 192);
  EXPECT_EQ(bit0Pass1[0], 0);
  EXPECT_EQ(bit0Pass1[3 + 2], 192);
  EXPECT_EQ(bit0Pass1[3 + 1], 0);
}

TEST(RenderPatternFrame, FourChannelPixelsKeepTheirFourthByteDark) {
  auto plan = makePlan({{0, 3, 4}}, 3);
  for (int32_t k = 0; k < planFrameCount(plan.get()); ++k) {
    auto frame = render(plan.get(), k);
    ASSERT_EQ(frame.size(), 12u);
    for (int led = 0; led < 3; ++led) EXPECT_EQ(frame[led * 4 + 3], 0) << k;
  }
}

TEST(RenderPatternFrame, RejectsBadArguments) {
  auto plan = makeSimplePlan(10);
  const size_t count = static_cast<size_t>(planChannelCount(plan.get()));

  std::vector<uint8_t> small(count - 1, 0xAA);
  EXPECT_EQ(renderPatternFrame(plan.get(), 0, small), -1);
  EXPECT_EQ(small, std::vector<uint8_t>(count - 1, 0xAA)) << "wrote into it";

  std::vector<uint8_t> frame(count + 4, 0xAA);
  EXPECT_EQ(renderPatternFrame(nullptr, 0, frame), -1);
  for (int32_t bad : {-1, planFrameCount(plan.get())}) {
    std::fill(frame.begin(), frame.end(), 0xAA);
    EXPECT_EQ(renderPatternFrame(plan.get(), bad, frame), -1);
    // The frame part is cleared; bytes past channelCount are not touched.
    EXPECT_EQ(std::count(frame.begin(), frame.begin() + count, 0),
              static_cast<long>(count));
    EXPECT_EQ(frame[count], 0xAA);
  }
}

TEST(RenderLevelFrame, LightsThePassZeroChannel) {
  auto plan = makePlan({{0, 4, 3}, {20, 2, 4}}, 6);
  std::vector<uint8_t> frame(planChannelCount(plan.get()), 0xEE);
  ASSERT_EQ(renderLevelFrame(plan.get(), 50, frame), 0);
  std::vector<uint8_t> expected(frame.size(), 0);
  expected[0] = expected[4] = expected[8] = expected[9] = 50;  // LEDs 0-3
  expected[20 + 1] = 50;                                       // LED 4: i%3=1
  expected[24 + 2] = 50;                                       // LED 5: i%3=2
  EXPECT_EQ(frame, expected);

  std::vector<uint8_t> small(frame.size() - 1);
  EXPECT_EQ(renderLevelFrame(plan.get(), 50, small), -1);
  EXPECT_EQ(renderLevelFrame(nullptr, 50, frame), -1);
}

TEST(PatternFrameLabel, LabelsByteForByte) {
  auto plan = makeSimplePlan(5);  // 3 bits, 2 passes, 20 frames
  const std::string p = "\xE2\x80\xB2";
  std::vector<std::string> expected = {"baseline",   "R-full",
                                       "G-full",     "B-full",
                                       "bit 0",      "bit 0" + p,
                                       "bit 1",      "bit 1" + p,
                                       "bit 2",      "bit 2" + p,
                                       "bit 0 / 2",  "bit 0" + p + " / 2",
                                       "bit 1 / 2",  "bit 1" + p + " / 2",
                                       "bit 2 / 2",  "bit 2" + p + " / 2",
                                       "parity",     "parity" + p,
                                       "parity / 2", "parity" + p + " / 2"};
  ASSERT_EQ(planFrameCount(plan.get()), 20);
  for (int32_t k = 0; k < 20; ++k) EXPECT_EQ(label(plan.get(), k), expected[k]);
  // The longest label of a 5,000-LED plan fits the scan run's buffer.
  auto large = makeSimplePlan(5000);
  EXPECT_EQ(label(large.get(), 4 + 2 * 13 + 25), "bit 12" + p + " / 2");
}

TEST(PatternFrameLabel, FailsCleanly) {
  auto plan = makeSimplePlan(5);
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  // "bit 0′" is 9 bytes with its terminator: 8 is too small, 9 fits.
  EXPECT_EQ(patternFrameLabel(plan.get(), 5, buffer, 8), -1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(patternFrameLabel(plan.get(), 5, buffer, 9), 0);
  EXPECT_STREQ(buffer, "bit 0\xE2\x80\xB2");
  EXPECT_EQ(patternFrameLabel(plan.get(), 20, buffer, sizeof buffer), -1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(patternFrameLabel(plan.get(), -1, buffer, sizeof buffer), -1);
  EXPECT_EQ(patternFrameLabel(nullptr, 0, buffer, sizeof buffer), -1);
  EXPECT_EQ(patternFrameLabel(plan.get(), 0, nullptr, 10), -1);
  EXPECT_EQ(patternFrameLabel(plan.get(), 0, buffer, 0), -1);
}

TEST(DecoderFrameTables, PointAtTheFramesTheirLabelsName) {
  for (int32_t passes : {1, 2}) {
    auto plan = makeSimplePlan(100, passes);
    const int32_t bits = planIdBits(plan.get());
    std::vector<int32_t> bit(bits * passes, -1), bitC(bits * passes, -1);
    std::vector<int32_t> par(passes, -1), parC(passes, -1);
    decoderFrameTables(
        plan.get(), bit.data(), bitC.data(), par.data(), parC.data());
    for (int32_t p = 0; p < passes; ++p) {
      std::string suffix = p ? " / 2" : "";
      for (int32_t b = 0; b < bits; ++b) {
        int32_t e = b * passes + p;
        EXPECT_EQ(label(plan.get(), bit[e]),
                  "bit " + std::to_string(b) + suffix);
        EXPECT_EQ(label(plan.get(), bitC[e]),
                  "bit " + std::to_string(b) + "\xE2\x80\xB2" + suffix);
      }
      EXPECT_EQ(label(plan.get(), par[p]), "parity" + suffix);
      EXPECT_EQ(label(plan.get(), parC[p]), "parity\xE2\x80\xB2" + suffix);
    }
    // Any table may be left out.
    decoderFrameTables(plan.get(), nullptr, bitC.data(), nullptr, nullptr);
    decoderFrameTables(
        nullptr, bit.data(), bitC.data(), par.data(), parC.data());
  }
}

TEST(PassChannelShifts, ByProtocolName) {
  int32_t shifts[5];
  EXPECT_EQ(passChannelShifts("gray-rgb-mux-p1-cd1", shifts, 5), 5);
  EXPECT_EQ(std::vector<int32_t>(shifts, shifts + 5),
            (std::vector<int32_t>{0, 1, 2, 0, 1}));
  EXPECT_EQ(passChannelShifts("gray-rgb-mux-p1", shifts, 3), 3);
  EXPECT_EQ(std::vector<int32_t>(shifts, shifts + 3),
            (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(passChannelShifts("gray-rgb-mux-p2", shifts, 3), -1);
  EXPECT_EQ(passChannelShifts(nullptr, shifts, 3), -1);
  EXPECT_EQ(passChannelShifts("gray-rgb-mux-p1", nullptr, 3), -1);
  EXPECT_EQ(passChannelShifts("gray-rgb-mux-p1", shifts, 0), -1);
}

// The sweep over a 10 × 3 grid (columns × rows), LED IDs row by row with one
// empty cell and one ID beyond the LED count.
class SweepFrames : public ::testing::Test {
 protected:
  static constexpr int32_t kCols = 10, kRows = 3, kStride = 100;
  void SetUp() override {
    for (int32_t i = 0; i < kCols * kRows; ++i) cells.push_back(i + 1);
    cells[5] = 0;    // empty
    cells[29] = 99;  // not a scanned LED
    for (int32_t i = 0; i < 30; ++i) offsets.push_back(i * 3);
    offsets[20] = kStride - 2;  // only two of its bytes fit the stride
  }
  // The bytes of `frame` one cell (r, c) should show.
  std::vector<uint8_t> expected(int32_t frame) const {
    std::vector<uint8_t> out(kStride, 0);
    const int32_t w = 2;
    for (int32_t r = 0; r < kRows; ++r) {
      for (int32_t c = 0; c < kCols; ++c) {
        int32_t id = cells[r * kCols + c];
        if (id < 1 || id > 30) continue;
        bool rowLit = frame < kRows + w && r >= kRows - 1 - frame &&
                      r <= kRows - 1 - frame + w - 1;
        int32_t g = frame - (kRows + w);
        bool colLit = g >= 0 && c >= g && c <= g + w - 1;
        if (!rowLit && !colLit) continue;
        uint8_t v[3] = {20, 20, 20};
        v[rowLit ? 0 : 1] = 80;
        for (int k = 0; k < 3; ++k)
          if (offsets[id - 1] + k < kStride) out[offsets[id - 1] + k] = v[k];
      }
    }
    return out;
  }
  std::vector<int32_t> cells, offsets;
};

TEST_F(SweepFrames, TenByThreeGrid) {
  ASSERT_EQ(sweepFrameCount(kCols, kRows), 17);
  std::vector<uint8_t> out(17 * kStride + 3, 0xEE);
  ASSERT_EQ(renderSweepFrames(kCols, kRows, cells, offsets, kStride, 80, out),
            17);
  for (int32_t f = 0; f < 17; ++f) {
    std::vector<uint8_t> frame(out.begin() + f * kStride,
                               out.begin() + (f + 1) * kStride);
    EXPECT_EQ(frame, expected(f)) << "frame " << f;
  }
  EXPECT_EQ(out[17 * kStride], 0xEE) << "wrote past the frames";
  // Frame 0 shows only the bottom row; the last row frame and the last two
  // column frames are dark.
  auto lit = [&](int32_t f) {
    return std::count_if(out.begin() + f * kStride,
                         out.begin() + (f + 1) * kStride,
                         [](uint8_t v) { return v != 0; });
  };
  EXPECT_GT(lit(0), 0);
  EXPECT_EQ(lit(4), 0);
  EXPECT_EQ(lit(15), 0);
  EXPECT_EQ(lit(16), 0);
}

TEST_F(SweepFrames, RejectsBadArguments) {
  std::vector<uint8_t> out(17 * kStride);
  std::vector<uint8_t> small(17 * kStride - 1);
  EXPECT_EQ(renderSweepFrames(kCols, kRows, cells, offsets, kStride, 80, small),
            -1);
  EXPECT_EQ(renderSweepFrames(0, kRows, cells, offsets, kStride, 80, out), -1);
  EXPECT_EQ(renderSweepFrames(kCols, 0, cells, offsets, kStride, 80, out), -1);
  EXPECT_EQ(renderSweepFrames(kCols, kRows, cells, {}, kStride, 80, out), -1);
  EXPECT_EQ(renderSweepFrames(kCols, kRows, cells, offsets, 0, 80, out), -1);
  std::vector<int32_t> shortCells(cells.begin(), cells.end() - 1);
  EXPECT_EQ(
      renderSweepFrames(kCols, kRows, shortCells, offsets, kStride, 80, out),
      -1);
}

}  // namespace
}  // namespace pxo
