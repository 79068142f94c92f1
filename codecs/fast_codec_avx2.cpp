// AVX2 variant of the packing codec's row writer: a group of eight residuals
// is tested in one 256-bit compare.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/fast_codec_variants.h"

namespace kernels_avx2 {
namespace {

inline unsigned NonZeroMask8(const uint32_t* p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const unsigned zeros = static_cast<unsigned>(
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, _mm256_setzero_si256()))));
  return ~zeros & 0xFFu;
}

}  // namespace

#include "codecs/fast_codec_body.inc"

}  // namespace kernels_avx2
