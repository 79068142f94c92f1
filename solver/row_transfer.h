// Moving per-hand rows between a board and the boards dealt from it. Every
// board has its own hand list, so a row travels through the dealt record's
// isomorphic hand maps: map j gives, for each hand of the dealt board's list,
// the position of its counterpart in the parent board's list when the card
// falls in the record's j-th merged suit (map 0: the card itself). A record of
// weight w stands for w cards, so its results are added back once per map.
//
// Map entries without a counterpart (0xFFFF) are skipped: nothing is read
// from or added to the parent for them. Records built with their inverse maps
// (InvertHandMaps) add back by reading the value row in the parent's order,
// which makes the same additions; their maps were checked when built. Any other entry outside the parent
// row, a value row that fits neither the hand list nor the hand groups, or
// hand groups that do not cover the hand list end the process through Fail.
#pragma once

#include <cstdint>
#include <vector>

#include "game/aligned_array.h"

class DealTable;
struct RiverRecord;
struct TurnRecord;

// Parent row to river board. Without hand groups out holds one entry per hand
// (out[i] = parent[first map[i]]); with groups one entry per group, the sum
// over the group's hands. A parent without data leaves out an empty row of
// that length.
void SumHandGroups(const RiverRecord& record, AlignedArray& out, const AlignedArray& parent);
// The same from the flop list to a turn board's list, through the turn
// record's first hand map (turn records carry no hand groups).
void GatherTurnRow(const TurnRecord& record, AlignedArray& out, const AlignedArray& parent);
// Turn board to flop, adding per-hand values once per isomorphic map as
// AddHandMapValues does.
void SpreadTurnValues(const TurnRecord& record, AlignedArray& parent, const AlignedArray& values);
// River board to parent, adding, once per isomorphic map: values with one
// entry per hand go through AddHandMapValues; values with one entry per group
// add the group's value to every hand of the group. Values without data add
// nothing; a parent without data is allocated zeroed first.
void SpreadHandGroups(const RiverRecord& record, AlignedArray& parent, const AlignedArray& values);
// parent[map[i]] += values[i] for every entry of values, when values has data
// and a count of at least 1 (the map must be at least that long).
void AddHandMapValues(AlignedArray& parent, const AlignedArray& values, const std::vector<uint16_t>& map);

// SumCompatibleReach (solver/reach_sums.h) over the board chosen by the
// indices: the river record (deal weight 1), the turn record when the river
// index is -1 (44), the flop board when both are -1 (1980). A river index
// without a turn index, or an index out of range, ends the process (Fail).
void SumCompatibleReachForDeal(const DealTable& table, AlignedArray& ev, AlignedArray& weight, int32_t turnIndex,
                               int32_t riverIndex, const AlignedArray& value, const AlignedArray& oppReach,
                               const AlignedArray& ownReach);
