#include "output/led_map.h"

#include "json/json.h"
#include "platform/utf8_path.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

namespace pxo {

namespace {

bool fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return false;
}

}  // namespace

bool buildLedMapJson(std::string_view name,
                     int32_t width,
                     int32_t height,
                     int32_t depth,
                     std::span<const int32_t> cells,
                     int32_t firstLed,
                     std::string* text,
                     std::string* error) {
  if (width <= 0 || height <= 0 || depth <= 0)
    return fail(error, "no grid to map");
  if (depth > 1)
    return fail(error,
                "an LED map is flat; this grid has " + std::to_string(depth) +
                    " layers");
  const int64_t count = int64_t{width} * height;
  if (count > kMaxLedMapCells)
    return fail(error,
                "a " + std::to_string(width) + " x " + std::to_string(height) +
                    " grid is too large for an LED map");
  if (cells.size() < static_cast<size_t>(count))
    return fail(error, "the grid has fewer cells than its size");
  if (firstLed < 0) return fail(error, "the first LED's index is negative");

  std::vector<int32_t> ids;
  std::string map;
  map.reserve(static_cast<size_t>(count) * 4);
  for (int64_t cell = 0; cell < count; ++cell) {
    const int32_t id = cells[static_cast<size_t>(cell)];
    if (cell > 0) map += ',';
    if (id <= 0) {
      map += "-1";
      continue;
    }
    if (int64_t{firstLed} + id - 1 > INT32_MAX)
      return fail(error,
                  "LED " + std::to_string(id) + " is past the last index");
    ids.push_back(id);
    map += std::to_string(firstLed + id - 1);
  }
  if (ids.empty()) return fail(error, "no LED to map");
  // Each ID once: a second cell for an ID would drive one LED from two
  // places of the map.
  std::sort(ids.begin(), ids.end());
  const auto twice = std::adjacent_find(ids.begin(), ids.end());
  if (twice != ids.end())
    return fail(error, "LED " + std::to_string(*twice) + " sits in two cells");

  std::string out = "{\"n\":";
  appendJsonString(name, &out);
  out += ",\"width\":" + std::to_string(width) +
         ",\"height\":" + std::to_string(height) + ",\"map\":[";
  out += map;
  out += "]}\n";
  *text = std::move(out);
  return true;
}

std::string writeLedMapFile(const std::string& directory,
                            std::string_view name,
                            int32_t width,
                            int32_t height,
                            int32_t depth,
                            std::span<const int32_t> cells,
                            int32_t firstLed,
                            std::string* error) {
  std::string text;
  if (!buildLedMapJson(
          name, width, height, depth, cells, firstLed, &text, error))
    return "";
  const std::filesystem::path path =
      platform::pathFromUtf8(directory) / kLedMapFileName;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (file) file.close();
  if (!file) {
    fail(error, "could not write " + platform::pathToUtf8(path));
    return "";
  }
  return platform::pathToUtf8(path);
}

}  // namespace pxo
