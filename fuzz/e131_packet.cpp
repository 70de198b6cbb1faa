// Datagrams as they arrive at an E1.31 receiver's port 5568: whatever is
// read as a data packet is one our own sender writes the same way.

#include "scan/e131_wire.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto packet = pxo::parseE131DataPacket(std::span(data, size));
  if (!packet || packet->startCode != 0 || packet->priority > 200 ||
      packet->options & ~pxo::kE131OptionStreamTerminated ||
      packet->sourceName.size() > 63)
    return 0;
  pxo::E131Source source{packet->cid, packet->sourceName, packet->priority};
  const auto again =
      pxo::e131DataPacket(source,
                          packet->universe,
                          packet->sequence,
                          packet->slots,
                          packet->options & pxo::kE131OptionStreamTerminated);
  // Bytes the sender leaves zero (the rest of the name, the sync universe)
  // may hold anything on the wire; the fields read must come out the same.
  const auto read = pxo::parseE131DataPacket(again);
  if (!read || read->slots != packet->slots ||
      read->universe != packet->universe || read->cid != packet->cid ||
      read->sourceName != packet->sourceName)
    __builtin_trap();
  return 0;
}
