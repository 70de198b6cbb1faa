#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

// Points the user's state folder (where restore records go) somewhere else
// for as long as it lives: $XDG_STATE_HOME on Linux, %LOCALAPPDATA% on
// Windows.

namespace pxo::test {

class ScopedStateFolder {
 public:
  explicit ScopedStateFolder(const std::filesystem::path& folder) {
    if (const char* old = std::getenv(kVariable)) saved_ = old;
    set(folder.string().c_str());
  }
  ~ScopedStateFolder() { set(saved_ ? saved_->c_str() : nullptr); }
  ScopedStateFolder(const ScopedStateFolder&) = delete;
  ScopedStateFolder& operator=(const ScopedStateFolder&) = delete;

 private:
#ifdef _WIN32
  static constexpr char kVariable[] = "LOCALAPPDATA";
  static void set(const char* value) {
    _putenv_s(kVariable, value ? value : "");
  }
#else
  static constexpr char kVariable[] = "XDG_STATE_HOME";
  static void set(const char* value) {
    if (value)
      ::setenv(kVariable, value, 1);
    else
      ::unsetenv(kVariable);
  }
#endif
  std::optional<std::string> saved_;
};

}  // namespace pxo::test
