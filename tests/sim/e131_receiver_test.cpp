// The rig's E1.31 controller: what our sender sends lights its pixels
// channel for channel, across universes and from a start channel; the
// stream's end and silence both darken it; nothing else is lit.

#include "sim/e131_receiver.h"

#include "scan/e131_sender.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace pxo::sim {
namespace {

using namespace std::chrono_literals;

bool waitForPackets(const E131Receiver& receiver, int64_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (receiver.packetsReceived() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

E131Source testSource() {
  E131Source source;
  source.cid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  source.name = "pixoria test";
  return source;
}

std::vector<uint8_t> frameOf(int32_t pixels, uint8_t salt) {
  std::vector<uint8_t> frame(static_cast<size_t>(pixels) * 3);
  for (size_t i = 0; i < frame.size(); ++i)
    frame[i] = static_cast<uint8_t>(1 + (i * 7 + salt) % 255);
  return frame;
}

TEST(E131Receiver, TwoThousandPixelsOverTwelveUniverses) {
  E131ReceiverConfig config;
  config.layout = {3, 510, 4};
  config.pixels = 2000;
  E131Receiver receiver(config);
  std::string error;
  ASSERT_TRUE(receiver.start(&error)) << error;
  auto sender =
      openE131Sender(receiver.address(), testSource(), config.layout, &error);
  ASSERT_TRUE(sender) << error;
  const std::vector<uint8_t> frame = frameOf(config.pixels, 0);
  ASSERT_EQ(sendE131Frame(*sender, frame), 0);
  // From channel 4 of universe 3: 6,003 slots, twelve universes.
  ASSERT_TRUE(waitForPackets(receiver, 12));
  const auto leds = receiver.allPortLeds().at(1);
  ASSERT_EQ(leds.size(), 2000u);
  for (size_t p = 0; p < leds.size(); ++p) {
    ASSERT_EQ(leds[p],
              (LedColor{frame[3 * p], frame[3 * p + 1], frame[3 * p + 2], 0}))
        << "pixel " << p;
  }
  EXPECT_TRUE(receiver.litOutsideTheString().empty());
  EXPECT_EQ(receiver.malformed(), 0);

  // The end of the stream darkens every universe at once.
  ASSERT_EQ(sendE131StreamTerminated(*sender), 0);
  ASSERT_TRUE(waitForPackets(receiver, 12 + 3 * 12));
  const auto after = receiver.allPortLeds();
  for (const LedColor& led : after.at(1)) ASSERT_FALSE(led.lit());
}

TEST(E131Receiver, TheStripReadsTheControllersOrderInItsOwn) {
  E131ReceiverConfig config;
  config.layout = {1, 510, 1};
  config.pixels = 2;
  config.colorOrder = "RGB";
  config.stripOrder = "GRB";  // wired otherwise than the controller thinks
  config.timeout = 1500ms;
  E131Receiver receiver(config);
  std::string error;
  ASSERT_TRUE(receiver.start(&error)) << error;
  auto sender =
      openE131Sender(receiver.address(), testSource(), config.layout, &error);
  ASSERT_TRUE(sender) << error;
  const std::vector<uint8_t> frame = {10, 20, 30, 40, 50, 60};
  ASSERT_EQ(sendE131Frame(*sender, frame), 0);
  ASSERT_TRUE(waitForPackets(receiver, 1));
  EXPECT_EQ(receiver.allPortLeds().at(1)[1], (LedColor{50, 40, 60, 0}));
  // Silence longer than the timeout: dark, as after a lost network.
  std::this_thread::sleep_for(1700ms);
  EXPECT_FALSE(receiver.allPortLeds().at(1)[1].lit());
}

TEST(E131Receiver, SlotsLitOutsideTheStringAreCounted) {
  E131ReceiverConfig config;
  config.layout = {1, 510, 7};
  config.pixels = 2;  // channels 7 to 12 of universe 1
  E131Receiver receiver(config);
  std::string error;
  ASSERT_TRUE(receiver.start(&error)) << error;
  // Another sender's idea of the layout: the string's pixels one channel
  // early, so channel 6 is lit and channel 12 is not.
  auto sender =
      openE131Sender(receiver.address(), testSource(), {1, 510, 6}, &error);
  ASSERT_TRUE(sender) << error;
  ASSERT_EQ(sendE131Frame(*sender, frameOf(2, 1)), 0);
  ASSERT_TRUE(waitForPackets(receiver, 1));
  EXPECT_EQ(receiver.litOutsideTheString(),
            (std::vector<std::pair<uint16_t, int32_t>>{{1, 6}}));

  config.layout.startChannel = 600;
  E131Receiver bad(config);
  EXPECT_FALSE(bad.start(&error));
  EXPECT_EQ(error, "the receiver's layout is out of range");
}

}  // namespace
}  // namespace pxo::sim
