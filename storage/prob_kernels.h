// Probability kernels: turn the stored rows of one node (floats, 16-bit
// counts, signed 32-bit counts) into per-hand action probabilities in double
// precision, plus the row-total kernels and the float narrowing of the write
// path. Leaf routines over caller-owned rows: no allocation, no state.
//
// Rules shared by every routine here:
//  - n <= 0 writes nothing.
//  - A hand's values are summed in single precision, left to right in row
//    order; a sum of at least FLT_MIN gives each row's value divided by the
//    sum (a single-precision quotient widened to double), any other sum
//    (zero, subnormal, negative, NaN) gives the defaults.
//  - A null input row reads as zeros, a null output row is skipped and null
//    defaults read as zeros, so a row that holds no block never crashes.
//  - Each entry picks the AVX2/FMA or the AVX variant on every call. The
//    vector loops multiply by a reciprocal shared by the rows of a hand, so a
//    result may differ from the exactly rounded quotient by one unit in the
//    last place (the scalar remainder divides exactly).
#pragma once

#include <cstddef>
#include <cstdint>

void FloatsToProbs2(const float* a, const float* b, double* pa, double* pb, int n, const float* defaults);
void FloatsToProbs3(const float* a, const float* b, const float* c, double* pa, double* pb, double* pc, int n,
                    const float* defaults);
// With a non-null `reach` (n doubles), a group of eight hands whose reach is
// all zero gets probability 0 in every row without its counts being read, as
// does a hand of zero reach in the scalar remainder; every other hand reads
// as without it. For callers that multiply the result by that reach.
// `ahead` and `aheadBytes` name memory the caller reads next (the rows of the
// next entry): its cache lines are requested while the rows are read. Only a
// hint: nothing there is read, and an empty range requests nothing.
void CountsToProbs2(const uint16_t* a, const uint16_t* b, double* pa, double* pb, int n, const float* defaults,
                    const double* reach = nullptr, const void* ahead = nullptr, size_t aheadBytes = 0);
void CountsToProbs3(const uint16_t* a, const uint16_t* b, const uint16_t* c, double* pa, double* pb, double* pc,
                    int n, const float* defaults, const double* reach = nullptr, const void* ahead = nullptr,
                    size_t aheadBytes = 0);
// The reached read followed by the reach product in one pass: each output row
// holds double(p) * reach[i] with p what CountsToProbs2/3 with `reach` give,
// and sums[k] the sum of row k's products, added as the solver's row product
// adds them (per group of eight hands two lanes of four, the lanes added at
// the end, then each remaining hand in order). `reach` and `sums` must not be
// null. Null rows or defaults take the path of rows without a block.
void CountsToReachProducts2(const uint16_t* a, const uint16_t* b, double* pa, double* pb, int n,
                            const float* defaults, const double* reach, double* sums, const void* ahead = nullptr,
                            size_t aheadBytes = 0);
void CountsToReachProducts3(const uint16_t* a, const uint16_t* b, const uint16_t* c, double* pa, double* pb,
                            double* pc, int n, const float* defaults, const double* reach, double* sums,
                            const void* ahead = nullptr, size_t aheadBytes = 0);
void CountsToProbs4(const uint16_t* a, const uint16_t* b, const uint16_t* c, const uint16_t* d, double* pa,
                    double* pb, double* pc, double* pd, int n, const float* defaults, const double* reach = nullptr,
                    const void* ahead = nullptr, size_t aheadBytes = 0);
void CountsToReachProducts4(const uint16_t* a, const uint16_t* b, const uint16_t* c, const uint16_t* d, double* pa,
                            double* pb, double* pc, double* pd, int n, const float* defaults, const double* reach,
                            double* sums, const void* ahead = nullptr, size_t aheadBytes = 0);

// One action of a node with any number of actions: p = count / total, or dflt
// where the total, read as a signed 32-bit number, is below 1 (this includes
// totals of 2^31 and more).
void CountsToProbs1(const uint16_t* count, const uint32_t* total, double* p, int n, float dflt);
// The same for signed 32-bit counts (strategy sums).
void CountsToProbs1U32(const int32_t* count, const uint32_t* total, double* p, int n, float dflt);

// total[i] += v[i] modulo 2^32.
void AddU16ToU32(uint32_t* total, const uint16_t* v, int n);
void AddU32Arrays(uint32_t* total, const uint32_t* v, int n);

// dst[i] = src[i] rounded to single precision (nearest even); a null source
// writes zeros.
void DoublesToFloats(float* dst, const double* src, int n);
