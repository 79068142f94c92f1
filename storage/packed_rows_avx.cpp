// AVX baseline variant of the full-block coding of the group-packed rows. The
// work is integer shuffles and packs, done in 128-bit registers (AVX has no
// 256-bit integer operations).
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "storage/packed_rows_variants.h"

namespace kernels_avx {

#include "storage/packed_rows_groups.inc"

namespace {

inline __m128i Load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void Store16(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// Largest of eight signed 32-bit values and 0.
inline int32_t GroupMaximum(__m128i lo, __m128i hi) {
  __m128i m = _mm_max_epi32(lo, hi);
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
  const int32_t v = _mm_cvtsi128_si32(m);
  return v > 0 ? v : 0;
}

inline int I32GroupCode(int32_t m) { return m == 0 ? 0 : (m <= 255 ? 1 : (m > 65535 ? 3 : 2)); }

inline uint8_t* WriteI32Group(uint8_t* p, __m128i lo, __m128i hi, int code) {
  switch (code) {
    case 1: {
      // Low byte of each value: the pack instructions saturate, so shuffle.
      const __m128i bytes = _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
      const __m128i v = _mm_unpacklo_epi32(_mm_shuffle_epi8(lo, bytes), _mm_shuffle_epi8(hi, bytes));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
      return p + 8;
    }
    case 2: {
      const __m128i halves = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
      Store16(p, _mm_unpacklo_epi64(_mm_shuffle_epi8(lo, halves), _mm_shuffle_epi8(hi, halves)));
      return p + 16;
    }
    case 3:
      Store16(p, lo);
      Store16(p + 16, hi);
      return p + 32;
    default:
      return p;
  }
}

inline const uint8_t* ReadI32Group(uint32_t* out, const uint8_t* p, int code) {
  switch (code) {
    case 0:
      Store16(out, _mm_setzero_si128());
      Store16(out + 4, _mm_setzero_si128());
      return p;
    case 1: {
      const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
      Store16(out, _mm_cvtepu8_epi32(v));
      Store16(out + 4, _mm_cvtepu8_epi32(_mm_srli_si128(v, 4)));
      return p + 8;
    }
    case 2: {
      const __m128i v = Load16(p);
      Store16(out, _mm_cvtepu16_epi32(v));
      Store16(out + 4, _mm_cvtepu16_epi32(_mm_srli_si128(v, 8)));
      return p + 16;
    }
    default:
      std::memcpy(out, p, 32);
      return p + 32;
  }
}

}  // namespace

uint8_t* PackU16Blocks(uint8_t* out, const uint16_t* in, int blocks) {
  const __m128i highBytes = _mm_set1_epi16(static_cast<int16_t>(0xFF00));
  for (int b = 0; b < blocks; ++b, in += 32) {
    const __m128i g[4] = {Load16(in), Load16(in + 8), Load16(in + 16), Load16(in + 24)};
    const __m128i any = _mm_or_si128(_mm_or_si128(g[0], g[1]), _mm_or_si128(g[2], g[3]));
    if (_mm_testz_si128(any, any)) {
      *out++ = 0x00;
      continue;
    }
    // Every group non-zero and below 256: header 0x55 and 32 bytes.
    if (_mm_testz_si128(any, highBytes) && !_mm_testz_si128(g[0], g[0]) && !_mm_testz_si128(g[1], g[1]) &&
        !_mm_testz_si128(g[2], g[2]) && !_mm_testz_si128(g[3], g[3])) {
      out[0] = 0x55;
      Store16(out + 1, _mm_packus_epi16(g[0], g[1]));
      Store16(out + 17, _mm_packus_epi16(g[2], g[3]));
      out += 33;
      continue;
    }
    uint8_t* header = out++;
    int codes = 0;
    for (int k = 0; k < 4; ++k) {
      const int code = U16GroupCode(g[k]);
      codes |= code << (2 * k);
      out = WriteU16Group(out, g[k], code);
    }
    *header = static_cast<uint8_t>(codes);
  }
  return out;
}

const uint8_t* UnpackU16Blocks(uint16_t* out, int blocks, const uint8_t* in) {
  for (int b = 0; b < blocks; ++b, out += 32) {
    const int header = *in++;
    if (header == 0x00) {
      for (int k = 0; k < 4; ++k) Store16(out + 8 * k, _mm_setzero_si128());
    } else if (header == 0x55) {
      const __m128i lo = Load16(in), hi = Load16(in + 16);
      Store16(out, _mm_cvtepu8_epi16(lo));
      Store16(out + 8, _mm_cvtepu8_epi16(_mm_srli_si128(lo, 8)));
      Store16(out + 16, _mm_cvtepu8_epi16(hi));
      Store16(out + 24, _mm_cvtepu8_epi16(_mm_srli_si128(hi, 8)));
      in += 32;
    } else {
      for (int k = 0; k < 4; ++k) in = ReadU16Group(out + 8 * k, in, (header >> (2 * k)) & 3);
    }
  }
  return in;
}

uint8_t* PackI32Blocks(uint8_t* out, const int32_t* in, int blocks) {
  const __m128i highBits = _mm_set1_epi32(static_cast<int32_t>(0xFFFFFF00u));
  for (int b = 0; b < blocks; ++b, in += 32) {
    __m128i v[8];
    for (int k = 0; k < 8; ++k) v[k] = Load16(in + 4 * k);
    __m128i group[4];
    for (int k = 0; k < 4; ++k) group[k] = _mm_or_si128(v[2 * k], v[2 * k + 1]);
    const __m128i any = _mm_or_si128(_mm_or_si128(group[0], group[1]), _mm_or_si128(group[2], group[3]));
    if (_mm_testz_si128(any, any)) {
      *out++ = 0x00;
      continue;
    }
    // Every value in 0..255 and every group non-zero: header 0x55, 32 bytes.
    if (_mm_testz_si128(any, highBits) && !_mm_testz_si128(group[0], group[0]) &&
        !_mm_testz_si128(group[1], group[1]) && !_mm_testz_si128(group[2], group[2]) &&
        !_mm_testz_si128(group[3], group[3])) {
      out[0] = 0x55;
      const __m128i w01 = _mm_packus_epi32(v[0], v[1]), w23 = _mm_packus_epi32(v[2], v[3]);
      const __m128i w45 = _mm_packus_epi32(v[4], v[5]), w67 = _mm_packus_epi32(v[6], v[7]);
      Store16(out + 1, _mm_packus_epi16(w01, w23));
      Store16(out + 17, _mm_packus_epi16(w45, w67));
      out += 33;
      continue;
    }
    uint8_t* header = out++;
    int codes = 0;
    for (int k = 0; k < 4; ++k) {
      const int code = I32GroupCode(GroupMaximum(v[2 * k], v[2 * k + 1]));
      codes |= code << (2 * k);
      out = WriteI32Group(out, v[2 * k], v[2 * k + 1], code);
    }
    *header = static_cast<uint8_t>(codes);
  }
  return out;
}

const uint8_t* UnpackI32Blocks(uint32_t* out, int blocks, const uint8_t* in) {
  for (int b = 0; b < blocks; ++b, out += 32) {
    const int header = *in++;
    if (header == 0x00) {
      for (int k = 0; k < 8; ++k) Store16(out + 4 * k, _mm_setzero_si128());
    } else if (header == 0x55) {
      for (int h = 0; h < 2; ++h) {
        const __m128i v = Load16(in + 16 * h);
        uint32_t* o = out + 16 * h;
        Store16(o, _mm_cvtepu8_epi32(v));
        Store16(o + 4, _mm_cvtepu8_epi32(_mm_srli_si128(v, 4)));
        Store16(o + 8, _mm_cvtepu8_epi32(_mm_srli_si128(v, 8)));
        Store16(o + 12, _mm_cvtepu8_epi32(_mm_srli_si128(v, 12)));
      }
      in += 32;
    } else {
      for (int k = 0; k < 4; ++k) in = ReadI32Group(out + 8 * k, in, (header >> (2 * k)) & 3);
    }
  }
  return in;
}

}  // namespace kernels_avx
