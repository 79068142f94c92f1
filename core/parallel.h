// The OpenMP runtime calls the engine uses. A build without OpenMP (used for
// ThreadSanitizer runs, where the runtime is not instrumented) runs every
// parallel region on the calling thread.
//
// A parallel region takes its team size from the thread that starts it: the
// solver thread sets the thread count for its passes itself, and set_threads
// sets it for the console thread, which builds trees and computes results.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>

#ifdef _OPENMP
#include <omp.h>
#else
inline int omp_get_max_threads() { return 1; }
inline int omp_get_num_procs() { return 1; }
inline void omp_set_num_threads(int) {}
inline int omp_get_level() { return 0; }
#endif

// The team size of a region before any thread count is set: the runtime's
// default when the process started (OMP_NUM_THREADS, else every core the
// process may run on). It stays the answer after omp_set_num_threads.
int DefaultThreadCount();

// The stack of every thread started from now on (workers and the solver
// thread): at most 2 MB instead of the system's default (8 MB on most
// systems), dozens of times what a tree walk uses; and no arena of the C
// allocator's own for any thread (each would reserve 64 MB of address
// space). Under a capped address space each stack counts in full, used or
// not. Called once at start-up, before the first parallel region.
void LimitThreadMemory();

// Sets the team size the calling thread asks for its regions (set_threads,
// the solver's thread count). A pass sizes its team from it (TeamThatFits);
// other regions start with it where its new workers fit (ForEachIndex).
// Returns the size set.
int SetRequestedTeamSize(int requested);
// The size last set by the calling thread (its runtime's default before).
int RequestedTeamSize();

// The largest team of at most `requested` threads (the calling thread
// counted) for which the address space left (under RLIMIT_AS) holds the
// stacks of the workers it adds to the calling thread's last team,
// `perThread` bytes for each of its threads and `shared` bytes besides, with
// the reserve below; 0 when not even the calling thread alone fits. Without
// a cap, `requested`.
int TeamThatFits(int requested, uint64_t perThread, uint64_t shared);

// Whether a region of `team` threads started by the calling thread would run
// on that thread alone: a team of one, or a region inside another (regions
// do not nest). Such work runs as a plain loop instead: the runtime allocates
// a team anew for every region of one thread, and ends the process when that
// allocation fails.
inline bool RunsAlone(int team) { return team <= 1 || omp_get_level() > 0; }
inline bool RunsAlone() { return RunsAlone(omp_get_max_threads()); }

// Whether the address space is capped (RLIMIT_AS).
bool AddressSpaceCapped();

// Whether the address space left (under RLIMIT_AS; always without a cap)
// holds the stacks of `workers` more threads and a reserve for what the
// OpenMP runtime and the C allocator map when a team is made or a region
// starts. The runtime ends the process when one of its own allocations
// fails, so a command checks this before its first region.
bool AddressSpaceHolds(int workers);

// Whether the address space left (under RLIMIT_AS; always without a cap)
// holds `bytes` besides the reserve above: the working memory a pass will
// allocate once its checks have passed, so that a pass that starts can
// finish.
bool AddressSpaceHoldsPass(uint64_t bytes);

// Records that the calling thread ran a region of `team` threads (the
// runtime keeps the threads of the last team only).
void NoteTeamRun(int team);

// `team`, or, when the address space left does not hold the workers it
// would add to the calling thread's last team (the runtime ends the process
// when a thread cannot be made), the last team's size.
int StartableTeam(int team);

// body(i) for every i in [0, count), spread over a team of `team` threads of
// the calling thread with a dynamic schedule (a startable one, above), or a
// plain loop where that team runs alone.
template <class Body>
void ForEachIndex(int count, const Body& body, int team = omp_get_max_threads()) {
  if (!RunsAlone(team)) team = StartableTeam(team);
  if (RunsAlone(team)) {
    for (int i = 0; i < count; ++i) body(i);
    return;
  }
#pragma omp parallel for num_threads(team) schedule(dynamic, 1)
  for (int i = 0; i < count; ++i) body(i);
  NoteTeamRun(team);
}

// Makes the calling thread's team ready for a pass where a failure can still
// be answered: checks that the address space holds the threads the team adds
// to the thread's last (as above), then makes the thread's scratch objects
// (core/thread_scratch.h) and, in an empty region of the whole team (where
// the runtime makes the team), every worker's. False when memory is short;
// what was made stays and is used later. A team that runs alone (above), or
// whose workers are all made already, runs no region: only the reserve is
// checked and the calling thread's objects made.
bool MakeTeamReady();

// A failure inside a parallel region's work: an exception may not leave a
// worker (the runtime would end the process with no word of why), so the
// work runs inside this guard. A failed allocation prints "out of memory",
// any other error "fail (<what>)", and the process ends with status 1: the
// pass it interrupted has left the tree half updated. The console thread's
// own part of a pass runs guarded too, so that no error of a half-done pass
// reaches the command as if nothing had changed.
[[noreturn]] void WorkerFailed(const char* what);
template <class Work>
void RunGuarded(Work&& work) noexcept {
  try {
    work();
  } catch (const std::bad_alloc&) {
    WorkerFailed(nullptr);
  } catch (const std::exception& error) {
    WorkerFailed(error.what());
  }
}

// A block the program allocates itself (aligned rows, storage buffers,
// coded boards) that cannot be had. Inside a RecoverableAllocations scope of
// the calling thread it throws std::bad_alloc, for work whose caller undoes
// it (a tree file being loaded, a region whose errors are carried); anywhere
// else it ends the process with "out of memory" on standard output and
// status 1: the pass it interrupted has left the tree half updated.
[[noreturn]] void AllocationFailed();
// Whether the calling thread is inside a RecoverableAllocations scope: code
// that ends the process with a line of its own when memory runs out throws
// std::bad_alloc there instead.
bool AllocationsRecoverable();
class RecoverableAllocations {
 public:
  RecoverableAllocations();
  ~RecoverableAllocations();
  RecoverableAllocations(const RecoverableAllocations&) = delete;
  RecoverableAllocations& operator=(const RecoverableAllocations&) = delete;
};

// The first exception of a region's work, carried to the thread that started
// the region and thrown there once the region has ended: for regions whose
// caller undoes its work on an error (the deal tables of a tree being built
// or loaded), so that a failed allocation is answered as the command's own.
class RegionErrors {
 public:
  template <class Work>
  void Run(Work&& work) noexcept {
    try {
      const RecoverableAllocations recoverable;
      work();
    } catch (...) {
      Keep(std::current_exception());
    }
  }
  // Rethrows the first exception kept, if any.
  void Rethrow();

 private:
  void Keep(std::exception_ptr error) noexcept;
  std::mutex mutex_;
  std::exception_ptr first_;
};
