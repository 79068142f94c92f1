#include "results/range_report.h"

#include <cmath>
#include <cstdio>
#include <mutex>

#include "core/cards.h"
#include "core/cpu_info.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/thread_scratch.h"
#include "game/deal_table.h"
#include "game/isomorphism.h"
#include "game/line_tree.h"
#include "game/tree_state.h"
#include "results/node_report.h"
#include "results/report_helpers.h"
#include "solver/array_kernels_variants.h"
#include "solver/engine_state.h"
#include "solver/report_kernels.h"
#include "solver/river_subtree.h"
#include "solver/subtree_resolve.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_interface.h"

namespace {

// a[i] *= b[i] for i < n.
void MultiplyRows(double* a, const double* b, uint32_t n) {
  if (n == 0) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::MultiplyRows(a, a, b, n);
  else
    kernels_avx::MultiplyRows(a, a, b, n);
}

// The working rows of the range reports, kept per thread.
struct ReportScratch {
  std::vector<AlignedArray> current, average;
  std::vector<float> defaults;
  std::vector<double> totals;
  std::vector<const double*> rows;
  std::vector<double> row;
  ~ReportScratch() {
    for (AlignedArray& array : current) ReleaseAlignedArray(array);
    for (AlignedArray& array : average) ReleaseAlignedArray(array);
  }
};
ThreadScratch<ReportScratch> t_reportScratch;

// The rows of a node for one runout: the current strategy up to iteration
// 62, then the average strategy with the current strategy for every hand
// whose strategy sums are all zero.
const std::vector<AlignedArray>& ReadReportRows(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex) {
  ReportScratch& scratch = t_reportScratch.Get();
  std::vector<AlignedArray>&current = scratch.current, &average = scratch.average;
  std::vector<float>& defaults = scratch.defaults;
  const size_t c = node.children.size();
  defaults.assign(c, static_cast<float>(1.0 / static_cast<double>(c)));
  node.firstStorage->ReadRow(turnIndex, riverIndex, defaults.data(), current);
  if (tree.iterationCount < kReportAverageStart || !node.secondStorage) return current;
  node.secondStorage->ReadRow(turnIndex, riverIndex, nullptr, average);
  const uint32_t n = average.empty() ? 0 : average[0].count;
  std::vector<double>& totals = scratch.totals;
  std::vector<const double*>& rows = scratch.rows;
  totals.resize(n);
  rows.resize(c);
  for (size_t a = 0; a < c; ++a) rows[a] = average[a].data;
  ActionTotals(totals.data(), rows.data(), static_cast<uint32_t>(c), n);
  for (size_t a = 0; a < c; ++a) {
    double* row = average[a].data;
    if (!row) continue;
    const uint32_t covered = current[a].data ? std::min(n, current[a].count) : 0;
    ReplaceWhereZero(row, current[a].data, totals.data(), covered);
    for (uint32_t h = covered; h < n; ++h)
      if (totals[h] == 0.0) row[h] = 0.0;
  }
  return average;
}

}  // namespace

std::string FormatReportNumber(const char* format, double value) {
  if (std::isnan(value)) return "nan";
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

void MultiplyValuesInPlace(std::vector<double>& a, const std::vector<double>& b) {
  MultiplyRows(a.data(), b.data(), static_cast<uint32_t>(std::min(a.size(), b.size())));
}

void NodeRange(int nodeIndex, int action, int turnCard, int riverCard, double* out) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  SolverTree* treePointer = CurrentTree.get();
  if (!treePointer || nodeIndex < 0 || nodeIndex >= static_cast<int>(treePointer->nodes.size())) return;
  SolverTree& tree = *treePointer;
  RequireAllStoragesReady(tree);
  TreeNode& node = tree.nodes[nodeIndex];
  if (node.kind != kInnerNode || action < 0 || action >= static_cast<int>(node.children.size())) return;
  // A node on the turn or river is addressed only with the cards of its runout.
  const int turn = node.street >= 2 ? turnCard : -1;
  const int river = node.street >= 3 ? riverCard : -1;
  int turnIndex, riverIndex;
  DealIndicesForCards(tree, turn, river, turnIndex, riverIndex);
  if ((node.street >= 2 && turnIndex < 0) || (node.street >= 3 && riverIndex < 0)) return;
  RebuildForgottenSubtree(tree, node, turnIndex, riverIndex, false);
  if (!node.firstStorage) return;

  std::vector<double>& row = t_reportScratch.Get().row;
  {
    RiverSubtreeAccess access(tree, node, turnIndex, false);
    const std::vector<AlignedArray>& rows = ReadReportRows(tree, node, turnIndex, riverIndex);
    const AlignedArray& chosen = rows[action];
    row.assign(chosen.count, 0.0);
    if (chosen.data) std::copy(chosen.data, chosen.data + chosen.count, row.begin());
  }
  const BoardCombos& combos = DealCombos(*tree.dealTable, turnIndex, riverIndex);
  double expanded[kComboCount];
  ExpandComboValues(expanded, row.data(), static_cast<uint32_t>(row.size()), combos.comboMap, true);
  CopyComboVector((tree.flags & kIsomorphismOn) != 0, tree.flopMask, out, expanded, turn, river);
  FillOutsideRange(out, nullptr, tree.ranges[node.player & 1].data(), 0.0, kComboCount);
}

int ChildActionIndex(const NodeRef& parent, const NodeRef& child) {
  if (!parent.node) return -1;
  int index = 0;
  for (const auto& entry : parent.node->children) {
    if (entry.second.get() == child.node) return index;
    ++index;
  }
  return -1;
}

namespace {
// The player's starting range as the reports read it: the one the tree was
// built (or loaded) with while a tree stands, whatever set_range has stored
// since; the interpreter's otherwise.
const std::vector<double>& ReportRange(int player) {
  if (TreeBuilt && CurrentTree) return CurrentTree->ranges[player];
  return RangeVectors[player];
}
}  // namespace

void RangeAtNode(std::vector<double>& out, int player, const std::string& path) {
  out = ReportRange(player);
  out.resize(kComboCount, 0.0);
  if (path.empty()) return;
  const NodeRef target = ResolveNodePath(path);
  if (!target.node) return;
  CheckedTreeNode(*target.node);
  CheckedRunout(target);
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  NodeRef child = target;
  NodeRef current = ParentNodeRef(target);
  std::vector<double> probabilities(kComboCount);
  while (!IsNullNodeRef(current)) {
    if (RequireDecisionNode(current) && (current.node->player & 1) == player) {
      CheckedTreeNode(*current.node);
      const int k = ChildActionIndex(current, child);
      std::fill(probabilities.begin(), probabilities.end(), 0.0);
      NodeRange(current.node->treeIndex, k, current.turnCard, current.riverCard, probabilities.data());
      MultiplyValuesInPlace(out, probabilities);
    }
    child = current;
    current = ParentNodeRef(current);
  }
}

double ReachProbability(int player, const std::string& path) {
  std::vector<double> ranged;
  RangeAtNode(ranged, player, path);
  // Hands that meet the node's board cannot be held there: they count in
  // neither sum, so that the reach of a node and of its children are taken
  // over the same hands (and the action frequencies add up to 1).
  const CardMask board = path.empty() ? ReportBoardMasks()[0] : NodeDeadCards(ResolveNodePath(path));
  const std::vector<double>& range = ReportRange(player);
  double reached = 0.0, total = 0.0;
  for (int hi = 1; hi < kCardCount; ++hi) {
    for (int lo = 0; lo < hi; ++lo) {
      if ((CardBit(hi) | CardBit(lo)) & board) continue;
      const int c = ComboIndex(lo, hi);
      if (std::isnan(ranged[c])) continue;
      reached += ranged[c];
      total += c < static_cast<int>(range.size()) ? range[c] : 0.0;
    }
  }
  return reached / total;
}

void TreeReachRange(int nodeIndex, int turnCard, int riverCard, double* out) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  SolverTree* tree = CurrentTree.get();
  if (!tree || nodeIndex < 0 || nodeIndex >= static_cast<int>(tree->nodes.size())) return;
  const TreeNode& node = tree->nodes[nodeIndex];
  const int player = node.player & 1;
  std::copy(tree->ranges[player].begin(), tree->ranges[player].end(), out);
  std::vector<double> probabilities(kComboCount);
  const TreeNode* previous = &node;
  for (int at = node.parentIndex; at >= 0; at = tree->nodes[at].parentIndex) {
    const TreeNode& ancestor = tree->nodes[at];
    if (ancestor.street < 3) riverCard = -1;
    if (ancestor.street < 2) turnCard = -1;
    if ((ancestor.player & 1) == player && ancestor.kind == kInnerNode) {
      int position = -1;
      for (size_t i = 0; i < ancestor.children.size(); ++i)
        if (&tree->nodes[ancestor.children[i]] == previous) position = static_cast<int>(i);
      std::fill(probabilities.begin(), probabilities.end(), 0.0);
      NodeRange(at, position, turnCard, riverCard, probabilities.data());
      MultiplyRows(out, probabilities.data(), kComboCount);
    }
    previous = &ancestor;
  }
}

void PrintRangeReport(int player, const std::string& path) {
  std::vector<double> range;
  RangeAtNode(range, player, path);
  FormatNumberField(ReorderHandValues(range, ComboIndexByOrder), "%.12g", "0");
}

void PrintProbsReport(const std::string& path) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  const double reach[2] = {ReachProbability(0, path), ReachProbability(1, path)};
  const NodeRef ref = ResolveNodePath(path);
  std::string actions;
  if (!ref.dealPending && ref.node && !ref.node->children.empty()) {
    const int q = ref.node->player & 1;
    if (reach[q] > 0.0) {
      for (int i = 0; i < static_cast<int>(ref.node->children.size()); ++i) {
        const std::string token = ActionToken(*ref.node, i);
        const double f = ReachProbability(q, path + ":" + token) / reach[q];
        if (i) actions += ' ';
        actions += token + " " + FormatReportNumber("%.12g", f);
      }
    }
  }
  OutputText("OOP " + FormatReportNumber("%.12g", reach[0]) + " IP " + FormatReportNumber("%.12g", reach[1]) + " " +
             actions + "\n");
}
