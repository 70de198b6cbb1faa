#pragma once

#include <cstdint>
#include <functional>
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

// The coded picture size from a sequence parameter set (with its NAL
// header byte, emulation prevention in place), cropping applied. False for
// fewer than 4 bytes or a size below 1.
[[nodiscard]] bool readSpsSize(std::string_view sps,
                               int32_t* width,
                               int32_t* height);

}  // namespace pxo
