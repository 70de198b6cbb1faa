// The controller's LED map as its loader reads it: width × height entries,
// every LED's index exactly once, -1 elsewhere.

#include "output/led_map.h"

#include "json/json.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::string build(std::span<const int32_t> cells,
                  int32_t width,
                  int32_t height,
                  int32_t firstLed,
                  std::string* error,
                  int32_t depth = 1) {
  std::string text;
  if (!buildLedMapJson(
          "Bush \"A\"", width, height, depth, cells, firstLed, &text, error))
    return "";
  return text;
}

TEST(LedMap, CellsRowByRowWithTheOutputsIndices) {
  const std::vector<int32_t> cells = {1, 0, 3, 0, 2, -1};
  std::string error;
  EXPECT_EQ(build(cells, 3, 2, 0, &error),
            "{\"n\":\"Bush \\\"A\\\"\",\"width\":3,\"height\":2,"
            "\"map\":[0,-1,2,-1,1,-1]}\n");
  // The prop starts at LED 50 of the controller's output.
  const std::string shifted = build(cells, 3, 2, 50, &error);
  EXPECT_NE(shifted.find("\"map\":[50,-1,52,-1,51,-1]"), std::string::npos);
}

TEST(LedMap, ALoaderFindsEveryLedOnce) {
  // A 40 × 25 grid with 300 LEDs scattered over it, as a scan snaps them.
  const int32_t width = 40, height = 25;
  std::vector<int32_t> cells(width * height, 0);
  for (int32_t id = 1; id <= 300; ++id) cells[(id * 37) % cells.size()] = id;
  std::string error;
  JsonValue doc;
  ASSERT_TRUE(parseJsonDocument(build(cells, width, height, 0, &error), &doc))
      << error;
  EXPECT_EQ(getInt(doc, "width", 0), width);
  EXPECT_EQ(getInt(doc, "height", 0), height);
  const JsonValue* map = findMember(doc, "map");
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(map->array.size(), static_cast<size_t>(width * height));
  std::set<int32_t> indices;
  int32_t empty = 0;
  for (const JsonValue& entry : map->array) {
    const int32_t index = jsonToInt(entry, -2);
    if (index == -1) {
      ++empty;
      continue;
    }
    EXPECT_TRUE(indices.insert(index).second) << index << " twice";
  }
  EXPECT_EQ(indices.size(), 300u);
  EXPECT_EQ(*indices.begin(), 0);
  EXPECT_EQ(*indices.rbegin(), 299);
  EXPECT_EQ(empty, width * height - 300);
}

TEST(LedMap, RefusesWhatNoLoaderCouldUse) {
  std::string error;
  const std::vector<int32_t> twice = {1, 2, 1, 0};
  EXPECT_EQ(build(twice, 2, 2, 0, &error), "");
  EXPECT_EQ(error, "LED 1 sits in two cells");
  const std::vector<int32_t> none = {0, 0, 0, 0};
  EXPECT_EQ(build(none, 2, 2, 0, &error), "");
  EXPECT_EQ(error, "no LED to map");
  const std::vector<int32_t> layered = {1, 2, 3, 4};
  EXPECT_EQ(build(layered, 1, 2, 0, &error, 2), "");
  EXPECT_EQ(error, "an LED map is flat; this grid has 2 layers");
  EXPECT_EQ(build(layered, 3, 2, 0, &error), "");
  EXPECT_EQ(error, "the grid has fewer cells than its size");
  EXPECT_EQ(build(layered, 0, 2, 0, &error), "");
  EXPECT_EQ(build(layered, 2048, 1024, 0, &error), "");
  EXPECT_EQ(error, "a 2048 x 1024 grid is too large for an LED map");
  const std::vector<int32_t> one = {2};
  EXPECT_EQ(build(one, 1, 1, INT32_MAX, &error), "");
  EXPECT_EQ(error, "LED 2 is past the last index");
}

TEST(LedMap, WrittenAsTheControllersFileName) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("pxo-ledmap-" +
       std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(folder);
  const std::vector<int32_t> cells = {2, 1};
  std::string error;
  const std::string path =
      writeLedMapFile(folder.string(), "Wreath", 2, 1, 1, cells, 0, &error);
  ASSERT_FALSE(path.empty()) << error;
  EXPECT_EQ(std::filesystem::path(path).filename(), "ledmap.json");
  std::ostringstream text;
  {
    std::ifstream in(path, std::ios::binary);
    text << in.rdbuf();
  }  // closed: Windows removes no open file
  EXPECT_EQ(text.str(),
            "{\"n\":\"Wreath\",\"width\":2,\"height\":1,\"map\":[1,0]}\n");
  EXPECT_TRUE(writeLedMapFile(
                  (folder / "missing").string(), "W", 2, 1, 1, cells, 0, &error)
                  .empty());
  EXPECT_NE(error.find("could not write"), std::string::npos);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  EXPECT_FALSE(ec) << ec.message();
}

}  // namespace
}  // namespace pxo
