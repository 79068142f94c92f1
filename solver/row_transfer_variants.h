// The two instruction-set variants of the row transfers between a board and
// the boards dealt from it. Callers use solver/row_transfer.h. Map entries are
// positions in the parent row; kNoParentHand (0xFFFF) marks a hand without a
// counterpart and is never used as an index. Every checking routine returns
// false when some other entry is not below parentCount (those entries are
// skipped too), or when the group sizes are not positive or do not add up to
// n. The two unchecked routines take maps whose entries were checked when they
// were built (InvertHandMaps in game/deal_table.h).
// Plain declarations only: the kernel sources include this header.
#pragma once

#include <cstdint>

constexpr uint16_t kNoParentHand = 0xFFFF;
// Inverse map entry without a hand of the dealt board's list: a flag bit over
// position 0 (kNoListedHand of game/deal_table.h).
constexpr uint16_t kNoChildHand = 0x8000;

#define ROW_TRANSFER_DECLARATIONS                                                                             \
  /* out[i] = parent[map[i]] for i < n, 0 for a hand without counterpart. */                                  \
  bool GatherMappedRow(double* out, const double* parent, uint32_t parentCount, const uint16_t* map,         \
                       uint32_t n);                                                                           \
  /* out[g] = the sum of parent[map[h]] over the size(g) consecutive hands h of group g. */                   \
  bool GatherMappedGroups(double* out, const double* parent, uint32_t parentCount, const uint16_t* map,      \
                          const int16_t* groupSizes, uint32_t groupCount, uint32_t n);                        \
  /* parent[map[i]] += values[i] for i < n. */                                                                \
  bool AddMappedRow(double* parent, uint32_t parentCount, const double* values, const uint16_t* map,         \
                    uint32_t n);                                                                              \
  /* parent[map[h]] += values[g] for every hand h of group g. */                                              \
  bool AddMappedGroups(double* parent, uint32_t parentCount, const double* values, const uint16_t* map,      \
                       const int16_t* groupSizes, uint32_t groupCount, uint32_t n);                           \
  /* out[i] = parent[map[i]] for i < n, unchecked: every entry must lie in the parent row. */                 \
  void GatherListedRow(double* out, const double* parent, const uint16_t* map, uint32_t n);                  \
  /* parent[k] += values[inverse[k]] for k < parentCount, unchecked: entries with the flag bit */             \
  /* kNoChildHand add nothing (they read values[0]); every other entry must lie in values. */                 \
  void AddInverseRow(double* parent, uint32_t parentCount, const double* values, const uint16_t* inverse);

namespace kernels_avx2 {
ROW_TRANSFER_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
ROW_TRANSFER_DECLARATIONS
}  // namespace kernels_avx

#undef ROW_TRANSFER_DECLARATIONS
