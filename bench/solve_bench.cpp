// Solves one benchmark spot and prints its figures: time to the target
// exploitability, iterations, iterations per second, the time of one update
// iteration, the root hand count and the peak resident memory.
//
//   solve_bench [--compression=LEVEL] SPOT.txt THREADS [FRACTION [ITERATIONS [CHECKS]]]
//
// LEVEL is a word of set_compression (none, low, medium, high, max or 0..4);
// without it the spot's own setting stands (automatic unless it sets one).
// The river line gives the bytes the river storages hold per stored element
// after the solve (for compressed storage: the stream blocks' capacities).
//
// With ITERATIONS the spot is not solved: that many update iterations are
// timed instead (the figure behind the per-iteration cost per hand); with
// CHECKS that many exploitability checks are timed after them (past 60
// iterations the checks read the average strategy, as in a long solve).
//
// SPOT.txt is a command script that builds the tree (see ../shared/bench).
// Run one spot per process so that the peak memory is the spot's own.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "console/command_line.h"
#include "console/dispatcher.h"
#include "console/script_commands.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "core/parallel.h"
#include "core/settings.h"
#include "game/deal_table.h"
#include "game/hand_evaluator.h"
#include "solver/engine_state.h"
#include "solver/solver_thread.h"
#include "storage/compressed_river_storage.h"
#include "storage/river_storage.h"
#include "storage/storage_factory.h"
#include "storage/storage_stream.h"
#include "storage/solver_tree.h"
#include "storage/storage_interface.h"

namespace {
void Run(const std::string& line) {
  DispatchCommand(SplitCommandLine(line));
  std::string reply;
  TakePendingOutput(reply);
  if (reply.find("ERROR") != std::string::npos || reply.find("Invalid") != std::string::npos) {
    fprintf(stderr, "%s -> %s", line.c_str(), reply.c_str());
    exit(1);
  }
}

// Bytes the river storages of one kind (regrets or sums) hold, and their
// elements.
struct RiverFigures {
  uint64_t bytes = 0, coded = 0, elements = 0;
  double fullest = 0.0;  // the largest share of its reserve limit a stream's block takes
};
void AddRiverFigures(StorageInterface* storage, RiverFigures& figures) {
  if (!storage) return;
  const uint64_t elements = static_cast<uint64_t>(storage->ElementCount(-1));
  figures.elements += elements;
  if (auto* river = dynamic_cast<UncompressedRiverStorage*>(storage)) {
    figures.bytes += elements * static_cast<uint64_t>(river->ElementSize());
    figures.coded += elements * static_cast<uint64_t>(river->ElementSize());
    return;
  }
  auto* compressed = dynamic_cast<CompressedRiverStorage*>(storage);
  if (!compressed) return;
  const StorageLayout* layout = compressed->Layout();
  for (uint32_t b = 0; layout && b < layout->turnCount; ++b) {
    StorageStreamInterface* stream = compressed->Stream(static_cast<int>(b));
    if (!stream) continue;
    figures.bytes += static_cast<uint64_t>(stream->Capacity());
    int64_t used = 0;
    if (auto* coded = dynamic_cast<CompressedStorageStream*>(stream))
      used = coded->BlockLength();
    else if (auto* fast = dynamic_cast<FastStorageStream*>(stream))
      used = fast->Position();
    figures.coded += static_cast<uint64_t>(used);
    if (stream->ReserveLimit() > 0)
      figures.fullest = std::max(figures.fullest, static_cast<double>(used) / stream->ReserveLimit());
  }
}

long PeakResidentMb() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}
}  // namespace

int main(int argc, char** argv) {
  std::string compression;
  if (argc > 1 && strncmp(argv[1], "--compression=", 14) == 0) {
    compression = argv[1] + 14;
    --argc;
    ++argv;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: %s [--compression=LEVEL] SPOT.txt THREADS [FRACTION [ITERATIONS]]\n", argv[0]);
    return 2;
  }
  _mm_setcsr(_mm_getcsr() | 0x8040);
  const std::string spot = argv[1];
  const int threads = atoi(argv[2]);
  const std::string fraction = argc > 3 ? argv[3] : "0.005";
  const int timedIterations = argc > 4 ? atoi(argv[4]) : 0;
  const int timedChecks = argc > 5 ? atoi(argv[5]) : 0;
  BuildHandOrderTables();
  InitHandTables();
  libsubgame_init(0);
  SaveOriginalStdout();

  // The script's replies go to a scratch file, read back for its error lines
  // when the spot builds no tree; so do the solver's progress blocks, read
  // back for the exploitability of each check.
  char scratch[] = "/tmp/solve_bench_XXXXXX";
  const int scratchFd = mkstemp(scratch);
  if (scratchFd < 0) {
    fprintf(stderr, "can't create a scratch file\n");
    return 1;
  }
  close(scratchFd);
  Run(std::string("stdoutredi ") + scratch);
  Run("load_script \"" + spot + "\"");
  Run("stdoutredi /dev/null");
  if (!CurrentTree) {
    fprintf(stderr, "%s built no tree\n", spot.c_str());
    if (FILE* replies = fopen(scratch, "r")) {
      char line[512];
      while (fgets(line, sizeof line, replies))
        if (strstr(line, "ERROR") || strstr(line, "rror")) fprintf(stderr, "  %s", line);
      fclose(replies);
    }
    unlink(scratch);
    return 1;
  }
  Run("set_threads " + std::to_string(threads));
  Run("set_accuracy " + fraction + " fraction");
  if (!compression.empty()) Run("set_compression " + compression);
  SolverTree& tree = *CurrentTree;
  const uint32_t rootHands = tree.handVectors[0].size();
  if (!PrepareTreeStorages(tree)) {
    fprintf(stderr, "out of memory preparing the storages\n");
    return 1;
  }
  // Bytes held by the storages per street, once prepared.
  uint64_t bytes[4] = {0, 0, 0, 0};
  for (const TreeNode& node : tree.nodes) {
    for (StorageInterface* storage : {node.firstStorage, node.secondStorage}) {
      if (!storage) continue;
      uint64_t elementSize = 4;
      if (auto* river = dynamic_cast<UncompressedRiverStorage*>(storage)) elementSize = river->ElementSize();
      // Compressed river storage holds nothing until its boards are written.
      if (dynamic_cast<CompressedRiverStorage*>(storage)) elementSize = 0;
      bytes[node.street] += static_cast<uint64_t>(storage->ElementCount(-1)) * elementSize;
    }
  }

  if (timedIterations > 0) {
    omp_set_num_threads(threads);
    double ignored[3];
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < timedIterations; ++i) RunIteration(tree, ignored);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    double checkSeconds = 0.0;
    if (timedChecks > 0) {
      ConvergenceRecord record;
      const auto checksBegin = std::chrono::steady_clock::now();
      for (int i = 0; i < timedChecks; ++i) CalcResults(record);
      checkSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - checksBegin).count();
    }
    Run("stdoutback");
    unlink(scratch);
    printf("%-22s threads %2d  %d update iterations  %.3f s each  root hands %u  %.1f us per root hand  peak %ld MB\n",
           spot.substr(spot.find_last_of('/') + 1).c_str(), threads, timedIterations, seconds / timedIterations,
           rootHands, 1e6 * seconds / timedIterations / rootHands, PeakResidentMb());
    if (timedChecks > 0)
      printf("%-22s threads %2d  %d exploitability checks  %.3f s each\n",
             spot.substr(spot.find_last_of('/') + 1).c_str(), threads, timedChecks, checkSeconds / timedChecks);
    fflush(stdout);
    TerminateProcess(0);
  }
  Run(std::string("stdoutredi ") + scratch);
  const auto start = std::chrono::steady_clock::now();
  Run("go");
  WaitForSolver();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Run("stdoutback");
  // "running time: T" and "Exploitable for: E" of every progress block.
  std::string checks;
  if (FILE* progress = fopen(scratch, "r")) {
    char line[512];
    double seconds = 0.0, exploitable = 0.0;
    while (fgets(line, sizeof line, progress)) {
      if (sscanf(line, "running time: %lf", &seconds) == 1) continue;
      if (sscanf(line, "Exploitable for: %lf", &exploitable) == 1) {
        char entry[64];
        snprintf(entry, sizeof entry, "  %.2f s: %.3f%%", seconds, 100.0 * exploitable / PotSettings[2]);
        checks += entry;
      }
    }
    fclose(progress);
  }
  unlink(scratch);
  const int iterations = tree.iterationCount;
  ConvergenceRecord record;
  omp_set_num_threads(threads);
  const auto checkStart = std::chrono::steady_clock::now();
  CalcResults(record);
  const double checkSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - checkStart).count();

  // One update iteration alone, without exploitability checks.
  omp_set_num_threads(threads);
  double ignored[3];
  const auto iterStart = std::chrono::steady_clock::now();
  RunIteration(tree, ignored);
  const double iterationSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - iterStart).count();

  // Query times on the solved tree: one flop, turn and river decision node of
  // the check-down line (the first turn and river cards off the board).
  std::string queryTimes, latency;
  {
    std::string turnCard, riverCard;
    for (int card = 51; card >= 0 && riverCard.empty(); --card) {
      const int c = (card % 4) * 13 + card / 4;  // rank-major from the top
      if (tree.boardMask & CardBit(c)) continue;
      if (turnCard.empty())
        turnCard = CardText(c);
      else
        riverCard = CardText(c);
    }
    const std::string paths[3] = {"r:0", "r:0:c:c:" + turnCard, "r:0:c:c:" + turnCard + ":c:c:" + riverCard};
    const char* const streets[3] = {"flop", "turn", "river"};
    for (const char* query : {"show_strategy", "show_range OOP", "show_probs"}) {
      queryTimes += std::string("  ") + query + ":";
      for (int s = 0; s < 3; ++s) {
        const auto begin = std::chrono::steady_clock::now();
        Run(std::string(query) + " " + paths[s]);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
        char entry[64];
        snprintf(entry, sizeof entry, " %s %.1f ms", streets[s], ms);
        queryTimes += entry;
      }
    }
    // The reports that run a pass of their own: the EV pass and the equity
    // pass at the root, the line frequencies of the river node.
    const std::string timed[4][2] = {{"calc_ev OOP", paths[0]},
                                     {"calc_eq OOP", ""},
                                     {"calc_line_freq", paths[2]},
                                     {"calc_global_freq", paths[2]}};
    for (const auto& query : timed) {
      const auto begin = std::chrono::steady_clock::now();
      Run(query[1].empty() ? query[0] : query[0] + " " + query[1]);
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
      char entry[96];
      snprintf(entry, sizeof entry, "  %s: %s %.1f ms", query[0].c_str(), query[1].empty() ? "root" :
               query[1] == paths[0] ? "flop" : "river", ms);
      queryTimes += entry;
    }
    // Query latency while a solve runs: four queries, one after another, each
    // timed from its command to its reply, five rounds; and the iterations
    // the solver made meanwhile.
    Run("stdoutredi /dev/null");
    Run("set_accuracy 0");
    Run("go");
    const std::string queries[4] = {"show_strategy " + paths[0], "calc_line_freq " + paths[1],
                                    "calc_eq_node OOP " + paths[0], "calc_ev OOP " + paths[0]};
    auto iterationsDone = [&tree] {
      const SolverQueryLock query;
      return tree.iterationCount;
    };
    std::vector<double> ms;
    const int before = iterationsDone();
    for (int round = 0; round < 5; ++round) {
      for (const std::string& query : queries) {
        const auto begin = std::chrono::steady_clock::now();
        Run(query);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
      }
    }
    const int iterationsMeanwhile = iterationsDone() - before;
    Run("stop");
    WaitForSolver();
    Run("stdoutback");
    std::sort(ms.begin(), ms.end());
    char entry[160];
    snprintf(entry, sizeof entry, "median %.1f ms, worst %.1f ms over %zu queries; %d solver iterations meanwhile",
             ms[ms.size() / 2], ms.back(), ms.size(), iterationsMeanwhile);
    latency = entry;
  }

  printf("%-22s storages: flop %.1f MB, turn %.1f MB, river %.1f MB (%zu nodes)\n",
         spot.substr(spot.find_last_of('/') + 1).c_str(), bytes[1] / 1048576.0, bytes[2] / 1048576.0,
         bytes[3] / 1048576.0, tree.nodes.size());
  RiverFigures regrets, sums;
  for (const TreeNode& node : tree.nodes) {
    if (node.kind != kInnerNode || node.street != 3) continue;
    AddRiverFigures(node.firstStorage, regrets);
    AddRiverFigures(node.secondStorage, sums);
  }
  auto perElement = [](uint64_t bytes, uint64_t elements) {
    return elements ? static_cast<double>(bytes) / static_cast<double>(elements) : 0.0;
  };
  printf("%-22s compression %d (%s)  river bytes per element: regrets %.3f held (%.3f coded), sums %.3f held "
         "(%.3f coded), both %.3f held; river storage %.1f MB; fullest stream %.0f%% (regrets) %.0f%% (sums) of "
         "its budget\n",
         spot.substr(spot.find_last_of('/') + 1).c_str(), ActualCompression, CompressionLevelName(ActualCompression),
         perElement(regrets.bytes, regrets.elements), perElement(regrets.coded, regrets.elements),
         perElement(sums.bytes, sums.elements), perElement(sums.coded, sums.elements),
         perElement(regrets.bytes + sums.bytes, regrets.elements + sums.elements),
         (regrets.bytes + sums.bytes) / 1048576.0, 100.0 * regrets.fullest, 100.0 * sums.fullest);
  printf("%-22s threads %2d  time %7.2f s  iterations %4d  %6.2f it/s  update iteration %6.3f s  "
         "exploitability check %.3f s  exploitable %.4f (%.3f%% of pot)  root hands %u  peak %ld MB\n",
         spot.substr(spot.find_last_of('/') + 1).c_str(), threads, wall, iterations, iterations / wall,
         iterationSeconds, checkSeconds, record.exploitability, 100.0 * record.exploitability / PotSettings[2],
         rootHands, PeakResidentMb());
  printf("%-22s queries (%s):%s\n", spot.substr(spot.find_last_of('/') + 1).c_str(),
         "r:0 and the check-down line's first turn and river nodes", queryTimes.c_str());
  printf("%-22s query latency during a solve (show_strategy, calc_line_freq, calc_eq_node, calc_ev): %s\n",
         spot.substr(spot.find_last_of('/') + 1).c_str(), latency.c_str());
  printf("%-22s checks (running time: exploitability in %% of the pot)%s\n",
         spot.substr(spot.find_last_of('/') + 1).c_str(), checks.c_str());
  fflush(stdout);
  TerminateProcess(0);
}
