// Times load_tree on a solved benchmark spot: the spot is built at
// compression level 0, solved for a number of iterations, written as a tree
// file by the tests' writer, and loaded back (three times; each load replaces
// the tree).
//
//   tree_file_bench SPOT.txt THREADS ITERATIONS FILE
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <xmmintrin.h>

#include "console/command_line.h"
#include "console/dispatcher.h"
#include "console/script_commands.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "core/parallel.h"
#include "game/hand_evaluator.h"
#include "solver/engine_state.h"
#include "solver/solver_thread.h"
#include "storage/solver_tree.h"
#include "tree_file_writer.h"

namespace {
std::string Run(const std::string& line) {
  DispatchCommand(SplitCommandLine(line));
  std::string reply;
  TakePendingOutput(reply);
  if (reply.find("ERROR") != std::string::npos) {
    fprintf(stderr, "%s -> %s", line.c_str(), reply.c_str());
    exit(1);
  }
  return reply;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: %s SPOT.txt THREADS ITERATIONS FILE\n", argv[0]);
    return 2;
  }
  _mm_setcsr(_mm_getcsr() | 0x8040);
  const std::string spot = argv[1], path = argv[4];
  const int threads = atoi(argv[2]), iterations = atoi(argv[3]);
  BuildHandOrderTables();
  InitHandTables();
  libsubgame_init(0);
  SaveOriginalStdout();

  Run("set_compression 0");
  Run("stdoutredi /dev/null");
  Run("load_script \"" + spot + "\"");
  Run("set_threads " + std::to_string(threads));
  Run("go " + std::to_string(iterations) + " steps");
  WaitForSolver();
  Run("stdoutback");
  if (!CurrentTree) {
    fprintf(stderr, "%s built no tree\n", spot.c_str());
    return 1;
  }
  const int solved = CurrentTree->iterationCount;

  auto start = std::chrono::steady_clock::now();
  WriteTreeFile(path, TreeFileOptions{});
  const double written = Seconds(start);
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    fprintf(stderr, "no file written at %s\n", path.c_str());
    return 1;
  }
  printf("%s: level 0, %d iterations, file %.1f MB (%lld bytes), written in %.2f s\n",
         spot.substr(spot.find_last_of('/') + 1).c_str(), solved, info.st_size / 1048576.0,
         static_cast<long long>(info.st_size), written);
  Run("free_tree");
  for (int i = 0; i < 3; ++i) {
    start = std::chrono::steady_clock::now();
    const std::string reply = Run("load_tree " + path);
    printf("load_tree %d: %.3f s  %s", i + 1, Seconds(start), reply.c_str());
  }
  fflush(stdout);
  TerminateProcess(0);
}
