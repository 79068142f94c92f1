#include "results/ev_report.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "core/cards.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "core/scope_exit.h"
#include "core/settings.h"
#include "game/deal_table.h"
#include "game/isomorphism.h"
#include "game/line_tree.h"
#include "game/node_path.h"
#include "game/tree_state.h"
#include "results/range_report.h"
#include "results/report_helpers.h"
#include "solver/engine_state.h"
#include "solver/ev_pass.h"
#include "solver/report_kernels.h"
#include "solver/solver_thread.h"
#include "solver/subtree_resolve.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// While a street is forgotten the EV pass takes the values below it from
// what the last evaluation cached at the deals: they are refreshed when an
// iteration (or a written strategy) came after them. The caller has made
// every storage.
void RefreshResults(SolverTree& tree) {
  if (!(tree.flags & kIncompleteTree) || tree.lastResultsIteration == tree.iterationCount) return;
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  double result[2];
  ComputeExploitability(tree, 0, result, tree.resultPairs[0], tree.resultPairs[1]);
  tree.resultPairs[2][0] = result[0];
  tree.resultPairs[2][1] = result[1];
  tree.lastResultsIteration = tree.iterationCount;
}

// A row over the hand list of deal (turn, river) as 1326 values in the
// user's suits of the two cards; NaN off the list.
std::vector<double> UserComboRow(const SolverTree& tree, const AlignedArray& row, int turnIndex, int riverIndex,
                                 int turnCard, int riverCard) {
  std::vector<double> expanded, out(kComboCount);
  if (row.data)
    ComboVectorForDeal(expanded, *tree.dealTable, row, turnIndex, riverIndex, true);
  else
    expanded.assign(kComboCount, kNan);
  CopyComboVector((tree.flags & kIsomorphismOn) != 0, tree.flopMask, out.data(), expanded.data(), turnCard,
                  riverCard);
  return out;
}

struct NodeEvRows {
  std::vector<double> ev, weight;  // hand order
};

// The values of the path's own runout (a path that ends before the card of
// the next street is dealt names the deal, whose values average over it).
NodeEvRows NodeEvOfPath(int player, const std::string& path) {
  const NodeRef ref = ResolveNodePath(path == "r" ? std::string("r:0") : path);
  std::vector<double> ev(kComboCount, 0.0), weight(kComboCount, 0.0);
  if (ref.node) {
    CheckedTreeNode(*ref.node);
    CheckedRunout(ref);
    // A tree file may leave out the values its deals cached; while a street
    // is forgotten the pass would answer from them.
    if (LoadFlag && CurrentTree && (CurrentTree->flags & kIncompleteTree))
      ThrowCommandError("values not loaded: rebuild the forgotten streets and solve");
    CalcNodeEv(player, ref.node->treeIndex, ref.turnCard, ref.riverCard, ev.data(), weight.data(), false);
  }
  // The pot the tree was built with, whatever set_pot has stored since.
  const double half = 0.5 * ReportPot();
  for (double& v : ev)
    if (!std::isnan(v)) v += half;
  return {ReorderHandValues(ev, ComboIndexByOrder), ReorderHandValues(weight, ComboIndexByOrder)};
}

}  // namespace

void CalcNodeEv(int player, int nodeIndex, int turnCard, int riverCard, double* ev, double* weight,
                bool allRunouts) {
  SolverTree* treePointer = CurrentTree.get();
  if (!treePointer || nodeIndex < 0 || nodeIndex >= static_cast<int>(treePointer->nodes.size())) return;
  SolverTree& tree = *treePointer;
  TreeNode& node = tree.nodes[nodeIndex];
  const int turn = node.street >= 2 ? turnCard : -1;
  const int river = node.street >= 3 ? riverCard : -1;
  int turnIndex, riverIndex;
  DealIndicesForCards(tree, turn, river, turnIndex, riverIndex);
  if ((turn >= 0 && turnIndex < 0) || (river >= 0 && riverIndex < 0)) {
    // A card without a record: no value.
    for (int c = 0; c < kComboCount; ++c) ev[c] = weight[c] = kNan;
    return;
  }
  // A first node of its street without the street's card is the deal
  // itself: its values average over the cards it deals.
  // A forgotten sub-tree is rebuilt first; its re-solve changes the values
  // that the refresh below caches. The pass reads every storage below the
  // root: none may be missing.
  RequireAllStoragesReady(tree);
  RebuildForgottenSubtree(tree, node, turnIndex, riverIndex, false);
  RefreshResults(tree);

  EvCapture capture;
  {
    std::lock_guard<std::recursive_mutex> lock(SolverMutex);
    capture.target = &node;
    capture.turnIndex = allRunouts && node.street == 2 && tree.nodes[0].street == 1 ? -1 : turnIndex;
    capture.riverIndex = allRunouts && node.street == 3 ? -1 : riverIndex;
    capture.allCards = allRunouts ? 1 : 0;
    tree.evCapture = &capture;
    // The capture lives on this stack: no later pass may find it, however
    // this one ends.
    const ScopeExit reset([&tree] { tree.evCapture = nullptr; });
    RunEvPass(tree, player);
  }

  if (!allRunouts) {
    const std::vector<double> evRow = UserComboRow(tree, capture.ev, turnIndex, riverIndex, turn, river);
    const std::vector<double> weightRow = UserComboRow(tree, capture.weight, turnIndex, riverIndex, turn, river);
    DealValueRows(ev, weight, evRow.data(), weightRow.data(), kComboCount);
  } else {
    // Weight-averaged over the dealt cards of the enumerated streets.
    for (int c = 0; c < kComboCount; ++c) ev[c] = weight[c] = 0.0;
    const bool flopRoot = tree.nodes[0].street == 1;
    const CardMask flop = tree.flopMask;
    // Turn cards are enumerated only where the capture left the turn open: a
    // path that fixes the turn has entries for its own turn record, which
    // with isomorphism also stands for the turn card's suit twins.
    const bool openTurn = flopRoot && node.street >= 2 && capture.turnIndex < 0;
    for (int t = -1; t < kCardCount; ++t) {
      if ((t < 0) == openTurn) continue;
      if (t >= 0 && (CardBit(t) & flop)) continue;
      const int dealTurn = t >= 0 ? t : turn;
      for (int r = -1; r < kCardCount; ++r) {
        if ((r < 0) == (node.street == 3)) continue;
        if (r >= 0 && ((CardBit(r) & flop) || r == dealTurn)) continue;
        int ti, ri;
        DealIndicesForCards(tree, dealTurn, r, ti, ri);
        auto found = capture.perCard.find(EvCapture::DealKey{ri, ti});
        // Each entry holds the deal's EV row, then its weight row.
        if (found == capture.perCard.end() || !found->second.first.data) continue;
        const std::vector<double> e = UserComboRow(tree, found->second.first, ti, ri, dealTurn, r);
        const std::vector<double> w = UserComboRow(tree, found->second.second, ti, ri, dealTurn, r);
        AccumulateDealValues(ev, weight, e.data(), w.data(), kComboCount);
      }
    }
    DivideRows(ev, weight, kComboCount);
  }
  FillOutsideRange(ev, weight, tree.ranges[player].data(), kNan, kComboCount);
}

void PrintEvReport(int player, const std::string& path) {
  const NodeEvRows rows = NodeEvOfPath(player, path);
  FormatNumberField(rows.ev, "%.9g", "nan");
  FormatNumberField(rows.weight, "%.9g", "0");
  Output("END\n");
}

void PrintEvPpReport(int player, const std::string& path) {
  const NodeEvRows rows = NodeEvOfPath(player, path);
  std::string text;
  for (int k : HandsByEquity(path))
    text += HandName(k) + ": " + FormatReportNumber("%.2f", rows.ev[k]) + "; " +
            FormatReportNumber("%.2f", rows.weight[k]) + "\n";
  OutputText(text);
  Output("END\n");
}

void PrintEvLineReport(int player, const std::string& path) {
  (void)player;
  ResolveNodePath(path == "r" ? std::string("r:0") : path);
  const std::vector<double> zeros(kComboCount, 0.0), ones(kComboCount, 1.0);
  FormatNumberField(ReorderHandValues(zeros, ComboIndexByOrder), "%.9g", "nan");
  FormatNumberField(ReorderHandValues(ones, ComboIndexByOrder), "%.9g", "0");
  Output("END\n");
}
