#include "results/node_locking.h"

#include <cmath>
#include <mutex>
#include <vector>

#include "core/cards.h"
#include "core/output.h"
#include "core/parallel.h"
#include "game/deal_table.h"
#include "game/isomorphism.h"
#include "solver/engine_state.h"
#include "solver/forget.h"
#include "solver/report_kernels.h"
#include "solver/river_subtree.h"
#include "solver/subtree_resolve.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_interface.h"

namespace {

// The node of a lock command on its runout, with its storages in place.
struct LockTarget {
  SolverTree* tree = nullptr;
  TreeNode* node = nullptr;
  int turnIndex = -1;
  int riverIndex = -1;
  int turnCard = -1;
  int riverCard = -1;
};

// Null tree when there is none (or the index does not name an inner node).
LockTarget FindTarget(int nodeIndex, int turnCard, int riverCard) {
  LockTarget target;
  SolverTree* tree = CurrentTree.get();
  if (!tree || nodeIndex < 0 || nodeIndex >= static_cast<int>(tree->nodes.size())) return target;
  TreeNode& node = tree->nodes[nodeIndex];
  if (node.kind != kInnerNode) return target;
  RequireAllStoragesReady(*tree);
  target.turnCard = node.street >= 2 ? turnCard : -1;
  target.riverCard = node.street >= 3 ? riverCard : -1;
  DealIndicesForCards(*tree, target.turnCard, target.riverCard, target.turnIndex, target.riverIndex);
  if ((node.street >= 2 && target.turnIndex < 0) || (node.street >= 3 && target.riverIndex < 0)) return target;
  // A forgotten sub-tree is rebuilt (and re-solved) before it is written to.
  RebuildForgottenSubtree(*tree, node, target.turnIndex, target.riverIndex, false);
  if (!node.firstStorage) ThrowCommandError("incomplete tree");
  target.tree = tree;
  target.node = &node;
  return target;
}

// Both storages of the node, the second when present.
std::vector<StorageInterface*> NodeStorages(const TreeNode& node) {
  std::vector<StorageInterface*> storages{node.firstStorage};
  if (node.secondStorage) storages.push_back(node.secondStorage);
  return storages;
}

// The weights carried into the canonical suits of the runout and moved onto
// the storage's row order (one entry per row of the runout).
std::vector<double> RowOfWeights(const LockTarget& target, const double* weights) {
  SolverTree& tree = *target.tree;
  std::vector<double> canonical;
  CanonicalRangeCopy(canonical, (tree.flags & kIsomorphismOn) != 0, tree.flopMask, weights, target.turnCard,
                     target.riverCard);
  const BoardCombos& combos = DealCombos(*tree.dealTable, target.turnIndex, target.riverIndex);
  std::vector<double> row(target.node->firstStorage->EntryCount(target.turnIndex, target.riverIndex), 0.0);
  ScatterComboValues(row, canonical.data(), combos.comboMap);
  return row;
}

// A lock fixes the strategy the reports show. Up to their averaging start
// that is the current one, while the sums may already hold earlier
// strategies (the iteration before the start): they restart, so that the
// reports read the locked strategy after the start too. From the start on
// the reports read the average, which the lock keeps as it is.
void RestartSumsBeforeReportsAverage(const LockTarget& target) {
  if (target.tree->iterationCount < kReportAverageStart)
    ZeroStrategySums(*target.node, target.turnIndex, target.riverIndex);
}

}  // namespace

void LockNode(int nodeIndex, int turnCard, int riverCard, bool lock) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  const LockTarget target = FindTarget(nodeIndex, turnCard, riverCard);
  if (!target.tree) return;
  // From the first write on, a failure ends the process: the lock would be
  // half written.
  RunGuarded([&] {
    // Compressed river storage keeps its records with the coded rows: the
    // sub-tree is opened and written back around the change.
    RiverSubtreeAccess access(*target.tree, *target.node, target.turnIndex, true);
    for (StorageInterface* storage : NodeStorages(*target.node)) {
      NodeRecord* record = storage->GetNodeRecord(target.turnIndex, target.riverIndex);
      record->ClearMask();
      if (lock)
        record->flags |= kNodeLocked;
      else
        record->flags &= ~kNodeLocked;
    }
    if (lock) RestartSumsBeforeReportsAverage(target);
    RefreshKeptLock(*target.tree, *target.node, target.turnIndex, target.riverIndex);
  });
}

void SetNodeStrategy(int nodeIndex, int child, int turnCard, int riverCard, const double* weights) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  const LockTarget target = FindTarget(nodeIndex, turnCard, riverCard);
  if (!target.tree) return;
  TreeNode& node = *target.node;
  if (child < 0 || child >= static_cast<int>(node.children.size())) return;
  const std::vector<double> row = RowOfWeights(target, weights);
  AlignedArray scaled{};
  ResizeAlignedArray(scaled, static_cast<uint32_t>(row.size()));
  for (size_t i = 0; i < row.size(); ++i) scaled.data[i] = row[i] * 1000.0;
  RunGuarded([&] {
    RiverSubtreeAccess access(*target.tree, node, target.turnIndex, true);
    node.firstStorage->WriteRow(target.turnIndex, target.riverIndex, child, scaled);
    // The action's strategy sums restart, whatever the tree's count: before
    // the tree averages they are zero already, or hold the sums of a re-solve
    // of a forgotten sub-tree (which counts its own iterations), which the
    // average would read once the tree's count passes the averaging start.
    ZeroStrategySums(node, target.turnIndex, target.riverIndex, child);
    RefreshKeptLock(*target.tree, node, target.turnIndex, target.riverIndex);
  });
  ReleaseAlignedArray(scaled);
  // The values cached by the last evaluation no longer hold.
  target.tree->lastResultsIteration = -1;
}

void ComboLockNode(int nodeIndex, int turnCard, int riverCard, const double* weights) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  const LockTarget target = FindTarget(nodeIndex, turnCard, riverCard);
  if (!target.tree) return;
  const std::vector<double> row = RowOfWeights(target, weights);
  std::vector<uint8_t> mask(row.size());
  NonZeroMask(mask.data(), row.data(), static_cast<uint32_t>(row.size()));  // a NaN weight locks its hand
  RunGuarded([&] {
    RiverSubtreeAccess access(*target.tree, *target.node, target.turnIndex, true);
    for (StorageInterface* storage : NodeStorages(*target.node)) {
      NodeRecord* record = storage->GetNodeRecord(target.turnIndex, target.riverIndex);
      record->flags &= ~kNodeLocked;
      record->SetMask(mask.data(), static_cast<int32_t>(mask.size()));
    }
    RestartSumsBeforeReportsAverage(target);
    RefreshKeptLock(*target.tree, *target.node, target.turnIndex, target.riverIndex);
  });
}
