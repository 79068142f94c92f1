// Test entry: builds the process-wide tables once (hand order, evaluator); --baseline-kernels forces
// the AVX baseline variant of every kernel for the whole run.
#include <gtest/gtest.h>

#include <cstring>

#include "core/cpu_info.h"
#include "core/hand_order.h"
#include "game/hand_evaluator.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--baseline-kernels") == 0) ForceBaselineKernels(true);
  BuildHandOrderTables();
  InitHandTables();
  return RUN_ALL_TESTS();
}
