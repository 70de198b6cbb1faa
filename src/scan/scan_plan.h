#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The pattern protocol: which DDP channel bytes belong to which LED, the
// pattern frames of a scan, their labels, and where the decoder finds each
// bit. Pure computation; no I/O and no locks, so any thread may call it on
// a plan it does not share while another thread changes it.
//
// Every LED blinks its ID (1-based) as a reflected Gray code, one frame and
// its complement per bit, then a parity pair; neighbouring LEDs use the red,
// green and blue byte in turn so that LEDs overlapping in the picture can be
// told apart. The "-cd1" variant rotates that colour assignment per pass.
//
//   ScanPlanPtr plan(buildScanPlan(groups, ledCount, 2, true));
//   std::vector<uint8_t> frame(planChannelCount(plan.get()));
//   for (int k = 0; k < planFrameCount(plan.get()); ++k)
//     renderPatternFrame(plan.get(), k, frame);

namespace pxo {

inline constexpr char kProtocolGrayRgbMux[] = "gray-rgb-mux-p1";
inline constexpr char kProtocolGrayRgbMuxCd1[] = "gray-rgb-mux-p1-cd1";

// Value of every colour byte in the baseline frame: 13, or an eighth of the
// level when that is less (bright LEDs scanned at a low level would show a
// baseline of 13 as bright as their codes).
inline constexpr uint8_t kBaselineLevel = 13;
uint8_t baselineLevel(uint8_t level);
inline constexpr uint8_t kDefaultPlanLevel = 192;
// Size of the label buffer the scan run formats labels into.
inline constexpr size_t kLabelBufferSize = 40;

// One selected controller port as laid out for the scan.
struct PortGroup {
  int32_t startChannel = 0;  // index of the port's first byte in a frame
  int32_t pixelCount = 0;
  int32_t channelsPerPixel = 3;  // below 1 means 3
};

struct ScanPlan {
  // Per LED in LED order (LED index i has ID i + 1): its first colour byte.
  std::vector<int32_t> channelOffsets;
  // Bytes in one frame: the largest offset + channels per pixel placed.
  int32_t channelCount = 0;
  // Gray-code bits sent per pass: the smallest b with 2^b > LED count.
  int32_t idBits = 0;
  int32_t passes = 1;                 // 1 or 2
  int32_t channelDiversity = 0;       // 1 for the "-cd1" variant
  uint8_t level = kDefaultPlanLevel;  // value of a lit channel
};

// Lays `ledCount` LEDs over the port groups in order. Returns an owned plan,
// or null when `ledCount` is negative or an offset would not fit in 32 bits.
// Passes are clamped to 1 ... 2. With fewer pixels than LEDs the missing
// LEDs are never lit; `idBits` still follows `ledCount`.
[[nodiscard]] ScanPlan* buildScanPlan(std::span<const PortGroup> groups,
                                      int32_t ledCount,
                                      int32_t passes,
                                      bool channelDiversity);
void destroyScanPlan(ScanPlan* plan);

struct ScanPlanDeleter {
  void operator()(ScanPlan* plan) const { destroyScanPlan(plan); }
};
using ScanPlanPtr = std::unique_ptr<ScanPlan, ScanPlanDeleter>;

// Renders pattern frame `frameIndex` into the first `channelCount` bytes of
// `out`. 0 on success; -1 for a missing plan, a buffer smaller than
// `channelCount` (nothing written) or an index outside the frame count
// (the buffer is cleared).
int renderPatternFrame(const ScanPlan* plan,
                       int32_t frameIndex,
                       std::span<uint8_t> out);

// Every LED at `level` on its pass-0 colour byte (LED index mod 3), all else
// 0: the brightness calibration's frame. 0, or -1 as renderPatternFrame.
int renderLevelFrame(const ScanPlan* plan,
                     uint8_t level,
                     std::span<uint8_t> out);

// Writes the NUL-terminated mark label of a frame ("baseline", "R-full",
// "bit 3′ / 2", "parity′" ...). 0, or -1 for a missing plan or buffer, an
// index out of range or a label that does not fit (the buffer then holds "").
int patternFrameLabel(const ScanPlan* plan,
                      int32_t frameIndex,
                      char* out,
                      size_t size);

int32_t planChannelCount(const ScanPlan* plan);  // 0 without a plan
int32_t planFrameCount(const ScanPlan* plan);    // 0 without a plan
int32_t planIdBits(const ScanPlan* plan);        // 0 without a plan
int32_t planPasses(const ScanPlan* plan);        // 1 without a plan
const char* planProtocolName(const ScanPlan* plan);
void setPlanLevel(ScanPlan* plan, uint8_t level);
uint8_t planLevel(const ScanPlan* plan);  // 0 without a plan

// Frame index of the flood of colour `color`: 1 for color < 0, else
// min(color, 2) + 1.
int32_t floodFrameIndex(const ScanPlan* plan, int32_t color);

// Frame indices the decoder reads: entry b × passes + p of the bit tables
// (idBits × passes entries) for bit b of pass p; entry p of the parity
// tables (passes entries). Any table may be null.
void decoderFrameTables(const ScanPlan* plan,
                        int32_t* bitFrames,
                        int32_t* bitComplementFrames,
                        int32_t* parityFrames,
                        int32_t* parityComplementFrames);

// Fills n entries with the colour shift of passes 0 ... n - 1 of the named
// protocol. Returns n, or -1 for an unknown name, a null array or n < 1.
int32_t passChannelShifts(const char* protocolName, int32_t* shifts, int32_t n);

// Frames of the row-then-column sweep over a grid; 0 when either side < 1.
int32_t sweepFrameCount(int32_t columns, int32_t rows);

// Renders all sweep frames of a grid whose `cells` (rows × columns, row
// major) hold LED IDs 1 ... channelOffsets.size() or 0, one frame every
// `stride` bytes of `out`. Returns the frame count, or -1 when a side, the
// LED count or the stride is below 1, `cells` is shorter than the grid, or
// the frames do not fit in `out`.
int32_t renderSweepFrames(int32_t columns,
                          int32_t rows,
                          std::span<const int32_t> cells,
                          std::span<const int32_t> channelOffsets,
                          int32_t stride,
                          uint8_t level,
                          std::span<uint8_t> out);

// The Gray code of an ID and the colour byte (0 ... 2) LED index `ledIndex`
// uses in a pass with the given shift; shared with the decoder.
constexpr uint32_t grayCode(uint32_t id) { return id ^ (id >> 1); }
constexpr int32_t multiplexChannel(int32_t ledIndex, int32_t passShift) {
  return (ledIndex + passShift) % 3;
}

}  // namespace pxo
