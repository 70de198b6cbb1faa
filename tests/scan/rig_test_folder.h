#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

// A whole-scan test's own folder, named after the test, with the temporary
// directory pointed into it for as long as the test runs: scans record and
// write models in the temporary directory under fixed names, and tests
// running side by side each get their own. PXO_KEEP keeps the folder.

namespace pxo::test {

class RigTestFolder : public ::testing::Test {
 protected:
  explicit RigTestFolder(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    savedTmp_ = tmp ? std::optional<std::string>(tmp) : std::nullopt;
    dataDir = std::filesystem::temp_directory_path() /
              (prefix_ +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dataDir);
    std::filesystem::create_directories(dataDir / "tmp");
    ::setenv("TMPDIR", (dataDir / "tmp").c_str(), 1);
    entered_ = true;
  }
  void TearDown() override {
    if (!entered_) return;
    if (savedTmp_)
      ::setenv("TMPDIR", savedTmp_->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
    if (!std::getenv("PXO_KEEP")) std::filesystem::remove_all(dataDir);
  }

  std::filesystem::path dataDir;

 private:
  std::string prefix_;
  std::optional<std::string> savedTmp_;
  bool entered_ = false;
};

}  // namespace pxo::test
