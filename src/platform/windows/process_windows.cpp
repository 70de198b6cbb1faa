#include "platform/process.h"

#include <cstdio>

#include <io.h>
#include <windows.h>
// After windows.h.
#include <shellapi.h>

namespace pxo::platform {
namespace {

std::string utf8FromWide(const wchar_t* text) {
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(
      CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.pop_back();  // the terminating NUL
  return result;
}

}  // namespace

uint32_t processId() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

bool standardOutputIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  ::SetConsoleOutputCP(CP_UTF8);
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> result;
  result.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) result.push_back(utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return result;
}

}  // namespace pxo::platform
