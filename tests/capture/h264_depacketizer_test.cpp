#include "capture/rtsp/h264_depacketizer.h"

#include "capture/rtsp/rtsp_text.h"

#include <gtest/gtest.h>

namespace pxo {
namespace {

struct Unit {
  std::vector<std::string> nals;
  uint32_t timestamp = 0;
  bool key = false;
};

struct Collector {
  H264Depacketizer depacketizer;
  std::vector<Unit> units;
  int parameterChanges = 0;
  Collector() {
    depacketizer.setCallbacks(
        [this](std::span<const std::string_view> nals, uint32_t t, bool key) {
          Unit unit{{}, t, key};
          for (std::string_view nal : nals) unit.nals.emplace_back(nal);
          units.push_back(unit);
        },
        [this](std::string_view, std::string_view) { ++parameterChanges; });
  }
};

const std::string kSps = "\x67\x42\xc0\x1e\xda";
const std::string kPps = std::string("\x68\xce\x3c\x80", 4);
const std::string kIdr = "\x65\x88\x84\x00\x33";
const std::string kSlice = "\x41\x9a\x02";

std::string stapA(std::initializer_list<std::string> nals) {
  std::string packet = "\x18";
  for (const std::string& nal : nals) {
    packet.push_back(static_cast<char>(nal.size() >> 8));
    packet.push_back(static_cast<char>(nal.size() & 0xff));
    packet += nal;
  }
  return packet;
}

// FU-A pieces of `nal`: start, middle, end.
std::vector<std::string> fuA(const std::string& nal) {
  const char indicator = static_cast<char>((nal[0] & 0xe0) | 28);
  const char type = static_cast<char>(nal[0] & 0x1f);
  const std::string body = nal.substr(1);
  const size_t third = body.size() / 3;
  return {std::string{indicator, static_cast<char>(0x80 | type)} +
              body.substr(0, third),
          std::string{indicator, type} + body.substr(third, third),
          std::string{indicator, static_cast<char>(0x40 | type)} +
              body.substr(2 * third)};
}

TEST(H264Depacketizer, StapAWithParameterSetsAndAnIdrIsOneKeyFrame) {
  Collector c;
  c.depacketizer.addPacket(stapA({kSps, kPps, kIdr}), 3000, true);
  ASSERT_EQ(c.units.size(), 1u);
  EXPECT_TRUE(c.units[0].key);
  EXPECT_EQ(c.units[0].timestamp, 3000u);
  EXPECT_EQ(c.units[0].nals, (std::vector<std::string>{kSps, kPps, kIdr}));
  EXPECT_EQ(c.parameterChanges, 2);
  // The same sets again change nothing.
  c.depacketizer.addPacket(stapA({kSps, kPps, kIdr}), 6000, true);
  EXPECT_EQ(c.parameterChanges, 2);
}

TEST(H264Depacketizer, FragmentsReassembleAndALostStartDropsTheNal) {
  Collector c;
  c.depacketizer.setParameterSets(kSps, kPps);
  const std::string idr = "\x65" + std::string(30, 'i');
  for (const std::string& piece : fuA(idr))
    c.depacketizer.addPacket(piece, 100, piece == fuA(idr).back());
  ASSERT_EQ(c.units.size(), 1u);
  // A key frame without sets in band gets the SDP's in front.
  EXPECT_EQ(c.units[0].nals, (std::vector<std::string>{kSps, kPps, idr}));
  EXPECT_TRUE(c.units[0].key);

  // Start fragment lost: the middle and end are dropped; the next whole
  // NAL comes through on its own.
  const std::string slice = "\x41" + std::string(30, 'p');
  const auto pieces = fuA(slice);
  c.depacketizer.addPacket(pieces[1], 200, false);
  c.depacketizer.addPacket(pieces[2], 200, true);
  c.depacketizer.addPacket(kSlice, 300, true);
  ASSERT_EQ(c.units.size(), 2u);
  EXPECT_EQ(c.units[1].nals, std::vector<std::string>{kSlice});
  EXPECT_FALSE(c.units[1].key);
}

TEST(H264Depacketizer, TimestampsSplitUnitsWithoutMarkers) {
  Collector c;
  c.depacketizer.addPacket(kSlice, 10, false);
  c.depacketizer.addPacket(kSlice, 10, false);
  c.depacketizer.addPacket(kSlice, 20, false);  // a new unit: 10 flushed
  ASSERT_EQ(c.units.size(), 1u);
  EXPECT_EQ(c.units[0].nals.size(), 2u);
  c.depacketizer.addPacket("", 20, true);  // empty payload: ignored
  EXPECT_EQ(c.units.size(), 1u);
  c.depacketizer.addPacket(
      "\x1e", 20, true);  // type 30: ignored, marker flushes
  ASSERT_EQ(c.units.size(), 2u);
  EXPECT_EQ(c.units[1].timestamp, 20u);
  // A STAP-A whose size runs past its end keeps what fitted.
  std::string broken = stapA({kSlice});
  broken += "\x00\x40x";
  c.depacketizer.addPacket(broken, 30, true);
  ASSERT_EQ(c.units.size(), 3u);
  EXPECT_EQ(c.units[2].nals, std::vector<std::string>{kSlice});
}

// A camera that never ends a unit or a fragment cannot grow them without
// bound: past kMaxAccessUnitBytes the unit is dropped whole, and the next
// one comes through.
TEST(H264Depacketizer, EndlessUnitsAndFragmentsAreDropped) {
  Collector c;
  const std::string slice = "\x41" + std::string(60000, 'x');
  const size_t packets = kMaxAccessUnitBytes / slice.size() + 2;
  for (size_t i = 0; i < packets; ++i)
    c.depacketizer.addPacket(slice, 5, false);
  c.depacketizer.addPacket(slice, 5, true);
  EXPECT_TRUE(c.units.empty());
  // FU-A: a start, then middles forever.
  std::string start = "\x7c\x85" + std::string(60000, 'y');
  std::string middle = "\x7c\x05" + std::string(60000, 'y');
  c.depacketizer.addPacket(start, 6, false);
  for (size_t i = 0; i < packets; ++i)
    c.depacketizer.addPacket(middle, 6, false);
  c.depacketizer.addPacket("\x7c\x45z", 6, true);  // the end, too late
  EXPECT_TRUE(c.units.empty());
  c.depacketizer.addPacket(kSlice, 7, true);
  ASSERT_EQ(c.units.size(), 1u);
  EXPECT_EQ(c.units[0].nals, std::vector<std::string>{kSlice});
}

// Writes SPS fields as H.264's Exp-Golomb codes.
class SpsWriter {
 public:
  void bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
  }
  void ue(uint32_t value) {
    const uint32_t code = value + 1;
    int length = 0;
    while ((code >> length) > 1) ++length;
    bits(0, length);
    bits(code, length + 1);
  }
  void bit(uint32_t b) {
    current_ = static_cast<uint8_t>((current_ << 1) | b);
    if (++count_ == 8) {
      rbsp_.push_back(static_cast<char>(current_));
      count_ = 0;
      current_ = 0;
    }
  }
  // NAL header, the RBSP with its stop bit, emulation prevention added.
  std::string nal() {
    bit(1);
    while (count_ != 0) bit(0);
    std::string out = "\x67";
    int zeros = 0;
    for (char c : rbsp_) {
      if (zeros >= 2 && uint8_t(c) < 4) {
        out.push_back(3);
        zeros = 0;
      }
      zeros = c == 0 ? zeros + 1 : 0;
      out.push_back(c);
    }
    return out;
  }

 private:
  std::string rbsp_;
  uint8_t current_ = 0;
  int count_ = 0;
};

// A High-profile SPS for a picture of `mbsWide` × `mbsHigh` macroblocks
// cropped at the bottom by `bottom` crop units.
std::string highProfileSps(uint32_t mbsWide,
                           uint32_t mbsHigh,
                           uint32_t bottom,
                           bool scalingLists) {
  SpsWriter w;
  w.bits(100, 8);  // profile_idc: High
  w.bits(0, 8);
  w.bits(40, 8);  // level 4.0
  w.ue(0);        // sps id
  w.ue(1);        // chroma 4:2:0
  w.ue(0);
  w.ue(0);
  w.bit(0);
  w.bit(scalingLists ? 1 : 0);
  if (scalingLists) {
    w.bit(1);  // list 0 present: deltas up to a zero next scale
    w.ue(0);   // se(+0): next = 8
    w.ue(16);  // se(-8): next = 0, the list ends
    for (int i = 1; i < 8; ++i) w.bit(0);
  }
  w.ue(0);  // log2_max_frame_num_minus4
  w.ue(1);  // pic_order_cnt_type 1
  w.bit(0);
  w.ue(1);  // se
  w.ue(2);  // se
  w.ue(2);  // two offsets
  w.ue(3);
  w.ue(4);
  w.ue(4);  // max_num_ref_frames
  w.bit(0);
  w.ue(mbsWide - 1);
  w.ue(mbsHigh - 1);
  w.bit(1);  // frame_mbs_only
  w.bit(1);  // direct_8x8
  w.bit(bottom ? 1 : 0);
  if (bottom) {
    w.ue(0);
    w.ue(0);
    w.ue(0);
    w.ue(bottom);
  }
  w.bit(0);  // vui_parameters_present_flag
  return w.nal();
}

TEST(ReadSpsSize, CroppingProfilesAndShortInput) {
  int32_t width = 0, height = 0;
  ASSERT_TRUE(readSpsSize(highProfileSps(120, 68, 4, false), &width, &height));
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
  ASSERT_TRUE(readSpsSize(highProfileSps(40, 23, 0, true), &width, &height));
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 368);

  // The test server's SPS from its SDP (Constrained Baseline).
  const SdpVideo video = parseSdp(
      "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 "
      "sprop-parameter-sets=Z0LAHtoCgL/lwFqDAwNSgAAAAwCAAAAeR4sXUA==,aM48gA==",
      "",
      "rtsp://h:554/");
  ASSERT_TRUE(readSpsSize(video.sps, &width, &height));
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 360);

  EXPECT_FALSE(readSpsSize("\x67\x42\x00", &width, &height));
  // Cropped to nothing.
  EXPECT_FALSE(readSpsSize(highProfileSps(1, 1, 8, false), &width, &height));
}

}  // namespace
}  // namespace pxo
