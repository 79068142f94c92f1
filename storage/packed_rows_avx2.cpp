// AVX2 variant of the full-block coding of the group-packed rows: whole
// blocks are tested and the all-zero and all-byte blocks packed in 256-bit
// registers, and an I32 group is one register.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "storage/packed_rows_variants.h"

namespace kernels_avx2 {
namespace {

inline __m256i Load32(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline void Store32(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
inline bool IsZero(__m256i v) { return _mm256_testz_si256(v, v) != 0; }

using Chunk = __m256i;
constexpr int kChunkBytes = 32;
inline Chunk LoadChunk(const uint8_t* p) { return Load32(p); }
inline void StoreChunk(uint8_t* p, Chunk c) { Store32(p, c); }
inline Chunk ZeroChunk() { return _mm256_setzero_si256(); }

// Whether both 128-bit halves (groups of eight u16) hold a non-zero value.
inline bool BothHalvesNonZero(__m256i v) {
  const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
  return !_mm_testz_si128(lo, lo) && !_mm_testz_si128(hi, hi);
}

// Groups 0 and 1 in v[0], groups 2 and 3 in v[1].
struct U16Block {
  __m256i v[2];
};

inline U16Block LoadBlock(const uint16_t* in) { return {{Load32(in), Load32(in + 16)}}; }
inline bool IsZeroBlock(const U16Block& b) { return IsZero(_mm256_or_si256(b.v[0], b.v[1])); }
inline bool IsByteBlock(const U16Block& b) {
  return _mm256_testz_si256(_mm256_or_si256(b.v[0], b.v[1]), _mm256_set1_epi16(static_cast<int16_t>(0xFF00))) &&
         BothHalvesNonZero(b.v[0]) && BothHalvesNonZero(b.v[1]);
}
inline void StoreBlockBytes(uint8_t* p, const U16Block& b) {
  // The pack works per 128-bit lane: put the 64-bit quarters back in order.
  Store32(p, _mm256_permute4x64_epi64(_mm256_packus_epi16(b.v[0], b.v[1]), _MM_SHUFFLE(3, 1, 2, 0)));
}
inline __m128i Group(const U16Block& b, int k) {
  const __m256i v = b.v[k >> 1];
  return (k & 1) == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
}

using I32Group = __m256i;
struct I32Block {
  __m256i g[4];
};

inline I32Block LoadBlock(const int32_t* in) {
  return {{Load32(in), Load32(in + 8), Load32(in + 16), Load32(in + 24)}};
}
inline __m256i Any(const I32Block& b) {
  return _mm256_or_si256(_mm256_or_si256(b.g[0], b.g[1]), _mm256_or_si256(b.g[2], b.g[3]));
}
inline bool IsZeroBlock(const I32Block& b) { return IsZero(Any(b)); }
inline bool IsByteBlock(const I32Block& b) {
  return _mm256_testz_si256(Any(b), _mm256_set1_epi32(static_cast<int32_t>(0xFFFFFF00u))) && !IsZero(b.g[0]) &&
         !IsZero(b.g[1]) && !IsZero(b.g[2]) && !IsZero(b.g[3]);
}
inline void StoreBlockBytes(uint8_t* p, const I32Block& b) {
  // The packs work per 128-bit half; the final permutation restores the
  // order of the 4-value runs.
  const __m256i words =
      _mm256_packus_epi16(_mm256_packus_epi32(b.g[0], b.g[1]), _mm256_packus_epi32(b.g[2], b.g[3]));
  Store32(p, _mm256_permutevar8x32_epi32(words, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}
inline I32Group Group(const I32Block& b, int k) { return b.g[k]; }

inline __m128i LaneMaximum(I32Group g) {
  return _mm_max_epi32(_mm256_castsi256_si128(g), _mm256_extracti128_si256(g, 1));
}
inline void StoreGroupBytes(uint8_t* p, I32Group g) {
  // Low byte of each value (the packs saturate, so shuffle), then the
  // 4-byte runs of both halves side by side.
  const __m256i bytes = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                         0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i runs = _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
  const __m256i v = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(g, bytes), runs);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v));
}
inline void StoreGroupHalves(uint8_t* p, I32Group g) {
  const __m256i halves = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                          0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i v = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(g, halves), _MM_SHUFFLE(3, 1, 2, 0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v));
}
inline void StoreGroupValues(uint8_t* p, I32Group g) { Store32(p, g); }

inline void WidenBytes16(uint16_t* out, const uint8_t* p) {
  Store32(out, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}
inline void WidenBytes8(uint32_t* out, const uint8_t* p) {
  Store32(out, _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}
inline void WidenHalves8(uint32_t* out, const uint8_t* p) {
  Store32(out, _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

}  // namespace

#include "storage/packed_rows_body.inc"

}  // namespace kernels_avx2
