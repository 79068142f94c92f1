// The one current game tree: flattened betting tree, board, ranges, deal
// records, storage layouts, per-tree solver constants, flags and counters.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/cards.h"
#include "game/aligned_array.h"
#include "game/deal_table.h"
#include "game/tree_build.h"

class StorageInterface;


enum TreeFlags : uint32_t {
  kIncompleteTree = 1u << 0,
  kIsomorphismOn = 1u << 1,
  kNewTree = 1u << 2,
};

struct TreeNode {
  int32_t kind = kInnerNode;
  int32_t parentIndex = -1;
  int32_t player = 0;   // inner: player to act; terminal: the parent's player
  int32_t street = 1;   // 1 flop, 2 turn, 3 river
  double amount = 0.0;  // terminal: half the pot plus the line's last amount
  std::vector<int32_t> children;
  TreeNode* parent = nullptr;
  StorageInterface* firstStorage = nullptr;   // cumulative regrets
  StorageInterface* secondStorage = nullptr;  // strategy sums
  int32_t workValue = 0;
  uint8_t prepared = 0;
  uint8_t ownsStorages = 0;
  int32_t SubgameSolveTime[2] = {-1, -1};
  float EvBoost = 0.0f;
  // First node of the turn street: one lock per dealt turn card.
  std::unique_ptr<std::mutex[]> dealLocks;
  // First inner node of the turn street (1 record) or river street (49).
  std::unique_ptr<CardRecord[]> cardRecords;
  int32_t cardRecordCount = 0;

  TreeNode() = default;
  TreeNode(TreeNode&& other) noexcept;
  TreeNode& operator=(TreeNode&&) = delete;
  TreeNode(const TreeNode&) = delete;
  ~TreeNode();
  // Deletes both storages (when owned) and clears the pointers.
  void DeleteStorages();
};

// The lock of one node on one runout, kept outside the storages while the
// node's street is forgotten: the flags and hand mask of each storage's
// record and the action probabilities it fixes (the current strategy from
// the first storage, the average from the second where it exists).
struct KeptLock {
  int32_t node = -1;
  int32_t turnIndex = -1, riverIndex = -1;
  uint32_t flags[2] = {0, 0};
  std::vector<uint8_t> masks[2];
  std::vector<std::vector<double>> rows[2];
};

// Key of the EV cache: node, turn index, river index, player.
struct EvCacheKey {
  const TreeNode* node;
  int32_t turnIndex, riverIndex, player;
  bool operator==(const EvCacheKey& o) const {
    return node == o.node && turnIndex == o.turnIndex && riverIndex == o.riverIndex && player == o.player;
  }
};
struct EvCacheHash {
  size_t operator()(const EvCacheKey& key) const;
};
struct EvCacheRecord {
  AlignedArray values;
  AlignedArray weights;
  ~EvCacheRecord() {
    ReleaseAlignedArray(weights);
    ReleaseAlignedArray(values);
  }
};

// The capture target of one EV pass, attached to the tree for that pass.
struct EvCapture {
  TreeNode* target = nullptr;
  int32_t turnIndex = -1;   // -1 while undealt
  int32_t riverIndex = -1;
  AlignedArray ev;          // per-hand EV at the target (all-cards flag clear)
  AlignedArray weight;      // per-hand weight at the target
  // All-cards captures, keyed by (river index, turn index) and ordered by turn
  // index, then river index; the arrays are owned here.
  struct DealKey {
    int32_t river, turn;
    bool operator<(const DealKey& o) const { return turn != o.turn ? turn < o.turn : river < o.river; }
  };
  std::map<DealKey, std::pair<AlignedArray, AlignedArray>> perCard;
  std::mutex lock;
  uint8_t allCards = 0;  // capture the target on every dealt card

  EvCapture() = default;
  ~EvCapture();
  EvCapture(const EvCapture&) = delete;
  EvCapture& operator=(const EvCapture&) = delete;
};

struct SolverTree {
  std::vector<TreeNode> nodes;
  double pot = 0.0;        // the pot at the root when the tree was built
  CardMask flopMask = 0;   // user's suits
  CardMask boardMask = 0;  // flop, turn and river of the root, user's suits
  std::unique_ptr<DealTable> dealTable;
  int32_t rootTurnIndex = -1, rootRiverIndex = -1;
  // Root board hand list order: OOP weights, IP weights, then both divided by
  // the total compatible pair weight.
  std::vector<double> handVectors[4];
  std::vector<double> ranges[2];  // user's suits, combo order
  std::vector<std::unique_ptr<StorageLayout>> layouts;  // index = action count
  double rangeMax[2] = {1.0, 1.0};
  int32_t traversingPlayer = 0;
  int32_t passMode = 0;
  int32_t PassPhase = 0;
  EvCapture* evCapture = nullptr;  // set only for the duration of an EV pass
  int32_t averagingMode = 0;
  int32_t groupingMode = 0;
  uint64_t storedElements[4] = {0, 0, 0, 0};
  uint64_t storedArrays[4] = {0, 0, 0, 0};
  double avgChildren = 0.0;
  int32_t maxChildren = 0;
  double largestPayoff = 0.0;
  double regretScale = 0.0;
  int32_t formatVersion = 6;
  int32_t compression[2] = {0, 0};
  uint8_t storagesPrepared = 0;
  uint8_t accumulateThisIteration = 1;
  int32_t evCacheStamp = -1;
  std::unordered_map<EvCacheKey, std::unique_ptr<EvCacheRecord>, EvCacheHash> evCache;
  // Read by queries while the solver clears NEW_TREE.
  std::atomic<uint32_t> flags{kNewTree};
  int32_t iterationCount = 0;
  int32_t forgottenStreet = -1;
  // Locks of the forgotten streets' nodes, applied again to the storages
  // re-created for them.
  std::vector<KeptLock> keptLocks;
  int32_t lastResultsIteration = -1;
  // What a pass over this tree keeps at once (PassThreadBytes and
  // PassSharedBytes): rows per thread and shared by the team, queued tasks,
  // the bytes each thread takes for compressed storages, and
  // what the regret streams of compressed storages hold by the first check
  // and the sum streams once first written; -1 until first counted.
  int64_t passThreadRows = -1, passSharedRows = 0, passTasks = 0;
  uint64_t passThreadBytes = 0, streamAllowanceBytes = 0, sumStreamAllowanceBytes = 0;
  // How much the last iteration made the streams of compressed storages
  // grow (the solver's next passes count as much again).
  uint64_t lastStreamGrowth = 0;
  double resultPairs[3][2] = {{0, 0}, {0, 0}, {0, 0}};

  SolverTree();
  ~SolverTree();
};

// The current tree, null when none exists.
extern std::unique_ptr<SolverTree> CurrentTree;

// Per-tree solver constants, written when a tree is built or reset.
extern double AveragingExponent;
extern double StrategyWeightCap;
extern int32_t IterationCap;
extern int32_t RiverWarmStartIterations;
extern double RegretScaleNumerator;

// "INCOMPLETE_TREE ISOMORPHISM_ON NEW_TREE" for the flags that are set.
std::string TreeFlagsText();
int GetForgottenStreet();
EvCacheRecord* FindCachedNodeValues(SolverTree& tree, int iteration, const TreeNode* node, int turnIndex,
                                    int riverIndex, int player);
// Maps dealt cards (user suits, -1 none) to deal record indices (-1 none).
void DealIndicesForCards(const SolverTree& tree, int turnCard, int riverCard, int& turnIndex, int& riverIndex);
void FreeSolverTree();

// Strategy averaging is on: always (mode 2) or from the iteration run with
// this count on (mode 1), the first that writes the strategy sums.
constexpr int32_t kAveragingStartIteration = 61;
bool AveragingActive(const SolverTree& tree);
// The reports read the current strategy up to iteration 62 and the average
// one from this iteration on (two iterations after the sums start).
constexpr int32_t kReportAverageStart = 63;
// Zeroes the strategy sums (second storage, where the node has one) of
// action `action` of a node on one runout, or of every action with -1. River
// boards must be open.
void ZeroStrategySums(TreeNode& node, int turnIndex, int riverIndex, int action = -1);

// The river storages of a sub-tree for one board (turn index): opened before a
// sub-game or report uses them and closed after, so that compressed storage
// can decode and re-encode one turn card's data at a time.
//
// Acquire walks the sub-tree's river nodes depth first and opens the chosen
// storage of each for the board; Release walks the same nodes in the same
// order and closes them, writing back what the pass changed (or everything
// with force). Both must see the same tree state (pass mode, traversing
// player, averaging) so that they visit the same storages. `handles` is
// output only: each walk starts from null and leaves there the stream of
// each player (null for uncompressed storages). The walks end the streams'
// passes themselves (EndRead after opening, EndWrite after closing); callers
// need call neither (a second call does nothing). Every river sub-tree (below
// one turn action) has streams of its own per board; a walk from a node above
// the river opens or closes each sub-tree below it in turn.
struct SubtreeContext {
  SolverTree* tree;
  TreeNode* node;
  int boardIndex;
};
enum SubtreeStorage { kFirstStorage = 0, kSecondStorage = 1 };
void AcquireSubtreeStorages(const SubtreeContext& context, void* handles[2], SubtreeStorage which,
                            const int64_t arguments[2], bool force);
void ReleaseSubtreeStorages(const SubtreeContext& context, void* handles[2], SubtreeStorage which, bool force);
void SumSubtreeStorageSize(const SubtreeContext& context, SubtreeStorage which, int64_t totals[2]);
// Closes the selected storage of every river node of the sub-tree whatever
// the tree's last pass left in its pass mode and traversing player: readers
// close without writing back, writers with write-back of every node (and, as
// Release does, the walk ends the write passes and splits at river sub-trees).
void CloseAllSubtreeStorages(const SubtreeContext& context, void* handles[2], SubtreeStorage which, bool write);
