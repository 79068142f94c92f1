#include "storage/storage_factory.h"

#include <cstring>

#include "console/memory_info.h"
#include "console/numbers.h"
#include "console/output.h"
#include "game/deal_table.h"
#include "game/solver_tree.h"
#include "game/tree_build.h"
#include "solver/engine_state.h"
#include "storage/river_storage.h"
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

void BuildNodeStorage(TreeNode& node, const DealTable& table, const StorageLayout* layout, uint64_t* storedElements,
                      bool averaging, int rootStreet, const int32_t* pair, bool version5) {
  if (node.kind != kInnerNode) return;
  node.DeleteStorages();
  const int actions = static_cast<int>(node.children.size());
  if (node.street == 1) {
    node.firstStorage = new StorageUnit(actions, static_cast<int>(table.HandCount()));
    if (averaging) node.secondStorage = new StorageUnit(actions, static_cast<int>(table.HandCount()));
  } else if (node.street == 2) {
    node.firstStorage = new TurnStorage(actions, table.turnHandCounts);
    if (averaging) node.secondStorage = new TurnStorage(actions, table.turnHandCounts);
  } else {
    // Compressed river storage comes with the storage streams; until then the
    // compressed levels keep the uncompressed river kinds.
    (void)pair;
    if (rootStreet == 3 || (rootStreet == 2 && version5))
      node.firstStorage = new RiverStorage(layout);
    else
      node.firstStorage = new ShortRiverStorage(layout);
    if (averaging) node.secondStorage = new RiverStorage(layout);
  }
  storedElements[node.street] += static_cast<uint64_t>(node.firstStorage->ElementCount(-1));
}

bool AllStoragesReady(SolverTree& tree) {
  if (tree.storagesPrepared) return true;
  for (TreeNode& node : tree.nodes) {
    if (!node.firstStorage || node.prepared) continue;
    if (!node.firstStorage->Prepare()) return false;
    if (node.secondStorage && !node.secondStorage->Prepare()) return false;
    node.prepared = 1;
  }
  tree.storagesPrepared = 1;
  return true;
}

void BuildTreeStorage(SolverTree& tree, TreeNode& node, bool force) {
  if (tree.forgottenStreet < 0) return;
  if (node.kind == kInnerNode && (!node.prepared || force)) {
    const size_t actions = node.children.size();
    BuildNodeStorage(node, *tree.dealTable, actions < tree.layouts.size() ? tree.layouts[actions].get() : nullptr,
                     tree.storedElements, tree.averagingMode != 0, tree.nodes[0].street, tree.compression,
                     tree.formatVersion >= 5);
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

void ApplyCompressionLevel(int level) {
  ActualCompression = level;
  int32_t first, second;
  CompressionPair(level, first, second);
  ResetSolver(first, second);
}

namespace {
// Whether the flop's cards lie in exactly three suits.
bool RainbowFlop(uint64_t flop) {
  int suits = 0;
  for (int s = 0; s < 4; ++s) suits += ((flop >> (13 * s)) & 0x1FFF) != 0;
  return suits == 3;
}
}  // namespace

void ChooseCompression() {
  if (!CurrentTree) return;
  if (CompressionSetting >= 0) {
    ApplyCompressionLevel(CompressionSetting);
    return;
  }
  ResetSolver(0, 0);
  const std::vector<uint64_t> figures = StorageSizeInfo();
  const uint64_t needed = figures[4 + 1] + figures[4 + 2] + figures[4 + 3];
  if (Verbosity > 0) Output("[uncompressed storage %lld MB]\n", static_cast<long long>(needed / 1024 / 1024));
  const uint64_t budget = static_cast<uint64_t>(static_cast<double>(AvailablePhysicalMemory()) * 0.85);
  int level = 0;
  if (needed >= budget) {
    const double s = static_cast<double>(needed), b = static_cast<double>(budget);
    if (b > s * 0.58)
      level = 1;
    else if (RainbowFlop(CurrentTree->flopMask))
      level = b > s * 0.39 * 0.8 ? 2 : (b > s * 0.29 * 0.8 ? 3 : 4);
    else
      level = b > s * 0.39 ? 2 : (b > s * 0.29 ? 3 : 4);
  }
  Output("#auto compression level %d\n", level);
  ApplyCompressionLevel(level);
}

void CmdSetCompression(const std::vector<std::string>& words) {
  if (IsSolverRunning()) ThrowCommandError("Can't do that when solver is running");
  static const char* const kWords[6] = {"auto", "none", "low", "medium", "high", "max"};
  int level = -2;
  for (int i = 0; i < 6; ++i)
    if (words[1] == kWords[i]) level = i - 1;
  if (level == -2) {
    level = ParseInt(words[1]);
    if (level < 0) level = -1;
    if (level > 4) level = 4;
  }
  CompressionSetting = level;
  if (CurrentTree) ChooseCompression();
  ReplyOk(words);
}

void CmdGetActualCompression(const std::vector<std::string>&) { Output("compression %d\n", ActualCompression); }
