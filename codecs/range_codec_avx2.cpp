// AVX2 variant of the range coder's row writer: a group of sixteen residuals
// is tested with two 256-bit loads; the probabilities are filled 16 at a time.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "codecs/range_codec_variants.h"

namespace kernels_avx2 {
namespace {

inline bool AnyNonZero16(const uint32_t* p) {
  const __m256i v = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8)));
  return !_mm256_testz_si256(v, v);
}

inline void FillWords(uint16_t* p, size_t n, uint16_t value) {
  const __m256i v = _mm256_set1_epi16(static_cast<int16_t>(value));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + i), v);
  for (; i < n; ++i) p[i] = value;
}

}  // namespace

#include "codecs/range_codec_body.inc"

}  // namespace kernels_avx2
