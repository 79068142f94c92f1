#include "game/aligned_array.h"

#include "game/block_allocator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/output.h"
#include "core/parallel.h"
#include "core/thread_scratch.h"
#include "game/deal_table.h"

namespace {

// Blocks are taken and given back several times per node of every solver
// pass, most of them as long as a board's hand list. Each thread keeps a few
// freed blocks per size class (multiples of 64 doubles, up to the longest
// hand list) and hands them out again before asking the allocator.
//
// Every block carries a header just before its data: its size class and the
// distance from the allocated block to the data, so that a block is returned
// to the right class whatever its array's count says by then (callers may
// shorten a count while keeping the block).
constexpr uint32_t kClassDoubles = 64;
constexpr uint32_t kCachedClasses = 21;  // up to 1344 doubles: every hand list
constexpr uint32_t kBlocksPerClass = 16;
constexpr uint32_t kUncached = 0xFFFFFFFFu;

struct BlockHeader {
  uint32_t sizeClass;  // kUncached for blocks that go straight back
  uint32_t offset;     // bytes from the allocated block to the data
};

struct BlockCache {
  void* blocks[kCachedClasses][kBlocksPerClass];
  uint32_t counts[kCachedClasses] = {};
  ~BlockCache() {
    for (uint32_t c = 0; c < kCachedClasses; ++c)
      for (uint32_t i = 0; i < counts[c]; ++i) FreeAlignedBlock(blocks[c][i]);
  }
};

ThreadScratch<BlockCache> t_blockCache;

BlockHeader& HeaderOf(double* data) { return reinterpret_cast<BlockHeader*>(data)[-1]; }

double* TakeBlock(uint32_t n, size_t alignment) {
  // The header needs 8 bytes before the data; the data keep the alignment.
  const size_t offset = alignment < sizeof(BlockHeader) ? sizeof(BlockHeader) : alignment;
  const uint32_t sizeClass = (n + kClassDoubles - 1) / kClassDoubles - 1;
  const bool cached = alignment == kAlignedArrayAlignment && sizeClass < kCachedClasses;
  void* block = nullptr;
  if (cached) {
    BlockCache& cache = t_blockCache.Get();
    if (cache.counts[sizeClass] > 0) {
      block = cache.blocks[sizeClass][--cache.counts[sizeClass]];
    } else {
      block = AllocateAlignedBlock(offset + (sizeClass + 1) * size_t{kClassDoubles} * sizeof(double), alignment);
    }
  } else {
    block = AllocateAlignedBlock(offset + static_cast<size_t>(n) * sizeof(double), alignment);
  }
  if (!block) AllocationFailed();
  double* data = reinterpret_cast<double*>(static_cast<char*>(block) + offset);
  HeaderOf(data) = BlockHeader{cached ? sizeClass : kUncached, static_cast<uint32_t>(offset)};
  return data;
}

void GiveBackBlock(double* data) {
  const BlockHeader header = HeaderOf(data);
  void* block = reinterpret_cast<char*>(data) - header.offset;
  // A thread without a cache (one that ends, whose cache is gone) frees the
  // block rather than make a cache for it.
  BlockCache* cache = header.sizeClass < kCachedClasses ? t_blockCache.Find() : nullptr;
  if (cache && cache->counts[header.sizeClass] < kBlocksPerClass) {
    cache->blocks[header.sizeClass][cache->counts[header.sizeClass]++] = block;
    return;
  }
  FreeAlignedBlock(block);
}

}  // namespace

uint64_t BlockAddressBytes(uint64_t bytes) {
  if (bytes == 0) return 0;
  constexpr uint64_t kLargeObject = 8128, kLargeUnit = 8192, kLargeHeader = 256, kMediumObject = 65536;
  if (bytes <= kLargeObject) {
    // A small block takes a slot of its bin in slabs of the bin: bins of
    // 128-byte steps up to 1 KB, then the allocator's fitting sizes; a slab
    // holds its header and what its slots leave over (measured: up to 10 %
    // more than the bin's size).
    constexpr uint64_t kFittingBins[5] = {1792, 2688, 3968, 5376, kLargeObject};
    uint64_t bin = (bytes + 127) / 128 * 128;
    if (bytes > 1024)
      for (uint64_t fitting : kFittingBins)
        if (bytes <= fitting) {
          bin = fitting;
          break;
        }
    return bin + bin / 8;
  }
  const uint64_t units = (bytes + kLargeHeader + kLargeUnit - 1) / kLargeUnit * kLargeUnit;
  return units <= kMediumObject ? units + units / 8 + units / 32 : units + units / 4;
}

uint64_t AlignedArrayAddressBytes(uint32_t n) {
  if (n == 0) return 0;
  const uint64_t classDoubles = (n + kClassDoubles - 1) / kClassDoubles * kClassDoubles;
  return BlockAddressBytes(kAlignedArrayAlignment + classDoubles * sizeof(double));
}

void ResizeAlignedArrayBlock(AlignedArray& array, uint32_t n, size_t alignment) {
  if (n == array.count) return;
  if (array.data) {
    // A block of the size class n needs serves as it is: the contents are
    // uninitialised either way, and the block goes back to its class later.
    if (n > 0 && alignment == kAlignedArrayAlignment &&
        HeaderOf(array.data).sizeClass == (n + kClassDoubles - 1) / kClassDoubles - 1) {
      array.count = n;
      return;
    }
    GiveBackBlock(array.data);
  }
  array.data = nullptr;
  array.count = n;
  // An empty array simply holds no block.
  if (n == 0) return;
  array.data = TakeBlock(n, alignment);
}

void ReleaseAlignedArrayBlock(AlignedArray& array) {
  if (!array.data) return;
  GiveBackBlock(array.data);
  array.data = nullptr;
  array.count = 0;
}

void ZeroAlignedArray(AlignedArray& array, uint32_t n) {
  if (n != array.count || !array.data) {
    ReleaseAlignedArray(array);
    array.count = 0;
    ResizeAlignedArray(array, n);
  }
  if (n) memset(array.data, 0, static_cast<size_t>(n) * sizeof(double));
}

CardRecord::CardRecord() = default;

CardRecord::~CardRecord() {
  for (int i = 5; i >= 0; --i) ReleaseAlignedArray(arrays[i]);
}

CardRecord::CardRecord(CardRecord&& other) noexcept
    : absent0(other.absent0), absent1(other.absent1), reachFrozen(other.reachFrozen), value(other.value) {
  for (int i = 0; i < 6; ++i) {
    arrays[i] = other.arrays[i];
    other.arrays[i] = AlignedArray();
  }
}

CardRecord& CardRecord::operator=(CardRecord&& other) noexcept {
  if (this == &other) return *this;
  for (int i = 5; i >= 0; --i) ReleaseAlignedArray(arrays[i]);
  for (int i = 0; i < 6; ++i) {
    arrays[i] = other.arrays[i];
    other.arrays[i] = AlignedArray();
  }
  absent0 = other.absent0;
  absent1 = other.absent1;
  reachFrozen = other.reachFrozen;
  value = other.value;
  return *this;
}

void CopyCardRecord(const CardRecord& source, CardRecord& target) {
  if (&source == &target) return;
  for (int i = 0; i < 6; ++i) {
    const AlignedArray& from = source.arrays[i];
    AlignedArray& to = target.arrays[i];
    if (from.data) {
      ResizeAlignedArray(to, from.count);
      // A resize to an unchanged count keeps a missing block missing.
      if (!to.data && from.count) {
        to.count = 0;
        ResizeAlignedArray(to, from.count);
      }
      if (from.count) memcpy(to.data, from.data, static_cast<size_t>(from.count) * sizeof(double));
    } else {
      // An empty source row over a stored target row would silently drop the
      // target's values: the two records do not describe the same thing.
      if (to.data) Fail();
      to.count = from.count;
    }
  }
  target.absent0 = source.absent0;
  target.absent1 = source.absent1;
  target.reachFrozen = source.reachFrozen;
  target.value = source.value;
}

void AssignWordPair(double* target, const double* source) {
  target[0] = source[0];
  target[1] = source[1];
}

// --- Per-hand vectors (declared in game/deal_table.h) -----------------------------

void GatherPlayerValues(const std::vector<double>* vectors, AlignedArray& output, int32_t player,
                        const RiverRecord* groups) {
  const std::vector<double>& values = vectors[player];
  if (!groups) {
    const uint32_t n = static_cast<uint32_t>(values.size());
    ResizeAlignedArray(output, n);
    if (n && !output.data) ZeroAlignedArray(output, n);
    if (n) memcpy(output.data, values.data(), n * sizeof(double));
    return;
  }
  const uint32_t groupCount = static_cast<uint32_t>(groups->groupSizes.size());
  size_t needed = 0;
  for (int16_t size : groups->groupSizes) needed += size > 0 ? size : 0;
  // Groups are consecutive runs of the vector; running past its end would
  // read memory that is not the player's.
  if (needed > values.size()) Fail("hand groups exceed the vector");
  ResizeAlignedArray(output, groupCount);
  if (groupCount && !output.data) ZeroAlignedArray(output, groupCount);
  size_t position = 0;
  for (uint32_t g = 0; g < groupCount; ++g) {
    double sum = 0.0;
    for (int k = 0; k < groups->groupSizes[g]; ++k) sum += values[position++];
    output.data[g] = sum;
  }
}

void ComboVectorForDeal(std::vector<double>& output, const DealTable& table, const double* values,
                        uint32_t valueCount, int32_t turnIndex, int32_t riverIndex, bool nanFill) {
  const BoardCombos& combos = DealCombos(table, turnIndex, riverIndex);
  // Rows of the chosen board: hand groups when its river record has them.
  size_t rows = combos.hands.size();
  if (turnIndex >= 0 && riverIndex >= 0) rows = table.turns[turnIndex].rivers[riverIndex].RowCount();
  if (values && valueCount < rows) Fail("per-hand row shorter than the board's list");
  output.resize(kComboCount);
  ExpandComboValues(output.data(), values, valueCount, combos.comboMap, nanFill);
}

void ComboVectorForDeal(std::vector<double>& output, const DealTable& table, const AlignedArray& values,
                        int32_t turnIndex, int32_t riverIndex, bool nanFill) {
  ComboVectorForDeal(output, table, values.data, values.count, turnIndex, riverIndex, nanFill);
}

// --- EV working set ---------------------------------------------------------------------

EvWorkspace::~EvWorkspace() { DestroyEvWorkspace(*this); }

void InitEvWorkspace(EvWorkspace& workspace) { DestroyEvWorkspace(workspace); }

void DestroyEvWorkspace(EvWorkspace& workspace) {
  for (auto& entry : workspace.perDeal) {
    ReleaseAlignedArray(entry.second.second);
    ReleaseAlignedArray(entry.second.first);
  }
  workspace.perDeal.clear();
  ReleaseAlignedArray(workspace.second);
  ReleaseAlignedArray(workspace.first);
  workspace.second.count = 0;
  workspace.first.count = 0;
}
