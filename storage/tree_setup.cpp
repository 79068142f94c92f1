#include "storage/tree_setup.h"

#include <cmath>
#include <limits>

#include "core/output.h"
#include "core/settings.h"
#include "game/deal_table.h"
#include "game/isomorphism.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_stream.h"

namespace {

void BuildTreeNodes(SolverTree& tree, const std::vector<FlatLineRecord>& records) {
  tree.nodes.reserve(records.size());  // parent pointers stay valid
  double largest = 0.0;
  for (const FlatLineRecord& record : records) {
    tree.nodes.emplace_back();
    TreeNode& node = tree.nodes.back();
    node.kind = record.kind;
    node.parentIndex = record.parentIndex;
    node.player = record.player;
    node.street = record.street;
    node.amount = record.amount;
    if (record.parentIndex >= 0) {
      TreeNode& parent = tree.nodes[record.parentIndex];
      node.parent = &parent;
      if (record.kind != kInnerNode) {
        node.player = parent.player;
        node.street = record.kind == kFoldNode ? parent.street : 3;
        largest = std::max(largest, std::fabs(record.amount));
      }
      parent.children.push_back(static_cast<int32_t>(tree.nodes.size() - 1));
    }
  }
  tree.largestPayoff = largest;

  int maxChildren = 0, withChildren = 0;
  size_t childTotal = 0;
  for (TreeNode& node : tree.nodes) {
    const bool turnStart = node.street == 2 && !(node.parent && node.parent->street >= 2);
    const bool riverStart = node.street == 3 && !(node.parent && node.parent->street >= 3);
    if (turnStart) {
      node.dealLocks.reset(new std::mutex[49]);
      if (node.kind == kInnerNode) {
        node.cardRecords.reset(new CardRecord[1]);
        node.cardRecordCount = 1;
      }
    }
    if (riverStart && node.kind == kInnerNode) {
      node.cardRecords.reset(new CardRecord[49]);
      node.cardRecordCount = 49;
    }
    node.ownsStorages = 1;
    const int n = static_cast<int>(node.children.size());
    maxChildren = std::max(maxChildren, n);
    if (n > 0) {
      ++withChildren;
      childTotal += n;
    }
  }
  tree.maxChildren = maxChildren;
  tree.avgChildren = withChildren ? static_cast<double>(childTotal) / withChildren
                                  : std::numeric_limits<double>::quiet_NaN();
  Output("#actions max %d avg %.2g\n", tree.maxChildren, tree.avgChildren);
}

void SetBoardAndRanges(SolverTree& tree, CardMask flop, int32_t turnCard, int32_t riverCard,
                       const std::vector<double>& rangeOop, const std::vector<double>& rangeIp, bool isomorphism) {
  if (isomorphism) tree.flags |= kIsomorphismOn;
  const int rootStreet = tree.nodes.empty() ? 1 : tree.nodes[0].street;
  if (rootStreet < 2) turnCard = -1;
  if (rootStreet < 3) riverCard = -1;
  tree.flopMask = flop;
  tree.boardMask = flop | (turnCard >= 0 ? CardBit(turnCard) : 0) | (riverCard >= 0 ? CardBit(riverCard) : 0);

  CardMask canonicalFlop = flop;
  CardMask turnMask = turnCard >= 0 ? CardBit(turnCard) : 0;
  CardMask riverMask = riverCard >= 0 ? CardBit(riverCard) : 0;
  if (isomorphism) {
    SuitPerm perm;
    CanonicalSuitOrder(perm, canonicalFlop, turnMask, riverMask);
  }
  const int canonicalTurn = CardOfMask(turnMask), canonicalRiver = CardOfMask(riverMask);

  tree.ranges[0] = rangeOop;
  tree.ranges[1] = rangeIp;
  std::vector<double> canonical[2];
  for (int p = 0; p < 2; ++p) {
    CanonicalRangeCopy(canonical[p], isomorphism, flop, tree.ranges[p].data(), turnCard, riverCard);
    double largest = 0.0;
    for (double w : canonical[p]) largest = std::max(largest, w);
    tree.rangeMax[p] = largest;
  }

  tree.dealTable =
      std::make_unique<DealTable>(canonicalFlop, tree.groupingMode, canonicalTurn, canonicalRiver, isomorphism);
  DealTable& table = *tree.dealTable;
  SetHoles(table, canonical[0].data(), canonical[1].data());
  const BoardCombos* root = &table.combos;
  if (canonicalTurn >= 0) {
    tree.rootTurnIndex = table.turnMap[canonicalTurn];
    const TurnRecord& turn = table.turns[tree.rootTurnIndex];
    root = &turn.combos;
    if (canonicalRiver >= 0) {
      tree.rootRiverIndex = turn.riverMap[canonicalRiver];
      root = &turn.rivers[tree.rootRiverIndex].combos;
    }
  }
  BuildRootReachVectors(tree.handVectors, canonical[0].data(), canonical[1].data(), *root);

  tree.layouts.clear();
  tree.layouts.resize(tree.maxChildren + 1);
  for (int k = 1; k <= tree.maxChildren; ++k) {
    tree.layouts[k] = std::make_unique<StorageLayout>();
    if (!BuildFlatIndex(*tree.layouts[k], k, table.riverHandCounts)) Fail("river storage layout too large");
  }
}

}  // namespace

void CreateSolverTree(int32_t averagingMode, const std::vector<FlatLineRecord>& records, int32_t groupingMode,
                      CardMask flop, int32_t turnCard, int32_t riverCard, const std::vector<double>& rangeOop,
                      const std::vector<double>& rangeIp, bool isomorphism) {
  CurrentTree.reset();
  auto tree = std::make_unique<SolverTree>();
  tree->averagingMode = averagingMode;
  tree->pot = PotSettings[2];
  tree->groupingMode = groupingMode;
  BuildTreeNodes(*tree, records);
  SetBoardAndRanges(*tree, flop, turnCard, riverCard, rangeOop, rangeIp, isomorphism);
  InitSolverParams(*tree, 0, 0);
  CurrentTree = std::move(tree);
}

void InitSolverParams(SolverTree& tree, int32_t first, int32_t second) {
  RegretScaleNumerator = 125.0;
  IterationCap = 9000;
  const int rootStreet = tree.nodes.empty() ? 1 : tree.nodes[0].street;
  if (rootStreet == 3) {
    StrategyWeightCap = std::numeric_limits<double>::max();
    AveragingExponent = 4.0;
  } else {
    StrategyWeightCap = 262143.0;
    AveragingExponent = 1.5;
  }
  tree.compression[0] = rootStreet == 1 ? first : 0;
  tree.compression[1] = rootStreet == 1 ? second : 0;
  // The working memory of a pass depends on the storages' level: counted
  // anew at the next pass.
  tree.passThreadRows = -1;
  tree.lastStreamGrowth = 0;
  RiverWarmStartIterations = first >= 2 ? 30 : 0;
  // A tree whose every payoff is 0 has no regret to scale; keep the scale finite.
  tree.regretScale = tree.largestPayoff > 0.0 ? RegretScaleNumerator / tree.largestPayoff : RegretScaleNumerator;
}

void AllocateNodeStorages(SolverTree& tree) {
  for (uint64_t& n : tree.storedElements) n = 0;
  StorageBytesRead = 0;
  StorageBytesWritten = 0;
  const int rootStreet = tree.nodes.empty() ? 1 : tree.nodes[0].street;
  for (TreeNode& node : tree.nodes) {
    if (tree.forgottenStreet >= 0 && node.street >= tree.forgottenStreet) continue;
    const size_t actions = node.children.size();
    BuildNodeStorage(node, *tree.dealTable, actions < tree.layouts.size() ? tree.layouts[actions].get() : nullptr,
                     tree.storedElements, tree.averagingMode != 0, rootStreet, tree.compression,
                     tree.formatVersion >= 5);
  }
  for (int i = 0; i < 4; ++i) tree.storedArrays[i] = tree.storedElements[i] * (tree.averagingMode ? 6 : 2);
  tree.iterationCount = 0;
  tree.storagesPrepared = 0;
}
