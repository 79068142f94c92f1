#include <gtest/gtest.h>

#include "console_helpers.h"
#include "storage/river_storage.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_unit.h"

namespace {
class StorageFactory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunCommand(RangeLine("OOP", "1")), "set_range ok!\n");
    ASSERT_EQ(RunCommand(RangeLine("IP", "1")), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("set_isomorphism 1 0"), "set_isomorphism ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
    ASSERT_EQ(RunCommand("set_compression none"), "set_compression ok!\n");
  }
  void TearDown() override {
    RunCommand("free_tree");
    RunCommand("set_compression auto");
  }
  // The first inner node of a street.
  static TreeNode& FirstInner(int street) {
    for (TreeNode& node : CurrentTree->nodes)
      if (node.kind == kInnerNode && node.street == street) return node;
    throw std::runtime_error("no node on street " + std::to_string(street));
  }
};

template <typename T>
bool Is(const StorageInterface* storage) {
  return dynamic_cast<const T*>(storage) != nullptr;
}
}  // namespace

TEST_F(StorageFactory, KindsFollowStreetAndRootStreet) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_TRUE(Is<StorageUnit>(FirstInner(1).firstStorage));
  EXPECT_TRUE(Is<StorageUnit>(FirstInner(1).secondStorage));
  EXPECT_TRUE(Is<TurnStorage>(FirstInner(2).firstStorage));
  EXPECT_TRUE(Is<TurnStorage>(FirstInner(2).secondStorage));
  // Flop-rooted river regrets are 16-bit counts; the sums stay floats.
  EXPECT_TRUE(Is<ShortRiverStorage>(FirstInner(3).firstStorage));
  EXPECT_TRUE(Is<RiverStorage>(FirstInner(3).secondStorage));
  for (const TreeNode& node : CurrentTree->nodes) {
    if (node.kind != kInnerNode) {
      EXPECT_EQ(node.firstStorage, nullptr);
    }
  }
  // The river figure counts the river regrets; flop and turn report 0 before Prepare.
  const std::vector<uint64_t> figures = StorageSizeInfo();
  ASSERT_EQ(figures.size(), 8u);
  EXPECT_EQ(figures[1], 0u);
  EXPECT_EQ(figures[3], static_cast<uint64_t>(FirstInner(3).firstStorage->ElementCount(-1)) * 2);
  EXPECT_EQ(figures[4 + 3], figures[3] * 6);

  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_TRUE(Is<TurnStorage>(FirstInner(2).firstStorage));
  EXPECT_TRUE(Is<RiverStorage>(FirstInner(3).firstStorage));

  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c 9d"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_TRUE(Is<RiverStorage>(FirstInner(3).firstStorage));
  EXPECT_TRUE(Is<RiverStorage>(FirstInner(3).secondStorage));
}

TEST_F(StorageFactory, WithoutAveragingNoSumStorageIsMade) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  SolverTree& tree = *CurrentTree;
  for (int street = 1; street <= 3; ++street) {
    TreeNode& node = FirstInner(street);
    const int32_t pair[2] = {0, 0};
    BuildNodeStorage(node, *tree.dealTable, tree.layouts[node.children.size()].get(), tree.storedElements, false, 1,
                     pair, true);
    EXPECT_NE(node.firstStorage, nullptr);
    EXPECT_EQ(node.secondStorage, nullptr);
  }
}

TEST_F(StorageFactory, CompressionCommands) {
  EXPECT_EQ(RunCommand("set_compression 7"), "set_compression ok!\n");
  EXPECT_EQ(CompressionSetting, 4);
  EXPECT_EQ(RunCommand("oxa_set_compression -3"), "oxa_set_compression ok!\n");
  EXPECT_EQ(CompressionSetting, -1);
  EXPECT_EQ(RunCommand("set_compression medium"), "set_compression ok!\n");
  EXPECT_EQ(CompressionSetting, 2);
  EXPECT_EQ(RunCommand("set_compression Medium"), "Invalid value\n");
  EXPECT_EQ(CompressionSetting, 2);

  // Only flop-rooted trees keep a compression pair; every tree reports the level.
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_EQ(RunCommand("get_actual_compression"), "compression 2\n");
  EXPECT_EQ(CurrentTree->compression[0], 0);
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_EQ(CurrentTree->compression[0], 1);
  EXPECT_EQ(CurrentTree->compression[1], 1);
  EXPECT_EQ(RunCommand("oxa_get_actual_compression"), "compression 2\n");
  // Changing the level re-creates the storages and starts the solve over.
  CurrentTree->iterationCount = 5;
  EXPECT_EQ(RunCommand("set_compression max"), "set_compression ok!\n");
  EXPECT_EQ(RunCommand("get_actual_compression"), "compression 4\n");
  EXPECT_EQ(CurrentTree->iterationCount, 0);
  EXPECT_EQ(RiverWarmStartIterations, 30);
}

TEST_F(StorageFactory, ShowNodeReportsLockFlags) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c 9d"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  const std::string unlocked = RunCommand("show_node r:0");
  EXPECT_NE(unlocked.find("flags: \nEND"), std::string::npos) << unlocked;
  NodeRecord* record = CurrentTree->nodes[0].firstStorage->GetNodeRecord(0, 0);
  record->flags |= kNodeLocked;
  EXPECT_NE(RunCommand("show_node r:0").find("flags: LOCKED\nEND"), std::string::npos);
  const uint8_t mask[3] = {1, 0, 1};
  record->SetMask(mask, 3);
  EXPECT_NE(RunCommand("show_node r:0").find("flags: LOCKED COMBO_LOCKED\nEND"), std::string::npos);
  record->flags &= ~kNodeLocked;
  EXPECT_NE(RunCommand("show_node r:0").find("flags: COMBO_LOCKED\nEND"), std::string::npos);
}

TEST_F(StorageFactory, PreparingSetsEveryReadyMark) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  SolverTree& tree = *CurrentTree;
  ASSERT_TRUE(AllStoragesReady(tree));
  EXPECT_TRUE(tree.storagesPrepared);
  for (const TreeNode& node : tree.nodes) EXPECT_EQ(node.prepared, node.firstStorage ? 1 : 0);
  // Re-creating a node's storages clears its mark, and the tree's with it.
  TreeNode& node = FirstInner(3);
  BuildNodeStorage(node, *tree.dealTable, tree.layouts[node.children.size()].get(), tree.storedElements, true, 2,
                   tree.compression, true);
  EXPECT_EQ(node.prepared, 0);
}
