#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "console_helpers.h"
#include "core/settings.h"
#include "game/line_tree.h"
#include "game/tree_state.h"
#include "storage/solver_tree.h"
#include "storage/storage_interface.h"

namespace {
class TreeBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunCommand(RangeLine("OOP", "1")), "set_range ok!\n");
    ASSERT_EQ(RunCommand(RangeLine("IP", "1")), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("set_isomorphism 1 0"), "set_isomorphism ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  }
  void TearDown() override { RunCommand("free_tree"); }
};

int CountKind(const SolverTree& tree, int kind) {
  int n = 0;
  for (const TreeNode& node : tree.nodes) n += node.kind == kind;
  return n;
}
}  // namespace

TEST_F(TreeBuild, FlopTreeNodesFollowTheLines) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 50 50 50 50 50 50"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  const SolverTree& tree = *CurrentTree;
  EXPECT_EQ(RootStreet, 1);
  EXPECT_EQ(EffectiveStack, 50);
  ASSERT_FALSE(tree.nodes.empty());
  const TreeNode& root = tree.nodes[0];
  EXPECT_EQ(root.parent, nullptr);
  ASSERT_EQ(root.children.size(), 2u);
  // Children keep the line order: the bet of 50 before the check.
  const TreeNode& bet = tree.nodes[root.children[0]];
  EXPECT_EQ(bet.player, 1);
  ASSERT_EQ(bet.children.size(), 2u);
  const TreeNode& fold = tree.nodes[bet.children[1]];
  EXPECT_EQ(fold.kind, kFoldNode);
  EXPECT_EQ(fold.street, 1);
  EXPECT_EQ(fold.player, bet.player);
  EXPECT_DOUBLE_EQ(fold.amount, 50.0);  // half the pot plus the folded line's amount (0)
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    const TreeNode& node = tree.nodes[i];
    if (node.parentIndex >= 0) {
      EXPECT_LT(node.parentIndex, static_cast<int>(i));
      EXPECT_EQ(node.parent, &tree.nodes[node.parentIndex]);
    }
    if (node.kind == kShowdownNode) {
      EXPECT_EQ(node.street, 3);
    }
    if (node.kind != kInnerNode) {
      EXPECT_TRUE(node.children.empty());
    }
    const bool turnStart = node.street == 2 && node.parent && node.parent->street < 2;
    const bool riverStart = node.street == 3 && node.parent && node.parent->street < 3;
    EXPECT_EQ(node.dealLocks != nullptr, turnStart) << "node " << i;
    const int records = node.kind != kInnerNode ? 0 : (turnStart ? 1 : (riverStart ? 49 : 0));
    EXPECT_EQ(node.cardRecordCount, records) << "node " << i;
  }
  EXPECT_EQ(CountKind(tree, kShowdownNode), 2);
  EXPECT_DOUBLE_EQ(tree.largestPayoff, 100.0);
  EXPECT_DOUBLE_EQ(tree.regretScale, 1.25);
  EXPECT_EQ(tree.flags, kIsomorphismOn | kNewTree);
  EXPECT_EQ(tree.maxChildren, 2);
  EXPECT_EQ(AveragingExponent, 1.5);
  EXPECT_EQ(StrategyWeightCap, 262143.0);
  // Layouts exist for every action count up to the largest.
  ASSERT_EQ(tree.layouts.size(), 3u);
  EXPECT_EQ(tree.layouts[2]->actionCount, 2u);
}

TEST_F(TreeBuild, RiverRootHasNoDealLocksAndNoAveragingCap) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c 9d"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  const SolverTree& tree = *CurrentTree;
  EXPECT_EQ(RootStreet, 3);
  for (const TreeNode& node : tree.nodes) EXPECT_EQ(node.dealLocks, nullptr);
  EXPECT_EQ(tree.nodes[0].cardRecordCount, 49);
  EXPECT_EQ(AveragingExponent, 4.0);
  EXPECT_EQ(StrategyWeightCap, std::numeric_limits<double>::max());
  EXPECT_EQ(tree.compression[0], 0);
  EXPECT_EQ(tree.rootTurnIndex, 0);
  EXPECT_EQ(tree.rootRiverIndex, 0);
  EXPECT_EQ(tree.flags & kIsomorphismOn, 0u);
}

TEST_F(TreeBuild, AFailedBuildLeavesTheStandingTree) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  const SolverTree* before = CurrentTree.get();
  const int32_t rootIndex = SchematicRoot->children.begin()->second->treeIndex;
  // A turn board makes the same lines run past the river.
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
  EXPECT_EQ(RunCommand("build_tree"), "ERROR: build_tree invalid line\n");
  EXPECT_EQ(CurrentTree.get(), before);
  EXPECT_EQ(RootStreet, 1);
  EXPECT_EQ(EffectiveStack, 0);
  EXPECT_EQ(SchematicRoot->children.begin()->second->treeIndex, rootIndex);
  EXPECT_EQ(RunCommand("is_tree_present"), "true\n");
}

TEST_F(TreeBuild, RangesWithoutACompatiblePairAreRefused) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand(RangeLine("IP", "0")), "set_range ok!\n");
  EXPECT_EQ(RunCommand("build_tree"), "ERROR: build_tree ranges have no compatible hands\n");
  EXPECT_EQ(CurrentTree, nullptr);
}

TEST_F(TreeBuild, TurnRootWithIsomorphismChecksRangeSymmetry) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("set_isomorphism 1 1"), "set_isomorphism ok!\n");
  std::string line = RangeLine("IP", "1");
  line.replace(line.size() - 1, 1, "0");  // AsAh differs from the other aces
  ASSERT_EQ(RunCommand(line), "set_range ok!\n");
  EXPECT_EQ(RunCommand("build_tree").rfind("ERROR: build_tree inconsistent range: IP P(", 0), 0u);
  ASSERT_EQ(RunCommand(RangeLine("IP", "1")), "set_range ok!\n");
  EXPECT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_EQ(CurrentTree->flags & kIsomorphismOn, kIsomorphismOn);
}

TEST_F(TreeBuild, ZeroPayoffsKeepTheRegretScaleFinite) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c 9d"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 0"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_TRUE(std::isfinite(CurrentTree->regretScale));
}

TEST_F(TreeBuild, PathsToLinesAddedAfterTheBuildAreRefused) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c 9d"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_EQ(RunCommand("show_node r::0:").substr(0, 13), "r::0:\nOOP_DEC");
  ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  // The fresh root is not the built root.
  EXPECT_EQ(RunCommand("show_node r:0"), "ERROR: show_node incorrect path\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  EXPECT_EQ(RunCommand("show_node r:0:c"), "ERROR: show_node incorrect path\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_EQ(RunCommand("show_node r:0:c").substr(0, 13), "r:0:c\nIP_DEC\n");
}

namespace {
// Records the boards opened and closed and with which write-back flag.
class RecordingStorage : public StorageInterface {
 public:
  explicit RecordingStorage(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
  bool Prepare() override { return true; }
  int32_t EntryCount(int, int) override { return 0; }
  void ReadRow(int, int, const float*, std::vector<AlignedArray>&) override {}
  void WriteRow(int, int, int, const AlignedArray&) override {}
  void UpdateRow(int, int, const AlignedArray&, const std::vector<AlignedArray>&, const AlignedArray*,
                 const std::vector<int16_t>*, double) override {}
  void AccumulateRow(int, int, const std::vector<AlignedArray>&, const AlignedArray&, double) override {}
  int64_t ElementCount(int turnIndex) override { return 10 + turnIndex; }
  void Save(BinaryWriter&) override {}
  void Load(BinaryReader&) override {}
  void* OpenBoard(void* handle, int turnIndex, int64_t) override {
    log_.push_back("open " + name_ + " " + std::to_string(turnIndex));
    return handle;
  }
  void* CloseBoard(void* handle, int turnIndex, int flag) override {
    log_.push_back("close " + name_ + " " + std::to_string(turnIndex) + (flag ? " write" : ""));
    return handle;
  }
  NodeRecord* GetNodeRecord(int, int) override { return &record_; }

 private:
  std::vector<std::string>& log_;
  std::string name_;
  NodeRecord record_;
};
}  // namespace

TEST_F(TreeBuild, SubtreeWalksOpenTheStoragesEachPassNeeds) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  SolverTree& tree = *CurrentTree;
  std::vector<std::string> log;
  // River nodes: the first river node (OOP) and the one after OOP's check (IP).
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    TreeNode& node = tree.nodes[i];
    if (node.kind != kInnerNode || node.street != 3) continue;
    node.DeleteStorages();
    node.firstStorage = new RecordingStorage(log, "regret" + std::to_string(node.player));
    node.secondStorage = new RecordingStorage(log, "sum" + std::to_string(node.player));
  }
  void* handles[2] = {nullptr, nullptr};
  const SubtreeContext context{&tree, &tree.nodes[0], 7};
  tree.passMode = 1;
  tree.traversingPlayer = 0;
  tree.averagingMode = 2;
  AcquireSubtreeStorages(context, handles, kFirstStorage, nullptr, false);
  AcquireSubtreeStorages(context, handles, kSecondStorage, nullptr, false);
  ReleaseSubtreeStorages(context, handles, kFirstStorage, false);
  ReleaseSubtreeStorages(context, handles, kSecondStorage, false);
  // An update pass for OOP writes back OOP's regrets and IP's strategy sums.
  EXPECT_EQ(log, (std::vector<std::string>{"open regret0 7", "open regret1 7", "open sum1 7", "close regret0 7 write",
                                           "close regret1 7", "close sum1 7 write"}));
  log.clear();
  tree.averagingMode = 1;  // averaging not started yet at iteration 0
  AcquireSubtreeStorages(context, handles, kSecondStorage, nullptr, false);
  EXPECT_TRUE(log.empty());
  AcquireSubtreeStorages(context, handles, kSecondStorage, nullptr, true);
  EXPECT_EQ(log.size(), 2u);
  int64_t totals[2] = {0, 0};
  SumSubtreeStorageSize(context, kFirstStorage, totals);
  EXPECT_EQ(totals[0], 17);
  EXPECT_EQ(totals[1], 17);
}
