// Times the river terminal kernels on one river board: a hand list of about
// the size the flop benchmark spot meets (thinned full ranges) and reach with
// a given share of zeros, as deep river lines have. Prints nanoseconds per
// call and per hand for each kernel, in the variant the processor selects
// (or the baseline with --baseline).
// Usage: kernel_bench [ZERO_SHARE [MISSING_SHARE]] [--baseline]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/cards.h"
#include "core/cpu_info.h"
#include "core/hand_order.h"
#include "game/deal_table.h"
#include "game/hand_evaluator.h"
#include "solver/terminal_kernels.h"

namespace {

int Card(const char* text) { return CardOfMask(ParseCards(text)); }

template <typename F>
double NanosecondsPerCall(F&& call, int calls) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) call(i);
  const auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(end - start).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
  double zeroShare = 0.8, missing = 0.55;
  int numeric = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--baseline") == 0) {
      ForceBaselineKernels(true);
    } else if (numeric == 0) {
      zeroShare = std::atof(argv[i]);
      ++numeric;
    } else {
      missing = std::atof(argv[i]);
    }
  }
  BuildHandOrderTables();
  InitHandTables();
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> range0(kComboCount), range1(kComboCount);
  for (double& w : range0) w = u(rng) < missing ? 0.0 : 1.0;
  for (double& w : range1) w = u(rng) < missing ? 0.0 : 1.0;
  DealTable table(ParseCards("Qs Jh 2h"), 0, Card("7c"), Card("3d"), false);
  SetHoles(table, range0.data(), range1.data());
  const RiverRecord& river = table.turns[0].rivers[0];
  const uint32_t n = static_cast<uint32_t>(river.combos.hands.size());
  const uint32_t runs = static_cast<uint32_t>(river.valueRuns.size());

  // A set of reach rows, cycled through so that the branches see varied data.
  constexpr int kRows = 64;
  std::vector<std::vector<double>> reach(kRows, std::vector<double>(n));
  for (auto& row : reach)
    for (double& r : row) r = u(rng) < zeroShare ? 0.0 : u(rng);
  std::vector<double> out(n + 8), fold(n + 8);
  const int calls = 200000;
  const int16_t* valueRuns = river.valueRuns.data();
  const uint16_t* codes = river.combos.pairCodes.data();

  const double showdown = NanosecondsPerCall(
      [&](int i) {
        ShowdownReachSums(out.data(), reach[i % kRows].data(), n, valueRuns, runs, codes, 2.5, river.runsCoverList);
      },
      calls);
  const double pair = NanosecondsPerCall(
      [&](int i) {
        TerminalPairReachSums(out.data(), fold.data(), reach[i % kRows].data(), n, valueRuns, runs, codes, 2.5, -1.5,
                              river.runsCoverList);
      },
      calls);
  const double split = NanosecondsPerCall(
      [&](int i) {
        TerminalPairSplitReachSums(out.data(), fold.data(), reach[i % kRows].data(), reach[(i + 1) % kRows].data(), n,
                                   valueRuns, runs, codes, 2.5, -1.5, river.runsCoverList);
      },
      calls);
  const double foldOnly = NanosecondsPerCall(
      [&](int i) { FoldReachSums(out.data(), reach[i % kRows].data(), n, codes, -1.5); }, calls);
  std::printf("%s kernels, %u hands, %u runs, %.0f%% zero reach\n", UseAvx2FmaKernels() ? "AVX2/FMA" : "AVX", n,
              runs, zeroShare * 100.0);
  const struct {
    const char* name;
    double ns;
  } rows[] = {{"showdown", showdown}, {"showdown+fold", pair}, {"split showdown+fold", split}, {"fold", foldOnly}};
  for (const auto& row : rows)
    std::printf("  %-20s %8.1f ns per call  %6.2f ns per hand\n", row.name, row.ns, row.ns / n);
  return 0;
}
