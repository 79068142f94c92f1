// End-to-end behaviour of the CFR engine on small spots: a hand-computed
// first update, known equilibrium values, thread-count invariance, locking,
// forgetting and rebuilding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "console_helpers.h"
#include "core/hand_order.h"
#include "core/parallel.h"
#include "game/hand_evaluator.h"
#include "solver/engine_state.h"
#include "solver/equity.h"
#include "solver/forget.h"
#include "solver/node_eval.h"
#include "solver/solver_thread.h"
#include "solver/tree_passes.h"
#include "storage/river_storage.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"

namespace {

// A set_range line giving the listed hands ("KdKh") their weights, all
// others 0.
std::string RangeOf(const std::string& player, const std::map<std::string, double>& hands) {
  std::vector<std::string> weights(kComboCount, "0");
  for (const auto& [text, weight] : hands) {
    const CardMask mask = ParseCards(text);
    for (int k = 0; k < kComboCount; ++k)
      if (HandMaskByOrder[k] == mask) weights[k] = std::to_string(weight);
  }
  std::string line = "set_range " + player;
  for (const std::string& w : weights) line += " " + w;
  return line;
}

class CfrEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunCommand("set_compression none"), "set_compression ok!\n");
    ASSERT_EQ(RunCommand("set_isomorphism 1 0"), "set_isomorphism ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
    CurrentIteration = 0;
  }
  void TearDown() override {
    RunCommand("free_tree");
    RunCommand("set_compression auto");
    omp_set_num_threads(omp_get_num_procs());
  }

  // The river toy game: OOP holds the nuts or air, IP a bluff-catcher.
  void BuildToyGame(const std::string& bet) {
    ASSERT_EQ(RunCommand(RangeOf("OOP", {{"KdKh", 1}, {"4h3d", 1}})), "set_range ok!\n");
    ASSERT_EQ(RunCommand(RangeOf("IP", {{"QdQh", 1}})), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_board 2c 5d 9h Js Kc"), "set_board ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("add_line " + bet + " " + bet), "add_line ok!\n");
    ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
    ASSERT_TRUE(AllStoragesReady(*CurrentTree));
  }

  static void Iterate(int n) {
    double ignored[3];
    for (int i = 0; i < n; ++i) RunIteration(*CurrentTree, ignored);
  }

  // {EV OOP, EV IP, exploitability} in chips, as calc_results prints them.
  static std::vector<double> Results() {
    ConvergenceRecord record;
    CalcResults(record);
    const double h = 50.0;
    return {h + record.strategyValue[0], h + record.strategyValue[1], record.exploitability,
            h + record.bestResponseValue[0], h + record.bestResponseValue[1]};
  }
};

}  // namespace

TEST_F(CfrEngine, FirstUpdateOfTheRiverRootMatchesAHandComputation) {
  ASSERT_EQ(RunCommand(RangeOf("OOP", {{"KdKh", 1}})), "set_range ok!\n");
  ASSERT_EQ(RunCommand(RangeOf("IP", {{"QdQh", 1}})), "set_range ok!\n");
  ASSERT_EQ(RunCommand("set_board 2c 5d 9h Js Kc"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 100 100"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  SolverTree& tree = *CurrentTree;
  ASSERT_TRUE(AllStoragesReady(tree));
  // OOP's kings against IP's queens, no regrets yet: OOP bets with the update
  // default 0.9 and checks with 0.1; IP calls with 0.9 and folds with 0.1.
  // Bet: 0.9 * 150 (showdown after the call) + 0.1 * 50 (IP folds) = 140;
  // check: 50; the node: 0.9 * 140 + 0.1 * 50 = 131.
  const PassResult pass = TraverseTree(tree, 0, 1);
  EXPECT_NEAR(pass.strategyValue, 131.0, 1e-5);  // probabilities are single precision
  const auto* regrets = dynamic_cast<RiverStorage*>(tree.nodes[0].firstStorage);
  ASSERT_NE(regrets, nullptr);
  // Hand list in showdown order: the queens, then the kings.
  EXPECT_FLOAT_EQ(regrets->RowData(0, 0, 0)[1], std::pow(9.0f, 0.75f));  // bet: 140 - 131
  EXPECT_EQ(regrets->RowData(0, 0, 1)[1], 0.0f);                         // check: 50 - 131 < 0
  // IP's regrets were not touched by OOP's pass.
  const TreeNode& facingBet = tree.nodes[tree.nodes[0].children[0]];
  const auto* ipRegrets = dynamic_cast<RiverStorage*>(facingBet.firstStorage);
  EXPECT_EQ(ipRegrets->RowData(0, 0, 0)[0], 0.0f);
}

TEST_F(CfrEngine, RiverToyGameReachesItsGameValue) {
  BuildToyGame("100");
  Iterate(1000);
  std::vector<double> r = Results();
  EXPECT_NEAR(r[0], 75.0, 0.1);
  EXPECT_NEAR(r[0] + r[1], 100.0, 1e-9);
  EXPECT_LT(r[2], 0.2);
  EXPECT_GE(r[3], r[0] - 1e-9);  // a best response never earns less
  EXPECT_GE(r[4], r[1] - 1e-9);

  RunCommand("free_tree");
  RunCommand("clear_lines");
  BuildToyGame("50");
  Iterate(1000);
  r = Results();
  EXPECT_NEAR(r[0], 200.0 / 3.0, 0.1);
  EXPECT_LT(r[2], 0.2);
}

TEST_F(CfrEngine, ExploitabilityFallsOnATurnSpot) {
  ASSERT_EQ(RunCommand(RangeOf("OOP", {{"AsAd", 1}, {"KsKd", 1}, {"9s8s", 1}, {"7c6c", 1}, {"QhJh", 1}})), "set_range ok!\n");
  ASSERT_EQ(RunCommand(RangeOf("IP", {{"AcKc", 1}, {"QsQd", 1}, {"TdTc", 1}, {"8h7h", 1}})), "set_range ok!\n");
  ASSERT_EQ(RunCommand("set_board Ks 9d 4c 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 60 60"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 60 60 60 60"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 60 60 120 120"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  ASSERT_TRUE(AllStoragesReady(*CurrentTree));
  Iterate(30);
  const double early = Results()[2];
  Iterate(300);
  const std::vector<double> r = Results();
  EXPECT_LT(r[2], early);
  EXPECT_LT(r[2], 1.0);
  EXPECT_NEAR(r[0] + r[1], 100.0, 1e-6);
}

TEST_F(CfrEngine, AQueryDuringASolveWaitsForOneSolverStepAtMost) {
  ASSERT_EQ(RunCommand(RangeOf("OOP", {{"AsAd", 1}, {"KsKd", 1}, {"9s8s", 1}, {"7c6c", 1}, {"QhJh", 1}})), "set_range ok!\n");
  ASSERT_EQ(RunCommand(RangeOf("IP", {{"AcKc", 1}, {"QsQd", 1}, {"TdTc", 1}, {"8h7h", 1}})), "set_range ok!\n");
  ASSERT_EQ(RunCommand("set_board Ks 9d 4c 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 60 60 120 120"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  ASSERT_EQ(RunCommand("set_accuracy 0"), "set_accuracy ok!\n");
  const SolverTree& tree = *CurrentTree;
  RunCommand("go");  // its reply goes straight to the output, ahead of the solver's lines
  ASSERT_TRUE(IsSolverRunning());
  // Queries back to back: each is let in at the solver's next step boundary
  // (an iteration or a check), and one that finds the solver already waiting
  // lets that step run first, so the solver goes on while they run.
  int start, now = 0, most = 0, queries = 0;
  {
    const SolverQueryLock query;
    start = tree.iterationCount;
  }
  while (now < start + 10 && queries < 1000000) {
    const SolverQueryLock query;
    most = std::max(most, query.StepsWaited());
    now = tree.iterationCount;
    ++queries;
  }
  EXPECT_EQ(RunCommand("stop"), "stop ok!\n");
  RunCommand("wait_for_solver");
  EXPECT_GE(now, start + 10);
  EXPECT_LE(most, 1);
}

TEST_F(CfrEngine, ThreadCountDoesNotChangeTheResult) {
  std::vector<double> results[2];
  const int threads[2] = {1, 4};
  for (int run = 0; run < 2; ++run) {
    RunCommand("free_tree");
    RunCommand("clear_lines");
    ASSERT_EQ(RunCommand(RangeOf("OOP", {{"AsAd", 1}, {"KsKd", 0.5}, {"9s8s", 1}, {"7c6c", 1}})), "set_range ok!\n");
    ASSERT_EQ(RunCommand(RangeOf("IP", {{"AcKc", 1}, {"QsQd", 1}, {"8h7h", 0.5}})), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_board Ks 9d 4c"), "set_board ok!\n");
    ASSERT_EQ(RunCommand("set_isomorphism 0 0"), "set_isomorphism ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("add_line 50 50 50 50 100 100"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
    ASSERT_TRUE(AllStoragesReady(*CurrentTree));
    omp_set_num_threads(threads[run]);
    Iterate(20);
    results[run] = Results();
  }
  for (size_t i = 0; i < results[0].size(); ++i) EXPECT_NEAR(results[0][i], results[1][i], 1e-9) << i;
}

TEST_F(CfrEngine, ALockedNodeIsNeitherUpdatedNorAccumulated) {
  BuildToyGame("100");
  SolverTree& tree = *CurrentTree;
  tree.nodes[0].firstStorage->GetNodeRecord(0, 0)->flags |= kNodeLocked;
  Iterate(100);
  const auto* regrets = dynamic_cast<RiverStorage*>(tree.nodes[0].firstStorage);
  const auto* sums = dynamic_cast<RiverStorage*>(tree.nodes[0].secondStorage);
  for (int a = 0; a < 2; ++a) {
    for (int h = 0; h < 3; ++h) {
      EXPECT_EQ(regrets->RowData(0, 0, a)[h], 0.0f);
      EXPECT_EQ(sums->RowData(0, 0, a)[h], 0.0f);
    }
  }
}

TEST_F(CfrEngine, ForgetRebuildAndSolveAllSplits) {
  ASSERT_EQ(RunCommand(RangeOf("OOP", {{"AsAd", 1}, {"9s8s", 1}, {"7c6c", 1}})), "set_range ok!\n");
  ASSERT_EQ(RunCommand(RangeOf("IP", {{"AcKc", 1}, {"QsQd", 1}})), "set_range ok!\n");
  ASSERT_EQ(RunCommand("set_board Ks 9d 4c 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 50 50"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 50 50 50 50"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  ASSERT_TRUE(AllStoragesReady(*CurrentTree));
  Iterate(200);
  const std::vector<double> before = Results();
  EXPECT_EQ(RunCommand("forget rivers"), "forget ok!\n");
  SolverTree& tree = *CurrentTree;
  EXPECT_TRUE(tree.flags & kIncompleteTree);
  EXPECT_EQ(RunCommand("go"), "ERROR: go incomplete tree\n");
  EXPECT_EQ(RunCommand("solve_all_splits rivers"), "ERROR: solve_all_splits incomplete tree\n");
  // The results computed before the forget are kept.
  const std::vector<double> cached = Results();
  EXPECT_EQ(cached, before);
  // Every captured reach sums to 200.
  for (const TreeNode& node : tree.nodes) {
    if (node.street != 3 || node.kind != kInnerNode || node.parent->street == 3) continue;
    const CardRecord& record = node.cardRecords[0];
    for (int p = 0; p < 2; ++p) {
      if (!record.arrays[p].data) continue;
      double sum = 0;
      for (uint32_t i = 0; i < record.arrays[p].count; ++i) sum += record.arrays[p].data[i];
      EXPECT_NEAR(sum, 200.0, 1e-9);
    }
  }
  EXPECT_EQ(RunCommand("rebuild_all"), "rebuild_all ok!\n");
  EXPECT_FALSE(tree.flags & kIncompleteTree);
  EXPECT_EQ(tree.forgottenStreet, -1);  // nothing left for a query to re-solve
  // The splits are solved again from the reach kept at them.
  EXPECT_EQ(RunCommand("solve_all_splits rivers"), "solve_all_splits ok!\n");
  EXPECT_EQ(tree.forgottenStreet, -1);
  EXPECT_EQ(tree.iterationCount, 200);
  // The re-solved rivers give back the game's values closely.
  const std::vector<double> after = Results();
  EXPECT_NEAR(after[0], before[0], 0.5);
  EXPECT_LT(after[2], 2.0);
  EXPECT_EQ(RunCommand("forget flops"), "ERROR: forget incorrect or missing argument\n");
}

TEST_F(CfrEngine, EvPassCapturesPerHandValuesAtTheTarget) {
  BuildToyGame("100");
  SolverTree& tree = *CurrentTree;
  EvCapture capture;
  capture.target = &tree.nodes[0];
  capture.turnIndex = tree.rootTurnIndex;
  capture.riverIndex = tree.rootRiverIndex;
  {
    std::lock_guard<std::recursive_mutex> lock(SolverMutex);
    tree.passMode = 2;
    tree.traversingPlayer = 0;
    tree.PassPhase = 1;
    tree.evCapture = &capture;
    NodeContext root;
    root.tree = &tree;
    root.node = &tree.nodes[0];
    root.turn = tree.rootTurnIndex;
    root.river = tree.rootRiverIndex;
    for (int p = 0; p < 2; ++p) {
      AlignedArray& row = p ? root.oppReach : root.ownReach;
      ResizeAlignedArray(row, static_cast<uint32_t>(tree.handVectors[p].size()));
      std::copy(tree.handVectors[p].begin(), tree.handVectors[p].end(), row.data);
    }
    EvaluateNode(root);
    tree.evCapture = nullptr;
  }
  // Uniform strategies against IP's queens. Kings: check 50, bet
  // 0.5 * 150 + 0.5 * 50 = 100, so 75. Air: check -50, bet 0.5 * -150 +
  // 0.5 * 50 = -50. The list runs air, queens, kings.
  ASSERT_EQ(capture.ev.count, 3u);
  EXPECT_NEAR(capture.ev.data[0], -50.0, 1e-5);
  EXPECT_NEAR(capture.ev.data[2], 75.0, 1e-5);
  EXPECT_EQ(capture.ev.data[1], 0.0);  // the queens block IP's only hand
  EXPECT_DOUBLE_EQ(capture.weight.data[2], 1.0);
  EXPECT_DOUBLE_EQ(capture.weight.data[1], 0.0);
}

namespace {
// Mean showdown result of hand a against each opponent hand over every
// ordered turn and river that the four cards and the board leave.
double BruteForceEquity(CardMask board, int boardCards, CardMask hand, const std::vector<CardMask>& opponents) {
  double total = 0.0;
  int matchups = 0;
  for (CardMask opp : opponents) {
    if (opp & (hand | board)) continue;
    double sum = 0.0;
    int runouts = 0;
    const CardMask dead = board | hand | opp;
    std::vector<int> live;
    for (int c = 0; c < kCardCount; ++c)
      if (!(dead & CardBit(c))) live.push_back(c);
    auto evaluate = [](CardMask cards) {
      uint8_t list[7];
      int n = 0;
      for (CardMask m = cards; m; m &= m - 1) list[n++] = static_cast<uint8_t>(CardOfMask(m));
      return EvaluateHand(list, n);
    };
    const int missing = 5 - boardCards;
    for (int t : live) {
      for (int r : live) {
        if (missing == 2 && r == t) continue;
        CardMask full = board | CardBit(t);
        if (missing == 2) full |= CardBit(r);
        const uint32_t a = evaluate(full | hand), b = evaluate(full | opp);
        sum += a > b ? 1.0 : (a < b ? -1.0 : 0.0);
        ++runouts;
        if (missing == 1) break;
      }
    }
    total += sum / runouts;
    ++matchups;
  }
  return total / matchups;
}
}  // namespace

TEST_F(CfrEngine, EquityPassMatchesABruteForceCount) {
  ASSERT_EQ(RunCommand(RangeOf("OOP", {{"KdKh", 1}, {"KcKs", 1}, {"KcKd", 1}, {"KcKh", 1}, {"KdKs", 1}, {"KhKs", 1}})),
            "set_range ok!\n");
  ASSERT_EQ(RunCommand(RangeOf("IP", {{"QdQh", 1}, {"QcQs", 1}, {"QcQd", 1}, {"QcQh", 1}, {"QdQs", 1}, {"QhQs", 1}})),
            "set_range ok!\n");
  ASSERT_EQ(RunCommand("set_board 2c 5c 9c"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  ASSERT_TRUE(CurrentTree->flags & kIsomorphismOn);  // a monotone flop merges suits
  SolverTree& tree = *CurrentTree;
  std::vector<double> equity(kComboCount), weight(kComboCount);
  std::vector<CardMask> queens;
  for (const char* q : {"QdQh", "QcQs", "QcQd", "QcQh", "QdQs", "QhQs"}) queens.push_back(ParseCards(q));
  const CardMask board = ParseCards("2c 5c 9c");
  const int kdkh = ComboIndex(MakeCard(11, 1), MakeCard(11, 2));
  const int kcks = ComboIndex(MakeCard(11, 0), MakeCard(11, 3));
  // Flop: averaged over turn and river.
  CalcEquity(0, -1, -1, tree.ranges[0].data(), tree.ranges[1].data(), equity.data(), weight.data());
  EXPECT_NEAR(equity[kdkh], BruteForceEquity(board, 3, ParseCards("KdKh"), queens), 1e-9);
  EXPECT_NEAR(equity[kcks], BruteForceEquity(board, 3, ParseCards("KcKs"), queens), 1e-9);
  EXPECT_TRUE(std::isnan(equity[ComboIndex(MakeCard(12, 0), MakeCard(12, 1))]));  // not in OOP's range
  EXPECT_GT(weight[kdkh], 0.0);
  // Turn 7h: averaged over the river.
  const int seven = MakeCard(5, 2);
  CalcEquity(0, seven, -1, tree.ranges[0].data(), tree.ranges[1].data(), equity.data(), weight.data());
  EXPECT_NEAR(equity[kdkh], BruteForceEquity(board | CardBit(seven), 4, ParseCards("KdKh"), queens), 1e-9);
  // River: no averaging; the kings beat every queen pair that is left.
  CalcEquity(0, seven, MakeCard(1, 3), tree.ranges[0].data(), tree.ranges[1].data(), equity.data(),
             weight.data());
  EXPECT_NEAR(equity[kdkh], 1.0, 1e-12);
}

TEST_F(CfrEngine, AverageStrategyFallsBackToTheCurrentStrategyPerHand) {
  BuildToyGame("100");
  SolverTree& tree = *CurrentTree;
  const TreeNode& root = tree.nodes[0];
  // Hand list in showdown order: 4h3d, QdQh, KdKh; action 0 bets, 1 checks.
  auto row = [](std::initializer_list<double> values) {
    AlignedArray a{};
    ResizeAlignedArray(a, static_cast<uint32_t>(values.size()));
    uint32_t i = 0;
    for (double v : values) a.data[i++] = v;
    return a;
  };
  AlignedArray regretBet = row({3, 0, 1}), regretCheck = row({1, 0, 3});
  AlignedArray sumBet = row({0, 0, 2}), sumCheck = row({0, 0, 6});
  root.firstStorage->WriteRow(0, 0, 0, regretBet);
  root.firstStorage->WriteRow(0, 0, 1, regretCheck);
  root.secondStorage->WriteRow(0, 0, 0, sumBet);
  root.secondStorage->WriteRow(0, 0, 1, sumCheck);
  std::vector<AlignedArray> strategy;
  ReadNodeStrategy(root, 0, 0, strategy);
  ASSERT_EQ(strategy.size(), 2u);
  ASSERT_EQ(strategy[0].count, 3u);
  // Without sums: the regret-matched strategy, or uniform without regrets.
  EXPECT_FLOAT_EQ(strategy[0].data[0], 0.75);
  EXPECT_FLOAT_EQ(strategy[1].data[0], 0.25);
  EXPECT_FLOAT_EQ(strategy[0].data[1], 0.5);
  EXPECT_FLOAT_EQ(strategy[1].data[1], 0.5);
  // With sums: their proportions, whatever the regrets say.
  EXPECT_FLOAT_EQ(strategy[0].data[2], 0.25);
  EXPECT_FLOAT_EQ(strategy[1].data[2], 0.75);
  for (AlignedArray* a : {&regretBet, &regretCheck, &sumBet, &sumCheck}) ReleaseAlignedArray(*a);
  for (AlignedArray& a : strategy) ReleaseAlignedArray(a);
}
