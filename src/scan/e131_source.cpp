#include "scan/e131_source.h"

#include "codec/hex.h"
#include "platform/random.h"
#include "platform/state_file.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pxo {

namespace {

constexpr size_t kUuidTextSize = 36;
// Anything longer is no CID file of ours.
constexpr std::streamsize kMaxCidFileBytes = 256;

bool isDashAt(size_t at) { return at == 8 || at == 13 || at == 18 || at == 23; }

std::filesystem::path cidPath() {
  const std::filesystem::path state = platform::userStateFolder();
  if (state.empty()) return {};
  return state / "pixoria" / "e131-cid";
}

std::optional<E131Cid> readKeptCid(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMaxCidFileBytes, '\0');
  in.read(text.data(), kMaxCidFileBytes);
  text.resize(static_cast<size_t>(in.gcount()));
  return parseUuidText(text);
}

}  // namespace

std::string uuidText(const E131Cid& cid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(kUuidTextSize);
  for (size_t i = 0; i < cid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kDigits[cid[i] >> 4];
    text += kDigits[cid[i] & 15];
  }
  return text;
}

std::optional<E131Cid> parseUuidText(std::string_view text) {
  auto isSpace = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  if (text.size() != kUuidTextSize) return std::nullopt;
  E131Cid cid{};
  size_t byte = 0;
  for (size_t at = 0; at < text.size();) {
    if (isDashAt(at)) {
      if (text[at] != '-') return std::nullopt;
      ++at;
      continue;
    }
    const int high = hexDigitValue(text[at]);
    const int low = hexDigitValue(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    cid[byte++] = static_cast<uint8_t>(high << 4 | low);
    at += 2;
  }
  return cid;
}

bool installationE131Cid(E131Cid* cid, std::string* warning) {
  if (warning) warning->clear();
  const std::filesystem::path path = cidPath();
  if (!path.empty()) {
    if (const auto kept = readKeptCid(path)) {
      *cid = *kept;
      return true;
    }
  }
  E131Cid fresh{};
  if (!platform::secureRandom(fresh.data(), fresh.size())) return false;
  fresh[6] = static_cast<uint8_t>((fresh[6] & 0x0F) | 0x40);  // version 4
  fresh[8] = static_cast<uint8_t>((fresh[8] & 0x3F) | 0x80);  // RFC 4122
  *cid = fresh;
  std::string why;
  if (path.empty()) {
    why = "no state folder (no home folder)";
  } else if (platform::makePrivateFolder(path.parent_path(), &why)) {
    if (platform::replaceFileAtomically(path, uuidText(fresh) + "\n", &why))
      return true;
  }
  if (warning)
    *warning = "the E1.31 source identifier could not be kept (" + why +
               "); receivers will see a new source next time";
  return true;
}

}  // namespace pxo
