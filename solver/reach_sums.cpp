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
