// Strategy, range and probability reports on solved flop spots, the re-solve
// of forgotten river sub-trees, the reach walk, and the report helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "console_helpers.h"
#include "core/cpu_info.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "core/settings.h"
#include "game/deal_table.h"
#include "game/line_tree.h"
#include "results/node_report.h"
#include "results/partial_solve.h"
#include "results/range_report.h"
#include "results/report_helpers.h"
#include "solver/engine_state.h"
#include "solver/node_eval.h"
#include "solver/river_subtree.h"
#include "solver/solver_thread.h"
#include "solver/subtree_resolve.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_interface.h"

namespace {

using Rows = std::vector<std::vector<double>>;

// Weights per hand class ("AKs", "AKo", "QQ"); every other hand 0.
std::map<std::string, double> kOopClasses = {{"AA", 1},  {"KK", 1},  {"JJ", 1},  {"TT", 1},   {"AKs", 1},
                                             {"AKo", 1}, {"KQs", 1}, {"T9s", 1}, {"65s", 0.5}, {"A5s", 1}};
std::map<std::string, double> kIpClasses = {{"QQ", 1},  {"88", 1},  {"AQs", 1}, {"KJs", 1},
                                            {"JTs", 1}, {"KQo", 1}, {"98s", 1}, {"A4s", 1}};

int RankOf(char c) { return static_cast<int>(std::string(kRankChars).find(c)); }

// Weight of the hand at a hand-order position under a class table.
double ClassWeight(const std::map<std::string, double>& classes, int position) {
  const CardMask mask = HandMaskByOrder[position];
  const int a = CardOfMask(mask), b = CardOfMask(mask & (mask - 1));
  const int high = std::max(CardRank(a), CardRank(b)), low = std::min(CardRank(a), CardRank(b));
  const bool suited = CardSuit(a) == CardSuit(b);
  for (const auto& [name, weight] : classes) {
    const int h = std::max(RankOf(name[0]), RankOf(name[1])), l = std::min(RankOf(name[0]), RankOf(name[1]));
    if (h != high || l != low) continue;
    if (name.size() == 2 || (name[2] == 's') == suited) return weight;
  }
  return 0.0;
}

std::string RangeLine(const std::string& player, const std::map<std::string, double>& classes) {
  std::string line = "set_range " + player;
  for (int k = 0; k < kComboCount; ++k) {
    std::ostringstream weight;
    weight << ClassWeight(classes, k);
    line += " " + weight.str();
  }
  return line;
}

std::vector<double> ParseNumbers(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> values;
  std::string word;
  while (in >> word) values.push_back(word == "nan" ? std::nan("") : std::stod(word));
  return values;
}

// The number lines of a show_strategy reply (which must end with END).
Rows StrategyRows(const std::string& path) {
  const std::string reply = RunCommand("show_strategy " + path);
  Rows rows;
  std::istringstream in(reply);
  std::string line;
  bool ended = false;
  while (std::getline(in, line)) {
    if (line == "END") {
      ended = true;
      break;
    }
    rows.push_back(ParseNumbers(line));
    EXPECT_EQ(rows.back().size(), static_cast<size_t>(kComboCount)) << path << ": " << line.substr(0, 80);
  }
  EXPECT_TRUE(ended) << path << ": " << reply.substr(0, 200);
  return rows;
}

// The hand at a hand-order position with suits a and b exchanged.
int SwapSuits(int position, int a, int b) {
  const CardMask mask = HandMaskByOrder[position];
  CardMask swapped = 0;
  for (int card : {CardOfMask(mask), CardOfMask(mask & (mask - 1))}) {
    int suit = CardSuit(card);
    suit = suit == a ? b : suit == b ? a : suit;
    swapped |= CardBit(MakeCard(CardRank(card), suit));
  }
  for (int k = 0; k < kComboCount; ++k)
    if (HandMaskByOrder[k] == swapped) return k;
  return -1;
}

class Reports : public ::testing::Test {
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
    RunCommand("set_recalc_accuracy 0 0 0");
  }

  // A flop spot with bets on every street; Qs Jh 2h puts the turn's
  // diamonds and clubs in one record under isomorphism.
  void BuildFlopSpot() {
    ASSERT_EQ(RunCommand(RangeLine("OOP", kOopClasses)), "set_range ok!\n");
    ASSERT_EQ(RunCommand(RangeLine("IP", kIpClasses)), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_board Qs Jh 2h"), "set_board ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
    for (const char* line : {"0 0 0 0 0 50 50", "0 0 0 50 50 50 50", "0 50 50 50 50 50 50", "50 50 50 50 50 100 100",
                             "50 150 150 150 150 150 150"})
      ASSERT_EQ(RunCommand(std::string("add_line ") + line), "add_line ok!\n");
    ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
    ASSERT_TRUE(AllStoragesReady(*CurrentTree));
  }

  static void Iterate(int n) {
    double ignored[3];
    for (int i = 0; i < n; ++i) RunIteration(*CurrentTree, ignored);
  }

  // Every hand of the acting player's range that misses the board takes its
  // actions with probabilities adding up to 1; every other hand prints 0.
  static void ExpectDistributions(const std::string& path, const std::map<std::string, double>& acting,
                                  CardMask board) {
    const Rows rows = StrategyRows(path);
    const NodeRef ref = ResolveNodePath(path);
    ASSERT_EQ(rows.size(), ref.node->children.size()) << path;
    for (int k = 0; k < kComboCount; ++k) {
      double sum = 0.0;
      for (const auto& row : rows) sum += row[k];
      const bool live = ClassWeight(acting, k) > 0.0 && !(HandMaskByOrder[k] & board);
      EXPECT_NEAR(sum, live ? 1.0 : 0.0, 1e-6) << path << " hand " << HandName(k);
    }
  }
};

TEST_F(Reports, ActionProbabilitiesOfLiveHandsAddUpToOneOnEveryStreet) {
  BuildFlopSpot();
  const CardMask flop = ParseCards("QsJh2h");
  for (int steps : {10, 54}) {  // current strategy, then the average after iteration 62
    Iterate(steps);
    ExpectDistributions("r:0", kOopClasses, flop);
    ExpectDistributions("r:0:c", kIpClasses, flop);
    ExpectDistributions("r:0:b50", kIpClasses, flop);
    ExpectDistributions("r:0:c:c:Kd:c", kIpClasses, flop | ParseCards("Kd"));
    ExpectDistributions("r:0:b50:c:8c:c:c:3s:c", kIpClasses, flop | ParseCards("8c3s"));
    ExpectDistributions("r:0:b50:c:As:c:c:Ah", kOopClasses, flop | ParseCards("AsAh"));
  }
  // The average strategy, with the current one for hands without sums, reads
  // the same in both kernel variants (up to the float rounding of the
  // storages' rows).
  const bool baselineBefore = !UseAvx2FmaKernels();
  for (const char* path : {"r:0", "r:0:c:c:Kd:c", "r:0:b50:c:8c:c:c:3s:c"}) {
    const Rows chosen = StrategyRows(path);
    ForceBaselineKernels(!baselineBefore);
    const Rows other = StrategyRows(path);
    ForceBaselineKernels(baselineBefore);
    ASSERT_EQ(chosen.size(), other.size()) << path;
    for (size_t a = 0; a < chosen.size(); ++a)
      for (int k = 0; k < kComboCount; ++k) ASSERT_NEAR(chosen[a][k], other[a][k], 1e-6) << path << " " << HandName(k);
  }
}

TEST_F(Reports, IsomorphicRunoutsAreSuitSwappedImages) {
  BuildFlopSpot();
  Iterate(64);
  // Clubs and diamonds are interchangeable on Qs Jh 2h: Kd and Kc lead to
  // one record, read back through two suit permutations.
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"r:0:c:c:Kd:c", "r:0:c:c:Kc:c"}, {"r:0:b50:c:Kd:c:c:3s:c", "r:0:b50:c:Kc:c:c:3s:c"}};
  for (const auto& [diamond, club] : pairs) {
    const Rows d = StrategyRows(diamond), c = StrategyRows(club);
    ASSERT_EQ(d.size(), c.size());
    ASSERT_EQ(d.size(), 2u);
    for (size_t a = 0; a < d.size(); ++a)
      for (int k = 0; k < kComboCount; ++k)
        ASSERT_EQ(d[a][k], c[a][SwapSuits(k, 0, 1)]) << diamond << " action " << a << " " << HandName(k);
  }
}

TEST_F(Reports, TheTreeWithoutIsomorphismGivesTheSameNumbers) {
  const std::vector<std::string> paths = {"r:0", "r:0:c:c:Kd:c", "r:0:c:c:Kc:c", "r:0:b50:c:Kd:c:c:3s:c",
                                          "r:0:b50:c:As:c:c:Ah"};
  std::vector<Rows> rows[2];
  for (int isomorphism = 1; isomorphism >= 0; --isomorphism) {
    ASSERT_EQ(RunCommand(isomorphism ? "set_isomorphism 1 0" : "set_isomorphism 0 0"), "set_isomorphism ok!\n");
    BuildFlopSpot();
    Iterate(10);
    for (const std::string& path : paths) rows[isomorphism].push_back(StrategyRows(path));
    RunCommand("free_tree");
  }
  // The two trees sum the same terms in different orders (and the baseline
  // kernels round differently from the wide ones), hence the tolerance.
  for (size_t i = 0; i < paths.size(); ++i) {
    ASSERT_EQ(rows[0][i].size(), rows[1][i].size());
    for (size_t a = 0; a < rows[0][i].size(); ++a)
      for (int k = 0; k < kComboCount; ++k)
        ASSERT_NEAR(rows[0][i][a][k], rows[1][i][a][k], 1e-4) << paths[i] << " " << HandName(k);
  }
}

TEST_F(Reports, ForgottenRiversAreResolvedOnDemand) {
  BuildFlopSpot();
  Iterate(64);
  const std::string river = "r:0:b50:c:Kd:c:c:3s:c";
  const std::string otherRiver = "r:0:b50:c:Kd:c:c:9c:c";
  ASSERT_EQ(RunCommand("forget rivers"), "forget ok!\n");
  ASSERT_EQ(RunCommand("set_recalc_accuracy 0.01 0.01 0.002"), "set_recalc_accuracy ok!\n");
  // Nothing forgotten above the river: nothing to re-solve.
  EXPECT_EQ(RunCommand("explo_partial r:0"), "0\n");

  ExpectDistributions(river, kIpClasses, ParseCards("QsJh2hKd3s"));
  const Rows first = StrategyRows(river);
  const double explo = std::stod(RunCommand("explo_partial " + river));
  EXPECT_GE(explo, -1e-4);  // 0 up to rounding: a best response never earns less
  EXPECT_LE(explo, 0.2);  // the river's recalc accuracy, 0.002 of the pot of 100
  EXPECT_EQ(StrategyRows(river), first);  // the same re-solve from the same reach

  // A forced re-solve of another runout re-creates the storages of the whole
  // river sub-tree: the first runout is re-solved again when next read,
  // not read back empty (which would give uniform rows).
  EXPECT_EQ(RunCommand("solve_partial " + otherRiver), "solve_partial ok!\n");
  EXPECT_EQ(StrategyRows(river), first);

  // The tree stays incomplete while the rivers are forgotten. Once rebuilt
  // nothing is forgotten: the re-solved runout keeps its rows, a runout not
  // re-solved reads its new storage as it is (uniform), and no query
  // re-solves it; `go` solves on from here.
  EXPECT_NE(TreeFlagsText().find("INCOMPLETE_TREE"), std::string::npos);
  ASSERT_EQ(RunCommand("rebuild_forgotten_streets"), "rebuild_forgotten_streets ok!\n");
  EXPECT_EQ(TreeFlagsText().find("INCOMPLETE_TREE"), std::string::npos);
  EXPECT_EQ(StrategyRows(river), first);
  const std::string fresh = "r:0:b50:c:Kd:c:c:4s:c";
  ExpectDistributions(fresh, kIpClasses, ParseCards("QsJh2hKd4s"));
  const Rows uniform = StrategyRows(fresh);
  for (int k = 0; k < kComboCount; ++k) {
    if (uniform[0][k] + uniform[1][k] > 0.0) {
      ASSERT_EQ(uniform[0][k], 0.5) << HandName(k);
    }
  }
  EXPECT_EQ(RunCommand("explo_partial " + fresh), "0\n");
  EXPECT_EQ(StrategyRows(fresh), uniform);
  EXPECT_EQ(CurrentTree->iterationCount, 64);
  Iterate(2);
  EXPECT_NE(StrategyRows(fresh), uniform);
}

TEST_F(Reports, ForgottenTurnsAreResolvedOnDemand) {
  BuildFlopSpot();
  Iterate(64);
  ASSERT_EQ(RunCommand("forget turns"), "forget ok!\n");
  ASSERT_EQ(RunCommand("set_recalc_accuracy 0.01 0.005 0.002"), "set_recalc_accuracy ok!\n");
  ExpectDistributions("r:0:b50:c:Kd:c", kIpClasses, ParseCards("QsJh2hKd"));
  ExpectDistributions("r:0:b50:c:Kd:c:c:3s:c", kIpClasses, ParseCards("QsJh2hKd3s"));
  EXPECT_LE(std::stod(RunCommand("explo_partial r:0:b50:c:Kd")), 0.5);
}

// The exploitability figure of a calc_results reply.
double ReportedExploitability() {
  const std::string reply = RunCommand("calc_results");
  const size_t at = reply.find("Exploitable for: ");
  EXPECT_NE(at, std::string::npos) << reply;
  return at == std::string::npos ? 1e9 : std::stod(reply.substr(at + 17));
}

TEST_F(Reports, ForgettingTheRootsOwnStreetResolvesFromTheRoot) {
  // On a turn or river root the root itself is the split point: its kept
  // reach lies on the root's own board, and a turn root's re-solve must deal
  // the rivers below it.
  struct Spot {
    std::string board, street;
    std::vector<std::string> lines;
  };
  const std::vector<Spot> spots = {{"2s 3d 7s 4h Ks", "rivers", {"0 50 50", "0 0", "50 150 150"}},
                                   {"2s 3d 7s 4h", "turns", {"0 0 0 50 50", "50 50 50 50"}}};
  for (const auto& [board, street, lines] : spots) {
    SCOPED_TRACE(board);
    ASSERT_EQ(RunCommand(RangeLine("OOP", kOopClasses)), "set_range ok!\n");
    ASSERT_EQ(RunCommand(RangeLine("IP", kIpClasses)), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_board " + board), "set_board ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
    for (const std::string& line : lines) ASSERT_EQ(RunCommand("add_line " + line), "add_line ok!\n");
    ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
    ASSERT_TRUE(AllStoragesReady(*CurrentTree));
    Iterate(10);
    ASSERT_EQ(RunCommand("forget " + street), "forget ok!\n");
    ASSERT_EQ(RunCommand("set_recalc_accuracy 0.01 0.01 0.01"), "set_recalc_accuracy ok!\n");
    const double explo = std::stod(RunCommand("explo_partial r:0"));
    EXPECT_GE(explo, -1e-4);
    EXPECT_LE(explo, 1.0);  // the recalc accuracy: 0.01 of the pot of 100
    const CardMask cards = ParseCards(board);
    ExpectDistributions("r:0", kOopClasses, cards);
    ExpectDistributions("r:0:c", kIpClasses, cards);
    // Once rebuilt, the whole tree is the re-solved root's: near equilibrium.
    ASSERT_EQ(RunCommand("rebuild_all"), "rebuild_all ok!\n");
    EXPECT_LE(ReportedExploitability(), 1.0);
    RunCommand("free_tree");
  }
}

// The flags line of a show_node reply.
std::string FlagsLine(const std::string& path) {
  const std::string reply = RunCommand("show_node " + path);
  const size_t at = reply.find("flags:");
  return at == std::string::npos ? reply : reply.substr(at, reply.find('\n', at) - at);
}

TEST_F(Reports, LocksAndTheStrategiesTheyFixOutliveForgetting) {
  // Every third hand in one action, the others in the other.
  std::string first, second;
  for (int k = 0; k < kComboCount; ++k) {
    first += k % 3 ? " 0" : " 1";
    second += k % 3 ? " 1" : " 0";
  }
  const std::string river = "r:0:b50:c:Kd:c:c:3s:c", turn = "r:0:b50:c:Kd:c";
  for (const char* level : {"none", "3"}) {
    SCOPED_TRACE(level);
    ASSERT_EQ(RunCommand(std::string("set_compression ") + level), "set_compression ok!\n");
    BuildFlopSpot();
    Iterate(10);
    ASSERT_EQ(ResolveNodePath(river).node->children.size(), 2u);
    ASSERT_EQ(RunCommand("set_strategy " + river + " 0" + first), "set_strategy ok!\n");
    ASSERT_EQ(RunCommand("set_strategy " + river + " 1" + second), "set_strategy ok!\n");
    ASSERT_EQ(RunCommand("lock_node " + river), "lock_node ok!\n");
    ASSERT_EQ(RunCommand("combo_lock_node " + turn + first), "combo_lock_node ok!\n");
    const Rows locked = StrategyRows(river);
    const std::string mask = RunCommand("show_locked_combos " + turn);
    ASSERT_NE(mask.find('1'), std::string::npos);
    ASSERT_EQ(RunCommand("set_recalc_accuracy 0.05 0.05 0.05"), "set_recalc_accuracy ok!\n");

    ASSERT_EQ(RunCommand("forget rivers"), "forget ok!\n");
    EXPECT_EQ(FlagsLine(river), "flags: LOCKED");  // kept aside before the re-solve
    EXPECT_EQ(StrategyRows(river), locked);
    EXPECT_EQ(FlagsLine(river), "flags: LOCKED");
    // A lock changed on the re-solved sub-tree is the one kept: unlocked,
    // it stays unlocked when the sub-tree is made anew.
    ASSERT_EQ(RunCommand("unlock_node " + river), "unlock_node ok!\n");
    ASSERT_EQ(RunCommand("solve_partial " + river), "solve_partial ok!\n");
    EXPECT_EQ(FlagsLine(river), "flags: ");
    ASSERT_EQ(RunCommand("lock_node " + river), "lock_node ok!\n");
    const Rows relocked = StrategyRows(river);

    ASSERT_EQ(RunCommand("forget turns"), "forget ok!\n");
    EXPECT_EQ(FlagsLine(turn), "flags: COMBO_LOCKED");
    EXPECT_EQ(RunCommand("show_locked_combos " + turn), mask);
    EXPECT_EQ(FlagsLine(river), "flags: LOCKED");
    // Kept as probabilities: equal up to the rounding of the stored counts.
    const Rows again = StrategyRows(river);
    ASSERT_EQ(again.size(), relocked.size());
    for (size_t a = 0; a < again.size(); ++a)
      for (int k = 0; k < kComboCount; ++k)
        ASSERT_NEAR(again[a][k], relocked[a][k], 1e-4) << "action " << a << " " << HandName(k);
    // Rebuilt streets carry the locks too.
    ASSERT_EQ(RunCommand("rebuild_all"), "rebuild_all ok!\n");
    EXPECT_EQ(FlagsLine("r:0:b50:c:Kh:c"), "flags: ");
    EXPECT_EQ(FlagsLine(turn), "flags: COMBO_LOCKED");
    EXPECT_EQ(RunCommand("show_locked_combos " + turn), mask);
    RunCommand("free_tree");
  }
}

TEST_F(Reports, TheRiverToyGameReportsItsKnownEquilibrium) {
  // OOP holds the nuts (KdKh on a king-high board) or air (4h3d), IP a
  // bluff-catcher (QdQh); a pot-sized bet. At equilibrium OOP bets the nuts
  // always and bluffs half of his air (one bluff per two value bets), IP
  // calls half of the time.
  auto range = [](const std::string& player, const std::vector<std::string>& hands) {
    std::string line = "set_range " + player;
    for (int k = 0; k < kComboCount; ++k) {
      bool held = false;
      for (const std::string& hand : hands) held |= HandMaskByOrder[k] == ParseCards(hand);
      line += held ? " 1" : " 0";
    }
    return line;
  };
  ASSERT_EQ(RunCommand(range("OOP", {"KdKh", "4h3d"})), "set_range ok!\n");
  ASSERT_EQ(RunCommand(range("IP", {"QdQh"})), "set_range ok!\n");
  ASSERT_EQ(RunCommand("set_board 2c 5d 9h Js Kc"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 100 100"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  ASSERT_TRUE(AllStoragesReady(*CurrentTree));
  Iterate(2000);
  auto position = [](const std::string& hand) {
    for (int k = 0; k < kComboCount; ++k)
      if (HandMaskByOrder[k] == ParseCards(hand)) return k;
    return -1;
  };
  const Rows oop = StrategyRows("r:0");  // bet 100, check
  ASSERT_EQ(oop.size(), 2u);
  EXPECT_NEAR(oop[0][position("KdKh")], 1.0, 0.02);
  EXPECT_NEAR(oop[0][position("4h3d")], 0.5, 0.05);
  const Rows ip = StrategyRows("r:0:b100");  // call, fold
  ASSERT_EQ(ip.size(), 2u);
  EXPECT_NEAR(ip[0][position("QdQh")], 0.5, 0.05);
  // OOP bets 3 times in 4; IP reaches the bet whole.
  std::istringstream probs(RunCommand("show_probs r:0"));
  std::string word, b100, c;
  double reachOop, reachIp, bet, check;
  probs >> word >> reachOop >> word >> reachIp >> b100 >> bet >> c >> check;
  EXPECT_EQ(reachOop, 1.0);
  EXPECT_EQ(reachIp, 1.0);
  EXPECT_EQ(b100, "b100");
  EXPECT_NEAR(bet, 0.75, 0.03);
  EXPECT_NEAR(check, 0.25, 0.03);
  EXPECT_NEAR(ReachProbability(0, "r:0:b100"), 0.75, 0.03);
  EXPECT_EQ(ReachProbability(1, "r:0:b100"), 1.0);
}

TEST_F(Reports, ReachAlongPathIsTheProductOfEachPlayersStrategies) {
  ASSERT_EQ(RunCommand("set_isomorphism 0 0"), "set_isomorphism ok!\n");
  BuildFlopSpot();
  Iterate(10);
  SolverTree& tree = *CurrentTree;
  const NodeRef ref = ResolveNodePath("r:0:b50:c:Kd:c:c:3s:c");
  TreeNode& target = tree.nodes[ref.node->treeIndex];
  int turnIndex, riverIndex;
  DealIndicesForCards(tree, ref.turnCard, ref.riverCard, turnIndex, riverIndex);
  AlignedArray reach[2] = {};
  ComputeNodeReach(tree, reach, target, turnIndex, riverIndex);
  const BoardCombos& river = DealCombos(*tree.dealTable, turnIndex, riverIndex);

  // Brute force in combo order: each player's range times the probability
  // of each of his actions on the way, read at each ancestor's own runout.
  std::vector<double> expected[2] = {tree.ranges[0], tree.ranges[1]};
  for (const TreeNode* child = &target; child->parent; child = child->parent) {
    const TreeNode& parent = *child->parent;
    int action = -1;
    for (size_t i = 0; i < parent.children.size(); ++i)
      if (&tree.nodes[parent.children[i]] == child) action = static_cast<int>(i);
    const int t = parent.street >= 2 ? turnIndex : -1, r = parent.street >= 3 ? riverIndex : -1;
    std::vector<AlignedArray> strategy;
    ReadCurrentStrategy(parent, t, r, strategy);
    std::vector<double> row;
    ComboVectorForDeal(row, *tree.dealTable, strategy[action], t, r, false);
    for (int c = 0; c < kComboCount; ++c) expected[parent.player][c] *= row[c];
    for (AlignedArray& a : strategy) ReleaseAlignedArray(a);
  }
  for (int p = 0; p < 2; ++p) {
    ASSERT_EQ(reach[p].count, river.hands.size());
    std::vector<double> got;
    ComboVectorForDeal(got, *tree.dealTable, reach[p], turnIndex, riverIndex, false);
    double total = 0.0;
    for (int c = 0; c < kComboCount; ++c) {
      if (river.comboMap[c] < 0) continue;
      EXPECT_NEAR(got[c], expected[p][c], 1e-12) << "player " << p << " combo " << c;
      total += got[c];
    }
    EXPECT_GT(total, 0.0);
    ReleaseAlignedArray(reach[p]);
  }
}

TEST_F(Reports, RangesAndReachProbabilitiesFollowThePlayersOwnActions) {
  BuildFlopSpot();
  Iterate(20);
  // Below OOP's flop bet his range is the range times the bet's probability.
  std::vector<double> range, bet(kComboCount, 0.0);
  RangeAtNode(range, 0, "r:0:b50");
  NodeRange(0, 0, -1, -1, bet.data());
  for (int c = 0; c < kComboCount; ++c) {
    const double expected = RangeVectors[0][c] * bet[c];
    if (std::isnan(expected))
      EXPECT_TRUE(std::isnan(range[c]));
    else
      EXPECT_DOUBLE_EQ(range[c], expected);
  }
  // IP has not acted yet: his range is the interpreter's.
  RangeAtNode(range, 1, "r:0:b50");
  EXPECT_EQ(range, RangeVectors[1]);

  // The acting player's action frequencies add up to 1 on every street.
  for (const char* path : {"r:0", "r:0:b50", "r:0:c:c:Kd:c", "r:0:b50:c:As:c:c:Ah", "r:0:b50:c:8c:c:c:3s:c"}) {
    const std::string reply = RunCommand(std::string("show_probs ") + path);
    std::istringstream in(reply);
    std::string oop, ip, token;
    double reachOop, reachIp, f, sum = 0.0;
    in >> oop >> reachOop >> ip >> reachIp;
    ASSERT_EQ(oop, "OOP") << reply;
    ASSERT_EQ(ip, "IP") << reply;
    int actions = 0;
    while (in >> token >> f) {
      sum += f;
      ++actions;
      // The token leads to the child whose reach gives the frequency.
      EXPECT_NO_THROW(ResolveNodePath(std::string(path) + ":" + token)) << token;
    }
    EXPECT_EQ(actions, static_cast<int>(ResolveNodePath(path).node->children.size())) << reply;
    EXPECT_NEAR(sum, 1.0, 1e-6) << path << ": " << reply;
    EXPECT_GT(reachOop, 0.0);
    EXPECT_LE(reachOop, 1.0 + 1e-12);
    EXPECT_GT(reachIp, 0.0);
  }
}

TEST_F(Reports, StrongestHandsComeFirstInThePerHandReport) {
  BuildFlopSpot();
  Iterate(5);
  const std::vector<int> order = HandsByEquity("r");
  EXPECT_EQ(order, HandsByEquity("r:0"));
  // Only OOP's hands that miss the flop, with the sets of queens and jacks
  // (KQs is not a set) ahead of aces.
  int listed = 0;
  for (int k = 0; k < kComboCount; ++k)
    if (ClassWeight(kOopClasses, k) > 0.0 && !(HandMaskByOrder[k] & ParseCards("QsJh2h"))) ++listed;
  EXPECT_EQ(static_cast<int>(order.size()), listed);
  EXPECT_EQ(HandName(order.front()).substr(0, 1), "J");  // JJ: the only set in OOP's range
  const std::string reply = RunCommand("show_strategy_pp r:0");
  std::istringstream in(reply);
  std::string line;
  size_t lines = 0;
  while (std::getline(in, line) && line != "END") {
    ASSERT_LT(lines, order.size());
    EXPECT_EQ(line.substr(0, 6), HandName(order[lines]) + ": ");
    const std::vector<double> values = ParseNumbers(line.substr(6));
    ASSERT_EQ(values.size(), 2u) << line;
    EXPECT_NEAR(values[0] + values[1], 1.0, 2e-6) << line;
    ++lines;
  }
  EXPECT_EQ(lines, order.size());
  EXPECT_EQ(line, "END");
}

TEST_F(Reports, RunoutGuardRefusesIncompleteAndImpossibleRunouts) {
  BuildFlopSpot();
  // A river decision with its cards, and the same node without them.
  NodeRef river = ResolveNodePath("r:0:b50:c:Kd:c:c:3s:c");
  const RunoutIndices good = CheckedRunout(river);
  EXPECT_GE(good.turnIndex, 0);
  EXPECT_GE(good.riverIndex, 0);
  NodeRef missing = river;
  missing.riverCard = -1;
  EXPECT_THROW(CheckedRunout(missing), CommandError);
  missing.turnCard = -1;
  EXPECT_THROW(CheckedRunout(missing), CommandError);
  NodeRef repeated = river;
  repeated.riverCard = repeated.turnCard;
  EXPECT_THROW(CheckedRunout(repeated), CommandError);
  NodeRef onFlop = river;
  onFlop.turnCard = MakeCard(10, 3);  // Qs, a flop card
  EXPECT_THROW(CheckedRunout(onFlop), CommandError);

  // The river deal needs the turn card only; the turn's first node needs it too.
  NodeRef deal = ResolveNodePath("r:0:b50:c:Kd:c:c");
  ASSERT_TRUE(deal.dealPending);
  EXPECT_NO_THROW(CheckedRunout(deal));
  deal.turnCard = -1;
  EXPECT_THROW(CheckedRunout(deal), CommandError);
  // A fold on the river is read through its parent, a river node.
  NodeRef fold = ResolveNodePath("r:0:b50:c:Kd:c:c:3s:c:b100:f");
  EXPECT_NO_THROW(CheckedRunout(fold));
  fold.riverCard = -1;
  EXPECT_THROW(CheckedRunout(fold), CommandError);
  // The flop needs no card.
  NodeRef flop = ResolveNodePath("r:0:c");
  flop.turnCard = flop.riverCard = -1;
  EXPECT_NO_THROW(CheckedRunout(flop));
}

TEST_F(Reports, BoardHandListsGiveTheCombosThatMissTheBoard) {
  ASSERT_EQ(RunCommand("set_isomorphism 0 0"), "set_isomorphism ok!\n");
  BuildFlopSpot();
  const struct {
    const char* path;
    const char* board;
  } cases[] = {{"r:0", "QsJh2h"}, {"r:0:c:c:Kd:c", "QsJh2hKd"}, {"r:0:b50:c:Kd:c:c:3s:c", "QsJh2hKd3s"}};
  for (const auto& c : cases) {
    const NodeRef ref = ResolveNodePath(c.path);
    std::vector<uint32_t> combos(kComboCount);
    const int n = BoardHandComboIndices(ref.node->treeIndex, ref.turnCard, ref.riverCard, combos.data());
    ASSERT_GT(n, 0) << c.path;
    const CardMask board = ParseCards(c.board);
    std::vector<bool> seen(kComboCount, false);
    for (int i = 0; i < n; ++i) {
      ASSERT_LT(combos[i], static_cast<uint32_t>(kComboCount));
      EXPECT_FALSE(seen[combos[i]]) << c.path;
      seen[combos[i]] = true;
      // Every listed hand misses the board.
      const int position = OrderByComboIndex[combos[i]];
      EXPECT_FALSE(HandMaskByOrder[position] & board) << c.path << " " << HandName(position);
    }
  }
  // A river node without its river card has no hand list.
  const NodeRef river = ResolveNodePath("r:0:b50:c:Kd:c:c:3s:c");
  std::vector<uint32_t> combos(kComboCount);
  EXPECT_EQ(BoardHandComboIndices(river.node->treeIndex, river.turnCard, -1, combos.data()), 0);
}

TEST_F(Reports, LinesEditedAfterTheBuildAreRefused) {
  BuildFlopSpot();
  Iterate(2);
  EXPECT_EQ(StrategyRows("r:0").size(), 2u);
  ASSERT_EQ(RunCommand("add_line 100 100 100 100 100 100"), "add_line ok!\n");
  EXPECT_EQ(RunCommand("show_strategy r:0"), "ERROR: show_strategy missing/incorrect tree\n");
  EXPECT_EQ(RunCommand("show_range OOP r:0:b50"), "ERROR: show_range missing/incorrect tree\n");
  EXPECT_EQ(RunCommand("show_probs r:0"), "ERROR: show_probs missing/incorrect tree\n");
  ASSERT_EQ(RunCommand("remove_line 100"), "remove_line ok!\n");
  EXPECT_EQ(StrategyRows("r:0").size(), 2u);
  ASSERT_EQ(RunCommand("remove_line 50 50 50 50 50 100"), "remove_line ok!\n");
  EXPECT_EQ(RunCommand("show_strategy r:0:b50:c:Kd:c:c:3s:c"), "ERROR: show_strategy missing/incorrect tree\n");
}

TEST(ReportHelpers, ActionTokensReadBackAsTheirAmounts) {
  SchematicNode node;
  node.amount = 10.0;
  for (double key : {50.0, 12.7, 10.0 + 1.0 / 3.0, 0.1 + 0.2 + 10.0, 10.0, -1.0}) {
    auto child = std::make_unique<SchematicNode>();
    child->parent = &node;
    node.children[key] = std::move(child);
  }
  const std::vector<std::string> expected = {"b50", "b12.7", "", "", "c", "f"};
  int i = 0;
  for (const auto& [key, child] : node.children) {
    const std::string token = ActionToken(node, i);
    if (!expected[i].empty()) {
      EXPECT_EQ(token, expected[i]);
    }
    if (key > node.amount) {
      EXPECT_EQ(std::stod(token.substr(1)), key) << token;
    }
    ++i;
  }
}

TEST(ReportHelpers, NumberLinesHandNamesAndSubtreeValues) {
  std::string out;
  TakePendingOutput(out);
  FormatNumberField({}, "%.12g", "0");
  TakePendingOutput(out);
  EXPECT_EQ(out, "\n");
  FormatNumberField({0.5, std::nan(""), -std::nan(""), 1.0 / 3.0}, "%.12g", "x");
  TakePendingOutput(out);
  EXPECT_EQ(out, "0.5 x x 0.333333333333\n");
  // A line that does not fit is refused whole.
  EXPECT_THROW(FormatNumberField(std::vector<double>(kComboCount, 1.0), "%.60f", "0"), std::runtime_error);
  TakePendingOutput(out);
  EXPECT_EQ(out, "");
  EXPECT_EQ(FormatReportNumber("%.12g", -std::nan("")), "nan");
  EXPECT_EQ(FormatReportNumber("%.6f", 0.25), "0.250000");

  EXPECT_EQ(HandName(0), "2d2c");
  EXPECT_EQ(HandName(1325), "AsAh");

  // Two hands that share a card and one that blocks neither.
  const std::vector<CardMask> hands = {ParseCards("AsKs"), ParseCards("AsQs"), ParseCards("2c3c")};
  AlignedArray values{}, reach{}, opponent{};
  ZeroAlignedArray(values, 3);
  ZeroAlignedArray(reach, 3);
  ZeroAlignedArray(opponent, 3);
  values.data[0] = 6.0;
  values.data[2] = 3.0;
  reach.data[0] = 1.0;
  reach.data[2] = 2.0;
  // Nobody on the other side: no compatible pair, value 0 (not NaN).
  EXPECT_EQ(SubtreeValue(values, reach, opponent, hands), 0.0);
  opponent.data[1] = 1.0;
  opponent.data[2] = 1.0;
  // Compatible opponent reach: 1 for hand 0 (hand 1 shares its ace), 1 for
  // hand 2; weighted by own reach 1 and 2.
  EXPECT_DOUBLE_EQ(SubtreeValue(values, reach, opponent, hands), (6.0 * 1.0 + 3.0 * 2.0) / (1.0 + 2.0));
  ReleaseAlignedArray(values);
  ReleaseAlignedArray(reach);
  ReleaseAlignedArray(opponent);
}

}  // namespace

namespace {

// Passes every operation on to the storage it wraps and records the board
// openings and closings, and whether reads were given defaults.
class RecordingStorage : public StorageInterface {
 public:
  explicit RecordingStorage(StorageInterface* inner) : inner_(inner) {}
  bool Prepare() override { return inner_->Prepare(); }
  int32_t EntryCount(int t, int r) override { return inner_->EntryCount(t, r); }
  void ReadRow(int t, int r, const float* defaults, std::vector<AlignedArray>& out) override {
    readsWithDefaults += defaults != nullptr;
    readsWithoutDefaults += defaults == nullptr;
    inner_->ReadRow(t, r, defaults, out);
  }
  void WriteRow(int t, int r, int a, const AlignedArray& values) override { inner_->WriteRow(t, r, a, values); }
  void UpdateRow(int t, int r, const AlignedArray& n, const std::vector<AlignedArray>& a, const AlignedArray* alt,
                 const std::vector<int16_t>* segments, double scale) override {
    inner_->UpdateRow(t, r, n, a, alt, segments, scale);
  }
  void AccumulateRow(int t, int r, const std::vector<AlignedArray>& s, const AlignedArray& reach,
                     double w) override {
    inner_->AccumulateRow(t, r, s, reach, w);
  }
  int64_t ElementCount(int t) override { return inner_->ElementCount(t); }
  void Save(BinaryWriter& writer) override { inner_->Save(writer); }
  void Load(BinaryReader& reader) override { inner_->Load(reader); }
  void* OpenBoard(void* buffer, int t, int64_t hint) override {
    ++opens;
    return inner_->OpenBoard(buffer, t, hint);
  }
  void* CloseBoard(void* buffer, int t, int flag) override {
    ++(flag ? writeCloses : readCloses);
    return inner_->CloseBoard(buffer, t, flag);
  }
  NodeRecord* GetNodeRecord(int t, int r) override { return inner_->GetNodeRecord(t, r); }

  StorageInterface* inner_;
  int opens = 0, readCloses = 0, writeCloses = 0, readsWithDefaults = 0, readsWithoutDefaults = 0;
};

TEST_F(Reports, RiverSubtreesAreOpenedWholeAndClosedAsTheReaderOrWriterNeeds) {
  BuildFlopSpot();
  Iterate(64);  // averaging is on; the last pass updated OOP
  SolverTree& tree = *CurrentTree;
  ASSERT_EQ(tree.passMode, 1);
  const std::string path = "r:0:b50:c:Kd:c:c:3s:c";
  TreeNode& node = tree.nodes[ResolveNodePath(path).node->treeIndex];
  TreeNode& root = RiverSubtreeRoot(node);
  // Wrap both storages of every river node below the sub-tree's root.
  std::vector<std::pair<TreeNode*, RecordingStorage*>> wrapped;
  std::vector<TreeNode*> stack = {&root};
  while (!stack.empty()) {
    TreeNode* at = stack.back();
    stack.pop_back();
    if (at->kind != kInnerNode) continue;
    for (int32_t child : at->children) stack.push_back(&tree.nodes[child]);
    ASSERT_TRUE(at->secondStorage);
    auto* first = new RecordingStorage(at->firstStorage);
    auto* second = new RecordingStorage(at->secondStorage);
    at->firstStorage = first;
    at->secondStorage = second;
    wrapped.push_back({at, first});
    wrapped.push_back({at, second});
  }
  ASSERT_GE(wrapped.size(), 6u);
  auto counts = [&](int RecordingStorage::*field) {
    int total = 0;
    for (auto& entry : wrapped) total += entry.second->*field;
    return total;
  };

  // A report read: every storage of both players opened once per action
  // row read, and closed without writing back.
  const Rows rows = StrategyRows(path);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(counts(&RecordingStorage::opens), static_cast<int>(2 * wrapped.size()));
  EXPECT_EQ(counts(&RecordingStorage::readCloses), static_cast<int>(2 * wrapped.size()));
  EXPECT_EQ(counts(&RecordingStorage::writeCloses), 0);
  // The average strategy is read from the sums without defaults.
  RecordingStorage* sums = nullptr;
  for (auto& entry : wrapped)
    if (entry.first == &node && entry.second == node.secondStorage) sums = entry.second;
  ASSERT_TRUE(sums);
  EXPECT_GT(sums->readsWithoutDefaults, 0);
  EXPECT_EQ(sums->readsWithDefaults, 0);

  // A writer closes every storage with write-back, whatever the last pass.
  int turnIndex, riverIndex;
  DealIndicesForCards(tree, ResolveNodePath(path).turnCard, ResolveNodePath(path).riverCard, turnIndex, riverIndex);
  AcquireRiverSubtree(tree, node, turnIndex);
  ReleaseRiverSubtree(tree, node, turnIndex, true);
  EXPECT_EQ(counts(&RecordingStorage::writeCloses), static_cast<int>(wrapped.size()));
  EXPECT_EQ(counts(&RecordingStorage::opens), static_cast<int>(3 * wrapped.size()));

  for (auto& entry : wrapped) {
    if (entry.first->firstStorage == entry.second) entry.first->firstStorage = entry.second->inner_;
    if (entry.first->secondStorage == entry.second) entry.first->secondStorage = entry.second->inner_;
    delete entry.second;
  }
}

}  // namespace
