#include "capture/rtsp/h264_depacketizer.h"

#include <algorithm>
#include <utility>

namespace pxo {
namespace {

int nalType(std::string_view unit) {
  return unit.empty() ? -1 : uint8_t(unit[0]) & 0x1f;
}

}  // namespace

void H264Depacketizer::setCallbacks(AccessUnitCallback onAccessUnit,
                                    ParameterSetsCallback onParameterSets) {
  onAccessUnit_ = std::move(onAccessUnit);
  onParameterSets_ = std::move(onParameterSets);
}

void H264Depacketizer::setParameterSets(std::string_view sps,
                                        std::string_view pps) {
  if (!sps.empty()) sps_ = std::string(sps);
  if (!pps.empty()) pps_ = std::string(pps);
}

void H264Depacketizer::addPacket(std::string_view payload,
                                 uint32_t timestamp,
                                 bool marker) {
  if (payload.empty()) return;
  const int type = nalType(payload);
  if (type >= 1 && type <= 23) {
    addUnit(payload, timestamp);
  } else if (type == 24 && payload.size() >= 3) {  // STAP-A
    size_t at = 1;
    while (at + 2 <= payload.size()) {
      const size_t size =
          (size_t(uint8_t(payload[at])) << 8) | uint8_t(payload[at + 1]);
      if (size == 0 || at + 2 + size > payload.size()) break;
      addUnit(payload.substr(at + 2, size), timestamp);
      at += 2 + size;
    }
  } else if (type == 28 || type == 29) {  // FU-A, FU-B
    const size_t header = type == 28 ? 2 : 4;
    if (payload.size() >= header) {
      const auto indicator = uint8_t(payload[0]);
      const auto fu = uint8_t(payload[1]);
      if (fu & 0x80) {
        fragmentOpen_ = true;
        fragmentTimestamp_ = timestamp;
        fragment_.assign(1,
                         static_cast<char>((indicator & 0xe0) | (fu & 0x1f)));
      } else if (!fragmentOpen_ || fragmentTimestamp_ != timestamp) {
        // A lost start: everything up to the next start is dropped.
        fragmentOpen_ = false;
        fragment_.clear();
        if (marker) flush();
        return;
      }
      if (fragment_.size() + payload.size() - header > kMaxAccessUnitBytes) {
        fragmentOpen_ = false;
        fragment_.clear();
        if (marker) flush();
        return;
      }
      fragment_.append(payload.substr(header));
      if ((fu & 0x40) && fragmentOpen_) {
        const std::string unit = std::move(fragment_);
        fragment_.clear();
        fragmentOpen_ = false;
        addUnit(unit, fragmentTimestamp_);
      }
    }
  }
  if (marker) flush();
}

void H264Depacketizer::addUnit(std::string_view unit, uint32_t timestamp) {
  if (unitOpen_ && unitTimestamp_ != timestamp) flush();
  unitOpen_ = true;
  unitTimestamp_ = timestamp;
  noteParameterSet(unit);
  if (unitDropped_ || unitBytes_ + unit.size() > kMaxAccessUnitBytes) {
    // Never ended: dropped whole; the decoder waits for the next key frame.
    units_.clear();
    unitBytes_ = 0;
    unitDropped_ = true;
    return;
  }
  unitBytes_ += unit.size();
  units_.emplace_back(unit);
}

void H264Depacketizer::noteParameterSet(std::string_view unit) {
  const int type = nalType(unit);
  bool changed = false;
  if (type == 7 && unit != sps_) {
    sps_ = std::string(unit);
    changed = true;
  } else if (type == 8 && unit != pps_) {
    pps_ = std::string(unit);
    changed = true;
  }
  if (changed && onParameterSets_) onParameterSets_(sps_, pps_);
}

void H264Depacketizer::flush() {
  unitDropped_ = false;
  if (units_.empty()) {
    unitOpen_ = false;
    return;
  }
  bool key = false, hasSps = false, hasPps = false;
  for (const std::string& unit : units_) {
    const int type = nalType(unit);
    key |= type == 5;
    hasSps |= type == 7;
    hasPps |= type == 8;
  }
  std::vector<std::string_view> views;
  views.reserve(units_.size() + 2);
  if (key && !hasSps && !sps_.empty()) views.emplace_back(sps_);
  if (key && !hasPps && !pps_.empty()) views.emplace_back(pps_);
  for (const std::string& unit : units_) views.emplace_back(unit);
  const uint32_t timestamp = unitTimestamp_;
  // The callback may add packets of its own; hand it a settled state.
  std::vector<std::string> units = std::move(units_);
  units_.clear();
  unitBytes_ = 0;
  unitOpen_ = false;
  if (onAccessUnit_) onAccessUnit_(views, timestamp, key);
}

namespace {

// Exp-Golomb reading over the SPS's RBSP; past the end it reads zeros.
class BitReader {
 public:
  explicit BitReader(std::string_view bytes) : bytes_(bytes) {}

  uint32_t bit() {
    if (position_ >= bytes_.size() * 8) {
      ++position_;
      return 0;
    }
    const uint32_t value =
        (uint8_t(bytes_[position_ / 8]) >> (7 - position_ % 8)) & 1;
    ++position_;
    return value;
  }
  uint32_t bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 1) | bit();
    return value;
  }
  uint32_t ue() {
    int zeros = 0;
    // Past the end every bit reads 0; 32 leading zeros is no valid code.
    while (bit() == 0 && zeros < 32) ++zeros;
    if (zeros >= 32) return 0;
    return (uint32_t{1} << zeros) - 1 + bits(zeros);
  }
  int32_t se() {
    const uint32_t k = ue();
    return k & 1 ? static_cast<int32_t>((k + 1) / 2)
                 : -static_cast<int32_t>(k / 2);
  }
  // Whether a read went past the last byte.
  bool overrun() const { return position_ > bytes_.size() * 8; }

 private:
  std::string_view bytes_;
  size_t position_ = 0;
};

// The RBSP of a NAL unit: the header byte skipped, emulation prevention
// (a 03 after two zero bytes, before a byte below 4) removed.
std::string rbspOf(std::string_view unit) {
  std::string rbsp;
  rbsp.reserve(unit.size());
  int zeros = 0;
  for (size_t i = 1; i < unit.size(); ++i) {
    const auto byte = uint8_t(unit[i]);
    if (zeros >= 2 && byte == 3 && i + 1 < unit.size() &&
        uint8_t(unit[i + 1]) < 4) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    rbsp.push_back(static_cast<char>(byte));
  }
  return rbsp;
}

void skipScalingLists(BitReader& r, uint32_t chroma) {
  const int lists = chroma == 3 ? 12 : 8;
  for (int i = 0; i < lists; ++i) {
    if (!r.bit()) continue;
    const int size = i < 6 ? 16 : 64;
    int32_t last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
      // delta_scale is −128 … 127 in a valid stream; any other value must
      // not overflow.
      if (next != 0)
        next =
            static_cast<int32_t>(((int64_t{last} + r.se()) % 256 + 256) % 256);
      last = next == 0 ? last : next;
    }
  }
}

// hrd_parameters() (E.1.2): read past, nothing kept.
void skipHrdParameters(BitReader& r) {
  // cpb_cnt_minus1 is 0 … 31; a larger one is a broken stream, read as far
  // as a valid one could go.
  const uint32_t cpbCount = std::min<uint32_t>(r.ue(), 31) + 1;
  r.bits(4);  // bit_rate_scale
  r.bits(4);  // cpb_size_scale
  for (uint32_t i = 0; i < cpbCount; ++i) {
    r.ue();   // bit_rate_value_minus1
    r.ue();   // cpb_size_value_minus1
    r.bit();  // cbr_flag
  }
  // initial_cpb_removal_delay_length_minus1, cpb_removal_delay_length_minus1,
  // dpb_output_delay_length_minus1, time_offset_length
  r.bits(20);
}

// vui_parameters() (E.1.1) up to and including bitstream_restriction.
void readVui(BitReader& r, SpsFacts* facts) {
  if (r.bit()) {                       // aspect_ratio_info_present_flag
    if (r.bits(8) == 255) r.bits(32);  // Extended_SAR: sar_width, sar_height
  }
  if (r.bit()) r.bit();  // overscan_info_present_flag, overscan_appropriate
  if (r.bit()) {         // video_signal_type_present_flag
    r.bits(4);           // video_format, video_full_range_flag
    if (r.bit()) r.bits(24);  // colour primaries, transfer, matrix
  }
  if (r.bit()) {  // chroma_loc_info_present_flag
    r.ue();
    r.ue();
  }
  if (r.bit()) {  // timing_info_present_flag
    r.bits(32);   // num_units_in_tick
    r.bits(32);   // time_scale
    r.bit();      // fixed_frame_rate_flag
  }
  const uint32_t nalHrd = r.bit();
  if (nalHrd) skipHrdParameters(r);
  const uint32_t vclHrd = r.bit();
  if (vclHrd) skipHrdParameters(r);
  if (nalHrd || vclHrd) r.bit();  // low_delay_hrd_flag
  r.bit();                        // pic_struct_present_flag
  if (!r.bit()) return;           // bitstream_restriction_flag
  r.bit();                        // motion_vectors_over_pic_boundaries_flag
  r.ue();                         // max_bytes_per_pic_denom
  r.ue();                         // max_bits_per_mb_denom
  r.ue();                         // log2_max_mv_length_horizontal
  r.ue();                         // log2_max_mv_length_vertical
  const uint32_t reorder = r.ue();
  const uint32_t buffering = r.ue();
  // Only what was read whole and holds together is taken.
  if (r.overrun() || reorder > buffering || buffering > 16) return;
  facts->maxNumReorderFrames = static_cast<int32_t>(reorder);
  facts->maxDecFrameBuffering = static_cast<int32_t>(buffering);
}

}  // namespace

int32_t maxDpbFramesFor(uint32_t level, int64_t widthMbs, int64_t heightMbs) {
  // MaxDpbMbs by level_idc (table A-1); 9 is level 1b.
  static constexpr std::pair<uint32_t, int64_t> kMaxDpbMbs[] = {
      {9, 396},     {10, 396},    {11, 900},    {12, 2376},   {13, 2376},
      {20, 2376},   {21, 4752},   {22, 8100},   {30, 8100},   {31, 18000},
      {32, 20480},  {40, 32768},  {41, 32768},  {42, 34816},  {50, 110400},
      {51, 184320}, {52, 184320}, {60, 696320}, {61, 696320}, {62, 696320}};
  const int64_t picture = widthMbs * heightMbs;
  if (picture < 1) return 0;
  for (const auto& [idc, mbs] : kMaxDpbMbs)
    if (idc == level)
      return static_cast<int32_t>(std::min<int64_t>(mbs / picture, 16));
  return 0;
}

bool readSps(std::string_view sps, SpsFacts* facts) {
  if (sps.size() < 4) return false;
  const std::string rbsp = rbspOf(sps);
  BitReader r(rbsp);
  SpsFacts read;
  read.profile = r.bits(8);
  const uint32_t constraints = r.bits(8);
  read.level = r.bits(8);
  // Level 1b in the profiles that write it as 1.1 with constraint_set3.
  if (read.level == 11 && (constraints & 0x10) &&
      (read.profile == 66 || read.profile == 77 || read.profile == 88))
    read.level = 9;
  r.ue();  // seq_parameter_set_id
  static constexpr uint32_t kHighProfiles[] = {
      100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  if (std::find(std::begin(kHighProfiles),
                std::end(kHighProfiles),
                read.profile) != std::end(kHighProfiles)) {
    const uint32_t chroma = r.ue();
    if (chroma == 3) r.bit();  // separate_colour_plane_flag
    r.ue();                    // bit_depth_luma_minus8
    r.ue();                    // bit_depth_chroma_minus8
    r.bit();                   // qpprime_y_zero_transform_bypass_flag
    if (r.bit()) skipScalingLists(r, chroma);  // seq_scaling_matrix_present
  }
  r.ue();  // log2_max_frame_num_minus4
  const uint32_t pocType = r.ue();
  if (pocType == 0) {
    r.ue();
  } else if (pocType == 1) {
    r.bit();
    r.se();
    r.se();
    const uint32_t cycle = std::min<uint32_t>(r.ue(), 255);
    for (uint32_t i = 0; i < cycle; ++i) r.se();
  }
  r.ue();   // max_num_ref_frames
  r.bit();  // gaps_in_frame_num_value_allowed_flag
  const int64_t widthMbs = int64_t{r.ue()} + 1;
  const int64_t heightUnits = int64_t{r.ue()} + 1;
  const uint32_t frameMbsOnly = r.bit();
  if (!frameMbsOnly) r.bit();  // mb_adaptive_frame_field_flag
  r.bit();                     // direct_8x8_inference_flag
  int64_t left = 0, right = 0, top = 0, bottom = 0;
  if (r.bit()) {
    left = r.ue();
    right = r.ue();
    top = r.ue();
    bottom = r.ue();
  }
  const int64_t heightMbs = (2 - int64_t{frameMbsOnly}) * heightUnits;
  const int64_t w = widthMbs * 16 - 2 * (left + right);
  const int64_t h = heightMbs * 16 - 2 * (top + bottom);
  if (w < 1 || h < 1 || w > INT32_MAX || h > INT32_MAX) return false;
  read.width = static_cast<int32_t>(w);
  read.height = static_cast<int32_t>(h);
  read.maxDpbFrames = maxDpbFramesFor(read.level, widthMbs, heightMbs);
  if (!r.overrun() && r.bit()) readVui(r, &read);  // vui_parameters_present
  *facts = read;
  return true;
}

bool readSpsSize(std::string_view sps, int32_t* width, int32_t* height) {
  SpsFacts facts;
  if (!readSps(sps, &facts)) return false;
  *width = facts.width;
  *height = facts.height;
  return true;
}

std::optional<ReorderDepth> reorderDepthOf(const SpsFacts& facts) {
  if (facts.maxNumReorderFrames)
    return ReorderDepth{*facts.maxNumReorderFrames, "sps"};
  if (facts.maxDpbFrames > 0) return ReorderDepth{facts.maxDpbFrames, "level"};
  return std::nullopt;
}

}  // namespace pxo
