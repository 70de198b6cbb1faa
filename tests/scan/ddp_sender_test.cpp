#include "scan/ddp_sender.h"

#include "sim/ddp_receiver.h"

#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace pxo {
namespace {

using namespace std::chrono_literals;
using sim::DdpPacket;

// A receiver on a loopback address of this test's own, and a sender to it.
class DdpWire : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(receiver.valid()) << "no free loopback address for port 4048";
    sender.reset(openDdpSender(receiver.address().c_str()));
    ASSERT_TRUE(sender);
  }

  std::vector<DdpPacket> receiveAll(size_t expected) {
    std::vector<DdpPacket> packets;
    while (packets.size() < expected) {
      auto packet = receiver.receive(2s);
      if (!packet) break;
      packets.push_back(std::move(*packet));
    }
    return packets;
  }

  bool nothingMore() { return !receiver.receive(50ms).has_value(); }

  static std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    return data;
  }

  sim::DdpReceiver receiver;
  DdpSenderPtr sender;
};

TEST_F(DdpWire, SplitsAFrameIntoFullPacketsAndARest) {
  auto data = pattern(3000);
  ASSERT_EQ(sendDdpFrame(sender.get(), data, 0), 0);
  auto packets = receiveAll(3);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_TRUE(nothingMore());

  // Header bytes as the controller's own sender writes them.
  const uint8_t headers[3][10] = {
      {0x40, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0xa0},
      {0x40, 0x02, 0x00, 0x01, 0x00, 0x00, 0x05, 0xa0, 0x05, 0xa0},
      {0x41, 0x03, 0x00, 0x01, 0x00, 0x00, 0x0b, 0x40, 0x00, 0x78}};
  const size_t sizes[3] = {1440, 1440, 120};
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    const DdpPacket& p = packets[i];
    EXPECT_EQ(p.flags, headers[i][0]);
    EXPECT_EQ(p.sequence, headers[i][1]);
    EXPECT_EQ(p.dataType, headers[i][2]);
    EXPECT_EQ(p.destination, headers[i][3]);
    EXPECT_EQ(p.offset, at);
    EXPECT_FALSE(p.hasTimecode);
    ASSERT_EQ(p.payload.size(), sizes[i]);
    EXPECT_TRUE(
        std::equal(p.payload.begin(), p.payload.end(), data.begin() + at));
    at += sizes[i];
  }
}

TEST_F(DdpWire, ExactlyOnePayloadIsOnePushPacket) {
  ASSERT_EQ(sendDdpFrame(sender.get(), pattern(1440), 0), 0);
  auto packets = receiveAll(1);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].flags, 0x41);
  EXPECT_EQ(packets[0].payload.size(), 1440u);
  EXPECT_TRUE(nothingMore());
}

TEST_F(DdpWire, StartOffsetShiftsEveryPacket) {
  ASSERT_EQ(sendDdpFrame(sender.get(), pattern(1441), 1500), 0);
  auto packets = receiveAll(2);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].offset, 1500u);
  EXPECT_EQ(packets[1].offset, 2940u);
  EXPECT_EQ(packets[1].payload.size(), 1u);
  EXPECT_EQ(packets[0].flags, 0x40);
  EXPECT_EQ(packets[1].flags, 0x41);
}

TEST_F(DdpWire, SequenceRunsOneToFifteenAndNeverZero) {
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(sendDdpFrame(sender.get(), pattern(10), 0), 0);
  auto packets = receiveAll(20);
  ASSERT_EQ(packets.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(packets[i].sequence, i % 15 + 1) << i;
  EXPECT_EQ(sender->sequence, 6);
}

TEST_F(DdpWire, BlackoutSendsZeros) {
  ASSERT_EQ(sendDdpBlackout(sender.get(), 2000), 0);
  auto packets = receiveAll(2);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].payload, std::vector<uint8_t>(1440, 0));
  EXPECT_EQ(packets[1].payload, std::vector<uint8_t>(560, 0));
  EXPECT_EQ(sendDdpBlackout(sender.get(), 0), 0);
  EXPECT_TRUE(nothingMore());
}

TEST_F(DdpWire, BadArgumentsSendNothing) {
  auto data = pattern(100);
  EXPECT_EQ(sendDdpFrame(nullptr, data, 0), -1);
  EXPECT_EQ(sendDdpFrame(sender.get(), data, -1), -1);
  EXPECT_EQ(sendDdpFrame(sender.get(), {}, 0), 0);
  // A frame whose end the 32-bit offset field cannot address.
  EXPECT_EQ(sendDdpFrame(sender.get(), data, 0xFFFFFFFFLL - 50), -1);
  EXPECT_EQ(sendDdpFrame(sender.get(), data, 0xFFFFFFFFLL - 99), 0);
  auto packets = receiveAll(1);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].offset, 0xFFFFFFFFu - 99);
  EXPECT_EQ(packets[0].sequence, 1) << "a refused frame used a sequence number";
  EXPECT_EQ(sendDdpBlackout(nullptr, 10), -1);
  EXPECT_TRUE(nothingMore());
}

TEST_F(DdpWire, TwoThreadsNeverSplitAFramesSequence) {
  // Each thread sends 40 three-packet frames, every byte of a frame holding
  // the frame's own tag, so each packet can be traced to its frame.
  constexpr int kFrames = 40;
  auto sendAll = [&](int thread) {
    for (int f = 0; f < kFrames; ++f) {
      std::vector<uint8_t> frame(3000, static_cast<uint8_t>(thread * 64 + f));
      ASSERT_EQ(sendDdpFrame(sender.get(), frame, 0), 0);
    }
  };
  std::thread a(sendAll, 1), b(sendAll, 2);
  auto packets = receiveAll(2 * kFrames * 3);
  a.join();
  b.join();
  ASSERT_EQ(packets.size(), size_t{2 * kFrames * 3});

  // The packets of one frame arrive together, in order, with consecutive
  // sequence numbers; and the stream as a whole never repeats or skips one.
  for (size_t i = 0; i < packets.size(); ++i) {
    const DdpPacket& p = packets[i];
    EXPECT_EQ(p.offset, (i % 3) * 1440) << i;
    EXPECT_EQ(p.payload.front(), packets[i - i % 3].payload.front()) << i;
    EXPECT_EQ(p.sequence, i % 15 + 1) << i;
  }
  std::map<uint8_t, int> frames;
  for (size_t i = 0; i < packets.size(); i += 3)
    ++frames[packets[i].payload[0]];
  EXPECT_EQ(frames.size(), size_t{2 * kFrames});
}

TEST(OpenDdpSender, AcceptsTheAddressAsTheHttpClientDoes) {
  sim::DdpReceiver receiver;
  ASSERT_TRUE(receiver.valid());
  const std::string& host = receiver.address();
  for (const std::string& typed : {host,
                                   "http://" + host + ":8080/",
                                   "  " + host + "//",
                                   "\t" + host + ":80",
                                   "fpp://" + host}) {
    DdpSenderPtr sender(openDdpSender(typed.c_str()));
    ASSERT_TRUE(sender) << "'" << typed << "'";
    uint8_t byte = 42;
    ASSERT_EQ(sendDdpFrame(sender.get(), std::span(&byte, 1), 7), 0);
    auto packet = receiver.receive(2s);
    ASSERT_TRUE(packet) << "nothing arrived for '" << typed << "'";
    EXPECT_EQ(packet->offset, 7u);
    EXPECT_EQ(packet->payload, std::vector<uint8_t>{42});
  }
}

TEST(OpenDdpSender, FailsWithoutAHost) {
  EXPECT_EQ(openDdpSender(nullptr), nullptr);
  EXPECT_EQ(openDdpSender(""), nullptr);
  EXPECT_EQ(openDdpSender("  //"), nullptr);
  EXPECT_EQ(openDdpSender(":4048"), nullptr);
  closeDdpSender(nullptr);
}

}  // namespace
}  // namespace pxo
