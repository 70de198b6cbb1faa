#include "decode/image_ops.h"

#include <algorithm>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#define PXO_HAVE_SSE2 1
#else
#define PXO_HAVE_SSE2 0
#endif

namespace pxo {

bool simdAvailable() { return PXO_HAVE_SSE2 != 0; }

uint64_t sumAbsDiff(const uint8_t* a, const uint8_t* b, int n, SimdMode mode) {
  uint64_t sum = 0;
  int i = 0;
#if PXO_HAVE_SSE2
  if (mode == SimdMode::kAuto) {
    __m128i acc = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
      __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      acc = _mm_add_epi64(acc, _mm_sad_epu8(va, vb));
    }
    sum =
        static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
        static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
  }
#else
  (void)mode;
#endif
  for (; i < n; ++i)
    sum += static_cast<uint64_t>(std::abs(int(a[i]) - int(b[i])));
  return sum;
}

void maxInPlace(uint8_t* dst, const uint8_t* src, int n, SimdMode mode) {
  int i = 0;
#if PXO_HAVE_SSE2
  if (mode == SimdMode::kAuto) {
    for (; i + 16 <= n; i += 16) {
      __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + i));
      __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_max_epu8(d, s));
    }
  }
#else
  (void)mode;
#endif
  for (; i < n; ++i) dst[i] = std::max(dst[i], src[i]);
}

void maxOfBrightening(
    uint8_t* dst, const uint8_t* a, const uint8_t* b, int n, SimdMode mode) {
  int i = 0;
#if PXO_HAVE_SSE2
  if (mode == SimdMode::kAuto) {
    for (; i + 16 <= n; i += 16) {
      __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                       _mm_max_epu8(d, _mm_subs_epu8(va, vb)));
    }
  }
#else
  (void)mode;
#endif
  for (; i < n; ++i) {
    uint8_t v = a[i] > b[i] ? static_cast<uint8_t>(a[i] - b[i]) : 0;
    dst[i] = std::max(dst[i], v);
  }
}

namespace {

// Maximum over x - r ... x + r of one row, clipped.
void rowMaxScalar(
    const uint8_t* in, uint8_t* out, int width, int r, int from, int to) {
  for (int x = from; x < to; ++x) {
    int a = std::max(x - r, 0), b = std::min(x + r, width - 1);
    uint8_t m = 0;
    for (int k = a; k <= b; ++k) m = std::max(m, in[k]);
    out[x] = m;
  }
}

}  // namespace

void dilateMax(const std::vector<uint8_t>& in,
               int width,
               int height,
               int radius,
               std::vector<uint8_t>* out,
               SimdMode mode) {
  const size_t size = static_cast<size_t>(width) * static_cast<size_t>(height);
  out->assign(size, 0);
  if (size == 0) return;
  const int r = std::max(radius, 0);
  std::vector<uint8_t> rows(size);

  // Rows.
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = in.data() + static_cast<size_t>(y) * width;
    uint8_t* dst = rows.data() + static_cast<size_t>(y) * width;
    int x = 0;
#if PXO_HAVE_SSE2
    if (mode == SimdMode::kAuto && width >= 2 * r + 16) {
      // Interior: every window lies inside the row.
      rowMaxScalar(src, dst, width, r, 0, r);
      for (x = r; x + 16 + r <= width; x += 16) {
        __m128i m =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x - r));
        for (int k = -r + 1; k <= r; ++k)
          m = _mm_max_epu8(
              m,
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x + k)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), m);
      }
    }
#endif
    rowMaxScalar(src, dst, width, r, x, width);
  }

  // Columns: 16 columns at a time.
  for (int y = 0; y < height; ++y) {
    int a = std::max(y - r, 0), b = std::min(y + r, height - 1);
    uint8_t* dst = out->data() + static_cast<size_t>(y) * width;
    int x = 0;
#if PXO_HAVE_SSE2
    if (mode == SimdMode::kAuto) {
      for (; x + 16 <= width; x += 16) {
        __m128i m = _mm_setzero_si128();
        for (int k = a; k <= b; ++k)
          m = _mm_max_epu8(
              m,
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                  rows.data() + static_cast<size_t>(k) * width + x)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), m);
      }
    }
#endif
    for (; x < width; ++x) {
      uint8_t m = 0;
      for (int k = a; k <= b; ++k)
        m = std::max(m, rows[static_cast<size_t>(k) * width + x]);
      dst[x] = m;
    }
  }
}

}  // namespace pxo
