#include "game/hand_evaluator.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/hand_order.h"

namespace {

// The four tables, indexed by a 13-bit rank mask. They are written only while
// being built (under BuildMutex) and published through TablesBuilt, so any
// number of threads may read them afterwards.
uint8_t* RankCount = nullptr;    // number of ranks in the mask
uint8_t* TopRank = nullptr;      // highest rank (0 for the empty mask)
uint32_t* TopFive = nullptr;     // up to five highest ranks as nibbles, highest first
uint32_t* Straight = nullptr;    // straight value of the mask, 0 without a straight

std::mutex BuildMutex;
std::atomic<bool> TablesBuilt{false};

constexpr uint32_t kRankBits = 0x1FFF;
constexpr uint32_t kStraightValue = uint32_t(kStraight) << 24;

void FreeTables() {
  free(RankCount);
  free(TopRank);
  free(TopFive);
  free(Straight);
  RankCount = TopRank = nullptr;
  TopFive = Straight = nullptr;
}

// Marks every mask that holds `run` plus up to two further ranks (which may
// repeat ranks of the run) as a straight with top rank `top`, unless a higher
// straight claimed it already.
void MarkStraightRun(uint32_t run, int top) {
  const uint32_t value = kStraightValue + (uint32_t(top) << 16);
  for (int a = 0; a < 13; ++a) {
    for (int b = a; b < 13; ++b) {
      const uint32_t mask = run | (1u << a) | (1u << b);
      if (Straight[mask] == 0) Straight[mask] = value;
    }
  }
}

// Where the kickers of a pair and of trips go: the highest kicker at bits
// 12-15 (pair) or 12-15 and 8-11 (trips), lower ones below, extra ones cut.
// TopFive of the single ranks holds min(count, 5) nibbles, highest first.
template <int N>
inline uint32_t PairKickers(uint32_t topFive) {
  // N - 2 single ranks beside the pair; keep three.
  if (N == 3) return topFive << 12;
  if (N == 4) return topFive << 8;
  if (N == 5) return topFive << 4;
  if (N == 6) return topFive & 0xFFF0;
  return (topFive >> 4) & 0xFFF0;
}

template <int N>
inline uint32_t TripsKickers(uint32_t topFive) {
  // N - 3 single ranks beside the trips; keep two.
  if (N == 3) return 0;
  if (N == 4) return topFive << 12;
  if (N == 5) return topFive << 8;
  if (N == 6) return (topFive << 4) & 0xFF00;
  return topFive & 0xFF00;
}

// The evaluator for exactly N distinct cards. c, d, h, s are the suits' rank
// masks; the number of repeated ranks (N minus the distinct ranks) decides the
// shape of the hand, and bit operations on the suit masks find which ranks are
// repeated, so no loop runs over the cards.
template <int N>
inline HandValue Evaluate(EvaluatorMask mask) {
  const uint32_t c = uint32_t(mask) & kRankBits;
  const uint32_t d = uint32_t(mask >> 16) & kRankBits;
  const uint32_t h = uint32_t(mask >> 32) & kRankBits;
  const uint32_t s = uint32_t(mask >> 48) & kRankBits;
  const uint32_t ranks = c | d | h | s;
  const int distinct = RankCount[ranks];

  if (N >= 5 && distinct >= 5) {
    // A flush needs five distinct ranks; with at most seven cards only one
    // suit can hold five. With five distinct ranks among seven cards no full
    // house or quads is possible, so flush and straight are checked first.
    uint32_t flush = 0;
    if (RankCount[c] >= 5)
      flush = c;
    else if (RankCount[d] >= 5)
      flush = d;
    else if (RankCount[h] >= 5)
      flush = h;
    else if (RankCount[s] >= 5)
      flush = s;
    if (flush) {
      const uint32_t straight = Straight[flush];
      return straight ? straight + kStraightValue : (uint32_t(kFlush) << 24) | TopFive[flush];
    }
    if (Straight[ranks]) return Straight[ranks];
  }

  const uint32_t odd = c ^ d ^ h ^ s;  // ranks held once or three times
  switch (N - distinct) {
    case 0: {  // high card: the five (or fewer) highest ranks from bits 16-19 down
      const int shift = N >= 5 ? 0 : 4 * (5 - N);
      return TopFive[ranks] << shift;
    }
    case 1: {  // one pair; the single ranks are exactly `odd`
      const uint32_t pair = ranks ^ odd;
      return (uint32_t(kOnePair) << 24) | (uint32_t(TopRank[pair]) << 16) | PairKickers<N>(TopFive[odd]);
    }
    case 2: {  // two pair, or trips with single ranks only
      const uint32_t pairs = ranks ^ odd;
      if (pairs)
        return (uint32_t(kTwoPair) << 24) | (TopFive[pairs] << 12) | (uint32_t(TopRank[odd]) << 8);
      // A rank held three times is in at least one of c&d, h&s and at least
      // one of c&h, d&s; a rank held twice never is in both.
      const uint32_t three = ((c & d) | (h & s)) & ((c & h) | (d & s));
      return (uint32_t(kThreeOfAKind) << 24) | (uint32_t(TopRank[three]) << 16) |
             TripsKickers<N>(TopFive[ranks ^ three]);
    }
    default: {  // three or more repeats: quads, full house or three pairs
      const uint32_t quads = c & d & h & s;
      if (quads)
        return (uint32_t(kFourOfAKind) << 24) | (uint32_t(TopRank[quads]) << 16) |
               (uint32_t(TopRank[ranks ^ quads]) << 12);
      const uint32_t three = ((c & d) | (h & s)) & ((c & h) | (d & s));  // no quads here
      const uint32_t pairs = ranks ^ odd;
      if (three) {
        // The higher trips; the pair is the best of the other trips and the pairs.
        const int top = TopRank[three];
        const uint32_t rest = (three ^ (1u << top)) | pairs;
        return (uint32_t(kFullHouse) << 24) | (uint32_t(top) << 16) | (uint32_t(TopRank[rest]) << 12);
      }
      // Three pairs: the two highest count; the third pair's rank competes
      // with the single ranks for the kicker.
      const uint32_t topTwo = pairs & (pairs - 1);
      return (uint32_t(kTwoPair) << 24) | (TopFive[topTwo] << 12) | (uint32_t(TopRank[ranks ^ topTwo]) << 8);
    }
  }
}

}  // namespace

int InitHandTables() {
  if (TablesBuilt.load(std::memory_order_acquire)) return 1;
  std::lock_guard<std::mutex> lock(BuildMutex);
  if (TablesBuilt.load(std::memory_order_relaxed)) return 1;

  RankCount = static_cast<uint8_t*>(calloc(kHandTableSize, sizeof(uint8_t)));
  TopRank = static_cast<uint8_t*>(calloc(kHandTableSize, sizeof(uint8_t)));
  TopFive = static_cast<uint32_t*>(calloc(kHandTableSize, sizeof(uint32_t)));
  Straight = static_cast<uint32_t*>(calloc(kHandTableSize, sizeof(uint32_t)));
  if (!RankCount || !TopRank || !TopFive || !Straight) {
    FreeTables();
    return 0;
  }

  for (uint32_t m = 1; m < uint32_t(kHandTableSize); ++m) {
    int count = 0;
    uint32_t five = 0;
    for (int r = 12; r >= 0; --r) {
      if (!(m & (1u << r))) continue;
      if (count == 0) TopRank[m] = uint8_t(r);
      if (count < 5) five = (five << 4) | uint32_t(r);
      ++count;
    }
    RankCount[m] = uint8_t(count);
    TopFive[m] = five;
  }

  // Highest run first, so a mask holding two straights keeps the higher one;
  // the wheel (ace to five, top rank 3) comes last.
  for (int top = 12; top >= 4; --top) MarkStraightRun(0x1Fu << (top - 4), top);
  MarkStraightRun(0x100Fu, 3);

  TablesBuilt.store(true, std::memory_order_release);
  return 1;
}

HandValue EvaluateHand3(EvaluatorMask mask) { return Evaluate<3>(mask); }
HandValue EvaluateHand4(EvaluatorMask mask) { return Evaluate<4>(mask); }
HandValue EvaluateHand5(EvaluatorMask mask) { return Evaluate<5>(mask); }
HandValue EvaluateHand6(EvaluatorMask mask) { return Evaluate<6>(mask); }
HandValue EvaluateHand7(EvaluatorMask mask) { return Evaluate<7>(mask); }

HandValue EvaluateHand(const uint8_t* cards, int n) {
  if (n < 3 || n > 7) return 0;
  EvaluatorMask mask = 0;
  for (int i = 0; i < n; ++i) mask |= EvaluatorBit(cards[i]);
  switch (n) {
    case 3: return Evaluate<3>(mask);
    case 4: return Evaluate<4>(mask);
    case 5: return Evaluate<5>(mask);
    case 6: return Evaluate<6>(mask);
    default: return Evaluate<7>(mask);
  }
}

int TopRankOf(uint32_t rankMask) { return TopRank[rankMask]; }

int RankCountOf(uint32_t rankMask) { return RankCount[rankMask]; }

int LowestCardOfMask(EvaluatorMask mask, int& rank, int& suit) {
  if (mask == 0) {
    rank = 0;
    suit = -1;
    return -1;
  }
  // The suit fields are ordered clubs to spades from the low bits up, so the
  // lowest set bit is the lowest card of the first non-empty suit.
  const int bit = __builtin_ctzll(mask);
  rank = bit % 16 + 2;
  suit = bit / 16;
  return suit;
}

bool ClassifierHasPair(const int32_t* cards, int n) {
  uint32_t seen = 0;
  for (int i = 0; i < n; ++i) {
    const uint32_t bit = 1u << ClassifierCardRank(cards[i]);
    if (seen & bit) return true;
    seen |= bit;
  }
  return false;
}

void PrintHandCounts(const int* counts) {
  if (HandOrderString.size() < size_t(5 * kComboCount - 1)) BuildHandOrderTables();
  bool first = true;
  for (int i = 0; i < kComboCount; ++i) {
    if (counts[i] <= 0) continue;
    printf("%s%.4s: %d", first ? "" : ", ", HandOrderString.c_str() + 5 * i, counts[i]);
    first = false;
  }
  printf("\n");
}
