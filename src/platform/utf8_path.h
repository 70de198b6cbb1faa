#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Paths cross the library's edges as UTF-8 text (the exports, the command
// line, JSON files, messages). std::filesystem::path's narrow constructor
// and string() use the process's code page, which on Windows is not UTF-8,
// so every conversion between text and a path goes through these two.

namespace pxo::platform {

inline std::filesystem::path pathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string pathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace pxo::platform
