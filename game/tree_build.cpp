#include "game/tree_build.h"

#include <cmath>
#include <limits>

#include "console/hand_order.h"
#include "console/output.h"
#include "console/settings.h"
#include "game/deal_table.h"
#include "game/isomorphism.h"
#include "game/line_tree.h"
#include "game/solver_tree.h"
#include "game/tree_state.h"
#include "solver/engine_state.h"
#include "solver/solver_thread.h"
#include "storage/storage_factory.h"

namespace {

std::string HandText(int combo) {
  for (int hi = 1; hi < kCardCount; ++hi) {
    const int lo = combo - hi * (hi - 1) / 2;
    if (lo >= 0 && lo < hi) return CardText(lo) + " " + CardText(hi);
  }
  return std::string();
}

int RootStreetOfBoard() {
  const bool turn = BoardMasks[1] != 0, river = BoardMasks[2] != 0;
  if (turn && river) return 3;
  if (turn || river) return 2;
  return 1;
}

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

double MaxLineAmount(const SchematicNode& node) {
  double largest = 0.0;
  for (const auto& [key, child] : node.children) largest = std::max({largest, key, MaxLineAmount(*child)});
  return largest;
}

void FlattenLineTree(const SchematicNode& node, int32_t parentIndex, double key, int rootStreet, double pot,
                     std::vector<FlatLineRecord>& records, std::vector<const SchematicNode*>& nodes) {
  FlatLineRecord record;
  record.parentIndex = parentIndex;
  if (!node.children.empty()) {
    record.kind = kInnerNode;
    record.player = node.player;
    record.street = rootStreet + node.street;
    record.amount = 0.0;
  } else {
    record.kind = key >= 0 ? kShowdownNode : kFoldNode;
    record.player = -1;
    record.street = -1;
    record.amount = 0.5 * pot + node.amount;
  }
  const int32_t index = static_cast<int32_t>(records.size());
  records.push_back(record);
  nodes.push_back(&node);
  for (const auto& [childKey, child] : node.children)
    FlattenLineTree(*child, index, childKey, rootStreet, pot, records, nodes);
}

void CheckRangeIsomorphism(CardMask board) {
  static const char* const kPlayerNames[2] = {"OOP", "IP"};
  for (int p = 0; p < 2; ++p) {
    const std::vector<double>& range = RangeVectors[p];
    for (const std::vector<uint16_t>& hands : HandClassLists) {
      int reference = -1;
      for (uint16_t combo : hands) {
        if (HandMaskByOrder[OrderByComboIndex[combo]] & board) continue;
        if (reference < 0) {
          reference = combo;
        } else if (std::fabs(range[combo] - range[reference]) > 2.220446049250313e-16) {
          char message[256];
          snprintf(message, sizeof message,
                   "inconsistent range: %s P(%s) == %.2g, P(%s) == %.2g, use 'set_isomorphism 0 0' if intended",
                   kPlayerNames[p], HandText(reference).c_str(), range[reference], HandText(combo).c_str(),
                   range[combo]);
          ThrowCommandError(message);
        }
      }
    }
  }
}

double CompatiblePairWeight(const std::vector<double>& oop, const std::vector<double>& ip, CardMask board) {
  // Inclusion-exclusion over the 52 per-card sums of IP's weights.
  double perCard[kCardCount] = {};
  double total = 0.0;
  for (int hi = 1; hi < kCardCount; ++hi) {
    for (int lo = 0; lo < hi; ++lo) {
      if ((CardBit(lo) | CardBit(hi)) & board) continue;
      const double w = ip[ComboIndex(lo, hi)];
      perCard[lo] += w;
      perCard[hi] += w;
      total += w;
    }
  }
  double pairs = 0.0;
  for (int hi = 1; hi < kCardCount; ++hi) {
    for (int lo = 0; lo < hi; ++lo) {
      if ((CardBit(lo) | CardBit(hi)) & board) continue;
      const int c = ComboIndex(lo, hi);
      if (oop[c] > 0.0) pairs += oop[c] * (total - perCard[lo] - perCard[hi] + ip[c]);
    }
  }
  return pairs;
}

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
  RiverWarmStartIterations = first >= 2 ? 30 : 0;
  // A tree whose every payoff is 0 has no regret to scale; keep the scale finite.
  tree.regretScale = tree.largestPayoff > 0.0 ? RegretScaleNumerator / tree.largestPayoff : RegretScaleNumerator;
}

void AllocateNodeStorages(SolverTree& tree) {
  for (uint64_t& n : tree.storedElements) n = 0;
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

void ResetSolver(int32_t first, int32_t second) {
  if (!CurrentTree) return;
  InitSolverParams(*CurrentTree, first, second);
  AllocateNodeStorages(*CurrentTree);
  ClearConvergenceLog();
}

void BuildTreeFromLines(bool chooseCompression) {
  // Everything is checked before anything of the standing tree or the
  // process-wide indices changes.
  const CardMask flop = BoardMasks[0], turn = BoardMasks[1], river = BoardMasks[2];
  const int expectedCards = 3 + (turn ? 1 : 0) + (river ? 1 : 0);
  if (CardCount(flop) != 3 || CardCount(flop | turn | river) != expectedCards || CardCount(turn) > 1 ||
      CardCount(river) > 1)
    ThrowCommandError("board not set");
  const int rootStreet = RootStreetOfBoard();
  const double pot = PotSettings[2];
  const int effectiveStack = static_cast<int>(MaxLineAmount(*SchematicRoot));
  const bool isomorphism = IsomorphismFlags[rootStreet] != 0;

  std::vector<FlatLineRecord> records;
  std::vector<const SchematicNode*> lineNodes;
  FlattenLineTree(*SchematicRoot, -1, 0.0, rootStreet, pot, records, lineNodes);
  for (const FlatLineRecord& record : records)
    if (record.kind == kInnerNode && record.street >= 4) ThrowCommandError("invalid line");

  // Cards in the user's suits; a turn-only or river-only board deals the
  // given card as the turn.
  const int turnCard = rootStreet >= 2 ? CardOfMask(turn ? turn : river) : -1;
  const int riverCard = rootStreet == 3 ? CardOfMask(river) : -1;
  const CardMask rootBoard = flop | (turnCard >= 0 ? CardBit(turnCard) : 0) | (riverCard >= 0 ? CardBit(riverCard) : 0);
  if (isomorphism && rootStreet <= 2) CheckRangeIsomorphism(rootBoard);
  if (!(CompatiblePairWeight(RangeVectors[0], RangeVectors[1], rootBoard) > 0.0))
    ThrowCommandError("ranges have no compatible hands");

  CreateSolverTree(1, records, 0, flop, turnCard, riverCard, RangeVectors[0], RangeVectors[1], isomorphism);
  RootStreet = rootStreet;
  EffectiveStack = effectiveStack;
  ++CurrentBuildStamp;
  for (size_t i = 0; i < lineNodes.size(); ++i) {
    SchematicNode* node = const_cast<SchematicNode*>(lineNodes[i]);
    node->treeIndex = static_cast<int32_t>(i);
    node->buildStamp = CurrentBuildStamp;
  }
  if (chooseCompression)
    ChooseCompression();
  else
    ResetSolver(0, 0);
  TreeBuilt = true;
}

void FreeTreeAndLoadFlags() {
  FreeSolverTree();
  TreeBuilt = false;
  LoadFlag = false;
}

void CmdBuildTree(const std::vector<std::string>& words) {
  if (IsSolverRunning()) ThrowCommandError("Can't do that when solver is running");
  if (RangeVectors[0].size() != kComboCount || RangeVectors[1].size() != kComboCount)
    ThrowCommandError("ranges not set");
  if (CardCount(BoardMasks[0]) != 3) ThrowCommandError("board not set");
  if (SchematicRoot->children.empty()) ThrowCommandError("lines not set");
  BuildTreeFromLines(true);
  LoadFlag = false;
  if (Verbosity > 0)
    Output("[compression set %d (%s) actual %d (%s)]\n", CompressionSetting, CompressionLevelName(CompressionSetting),
           ActualCompression, CompressionLevelName(ActualCompression));
  ReplyOk(words);
}

void CmdFreeTree(const std::vector<std::string>& words) {
  if (IsSolverRunning()) ThrowCommandError("Can't do that when solver is running");
  FreeTreeAndLoadFlags();
  ReplyOk(words);
}
