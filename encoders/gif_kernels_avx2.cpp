// AVX2 variant of the GIF writer's palette split and colour mapping: the
// partition moves pixels in groups of eight 256-bit lanes.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "encoders/gif_kernels_variants.h"

namespace kernels_avx2 {
namespace {

constexpr int kPartitionLanes = 8;
using PixelLanes = __m256i;

// Tables indexed by an 8-bit mask of lanes: `pack` lists the marked lanes
// in order, `expand` gives the k-th marked lane the number k.
struct LaneTables {
  uint8_t pack[256][8];
  uint8_t expand[256][8];
};

constexpr LaneTables MakeLaneTables() {
  LaneTables t{};
  for (int m = 0; m < 256; ++m) {
    int k = 0;
    for (int j = 0; j < 8; ++j) {
      t.expand[m][j] = static_cast<uint8_t>(k);
      if ((m >> j) & 1) t.pack[m][k++] = static_cast<uint8_t>(j);
    }
  }
  return t;
}

constexpr LaneTables kLaneTables = MakeLaneTables();

// A group of the partition: which pixels are below or equal to the pivot in
// the component, and the two stores of the group.
class PartitionLanes {
 public:
  PartitionLanes(int shift, uint32_t pivotValue)
      : pivot_(_mm256_set1_epi32(static_cast<int>(pivotValue))), shift_(_mm_cvtsi32_si128(shift)) {}

  PixelLanes Load(const uint32_t* p) const { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  uint32_t Less(PixelLanes x) const { return Bits(_mm256_cmpgt_epi32(pivot_, Value(x))); }
  uint32_t Equal(PixelLanes x) const { return Bits(_mm256_cmpeq_epi32(Value(x), pivot_)); }

  // The taken pixels at p, in order (and other pixels of the group after
  // them, overwritten later).
  void StoreTaken(uint32_t* p, PixelLanes x, uint32_t takeBits) const {
    Store(p, _mm256_permutevar8x32_epi32(x, Table(kLaneTables.pack[takeBits])));
  }
  // At q: for the k-th taken lane the pixel front[k], for the other lanes
  // their own pixel.
  void StoreQueued(uint32_t* q, PixelLanes x, const uint32_t* front, uint32_t takeBits) const {
    const __m256i moved = _mm256_permutevar8x32_epi32(Load(front), Table(kLaneTables.expand[takeBits]));
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i taken = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(takeBits)), bit), bit);
    Store(q, _mm256_blendv_epi8(x, moved, taken));
  }

 private:
  __m256i Value(PixelLanes x) const {
    return _mm256_and_si256(_mm256_srl_epi32(x, shift_), _mm256_set1_epi32(0xFF));
  }
  static uint32_t Bits(__m256i mask) {
    return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(mask)));
  }
  static __m256i Table(const uint8_t* row) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row)));
  }
  static void Store(uint32_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

  __m256i pivot_;
  __m128i shift_;
};

}  // namespace

#include "encoders/gif_kernels_body.inc"

}  // namespace kernels_avx2
