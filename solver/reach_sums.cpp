#include "solver/reach_sums.h"

#include <algorithm>
#include <cstring>

#include "core/cpu_info.h"
#include "core/output.h"
#include "solver/array_kernels.h"
#include "solver/reach_sums_variants.h"

void SumCompatibleReach(AlignedArray& ev, AlignedArray& weight, const AlignedArray& value,
                        const AlignedArray& oppReach, const AlignedArray& ownReach, const std::vector<CardMask>& hands,
                        double dealWeight) {
  const uint32_t n = static_cast<uint32_t>(hands.size());
  if (oppReach.data && oppReach.count < n) Fail("opponent reach shorter than the board's list");
  uint32_t evCount = 0;
  if (value.data) {
    SizeAlignedBlock(ev, value.count);
    evCount = std::min(ev.count, n);
    if (ev.count > evCount) memset(ev.data + evCount, 0, (ev.count - evCount) * sizeof(double));
  }
  SizeAlignedBlock(weight, ownReach.count);
  const uint32_t weightCount = std::min(weight.count, n);
  if (weight.count > weightCount) memset(weight.data + weightCount, 0, (weight.count - weightCount) * sizeof(double));
  if (!evCount && !weightCount) return;
  const double* own = ownReach.data;
  if (UseAvx2FmaKernels())
    kernels_avx2::SumCompatibleReach(ev.data, evCount, weight.data, weightCount, value.data, oppReach.data, own,
                                     hands.data(), n, dealWeight);
  else
    kernels_avx::SumCompatibleReach(ev.data, evCount, weight.data, weightCount, value.data, oppReach.data, own,
                                    hands.data(), n, dealWeight);
}

void SubtreeValueSums(const AlignedArray& values, const AlignedArray& reach, const AlignedArray& oppReach,
                      const std::vector<CardMask>& hands, double& weighted, double& total) {
  weighted = total = 0.0;
  const uint32_t n = static_cast<uint32_t>(hands.size());
  if (!reach.data || !oppReach.data || !n) return;
  if (oppReach.count < n) Fail("opponent reach shorter than the board's list");
  const uint32_t reachCount = std::min(reach.count, n);
  const uint32_t valueCount = values.data ? std::min(values.count, reachCount) : 0;
  if (UseAvx2FmaKernels())
    kernels_avx2::SubtreeValueSums(values.data, valueCount, reach.data, reachCount, oppReach.data, hands.data(), n,
                                   &weighted, &total);
  else
    kernels_avx::SubtreeValueSums(values.data, valueCount, reach.data, reachCount, oppReach.data, hands.data(), n,
                                  &weighted, &total);
}

namespace {

// The list length the two rows cover; rows without data cover nothing.
uint32_t JointLength(const AlignedArray& b, const AlignedArray& a, const std::vector<uint16_t>& codes) {
  const uint32_t n = static_cast<uint32_t>(codes.size());
  if (!a.data || !b.data) return 0;
  if (a.count < n || b.count < n) Fail("reach rows shorter than the board's list");
  return n;
}

}  // namespace

void JointReachPerHand(double w, AlignedArray& out, const AlignedArray& b, const AlignedArray& a,
                       const std::vector<uint16_t>& codes) {
  if (!a.data) {
    ReleaseAlignedArray(out);
    out.count = a.count;
    return;
  }
  ResizeAlignedArray(out, a.count);
  memset(out.data, 0, sizeof(double) * out.count);
  const uint32_t n = JointLength(b, a, codes);
  if (!n) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::JointReachPerHand(out.data, w, b.data, a.data, codes.data(), n);
  else
    kernels_avx::JointReachPerHand(out.data, w, b.data, a.data, codes.data(), n);
}

double JointReachSum(double w, const AlignedArray& b, const AlignedArray& a, const std::vector<uint16_t>& codes) {
  const uint32_t n = JointLength(b, a, codes);
  if (!n) return 0.0;
  return UseAvx2FmaKernels() ? kernels_avx2::JointReachSum(w, b.data, a.data, codes.data(), n)
                             : kernels_avx::JointReachSum(w, b.data, a.data, codes.data(), n);
}
