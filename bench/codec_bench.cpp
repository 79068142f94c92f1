// Codes real per-hand rows with each codec and prints, per codec and row
// width, the coded bytes per element and the encode and decode speed on one
// core (megabytes of raw row data per second: 2 bytes per 16-bit element,
// 4 per 32-bit element).
//
//   codec_bench [SPOT.txt [ITERATIONS [THREADS [MAX_MILLION_ELEMENTS]]]]
//
// The spot (default ../shared/bench/flop-3bet-pot.txt) is solved for
// ITERATIONS update iterations (default 30, strategy sums accumulated from
// the first) on THREADS threads (default 4), at most MAX_MILLION_ELEMENTS
// (default 5) million elements of each width are gathered;
// then the river nodes' rows are gathered in the order compressed river
// storage codes them: one sequence per dealt turn and player, node by node,
// action by action, runout by runout, each row against the row of the
// previous runout when that one is at least as long. The 16-bit rows are the
// regret counts (first storage), the 32-bit rows the strategy sums (second
// storage; the float sums, in units of reach probability, are taken as 16.16
// fixed-point numbers and rounded to integers).
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "codecs/codec.h"
#include "console/command_line.h"
#include "console/dispatcher.h"
#include "console/script_commands.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "core/parallel.h"
#include "game/deal_table.h"
#include "game/hand_evaluator.h"
#include "solver/engine_state.h"
#include "solver/solver_thread.h"
#include "storage/river_storage.h"
#include "storage/solver_tree.h"

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

struct Row {
  size_t offset;
  int count;
  long previous;  // offset of the previous row, or -1
};

template <typename T>
struct Sequence {
  std::vector<T> values;
  std::vector<Row> rows;
};

template <typename T>
struct RowSets {
  std::vector<Sequence<T>> sequences;
  uint64_t elements = 0;
};

struct Channels {
  std::vector<uint8_t> data[kCodecChannels];
  size_t read[kCodecChannels] = {};

  static int Write(void* context, int channel, uint8_t* bytes, int length) {
    std::vector<uint8_t>& d = static_cast<Channels*>(context)->data[channel];
    d.insert(d.end(), bytes, bytes + length);
    return length;
  }
  static int Read(void* context, int channel, uint8_t* bytes, int length) {
    Channels* self = static_cast<Channels*>(context);
    const std::vector<uint8_t>& d = self->data[channel];
    size_t n = d.size() - self->read[channel];
    if (n > static_cast<size_t>(length)) n = static_cast<size_t>(length);
    std::copy(d.begin() + self->read[channel], d.begin() + self->read[channel] + n, bytes);
    self->read[channel] += n;
    return static_cast<int>(n);
  }
  size_t Bytes() const {
    size_t total = 0;
    for (const auto& d : data) total += d.size();
    return total;
  }
  void Clear() {
    for (auto& d : data) d.clear();
    std::fill(std::begin(read), std::end(read), 0);
  }
};

// Appends one storage's rows of a dealt turn to a sequence.
template <typename T, typename Storage, typename Convert>
void GatherTurn(Storage* storage, int turn, Sequence<T>& seq, uint64_t& elements, Convert convert) {
  const StorageLayout* layout = storage->Layout();
  const uint32_t entries = layout->turnIndex[turn].count;
  for (uint32_t a = 0; a < layout->actionCount; ++a) {
    long previous = -1;
    int previousCount = 0;
    for (uint32_t r = 0; r < entries; ++r) {
      const int n = storage->EntryCount(turn, static_cast<int>(r));
      const auto* data = storage->RowData(turn, static_cast<int>(r), static_cast<int>(a));
      const size_t offset = seq.values.size();
      for (int i = 0; i < n; ++i) seq.values.push_back(convert(data[i]));
      seq.rows.push_back({offset, n, (previous >= 0 && n <= previousCount) ? previous : -1});
      previous = static_cast<long>(offset);
      previousCount = n;
      elements += static_cast<uint64_t>(n);
    }
  }
}

struct Figures {
  double bytesPerElement, encodeMBs, decodeMBs;
  bool exact;
};

template <typename T>
Figures Measure(int type, const RowSets<T>& sets, const uint64_t* frequencies) {
  std::vector<Channels> coded(sets.sequences.size());
  uint64_t symbolCounts[256];
  CompressionStats stats;
  const double rawBytes = static_cast<double>(sets.elements) * sizeof(T);
  using Clock = std::chrono::steady_clock;

  auto encodeAll = [&]() {
    for (size_t s = 0; s < sets.sequences.size(); ++s) {
      const Sequence<T>& seq = sets.sequences[s];
      coded[s].Clear();
      stats.Clear();
      CompressorInterface* c = CreateCompressor(type, frequencies, symbolCounts, Channels::Write, &coded[s], &stats);
      for (const Row& row : seq.rows) {
        const T* prev = row.previous >= 0 ? &seq.values[static_cast<size_t>(row.previous)] : nullptr;
        if constexpr (sizeof(T) == 2)
          CompressRow16(c, &seq.values[row.offset], prev, row.count);
        else
          CompressRow(c, &seq.values[row.offset], prev, row.count);
      }
      DestroyCompressor(c);
    }
  };
  std::vector<T> out(kMaxRowValues);
  bool exact = true;
  auto decodeAll = [&](bool check) {
    for (size_t s = 0; s < sets.sequences.size(); ++s) {
      const Sequence<T>& seq = sets.sequences[s];
      std::fill(std::begin(coded[s].read), std::end(coded[s].read), 0);
      DecompressorInterface* d = CreateDecompressor(Channels::Read, &coded[s]);
      // Rows are rebuilt in a scratch buffer of the sequence's size, so that
      // previous rows are the decoded ones, as in a storage.
      static thread_local std::vector<T> rebuilt;
      rebuilt.resize(seq.values.size());
      for (const Row& row : seq.rows) {
        const T* prev = row.previous >= 0 ? &rebuilt[static_cast<size_t>(row.previous)] : nullptr;
        if constexpr (sizeof(T) == 2)
          DecodeValues16(d, &rebuilt[row.offset], prev, row.count);
        else
          DecodeValues(d, &rebuilt[row.offset], prev, row.count);
      }
      DestroyDecompressor(d);
      if (check && rebuilt != seq.values) exact = false;
    }
  };

  // One untimed pass of each (allocations warm), then timed repetitions of
  // at least half a second.
  encodeAll();
  decodeAll(true);
  size_t codedBytes = 0;
  for (const Channels& ch : coded) codedBytes += ch.Bytes();
  auto timed = [&](auto&& body) {
    int reps = 0;
    const auto start = Clock::now();
    double seconds = 0.0;
    do {
      body();
      ++reps;
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 0.5);
    return rawBytes * reps / seconds / 1e6;
  };
  const double encode = timed(encodeAll);
  const double decode = timed([&]() { decodeAll(false); });
  return {static_cast<double>(codedBytes) / static_cast<double>(sets.elements), encode, decode, exact};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string spot = argc > 1 ? argv[1] : "../shared/bench/flop-3bet-pot.txt";
  const int iterations = argc > 2 ? atoi(argv[2]) : 30;
  const int threads = argc > 3 ? atoi(argv[3]) : 4;
  const double maxElements = (argc > 4 ? atof(argv[4]) : 5.0) * 1e6;
  _mm_setcsr(_mm_getcsr() | 0x8040);
  BuildHandOrderTables();
  InitHandTables();
  libsubgame_init(0);
  SaveOriginalStdout();
  Run("stdoutredi /dev/null");
  Run("load_script \"" + spot + "\"");
  if (!CurrentTree) {
    fprintf(stderr, "%s built no tree\n", spot.c_str());
    return 1;
  }
  Run("set_threads " + std::to_string(threads));
  SolverTree& tree = *CurrentTree;
  // Strategy sums from the first iteration on, so that a short solve fills
  // the second storages too.
  tree.averagingMode = 2;
  if (!PrepareTreeStorages(tree)) {
    fprintf(stderr, "out of memory preparing the storages\n");
    return 1;
  }
  omp_set_num_threads(threads);
  double ignored[3];
  const auto solveStart = std::chrono::steady_clock::now();
  for (int i = 0; i < iterations; ++i) RunIteration(tree, ignored);
  const double solveSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - solveStart).count();
  Run("stdoutback");

  // Rows of the river nodes, one sequence per dealt turn and player.
  RowSets<uint16_t> regrets;
  RowSets<uint32_t> sums;
  int riverNodes = 0;
  uint32_t turns = 0;
  for (const TreeNode& node : tree.nodes)
    if (node.street == 3 && node.firstStorage) {
      ++riverNodes;
      if (auto* s = dynamic_cast<RiverStorageBase*>(node.firstStorage)) turns = s->Layout() ? s->Layout()->turnCount : 0;
    }
  for (uint32_t t = 0; t < turns; ++t) {
    for (int player = 0; player < 2; ++player) {
      if (static_cast<double>(regrets.elements) < maxElements) {
        Sequence<uint16_t> seq;
        for (const TreeNode& node : tree.nodes) {
          auto* storage = dynamic_cast<ShortRiverStorage*>(node.firstStorage);
          if (node.street != 3 || node.player != player || !storage || !storage->Layout()) continue;
          GatherTurn(storage, static_cast<int>(t), seq, regrets.elements, [](uint16_t v) { return v; });
        }
        if (!seq.rows.empty()) regrets.sequences.push_back(std::move(seq));
      }
      if (static_cast<double>(sums.elements) < maxElements) {
        Sequence<uint32_t> seq;
        for (const TreeNode& node : tree.nodes) {
          auto* storage = dynamic_cast<RiverStorage*>(node.secondStorage);
          if (node.street != 3 || node.player != player || !storage || !storage->Layout()) continue;
          GatherTurn(storage, static_cast<int>(t), seq, sums.elements, [](float v) {
            const double r = std::floor(static_cast<double>(v) * 65536.0 + 0.5);
            return static_cast<uint32_t>(r <= 0.0 ? 0.0 : (r >= 4294967295.0 ? 4294967295.0 : r));
          });
        }
        if (!seq.rows.empty()) sums.sequences.push_back(std::move(seq));
      }
    }
  }
  printf("%s: %d iterations on %d threads in %.1f s; %d river nodes, %u dealt turns\n",
         spot.substr(spot.find_last_of('/') + 1).c_str(), tree.iterationCount, threads, solveSeconds, riverNodes,
         turns);
  printf("rows: 16-bit regret rows %.2f M elements in %zu sequences, 32-bit strategy-sum rows %.2f M elements in %zu "
         "sequences\n",
         regrets.elements / 1e6, regrets.sequences.size(), sums.elements / 1e6, sums.sequences.size());
  if (regrets.elements == 0 && sums.elements == 0) return 1;

  // The worker team keeps spinning on its cores after the solve; the codecs
  // are timed in a child process, which has the calling thread alone.
  fflush(stdout);
  const pid_t child = fork();
  if (child < 0) {
    fprintf(stderr, "fork failed\n");
    return 1;
  }
  if (child > 0) {
    int status = 0;
    waitpid(child, &status, 0);
    TerminateProcess(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
  }

  // Symbol weights for the range coder: the counts of a first coding pass.
  uint64_t frequencies[256];
  std::fill(std::begin(frequencies), std::end(frequencies), 1);
  {
    uint64_t counts[256];
    CompressionStats stats;
    Channels ch;
    CompressorInterface* c = CreateCompressor(kRangeCodecId, frequencies, counts, Channels::Write, &ch, &stats);
    const Sequence<uint16_t>& seq = regrets.sequences.front();
    for (const Row& row : seq.rows)
      CompressRow16(c, &seq.values[row.offset], row.previous >= 0 ? &seq.values[row.previous] : nullptr, row.count);
    DestroyCompressor(c);
    for (int s = 0; s < 256; ++s) frequencies[s] = counts[s];
  }

  printf("%-22s %-6s %12s %14s %14s %s\n", "codec", "width", "bytes/elem", "encode MB/s", "decode MB/s", "");
  const char* names[3] = {"0 range coder", "1 fast packer", "2 FSE channels"};
  for (int type : {kFseCodecId, kFastCodecId, kRangeCodecId}) {
    if (regrets.elements) {
      const Figures f = Measure(type, regrets, frequencies);
      printf("%-22s %-6s %12.3f %14.1f %14.1f %s\n", names[type], "16-bit", f.bytesPerElement, f.encodeMBs,
             f.decodeMBs, f.exact ? "" : "MISMATCH");
    }
    if (sums.elements) {
      const Figures f = Measure(type, sums, frequencies);
      printf("%-22s %-6s %12.3f %14.1f %14.1f %s\n", names[type], "32-bit", f.bytesPerElement, f.encodeMBs,
             f.decodeMBs, f.exact ? "" : "MISMATCH");
    }
    fflush(stdout);
  }
  _exit(0);
}
