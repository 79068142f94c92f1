#include "solver/river_subtree.h"

#include <algorithm>
#include <mutex>

#include "core/parallel.h"
#include "game/deal_table.h"
#include "solver/array_kernels.h"
#include "solver/engine_state.h"
#include "solver/node_eval.h"
#include "solver/row_transfer.h"
#include "storage/solver_tree.h"
#include "storage/storage_interface.h"
#include "storage/storage_stream.h"

namespace {

// The first node of the turn street above a node on the turn or river.
TreeNode& TurnSubtreeTop(TreeNode& node) {
  TreeNode* top = &node;
  while (top->parent && top->parent->street >= 2) top = top->parent;
  return *top;
}

// Opens the selected storage of every river node below `root` for one turn
// record and ends the read pass of the streams returned.
void OpenAll(SolverTree& tree, TreeNode& root, int turnIndex, SubtreeStorage which) {
  const SubtreeContext context{&tree, &root, turnIndex};
  int64_t totals[2] = {0, 0};
  SumSubtreeStorageSize(context, which, totals);
  void* streams[2] = {nullptr, nullptr};
  AcquireSubtreeStorages(context, streams, which, totals, true);
}

void CloseAll(SolverTree& tree, TreeNode& root, int turnIndex, SubtreeStorage which, bool write) {
  const SubtreeContext context{&tree, &root, turnIndex};
  void* streams[2] = {nullptr, nullptr};
  CloseAllSubtreeStorages(context, streams, which, write);
}

void OpenBoth(SolverTree& tree, TreeNode& node, int turnIndex) {
  TreeNode& root = RiverSubtreeRoot(node);
  OpenAll(tree, root, turnIndex, kFirstStorage);
  OpenAll(tree, root, turnIndex, kSecondStorage);
}

// Closing codes the boards written back into their streams. A failure there
// (no memory for a coder) would leave the sub-tree half closed, and it comes
// from destructors too: the process ends with "out of memory".
void CloseBoth(SolverTree& tree, TreeNode& node, int turnIndex, bool write) {
  RunGuarded([&] {
    TreeNode& root = RiverSubtreeRoot(node);
    CloseAll(tree, root, turnIndex, kFirstStorage, write);
    CloseAll(tree, root, turnIndex, kSecondStorage, write);
  });
}

}  // namespace

TreeNode& RiverSubtreeRoot(TreeNode& node) {
  TreeNode* root = &node;
  while (root->parent && root->parent->street >= 3) root = root->parent;
  return *root;
}

void AcquireRiverSubtree(SolverTree& tree, TreeNode& node, int turnIndex) {
  if (node.street != 3 || turnIndex < 0) return;
  TreeNode& top = TurnSubtreeTop(node);
  if (top.dealLocks)
    top.dealLocks[turnIndex].lock();
  else
    SolverMutex.lock();
  OpenBoth(tree, node, turnIndex);
}

void ReleaseRiverSubtree(SolverTree& tree, TreeNode& node, int turnIndex, bool write) {
  if (node.street != 3 || turnIndex < 0) return;
  CloseBoth(tree, node, turnIndex, write);
  TreeNode& top = TurnSubtreeTop(node);
  if (top.dealLocks)
    top.dealLocks[turnIndex].unlock();
  else
    SolverMutex.unlock();
}

void OpenRiverRunoutBoards(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex) {
  if (riverIndex < 0 || turnIndex < 0) return;
  OpenBoth(tree, node, turnIndex);
}

void CloseRiverRunoutBoards(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex) {
  if (riverIndex < 0 || turnIndex < 0) return;
  CloseBoth(tree, node, turnIndex, false);
}

ReachFrame::~ReachFrame() {
  ReleaseAlignedArray(reach[0]);
  ReleaseAlignedArray(reach[1]);
}

void ReachAlongPath(ReachFrame& frame, const TreeNode& target, int turnIndex, int riverIndex, std::vector<int>& path,
                    AlignedArray out[2]) {
  SolverTree& tree = *frame.tree;
  const DealTable& table = *tree.dealTable;
  while (true) {
    TreeNode& node = *frame.node;
    if (&node == &target && frame.turn == turnIndex && frame.river == riverIndex) {
      for (int p = 0; p < 2; ++p) CopyAlignedArray(out[p], frame.reach[p]);
      return;
    }
    if (node.street >= 2 && frame.turn < 0) {
      if (turnIndex < 0 || turnIndex >= static_cast<int>(table.turns.size())) return;
      for (int p = 0; p < 2; ++p) {
        AlignedArray dealt{};
        GatherTurnRow(table.turns[turnIndex], dealt, frame.reach[p]);
        MoveAlignedArray(frame.reach[p], dealt);
      }
      frame.turn = turnIndex;
      frame.river = -1;
      continue;
    }
    if (node.street >= 3 && frame.river < 0) {
      const TurnRecord& turn = table.turns[frame.turn];
      if (riverIndex < 0 || riverIndex >= static_cast<int>(turn.rivers.size())) return;
      for (int p = 0; p < 2; ++p) {
        AlignedArray dealt{};
        SumHandGroups(turn.rivers[riverIndex], dealt, frame.reach[p]);
        MoveAlignedArray(frame.reach[p], dealt);
      }
      frame.river = riverIndex;
      continue;
    }
    if (node.kind != kInnerNode || path.empty() || !node.firstStorage) return;
    const int action = path.back();
    path.pop_back();
    if (action < 0 || action >= static_cast<int>(node.children.size())) return;
    std::vector<AlignedArray> strategy;
    if (AveragingActive(tree))
      ReadNodeStrategy(node, frame.turn, frame.river, strategy);
    else
      ReadCurrentStrategy(node, frame.turn, frame.river, strategy);
    AlignedArray& acting = frame.reach[node.player & 1];
    AlignedArray product{};
    MultiplyAlignedArrays(product, acting, strategy[action]);
    MoveAlignedArray(acting, product);
    for (AlignedArray& row : strategy) ReleaseAlignedArray(row);
    frame.node = &tree.nodes[node.children[action]];
  }
}

void ComputeNodeReach(SolverTree& tree, AlignedArray out[2], TreeNode& node, int turnIndex, int riverIndex) {
  ReachFrame frame;
  frame.tree = &tree;
  frame.node = &tree.nodes[0];
  frame.turn = tree.rootTurnIndex;
  frame.river = tree.rootRiverIndex;
  const RiverRecord* groups = nullptr;
  if (tree.rootTurnIndex >= 0 && tree.rootRiverIndex >= 0) {
    const RiverRecord& record = tree.dealTable->turns[tree.rootTurnIndex].rivers[tree.rootRiverIndex];
    if (record.groupingMode) groups = &record;
  }
  for (int p = 0; p < 2; ++p) GatherPlayerValues(tree.handVectors, frame.reach[p], p, groups);
  std::vector<int> path;
  for (TreeNode* at = &node; at->parent; at = at->parent) {
    const TreeNode* self = at;
    const std::vector<int32_t>& siblings = at->parent->children;
    int position = -1;
    for (size_t i = 0; i < siblings.size(); ++i)
      if (&tree.nodes[siblings[i]] == self) position = static_cast<int>(i);
    path.push_back(position);
  }
  ReachAlongPath(frame, node, turnIndex, riverIndex, path, out);
}
