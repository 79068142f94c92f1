// Storage streams and compressed river storage. The storage is checked
// against plain arrays: random sequences of opening, row operations and
// closing (with random write flags) must leave every row bit-identical to a
// u16 / u32 array that received the same operations, and ReadRow must give
// what the uncompressed 16-bit storage gives for the same counts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/binary_reader.h"
#include "core/cpu_info.h"
#include "game/deal_table.h"
#include "memory_io.h"
#include "storage/compressed_kernels_variants.h"
#include "storage/compressed_river_storage.h"
#include "storage/packed_rows.h"
#include "storage/river_storage.h"
#include "storage/storage_stream.h"
#include "storage/update_kernels.h"

namespace {

struct Array {
  AlignedArray a{};
  Array() = default;
  explicit Array(const std::vector<double>& values) {
    ResizeAlignedArray(a, static_cast<uint32_t>(values.size()));
    std::copy(values.begin(), values.end(), a.data);
  }
  ~Array() { ReleaseAlignedArray(a); }
  Array(const Array&) = delete;
};

std::vector<double> RandomValues(std::mt19937& rng, uint32_t n, double low, double high) {
  std::uniform_real_distribution<double> value(low, high);
  std::vector<double> out(n);
  for (double& v : out) v = value(rng);
  return out;
}

// Walks the river nodes of one board the way the solver's walks do: each
// player's first node owns the stream, the others chain on it.
struct Walk {
  std::vector<CompressedRiverStorage*> nodes;
  std::vector<int> players;

  void Open(int board) {
    int64_t hints[2] = {0, 0};
    for (size_t i = 0; i < nodes.size(); ++i) hints[players[i]] += nodes[i]->ElementCount(board);
    void* streams[2] = {nullptr, nullptr};
    for (size_t i = 0; i < nodes.size(); ++i)
      streams[players[i]] = nodes[i]->OpenBoard(streams[players[i]], board, hints[players[i]]);
    for (void* s : streams)
      if (s) static_cast<StorageStreamInterface*>(s)->EndRead();
  }
  void Close(int board, const bool write[2]) {
    void* streams[2] = {nullptr, nullptr};
    for (size_t i = 0; i < nodes.size(); ++i)
      streams[players[i]] = nodes[i]->CloseBoard(streams[players[i]], board, write[players[i]] ? 1 : 0);
    for (void* s : streams)
      if (s) static_cast<StorageStreamInterface*>(s)->EndWrite();
  }
};

// Several nodes of both players over one layout, with the plain rows they
// must hold: [node][entry][action] -> values.
class Differential {
 public:
  Differential(int actions, bool sixteenBit, int level, const std::vector<std::vector<uint32_t>>& counts)
      : actions_(actions), level_(level), sixteenBit_(sixteenBit), counts_(counts) {
    EXPECT_TRUE(BuildFlatIndex(layout_, actions, counts));
    walk_.players = {0, 1, 0, 0, 1};
    for (size_t i = 0; i < walk_.players.size(); ++i) {
      storages_.push_back(std::make_unique<CompressedRiverStorage>(&layout_, sixteenBit, level));
      walk_.nodes.push_back(storages_.back().get());
    }
    committed_.assign(storages_.size(), std::vector<std::vector<std::vector<uint32_t>>>(layout_.entryTotal));
    for (auto& node : committed_)
      for (uint32_t e = 0; e < layout_.entryTotal; ++e)
        node[e].assign(actions, std::vector<uint32_t>(layout_.entries[e].count, 0));
    // A combo-lock mask on a few entries: locked hands keep their counts.
    for (uint32_t e = 0; e < layout_.entryTotal; e += 3) {
      const uint32_t n = layout_.entries[e].count;
      if (n < 2) continue;
      std::vector<uint8_t> mask(n, 0);
      mask[1] = 1;
      NodeRecord* record = storages_[e % storages_.size()]->GetNodeRecord(BoardOf(e), static_cast<int>(e - First(e)));
      record->SetMask(mask.data(), static_cast<int32_t>(n));
    }
  }

  int Boards() const { return static_cast<int>(layout_.turnCount); }

  // One open / operate / close cycle on a board.
  void Cycle(int board, std::mt19937& rng) {
    walk_.Open(board);
    ExpectRows(board);
    std::uniform_int_distribution<int> pick(0, 99);
    const LayoutPair& slice = layout_.turnIndex[board];
    // This board's rows only: other threads work on the other boards.
    std::vector<std::vector<std::vector<std::vector<uint32_t>>>> working(storages_.size());
    for (size_t node = 0; node < storages_.size(); ++node)
      working[node].assign(committed_[node].begin() + slice.start,
                           committed_[node].begin() + slice.start + slice.count);
    const int operations = slice.count ? pick(rng) % 12 : 0;
    for (int k = 0; k < operations; ++k) {
      const size_t node = static_cast<size_t>(pick(rng)) % storages_.size();
      const int river = pick(rng) % static_cast<int>(slice.count);
      const uint32_t entry = slice.start + static_cast<uint32_t>(river);
      const uint32_t n = layout_.entries[entry].count;
      std::vector<std::vector<uint32_t>>& rows = working[node][static_cast<uint32_t>(river)];
      CompressedRiverStorage& storage = *storages_[node];
      const int kind = pick(rng) % 3;
      if (kind == 0) {
        const int action = pick(rng) % actions_;
        // Integers the storage keeps exactly (the 16-bit ones through the
        // same quantisation as the plain row), with some out of range.
        // Packed rows take any values; coded rows must keep to their budget
        // of 2 bytes an element, so they get rows shaped like a solve's:
        // neighbouring hands hold nearby values.
        std::vector<double> values;
        if (level_ == 1) {
          values = RandomValues(rng, n, -10.0, sixteenBit_ ? 70000.0 : 2.2e9);
        } else {
          values = RandomValues(rng, n, -20.0, 20.0);
          double walk = pick(rng) * 30.0;
          for (double& v : values) v = walk += v;
        }
        for (double& v : values) v = std::floor(v);
        Array row(values);
        storage.WriteRow(board, river, action, row.a);
        for (uint32_t i = 0; i < n; ++i) {
          const double v = values[i];
          rows[action][i] = v <= 0 ? 0 : static_cast<uint32_t>(std::min(v, sixteenBit_ ? 65535.0 : 2147483647.0));
        }
      } else if (kind == 1 && sixteenBit_) {
        Array x(RandomValues(rng, n, -50.0, 50.0));
        std::vector<std::unique_ptr<Array>> owned;
        std::vector<AlignedArray> y;
        for (int a = 0; a < actions_; ++a) {
          owned.push_back(std::make_unique<Array>(RandomValues(rng, n, -50.0, 50.0)));
          y.push_back(owned.back()->a);
        }
        storage.UpdateRow(board, river, x.a, y, nullptr, nullptr, 3.0);
        const NodeRecord* record = storage.GetNodeRecord(board, river);
        for (int a = 0; a < actions_; ++a) {
          std::vector<uint16_t> plain(rows[a].begin(), rows[a].end());
          UpdateCompandedU16(plain.data(), x.a, y[a], nullptr, record->mask, record->maskLength, 3.0);
          rows[a].assign(plain.begin(), plain.end());
        }
      } else if (kind == 2 && !sixteenBit_) {
        Array reach(RandomValues(rng, n, 0.0, 2.0));
        std::vector<std::unique_ptr<Array>> owned;
        std::vector<AlignedArray> strategy;
        for (int a = 0; a < actions_; ++a) {
          owned.push_back(std::make_unique<Array>(RandomValues(rng, n, 0.0, 1.0)));
          strategy.push_back(owned.back()->a);
        }
        storage.AccumulateRow(board, river, strategy, reach.a, 1000.0);
        const NodeRecord* record = storage.GetNodeRecord(board, river);
        for (int a = 0; a < actions_; ++a) {
          std::vector<int32_t> plain(rows[a].begin(), rows[a].end());
          AccumulateRounded(plain.data(), strategy[a], reach.a, record->mask, record->maskLength, 1000.0);
          rows[a].assign(plain.begin(), plain.end());
        }
      }
    }
    bool write[2] = {pick(rng) % 2 == 0, pick(rng) % 3 != 0};
    walk_.Close(board, write);
    for (size_t node = 0; node < storages_.size(); ++node)
      if (write[walk_.players[node]])
        for (uint32_t r = 0; r < slice.count; ++r) committed_[node][slice.start + r] = working[node][r];
    for (size_t node = 0; node < storages_.size(); ++node) EXPECT_FALSE(storages_[node]->IsOpen(board));
  }

  // Opens a board, checks its rows and what ReadRow makes of them, closes it
  // without writing.
  void Check(int board) {
    walk_.Open(board);
    ExpectRows(board);
    const LayoutPair& slice = layout_.turnIndex[board];
    std::vector<float> defaults(actions_);
    for (int a = 0; a < actions_; ++a) defaults[a] = 0.125f * static_cast<float>(a + 1);
    for (size_t node = 0; node < storages_.size(); ++node) {
      ShortRiverStorage plain(&layout_);
      for (uint32_t r = 0; r < slice.count; ++r) {
        const uint32_t e = slice.start + r;
        std::vector<AlignedArray> got;
        storages_[node]->ReadRow(board, static_cast<int>(r), defaults.data(), got);
        const auto& rows = committed_[node][e];
        ASSERT_EQ(got.size(), static_cast<size_t>(actions_));
        if (sixteenBit_) {
          for (int a = 0; a < actions_; ++a) {
            Array values(std::vector<double>(rows[a].begin(), rows[a].end()));
            plain.WriteRow(board, static_cast<int>(r), a, values.a);
          }
          std::vector<AlignedArray> expected;
          plain.ReadRow(board, static_cast<int>(r), defaults.data(), expected);
          for (int a = 0; a < actions_; ++a)
            for (uint32_t i = 0; i < got[a].count; ++i) ASSERT_EQ(got[a].data[i], expected[a].data[i]);
          ReleaseRows(expected);
        } else {
          for (uint32_t i = 0; i < layout_.entries[e].count; ++i) {
            double total = 0;
            for (int a = 0; a < actions_; ++a) total += rows[a][i];
            for (int a = 0; a < actions_; ++a) {
              const double want = total >= 1 ? rows[a][i] / total : defaults[a];
              ASSERT_EQ(got[a].data[i], want) << "entry " << e << " hand " << i;
            }
          }
        }
        ReleaseRows(got);
      }
    }
    const bool none[2] = {false, false};
    walk_.Close(board, none);
  }

 private:
  int BoardOf(uint32_t entry) const {
    for (uint32_t t = 0; t < layout_.turnCount; ++t)
      if (entry < layout_.turnIndex[t].start + layout_.turnIndex[t].count) return static_cast<int>(t);
    return -1;
  }
  uint32_t First(uint32_t entry) const { return layout_.turnIndex[BoardOf(entry)].start; }

  void ExpectRows(int board) {
    const LayoutPair& slice = layout_.turnIndex[board];
    for (size_t node = 0; node < storages_.size(); ++node) {
      ASSERT_TRUE(storages_[node]->IsOpen(board));
      for (uint32_t r = 0; r < slice.count; ++r) {
        const uint32_t e = slice.start + r;
        for (int a = 0; a < actions_; ++a) {
          const std::vector<uint32_t>& want = committed_[node][e][a];
          for (uint32_t i = 0; i < want.size(); ++i) {
            const uint32_t got = sixteenBit_ ? storages_[node]->RowData16(board, static_cast<int>(r), a)[i]
                                             : storages_[node]->RowData32(board, static_cast<int>(r), a)[i];
            ASSERT_EQ(got, want[i]) << "node " << node << " entry " << e << " action " << a << " hand " << i;
          }
        }
      }
    }
  }

  int actions_;
  int level_;
  bool sixteenBit_;
  std::vector<std::vector<uint32_t>> counts_;
  StorageLayout layout_;
  std::vector<std::unique_ptr<CompressedRiverStorage>> storages_;
  Walk walk_;
  std::vector<std::vector<std::vector<std::vector<uint32_t>>>> committed_;
};

// Hand counts per board: entries with 0 hands, counts that grow and shrink
// from entry to entry (chained and unchained rows), a board without entries.
std::vector<std::vector<uint32_t>> TestCounts() {
  return {{5, 0, 7, 7, 3, 40, 33, 1, 0, 9},
          {120, 119, 121, 64, 64, 0, 2},
          {},
          {0, 0},
          {300, 280, 281, 17, 16, 33},
          {1, 2, 3, 4, 5, 6, 7, 8}};
}

}  // namespace

TEST(CompressedRiverStorage, RowsMatchPlainArraysThroughRandomCycles) {
  for (int level : {1, 2}) {
    for (bool sixteenBit : {true, false}) {
      for (int actions : {2, 3, 5}) {
        SCOPED_TRACE(testing::Message() << "level " << level << (sixteenBit ? " 16-bit " : " 32-bit ") << actions
                                        << " actions");
        Differential model(actions, sixteenBit, level, TestCounts());
        // Board 5 is never opened before the final check: it reads as zeros.
        const int boards = model.Boards();
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
          threads.emplace_back([&model, t, boards, level, actions] {
            std::mt19937 rng(1000u * level + 10u * actions + static_cast<unsigned>(t));
            for (int cycle = 0; cycle < 12; ++cycle)
              for (int b = t; b < boards - 1; b += 3) model.Cycle(b, rng);
          });
        }
        for (std::thread& thread : threads) thread.join();
        for (int b = 0; b < boards; ++b) model.Check(b);
      }
    }
  }
}

TEST(CompressedRiverStorage, OpenClosedAndCountedBoards) {
  StorageLayout layout;
  ASSERT_TRUE(BuildFlatIndex(layout, 3, {{0, 0}, {5, 6}}));
  CompressedRiverStorage storage(&layout, false, 2);
  EXPECT_EQ(storage.ElementCount(-1), 33);
  EXPECT_EQ(storage.ElementCount(0), 0);
  EXPECT_EQ(storage.ElementCount(1), 33);
  // A board without elements is open once opened, and closes again.
  void* stream = storage.OpenBoard(nullptr, 0, 0);
  EXPECT_NE(stream, nullptr);
  EXPECT_TRUE(storage.IsOpen(0));
  std::vector<AlignedArray> rows;
  storage.ReadRow(0, 1, nullptr, rows);
  EXPECT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].count, 0u);
  EXPECT_EQ(storage.CloseBoard(nullptr, 0, 1), stream);
  EXPECT_FALSE(storage.IsOpen(0));
  // Closing a closed board does nothing.
  EXPECT_EQ(storage.CloseBoard(nullptr, 0, 1), nullptr);

  // Strategy sums: stored rounded and saturated to 0 .. 2^31 - 1; hands whose
  // sums are all 0 read the defaults (0 without them).
  static_cast<StorageStreamInterface*>(storage.OpenBoard(nullptr, 1, 33))->EndRead();
  Array values({0.4, 0.5, 2.5, -3.0, std::nan(""), 3e9, 2147483646.6});
  storage.WriteRow(1, 1, 0, values.a);
  const uint32_t* row = storage.RowData32(1, 1, 0);
  const uint32_t expected[6] = {0, 1, 3, 0, 0, 2147483647u};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(row[i], expected[i]) << i;
  const float defaults[3] = {0.5f, 0.25f, 0.25f};
  storage.ReadRow(1, 1, defaults, rows);
  EXPECT_EQ(rows[0].data[0], 0.5);  // all zero: the default
  EXPECT_EQ(rows[0].data[1], 1.0);
  storage.ReadRow(1, 1, nullptr, rows);
  EXPECT_EQ(rows[1].data[0], 0.0);
  static_cast<StorageStreamInterface*>(storage.CloseBoard(nullptr, 1, 1))->EndWrite();
  static_cast<StorageStreamInterface*>(storage.OpenBoard(nullptr, 1, 33))->EndRead();
  EXPECT_EQ(storage.RowData32(1, 1, 0)[5], 2147483647u);
  storage.CloseBoard(nullptr, 1, 0);
  ReleaseRows(rows);
}

TEST(CompressedRiverStorageDeathTest, ReadingAClosedBoardFails) {
  StorageLayout layout;
  ASSERT_TRUE(BuildFlatIndex(layout, 2, {{4}}));
  CompressedRiverStorage storage(&layout, true, 1);
  std::vector<AlignedArray> rows;
  const float defaults[2] = {0.5f, 0.5f};
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        storage.ReadRow(0, 0, defaults, rows);
      },
      ::testing::ExitedWithCode(1), "fail \\(not open\\)");
}

// --- Streams ----------------------------------------------------------------------------

TEST(StorageStreams, PassesCountersAndRecords) {
  std::mt19937 rng(7);
  std::vector<uint16_t> row(700), previous(700);
  for (uint16_t& v : previous) v = static_cast<uint16_t>(rng() % 3000);
  for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint16_t>(previous[i] + (rng() % 5));
  for (int kind = 0; kind < 2; ++kind) {
    SCOPED_TRACE(kind ? "fast" : "compressed");
    std::unique_ptr<StorageStreamInterface> stream;
    if (kind)
      stream = std::make_unique<FastStorageStream>(100000, 2);
    else
      stream = std::make_unique<CompressedStorageStream>(100000, 2);
    EXPECT_FALSE(stream->HasData());
    stream->BeginWrite();
    stream->EndWrite();
    // An empty write pass: the coded stream holds its codec id, the packed
    // one nothing.
    EXPECT_EQ(stream->HasData(), kind == 0);
    const int64_t written = StorageBytesWritten.load();
    stream->BeginWrite();
    stream->WriteRow16(previous.data(), nullptr, 700);
    stream->WriteRow16(row.data(), previous.data(), 700);
    stream->EndWrite();
    stream->EndWrite();  // outside a pass: nothing
    EXPECT_GT(StorageBytesWritten.load(), written);
    // Read twice, the first pass stopping after one row: each pass starts at
    // the block's start with the lane lengths the block was written with,
    // whatever the last pass left behind.
    for (int pass = 0; pass < 2; ++pass) {
      const int64_t read = StorageBytesRead.load();
      std::vector<uint16_t> a(700), b(700);
      ASSERT_TRUE(stream->HasData());
      stream->BeginRead();
      stream->ReadRow16(a.data(), nullptr, 700);
      if (pass == 1) {
        stream->ReadRow16(b.data(), a.data(), 700);
        EXPECT_EQ(b, row);
      }
      stream->EndRead();
      stream->EndRead();
      EXPECT_EQ(a, previous);
      EXPECT_GT(StorageBytesRead.load(), read);
    }
    // The record reads back into a stream made for loading, with its limit.
    MemoryWriter writer;
    stream->Save(writer);
    MemoryReader reader(writer.bytes);
    std::unique_ptr<StorageStreamInterface> loaded;
    if (kind)
      loaded = std::make_unique<FastStorageStream>();
    else
      loaded = std::make_unique<CompressedStorageStream>();
    loaded->Load(reader);
    EXPECT_EQ(reader.Remaining(), 0u);
    EXPECT_EQ(loaded->ReserveLimit(), stream->ReserveLimit());
    std::vector<uint16_t> a(700), b(700);
    loaded->BeginRead();
    loaded->ReadRow16(a.data(), nullptr, 700);
    loaded->ReadRow16(b.data(), a.data(), 700);
    loaded->EndRead();
    EXPECT_EQ(a, previous);
    EXPECT_EQ(b, row);
  }
}

// The kernels behind EndWrite / EndRead and ReadRow / ElementCount, in both
// instruction-set variants: lane lengths whose sum passes 2^32, lanes joined in
// order, counts of layouts of every length, and quotients of sums up to
// 2^32 - 1 (a loaded file may hold any) exactly as the plain division gives
// them.
TEST(StorageStreams, CompressedKernelVariantsAgreeWithPlainArithmetic) {
  if (!CpuSupportsAvx2Fma()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(21);
  int32_t lengths[kCodecChannels];
  int64_t sum = 0;
  for (int k = 0; k < kCodecChannels; ++k) sum += lengths[k] = k % 5 == 0 ? INT32_MAX : static_cast<int32_t>(rng() % 9);
  EXPECT_EQ(kernels_avx2::SumLaneLengths(lengths), sum);
  EXPECT_EQ(kernels_avx::SumLaneLengths(lengths), sum);

  std::vector<std::vector<uint8_t>> lanes(kCodecChannels);
  uint8_t* starts[kCodecChannels];
  std::vector<uint8_t> joined;
  for (int k = 0; k < kCodecChannels; ++k) {
    lanes[k].resize(k % 3 == 1 ? 0 : 1 + rng() % 70);
    for (uint8_t& b : lanes[k]) b = static_cast<uint8_t>(rng());
    starts[k] = lanes[k].data();
    lengths[k] = static_cast<int32_t>(lanes[k].size());
    joined.insert(joined.end(), lanes[k].begin(), lanes[k].end());
  }
  for (int variant = 0; variant < 2; ++variant) {
    std::vector<uint8_t> out(joined.size() + 1, 0xEE);
    uint8_t* end = variant ? kernels_avx::JoinLanes(out.data(), starts, lengths)
                           : kernels_avx2::JoinLanes(out.data(), starts, lengths);
    EXPECT_EQ(end, out.data() + joined.size());
    EXPECT_TRUE(std::equal(joined.begin(), joined.end(), out.begin())) << variant;
    EXPECT_EQ(out.back(), 0xEE);
  }

  std::vector<LayoutPair> pairs(11);
  for (LayoutPair& p : pairs) p = {0xFFFFFFFFu, 0xFFFFFFF0u - static_cast<uint32_t>(rng() % 1000)};
  for (uint32_t n = 0; n <= pairs.size(); ++n) {
    int64_t expected = 0;
    for (uint32_t i = 0; i < n; ++i) expected += pairs[i].count;
    EXPECT_EQ(kernels_avx2::SumEntryCounts(pairs.data(), n), expected) << n;
    EXPECT_EQ(kernels_avx::SumEntryCounts(pairs.data(), n), expected) << n;
  }

  const uint32_t edges[] = {0, 1, 2147483647u, 2147483648u, 4294967295u};
  for (int actions : {1, 2, 5}) {
    for (int hands : {1, 3, 4, 7, 13}) {
      const size_t stride = static_cast<size_t>(hands + 3) & ~size_t{3};
      std::vector<uint32_t> sums(stride * static_cast<size_t>(actions), 0);
      for (int a = 0; a < actions; ++a)
        for (int i = 0; i < hands; ++i)
          sums[a * stride + i] = i % 4 == 2 ? 0 : (rng() % 3 == 0 ? edges[rng() % 5] : rng() % 1000);
      const float defaults[5] = {0.5f, 0.25f, 0.125f, 0.0625f, 0.0625f};
      for (const float* d : {static_cast<const float*>(defaults), static_cast<const float*>(nullptr)}) {
        for (int variant = 0; variant < 2; ++variant) {
          std::vector<Array> rows(static_cast<size_t>(actions));
          std::vector<AlignedArray> out;
          for (Array& r : rows) {
            ResizeAlignedArray(r.a, static_cast<uint32_t>(hands));
            out.push_back(r.a);
          }
          if (variant)
            kernels_avx::SumsToProbs(sums.data(), stride, actions, out.data(), hands, d);
          else
            kernels_avx2::SumsToProbs(sums.data(), stride, actions, out.data(), hands, d);
          for (int i = 0; i < hands; ++i) {
            uint64_t total = 0;
            for (int a = 0; a < actions; ++a) total += sums[a * stride + i];
            for (int a = 0; a < actions; ++a) {
              const double want = total ? static_cast<double>(sums[a * stride + i]) / static_cast<double>(total)
                                        : (d ? static_cast<double>(d[a]) : 0.0);
              ASSERT_EQ(out[a].data[i], want) << "variant " << variant << " hand " << i << " action " << a;
            }
          }
        }
      }
    }
  }

  // A coded block is the same under both variants, and each reads the other's.
  const bool baselineBefore = !UseAvx2FmaKernels();
  std::vector<uint32_t> row(900), previous(900);
  for (size_t i = 0; i < row.size(); ++i) {
    previous[i] = rng() % 50000;
    row[i] = previous[i] + (rng() % 4 == 0 ? rng() % 300 : 0);
  }
  std::string records[2];
  for (int variant = 0; variant < 2; ++variant) {
    ForceBaselineKernels(variant == 1);
    CompressedStorageStream stream(100000, 4);
    stream.BeginWrite();
    for (int r = 0; r < 40; ++r) {
      stream.WriteRow32(previous.data(), nullptr, 900);
      stream.WriteRow32(row.data(), previous.data(), 900);
    }
    stream.EndWrite();
    MemoryWriter writer;
    stream.Save(writer);
    records[variant] = writer.bytes;
    ForceBaselineKernels(variant == 0);
    const int64_t read = StorageBytesRead.load();
    std::vector<uint32_t> a(900), b(900);
    stream.BeginRead();
    for (int r = 0; r < 40; ++r) {
      stream.ReadRow32(a.data(), nullptr, 900);
      stream.ReadRow32(b.data(), a.data(), 900);
    }
    stream.EndRead();
    EXPECT_EQ(a, previous);
    EXPECT_EQ(b, row);
    EXPECT_EQ(StorageBytesRead.load() - read, stream.BlockLength());
  }
  ForceBaselineKernels(baselineBefore);
  EXPECT_TRUE(records[0] == records[1]);
}

TEST(StorageStreams, CompressedStreamRejectsLanesThatDoNotMakeTheBlock) {
  std::string record;
  for (int k = 0; k < 24; ++k) {
    Put<int32_t>(record, k == 0 ? 10 : 0);
    Put<int32_t>(record, k == 0 ? 10 : 0);
  }
  Put<int64_t>(record, 4096);
  Put<int64_t>(record, 9);  // the lanes claim 10 bytes
  record.append(9, '\0');
  MemoryReader reader(record);
  CompressedStorageStream stream;
  EXPECT_THROW(stream.Load(reader), IOException);
}

namespace {

// Fills a stream with rows packed at their worst case: 16-bit values above
// 4095 in every group.
void WriteWorstCaseRows(FastStorageStream& stream, const std::vector<int>& counts) {
  std::vector<uint16_t> row(1326, 60000);
  stream.BeginWrite();
  for (int n : counts) stream.WriteRow16(row.data(), nullptr, n);
  stream.EndWrite();
}

// A compressed stream's record whose block is `length` bytes, under a limit.
std::string CompressedRecord(int64_t limit, int64_t length) {
  std::string record;
  for (int k = 0; k < 24; ++k) {
    Put<int32_t>(record, k == 0 ? static_cast<int32_t>(length) : 0);
    Put<int32_t>(record, k == 0 ? static_cast<int32_t>(length) : 0);
  }
  Put<int64_t>(record, limit);
  Put<int64_t>(record, length);
  record.append(static_cast<size_t>(length), '\2');
  return record;
}

}  // namespace

TEST(StorageStreamsDeathTest, ReserveLimits) {
  // Packed rows: 16 hints of 2-byte elements give a limit of 16384 bytes. A
  // tail of 25 values packs to 54 bytes: 2 * 25 + ceil(25 / 32) would reserve
  // 51 and let the packer write past the reservation.
  EXPECT_EQ(FastStorageStream::ReserveFor(8000, 2), 16384);
  EXPECT_EQ(MaxPackedU16Bytes(25), 54);
  {
    FastStorageStream stream(8000, 2);
    // 251 full blocks of 65 bytes, a tail of 31 values (66 bytes) and one of
    // 1 value (3 bytes) reserve exactly the limit, 16384.
    std::vector<int> counts(251, 32);
    counts.push_back(31);
    counts.push_back(1);
    WriteWorstCaseRows(stream, counts);
    EXPECT_EQ(stream.Position(), 16384);
    EXPECT_EQ(stream.Capacity(), 16384);
    std::vector<uint16_t> out(32);
    stream.BeginRead();
    for (size_t i = 0; i + 1 < counts.size(); ++i) stream.ReadRow16(out.data(), nullptr, counts[i]);
    stream.EndRead();
    EXPECT_EQ(out[30], 60000);
  }
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        FastStorageStream stream(8000, 2);
        std::vector<int> counts(251, 32);
        counts.push_back(31);
        counts.push_back(2);  // 5 bytes: past the limit
        WriteWorstCaseRows(stream, counts);
      },
      ::testing::ExitedWithCode(1), "^out of memory \\(not enough reserved\\)\n$");

  // Coded blocks: exactly the limit is accepted, one byte more is not.
  {
    MemoryReader reader(CompressedRecord(8192, 8192));
    CompressedStorageStream stream;
    stream.Load(reader);
    EXPECT_EQ(stream.Capacity(), 8192);
  }
  // A record whose block passes its own limit comes from a damaged file: it
  // is refused, and the process goes on.
  {
    MemoryReader reader(CompressedRecord(8192, 8193));
    CompressedStorageStream stream;
    EXPECT_THROW(stream.Load(reader), IOException);
  }
}

TEST(StorageStreamsDeathTest, AWorkerThreadsFatalLineFlushesWhatWasPrinted) {
  // Standard output is a pipe here, so what was printed before stays in its
  // buffer until someone flushes it: the fatal exit must, before _exit.
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
        fputs("printed before\n", stdout);
        std::thread worker([] {
          CompressedStorageStream stream(0, 2);  // one granule of budget
          std::vector<uint16_t> row(1326);
          std::mt19937 rng(3);
          stream.BeginWrite();
          for (int k = 0; k < 20; ++k) {
            for (uint16_t& v : row) v = static_cast<uint16_t>(rng());
            stream.WriteRow16(row.data(), nullptr, 1326);
          }
          stream.EndWrite();
        });
        worker.join();
      },
      ::testing::ExitedWithCode(1), "^printed before\nout of memory \\(not enough reserved\\)\n$");
}

TEST(CompressedRiverStorage, RecordsLoadBackWithTheirStreams) {
  StorageLayout layout;
  ASSERT_TRUE(BuildFlatIndex(layout, 2, {{30, 20}, {0}, {12}}));
  for (int level : {1, 2}) {
    SCOPED_TRACE(level);
    CompressedRiverStorage saved(&layout, true, level);
    const uint8_t mask[20] = {1, 1, 0, 0, 1};
    saved.GetNodeRecord(0, 1)->SetMask(mask, 20);
    for (int board : {0, 2}) {
      saved.OpenBoard(nullptr, board, saved.ElementCount(board));
      for (int r = 0; r < (board ? 1 : 2); ++r) {
        std::vector<double> values(board ? 12 : (r ? 20 : 30));
        for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i * 7 + r * 3 + board);
        Array row(values);
        saved.WriteRow(board, r, 1, row.a);
      }
      static_cast<StorageStreamInterface*>(saved.CloseBoard(nullptr, board, 1))->EndWrite();
    }
    MemoryWriter writer;
    saved.Save(writer);
    CompressedRiverStorage loaded(&layout, true, level);
    MemoryReader reader(writer.bytes);
    loaded.Load(reader);
    EXPECT_EQ(reader.Remaining(), 0u);
    const NodeRecord* record = loaded.GetNodeRecord(0, 1);
    ASSERT_NE(record->mask, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(record->mask, record->mask + 20), std::vector<uint8_t>(mask, mask + 20));
    for (int board : {0, 1, 2}) {
      void* stream = loaded.OpenBoard(nullptr, board, 0);
      static_cast<StorageStreamInterface*>(stream)->EndRead();
      for (int r = 0; r < (board == 0 ? 2 : board == 2 ? 1 : 0); ++r) {
        const uint16_t* row = loaded.RowData16(board, r, 1);
        const uint16_t* zeros = loaded.RowData16(board, r, 0);
        for (uint32_t i = 0; i < static_cast<uint32_t>(loaded.EntryCount(board, r)); ++i) {
          EXPECT_EQ(row[i], i * 7 + r * 3 + board);
          EXPECT_EQ(zeros[i], 0);
        }
      }
      loaded.CloseBoard(nullptr, board, 0);
    }
  }
}
