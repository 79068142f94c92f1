#include "game/deal_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/cpu_info.h"
#include "core/output.h"
#include "core/parallel.h"
#include "core/thread_scratch.h"
#include "game/hand_evaluator.h"
#include "game/isomorphism.h"

namespace {

constexpr CardMask kSuitField = 0x1FFF;

// The evaluator's layout: one 16-bit field per suit instead of 13 bits.
EvaluatorMask EvaluatorMaskOf(CardMask mask) {
  EvaluatorMask result = 0;
  for (int s = 0; s < 4; ++s) result |= ((mask >> (13 * s)) & kSuitField) << (16 * s);
  return result;
}

int LowCard(CardMask hand) { return CardOfMask(hand); }
int HighCard(CardMask hand) { return 63 - __builtin_clzll(hand); }

uint16_t PairCode(CardMask hand) {
  return static_cast<uint16_t>(LowCard(hand) | (HighCard(hand) << 8));
}

void FillPairCodes(BoardCombos& combos) {
  combos.pairCodes.clear();
  combos.pairCodes.reserve(combos.hands.size());
  for (CardMask hand : combos.hands) combos.pairCodes.push_back(PairCode(hand));
}

// Entry = list position for every listed hand.
void FillPositionMap(BoardCombos& combos) {
  combos.comboMap.assign(kComboCount, -1);
  for (size_t i = 0; i < combos.hands.size(); ++i) {
    const CardMask hand = combos.hands[i];
    combos.comboMap[ComboIndex(LowCard(hand), HighCard(hand))] = static_cast<int16_t>(i);
  }
}

int SuitCountOf(CardMask board, int suit) { return CardCount((board >> (13 * suit)) & kSuitField); }

HandValue EvaluateCards(EvaluatorMask mask, int cards) {
  switch (cards) {
    case 5: return EvaluateHand5(mask);
    case 6: return EvaluateHand6(mask);
    case 7: return EvaluateHand7(mask);
    default: return 0;
  }
}

// "isomorph error: <board> | <hand> | <swapped hand>", straight to standard
// output in one write so that lines of the four building threads do not mix.
void PrintIsomorphError(CardMask board, CardMask hand, CardMask swapped) {
  char line[96];
  size_t n = 0;
  const auto cards = [&](CardMask mask) {
    for (; mask; mask &= mask - 1) {
      const int c = CardOfMask(mask);
      line[n++] = kRankChars[CardRank(c)];
      line[n++] = kSuitChars[CardSuit(c)];
      line[n++] = ' ';
    }
  };
  const auto text = [&](const char* s) {
    while (*s) line[n++] = *s++;
  };
  text("isomorph error: ");
  cards(board);
  text(" | ");
  cards(hand);
  text(" | ");
  cards(swapped);
  line[n++] = '\n';
  fwrite(line, 1, n, stdout);
  fflush(stdout);
}

void BuildRiverRecord(RiverRecord& record, const TurnRecord& parent) {
  // The values order the list and give its runs and groups; a flop tree has
  // thousands of river records, so they are not kept.
  std::vector<uint32_t> values;
  MapIsomorphicHands(parent.combos, record.board, record.card, record.weight, record.combos.hands, values,
                     record.handMaps);
  InvertHandMaps(record.handMaps, parent.HandCount(), record.inverseMaps);
  record.inverseLength = parent.HandCount();
  FillPairCodes(record.combos);
  record.combos.comboMap.assign(kComboCount, -1);
  // The showdown evaluation relies on the runs covering the list exactly; it
  // is checked here once for every evaluation of the record.
  record.runsCoverList = false;
  if (!ComputeValueRuns(values, record.valueRuns)) Fail();
  record.runsCoverList = true;
  record.groupSizes.clear();
  record.groupKeys.clear();
  record.cardShares.clear();
  if (record.groupingMode != 0) {
    BuildHandGroups(record, values);
    int32_t position = 0;
    for (size_t g = 0; g < record.groupSizes.size(); ++g)
      for (int k = 0; k < record.groupSizes[g]; ++k, ++position) {
        const CardMask hand = record.combos.hands[position];
        record.combos.comboMap[ComboIndex(LowCard(hand), HighCard(hand))] = static_cast<int16_t>(g);
      }
  } else {
    FillPositionMap(record.combos);
  }
}

void BuildTurnRecord(TurnRecord& record, const BoardCombos& flop) {
  MapIsomorphicHands(flop, record.board, record.card, record.weight, record.combos.hands, record.handValues,
                     record.handMaps);
  record.inverseLength = static_cast<uint32_t>(flop.hands.size());
  InvertHandMaps(record.handMaps, record.inverseLength, record.inverseMaps);
  FillPairCodes(record.combos);
  FillPositionMap(record.combos);
  record.riverHandCounts.clear();
  record.riverHandCounts.reserve(record.rivers.size());
  for (RiverRecord& river : record.rivers) {
    BuildRiverRecord(river, record);
    record.riverHandCounts.push_back(river.RowCount());
  }
}

}  // namespace

// --- Listing the deal cards ---------------------------------------------------------

bool DealRecordKeyLess::operator()(const DealRecord& a, const DealRecord& b) const {
  const bool fa = CardSuit(a.card) == flushSuit, fb = CardSuit(b.card) == flushSuit;
  if (fa != fb) return fb;
  if (a.orderKey != b.orderKey) return a.orderKey < b.orderKey;
  if (CardRank(a.card) != CardRank(b.card)) return CardRank(a.card) < CardRank(b.card);
  return CardSuit(a.card) < CardSuit(b.card);
}

void ListIsomorphicDealCards(CardMask board, std::vector<DealRecord>& out) {
  int present = 0;
  for (int s = 0; s < 4; ++s)
    if (SuitCountOf(board, s)) ++present;
  for (int s = 0; s < present; ++s)
    for (int r = 0; r < 13; ++r) {
      const int card = MakeCard(r, s);
      if (!(board & CardBit(card))) out.push_back(DealRecord{0, 1, card});
    }
  // One representative suit stands for every suit absent from the board.
  if (present < 4)
    for (int r = 0; r < 13; ++r) out.push_back(DealRecord{0, 4 - present, MakeCard(r, present)});
}

void ListDealCards(CardMask turnBoard, bool isomorphism, TurnRecord& record, int32_t groupingMode) {
  std::vector<DealRecord> candidates;
  candidates.reserve(kCardCount);
  if (isomorphism) {
    ListIsomorphicDealCards(turnBoard, candidates);
  } else {
    for (int card = 0; card < kCardCount; ++card)
      if (!(turnBoard & CardBit(card))) candidates.push_back(DealRecord{0, 1, card});
  }
  DealRecordKeyLess less;
  int most = 0;
  for (int s = 1; s < 4; ++s)
    if (SuitCountOf(turnBoard, s) > SuitCountOf(turnBoard, most)) most = s;
  if (SuitCountOf(turnBoard, most) >= 2) less.flushSuit = most;
  std::stable_sort(candidates.begin(), candidates.end(), less);

  record.rivers.clear();
  record.rivers.reserve(candidates.size());
  for (const DealRecord& candidate : candidates) {
    record.riverMap[candidate.card] = static_cast<uint16_t>(record.rivers.size());
    record.rivers.emplace_back();
    RiverRecord& river = record.rivers.back();
    river.groupingMode = groupingMode;
    river.board = turnBoard | CardBit(candidate.card);
    river.card = candidate.card;
    river.weight = candidate.weight;
    river.handMaps.assign(candidate.weight, std::vector<uint16_t>());
  }
}

void InitTurnRecord(TurnRecord& record, CardMask parentBoard, int32_t card, int32_t weight, int32_t groupingMode,
                    int32_t riverCard, bool isomorphism) {
  record.board = parentBoard | CardBit(card);
  record.card = card;
  record.weight = weight;
  record.handMaps.assign(weight, std::vector<uint16_t>());
  record.riverMap.fill(kNoRecord);
  if (riverCard >= 0) {
    record.rivers.clear();
    record.rivers.emplace_back();
    RiverRecord& river = record.rivers.back();
    river.groupingMode = groupingMode;
    river.board = record.board | CardBit(riverCard);
    river.card = riverCard;
    river.weight = 1;
    river.handMaps.assign(1, std::vector<uint16_t>());
    record.riverMap[riverCard] = 0;
  } else {
    ListDealCards(record.board, isomorphism, record, groupingMode);
  }
}

DealTable::DealTable() { turnMap.fill(kNoRecord); }

DealTable::DealTable(CardMask flop, int32_t groupingMode, int32_t turnCard, int32_t riverCard, bool isomorphism)
    : board(flop) {
  turnMap.fill(kNoRecord);
  // A river card is only meaningful under a given turn card.
  if (turnCard < 0) riverCard = -1;
  // Given cards index the 52-entry card maps and must extend the board.
  const auto invalid = [](int card, CardMask board) {
    return card >= kCardCount || (card >= 0 && (board & CardBit(card)));
  };
  if (invalid(turnCard, flop) || (turnCard >= 0 && invalid(riverCard, flop | CardBit(turnCard))))
    Fail("deal card on the board");
  std::vector<DealRecord> cards;
  if (turnCard >= 0) {
    cards.push_back(DealRecord{0, 1, turnCard});
  } else if (!isomorphism) {
    for (int card = 0; card < kCardCount; ++card)
      if (!(flop & CardBit(card))) cards.push_back(DealRecord{0, 1, card});
  } else {
    ListIsomorphicDealCards(flop, cards);
  }
  turns.resize(cards.size());
  for (size_t t = 0; t < cards.size(); ++t) {
    turnMap[cards[t].card] = static_cast<uint16_t>(t);
    InitTurnRecord(turns[t], flop, cards[t].card, cards[t].weight, groupingMode, riverCard, isomorphism);
  }
}

// --- Per-board hand lists ---------------------------------------------------------------

namespace {
// The sort keys of MapIsomorphicHands, kept per thread.
ThreadScratch<std::vector<uint64_t>> t_sortKeys;
}  // namespace

uint32_t HandGroupKey(CardMask hand, CardMask board) {
  int hi = HighCard(hand), lo = LowCard(hand);
  // The high card is the one of higher rank; of a pair, the one of lower
  // suit (the lower card number).
  if (CardRank(lo) > CardRank(hi) || (CardRank(lo) == CardRank(hi) && CardSuit(lo) < CardSuit(hi))) std::swap(hi, lo);
  const auto onBoard = [board](int suit) { return ((board >> (13 * suit)) & kSuitField) != 0; };
  uint32_t s;
  if (CardSuit(hi) == CardSuit(lo)) {
    s = 64 | (onBoard(CardSuit(hi)) ? 4 - CardSuit(hi) : 0);
  } else {
    const uint32_t a = onBoard(CardSuit(hi)) ? 32 - 8 * CardSuit(hi) : 0;
    const uint32_t b = onBoard(CardSuit(lo)) ? 4 - CardSuit(lo) : 0;
    s = a | b;
  }
  return static_cast<uint32_t>((CardRank(hi) * 13 + CardRank(lo)) << 8) | s;
}

void MapIsomorphicHands(const BoardCombos& parent, CardMask childBoard, int32_t card, int32_t weight,
                        std::vector<CardMask>& hands, std::vector<uint32_t>& values,
                        std::vector<std::vector<uint16_t>>& maps) {
  const size_t n = parent.hands.size();
  const int boardCards = CardCount(childBoard);
  const bool river = boardCards == 5;
  const EvaluatorMask boardMask = EvaluatorMaskOf(childBoard);

  // One 64-bit key per surviving hand: value, then (river) group key, then
  // the parent position, so that a plain sort is the stable sort by value.
  // Values stay below 2^28, group keys below 2^16 and positions below 2^11.
  std::vector<uint64_t>& keys = t_sortKeys.Get();
  keys.clear();
  keys.reserve(n);
  for (size_t p = 0; p < n; ++p) {
    const CardMask hand = parent.hands[p];
    if (hand & childBoard) continue;
    const uint64_t value = EvaluateCards(boardMask | EvaluatorMaskOf(hand), boardCards + 2);
    if (river)
      keys.push_back(value << 27 | uint64_t(HandGroupKey(hand, childBoard)) << 11 | p);
    else
      keys.push_back(value << 11 | p);
  }
  std::sort(keys.begin(), keys.end());

  const size_t m = keys.size();
  hands.clear();
  values.clear();
  hands.reserve(m);
  values.reserve(m);
  if (weight < 1) weight = 1;
  maps.resize(weight);
  for (auto& map : maps) {
    map.clear();
    map.reserve(m);
  }
  for (uint64_t key : keys) {
    const uint32_t p = static_cast<uint32_t>(key & 0x7FF);
    hands.push_back(parent.hands[p]);
    values.push_back(static_cast<uint32_t>(river ? key >> 27 : key >> 11));
    maps[0].push_back(static_cast<uint16_t>(p));
  }

  // Map j: where the hand sits in the parent's list when the dealt card
  // falls in the suit j places above the representative one instead.
  const int suit = CardSuit(card);
  for (int j = 1; j < weight; ++j) {
    std::vector<uint16_t>& map = maps[j];
    const bool valid = suit + j < 4;
    const SuitPerm swap = SwapSuitPerm(suit, valid ? suit + j : suit);
    for (CardMask hand : hands) {
      const CardMask swapped = ApplySuitPerm(swap, hand);
      const int position = valid ? parent.comboMap[ComboIndex(LowCard(swapped), HighCard(swapped))] : -1;
      if (position < 0) {
        map.push_back(kNoCounterpart);
        PrintIsomorphError(childBoard, hand, swapped);
      } else {
        map.push_back(static_cast<uint16_t>(position));
      }
    }
  }
}

void InvertHandMaps(const std::vector<std::vector<uint16_t>>& maps, uint32_t parentHands,
                    std::vector<std::vector<uint16_t>>& inverse) {
  inverse.resize(maps.size());
  for (size_t j = 0; j < maps.size(); ++j) {
    const std::vector<uint16_t>& map = maps[j];
    std::vector<uint16_t>& back = inverse[j];
    back.assign(parentHands, kNoListedHand);
    // Hand lists hold at most 1326 hands, so positions stay below the flag bit.
    for (size_t i = 0; i < map.size(); ++i) {
      const uint16_t position = map[i];
      if (position == kNoCounterpart) {
        if (j == 0) Fail("first hand map without a counterpart");
        continue;
      }
      if (position >= parentHands || back[position] != kNoListedHand || i >= kNoListedHand)
        Fail("hand map does not fit its parent list");
      back[position] = static_cast<uint16_t>(i);
    }
  }
}

bool ComputeValueRuns(const std::vector<uint32_t>& values, std::vector<int16_t>& runs) {
  size_t count = 0;
  for (size_t i = 0; i < values.size(); ++i)
    if (i == 0 || values[i] != values[i - 1]) ++count;
  runs.clear();
  runs.reserve(count);
  size_t start = 0;
  for (size_t i = 1; i <= values.size(); ++i)
    if (i == values.size() || values[i] != values[i - 1]) {
      runs.push_back(static_cast<int16_t>(i - start));
      start = i;
    }
  int64_t total = 0;
  for (int16_t run : runs) {
    if (run <= 0) return false;
    total += run;
  }
  return total == static_cast<int64_t>(values.size());
}

void BuildHandGroups(RiverRecord& record, const std::vector<uint32_t>& values) {
  const std::vector<CardMask>& hands = record.combos.hands;
  const size_t n = hands.size();
  // A new group starts where the value changes; under mode 2 only where, in
  // addition, the hand shares no card with the previous one.
  const auto startsGroup = [&](size_t i) {
    if (i == 0) return true;
    if (values[i] == values[i - 1]) return false;
    return record.groupingMode != 2 || (hands[i] & hands[i - 1]) == 0;
  };
  size_t groups = 0;
  for (size_t i = 0; i < n; ++i)
    if (startsGroup(i)) ++groups;
  record.groupSizes.assign(groups, 0);
  record.groupKeys.assign(groups, 0);
  record.cardShares.assign(groups * kCardCount, 0.0);
  int64_t g = -1;
  for (size_t i = 0; i < n; ++i) {
    if (startsGroup(i)) {
      ++g;
      record.groupKeys[g] = values[i];
    }
    ++record.groupSizes[g];
    record.cardShares[g * kCardCount + LowCard(hands[i])] += 1.0;
    record.cardShares[g * kCardCount + HighCard(hands[i])] += 1.0;
  }
  for (size_t k = 0; k < groups; ++k)
    for (int c = 0; c < kCardCount; ++c) record.cardShares[k * kCardCount + c] /= record.groupSizes[k];
}

void SetHoles(DealTable& table, const double* range0, const double* range1) {
  BoardCombos& flop = table.combos;
  flop.comboMap.assign(kComboCount, -1);
  const auto listed = [&](int lo, int hi) {
    const int c = ComboIndex(lo, hi);
    return !((CardBit(lo) | CardBit(hi)) & table.board) && (range0[c] > 0.0 || range1[c] > 0.0);
  };
  size_t count = 0;
  for (int hi = 1; hi < kCardCount; ++hi)
    for (int lo = 0; lo < hi; ++lo) count += listed(lo, hi);
  flop.hands.clear();
  flop.hands.reserve(count);
  for (int hi = 1; hi < kCardCount; ++hi)
    for (int lo = 0; lo < hi; ++lo)
      if (listed(lo, hi)) {
        flop.comboMap[ComboIndex(lo, hi)] = static_cast<int16_t>(flop.hands.size());
        flop.hands.push_back(CardBit(lo) | CardBit(hi));
      }
  FillPairCodes(flop);

  const int turnCount = static_cast<int>(table.turns.size());
  table.turnHandCounts.assign(turnCount, 0);
  table.riverHandCounts.assign(turnCount, std::vector<uint32_t>());
  // Each iteration writes only its own turn record and its own count slots.
  // Up to four threads, as many as the address space holds (ForEachIndex).
  const int team = std::min(4, omp_get_max_threads());
  RegionErrors errors;
  ForEachIndex(turnCount, [&](int t) {
    errors.Run([&] {
      TurnRecord& record = table.turns[t];
      BuildTurnRecord(record, flop);
      table.turnHandCounts[t] = record.HandCount();
      table.riverHandCounts[t] = record.riverHandCounts;
    });
  }, team);
  errors.Rethrow();
}

size_t CountMissingCounterparts(const DealTable& table) {
  size_t missing = 0;
  const auto count = [&missing](const std::vector<std::vector<uint16_t>>& maps) {
    for (size_t j = 1; j < maps.size(); ++j)
      for (uint16_t position : maps[j]) missing += position == kNoCounterpart;
  };
  for (const TurnRecord& turn : table.turns) {
    count(turn.handMaps);
    for (const RiverRecord& river : turn.rivers) count(river.handMaps);
  }
  return missing;
}

// --- Storage layouts --------------------------------------------------------------------

StorageLayout::StorageLayout() = default;

StorageLayout::~StorageLayout() {
  delete[] turnSpans;
  delete[] entries;
  delete[] turnIndex;
}

bool BuildFlatIndex(StorageLayout& layout, int32_t k, const std::vector<std::vector<uint32_t>>& riverHandCounts) {
  delete[] layout.turnSpans;
  delete[] layout.entries;
  delete[] layout.turnIndex;
  layout.turnIndex = layout.entries = layout.turnSpans = nullptr;
  layout.actionCount = layout.turnCount = layout.entryTotal = 0;
  layout.paddedElementTotal = layout.elementTotal = 0;
  if (k < 1) return false;

  // The totals in 64 bits first: a layout whose element total does not fit
  // the 32-bit offsets cannot be represented.
  uint64_t entryCount = 0, padded = 0, plain = 0;
  for (const auto& turn : riverHandCounts) {
    entryCount += turn.size();
    for (uint32_t c : turn) {
      padded += (uint64_t(c) + 3) / 4 * 4 * uint64_t(k);
      plain += uint64_t(c) * uint64_t(k);
    }
  }
  if (padded > 0xFFFFFFFFull || entryCount > 0xFFFFFFFFull) return false;

  const uint32_t turnCount = static_cast<uint32_t>(riverHandCounts.size());
  layout.actionCount = static_cast<uint32_t>(k);
  layout.turnCount = turnCount;
  layout.entryTotal = static_cast<uint32_t>(entryCount);
  layout.turnIndex = new LayoutPair[turnCount];
  layout.turnSpans = new LayoutPair[turnCount];
  layout.entries = new LayoutPair[entryCount];
  static_assert(sizeof(LayoutPair) == 2 * sizeof(uint32_t), "entries are read as pairs of u32");
  const bool wide = UseAvx2FmaKernels();
  uint32_t first = 0, offset = 0;
  for (uint32_t t = 0; t < turnCount; ++t) {
    const std::vector<uint32_t>& counts = riverHandCounts[t];
    const uint32_t n = static_cast<uint32_t>(counts.size());
    layout.turnIndex[t] = LayoutPair{first, n};
    uint32_t* out = reinterpret_cast<uint32_t*>(layout.entries + first);
    const uint32_t end = wide ? deal_kernels_avx2::FlatRowOffsets(counts.data(), n, layout.actionCount, offset, out)
                              : deal_kernels_avx::FlatRowOffsets(counts.data(), n, layout.actionCount, offset, out);
    layout.turnSpans[t] = LayoutPair{offset, end - offset};
    offset = end;
    first += n;
  }
  layout.paddedElementTotal = offset;
  layout.elementTotal = static_cast<uint32_t>(plain);  // plain <= padded
  return true;
}

// --- Per-hand vectors ---------------------------------------------------------------------

void ExpandComboValues(double* output, const double* values, uint32_t valueCount, const ComboMap& map,
                       bool nanFill) {
  const double fill = nanFill ? std::numeric_limits<double>::quiet_NaN() : 0.0;
  if (map.size() < static_cast<size_t>(kComboCount)) Fail("combo map too short");
  if (!values || valueCount == 0) {
    // Rows without data stand for zeros.
    for (int c = 0; c < kComboCount; ++c) output[c] = map[c] >= 0 ? 0.0 : fill;
    return;
  }
  if (UseAvx2FmaKernels())
    deal_kernels_avx2::ExpandComboValues(output, values, map.data(), fill);
  else
    deal_kernels_avx::ExpandComboValues(output, values, map.data(), fill);
}

void ExpandComboValues(double* output, const std::vector<double>& values, const ComboMap& map, bool nanFill) {
  ExpandComboValues(output, values.data(), static_cast<uint32_t>(values.size()), map, nanFill);
}

void ScatterComboValues(std::vector<double>& output, const double* input, const ComboMap& map) {
  const int16_t* m = map.data();
  double* out = output.data();
  const size_t size = output.size();
  for (int c = 0; c < kComboCount; ++c)
    if (m[c] >= 0 && static_cast<size_t>(m[c]) < size) out[m[c]] = input[c];
}

const BoardCombos& DealCombos(const DealTable& table, int32_t turnIndex, int32_t riverIndex) {
  if (turnIndex < 0) return table.combos;
  if (static_cast<size_t>(turnIndex) >= table.turns.size()) Fail("turn index out of range");
  const TurnRecord& turn = table.turns[turnIndex];
  if (riverIndex < 0) return turn.combos;
  if (static_cast<size_t>(riverIndex) >= turn.rivers.size()) Fail("river index out of range");
  return turn.rivers[riverIndex].combos;
}

double BuildRootReachVectors(std::vector<double>* handVectors, const double* range0, const double* range1,
                             const BoardCombos& root) {
  const size_t n = root.hands.size();
  for (int v = 0; v < 4; ++v) {
    handVectors[v].clear();
    handVectors[v].reserve(n);
  }
  for (CardMask hand : root.hands) {
    const int c = ComboIndex(LowCard(hand), HighCard(hand));
    handVectors[0].push_back(range0[c]);
    handVectors[1].push_back(range1[c]);
  }
  // T = sum over pairs of compatible hands of w0 * w1, summed pair by pair
  // so that a range whose weight lies only on conflicting pairs gives
  // exactly 0 rather than a rounding residue.
  const std::vector<double>& w0 = handVectors[0];
  const std::vector<double>& w1 = handVectors[1];
  double total = 0.0;
  for (size_t i = 0; i < n; ++i) {
    if (w0[i] == 0.0) continue;
    double compatible = 0.0;
    const CardMask hand = root.hands[i];
    for (size_t j = 0; j < n; ++j) compatible += (root.hands[j] & hand) ? 0.0 : w1[j];
    total += w0[i] * compatible;
  }
  const bool usable = total > 0.0 && std::isfinite(total);
  for (size_t i = 0; i < n; ++i) {
    handVectors[2].push_back(usable ? w0[i] / total : 0.0);
    handVectors[3].push_back(usable ? w1[i] / total : 0.0);
  }
  return usable ? total : 0.0;
}
