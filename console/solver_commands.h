// Solver-control commands and the one layout in which results are printed.
#pragma once

#include <chrono>

#include "console/output.h"

struct ConvergenceRecord;

// Taken once at start-up, after the worker warm-up and before the banner.
extern std::chrono::system_clock::time_point StartTime;
// Convergence records of the current solve already printed.
extern int LastReportedRecordCount;

// Prints the newest convergence record of the running solve (solver thread).
void ReportSolverProgress();
// Main form through the reply buffer, or solver form printed at once.
void PrintResults(const ConvergenceRecord& record, bool solverForm);

void CmdSolverTime(const TokenVector& words);
void CmdGo(const TokenVector& words);
void CmdStop(const TokenVector& words);
void CmdTakeABreak(const TokenVector& words);
void CmdWaitForSolver(const TokenVector& words);
void CmdCalcResults(const TokenVector& words);
void CmdForget(const TokenVector& words);
void CmdRebuildForgottenStreets(const TokenVector& words);
void CmdSolveAllSplits(const TokenVector& words);
