// The process ends cleanly through exit, end of input and Fail even while
// other threads are printing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "console_helpers.h"
#include "core/parallel.h"
#include "core/thread_scratch.h"

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

namespace {
// A per-thread object that counts the live ones and can be made to fail.
std::atomic<int> LiveProbes{0};
std::atomic<bool> ProbesFail{false};
struct Probe {
  Probe() {
    if (ProbesFail) throw std::bad_alloc();
    ++LiveProbes;
  }
  ~Probe() { --LiveProbes; }
};
ThreadScratch<Probe> t_probe;
}  // namespace

// Per-thread scratch is given back when its thread ends (teams come and go
// with every solve), and a failure to make it never aborts: it is answered
// inside a recoverable scope and by PrepareThreadScratch, and ends the
// process with "out of memory" anywhere else.
TEST(ProcessEnd, ThreadScratchGoesWithItsThreadAndItsFailureIsAnswered) {
  std::vector<std::thread> threads;
  std::atomic<int> made{0};
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&made] {
      t_probe.Get();
      if (&t_probe.Get() == t_probe.Find()) ++made;
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(made, 8);
  EXPECT_EQ(LiveProbes, 0);

  ProbesFail = true;
  std::thread([] {
    bool thrown = false;
    try {
      const RecoverableAllocations recoverable;
      t_probe.Get();
    } catch (const std::bad_alloc&) {
      thrown = true;
    }
    EXPECT_TRUE(thrown);
    EXPECT_EQ(t_probe.Find(), nullptr);
    EXPECT_FALSE(PrepareThreadScratch());
    ProbesFail = false;
    EXPECT_TRUE(PrepareThreadScratch());
    EXPECT_NE(t_probe.Find(), nullptr);
  }).join();
  EXPECT_EQ(LiveProbes, 0);

  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        ProbesFail = true;
        std::thread([] { t_probe.Get(); }).join();
        _exit(3);
      },
      ::testing::ExitedWithCode(1), "^out of memory\n$");
}

// The OpenMP runtime exits when one of its own allocations fails, saying so
// on standard error only: the ending says "out of memory" on standard
// output like every other memory ending. Any other library exit keeps its
// line on standard error.
TEST(ProcessEnd, TheRuntimesFailedAllocationEndsAsAMemoryEnding) {
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        EndLibraryExitsAtOnce();
        fputs("\nlibgomp: ", stderr);
        fprintf(stderr, "Out of memory allocating %lu bytes", 192ul);
        fputc('\n', stderr);
        exit(EXIT_FAILURE);
      },
      ::testing::ExitedWithCode(1), "allocating 192 bytes\nout of memory\n$");
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        EndLibraryExitsAtOnce();
        fputs("\nlibgomp: Thread creation failed: Resource temporarily unavailable\n", stderr);
        exit(EXIT_FAILURE);
      },
      ::testing::ExitedWithCode(1), "unavailable\nfatal error: a library ended the process \\(its message is above\\)\n$");
}
