// Solving with compressed river storage: every compression level solves a
// small flop tree to the exploitability of the uncompressed one, the river
// strategies stay distributions, boards whose runouts leave a player no hand
// solve, and repeated solves leave no memory behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "console_helpers.h"
#include "core/parallel.h"
#include "solver/engine_state.h"
#include "solver/node_eval.h"
#include "solver/solver_thread.h"
#include "solver/tree_passes.h"
#include "storage/compressed_river_storage.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"

namespace {

// A range of every hand whose hand-order position is a multiple of `step`.
std::string SparseRange(const std::string& player, int step) {
  std::string line = "set_range " + player;
  for (int i = 0; i < 1326; ++i) line += i % step == 0 ? " 1" : " 0";
  return line;
}

// A range of the hands that hold `card` (as the hand order prints it).
std::string RangeHolding(const std::string& player, const std::string& card) {
  std::string line = "set_range " + player;
  std::string order = RunCommand("show_hand_order");
  size_t pos = 0;
  int count = 0;
  while (count < 1326) {
    const size_t end = order.find_first_of(" \n", pos);
    const std::string hand = order.substr(pos, end - pos);
    pos = end + 1;
    if (hand.size() != 4) continue;
    line += hand.find(card) != std::string::npos ? " 1" : " 0";
    ++count;
  }
  return line;
}

long ResidentKb() {
  long pages = 0, resident = 0;
  if (FILE* f = fopen("/proc/self/statm", "r")) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class CompressedSolve : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunCommand("set_isomorphism 0 0"), "set_isomorphism ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
    CurrentIteration = 0;
  }
  void TearDown() override {
    RunCommand("free_tree");
    RunCommand("set_compression auto");
    omp_set_num_threads(omp_get_num_procs());
  }

  void BuildFlopTree(const std::string& oop, const std::string& ip, int level) {
    ASSERT_EQ(RunCommand("set_compression " + std::to_string(level)), "set_compression ok!\n");
    ASSERT_EQ(RunCommand(oop), "set_range ok!\n");
    ASSERT_EQ(RunCommand(ip), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_board Ks 9d 4c"), "set_board ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("add_line 0 0 0 0 50 50"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("add_line 50 50 50 50 100 100"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
    ASSERT_EQ(RunCommand("get_actual_compression"), "compression " + std::to_string(level) + "\n");
  }

  // Runs `go STEPS steps` on the solver thread and waits; what it printed.
  static std::string Go(int steps) {
    std::string text = RunCommandCapturingStdout("go " + std::to_string(steps) + " steps");
    text += RunCommandCapturingStdout("wait_for_solver");
    return text;
  }

  static double Exploitability() {
    ConvergenceRecord record;
    CalcResults(record);
    return record.exploitability;
  }

  // Every river node's average strategy, over every runout of a few turn
  // cards, is a distribution for every hand.
  static void ExpectRiverStrategiesSumToOne() {
    SolverTree& tree = *CurrentTree;
    tree.passMode = 0;
    int checked = 0;
    for (int turn = 0; turn < static_cast<int>(tree.dealTable->turns.size()); turn += 7) {
      const SubtreeContext context{&tree, &tree.nodes[0], turn};
      void* firsts[2];
      void* seconds[2];
      AcquireSubtreeStorages(context, firsts, kFirstStorage, nullptr, true);
      AcquireSubtreeStorages(context, seconds, kSecondStorage, nullptr, true);
      const int rivers = static_cast<int>(tree.dealTable->turns[turn].rivers.size());
      for (TreeNode& node : tree.nodes) {
        if (node.kind != kInnerNode || node.street != 3) continue;
        for (int river = 0; river < rivers; ++river) {
          std::vector<AlignedArray> strategy;
          ReadNodeStrategy(node, turn, river, strategy);
          for (uint32_t h = 0; h < strategy[0].count; ++h) {
            double sum = 0.0;
            for (const AlignedArray& row : strategy) sum += row.data[h];
            ASSERT_NEAR(sum, 1.0, 1e-5) << "turn " << turn << " river " << river << " hand " << h;
            ++checked;
          }
          ReleaseRows(strategy);
        }
      }
      ReleaseSubtreeStorages(context, firsts, kFirstStorage, false);
      ReleaseSubtreeStorages(context, seconds, kSecondStorage, false);
    }
    EXPECT_GT(checked, 0);
  }
};

}  // namespace

// Levels 1-4 against a solve of level 0 (the first of the list); two tests,
// so that they run side by side.
class CompressedLevels : public CompressedSolve {
 protected:
  void SolveLikeTheUncompressedStorage(std::initializer_list<int> levels) {
    omp_set_num_threads(4);
    double uncompressed = 0.0;
    for (int level : levels) {
      SCOPED_TRACE(testing::Message() << "level " << level);
      RunCommand("free_tree");
      RunCommand("clear_lines");
      BuildFlopTree(SparseRange("OOP", 9), SparseRange("IP", 11), level);
      const std::string printed = Go(100);
      EXPECT_NE(printed.find("SOLVER: stopped (required number of steps done)"), std::string::npos) << printed;
      EXPECT_EQ(printed.find("fail"), std::string::npos) << printed;
      EXPECT_EQ(CurrentTree->iterationCount, 100);
      // River nodes hold compressed storage at levels 1-4, in the pair's kinds.
      int32_t first = 0, second = 0;
      CompressionPair(level, first, second);
      for (const TreeNode& node : CurrentTree->nodes) {
        if (node.kind != kInnerNode || node.street != 3) continue;
        auto* regrets = dynamic_cast<CompressedRiverStorage*>(node.firstStorage);
        auto* sums = dynamic_cast<CompressedRiverStorage*>(node.secondStorage);
        EXPECT_EQ(regrets ? regrets->Level() : 0, first);
        EXPECT_EQ(sums ? sums->Level() : 0, second);
      }
      ExpectRiverStrategiesSumToOne();
      const double exploitability = Exploitability();
      if (level == 0) {
        uncompressed = exploitability;
        EXPECT_GT(uncompressed, 0.0);
      } else {
        // 100 chips in the pot: the levels agree to a fraction of a percent.
        EXPECT_NEAR(exploitability, uncompressed, std::max(0.15, 0.25 * uncompressed));
      }
    }
  }
};

TEST_F(CompressedLevels, LowLevelsSolveLikeTheUncompressedStorage) { SolveLikeTheUncompressedStorage({0, 1, 2}); }

TEST_F(CompressedLevels, HighLevelsSolveLikeTheUncompressedStorage) { SolveLikeTheUncompressedStorage({0, 3, 4}); }

TEST_F(CompressedSolve, RunoutsThatLeaveAPlayerNoHandSolve) {
  // Every OOP hand holds the ace of hearts and every IP hand the queen of
  // spades: the boards those cards fall on have rows of no hands.
  omp_set_num_threads(4);
  for (int level = 2; level <= 4; ++level) {
    SCOPED_TRACE(testing::Message() << "level " << level);
    RunCommand("free_tree");
    RunCommand("clear_lines");
    BuildFlopTree(RangeHolding("OOP", "Ah"), RangeHolding("IP", "Qs"), level);
    const std::string printed = Go(30);
    EXPECT_NE(printed.find("SOLVER: stopped"), std::string::npos) << printed;
    EXPECT_TRUE(std::isfinite(Exploitability()));
    ExpectRiverStrategiesSumToOne();
  }
}

TEST_F(CompressedSolve, RepeatedSolvesKeepTheResidentMemoryFlat) {
  omp_set_num_threads(4);
  BuildFlopTree(SparseRange("OOP", 5), SparseRange("IP", 6), 4);
  // Warm up: the storages' streams and the allocator's caches fill first.
  for (int i = 0; i < 5; ++i) Go(5);
  // Each solve runs on a new solver thread with a new worker team; the lane
  // blocks of the teams that ended must go back to the heap. Two rounds of
  // ten solves: the second must not grow as a leak would (about 4 MB a solve
  // here, 42 MB a round), whatever the first left in the allocator's caches;
  // the bound leaves room for the allocator's noise on a loaded machine.
  long resident[3] = {ResidentKb(), 0, 0};
  for (int round = 1; round <= 2; ++round) {
    for (int i = 0; i < 10; ++i) Go(5);
    resident[round] = ResidentKb();
  }
  EXPECT_LT(resident[2] - resident[1], 16 * 1024)
      << resident[0] << " KB, " << resident[1] << " KB, " << resident[2] << " KB";
}
