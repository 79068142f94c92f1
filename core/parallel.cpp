#include "core/parallel.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "core/output.h"
#include "core/thread_scratch.h"

namespace {

// Read during static initialisation, before any thread count is set.
const int kDefaultThreadCount = omp_get_max_threads();

constexpr size_t kThreadStackLimit = size_t{2} << 20;

// Bytes mapped by the process (the size field of /proc/self/statm), read
// without the C library's streams (which allocate); UINT64_MAX, which no cap
// exceeds, when it cannot be read.
uint64_t MappedBytes() {
  const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return UINT64_MAX;
  char text[64];
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  if (length <= 0) return UINT64_MAX;
  uint64_t pages = 0;
  ssize_t i = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) pages = pages * 10 + static_cast<uint64_t>(text[i] - '0');
  if (i == 0) return UINT64_MAX;
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// The address space left under RLIMIT_AS; UINT64_MAX when it is not capped.
uint64_t FreeAddressSpace() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  const uint64_t cap = limit.rlim_cur, used = MappedBytes();
  return cap > used ? cap - used : 0;
}

// What the OpenMP runtime and the C allocator may map besides the workers'
// stacks when a team is made or a region starts: the runtime's pool, team
// and settings blocks, and the heap the C allocator maps (1 MB at least)
// when its own cannot grow. The runtime ends the process when one of its
// allocations fails, so a team is made only with this much left.
constexpr uint64_t kRuntimeReserveBytes = uint64_t{2} << 20;

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

void LimitThreadMemory() {
  // Every thread allocates from the C allocator's main arena. The workers'
  // hot paths use blocks of the scalable allocator and scratch objects of
  // their own, so they hardly contend for it; an arena per thread would
  // reserve 64 MB of address space each, which under a capped address space
  // would leave a team no room.
  mallopt(M_ARENA_MAX, 1);
  pthread_attr_t attributes;
  if (pthread_getattr_default_np(&attributes) != 0) return;
  size_t size = 0;
  if (pthread_attr_getstacksize(&attributes, &size) == 0 && size > kThreadStackLimit &&
      pthread_attr_setstacksize(&attributes, kThreadStackLimit) == 0)
    pthread_setattr_default_np(&attributes);
  pthread_attr_destroy(&attributes);
}

namespace {
// The team size each thread asks for (0: the runtime's default).
thread_local int t_requestedTeam = 0;
// The size of the calling thread's last team: the runtime keeps that many
// threads in the thread's pool (a smaller team ends the others, a larger
// one starts new ones). Of those, the first t_readyTeam (the calling thread
// counted) hold their scratch objects.
thread_local int t_lastTeam = 1;
thread_local int t_readyTeam = 1;

uint64_t WorkerStackBytes() { return ThreadStackBytes() + static_cast<uint64_t>(sysconf(_SC_PAGESIZE)); }
}  // namespace

int SetRequestedTeamSize(int requested) {
  t_requestedTeam = std::max(requested, 1);
  omp_set_num_threads(t_requestedTeam);
  return t_requestedTeam;
}

int RequestedTeamSize() { return t_requestedTeam > 0 ? t_requestedTeam : kDefaultThreadCount; }

int TeamThatFits(int requested, uint64_t perThread, uint64_t shared) {
  requested = std::max(requested, 1);
  const uint64_t left = FreeAddressSpace();
  if (left == UINT64_MAX) return requested;
  const uint64_t stack = WorkerStackBytes();
  for (int team = requested; team >= 1; --team) {
    const uint64_t added = static_cast<uint64_t>(std::max(team - std::max(t_lastTeam, 1), 0));
    const uint64_t need = added * stack + static_cast<uint64_t>(team) * perThread + shared + kRuntimeReserveBytes;
    if (need <= left) return team;
  }
  return 0;
}

bool AddressSpaceCapped() {
  struct rlimit limit;
  return getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
}

bool AddressSpaceHoldsPass(uint64_t bytes) {
  const uint64_t left = FreeAddressSpace();
  return left == UINT64_MAX || left >= bytes + kRuntimeReserveBytes;
}

bool AddressSpaceHolds(int workers) {
  return AddressSpaceHoldsPass(static_cast<uint64_t>(workers > 0 ? workers : 0) * WorkerStackBytes());
}

int StartableTeam(int team) {
  if (team <= t_lastTeam || AddressSpaceHolds(team - t_lastTeam)) return team;
  return t_lastTeam;
}

void NoteTeamRun(int team) {
  t_lastTeam = team;
  t_readyTeam = std::min(t_readyTeam, team);
}

bool MakeTeamReady() {
  const int team = omp_get_max_threads();
  // A team whose workers stand with their scratch runs no region (queries
  // come one after another).
  if (RunsAlone(team) || team <= t_readyTeam) return AddressSpaceHolds(0) && PrepareThreadScratch();
  if (!AddressSpaceHolds(team - t_lastTeam) || !PrepareThreadScratch()) return false;
  // One thread at a time starts workers (the console's team and the
  // solver's may grow together): where the runtime cannot make a thread it
  // ends the process, and its message is then the last one on standard
  // error, not one of two written together.
  static std::mutex growing;
  const std::lock_guard<std::mutex> one(growing);
  std::atomic<bool> ready{true};
#pragma omp parallel
  {
    if (!PrepareThreadScratch()) ready = false;
  }
  t_lastTeam = team;
  if (ready) t_readyTeam = team;
  return ready;
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

bool AllocationsRecoverable() { return t_recoverableDepth > 0; }

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
