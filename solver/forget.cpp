#include "solver/forget.h"

#include <algorithm>

#include "game/deal_table.h"
#include "solver/node_eval.h"
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
}  // namespace

void ForgetStreets(SolverTree& tree, int street) {
  // The storages of this street are gone already when an earlier or the same
  // street is forgotten and not rebuilt; the walk to the splits would need
  // them, and there is nothing left to forget.
  if ((tree.flags & kIncompleteTree) && tree.forgottenStreet >= 0 && tree.forgottenStreet <= street) return;
  if (tree.lastResultsIteration != tree.iterationCount) {
    PrepareTreeStorages(tree);
    double result[2];
    ComputeExploitability(tree, 0, result, tree.resultPairs[0], tree.resultPairs[1]);
    tree.resultPairs[2][0] = result[0];
    tree.resultPairs[2][1] = result[1];
    tree.lastResultsIteration = tree.iterationCount;
  }
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

void ForgetStreet(int street) {
  if (CurrentTree) ForgetStreets(*CurrentTree, street);
}

void RebuildForgottenStreets() {
  if (!CurrentTree) return;
  SolverTree& tree = *CurrentTree;
  if (tree.forgottenStreet < 0) return;
  for (int street = tree.forgottenStreet; street <= 3; ++street) {
    for (uint64_t& n : tree.storedElements) n = 0;
    for (TreeNode& node : tree.nodes) {
      if (node.street != street || node.prepared || node.kind != kInnerNode) continue;
      const size_t actions = node.children.size();
      BuildNodeStorage(node, *tree.dealTable, actions < tree.layouts.size() ? tree.layouts[actions].get() : nullptr,
                       tree.storedElements, tree.averagingMode != 0, tree.nodes[0].street, tree.compression,
                       tree.formatVersion > 4);
    }
    for (int i = 0; i < 4; ++i) tree.storedArrays[i] = tree.storedElements[i] * (tree.averagingMode ? 6 : 2);
    for (TreeNode& node : tree.nodes) {
      if (node.street != street || !node.firstStorage || node.prepared) continue;
      if (node.firstStorage->Prepare() && (!node.secondStorage || node.secondStorage->Prepare())) node.prepared = 1;
    }
  }
  tree.storagesPrepared = 0;
  tree.flags &= ~static_cast<uint32_t>(kIncompleteTree);
}

void SolveAllSplits(int street) {
  if (CurrentTree) SolveSubgames(*CurrentTree, street);
}
