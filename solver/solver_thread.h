// The solver thread: starting a solve, the iteration loop with its
// exploitability checks and stop conditions, stopping and waiting; and the
// exploitability, results cache and convergence log behind the progress
// lines and calc_results.
#pragma once

#include <cstdint>
#include <vector>

struct SolverTree;

// One exploitability check.
struct ConvergenceRecord {
  int32_t iteration = 0;
  int32_t reserved = 0;
  double seconds = 0.0;
  double strategyValue[2] = {0.0, 0.0};      // OOP, IP
  double bestResponseValue[2] = {0.0, 0.0};  // OOP, IP
  double exploitability = 0.0;
};

// Prepares every storage not yet ready (once per tree); false when memory is
// missing.
bool PrepareTreeStorages(SolverTree& tree);
// Checks and prepares for a solve (limit and mode recorded, log emptied,
// storages prepared); false when a solve runs, the tree is incomplete or
// memory is missing. LaunchSolverThread then starts the thread; after each
// exploitability check it calls `reportProgress` (when given), which prints
// the newest record of the convergence log.
bool StartSolver(int32_t limit, uint8_t mode);
using SolverProgressFunction = void (*)();
// Starts the solver thread, which sizes its worker team to what the address
// space holds for the solve's passes and makes the workers and their
// scratch (storage/storage_factory.h, FitPassTeam), then waits at its start gate, before its
// first line, until ReleaseSolverThread is called: the caller acknowledges
// the start in between. False when the thread or its team cannot be made
// (no thread, or no memory for it); then no solve runs, as before the call.
// After true, ReleaseSolverThread must follow whatever happens, or the solve
// never ends.
bool LaunchSolverThread(SolverProgressFunction reportProgress);
// Opens the start gate of the thread LaunchSolverThread started.
void ReleaseSolverThread();
// The team the running (or last) solve works with: the set thread count, or
// fewer threads under a capped address space that does not hold them.
int SolverTeamSize();
// One iteration: an update pass for IP, then for OOP. Returns {mean, IP, OOP}.
void RunIteration(SolverTree& tree, double result[3]);
void RequestSolverStop();
// Returns once no solve runs (after its stop line has been printed).
void WaitForSolver();

// {exploitability, mean strategy value}; the pairs receive each player's
// {best-response value, strategy value}.
void ComputeExploitability(SolverTree& tree, int mode, double result[2], double* oopPair, double* ipPair);
void CalcResults(ConvergenceRecord& record);
std::vector<ConvergenceRecord> CopyConvergenceLog();
void ClearConvergenceLog();
