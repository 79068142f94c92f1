// The process ends cleanly through exit, end of input and Fail even while
// other threads are printing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "console_helpers.h"

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
