#include "solver/engine_state.h"

#include <xmmintrin.h>

#include "core/parallel.h"

std::atomic<int> ThreadCount{omp_get_max_threads()};
int CheckInterval = 25;
std::atomic<double> TargetExploitability{0.0};
double RecalcAccuracy[3] = {0.0, 0.0, 0.0};
double RakeFraction = 0.0;
double RakeCap = 0.0;
int SchedulerMode = 1;

std::atomic<std::thread*> SolverThread{nullptr};
int LimitValue = 0;
uint8_t LimitMode = 0;
std::atomic<uint8_t> StopFlag{0};
std::atomic<uint8_t> WaiterFlag{0};
int CurrentIteration = 0;
double SolverCpuSeconds = 0.0;

std::recursive_mutex SolverMutex;
std::mutex SubgameMergeMutex;
std::mutex ConvergenceLogMutex;
std::mutex WaiterMutex;
std::condition_variable SolverDoneCondition;

namespace {
// The turns of queries and solver steps at the solver lock. Whoever holds the
// turn takes SolverMutex; when both sides wait, the side that did not have
// the last turn gets the next one.
enum class Turn { kNone, kQuery, kSolver };
std::mutex TurnMutex;
std::condition_variable TurnCondition;
Turn TurnHolder = Turn::kNone;
bool LastTurnWasQuery = false;
int QueriesWaiting = 0;
bool SolverWaiting = false;
int64_t SolverStepsBegun = 0;
thread_local int QueryDepth = 0;  // queries of this thread that hold the lock

void EndTurn(bool query) {
  {
    std::lock_guard<std::mutex> turn(TurnMutex);
    TurnHolder = Turn::kNone;
    LastTurnWasQuery = query;
  }
  TurnCondition.notify_all();
}
}  // namespace

SolverQueryLock::SolverQueryLock() {
  if (QueryDepth++ == 0) {
    std::unique_lock<std::mutex> turn(TurnMutex);
    ++QueriesWaiting;
    const int64_t stepsBefore = SolverStepsBegun;
    TurnCondition.wait(turn, [] { return TurnHolder == Turn::kNone && !(SolverWaiting && LastTurnWasQuery); });
    --QueriesWaiting;
    stepsWaited_ = static_cast<int>(SolverStepsBegun - stepsBefore);
    TurnHolder = Turn::kQuery;
  }
  SolverMutex.lock();
}

SolverQueryLock::~SolverQueryLock() {
  SolverMutex.unlock();
  if (--QueryDepth == 0) EndTurn(true);
}

SolverStepLock::SolverStepLock() {
  {
    std::unique_lock<std::mutex> turn(TurnMutex);
    SolverWaiting = true;
    TurnCondition.wait(turn, [] { return TurnHolder == Turn::kNone && !(QueriesWaiting > 0 && !LastTurnWasQuery); });
    SolverWaiting = false;
    TurnHolder = Turn::kSolver;
    ++SolverStepsBegun;
  }
  SolverMutex.lock();
}

SolverStepLock::~SolverStepLock() {
  SolverMutex.unlock();
  EndTurn(false);
}

void SetThreadCount(int n) { ThreadCount = n; }
int GetThreadCount() { return ThreadCount; }
void SetExploitabilityInterval(int n) { CheckInterval = n; }
void SetTargetAccuracy(double chips) { TargetExploitability = chips; }
void SetRecalcAccuracy(double flop, double turn, double river) {
  RecalcAccuracy[0] = flop;
  RecalcAccuracy[1] = turn;
  RecalcAccuracy[2] = river;
}
void SetRake(double fraction, double cap) {
  RakeFraction = fraction;
  RakeCap = cap;
}
bool IsSolverRunning() { return SolverThread != nullptr; }

namespace {
int g_warmupArgument = 0;
long long g_warmupSum = 0;
}  // namespace

void libsubgame_init(int n) {
  g_warmupArgument = n;
  long long sum = 0;
  // The first team starts only where the address space holds its workers.
  const int team = StartableTeam(omp_get_max_threads());
  if (RunsAlone(team)) {
    for (int i = 0; i < 1000; ++i) sum += static_cast<long long>(i) * g_warmupArgument;
    g_warmupSum = sum;
    return;
  }
#pragma omp parallel num_threads(team) reduction(+ : sum)
  {
    // Threads inherit the creating thread's floating-point mode; setting it
    // here as well keeps every worker in flush-to-zero mode regardless.
    _mm_setcsr(_mm_getcsr() | 0x8040);
#pragma omp for schedule(dynamic, 1)
    for (int i = 0; i < 1000; ++i) sum += static_cast<long long>(i) * g_warmupArgument;
  }
  NoteTeamRun(team);
  g_warmupSum = sum;
}
