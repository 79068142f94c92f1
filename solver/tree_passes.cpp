#include "solver/tree_passes.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "core/parallel.h"
#include "core/scope_exit.h"
#include "game/deal_table.h"
#include "solver/array_kernels.h"
#include "solver/engine_state.h"
#include "solver/forget.h"
#include "solver/node_eval.h"
#include "solver/row_transfer.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"

std::vector<SubgameTask*> SubgameTaskList;
int TaskCursor = 0;

NodeContext::~NodeContext() {
  ReleaseAlignedArray(oppReach);
  ReleaseAlignedArray(value);
  ReleaseAlignedArray(ownReach);
  ReleaseAlignedArray(brValue);
}

namespace {

void CopyVector(AlignedArray& dst, const std::vector<double>& src) {
  ResizeAlignedArray(dst, static_cast<uint32_t>(src.size()));
  std::copy(src.begin(), src.end(), dst.data);
}

double WeightedSum(const AlignedArray& values, const std::vector<double>& weights) {
  if (!values.data) return 0.0;
  double sum = 0.0;
  const size_t n = std::min<size_t>(values.count, weights.size());
  for (size_t i = 0; i < n; ++i) sum += values.data[i] * weights[i];
  return sum;
}

}  // namespace

void DeleteTasks() {
  for (SubgameTask* task : SubgameTaskList)
    if (task->ownsShared) ReleaseSharedTaskArrays(task);
  for (SubgameTask* task : SubgameTaskList) delete task;
  SubgameTaskList.clear();
  TaskCursor = 0;
}

namespace {

PassResult TraverseTreeUnguarded(SolverTree& tree, int player, int mode) {
  tree.evCapture = nullptr;
  tree.traversingPlayer = player;
  tree.passMode = mode;
  tree.PassPhase = 0;
  NodeContext root;
  root.tree = &tree;
  root.node = &tree.nodes[0];
  root.turn = tree.rootTurnIndex;
  root.river = tree.rootRiverIndex;
  CopyVector(root.oppReach, tree.handVectors[player ^ 1]);
  EvaluateNode(root);
  ReleaseAlignedArray(root.value);
  ReleaseAlignedArray(root.brValue);

  tree.PassPhase = 1;
  TraverseSubgames();

  tree.PassPhase = 2;
  CopyVector(root.oppReach, tree.handVectors[player ^ 1]);
  TaskCursor = 0;
  EvaluateNode(root);

  PassResult result;
  const std::vector<double>& weights = tree.handVectors[2 + player];
  result.strategyValue = WeightedSum(root.value, weights);
  result.bestResponseValue = WeightedSum(root.brValue, weights);
  DeleteTasks();
  return result;
}

}  // namespace

PassResult TraverseTree(SolverTree& tree, int player, int mode) {
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  PassResult result;
  RunGuarded([&] { result = TraverseTreeUnguarded(tree, player, mode); });
  return result;
}

namespace {

// One queued sub-game: its reach rows gathered from the chance node's,
// evaluated, and its values spread back into the chance node's sums.
void RunSubgameTask(SubgameTask& task, const DealTable& table, bool update, int player) {
  NodeContext& context = task.context;
  const auto start = std::chrono::steady_clock::now();
  std::mutex* lock = nullptr;
  if (context.river < 0) {
    const TurnRecord& record = table.turns[context.turn];
    GatherTurnRow(record, context.oppReach, *task.sharedOppReach);
    if (task.sharedOwnReach) GatherTurnRow(record, context.ownReach, *task.sharedOwnReach);
    if (context.node->dealLocks) lock = &context.node->dealLocks[context.turn];
  } else {
    const RiverRecord& record = table.turns[context.turn].rivers[context.river];
    SumHandGroups(record, context.oppReach, *task.sharedOppReach);
    if (task.sharedOwnReach) SumHandGroups(record, context.ownReach, *task.sharedOwnReach);
  }
  if (lock) lock->lock();
  EvaluateNode(context);
  if (lock) lock->unlock();
  {
    std::lock_guard<std::mutex> merge(SubgameMergeMutex);
    if (context.river < 0) {
      const TurnRecord& record = table.turns[context.turn];
      SpreadTurnValues(record, *task.valueSum, context.value);
      if (task.brValueSum) SpreadTurnValues(record, *task.brValueSum, context.brValue);
    } else {
      const RiverRecord& record = table.turns[context.turn].rivers[context.river];
      SpreadHandGroups(record, *task.valueSum, context.value);
      if (task.brValueSum) SpreadHandGroups(record, *task.brValueSum, context.brValue);
    }
  }
  ReleaseAlignedArray(context.oppReach);
  ReleaseAlignedArray(context.value);
  ReleaseAlignedArray(context.ownReach);
  ReleaseAlignedArray(context.brValue);
  if (update) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    __atomic_store_n(&context.node->SubgameSolveTime[player],
                     static_cast<int32_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()),
                     __ATOMIC_RELAXED);
  }
}

}  // namespace

void TraverseSubgames() {
  if (SubgameTaskList.empty()) return;
  SolverTree& tree = *SubgameTaskList[0]->context.tree;
  const int player = tree.traversingPlayer;
  const bool update = tree.passMode == 1;
  std::vector<SubgameTask*> tasks = SubgameTaskList;
  if (update) {
    std::stable_sort(tasks.begin(), tasks.end(), [player](const SubgameTask* a, const SubgameTask* b) {
      return a->context.node->SubgameSolveTime[player] > b->context.node->SubgameSolveTime[player];
    });
  }
  const DealTable& table = *tree.dealTable;
  const int count = static_cast<int>(tasks.size());
  // A failed allocation here ends the process: the pass is half done.
  ForEachIndex(count, [&](int t) { RunGuarded([&] { RunSubgameTask(*tasks[t], table, update, player); }); });
}

// --- Split points ---------------------------------------------------------------

namespace {

void WalkSplits(NodeContext& context, int street, std::vector<NodeContext*>& out) {
  SolverTree& tree = *context.tree;
  TreeNode& node = *context.node;
  const DealTable& table = *tree.dealTable;
  const bool needsTurn = node.street >= 2 && context.turn < 0 && !(node.street == street && street == 2);
  if (needsTurn) {
    for (size_t i = 0; i < table.turns.size(); ++i) {
      NodeContext child;
      child.tree = &tree;
      child.node = &node;
      child.turn = static_cast<int>(i);
      GatherTurnRow(table.turns[i], child.ownReach, context.ownReach);
      GatherTurnRow(table.turns[i], child.oppReach, context.oppReach);
      WalkSplits(child, street, out);
    }
    return;
  }
  if (node.street == street) {
    if (node.kind != kInnerNode) return;
    auto copy = std::make_unique<NodeContext>();
    copy->tree = &tree;
    copy->node = &node;
    copy->turn = context.turn;
    copy->river = context.river;
    CopyAlignedArray(copy->ownReach, context.ownReach);
    CopyAlignedArray(copy->oppReach, context.oppReach);
    out.push_back(copy.get());
    copy.release();
    return;
  }
  if (node.street >= 3 && context.river < 0) {
    const TurnRecord& turn = table.turns[context.turn];
    for (size_t j = 0; j < turn.rivers.size(); ++j) {
      NodeContext child;
      child.tree = &tree;
      child.node = &node;
      child.turn = context.turn;
      child.river = static_cast<int>(j);
      SumHandGroups(turn.rivers[j], child.ownReach, context.ownReach);
      SumHandGroups(turn.rivers[j], child.oppReach, context.oppReach);
      WalkSplits(child, street, out);
    }
    return;
  }
  if (node.kind != kInnerNode) return;
  std::vector<AlignedArray> strategy;
  // Given back however the walk ends (a load undoes a walk whose allocation
  // failed).
  const ScopeExit release([&strategy] {
    for (AlignedArray& row : strategy) ReleaseAlignedArray(row);
  });
  ReadWalkStrategy(tree, node, context.turn, context.river, strategy);
  for (size_t i = 0; i < node.children.size(); ++i) {
    TreeNode& childNode = tree.nodes[node.children[i]];
    if (childNode.kind != kInnerNode && childNode.street == street) continue;
    NodeContext child;
    child.tree = &tree;
    child.node = &childNode;
    child.turn = context.turn;
    child.river = context.river;
    AlignedArray& acting = node.player == 0 ? child.ownReach : child.oppReach;
    const AlignedArray& actingParent = node.player == 0 ? context.ownReach : context.oppReach;
    AlignedArray& other = node.player == 0 ? child.oppReach : child.ownReach;
    const AlignedArray& otherParent = node.player == 0 ? context.oppReach : context.ownReach;
    MultiplyAlignedArrays(acting, actingParent, strategy[i]);
    CopyAlignedArray(other, otherParent);
    WalkSplits(child, street, out);
  }
}

}  // namespace

void WalkTreeForPlayer(NodeContext& context, int street, std::vector<NodeContext*>& out) {
  WalkSplits(context, street, out);
}

void CollectSplits(SolverTree& tree, int street, std::vector<NodeContext*>& out) {
  NodeContext root;
  root.tree = &tree;
  root.node = &tree.nodes[0];
  root.turn = tree.rootTurnIndex;
  root.river = tree.rootRiverIndex;
  CopyVector(root.ownReach, tree.handVectors[0]);
  CopyVector(root.oppReach, tree.handVectors[1]);
  WalkTreeForPlayer(root, street, out);
}

CardRecord* SplitRecord(NodeContext& split, int street) {
  TreeNode& node = *split.node;
  const int index = street == 3 ? split.turn : 0;
  if (!node.cardRecords || index < 0 || index >= node.cardRecordCount) return nullptr;
  return &node.cardRecords[index];
}

namespace {

void SolveSubgamesUnguarded(SolverTree& tree, int street) {
  std::vector<NodeContext*> splits;
  CollectSplits(tree, street, splits);
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  tree.passMode = 1;
  tree.accumulateThisIteration = 1;
  // Replace the walked reach by the reach kept at each split.
  std::vector<CardRecord*> records;
  for (NodeContext* split : splits) {
    CardRecord* record = SplitRecord(*split, street);
    records.push_back(record);
    if (!record) continue;
    CopyAlignedArray(split->ownReach, record->arrays[0]);
    CopyAlignedArray(split->oppReach, record->arrays[1]);
  }
  const int32_t saved = tree.iterationCount;
  const int repetitions = std::max(1, saved);
  // Splits whose card is already dealt (the root of a turn- or river-rooted
  // tree) and the river splits of a flop-rooted tree (whose river deals run
  // inline) are evaluated whole in parallel; other splits are chance nodes
  // whose sub-games are queued and run by the worker team.
  const bool cardDealt =
      !splits.empty() && (street == 2 ? splits[0]->turn >= 0 : splits[0]->river >= 0);
  const bool inlineRivers = cardDealt || (street == 3 && tree.nodes[0].street == 1);
  tree.iterationCount = 0;
  for (int rep = 0; rep < repetitions; ++rep) {
    CurrentIteration = tree.iterationCount;
    for (int player = 1; player >= 0; --player) {
      tree.traversingPlayer = player;
      if (inlineRivers) {
        tree.PassPhase = 1;
        ForEachIndex(static_cast<int>(splits.size()), [&](int s) {
          RunGuarded([&] {
            NodeContext work;
            work.tree = &tree;
            work.node = splits[s]->node;
            work.turn = splits[s]->turn;
            work.river = splits[s]->river;
            CopyAlignedArray(work.oppReach, player == 1 ? splits[s]->ownReach : splits[s]->oppReach);
            EvaluateNode(work);
          });
        });
      } else {
        tree.PassPhase = 0;
        for (NodeContext* split : splits) {
          NodeContext work;
          work.tree = &tree;
          work.node = split->node;
          work.turn = split->turn;
          work.river = split->river;
          CopyAlignedArray(work.oppReach, player == 1 ? split->ownReach : split->oppReach);
          EvaluateNode(work);
        }
        tree.PassPhase = 1;
        TraverseSubgames();
        // The finishing sweep is not needed: the splits' own values are not
        // used, but the chance nodes' shared arrays must go.
        for (SubgameTask* task : SubgameTaskList)
          if (task->ownsShared) ReleaseSharedTaskArrays(task);
        for (SubgameTask* task : SubgameTaskList) delete task;
        SubgameTaskList.clear();
      }
    }
    tree.iterationCount += 1;
  }
  for (CardRecord* record : records)
    if (record) record->reachFrozen = 0;
  tree.iterationCount = saved;
  CurrentIteration = saved;
  tree.forgottenStreet = -1;
  tree.keptLocks.clear();  // every split's storages stand again, locks in them
  tree.evCache.clear();
  tree.evCacheStamp = -1;
  for (NodeContext* split : splits) delete split;
}

}  // namespace

void SolveSubgames(SolverTree& tree, int street) {
  RequireAllStoragesReady(tree, kDealReachGrowth | kDealValueGrowth);
  // From here on the re-solve changes the tree: a failure ends the process.
  RunGuarded([&] { SolveSubgamesUnguarded(tree, street); });
}
