#include "console/solver_commands.h"

#include <sys/resource.h>
#include <thread>

#include "console/numbers.h"
#include "console/settings.h"
#include "game/solver_tree.h"
#include "game/tree_state.h"
#include "solver/engine_state.h"
#include "solver/forget.h"
#include "solver/solver_thread.h"
#include "solver/tree_passes.h"

std::chrono::system_clock::time_point StartTime{};
int LastReportedRecordCount = 0;

void CmdSolverTime(const TokenVector&) {
  const auto elapsed = std::chrono::system_clock::now() - StartTime;
  const double seconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e9;
  Output("%f\n", seconds);
}

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

void CmdGo(const TokenVector& words) {
  RequireTree();
  if (IsSolverRunning()) ThrowCommandError("Can't do that when solver is running");
  if (CurrentTree->flags & kIncompleteTree) ThrowCommandError("incomplete tree");
  LastReportedRecordCount = 0;
  int32_t limit = 0;
  uint8_t mode = 0;
  if (words.size() > 1) {
    if (words.size() < 3 || (words[2] != "seconds" && words[2] != "steps")) ThrowBadArguments(words);
    limit = ParseInt(words[1]);
    mode = words[2] == "steps" ? 1 : 0;
  }
  if (!StartSolver(limit, mode)) ThrowCommandError("out of memory");
  if (Verbosity > 0) Output("[go %d threads]\n", GetThreadCount());
  ReplyOk(words);
  // The acknowledgement reaches the output before the solver's first line.
  FlushPendingOutput();
  fflush(stdout);
  LaunchSolverThread();
}

void CmdStop(const TokenVector& words) {
  RequestSolverStop();
  ReplyOk(words);
}

void CmdTakeABreak(const TokenVector& words) {
  const int64_t seconds = ParseInt64(words[1]);
  if (seconds < 0) ThrowBadArguments(words);
  RequestSolverStop();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  ReplyOk(words);
}

void CmdWaitForSolver(const TokenVector&) { WaitForSolver(); }

void CmdCalcResults(const TokenVector&) {
  RequireTree();
  ConvergenceRecord record;
  CalcResults(record);
  PrintResults(record, false);
}

namespace {
int StreetWord(const TokenVector& words) {
  if (words[1] == "rivers") return 3;
  if (words[1] == "turns") return 2;
  ThrowBadArguments(words);
}

// A street before the root's has no split points: the tree starts after it.
void RequireStreetInTree(const TokenVector& words, int street) {
  if (street < CurrentTree->nodes[0].street) ThrowBadArguments(words);
}

// Commands that destroy or re-create storages must not overlap a solve.
void RequireIdleTree() {
  RequireTree();
  if (IsSolverRunning()) ThrowCommandError("Can't do that when solver is running");
}
}  // namespace

void CmdForget(const TokenVector& words) {
  const int street = StreetWord(words);
  RequireIdleTree();
  RequireStreetInTree(words, street);
  ForgetStreet(street);
  ReplyOk(words);
}

void CmdRebuildForgottenStreets(const TokenVector& words) {
  RequireIdleTree();
  RebuildForgottenStreets();
  ReplyOk(words);
}

void CmdSolveAllSplits(const TokenVector& words) {
  const int street = StreetWord(words);
  RequireIdleTree();
  RequireStreetInTree(words, street);
  if (CurrentTree->flags & kIncompleteTree) ThrowCommandError("incomplete tree");
  SolveAllSplits(street);
  ReplyOk(words);
}
