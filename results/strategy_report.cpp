#include "results/strategy_report.h"

#include <cmath>
#include <mutex>
#include <vector>

#include "core/cards.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "game/deal_table.h"
#include "game/isomorphism.h"
#include "game/line_tree.h"
#include "game/node_path.h"
#include "results/node_report.h"
#include "results/range_report.h"
#include "results/report_helpers.h"
#include "solver/engine_state.h"
#include "solver/river_subtree.h"
#include "solver/subtree_resolve.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_interface.h"

namespace {

// A decision node of the current tree with a complete runout, or the errors
// of the strategy reports.
struct CheckedDecision {
  NodeRef ref;
  int nodeIndex;
};

CheckedDecision ResolveDecision(const std::string& path) {
  const NodeRef ref = ResolveNodePath(path);
  if (!RequireDecisionNode(ref)) ThrowIncorrectPath();
  CheckedTreeNode(*ref.node);
  CheckedRunout(ref);
  return {ref, ref.node->treeIndex};
}

// Row k of the strategy in hand order, for every action of the node.
std::vector<std::vector<double>> StrategyRows(const CheckedDecision& decision) {
  std::vector<std::vector<double>> rows;
  std::vector<double> values(kComboCount);
  for (size_t k = 0; k < decision.ref.node->children.size(); ++k) {
    std::fill(values.begin(), values.end(), 0.0);
    NodeRange(decision.nodeIndex, static_cast<int>(k), decision.ref.turnCard, decision.ref.riverCard, values.data());
    rows.push_back(ReorderHandValues(values, ComboIndexByOrder));
  }
  return rows;
}

}  // namespace

void NodeComboLockMask(int nodeIndex, int turnCard, int riverCard, double* out) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  SolverTree* treePointer = CurrentTree.get();
  if (!treePointer || nodeIndex < 0 || nodeIndex >= static_cast<int>(treePointer->nodes.size())) return;
  SolverTree& tree = *treePointer;
  RequireAllStoragesReady(tree);
  TreeNode& node = tree.nodes[nodeIndex];
  if (node.kind != kInnerNode) return;
  const int turn = node.street >= 2 ? turnCard : -1;
  const int river = node.street >= 3 ? riverCard : -1;
  int turnIndex, riverIndex;
  DealIndicesForCards(tree, turn, river, turnIndex, riverIndex);
  if ((node.street >= 2 && turnIndex < 0) || (node.street >= 3 && riverIndex < 0)) return;
  RebuildForgottenSubtree(tree, node, turnIndex, riverIndex, false);
  if (!node.firstStorage) return;
  std::vector<double> mask;
  {
    RiverSubtreeAccess access(tree, node, turnIndex, false);
    const NodeRecord* record = node.firstStorage->GetNodeRecord(turnIndex, riverIndex);
    mask.assign(node.firstStorage->EntryCount(turnIndex, riverIndex), 0.0);
    if (record->mask)
      for (size_t i = 0; i < mask.size() && static_cast<int32_t>(i) < record->maskLength; ++i)
        mask[i] = record->mask[i];
  }
  const BoardCombos& combos = DealCombos(*tree.dealTable, turnIndex, riverIndex);
  double expanded[kComboCount];
  ExpandComboValues(expanded, mask.data(), static_cast<uint32_t>(mask.size()), combos.comboMap, true);
  CopyComboVector((tree.flags & kIsomorphismOn) != 0, tree.flopMask, out, expanded, turn, river);
}

void PrintStrategyReport(const std::string& path) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  const CheckedDecision decision = ResolveDecision(path);
  for (const std::vector<double>& row : StrategyRows(decision)) FormatNumberField(row, "%.12g", "0");
  Output("END\n");
}

void PrintStrategyPpReport(const std::string& path) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  const CheckedDecision decision = ResolveDecision(path);
  const std::vector<std::vector<double>> rows = StrategyRows(decision);
  std::string text;
  for (int h : HandsByEquity(path)) {
    text += HandName(h) + ": ";
    for (const std::vector<double>& row : rows) text += "  " + FormatReportNumber("%.6f", row[h]);
    text += "\n";
  }
  OutputText(text);
  Output("END\n");
}

void PrintLockedCombosReport(const std::string& path) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  const CheckedDecision decision = ResolveDecision(path);
  std::vector<double> values(kComboCount, 0.0);
  NodeComboLockMask(decision.nodeIndex, decision.ref.turnCard, decision.ref.riverCard, values.data());
  std::vector<double> ordered = ReorderHandValues(values, ComboIndexByOrder);
  for (double& v : ordered)
    if (std::isnan(v)) v = 0.0;
  FormatNumberField(ordered, "%.12g", "nan");
}
