// The one layout in which solve results are printed: by calc_results through
// the reply buffer, and by the solver thread after each exploitability check.
#pragma once

struct ConvergenceRecord;

// Convergence records of the current solve already printed.
extern int LastReportedRecordCount;

// Main form through the reply buffer, or solver form printed at once.
void PrintResults(const ConvergenceRecord& record, bool solverForm);
// Prints the newest convergence record of the running solve (solver thread).
void ReportSolverProgress();
