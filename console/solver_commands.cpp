#include "console/solver_commands.h"

#include <thread>

#include "core/numbers.h"
#include "core/run_clock.h"
#include "core/settings.h"
#include "game/tree_state.h"
#include "results/results_layout.h"
#include "solver/engine_state.h"
#include "solver/forget.h"
#include "solver/solver_thread.h"
#include "solver/tree_passes.h"
#include "storage/solver_tree.h"

void CmdSolverTime(const TokenVector&) { Output("%f\n", SecondsSinceStart()); }

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
  if (!LaunchSolverThread(ReportSolverProgress)) ThrowCommandError("out of memory");
  // The acknowledgement reaches the output before the solver's first line:
  // the thread waits until it has been written. It is let go whatever
  // happens here (a reply that cannot be written or made included).
  struct Release {
    ~Release() { ReleaseSolverThread(); }
  } release;
  if (Verbosity > 0) Output("[go %d threads]\n", SolverTeamSize());
  ReplyOk(words);
  FlushPendingOutput();
  FlushStdout();
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
  const SolverQueryLock query;
  // A tree file may leave out the values its deals cached; while a street is
  // forgotten, results that are not the file's own would be taken from them.
  const SolverTree& tree = *CurrentTree;
  if (LoadFlag && (tree.flags & kIncompleteTree) && tree.lastResultsIteration != tree.iterationCount)
    ThrowCommandError("values not loaded: rebuild the forgotten streets and solve");
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
  // Forgetting keeps the values that an evaluation of the whole tree caches
  // at the deals. A tree loaded without them has none cached yet: the
  // evaluation must run even when the file's results look current.
  const bool complete = !(CurrentTree->flags & kIncompleteTree);
  if (LoadFlag && complete) CurrentTree->lastResultsIteration = -1;
  ForgetStreet(street);
  if (complete) LoadFlag = false;
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
