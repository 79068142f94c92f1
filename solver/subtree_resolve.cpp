#include "solver/subtree_resolve.h"

#include <cstring>
#include <mutex>

#include "core/output.h"
#include "core/parallel.h"
#include "game/deal_table.h"
#include "solver/engine_state.h"
#include "solver/forget.h"
#include "solver/node_eval.h"
#include "solver/reach_sums.h"
#include "solver/row_transfer.h"
#include "solver/tree_passes.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_interface.h"
#include "storage/storage_stream.h"

uint64_t SolvedMask(const CardRecord& record) {
  uint64_t mask;
  memcpy(&mask, &record.value, sizeof mask);
  return mask;
}

void SetSolvedMask(CardRecord& record, uint64_t mask) { memcpy(&record.value, &mask, sizeof mask); }

void ClearSolvedMarks(TreeNode& node) {
  for (int i = 0; i < node.cardRecordCount; ++i) SetSolvedMask(node.cardRecords[i], 0);
}

TreeNode& ForgottenSubtreeTop(TreeNode& node, int forgottenStreet) {
  TreeNode* top = &node;
  while (top->parent && top->parent->street >= forgottenStreet) top = top->parent;
  return *top;
}

double SubtreeValue(const AlignedArray& values, const AlignedArray& reach, const AlignedArray& opponentReach,
                    const std::vector<CardMask>& hands) {
  if (hands.empty() || !values.data || !reach.data || !opponentReach.data) return 0.0;
  double sum, total;
  SubtreeValueSums(values, reach, opponentReach, hands, sum, total);
  return total > 0.0 ? sum / total : 0.0;
}

namespace {

// The inner nodes of a sub-tree whose storages the rebuild makes anew: those
// not ready, or all with `force`.
void CollectRebuiltNodes(SolverTree& tree, TreeNode& node, bool force, std::vector<TreeNode*>& out) {
  if (node.kind != kInnerNode) return;
  if (!node.prepared || force) out.push_back(&node);
  for (int32_t child : node.children) CollectRebuiltNodes(tree, tree.nodes[child], force, out);
}

// Opens every river node's first and second storage of the sub-tree for one
// turn record, or closes them with write-back of every node.
void OpenSubtree(SolverTree& tree, TreeNode& top, int turnIndex) {
  const SubtreeContext context{&tree, &top, turnIndex};
  for (SubtreeStorage which : {kFirstStorage, kSecondStorage}) {
    int64_t totals[2] = {0, 0};
    SumSubtreeStorageSize(context, which, totals);
    void* streams[2] = {nullptr, nullptr};
    AcquireSubtreeStorages(context, streams, which, totals, true);
  }
}

void CloseSubtree(SolverTree& tree, TreeNode& top, int turnIndex) {
  const SubtreeContext context{&tree, &top, turnIndex};
  for (SubtreeStorage which : {kFirstStorage, kSecondStorage}) {
    void* streams[2] = {nullptr, nullptr};
    CloseAllSubtreeStorages(context, streams, which, true);
  }
}

// Zeroes the strategy sums of every decision node of the sub-tree on the
// re-solved runout: the turn record's own rows on the turn, on the river the
// one river record (river top) or every river of the turn record (turn top).
// River boards must be open.
void ClearSubtreeSums(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex) {
  if (node.kind != kInnerNode) return;
  if (node.street < 3) {
    ZeroStrategySums(node, turnIndex, -1);
  } else if (riverIndex >= 0) {
    ZeroStrategySums(node, turnIndex, riverIndex);
  } else {
    const int rivers = static_cast<int>(tree.dealTable->turns[turnIndex].rivers.size());
    for (int r = 0; r < rivers; ++r) ZeroStrategySums(node, turnIndex, r);
  }
  for (int32_t child : node.children) ClearSubtreeSums(tree, tree.nodes[child], turnIndex, riverIndex);
}

// One walk of the sub-tree for a traversing player; returns the traverser's
// value row (best-response values in evaluation passes). In a flop-rooted
// tree the river deals below the top run inline; a turn-rooted tree queues
// them as sub-games in a first sweep, runs them on the worker team and
// gathers their values in a second sweep, as a whole-tree pass does.
void SubtreePass(SolverTree& tree, TreeNode& top, int turnIndex, int riverIndex, int player, int mode,
                 const AlignedArray& opponentReach, AlignedArray& result) {
  tree.traversingPlayer = player;
  tree.passMode = mode;
  tree.evCapture = nullptr;
  const bool queuedRivers = tree.nodes[0].street != 1 && riverIndex < 0;
  NodeContext context;
  context.tree = &tree;
  context.node = &top;
  context.turn = turnIndex;
  context.river = riverIndex;
  CopyAlignedArray(context.oppReach, opponentReach);
  if (queuedRivers) {
    tree.PassPhase = 0;
    EvaluateNode(context);
    ReleaseAlignedArray(context.value);
    ReleaseAlignedArray(context.brValue);
    tree.PassPhase = 1;
    TraverseSubgames();
    tree.PassPhase = 2;
    TaskCursor = 0;
    CopyAlignedArray(context.oppReach, opponentReach);
  } else {
    tree.PassPhase = 1;
  }
  EvaluateNode(context);
  if (queuedRivers) DeleteTasks();
  tree.PassPhase = 1;
  if (mode == 0)
    MoveAlignedArray(result, context.brValue);
  else
    MoveAlignedArray(result, context.value);
}

double ResolveSubtreeRunout(SolverTree& tree, TreeNode& top, int turnIndex, int riverIndex, bool force) {
  const int street = top.street;
  const int recordIndex = street == 3 ? turnIndex : 0;
  const int bit = street == 3 ? riverIndex : turnIndex;
  if (!top.cardRecords || recordIndex < 0 || recordIndex >= top.cardRecordCount || bit < 0 || bit >= 64) return 0.0;
  CardRecord& record = top.cardRecords[recordIndex];
  if (!force && (SolvedMask(record) >> bit & 1)) return 0.0;

  const int32_t savedIterations = tree.iterationCount;
  const uint32_t savedIncomplete = tree.flags & kIncompleteTree;
  tree.flags &= ~static_cast<uint32_t>(kIncompleteTree);
  tree.iterationCount = 0;

  const DealTable& table = *tree.dealTable;
  const TurnRecord& turn = table.turns[turnIndex];
  AlignedArray reach[2] = {};
  const std::vector<CardMask>* hands;
  // The kept reach lies on the board on which the walk to the split met the
  // top: a top below the root has yet to deal its street's card, while the
  // root of a turn- or river-rooted tree has its cards dealt already and
  // keeps its reach on that very board.
  const bool dealtAtTop = top.parent == nullptr;
  for (int p = 0; p < 2; ++p) {
    const AlignedArray& saved = record.arrays[p];
    if (dealtAtTop) {
      if (saved.data)
        CopyAlignedArray(reach[p], saved);
      else
        reach[p].count = street == 3 ? turn.rivers[riverIndex].HandCount() : turn.HandCount();
    } else if (street == 3) {
      SumHandGroups(turn.rivers[riverIndex], reach[p], saved);
    } else if (saved.data) {
      GatherTurnRow(turn, reach[p], saved);
    } else {
      reach[p].count = turn.HandCount();  // no saved reach: a row of zeros
    }
  }
  const int passRiver = street == 3 ? riverIndex : -1;
  hands = street == 3 ? &turn.rivers[riverIndex].combos.hands : &turn.combos.hands;
  if (street == 3) OpenSubtree(tree, top, turnIndex);

  double exploitability = 0.0;
  AlignedArray values{};
  for (int step = 0; step < 1000; ++step) {
    // Strategy sums go into their storages on the whole-tree solve's
    // schedule: every iteration, or sparsely where entropy-coded streams
    // hold them (their blocks are reserved for sums grown at that pace).
    const int sinceAveraging = tree.iterationCount - 61;
    tree.accumulateThisIteration =
        tree.compression[1] < 2 || (sinceAveraging >= 0 && (sinceAveraging < 7 || sinceAveraging % 7 == 0));
    for (int p = 1; p >= 0; --p) {
      SubtreePass(tree, top, turnIndex, passRiver, p, 1, reach[p ^ 1], values);
      ReleaseAlignedArray(values);
    }
    const int n = ++tree.iterationCount;
    if (n >= 50 && n % 25 == 0) {
      double v[2];
      for (int p = 1; p >= 0; --p) {
        SubtreePass(tree, top, turnIndex, passRiver, p, 0, reach[p ^ 1], values);
        v[p] = SubtreeValue(values, reach[p], reach[p ^ 1], *hands);
        ReleaseAlignedArray(values);
      }
      exploitability = (v[0] + v[1]) * 0.5;
      if (RecalcAccuracy[street - 1] >= exploitability) break;
    }
  }
  // The re-solve counted its own iterations and summed strategies past its
  // own averaging start. While the tree's count is short of the reports'
  // averaging start, they read current strategies: the re-solve's sums go,
  // or the reports would read them (locked hands, which add nothing more,
  // nothing else) once the count passes that start.
  tree.iterationCount = savedIterations;
  if (savedIterations < kReportAverageStart) {
    if (street == 2) OpenSubtree(tree, top, turnIndex);
    ClearSubtreeSums(tree, top, turnIndex, passRiver);
    if (street == 2) CloseSubtree(tree, top, turnIndex);
  }
  if (street == 3) CloseSubtree(tree, top, turnIndex);
  for (AlignedArray& row : reach) ReleaseAlignedArray(row);

  SetSolvedMask(record, SolvedMask(record) | uint64_t(1) << bit);
  tree.evCache.clear();
  tree.evCacheStamp = -1;
  tree.flags |= savedIncomplete;
  return exploitability;
}

}  // namespace

double ResolveForgottenSubtree(SolverTree& tree, TreeNode& top, int turnIndex, int riverIndex, bool force) {
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  // The re-solve writes the sub-tree's storages: a failure ends the process.
  double exploitability = 0.0;
  RunGuarded([&] { exploitability = ResolveSubtreeRunout(tree, top, turnIndex, riverIndex, force); });
  return exploitability;
}

double RebuildForgottenSubtree(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex, bool force) {
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  if (IsSolverRunning()) return 0.0;
  const int forgotten = tree.forgottenStreet;
  if (forgotten < 0 || node.street < forgotten) return 0.0;
  if (node.street == 3 && riverIndex < 0) return 0.0;
  if (node.street == 2 && turnIndex < 0) return 0.0;
  if (turnIndex < 0) return 0.0;
  TreeNode& top = ForgottenSubtreeTop(node, forgotten);
  if (top.kind != kInnerNode) return 0.0;
  std::vector<TreeNode*> rebuilt;
  CollectRebuiltNodes(tree, top, force, rebuilt);
  if (!top.prepared || force) {
    MakeNodeStorage(tree, top);
    // New storages hold no runout's data: every mark of this top is void.
    ClearSolvedMarks(top);
    if (top.firstStorage && top.firstStorage->Prepare() && (!top.secondStorage || top.secondStorage->Prepare()))
      top.prepared = 1;
  }
  for (int32_t child : top.children) BuildTreeStorage(tree, tree.nodes[child], force);
  // A re-solve over storages that could not be made would read and report
  // them as empty. The storages just made go again (they held nothing yet),
  // so the sub-tree stands as forgotten, its kept locks still aside, and the
  // command is refused; the runout, not marked solved, is re-solved by the
  // next query.
  bool made = true;
  for (TreeNode* rebuiltNode : rebuilt) made = made && rebuiltNode->prepared;
  if (!made) {
    for (TreeNode* rebuiltNode : rebuilt) rebuiltNode->DeleteStorages();
    tree.storagesPrepared = 0;
    ThrowCommandError("out of memory");
  }
  // The locks kept for the nodes go into the storages just made for them.
  RunGuarded([&] {
    for (TreeNode* rebuiltNode : rebuilt) ApplyKeptLocks(tree, *rebuiltNode);
  });
  return ResolveForgottenSubtree(tree, top, turnIndex, riverIndex, force);
}
