#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// A pixel controller's own 2D LED map, as WLED keeps it in "ledmap.json":
//
//   {"n":"Bush","width":3,"height":2,"map":[0,-1,2,-1,1,-1]}
//
// one entry per cell of the grid, row by row from the top left, each the
// index of the LED that sits there on the controller's output and -1 for
// an empty cell. Every LED of the grid stands in the map exactly once.
// Pure functions apart from writeLedMapFile.

namespace pxo {

// The file name the controller loads its map from.
inline constexpr char kLedMapFileName[] = "ledmap.json";

// The largest map built: far above any prop a controller of this kind
// drives, and small enough that the text stays a few megabytes.
inline constexpr int64_t kMaxLedMapCells = 1 << 20;

// The map of a grid whose cells hold LED IDs (1 is the prop's first LED;
// <= 0 empty), layer 0 only. `firstLed` is the controller's index of the
// prop's first LED (the output's start). False, with why, for a grid that
// has no cells, more than one layer, more cells than kMaxLedMapCells, or an
// ID in two cells.
[[nodiscard]] bool buildLedMapJson(std::string_view name,
                                   int32_t width,
                                   int32_t height,
                                   int32_t depth,
                                   std::span<const int32_t> cells,
                                   int32_t firstLed,
                                   std::string* text,
                                   std::string* error);

// Writes the map as "ledmap.json" in `directory` (replacing one there) and
// returns its path; empty, with why, when the map cannot be built or
// written.
std::string writeLedMapFile(const std::string& directory,
                            std::string_view name,
                            int32_t width,
                            int32_t height,
                            int32_t depth,
                            std::span<const int32_t> cells,
                            int32_t firstLed,
                            std::string* error);

}  // namespace pxo
