// AVX2/FMA variant of the 16-bit update kernels: sixteen hands per step with
// the counts in 256-bit integer registers; the strategy-sum accumulation uses
// one fused multiply-add per hand.
#include <immintrin.h>

#include <cfloat>
#include <cstdint>
#include <cstring>

#include "storage/update_kernels_variants.h"

namespace kernels_avx2 {

#include "storage/update_kernels_scalar.inc"
#include "storage/update_kernels_vector.inc"

namespace {

// Sixteen float changes in [0, 65535] (hands 0-7 in lo, 8-15 in hi) as
// sixteen u16 in hand order. The pack works per 128-bit lane, so the 64-bit
// quarters are put back in order afterwards.
inline __m256i ChangesToU16(__m256 lo, __m256 hi) {
  const __m256i packed = _mm256_packus_epi32(_mm256_cvttps_epi32(lo), _mm256_cvttps_epi32(hi));
  return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
}

inline __m256i MaskToU16(__m256 lo, __m256 hi) {
  const __m256i packed = _mm256_packs_epi32(_mm256_castps_si256(lo), _mm256_castps_si256(hi));
  return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
}

// 16-bit lane masks of the eight hands from i whose weight is below DBL_MIN.
inline __m128i NoWeight8(const double* w, int i) {
  const __m256d smallest = _mm256_set1_pd(DBL_MIN);
  const __m128i lo = NarrowMask(_mm256_cmp_pd(_mm256_loadu_pd(w + i), smallest, _CMP_LT_OQ));
  const __m128i hi = NarrowMask(_mm256_cmp_pd(_mm256_loadu_pd(w + i + 4), smallest, _CMP_LT_OQ));
  return _mm_packs_epi32(lo, hi);
}

// 16-bit lane masks of the sixteen hands whose lock byte is 0.
inline __m256i FreeHands16(const uint8_t* mask) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask));
  return _mm256_cvtepi8_epi16(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
}

}  // namespace

void UpdateCompandedU16(uint16_t* row, const double* x, const double* y, const uint8_t* mask, int n, float pf,
                        float tf) {
  const __m256 vpf = _mm256_set1_ps(pf), up = _mm256_set1_ps(tf), down = _mm256_set1_ps(-tf);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256 d0 = Differences8(x, y, i), d1 = Differences8(x, y, i + 8);
    const __m256 rise0 = _mm256_cmp_ps(d0, up, _CMP_GE_OQ), rise1 = _mm256_cmp_ps(d1, up, _CMP_GE_OQ);
    const __m256 fall0 = _mm256_cmp_ps(d0, down, _CMP_LE_OQ), fall1 = _mm256_cmp_ps(d1, down, _CMP_LE_OQ);
    // Most blocks of a converged row move nothing: skip the powers then.
    const __m256 moved = _mm256_or_ps(_mm256_or_ps(rise0, fall0), _mm256_or_ps(rise1, fall1));
    if (_mm256_movemask_ps(moved) == 0) continue;
    const __m256 c0 = CompandedChanges(AbsoluteValues(d0), vpf);
    const __m256 c1 = CompandedChanges(AbsoluteValues(d1), vpf);
    __m256i* p = reinterpret_cast<__m256i*>(row + i);
    const __m256i old = _mm256_loadu_si256(p);
    __m256i updated = _mm256_adds_epu16(old, ChangesToU16(_mm256_and_ps(c0, rise0), _mm256_and_ps(c1, rise1)));
    updated = _mm256_subs_epu16(updated, ChangesToU16(_mm256_and_ps(c0, fall0), _mm256_and_ps(c1, fall1)));
    if (mask != nullptr) updated = _mm256_blendv_epi8(old, updated, FreeHands16(mask + i));
    _mm256_storeu_si256(p, updated);
  }
  for (; i < n; ++i) {
    if (mask != nullptr && mask[i] != 0) continue;
    row[i] = UpdatedCount(row[i], ScalarDifference(x, y, i), pf, tf);
  }
}

void AccumulateCompandU16(uint16_t* row, const double* x, const double* y, const double* w, const uint8_t* mask,
                          int n, float pf, float tf) {
  const __m256 vpf = _mm256_set1_ps(pf), up = _mm256_set1_ps(tf), down = _mm256_set1_ps(-tf);
  const __m256i one = _mm256_set1_epi16(1);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256 d0 = Differences8(x, y, i), d1 = Differences8(x, y, i + 8);
    const __m256 rise0 = _mm256_cmp_ps(d0, up, _CMP_GE_OQ), rise1 = _mm256_cmp_ps(d1, up, _CMP_GE_OQ);
    const __m256 fall0 = _mm256_cmp_ps(d0, down, _CMP_LE_OQ), fall1 = _mm256_cmp_ps(d1, down, _CMP_LE_OQ);
    const __m256 moved0 = _mm256_or_ps(rise0, fall0), moved1 = _mm256_or_ps(rise1, fall1);
    if (_mm256_movemask_ps(_mm256_or_ps(moved0, moved1)) == 0) continue;
    const __m256 c0 = CompandedChanges(AbsoluteValues(d0), vpf);
    const __m256 c1 = CompandedChanges(AbsoluteValues(d1), vpf);
    __m256i* p = reinterpret_cast<__m256i*>(row + i);
    const __m256i old = _mm256_loadu_si256(p);
    __m256i updated = old;
    __m256i noWeight = _mm256_set1_epi16(-1);
    if (w != nullptr) {
      updated = _mm256_adds_epu16(updated, ChangesToU16(_mm256_and_ps(c0, rise0), _mm256_and_ps(c1, rise1)));
      noWeight = _mm256_set_m128i(NoWeight8(w, i + 8), NoWeight8(w, i));
    }
    updated = _mm256_subs_epu16(updated, ChangesToU16(_mm256_and_ps(c0, fall0), _mm256_and_ps(c1, fall1)));
    // Moved hands without weight keep 0 or 1.
    const __m256i clamp = _mm256_and_si256(MaskToU16(moved0, moved1), noWeight);
    updated = _mm256_blendv_epi8(updated, _mm256_min_epu16(updated, one), clamp);
    if (mask != nullptr) updated = _mm256_blendv_epi8(old, updated, FreeHands16(mask + i));
    _mm256_storeu_si256(p, updated);
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
  for (; i + 8 <= n; i += 8) {
    __m256i* p = reinterpret_cast<__m256i*>(acc + i);
    const __m256i old = _mm256_loadu_si256(p);
    __m128i result[2], keep[2];
    for (int h = 0; h < 2; ++h) {
      const int j = i + 4 * h;
      const __m256d current = _mm256_cvtepi32_pd(h == 0 ? _mm256_castsi256_si128(old) : _mm256_extracti128_si256(old, 1));
      // (A * B) * scale + (acc + 0.5) with one rounding.
      __m256d v = _mm256_fmadd_pd(_mm256_mul_pd(_mm256_loadu_pd(a + j), _mm256_loadu_pd(b + j)), vscale,
                                  _mm256_add_pd(current, half));
      keep[h] = NarrowMask(_mm256_cmp_pd(v, v, _CMP_ORD_Q));
      v = _mm256_min_pd(_mm256_max_pd(v, lowest), highest);
      result[h] = _mm256_cvttpd_epi32(v);
    }
    __m256i keepAll = _mm256_set_m128i(keep[1], keep[0]);
    if (mask != nullptr) {
      const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mask + i));
      keepAll = _mm256_and_si256(keepAll, _mm256_cvtepi8_epi32(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
    }
    _mm256_storeu_si256(p, _mm256_blendv_epi8(old, _mm256_set_m128i(result[1], result[0]), keepAll));
  }
  for (; i < n; ++i) {
    if (mask != nullptr && mask[i] != 0) continue;
    StoreRoundedSum(acc[i], __builtin_fma(a[i] * b[i], scale, static_cast<double>(acc[i]) + 0.5));
  }
}

}  // namespace kernels_avx2
