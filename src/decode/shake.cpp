#include "decode/shake.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace pxo {

TranslationField TranslationField::meanField() const {
  TranslationField mean;
  mean.width = width;
  mean.height = height;
  const int32_t frames = frameCount();
  mean.shifts.resize(static_cast<size_t>(frames));
  for (int32_t f = 0; f < frames; ++f) {
    Shift sum;
    for (int32_t k = 0; k < tileCount(); ++k) {
      sum.dx += at(f, k).dx;
      sum.dy += at(f, k).dy;
    }
    mean.shifts[static_cast<size_t>(f)] = {sum.dx / tileCount(),
                                           sum.dy / tileCount()};
  }
  return mean;
}

TranslationField TranslationField::zero(int32_t frames,
                                        int32_t width,
                                        int32_t height) {
  TranslationField field;
  field.width = width;
  field.height = height;
  field.shifts.assign(static_cast<size_t>(std::max(frames, 0)), Shift{});
  return field;
}

RowShifter::RowShifter(const TranslationField& field, int32_t frame, double y)
    : field_(field), row0_(nullptr), row1_(nullptr), fv_(0), single_(false) {
  const int32_t tx = field.tilesX, ty = field.tilesY;
  const Shift* frameShifts = &field.at(frame, 0);
  if (tx < 2 && ty < 2) {
    single_ = true;
    row0_ = frameShifts;
    return;
  }
  double v = ty < 2 ? 0 : ty * y / field.height - 0.5;
  double fj = std::floor(v);
  fv_ = v - fj;
  auto j0 = static_cast<int32_t>(std::clamp(fj, 0.0, double(ty - 1)));
  auto j1 = static_cast<int32_t>(std::clamp(fj + 1, 0.0, double(ty - 1)));
  row0_ = frameShifts + static_cast<ptrdiff_t>(j0) * tx;
  row1_ = frameShifts + static_cast<ptrdiff_t>(j1) * tx;
}

Shift RowShifter::at(double x) const {
  if (single_) return row0_[0];
  const int32_t tx = field_.tilesX;
  double u = tx < 2 ? 0 : tx * x / field_.width - 0.5;
  // u >= -0.5 for x >= 0; floor without a library call.
  double fi =
      u < 0 ? std::floor(u) : static_cast<double>(static_cast<int64_t>(u));
  double fu = u - fi;
  auto i0 = static_cast<int32_t>(std::clamp(fi, 0.0, double(tx - 1)));
  auto i1 = static_cast<int32_t>(std::clamp(fi + 1, 0.0, double(tx - 1)));
  const Shift& a = row0_[i0];
  const Shift& b = row0_[i1];
  const Shift& c = row1_[i0];
  const Shift& d = row1_[i1];
  Shift top{a.dx + (b.dx - a.dx) * fu, a.dy + (b.dy - a.dy) * fu};
  Shift bottom{c.dx + (d.dx - c.dx) * fu, c.dy + (d.dy - c.dy) * fu};
  return {top.dx + (bottom.dx - top.dx) * fv_,
          top.dy + (bottom.dy - top.dy) * fv_};
}

Shift shiftAt(const TranslationField& field,
              int32_t frame,
              double x,
              double y) {
  return RowShifter(field, frame, y).at(x);
}

ReducedImage reduceFrame(const FramePlanes& frame,
                         int32_t width,
                         int32_t height,
                         int32_t downsample,
                         SimdMode mode) {
  const int32_t ds = std::max(downsample, 1);
  ReducedImage out;
  out.width = std::max(1, width / ds);
  out.height = std::max(1, height / ds);
  out.pixels.assign(static_cast<size_t>(out.width) * out.height, 0);
  auto span = [](int32_t i, int32_t full, int32_t reduced) {
    int64_t a = int64_t{i} * full / reduced;
    int64_t b = std::max(
        a + 1, std::min(int64_t{i + 1} * full / reduced, int64_t{full}));
    return std::pair<int32_t, int32_t>(static_cast<int32_t>(a),
                                       static_cast<int32_t>(b));
  };
  // Each reduced row: the three planes' rows of its block folded into one
  // row of maxima, then each block's columns.
  std::vector<std::pair<int32_t, int32_t>> columns;
  columns.reserve(static_cast<size_t>(out.width));
  for (int32_t i = 0; i < out.width; ++i)
    columns.push_back(span(i, width, out.width));
  std::vector<uint8_t> folded(static_cast<size_t>(width));
  for (int32_t j = 0; j < out.height; ++j) {
    auto [y0, y1] = span(j, height, out.height);
    std::fill(folded.begin(), folded.end(), uint8_t{0});
    for (int32_t y = y0; y < y1; ++y) {
      const size_t row = static_cast<size_t>(y) * width;
      for (int c = 0; c < 3; ++c)
        maxInPlace(folded.data(), frame.plane[c].data() + row, width, mode);
    }
    for (int32_t i = 0; i < out.width; ++i) {
      const auto [x0, x1] = columns[static_cast<size_t>(i)];
      uint8_t m = 0;
      for (int32_t x = x0; x < x1; ++x) m = std::max(m, folded[x]);
      out.pixels[static_cast<size_t>(j) * out.width + i] = m;
    }
  }
  return out;
}

namespace {

// A drift sample further than this from the drift line, in reduced
// pixels, is left out of the drift fit; the lines tried run through the
// samples taken after this share of the scan (whose shift over time is
// steadier than the first few's).
constexpr double kDriftToleranceReduced = 1.5;
constexpr double kDriftRatioFrom = 0.2;

// Cost of offset (ox, oy) over rows y0 ... y1 - 1 and columns x0 ... x1 - 1 of
// the reference; only pixels whose shifted position lies inside the moving
// image count. Stops once the cost reaches `stopAt`.
// A candidate offset's cost: the sum of absolute differences over the
// pixels whose shifted position lies inside the moving image, and how many
// those are. Offsets are compared by the mean (sum / count): a plain sum
// would make every offset that pushes pixels out of the picture look
// cheaper, and border tiles over plain background would "move" on a still
// camera.
struct OffsetCost {
  uint64_t sum = 0;
  uint64_t count = 0;
  // Strictly cheaper than `other` (exact, by cross-multiplication).
  bool cheaperThan(const OffsetCost& other) const {
    if (count == 0) return false;
    if (other.count == 0) return true;
    return static_cast<unsigned __int128>(sum) * other.count <
           static_cast<unsigned __int128>(other.sum) * count;
  }
  // A mean under kClearWinNum / kClearWinDen of `other`'s (never for a tie,
  // not even of two perfect matches).
  bool clearlyCheaperThan(const OffsetCost& other) const {
    if (count == 0) return false;
    if (other.count == 0) return true;
    return static_cast<unsigned __int128>(sum) * other.count * kClearWinDen <
           static_cast<unsigned __int128>(other.sum) * count * kClearWinNum;
  }
  static constexpr unsigned kClearWinNum = 1;
  static constexpr unsigned kClearWinDen = 2;
};

// Sums row by row and stops early once the mean can no longer beat `best`.
OffsetCost offsetCost(const ReducedImage& ref,
                      const ReducedImage& mov,
                      int32_t ox,
                      int32_t oy,
                      int32_t x0,
                      int32_t x1,
                      int32_t y0,
                      int32_t y1,
                      const OffsetCost* best,
                      SimdMode mode) {
  int32_t xa = std::max(x0, -ox), xb = std::min(x1, mov.width - ox);
  int32_t ya = std::max(y0, -oy), yb = std::min(y1, mov.height - oy);
  OffsetCost cost;
  if (xa >= xb || ya >= yb) return cost;
  cost.count = static_cast<uint64_t>(xb - xa) * static_cast<uint64_t>(yb - ya);
  // The sum at which this offset's mean reaches the best one's.
  uint64_t stopAt = UINT64_MAX;
  if (best && best->count > 0)
    stopAt = static_cast<uint64_t>(
        (static_cast<unsigned __int128>(best->sum) * cost.count + best->count -
         1) /
        best->count);
  for (int32_t y = ya; y < yb; ++y) {
    cost.sum += sumAbsDiff(
        ref.pixels.data() + static_cast<size_t>(y) * ref.width + xa,
        mov.pixels.data() + static_cast<size_t>(y + oy) * mov.width + xa + ox,
        xb - xa,
        mode);
    if (cost.sum >= stopAt) return cost;
  }
  return cost;
}

uint8_t blockMax(
    const ReducedImage& image, int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
  uint8_t m = 0;
  for (int32_t y = y0; y < y1; ++y)
    for (int32_t x = x0; x < x1; ++x)
      m = std::max(m, image.pixels[static_cast<size_t>(y) * image.width + x]);
  return m;
}

double wrapAngle(double a) {
  while (a > std::numbers::pi) a -= 2 * std::numbers::pi;
  while (a < -std::numbers::pi) a += 2 * std::numbers::pi;
  return a;
}

}  // namespace

namespace {

// The offset of `mov` against `ref` over a region (columns x0 ... x1 - 1,
// rows y0 ... y1 - 1), searched within `radius` of `centre`: the best
// within a reduced pixel of the centre, unless one further out matches
// clearly better. A prop of LEDs in rows matches nearly as well one LED
// spacing away, and a region with little in it matches compression noise
// anywhere: a far offset has to beat the near one clearly.
std::pair<int32_t, int32_t> nearUnlessFarClearlyBetter(
    const ReducedImage& ref,
    const ReducedImage& mov,
    std::pair<int32_t, int32_t> centre,
    int32_t radius,
    int32_t x0,
    int32_t x1,
    int32_t y0,
    int32_t y1,
    SimdMode mode) {
  std::pair<int32_t, int32_t> near = centre, far = centre;
  OffsetCost nearCost = offsetCost(
      ref, mov, centre.first, centre.second, x0, x1, y0, y1, nullptr, mode);
  OffsetCost farCost;
  for (int32_t oy = -radius; oy <= radius; ++oy)
    for (int32_t ox = -radius; ox <= radius; ++ox) {
      const int32_t cx = centre.first + ox, cy = centre.second + oy;
      const bool isNear = std::abs(ox) <= 1 && std::abs(oy) <= 1;
      OffsetCost& kept = isNear ? nearCost : farCost;
      OffsetCost cost = offsetCost(
          ref, mov, cx, cy, x0, x1, y0, y1, kept.count ? &kept : nullptr, mode);
      if (cost.cheaperThan(kept)) {
        kept = cost;
        (isNear ? near : far) = {cx, cy};
      }
    }
  return farCost.clearlyCheaperThan(nearCost) ? far : near;
}

}  // namespace

std::vector<std::pair<int32_t, int32_t>> measureOffsets(
    const ReducedImage& ref,
    const ReducedImage& mov,
    int32_t radius,
    int32_t tilesX,
    int32_t tilesY,
    std::span<const TileCentre> priorCentres,
    SimdMode mode) {
  const int32_t tx = std::max(tilesX, 1), ty = std::max(tilesY, 1);
  std::vector<std::pair<int32_t, int32_t>> offsets(static_cast<size_t>(tx) * ty,
                                                   {0, 0});
  if (radius < 0) return offsets;

  // The whole picture's offset, near rest: a prop of LEDs on a regular
  // lattice matches nearly as well a whole number of spacings away (and a
  // frame's pattern of lit LEDs may even favour such an offset a little),
  // and taking the best of all would move every tile onto other LEDs.
  const std::pair<int32_t, int32_t> whole = nearUnlessFarClearlyBetter(
      ref, mov, {0, 0}, radius, 0, ref.width, 0, ref.height, mode);
  if (tx * ty == 1) {
    offsets[0] = whole;
    return offsets;
  }

  for (int32_t j = 0; j < ty; ++j) {
    int32_t y0 = j * ref.height / ty, y1 = (j + 1) * ref.height / ty;
    for (int32_t i = 0; i < tx; ++i) {
      int32_t x0 = i * ref.width / tx, x1 = (i + 1) * ref.width / tx;
      size_t k = static_cast<size_t>(j) * tx + i;
      std::pair<int32_t, int32_t> centre = whole;
      if (k < priorCentres.size() && priorCentres[k].given)
        centre = {priorCentres[k].ox, priorCentres[k].oy};
      if (x0 >= x1 || y0 >= y1 || blockMax(mov, x0, x1, y0, y1) < 16) {
        offsets[k] = centre;  // nothing to lock on to
        continue;
      }
      offsets[k] = nearUnlessFarClearlyBetter(
          ref, mov, centre, radius, x0, x1, y0, y1, mode);
    }
  }
  return offsets;
}

namespace {

struct TileBounds {
  int32_t x0, x1, y0, y1;
};

// Tile k's pixels in a reduced image, as measureOffsets splits it.
TileBounds tileBounds(const ReducedImage& image,
                      int32_t tilesX,
                      int32_t tilesY,
                      size_t k) {
  const int32_t tx = std::max(tilesX, 1), ty = std::max(tilesY, 1);
  const auto i = static_cast<int32_t>(k % static_cast<size_t>(tx));
  const auto j = static_cast<int32_t>(k / static_cast<size_t>(tx));
  return {i * image.width / tx,
          (i + 1) * image.width / tx,
          j * image.height / ty,
          (j + 1) * image.height / ty};
}

// The whole-pixel offset refined to a fraction of a reduced pixel: the
// mean absolute difference is V-shaped about the true offset, and the
// V through the costs either side (an equiangular fit) puts its tip
// there. A slow drift of a pixel or two over a scan is otherwise all or
// nothing. Tiles with nothing to lock on to keep the whole offset.
Shift subPixelOffset(const ReducedImage& ref,
                     const ReducedImage& mov,
                     int32_t ox,
                     int32_t oy,
                     const TileBounds& tile,
                     SimdMode mode) {
  Shift shift{double(ox), double(oy)};
  if (tile.x0 >= tile.x1 || tile.y0 >= tile.y1 ||
      blockMax(mov, tile.x0, tile.x1, tile.y0, tile.y1) < 16)
    return shift;
  auto mean = [&](int32_t x, int32_t y) {
    const OffsetCost cost = offsetCost(
        ref, mov, x, y, tile.x0, tile.x1, tile.y0, tile.y1, nullptr, mode);
    return cost.count ? double(cost.sum) / double(cost.count) : -1.0;
  };
  const double centre = mean(ox, oy);
  auto tip = [&](double before, double after) {
    if (before < 0 || after < 0) return 0.0;
    const double rise = std::max(before, after) - centre;
    if (!(rise > 0)) return 0.0;
    return std::clamp((before - after) / (2 * rise), -0.5, 0.5);
  };
  shift.dx += tip(mean(ox - 1, oy), mean(ox + 1, oy));
  shift.dy += tip(mean(ox, oy - 1), mean(ox, oy + 1));
  return shift;
}

struct ShiftSample {
  double time;
  std::vector<Shift> shift;  // per tile
};

struct StepFit {
  bool found = false;
  double time = 0;  // the step falls between two samples; frames from here
};

struct TileStep {
  Shift slope;
  Shift step;
};

// The drift of one series of shifts (`shiftOf` each sample): the line
// through rest that explains the samples best, each sample's miss counted
// up to `tolerance` (a sample further off costs no more), refined by least
// squares over the samples within it (`inlier` marks them). A lattice of
// LEDs now and then lets a frame match a spacing or more away; such
// samples are left out rather than tilting the line. The lines tried run
// through rest and each sample taken after the first share of the scan
// (whose shift over time is steadier than the first few's), and rest
// itself. A bumped camera's step is the step fit's to find.
template <typename ShiftOf>
Shift robustDrift(const std::vector<ShiftSample>& samples,
                  double t0,
                  ShiftOf shiftOf,
                  double tolerance,
                  std::vector<uint8_t>* inlier) {
  auto miss = [&](const ShiftSample& s, const Shift& line) {
    const double d = s.time - t0;
    const Shift v = shiftOf(s);
    return std::hypot(v.dx - line.dx * d, v.dy - line.dy * d);
  };
  auto cost = [&](const Shift& line) {
    double sum = 0;
    for (const ShiftSample& s : samples)
      sum += std::min(std::pow(miss(s, line), 2), tolerance * tolerance);
    return sum;
  };
  auto leastSquares = [&](const Shift& line) {
    double dd = 0, dx = 0, dy = 0;
    for (const ShiftSample& s : samples) {
      if (miss(s, line) > tolerance) continue;
      const double d = s.time - t0;
      dd += d * d;
      dx += d * shiftOf(s).dx;
      dy += d * shiftOf(s).dy;
    }
    return dd <= 1e-9 ? line : Shift{dx / dd, dy / dd};
  };
  double longest = 0;
  for (const ShiftSample& s : samples) longest = std::max(longest, s.time - t0);
  Shift best;
  double least = cost(best);
  for (const ShiftSample& s : samples) {
    const double d = s.time - t0;
    if (d < kDriftRatioFrom * longest || d <= 1e-9) continue;
    const Shift line{shiftOf(s).dx / d, shiftOf(s).dy / d};
    const double c = cost(line);
    if (c < least) {
      least = c;
      best = line;
    }
  }
  for (int round = 0; round < 2; ++round) best = leastSquares(best);
  if (inlier) {
    inlier->clear();
    for (const ShiftSample& s : samples)
      inlier->push_back(miss(s, best) <= tolerance);
  }
  return best;
}

// Least squares of the series (d_i, v_i) against v = a·d, and against
// v = a·d + h·[d ≥ split]: the residual sums and the second fit.
struct LineAndStep {
  double lineResidual = 0;
  double stepResidual = 0;
  double slope = 0;
  double step = 0;
};

LineAndStep fitLineAndStep(const std::vector<std::pair<double, double>>& dv,
                           double split) {
  LineAndStep r;
  double dd = 0, dv1 = 0;
  for (auto [d, v] : dv) {
    dd += d * d;
    dv1 += d * v;
  }
  const double a0 = dd > 1e-9 ? dv1 / dd : 0;
  for (auto [d, v] : dv) r.lineResidual += (v - a0 * d) * (v - a0 * d);
  // Normal equations for (a, h).
  double sdd = 0, sdi = 0, sii = 0, sdv = 0, siv = 0;
  for (auto [d, v] : dv) {
    const double i = d >= split ? 1.0 : 0.0;
    sdd += d * d;
    sdi += d * i;
    sii += i * i;
    sdv += d * v;
    siv += i * v;
  }
  const double det = sdd * sii - sdi * sdi;
  if (std::fabs(det) < 1e-9) {
    r.stepResidual = r.lineResidual;
    r.slope = a0;
    return r;
  }
  r.slope = (sdv * sii - sdi * siv) / det;
  r.step = (sdd * siv - sdi * sdv) / det;
  for (auto [d, v] : dv) {
    const double e = v - r.slope * d - (d >= split ? r.step : 0);
    r.stepResidual += e * e;
  }
  return r;
}

// The split between consecutive samples (in time) whose step fit of the
// tiles' mean shift leaves the least residual, when that step is at least
// one reduced pixel and leaves under a quarter of the line's residual.
StepFit findStep(const std::vector<ShiftSample>& samples,
                 double t0,
                 int32_t tiles,
                 int32_t downsample) {
  StepFit best;
  if (samples.size() < 6) return best;
  std::vector<std::pair<double, Shift>> mean;
  for (const ShiftSample& s : samples) {
    Shift m;
    for (const Shift& v : s.shift) {
      m.dx += v.dx / tiles;
      m.dy += v.dy / tiles;
    }
    mean.push_back({s.time - t0, m});
  }
  std::sort(mean.begin(), mean.end(), [](const auto& a, const auto& b) {
    return a.first < b.first;
  });
  std::vector<std::pair<double, double>> xs, ys;
  for (const auto& [d, m] : mean) {
    xs.push_back({d, m.dx});
    ys.push_back({d, m.dy});
  }
  double bestResidual = -1, lineResidual = 0, bestStep = 0;
  // Both sides keep at least two samples.
  for (size_t i = 2; i + 2 <= mean.size(); ++i) {
    const double split = (mean[i - 1].first + mean[i].first) / 2;
    if (mean[i].first - mean[i - 1].first < 1e-9) continue;
    const LineAndStep fx = fitLineAndStep(xs, split);
    const LineAndStep fy = fitLineAndStep(ys, split);
    const double residual = fx.stepResidual + fy.stepResidual;
    lineResidual = fx.lineResidual + fy.lineResidual;
    if (bestResidual < 0 || residual < bestResidual) {
      bestResidual = residual;
      best.time = split + t0;
      bestStep = std::hypot(fx.step, fy.step);
    }
  }
  best.found = bestResidual >= 0 && bestStep >= downsample &&
               bestResidual < 0.25 * lineResidual;
  return best;
}

TileStep fitSlopeAndStep(const std::vector<ShiftSample>& samples,
                         double t0,
                         int32_t tile,
                         double splitTime) {
  std::vector<std::pair<double, double>> xs, ys;
  for (const ShiftSample& s : samples) {
    xs.push_back({s.time - t0, s.shift[static_cast<size_t>(tile)].dx});
    ys.push_back({s.time - t0, s.shift[static_cast<size_t>(tile)].dy});
  }
  const LineAndStep fx = fitLineAndStep(xs, splitTime - t0);
  const LineAndStep fy = fitLineAndStep(ys, splitTime - t0);
  return {{fx.slope, fy.slope}, {fx.step, fy.step}};
}

// The tiles and scales one estimate works in.
struct ShakeGrid {
  int32_t tx = 1, ty = 1, tiles = 1;
  int32_t ds = 1;  // the reduction's block size
  // Decoded-frame pixels per reference pixel, and reference pixels per
  // reduced pixel.
  double refScaleX = 1, refScaleY = 1;
  double sx = 1, sy = 1;
};

ShakeGrid shakeGrid(const DecodeOptions& options) {
  ShakeGrid grid;
  grid.tx = options.tilesX < 2 ? 1 : options.tilesX;
  grid.ty = options.tilesY < 2 ? 1 : options.tilesY;
  grid.tiles = grid.tx * grid.ty;
  grid.ds = std::max(options.shakeDownsample, 1);
  grid.refScaleX =
      options.refWidth > 0 ? options.refWidth / options.width : 1.0;
  grid.refScaleY =
      options.refHeight > 0 ? options.refHeight / options.height : 1.0;
  grid.sx = grid.ds * grid.refScaleX;
  grid.sy = grid.ds * grid.refScaleY;
  return grid;
}

// Measures each flood frame and each bit pair (a frame and its complement
// together light every LED) against the reference frame: the samples of
// the shift over time, the reference's own (all zero) first.
class ShiftSampler {
 public:
  ShiftSampler(std::span<const FramePlanes> frames,
               std::span<const double> times,
               const DecodeOptions& options,
               const ShakeGrid& grid,
               int32_t reference,
               SimdMode mode)
      : frames_(frames),
        times_(times),
        options_(options),
        grid_(grid),
        reference_(reference),
        mode_(mode),
        ref_(reduce(reference)) {
    const double* prior = options.orientationPrior;
    usePrior_ = prior && options.priorFocalX > 0 && options.priorFocalY > 0 &&
                grid.tiles > 1 && priorUsable(reference);
  }

  std::vector<ShiftSample> sample(const FrameTables& tables) {
    samples_.push_back(
        {timeOf(reference_), std::vector<Shift>(grid_.tiles, Shift{})});
    for (int c = 1; c < 3; ++c) {
      int32_t f = options_.floodFrames[c];
      if (!valid(f) || f == reference_) continue;
      int32_t one[1] = {f};
      measure(reduce(f), one, timeOf(f));
    }
    for (int32_t b = 0; b < tables.idBits; ++b)
      for (int32_t p = 0; p < tables.passes; ++p) {
        int32_t on = tables.bit(b, p), off = tables.bitComplement(b, p);
        if (!valid(on) || !valid(off)) continue;
        ReducedImage both = reduce(on);
        ReducedImage other = reduce(off);
        maxInPlace(both.pixels.data(),
                   other.pixels.data(),
                   static_cast<int>(both.pixels.size()),
                   mode_);
        int32_t pair[2] = {on, off};
        measure(both, pair, (timeOf(on) + timeOf(off)) / 2);
      }
    return std::move(samples_);
  }

 private:
  double timeOf(int32_t f) const {
    return f >= 0 && static_cast<size_t>(f) < times_.size() ? times_[f] : 0.0;
  }
  bool valid(int32_t f) const {
    return f >= 0 && f < static_cast<int32_t>(frames_.size());
  }
  ReducedImage reduce(int32_t f) const {
    return reduceFrame(
        frames_[f], options_.width, options_.height, grid_.ds, mode_);
  }
  bool priorUsable(int32_t f) const {
    const double* angles = options_.orientationPrior + ptrdiff_t{3} * f;
    return !std::isnan(angles[0]) && !std::isnan(angles[1]) &&
           !std::isnan(angles[2]);
  }

  // Where the orientation prior expects each tile's offset for the frames
  // `fs` (their mean turn from the reference frame); none without a usable
  // prior.
  std::vector<TileCentre> centresFor(std::span<const int32_t> fs) const {
    std::vector<TileCentre> centres;
    if (!usePrior_) return centres;
    const double* prior = options_.orientationPrior;
    double pdx = 0, pdy = 0, roll = 0;
    for (int32_t f : fs) {
      if (!priorUsable(f)) return centres;
      const double* a = prior + ptrdiff_t{3} * reference_;
      const double* b = prior + ptrdiff_t{3} * f;
      pdx += wrapAngle(b[1] - a[1]) * options_.priorFocalX / grid_.sx;
      pdy += wrapAngle(b[0] - a[0]) * options_.priorFocalY / grid_.sy;
      roll += wrapAngle(b[2] - a[2]);
    }
    double n = double(fs.size());
    pdx /= n;
    pdy /= n;
    roll /= n;
    for (int32_t j = 0; j < grid_.ty; ++j)
      for (int32_t i = 0; i < grid_.tx; ++i) {
        // Tile bounds are whole reduced pixels, as in measureOffsets.
        int32_t rows2 =
            j * ref_.height / grid_.ty + (j + 1) * ref_.height / grid_.ty;
        int32_t cols2 =
            i * ref_.width / grid_.tx + (i + 1) * ref_.width / grid_.tx;
        double row = rows2 / 2.0, col = cols2 / 2.0;
        centres.push_back({true,
                           static_cast<int32_t>(std::lround(
                               pdx - (row - ref_.height / 2.0) * roll)),
                           static_cast<int32_t>(std::lround(
                               (col - ref_.width / 2.0) * roll + pdy))});
      }
    return centres;
  }

  void measure(const ReducedImage& moving,
               std::span<const int32_t> fs,
               double time) {
    auto centres = centresFor(fs);
    auto offsets = measureOffsets(ref_,
                                  moving,
                                  options_.shakeSearchRadius,
                                  grid_.tx,
                                  grid_.ty,
                                  centres,
                                  mode_);
    ShiftSample sample{time, {}};
    for (size_t k = 0; k < offsets.size(); ++k) {
      const auto [ox, oy] = offsets[k];
      const Shift fine = subPixelOffset(
          ref_, moving, ox, oy, tileBounds(ref_, grid_.tx, grid_.ty, k), mode_);
      sample.shift.push_back({fine.dx * grid_.sx, fine.dy * grid_.sy});
    }
    samples_.push_back(std::move(sample));
  }

  std::span<const FramePlanes> frames_;
  std::span<const double> times_;
  const DecodeOptions& options_;
  const ShakeGrid& grid_;
  const int32_t reference_;
  const SimdMode mode_;
  const ReducedImage ref_;
  bool usePrior_ = false;
  std::vector<ShiftSample> samples_;
};

// The drift of each tile, shrunk towards the global drift by how well the
// tile's own line explains its samples (`driftPrior` is the spread at
// which the two weigh the same).
std::vector<Shift> tileDrifts(const std::vector<ShiftSample>& samples,
                              double t0,
                              const ShakeGrid& grid,
                              double driftPrior) {
  const int32_t tiles = grid.tiles;
  const double tolerance = kDriftToleranceReduced * std::min(grid.sx, grid.sy);
  std::vector<Shift> slope(static_cast<size_t>(tiles));
  std::vector<std::vector<uint8_t>> inliers(static_cast<size_t>(tiles));
  for (int32_t k = 0; k < tiles; ++k)
    slope[k] = robustDrift(
        samples,
        t0,
        [k](const ShiftSample& s) { return s.shift[k]; },
        tolerance,
        &inliers[k]);
  const double sigma = driftPrior;
  if (!(sigma > 0 && tiles >= 2)) return slope;
  const Shift global = robustDrift(
      samples,
      t0,
      [tiles](const ShiftSample& s) {
        Shift sum;
        for (const Shift& v : s.shift) {
          sum.dx += v.dx / tiles;
          sum.dy += v.dy / tiles;
        }
        return sum;
      },
      tolerance,
      nullptr);
  for (int32_t k = 0; k < tiles; ++k) {
    double variance = 0;
    int32_t used = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
      if (!inliers[k][i]) continue;
      const ShiftSample& s = samples[i];
      double d = s.time - t0;
      double ex = d * slope[k].dx - s.shift[k].dx;
      double ey = d * slope[k].dy - s.shift[k].dy;
      variance += ex * ex + ey * ey;
      ++used;
    }
    variance /= double(std::max(used, 1));
    double weight = sigma * sigma / (std::max(variance, 0.0) + sigma * sigma);
    slope[k].dx = weight * (slope[k].dx - global.dx) + global.dx;
    slope[k].dy = weight * (slope[k].dy - global.dy) + global.dy;
  }
  return slope;
}

// Marks the frames whose mean shift jumps from the previous frame's by
// more than `outlierStep`, and gives each the mean of its nearest unmarked
// neighbours' shifts (or the one neighbour's it has).
void replaceOutlierFrames(std::vector<Shift>* absolute,
                          int32_t frameCount,
                          int32_t tiles,
                          double outlierStep,
                          std::vector<uint8_t>* outlier) {
  auto at = [&](int32_t f, int32_t k) -> const Shift& {
    return (*absolute)[static_cast<size_t>(f) * tiles + k];
  };
  auto meanAt = [&](int32_t f) {
    Shift m;
    for (int32_t k = 0; k < tiles; ++k) {
      m.dx += at(f, k).dx;
      m.dy += at(f, k).dy;
    }
    return Shift{m.dx / tiles, m.dy / tiles};
  };
  for (int32_t f = 1; f < frameCount; ++f) {
    Shift a = meanAt(f - 1), b = meanAt(f);
    if (std::fabs(b.dx - a.dx) > outlierStep ||
        std::fabs(b.dy - a.dy) > outlierStep)
      (*outlier)[f] = 1;
  }
  std::vector<Shift> replaced = *absolute;
  for (int32_t f = 0; f < frameCount; ++f) {
    if (!(*outlier)[f]) continue;
    int32_t below = f - 1, above = f + 1;
    while (below >= 0 && (*outlier)[below]) --below;
    while (above < frameCount && (*outlier)[above]) ++above;
    for (int32_t k = 0; k < tiles; ++k) {
      Shift v;
      const Shift* lo = below >= 0 ? &at(below, k) : nullptr;
      const Shift* hi = above < frameCount ? &at(above, k) : nullptr;
      if (lo && hi)
        v = {(lo->dx + hi->dx) / 2, (lo->dy + hi->dy) / 2};
      else if (lo || hi)
        v = lo ? *lo : *hi;
      replaced[static_cast<size_t>(f) * tiles + k] = v;
    }
  }
  *absolute = std::move(replaced);
}

// The absolute translations T(f, k) of every frame and tile, in reference
// pixels, measured against `reference`: the drift line of each tile, or,
// when the camera was bumped, the line plus the step after the bump, with
// outlier frames replaced.
std::vector<Shift> absoluteTranslations(std::span<const FramePlanes> frames,
                                        std::span<const double> times,
                                        const FrameTables& tables,
                                        const DecodeOptions& options,
                                        const ShakeGrid& grid,
                                        int32_t reference,
                                        SimdMode mode,
                                        std::vector<uint8_t>* outlier) {
  const auto frameCount = static_cast<int32_t>(frames.size());
  const int32_t tiles = grid.tiles;
  auto timeOf = [&](int32_t f) {
    return f >= 0 && static_cast<size_t>(f) < times.size() ? times[f] : 0.0;
  };
  const std::vector<ShiftSample> samples =
      ShiftSampler(frames, times, options, grid, reference, mode)
          .sample(tables);
  const double t0 = samples.front().time;
  const std::vector<Shift> slope =
      tileDrifts(samples, t0, grid, options.driftPrior);
  std::vector<Shift> absolute(static_cast<size_t>(frameCount) * tiles, Shift{});
  for (int32_t f = 0; f < frameCount; ++f)
    for (int32_t k = 0; k < tiles; ++k) {
      double d = timeOf(f) - t0;
      absolute[static_cast<size_t>(f) * tiles + k] = {d * slope[k].dx,
                                                      d * slope[k].dy};
    }

  // A bumped camera: one step in the translations, which a single line
  // would smear over the whole scan. When a step explains the samples far
  // better than the line, each side keeps its own shift: the drift line
  // plus the step after it.
  const StepFit step = findStep(samples, t0, tiles, grid.ds);
  if (step.found) {
    for (int32_t k = 0; k < tiles; ++k) {
      const TileStep t = fitSlopeAndStep(samples, t0, k, step.time);
      for (int32_t f = 0; f < frameCount; ++f) {
        const double d = timeOf(f) - t0;
        const bool after = timeOf(f) >= step.time;
        absolute[static_cast<size_t>(f) * tiles + k] = {
            d * t.slope.dx + (after ? t.step.dx : 0),
            d * t.slope.dy + (after ? t.step.dy : 0)};
      }
    }
  }
  replaceOutlierFrames(
      &absolute, frameCount, tiles, options.outlierStep, outlier);
  return absolute;
}

// Each frame's mean translation, the outlier frames and the largest
// deviation of a tile from its frame's mean.
void recordShakeStats(const ShakeResult& result, DecodeStats* stats) {
  const TranslationField& field = result.field;
  const int32_t tiles = field.tilesX * field.tilesY;
  const auto frameCount = static_cast<int32_t>(result.outlier.size());
  stats->frameTranslations.assign(static_cast<size_t>(frameCount) * 2, 0.0);
  stats->outlierFrames.clear();
  stats->maxTileDeviation = 0;
  for (int32_t f = 0; f < frameCount; ++f) {
    Shift mean;
    for (int32_t k = 0; k < tiles; ++k) {
      mean.dx += field.at(f, k).dx / tiles;
      mean.dy += field.at(f, k).dy / tiles;
    }
    stats->frameTranslations[size_t{2} * f] = mean.dx;
    stats->frameTranslations[size_t{2} * f + 1] = mean.dy;
    if (result.outlier[f]) stats->outlierFrames.push_back(f);
    if (tiles > 1)
      for (int32_t k = 0; k < tiles; ++k)
        stats->maxTileDeviation =
            std::max(stats->maxTileDeviation,
                     std::hypot(field.at(f, k).dx - mean.dx,
                                field.at(f, k).dy - mean.dy));
  }
  stats->outlierCount = static_cast<int32_t>(stats->outlierFrames.size());
}

}  // namespace

ShakeResult estimateTranslationField(std::span<const FramePlanes> frames,
                                     std::span<const double> times,
                                     const FrameTables& tables,
                                     const DecodeOptions& options,
                                     DecodeStats* stats,
                                     SimdMode mode) {
  const auto frameCount = static_cast<int32_t>(frames.size());
  const ShakeGrid grid = shakeGrid(options);
  const int32_t tiles = grid.tiles;
  auto valid = [&](int32_t f) { return f >= 0 && f < frameCount; };

  ShakeResult result;
  TranslationField& field = result.field;
  field.tilesX = grid.tx;
  field.tilesY = grid.ty;
  field.width = options.width;
  field.height = options.height;
  field.shifts.assign(static_cast<size_t>(frameCount) * tiles, Shift{});
  result.outlier.assign(static_cast<size_t>(frameCount), 0);

  int32_t reference = -1;
  for (int32_t f : options.floodFrames)
    if (valid(f)) {
      reference = f;
      break;
    }
  const std::vector<Shift> absolute =
      !options.shakeDisabled && reference >= 0
          ? absoluteTranslations(frames,
                                 times,
                                 tables,
                                 options,
                                 grid,
                                 reference,
                                 mode,
                                 &result.outlier)
          : std::vector<Shift>(static_cast<size_t>(frameCount) * tiles);

  // Relative to the baseline frame, in pixels of the decoded frames.
  const int32_t base = options.baselineFrame;
  for (int32_t f = 0; f < frameCount; ++f)
    for (int32_t k = 0; k < tiles; ++k) {
      if (f == base) continue;  // exactly zero
      Shift t = absolute[static_cast<size_t>(f) * tiles + k];
      Shift b = valid(base) ? absolute[static_cast<size_t>(base) * tiles + k]
                            : Shift{};
      field.at(f, k) = {(t.dx - b.dx) / grid.refScaleX,
                        (t.dy - b.dy) / grid.refScaleY};
    }
  if (stats) recordShakeStats(result, stats);
  return result;
}

}  // namespace pxo
