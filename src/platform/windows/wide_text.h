#pragma once

// UTF-8 text to and from the UTF-16 of Windows' own interfaces (window
// texts, device names, COM strings). Invalid input is replaced, never
// thrown over.

#include <string>
#include <string_view>

#include <windows.h>

namespace pxo::platform {

inline std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = ::MultiByteToWideChar(
      CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0)
    ::MultiByteToWideChar(CP_UTF8,
                          0,
                          utf8.data(),
                          static_cast<int>(utf8.size()),
                          wide.data(),
                          size);
  return wide;
}

inline std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8,
                                         0,
                                         wide.data(),
                                         static_cast<int>(wide.size()),
                                         nullptr,
                                         0,
                                         nullptr,
                                         nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    ::WideCharToMultiByte(CP_UTF8,
                          0,
                          wide.data(),
                          static_cast<int>(wide.size()),
                          utf8.data(),
                          size,
                          nullptr,
                          nullptr);
  return utf8;
}

}  // namespace pxo::platform
