// AVX2 variant of the full-block coding of the group-packed rows: whole
// blocks are tested and the all-zero and all-byte blocks packed in 256-bit
// registers, and an I32 group is one register.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "storage/packed_rows_variants.h"

namespace kernels_avx2 {

#include "storage/packed_rows_groups.inc"

namespace {

inline __m256i Load32(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline void Store32(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

inline bool IsZero(__m256i v) { return _mm256_testz_si256(v, v) != 0; }

// Whether both 128-bit halves (groups of eight u16) hold a non-zero value.
inline bool BothHalvesNonZero(__m256i v) {
  const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
  return !_mm_testz_si128(lo, lo) && !_mm_testz_si128(hi, hi);
}

// Largest of eight signed 32-bit values and 0.
inline int32_t GroupMaximum(__m256i g) {
  __m128i m = _mm_max_epi32(_mm256_castsi256_si128(g), _mm256_extracti128_si256(g, 1));
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
  const int32_t v = _mm_cvtsi128_si32(m);
  return v > 0 ? v : 0;
}

inline int I32GroupCode(int32_t m) { return m == 0 ? 0 : (m <= 255 ? 1 : (m > 65535 ? 3 : 2)); }

inline uint8_t* WriteI32Group(uint8_t* p, __m256i g, int code) {
  switch (code) {
    case 1: {
      // Low byte of each value (the packs saturate, so shuffle), then the
      // 4-byte runs of both halves side by side.
      const __m256i bytes = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                             0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
      const __m256i v = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(g, bytes), _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v));
      return p + 8;
    }
    case 2: {
      const __m256i halves = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                              0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
      const __m256i v = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(g, halves), _MM_SHUFFLE(3, 1, 2, 0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v));
      return p + 16;
    }
    case 3:
      Store32(p, g);
      return p + 32;
    default:
      return p;
  }
}

inline const uint8_t* ReadI32Group(uint32_t* out, const uint8_t* p, int code) {
  switch (code) {
    case 0:
      Store32(out, _mm256_setzero_si256());
      return p;
    case 1:
      Store32(out, _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
      return p + 8;
    case 2:
      Store32(out, _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
      return p + 16;
    default:
      Store32(out, Load32(p));
      return p + 32;
  }
}

}  // namespace

uint8_t* PackU16Blocks(uint8_t* out, const uint16_t* in, int blocks) {
  const __m256i highBytes = _mm256_set1_epi16(static_cast<int16_t>(0xFF00));
  for (int b = 0; b < blocks; ++b, in += 32) {
    const __m256i v0 = Load32(in), v1 = Load32(in + 16);
    const __m256i any = _mm256_or_si256(v0, v1);
    if (IsZero(any)) {
      *out++ = 0x00;
      continue;
    }
    // Every group non-zero and below 256: header 0x55 and 32 bytes.
    if (_mm256_testz_si256(any, highBytes) && BothHalvesNonZero(v0) && BothHalvesNonZero(v1)) {
      out[0] = 0x55;
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(v0, v1), _MM_SHUFFLE(3, 1, 2, 0));
      Store32(out + 1, packed);
      out += 33;
      continue;
    }
    const __m128i g[4] = {_mm256_castsi256_si128(v0), _mm256_extracti128_si256(v0, 1),
                          _mm256_castsi256_si128(v1), _mm256_extracti128_si256(v1, 1)};
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
      Store32(out, _mm256_setzero_si256());
      Store32(out + 16, _mm256_setzero_si256());
    } else if (header == 0x55) {
      Store32(out, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))));
      Store32(out + 16, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16))));
      in += 32;
    } else {
      for (int k = 0; k < 4; ++k) in = ReadU16Group(out + 8 * k, in, (header >> (2 * k)) & 3);
    }
  }
  return in;
}

uint8_t* PackI32Blocks(uint8_t* out, const int32_t* in, int blocks) {
  const __m256i highBits = _mm256_set1_epi32(static_cast<int32_t>(0xFFFFFF00u));
  for (int b = 0; b < blocks; ++b, in += 32) {
    const __m256i g[4] = {Load32(in), Load32(in + 8), Load32(in + 16), Load32(in + 24)};
    const __m256i any = _mm256_or_si256(_mm256_or_si256(g[0], g[1]), _mm256_or_si256(g[2], g[3]));
    if (IsZero(any)) {
      *out++ = 0x00;
      continue;
    }
    // Every value in 0..255 and every group non-zero: header 0x55, 32 bytes.
    if (_mm256_testz_si256(any, highBits) && !IsZero(g[0]) && !IsZero(g[1]) && !IsZero(g[2]) && !IsZero(g[3])) {
      out[0] = 0x55;
      // The packs work per 128-bit half; the final permutation restores the
      // order of the 4-value runs.
      const __m256i words = _mm256_packus_epi16(_mm256_packus_epi32(g[0], g[1]), _mm256_packus_epi32(g[2], g[3]));
      Store32(out + 1, _mm256_permutevar8x32_epi32(words, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
      out += 33;
      continue;
    }
    uint8_t* header = out++;
    int codes = 0;
    for (int k = 0; k < 4; ++k) {
      const int code = I32GroupCode(GroupMaximum(g[k]));
      codes |= code << (2 * k);
      out = WriteI32Group(out, g[k], code);
    }
    *header = static_cast<uint8_t>(codes);
  }
  return out;
}

const uint8_t* UnpackI32Blocks(uint32_t* out, int blocks, const uint8_t* in) {
  for (int b = 0; b < blocks; ++b, out += 32) {
    const int header = *in++;
    if (header == 0x00) {
      for (int k = 0; k < 4; ++k) Store32(out + 8 * k, _mm256_setzero_si256());
    } else if (header == 0x55) {
      for (int k = 0; k < 4; ++k)
        Store32(out + 8 * k, _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 8 * k))));
      in += 32;
    } else {
      for (int k = 0; k < 4; ++k) in = ReadI32Group(out + 8 * k, in, (header >> (2 * k)) & 3);
    }
  }
  return in;
}

}  // namespace kernels_avx2
