#include "solver/terminal_kernels.h"

#include <cstring>

#include "core/cpu_info.h"
#include "core/output.h"
#include "game/deal_table.h"
#include "solver/array_kernels.h"
#include "solver/engine_state.h"
#include "solver/terminal_kernels_variants.h"
#include "storage/solver_tree.h"

namespace {

// The showdown working storage is fixed and the value runs drive every index
// of its sweeps: a longer list or runs that do not cover it are an internal
// inconsistency of the deal records, never something to trust.
[[noreturn]] void ShowdownInputFault() { Fail("showdown list does not fit its runs or working storage"); }

// Whether the run lengths are all positive and add up to exactly n.
bool RunsCoverHands(const int16_t* runs, uint32_t runCount, uint32_t n) {
  uint32_t covered = 0;
  for (uint32_t r = 0; r < runCount; ++r) {
    if (runs[r] <= 0) return false;
    covered += static_cast<uint32_t>(runs[r]);
    if (covered > n) return false;
  }
  return covered == n;
}

// Runs not checked when their list was built are checked before a kernel
// walks them.
void RequireRunsCover(const int16_t* runs, uint32_t runCount, uint32_t n, bool runsChecked) {
  if (!runsChecked && !RunsCoverHands(runs, runCount, n)) ShowdownInputFault();
}

// A reach row shorter than the rows it is read over would be read past its
// end.
void RequireRowLength(const AlignedArray& row, uint32_t needed) {
  if (row.data && row.count < needed) Fail("per-hand row shorter than the board's list");
}

// Hand groups must be consecutive runs of positive length that cover the
// hand list, with 52 card shares each.
void RequireConsistentGroups(const RiverRecord& record) {
  const size_t groups = record.groupSizes.size();
  if (record.cardShares.size() != 52 * groups) Fail("hand groups without their card shares");
  uint32_t covered = 0;
  for (int16_t size : record.groupSizes) {
    if (size <= 0) Fail("empty hand group");
    covered += static_cast<uint32_t>(size);
  }
  if (covered != record.HandCount()) Fail("hand groups do not cover the hand list");
}

uint32_t RunCount(const RiverRecord& record) { return static_cast<uint32_t>(record.valueRuns.size()); }

// Every hand of a list has a pair code; a record built without them cannot be
// evaluated.
void RequirePairCodes(const BoardCombos& combos) {
  if (combos.pairCodes.size() < combos.hands.size()) Fail("hand list without pair codes");
}

// Per-hand reach from per-group reach: each hand of group g gets
// reach[g] / size(g).
void SpreadGroupReach(const RiverRecord& record, const double* groupReach, AlignedArray& handReach) {
  SizeAlignedBlock(handReach, record.HandCount());
  uint32_t h = 0;
  for (size_t g = 0; g < record.groupSizes.size(); ++g) {
    const int16_t size = record.groupSizes[g];
    const double share = groupReach[g] / size;
    for (int16_t k = 0; k < size; ++k) handReach.data[h++] = share;
  }
}

enum class TerminalKind { kFold, kShowdown };

void EvaluateRiverTerminal(TerminalKind kind, const RiverRecord& record, AlignedArray& output,
                           const AlignedArray& oppReach, bool grouped, double payoff) {
  const uint32_t hands = record.HandCount();
  if (!oppReach.data) {
    MakeEmptyRow(output, hands);
    return;
  }
  const bool showdown = kind == TerminalKind::kShowdown;
  RequirePairCodes(record.combos);
  if (record.groupingMode == 0) {
    RequireRowLength(oppReach, hands);
    SizeAlignedBlock(output, hands);
    if (CurrentIteration < 0) {
      if (showdown)
        ShowdownGroupSums(output.data, oppReach.data, hands, record.valueRuns.data(), RunCount(record), payoff,
                          record.runsCoverList);
      else
        FoldReachTotal(output.data, oppReach.data, hands, payoff);
    } else {
      if (showdown)
        ShowdownReachSums(output.data, oppReach.data, hands, record.valueRuns.data(), RunCount(record),
                          record.combos.pairCodes.data(), payoff, record.runsCoverList);
      else
        FoldReachSums(output.data, oppReach.data, hands, record.combos.pairCodes.data(), payoff);
    }
    return;
  }
  RequireConsistentGroups(record);
  const uint32_t groups = static_cast<uint32_t>(record.groupSizes.size());
  RequireRowLength(oppReach, groups);
  if (!grouped) {
    AlignedArray handReach;
    SpreadGroupReach(record, oppReach.data, handReach);
    SizeAlignedBlock(output, hands);
    if (showdown)
      ShowdownReachSums(output.data, handReach.data, hands, record.valueRuns.data(), RunCount(record),
                        record.combos.pairCodes.data(), payoff, record.runsCoverList);
    else
      FoldReachSums(output.data, handReach.data, hands, record.combos.pairCodes.data(), payoff);
    ReleaseAlignedArray(handReach);
    return;
  }
  SizeAlignedBlock(output, groups);
  if (CurrentIteration < 0) {
    if (showdown)
      ShowdownGroupSumsByRow(output.data, oppReach.data, groups, payoff);
    else
      FoldReachTotalByRow(output.data, oppReach.data, groups, payoff);
  } else {
    if (showdown)
      ShowdownReachSumsByRow(output.data, oppReach.data, record.cardShares.data(), groups, payoff);
    else
      FoldReachSumsByRow(output.data, oppReach.data, record.cardShares.data(), record.groupSizes.data(), groups,
                         payoff);
  }
}

}  // namespace

// --- Entry routines of the pointer kernels ---------------------------------------------

void FoldReachSums(double* out, const double* reach, uint32_t n, const uint16_t* pairCodes, double payoff) {
  if (n == 0) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::FoldReachSums(out, reach, n, pairCodes, payoff);
  else
    kernels_avx::FoldReachSums(out, reach, n, pairCodes, payoff);
}

void FoldReachTotal(double* out, const double* reach, uint32_t n, double payoff) {
  if (n == 0) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::FoldReachTotal(out, reach, n, payoff);
  else
    kernels_avx::FoldReachTotal(out, reach, n, payoff);
}

void ShowdownReachSums(double* out, const double* reach, uint32_t n, const int16_t* valueRuns, uint32_t runCount,
                       const uint16_t* pairCodes, double payoff, bool runsChecked) {
  RequireRunsCover(valueRuns, runCount, n, runsChecked);
  const bool ok = UseAvx2FmaKernels()
                      ? kernels_avx2::ShowdownReachSums(out, reach, n, valueRuns, runCount, pairCodes, payoff)
                      : kernels_avx::ShowdownReachSums(out, reach, n, valueRuns, runCount, pairCodes, payoff);
  if (!ok) ShowdownInputFault();
}

void ShowdownGroupSums(double* out, const double* reach, uint32_t n, const int16_t* valueRuns, uint32_t runCount,
                       double payoff, bool runsChecked) {
  RequireRunsCover(valueRuns, runCount, n, runsChecked);
  if (UseAvx2FmaKernels())
    kernels_avx2::ShowdownGroupSums(out, reach, n, valueRuns, runCount, payoff);
  else
    kernels_avx::ShowdownGroupSums(out, reach, n, valueRuns, runCount, payoff);
}

void FoldReachSumsByRow(double* out, const double* reach, const double* shares, const int16_t* groupSizes,
                        uint32_t groupCount, double payoff) {
  if (groupCount == 0) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::FoldReachSumsByRow(out, reach, shares, groupSizes, groupCount, payoff);
  else
    kernels_avx::FoldReachSumsByRow(out, reach, shares, groupSizes, groupCount, payoff);
}

void FoldReachTotalByRow(double* out, const double* reach, uint32_t groupCount, double payoff) {
  if (groupCount == 0) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::FoldReachTotalByRow(out, reach, groupCount, payoff);
  else
    kernels_avx::FoldReachTotalByRow(out, reach, groupCount, payoff);
}

void ShowdownReachSumsByRow(double* out, const double* reach, const double* shares, uint32_t groupCount,
                            double payoff) {
  if (groupCount == 0) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::ShowdownReachSumsByRow(out, reach, shares, groupCount, payoff);
  else
    kernels_avx::ShowdownReachSumsByRow(out, reach, shares, groupCount, payoff);
}

void ShowdownGroupSumsByRow(double* out, const double* reach, uint32_t groupCount, double payoff) {
  if (groupCount == 0) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::ShowdownGroupSumsByRow(out, reach, groupCount, payoff);
  else
    kernels_avx::ShowdownGroupSumsByRow(out, reach, groupCount, payoff);
}

void TerminalPairReachSums(double* outShowdown, double* outFold, const double* reach, uint32_t n,
                           const int16_t* valueRuns, uint32_t runCount, const uint16_t* pairCodes,
                           double showdownPayoff, double foldPayoff, bool runsChecked) {
  RequireRunsCover(valueRuns, runCount, n, runsChecked);
  const bool ok = UseAvx2FmaKernels()
                      ? kernels_avx2::TerminalPairReachSums(outShowdown, outFold, reach, n, valueRuns, runCount,
                                                            pairCodes, showdownPayoff, foldPayoff)
                      : kernels_avx::TerminalPairReachSums(outShowdown, outFold, reach, n, valueRuns, runCount,
                                                           pairCodes, showdownPayoff, foldPayoff);
  if (!ok) ShowdownInputFault();
}

void TerminalPairSplitReachSums(double* outShowdown, double* outFold, const double* showdownReach,
                                const double* foldReach, uint32_t n, const int16_t* valueRuns, uint32_t runCount,
                                const uint16_t* pairCodes, double showdownPayoff, double foldPayoff,
                                bool runsChecked) {
  RequireRunsCover(valueRuns, runCount, n, runsChecked);
  const bool ok =
      UseAvx2FmaKernels()
          ? kernels_avx2::TerminalPairSplitReachSums(outShowdown, outFold, showdownReach, foldReach, n, valueRuns,
                                                     runCount, pairCodes, showdownPayoff, foldPayoff)
          : kernels_avx::TerminalPairSplitReachSums(outShowdown, outFold, showdownReach, foldReach, n, valueRuns,
                                                    runCount, pairCodes, showdownPayoff, foldPayoff);
  if (!ok) ShowdownInputFault();
}

// --- Board evaluations --------------------------------------------------------------------

void EvaluateFold(const RiverRecord& record, AlignedArray& output, const AlignedArray& oppReach, bool grouped,
                  double payoff) {
  EvaluateRiverTerminal(TerminalKind::kFold, record, output, oppReach, grouped, payoff);
}

void EvaluateShowdown(const RiverRecord& record, AlignedArray& output, const AlignedArray& oppReach, bool grouped,
                      double payoff) {
  EvaluateRiverTerminal(TerminalKind::kShowdown, record, output, oppReach, grouped, payoff);
}

void EvaluateBoardFold(const BoardCombos& combos, AlignedArray& output, const AlignedArray& oppReach,
                       double payoff) {
  const uint32_t hands = static_cast<uint32_t>(combos.hands.size());
  RequirePairCodes(combos);
  RequireRowLength(oppReach, hands);
  SizeAlignedBlock(output, hands);
  FoldReachSums(output.data, oppReach.data, hands, combos.pairCodes.data(), payoff);
}

double TerminalPayoff(const TreeNode& node, int32_t traversingPlayer) {
  if (node.kind == kFoldNode) return node.player == traversingPlayer ? -node.amount : node.amount;
  if (node.kind == kShowdownNode) return node.amount;
  return 0.0;
}

bool RiverTerminalPair(const SolverTree& tree, const TreeNode& node, double& showdownPayoff, double& foldPayoff) {
  if (node.kind != kInnerNode || node.street != 3) return false;
  const size_t n = node.children.size();
  if (n < 2) return false;
  const int32_t showdownIndex = node.children[n - 2], foldIndex = node.children[n - 1];
  const size_t nodeCount = tree.nodes.size();
  if (showdownIndex < 0 || foldIndex < 0 || static_cast<size_t>(showdownIndex) >= nodeCount ||
      static_cast<size_t>(foldIndex) >= nodeCount)
    return false;
  const TreeNode& showdown = tree.nodes[showdownIndex];
  const TreeNode& fold = tree.nodes[foldIndex];
  // The combined kernel writes showdown values into the first output and fold
  // values into the second: any other pair of terminals must be visited one
  // by one.
  if (showdown.kind != kShowdownNode || fold.kind != kFoldNode) return false;
  showdownPayoff = TerminalPayoff(showdown, tree.traversingPlayer);
  foldPayoff = TerminalPayoff(fold, tree.traversingPlayer);
  return true;
}

void EvaluateTerminalPairSharedReach(const RiverRecord& record, AlignedArray& outShowdown, AlignedArray& outFold,
                                     const AlignedArray& oppReach, double showdownPayoff, double foldPayoff) {
  const uint32_t hands = record.HandCount();
  if (!oppReach.data) {
    MakeEmptyRow(outShowdown, hands);
    MakeEmptyRow(outFold, hands);
    return;
  }
  if (record.groupingMode != 0) {
    // The combined sweep reads one reach per hand; grouped reach goes through
    // the per-group kernels of an update pass instead.
    EvaluateShowdown(record, outShowdown, oppReach, true, showdownPayoff);
    EvaluateFold(record, outFold, oppReach, true, foldPayoff);
    return;
  }
  RequirePairCodes(record.combos);
  RequireRowLength(oppReach, hands);
  SizeAlignedBlock(outShowdown, hands);
  SizeAlignedBlock(outFold, hands);
  TerminalPairReachSums(outShowdown.data, outFold.data, oppReach.data, hands, record.valueRuns.data(),
                        RunCount(record), record.combos.pairCodes.data(), showdownPayoff, foldPayoff,
                        record.runsCoverList);
}

void EvaluateTerminalPairSplitReach(double showdownPayoff, double foldPayoff, const RiverRecord& record,
                                    AlignedArray& outShowdown, AlignedArray& outFold,
                                    const AlignedArray& showdownReach, const AlignedArray& foldReach) {
  const uint32_t hands = record.HandCount();
  if (!showdownReach.data && !foldReach.data) {
    MakeEmptyRow(outShowdown, hands);
    MakeEmptyRow(outFold, hands);
    return;
  }
  if (record.groupingMode != 0) {
    EvaluateShowdown(record, outShowdown, showdownReach, true, showdownPayoff);
    EvaluateFold(record, outFold, foldReach, true, foldPayoff);
    return;
  }
  RequirePairCodes(record.combos);
  RequireRowLength(showdownReach, hands);
  RequireRowLength(foldReach, hands);
  SizeAlignedBlock(outShowdown, hands);
  SizeAlignedBlock(outFold, hands);
  TerminalPairSplitReachSums(outShowdown.data, outFold.data, showdownReach.data, foldReach.data, hands,
                             record.valueRuns.data(), RunCount(record), record.combos.pairCodes.data(),
                             showdownPayoff, foldPayoff, record.runsCoverList);
}
