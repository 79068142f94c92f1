// Equities, EVs, line frequencies and node locks through the console: small
// spots worked out by hand, and the relations that must hold between the
// reports of a solved tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "console_helpers.h"
#include "core/cards.h"
#include "core/cpu_info.h"
#include "core/hand_order.h"
#include "core/settings.h"
#include "game/line_tree.h"
#include "results/ev_report.h"
#include "results/node_report.h"
#include "results/report_helpers.h"
#include "solver/solver_thread.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_interface.h"

namespace {

using Numbers = std::vector<double>;

Numbers ParseNumbers(const std::string& line) {
  std::istringstream in(line);
  Numbers values;
  std::string word;
  while (in >> word) values.push_back(word == "nan" ? std::nan("") : std::stod(word));
  return values;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int Position(const std::string& hand) {
  for (int k = 0; k < kComboCount; ++k)
    if (HandMaskByOrder[k] == ParseCards(hand)) return k;
  return -1;
}

// A command followed by 1326 hand-order weights: `weight` for the listed
// hands, `rest` for every other.
std::string WeightsLine(const std::string& prefix, const std::vector<std::string>& hands, const std::string& weight,
                        const std::string& rest = "0") {
  std::string line = prefix;
  for (int k = 0; k < kComboCount; ++k) {
    bool listed = false;
    for (const std::string& hand : hands) listed |= Position(hand) == k;
    line += " " + (listed ? weight : rest);
  }
  return line;
}

// Every hand of the listed classes ("AA", "AKs", "AKo"), so that a range is
// the same in every suit.
std::vector<std::string> ClassHands(const std::vector<std::string>& classes) {
  const std::string ranks = "23456789TJQKA", suits = "cdhs";
  std::vector<std::string> hands;
  for (const std::string& name : classes)
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) {
        const bool pair = name[0] == name[1];
        if ((pair && a >= b) || (!pair && ((name[2] == 's') != (a == b)))) continue;
        hands.push_back(std::string() + name[0] + suits[a] + name[1] + suits[b]);
      }
  (void)ranks;
  return hands;
}

double Number(const std::string& reply) {
  EXPECT_EQ(Lines(reply).size(), 1u) << reply;
  if (reply.empty() || !(std::isdigit(static_cast<unsigned char>(reply[0])) || reply[0] == '-')) {
    ADD_FAILURE() << reply;
    return std::nan("");
  }
  return std::stod(reply);
}

// The two number lines of calc_ev / calc_eq (and the third of calc_eq_node).
std::vector<Numbers> Block(const std::string& command) {
  const std::vector<std::string> lines = Lines(RunCommand(command));
  std::vector<Numbers> rows;
  EXPECT_FALSE(lines.empty()) << command;
  if (lines.empty()) return rows;
  EXPECT_EQ(lines.back(), "END") << command << ": " << lines.front().substr(0, 80);
  for (size_t i = 0; i + 1 < lines.size(); ++i) rows.push_back(ParseNumbers(lines[i]));
  return rows;
}

class NodeValues : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunCommand("set_compression none"), "set_compression ok!\n");
    ASSERT_EQ(RunCommand("set_isomorphism 1 0"), "set_isomorphism ok!\n");
  }
  void TearDown() override {
    RunCommand("free_tree");
    RunCommand("clear_lines");
    RunCommand("set_compression auto");
    RunCommand("set_isomorphism 1 0");
    RunCommand("set_threads 4");
  }

  static void Iterate(int n) {
    double ignored[3];
    for (int i = 0; i < n; ++i) RunIteration(*CurrentTree, ignored);
  }

  static void Build(const std::vector<std::string>& oop, const std::vector<std::string>& ip, const std::string& board,
                    const std::vector<std::string>& lines) {
    ASSERT_EQ(RunCommand(WeightsLine("set_range OOP", oop, "1")), "set_range ok!\n");
    ASSERT_EQ(RunCommand(WeightsLine("set_range IP", ip, "1")), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_board " + board), "set_board ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
    for (const std::string& line : lines) ASSERT_EQ(RunCommand("add_line " + line), "add_line ok!\n");
    ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
    ASSERT_TRUE(AllStoragesReady(*CurrentTree));
  }

  // The river toy game: OOP holds the nuts or air, IP a bluff-catcher; OOP
  // bets the pot or checks, IP calls or folds a bet and checks back a check.
  static void BuildRiverGame() {
    Build({"KdKh", "4h3d"}, {"QdQh"}, "2c 5d 9h Js Kc", {"0 0", "100 100"});
  }

  // A flop spot with bets on every street.
  static void BuildFlopSpot() {
    Build(ClassHands({"AA", "KK", "JJ", "KQs", "T9s", "65s", "AKs"}),
          ClassHands({"QQ", "88", "AQs", "KJs", "JTs", "KQo", "98s", "43s"}), "Qs Jh 2h",
          {"0 0 0 0 0 50 50", "0 0 0 50 50 50 50", "0 50 50 50 50 50 50", "50 50 50 50 50 100 100",
           "50 150 150 150 150 150 150", "50 50 50 50 50 50"});
  }
};

TEST_F(NodeValues, EquityOfOnePairAgainstAnotherIsCountedOverTheRunouts) {
  // AhAs against KdKc on 2c 7d 3h: no straight or flush can help the kings,
  // which win only when a king comes and no ace: one runout of both kings
  // and 2 x 41 of one king with a blank, out of the 990 runouts of the 45
  // cards left.
  {
    const char* isomorphism = "set_isomorphism 0 0";
    ASSERT_EQ(RunCommand(isomorphism), "set_isomorphism ok!\n");
    Build({"AhAs"}, {"KdKc"}, "2c 7d 3h", {"0 0 0 0 0 0"});
    const double kings = (1.0 + 2.0 * 41.0) / 990.0;
    const std::vector<Numbers> oop = Block("calc_eq OOP");
    ASSERT_EQ(oop.size(), 2u);
    ASSERT_EQ(oop[0].size(), static_cast<size_t>(kComboCount));
    EXPECT_NEAR(oop[0][Position("AhAs")], 1.0 - kings, 1e-8) << isomorphism;
    EXPECT_EQ(oop[1][Position("AhAs")], 1980.0);
    // Outside the range, or meeting the board: no equity and no weight.
    EXPECT_TRUE(std::isnan(oop[0][Position("AdAc")]));
    EXPECT_EQ(oop[1][Position("AdAc")], 0.0);
    EXPECT_TRUE(std::isnan(oop[0][Position("2c2d")]));
    const std::vector<Numbers> ip = Block("calc_eq IP");
    EXPECT_NEAR(ip[0][Position("KdKc")], kings, 1e-8);
    // At the root node, with the node's (unchanged) ranges: the same lines,
    // and the average equities of both players add up to 1.
    const std::vector<Numbers> node = Block("calc_eq_node OOP r");
    ASSERT_EQ(node.size(), 3u);
    EXPECT_NEAR(node[0][Position("AhAs")], oop[0][Position("AhAs")], 1e-15);
    EXPECT_NEAR(node[2][0] + Block("calc_eq_node IP r:0")[2][0], 1.0, 1e-8);
    const std::vector<std::string> pp = Lines(RunCommand("calc_eq_pp OOP"));
    ASSERT_EQ(pp.size(), 2u);
    EXPECT_EQ(pp[0], "AsAh: 91.62; 1980.00");
    EXPECT_EQ(pp[1], "END");
    RunCommand("free_tree");
  }
}

TEST_F(NodeValues, TurnAndRiverRootsTakeTheirEquitiesOnTheirOwnCards) {
  Build({"AhAs"}, {"KdKc"}, "2c 7d 3h 9s", {"0 0 0 0"});
  // The kings win with one of the two kings among the 44 river cards.
  const std::vector<Numbers> turn = Block("calc_eq IP");
  EXPECT_NEAR(turn[0][Position("KdKc")], 2.0 / 44.0, 1e-8);
  EXPECT_EQ(turn[1][Position("KdKc")], 44.0);
  const std::vector<Numbers> node = Block("calc_eq_node IP r");
  EXPECT_EQ(turn[0][Position("KdKc")], node[0][Position("KdKc")]);
  RunCommand("free_tree");
  Build({"AhAs"}, {"KdKc", "9d9c"}, "2c 7d 3h 9s Kh", {"0 0"});
  const std::vector<Numbers> river = Block("calc_eq OOP");
  // Aces lose to both sets.
  EXPECT_EQ(river[0][Position("AhAs")], 0.0);
  EXPECT_EQ(river[1][Position("AhAs")], 2.0);
}

TEST_F(NodeValues, EvsOfAFixedRiverSpotAreTheStrategyWeightedPayoffs) {
  BuildRiverGame();
  // OOP bets the nuts always and the air with probability 0.4; IP calls a
  // quarter of the time. The pot is 100 and the bet 100.
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {"KdKh"}, "1")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 1", {"KdKh"}, "0")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {"4h3d"}, "0.4", "1")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 1", {"4h3d"}, "0.6", "0")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0:b100 0", {"QdQh"}, "0.25")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0:b100 1", {"QdQh"}, "0.75")), "set_strategy ok!\n");
  const std::vector<Numbers> oop = Block("calc_ev OOP r:0");
  ASSERT_EQ(oop.size(), 2u);
  // Called: +200; folded to: +100; checked down: 100 for the nuts, 0 for air.
  EXPECT_NEAR(oop[0][Position("KdKh")], 0.25 * 200 + 0.75 * 100, 1e-4);
  EXPECT_NEAR(oop[0][Position("4h3d")], 0.4 * (0.25 * -100 + 0.75 * 100), 1e-4);
  EXPECT_DOUBLE_EQ(oop[1][Position("KdKh")], 1.0);
  // IP at his decision: calling loses 100 to the nuts and wins 200 from air.
  const double bluffShare = 0.4 / 1.4;
  const std::vector<Numbers> ip = Block("calc_ev IP r:0:b100");
  EXPECT_NEAR(ip[0][Position("QdQh")], 0.25 * (bluffShare * 200 + (1 - bluffShare) * -100), 1e-4);
  EXPECT_NEAR(ip[1][Position("QdQh")], 1.4, 1e-6);
  // "r" is the first decision node; calc_ev_pp prints the same values.
  EXPECT_EQ(RunCommand("calc_ev OOP r"), RunCommand("calc_ev OOP r:0"));
  const std::vector<std::string> pp = Lines(RunCommand("calc_ev_pp OOP r"));
  ASSERT_EQ(pp.size(), 3u);
  EXPECT_EQ(pp[0], "KhKd: 125.00; 1.00");
  EXPECT_EQ(pp[1], "4h3d: 20.00; 1.00");
  // A hand outside the range and a hand that meets the board: nan and 0.
  EXPECT_TRUE(std::isnan(oop[0][Position("AsAh")]));
  EXPECT_EQ(oop[1][Position("AsAh")], 0.0);
  EXPECT_TRUE(std::isnan(oop[0][Position("KcKs")]));
}

TEST_F(NodeValues, LocksHoldThroughASolveWhileTheOpponentAdapts) {
  BuildRiverGame();
  // Unlocked, IP calls half of the time at equilibrium.
  Iterate(300);
  const double balanced = Block("show_strategy r:0:b100")[0][Position("QdQh")];
  EXPECT_NEAR(balanced, 0.5, 0.1);
  // OOP locked to bet every hand: far too many bluffs, so IP calls always.
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {}, "1", "1")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 1", {}, "0")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand("lock_node r:0"), "lock_node ok!\n");
  const std::vector<Numbers> set = Block("show_strategy r:0");
  Iterate(300);
  const std::vector<Numbers> after = Block("show_strategy r:0");
  EXPECT_EQ(after, set);
  EXPECT_EQ(after[0][Position("4h3d")], 1.0);
  EXPECT_GT(Block("show_strategy r:0:b100")[0][Position("QdQh")], 0.95);

  // Combo lock: the air keeps betting always while the nuts, set to check,
  // are free again and learn to bet into the calls.
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {"4h3d"}, "1")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 1", {"KdKh"}, "1")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("combo_lock_node r:0", {"4h3d"}, "nan")), "combo_lock_node ok!\n");
  EXPECT_NE(RunCommand("show_node r:0").find("flags: COMBO_LOCKED\n"), std::string::npos);
  // The mask marks the one hand given a weight (NaN counts), and only it, in
  // both kernel variants.
  const NodeRef root = ResolveNodePath("r:0");
  const TreeNode& rootNode = CurrentTree->nodes[root.node->treeIndex];
  int turnIndex, riverIndex;
  DealIndicesForCards(*CurrentTree, root.turnCard, root.riverCard, turnIndex, riverIndex);
  auto lockMask = [&] {
    const NodeRecord* record = rootNode.firstStorage->GetNodeRecord(turnIndex, riverIndex);
    return std::vector<int>(record->mask, record->mask + record->maskLength);
  };
  const std::vector<int> mask = lockMask();
  EXPECT_EQ(mask.size(), CurrentTree->dealTable->turns[turnIndex].rivers[riverIndex].combos.hands.size());
  EXPECT_EQ(std::count(mask.begin(), mask.end(), 1), 1);
  EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), static_cast<long>(mask.size()) - 1);
  const bool baselineBefore = !UseAvx2FmaKernels();
  ForceBaselineKernels(!baselineBefore);
  ASSERT_EQ(RunCommand(WeightsLine("combo_lock_node r:0", {"4h3d"}, "nan")), "combo_lock_node ok!\n");
  ForceBaselineKernels(baselineBefore);
  EXPECT_EQ(lockMask(), mask);
  Iterate(300);
  const std::vector<Numbers> combo = Block("show_strategy r:0");
  EXPECT_EQ(combo[0][Position("4h3d")], 1.0);
  EXPECT_GT(combo[0][Position("KdKh")], 0.9);
  ASSERT_EQ(RunCommand("unlock_node r:0"), "unlock_node ok!\n");
  EXPECT_NE(RunCommand("show_node r:0").find("flags: \n"), std::string::npos);
}

TEST_F(NodeValues, LocksAreKeptPerRunoutAndSharedByIsomorphicRunouts) {
  // A three-heart flop: the turn 2c stands for 2d and 2s too, not 2h.
  Build(ClassHands({"AA", "KK"}), ClassHands({"QQ", "JJ"}), "Ah 7h 3h", {"0 0 0 0 0 0", "0 0 50 50 50 50", "0 0 0 0 50 50"});
  ASSERT_EQ(RunCommand("lock_node r:0:c:c:2c"), "lock_node ok!\n");
  for (const char* twin : {"2c", "2d", "2s"})
    EXPECT_NE(RunCommand(std::string("show_node r:0:c:c:") + twin).find("flags: LOCKED\n"), std::string::npos)
        << twin;
  EXPECT_NE(RunCommand("show_node r:0:c:c:2h").find("flags: \n"), std::string::npos);
  EXPECT_NE(RunCommand("show_node r:0").find("flags: \n"), std::string::npos);
  // A river node locked on one river only; its strategy rows written there.
  ASSERT_EQ(RunCommand("lock_node r:0:c:c:2c:c:c:9s"), "lock_node ok!\n");
  EXPECT_NE(RunCommand("show_node r:0:c:c:2c:c:c:9s").find("flags: LOCKED\n"), std::string::npos);
  EXPECT_NE(RunCommand("show_node r:0:c:c:2c:c:c:9c").find("flags: \n"), std::string::npos);
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0:c:c:2c:c:c:9s 0", {}, "0.25", "0.25")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0:c:c:2c:c:c:9s 1", {}, "0.75", "0.75")), "set_strategy ok!\n");
  Iterate(40);
  const std::vector<Numbers> river = Block("show_strategy r:0:c:c:2c:c:c:9s");
  EXPECT_NEAR(river[0][Position("AsAd")], 0.25, 1e-6);
  EXPECT_NEAR(river[1][Position("KsKd")], 0.75, 1e-6);
}

TEST_F(NodeValues, ValuesOfASolvedTreeAgreeAcrossReports) {
  BuildFlopSpot();
  Iterate(30);
  ConvergenceRecord results;
  CalcResults(results);

  // The weight-averaged EV at the root is the player's EV of calc_results.
  for (int p = 0; p < 2; ++p) {
    const std::vector<Numbers> ev = Block(std::string("calc_ev ") + (p ? "IP" : "OOP") + " r:0");
    double sum = 0.0, weight = 0.0;
    for (int k = 0; k < kComboCount; ++k)
      if (!std::isnan(ev[0][k])) {
        sum += ev[0][k] * ev[1][k];
        weight += ev[1][k];
      }
    EXPECT_NEAR(sum / weight - 50.0, results.strategyValue[p], 1e-6) << "player " << p;
  }

  // At a decision node the acting player's EV of each hand is the
  // strategy-weighted EV of the node's children (a call that ends the street
  // averages over the cards dealt next).
  for (const std::string node : {"r:0", "r:0:b50", "r:0:b50:c:Kd:c", "r:0:b50:c:Kd:c:c:3s:c"}) {
    const NodeRef ref = ResolveNodePath(node);
    const int p = ref.node->player & 1;
    const std::string player = p ? "IP" : "OOP";
    const std::vector<Numbers> strategy = Block("show_strategy " + node);
    const std::vector<Numbers> parent = Block("calc_ev " + player + " " + node);
    std::vector<Numbers> children;
    for (size_t a = 0; a < ref.node->children.size(); ++a)
      children.push_back(Block("calc_ev " + player + " " + node + ":" + ActionToken(*ref.node, static_cast<int>(a)))[0]);
    int checked = 0;
    for (int k = 0; k < kComboCount; ++k) {
      if (std::isnan(parent[0][k]) || parent[1][k] <= 0.0) continue;
      double expected = 0.0;
      for (size_t a = 0; a < children.size(); ++a)
        if (strategy[a][k] > 0.0) expected += strategy[a][k] * children[a][k];
      EXPECT_NEAR(parent[0][k], expected, 1e-3) << node << " " << HandName(k);
      ++checked;
    }
    EXPECT_GT(checked, 0) << node;
  }
  // The per-hand report of a call that ends the street gives the same
  // averages over the next card.
  {
    const std::vector<Numbers> call = Block("calc_ev OOP r:0:b50:c");
    int listed = 0;
    for (const std::string& line : Lines(RunCommand("calc_ev_pp OOP r:0:b50:c"))) {
      if (line == "END") break;
      const int k = Position(line.substr(0, 4));
      const Numbers values = ParseNumbers(line.substr(6));
      ASSERT_EQ(values.size(), 2u) << line;
      EXPECT_NEAR(values[0], call[0][k], 0.006) << line;
      EXPECT_NEAR(values[1], call[1][k], 0.006) << line;
      ++listed;
    }
    EXPECT_GT(listed, 0);
  }
  // The average over the dealt cards, taken deal by deal, is the value of
  // the deal node itself wherever a hand has weight.
  for (const char* deal : {"r:0:b50:c", "r:0:b50:c:Kd:c:c"}) {
    const NodeRef ref = ResolveNodePath(deal);
    ASSERT_TRUE(ref.dealPending) << deal;
    for (int p = 0; p < 2; ++p) {
      std::vector<double> single(kComboCount, 0.0), singleWeight(kComboCount, 0.0);
      std::vector<double> average(kComboCount, 0.0), averageWeight(kComboCount, 0.0);
      CalcNodeEv(p, ref.node->treeIndex, ref.turnCard, ref.riverCard, single.data(), singleWeight.data(), false);
      CalcNodeEv(p, ref.node->treeIndex, ref.turnCard, ref.riverCard, average.data(), averageWeight.data(), true);
      int compared = 0;
      for (int c = 0; c < kComboCount; ++c) {
        if (!(singleWeight[c] > 0.0)) continue;
        EXPECT_NEAR(average[c], single[c], 1e-6 * (1.0 + std::fabs(single[c]))) << deal << " combo " << c;
        EXPECT_NEAR(averageWeight[c], singleWeight[c], 1e-6 * singleWeight[c]) << deal << " combo " << c;
        ++compared;
      }
      EXPECT_GT(compared, 0) << deal;
    }
  }

  // Equities at a node: both players' averages add up to 1.
  for (const char* node : {"r:0", "r:0:b50", "r:0:b50:c:Kd:c:c", "r:0:c:c:8c:c:b50:c:3s"}) {
    const double oop = Block(std::string("calc_eq_node OOP ") + node)[2][0];
    const double ip = Block(std::string("calc_eq_node IP ") + node)[2][0];
    EXPECT_NEAR(oop + ip, 1.0, 1e-8) << node;  // each printed with nine digits
  }

  // Line frequencies: the children of a node share the node's frequency, the
  // runouts of a line share the line's, and the root's is 1.
  auto freq = [](const std::string& command) { return Number(RunCommand(command)); };
  EXPECT_EQ(freq("calc_line_freq r"), 1.0);
  EXPECT_NEAR(freq("calc_line_freq r:0:b50") + freq("calc_line_freq r:0:c"), 1.0, 1e-6);
  const double river = freq("calc_line_freq r:0:b50:c:Kd:c:c:3s:c");
  EXPECT_NEAR(freq("calc_line_freq r:0:b50:c:Kd:c:c:3s:c:c") + freq("calc_line_freq r:0:b50:c:Kd:c:c:3s:c:b100"),
              river, 1e-6);
  EXPECT_GT(freq("calc_line_freq r:0:b50:c:Kd:c:c:3s:c:c"), 0.0);
  EXPECT_EQ(river, freq("calc_line_freq r:0:b50:c:9c:c:c:8d:c"));
  double turns = 0.0;
  for (int card = 0; card < kCardCount; ++card) {
    if (CardBit(card) & ParseCards("QsJh2h")) continue;
    turns += freq("calc_global_freq r:0:b50:c:" + CardText(card) + ":c");
  }
  EXPECT_NEAR(turns, freq("calc_line_freq r:0:b50:c:Kd:c"), 1e-6);

  // The same replies whatever the size of the worker team.
  std::vector<std::string> replies[2];
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(RunCommand(t ? "set_threads 8" : "set_threads 1"), "set_threads ok!\n");
    for (const char* command : {"calc_line_freq r:0:b50:c:Kd:c:c:3s:c", "calc_ev OOP r:0", "calc_ev IP r:0:c:c:8c",
                                "calc_global_freq r:0:c:c:8c:c:b50:c:3s"})
      replies[t].push_back(RunCommand(command));
  }
  EXPECT_EQ(replies[0], replies[1]);

  // The same numbers in both kernel variants: NaN in the same hands, equal
  // values otherwise, up to the single precision in which the storages'
  // kernels of the two variants read the strategies behind the ranges.
  std::vector<Numbers> rows[2];
  const bool baselineBefore = !UseAvx2FmaKernels();
  for (int baseline = 0; baseline < 2; ++baseline) {
    ForceBaselineKernels(baseline == 1);
    for (const char* command : {"calc_eq OOP", "calc_eq_node IP r:0:b50:c:Kd:c:c", "calc_eq_node OOP r:0:c:c:8c",
                                "calc_ev OOP r:0:b50:c:Kd", "calc_ev IP r:0:b50:c:Kd:c:c:3s", "calc_ev IP r:0"})
      for (const Numbers& row : Block(command)) rows[baseline].push_back(row);
    const NodeRef deal = ResolveNodePath("r:0:b50:c");
    Numbers average(kComboCount, 0.0), weight(kComboCount, 0.0);
    CalcNodeEv(0, deal.node->treeIndex, -1, -1, average.data(), weight.data(), true);
    rows[baseline].push_back(average);
    rows[baseline].push_back(weight);
  }
  ForceBaselineKernels(baselineBefore);
  ASSERT_EQ(rows[0].size(), rows[1].size());
  for (size_t r = 0; r < rows[0].size(); ++r) {
    ASSERT_EQ(rows[0][r].size(), rows[1][r].size()) << "row " << r;
    for (size_t k = 0; k < rows[0][r].size(); ++k) {
      const double a = rows[0][r][k], b = rows[1][r][k];
      ASSERT_EQ(std::isnan(a), std::isnan(b)) << "row " << r << " entry " << k;
      if (!std::isnan(a)) {
        ASSERT_NEAR(a, b, 1e-6 * (1.0 + std::fabs(a))) << "row " << r << " entry " << k;
      }
    }
  }
}

TEST_F(NodeValues, GlobalFrequencyCarriesTheShareOfItsTurnCard) {
  ASSERT_EQ(RunCommand("set_isomorphism 0 0"), "set_isomorphism ok!\n");
  BuildFlopSpot();
  // OOP checks 70% of every hand; IP checks behind always; on the turn Kd
  // OOP checks (his only action) and IP checks 60% of every hand.
  const double w = 0.7, q = 0.6;
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {}, "0.3", "0.3")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 1", {}, "0.7", "0.7")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0:c 0", {}, "0", "0")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0:c 1", {}, "1", "1")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0:c:c:Kd:c 0", {}, "0.4", "0.4")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0:c:c:Kd:c 1", {}, "0.6", "0.6")), "set_strategy ok!\n");
  // The share of Kd among the turn cards: over the pairs of hands that can
  // meet (each weighing the 45 cards the pair leaves), those leaving Kd.
  const CardMask flop = ParseCards("QsJh2h"), kd = ParseCards("Kd");
  std::vector<CardMask> masks(kComboCount);
  for (int hi = 1; hi < kCardCount; ++hi)
    for (int lo = 0; lo < hi; ++lo) masks[ComboIndex(lo, hi)] = CardBit(lo) | CardBit(hi);
  double pairs = 0.0, pairsWithKd = 0.0;
  for (int a = 0; a < kComboCount; ++a)
    for (int b = 0; b < kComboCount; ++b) {
      const double weight = RangeVectors[0][a] * RangeVectors[1][b];
      if (weight == 0.0 || (masks[a] & masks[b]) || ((masks[a] | masks[b]) & flop)) continue;
      pairs += weight;
      if (!((masks[a] | masks[b]) & kd)) pairsWithKd += weight / 45.0;
    }
  const double share = pairsWithKd / pairs;
  EXPECT_NEAR(Number(RunCommand("calc_global_freq r:0:c")), w, 1e-6);
  EXPECT_NEAR(Number(RunCommand("calc_global_freq r:0:c:c:Kd:c:c")), w * q * share, 1e-7);
  EXPECT_NEAR(Number(RunCommand("calc_global_freq r:0:c:c:Kd:c:b50")), w * (1 - q) * share, 1e-7);
  EXPECT_NEAR(Number(RunCommand("calc_line_freq r:0:c:c")), w, 1e-6);
}

TEST_F(NodeValues, WritesRefuseBadInputAndKeepTheOtherRows) {
  BuildRiverGame();
  Iterate(100);  // the average strategy applies from iteration 61
  const std::vector<Numbers> before = Block("show_strategy r:0");
  const int air = Position("4h3d");
  ASSERT_GT(before[0][air], 0.0);
  ASSERT_GT(before[1][air], 0.0);
  // Refused weights change nothing.
  EXPECT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {"4h3d"}, "-1")), "Invalid value\n");
  EXPECT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {"4h3d"}, "nan")), "Invalid value\n");
  EXPECT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {"4h3d"}, "1e999")), "Invalid value\n");
  EXPECT_EQ(RunCommand(WeightsLine("set_strategy r:0 2", {}, "1")), "ERROR: set_strategy invalid child index\n");
  EXPECT_EQ(RunCommand(WeightsLine("set_strategy r 0", {}, "1")), "ERROR: set_strategy incorrect path\n");
  EXPECT_EQ(Block("show_strategy r:0"), before);
  // A zero row for the bet: its strategy sums restart from zero while the
  // check's sums stay, so the average now checks every hand.
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {}, "0")), "set_strategy ok!\n");
  const std::vector<Numbers> after = Block("show_strategy r:0");
  EXPECT_EQ(after[0][air], 0.0);
  EXPECT_EQ(after[1][air], 1.0);
  // The nuts never checked: without any sum left they read the current
  // strategy, whose rows are both zero now (uniform).
  EXPECT_EQ(after[0][Position("KdKh")], 0.5);
  // Combo lock of one hand: the mask holds exactly that hand.
  EXPECT_EQ(RunCommand("show_locked_combos r:0").find("1"), std::string::npos);
  ASSERT_EQ(RunCommand(WeightsLine("combo_lock_node r:0", {"4h3d"}, "1")), "combo_lock_node ok!\n");
  const Numbers mask = ParseNumbers(RunCommand("show_locked_combos r:0"));
  ASSERT_EQ(mask.size(), static_cast<size_t>(kComboCount));
  for (int k = 0; k < kComboCount; ++k) EXPECT_EQ(mask[k], k == air ? 1.0 : 0.0) << HandName(k);
  // A lock after a combo lock leaves only LOCKED.
  ASSERT_EQ(RunCommand("lock_node r:0"), "lock_node ok!\n");
  EXPECT_NE(RunCommand("show_node r:0").find("flags: LOCKED\n"), std::string::npos);
  EXPECT_EQ(RunCommand("combo_lock_node r:0"), "ERROR: combo_lock_node incorrect or missing argument\n");
}

TEST_F(NodeValues, LocksWaitForTheSolverAndRebuildForgottenRivers) {
  BuildFlopSpot();
  // While a solve runs the writers refuse.
  RunCommandCapturingStdout("go");
  EXPECT_EQ(RunCommand("lock_node r:0"), "ERROR: lock_node Can't do that when solver is running\n");
  EXPECT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {}, "1")),
            "ERROR: set_strategy Can't do that when solver is running\n");
  RunCommandCapturingStdout("stop");
  RunCommandCapturingStdout("wait_for_solver");
  EXPECT_NE(RunCommand("show_node r:0").find("flags: \n"), std::string::npos);

  // A river node of a forgotten street is rebuilt before it is locked. Line
  // frequencies above the forgotten street read only what was kept and stay
  // as they were; a river line re-solves every runout it sums over, and
  // comes out as close as two equilibria of those sub-games.
  const std::string river = "r:0:b50:c:Kd:c:c:3s:c";
  // Close to equilibrium first, so that the re-solved sub-games agree.
  RunCommandCapturingStdout("go 300 steps");
  RunCommandCapturingStdout("wait_for_solver");
  const char* const above[] = {"calc_line_freq r:0:b50", "calc_line_freq r:0:b50:c:Kd:c"};
  std::vector<std::string> kept;
  for (const char* query : above) kept.push_back(RunCommand(query));
  const double riverLine = Number(RunCommand("calc_line_freq " + river + ":b100"));
  ASSERT_EQ(RunCommand("set_recalc_accuracy 0.01 0.01 0.01"), "set_recalc_accuracy ok!\n");
  ASSERT_EQ(RunCommand("forget rivers"), "forget ok!\n");
  for (size_t q = 0; q < kept.size(); ++q) EXPECT_EQ(RunCommand(above[q]), kept[q]) << above[q];
  ASSERT_EQ(RunCommand("lock_node " + river), "lock_node ok!\n");
  EXPECT_NE(RunCommand("show_node " + river).find("flags: LOCKED\n"), std::string::npos);
  EXPECT_NEAR(Number(RunCommand("calc_line_freq " + river + ":b100")), riverLine, 0.005);
  EXPECT_EQ(RunCommand("calc_line_freq r:0:x"), "ERROR: calc_line_freq incorrect path\n");
  const double global = Number(RunCommand("calc_global_freq " + river));
  EXPECT_GT(global, 0.0);
  EXPECT_LT(global, 1.0);
  RunCommand("set_recalc_accuracy 0 0 0");
}

TEST_F(NodeValues, ASetAndLockedStrategyHoldsThroughForgetRebuildAndSolves) {
  // Every hand in both ranges on the river toy board; a quarter of the
  // hands check, the rest bet. The combo lock fixes every second hand as the
  // re-solve left it.
  std::string check, bet, everySecond;
  for (int k = 0; k < kComboCount; ++k) {
    check += k % 4 ? " 0" : " 1";
    bet += k % 4 ? " 1" : " 0";
    everySecond += k % 2 ? " 0" : " 1";
  }
  const auto lockQuarter = [&](const std::string& path) {
    ASSERT_EQ(RunCommand("set_strategy " + path + " 0" + check), "set_strategy ok!\n");
    ASSERT_EQ(RunCommand("set_strategy " + path + " 1" + bet), "set_strategy ok!\n");
    ASSERT_EQ(RunCommand("lock_node " + path), "lock_node ok!\n");
  };
  // The last case forgets nothing: a lock at iteration 62, when the sums
  // hold iteration 61 and the reports still read the current strategy.
  enum Case { kRebuiltThenSet, kSetWhileForgotten, kComboLockWhileForgotten, kComboLockAt62 };
  for (Case which : {kRebuiltThenSet, kSetWhileForgotten, kComboLockWhileForgotten, kComboLockAt62}) {
    SCOPED_TRACE(which == kRebuiltThenSet            ? "rebuilt, then set"
                 : which == kSetWhileForgotten       ? "set on a forgotten street, then rebuilt"
                 : which == kComboLockWhileForgotten ? "combo-locked on a forgotten street, then rebuilt"
                                                     : "combo-locked at iteration 62");
    const bool combo = which == kComboLockWhileForgotten || which == kComboLockAt62;
    Build(ClassHands({"22", "55", "99", "JJ", "KK", "AKs", "AQo", "T8s", "76s"}),
          ClassHands({"33", "88", "QQ", "KQs", "AJo", "54s", "T9o"}), "2c 5d 9h Js Kc",
          combo ? std::vector<std::string>{"0 0", "0 100 100", "100 100"}
                : std::vector<std::string>{"0 0", "0 100 100"});
    // Iterations without the solver's stop at its accuracy target: the toy
    // game reaches it exactly.
    const int start = which == kComboLockAt62 ? 62 : 54;
    Iterate(start);
    // A re-solve of the forgotten river runs to its iteration cap, past the
    // averaging start of its own count.
    ASSERT_EQ(RunCommand("set_recalc_accuracy 0 0 0"), "set_recalc_accuracy ok!\n");
    if (which != kComboLockAt62) {
      ASSERT_EQ(RunCommand("forget rivers"), "forget ok!\n");
    }
    if (which == kRebuiltThenSet) {
      ASSERT_EQ(RunCommand("rebuild_all"), "rebuild_all ok!\n");
    }
    // OOP mixes at the root when he may bet, so a lock there shows what a
    // stale strategy sum does to an average.
    const std::string node = combo ? "r:0" : "r:0:c";
    std::vector<int> fixed;
    if (combo) {
      ASSERT_EQ(RunCommand("combo_lock_node " + node + everySecond), "combo_lock_node ok!\n");
      for (int k = 0; k < kComboCount; k += 2) fixed.push_back(k);
    } else {
      lockQuarter(node);
    }
    const std::vector<Numbers> locked = Block("show_strategy " + node);
    ASSERT_EQ(locked.size(), 2u);
    EXPECT_EQ(locked[0][0] + locked[1][0], 0.0);  // 2d2c meets the board
    for (int k = 0; k < kComboCount && !combo; ++k) {
      if (locked[0][k] + locked[1][k] > 0.0) {
        ASSERT_EQ(locked[0][k], k % 4 ? 0.0 : 1.0) << HandName(k);
      }
    }
    // The fixed hands read as they did when locked: a set and locked node
    // exactly, combo-locked hands within the storage's precision.
    const auto expectFixed = [&](const std::vector<Numbers>& now) {
      if (!combo) {
        EXPECT_EQ(now, locked);
        return;
      }
      ASSERT_EQ(now.size(), 2u);
      for (int k : fixed) {
        if (std::isnan(locked[0][k])) continue;
        EXPECT_NEAR(now[0][k], locked[0][k], 1e-3) << HandName(k);
        EXPECT_NEAR(now[1][k], locked[1][k], 1e-3) << HandName(k);
      }
    };
    if (which == kSetWhileForgotten || which == kComboLockWhileForgotten) {
      EXPECT_EQ(RunCommand("solve_partial " + node), "solve_partial ok!\n");
      expectFixed(Block("show_strategy " + node));
      ASSERT_EQ(RunCommand("rebuild_all"), "rebuild_all ok!\n");
    }
    // Nothing is forgotten now: a query re-solves nothing, and the solve
    // past the averaging start keeps the locked rows.
    EXPECT_EQ(RunCommand("explo_partial " + node), "0\n");
    Iterate(30);
    EXPECT_EQ(CurrentTree->iterationCount, start + 30);
    expectFixed(Block("show_strategy " + node));
    RunCommand("set_recalc_accuracy 0 0 0");
  }
}

TEST_F(NodeValues, ANodeNoHandReachesGivesNanNotMinusNan) {
  BuildRiverGame();
  // OOP never bets: nobody reaches IP's decision, and its average equity is
  // the quotient 0 / 0.
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 0", {}, "0")), "set_strategy ok!\n");
  ASSERT_EQ(RunCommand(WeightsLine("set_strategy r:0 1", {}, "1", "1")), "set_strategy ok!\n");
  const std::vector<std::string> node = Lines(RunCommand("calc_eq_node IP r:0:b100"));
  ASSERT_EQ(node.size(), 4u);
  EXPECT_EQ(node[2], "nan");
  EXPECT_EQ(RunCommand("calc_line_freq r:0:b100"), "0\n");
  const std::vector<Numbers> ev = Block("calc_ev IP r:0:b100");
  EXPECT_EQ(ev[1][Position("QdQh")], 0.0);
  EXPECT_EQ(RunCommand("calc_ev IP r:0:b100").find("-nan"), std::string::npos);
}

}  // namespace
