#include "encoders/gif_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <nmmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

namespace {

// Index of the transparent colour: unchanged pixels and no palette colour.
constexpr uint8_t kTransparentIndex = 0;

// RGBA bytes packed into one word (red in the low byte) for moving pixels
// around while the palette is split.
inline uint32_t PackPixel(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint32_t Component(uint32_t pixel, int component) { return (pixel >> (8 * component)) & 0xFF; }

inline bool SameRgb(const uint8_t* a, const uint8_t* b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

// Tables indexed by a 4-bit mask of four 32-bit lanes: `pack` is the byte
// shuffle that moves the marked lanes to the front in order, `expand` the
// one that gives the k-th marked lane the input lane k, `masks` spreads the
// mask over the lanes and `exclusiveParity` has as bit j the parity of the
// mask bits below j.
struct LaneTables {
  uint8_t pack[16][16];
  uint8_t expand[16][16];
  uint32_t masks[16][4];
  uint8_t exclusiveParity[16];
};

constexpr LaneTables MakeLaneTables() {
  LaneTables t{};
  for (int m = 0; m < 16; ++m) {
    int k = 0, parity = 0;
    for (int j = 0; j < 4; ++j) {
      const int marked = (m >> j) & 1;
      t.masks[m][j] = marked ? 0xFFFFFFFFu : 0u;
      t.exclusiveParity[m] = static_cast<uint8_t>(t.exclusiveParity[m] | (parity << j));
      parity ^= marked;
      for (int b = 0; b < 4; ++b) t.expand[m][4 * j + b] = static_cast<uint8_t>(4 * k + b);
      if (marked) {
        for (int b = 0; b < 4; ++b) t.pack[m][4 * k + b] = static_cast<uint8_t>(4 * j + b);
        ++k;
      }
    }
    for (int lane = k; lane < 4; ++lane)
      for (int b = 0; b < 4; ++b) t.pack[m][4 * lane + b] = 0x80;
  }
  return t;
}

constexpr LaneTables kLaneTables = MakeLaneTables();

inline __m128i Load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void Store128(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline uint32_t LaneBits(__m128i mask) {
  return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(mask)));
}

// Moves the pixels smaller than the value of the pixel at pivotIndex in the
// component to the front of [left, right), then every second pixel equal to
// it (so runs of equal values split evenly), then the pivot pixel itself;
// returns the pivot pixel's final position.
//
// The arrangement is exactly that of the plain loop "a taken pixel at i
// swaps with the pixel at store, store += 1", computed without branches on
// the data, four pixels at a time. In that loop the pixels not taken so far
// form a block [store, i): a pixel not taken joins its back, and a take with
// the block not empty moves its front pixel to the back. The block is kept
// as a queue in `queue` (room for right - left pixels); the taken pixels are
// compacted in place in their order, and the queue is copied behind them at
// the end.
size_t Partition(uint32_t* pixels, size_t left, size_t right, size_t pivotIndex, int component, uint32_t* queue) {
  const uint32_t pivot = pixels[pivotIndex];
  const int shift = 8 * component;
  const uint32_t pivotValue = (pivot >> shift) & 0xFF;
  pixels[pivotIndex] = pixels[right - 1];
  pixels[right - 1] = pivot;
  const size_t end = right - 1;
  size_t store = left, head = 0, tail = 0;
  uint32_t toggle = 0;

  auto step = [&](size_t i) {
    const uint32_t x = pixels[i];
    const uint32_t value = (x >> shift) & 0xFF;
    const uint32_t equal = value == pivotValue;
    const uint32_t take = (value < pivotValue) | (equal & toggle);
    toggle ^= equal;
    pixels[store] = x;  // slots up to i are read already; one not taken is overwritten later
    store += take;
    const uint32_t nonEmpty = head < tail;
    const uint32_t rotateMask = 0u - (take & nonEmpty);
    queue[tail] = x;  // the front read next is then written even when the queue is empty
    queue[tail] = (queue[head] & rotateMask) | (x & ~rotateMask);
    tail += (take ^ 1) | nonEmpty;
    head += take & nonEmpty;
  };

  size_t i = left;
  // One by one until the queue holds four pixels: the fronts that a group
  // of four may move must all be in it before the group starts.
  for (; i < end && tail - head < 4; ++i) step(i);
  const __m128i pivotVector = _mm_set1_epi32(static_cast<int>(pivotValue));
  const __m128i byteMask = _mm_set1_epi32(0xFF);
  const __m128i shiftCount = _mm_cvtsi32_si128(shift);
  for (; i + 4 <= end; i += 4) {
    const __m128i x = Load128(pixels + i);
    const __m128i value = _mm_and_si128(_mm_srl_epi32(x, shiftCount), byteMask);
    const uint32_t lessBits = LaneBits(_mm_cmplt_epi32(value, pivotVector));
    const uint32_t equalBits = LaneBits(_mm_cmpeq_epi32(value, pivotVector));
    const uint32_t toggleBits = kLaneTables.exclusiveParity[equalBits] ^ (toggle ? 0xFu : 0u);
    const uint32_t takeBits = lessBits | (equalBits & toggleBits);
    toggle ^= static_cast<uint32_t>(_mm_popcnt_u32(equalBits)) & 1;
    const uint32_t taken = static_cast<uint32_t>(_mm_popcnt_u32(takeBits));

    Store128(pixels + store, _mm_shuffle_epi8(x, Load128(kLaneTables.pack[takeBits])));
    store += taken;
    const __m128i moved = _mm_shuffle_epi8(Load128(queue + head), Load128(kLaneTables.expand[takeBits]));
    Store128(queue + tail, _mm_blendv_epi8(x, moved, Load128(kLaneTables.masks[takeBits])));
    tail += 4;
    head += taken;
  }
  for (; i < end; ++i) step(i);

  std::memcpy(pixels + store, queue + head, (tail - head) * sizeof(uint32_t));
  const uint32_t last = pixels[right - 1];
  pixels[right - 1] = pixels[store];
  pixels[store] = last;
  return store;
}

// Reorders [0, count) so that the pixel at `needed` is the one a sort by the
// component would put there (quickselect).
void SelectByComponent(uint32_t* pixels, size_t count, size_t needed, int component, uint32_t* queue) {
  size_t left = 0, right = count;
  while (left + 1 < right) {
    const size_t position = Partition(pixels, left, right, left + (right - left) / 2, component, queue);
    if (position > needed) {
      right = position;
    } else if (position < needed) {
      left = position + 1;
    } else {
      break;
    }
  }
}

// Sets palette entry `index` to the per-component minimum, maximum or
// rounded mean of the pixels.
enum class LeafColour { kMinimum, kMaximum, kMean };

void SetLeafColour(const uint32_t* pixels, size_t count, LeafColour kind, int index, GifPaletteTree& tree) {
  uint8_t* const out[3] = {tree.red, tree.green, tree.blue};
  for (int c = 0; c < 3; ++c) {
    if (kind == LeafColour::kMean) {
      uint64_t sum = 0;
      for (size_t i = 0; i < count; ++i) sum += Component(pixels[i], c);
      out[c][index] = static_cast<uint8_t>((sum + count / 2) / count);
    } else {
      uint32_t best = kind == LeafColour::kMinimum ? 255 : 0;
      for (size_t i = 0; i < count; ++i) {
        const uint32_t v = Component(pixels[i], c);
        best = kind == LeafColour::kMinimum ? (v < best ? v : best) : (v > best ? v : best);
      }
      out[c][index] = static_cast<uint8_t>(best);
    }
  }
}

// What the recursive split shares: the tree being built, the selection's
// queue and which palette entries got pixels.
struct PaletteBuild {
  GifPaletteTree& tree;
  uint32_t* queue;
  bool forDither;
  bool reached[256];
};

// Splits the pixels between palette indices [firstIndex, lastIndex) at the
// median of their widest component, recording the split at `node`.
void SplitPalette(PaletteBuild& build, uint32_t* pixels, size_t count, int firstIndex, int lastIndex, int splitIndex,
                  int splitDistance, int node) {
  GifPaletteTree& tree = build.tree;
  if (lastIndex <= firstIndex || count == 0) return;
  if (lastIndex == firstIndex + 1) {
    LeafColour kind = LeafColour::kMean;
    if (build.forDither && firstIndex == 1) {
      kind = LeafColour::kMinimum;
    } else if (build.forDither && firstIndex == (1 << tree.bitDepth) - 1) {
      kind = LeafColour::kMaximum;
    }
    SetLeafColour(pixels, count, kind, firstIndex, tree);
    build.reached[firstIndex] = true;
    return;
  }

  uint32_t low[3] = {255, 255, 255}, high[3] = {0, 0, 0};
  for (size_t i = 0; i < count; ++i) {
    const uint32_t p = pixels[i];
    for (int c = 0; c < 3; ++c) {
      const uint32_t v = Component(p, c);
      low[c] = v < low[c] ? v : low[c];
      high[c] = v > high[c] ? v : high[c];
    }
  }
  const uint32_t redRange = high[0] - low[0], greenRange = high[1] - low[1], blueRange = high[2] - low[2];
  int component = blueRange > greenRange ? 2 : 1;
  if (redRange > greenRange && redRange > blueRange) component = 0;

  // 64-bit product: the pixel count times the index span exceeds 32 bits
  // on large frames.
  const size_t countA = static_cast<size_t>(static_cast<uint64_t>(count) * uint64_t(splitIndex - firstIndex) /
                                            uint64_t(lastIndex - firstIndex));
  SelectByComponent(pixels, count, countA, component, build.queue);
  tree.splitComponent[node] = static_cast<uint8_t>(component);
  tree.splitValue[node] = static_cast<uint8_t>(Component(pixels[countA], component));

  SplitPalette(build, pixels, countA, firstIndex, splitIndex, splitIndex - splitDistance, splitDistance / 2, node * 2);
  SplitPalette(build, pixels + countA, count - countA, splitIndex, lastIndex, splitIndex + splitDistance,
               splitDistance / 2, node * 2 + 1);
}

// Builds the palette with a caller's scratch buffer of 2 x pixelCount words.
// Returns whether every palette entry from 1 on got pixels (entries without
// pixels are black wherever they sit in the tree).
bool MakePalette(const uint8_t* previous, const uint8_t* rgbaFrame, size_t pixelCount, int32_t bitDepth,
                 bool forDither, uint32_t* scratch, GifPaletteTree& tree) {
  tree = GifPaletteTree();
  tree.bitDepth = bitDepth;
  size_t count = 0;
  if (previous != nullptr) {
    for (size_t i = 0; i < pixelCount; ++i)
      if (!SameRgb(rgbaFrame + 4 * i, previous + 4 * i)) scratch[count++] = PackPixel(rgbaFrame + 4 * i);
  } else {
    for (size_t i = 0; i < pixelCount; ++i) scratch[i] = PackPixel(rgbaFrame + 4 * i);
    count = pixelCount;
  }
  const int leaves = 1 << bitDepth;
  PaletteBuild build{tree, scratch + pixelCount, forDither, {}};
  SplitPalette(build, scratch, count, 1, leaves, leaves / 2, leaves / 4, 1);
  // The node above the leaves of indices 0 and 1 always leads to index 1
  // first; index 0 stays black and is never chosen.
  tree.splitComponent[leaves / 2] = 0;
  tree.splitValue[leaves / 2] = 0;
  tree.red[0] = tree.green[0] = tree.blue[0] = 0;
  for (int i = 1; i < leaves; ++i)
    if (!build.reached[i]) return false;
  return true;
}

// Nearest palette colour with the result of GifNearestColor, found faster.
//
// When every palette entry from 1 on got pixels, each leaf colour lies on
// its side of every split above it (a split's left pixels are at most its
// value, its right pixels at least, and a leaf is their mean, minimum or
// maximum). The tree search then finds the smallest distance, and among
// equally near colours the one it visits first: at the deepest node above
// both, the colour in the child searched first (the left one when the split
// value exceeds the pixel's component, else the right one). The colour
// space is cut into cells; a cell, when first met, lists the colours that
// can be nearest to some point in it (those no farther from the cell than
// the least distance within which some colour reaches its every point), and
// a pixel compares only those. Palettes with entries that
// got no pixels, and colours beyond the cells, use the tree search itself.
class ColourMapper {
 public:
  ColourMapper(const GifPaletteTree& tree, bool leavesOnTheirSides)
      : tree_(tree), leaves_(1 << tree.bitDepth), useCells_(leavesOnTheirSides) {
    if (useCells_) {
      for (int i = 1; i < leaves_; ++i) allLeaves_.push_back(static_cast<uint8_t>(i));
      coarseStart_.assign(size_t(1) << (3 * (kAxisBits - kCoarseBits)), kUnbuilt);
      coarseCount_.assign(coarseStart_.size(), 0);
      fineStart_.assign(size_t(1) << (3 * (kAxisBits - kFineBits)), kUnbuilt);
      fineGroups_.assign(fineStart_.size(), 0);
    }
  }

  int32_t Nearest(int32_t r, int32_t g, int32_t b, int32_t startIndex) {
    if (!useCells_ || ((r | g | b) & ~((1 << kAxisBits) - 1)) != 0) {
      int32_t bestIndex = startIndex, bestDistance = 1000000;
      GifNearestColor(tree_, r, g, b, bestIndex, bestDistance);
      return bestIndex;
    }
    const int fineCell = CellOf<kFineBits>(r, g, b);
    if (fineStart_[fineCell] == kUnbuilt) BuildFineCell(fineCell, r, g, b);
    const CandidateGroup* group = groups_.data() + fineStart_[fineCell];
    const uint32_t groupCount = fineGroups_[fineCell];

    // Distances of eight candidates at a time, and their least value.
    const __m128i red = _mm_set1_epi16(static_cast<int16_t>(r));
    const __m128i green = _mm_set1_epi16(static_cast<int16_t>(g));
    const __m128i blue = _mm_set1_epi16(static_cast<int16_t>(b));
    __m128i distances[kMaxGroups];
    __m128i least = _mm_set1_epi16(-1);
    for (uint32_t k = 0; k < groupCount; ++k) {
      const __m128i d = _mm_add_epi16(_mm_add_epi16(_mm_abs_epi16(_mm_sub_epi16(red, Load128(group[k].red))),
                                                    _mm_abs_epi16(_mm_sub_epi16(green, Load128(group[k].green)))),
                                      _mm_abs_epi16(_mm_sub_epi16(blue, Load128(group[k].blue))));
      distances[k] = d;
      least = _mm_min_epu16(least, d);
    }
    const __m128i found = _mm_minpos_epu16(least);
    const __m128i best = _mm_set1_epi16(static_cast<int16_t>(_mm_extract_epi16(found, 0)));

    // The colour at the least distance; among several, the one the tree
    // search reaches first.
    int32_t bestIndex = -1;
    for (uint32_t k = 0; k < groupCount; ++k) {
      uint32_t lanes = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(distances[k], best))) & 0x5555u;
      while (lanes != 0) {
        const int32_t index = group[k].index[__builtin_ctz(lanes) / 2];
        lanes &= lanes - 1;
        if (bestIndex < 0 || SearchedFirst(index, bestIndex, r, g, b)) bestIndex = index;
      }
    }
    return bestIndex;
  }

 private:
  // Cells of 32 and of 16 per side; a small cell's list is drawn from the
  // list of the large cell around it (a colour that can be nearest within
  // the small cell can be nearest within the large one).
  // Cells cover colours 0..511 per component: error diffusion can ask for
  // values a little past 255.
  static constexpr int kAxisBits = 9;
  static constexpr int kCoarseBits = 5;
  static constexpr int kFineBits = 4;
  static constexpr uint32_t kUnbuilt = ~0u;
  static constexpr uint32_t kMaxGroups = 32;  // 255 colours in groups of 8
  // Lanes without a colour: far from every colour, so never the least.
  static constexpr int16_t kNoColour = 0x3FFF;

  struct alignas(16) CandidateGroup {
    int16_t red[8];
    int16_t green[8];
    int16_t blue[8];
    uint8_t index[8];
  };

  template <int kBits>
  static int CellOf(int32_t r, int32_t g, int32_t b) {
    constexpr int kAxis = kAxisBits - kBits;
    return ((r >> kBits) << (2 * kAxis)) | ((g >> kBits) << kAxis) | (b >> kBits);
  }

  // Whether the tree search reaches palette index a before index b.
  bool SearchedFirst(int32_t a, int32_t b, int32_t r, int32_t g, int32_t bl) const {
    const uint32_t nodeA = uint32_t(leaves_ + a), nodeB = uint32_t(leaves_ + b);
    const int level = 31 - __builtin_clz(nodeA ^ nodeB);  // below the deepest common node
    const uint32_t common = nodeA >> (level + 1);
    const int component = tree_.splitComponent[common];
    const int32_t c = component == 0 ? r : component == 1 ? g : bl;
    const uint32_t firstChild = tree_.splitValue[common] > c ? 0u : 1u;
    return ((nodeA >> level) & 1u) == firstChild;
  }

  // The colours among `from` that are no farther from the cell of side
  // 2^bits holding (r, g, b) than the least distance within which one of
  // them reaches all of the cell; returns their count in `out`.
  uint32_t CellCandidates(int bits, int32_t r, int32_t g, int32_t b, const uint8_t* from, uint32_t fromCount,
                          uint8_t* out) const {
    const int32_t colour[3] = {r, g, b};
    int32_t low[3], high[3];
    for (int c = 0; c < 3; ++c) {
      low[c] = (colour[c] >> bits) << bits;
      high[c] = low[c] + (1 << bits) - 1;
    }
    int32_t nearest[256];
    int32_t reach = 1 << 30;
    for (uint32_t k = 0; k < fromCount; ++k) {
      const int32_t index = from[k];
      const int32_t leaf[3] = {tree_.red[index], tree_.green[index], tree_.blue[index]};
      int32_t near = 0, far = 0;
      for (int c = 0; c < 3; ++c) {
        near += std::max(0, low[c] - leaf[c]) + std::max(0, leaf[c] - high[c]);
        far += std::max(leaf[c] - low[c], high[c] - leaf[c]);
      }
      nearest[k] = near;
      reach = std::min(reach, far);
    }
    uint32_t count = 0;
    for (uint32_t k = 0; k < fromCount; ++k)
      if (nearest[k] <= reach) out[count++] = from[k];
    return count;
  }

  void BuildFineCell(int fineCell, int32_t r, int32_t g, int32_t b) {
    const int coarseCell = CellOf<kCoarseBits>(r, g, b);
    if (coarseStart_[coarseCell] == kUnbuilt) {
      uint8_t list[256];
      const uint32_t count =
          CellCandidates(kCoarseBits, r, g, b, allLeaves_.data(), uint32_t(allLeaves_.size()), list);
      coarseStart_[coarseCell] = static_cast<uint32_t>(coarseLists_.size());
      coarseCount_[coarseCell] = count;
      coarseLists_.insert(coarseLists_.end(), list, list + count);
    }
    uint8_t list[256];
    const uint32_t count = CellCandidates(kFineBits, r, g, b, coarseLists_.data() + coarseStart_[coarseCell],
                                          coarseCount_[coarseCell], list);
    fineStart_[fineCell] = static_cast<uint32_t>(groups_.size());
    fineGroups_[fineCell] = (count + 7) / 8;
    for (uint32_t k = 0; k < count; k += 8) {
      CandidateGroup group;
      for (uint32_t lane = 0; lane < 8; ++lane) {
        const bool present = k + lane < count;
        const uint8_t index = present ? list[k + lane] : 0;
        group.red[lane] = present ? tree_.red[index] : kNoColour;
        group.green[lane] = present ? tree_.green[index] : kNoColour;
        group.blue[lane] = present ? tree_.blue[index] : kNoColour;
        group.index[lane] = index;
      }
      groups_.push_back(group);
    }
  }

  const GifPaletteTree& tree_;
  const int32_t leaves_;
  const bool useCells_;
  std::vector<uint8_t> allLeaves_;
  std::vector<uint32_t> coarseStart_;  // kUnbuilt until the cell is first met
  std::vector<uint32_t> coarseCount_;
  std::vector<uint8_t> coarseLists_;
  std::vector<uint32_t> fineStart_;  // first group, kUnbuilt until the cell is first met
  std::vector<uint32_t> fineGroups_;
  std::vector<CandidateGroup> groups_;
};

// Maps the frame to the palette pixel by pixel, into `out` (which may be
// `previous`): unchanged pixels keep the previous colour with the
// transparent index.
void ThresholdImage(const uint8_t* previous, const uint8_t* rgbaFrame, uint8_t* out, size_t pixelCount,
                    const GifPaletteTree& tree, bool leavesOnTheirSides) {
  ColourMapper mapper(tree, leavesOnTheirSides);
  // Runs of one colour are common; the search result of the last searched
  // colour is reused.
  int32_t lastR = -1, lastG = -1, lastB = -1, lastIndex = 1;
  for (size_t i = 0; i < pixelCount; ++i) {
    const uint8_t* pixel = rgbaFrame + 4 * i;
    uint8_t* target = out + 4 * i;
    if (previous != nullptr && SameRgb(pixel, previous + 4 * i)) {
      const uint8_t* old = previous + 4 * i;
      target[0] = old[0];
      target[1] = old[1];
      target[2] = old[2];
      target[3] = kTransparentIndex;
      continue;
    }
    if (pixel[0] != lastR || pixel[1] != lastG || pixel[2] != lastB) {
      const int32_t bestIndex = mapper.Nearest(pixel[0], pixel[1], pixel[2], 1);
      lastR = pixel[0];
      lastG = pixel[1];
      lastB = pixel[2];
      lastIndex = bestIndex;
    }
    target[0] = tree.red[lastIndex];
    target[1] = tree.green[lastIndex];
    target[2] = tree.blue[lastIndex];
    target[3] = static_cast<uint8_t>(lastIndex);
  }
}

// Floyd-Steinberg error diffusion in fixed point (values x 256) over the
// whole frame; `work` holds pixelCount x 4 values. Positions run through the
// frame row-major, so the error at a row's end continues on the next row.
void DitherImage(const uint8_t* previous, const uint8_t* rgbaFrame, uint8_t* out, uint32_t width,
                 size_t pixelCount, const GifPaletteTree& tree, bool leavesOnTheirSides, int32_t* work) {
  ColourMapper mapper(tree, leavesOnTheirSides);
  for (size_t i = 0; i < 4 * pixelCount; ++i) work[i] = int32_t(rgbaFrame[i]) * 256;
  const size_t offsets[4] = {1, size_t(width) - 1, size_t(width), size_t(width) + 1};
  const int32_t factors[4] = {7, 3, 5, 1};
  for (size_t k = 0; k < pixelCount; ++k) {
    int32_t* value = work + 4 * k;
    const int32_t r = (value[0] + 127) / 256, g = (value[1] + 127) / 256, b = (value[2] + 127) / 256;
    if (previous != nullptr) {
      const uint8_t* old = previous + 4 * k;
      if (old[0] == r && old[1] == g && old[2] == b) {
        value[0] = r;
        value[1] = g;
        value[2] = b;
        value[3] = kTransparentIndex;
        continue;
      }
    }
    const int32_t bestIndex = mapper.Nearest(r, g, b, kTransparentIndex);
    const int32_t error[3] = {value[0] - 256 * int32_t(tree.red[bestIndex]),
                              value[1] - 256 * int32_t(tree.green[bestIndex]),
                              value[2] - 256 * int32_t(tree.blue[bestIndex])};
    value[0] = tree.red[bestIndex];
    value[1] = tree.green[bestIndex];
    value[2] = tree.blue[bestIndex];
    value[3] = bestIndex;
    for (int n = 0; n < 4; ++n) {
      const size_t position = k + offsets[n];
      // A one-pixel-wide frame would send the left-below share back onto
      // the pixel just written; only pixels still to come take error.
      if (position <= k || position >= pixelCount) continue;
      int32_t* target = work + 4 * position;
      for (int c = 0; c < 3; ++c) {
        const int32_t share = error[c] * factors[n] / 16;
        target[c] += share > -target[c] ? share : -target[c];
      }
    }
  }
  for (size_t i = 0; i < 4 * pixelCount; ++i) out[i] = static_cast<uint8_t>(work[i] & 0xFF);
}

// LZW codes packed least significant bit first into data sub-blocks of up
// to 255 bytes.
class CodeWriter {
 public:
  explicit CodeWriter(FILE* file) : file_(file) {}

  void Put(uint32_t code, int bits) {
    pending_ |= uint64_t(code) << pendingBits_;
    pendingBits_ += bits;
    while (pendingBits_ >= 8) {
      AppendByte(static_cast<uint8_t>(pending_));
      pending_ >>= 8;
      pendingBits_ -= 8;
    }
  }

  // Completes the last byte with zero bits, writes what remains and the
  // block terminator.
  void Finish() {
    if (pendingBits_ > 0) AppendByte(static_cast<uint8_t>(pending_));
    pending_ = 0;
    pendingBits_ = 0;
    if (fill_ > 0) WriteBlock();
    std::fputc(0, file_);
  }

 private:
  void AppendByte(uint8_t byte) {
    block_[1 + fill_++] = byte;
    if (fill_ == 255) WriteBlock();
  }
  void WriteBlock() {
    block_[0] = static_cast<uint8_t>(fill_);
    std::fwrite(block_, 1, size_t(fill_) + 1, file_);
    fill_ = 0;
  }

  FILE* file_;
  uint64_t pending_ = 0;
  int pendingBits_ = 0;
  int fill_ = 0;
  uint8_t block_[256];
};

constexpr uint32_t kLzwMaxCode = 4095;

// The LZW dictionary: the code of each (code, next index) pair entered since
// the last restart. An open-addressing hash table of 8192 slots, at most
// half full (fewer than 4096 entries between restarts), so that it stays in
// the first-level cache; a slot holds the pair in its upper 20 bits and the
// code (never 0) in its low 12.
class LzwDictionary {
 public:
  LzwDictionary() { std::memset(slots_, 0, sizeof slots_); }

  // The code of the pair, or 0 when it is not entered.
  uint32_t Find(uint32_t code, uint32_t index) const {
    const uint32_t key = (code << 8) | index;
    for (uint32_t slot = Hash(key);; slot = (slot + 1) & kMask) {
      const uint32_t entry = slots_[slot];
      if (entry == 0) return 0;
      if (entry >> 12 == key) return entry & 0xFFF;
    }
  }

  void Enter(uint32_t code, uint32_t index, uint32_t newCode) {
    const uint32_t key = (code << 8) | index;
    uint32_t slot = Hash(key);
    while (slots_[slot] != 0) slot = (slot + 1) & kMask;
    slots_[slot] = (key << 12) | newCode;
    used_[usedCount_++] = static_cast<uint16_t>(slot);
  }

  // Empties the slots entered since the last restart.
  void Restart() {
    for (uint32_t k = 0; k < usedCount_; ++k) slots_[used_[k]] = 0;
    usedCount_ = 0;
  }

 private:
  static constexpr uint32_t kBits = 13;
  static constexpr uint32_t kMask = (1u << kBits) - 1;
  static uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> (32 - kBits); }

  uint32_t slots_[1u << kBits];
  uint16_t used_[kLzwMaxCode + 1];
  uint32_t usedCount_ = 0;
};

// LZW-codes the index bytes (the fourth byte of each pixel). The dictionary
// restarts with a clear code once code 4095 has been entered.
void WriteLzw(FILE* file, const uint8_t* frame, size_t pixelCount, int32_t minimumCodeSize,
              LzwDictionary& dictionary) {
  CodeWriter writer(file);
  const uint32_t clearCode = 1u << minimumCodeSize;
  const uint32_t endCode = clearCode + 1;
  int codeSize = minimumCodeSize + 1;
  uint32_t lastCode = clearCode + 1;

  writer.Put(clearCode, codeSize);
  int32_t current = -1;
  for (size_t i = 0; i < pixelCount; ++i) {
    const uint8_t v = frame[4 * i + 3];
    if (current < 0) {
      current = v;
      continue;
    }
    const uint32_t found = dictionary.Find(uint32_t(current), v);
    if (found != 0) {
      current = static_cast<int32_t>(found);
      continue;
    }
    writer.Put(uint32_t(current), codeSize);
    ++lastCode;
    dictionary.Enter(uint32_t(current), v, lastCode);
    if (lastCode >= (1u << codeSize)) ++codeSize;
    if (lastCode == kLzwMaxCode) {
      writer.Put(clearCode, codeSize);
      dictionary.Restart();
      codeSize = minimumCodeSize + 1;
      lastCode = clearCode + 1;
    }
    current = v;
  }
  writer.Put(uint32_t(current), codeSize);
  writer.Put(clearCode, codeSize);
  writer.Put(endCode, minimumCodeSize + 1);
  writer.Finish();
}

inline void PutLittle16(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value & 0xFF);
  out[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

// Graphic control extension, image descriptor, local colour table and the
// LZW-coded indices of the frame buffer.
void WriteFrameBlocks(GifWriterState& writer, uint16_t delay, const GifPaletteTree& tree, LzwDictionary& dictionary) {
  uint8_t head[8 + 10 + 3 * 256 + 1];
  size_t n = 0;
  head[n++] = 0x21;  // extension
  head[n++] = 0xF9;  // graphic control
  head[n++] = 0x04;  // block size
  head[n++] = 0x05;  // leave in place; transparent colour present
  PutLittle16(head + n, delay);
  n += 2;
  head[n++] = kTransparentIndex;
  head[n++] = 0;  // block terminator

  head[n++] = 0x2C;  // image descriptor
  PutLittle16(head + n, 0);  // left
  PutLittle16(head + n + 2, 0);  // top
  PutLittle16(head + n + 4, writer.width);
  PutLittle16(head + n + 6, writer.height);
  n += 8;
  head[n++] = static_cast<uint8_t>(0x80 + tree.bitDepth - 1);  // local colour table of 2^bitDepth entries
  head[n++] = 0;
  head[n++] = 0;
  head[n++] = 0;
  for (int i = 1; i < (1 << tree.bitDepth); ++i) {
    head[n++] = tree.red[i];
    head[n++] = tree.green[i];
    head[n++] = tree.blue[i];
  }
  // LZW minimum code size: the bit depth, but at least 2, the least a GIF
  // allows (decoders reject 1).
  const int32_t minimumCodeSize = std::max(tree.bitDepth, 2);
  head[n++] = static_cast<uint8_t>(minimumCodeSize);
  std::fwrite(head, 1, n, writer.file);
  WriteLzw(writer.file, writer.frame, size_t(writer.width) * writer.height, minimumCodeSize, dictionary);
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

void GifNearestColor(const GifPaletteTree& tree, int32_t r, int32_t g, int32_t b, int32_t& bestIndex,
                     int32_t& bestDistance, int32_t node) {
  const int32_t leaves = 1 << tree.bitDepth;
  if (node >= leaves) {
    const int32_t index = node - leaves;
    if (index == kTransparentIndex) return;
    const int32_t dr = r - tree.red[index], dg = g - tree.green[index], db = b - tree.blue[index];
    const int32_t distance = (dr < 0 ? -dr : dr) + (dg < 0 ? -dg : dg) + (db < 0 ? -db : db);
    if (distance < bestDistance) {
      bestDistance = distance;
      bestIndex = index;
    }
    return;
  }
  const int component = tree.splitComponent[node];
  const int32_t c = component == 0 ? r : component == 1 ? g : b;
  const int32_t s = tree.splitValue[node];
  if (s > c) {
    GifNearestColor(tree, r, g, b, bestIndex, bestDistance, node * 2);
    if (bestDistance > s - c) GifNearestColor(tree, r, g, b, bestIndex, bestDistance, node * 2 + 1);
  } else {
    GifNearestColor(tree, r, g, b, bestIndex, bestDistance, node * 2 + 1);
    if (bestDistance > c - s) GifNearestColor(tree, r, g, b, bestIndex, bestDistance, node * 2);
  }
}

bool GifMakePalette(const uint8_t* previous, const uint8_t* rgbaFrame, uint64_t pixelCount, int32_t bitDepth,
                    bool forDither, GifPaletteTree& tree) {
  if (bitDepth < 1 || bitDepth > 8 || pixelCount > SIZE_MAX / 8) return false;
  std::unique_ptr<uint32_t[]> scratch(new (std::nothrow) uint32_t[2 * pixelCount]);
  if (!scratch) return false;
  MakePalette(previous, rgbaFrame, static_cast<size_t>(pixelCount), bitDepth, forDither, scratch.get(), tree);
  return true;
}

bool GifWriterOpen(GifWriterState& writer, const char* fileName, uint32_t width, uint32_t height, uint16_t delay) {
  if (writer.file != nullptr) return false;
  if (width == 0 || height == 0 || width > kGifMaxSide || height > kGifMaxSide) return false;
  std::unique_ptr<uint8_t, FreeDeleter> frame(static_cast<uint8_t*>(std::malloc(size_t(width) * height * 4)));
  if (!frame) return false;
  FILE* file = std::fopen(fileName, "wb");
  if (file == nullptr) return false;

  uint8_t header[19 + 19];
  size_t n = 0;
  std::memcpy(header, "GIF89a", 6);
  n = 6;
  PutLittle16(header + n, width);
  PutLittle16(header + n + 2, height);
  n += 4;
  header[n++] = 0xF0;  // global colour table of 2 entries, colour resolution 7
  header[n++] = 0;     // background colour index
  header[n++] = 0;     // pixel aspect ratio
  std::memset(header + n, 0, 6);  // the global table: two black entries
  n += 6;
  if (delay != 0) {
    // Application extension that loops the animation forever.
    header[n++] = 0x21;
    header[n++] = 0xFF;
    header[n++] = 0x0B;
    std::memcpy(header + n, "NETSCAPE2.0", 11);
    n += 11;
    header[n++] = 0x03;  // sub-block size
    header[n++] = 0x01;  // loop sub-block
    header[n++] = 0x00;  // loop count 0 (forever), little-endian
    header[n++] = 0x00;
    header[n++] = 0x00;  // block terminator
  }
  std::fwrite(header, 1, n, file);

  writer.file = file;
  writer.frame = frame.release();
  writer.width = width;
  writer.height = height;
  writer.firstFrame = true;
  return true;
}

bool GifWriterAddFrame(GifWriterState& writer, const uint8_t* rgbaFrame, uint32_t width, uint32_t height,
                       uint16_t delay, int32_t bitDepth, bool dither) {
  if (writer.file == nullptr || rgbaFrame == nullptr) return false;
  if (width != writer.width || height != writer.height) return false;
  if (bitDepth < 1 || bitDepth > 8) return false;
  const size_t pixelCount = size_t(width) * height;

  // Working buffers of this frame, all taken before anything changes.
  std::unique_ptr<uint32_t[]> scratch(new (std::nothrow) uint32_t[2 * pixelCount]);
  std::unique_ptr<int32_t[]> work(dither ? new (std::nothrow) int32_t[4 * pixelCount] : nullptr);
  std::unique_ptr<LzwDictionary> dictionary(new (std::nothrow) LzwDictionary);
  if (!scratch || (dither && !work) || !dictionary) return false;

  const uint8_t* previous = writer.firstFrame ? nullptr : writer.frame;
  writer.firstFrame = false;

  GifPaletteTree tree;
  const bool leavesOnTheirSides =
      MakePalette(dither ? nullptr : previous, rgbaFrame, pixelCount, bitDepth, dither, scratch.get(), tree);
  scratch.reset();
  if (dither) {
    DitherImage(previous, rgbaFrame, writer.frame, width, pixelCount, tree, leavesOnTheirSides, work.get());
  } else {
    ThresholdImage(previous, rgbaFrame, writer.frame, pixelCount, tree, leavesOnTheirSides);
  }
  WriteFrameBlocks(writer, delay, tree, *dictionary);
  return std::ferror(writer.file) == 0;
}

bool GifWriterClose(GifWriterState& writer) {
  if (writer.file == nullptr) return false;
  bool ok = std::fputc(0x3B, writer.file) != EOF;
  ok = std::ferror(writer.file) == 0 && ok;
  ok = std::fclose(writer.file) == 0 && ok;
  std::free(writer.frame);
  writer.file = nullptr;
  writer.frame = nullptr;
  writer.width = 0;
  writer.height = 0;
  return ok;
}
