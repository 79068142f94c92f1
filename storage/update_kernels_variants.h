// The two instruction-set variants of the 16-bit regret update, the
// quantisation and the strategy-sum accumulation. Callers use the entry
// routines of storage/update_kernels.h, which check the arguments, compute the
// per-call constants and split rows where an optional array ends.
#pragma once

#include <cstdint>

// Shared by both variants: x and y may be null (zeros) and mask may be null
// (no hand locked) in the companded updates; pf and tf are the per-call power
// factor and threshold, tf at least FLT_MIN; a null w selects the rule for a
// missing weight row. AccumulateRounded takes non-null a and b and a positive
// scale.
#define UPDATE_KERNEL_DECLARATIONS                                                                               \
  void QuantizeToU16(uint16_t* dst, const double* src, int n);                                                   \
  void UpdateCompandedU16(uint16_t* row, const double* x, const double* y, const uint8_t* mask, int n, float pf, \
                          float tf);                                                                             \
  void AccumulateCompandU16(uint16_t* row, const double* x, const double* y, const double* w,                   \
                            const uint8_t* mask, int n, float pf, float tf);                                     \
  void AccumulateRounded(int32_t* acc, const double* a, const double* b, const uint8_t* mask, int n, double scale);

namespace kernels_avx2 {
UPDATE_KERNEL_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
UPDATE_KERNEL_DECLARATIONS
}  // namespace kernels_avx

#undef UPDATE_KERNEL_DECLARATIONS
