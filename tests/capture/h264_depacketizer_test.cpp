#include "capture/rtsp/h264_depacketizer.h"

#include "capture/rtsp/rtsp_text.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

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
// cropped at the bottom by `bottom` crop units; `vui` writes the VUI (none
// without it).
std::string highProfileSps(
    uint32_t mbsWide,
    uint32_t mbsHigh,
    uint32_t bottom,
    bool scalingLists,
    uint32_t level = 40,
    const std::function<void(SpsWriter&)>& vui = nullptr) {
  SpsWriter w;
  w.bits(100, 8);  // profile_idc: High
  w.bits(0, 8);
  w.bits(level, 8);
  w.ue(0);  // sps id
  w.ue(1);  // chroma 4:2:0
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
  w.bit(vui ? 1 : 0);  // vui_parameters_present_flag
  if (vui) vui(w);
  return w.nal();
}

// hrd_parameters() with `count` CPB specifications.
void writeHrd(SpsWriter& w, uint32_t count) {
  w.ue(count - 1);
  w.bits(4, 4);
  w.bits(3, 4);
  for (uint32_t i = 0; i < count; ++i) {
    w.ue(2000 + i);
    w.ue(4000 + i);
    w.bit(i & 1);
  }
  w.bits(23, 5);
  w.bits(23, 5);
  w.bits(23, 5);
  w.bits(24, 5);
}

// A VUI with every optional part present before the bitstream restriction,
// as broadcast encoders write it.
void fullVui(SpsWriter& w, uint32_t reorder, uint32_t buffering) {
  w.bit(1);  // aspect_ratio_info_present_flag
  w.bits(255, 8);
  w.bits(4, 16);
  w.bits(3, 16);
  w.bit(1);  // overscan_info_present_flag
  w.bit(0);
  w.bit(1);  // video_signal_type_present_flag
  w.bits(5, 3);
  w.bit(1);
  w.bit(1);  // colour_description_present_flag
  w.bits(1, 8);
  w.bits(1, 8);
  w.bits(1, 8);
  w.bit(1);  // chroma_loc_info_present_flag
  w.ue(1);
  w.ue(1);
  w.bit(1);  // timing_info_present_flag
  w.bits(1001, 32);
  w.bits(60000, 32);
  w.bit(1);
  w.bit(1);  // nal_hrd_parameters_present_flag
  writeHrd(w, 3);
  w.bit(1);  // vcl_hrd_parameters_present_flag
  writeHrd(w, 1);
  w.bit(0);  // low_delay_hrd_flag
  w.bit(1);  // pic_struct_present_flag
  w.bit(1);  // bitstream_restriction_flag
  w.bit(1);
  w.ue(2);
  w.ue(1);
  w.ue(16);
  w.ue(16);
  w.ue(reorder);
  w.ue(buffering);
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

// The reorder depth a stream declares, read through every VUI part before
// it; where it has none, the level's picture buffer for the stream's size.
TEST(ReadSps, TheReorderDepthFromTheVuiOrTheLevel) {
  SpsFacts facts;
  const std::string full = highProfileSps(
      80, 45, 0, true, 31, [](SpsWriter& w) { fullVui(w, 2, 4); });
  ASSERT_TRUE(readSps(full, &facts));
  EXPECT_EQ(facts.width, 1280);
  EXPECT_EQ(facts.height, 720);
  EXPECT_EQ(facts.level, 31u);
  EXPECT_EQ(facts.maxNumReorderFrames, 2);
  EXPECT_EQ(facts.maxDecFrameBuffering, 4);
  EXPECT_EQ(facts.maxDpbFrames, 5);  // 18000 / (80 × 45)
  auto depth = reorderDepthOf(facts);
  ASSERT_TRUE(depth);
  EXPECT_EQ(depth->frames, 2);
  EXPECT_EQ(depth->from, "sps");

  // No VUI: 1080p at level 4.0 holds 4 pictures.
  ASSERT_TRUE(readSps(highProfileSps(120, 68, 4, false), &facts));
  EXPECT_FALSE(facts.maxNumReorderFrames);
  depth = reorderDepthOf(facts);
  ASSERT_TRUE(depth);
  EXPECT_EQ(depth->frames, 4);
  EXPECT_EQ(depth->from, "level");

  // A VUI without a bitstream restriction says nothing either.
  ASSERT_TRUE(readSps(highProfileSps(120,
                                     68,
                                     4,
                                     false,
                                     40,
                                     [](SpsWriter& w) {
                                       for (int i = 0; i < 9; ++i) w.bit(0);
                                     }),
                      &facts));
  EXPECT_FALSE(facts.maxNumReorderFrames);
  EXPECT_EQ(reorderDepthOf(facts)->from, "level");

  // Cut short inside the VUI, or out of range: the size still holds, the
  // restriction is not taken.
  ASSERT_TRUE(readSps(full.substr(0, full.size() - 4), &facts));
  EXPECT_EQ(facts.width, 1280);
  EXPECT_FALSE(facts.maxNumReorderFrames);
  ASSERT_TRUE(
      readSps(highProfileSps(
                  80, 45, 0, false, 31, [](SpsWriter& w) { fullVui(w, 5, 4); }),
              &facts));
  EXPECT_FALSE(facts.maxNumReorderFrames);
  EXPECT_EQ(reorderDepthOf(facts)->frames, 5);

  // A level the standard does not have: nothing known.
  ASSERT_TRUE(readSps(highProfileSps(80, 45, 0, false, 7), &facts));
  EXPECT_FALSE(reorderDepthOf(facts));
}

// The first SPS of an Annex B file.
std::string firstSpsOf(const char* name) {
  std::ifstream in(
      std::filesystem::path(PXO_SOURCE_DIR) / "tests" / "data" / "media" / name,
      std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)),
                        std::istreambuf_iterator<char>());
  for (size_t at = all.find(std::string("\0\0\1", 3)); at != std::string::npos;
       at = all.find(std::string("\0\0\1", 3), at + 3)) {
    if ((all[at + 3] & 0x1f) != 7) continue;
    std::string unit =
        all.substr(at + 3, all.find(std::string("\0\0\1", 3), at + 3) - at - 3);
    while (!unit.empty() && unit.back() == 0) unit.pop_back();
    return unit;
  }
  return "";
}

// What x264 writes (the samples' encoder, and most cameras' kind): a VUI
// with the bitstream restriction, no reordering without B-frames, two
// places with two B-frames in x264's pyramid.
TEST(ReadSps, WhatX264Declares) {
  SpsFacts facts;
  ASSERT_TRUE(readSps(firstSpsOf("stream.h264"), &facts));
  EXPECT_EQ(facts.maxNumReorderFrames, 0);
  ASSERT_TRUE(readSps(firstSpsOf("stream_bframes.h264"), &facts));
  EXPECT_EQ(facts.maxNumReorderFrames, 2);
}

TEST(ReadSps, MaxDpbFramesByLevelAndSize) {
  EXPECT_EQ(maxDpbFramesFor(9, 11, 9), 4);     // 1b, QCIF
  EXPECT_EQ(maxDpbFramesFor(11, 22, 18), 2);   // 1.1, CIF
  EXPECT_EQ(maxDpbFramesFor(30, 45, 36), 5);   // 3.0, 720 × 576
  EXPECT_EQ(maxDpbFramesFor(41, 120, 68), 4);  // 4.1, 1080p
  EXPECT_EQ(maxDpbFramesFor(51, 20, 12), 16);  // capped
  EXPECT_EQ(maxDpbFramesFor(62, 240, 135), 16);
  EXPECT_EQ(maxDpbFramesFor(42, 0, 0), 0);
  EXPECT_EQ(maxDpbFramesFor(8, 20, 12), 0);
}

}  // namespace
}  // namespace pxo
