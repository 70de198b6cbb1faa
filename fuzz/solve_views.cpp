// Any bytes as the views of a multi-view solve: decoded LED positions can
// hold anything a camera saw, duplicates and out-of-picture values
// included. The solve must end with a result or none, never crash, and a
// result must be sorted by ID with finite coordinates, and account for
// every view given.
//
// Layout: views (1 byte), field of view (1 byte, 0: searched), then
// records of view (1), ID (2, signed), estimated (1), x (4), y (4).

#include "recon3d/reconstruct.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t viewCount = 1 + data[0] % 4;
  const double fov = data[1] == 0 ? 0 : data[1] * 0.75;
  std::vector<pxo::ScanView> views(viewCount);
  for (pxo::ScanView& view : views) {
    view.width = 1024;
    view.height = 576;
  }
  constexpr size_t kRecord = 12;
  for (size_t at = 2; at + kRecord <= size && at < 2 + 400 * kRecord;
       at += kRecord) {
    int16_t id;
    float x, y;
    std::memcpy(&id, data + at + 1, 2);
    std::memcpy(&x, data + at + 4, 4);
    std::memcpy(&y, data + at + 8, 4);
    views[data[at] % viewCount].points.push_back(
        {id, x, y, (data[at + 3] & 1) != 0});
  }
  pxo::FovChoice chosen;
  pxo::Solve3DResultPtr result = pxo::solveViews(views, fov, &chosen);
  if (!result) return 0;
  if (result->pointCount != static_cast<int32_t>(result->points.size()))
    __builtin_trap();
  for (size_t i = 0; i < result->points.size(); ++i) {
    const pxo::Point3D& p = result->points[i];
    if (i > 0 && !(result->points[i - 1].id < p.id)) __builtin_trap();
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
      __builtin_trap();
  }
  if (result->fit.views.size() != viewCount) __builtin_trap();
  for (const pxo::SolveFit::LeftOut& out : result->fit.leftOut)
    if (out.view < 0 || static_cast<size_t>(out.view) >= viewCount ||
        result->fit.views[static_cast<size_t>(out.view)].used)
      __builtin_trap();
  (void)pxo::solveSummary(
      *result, static_cast<int32_t>(viewCount), chosen.fovDeg);
  (void)pxo::solveDetails(*result);
  (void)pxo::ledsTakenAway(*result, *result);
  (void)pxo::fovChoiceText(chosen);
  return 0;
}
