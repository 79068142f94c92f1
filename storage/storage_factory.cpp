#include "storage/storage_factory.h"

#include <algorithm>
#include <cstring>

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

void RequireAllStoragesReady(SolverTree& tree) {
  if (!AllStoragesReady(tree) || !MakeTeamReady()) ThrowCommandError("out of memory");
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
