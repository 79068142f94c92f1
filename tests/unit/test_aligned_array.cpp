// Aligned arrays, card records, player-value gathering and the EV working set.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/parallel.h"
#include "game/aligned_array.h"
#include "game/block_allocator.h"
#include "game/deal_table.h"

namespace {

// Bytes mapped by the process (the size field of /proc/self/statm).
uint64_t MappedBytes() {
  long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm) {
    if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
    fclose(statm);
  }
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

void Fill(AlignedArray& array, uint32_t n, double first) {
  ResizeAlignedArray(array, n);
  for (uint32_t i = 0; i < n; ++i) array.data[i] = first + i;
}

void AllocateBeyondTheAddressLimit() {
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = rlim_t(1) << 30;
  setrlimit(RLIMIT_AS, &limit);
  AlignedArray a;
  ResizeAlignedArray(a, 0xFFFFFFFFu);  // 32 GB
}

void CopyEmptyRowOverStoredRow() {
  CardRecord source;
  CardRecord target;
  source.arrays[2].count = 3;
  Fill(target.arrays[2], 3, 0.0);
  CopyCardRecord(source, target);
}

void GatherPastTheVectorEnd() {
  std::vector<double> vectors[2];
  vectors[0] = {1, 2};
  AlignedArray out;
  RiverRecord groups;
  groups.groupSizes = {2, 1};
  GatherPlayerValues(vectors, out, 0, &groups);
}

}  // namespace

TEST(AlignedArray, ResizeKeepsBlockForUnchangedCount) {
  AlignedArray a;
  Fill(a, 7, 1.0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a.data) % 16, 0u);
  double* before = a.data;
  ResizeAlignedArray(a, 7);
  EXPECT_EQ(a.data, before);
  EXPECT_EQ(a.data[6], 7.0);
  ResizeAlignedArray(a, 9);
  EXPECT_EQ(a.count, 9u);
  ASSERT_NE(a.data, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a.data) % kAlignedArrayAlignment, 0u);
  ReleaseAlignedArray(a);
}

TEST(AlignedArray, EmptyArraysAndRelease) {
  AlignedArray a;
  ResizeAlignedArray(a, 0);  // released array to 0: nothing
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(a.count, 0u);

  Fill(a, 3, 0.0);
  ReleaseAlignedArray(a);
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(a.count, 0u);
  ReleaseAlignedArray(a);  // twice is harmless
  EXPECT_EQ(a.count, 0u);

  // An empty row (a count without a block) keeps its length through a
  // resize to the same count and through a release.
  AlignedArray row;
  row.count = 5;
  ResizeAlignedArray(row, 5);
  EXPECT_EQ(row.data, nullptr);
  ReleaseAlignedArray(row);
  EXPECT_EQ(row.count, 5u);

  // Resizing to zero holds no block.
  Fill(a, 4, 0.0);
  ResizeAlignedArray(a, 0);
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(a.count, 0u);

  ZeroAlignedArray(row, 5);
  ASSERT_NE(row.data, nullptr);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(row.data[i], 0.0);
  ReleaseAlignedArray(row);
}

// Freed blocks are handed out again by size class: every live block is
// aligned and disjoint from the others and keeps what was written to it, also
// in the rounds after blocks were released with shortened counts (a block
// returned to a larger size class would be overrun by the next round's
// fills, spoiling its neighbours). Blocks freed on another thread are
// reusable there.
TEST(AlignedArray, ReusedBlocksAreWholeAlignedAndDisjoint) {
  const uint32_t sizes[] = {1, 63, 64, 65, 425, 1081, 1326, 1345, 5000};
  std::vector<AlignedArray> live;
  for (int round = 0; round < 3; ++round) {
    for (uint32_t n : sizes)
      for (int copy = 0; copy < 20; ++copy) {
        AlignedArray a;
        Fill(a, n, 1000.0 * copy + n);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(a.data) % kAlignedArrayAlignment, 0u) << n;
        live.push_back(a);
      }
    for (size_t i = 0; i < live.size(); ++i) {
      const AlignedArray& a = live[i];
      for (uint32_t k = 0; k < a.count; ++k) ASSERT_EQ(a.data[k], a.data[0] + k) << "array " << i;
      for (size_t j = i + 1; j < live.size(); ++j) {
        const AlignedArray& b = live[j];
        ASSERT_TRUE(a.data + a.count <= b.data || b.data + b.count <= a.data) << i << " overlaps " << j;
      }
    }
    // Shorten some counts, then give everything back.
    for (size_t i = 0; i < live.size(); i += 3) live[i].count = 1;
    for (AlignedArray& a : live) ReleaseAlignedArray(a);
    live.clear();
  }
  std::vector<AlignedArray> moved(40);
  for (AlignedArray& a : moved) Fill(a, 1081, 0.0);
  std::thread other([&moved] {
    for (AlignedArray& a : moved) ReleaseAlignedArray(a);
    AlignedArray b;
    Fill(b, 1081, 5.0);
    EXPECT_EQ(b.data[1080], 1085.0);
    ReleaseAlignedArray(b);
  });
  other.join();
  for (const AlignedArray& a : moved) EXPECT_EQ(a.data, nullptr);
}

// The estimates of a pass's memory count each block at what the block
// allocator maps for it: blocks of each size, about 48 MB of them, map no
// more than counted, besides one region the allocator may map beyond them
// (blocks of 64 KB and more took up to a quarter more than the whole 8 KB
// units and the 2 KB first counted for them). The sizes include a block of
// each size class of rows up to 1,024 hands, whose bins the small blocks'
// count follows.
TEST(AlignedArray, BlocksMapNoMoreThanTheEstimatesCount) {
#ifdef PFSOLVE_SYSTEM_ALLOCATOR
  GTEST_SKIP() << "sanitizer builds allocate these blocks from the C allocator";
#endif
  constexpr int64_t kRegion = int64_t{4} << 20;
  std::vector<uint64_t> sizes = {200, 4000, 10816, 16448, 40000, 65536, 100000, 300000};
  for (uint32_t n = 64; n <= 1024; n += 64) sizes.push_back(kAlignedArrayAlignment + n * sizeof(double));
  for (const uint64_t bytes : sizes) {
    const size_t count = static_cast<size_t>((uint64_t{48} << 20) / bytes);
    std::vector<void*> blocks(count, nullptr);
#ifndef PFSOLVE_SYSTEM_ALLOCATOR
    // What the allocator keeps of blocks freed before goes back first, so
    // that none of it is given back while these are counted.
    scalable_allocation_command(TBBMALLOC_CLEAN_ALL_BUFFERS, nullptr);
#endif
    const int64_t before = static_cast<int64_t>(MappedBytes());
    for (void*& block : blocks) block = AllocateAlignedBlock(bytes, 64);
    const int64_t mapped = static_cast<int64_t>(MappedBytes()) - before;
    for (void* block : blocks) FreeAlignedBlock(block);
    EXPECT_LE(mapped, static_cast<int64_t>(count * BlockAddressBytes(bytes)) + kRegion) << bytes << "-byte blocks";
  }
  EXPECT_EQ(AlignedArrayAddressBytes(1326), BlockAddressBytes(64 + 1344 * sizeof(double)));
}

// Exhausted memory ends the process with status 1, never with a signal (a
// core dump, and no word to a front end); where the caller undoes its work
// (a tree being loaded) the failure reaches it as bad_alloc instead.
TEST(AlignedArray, ExhaustedMemoryEndsTheProcessOrReachesARecoverableCaller) {
#ifdef PFSOLVE_SYSTEM_ALLOCATOR
  GTEST_SKIP() << "sanitizer builds: their allocators cannot run under an address-space limit";
#endif
  EXPECT_EXIT(AllocateBeyondTheAddressLimit(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(
      {
        bool thrown = false;
        try {
          const RecoverableAllocations recoverable;
          AllocateBeyondTheAddressLimit();
        } catch (const std::bad_alloc&) {
          thrown = true;
        }
        // The scope is over: the next failure ends the process again.
        AlignedArray b;
        if (thrown) ResizeAlignedArray(b, 0xFFFFFFFFu);
        _exit(thrown ? 2 : 3);
      },
      ::testing::ExitedWithCode(1), "");
}

TEST(CardRecord, CopyAndMove) {
  CardRecord source;
  Fill(source.arrays[0], 4, 10.0);
  Fill(source.arrays[3], 2, 20.0);
  source.arrays[1].count = 6;  // empty row of six
  source.absent0 = 1;
  source.reachFrozen = 1;
  source.value = 2.5;

  CardRecord target;
  // A stored target row of the right length without a block must still
  // receive the values.
  target.arrays[3].count = 2;
  Fill(target.arrays[0], 9, 0.0);
  CopyCardRecord(source, target);
  ASSERT_EQ(target.arrays[0].count, 4u);
  EXPECT_EQ(target.arrays[0].data[3], 13.0);
  EXPECT_NE(target.arrays[0].data, source.arrays[0].data);
  ASSERT_NE(target.arrays[3].data, nullptr);
  EXPECT_EQ(target.arrays[3].data[1], 21.0);
  EXPECT_EQ(target.arrays[1].data, nullptr);
  EXPECT_EQ(target.arrays[1].count, 6u);
  EXPECT_EQ(target.arrays[5].count, 0u);
  EXPECT_EQ(target.absent0, 1);
  EXPECT_EQ(target.absent1, 0);
  EXPECT_EQ(target.reachFrozen, 1);
  EXPECT_EQ(target.value, 2.5);

  // Moving records in a growing vector keeps each block with one owner.
  std::vector<CardRecord> records(2);
  CopyCardRecord(source, records[1]);
  double* block = records[1].arrays[0].data;
  records.resize(40);
  EXPECT_EQ(records[1].arrays[0].data, block);
  EXPECT_EQ(records[1].arrays[0].data[0], 10.0);
  CardRecord moved(std::move(records[1]));
  EXPECT_EQ(moved.arrays[0].data, block);
  EXPECT_EQ(records[1].arrays[0].data, nullptr);
}

TEST(CardRecord, CopyOverStoredRowFromEmptyRowFails) {
  EXPECT_EXIT(CopyEmptyRowOverStoredRow(), ::testing::ExitedWithCode(1), "");
}

TEST(PlayerValues, GatherWithAndWithoutGroups) {
  std::vector<double> vectors[2] = {{1, 2, 3, 4, 5, 6}, {7, 8}};
  AlignedArray out;
  RiverRecord groups;
  groups.groupingMode = 1;
  groups.groupSizes = {2, 1, 3};
  GatherPlayerValues(vectors, out, 0, &groups);
  ASSERT_EQ(out.count, 3u);
  EXPECT_EQ(out.data[0], 3.0);
  EXPECT_EQ(out.data[1], 3.0);
  EXPECT_EQ(out.data[2], 15.0);

  GatherPlayerValues(vectors, out, 1, nullptr);
  ASSERT_EQ(out.count, 2u);
  EXPECT_EQ(out.data[0], 7.0);
  EXPECT_EQ(out.data[1], 8.0);
  ReleaseAlignedArray(out);

  double pair[2] = {0, 0};
  const double result[2] = {1.5, -2.0};
  AssignWordPair(pair, result);
  EXPECT_EQ(pair[0], 1.5);
  EXPECT_EQ(pair[1], -2.0);
}

TEST(PlayerValues, GroupsLongerThanTheVectorFail) {
  EXPECT_EXIT(GatherPastTheVectorEnd(), ::testing::ExitedWithCode(1), "");
}

TEST(EvWorkspace, InitAndDestroyReleaseEverything) {
  EvWorkspace workspace;
  InitEvWorkspace(workspace);
  EXPECT_TRUE(workspace.perDeal.empty());
  Fill(workspace.first, 3, 0.0);
  Fill(workspace.second, 4, 0.0);
  auto& entry = workspace.perDeal[DealKey{2, 1}];
  Fill(entry.first, 5, 0.0);
  workspace.perDeal[DealKey{0, 3}];
  workspace.perDeal[DealKey{5, 0}];
  // Ordered by turn index, then river index.
  std::vector<int> turns;
  for (const auto& e : workspace.perDeal) turns.push_back(e.first.turn);
  EXPECT_EQ(turns, (std::vector<int>{0, 1, 3}));
  DestroyEvWorkspace(workspace);
  EXPECT_TRUE(workspace.perDeal.empty());
  EXPECT_EQ(workspace.first.data, nullptr);
  EXPECT_EQ(workspace.second.data, nullptr);
  EXPECT_TRUE(workspace.mutex.try_lock());
  workspace.mutex.unlock();
}
