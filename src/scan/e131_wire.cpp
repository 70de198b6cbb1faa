#include "scan/e131_wire.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace pxo {
namespace {

constexpr uint8_t kAcnIdentifier[12] = {
    'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
constexpr uint32_t kVectorRootData = 0x00000004;
constexpr uint32_t kVectorFramingData = 0x00000002;
constexpr uint8_t kVectorDmpSetProperty = 0x02;
constexpr uint8_t kDmpAddressAndDataType = 0xa1;
constexpr size_t kSourceNameBytes = 64;
// Where each layer starts.
constexpr size_t kRootFlagsAt = 16;
constexpr size_t kFramingAt = 38;
constexpr size_t kDmpAt = 115;

void put16(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value);
}

void put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  put16(out, at, value >> 16);
  put16(out, at + 2, value & 0xffff);
}

uint32_t get16(std::span<const uint8_t> in, size_t at) {
  return (uint32_t{in[at]} << 8) | in[at + 1];
}

uint32_t get32(std::span<const uint8_t> in, size_t at) {
  return (get16(in, at) << 16) | get16(in, at + 2);
}

// A layer's flags (0x7) and length: the bytes from `at` to the end.
uint32_t flagsAndLength(size_t total, size_t at) {
  return 0x7000u | static_cast<uint32_t>(total - at);
}

bool layerHolds(std::span<const uint8_t> in, size_t at) {
  const uint32_t word = get16(in, at);
  return (word & 0xf000u) == 0x7000u && (word & 0x0fffu) == in.size() - at;
}

}  // namespace

std::vector<uint8_t> e131DataPacket(const E131Source& source,
                                    uint16_t universe,
                                    uint8_t sequence,
                                    std::span<const uint8_t> slots,
                                    bool streamTerminated) {
  if (universe < 1 || universe > kE131MaxUniverse ||
      slots.size() > static_cast<size_t>(kE131MaxSlots) ||
      source.priority > 200)
    return {};
  const size_t total = kE131HeaderSize + slots.size();
  std::vector<uint8_t> out(total, 0);
  // Root layer.
  put16(out, 0, 0x0010);  // preamble size
  put16(out, 2, 0x0000);  // post-amble size
  std::memcpy(&out[4], kAcnIdentifier, sizeof kAcnIdentifier);
  put16(out, kRootFlagsAt, flagsAndLength(total, kRootFlagsAt));
  put32(out, 18, kVectorRootData);
  std::copy(source.cid.begin(), source.cid.end(), out.begin() + 22);
  // Framing layer.
  put16(out, kFramingAt, flagsAndLength(total, kFramingAt));
  put32(out, 40, kVectorFramingData);
  const size_t nameBytes = std::min(source.name.size(), kSourceNameBytes - 1);
  std::memcpy(&out[44], source.name.data(), nameBytes);
  out[108] = source.priority;
  put16(out, 109, 0);  // no synchronisation universe
  out[111] = sequence;
  out[112] = streamTerminated ? kE131OptionStreamTerminated : 0;
  put16(out, 113, universe);
  // DMP layer.
  put16(out, kDmpAt, flagsAndLength(total, kDmpAt));
  out[117] = kVectorDmpSetProperty;
  out[118] = kDmpAddressAndDataType;
  put16(out, 119, 0x0000);  // first property address
  put16(out, 121, 0x0001);  // address increment
  put16(out, 123, static_cast<uint32_t>(slots.size() + 1));
  out[125] = 0x00;  // null start code
  std::copy(slots.begin(), slots.end(), out.begin() + kE131HeaderSize);
  return out;
}

std::optional<E131Packet> parseE131DataPacket(std::span<const uint8_t> in) {
  if (in.size() < static_cast<size_t>(kE131HeaderSize) ||
      in.size() > static_cast<size_t>(kE131HeaderSize) + kE131MaxSlots)
    return std::nullopt;
  if (get16(in, 0) != 0x0010 || get16(in, 2) != 0 ||
      std::memcmp(&in[4], kAcnIdentifier, sizeof kAcnIdentifier) != 0 ||
      !layerHolds(in, kRootFlagsAt) || get32(in, 18) != kVectorRootData ||
      !layerHolds(in, kFramingAt) || get32(in, 40) != kVectorFramingData ||
      !layerHolds(in, kDmpAt) || in[117] != kVectorDmpSetProperty ||
      in[118] != kDmpAddressAndDataType || get16(in, 119) != 0 ||
      get16(in, 121) != 1 || get16(in, 123) != in.size() - kE131HeaderSize + 1)
    return std::nullopt;
  E131Packet packet;
  std::copy(in.begin() + 22, in.begin() + 38, packet.cid.begin());
  const auto* name = reinterpret_cast<const char*>(&in[44]);
  packet.sourceName.assign(name, strnlen(name, kSourceNameBytes));
  packet.priority = in[108];
  packet.sequence = in[111];
  packet.options = in[112];
  packet.universe = static_cast<uint16_t>(get16(in, 113));
  if (packet.universe < 1 || packet.universe > kE131MaxUniverse)
    return std::nullopt;
  packet.startCode = in[125];
  packet.slots.assign(in.begin() + kE131HeaderSize, in.end());
  return packet;
}

std::vector<UniverseSlots> e131Universes(const E131Layout& layout,
                                         std::span<const uint8_t> frame) {
  if (layout.universeSize < 1 || layout.universeSize > kE131MaxSlots ||
      layout.startChannel < 1 || layout.startChannel > layout.universeSize ||
      layout.firstUniverse < 1)
    return {};
  const auto size = static_cast<size_t>(layout.universeSize);
  const size_t first = static_cast<size_t>(layout.startChannel) - 1;
  const size_t universes = (first + frame.size() + size - 1) / size;
  if (layout.firstUniverse + universes - 1 > kE131MaxUniverse) return {};
  std::vector<UniverseSlots> out;
  for (size_t u = 0; u < universes; ++u) {
    const size_t begin = u * size;  // channels from the first universe's
    const size_t end = std::min(begin + size, first + frame.size());
    UniverseSlots universe;
    universe.universe = static_cast<uint16_t>(layout.firstUniverse + u);
    universe.slots.assign(end - begin, 0);
    for (size_t channel = std::max(begin, first); channel < end; ++channel)
      universe.slots[channel - begin] = frame[channel - first];
    out.push_back(std::move(universe));
  }
  return out;
}

std::string e131MulticastAddress(uint16_t universe) {
  return "239.255." + std::to_string(universe >> 8) + "." +
         std::to_string(universe & 0xff);
}

}  // namespace pxo
