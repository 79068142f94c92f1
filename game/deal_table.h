// Deal records: every card that chance can still deal below the root of the
// game tree, and for every board that can arise its hand list (the order of
// every per-board row of the solver), the map from combo index into that
// list, and the showdown data. Also the river storage layouts built from the
// records' hand counts, and the per-hand vector conversions between a board's
// list and the 1326-entry combo order.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "core/cards.h"
#include "game/aligned_array.h"

constexpr uint16_t kNoRecord = 0xFFFF;    // card map entry without a record
constexpr uint16_t kNoCounterpart = 0xFFFF;  // isomorphic hand map entry without a parent hand
// Inverse hand map entry without a listed hand: a flag bit over position 0, so
// that a transfer may read the entry's position unconditionally and discard it.
constexpr uint16_t kNoListedHand = 0x8000;

// For one board, each combo index's position in the board's hand list (or its
// hand group when the record groups hands), -1 for a hand not in the list.
using ComboMap = std::vector<int16_t>;

// The per-board block of every deal record.
struct BoardCombos {
  std::vector<CardMask> hands;      // two-card masks in the board's list order
  std::vector<uint16_t> pairCodes;  // low card | high card << 8, one per hand
  ComboMap comboMap;                // 1326 entries
};

struct RiverRecord {
  int32_t groupingMode = 0;  // 0 no hand groups; 1 or 2 (see BuildRiverRecord)
  CardMask board = 0;        // five cards
  int32_t card = -1;
  int32_t weight = 1;        // number of river cards this record stands for
  BoardCombos combos;
  // Lengths of the runs of equal seven-card value along the list (ascending
  // values; the values themselves are needed only while the record is built).
  std::vector<int16_t> valueRuns;
  // Set when the record is built, once the runs were checked to be positive
  // and to add up to the hand count: the showdown kernels then trust them.
  bool runsCoverList = false;
  // `weight` maps, each giving every listed hand's position in the turn
  // board's list (map j: the hand with the card's suit and suit + j exchanged).
  std::vector<std::vector<uint16_t>> handMaps;
  // inverseMaps[j][k]: the listed hand that map j places at position k of the
  // turn board's list, kNoListedHand for none (see InvertHandMaps).
  std::vector<std::vector<uint16_t>> inverseMaps;
  uint32_t inverseLength = 0;  // entries of each inverse map (the parent's hands); 0 without them
  std::vector<int16_t> groupSizes;   // hand groups: consecutive runs of the list
  std::vector<uint32_t> groupKeys;   // hand value of each group's first hand
  std::vector<double> cardShares;    // 52 per group: share of its hands holding the card

  uint32_t HandCount() const { return static_cast<uint32_t>(combos.hands.size()); }
  // Rows a river board needs: its group count with hand groups, else its hands.
  uint32_t RowCount() const {
    return groupingMode ? static_cast<uint32_t>(groupSizes.size()) : HandCount();
  }
};

struct TurnRecord {
  CardMask board = 0;  // flop plus this card
  int32_t card = -1;
  int32_t weight = 1;  // number of turn cards this record stands for
  BoardCombos combos;
  std::vector<uint32_t> handValues;  // six-card values, ascending along the list
  std::vector<std::vector<uint16_t>> handMaps;  // `weight` maps into the flop list
  std::vector<std::vector<uint16_t>> inverseMaps;  // the maps inverted, as for river records
  uint32_t inverseLength = 0;
  std::vector<RiverRecord> rivers;
  std::vector<uint32_t> riverHandCounts;  // rows needed by each river board
  std::array<uint16_t, kCardCount> riverMap;  // card -> river index, kNoRecord for none

  uint32_t HandCount() const { return static_cast<uint32_t>(combos.hands.size()); }
};

// A candidate deal card while one level of records is being listed.
struct DealRecord {
  int32_t orderKey = 0;
  int32_t weight = 1;
  int32_t card = -1;
};

// River order: cards of the flush suit last; then order key, rank, suit.
// flushSuit = -1 when the board has no flush suit.
struct DealRecordKeyLess {
  int flushSuit = -1;
  bool operator()(const DealRecord& a, const DealRecord& b) const;
};

class DealTable {
 public:
  DealTable();
  // Lists the turn records (and their river records) of a flop in canonical
  // suits when isomorphism is on. A turn card given at the root makes one
  // turn record; a river card (only with a turn card) one river record under
  // it. The per-board data stay empty until SetHoles.
  DealTable(CardMask flop, int32_t groupingMode, int32_t turnCard, int32_t riverCard, bool isomorphism);

  CardMask board = 0;  // the flop alone, even for a turn or river root
  BoardCombos combos;  // the flop board's block
  std::vector<TurnRecord> turns;
  std::vector<uint32_t> turnHandCounts;                // per turn record
  std::vector<std::vector<uint32_t>> riverHandCounts;  // per turn record, per river record
  std::array<uint16_t, kCardCount> turnMap;            // card -> turn index, kNoRecord for none

  uint32_t HandCount() const { return static_cast<uint32_t>(combos.hands.size()); }
};

void InitTurnRecord(TurnRecord& record, CardMask parentBoard, int32_t card, int32_t weight, int32_t groupingMode,
                    int32_t riverCard, bool isomorphism);
// Creates the river records of a turn record, ordered by DealRecordKeyLess.
void ListDealCards(CardMask turnBoard, bool isomorphism, TurnRecord& record, int32_t groupingMode);
// Appends the deal cards of a canonical board (present suits 0..n-1): every
// card of a present suit off the board with weight 1, then the 13 cards of
// suit n standing for all 4 - n absent suits.
void ListIsomorphicDealCards(CardMask board, std::vector<DealRecord>& out);

// Per-board hand data of every record for both players' ranges (1326 weights
// each, canonical suits). Turn records are built in parallel by 4 threads, or
// by the thread count set when that is lower.
void SetHoles(DealTable& table, const double* range0, const double* range1);

// Number of isomorphic hand map entries without a parent hand (kNoCounterpart)
// over all records. Such entries arise only when a range is not symmetric in
// the merged suits; tree construction should refuse a table that has any,
// since the chance-node kernels would otherwise have to skip them.
size_t CountMissingCounterparts(const DealTable& table);

// Child hand list from a parent list: the parent's hands that miss the
// child's board, ordered by value over the child board (on a river board ties
// by HandGroupKey), ties keeping the parent's order; fills the child's values
// and its `weight` isomorphic hand maps (see the definition).
void MapIsomorphicHands(const BoardCombos& parent, CardMask childBoard, int32_t card, int32_t weight,
                        std::vector<CardMask>& hands, std::vector<uint32_t>& values,
                        std::vector<std::vector<uint16_t>>& maps);

// Inverts a record's hand maps: inverse[j] has one entry per hand of the
// parent list, the position of the listed hand that maps[j] places there, or
// kNoListedHand when none does. A transfer back to the parent then reads the
// child row in the parent's order instead of scattering into it. An entry at
// or past parentHands (other than kNoCounterpart), a parent hand named twice
// by one map, or a first map without a counterpart for every hand ends the
// process (Fail): the maps are this program's own and would be corrupt.
void InvertHandMaps(const std::vector<std::vector<uint16_t>>& maps, uint32_t parentHands,
                    std::vector<std::vector<uint16_t>>& inverse);

// Key of a hand on a river board: ranks, then the suits that appear on the
// board; hands that differ only by suits absent from the board share a key.
uint32_t HandGroupKey(CardMask hand, CardMask board);

// Fills the run lengths of equal values along the list; false when one is
// not positive (a run longer than an int16_t holds) or they do not add up to
// the list length.
bool ComputeValueRuns(const std::vector<uint32_t>& values, std::vector<int16_t>& runs);
// Builds the hand groups of a river record with groupingMode 1 or 2 from the
// seven-card values of its listed hands.
void BuildHandGroups(RiverRecord& record, const std::vector<uint32_t>& values);

// --- River storage layouts ------------------------------------------------------

struct LayoutPair {
  uint32_t start;  // entry index or element offset
  uint32_t count;  // entries, rows or elements
};

// The flat element layout of every river board's rows for nodes with one
// action count: rows of c hands take ceil(c / 4) * 4 elements, one row per
// action, entries in turn then river order.
struct StorageLayout {
  LayoutPair* turnIndex = nullptr;  // per turn: first entry, entry count
  LayoutPair* entries = nullptr;    // per river board: element offset, row count
  LayoutPair* turnSpans = nullptr;  // per turn: element offset, element count
  uint32_t actionCount = 0;
  uint32_t turnCount = 0;
  uint32_t entryTotal = 0;
  uint32_t paddedElementTotal = 0;
  uint32_t elementTotal = 0;

  StorageLayout();
  ~StorageLayout();
  StorageLayout(const StorageLayout&) = delete;
  StorageLayout& operator=(const StorageLayout&) = delete;
};

// Fills the layout for k actions from the deal table's river hand counts,
// replacing earlier tables. Returns false (and leaves the layout empty) when
// k < 1 or the padded element total does not fit in 32 bits.
bool BuildFlatIndex(StorageLayout& layout, int32_t k, const std::vector<std::vector<uint32_t>>& riverHandCounts);

// --- Per-hand vectors --------------------------------------------------------------

// output[c] = values[map[c]] for listed hands; other hands get quiet NaN
// with nanFill, else 0. `values` holds at least as many entries as the map
// addresses (a null `values` stands for zeros).
void ExpandComboValues(double* output, const double* values, uint32_t valueCount, const ComboMap& map, bool nanFill);
void ExpandComboValues(double* output, const std::vector<double>& values, const ComboMap& map, bool nanFill);
// output[map[c]] = input[c] for listed hands; other entries stay.
void ScatterComboValues(std::vector<double>& output, const double* input, const ComboMap& map);

// The BoardCombos of a board: turn -1 the flop, river -1 the turn record,
// otherwise the river record. Out-of-range indices end the process (Fail).
const BoardCombos& DealCombos(const DealTable& table, int32_t turnIndex, int32_t riverIndex);
// A 1326-entry vector in combo order from per-row values of the board chosen
// by the indices (as DealCombos); hands off the list get NaN or 0.
void ComboVectorForDeal(std::vector<double>& output, const DealTable& table, const double* values,
                        uint32_t valueCount, int32_t turnIndex, int32_t riverIndex, bool nanFill);
void ComboVectorForDeal(std::vector<double>& output, const DealTable& table, const AlignedArray& values,
                        int32_t turnIndex, int32_t riverIndex, bool nanFill);

// Without a record: output = a copy of player p's vector. With a record
// (hand groups): output[g] = the sum of the group's consecutive values.
void GatherPlayerValues(const std::vector<double>* vectors, AlignedArray& output, int32_t player,
                        const RiverRecord* groups);

// Root reach vectors of the root board's list: handVectors[0..1] each
// player's weights, handVectors[2..3] the same divided by T, the total weight
// of all pairs of hands sharing no card. Returns T. When T is not positive
// (no compatible pair carries weight for both players) the normalised vectors
// are zeros; tree construction must refuse such ranges.
double BuildRootReachVectors(std::vector<double>* handVectors, const double* range0, const double* range1,
                             const BoardCombos& root);

// --- EV working set -----------------------------------------------------------------

// Key of the per-deal map: ordered by turn index, then river index.
struct DealKey {
  int32_t river = -1;
  int32_t turn = -1;
  bool operator<(const DealKey& other) const {
    return turn != other.turn ? turn < other.turn : river < other.river;
  }
};

struct EvWorkspace {
  AlignedArray first;
  AlignedArray second;
  std::map<DealKey, std::pair<AlignedArray, AlignedArray>> perDeal;  // arrays owned
  std::mutex mutex;

  EvWorkspace() = default;
  ~EvWorkspace();
  EvWorkspace(const EvWorkspace&) = delete;
  EvWorkspace& operator=(const EvWorkspace&) = delete;
};

// Empties the workspace (releasing whatever it held).
void InitEvWorkspace(EvWorkspace& workspace);
// Erases every map entry (releasing its arrays), then releases the second and
// the first array.
void DestroyEvWorkspace(EvWorkspace& workspace);

// --- Kernel variants ------------------------------------------------------------------
// Chosen at run time by the entry routines above; declared here for them and
// for tests. The kernel sources cannot include this header (it includes
// container headers), so they define these without it; a signature mismatch
// fails at link time.
namespace deal_kernels_avx2 {
// entries[2i] = running element offset, entries[2i + 1] = counts[i]; the
// offset grows by ceil(counts[i] / 4) * 4 * k. Returns the final offset.
uint32_t FlatRowOffsets(const uint32_t* counts, uint32_t n, uint32_t k, uint32_t base, uint32_t* entries);
// The 1326 entries of ExpandComboValues; values non-null.
void ExpandComboValues(double* output, const double* values, const int16_t* map, double fill);
}  // namespace deal_kernels_avx2

namespace deal_kernels_avx {
uint32_t FlatRowOffsets(const uint32_t* counts, uint32_t n, uint32_t k, uint32_t base, uint32_t* entries);
void ExpandComboValues(double* output, const double* values, const int16_t* map, double fill);
}  // namespace deal_kernels_avx
