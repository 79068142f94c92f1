#include "solver/node_eval.h"

#include <smmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <deque>

#include "core/cards.h"
#include "core/scope_exit.h"
#include "core/thread_scratch.h"
#include "game/deal_table.h"
#include "solver/array_kernels.h"
#include "solver/engine_state.h"
#include "solver/reach_sums.h"
#include "solver/row_transfer.h"
#include "solver/terminal_kernels.h"
#include "storage/solver_tree.h"
#include "storage/storage_interface.h"

namespace {

bool UpdatePass(const SolverTree& tree) { return tree.passMode == 1; }
bool EvaluationPass(const SolverTree& tree) { return tree.passMode == 0; }
bool HasData(const AlignedArray& a) { return a.data != nullptr; }

// Averaging reads the average strategy once it has started.
bool AverageStrategyApplies(const SolverTree& tree) {
  return tree.averagingMode == 2 || (tree.averagingMode == 1 && tree.iterationCount > 60);
}

// An array without data of count n (the all-zero row).
void MakeEmpty(AlignedArray& a, uint32_t n) {
  ReleaseAlignedArray(a);
  a.count = n;
}

void ReleaseAll(std::vector<AlignedArray>& rows) {
  for (AlignedArray& row : rows) ReleaseAlignedArray(row);
}

const RiverRecord& RiverOf(const SolverTree& tree, int turn, int river) {
  return tree.dealTable->turns[turn].rivers[river];
}

// Per-thread working vectors, reused from call to call so that the strategy
// reads allocate nothing once warm: the pool of strategy rows (nested calls
// take successive entries), the default rows of strategy reads, and the
// per-hand totals and per-action sums of the reads below.
//
// Everything is made at once, with room for the levels and actions of the
// trees solved: the threads share one arena of the C allocator, and blocks
// that a team's workers made side by side in a pass would share cache lines
// that every node visit writes (a solve ran 6 % slower). Deeper walks and
// wider nodes still grow the pool.
constexpr size_t kPooledLevels = 96, kPooledActions = 16;
struct NodeScratch {
  // A deque keeps the entries of outer calls in place while inner calls grow it.
  std::deque<std::vector<AlignedArray>> rows;
  size_t depth = 0;
  std::vector<float> defaults;
  std::vector<double> totals, sums;
  NodeScratch() {
    for (size_t i = 0; i < kPooledLevels; ++i) rows.emplace_back().reserve(kPooledActions);
    defaults.reserve(kPooledActions);
    totals.reserve(kComboCount);
    sums.reserve(kPooledActions);
  }
  ~NodeScratch() {
    for (auto& r : rows) ReleaseAll(r);
  }
};
ThreadScratch<NodeScratch> t_scratch;

struct PooledRows {
  NodeScratch& scratch;
  std::vector<AlignedArray>& rows;
  PooledRows() : scratch(t_scratch.Get()), rows(Take(scratch)) {}
  ~PooledRows() { --scratch.depth; }
  static std::vector<AlignedArray>& Take(NodeScratch& scratch) {
    if (scratch.depth == scratch.rows.size()) scratch.rows.emplace_back();
    return scratch.rows[scratch.depth++];
  }
};

void ReadWithDefaults(StorageInterface* storage, int turn, int river, const std::vector<float>& defaults,
                      std::vector<AlignedArray>& out, const AlignedArray* reach = nullptr) {
  if (reach && reach->data && static_cast<int32_t>(reach->count) == storage->EntryCount(turn, river))
    storage->ReadReachedRow(turn, river, defaults.data(), out, reach->data);
  else
    storage->ReadRow(turn, river, defaults.data(), out);
}

}  // namespace

void CopyAlignedArray(AlignedArray& dst, const AlignedArray& src) {
  if (!src.data) {
    MakeEmpty(dst, src.count);
    return;
  }
  ResizeAlignedArray(dst, src.count);
  memcpy(dst.data, src.data, sizeof(double) * src.count);
}

void MoveAlignedArray(AlignedArray& dst, AlignedArray& src) {
  if (&dst == &src) return;
  ReleaseAlignedArray(dst);
  dst = src;
  src.data = nullptr;
  src.count = 0;
}

namespace {

// base raised to the averaging exponent. Every node visit of a pass asks for
// the same power, so each thread keeps its last answer.
double AveragingPower(double base) {
  thread_local double lastBase = -1.0, lastExponent = 0.0, lastPower = 0.0;
  if (base != lastBase || AveragingExponent != lastExponent) {
    lastPower = std::pow(base, AveragingExponent);
    lastBase = base;
    lastExponent = AveragingExponent;
  }
  return lastPower;
}

}  // namespace

double AveragingWeight(int32_t iteration) {
  const double base = std::max(iteration - 60, 0);
  return std::min(StrategyWeightCap, AveragingPower(base));
}

// Whether the first n rows all hold a block of at least `hands` values (and
// n is small enough for the one-pass row kernels).
static bool RowsHoldHands(const std::vector<AlignedArray>& rows, size_t n, uint32_t hands) {
  if (n == 0 || n > 16 || rows.size() < n) return false;
  for (size_t a = 0; a < n; ++a)
    if (!rows[a].data || rows[a].count < hands) return false;
  return true;
}

namespace {

// The defaults of the regret-matching read of a node with n actions: the
// first action takes max(0.9, 1/n), the others share the rest.
const std::vector<float>& UpdateDefaults(size_t n) {
  std::vector<float>& defaults = t_scratch.Get().defaults;
  defaults.resize(n);
  if (n == 1) {
    defaults[0] = 1.0f;
  } else {
    const double first = std::max(0.9, 1.0 / static_cast<double>(n));
    defaults[0] = static_cast<float>(first);
    for (size_t a = 1; a < n; ++a) defaults[a] = static_cast<float>((1.0 - first) / static_cast<double>(n - 1));
  }
  return defaults;
}

}  // namespace

void ReadUpdateStrategy(const TreeNode& node, int turn, int river, std::vector<AlignedArray>& strategy,
                        const AlignedArray* reach) {
  ReadWithDefaults(node.firstStorage, turn, river, UpdateDefaults(node.children.size()), strategy, reach);
}

void ReadCurrentStrategy(const TreeNode& node, int turn, int river, std::vector<AlignedArray>& strategy) {
  const size_t n = node.children.size();
  std::vector<float>& defaults = t_scratch.Get().defaults;
  defaults.assign(n, static_cast<float>(1.0 / static_cast<double>(n)));
  ReadWithDefaults(node.firstStorage, turn, river, defaults, strategy);
}

void ReadNodeStrategy(const TreeNode& node, int turn, int river, std::vector<AlignedArray>& strategy) {
  if (!node.secondStorage) {
    ReadCurrentStrategy(node, turn, river, strategy);
    return;
  }
  const size_t n = node.children.size();
  // No defaults: a hand without strategy sums reads as zeros on every storage
  // kind, which is what selects the current strategy for it below.
  node.secondStorage->ReadRow(turn, river, nullptr, strategy);
  // Hands without any strategy sum take the current strategy, which is read
  // only when such a hand exists. The totals are summed row by row (a vector
  // loop each), not hand by hand across the rows.
  const uint32_t hands = strategy.empty() ? 0 : strategy[0].count;
  if (RowsHoldHands(strategy, n, hands)) {
    // Every row holds its hands: the totals are formed block by block in
    // vector registers, the same sums as below, and the current strategy is
    // read only when a hand has none.
    const uint32_t h = FirstHandWithZeroTotal(strategy.data(), n, hands);
    if (h == hands) return;
    PooledRows current;
    ReadCurrentStrategy(node, turn, river, current.rows);
    if (RowsHoldHands(current.rows, n, hands)) {
      TakeCurrentWhereZeroTotal(strategy.data(), current.rows.data(), n, h, hands);
      return;
    }
    // A current row short of hands: the general path below.
  }
  std::vector<double>& totalRow = t_scratch.Get().totals;
  totalRow.assign(hands, 0.0);
  double* const totals = totalRow.data();
  for (size_t a = 0; a < n; ++a) {
    const double* row = strategy[a].data;
    if (!row) continue;
    const uint32_t count = std::min(hands, strategy[a].count);
    for (uint32_t h = 0; h < count; ++h) totals[h] += row[h];
  }
  uint32_t h = 0;
  while (h < hands && totals[h] != 0.0) ++h;
  if (h == hands) return;
  PooledRows current;
  ReadCurrentStrategy(node, turn, river, current.rows);
  for (size_t a = 0; a < n; ++a) {
    double* row = strategy[a].data;
    if (!row) continue;
    const uint32_t count = std::min(hands, strategy[a].count);
    const double* cur = current.rows[a].data;
    const uint32_t curCount = cur ? std::min(count, current.rows[a].count) : 0;
    uint32_t i = h;
    for (; i + 2 <= curCount; i += 2) {
      const __m128d none = _mm_cmpeq_pd(_mm_loadu_pd(totals + i), _mm_setzero_pd());
      _mm_storeu_pd(row + i, _mm_blendv_pd(_mm_loadu_pd(row + i), _mm_loadu_pd(cur + i), none));
    }
    for (; i < curCount; ++i) row[i] = totals[i] == 0.0 ? cur[i] : row[i];
    for (uint32_t i = std::max(h, curCount); i < count; ++i)
      if (totals[i] == 0.0) row[i] = 0.0;
  }
}

void ReadWalkStrategy(const SolverTree& tree, const TreeNode& node, int turn, int river,
                      std::vector<AlignedArray>& strategy) {
  if (AverageStrategyApplies(tree))
    ReadNodeStrategy(node, turn, river, strategy);
  else
    ReadCurrentStrategy(node, turn, river, strategy);
}

namespace {

// Value capture of an EV pass: per-hand EV and weight at the target node.
void CaptureValues(NodeContext& context) {
  SolverTree& tree = *context.tree;
  EvCapture& capture = *tree.evCapture;
  if (context.node != capture.target) return;
  const DealTable& table = *tree.dealTable;
  if (!capture.allCards) {
    if (context.turn == capture.turnIndex && context.river == capture.riverIndex)
      SumCompatibleReachForDeal(table, capture.ev, capture.weight, context.turn, context.river, context.value,
                                context.oppReach, context.ownReach);
    return;
  }
  const int street = capture.target->street;
  if (street == 1 || (street == 3 && context.river < 0) || (street == 2 && context.turn < 0)) return;
  const BoardCombos& combos = DealCombos(table, context.turn, context.river);
  AlignedArray ev{}, weight{};
  SumCompatibleReach(ev, weight, context.value, context.oppReach, context.ownReach, combos.hands,
                     context.river >= 0 ? 1.0 : 44.0);
  std::lock_guard<std::mutex> lock(capture.lock);
  auto& slot = capture.perCard[EvCapture::DealKey{context.river, context.turn}];
  ReleaseAlignedArray(slot.first);
  ReleaseAlignedArray(slot.second);
  slot.first = ev;
  slot.second = weight;
}

}  // namespace

void EvaluateNode(NodeContext& context) {
  const TreeNode& node = *context.node;
  const int street = node.street;
  if (street >= 2 && context.turn < 0) {
    EvaluateTurnDeal(context);
  } else if (street >= 3 && context.river < 0) {
    EvaluateRiverDeal(context);
  } else if (node.kind != kInnerNode) {
    EvaluateTerminal(context);
  } else if (node.player == context.tree->traversingPlayer) {
    EvaluateTraverserNode(context);
  } else {
    EvaluateOpponentNode(context);
  }
  SolverTree& tree = *context.tree;
  if (tree.passMode == 2 && tree.evCapture && tree.PassPhase != 0) CaptureValues(context);
}

void EvaluateTerminal(NodeContext& context) {
  SolverTree& tree = *context.tree;
  const TreeNode& node = *context.node;
  const double payoff = TerminalPayoff(node, tree.traversingPlayer);
  const bool grouped = UpdatePass(tree);
  if (node.kind == kShowdownNode) {
    EvaluateShowdown(RiverOf(tree, context.turn, context.river), context.value, context.oppReach, grouped, payoff);
  } else if (context.river >= 0) {
    EvaluateFold(RiverOf(tree, context.turn, context.river), context.value, context.oppReach, grouped, payoff);
  } else {
    const DealTable& table = *tree.dealTable;
    const BoardCombos& combos = context.turn < 0 ? table.combos : table.turns[context.turn].combos;
    EvaluateBoardFold(combos, context.value, context.oppReach, payoff);
  }
  if (EvaluationPass(tree)) CopyAlignedArray(context.brValue, context.value);
}

namespace {

// The two terminal children of a river decision, evaluated together in update
// passes. Returns false when the node does not end that way.
bool RiverPairApplies(const SolverTree& tree, const TreeNode& node, const NodeContext& context, double& showdownPayoff,
                      double& foldPayoff) {
  if (node.street != 3 || context.river < 0 || node.children.size() < 2 || !UpdatePass(tree)) return false;
  return RiverTerminalPair(tree, node, showdownPayoff, foldPayoff);
}

// Update passes read the regret-matching strategy with the update defaults;
// other passes the strategy a walk uses.
void ReadPassStrategy(const SolverTree& tree, const TreeNode& node, const NodeContext& context,
                      std::vector<AlignedArray>& strategy) {
  if (UpdatePass(tree))
    ReadUpdateStrategy(node, context.turn, context.river, strategy);
  else
    ReadWalkStrategy(tree, node, context.turn, context.river, strategy);
}

// The children's opponent reach of an update pass straight from the storage:
// each action's regret-matching probabilities times `reach`, the product the
// solver's row product forms, with a row whose products sum below DBL_MIN
// left empty as that product leaves it. False, with nothing read, where the
// storage has no such path or the reach does not cover the entry.
bool ReadUpdateReachProducts(const TreeNode& node, int turn, int river, std::vector<AlignedArray>& products,
                             const AlignedArray& reach) {
  StorageInterface* storage = node.firstStorage;
  if (!reach.data || static_cast<int32_t>(reach.count) != storage->EntryCount(turn, river)) return false;
  const size_t n = node.children.size();
  std::vector<double>& sums = t_scratch.Get().sums;
  if (!storage->ReadReachProducts(turn, river, UpdateDefaults(n).data(), products, reach.data, sums))
    return false;
  for (size_t a = 0; a < sums.size(); ++a)
    if (sums[a] < DBL_MIN) MakeEmpty(products[a], products[a].count);
  return true;
}

void ApplyEvBoost(const TreeNode& parent, const TreeNode& child, AlignedArray& values) {
  const double b = child.EvBoost;
  if (b == 0.0 || !values.data) return;
  if (child.kind == kFoldNode)
    ScaleAlignedArray(values, 1.0 - b);
  else if (child.kind == kShowdownNode || child.street > parent.street)
    ScaleBySign(values, 1.0 + b, 1.0 / (1.0 + b));
  else
    ScalePositive(values, 1.0 + b);
}

}  // namespace

void EvaluateTraverserNode(NodeContext& context) {
  SolverTree& tree = *context.tree;
  TreeNode& node = *context.node;
  const size_t n = node.children.size();
  const NodeRecord* record = node.firstStorage->GetNodeRecord(context.turn, context.river);
  const bool locked = (record->flags & kNodeLocked) != 0;
  const uint8_t* mask = (record->flags & kNodeComboLocked) ? record->mask : nullptr;

  PooledRows strategyRows;
  std::vector<AlignedArray>& strategy = strategyRows.rows;
  ReadPassStrategy(tree, node, context, strategy);

  PooledRows childRows;
  std::vector<AlignedArray>& childValues = childRows.rows;
  if (childValues.size() < n) childValues.resize(n);

  double showdownPayoff = 0.0, foldPayoff = 0.0;
  const bool pair = RiverPairApplies(tree, node, context, showdownPayoff, foldPayoff);
  if (pair) {
    EvaluateTerminalPairSharedReach(RiverOf(tree, context.turn, context.river), childValues[n - 2],
                                    childValues[n - 1], context.oppReach, showdownPayoff, foldPayoff);
  }
  const bool evaluation = EvaluationPass(tree);
  const bool reached = HasData(context.oppReach);
  MakeEmpty(context.value, 0);
  if (evaluation) MakeEmpty(context.brValue, 0);

  for (size_t i = 0; i < n; ++i) {
    TreeNode& childNode = tree.nodes[node.children[i]];
    AlignedArray childBr{};
    if (!(pair && i + 2 >= n && childValues[i].count > 0)) {
      NodeContext child;
      child.tree = &tree;
      child.node = &childNode;
      child.turn = context.turn;
      child.river = context.river;
      MoveAlignedArray(child.oppReach, context.oppReach);
      if (context.ownReach.count > 0) DotAlignedArray(child.ownReach, context.ownReach, strategy[i]);
      EvaluateNode(child);
      MoveAlignedArray(context.oppReach, child.oppReach);
      MoveAlignedArray(childValues[i], child.value);
      MoveAlignedArray(childBr, child.brValue);
    } else if (evaluation) {
      CopyAlignedArray(childBr, childValues[i]);
    }
    if (UpdatePass(tree)) ApplyEvBoost(node, childNode, childValues[i]);
    if (reached) {
      if (i == 0)
        MultiplyAlignedArrays(context.value, childValues[i], strategy[0]);
      else
        AccumulateProduct(context.value, childValues[i], strategy[i]);
    }
    if (evaluation) {
      if (locked) {
        if (i == 0)
          MultiplyAlignedArrays(context.brValue, childBr, strategy[0]);
        else
          AccumulateProduct(context.brValue, childBr, strategy[i]);
      } else if (mask) {
        if (i == 0)
          MaskedProductOrCopy(context.brValue, childBr, strategy[0], mask);
        else
          MaskedAccumulateOrMax(context.brValue, childBr, strategy[i], mask);
      } else if (i == 0) {
        MoveAlignedArray(context.brValue, childBr);
      } else {
        MaxInPlace(context.brValue, childBr);
      }
    }
    ReleaseAlignedArray(childBr);
  }

  if (!reached || !context.value.data) {
    MakeEmpty(context.value, n > 0 ? childValues[0].count : 0);
  } else if (tree.PassPhase != 0 && UpdatePass(tree) && !locked) {
    double scale = tree.regretScale;
    const std::vector<int16_t>* segments = nullptr;
    if (node.street == 3) {
      const double opponentMax = tree.rangeMax[tree.traversingPlayer ^ 1];
      if (opponentMax > 0.0) scale /= opponentMax;
      if (tree.groupingMode == 0 && tree.iterationCount <= RiverWarmStartIterations)
        segments = &RiverOf(tree, context.turn, context.river).valueRuns;
    }
    node.firstStorage->UpdateRow(context.turn, context.river, context.value, childValues, nullptr, segments, scale);
  }
  for (size_t i = 0; i < n; ++i) ReleaseAlignedArray(childValues[i]);
}

void EvaluateOpponentNode(NodeContext& context) {
  SolverTree& tree = *context.tree;
  TreeNode& node = *context.node;
  const size_t n = node.children.size();
  const NodeRecord* record = node.firstStorage->GetNodeRecord(context.turn, context.river);
  const bool locked = (record->flags & kNodeLocked) != 0;

  PooledRows strategyRows;
  std::vector<AlignedArray>& reach = strategyRows.rows;
  double sumWeight = 0.0;
  if (tree.PassPhase != 0 && UpdatePass(tree) && AverageStrategyApplies(tree) &&
      (node.street != 3 || tree.accumulateThisIteration) && !locked && node.secondStorage)
    sumWeight = tree.averagingMode == 1 ? AveragingWeight(tree.iterationCount) : 1.0;
  // The strategy is only used multiplied by the opponent's reach, so in
  // update passes hands he does not reach skip their division; without
  // strategy sums to add, the storage may form the products itself.
  const bool products = UpdatePass(tree) && !(sumWeight > 0.0) &&
                        ReadUpdateReachProducts(node, context.turn, context.river, reach, context.oppReach);
  if (!products) {
    if (UpdatePass(tree))
      ReadUpdateStrategy(node, context.turn, context.river, reach, &context.oppReach);
    else
      ReadWalkStrategy(tree, node, context.turn, context.river, reach);
    if (sumWeight > 0.0)
      node.secondStorage->AccumulateRow(context.turn, context.river, reach, context.oppReach, sumWeight);
    for (size_t i = 0; i < n; ++i) MultiplyReachRow(reach[i], context.oppReach);
  }

  PooledRows pairRows;
  std::vector<AlignedArray>& pairValues = pairRows.rows;
  double showdownPayoff = 0.0, foldPayoff = 0.0;
  const bool pair = RiverPairApplies(tree, node, context, showdownPayoff, foldPayoff) && HasData(reach[n - 2]) &&
                    HasData(reach[n - 1]);
  if (pair) {
    if (pairValues.size() < 2) pairValues.resize(2);
    EvaluateTerminalPairSplitReach(showdownPayoff, foldPayoff, RiverOf(tree, context.turn, context.river),
                                   pairValues[0], pairValues[1], reach[n - 2], reach[n - 1]);
  }
  const bool evaluation = EvaluationPass(tree);
  MakeEmpty(context.value, 0);
  if (evaluation) MakeEmpty(context.brValue, 0);
  for (size_t i = 0; i < n; ++i) {
    AlignedArray childValue{}, childBr{};
    if (pair && i + 2 >= n) {
      AlignedArray& computed = pairValues[i + 2 - n];
      MoveAlignedArray(childValue, computed);
      if (evaluation) CopyAlignedArray(childBr, childValue);
    } else {
      NodeContext child;
      child.tree = &tree;
      child.node = &tree.nodes[node.children[i]];
      child.turn = context.turn;
      child.river = context.river;
      MoveAlignedArray(child.oppReach, reach[i]);
      MoveAlignedArray(child.ownReach, context.ownReach);
      EvaluateNode(child);
      MoveAlignedArray(context.ownReach, child.ownReach);
      MoveAlignedArray(reach[i], child.oppReach);
      MoveAlignedArray(childValue, child.value);
      MoveAlignedArray(childBr, child.brValue);
    }
    if (i == 0) {
      MoveAlignedArray(context.value, childValue);
      if (evaluation) MoveAlignedArray(context.brValue, childBr);
    } else {
      AddIntoAlignedArray(context.value, childValue);
      if (evaluation) AddIntoAlignedArray(context.brValue, childBr);
    }
    ReleaseAlignedArray(childValue);
    ReleaseAlignedArray(childBr);
  }
  ReleaseAll(reach);
}

// --- Chance nodes ----------------------------------------------------------------

namespace {

// The arrays that all sub-games of one chance node share: gathered from and
// added into. Owned by the chance node from its queue sweep to its finishing
// sweep.
struct SharedTaskArrays {
  AlignedArray oppReach, valueSum, ownReach, brValueSum;
  bool hasOwn = false, hasBr = false;
  ~SharedTaskArrays() {
    ReleaseAlignedArray(oppReach);
    ReleaseAlignedArray(valueSum);
    ReleaseAlignedArray(ownReach);
    ReleaseAlignedArray(brValueSum);
  }
};

// Whether a chance node answers from the values its card records cached: in
// evaluation passes of a tree with forgotten parts, and in EV passes whose
// target lies above the deal.
bool UseCachedDeal(const SolverTree& tree, const TreeNode& node, bool riverDeal) {
  if (node.kind != kInnerNode) return false;
  if (tree.passMode == 0) return (tree.flags & kIncompleteTree) != 0;
  // An EV pass walks the deals below its target itself while every storage
  // stands; only forgotten parts answer from the values their records keep.
  if (tree.passMode != 2 || !tree.evCapture || !tree.evCapture->target) return false;
  if (!(tree.flags & kIncompleteTree)) return false;
  const EvCapture& capture = *tree.evCapture;
  const int targetStreet = capture.target->street;
  // A capture of every dealt card needs the deals of the target's own street
  // walked; a capture of one runout starts below them.
  if (capture.allCards) return riverDeal ? targetStreet < 3 : targetStreet < 2;
  if (!riverDeal) return targetStreet == 1 || (targetStreet == 2 && capture.turnIndex < 0);
  return !(targetStreet == 3 && capture.riverIndex >= 0);
}

void QueueTasks(NodeContext& context, bool riverTasks, int count, int firstIndex = 0) {
  auto* shared = new SharedTaskArrays;
  CopyAlignedArray(shared->oppReach, context.oppReach);
  ZeroAlignedArray(shared->valueSum, context.value.count);
  shared->hasOwn = context.ownReach.count > 0;
  if (shared->hasOwn) CopyAlignedArray(shared->ownReach, context.ownReach);
  shared->hasBr = context.brValue.data != nullptr;
  if (shared->hasBr) ZeroAlignedArray(shared->brValueSum, context.brValue.count);
  for (int i = 0; i < count; ++i) {
    const int index = firstIndex + i;
    auto* task = new SubgameTask;
    task->context.tree = context.tree;
    task->context.node = context.node;
    task->context.turn = riverTasks ? context.turn : index;
    task->context.river = riverTasks ? index : -1;
    task->shared = shared;
    task->ownsShared = i == 0;
    task->sharedOppReach = &shared->oppReach;
    task->valueSum = &shared->valueSum;
    task->sharedOwnReach = shared->hasOwn ? &shared->ownReach : nullptr;
    task->brValueSum = shared->hasBr ? &shared->brValueSum : nullptr;
    SubgameTaskList.push_back(task);
  }
}

}  // namespace

void ReleaseSharedTaskArrays(SubgameTask* task) {
  delete static_cast<SharedTaskArrays*>(task->shared);
  task->shared = nullptr;
  task->ownsShared = false;
}

namespace {

void CollectTasks(NodeContext& context, int count) {
  SubgameTask* first = SubgameTaskList[TaskCursor];
  CopyAlignedArray(context.value, *first->valueSum);
  if (first->brValueSum) CopyAlignedArray(context.brValue, *first->brValueSum);
  for (int i = 0; i < count; ++i) {
    SubgameTask* task = SubgameTaskList[TaskCursor + i];
    task->sharedOppReach = task->valueSum = task->sharedOwnReach = task->brValueSum = nullptr;
    task->ownsShared = false;
  }
  delete static_cast<SharedTaskArrays*>(first->shared);
  first->shared = nullptr;
  TaskCursor += count;
}

// Common start of both deals: the cached path, or zeroed outputs.
bool StartDeal(NodeContext& context, CardRecord* record, uint32_t hands, bool riverDeal) {
  SolverTree& tree = *context.tree;
  const int p = tree.traversingPlayer;
  const bool evaluation = EvaluationPass(tree);
  if (record && UseCachedDeal(tree, *context.node, riverDeal)) {
    if (tree.PassPhase == 2) {
      CopyAlignedArray(context.value, record->arrays[2 + p]);
      CopyAlignedArray(context.brValue, record->arrays[4 + p]);
    } else {
      ZeroAlignedArray(context.value, hands);
      if (evaluation) ZeroAlignedArray(context.brValue, hands);
    }
    return true;
  }
  ZeroAlignedArray(context.value, hands);
  if (evaluation) ZeroAlignedArray(context.brValue, hands);
  return false;
}

void FinishDeal(NodeContext& context, CardRecord* record, double factor) {
  SolverTree& tree = *context.tree;
  ScaleAlignedArray(context.value, factor);
  if (context.brValue.data) ScaleAlignedArray(context.brValue, factor);
  if (record && EvaluationPass(tree)) {
    const int p = tree.traversingPlayer;
    CopyAlignedArray(record->arrays[2 + p], context.value);
    CopyAlignedArray(record->arrays[4 + p], context.brValue);
  }
}

}  // namespace

void EvaluateTurnDeal(NodeContext& context) {
  SolverTree& tree = *context.tree;
  TreeNode& node = *context.node;
  const DealTable& table = *tree.dealTable;
  CardRecord* record = node.kind == kInnerNode && node.cardRecordCount > 0 ? &node.cardRecords[0] : nullptr;
  if (StartDeal(context, record, table.HandCount(), false)) return;
  // An EV pass that targets one turn card evaluates that card's sub-game only.
  const EvCapture* capture = tree.passMode == 2 ? tree.evCapture : nullptr;
  const bool single = capture && capture->turnIndex >= 0 && !capture->allCards;
  const int turns = single ? 1 : static_cast<int>(table.turns.size());
  if (tree.PassPhase == 0) {
    if (UpdatePass(tree) && record)
      AccumulateDealReach(*record, tree.traversingPlayer ^ 1, context.oppReach,
                          AveragingPower(tree.iterationCount + 1.0));
    QueueTasks(context, false, turns, single ? capture->turnIndex : 0);
  } else if (tree.PassPhase == 2) {
    CollectTasks(context, turns);
  }
  FinishDeal(context, record, 1.0 / 45.0);
}

void EvaluateRiverDeal(NodeContext& context) {
  SolverTree& tree = *context.tree;
  TreeNode& node = *context.node;
  const DealTable& table = *tree.dealTable;
  const TurnRecord& turnRecord = table.turns[context.turn];
  CardRecord* record = node.kind == kInnerNode && node.cardRecordCount > context.turn
                           ? &node.cardRecords[context.turn]
                           : nullptr;
  if (StartDeal(context, record, turnRecord.HandCount(), true)) return;
  const bool flopRoot = tree.nodes[0].street == 1;
  const int rivers = static_cast<int>(turnRecord.rivers.size());
  if (UpdatePass(tree) && record && (flopRoot || tree.PassPhase == 0))
    AccumulateDealReach(*record, tree.traversingPlayer ^ 1, context.oppReach,
                        AveragingPower(tree.iterationCount + 1.0));
  if (flopRoot) {
    if (HasData(context.oppReach)) {
      const bool averaging = tree.averagingMode == 2 || (tree.averagingMode == 1 && tree.iterationCount > 60);
      const bool accumulate = UpdatePass(tree) ? averaging && tree.accumulateThisIteration : true;
      const SubtreeContext subtree{&tree, &node, context.turn};
      void* handles[2] = {nullptr, nullptr};
      void* sumHandles[2] = {nullptr, nullptr};
      const bool second = accumulate && AveragingActive(tree);
      // A pass that reads (an EV pass on the console thread) and is refused
      // for want of memory closes the boards it opened, which later passes
      // open again; a failed update pass ends the process.
      ScopeExit closeRefused([&] {
        ReleaseSubtreeStorages(subtree, handles, kFirstStorage, false);
        if (second) ReleaseSubtreeStorages(subtree, sumHandles, kSecondStorage, false);
      });
      if (UpdatePass(tree)) closeRefused.Dismiss();
      int64_t sizes[2] = {0, 0};
      SumSubtreeStorageSize(subtree, kFirstStorage, sizes);
      AcquireSubtreeStorages(subtree, handles, kFirstStorage, sizes, false);
      if (second) {
        int64_t sumSizes[2] = {0, 0};
        SumSubtreeStorageSize(subtree, kSecondStorage, sumSizes);
        AcquireSubtreeStorages(subtree, sumHandles, kSecondStorage, sumSizes, false);
      }
      const bool own = HasData(context.ownReach);
      for (int k = 0; k < rivers; ++k) {
        const RiverRecord& riverRecord = turnRecord.rivers[k];
        NodeContext child;
        child.tree = &tree;
        child.node = &node;
        child.turn = context.turn;
        child.river = k;
        SumHandGroups(riverRecord, child.oppReach, context.oppReach);
        if (own) SumHandGroups(riverRecord, child.ownReach, context.ownReach);
        EvaluateNode(child);
        SpreadHandGroups(riverRecord, context.value, child.value);
        if (context.brValue.data) SpreadHandGroups(riverRecord, context.brValue, child.brValue);
      }
      closeRefused.Dismiss();
      ReleaseSubtreeStorages(subtree, handles, kFirstStorage, false);
      if (second) ReleaseSubtreeStorages(subtree, sumHandles, kSecondStorage, false);
    }
  } else if (tree.PassPhase == 0) {
    QueueTasks(context, true, rivers);
  } else if (tree.PassPhase == 2) {
    CollectTasks(context, rivers);
  }
  FinishDeal(context, record, 1.0 / 44.0);
}
