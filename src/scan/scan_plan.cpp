#include "scan/scan_plan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace pxo {

namespace {

// U+2032 PRIME, the mark of a complement frame.
constexpr char kPrime[] = "\xE2\x80\xB2";
constexpr char kLaterPassSuffix[] = " / 2";

int32_t bitsForLedCount(int32_t ledCount) {
  int32_t bits = 0;
  while (bits < 31 && (int64_t{1} << bits) <= ledCount) ++bits;
  return bits;
}

int32_t passShift(const ScanPlan& plan, int32_t pass) {
  return plan.channelDiversity == 1 ? pass % 3 : 0;
}

// What one pattern frame shows.
struct FrameKind {
  enum Type { kBaseline, kFlood, kBit, kParity } type;
  int32_t color = 0;  // flood
  int32_t pass = 0;   // bit and parity
  int32_t bit = 0;    // bit
  bool complement = false;
};

FrameKind classifyFrame(const ScanPlan& plan, int32_t k) {
  if (k == 0) return {FrameKind::kBaseline};
  if (k <= 3) return {FrameKind::kFlood, k - 1};
  int32_t bitFrames = 2 * plan.passes * plan.idBits;
  if (k - 4 < bitFrames) {
    int32_t rel = k - 4;
    return {FrameKind::kBit,
            0,
            rel / (2 * plan.idBits),
            (rel / 2) % plan.idBits,
            rel % 2 == 1};
  }
  int32_t q = k - (4 + bitFrames);
  return {FrameKind::kParity, 0, q / 2, 0, q % 2 == 1};
}

void putByte(std::span<uint8_t> frame, int64_t position, uint8_t value) {
  if (position >= 0 && position < static_cast<int64_t>(frame.size()))
    frame[static_cast<size_t>(position)] = value;
}

}  // namespace

ScanPlan* buildScanPlan(std::span<const PortGroup> groups,
                        int32_t ledCount,
                        int32_t passes,
                        bool channelDiversity) {
  if (ledCount < 0) return nullptr;
  auto plan = std::make_unique<ScanPlan>();
  plan->level = kDefaultPlanLevel;
  plan->channelDiversity = channelDiversity ? 1 : 0;
  plan->passes = std::clamp(passes, 1, 2);
  plan->idBits = bitsForLedCount(ledCount);

  int64_t channelCount = 0;
  for (const PortGroup& group : groups) {
    int32_t cpp = group.channelsPerPixel < 1 ? 3 : group.channelsPerPixel;
    for (int32_t j = 0; j < group.pixelCount; ++j) {
      if (static_cast<int32_t>(plan->channelOffsets.size()) >= ledCount) break;
      int64_t offset = int64_t{group.startChannel} + int64_t{j} * cpp;
      // A frame buffer and a DDP offset both need the end to fit in 32 bits.
      if (offset < std::numeric_limits<int32_t>::min() ||
          offset + cpp > std::numeric_limits<int32_t>::max())
        return nullptr;
      plan->channelOffsets.push_back(static_cast<int32_t>(offset));
      channelCount = std::max(channelCount, offset + cpp);
    }
  }
  plan->channelCount = static_cast<int32_t>(channelCount);
  return plan.release();
}

void destroyScanPlan(ScanPlan* plan) { delete plan; }

uint8_t baselineLevel(uint8_t level) {
  return std::min<uint8_t>(kBaselineLevel, level / 8);
}

int renderPatternFrame(const ScanPlan* plan,
                       int32_t frameIndex,
                       std::span<uint8_t> out) {
  if (!plan || out.size() < static_cast<size_t>(plan->channelCount)) return -1;
  auto frame = out.first(static_cast<size_t>(plan->channelCount));
  std::fill(frame.begin(), frame.end(), uint8_t{0});
  if (frameIndex < 0 || frameIndex >= planFrameCount(plan)) return -1;

  FrameKind kind = classifyFrame(*plan, frameIndex);
  const uint8_t baseline = baselineLevel(plan->level);
  const auto& offsets = plan->channelOffsets;
  for (size_t i = 0; i < offsets.size(); ++i) {
    int64_t base = offsets[i];
    auto id = static_cast<uint32_t>(i + 1);
    switch (kind.type) {
      case FrameKind::kBaseline:
        for (int c = 0; c < 3; ++c) putByte(frame, base + c, baseline);
        break;
      case FrameKind::kFlood:
        putByte(frame, base + kind.color, plan->level);
        break;
      case FrameKind::kBit:
      case FrameKind::kParity: {
        uint32_t value = kind.type == FrameKind::kBit
                             ? (grayCode(id) >> kind.bit) & 1u
                             : id & 1u;  // parity of the Gray code
        if ((value == 1) != kind.complement) {
          int32_t channel = multiplexChannel(static_cast<int32_t>(i % 3),
                                             passShift(*plan, kind.pass));
          putByte(frame, base + channel, plan->level);
        }
        break;
      }
    }
  }
  return 0;
}

int renderLevelFrame(const ScanPlan* plan,
                     uint8_t level,
                     std::span<uint8_t> out) {
  if (!plan || out.size() < static_cast<size_t>(plan->channelCount)) return -1;
  auto frame = out.first(static_cast<size_t>(plan->channelCount));
  std::fill(frame.begin(), frame.end(), uint8_t{0});
  for (size_t i = 0; i < plan->channelOffsets.size(); ++i)
    putByte(frame, int64_t{plan->channelOffsets[i]} + int64_t(i % 3), level);
  return 0;
}

int patternFrameLabel(const ScanPlan* plan,
                      int32_t frameIndex,
                      char* out,
                      size_t size) {
  if (!out || size < 1) return -1;
  out[0] = '\0';
  if (!plan || frameIndex < 0 || frameIndex >= planFrameCount(plan)) return -1;

  static constexpr const char* kFixed[] = {
      "baseline", "R-full", "G-full", "B-full"};
  char label[64];
  FrameKind kind = classifyFrame(*plan, frameIndex);
  const char* prime = kind.complement ? kPrime : "";
  const char* suffix = kind.pass > 0 ? kLaterPassSuffix : "";
  switch (kind.type) {
    case FrameKind::kBaseline:
    case FrameKind::kFlood:
      std::snprintf(label, sizeof label, "%s", kFixed[frameIndex]);
      break;
    case FrameKind::kBit:
      std::snprintf(label, sizeof label, "bit %d%s%s", kind.bit, prime, suffix);
      break;
    case FrameKind::kParity:
      std::snprintf(label, sizeof label, "parity%s%s", prime, suffix);
      break;
  }
  size_t length = std::strlen(label);
  if (length + 1 > size) return -1;
  std::memcpy(out, label, length + 1);
  return 0;
}

int32_t planChannelCount(const ScanPlan* plan) {
  return plan ? plan->channelCount : 0;
}

int32_t planFrameCount(const ScanPlan* plan) {
  return plan ? (2 * plan->idBits + 2) * plan->passes + 4 : 0;
}

int32_t planIdBits(const ScanPlan* plan) { return plan ? plan->idBits : 0; }

int32_t planPasses(const ScanPlan* plan) { return plan ? plan->passes : 1; }

const char* planProtocolName(const ScanPlan* plan) {
  return plan && plan->channelDiversity == 1 ? kProtocolGrayRgbMuxCd1
                                             : kProtocolGrayRgbMux;
}

void setPlanLevel(ScanPlan* plan, uint8_t level) {
  if (plan) plan->level = level;
}

uint8_t planLevel(const ScanPlan* plan) { return plan ? plan->level : 0; }

int32_t floodFrameIndex(const ScanPlan*, int32_t color) {
  return color < 0 ? 1 : std::min(color, 2) + 1;
}

void decoderFrameTables(const ScanPlan* plan,
                        int32_t* bitFrames,
                        int32_t* bitComplementFrames,
                        int32_t* parityFrames,
                        int32_t* parityComplementFrames) {
  if (!plan) return;
  const int32_t passes = plan->passes;
  const int32_t bits = plan->idBits;
  for (int32_t p = 0; p < passes; ++p) {
    for (int32_t b = 0; b < bits; ++b) {
      int32_t frame = 4 + 2 * (p * bits + b);
      if (bitFrames) bitFrames[b * passes + p] = frame;
      if (bitComplementFrames) bitComplementFrames[b * passes + p] = frame + 1;
    }
    int32_t parity = 4 + 2 * passes * bits + 2 * p;
    if (parityFrames) parityFrames[p] = parity;
    if (parityComplementFrames) parityComplementFrames[p] = parity + 1;
  }
}

int32_t passChannelShifts(const char* protocolName,
                          int32_t* shifts,
                          int32_t n) {
  if (!protocolName || !shifts || n < 1) return -1;
  bool rotates;
  if (std::strcmp(protocolName, kProtocolGrayRgbMuxCd1) == 0)
    rotates = true;
  else if (std::strcmp(protocolName, kProtocolGrayRgbMux) == 0)
    rotates = false;
  else
    return -1;
  for (int32_t p = 0; p < n; ++p) shifts[p] = rotates ? p % 3 : 0;
  return n;
}

namespace {

int32_t sweepBandWidth(int32_t columns, int32_t rows) {
  return std::max(std::min(rows, columns) / 20, 2);
}

}  // namespace

int32_t sweepFrameCount(int32_t columns, int32_t rows) {
  if (columns < 1 || rows < 1) return 0;
  int64_t count =
      int64_t{rows} + columns + int64_t{2} * sweepBandWidth(columns, rows);
  return count > std::numeric_limits<int32_t>::max()
             ? 0
             : static_cast<int32_t>(count);
}

int32_t renderSweepFrames(int32_t columns,
                          int32_t rows,
                          std::span<const int32_t> cells,
                          std::span<const int32_t> channelOffsets,
                          int32_t stride,
                          uint8_t level,
                          std::span<uint8_t> out) {
  if (columns < 1 || rows < 1 || channelOffsets.empty() || stride < 1)
    return -1;
  const int32_t frames = sweepFrameCount(columns, rows);
  if (frames < 1 || cells.size() < size_t(int64_t{rows} * columns)) return -1;
  if (int64_t{frames} * stride > static_cast<int64_t>(out.size())) return -1;

  const int32_t w = sweepBandWidth(columns, rows);
  const auto quarter = static_cast<uint8_t>(level >> 2);
  std::fill(out.begin(),
            out.begin() + static_cast<std::ptrdiff_t>(int64_t{frames} * stride),
            uint8_t{0});

  auto lightCell = [&](int32_t frame,
                       int32_t r,
                       int32_t c,
                       uint8_t v0,
                       uint8_t v1,
                       uint8_t v2) {
    int32_t id = cells[static_cast<size_t>(r) * columns + c];
    if (id < 1 || static_cast<size_t>(id) > channelOffsets.size()) return;
    auto frameBytes = out.subspan(static_cast<size_t>(frame) * stride,
                                  static_cast<size_t>(stride));
    int64_t o = channelOffsets[static_cast<size_t>(id - 1)];
    putByte(frameBytes, o, v0);
    putByte(frameBytes, o + 1, v1);
    putByte(frameBytes, o + 2, v2);
  };

  // Rows: a band w rows high enters at the bottom and leaves at the top.
  for (int32_t f = 0; f < rows + w; ++f) {
    int32_t top = std::max(rows - 1 - f, 0);
    int32_t bottom = std::min(rows - 1 - f + w - 1, rows - 1);
    for (int32_t r = top; r <= bottom; ++r)
      for (int32_t c = 0; c < columns; ++c)
        lightCell(f, r, c, level, quarter, quarter);
  }
  // Columns: a band w columns wide moves from the left edge to the right.
  for (int32_t g = 0; g < columns + w; ++g) {
    int32_t first = g;
    int32_t last = std::min(g + w - 1, columns - 1);
    for (int32_t c = first; c <= last; ++c)
      for (int32_t r = 0; r < rows; ++r)
        lightCell(rows + w + g, r, c, quarter, level, quarter);
  }
  return frames;
}

}  // namespace pxo
