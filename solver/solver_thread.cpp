#include "solver/solver_thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <xmmintrin.h>

#include "core/output.h"
#include "core/parallel.h"
#include "solver/engine_state.h"
#include "solver/tree_passes.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_stream.h"

namespace {

std::vector<ConvergenceRecord> ConvergenceLog;
// True from a successful start until the stop line has been printed; guarded
// by WaiterMutex together with SolverThread and StopFlag, so that a stop
// request can never leak into the next solve.
bool SolveInProgress = false;

// The start gate: closed by each launch, opened once the start has been
// acknowledged. Before it, the thread tells the launcher whether its team
// could be made.
std::mutex StartGateMutex;
std::condition_variable StartGateCondition;
bool StartGateOpen = false;
enum class TeamVerdict { kPending, kReady, kShort };
TeamVerdict SolverTeamVerdict = TeamVerdict::kPending;

double ProcessCpuSeconds(double fallback) {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return fallback;
  return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
}

// Before a solve is acknowledged, its first iteration and its first check
// are counted together: the iterations' reach sums, the check's deal values
// (once made, they count no more) and the streams that the iterations up to
// the check code.
constexpr unsigned kSolveGrowth = kDealReachGrowth | kDealValueGrowth | kStreamGrowth;
// An iteration adds reach sums and codes streams; a check makes the deal
// values.
constexpr unsigned kIterationGrowth = kDealReachGrowth | kStreamGrowth;

// The team the running (or last) solve works with.
std::atomic<int> SolverTeamUsed{1};

// The solver thread's team, made before the start is acknowledged, while a
// failure can still refuse it: the address space must hold the runtime's
// first allocations of this thread (its settings, its pool), then the team
// is sized to what the space holds and its workers and their scratch are
// made. The first iteration and the first check must find the memory they
// work in: a pass that ran short would end the process with the tree half
// updated. Returns the thread count set, or -1 when memory is short.
int MakeSolverTeam() {
  if (!AddressSpaceHolds(0)) return -1;
  const int requested = ThreadCount;
  SetRequestedTeamSize(requested);
  const int team = FitPassTeam(*CurrentTree, requested, kSolveGrowth);
  if (team < 1) return -1;
  SolverTeamUsed = team;
  return requested;
}

// The team of a solve's next pass. A larger team than the one that worked
// so far (set_threads, a team made smaller at the start, a cap lifted) is
// made where the space holds its stacks and its whole working memory, with
// all that the solve still adds up to its first check, checked again once
// its workers stand (FitPassTeam: workers that took more than their stacks
// made the start's team smaller, and growing it back at once without that
// check left the first iterations short). Else the team stays: its threads
// keep the rows of their passes mapped (in their block caches and the
// allocator's), so the pass needs only what it adds (`growth`) and a slack.
// 0 when the space does not hold that.
int NextSolveTeam(SolverTree& tree, int requested, unsigned growth) {
  const int current = SolverTeamUsed;
  if (current < requested) {
    const int larger = FitPassTeam(tree, requested, kSolveGrowth, current);
    if (larger > current) {
      SolverTeamUsed = larger;
      return larger;
    }
  }
  // The team that worked so far, whatever set_threads asked for since: a
  // region of more threads would start workers whose scratch was never made.
  omp_set_num_threads(current);
  return AddressSpaceHoldsPass(PassGrowthBytes(tree, growth)) ? current : 0;
}

void SolveUntilStopped(SolverProgressFunction reportProgress, int teamRequested) {
  PrintNowFlush("SOLVER: started\n");
  SolverTree& tree = *CurrentTree;
  const int32_t startCount = tree.iterationCount;
  const double startCpu = ProcessCpuSeconds(0.0);
  SolverCpuSeconds = 0.0;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  Clock::time_point previousCheck = start;
  int64_t minimumGapMs = 0;
  const char* reason = "requested";
  bool stop = StopFlag != 0;
  while (!stop) {
    if (tree.iterationCount >= IterationCap) {
      reason = "requested";
      break;
    }
    if (ThreadCount != teamRequested) {
      teamRequested = ThreadCount;
      SetRequestedTeamSize(teamRequested);
      if (SolverTeamUsed > teamRequested) SolverTeamUsed = teamRequested;
    }
    // Under a capped address space each iteration first finds its team
    // (NextSolveTeam), and so does a solve whose team is smaller than set
    // (a cap lifted gives it back). When not even one thread fits, the solve
    // stops with the tree as the last iteration left it.
    if (AddressSpaceCapped() || SolverTeamUsed < teamRequested) {
      const int team = NextSolveTeam(tree, teamRequested, kIterationGrowth);
      if (team < 1) {
        reason = "out of memory";
        break;
      }
    }
    double ignored[3];
    {
      const SolverStepLock step;
      const int64_t streamsBefore = StorageStreamBytes();
      RunIteration(tree, ignored);
      tree.lastStreamGrowth = static_cast<uint64_t>(std::max<int64_t>(StorageStreamBytes() - streamsBefore, 0));
    }
    const int32_t t = tree.iterationCount;
    const int32_t sinceFirst = t - kFirstCheckIteration;
    const bool due = sinceFirst == 0 || (sinceFirst > 0 && sinceFirst % CheckInterval == 0);
    if (due) {
      const Clock::time_point now = Clock::now();
      const int64_t sinceCheck = std::chrono::duration_cast<std::chrono::milliseconds>(now - previousCheck).count();
      // The check's own values at the deals, made at the first check.
      if (sinceCheck >= minimumGapMs && AddressSpaceCapped() &&
          NextSolveTeam(tree, teamRequested, kDealValueGrowth) < 1) {
        reason = "out of memory";
        break;
      }
      if (sinceCheck >= minimumGapMs) {
        minimumGapMs = t < 4 * CheckInterval ? 250 : 500;
        previousCheck = now;
        double oop[2], ip[2], result[2];
        {
          const SolverStepLock step;
          ComputeExploitability(tree, 0, result, oop, ip);
        }
        ConvergenceRecord record;
        record.iteration = t;
        record.seconds =
            static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count()) / 1000.0;
        record.strategyValue[0] = oop[1];
        record.strategyValue[1] = ip[1];
        record.bestResponseValue[0] = oop[0];
        record.bestResponseValue[1] = ip[0];
        record.exploitability = result[0];
        {
          std::lock_guard<std::mutex> lock(ConvergenceLogMutex);
          ConvergenceLog.push_back(record);
        }
        SolverCpuSeconds = ProcessCpuSeconds(SolverCpuSeconds + startCpu) - startCpu;
        if (reportProgress) reportProgress();
        if (TargetExploitability >= result[0]) {
          reason = "required accuracy reached";
          break;
        }
      }
    }
    if (LimitMode == 1) {
      if (t >= LimitValue + startCount) {
        reason = "required number of steps done";
        break;
      }
    } else if (LimitValue > 0) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
      if (elapsed >= LimitValue) {
        reason = "timeout reached";
        break;
      }
    }
    stop = StopFlag != 0;
  }
  PrintNowFlush("SOLVER: stopped (%s)\n", reason);
}

void SolverThreadMain(SolverProgressFunction reportProgress) {
  _mm_setcsr(_mm_getcsr() | 0x8040);
  const int teamRequested = MakeSolverTeam();
  {
    std::unique_lock<std::mutex> gate(StartGateMutex);
    SolverTeamVerdict = teamRequested < 0 ? TeamVerdict::kShort : TeamVerdict::kReady;
    StartGateCondition.notify_all();
    // A refused thread ends here; the launcher joins it.
    if (teamRequested < 0) return;
    StartGateCondition.wait(gate, [] { return StartGateOpen; });
  }
  // No exception may leave the thread: a failed allocation in a pass ends
  // the process with "out of memory".
  RunGuarded([&] { SolveUntilStopped(reportProgress, teamRequested); });
  std::lock_guard<std::mutex> lock(WaiterMutex);
  std::thread* self = SolverThread.exchange(nullptr);
  self->detach();
  delete self;
  StopFlag = 0;
  SolveInProgress = false;
  SolverDoneCondition.notify_all();
}

}  // namespace

bool PrepareTreeStorages(SolverTree& tree) { return AllStoragesReady(tree); }

int SolverTeamSize() { return SolverTeamUsed; }

bool StartSolver(int32_t limit, uint8_t mode) {
  if (IsSolverRunning() || !CurrentTree) return false;
  if (CurrentTree->flags & kIncompleteTree) return false;
  LimitValue = limit;
  LimitMode = mode;
  ClearConvergenceLog();
  return PrepareTreeStorages(*CurrentTree);
}

bool LaunchSolverThread(SolverProgressFunction reportProgress) {
  {
    std::lock_guard<std::mutex> gate(StartGateMutex);
    StartGateOpen = false;
    SolverTeamVerdict = TeamVerdict::kPending;
  }
  // The thread object is published before the thread can reach its end,
  // which reads it under the same lock.
  std::lock_guard<std::mutex> lock(WaiterMutex);
  StopFlag = 0;
  std::thread* thread = nullptr;
  try {
    thread = new std::thread(SolverThreadMain, reportProgress);
  } catch (const std::exception&) {
    // No thread (std::system_error) or no memory for its object: no solve
    // runs, and a waiter has nothing to wait for.
    return false;
  }
  bool ready;
  {
    std::unique_lock<std::mutex> gate(StartGateMutex);
    StartGateCondition.wait(gate, [] { return SolverTeamVerdict != TeamVerdict::kPending; });
    ready = SolverTeamVerdict == TeamVerdict::kReady;
  }
  if (!ready) {
    // The thread made no team and has ended (or is ending) without a solve.
    thread->join();
    delete thread;
    return false;
  }
  SolveInProgress = true;
  SolverThread = thread;
  return true;
}

void ReleaseSolverThread() {
  {
    std::lock_guard<std::mutex> gate(StartGateMutex);
    StartGateOpen = true;
  }
  StartGateCondition.notify_all();
}

void RunIteration(SolverTree& tree, double result[3]) {
  // A whole iteration runs under the solver lock, so that queries (such as
  // calc_results) see the tree between iterations.
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  if (tree.compression[1] < 2) {
    tree.accumulateThisIteration = 1;
  } else {
    const int d = tree.iterationCount - 61;
    tree.accumulateThisIteration = d >= 0 && (d < 7 || d % 7 == 0);
  }
  const PassResult ip = TraverseTree(tree, 1, 1);
  const PassResult oop = TraverseTree(tree, 0, 1);
  tree.iterationCount += 1;
  tree.flags &= ~static_cast<uint32_t>(kNewTree);
  CurrentIteration = tree.iterationCount;
  result[0] = (oop.strategyValue + ip.strategyValue) * 0.5;
  result[1] = ip.strategyValue;
  result[2] = oop.strategyValue;
}

void RequestSolverStop() {
  std::lock_guard<std::mutex> lock(WaiterMutex);
  if (SolverThread) StopFlag = 1;
}

void WaitForSolver() {
  std::unique_lock<std::mutex> lock(WaiterMutex);
  if (!SolveInProgress) return;
  WaiterFlag = 1;
  SolverDoneCondition.wait(lock, [] { return !SolveInProgress; });
  WaiterFlag = 0;
}

void ComputeExploitability(SolverTree& tree, int mode, double result[2], double* oopPair, double* ipPair) {
  // Both players' passes see the same strategies.
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  const PassResult oop = TraverseTree(tree, 0, mode);
  const PassResult ip = TraverseTree(tree, 1, mode);
  result[0] = ((oop.bestResponseValue - oop.strategyValue) + (ip.bestResponseValue - ip.strategyValue)) * 0.5;
  result[1] = (oop.strategyValue + ip.strategyValue) * 0.5;
  if (oopPair) {
    oopPair[0] = oop.bestResponseValue;
    oopPair[1] = oop.strategyValue;
  }
  if (ipPair) {
    ipPair[0] = ip.bestResponseValue;
    ipPair[1] = ip.strategyValue;
  }
}

void CalcResults(ConvergenceRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  SolverTree& tree = *CurrentTree;
  // Cached results (kept at a forget) need no storage; a pass needs all.
  if (!(tree.flags & kIncompleteTree) || tree.iterationCount != tree.lastResultsIteration)
    RequireAllStoragesReady(tree, kDealValueGrowth);
  if (!(tree.flags & kIncompleteTree)) tree.lastResultsIteration = -1;
  if (tree.iterationCount != tree.lastResultsIteration) {
    double result[2];
    ComputeExploitability(tree, 0, result, tree.resultPairs[0], tree.resultPairs[1]);
    tree.resultPairs[2][0] = result[0];
    tree.resultPairs[2][1] = result[1];
    tree.lastResultsIteration = tree.iterationCount;
  }
  record.iteration = tree.iterationCount;
  record.seconds = 0.0;
  record.bestResponseValue[0] = tree.resultPairs[0][0];
  record.strategyValue[0] = tree.resultPairs[0][1];
  record.bestResponseValue[1] = tree.resultPairs[1][0];
  record.strategyValue[1] = tree.resultPairs[1][1];
  record.exploitability = tree.resultPairs[2][0];
}

std::vector<ConvergenceRecord> CopyConvergenceLog() {
  if (!IsSolverRunning()) return {};
  std::lock_guard<std::mutex> lock(ConvergenceLogMutex);
  return ConvergenceLog;
}

void ClearConvergenceLog() {
  std::lock_guard<std::mutex> lock(ConvergenceLogMutex);
  ConvergenceLog.clear();
}
