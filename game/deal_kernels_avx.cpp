// AVX baseline variants of the deal-record kernels: four offsets per step in
// 128-bit integer registers, and the combo values loaded one by one (AVX has
// no gather).
#include <immintrin.h>

#include <cstdint>

namespace deal_kernels_avx {
namespace {

using Lanes = __m128i;
constexpr uint32_t kLanes = 4;

inline Lanes Set1(uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
inline Lanes Load(const uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline Lanes Add(Lanes a, Lanes b) { return _mm_add_epi32(a, b); }
inline Lanes Sub(Lanes a, Lanes b) { return _mm_sub_epi32(a, b); }
inline Lanes And(Lanes a, Lanes b) { return _mm_and_si128(a, b); }
inline Lanes MulLow(Lanes a, Lanes b) { return _mm_mullo_epi32(a, b); }

inline Lanes InclusivePrefixSum(Lanes v) {
  const Lanes sum = _mm_add_epi32(v, _mm_slli_si128(v, 4));
  return _mm_add_epi32(sum, _mm_slli_si128(sum, 8));
}
inline Lanes BroadcastLast(Lanes v) { return _mm_shuffle_epi32(v, 0xFF); }
inline uint32_t FirstLane(Lanes v) { return static_cast<uint32_t>(_mm_cvtsi128_si32(v)); }

inline void StorePairs(uint32_t* p, Lanes a, Lanes b) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi32(a, b));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 4), _mm_unpackhi_epi32(a, b));
}

// Unlisted lanes read element 0 (always present: the caller passes a
// non-empty row) and are replaced by the fill value.
inline __m256d Gather4(const double* values, __m128i index, __m256d fill) {
  const __m128i listed = _mm_cmpgt_epi32(index, _mm_set1_epi32(-1));
  const __m128i safe = _mm_max_epi32(index, _mm_setzero_si128());
  const __m256d loaded = _mm256_set_pd(values[_mm_extract_epi32(safe, 3)], values[_mm_extract_epi32(safe, 2)],
                                       values[_mm_extract_epi32(safe, 1)], values[_mm_cvtsi128_si32(safe)]);
  const __m256d mask = _mm256_castsi256_pd(_mm256_insertf128_si256(
      _mm256_castsi128_si256(_mm_cvtepi32_epi64(listed)), _mm_cvtepi32_epi64(_mm_srli_si128(listed, 8)), 1));
  return _mm256_blendv_pd(fill, loaded, mask);
}

}  // namespace

#include "game/deal_kernels_body.inc"

}  // namespace deal_kernels_avx
