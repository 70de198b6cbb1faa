// The E1.31 source identifier: one per installation, kept across runs, a
// damaged file replaced, and a run that cannot keep it still sends.

#include "scan/e131_source.h"

#include "controller/state_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace pxo {
namespace {

namespace fs = std::filesystem;

class E131Source : public ::testing::Test {
 protected:
  E131Source()
      : folder_(
            fs::temp_directory_path() /
            (std::string("pxo-cid-") +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() +
             "-" + std::to_string(std::rand()))),
        state_(folder_) {}
  ~E131Source() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  fs::path cidFile() const { return folder_ / "pixoria" / "e131-cid"; }
  std::string readCidFile() const {
    std::ifstream in(cidFile(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path folder_;
  test::ScopedStateFolder state_;
};

TEST(UuidText, WrittenAndReadBack) {
  const E131Cid cid = {0x12,
                       0x34,
                       0x56,
                       0x78,
                       0x9a,
                       0xbc,
                       0x4d,
                       0xef,
                       0x80,
                       0x01,
                       0x02,
                       0x03,
                       0x04,
                       0x05,
                       0x06,
                       0xff};
  EXPECT_EQ(uuidText(cid), "12345678-9abc-4def-8001-0203040506ff");
  EXPECT_EQ(parseUuidText(" 12345678-9ABC-4DEF-8001-0203040506FF\r\n"), cid);
  for (const char* bad : {"",
                          "12345678-9abc-4def-8001-0203040506f",
                          "12345678-9abc-4def-8001-0203040506fff",
                          "123456789abc-4def-8001-0203040506ff-",
                          "12345678-9abc-4def-8001-0203040506fg"})
    EXPECT_FALSE(parseUuidText(bad)) << bad;
}

TEST_F(E131Source, MadeOnceAndKept) {
  E131Cid first{};
  std::string warning;
  ASSERT_TRUE(installationE131Cid(&first, &warning));
  EXPECT_EQ(warning, "");
  EXPECT_EQ(first[6] >> 4, 4);       // a version 4 UUID
  EXPECT_EQ(first[8] & 0xC0, 0x80);  // of RFC 4122's variant
  EXPECT_EQ(readCidFile(), uuidText(first) + "\n");
#ifndef _WIN32
  struct stat info {};
  ASSERT_EQ(::stat(cidFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
  E131Cid again{};
  ASSERT_TRUE(installationE131Cid(&again, &warning));
  EXPECT_EQ(again, first);
}

TEST_F(E131Source, ADamagedFileIsReplaced) {
  fs::create_directories(cidFile().parent_path());
  {
    std::ofstream out(cidFile(), std::ios::binary);
    out << "not a uuid\n";
  }
  E131Cid cid{};
  std::string warning;
  ASSERT_TRUE(installationE131Cid(&cid, &warning));
  EXPECT_EQ(warning, "");
  EXPECT_EQ(readCidFile(), uuidText(cid) + "\n");
}

TEST_F(E131Source, ARunThatCannotKeepItStillSends) {
  // A file where the state folder should be: nothing can be kept there.
  {
    std::ofstream out(folder_, std::ios::binary);
    out << "in the way";
  }
  E131Cid first{}, second{};
  std::string warning;
  ASSERT_TRUE(installationE131Cid(&first, &warning));
  EXPECT_NE(warning.find("could not be kept"), std::string::npos) << warning;
  ASSERT_TRUE(installationE131Cid(&second, &warning));
  EXPECT_NE(first, second);
}

}  // namespace
}  // namespace pxo
