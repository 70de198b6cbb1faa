#pragma once

#include <cstdint>
#include <vector>

// Byte-image kernels with a scalar definition and a byte-wide SIMD path
// (SSE2 where the processor has it). Both paths give identical results; the
// decoder uses the SIMD one when available.

namespace pxo {

enum class SimdMode { kScalar, kAuto };

// True when the SIMD paths exist in this build.
bool simdAvailable();

// Sum of |a[i] - b[i]| over n bytes.
uint64_t sumAbsDiff(const uint8_t* a, const uint8_t* b, int n, SimdMode mode);

// Square maximum filter of radius r, separable (rows, then columns),
// clipped at the border. `out` gets width × height bytes.
void dilateMax(const std::vector<uint8_t>& in,
               int width,
               int height,
               int radius,
               std::vector<uint8_t>* out,
               SimdMode mode);

// dst[i] = max(dst[i], a[i] - b[i] saturated at 0).
void maxOfBrightening(
    uint8_t* dst, const uint8_t* a, const uint8_t* b, int n, SimdMode mode);

// dst[i] = max(dst[i], src[i]).
void maxInPlace(uint8_t* dst, const uint8_t* src, int n, SimdMode mode);

}  // namespace pxo
