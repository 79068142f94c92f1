#include "results/results_layout.h"

#include <cstdio>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "core/output.h"
#include "core/settings.h"
#include "solver/engine_state.h"
#include "solver/solver_thread.h"
#include "storage/solver_tree.h"

int LastReportedRecordCount = 0;

void PrintResults(const ConvergenceRecord& record, bool solverForm) {
  // Results belong to the tree: a later set_pot does not change them.
  const double h = (CurrentTree ? CurrentTree->pot : PotSettings[2]) * 0.5;
  const double evOop = h + record.strategyValue[0], evIp = h + record.strategyValue[1];
  const double mesOop = h + record.bestResponseValue[0], mesIp = h + record.bestResponseValue[1];
  if (!solverForm) {
    Output("EV OOP: %.3f\nEV IP: %.3f\nOOP's MES: %.3f\nIP's MES: %.3f\nExploitable for: %.3f\nEND\n", evOop, evIp,
           mesOop, mesIp, record.exploitability);
    return;
  }
  PrintNow(
      "SOLVER:\nrunning time: %.3f\nEV OOP: %.3f\nEV IP: %.3f\nOOP's MES: %.3f\nIP's MES: %.3f\nExploitable for: "
      "%.3f\nEND\n",
      record.seconds, evOop, evIp, mesOop, mesIp, record.exploitability);
  if (Verbosity > 0) {
    struct rusage usage;
    long peakKb = getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
    PrintNow("[cpu time %.1fs | peak working set %d MB]\n", SolverCpuSeconds, static_cast<int>(peakKb / 1024));
  }
}

void ReportSolverProgress() {
  const std::vector<ConvergenceRecord> log = CopyConvergenceLog();
  if (log.empty()) return;
  if (static_cast<int>(log.size()) > LastReportedRecordCount) {
    LastReportedRecordCount = static_cast<int>(log.size());
    PrintResults(log.back(), true);
    fflush(stdout);
    std::this_thread::yield();
  }
}
