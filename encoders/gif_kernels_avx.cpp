// AVX baseline variant of the GIF writer's palette split and colour mapping:
// the partition moves pixels in groups of four 128-bit lanes.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "encoders/gif_kernels_variants.h"

namespace kernels_avx {
namespace {

constexpr int kPartitionLanes = 4;
using PixelLanes = __m128i;

// Tables indexed by a 4-bit mask of lanes: `pack` is the byte shuffle that
// moves the marked lanes to the front in order, `expand` the one that gives
// the k-th marked lane the input lane k, `masks` spreads the mask over the
// lanes.
struct LaneTables {
  uint8_t pack[16][16];
  uint8_t expand[16][16];
  uint32_t masks[16][4];
};

constexpr LaneTables MakeLaneTables() {
  LaneTables t{};
  for (int m = 0; m < 16; ++m) {
    int k = 0;
    for (int j = 0; j < 4; ++j) {
      const int marked = (m >> j) & 1;
      t.masks[m][j] = marked ? 0xFFFFFFFFu : 0u;
      for (int b = 0; b < 4; ++b) t.expand[m][4 * j + b] = static_cast<uint8_t>(4 * k + b);
      if (marked) {
        for (int b = 0; b < 4; ++b) t.pack[m][4 * k + b] = static_cast<uint8_t>(4 * j + b);
        ++k;
      }
    }
    for (int lane = k; lane < 4; ++lane)
      for (int b = 0; b < 4; ++b) t.pack[m][4 * lane + b] = 0x80;
  }
  return t;
}

constexpr LaneTables kLaneTables = MakeLaneTables();

// A group of the partition: which pixels are below or equal to the pivot in
// the component, and the two stores of the group.
class PartitionLanes {
 public:
  PartitionLanes(int shift, uint32_t pivotValue)
      : pivot_(_mm_set1_epi32(static_cast<int>(pivotValue))), shift_(_mm_cvtsi32_si128(shift)) {}

  PixelLanes Load(const uint32_t* p) const { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  uint32_t Less(PixelLanes x) const { return Bits(_mm_cmplt_epi32(Value(x), pivot_)); }
  uint32_t Equal(PixelLanes x) const { return Bits(_mm_cmpeq_epi32(Value(x), pivot_)); }

  // The taken pixels at p, in order (and zeros after them).
  void StoreTaken(uint32_t* p, PixelLanes x, uint32_t takeBits) const {
    Store(p, _mm_shuffle_epi8(x, Table(kLaneTables.pack[takeBits])));
  }
  // At q: for the k-th taken lane the pixel front[k], for the other lanes
  // their own pixel.
  void StoreQueued(uint32_t* q, PixelLanes x, const uint32_t* front, uint32_t takeBits) const {
    const __m128i moved = _mm_shuffle_epi8(Load(front), Table(kLaneTables.expand[takeBits]));
    Store(q, _mm_blendv_epi8(x, moved, Table(kLaneTables.masks[takeBits])));
  }

 private:
  __m128i Value(PixelLanes x) const { return _mm_and_si128(_mm_srl_epi32(x, shift_), _mm_set1_epi32(0xFF)); }
  static uint32_t Bits(__m128i mask) { return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(mask))); }
  static __m128i Table(const void* row) { return _mm_loadu_si128(static_cast<const __m128i*>(row)); }
  static void Store(uint32_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

  __m128i pivot_;
  __m128i shift_;
};

}  // namespace

#include "encoders/gif_kernels_body.inc"

}  // namespace kernels_avx
