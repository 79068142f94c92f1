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
#include "storage/packed_rows.h"
#include "storage/river_storage.h"
#include "storage/solver_tree.h"
#include "storage/storage_stream.h"
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
// What the allocators map for a pass besides its rows: the first thread's
// heap of the block allocator, the C allocator's small blocks, task lists
// and report rows, and a region of the block allocator's (it maps its
// regions 4 MB at a time, so blocks that fit what is counted can still find
// it mapping a whole region). Each other thread's own heap and small blocks
// come out of the same regions: measured, a worker of the benchmark flop
// spot's uncompressed solve maps no more than its stack and its rows.
constexpr uint64_t kAllocatorBytes = uint64_t{4} << 20;
constexpr uint64_t kPassSlackBytes = uint64_t{2} << 20;
// A queued sub-game task and its share of the list.
constexpr uint64_t kTaskBytes = 256;
// An entropy coder of a storage stream: a block per channel and a block of
// scratch.
constexpr uint64_t kCoderBytes = static_cast<uint64_t>(kCodecChannels + 2) * kFseChannelBlock;
// What the streams of compressed river storages are counted to hold once
// written: per element, the bytes of its coded form (the content), and per
// stream the part of a granule and of the rows' reservations a buffer holds
// beyond that.
// The regret rows (16-bit counts) of a node of one action stay 0 (its
// action's value is the node's): packed, they take their zero rows' bytes;
// entropy-coded, next to nothing. Those of nodes of two or more actions, by
// the first check (iteration 25), at the largest size each stream reached,
// as measured on 100 flop trees of 3 to 121 lines with full, realistic,
// random and sparse ranges and bets of 20 % of the pot to all-ins of ten
// times it: packed 0.80 to 1.18 bytes per element (half of the trees under
// 0.98; the benchmark flop spot 0.92, its 24-line cut 0.93; the most on
// trips boards with full ranges and on small trees whose rivers are reached
// by checks with whole ranges), entropy-coded 0.03 to 0.18. A stream reaches
// nearly all its size within ten iterations. With the heap's holes counted
// below, the count covers packed rows up to about 1.1 bytes each; a tree
// whose regrets take more than counted is stopped for want of memory by the
// check before an iteration or before the first check, and counting more
// would refuse `go` on the benchmark flop spot under 1.1 times what its
// solve maps uncapped.
constexpr double kPackedRegretBytesPerElement = 1.0;
constexpr double kCodedRegretBytesPerElement = 0.18;
constexpr double kCodedZeroRowBytes = 1.0;
// The strategy sums (32-bit) at their first write, when averaging starts
// (kAveragingStartIteration), measured the same way: packed 0.10 to 0.34
// bytes per element besides the streams' slack, entropy-coded next to
// nothing (their streams take a granule each).
constexpr double kPackedSumBytesPerElement = 0.3;
constexpr double kCodedSumBytesPerElement = 0.02;

// The bytes a storage's streams are counted to hold once written, less the
// per-stream slack (StreamSlackBytes). `zeroRows` are the bytes of its rows
// packed as zeros, `rows` their number.
double StreamContentBytes(CompressedRiverStorage& storage, size_t actions, double zeroRows, double rows) {
  const bool coded = storage.Level() >= 2;
  if (storage.SixteenBit() && actions == 1) return coded ? rows * kCodedZeroRowBytes : zeroRows;
  const double perElement = storage.SixteenBit() ? (coded ? kCodedRegretBytesPerElement : kPackedRegretBytesPerElement)
                                                 : (coded ? kCodedSumBytesPerElement : kPackedSumBytesPerElement);
  return static_cast<double>(storage.ElementCount(-1)) * perElement;
}

// What a stream's buffer holds beyond its content: an entropy-coded block is
// joined into whole granules (at most one more than it fills, and one for a
// block of no rows); a packed buffer grows in granules to what its rows
// reserve, each row its packer's worst case before it is packed (about half
// a granule more on average, and up to twice a row's worst case).
uint64_t StreamSlackBytes(const CompressedRiverStorage& storage, uint32_t rowHands) {
  if (storage.Level() >= 2) return kCodedStreamGranule;
  const int n = static_cast<int>(rowHands);
  const int64_t row = storage.SixteenBit() ? MaxPackedU16Bytes(n) : MaxPackedI32Bytes(n);
  return static_cast<uint64_t>(kPackedStreamGranule / 2 + 2 * row);
}

// What the C allocator's heap holds for a stream's buffer: the buffer, and
// the holes that buffers left as they grew (a buffer grows by moving to a
// larger block, and the block it leaves is reused only by smaller ones).
// Measured at the first check on trees whose streams take 30 MB or more: free
// space in the heap of 7 to 19 % of the packed streams' capacity, 16 to 36 %
// of the entropy-coded ones' (their granules are smaller).
constexpr double kPackedStreamHeapFactor = 1.2;
constexpr double kCodedStreamHeapFactor = 1.35;
double StreamHeapFactor(const CompressedRiverStorage& storage) {
  return storage.Level() >= 2 ? kCodedStreamHeapFactor : kPackedStreamHeapFactor;
}

// Counts once per tree what the compressed river storages take beyond their
// streams' blocks, and what those blocks grow to. A thread decodes the boards
// of one river sub-tree at a time: each node's rows for the board, in a
// block of the scalable allocator per storage; the largest sub-tree's blocks
// count for each thread. Where streams are entropy-coded, a thread reading or
// writing a sub-tree's boards holds a coder for each player's stream, and
// keeps lane blocks the coded streams are collected in. On average the C
// allocator's heap grows by 1.4 to 1.7 MB for each worker (measured at
// levels 3 and 4 with 1 to 8 threads), about a coder and its lane blocks;
// but the threads' sub-trees can meet in their reads and writes, each then
// holding its two coders at once: a small level-4 tree solved by a team of
// two to four under a cap that held one coder a thread ended the process
// with "out of memory" in its first iteration, now and then. So two coders
// count for each thread.
// Each river sub-tree has a stream for each board (turn card) and player,
// of the regrets and of the strategy sums, that the first node of the
// player in the sub-tree owns; it holds the rows of all the player's nodes
// there. The regret streams are written from the first iteration and count
// up to the first check; the sum streams are first written when averaging
// starts.
void CountCompressedBytes(SolverTree& tree) {
  tree.passThreadBytes = tree.streamAllowanceBytes = tree.sumStreamAllowanceBytes = 0;
  if (tree.compression[0] == 0 && tree.compression[1] == 0) return;
  // Each layout's largest board, its rows packed as zeros and their number,
  // and the longest row, counted once (nodes of an action count share their
  // layout).
  std::vector<uint64_t> boardElements(tree.layouts.size(), 0);
  std::vector<double> zeroRows(tree.layouts.size(), 0.0), rows(tree.layouts.size(), 0.0);
  uint32_t rowHands = 0;
  for (size_t k = 0; k < tree.layouts.size(); ++k) {
    const StorageLayout* layout = tree.layouts[k].get();
    if (!layout || !layout->turnSpans) continue;
    for (uint32_t t = 0; t < layout->turnCount; ++t)
      boardElements[k] = std::max<uint64_t>(boardElements[k], layout->turnSpans[t].count);
    for (uint32_t e = 0; e < layout->entryTotal; ++e) {
      rowHands = std::max(rowHands, layout->entries[e].count);
      zeroRows[k] += static_cast<double>(k * PackedZeroU16Bytes(static_cast<int>(layout->entries[e].count)));
    }
    rows[k] = static_cast<double>(k) * layout->entryTotal;
  }
  const size_t count = tree.nodes.size();
  std::vector<int32_t> root(count, -1);
  std::vector<uint64_t> sums(count, 0);
  // Per sub-tree: whether each player's regret (bit p) and sum (bit 2 + p)
  // streams are counted yet.
  std::vector<uint8_t> owners(count, 0);
  uint64_t largest = 0;
  double regretStreams = 0.0, sumStreams = 0.0;
  bool coded = false;
  for (size_t i = 0; i < count; ++i) {
    const TreeNode& node = tree.nodes[i];
    if (node.kind != kInnerNode || node.street != 3) continue;
    const int32_t parent = node.parentIndex;
    const bool below = parent >= 0 && static_cast<size_t>(parent) < i && tree.nodes[parent].street == 3;
    root[i] = below && root[parent] >= 0 ? root[parent] : static_cast<int32_t>(i);
    const size_t actions = node.children.size();
    const uint64_t board = actions < boardElements.size() ? boardElements[actions] : 0;
    const StorageLayout* layout = NodeLayout(tree, node);
    const uint32_t boards = layout ? layout->turnCount : 0;
    for (StorageInterface* storage : {node.firstStorage, node.secondStorage}) {
      auto* compressed = dynamic_cast<CompressedRiverStorage*>(storage);
      if (!compressed) continue;
      sums[root[i]] += BlockAddressBytes(board * (compressed->SixteenBit() ? 2 : 4));
      coded = coded || compressed->Level() >= 2;
      double bytes = StreamContentBytes(*compressed, actions, actions < zeroRows.size() ? zeroRows[actions] : 0.0,
                                        actions < rows.size() ? rows[actions] : 0.0);
      const uint8_t owner = static_cast<uint8_t>(1u << ((compressed->SixteenBit() ? 0 : 2) + (node.player & 1)));
      if (!(owners[root[i]] & owner)) {
        owners[root[i]] |= owner;
        bytes += static_cast<double>(boards) * static_cast<double>(StreamSlackBytes(*compressed, rowHands));
      }
      (compressed->SixteenBit() ? regretStreams : sumStreams) += bytes * StreamHeapFactor(*compressed);
    }
    largest = std::max(largest, sums[root[i]]);
  }
  tree.passThreadBytes = largest + (coded ? 2 * kCoderBytes : 0);
  tree.streamAllowanceBytes = static_cast<uint64_t>(regretStreams);
  tree.sumStreamAllowanceBytes = static_cast<uint64_t>(sumStreams);
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
  CountCompressedBytes(tree);
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
  return static_cast<uint64_t>(tree.passThreadRows) * row + tree.passThreadBytes;
}

uint64_t PassSharedBytes(SolverTree& tree, unsigned growth) {
  const uint64_t row = PassRowBytes(tree);
  return static_cast<uint64_t>(tree.passSharedRows) * row + static_cast<uint64_t>(tree.passTasks) * kTaskBytes +
         kAllocatorBytes + PassGrowthBytes(tree, growth);
}

uint64_t PassGrowthBytes(SolverTree& tree, unsigned growth) {
  if (tree.passThreadRows < 0) CountPassRows(tree);
  uint64_t streams = 0;
  if (growth & kStreamGrowth) {
    // Up to the first check, what the regret streams may still grow to;
    // the sum streams' first write in the iteration that starts averaging;
    // and never less than the last iteration made them grow.
    const uint64_t held = static_cast<uint64_t>(std::max<int64_t>(StorageStreamBytes(), 0));
    // (A tree that averages from the start writes both from the first
    // iteration.)
    const bool sumsFromStart = tree.averagingMode == 2;
    const uint64_t allowance = tree.streamAllowanceBytes + (sumsFromStart ? tree.sumStreamAllowanceBytes : 0);
    // What the streams hold counts with the heap's holes beside it (at the
    // smaller of the two factors: what is left to grow counts the more).
    const uint64_t heldInHeap = static_cast<uint64_t>(static_cast<double>(held) * kPackedStreamHeapFactor);
    if (tree.iterationCount < kFirstCheckIteration && allowance > heldInHeap) streams = allowance - heldInHeap;
    if (tree.averagingMode == 1 && tree.iterationCount == kAveragingStartIteration)
      streams += tree.sumStreamAllowanceBytes;
    streams = std::max(streams, tree.lastStreamGrowth);
  }
  return CardRecordGrowthBytes(tree, growth) + streams + kPassSlackBytes;
}

int FitPassTeam(SolverTree& tree, int requested, unsigned growth, int standing) {
  const uint64_t perThread = PassThreadBytes(tree), shared = PassSharedBytes(tree, growth);
  int team = TeamThatFits(requested, perThread, shared);
  if (team < 1) return 0;
  if (team <= standing) return team;
  omp_set_num_threads(team);
  if (!MakeTeamReady()) return 0;
  // The workers' scratch objects are made now, and take their share: the
  // pass's memory is checked again with the team standing. Where the
  // workers took more than their stacks, the pass runs with fewer of them.
  auto holds = [&](int size) {
    return AddressSpaceHoldsPass(static_cast<uint64_t>(RunsAlone(size) ? 1 : size) * perThread + shared);
  };
  while (team >= 1 && !holds(team)) --team;
  if (team < 1) return 0;
  omp_set_num_threads(team);
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
