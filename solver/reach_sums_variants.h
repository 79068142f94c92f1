// The two instruction-set variants of the compatible-reach sums. Callers use
// SumCompatibleReach of solver/reach_sums.h. Plain declarations only: the
// kernel sources include this header.
#pragma once

#include <cstdint>

#define REACH_SUM_DECLARATIONS                                                                               \
  /* For each hand i < n, s = the sum of oppReach[j] over all j < n whose two-card mask shares no card with */ \
  /* hand i (0 when oppReach is null). ev[i] = value[i] / s (0 unless s > 0) for i < evCount; weight[i] =  */ \
  /* dealWeight * ownReach[i] * s (0 when ownReach is null) for i < weightCount. evCount and weightCount  */ \
  /* are at most n; value and ownReach are read only below them. */                                         \
  void SumCompatibleReach(double* ev, uint32_t evCount, double* weight, uint32_t weightCount,                 \
                          const double* value, const double* oppReach, const double* ownReach,               \
                          const uint64_t* hands, uint32_t n, double dealWeight);                    \
  /* Card removal in linear time over a board's list of n hands with their card codes (two cards 0..51, */  \
  /* one per byte): out[i] = w * a[i] * (the sum of b over the hands sharing no card with hand i). The */    \
  /* sum returns the total of those values without storing them. */                                         \
  void JointReachPerHand(double* out, double w, const double* b, const double* a, const uint16_t* codes,     \
                         uint32_t n);                                                                        \
  double JointReachSum(double w, const double* b, const double* a, const uint16_t* codes, uint32_t n);       \
  /* The sums of a sub-tree's value over a board's list of n hands: *weighted = the sum of value[i] * */      \
  /* reach[i] over i < valueCount; *total = the sum over i < reachCount of reach[i] times the sum of */         \
  /* oppReach[j] over all j < n whose mask shares no card with hand i. Both counts are at most n. */            \
  void SubtreeValueSums(const double* value, uint32_t valueCount, const double* reach, uint32_t reachCount,   \
                        const double* oppReach, const uint64_t* hands, uint32_t n, double* weighted,          \
                        double* total);

namespace kernels_avx2 {
REACH_SUM_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
REACH_SUM_DECLARATIONS
}  // namespace kernels_avx

#undef REACH_SUM_DECLARATIONS
