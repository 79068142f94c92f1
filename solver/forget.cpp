#include "solver/forget.h"

#include <algorithm>

#include "core/output.h"
#include "core/parallel.h"
#include "game/deal_table.h"
#include "solver/node_eval.h"
#include "solver/river_subtree.h"
#include "solver/solver_thread.h"
#include "solver/subtree_resolve.h"
#include "solver/tree_passes.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_interface.h"

namespace {
double RowSum(const AlignedArray& row) {
  double sum = 0.0;
  if (row.data)
    for (uint32_t i = 0; i < row.count; ++i) sum += row.data[i];
  return sum;
}

void ScaleTo200(AlignedArray& row) {
  const double sum = RowSum(row);
  if (sum > 2.220446049250313e-16)
    for (uint32_t i = 0; i < row.count; ++i) row.data[i] *= 200.0 / sum;
}
constexpr uint32_t kLockBits = kNodeLocked | kNodeComboLocked;
// Kept probabilities go back into the storages scaled: the first storage's
// counts stay within 16 bits, the sums are whole numbers.
constexpr double kKeptRowScale[2] = {60000.0, 1e6};

int NodeIndex(const SolverTree& tree, const TreeNode& node) { return static_cast<int>(&node - tree.nodes.data()); }

bool LockedRecord(StorageInterface* storage, int turnIndex, int riverIndex) {
  return storage && (storage->GetNodeRecord(turnIndex, riverIndex)->flags & kLockBits);
}

bool LockedRunout(const TreeNode& node, int turnIndex, int riverIndex) {
  return LockedRecord(node.firstStorage, turnIndex, riverIndex) ||
         LockedRecord(node.secondStorage, turnIndex, riverIndex);
}

// The runout indices of one turn record at a node's street: the record
// itself on the turn, each of its river records on the river.
std::vector<int> RiversOf(const SolverTree& tree, const TreeNode& node, int turnIndex) {
  if (node.street < 3) return {-1};
  std::vector<int> rivers(tree.dealTable->turns[turnIndex].rivers.size());
  for (size_t r = 0; r < rivers.size(); ++r) rivers[r] = static_cast<int>(r);
  return rivers;
}

// The lock of one runout with the storages' rows readable; false when the
// runout is not locked.
bool CaptureLock(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex, KeptLock& kept) {
  if (!LockedRunout(node, turnIndex, riverIndex)) return false;
  kept.node = NodeIndex(tree, node);
  kept.turnIndex = turnIndex;
  kept.riverIndex = riverIndex;
  const size_t actions = node.children.size();
  const std::vector<float> defaults(actions, actions ? 1.0f / static_cast<float>(actions) : 0.0f);
  StorageInterface* storages[2] = {node.firstStorage, node.secondStorage};
  for (int i = 0; i < 2; ++i) {
    if (!storages[i]) continue;
    const NodeRecord* record = storages[i]->GetNodeRecord(turnIndex, riverIndex);
    kept.flags[i] = record->flags;
    if (record->mask && record->maskLength > 0) kept.masks[i].assign(record->mask, record->mask + record->maskLength);
    std::vector<AlignedArray> rows;
    storages[i]->ReadRow(turnIndex, riverIndex, i == 0 ? defaults.data() : nullptr, rows);
    for (const AlignedArray& row : rows)
      kept.rows[i].emplace_back(row.data ? row.data : nullptr, row.data ? row.data + row.count : nullptr);
    ReleaseRows(rows);
  }
  return true;
}

void ForgetKept(SolverTree& tree, int node, int turnIndex, int riverIndex) {
  std::vector<KeptLock>& kept = tree.keptLocks;
  kept.erase(std::remove_if(kept.begin(), kept.end(),
                            [&](const KeptLock& lock) {
                              return lock.node == node && (turnIndex == -2 || (lock.turnIndex == turnIndex &&
                                                                               lock.riverIndex == riverIndex));
                            }),
             kept.end());
}

// Writes a kept lock into the node's storages (river boards open): the
// records as they were and, for the hands the lock fixes, rows that give
// the kept probabilities.
void WriteKeptLock(TreeNode& node, const KeptLock& kept) {
  StorageInterface* storages[2] = {node.firstStorage, node.secondStorage};
  for (int i = 0; i < 2; ++i) {
    if (!storages[i]) continue;
    NodeRecord* record = storages[i]->GetNodeRecord(kept.turnIndex, kept.riverIndex);
    record->ClearMask();
    if (!kept.masks[i].empty()) record->SetMask(kept.masks[i].data(), static_cast<int32_t>(kept.masks[i].size()));
    record->flags = kept.flags[i];
    if (!(kept.flags[i] & kLockBits)) continue;
    const bool whole = (kept.flags[i] & kNodeLocked) != 0;
    const std::vector<uint8_t>& mask = kept.masks[i];
    const size_t actions = std::min(kept.rows[i].size(), node.children.size());
    for (size_t a = 0; a < actions; ++a) {
      const std::vector<double>& probabilities = kept.rows[i][a];
      AlignedArray row{};
      ZeroAlignedArray(row, static_cast<uint32_t>(probabilities.size()));
      for (size_t h = 0; h < probabilities.size(); ++h)
        if (whole || (h < mask.size() && mask[h])) row.data[h] = probabilities[h] * kKeptRowScale[i];
      storages[i]->WriteRow(kept.turnIndex, kept.riverIndex, static_cast<int>(a), row);
      ReleaseAlignedArray(row);
    }
  }
}

}  // namespace

void KeepLocks(SolverTree& tree, int street) {
  const int turns = static_cast<int>(tree.dealTable->turns.size());
  for (TreeNode& node : tree.nodes) {
    if (node.street < street || node.kind != kInnerNode || !node.firstStorage) continue;
    const int index = NodeIndex(tree, node);
    ForgetKept(tree, index, -2, -2);
    for (int t = 0; t < turns; ++t) {
      const std::vector<int> rivers = RiversOf(tree, node, t);
      bool any = false;
      for (int r : rivers) any = any || LockedRunout(node, t, r);
      if (!any) continue;
      // Compressed river rows are read with their sub-tree's boards open.
      RiverSubtreeAccess access(tree, node, t, false);
      for (int r : rivers) {
        KeptLock kept;
        if (CaptureLock(tree, node, t, r, kept)) tree.keptLocks.push_back(std::move(kept));
      }
    }
  }
}

void ApplyKeptLocks(SolverTree& tree, TreeNode& node) {
  if (!node.firstStorage) return;
  const int index = NodeIndex(tree, node);
  for (const KeptLock& kept : tree.keptLocks) {
    if (kept.node != index) continue;
    RiverSubtreeAccess access(tree, node, kept.turnIndex, true);
    WriteKeptLock(node, kept);
  }
}

void RefreshKeptLock(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex) {
  if (tree.forgottenStreet < 0 || node.street < tree.forgottenStreet || !node.firstStorage) return;
  ForgetKept(tree, NodeIndex(tree, node), turnIndex, riverIndex);
  KeptLock kept;
  if (CaptureLock(tree, node, turnIndex, riverIndex, kept)) tree.keptLocks.push_back(std::move(kept));
}

namespace {

void ForgetReadyStreets(SolverTree& tree, int street) {
  if (tree.lastResultsIteration != tree.iterationCount) {
    double result[2];
    ComputeExploitability(tree, 0, result, tree.resultPairs[0], tree.resultPairs[1]);
    tree.resultPairs[2][0] = result[0];
    tree.resultPairs[2][1] = result[1];
    tree.lastResultsIteration = tree.iterationCount;
  }
  // Locks outlive the storages they sit in: they are written again into the
  // storages made when the street is rebuilt or re-solved.
  KeepLocks(tree, street);
  for (TreeNode& node : tree.nodes) {
    if (node.street >= street) node.DeleteStorages();
    // Sub-trees re-solved before are gone with their storages.
    ClearSolvedMarks(node);
  }
  tree.storagesPrepared = 0;

  std::vector<NodeContext*> splits;
  CollectSplits(tree, street, splits);
  double largest = 0.0;
  for (NodeContext* split : splits) largest = std::max({largest, RowSum(split->ownReach), RowSum(split->oppReach)});
  const double threshold = 0.01 * largest;
  for (NodeContext* split : splits) {
    CardRecord* record = SplitRecord(*split, street);
    if (!record) continue;
    if (RowSum(split->ownReach) > threshold) {
      CopyAlignedArray(record->arrays[0], split->ownReach);
      record->absent0 = 1;
    } else {
      record->absent0 = 0;
    }
    ScaleTo200(record->arrays[0]);
    if (RowSum(split->oppReach) > threshold) {
      CopyAlignedArray(record->arrays[1], split->oppReach);
      record->absent1 = 1;
    } else {
      record->absent1 = 0;
    }
    ScaleTo200(record->arrays[1]);
    record->reachFrozen = 1;
    delete split;
  }
  tree.flags |= kIncompleteTree;
  tree.flags &= ~static_cast<uint32_t>(kNewTree);
  tree.forgottenStreet = street;
}

}  // namespace

void ForgetStreets(SolverTree& tree, int street) {
  // The storages of this street are gone already when an earlier or the same
  // street is forgotten and not rebuilt; the walk to the splits would need
  // them, and there is nothing left to forget.
  if ((tree.flags & kIncompleteTree) && tree.forgottenStreet >= 0 && tree.forgottenStreet <= street) return;
  // The results pass, the locks kept and the walk to the splits read every
  // storage: without them nothing is forgotten. From the pass on, a failure
  // ends the process (the storages go half-way through).
  RequireAllStoragesReady(tree, kDealValueGrowth);
  RunGuarded([&] { ForgetReadyStreets(tree, street); });
}

void ForgetStreet(int street) {
  if (CurrentTree) ForgetStreets(*CurrentTree, street);
}

void RebuildForgottenStreets() {
  if (!CurrentTree) return;
  SolverTree& tree = *CurrentTree;
  if (tree.forgottenStreet < 0) return;
  // Every storage is made before anything else changes, those of the
  // streets above too (a compression change makes them anew, unprepared):
  // when one cannot be, those just made go again and the street stays
  // forgotten (queries still re-solve on demand, calc_results still prints
  // the results kept).
  uint64_t savedElements[4], savedArrays[4];
  std::copy(tree.storedElements, tree.storedElements + 4, savedElements);
  std::copy(tree.storedArrays, tree.storedArrays + 4, savedArrays);
  std::vector<TreeNode*> built;
  for (int street = tree.forgottenStreet; street <= 3; ++street) {
    for (uint64_t& n : tree.storedElements) n = 0;
    for (TreeNode& node : tree.nodes) {
      if (node.street != street || node.prepared || node.kind != kInnerNode) continue;
      MakeNodeStorage(tree, node);
      built.push_back(&node);
    }
    for (int i = 0; i < 4; ++i) tree.storedArrays[i] = tree.storedElements[i] * (tree.averagingMode ? 6 : 2);
  }
  tree.storagesPrepared = 0;
  if (!AllStoragesReady(tree)) {
    for (TreeNode* node : built) node->DeleteStorages();
    std::copy(savedElements, savedElements + 4, tree.storedElements);
    std::copy(savedArrays, savedArrays + 4, tree.storedArrays);
    ThrowCommandError("out of memory");
  }
  RunGuarded([&] {
    for (TreeNode* node : built) ApplyKeptLocks(tree, *node);
  });
  // The locks are back in the storages.
  std::vector<KeptLock>& kept = tree.keptLocks;
  kept.erase(std::remove_if(kept.begin(), kept.end(),
                            [&](const KeptLock& lock) { return tree.nodes[lock.node].prepared != 0; }),
             kept.end());
  tree.flags &= ~static_cast<uint32_t>(kIncompleteTree);
  // Nothing is forgotten any more: the rebuilt storages are solved by `go`
  // or `solve_all_splits` (which start from the kept split reach), and no
  // query re-solves a sub-tree over them.
  tree.forgottenStreet = -1;
}

void SolveAllSplits(int street) {
  if (CurrentTree) SolveSubgames(*CurrentTree, street);
}
