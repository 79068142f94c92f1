// AVX baseline variant of the 16-bit update kernels: eight hands per step,
// float and double arithmetic in 256-bit registers, the 16-bit counts in
// 128-bit registers (AVX has no 256-bit integer operations).
#include <immintrin.h>

#include <cfloat>
#include <cstdint>
#include <cstring>

#include "storage/update_kernels_variants.h"

namespace kernels_avx {

#include "storage/update_kernels_scalar.inc"
#include "storage/update_kernels_vector.inc"

namespace {

// Eight float changes in [0, 65535] as eight u16 (truncated).
inline __m128i ChangesToU16(__m256 c) {
  const __m256i v = _mm256_cvttps_epi32(c);
  return _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extractf128_si256(v, 1));
}

// Eight 32-bit lane masks as eight 16-bit lane masks.
inline __m128i MaskToU16(__m256 m) {
  const __m256i v = _mm256_castps_si256(m);
  return _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extractf128_si256(v, 1));
}

// 16-bit lane masks of the hands whose lock byte is 0.
inline __m128i FreeHands8(const uint8_t* mask) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mask));
  return _mm_cvtepi8_epi16(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
}

// 32-bit lane masks of four hands whose lock byte is 0.
inline __m128i FreeHands4(const uint8_t* mask) {
  int32_t word;
  std::memcpy(&word, mask, 4);
  return _mm_cvtepi8_epi32(_mm_cmpeq_epi8(_mm_cvtsi32_si128(word), _mm_setzero_si128()));
}

}  // namespace

void UpdateCompandedU16(uint16_t* row, const double* x, const double* y, const uint8_t* mask, int n, float pf,
                        float tf) {
  const __m256 vpf = _mm256_set1_ps(pf), up = _mm256_set1_ps(tf), down = _mm256_set1_ps(-tf);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 d = Differences8(x, y, i);
    const __m256 rise = _mm256_cmp_ps(d, up, _CMP_GE_OQ);
    const __m256 fall = _mm256_cmp_ps(d, down, _CMP_LE_OQ);
    // Most blocks of a converged row move nothing: skip the powers then.
    if (_mm256_movemask_ps(_mm256_or_ps(rise, fall)) == 0) continue;
    const __m256 c = CompandedChanges(AbsoluteValues(d), vpf);
    __m128i* p = reinterpret_cast<__m128i*>(row + i);
    const __m128i old = _mm_loadu_si128(p);
    __m128i updated = _mm_adds_epu16(old, ChangesToU16(_mm256_and_ps(c, rise)));
    updated = _mm_subs_epu16(updated, ChangesToU16(_mm256_and_ps(c, fall)));
    if (mask != nullptr) updated = _mm_blendv_epi8(old, updated, FreeHands8(mask + i));
    _mm_storeu_si128(p, updated);
  }
  for (; i < n; ++i) {
    if (mask != nullptr && mask[i] != 0) continue;
    row[i] = UpdatedCount(row[i], ScalarDifference(x, y, i), pf, tf);
  }
}

void AccumulateCompandU16(uint16_t* row, const double* x, const double* y, const double* w, const uint8_t* mask,
                          int n, float pf, float tf) {
  const __m256 vpf = _mm256_set1_ps(pf), up = _mm256_set1_ps(tf), down = _mm256_set1_ps(-tf);
  const __m256d smallest = _mm256_set1_pd(DBL_MIN);
  const __m128i one = _mm_set1_epi16(1);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 d = Differences8(x, y, i);
    const __m256 rise = _mm256_cmp_ps(d, up, _CMP_GE_OQ);
    const __m256 fall = _mm256_cmp_ps(d, down, _CMP_LE_OQ);
    const __m256 moved = _mm256_or_ps(rise, fall);
    if (_mm256_movemask_ps(moved) == 0) continue;
    const __m256 c = CompandedChanges(AbsoluteValues(d), vpf);
    __m128i* p = reinterpret_cast<__m128i*>(row + i);
    const __m128i old = _mm_loadu_si128(p);
    __m128i updated = old;
    __m128i noWeight = _mm_set1_epi16(-1);
    if (w != nullptr) {
      updated = _mm_adds_epu16(updated, ChangesToU16(_mm256_and_ps(c, rise)));
      const __m128i lo = NarrowMask(_mm256_cmp_pd(_mm256_loadu_pd(w + i), smallest, _CMP_LT_OQ));
      const __m128i hi = NarrowMask(_mm256_cmp_pd(_mm256_loadu_pd(w + i + 4), smallest, _CMP_LT_OQ));
      noWeight = _mm_packs_epi32(lo, hi);
    }
    updated = _mm_subs_epu16(updated, ChangesToU16(_mm256_and_ps(c, fall)));
    // Moved hands without weight keep 0 or 1.
    const __m128i clamp = _mm_and_si128(MaskToU16(moved), noWeight);
    updated = _mm_blendv_epi8(updated, _mm_min_epu16(updated, one), clamp);
    if (mask != nullptr) updated = _mm_blendv_epi8(old, updated, FreeHands8(mask + i));
    _mm_storeu_si128(p, updated);
  }
  for (; i < n; ++i) {
    if (mask != nullptr && mask[i] != 0) continue;
    row[i] = WeightedCount(row[i], ScalarDifference(x, y, i), w, i, pf, tf);
  }
}

void AccumulateRounded(int32_t* acc, const double* a, const double* b, const uint8_t* mask, int n, double scale) {
  const __m256d vscale = _mm256_set1_pd(scale), half = _mm256_set1_pd(0.5);
  const __m256d lowest = _mm256_set1_pd(-2147483648.0), highest = _mm256_set1_pd(2147483647.0);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i* p = reinterpret_cast<__m128i*>(acc + i);
    const __m128i old = _mm_loadu_si128(p);
    // ((scale * A) * B + 0.5) + acc
    const __m256d product = _mm256_mul_pd(_mm256_mul_pd(vscale, _mm256_loadu_pd(a + i)), _mm256_loadu_pd(b + i));
    __m256d v = _mm256_add_pd(_mm256_add_pd(product, half), _mm256_cvtepi32_pd(old));
    __m128i keep = NarrowMask(_mm256_cmp_pd(v, v, _CMP_ORD_Q));
    if (mask != nullptr) keep = _mm_and_si128(keep, FreeHands4(mask + i));
    v = _mm256_min_pd(_mm256_max_pd(v, lowest), highest);
    _mm_storeu_si128(p, _mm_blendv_epi8(old, _mm256_cvttpd_epi32(v), keep));
  }
  for (; i < n; ++i) {
    if (mask != nullptr && mask[i] != 0) continue;
    StoreRoundedSum(acc[i], ((scale * a[i]) * b[i] + 0.5) + static_cast<double>(acc[i]));
  }
}

}  // namespace kernels_avx
