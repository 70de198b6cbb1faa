#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// H.264 over RTP (RFC 6184) back into access units: single NAL units,
// STAP-A aggregates and FU-A/FU-B fragments, grouped by RTP timestamp and
// ended by the marker bit. Parameter sets seen in band (or given from the
// SDP) are remembered and put in front of key frames that lack them.
// One object per stream, used by one thread. An access unit (or one
// fragmented NAL unit) over kMaxAccessUnitBytes is dropped, so a camera
// that never ends one cannot exhaust memory.

namespace pxo {

inline constexpr size_t kMaxAccessUnitBytes = 16 << 20;

class H264Depacketizer {
 public:
  // NAL units without start codes, the access unit's RTP timestamp and
  // whether it holds an IDR slice.
  using AccessUnitCallback = std::function<void(
      std::span<const std::string_view> units, uint32_t timestamp, bool key)>;
  // The latest SPS and PPS (either may be empty) after one of them changed.
  using ParameterSetsCallback =
      std::function<void(std::string_view sps, std::string_view pps)>;

  void setCallbacks(AccessUnitCallback onAccessUnit,
                    ParameterSetsCallback onParameterSets);
  // Parameter sets known before any packet (the SDP's).
  void setParameterSets(std::string_view sps, std::string_view pps);

  void addPacket(std::string_view payload, uint32_t timestamp, bool marker);

  const std::string& sps() const { return sps_; }
  const std::string& pps() const { return pps_; }

 private:
  void addUnit(std::string_view unit, uint32_t timestamp);
  void noteParameterSet(std::string_view unit);
  void flush();

  AccessUnitCallback onAccessUnit_;
  ParameterSetsCallback onParameterSets_;
  std::vector<std::string> units_;
  size_t unitBytes_ = 0;      // in units_
  bool unitDropped_ = false;  // too big: skipped up to the next one
  uint32_t unitTimestamp_ = 0;
  bool unitOpen_ = false;
  std::string fragment_;
  uint32_t fragmentTimestamp_ = 0;
  bool fragmentOpen_ = false;
  std::string sps_;
  std::string pps_;
};

// What a sequence parameter set says about the stream, as far as the
// recorder needs it.
struct SpsFacts {
  // The picture size, cropping applied.
  int32_t width = 0;
  int32_t height = 0;
  uint32_t profile = 0;
  // level_idc; level 1b reads as 9 (some encoders write it so, others as 11
  // with constraint_set3 in the Baseline, Main and Extended profiles).
  uint32_t level = 0;
  // The decoded picture buffer in whole pictures: MaxDpbFrames for the
  // level and picture size, at most 16; 0 for a level the standard does
  // not have.
  int32_t maxDpbFrames = 0;
  // From the VUI's bitstream_restriction, when the SPS carries one that
  // holds together (reorder ≤ buffering ≤ 16) and was read whole.
  std::optional<int32_t> maxNumReorderFrames;
  std::optional<int32_t> maxDecFrameBuffering;
};

// Reads a sequence parameter set (with its NAL header byte, emulation
// prevention in place) up to and including the VUI's bitstream
// restriction. False for fewer than 4 bytes or a picture size below 1.
// The VUI is optional: one that is cut short or out of range leaves the
// two bitstream-restriction fields unset and the rest still read.
[[nodiscard]] bool readSps(std::string_view sps, SpsFacts* facts);

// The coded picture size from a sequence parameter set, cropping applied.
// False for fewer than 4 bytes or a size below 1.
[[nodiscard]] bool readSpsSize(std::string_view sps,
                               int32_t* width,
                               int32_t* height);

// How many pictures a stream may be shown ahead of its decode order, and
// what says so: "sps" (max_num_reorder_frames), "level" (MaxDpbFrames for
// the stream's level and size). Nothing when neither is known.
struct ReorderDepth {
  int32_t frames = 0;
  std::string from;
};
std::optional<ReorderDepth> reorderDepthOf(const SpsFacts& facts);

// MaxDpbFrames (ITU-T H.264 table A-1 and A.3.1 h): the level's largest
// decoded picture buffer in pictures of the given size in macroblocks, at
// most 16; 0 for an unknown level.
int32_t maxDpbFramesFor(uint32_t level, int64_t widthMbs, int64_t heightMbs);

}  // namespace pxo
