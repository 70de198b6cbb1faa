#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The component identifier (CID) this installation sends E1.31 with. A
// receiver tells its sources apart by CID, so one installation keeps one:
// a random UUID (version 4) made on first use and kept in the user's state
// folder as "pixoria/e131-cid", its 36-character text and a newline.

namespace pxo {

using E131Cid = std::array<uint8_t, 16>;

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower case.
std::string uuidText(const E131Cid& cid);

// The UUID in `text` (surrounding white space allowed), either case.
std::optional<E131Cid> parseUuidText(std::string_view text);

// This installation's CID: the kept one, or a new one that is kept from
// now on (also when the kept file was damaged). False only when no random
// bytes could be had. When the CID cannot be kept (no state folder, a
// folder that cannot be written) it still serves this run, and `warning`
// says why it was not kept.
[[nodiscard]] bool installationE131Cid(E131Cid* cid, std::string* warning);

}  // namespace pxo
