#include <gtest/gtest.h>


#include "console_helpers.h"
#include "core/hand_order.h"
#include "core/parallel.h"
#include "core/settings.h"
#include "solver/engine_state.h"

TEST(SetRange, WeightsArriveInComboOrderAndSmallOnesBecomeZero) {
  std::string line = "set_range IP";
  for (int k = 0; k < 1326; ++k) line += " " + std::to_string(k == 0 ? 0.5 : (k == 1 ? -2.0 : 0.000001));
  EXPECT_EQ(RunCommand(line), "set_range ok!\n");
  ASSERT_EQ(RangeVectors[1].size(), 1326u);
  EXPECT_EQ(RangeVectors[1][78], 0.5);     // 2d2c, first in hand order
  EXPECT_EQ(RangeVectors[1][ComboIndexByOrder[1]], 0.0);  // negative weight
  EXPECT_EQ(RangeVectors[1][ComboIndexByOrder[2]], 0.0);  // below 1e-5
}

TEST(SetRange, RefusalsLeaveTheRangeUnchanged) {
  ASSERT_EQ(RunCommand(RangeLine("OOP", "1")), "set_range ok!\n");
  EXPECT_EQ(RunCommand(RangeLine("oop", "0.5")), "ERROR: set_range incorrect player name\n");
  std::string bad = RangeLine("OOP", "0.5");
  bad.replace(bad.size() - 3, 3, "abc");
  EXPECT_EQ(RunCommand(bad), "Invalid value\n");
  EXPECT_EQ(RunCommand(RangeLine("hero", "nan")), "Invalid value\n");
  for (double w : RangeVectors[0]) ASSERT_EQ(w, 1.0);
  EXPECT_EQ(RunCommand(RangeLine("hero", "0.25")), "set_range ok!\n");
  EXPECT_EQ(RangeVectors[0][1000], 0.25);
}

TEST(SetBoard, AcceptedForms) {
  EXPECT_EQ(RunCommand("set_board Ah Kd 2c"), "set_board ok!\n");
  EXPECT_EQ(BoardMasks[0], ParseCards("Ah Kd 2c"));
  EXPECT_EQ(RunCommand("set_board ah kd 2c 9s 3h"), "set_board ok!\n");
  EXPECT_EQ(BoardMasks[1], ParseCards("9s"));
  EXPECT_EQ(BoardMasks[2], ParseCards("3h"));
  EXPECT_EQ(RunCommand("set_board Qs Jh 2h"), "set_board ok!\n");
  EXPECT_EQ(BoardMasks[1], 0u);
  EXPECT_EQ(BoardMasks[2], 0u);
  // The flop is the union of the first three words, which may repeat each
  // other's cards.
  EXPECT_EQ(RunCommand("set_board AhKd2c Ah Kd 5c"), "set_board ok!\n");
  EXPECT_EQ(BoardMasks[0], ParseCards("Ah Kd 2c"));
  EXPECT_EQ(BoardMasks[1], ParseCards("5c"));
  EXPECT_EQ(RunCommand("set_board AhKd2c Ah Kd"), "set_board ok!\n");
  EXPECT_EQ(BoardMasks[0], ParseCards("Ah Kd 2c"));
  EXPECT_EQ(BoardMasks[1], 0u);
}

TEST(SetBoard, RefusedBoardsKeepTheOldOne) {
  ASSERT_EQ(RunCommand("set_board Qs Jh 2h 5c"), "set_board ok!\n");
  const CardMask flop = BoardMasks[0], turn = BoardMasks[1];
  EXPECT_EQ(RunCommand("set_board Ah Kd 2c Ah"), "ERROR: set_board duplicate cards\n");
  EXPECT_EQ(RunCommand("set_board Ah Kd 2c Qs Qs"), "ERROR: set_board duplicate cards\n");
  EXPECT_EQ(RunCommand("set_board Ah Kd 2c QsJs"), "ERROR: set_board incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("set_board AhKd2c Ah Kd Kd"), "ERROR: set_board duplicate cards\n");
  // A flop of other than three cards.
  EXPECT_EQ(RunCommand("set_board Ah Ah Kd"), "ERROR: set_board incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("set_board AhKd 2c 5c"), "ERROR: set_board incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("set_board Ah Kd Xc"), "ERROR: invalid card\n");
  EXPECT_EQ(RunCommand("set_board Ah Kd 2c 3c 4c 5c"), "ERROR: set_board incorrect or missing argument\n");
  EXPECT_EQ(BoardMasks[0], flop);
  EXPECT_EQ(BoardMasks[1], turn);
}

TEST(Accuracy, FractionFollowsThePot) {
  ASSERT_EQ(RunCommand("set_pot 0 0 250"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("set_accuracy 0.01 fraction"), "set_accuracy ok!\n");
  EXPECT_DOUBLE_EQ(TargetExploitability, 2.5);
  ASSERT_EQ(RunCommand("set_pot 0 0 500"), "set_pot ok!\n");
  EXPECT_DOUBLE_EQ(TargetExploitability, 5.0);
  ASSERT_EQ(RunCommand("set_accuracy 3 chips"), "set_accuracy ok!\n");
  EXPECT_DOUBLE_EQ(TargetExploitability, 3.0);
  EXPECT_EQ(RunCommand("set_accuracy -1"), "ERROR: set_accuracy incorrect or missing argument\n");
  EXPECT_DOUBLE_EQ(TargetExploitability, 3.0);
  // set_pot parses every word before storing.
  EXPECT_EQ(RunCommand("set_pot 1 2 x"), "Invalid value\n");
  EXPECT_EQ(PotSettings[2], 500.0);
  EXPECT_EQ(RunCommand("set_pot 0 0 100.5"), "set_pot ok!\n");
  EXPECT_EQ(PotSettings[2], 100.0);
  EXPECT_EQ(RunCommand("set_recalc_accuracy 0.1 0.2 0.3"), "set_recalc_accuracy ok!\n");
  EXPECT_DOUBLE_EQ(RecalcAccuracy[2], 30.0);
}

TEST(EngineSettings, ThreadsRakeSchedulerIsomorphism) {
  EXPECT_EQ(RunCommand("set_threads 3"), "set_threads ok!\n");
  EXPECT_EQ(GetThreadCount(), 3);
#ifdef _OPENMP
  // The console thread's own regions (tree building, results) take the count too.
  EXPECT_EQ(omp_get_max_threads(), 3);
#endif
  EXPECT_EQ(RunCommand("oxa_set_threads 0"), "oxa_set_threads ok!\n");
  EXPECT_EQ(GetThreadCount(), DefaultThreadCount());
  EXPECT_EQ(omp_get_max_threads(), DefaultThreadCount());
  EXPECT_EQ(RunCommand("set_threads 2000000000"), "set_threads ok!\n");
  EXPECT_EQ(GetThreadCount(), kMaxThreadCount);
  RunCommand("set_threads 0");

  EXPECT_EQ(RunCommand("set_rake 0.05 3"), "set_rake ok!\n");
  EXPECT_EQ(RakeFraction, 0.05);
  EXPECT_EQ(RunCommand("set_rake 1.5 3"), "ERROR: set_rake incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("set_rake 0.1 -1"), "ERROR: set_rake incorrect or missing argument\n");
  EXPECT_EQ(RakeFraction, 0.05);

  EXPECT_EQ(RunCommand("set_scheduler 2"), "ERROR: set_scheduler incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("set_scheduler -1"), "ERROR: set_scheduler incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("set_scheduler 0"), "set_scheduler ok!\n");
  EXPECT_EQ(SchedulerMode, 0);

  EXPECT_EQ(RunCommand("set_isomorphism 1 yes"), "set_isomorphism ok!\n");
  EXPECT_EQ(IsomorphismFlags[1], 1);
  EXPECT_EQ(IsomorphismFlags[2], 1);
  EXPECT_EQ(RunCommand("set_isomorphism 0 0"), "set_isomorphism ok!\n");
  EXPECT_EQ(IsomorphismFlags[1], 0);
  EXPECT_EQ(IsomorphismFlags[2], 0);
}

TEST(Information, TreeParamsShowBoardAndPot) {
  ASSERT_EQ(RunCommand("set_board Ah Kd 2c 9s"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 60"), "set_pot ok!\n");
  EXPECT_EQ(RunCommand("show_tree_params"),
            "board: 2c Kd Ah 9s\npot: 0 0 60\nbet_sizes: \ndonk_bet: FALSE\nEND\n");
  EXPECT_EQ(RunCommand("is_tree_present"), "false\n");
  EXPECT_EQ(RunCommand("show_effective_stack"), "ERROR: show_effective_stack missing/incorrect tree\n");
  EXPECT_EQ(RunCommand("ignore_mem_check maybe"), "ERROR: ignore_mem_check incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("ignore_mem_check on"), "ignore_mem_check ok!\n");
  EXPECT_EQ(RunCommand("set_eff_stack whatever"), "set_eff_stack ok!\n");
}
