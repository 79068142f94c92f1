// AVX2/FMA variants of the deal-record kernels: eight offsets per step in
// 256-bit integer registers, and a masked gather of the combo values.
#include <immintrin.h>

#include <cstdint>

namespace deal_kernels_avx2 {
namespace {

using Lanes = __m256i;
constexpr uint32_t kLanes = 8;

inline Lanes Set1(uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
inline Lanes Load(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline Lanes Add(Lanes a, Lanes b) { return _mm256_add_epi32(a, b); }
inline Lanes Sub(Lanes a, Lanes b) { return _mm256_sub_epi32(a, b); }
inline Lanes And(Lanes a, Lanes b) { return _mm256_and_si256(a, b); }
inline Lanes MulLow(Lanes a, Lanes b) { return _mm256_mullo_epi32(a, b); }

// Within each 128-bit half, then the lower half's total carried into the
// upper half.
inline Lanes InclusivePrefixSum(Lanes v) {
  Lanes sum = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
  sum = _mm256_add_epi32(sum, _mm256_slli_si256(sum, 8));
  const Lanes carry = _mm256_shuffle_epi32(_mm256_permute2x128_si256(sum, sum, 0x08), 0xFF);
  return _mm256_add_epi32(sum, carry);
}
inline Lanes BroadcastLast(Lanes v) { return _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(7)); }
inline uint32_t FirstLane(Lanes v) { return static_cast<uint32_t>(_mm256_cvtsi256_si32(v)); }

inline void StorePairs(uint32_t* p, Lanes a, Lanes b) {
  const Lanes lo = _mm256_unpacklo_epi32(a, b);  // pairs 0 1 | 4 5
  const Lanes hi = _mm256_unpackhi_epi32(a, b);  // pairs 2 3 | 6 7
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permute2x128_si256(lo, hi, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 8), _mm256_permute2x128_si256(lo, hi, 0x31));
}

// Lanes of unlisted hands are masked off and never touch memory.
inline __m256d Gather4(const double* values, __m128i index, __m256d fill) {
  const __m256d listed =
      _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpgt_epi32(index, _mm_set1_epi32(-1))));
  return _mm256_mask_i32gather_pd(fill, values, index, listed, 8);
}

}  // namespace

#include "game/deal_kernels_body.inc"

}  // namespace deal_kernels_avx2
