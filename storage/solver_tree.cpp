#include "storage/solver_tree.h"

#include <algorithm>

#include "game/isomorphism.h"
#include "storage/storage_interface.h"
#include "storage/storage_stream.h"

std::unique_ptr<SolverTree> CurrentTree;

double AveragingExponent = 1.5;
double StrategyWeightCap = 262143.0;
int32_t IterationCap = 9000;
int32_t RiverWarmStartIterations = 0;
double RegretScaleNumerator = 125.0;

TreeNode::TreeNode(TreeNode&& other) noexcept
    : kind(other.kind),
      parentIndex(other.parentIndex),
      player(other.player),
      street(other.street),
      amount(other.amount),
      children(std::move(other.children)),
      parent(other.parent),
      firstStorage(other.firstStorage),
      secondStorage(other.secondStorage),
      workValue(other.workValue),
      prepared(other.prepared),
      ownsStorages(other.ownsStorages),
      EvBoost(other.EvBoost),
      dealLocks(std::move(other.dealLocks)),
      cardRecords(std::move(other.cardRecords)),
      cardRecordCount(other.cardRecordCount) {
  SubgameSolveTime[0] = other.SubgameSolveTime[0];
  SubgameSolveTime[1] = other.SubgameSolveTime[1];
  other.firstStorage = other.secondStorage = nullptr;
  other.cardRecordCount = 0;
}

void TreeNode::DeleteStorages() {
  if (ownsStorages) {
    delete firstStorage;
    delete secondStorage;
  }
  firstStorage = secondStorage = nullptr;
  prepared = 0;
}

TreeNode::~TreeNode() {
  DeleteStorages();
  if (!ownsStorages) {
    // Records and locks belong to another owner in that case.
    dealLocks.release();
    cardRecords.release();
  }
}

size_t EvCacheHash::operator()(const EvCacheKey& key) const {
  uint64_t h = 0x9e3779b9ull + reinterpret_cast<uint64_t>(key.node);
  const int64_t values[3] = {key.turnIndex, key.riverIndex, key.player};
  for (int64_t v : values) h ^= h * 64 + static_cast<uint64_t>(v) + h / 4 + 0x9e3779b9ull;
  return static_cast<size_t>(h);
}

EvCapture::~EvCapture() {
  ReleaseAlignedArray(ev);
  ReleaseAlignedArray(weight);
  for (auto& entry : perCard) {
    ReleaseAlignedArray(entry.second.first);
    ReleaseAlignedArray(entry.second.second);
  }
}

SolverTree::SolverTree() { evCache.max_load_factor(1.0f); }

SolverTree::~SolverTree() = default;

std::string TreeFlagsText() {
  if (!CurrentTree) return std::string();
  static const char* const kNames[3] = {"INCOMPLETE_TREE", "ISOMORPHISM_ON", "NEW_TREE"};
  std::string text;
  const uint32_t flags = CurrentTree->flags;
  for (int bit = 0; bit < 3; ++bit) {
    if (flags & (1u << bit)) {
      if (!text.empty()) text += ' ';
      text += kNames[bit];
    }
  }
  return text;
}

int GetForgottenStreet() { return CurrentTree ? CurrentTree->forgottenStreet : -1; }

EvCacheRecord* FindCachedNodeValues(SolverTree& tree, int iteration, const TreeNode* node, int turnIndex,
                                    int riverIndex, int player) {
  if (iteration >= 0 && iteration != tree.evCacheStamp) return nullptr;
  auto found = tree.evCache.find(EvCacheKey{node, turnIndex, riverIndex, player});
  return found == tree.evCache.end() ? nullptr : found->second.get();
}

void DealIndicesForCards(const SolverTree& tree, int turnCard, int riverCard, int& turnIndex, int& riverIndex) {
  turnIndex = -1;
  riverIndex = -1;
  if (turnCard < 0) return;
  if (tree.flags & kIsomorphismOn) {
    const SuitPerm perm = ComputeSuitPerm(tree.flopMask, CardBit(turnCard), riverCard >= 0 ? CardBit(riverCard) : 0);
    turnCard = ApplySuitPermToCard(perm, turnCard);
    riverCard = ApplySuitPermToCard(perm, riverCard);
  }
  const DealTable& table = *tree.dealTable;
  const uint16_t t = table.turnMap[turnCard];
  if (t == kNoRecord) return;
  turnIndex = t;
  if (riverCard < 0) return;
  const uint16_t r = table.turns[t].riverMap[riverCard];
  riverIndex = r == kNoRecord ? -1 : r;
}

void FreeSolverTree() { CurrentTree.reset(); }

bool AveragingActive(const SolverTree& tree) {
  return tree.averagingMode == 2 || (tree.averagingMode == 1 && tree.iterationCount >= kAveragingStartIteration);
}

void ZeroStrategySums(TreeNode& node, int turnIndex, int riverIndex, int action) {
  StorageInterface* sums = node.secondStorage;
  if (!sums) return;
  AlignedArray zeros{};
  const int32_t n = sums->EntryCount(turnIndex, riverIndex);
  ZeroAlignedArray(zeros, static_cast<uint32_t>(n > 0 ? n : 0));
  const int actions = static_cast<int>(node.children.size());
  const int first = action < 0 ? 0 : action;
  const int end = action < 0 ? actions : std::min(action + 1, actions);
  for (int a = first; a < end; ++a) sums->WriteRow(turnIndex, riverIndex, a, zeros);
  ReleaseAlignedArray(zeros);
}

namespace {

// Depth first, each node before its children; terminals end the walk.
template <typename Visit>
void WalkRiverNodes(SolverTree& tree, TreeNode& node, Visit&& visit) {
  if (node.kind != kInnerNode) return;
  if (node.street == 3) visit(node);
  for (int32_t child : node.children) WalkRiverNodes(tree, tree.nodes[child], visit);
}

StorageInterface* ChosenStorage(const SolverTree& tree, const TreeNode& node, SubtreeStorage which, bool force) {
  if (which == kFirstStorage) return node.firstStorage;
  if (force) return node.secondStorage;
  const bool opponent = node.player != tree.traversingPlayer;
  if (AveragingActive(tree) && (tree.passMode == 0 || tree.passMode == 2 || opponent)) return node.secondStorage;
  return nullptr;
}

}  // namespace

namespace {

// The first river node below a turn (or flop) action: its river sub-tree has
// streams of its own for each board.
bool RiverSubtreeTop(const TreeNode& node) {
  return node.street == 3 && (!node.parent || node.parent->street < 3);
}

// Ends the read (or write) passes of the streams a sub-tree's walk returned.
void EndStreamPasses(void* handles[2], bool write) {
  for (int p = 0; p < 2; ++p) {
    auto* stream = static_cast<StorageStreamInterface*>(handles[p]);
    if (!stream) continue;
    if (write)
      stream->EndWrite();
    else
      stream->EndRead();
  }
}

}  // namespace

void AcquireSubtreeStorages(const SubtreeContext& context, void* handles[2], SubtreeStorage which,
                            const int64_t arguments[2], bool force) {
  SolverTree& tree = *context.tree;
  // Each river sub-tree has its own streams: the first node of each player in
  // it owns one. A walk from above the river covers several sub-trees, one
  // after another.
  handles[0] = handles[1] = nullptr;
  WalkRiverNodes(tree, *context.node, [&](TreeNode& node) {
    if (RiverSubtreeTop(node) && &node != context.node) {
      EndStreamPasses(handles, false);
      handles[0] = handles[1] = nullptr;
    }
    StorageInterface* storage = ChosenStorage(tree, node, which, force);
    if (!storage) return;
    const int p = node.player & 1;
    handles[p] = storage->OpenBoard(handles[p], context.boardIndex, arguments ? arguments[p] : 0);
  });
  // Every node of the walk has decoded its rows: the read passes end here, so
  // that no caller can leave a stream attached to its decoder.
  EndStreamPasses(handles, false);
}

void ReleaseSubtreeStorages(const SubtreeContext& context, void* handles[2], SubtreeStorage which, bool force) {
  SolverTree& tree = *context.tree;
  handles[0] = handles[1] = nullptr;
  WalkRiverNodes(tree, *context.node, [&](TreeNode& node) {
    if (RiverSubtreeTop(node) && &node != context.node) {
      EndStreamPasses(handles, true);
      handles[0] = handles[1] = nullptr;
    }
    StorageInterface* storage = ChosenStorage(tree, node, which, force);
    if (!storage) return;
    const int p = node.player & 1;
    bool writeBack = force;
    if (!writeBack && tree.passMode == 1) {
      writeBack = which == kFirstStorage ? node.player == tree.traversingPlayer
                                         : AveragingActive(tree) && node.player != tree.traversingPlayer;
    }
    handles[p] = storage->CloseBoard(handles[p], context.boardIndex, writeBack ? 1 : 0);
  });
  // The write passes end here: the rows re-encoded by the walk become the
  // streams' blocks (without EndWrite they would be lost).
  EndStreamPasses(handles, true);
}

void SumSubtreeStorageSize(const SubtreeContext& context, SubtreeStorage which, int64_t totals[2]) {
  SolverTree& tree = *context.tree;
  WalkRiverNodes(tree, *context.node, [&](TreeNode& node) {
    StorageInterface* storage = which == kFirstStorage ? node.firstStorage : node.secondStorage;
    if (storage) totals[node.player & 1] += storage->ElementCount(context.boardIndex);
  });
}

void CloseAllSubtreeStorages(const SubtreeContext& context, void* handles[2], SubtreeStorage which, bool write) {
  SolverTree& tree = *context.tree;
  handles[0] = handles[1] = nullptr;
  WalkRiverNodes(tree, *context.node, [&](TreeNode& node) {
    if (RiverSubtreeTop(node) && &node != context.node) {
      if (write) EndStreamPasses(handles, true);
      handles[0] = handles[1] = nullptr;
    }
    StorageInterface* storage = which == kFirstStorage ? node.firstStorage : node.secondStorage;
    if (!storage) return;
    const int p = node.player & 1;
    handles[p] = storage->CloseBoard(handles[p], context.boardIndex, write ? 1 : 0);
  });
  if (write) EndStreamPasses(handles, true);
}
