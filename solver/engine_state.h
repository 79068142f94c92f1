// Process-wide settings of the solver engine and the state of the one solve
// that can run at a time. The setters take effect immediately and do not
// validate (the command handlers do).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// --- Settings ----------------------------------------------------------------
extern std::atomic<int> ThreadCount;  // worker team size of the solver's passes
extern int CheckInterval;          // iterations between exploitability checks
extern std::atomic<double> TargetExploitability;  // chips
extern double RecalcAccuracy[3];   // chips: flop, turn, river re-solve targets
extern double RakeFraction;        // recorded only; no pass applies rake
extern double RakeCap;
extern int SchedulerMode;          // recorded only (0 or 1)

// --- State of the current solve ----------------------------------------------
extern std::atomic<std::thread*> SolverThread;  // non-null exactly while a solve runs
extern int LimitValue;
extern uint8_t LimitMode;          // 0 seconds, 1 iterations
extern std::atomic<uint8_t> StopFlag;
extern std::atomic<uint8_t> WaiterFlag;
extern int CurrentIteration;
extern double SolverCpuSeconds;

// --- Locks and signals ---------------------------------------------------------
// Held for a whole pass (and a whole iteration); passes nest inside the
// exploitability computation, so the lock is recursive.
extern std::recursive_mutex SolverMutex;
extern std::mutex SubgameMergeMutex;
extern std::mutex ConvergenceLogMutex;
extern std::mutex WaiterMutex;
extern std::condition_variable SolverDoneCondition;

// The solver lock as queries and the solver thread take it while a solve
// runs. The solver thread re-takes the lock for every iteration and every
// check (SolverStepLock); a query (a report or a result, SolverQueryLock)
// that waits for it gets it at the solver's next step boundary, and a query
// that comes while the solver already waits lets that one step run first.
// So a query waits for one step of the solver at most, and a run of queries
// does not hold the solver off either. A query taken while its thread
// already holds the solver lock just nests.
class SolverQueryLock {
 public:
  SolverQueryLock();
  ~SolverQueryLock();
  SolverQueryLock(const SolverQueryLock&) = delete;
  SolverQueryLock& operator=(const SolverQueryLock&) = delete;
  // The solver steps that began while this query waited for its turn.
  int StepsWaited() const { return stepsWaited_; }

 private:
  int stepsWaited_ = 0;
};
class SolverStepLock {
 public:
  SolverStepLock();
  ~SolverStepLock();
  SolverStepLock(const SolverStepLock&) = delete;
  SolverStepLock& operator=(const SolverStepLock&) = delete;
};

void SetThreadCount(int n);
int GetThreadCount();
void SetExploitabilityInterval(int n);
void SetTargetAccuracy(double chips);
void SetRecalcAccuracy(double flop, double turn, double river);
void SetRake(double fraction, double cap);
bool IsSolverRunning();

// Starts the runtime's worker team once so that the first solve does not pay
// for thread creation; also puts every worker in flush-to-zero mode.
void libsubgame_init(int n);
