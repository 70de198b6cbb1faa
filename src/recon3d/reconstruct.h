#pragma once

#include "recon3d/geometry.h"
#include "recon3d/scan_view.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// The multi-view 3D solve: from the 2D LED positions of two or more scans
// of one prop, taken from different places, the LEDs' 3D positions.
//
//   std::vector<SolveCamera> cameras;
//   for (const ScanView& view : views)
//     cameras.push_back(solveCamera(view, 60));
//   Solve3DResultPtr result = reconstructViews(cameras);
//
// Cameras 0 and 1 fix the frame (relative pose from the LEDs both saw),
// further cameras are placed by resection, every LED seen by two placed
// cameras is triangulated, isolated outliers removed, gaps interpolated
// along the IDs, and the cloud expressed in its principal axes at unit
// extent. Pure computation; any thread.

namespace pxo {

struct Point3D {
  int32_t id = 0;
  float x = 0;
  float y = 0;
  float z = 0;
  int32_t interpolated = 0;  // 1: from its ID neighbours, not triangulated
  int32_t views = 0;         // the views it was triangulated from
};

// How well a solve explains its pictures, and what it could not use.
struct SolveFit {
  // Median distance, in pixels, between where the kept triangulated LEDs
  // project and where each placed view saw them.
  double medianReprojectionPx = 0;
  // LEDs seen (not estimated) in at least two views.
  int32_t sharedLeds = 0;
  // The sightings the triangulated LEDs rest on: a view that saw an LED
  // where the others put it counts, one left out of it does not.
  int32_t sightingsUsed = 0;
  // Per view, in the order given: the LEDs it saw (not estimated), and the
  // median distance in pixels between where it saw the LEDs kept and
  // where they project into it (NaN for a view not placed). A view that
  // was filmed as the others were sees them within a pixel or two.
  struct View {
    int32_t seen = 0;
    double medianReprojectionPx = 0;
    bool used = true;  // placed and part of the solve
  };
  std::vector<View> views;
  // Views solveViews left out because they spoiled the solve (0-based, in
  // the order given), and why: "it sees the LEDs 31.2 px from where the
  // other views place them (median; theirs 0.6 px)", "it could not be
  // placed", "the views do not solve with it".
  struct LeftOut {
    int32_t view = 0;
    std::string why;
  };
  std::vector<LeftOut> leftOut;
  // At [k]: how many LEDs were triangulated from k views.
  std::vector<int32_t> placedFromViews;
  // LEDs two placed views or more saw that are not placed, ascending: no
  // two of those views agree on where it is (`disagreementPx`, the least
  // worst reprojection error of the attempts; infinite when none met in
  // front of the cameras), or it was triangulated far from its neighbours
  // on the string and removed (`isolated`).
  struct Unplaced {
    int32_t id = 0;
    double disagreementPx = 0;
    bool isolated = false;
  };
  std::vector<Unplaced> unplaced;
  // Views (0-based) that could not be placed, and why.
  struct Skipped {
    int32_t view = 0;
    bool tooFewShared = false;  // else: the resection failed
  };
  std::vector<Skipped> skippedViews;
  // Along an LED string, chords over the same number of IDs have one
  // length whatever way they point. Split each chord into its part along
  // the first two cameras' mean viewing direction and the rest: w makes
  // w · along² + across² the same for neighbouring chords. 1 for a true
  // shape, above 1 when the depth came out squashed, below when
  // stretched; NaN when the string gives too few chords to say.
  double depthWeight = 0;
  // Cameras 0 and 1 level with each other, at one distance from the point
  // both aim at: the two-view arrangement whose pictures every field of
  // view explains equally (the optical axes meet, equidistant from the
  // cameras). Always false with a third camera placed, which pins it.
  bool angleOpen = false;
};

struct Solve3DResult {
  std::vector<Point3D> points;  // ascending id
  int32_t pointCount = 0;
  int32_t triangulatedCount = 0;  // in the final pass, before removal
  int32_t interpolatedCount = 0;
  int32_t outliersRemoved = 0;
  float extentA = 0;  // along the first and second principal axes
  float extentB = 0;
  float extentN = 0;  // along the normal; 0 when planar
  float thicknessRms = 0;
  int32_t planar = 0;
  SolveFit fit;
};

void destroySolve3DResult(Solve3DResult* result);

struct Solve3DResultDeleter {
  void operator()(Solve3DResult* result) const { destroySolve3DResult(result); }
};
using Solve3DResultPtr = std::unique_ptr<Solve3DResult, Solve3DResultDeleter>;

// One view as the solve sees it: its points (borrowed) and intrinsics.
struct SolveCamera {
  std::span<const ViewPoint> points;
  float width = 0;
  float height = 0;
  Mat3f intrinsics{};
};

// K for a horizontal field of view in degrees: f = (width / 2) /
// tan(φ π / 360), principal point at the picture's centre.
Mat3f cameraIntrinsics(double fovDeg, float width, float height);
SolveCamera solveCamera(const ScanView& view, double fovDeg);

// A solve whose kept LEDs project further than this from where the views
// saw them (median), or that triangulates fewer than half the LEDs two
// placed views saw, does not explain the pictures and counts as failed.
// The linear pose, resection and triangulation leave a median of about
// five times the decoder's position noise (0.5 px noise: 2.5 px, three
// views 60° apart); a wrong solve leaves tens of pixels, or loses its
// rays to the triangulation's limit.
inline constexpr double kMaxSolveReprojectionPx = 6.0;

// Whether a solve explains its pictures by the rule above.
bool explainsThePictures(const Solve3DResult& result);

// Null when the views cannot be solved: fewer than 2 cameras, fewer than 8
// LEDs common to the first two, no pose, fewer than 3 triangulated LEDs.
// solveViews also fails a solve that does not explain its pictures.
Solve3DResultPtr reconstructViews(std::span<const SolveCamera> cameras);

// Steps of the reconstruction, exposed for their tests.
//
// Removes, from points in ascending ID order, each one (neither the first
// nor the last) farther than 2.5 × the median gap from both its ID
// neighbours; returns how many went.
int32_t removeIsolatedPoints(std::vector<Point3D>* points);
// Adds, for each ID of `ids` between two present points, a point on the
// line between its nearest present neighbours by ID; returns how many.
int32_t interpolateMissingIds(const std::vector<int32_t>& ids,
                              std::vector<Point3D>* points);
// Principal axes, extents, thickness and planarity; rewrites the points in
// that frame at unit largest extent.
void normaliseToPrincipalAxes(std::vector<Point3D>* points,
                              Solve3DResult* result);

// The fields of view tried first when none is given, in degrees.
inline constexpr int kFovSearchFirst = 50;
inline constexpr int kFovSearchLast = 130;
inline constexpr int kFovSearchStep = 10;

// A field of view searched takes part only with at least this share of the
// most sightings any angle triangulated LEDs from.
inline constexpr double kFovSearchMinShare = 0.9;

// A view whose median reprojection error is above both this many times
// the other views' (their median) and kBadViewPx spoils a solve of three
// views or more and is left out.
inline constexpr double kBadViewFactor = 4.0;
inline constexpr double kBadViewPx = 4.0;

// Taken when neither the pictures nor the LED string tell the angle.
inline constexpr int kFovAssumed = 70;

// Where the field of view of a solve came from.
enum class FovSource {
  kGiven,       // by the caller
  kPictures,    // it explains the pictures clearly best
  kLedSpacing,  // the pictures fit many; this one keeps the string even
  kAssumed,     // neither told; kFovAssumed
};

struct FovChoice {
  double fovDeg = 0;
  FovSource source = FovSource::kGiven;
};

// A solve at `fovDeg` (> 0), or, with fovDeg <= 0, a search. Every angle of
// kFovSearchFirst … kFovSearchLast is solved; those with at least 3
// triangulated LEDs and kFovSearchMinShare of the most sightings used
// take part.
// When one explains the pictures clearly best (its median reprojection
// error well below its neighbours'), the angle is refined around it to the
// degree. Two views level with each other, at one distance and aimed at
// one point explain their pictures at every angle; the angle is then the
// one at which the LED string's chords keep their length in every
// direction (SolveFit::depthWeight = 1), refined to the degree, else
// kFovAssumed. Null on failure; `choice` says what was chosen and why.
// With three views or more, a view that spoils the solve (SolveFit::leftOut)
// is left out and the rest solved again, while two remain; the fit's
// views then cover every view given, the left-out ones not `used`.
Solve3DResultPtr solveViews(std::span<const ScanView> views,
                            double fovDeg,
                            FovChoice* choice);

// The field-of-view rule of solveViews over any solver, for its tests.
Solve3DResultPtr pickFieldOfView(
    const std::function<Solve3DResultPtr(double fovDeg)>& solveAt,
    double fovDeg,
    FovChoice* choice);

// The progress line of a searched field of view; empty when it was given.
std::string fovChoiceText(const FovChoice& choice);

// "118 points, 112 triangulated from 2 views (FOV 70°)", and for each view
// the solve could not place "; view 3 skipped: too few LEDs in common" or
// "; view 3 skipped: could not be placed".
std::string solveSummary(const Solve3DResult& result,
                         int32_t viewCount,
                         double fovDeg);

// What a solve made of each view and of the LEDs, a line each:
//   "View 1: 254 LEDs seen, 0.6 px from the solve (median), used"
//   "View 4: 250 LEDs seen, left out: it sees the LEDs …"
//   "LEDs placed from 2 views: 120, from 3 views: 140; estimated: 40"
std::string solveDetails(const Solve3DResult& result);

// The LEDs `before` placed (triangulated) that `after`, the solve with one
// view more, does not, and why, a line each ("LED 17: the views that saw
// it disagree by 14.2 px at best", "LED 17: far from its neighbours on the
// string, taken for an outlier"); empty when every one is still placed.
std::string ledsTakenAway(const Solve3DResult& before,
                          const Solve3DResult& after);

inline constexpr char kSolveNeedsViews[] = "need at least 2 viewpoints";
inline constexpr char kSolveFailed[] =
    "3D solve failed \u2014 try another angle, a less planar prop, or set FOV";

}  // namespace pxo
