#include "platform/state_file.h"
#include "platform/windows/wide_text.h"

#include <algorithm>
#include <cstdlib>

#include <windows.h>

namespace pxo::platform {

namespace {

bool failWith(std::string* error, const std::string& what) {
  if (error)
    *error = what + " (error " + std::to_string(::GetLastError()) + ")";
  return false;
}

}  // namespace

std::filesystem::path userStateFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD size =
      ::GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH + 1);
  if (size == 0 || size > MAX_PATH) return {};
  return std::filesystem::path(std::wstring(buffer, size));
}

bool makePrivateFolder(const std::filesystem::path& folder,
                       std::string* error) {
  if (folder.empty()) {
    if (error)
      *error = "no folder for the user's state (LOCALAPPDATA is not set)";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec && !std::filesystem::is_directory(folder)) {
    if (error) *error = "could not create " + narrow(folder.wstring());
    return false;
  }
  return true;
}

bool replaceFileAtomically(const std::filesystem::path& path,
                           std::string_view bytes,
                           std::string* error) {
  const std::wstring target = path.wstring();
  const std::wstring temporary =
      target + L".tmp-" + std::to_wstring(::GetCurrentProcessId());
  HANDLE file = ::CreateFileW(temporary.c_str(),
                              GENERIC_WRITE,
                              0,
                              nullptr,
                              CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return failWith(error, "could not create " + narrow(temporary));
  size_t written = 0;
  bool ok = true;
  while (ok && written < bytes.size()) {
    const DWORD chunk =
        static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
    DWORD n = 0;
    ok = ::WriteFile(file, bytes.data() + written, chunk, &n, nullptr) && n > 0;
    written += n;
  }
  if (!ok) failWith(error, "could not write " + narrow(temporary));
  if (ok && !::FlushFileBuffers(file)) {
    ok = false;
    failWith(error, "could not flush " + narrow(temporary));
  }
  ::CloseHandle(file);
  if (ok &&
      !::MoveFileExW(temporary.c_str(),
                     target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    failWith(error, "could not replace " + narrow(target));
  }
  if (!ok) ::DeleteFileW(temporary.c_str());
  return ok;
}

}  // namespace pxo::platform
