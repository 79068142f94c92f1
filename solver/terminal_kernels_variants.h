// The two instruction-set variants of the fold and showdown kernels and of
// the combined river terminal-pair kernels. Callers use the entry routines of
// solver/terminal_kernels.h; the variants are declared here for those entry
// routines and for the tests. Plain declarations only: the kernel sources
// include this header.
//
// Conventions of every variant:
//  - out rows hold n (or groupCount) doubles and are written in full; they
//    must not overlap each other or any input row.
//  - A null reach reads as zeros (outputs become 0).
//  - Pair codes are low card | high card << 8; only the low six bits of each
//    byte index the card tables, so a malformed code can never reach outside
//    them.
//  - The value runs must be all positive and add up to exactly n: they
//    drive every index and are not checked here (the entry routines check
//    them, or the record they come from was checked when it was built).
//  - The showdown and pair kernels return false, writing nothing, when n
//    exceeds kMaxRiverHands (their fixed working storage).
#pragma once

#include <cstdint>

// A river board leaves 47 cards, so at most 47 * 46 / 2 hands.
constexpr uint32_t kMaxRiverHands = 1081;

// Share of a river board's 1081 hands that share no card with a given hand:
// 45 * 44 / 2 = 990 of them.
constexpr double kCompatibleHandShare = 990.0 / 1081.0;

#define TERMINAL_KERNEL_DECLARATIONS                                                                               \
  void FoldReachSums(double* out, const double* reach, uint32_t n, const uint16_t* pairCodes, double payoff);      \
  void FoldReachTotal(double* out, const double* reach, uint32_t n, double payoff);                               \
  bool ShowdownReachSums(double* out, const double* reach, uint32_t n, const int16_t* valueRuns, uint32_t runCount, \
                         const uint16_t* pairCodes, double payoff);                                                \
  void ShowdownGroupSums(double* out, const double* reach, uint32_t n, const int16_t* valueRuns, uint32_t runCount, \
                         double payoff);                                                                           \
  void FoldReachSumsByRow(double* out, const double* reach, const double* shares, const int16_t* groupSizes,       \
                          uint32_t groupCount, double payoff);                                                     \
  void FoldReachTotalByRow(double* out, const double* reach, uint32_t groupCount, double payoff);                 \
  void ShowdownReachSumsByRow(double* out, const double* reach, const double* shares, uint32_t groupCount,         \
                              double payoff);                                                                      \
  void ShowdownGroupSumsByRow(double* out, const double* reach, uint32_t groupCount, double payoff);               \
  bool TerminalPairReachSums(double* outShowdown, double* outFold, const double* reach, uint32_t n,               \
                             const int16_t* valueRuns, uint32_t runCount, const uint16_t* pairCodes,               \
                             double showdownPayoff, double foldPayoff);                                            \
  bool TerminalPairSplitReachSums(double* outShowdown, double* outFold, const double* showdownReach,              \
                                  const double* foldReach, uint32_t n, const int16_t* valueRuns, uint32_t runCount, \
                                  const uint16_t* pairCodes, double showdownPayoff, double foldPayoff);

namespace kernels_avx2 {
TERMINAL_KERNEL_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
TERMINAL_KERNEL_DECLARATIONS
}  // namespace kernels_avx

#undef TERMINAL_KERNEL_DECLARATIONS
