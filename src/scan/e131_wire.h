#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// E1.31 (streaming DMX over ACN, ANSI E1.31-2018) data packets: the root,
// framing and DMP layers around one universe of up to 512 slots, as a
// receiver the show already drives takes them.
//
//   E131Source source{cid, "pixoria", 100};
//   auto packet = e131DataPacket(source, 1, sequence++, slots, false);
//
// Only data packets with the null start code; no synchronisation and no
// universe discovery.

namespace pxo {

inline constexpr uint16_t kE131Port = 5568;
inline constexpr int32_t kE131HeaderSize = 126;
inline constexpr int32_t kE131MaxSlots = 512;
inline constexpr uint16_t kE131MaxUniverse = 63999;
inline constexpr uint8_t kE131OptionPreview = 0x80;
inline constexpr uint8_t kE131OptionStreamTerminated = 0x40;
inline constexpr uint8_t kE131DefaultPriority = 100;

struct E131Source {
  // The component identifier, kept per installation (a UUID's 16 bytes).
  std::array<uint8_t, 16> cid{};
  // Shown by receivers; at most 63 bytes of UTF-8 go out.
  std::string name;
  uint8_t priority = kE131DefaultPriority;  // 0 … 200
};

// One data packet for `universe` (1 … 63999) with `slots` (at most 512)
// after the null start code. Empty for a universe or slot count out of
// range, or a priority above 200.
std::vector<uint8_t> e131DataPacket(const E131Source& source,
                                    uint16_t universe,
                                    uint8_t sequence,
                                    std::span<const uint8_t> slots,
                                    bool streamTerminated);

// A data packet as a receiver reads it.
struct E131Packet {
  std::array<uint8_t, 16> cid{};
  std::string sourceName;
  uint8_t priority = 0;
  uint8_t sequence = 0;
  uint8_t options = 0;
  uint16_t universe = 0;
  uint8_t startCode = 0;
  std::vector<uint8_t> slots;
};

// Reads a data packet; nothing for anything else (another vector, lengths
// that do not add up, a universe out of range, more than 512 slots).
std::optional<E131Packet> parseE131DataPacket(std::span<const uint8_t> bytes);

// Where a scan's channels go in the receiver's universes: the frame's
// first byte at `startChannel` (1-based) of `firstUniverse`, each universe
// holding `universeSize` channels (510: 170 RGB pixels, none split).
struct E131Layout {
  uint16_t firstUniverse = 1;
  int32_t universeSize = 510;
  int32_t startChannel = 1;
};

struct UniverseSlots {
  uint16_t universe = 0;
  std::vector<uint8_t> slots;  // from the universe's first slot
};

// The frame cut into universes, each up to its last channel the frame
// fills. E1.31 has no offset: a universe always goes out from its first
// slot, so the slots before the start channel in the first universe go out
// as 0. Empty when the layout is out of range (size 1 … 512, start channel
// within the first universe) or the frame runs past universe 63999.
std::vector<UniverseSlots> e131Universes(const E131Layout& layout,
                                         std::span<const uint8_t> frame);

// The multicast group of a universe: 239.255.hi.lo.
std::string e131MulticastAddress(uint16_t universe);

}  // namespace pxo
