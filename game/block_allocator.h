// The allocator of per-hand blocks: TBB's scalable allocator, or the C
// library's in sanitizer builds (PFSOLVE_SYSTEM_ALLOCATOR), whose allocations
// and frees the sanitizers see, so that they check accesses to the blocks and
// know that a block freed by one thread and handed to another is not shared.
#pragma once

#include <cstddef>
#include <cstdlib>

#ifndef PFSOLVE_SYSTEM_ALLOCATOR
#include <tbb/scalable_allocator.h>
#endif

// A block of `bytes` aligned to `alignment` (a power of two, at least the
// size of a pointer), or null when memory is exhausted.
inline void* AllocateAlignedBlock(size_t bytes, size_t alignment) {
#ifdef PFSOLVE_SYSTEM_ALLOCATOR
  void* block = nullptr;
  return posix_memalign(&block, alignment, bytes) == 0 ? block : nullptr;
#else
  return scalable_aligned_malloc(bytes, alignment);
#endif
}

inline void FreeAlignedBlock(void* block) {
#ifdef PFSOLVE_SYSTEM_ALLOCATOR
  free(block);
#else
  scalable_aligned_free(block);
#endif
}
