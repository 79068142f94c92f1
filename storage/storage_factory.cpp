#include "storage/storage_factory.h"

#include <algorithm>
#include <cstring>

#include "codecs/codec.h"
#include "codecs/fse_codec.h"
#include "core/memory_info.h"
#include "core/numbers.h"
#include "core/output.h"
#include "core/parallel.h"
#include "game/deal_table.h"
#include "storage/compressed_river_storage.h"
#include "storage/river_storage.h"
#include "storage/solver_tree.h"
#include "storage/storage_unit.h"

int32_t CompressionSetting = -1;
int32_t ActualCompression = 0;

const char* CompressionLevelName(int level) {
  static const char* const kNames[6] = {"auto", "none", "low", "medium", "high", "max"};
  return level >= -1 && level <= 4 ? kNames[level + 1] : "none";
}

void CompressionPair(int level, int32_t& first, int32_t& second) {
  static const int32_t kPairs[5][2] = {{0, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 2}};
  first = second = 0;
  if (level >= 0 && level <= 4) {
    first = kPairs[level][0];
    second = kPairs[level][1];
  }
}

namespace {
// The storage kind of a node's first or second storage; nothing is allocated
// until Prepare. `level` is the stream level of the compression pair for this
// storage (0 uncompressed, 1 packed, 2 entropy-coded); it applies to river
// nodes of flop-rooted trees (other trees always carry the pair 0, 0).
StorageInterface* NewNodeStorage(const TreeNode& node, const DealTable& table, const StorageLayout* layout,
                                 int rootStreet, bool version5, bool second, int level) {
  const int actions = static_cast<int>(node.children.size());
  if (node.street == 1) return new StorageUnit(actions, static_cast<int>(table.HandCount()));
  if (node.street == 2) return new TurnStorage(actions, table.turnHandCounts);
  if (second) {
    if (level > 0) return new CompressedRiverStorage(layout, false, level);
    return new RiverStorage(layout);
  }
  if (rootStreet == 3 || (rootStreet == 2 && version5)) return new RiverStorage(layout);
  if (level > 0) return new CompressedRiverStorage(layout, true, level);
  return new ShortRiverStorage(layout);
}

const StorageLayout* NodeLayout(const SolverTree& tree, const TreeNode& node) {
  const size_t actions = node.children.size();
  return actions < tree.layouts.size() ? tree.layouts[actions].get() : nullptr;
}
}  // namespace

void BuildNodeStorage(TreeNode& node, const DealTable& table, const StorageLayout* layout, uint64_t* storedElements,
                      bool averaging, int rootStreet, const int32_t* pair, bool version5) {
  if (node.kind != kInnerNode) return;
  node.DeleteStorages();
  const int first = pair ? pair[0] : 0, second = pair ? pair[1] : 0;
  node.firstStorage = NewNodeStorage(node, table, layout, rootStreet, version5, false, first);
  if (averaging) node.secondStorage = NewNodeStorage(node, table, layout, rootStreet, version5, true, second);
  storedElements[node.street] += static_cast<uint64_t>(node.firstStorage->ElementCount(-1));
}

uint64_t UncompressedStorageBytes(const SolverTree& tree) {
  uint64_t elements = 0;
  const int rootStreet = tree.nodes.empty() ? 1 : tree.nodes[0].street;
  for (const TreeNode& node : tree.nodes) {
    if (node.kind != kInnerNode) continue;
    std::unique_ptr<StorageInterface> probe(
        NewNodeStorage(node, *tree.dealTable, NodeLayout(tree, node), rootStreet, tree.formatVersion >= 5, false, 0));
    elements += static_cast<uint64_t>(probe->ElementCount(-1));
  }
  return elements * (tree.averagingMode ? 6 : 2);
}

void MakeNodeStorage(SolverTree& tree, TreeNode& node) {
  BuildNodeStorage(node, *tree.dealTable, NodeLayout(tree, node), tree.storedElements, tree.averagingMode != 0,
                   tree.nodes[0].street, tree.compression, tree.formatVersion >= 5);
}

bool AllStoragesReady(SolverTree& tree) {
  if (tree.storagesPrepared) return true;
  size_t first = 0;
  while (first < tree.nodes.size() && (!tree.nodes[first].firstStorage || tree.nodes[first].prepared)) ++first;
  // The nodes this call prepares: when one fails, their storages (zeros
  // only, nothing has used them yet) are given back, so that the memory a
  // refused command took is free again for the rest of the session.
  std::vector<uint8_t> madeHere(first < tree.nodes.size() ? tree.nodes.size() : 0, 0);
  for (size_t i = first; i < tree.nodes.size(); ++i) {
    TreeNode& node = tree.nodes[i];
    if (!node.firstStorage || node.prepared) continue;
    madeHere[i] = 1;
    if (!node.firstStorage->Prepare() || (node.secondStorage && !node.secondStorage->Prepare())) {
      uint64_t figures[4];
      std::copy(tree.storedElements, tree.storedElements + 4, figures);
      for (size_t j = first; j <= i; ++j)
        if (madeHere[j]) MakeNodeStorage(tree, tree.nodes[j]);
      std::copy(figures, figures + 4, tree.storedElements);
      return false;
    }
    node.prepared = 1;
  }
  tree.storagesPrepared = 1;
  return true;
}

namespace {
// What the block allocator maps for a thread's first blocks (its own heap
// and a region of the allocator's), and what any pass may take besides its
// rows (the C allocator's small blocks, task lists, report rows).
// Under a capped address space a thread other than the first cannot have
// an arena of the C allocator's own (64 MB each), and each of its small
// blocks is then mapped on its own page.
constexpr uint64_t kThreadAllocatorBytes = uint64_t{3} << 20;
constexpr uint64_t kPassSlackBytes = uint64_t{2} << 20;
// A queued sub-game task and its share of the list.
constexpr uint64_t kTaskBytes = 256;

// What a thread decodes at once from compressed river storages: the largest
// river sub-tree's rows for one turn card, in both storages, and as much
// again for the boards it codes back; and the entropy coders of the streams
// it reads or writes, one for each player's stream of each storage whose
// streams are entropy-coded (each coder keeps a block per channel and a
// block of scratch).
uint64_t CompressedSubtreeBytes(const SolverTree& tree) {
  if (tree.compression[0] == 0 && tree.compression[1] == 0) return 0;
  constexpr uint64_t kCoderBytes = static_cast<uint64_t>(kCodecChannels + 2) * kFseChannelBlock;
  const uint64_t coders = 2 * ((tree.compression[0] >= 2 ? 1 : 0) + (tree.compression[1] >= 2 ? 1 : 0));
  std::vector<uint64_t> boardElements(tree.layouts.size(), 0);
  for (size_t k = 0; k < tree.layouts.size(); ++k) {
    const StorageLayout* layout = tree.layouts[k].get();
    if (!layout || !layout->turnSpans) continue;
    for (uint32_t t = 0; t < layout->turnCount; ++t)
      boardElements[k] = std::max<uint64_t>(boardElements[k], layout->turnSpans[t].count);
  }
  const size_t count = tree.nodes.size();
  std::vector<int32_t> root(count, -1);
  std::vector<uint64_t> sums(count, 0);
  uint64_t largest = 0;
  for (size_t i = 0; i < count; ++i) {
    const TreeNode& node = tree.nodes[i];
    if (node.kind != kInnerNode || node.street != 3) continue;
    const int32_t parent = node.parentIndex;
    const bool below = parent >= 0 && static_cast<size_t>(parent) < i && tree.nodes[parent].street == 3;
    root[i] = below && root[parent] >= 0 ? root[parent] : static_cast<int32_t>(i);
    const size_t actions = node.children.size();
    sums[root[i]] += actions < boardElements.size() ? boardElements[actions] : 0;
    largest = std::max(largest, sums[root[i]]);
  }
  return largest * sizeof(float) * 2 * 2 + coders * kCoderBytes;
}

// Whether a node is the first of its street below the root: a chance node,
// whose deals share four rows and queue a task per card, and which keeps a
// card record per dealt card.
bool ChanceNode(const SolverTree& tree, size_t i) {
  const TreeNode& node = tree.nodes[i];
  const int32_t parent = node.parentIndex;
  return parent >= 0 && static_cast<size_t>(parent) < i && node.kind == kInnerNode &&
         tree.nodes[parent].street < node.street;
}

// Counts once per tree the rows a pass keeps: each level of a thread's walk
// holds a node context's four rows and the strategy rows of its children;
// each chance node shares four rows and queues a task per card.
void CountPassRows(SolverTree& tree) {
  const size_t count = tree.nodes.size();
  std::vector<int32_t> depth(count, 0);
  int64_t deepest = 0, shared = 0, tasks = 0;
  for (size_t i = 0; i < count; ++i) {
    const TreeNode& node = tree.nodes[i];
    const int32_t parent = node.parentIndex;
    const bool hasParent = parent >= 0 && static_cast<size_t>(parent) < i;
    const bool chance = ChanceNode(tree, i);
    // A chance level adds a context for the dealt card.
    depth[i] = (hasParent ? depth[parent] : 0) + (chance ? 2 : 1);
    deepest = std::max<int64_t>(deepest, depth[i]);
    if (chance) {
      shared += 4;
      tasks += node.street == 2 ? 49 : 48;
    }
  }
  tree.passThreadRows = (deepest + 1) * (4 + std::max(tree.maxChildren, 1));
  tree.passSharedRows = shared;
  tree.passTasks = tasks;
  tree.passThreadBytes = CompressedSubtreeBytes(tree);
}

// The blocks a pass adds to the card records of the chance nodes: an update
// pass sums each player's reach into the records it reaches (arrays 0 and
// 1), an evaluation keeps each player's values and best-response values at
// every deal (arrays 2 to 5). A record keeps its blocks once made, so only
// those still missing count; the first iteration and the first check of a
// flop tree make tens of megabytes of them.
uint64_t CardRecordGrowthBytes(const SolverTree& tree, unsigned growth) {
  if (!growth || !tree.dealTable) return 0;
  const DealTable& table = *tree.dealTable;
  uint64_t bytes = 0;
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    const TreeNode& node = tree.nodes[i];
    if (!node.cardRecords || node.cardRecordCount <= 0 || !ChanceNode(tree, i)) continue;
    const bool riverDeal = node.street == 3;
    const int32_t records = riverDeal ? std::min<int32_t>(node.cardRecordCount, static_cast<int32_t>(table.turns.size()))
                                      : std::min<int32_t>(node.cardRecordCount, 1);
    for (int32_t r = 0; r < records; ++r) {
      const CardRecord& record = node.cardRecords[r];
      const uint64_t block = AlignedArrayAddressBytes(riverDeal ? table.turns[r].HandCount() : table.HandCount());
      for (int a = 0; a < 6; ++a) {
        const bool made = a < 2 ? (growth & kDealReachGrowth) && !record.reachFrozen : (growth & kDealValueGrowth);
        if (made && !record.arrays[a].data) bytes += block;
      }
    }
  }
  return bytes;
}
}  // namespace

namespace {
// What one row of the tree's longest hand list takes (AlignedArrayAddressBytes),
// the rows a pass keeps counted first.
uint64_t PassRowBytes(SolverTree& tree) {
  if (tree.passThreadRows < 0) CountPassRows(tree);
  const uint64_t hands = tree.dealTable ? tree.dealTable->HandCount() : kComboCount;
  return AlignedArrayAddressBytes(static_cast<uint32_t>(hands));
}
}  // namespace

uint64_t PassThreadBytes(SolverTree& tree) {
  const uint64_t row = PassRowBytes(tree);
  return static_cast<uint64_t>(tree.passThreadRows) * row + tree.passThreadBytes + kThreadAllocatorBytes;
}

uint64_t PassSharedBytes(SolverTree& tree, unsigned growth) {
  const uint64_t row = PassRowBytes(tree);
  return static_cast<uint64_t>(tree.passSharedRows) * row + static_cast<uint64_t>(tree.passTasks) * kTaskBytes +
         CardRecordGrowthBytes(tree, growth) + kPassSlackBytes;
}

uint64_t PassGrowthBytes(SolverTree& tree, unsigned growth) {
  return CardRecordGrowthBytes(tree, growth) + kPassSlackBytes;
}

int FitPassTeam(SolverTree& tree, int requested, unsigned growth) {
  const uint64_t perThread = PassThreadBytes(tree), shared = PassSharedBytes(tree, growth);
  const int team = TeamThatFits(requested, perThread, shared);
  if (team < 1) return 0;
  omp_set_num_threads(team);
  // The workers' scratch objects are made now, and take their share: the
  // pass's memory is checked again with the team standing.
  const uint64_t threads = static_cast<uint64_t>(RunsAlone(team) ? 1 : team);
  if (!MakeTeamReady() || !AddressSpaceHoldsPass(threads * perThread + shared)) return 0;
  return team;
}

void RequireAllStoragesReady(SolverTree& tree, unsigned growth) {
  if (!AllStoragesReady(tree) || FitPassTeam(tree, RequestedTeamSize(), growth) < 1)
    ThrowCommandError("out of memory");
}

void BuildTreeStorage(SolverTree& tree, TreeNode& node, bool force) {
  if (tree.forgottenStreet < 0) return;
  if (node.kind == kInnerNode && (!node.prepared || force)) {
    MakeNodeStorage(tree, node);
    if (node.firstStorage && node.firstStorage->Prepare()) {
      if (!node.secondStorage || node.secondStorage->Prepare()) node.prepared = 1;
    }
    // A node left unprepared makes the whole tree unprepared again.
    if (!node.prepared) tree.storagesPrepared = 0;
  }
  for (int32_t child : node.children) BuildTreeStorage(tree, tree.nodes[child], force);
}

std::vector<uint64_t> StorageSizeInfo() {
  std::vector<uint64_t> figures;
  if (!CurrentTree) return figures;
  figures.assign(CurrentTree->storedElements, CurrentTree->storedElements + 4);
  figures.insert(figures.end(), CurrentTree->storedArrays, CurrentTree->storedArrays + 4);
  return figures;
}
