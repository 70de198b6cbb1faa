// E1.31 data packets as ANSI E1.31-2018 lays them out, byte for byte, and
// read back as a receiver reads them.

#include "scan/e131_wire.h"

#include "scan/e131_sender.h"

#include <chrono>
#include <map>
#include <numeric>

#include <gtest/gtest.h>

namespace pxo {
namespace {

E131Source testSource() {
  E131Source source;
  for (size_t i = 0; i < source.cid.size(); ++i)
    source.cid[i] = static_cast<uint8_t>(0xa0 + i);
  source.name = "pixoria scan";
  source.priority = 150;
  return source;
}

// The fields at the offsets the standard gives (section 4, table 4-1).
TEST(E131Wire, AFullUniverseByteForByte) {
  std::vector<uint8_t> slots(512);
  std::iota(slots.begin(), slots.end(), 0);
  const auto packet = e131DataPacket(testSource(), 0x1234, 7, slots, false);
  ASSERT_EQ(packet.size(), 638u);
  const std::vector<uint8_t> root = {0x00, 0x10, 0x00, 0x00, 'A', 'S', 'C', '-',
                                     'E',  '1',  '.',  '1',  '7', 0,   0,   0,
                                     0x72, 0x6e, 0,    0,    0,   4};
  EXPECT_EQ(std::vector<uint8_t>(packet.begin(), packet.begin() + 22), root);
  EXPECT_EQ(packet[22], 0xa0);
  EXPECT_EQ(packet[37], 0xaf);
  // Framing layer: length 600, vector 2, name, priority, sync, sequence,
  // options, universe.
  EXPECT_EQ(packet[38], 0x72);
  EXPECT_EQ(packet[39], 0x58);
  EXPECT_EQ(packet[43], 0x02);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&packet[44])),
            "pixoria scan");
  EXPECT_EQ(packet[107], 0);
  EXPECT_EQ(packet[108], 150);
  EXPECT_EQ(packet[109], 0);
  EXPECT_EQ(packet[110], 0);
  EXPECT_EQ(packet[111], 7);
  EXPECT_EQ(packet[112], 0);
  EXPECT_EQ(packet[113], 0x12);
  EXPECT_EQ(packet[114], 0x34);
  // DMP layer: length 523, set property, 0xa1, address 0, increment 1,
  // 513 values, the null start code, then the slots.
  const std::vector<uint8_t> dmp = {
      0x72, 0x0b, 0x02, 0xa1, 0, 0, 0, 1, 0x02, 0x01, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 115, packet.begin() + 126),
            dmp);
  EXPECT_EQ(packet[126], 0);
  EXPECT_EQ(packet[637], 255);
}

TEST(E131Wire, ReadBackAndRefused) {
  E131Source source = testSource();
  source.name = std::string(80, 'n');  // cut to 63 bytes and a terminator
  const std::vector<uint8_t> slots = {1, 2, 3};
  const auto packet = e131DataPacket(source, 1, 255, slots, true);
  const auto read = parseE131DataPacket(packet);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->cid, source.cid);
  EXPECT_EQ(read->sourceName, std::string(63, 'n'));
  EXPECT_EQ(read->universe, 1);
  EXPECT_EQ(read->sequence, 255);
  EXPECT_EQ(read->options, kE131OptionStreamTerminated);
  EXPECT_EQ(read->slots, slots);

  EXPECT_TRUE(e131DataPacket(source, 0, 0, slots, false).empty());
  EXPECT_TRUE(e131DataPacket(source, 64000, 0, slots, false).empty());
  EXPECT_TRUE(
      e131DataPacket(source, 1, 0, std::vector<uint8_t>(513), false).empty());
  source.priority = 201;
  EXPECT_TRUE(e131DataPacket(source, 1, 0, slots, false).empty());

  // A length that does not add up, a cut packet, another vector.
  auto broken = packet;
  broken.push_back(0);
  EXPECT_FALSE(parseE131DataPacket(broken));
  broken = packet;
  broken.pop_back();
  EXPECT_FALSE(parseE131DataPacket(broken));
  broken = packet;
  broken[21] = 8;  // an extended (discovery or sync) packet
  EXPECT_FALSE(parseE131DataPacket(broken));
}

// 2,000 RGB pixels over 12 universes of 510 channels, from channel 4 of
// universe 10: every byte once, at its own channel, no universe longer
// than it must be.
TEST(E131Wire, AFrameCutIntoUniverses) {
  std::vector<uint8_t> frame(6000);
  for (size_t i = 0; i < frame.size(); ++i)
    frame[i] = static_cast<uint8_t>(i * 7 + 1);
  const E131Layout layout{10, 510, 4};
  const auto universes = e131Universes(layout, frame);
  ASSERT_EQ(universes.size(), 12u);
  EXPECT_EQ(universes.front().universe, 10);
  EXPECT_EQ(universes.back().universe, 21);
  EXPECT_EQ(universes.back().slots.size(), (3 + 6000) - 11 * 510);
  // The slots before the start channel go out as 0.
  EXPECT_EQ(universes[0].slots[0], 0);
  EXPECT_EQ(universes[0].slots[2], 0);
  size_t at = 0;
  for (size_t u = 0; u < universes.size(); ++u) {
    EXPECT_LE(universes[u].slots.size(), 510u);
    for (size_t s = u == 0 ? 3 : 0; s < universes[u].slots.size(); ++s)
      ASSERT_EQ(universes[u].slots[s], frame[at++]) << "universe " << u;
  }
  EXPECT_EQ(at, frame.size());

  EXPECT_TRUE(e131Universes({1, 0, 1}, frame).empty());
  EXPECT_TRUE(e131Universes({1, 513, 1}, frame).empty());
  EXPECT_TRUE(e131Universes({1, 510, 511}, frame).empty());
  EXPECT_TRUE(e131Universes({63995, 510, 1}, frame).empty());
  EXPECT_EQ(e131Universes({63988, 510, 1}, frame).back().universe, 63999);
}

// A frame sent to a receiver on loopback arrives universe by universe,
// each with its own sequence; the end of the scan says so three times per
// universe with the slots it last had.
TEST(E131Sender, AFrameReachesAReceiverAndTheStreamEnds) {
  platform::SocketAddress local;
  ASSERT_TRUE(platform::makeIPv4Address("127.0.0.1", 0, &local));
  std::string error;
  platform::UdpSocket receiver = platform::UdpSocket::bind(local, &error);
  ASSERT_TRUE(receiver.valid()) << error;
  auto sender = openE131Sender("127.0.0.1",
                               testSource(),
                               {3, 510, 1},
                               &error,
                               receiver.localAddress().port());
  ASSERT_TRUE(sender) << error;
  std::vector<uint8_t> frame(1200);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(sendE131Frame(*sender, frame), 0);
  ASSERT_EQ(sendE131Frame(*sender, frame), 0);
  ASSERT_EQ(sendE131StreamTerminated(*sender), 0);
  std::map<uint16_t, std::vector<uint8_t>> sequences;
  int terminated = 0;
  std::vector<uint8_t> received;
  for (int i = 0; i < 3 * 2 + 3 * 3; ++i) {
    std::vector<uint8_t> buffer(700);
    const long n = receiver.receiveFrom(
        buffer.data(), buffer.size(), std::chrono::milliseconds(2000));
    ASSERT_GT(n, 0) << "datagram " << i;
    buffer.resize(static_cast<size_t>(n));
    const auto packet = parseE131DataPacket(buffer);
    ASSERT_TRUE(packet) << "datagram " << i;
    sequences[packet->universe].push_back(packet->sequence);
    if (packet->options & kE131OptionStreamTerminated) ++terminated;
    if (i < 3)
      received.insert(
          received.end(), packet->slots.begin(), packet->slots.end());
  }
  EXPECT_EQ(received, frame);
  EXPECT_EQ(terminated, 9);
  ASSERT_EQ(sequences.size(), 3u);
  for (const auto& [universe, numbers] : sequences)
    EXPECT_EQ(numbers, (std::vector<uint8_t>{0, 1, 2, 3, 4})) << universe;

  EXPECT_FALSE(openE131Sender("127.0.0.1", testSource(), {1, 600, 1}, &error));
  EXPECT_EQ(error, "the universe layout is out of range");
}

TEST(E131Wire, MulticastGroupOfAUniverse) {
  EXPECT_EQ(e131MulticastAddress(1), "239.255.0.1");
  EXPECT_EQ(e131MulticastAddress(0x1234), "239.255.18.52");
  EXPECT_EQ(e131MulticastAddress(63999), "239.255.249.255");
}

}  // namespace
}  // namespace pxo
