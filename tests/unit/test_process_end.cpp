// The process ends cleanly through exit, end of input and Fail even while
// other threads are printing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "console_helpers.h"
#include "core/parallel.h"

namespace {
// A thread that prints without pause, like a running solve does.
void StartBusyPrinter() {
  std::thread([] {
    for (;;) {
      PrintNow("#tick\n");
      PrintNow("progress line\n");
    }
  }).detach();
}
}  // namespace

TEST(ProcessEnd, ExitCommandEndsWithStatusZeroWhileAThreadPrints) {
  EXPECT_EXIT(
      {
        StartBusyPrinter();
        DispatchCommand({"exit"});
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ProcessEnd, FailEndsWithStatusOneWhileAThreadPrints) {
  EXPECT_EXIT(
      {
        StartBusyPrinter();
        Fail("internal inconsistency");
      },
      ::testing::ExitedWithCode(1), "");
}

TEST(ProcessEnd, FailWhileHoldingTheOutputLockDoesNotHang) {
  EXPECT_EXIT(
      {
        OutputMutex.lock();
        Fail();
      },
      ::testing::ExitedWithCode(1), "");
}

// A region of 64 pieces of work on four workers, one of which fails.
static void RegionWithAFailedAllocation() {
  omp_set_num_threads(4);
#pragma omp parallel for
  for (int i = 0; i < 64; ++i)
    RunGuarded([i] {
      if (i == 37) throw std::bad_alloc();
    });
}

// An exception thrown by a worker of a parallel region: from a pass it ends
// the process with status 1 and "out of memory" (an escape would abort);
// where the region carries it, the thread that started the region gets it.
TEST(ProcessEnd, AFailedAllocationInAWorkerEndsThePassOrReachesTheCaller) {
  // A forked child cannot start the worker team of a parent whose team
  // already exists (the runtime's pool does not survive fork): the child
  // runs the test binary anew.
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(RegionWithAFailedAllocation(), ::testing::ExitedWithCode(1), "");
  RegionErrors errors;
#pragma omp parallel for num_threads(4)
  for (int i = 0; i < 64; ++i)
    errors.Run([i] {
      if (i % 16 == 5) throw std::bad_alloc();
    });
  EXPECT_THROW(errors.Rethrow(), std::bad_alloc);
  RegionErrors none;
  none.Run([] {});
  EXPECT_NO_THROW(none.Rethrow());
}
