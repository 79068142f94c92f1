// The two instruction-set variants of the probability kernels. Callers use
// the entry routines of storage/prob_kernels.h; the variants are declared here
// so that the entry routines and the tests can reach them. Every pointer given
// to a variant is non-null and n is positive (the entry routines see to it).
#pragma once

#include <cstddef>
#include <cstdint>

#define PROB_KERNEL_DECLARATIONS \
  void FloatsToProbs2(const float* a, const float* b, double* pa, double* pb, int n, const float* defaults); \
  void FloatsToProbs3(const float* a, const float* b, const float* c, double* pa, double* pb, double* pc, int n, \
                      const float* defaults); \
  void FloatsToProbsDivided2(const float* a, const float* b, double* pa, double* pb, int n); \
  void FloatsToProbsDivided3(const float* a, const float* b, const float* c, double* pa, double* pb, double* pc, \
                             int n); \
  void CountsToProbs2(const uint16_t* a, const uint16_t* b, double* pa, double* pb, int n, const float* defaults, \
                      const double* reach, const void* ahead, size_t aheadBytes); \
  void CountsToProbs3(const uint16_t* a, const uint16_t* b, const uint16_t* c, double* pa, double* pb, double* pc, \
                      int n, const float* defaults, const double* reach, const void* ahead, size_t aheadBytes); \
  void CountsToReachProducts2(const uint16_t* a, const uint16_t* b, double* pa, double* pb, int n, \
                              const float* defaults, const double* reach, double* sums, const void* ahead, \
                              size_t aheadBytes); \
  void CountsToReachProducts3(const uint16_t* a, const uint16_t* b, const uint16_t* c, double* pa, double* pb, \
                              double* pc, int n, const float* defaults, const double* reach, double* sums, \
                              const void* ahead, size_t aheadBytes); \
  void CountsToProbs4(const uint16_t* a, const uint16_t* b, const uint16_t* c, const uint16_t* d, double* pa, \
                      double* pb, double* pc, double* pd, int n, const float* defaults, const double* reach, \
                      const void* ahead, size_t aheadBytes); \
  void CountsToReachProducts4(const uint16_t* a, const uint16_t* b, const uint16_t* c, const uint16_t* d, \
                              double* pa, double* pb, double* pc, double* pd, int n, const float* defaults, \
                              const double* reach, double* sums, const void* ahead, size_t aheadBytes); \
  void CountsToProbs1(const uint16_t* count, const uint32_t* total, double* p, int n, float dflt); \
  void CountsToProbs1U32(const int32_t* count, const uint32_t* total, double* p, int n, float dflt); \
  void AddU16ToU32(uint32_t* total, const uint16_t* v, int n); \
  void AddU32Arrays(uint32_t* total, const uint32_t* v, int n); \
  void DoublesToFloats(float* dst, const double* src, int n);

namespace kernels_avx2 {
PROB_KERNEL_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
PROB_KERNEL_DECLARATIONS
}  // namespace kernels_avx

#undef PROB_KERNEL_DECLARATIONS
