#include "trees/tree_file.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "codecs/codec.h"
#include "core/binary_reader.h"
#include "core/output.h"
#include "core/parallel.h"
#include "core/scope_exit.h"
#include "core/settings.h"
#include "game/aligned_array.h"
#include "game/deal_table.h"
#include "game/line_tree.h"
#include "game/tree_build.h"
#include "game/tree_state.h"
#include "solver/forget.h"
#include "solver/node_eval.h"
#include "solver/river_subtree.h"
#include "solver/subtree_resolve.h"
#include "solver/tree_passes.h"
#include "storage/compressed_river_storage.h"
#include "storage/float_rows.h"
#include "storage/river_storage.h"
#include "storage/save_block.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/storage_interface.h"
#include "storage/storage_stream.h"
#include "storage/storage_unit.h"
#include "trees/tree_lifecycle.h"

const char TreeFileMagic[4] = {'O', 'X', 'A', ':'};

namespace {

constexpr int kComboCount = 1326;
// A card record's arrays hold one value per hand of a board.
constexpr int32_t kMaxCardRecordValues = 1326;
constexpr double kReachUnit = 0.006666666666666667;  // stored reach: i16 x 1/150
// set_pot takes each amount as a non-negative 32-bit integer.
constexpr double kMaxPotSetting = std::numeric_limits<int32_t>::max();

// Raised when a storage cannot get its memory during a load.
struct LoadOutOfMemory {};

[[noreturn]] void Invalid() { throw IOException("invalid file"); }

// Everything of the file in front of the node part.
struct FileGame {
  int32_t version = 0;
  uint8_t skipCardValues = 0;
  CardMask masks[3] = {0, 0, 0};
  double pot[3] = {0, 0, 0};
  std::vector<double> ranges[2];
  std::unique_ptr<SchematicNode> lines;
  uint32_t flags = 0;
  int32_t forgottenStreet = -1;
  int32_t cacheIteration = -1;
  double pairs[3][2] = {{0, 0}, {0, 0}, {0, 0}};
  int32_t level = 0;
};

constexpr CardMask kAllCards = (CardMask{1} << 52) - 1;

void CheckBoard(const CardMask masks[3]) {
  for (int i = 0; i < 3; ++i)
    if (masks[i] & ~kAllCards) Invalid();
  if (CardCount(masks[0]) != 3 || CardCount(masks[1]) > 1 || CardCount(masks[2]) > 1) Invalid();
  if ((masks[0] & masks[1]) || (masks[0] & masks[2]) || (masks[1] & masks[2])) Invalid();
}

bool LineAmount(double value) { return value >= 0.0 && value <= kMaxLineAmount; }

// Counters and amounts of every line node must be those a line can make:
// add_line takes amounts from 0 to kMaxLineAmount, and -1 keys the fold.
void CheckLines(const SchematicNode& node) {
  if (node.player < -1 || node.player > 1 || node.street < 0 || node.street > 3 || node.bets < 0 ||
      node.bets > 10000)
    Invalid();
  if (!LineAmount(node.amount) || !LineAmount(node.chipsOop) || !LineAmount(node.chipsIp)) Invalid();
  for (const auto& [key, child] : node.children) {
    if (key != -1.0 && !LineAmount(key)) Invalid();
    CheckLines(*child);
  }
}

// No value of the game can exceed every chip in it: the pot and both
// players' largest commitment. Cached results are checked against that.
double ChipsInPlay(const FileGame& game) { return game.pot[2] + 2.0 * MaxLineAmount(*game.lines); }

void ReadGame(BinaryReader& reader, FileGame& game) {
  char magic[4];
  reader.read(magic, 4);
  if (memcmp(magic, TreeFileMagic, 4) != 0) Invalid();
  game.version = ReadValue<int32_t>(reader);
  reader.formatVersion = game.version;
  if (game.version > kTreeFileVersion) ThrowCommandError("unsupported data format, update to latest version");
  if (game.version >= 4) game.skipCardValues = ReadValue<uint8_t>(reader) != 0;

  for (CardMask& mask : game.masks) mask = ReadValue<uint64_t>(reader);
  CheckBoard(game.masks);
  for (double& value : game.pot) {
    value = ReadValue<double>(reader);
    if (!(value >= 0.0 && value <= kMaxPotSetting)) Invalid();
  }
  for (auto& range : game.ranges) {
    range.resize(kComboCount);
    reader.read(range.data(), sizeof(double) * kComboCount);
    for (double weight : range)
      if (!std::isfinite(weight) || weight < 0.0 || weight > kMaxHandWeight) Invalid();
  }
  game.lines = NewSchematicRoot();
  ReadSchematicNode(*game.lines, reader);
  CheckLines(*game.lines);

  game.flags = ReadValue<uint32_t>(reader);
  // With suit isomorphism the hand lists of isomorphic boards must match:
  // ranges that tell suits apart are refused here, as build_tree refuses
  // them, before any tree is built from them.
  const int rootStreet = game.masks[2] ? 3 : game.masks[1] ? 2 : 1;
  if ((game.flags & kIsomorphismOn) && rootStreet <= 2) {
    const CardMask board = game.masks[0] | game.masks[1] | game.masks[2];
    int reference, combo;
    for (const std::vector<double>& range : game.ranges)
      if (RangeAsymmetry(range, board, reference, combo)) Invalid();
  }
  game.forgottenStreet = ReadValue<int32_t>(reader);
  if (game.forgottenStreet != -1 && game.forgottenStreet != 2 && game.forgottenStreet != 3) Invalid();
  // A street before the root's has no split points to keep reach at (forget
  // refuses it on such a tree).
  if (game.forgottenStreet >= 0 && game.forgottenStreet < rootStreet) Invalid();
  game.cacheIteration = ReadValue<int32_t>(reader);
  if (game.cacheIteration < -1 || game.cacheIteration > IterationCap) Invalid();
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) game.pairs[i][j] = ReadValue<double>(reader);
  game.pairs[2][1] = ReadValue<double>(reader);
  game.pairs[2][0] = ReadValue<double>(reader);
  // The cached results are printed as they are while a street is forgotten.
  const double chips = ChipsInPlay(game);
  for (const auto& pair : game.pairs)
    for (double value : pair)
      if (!(std::fabs(value) <= 2.0 * chips + 1.0)) Invalid();
  game.level = ReadValue<int32_t>(reader);
  if (game.level < 0 || game.level > 4) Invalid();
}

// One array of a card record: the count, then the values as T times `unit`.
template <typename T>
void ReadCardArray(AlignedArray& array, BinaryReader& reader, double unit) {
  const int32_t count = ReadValue<int32_t>(reader);
  if (count < 0 || count > kMaxCardRecordValues) Invalid();
  RequireBytes(reader, static_cast<uint64_t>(count), sizeof(T));
  T values[kMaxCardRecordValues];
  reader.read(values, sizeof(T) * static_cast<uint64_t>(count));
  for (int32_t i = 0; i < count; ++i)
    if (!(std::fabs(static_cast<double>(values[i])) <= kMaxStoredValue)) Invalid();
  ResizeAlignedArray(array, static_cast<uint32_t>(count));
  for (int32_t i = 0; i < count; ++i) array.data[i] = static_cast<double>(values[i]) * unit;
}

void ReadCardRecord(CardRecord& record, BinaryReader& reader) {
  const int32_t version = reader.formatVersion;
  if (version < 4) {
    for (AlignedArray& array : record.arrays) {
      if (version < 2)
        ReadCardArray<double>(array, reader, 1.0);
      else
        ReadCardArray<float>(array, reader, 1.0);
    }
  } else {
    record.absent0 = ReadValue<uint8_t>(reader);
    record.absent1 = ReadValue<uint8_t>(reader);
    if (!record.absent0) ReadCardArray<int16_t>(record.arrays[0], reader, kReachUnit);
    if (!record.absent1) ReadCardArray<int16_t>(record.arrays[1], reader, kReachUnit);
  }
  record.reachFrozen = ReadValue<uint8_t>(reader);
  reader.read(&record.value, sizeof record.value);
}

void DecodeCardRecord(CardRecord& record, SaveDecompressor& block) {
  uint32_t row[kMaxCardRecordValues];
  for (int a = 2; a < 6; ++a) {
    AlignedArray& array = record.arrays[a];
    const int count = static_cast<int>(array.count);
    block.readRow(row, nullptr, count);
    for (int i = 0; i < count; ++i) array.data[i] = 0.01 * static_cast<int32_t>(UnZigZag(row[i]));
  }
}

// The first storage of a flop node (board -1) or of a turn node for one turn
// record: every action but the last from thousandths, the last the rest.
void DecodeNodeStorages(TreeNode& node, SaveDecompressor& block, int board) {
  StorageInterface* storage = node.firstStorage;
  if (!storage) return;
  const int n = storage->EntryCount(board, -1);
  const int k = static_cast<int>(node.children.size());
  if (n < 0 || n > kMaxCardRecordValues || k < 1) Invalid();
  // The working rows, given back however the decode ends.
  AlignedArray row{}, remainder{};
  const ScopeExit release([&] {
    ReleaseAlignedArray(row);
    ReleaseAlignedArray(remainder);
  });
  ResizeAlignedArray(row, static_cast<uint32_t>(n));
  ResizeAlignedArray(remainder, static_cast<uint32_t>(n));
  for (int i = 0; i < n; ++i) remainder.data[i] = 1000.0;
  uint16_t values[kMaxCardRecordValues];
  for (int c = 0; c + 1 < k; ++c) {
    block.readRow16(values, nullptr, n);
    for (int i = 0; i < n; ++i) {
      row.data[i] = values[i];
      remainder.data[i] -= row.data[i];
    }
    storage->WriteRow(board, -1, c, row);
  }
  for (int i = 0; i < n; ++i)
    if (remainder.data[i] < 0.0) remainder.data[i] = 0.0;
  storage->WriteRow(board, -1, k - 1, remainder);
}

bool CardRecordsInFile(const TreeNode& node, int forgotten, int version) {
  if (!node.cardRecords || node.cardRecordCount <= 0) return false;
  return !(forgotten >= 0 && node.street > forgotten && version >= 3);
}

double RowSum(const AlignedArray& row) {
  double sum = 0.0;
  for (uint32_t i = 0; row.data && i < row.count; ++i) sum += row.data[i];
  return sum;
}

// Kept reach sums to 200, as a forget leaves it.
void ScaleTo200(AlignedArray& row) {
  const double sum = RowSum(row);
  if (sum > 2.220446049250313e-16)
    for (uint32_t i = 0; i < row.count; ++i) row.data[i] *= 200.0 / sum;
}

// Prepares every storage not yet ready; a storage that cannot get its memory
// ends the load. Uncompressed river storages are left to their Load, which
// every one of them gets (a forgotten street's storages do not exist) and
// which allocates the buffer without committing it ahead of the rows.
void PrepareStorages(SolverTree& tree) {
  if (tree.storagesPrepared) return;
  for (TreeNode& node : tree.nodes) {
    if (node.prepared || !node.firstStorage) continue;
    for (StorageInterface* storage : {node.firstStorage, node.secondStorage})
      if (storage && !dynamic_cast<UncompressedRiverStorage*>(storage) && !storage->Prepare()) throw LoadOutOfMemory();
    node.prepared = 1;
  }
  tree.storagesPrepared = 1;
}

// Opens and closes, without writing back, every board of every river
// sub-tree once, so that a damaged coded stream from the file is found now
// (as a refused file) rather than in the middle of a solve.
void TrialDecodeStreams(SolverTree& tree) {
  bool compressed = false;
  for (const TreeNode& node : tree.nodes)
    if (dynamic_cast<CompressedRiverStorage*>(node.firstStorage) ||
        dynamic_cast<CompressedRiverStorage*>(node.secondStorage))
      compressed = true;
  if (!compressed) return;
  const int boards = static_cast<int>(tree.dealTable->turns.size());
  ReportStreamDecodeErrors(true);
  bool failed = false;
  for (TreeNode& node : tree.nodes) {
    if (node.kind != kInnerNode || node.street != 3 || (node.parent && node.parent->street >= 3)) continue;
    for (int b = 0; b < boards && !failed; ++b) {
      OpenRiverRunoutBoards(tree, node, b, 0);
      CloseRiverRunoutBoards(tree, node, b, 0);
      failed = StreamDecodeErrorSeen();
    }
    if (failed) break;
  }
  ReportStreamDecodeErrors(false);
  if (failed) Invalid();
}

// Every array of a card record is a row over the hand list of the board its
// deal starts from (the flop's for a turn deal, the turn record's for a river
// deal), or empty. The lists come from the file's ranges, the rows from its
// records: rows of another length would be read past their end by the
// passes that use them.
void CheckCardRecords(const SolverTree& tree) {
  const DealTable& table = *tree.dealTable;
  for (const TreeNode& node : tree.nodes) {
    // The root of a turn- or river-rooted tree has its cards dealt: the
    // reach kept there lies on that board, in the record of its turn.
    const bool dealtRoot = !node.parent && node.street >= 2;
    for (int32_t i = 0; node.cardRecords && i < node.cardRecordCount; ++i) {
      uint32_t hands = 0;
      if (dealtRoot) {
        if (node.cardRecordCount == 1 || i == tree.rootTurnIndex)
          hands = static_cast<uint32_t>(
              DealCombos(table, tree.rootTurnIndex, node.street == 3 ? tree.rootRiverIndex : -1).hands.size());
      } else if (node.cardRecordCount == 1) {
        hands = table.HandCount();
      } else if (static_cast<size_t>(i) < table.turns.size()) {
        hands = table.turns[static_cast<size_t>(i)].HandCount();
      }
      for (const AlignedArray& array : node.cardRecords[i].arrays)
        if (array.count != 0 && array.count != hands) Invalid();
    }
  }
}

}  // namespace

void RebuildStorages(SolverTree& tree, int forgottenStreet) {
  std::vector<NodeContext*> splits;
  // The contexts go however the walk ends: one that runs out of memory
  // leaves those it made so far.
  struct Owner {
    std::vector<NodeContext*>& contexts;
    ~Owner() {
      for (NodeContext* context : contexts) delete context;
    }
  } owner{splits};
  CollectSplits(tree, forgottenStreet, splits);
  for (NodeContext* split : splits) {
    CardRecord* record = SplitRecord(*split, forgottenStreet);
    if (record && record->absent0) {
      MoveAlignedArray(record->arrays[0], split->ownReach);
      ScaleTo200(record->arrays[0]);
    }
    if (record && record->absent1) {
      MoveAlignedArray(record->arrays[1], split->oppReach);
      ScaleTo200(record->arrays[1]);
    }
  }
}

void LoadTreeData(SolverTree& tree, BinaryReader& reader, bool skipCardValues) {
  const int32_t version = reader.formatVersion;
  const int forgotten = tree.forgottenStreet;
  // A count the solver cannot reach would also drive the loops that repeat
  // once per iteration (re-solving the splits) far past any solve.
  const int32_t iterations = ReadValue<int32_t>(reader);
  if (iterations < 0 || iterations > IterationCap) Invalid();
  tree.iterationCount = iterations;

  for (TreeNode& node : tree.nodes) {
    if (CardRecordsInFile(node, forgotten, version))
      for (int32_t i = 0; i < node.cardRecordCount; ++i) ReadCardRecord(node.cardRecords[i], reader);
    if (forgotten < 0 || version < 4) {
      if (node.firstStorage) node.firstStorage->Load(reader);
      if (node.secondStorage) node.secondStorage->Load(reader);
    }
  }
  // The file holds no storages of a forgotten street: sub-trees it marks as
  // solved again must be solved again after this load.
  if (forgotten >= 0)
    for (TreeNode& node : tree.nodes) ClearSolvedMarks(node);
  if (version < 4) return;

  for (TreeNode& node : tree.nodes) {
    if (!CardRecordsInFile(node, forgotten, version)) continue;
    for (int32_t i = 0; i < node.cardRecordCount; ++i) {
      CardRecord& record = node.cardRecords[i];
      int32_t counts[4];
      reader.read(counts, sizeof counts);
      for (int a = 0; a < 4; ++a) {
        if (counts[a] < 0 || counts[a] > kMaxCardRecordValues) Invalid();
        AlignedArray& array = record.arrays[2 + a];
        ResizeAlignedArray(array, static_cast<uint32_t>(counts[a]));
        for (int32_t v = 0; v < counts[a]; ++v) array.data[v] = 0.0;
      }
    }
  }
  if (!skipCardValues) {
    std::unique_ptr<SaveDecompressor> block = OpenSaveDecompressor(reader);
    for (TreeNode& node : tree.nodes) {
      if (!CardRecordsInFile(node, forgotten, version)) continue;
      for (int32_t i = 0; i < node.cardRecordCount; ++i) DecodeCardRecord(node.cardRecords[i], *block);
    }
  }
  if (forgotten < 0) return;

  std::unique_ptr<SaveDecompressor> block = OpenSaveDecompressor(reader);
  const int turns = static_cast<int>(tree.dealTable->turns.size());
  for (TreeNode& node : tree.nodes) {
    if (node.street >= forgotten || node.kind != kInnerNode || !node.firstStorage) continue;
    if (node.street == 1) {
      DecodeNodeStorages(node, *block, -1);
    } else if (node.street == 2) {
      auto* storage = dynamic_cast<TurnStorage*>(node.firstStorage);
      if (!storage || static_cast<int>(storage->UnitCount()) != turns) Invalid();
      for (int b = 0; b < turns; ++b) DecodeNodeStorages(node, *block, b);
    }
  }
  RebuildStorages(tree, forgotten);
}

namespace {

// The settings a load replaces with the file's. A failed load puts them back
// as they were, so that the next build_tree builds the user's game, not the
// file's.
struct UserSettings {
  CardMask board[3] = {0, 0, 0};
  double pot[3] = {0, 0, 0};
  std::vector<double> ranges[2];
  std::unique_ptr<SchematicNode> lines;
  int32_t compression = 0;
  unsigned char isomorphism[4] = {0, 0, 0, 0};
};

// Hands the file's game to the settings that build the tree: board, pot,
// ranges and lines. What they held goes into `saved`.
void InstallFileGame(FileGame& game, UserSettings& saved) {
  for (int i = 0; i < 3; ++i) {
    saved.board[i] = BoardMasks[i];
    saved.pot[i] = PotSettings[i];
  }
  saved.ranges[0] = RangeVectors[0];
  saved.ranges[1] = RangeVectors[1];
  saved.compression = ActualCompression;
  for (int i = 0; i < 4; ++i) saved.isomorphism[i] = IsomorphismFlags[i];
  saved.lines = std::move(SchematicRoot);

  SchematicRoot = std::move(game.lines);
  for (int i = 0; i < 3; ++i) {
    BoardMasks[i] = game.masks[i];
    PotSettings[i] = game.pot[i];
  }
  RangeVectors[0] = std::move(game.ranges[0]);
  RangeVectors[1] = std::move(game.ranges[1]);
}

void RestoreUserSettings(UserSettings& saved) {
  for (int i = 0; i < 3; ++i) {
    BoardMasks[i] = saved.board[i];
    PotSettings[i] = saved.pot[i];
  }
  RangeVectors[0] = std::move(saved.ranges[0]);
  RangeVectors[1] = std::move(saved.ranges[1]);
  ActualCompression = saved.compression;
  for (int i = 0; i < 4; ++i) IsomorphismFlags[i] = saved.isomorphism[i];
  SchematicRoot = std::move(saved.lines);
}

}  // namespace

void LoadTreeFile(const std::string& path) {
  try {
    std::unique_ptr<FileReader> reader;
    FileGame game;
    // The file is opened and everything before the node part read and
    // checked first: nothing of the standing state changes until then.
    reader = std::make_unique<FileReader>(path);
    ReadGame(*reader, game);

    FreeTreeAndLoadFlags();
    UserSettings saved;
    InstallFileGame(game, saved);
    try {
      // The tree being loaded goes whole when anything fails: a row or
      // buffer that cannot be had is answered as the command's error.
      const RecoverableAllocations recoverable;
      BuildTreeFromLines(false, (game.flags & kIsomorphismOn) ? 1 : 0);
      SolverTree& tree = *CurrentTree;
      tree.formatVersion = game.version;
      ApplyCompressionLevel(game.level);
      // The solver header: a forgotten street's storages are not made.
      tree.forgottenStreet = game.forgottenStreet;
      uint32_t flags = (game.flags & kNewTree) | (tree.flags & kIsomorphismOn);
      if (game.forgottenStreet >= 0) flags |= kIncompleteTree;
      tree.flags = flags;
      tree.lastResultsIteration = game.cacheIteration;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 2; ++j) tree.resultPairs[i][j] = game.pairs[i][j];
      if (game.forgottenStreet >= 0) {
        for (TreeNode& node : tree.nodes)
          if (node.street >= game.forgottenStreet) {
            node.DeleteStorages();
            node.prepared = 0;
          }
      }
      LoadFlag = game.skipCardValues != 0;
      PrepareStorages(tree);
      LoadTreeData(tree, *reader, game.skipCardValues != 0);
      CheckCardRecords(tree);
      // With the root's own street forgotten nothing is left to evaluate the
      // whole tree: its results must be the ones cached at the forget.
      if (game.forgottenStreet == tree.nodes[0].street && tree.lastResultsIteration != tree.iterationCount)
        Invalid();
      TrialDecodeStreams(tree);
      // As after a forget: the forgotten street's nodes are not ready.
      if (game.forgottenStreet >= 0) tree.storagesPrepared = 0;
    } catch (...) {
      ReportStreamDecodeErrors(false);
      FreeTreeAndLoadFlags();
      RestoreUserSettings(saved);
      throw;
    }
  } catch (const IOException& error) {
    const std::string& text = error.message();
    if (text.rfind("can't open file", 0) == 0 || text.rfind("can't read from file", 0) == 0) ThrowCommandError(text.c_str());
    ThrowCommandError("invalid file");
  } catch (const LoadOutOfMemory&) {
    ThrowCommandError("out of memory");
  } catch (const std::bad_alloc&) {
    ThrowCommandError("out of memory");
  } catch (const CommandError&) {
    throw;
  } catch (const std::exception&) {
    ThrowCommandError("invalid file");
  }
}
