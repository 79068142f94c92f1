// The two instruction-set variants of the 16-bit regret update, the
// quantisation and the strategy-sum accumulation. Callers use the entry
// routines of storage/update_kernels.h, which check the arguments, compute the
// per-call constants and split rows where an optional array ends.
#pragma once

#include <cstdint>

namespace kernels_avx2 {
void QuantizeToU16(uint16_t* dst, const double* src, int n);
// x and y may be null (zeros); mask may be null (no hand locked). pf and tf
// are the per-call power factor and threshold, tf at least FLT_MIN.
void UpdateCompandedU16(uint16_t* row, const double* x, const double* y, const uint8_t* mask, int n, float pf,
                        float tf);
// x and y may be null (zeros); a null w selects the rule for a missing weight
// row; mask may be null (no hand locked).
void AccumulateCompandU16(uint16_t* row, const double* x, const double* y, const double* w, const uint8_t* mask,
                          int n, float pf, float tf);
// a and b non-null, mask may be null, scale positive.
void AccumulateRounded(int32_t* acc, const double* a, const double* b, const uint8_t* mask, int n, double scale);
}  // namespace kernels_avx2

namespace kernels_avx {
void QuantizeToU16(uint16_t* dst, const double* src, int n);
void UpdateCompandedU16(uint16_t* row, const double* x, const double* y, const uint8_t* mask, int n, float pf,
                        float tf);
void AccumulateCompandU16(uint16_t* row, const double* x, const double* y, const double* w, const uint8_t* mask,
                          int n, float pf, float tf);
void AccumulateRounded(int32_t* acc, const double* a, const double* b, const uint8_t* mask, int n, double scale);
}  // namespace kernels_avx
