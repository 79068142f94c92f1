// The process ends cleanly through exit, end of input and Fail even while
// other threads are printing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
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

namespace {
std::string FileText(FILE* file) {
  std::string text;
  rewind(file);
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  return text;
}

// Runs the program on `input` with standard output on `out`; returns its
// wait status and puts what it wrote on standard error in `error`.
int RunProgram(const std::string& input, int out, std::string& error) {
  FILE* in = tmpfile();
  FILE* err = tmpfile();
  fwrite(input.data(), 1, input.size(), in);
  fflush(in);
  rewind(in);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(in), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fileno(err), STDERR_FILENO);
  char name[] = "pfsolve";
  char* argv[] = {name, nullptr};
  pid_t pid;
  int status = -1;
  if (posix_spawn(&pid, PFSOLVE_BINARY, &actions, nullptr, argv, environ) == 0) waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  error = FileText(err);
  fclose(in);
  fclose(err);
  return status;
}
}  // namespace

// A reader that leaves a pipe is no signal. Redirected to a FIFO whose
// reader takes 100 bytes and goes, the replies are lost writes like any
// other: said once on standard error, reported by stdoutback, and the
// session goes on. When the original output's reader has gone, the process
// ends with status 1 and says why on standard error.
TEST(ProcessEnd, AReaderThatLeavesIsALostWriteNotASignal) {
  char dir[] = "/tmp/pfsolve_fifoXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/out";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread reader([&fifo] {
    const int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    char bytes[100];
    for (size_t got = 0; fd >= 0 && got < sizeof bytes;) {
      const ssize_t n = read(fd, bytes + got, sizeof bytes - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (fd >= 0) close(fd);
  });
  std::string script = "stdoutredi " + fifo + "\n";
  for (int i = 0; i < 30; ++i) script += "show_hand_order\n";
  script += "stdoutback\necho survived\n";
  FILE* out = tmpfile();
  std::string error;
  const int status = RunProgram(script, fileno(out), error);
  // A program that never opened the FIFO leaves the reader waiting for a writer.
  const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (unblock >= 0) close(unblock);
  reader.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  EXPECT_EQ(error, "ERROR: output to '" + fifo + "' lost: Broken pipe\n");
  const std::string text = FileText(out);
  const std::string tail = "ERROR: stdoutback write failed\nsurvived\n";
  EXPECT_EQ(text.substr(text.size() - std::min(text.size(), tail.size())), tail) << text;
  fclose(out);
  unlink(fifo.c_str());
  rmdir(dir);

  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  close(ends[0]);
  const int plain = RunProgram("is_ready\n", ends[1], error);
  close(ends[1]);
  EXPECT_TRUE(WIFEXITED(plain) && WEXITSTATUS(plain) == 1) << "wait status " << plain;
  EXPECT_EQ(error, "ERROR: standard output lost: Broken pipe\n");
}
