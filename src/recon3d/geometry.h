#pragma once

#include "recon3d/linalg.h"

#include <array>
#include <span>
#include <vector>

// Camera geometry of the multi-view solve: projections, triangulation,
// relative pose and resection. Pixel coordinates are those of the decoded
// frames; no lens distortion is modelled.

namespace pxo {

using Vec2f = std::array<float, 2>;
// P = K [R | t], row-major: a point X maps to x = P (X, 1).
using Projection = std::array<float, 12>;

Projection makeProjection(const Mat3f& intrinsics,
                          const Mat3f& camFromWorldRotation,
                          const Vec3f& camFromWorldTranslation);

// One camera's sight of a point.
struct Observation {
  Projection projection{};
  Vec2f pixel{};
};

inline constexpr float kMaxReprojectionRmsPx = 12.0f;

// Linear triangulation in single precision: the smallest eigenvector of
// the 4 × 4 normal matrix of the rows u·P3 − P1 and v·P3 − P2. Fails with
// fewer than 2 views, a point at infinity, a point behind any camera, or
// an RMS reprojection error above kMaxReprojectionRmsPx.
[[nodiscard]] bool triangulatePoint(std::span<const Observation> views,
                                    Vec3f* pointInWorld);

// Camera 1 relative to camera 0, t of unit length.
struct RelativePose {
  Mat3f cam1FromCam0Rotation{};
  Vec3f cam1FromCam0Translation{};
};

// The normalised eight-point algorithm (Hartley–Zisserman, algorithm 11.1)
// in double precision, then the essential matrix, its four (R, t)
// candidates and the one that triangulates the most correspondences in
// front of both cameras. Needs at least 8 correspondences. With the
// environment variable PXO_POSE_DEBUG set, writes its working to stderr,
// unless `quiet` (the fits of random samples, tried by the dozen).
[[nodiscard]] bool estimateRelativePose(std::span<const Vec2f> pixels0,
                                        std::span<const Vec2f> pixels1,
                                        const Mat3f& intrinsics0,
                                        const Mat3f& intrinsics1,
                                        RelativePose* pose,
                                        bool quiet = false);

// For LEDs on a plane, where the eight-point system is degenerate: the
// homography between the two views' rays, decomposed into its (R, t, n)
// solutions, t of unit length. Up to four; the caller keeps the one that
// puts the LEDs in front of both cameras and explains the pictures.
// Needs at least 4 correspondences; fails for a pure rotation.
[[nodiscard]] bool estimatePlanarPoses(std::span<const Vec2f> pixels0,
                                       std::span<const Vec2f> pixels1,
                                       const Mat3f& intrinsics0,
                                       const Mat3f& intrinsics1,
                                       std::vector<RelativePose>* poses);

inline constexpr size_t kMinResectionPoints = 6;

// Places a camera from at least kMinResectionPoints known points and where
// it saw them: the direct linear transform on K⁻¹-normalised pixels, the
// nearest rotation to its left 3 × 3 block and a translation at the
// block's mean scale. Fails when K is degenerate or fewer than half the
// points end up in front of the camera.
[[nodiscard]] bool resectCamera(std::span<const Vec3f> pointsInWorld,
                                std::span<const Vec2f> pixels,
                                const Mat3f& intrinsics,
                                Projection* projection);

}  // namespace pxo
