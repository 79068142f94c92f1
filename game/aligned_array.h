// Aligned arrays of doubles and the card records of chance nodes.
//
// This header holds plain declarations only (no container headers), so that
// the vector-kernel sources may include it. The operations that work on
// std::vector per-hand vectors and deal records are declared in
// game/deal_table.h; the suit-isomorphism transfers in game/isomorphism.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Every per-hand buffer is at least this strictly aligned; 32 bytes lets the
// 256-bit kernels load without splitting a half of a cache line.
constexpr size_t kAlignedArrayAlignment = 32;

// An owned block of `count` doubles from the scalable aligned allocator; freed
// blocks are kept per thread and size class and handed out again.
// A null `data` with a positive `count` stands for `count` zeros: kernels read
// it as zeros and allocate the block on their first write, so a branch whose
// reach vanishes costs neither arithmetic nor memory.
//
// The struct is deliberately plain (no destructor): ownership is released
// explicitly with ReleaseAlignedArray, or by the record that holds it.
struct AlignedArray {
  double* data = nullptr;
  uint32_t count = 0;
};

// The out-of-line parts of ResizeAlignedArray and ReleaseAlignedArray below.
void ResizeAlignedArrayBlock(AlignedArray& array, uint32_t n, size_t alignment);
void ReleaseAlignedArrayBlock(AlignedArray& array);

// Sizes the array to n elements. When n equals the current count nothing
// happens, even when no block is held (an "empty row" stays empty). Otherwise
// count = n and the array holds an uninitialised block of n elements: the old
// block when it is of the same size class, else a new one (the old one is
// freed); n = 0 leaves no block. Exhausted memory goes to AllocationFailed
// (core/parallel.h): the process ends, or a recoverable caller gets bad_alloc.
// The two calls are made at every node of every pass, most of them with
// nothing to do, so that test is inline. (No kernel source calls them, so no
// copy of them is compiled with wide-vector instructions.)
inline void ResizeAlignedArray(AlignedArray& array, uint32_t n, size_t alignment = kAlignedArrayAlignment) {
  if (n != array.count) ResizeAlignedArrayBlock(array, n, alignment);
}
// Frees the block and sets data = null, count = 0. Without a block: nothing
// (the count is kept, so an empty row keeps its length).
inline void ReleaseAlignedArray(AlignedArray& array) {
  if (array.data) ReleaseAlignedArrayBlock(array);
}
// Sizes the array to n and fills it with zeros (allocates even for an
// unchanged count without a block).
void ZeroAlignedArray(AlignedArray& array, uint32_t n);

// The address space a block of n doubles may take, for the estimates of a
// pass's memory: its size class and header, and what the scalable allocator
// adds (measured with 24 to 48 MB of blocks of a size: a block above 8 KB
// takes whole 8 KB units with its header, and up to 15 % more up to 64 KB,
// up to 25 % more above; a smaller one its bin's slot, and up to 10 % more
// in the slabs of its bin). A row of 1,100 to 1,326 hands takes about
// 18.5 KB, one of 400 to 450 hands about 5.9 KB.
uint64_t AlignedArrayAddressBytes(uint32_t n);
// The same for a block of the scalable allocator of `bytes` bytes.
uint64_t BlockAddressBytes(uint64_t bytes);

// The per-dealt-card record of a street's first tree node: A0/A1 the reach of
// OOP and IP accumulated at the chance node, A2/A3 the node's value for OOP
// and IP, A4/A5 the best-response values, each per hand of the board's list.
// The record owns its six arrays. It can be moved (the source is left empty)
// but not copied; use CopyCardRecord for a deep copy. The special members are
// defined out of line so that no copy of them is compiled with wide-vector
// instructions.
struct CardRecord {
  AlignedArray arrays[6];
  uint8_t absent0 = 0;      // non-zero when A0 holds no stored values
  uint8_t absent1 = 0;      // non-zero when A1 holds no stored values
  uint8_t reachFrozen = 0;  // non-zero: the chance node adds no more reach
  double value = 0.0;

  CardRecord();
  ~CardRecord();  // releases A5 .. A0 in that order
  CardRecord(CardRecord&& other) noexcept;
  CardRecord& operator=(CardRecord&& other) noexcept;
  CardRecord(const CardRecord&) = delete;
  CardRecord& operator=(const CardRecord&) = delete;
};

// Deep copy of the six arrays, the three flags and the value. A source array
// without a block requires the target's array to hold none either (else the
// process ends through Fail: an internal inconsistency) and passes its count.
void CopyCardRecord(const CardRecord& source, CardRecord& target);

// Copies a pair of 64-bit words (a query's result pair).
void AssignWordPair(double* target, const double* source);
