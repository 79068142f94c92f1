#include "tree_file_writer.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "core/settings.h"
#include "game/deal_table.h"
#include "game/line_tree.h"
#include "memory_io.h"
#include "storage/compressed_river_storage.h"
#include "storage/packed_rows.h"
#include "storage/river_storage.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_unit.h"

namespace {

// Collects the rows of one save block and writes it in the chosen form.
class BlockWriter {
 public:
  BlockWriter(std::string& out, const TreeFileOptions& options) : out_(out), options_(options) {
    fast_ = options.version >= 6 && options.fastBlocks;
    if (options.version >= 6) Put<uint8_t>(out_, fast_ ? 1 : 0);
    if (!fast_) {
      uint64_t frequencies[256];
      for (int s = 0; s < 256; ++s) frequencies[s] = 256 - s;
      compressor_ = CreateCompressor(options.codec, options.codec == 0 ? frequencies : nullptr,
                                     options.codec == 0 ? counts_ : nullptr, &BlockWriter::Lane, this, &stats_);
    }
  }
  ~BlockWriter() { Finish(); }

  void Row32(const std::vector<uint32_t>& row) {
    if (row.empty()) return;
    if (!fast_) return CompressRow(compressor_, row.data(), nullptr, static_cast<int>(row.size()));
    uint8_t packed[8192];
    const uint8_t* end = PackI32Groups(packed, reinterpret_cast<const int32_t*>(row.data()), static_cast<int>(row.size()));
    Put<int16_t>(out_, static_cast<int16_t>(end - packed));
    out_.append(reinterpret_cast<const char*>(packed), static_cast<size_t>(end - packed));
  }
  void Row16(const std::vector<uint16_t>& row) {
    if (row.empty()) return;
    if (!fast_) return CompressRow16(compressor_, row.data(), nullptr, static_cast<int>(row.size()));
    uint8_t packed[4096];
    const uint8_t* end = PackU16Groups(packed, row.data(), static_cast<int>(row.size()));
    Put<int16_t>(out_, static_cast<int16_t>(end - packed));
    out_.append(reinterpret_cast<const char*>(packed), static_cast<size_t>(end - packed));
  }
  void Finish() {
    if (!compressor_) return;
    DestroyCompressor(compressor_);
    compressor_ = nullptr;
    for (const std::string& lane : lanes_) {
      Put<uint64_t>(out_, lane.size());
      out_ += lane;
    }
  }

 private:
  static int Lane(void* context, int lane, uint8_t* data, int length) {
    static_cast<BlockWriter*>(context)->lanes_[lane].append(reinterpret_cast<const char*>(data), length);
    return length;
  }
  std::string& out_;
  const TreeFileOptions& options_;
  bool fast_ = true;
  CompressorInterface* compressor_ = nullptr;
  CompressionStats stats_;
  uint64_t counts_[256] = {};
  std::string lanes_[kCodecChannels];
};

void PutLines(std::string& out, const SchematicNode& node) {
  Put<int32_t>(out, node.player);
  Put<int32_t>(out, node.street);
  Put<int32_t>(out, node.bets);
  Put<int32_t>(out, node.treeIndex);
  Put<double>(out, node.amount);
  Put<double>(out, node.chipsOop);
  Put<double>(out, node.chipsIp);
  Put<int32_t>(out, static_cast<int32_t>(node.children.size()));
  for (const auto& [key, child] : node.children) {
    Put<double>(out, key);
    PutLines(out, *child);
  }
}

template <typename T>
void PutArray(std::string& out, const AlignedArray& array) {
  Put<int32_t>(out, static_cast<int32_t>(array.count));
  for (uint32_t i = 0; i < array.count; ++i) Put<T>(out, static_cast<T>(array.data[i]));
}

void PutReach(std::string& out, const AlignedArray& array) {
  Put<int32_t>(out, static_cast<int32_t>(array.count));
  for (uint32_t i = 0; i < array.count; ++i) Put<int16_t>(out, static_cast<int16_t>(std::lround(array.data[i] * 150.0)));
}

void PutCardRecord(std::string& out, const CardRecord& record, int version) {
  if (version < 4) {
    for (const AlignedArray& array : record.arrays) {
      if (version < 2)
        PutArray<double>(out, array);
      else
        PutArray<float>(out, array);
    }
  } else {
    Put<uint8_t>(out, record.absent0);
    Put<uint8_t>(out, record.absent1);
    if (!record.absent0) PutReach(out, record.arrays[0]);
    if (!record.absent1) PutReach(out, record.arrays[1]);
  }
  Put<uint8_t>(out, record.reachFrozen);
  Put<double>(out, record.value);
}

// The records the 4-byte and 2-byte river storages do not save themselves.
void PutRiverStorage(std::string& out, UncompressedRiverStorage& storage, int version) {
  const StorageLayout* layout = storage.Layout();
  if (!layout) return;
  for (uint32_t t = 0; t < layout->turnCount; ++t)
    for (uint32_t r = 0; r < layout->turnIndex[t].count; ++r) {
      MemoryWriter writer;
      SaveNodeRecord(*storage.GetNodeRecord(static_cast<int>(t), static_cast<int>(r)), writer);
      out += writer.bytes;
    }
  auto* floats = dynamic_cast<RiverStorage*>(&storage);
  auto* shorts = dynamic_cast<ShortRiverStorage*>(&storage);
  for (uint32_t t = 0; t < layout->turnCount; ++t)
    for (uint32_t r = 0; r < layout->turnIndex[t].count; ++r) {
      const int hands = storage.EntryCount(static_cast<int>(t), static_cast<int>(r));
      for (uint32_t a = 0; a < layout->actionCount; ++a) {
        if (floats) {
          const float* row = floats->RowData(static_cast<int>(t), static_cast<int>(r), static_cast<int>(a));
          for (int i = 0; i < hands; ++i) Put<float>(out, row ? row[i] : 0.0f);
          continue;
        }
        const uint16_t* row = shorts->RowData(static_cast<int>(t), static_cast<int>(r), static_cast<int>(a));
        std::vector<uint16_t> values(static_cast<size_t>(hands), 0);
        for (int i = 0; i < hands && row; ++i) values[i] = row[i];
        if (version < 4) {
          for (uint16_t v : values) Put<uint16_t>(out, v);
          continue;
        }
        uint8_t packed[4096];
        const uint8_t* end = PackU16Groups(packed, values.data(), hands);
        Put<int16_t>(out, static_cast<int16_t>(end - packed));
        out.append(reinterpret_cast<const char*>(packed), static_cast<size_t>(end - packed));
      }
    }
}

void PutStorage(std::string& out, StorageInterface* storage, int version) {
  if (!storage) return;
  if (auto* river = dynamic_cast<UncompressedRiverStorage*>(storage)) return PutRiverStorage(out, *river, version);
  MemoryWriter writer;
  storage->Save(writer);
  out += writer.bytes;
}

bool RecordsInFile(const TreeNode& node, int forgotten, int version) {
  if (!node.cardRecords || node.cardRecordCount <= 0) return false;
  return !(forgotten >= 0 && node.street > forgotten && version >= 3);
}

// A node's first-storage strategy for one board as thousandths, the last
// action left out.
void PutStrategyGroup(BlockWriter& block, TreeNode& node, int board) {
  std::vector<AlignedArray> rows;
  node.firstStorage->ReadRow(board, -1, nullptr, rows);
  for (size_t a = 0; a + 1 < rows.size(); ++a) {
    std::vector<uint16_t> values(rows[a].count);
    for (uint32_t i = 0; i < rows[a].count; ++i)
      values[i] = static_cast<uint16_t>(std::lround(rows[a].data[i] * 1000.0));
    block.Row16(values);
  }
  ReleaseRows(rows);
}

}  // namespace

std::string TreeFileBytes(const TreeFileOptions& options) {
  SolverTree& tree = *CurrentTree;
  const int v = options.version;
  const int forgotten = tree.forgottenStreet;
  std::string out = "OXA:";
  Put<int32_t>(out, v);
  if (v >= 4) Put<uint8_t>(out, options.skipCardValues ? 1 : 0);
  for (int i = 0; i < 3; ++i) Put<uint64_t>(out, BoardMasks[i]);
  for (int i = 0; i < 3; ++i) Put<double>(out, PotSettings[i]);
  for (int p = 0; p < 2; ++p)
    for (double w : RangeVectors[p]) Put<double>(out, w);
  PutLines(out, *SchematicRoot);

  Put<uint32_t>(out, tree.flags.load());
  Put<int32_t>(out, forgotten);
  Put<int32_t>(out, tree.lastResultsIteration);
  Put<double>(out, tree.resultPairs[0][0]);
  Put<double>(out, tree.resultPairs[0][1]);
  Put<double>(out, tree.resultPairs[1][0]);
  Put<double>(out, tree.resultPairs[1][1]);
  Put<double>(out, tree.resultPairs[2][1]);
  Put<double>(out, tree.resultPairs[2][0]);
  Put<int32_t>(out, ActualCompression);

  Put<int32_t>(out, tree.iterationCount);
  for (TreeNode& node : tree.nodes) {
    if (RecordsInFile(node, forgotten, v))
      for (int32_t i = 0; i < node.cardRecordCount; ++i) PutCardRecord(out, node.cardRecords[i], v);
    // A forgotten street's storages are never in the file (sub-trees solved
    // again since have storages in memory, but a loaded tree has none there).
    if (forgotten < 0 || (v < 4 && node.street < forgotten)) {
      PutStorage(out, node.firstStorage, v);
      PutStorage(out, node.secondStorage, v);
    }
  }
  if (v < 4) return out;
  for (TreeNode& node : tree.nodes) {
    if (!RecordsInFile(node, forgotten, v)) continue;
    for (int32_t i = 0; i < node.cardRecordCount; ++i)
      for (int a = 2; a < 6; ++a) Put<int32_t>(out, static_cast<int32_t>(node.cardRecords[i].arrays[a].count));
  }
  if (!options.skipCardValues) {
    BlockWriter block(out, options);
    for (TreeNode& node : tree.nodes) {
      if (!RecordsInFile(node, forgotten, v)) continue;
      for (int32_t i = 0; i < node.cardRecordCount; ++i)
        for (int a = 2; a < 6; ++a) {
          const AlignedArray& array = node.cardRecords[i].arrays[a];
          std::vector<uint32_t> row(array.count);
          for (uint32_t k = 0; k < array.count; ++k)
            row[k] = ZigZag(static_cast<uint32_t>(static_cast<int32_t>(std::lround(array.data[k] * 100.0))));
          block.Row32(row);
        }
    }
  }
  if (forgotten < 0) return out;
  BlockWriter block(out, options);
  for (TreeNode& node : tree.nodes) {
    if (node.street >= forgotten || node.kind != kInnerNode || !node.firstStorage) continue;
    if (node.street == 1) PutStrategyGroup(block, node, -1);
    if (node.street == 2)
      for (size_t b = 0; b < tree.dealTable->turns.size(); ++b) PutStrategyGroup(block, node, static_cast<int>(b));
  }
  block.Finish();
  return out;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) return;
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

void WriteTreeFile(const std::string& path, const TreeFileOptions& options) {
  WriteBytes(path, TreeFileBytes(options));
}
