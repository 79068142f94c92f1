#include "core/parallel.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "core/output.h"

namespace {

// Read during static initialisation, before any thread count is set.
const int kDefaultThreadCount = omp_get_max_threads();

constexpr size_t kThreadStackLimit = size_t{2} << 20;

// Bytes mapped by the process (the size field of /proc/self/statm); 0 when
// it cannot be read.
uint64_t MappedBytes() {
  FILE* file = fopen("/proc/self/statm", "r");
  if (!file) return 0;
  unsigned long long pages = 0;
  const int read = fscanf(file, "%llu", &pages);
  fclose(file);
  if (read != 1) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Address space a worker may take besides its stack: the arena the C
// allocator reserves for a thread that allocates.
constexpr uint64_t kWorkerArenaBytes = uint64_t{64} << 20;

// The stack size threads are now started with.
uint64_t ThreadStackBytes() {
  pthread_attr_t attributes;
  size_t size = 0;
  if (pthread_getattr_default_np(&attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  return size ? size : kThreadStackLimit;
}

}  // namespace

int DefaultThreadCount() { return kDefaultThreadCount; }

void LimitThreadStacks() {
  pthread_attr_t attributes;
  if (pthread_getattr_default_np(&attributes) != 0) return;
  size_t size = 0;
  if (pthread_attr_getstacksize(&attributes, &size) == 0 && size > kThreadStackLimit &&
      pthread_attr_setstacksize(&attributes, kThreadStackLimit) == 0)
    pthread_setattr_default_np(&attributes);
  pthread_attr_destroy(&attributes);
}

int SetBoundedTeamSize(int requested) {
  struct rlimit limit;
  int size = requested;
  if (requested > 1 && getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const uint64_t cap = limit.rlim_cur, used = MappedBytes();
    const uint64_t fits = (cap > used ? cap - used : 0) / 4 / (ThreadStackBytes() + kWorkerArenaBytes);
    size = static_cast<int>(std::clamp<uint64_t>(fits, 1, static_cast<uint64_t>(requested)));
  }
  omp_set_num_threads(size);
  return size;
}

void WorkerFailed(const char* what) {
  if (what) Fail(what);
  FatalLine("out of memory\n");
}

namespace {
// The RecoverableAllocations scopes the thread is in.
thread_local int t_recoverableDepth = 0;
}  // namespace

RecoverableAllocations::RecoverableAllocations() { ++t_recoverableDepth; }
RecoverableAllocations::~RecoverableAllocations() { --t_recoverableDepth; }

void AllocationFailed() {
  if (t_recoverableDepth > 0) throw std::bad_alloc();
  FatalLine("out of memory\n");
}

void RegionErrors::Keep(std::exception_ptr error) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!first_) first_ = error;
}

void RegionErrors::Rethrow() {
  if (first_) std::rethrow_exception(first_);
}
