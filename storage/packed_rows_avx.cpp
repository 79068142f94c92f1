// AVX baseline variant of the full-block coding of the group-packed rows. The
// work is integer shuffles and packs, done in 128-bit registers (AVX has no
// 256-bit integer operations): a U16 block is four registers, an I32 block
// eight, an I32 group two.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "storage/packed_rows_variants.h"

namespace kernels_avx {
namespace {

inline __m128i Load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void Store16(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline bool IsZero(__m128i v) { return _mm_testz_si128(v, v) != 0; }

using Chunk = __m128i;
constexpr int kChunkBytes = 16;
inline Chunk LoadChunk(const uint8_t* p) { return Load16(p); }
inline void StoreChunk(uint8_t* p, Chunk c) { Store16(p, c); }
inline Chunk ZeroChunk() { return _mm_setzero_si128(); }

struct U16Block {
  __m128i g[4];
};

inline U16Block LoadBlock(const uint16_t* in) {
  return {{Load16(in), Load16(in + 8), Load16(in + 16), Load16(in + 24)}};
}
inline __m128i Any(const U16Block& b) {
  return _mm_or_si128(_mm_or_si128(b.g[0], b.g[1]), _mm_or_si128(b.g[2], b.g[3]));
}
inline bool IsZeroBlock(const U16Block& b) { return IsZero(Any(b)); }
inline bool IsByteBlock(const U16Block& b) {
  return _mm_testz_si128(Any(b), _mm_set1_epi16(static_cast<int16_t>(0xFF00))) && !IsZero(b.g[0]) &&
         !IsZero(b.g[1]) && !IsZero(b.g[2]) && !IsZero(b.g[3]);
}
inline void StoreBlockBytes(uint8_t* p, const U16Block& b) {
  Store16(p, _mm_packus_epi16(b.g[0], b.g[1]));
  Store16(p + 16, _mm_packus_epi16(b.g[2], b.g[3]));
}
inline __m128i Group(const U16Block& b, int k) { return b.g[k]; }

struct I32Group {
  __m128i lo, hi;
};
struct I32Block {
  __m128i v[8];
};

inline I32Block LoadBlock(const int32_t* in) {
  I32Block b;
  for (int k = 0; k < 8; ++k) b.v[k] = Load16(in + 4 * k);
  return b;
}
inline __m128i GroupOr(const I32Block& b, int k) { return _mm_or_si128(b.v[2 * k], b.v[2 * k + 1]); }
inline __m128i Any(const I32Block& b) {
  return _mm_or_si128(_mm_or_si128(GroupOr(b, 0), GroupOr(b, 1)), _mm_or_si128(GroupOr(b, 2), GroupOr(b, 3)));
}
inline bool IsZeroBlock(const I32Block& b) { return IsZero(Any(b)); }
inline bool IsByteBlock(const I32Block& b) {
  return _mm_testz_si128(Any(b), _mm_set1_epi32(static_cast<int32_t>(0xFFFFFF00u))) && !IsZero(GroupOr(b, 0)) &&
         !IsZero(GroupOr(b, 1)) && !IsZero(GroupOr(b, 2)) && !IsZero(GroupOr(b, 3));
}
inline void StoreBlockBytes(uint8_t* p, const I32Block& b) {
  const __m128i w01 = _mm_packus_epi32(b.v[0], b.v[1]), w23 = _mm_packus_epi32(b.v[2], b.v[3]);
  const __m128i w45 = _mm_packus_epi32(b.v[4], b.v[5]), w67 = _mm_packus_epi32(b.v[6], b.v[7]);
  Store16(p, _mm_packus_epi16(w01, w23));
  Store16(p + 16, _mm_packus_epi16(w45, w67));
}
inline I32Group Group(const I32Block& b, int k) { return {b.v[2 * k], b.v[2 * k + 1]}; }

inline __m128i LaneMaximum(const I32Group& g) { return _mm_max_epi32(g.lo, g.hi); }
inline void StoreGroupBytes(uint8_t* p, const I32Group& g) {
  // Low byte of each value: the pack instructions saturate, so shuffle.
  const __m128i bytes = _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i v = _mm_unpacklo_epi32(_mm_shuffle_epi8(g.lo, bytes), _mm_shuffle_epi8(g.hi, bytes));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}
inline void StoreGroupHalves(uint8_t* p, const I32Group& g) {
  const __m128i halves = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  Store16(p, _mm_unpacklo_epi64(_mm_shuffle_epi8(g.lo, halves), _mm_shuffle_epi8(g.hi, halves)));
}
inline void StoreGroupValues(uint8_t* p, const I32Group& g) {
  Store16(p, g.lo);
  Store16(p + 16, g.hi);
}

inline void WidenBytes16(uint16_t* out, const uint8_t* p) {
  const __m128i v = Load16(p);
  Store16(out, _mm_cvtepu8_epi16(v));
  Store16(out + 8, _mm_cvtepu8_epi16(_mm_srli_si128(v, 8)));
}
inline void WidenBytes8(uint32_t* out, const uint8_t* p) {
  const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  Store16(out, _mm_cvtepu8_epi32(v));
  Store16(out + 4, _mm_cvtepu8_epi32(_mm_srli_si128(v, 4)));
}
inline void WidenHalves8(uint32_t* out, const uint8_t* p) {
  const __m128i v = Load16(p);
  Store16(out, _mm_cvtepu16_epi32(v));
  Store16(out + 4, _mm_cvtepu16_epi32(_mm_srli_si128(v, 8)));
}

}  // namespace

#include "storage/packed_rows_body.inc"

}  // namespace kernels_avx
