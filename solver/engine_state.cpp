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
#pragma omp parallel reduction(+ : sum)
  {
    // Threads inherit the creating thread's floating-point mode; setting it
    // here as well keeps every worker in flush-to-zero mode regardless.
    _mm_setcsr(_mm_getcsr() | 0x8040);
#pragma omp for schedule(dynamic, 1)
    for (int i = 0; i < 1000; ++i) sum += static_cast<long long>(i) * g_warmupArgument;
  }
  g_warmupSum = sum;
}
