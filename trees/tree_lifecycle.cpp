#include "trees/tree_lifecycle.h"

#include "core/memory_info.h"
#include "core/output.h"
#include "core/settings.h"
#include "game/line_tree.h"
#include "game/tree_build.h"
#include "game/tree_state.h"
#include "solver/solver_thread.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "storage/tree_setup.h"

namespace {

int RootStreetOfBoard() {
  const bool turn = BoardMasks[1] != 0, river = BoardMasks[2] != 0;
  if (turn && river) return 3;
  if (turn || river) return 2;
  return 1;
}

}  // namespace

void ResetSolver(int32_t first, int32_t second) {
  if (!CurrentTree) return;
  // A reset starts the solve over with new storages for every node, so what
  // was forgotten is simply re-created: the tree is complete again and the
  // kept split reach no longer applies.
  SolverTree& tree = *CurrentTree;
  if (tree.forgottenStreet >= 0) {
    for (TreeNode& node : tree.nodes)
      for (int32_t i = 0; i < node.cardRecordCount; ++i) node.cardRecords[i].reachFrozen = 0;
    tree.forgottenStreet = -1;
    tree.keptLocks.clear();
    tree.flags &= ~static_cast<uint32_t>(kIncompleteTree);
    tree.lastResultsIteration = -1;
  }
  InitSolverParams(*CurrentTree, first, second);
  try {
    AllocateNodeStorages(*CurrentTree);
  } catch (...) {
    // Some nodes hold new storages, the others old ones or none: no pass
    // could read the tree, so it is given up.
    FreeTreeAndLoadFlags();
    throw;
  }
  ClearConvergenceLog();
}

void BuildTreeFromLines(bool chooseCompression, int isomorphismChoice) {
  // Everything is checked before anything of the standing tree or the
  // process-wide indices changes.
  const CardMask flop = BoardMasks[0], turn = BoardMasks[1], river = BoardMasks[2];
  const int expectedCards = 3 + (turn ? 1 : 0) + (river ? 1 : 0);
  if (CardCount(flop) != 3 || CardCount(flop | turn | river) != expectedCards || CardCount(turn) > 1 ||
      CardCount(river) > 1)
    ThrowCommandError("board not set");
  const int rootStreet = RootStreetOfBoard();
  const double pot = PotSettings[2];
  const int effectiveStack = static_cast<int>(MaxLineAmount(*SchematicRoot));
  const bool isomorphism = isomorphismChoice >= 0 ? isomorphismChoice != 0 : IsomorphismFlags[rootStreet] != 0;

  std::vector<FlatLineRecord> records;
  std::vector<const SchematicNode*> lineNodes;
  FlattenLineTree(*SchematicRoot, -1, 0.0, rootStreet, pot, records, lineNodes);
  for (const FlatLineRecord& record : records)
    if (record.kind == kInnerNode && record.street >= 4) ThrowCommandError("invalid line");

  // Cards in the user's suits; a turn-only or river-only board deals the
  // given card as the turn.
  const int turnCard = rootStreet >= 2 ? CardOfMask(turn ? turn : river) : -1;
  const int riverCard = rootStreet == 3 ? CardOfMask(river) : -1;
  const CardMask rootBoard = flop | (turnCard >= 0 ? CardBit(turnCard) : 0) | (riverCard >= 0 ? CardBit(riverCard) : 0);
  if (isomorphism && rootStreet <= 2) CheckRangeIsomorphism(rootBoard);
  if (!(CompatiblePairWeight(RangeVectors[0], RangeVectors[1], rootBoard) > 0.0))
    ThrowCommandError("ranges have no compatible hands");

  // The standing tree is released first, to make room for the new one: when
  // the new one cannot be made, no tree is left (the commands that need one
  // refuse, none reads the tree that is gone).
  try {
    CreateSolverTree(1, records, 0, flop, turnCard, riverCard, RangeVectors[0], RangeVectors[1], isomorphism);
  } catch (...) {
    FreeTreeAndLoadFlags();
    throw;
  }
  RootStreet = rootStreet;
  EffectiveStack = effectiveStack;
  TreeBoardMasks[0] = flop;
  TreeBoardMasks[1] = turnCard >= 0 ? CardBit(turnCard) : 0;
  TreeBoardMasks[2] = riverCard >= 0 ? CardBit(riverCard) : 0;
  TreePot = pot;
  ++CurrentBuildStamp;
  for (size_t i = 0; i < lineNodes.size(); ++i) {
    SchematicNode* node = const_cast<SchematicNode*>(lineNodes[i]);
    node->treeIndex = static_cast<int32_t>(i);
    node->buildStamp = CurrentBuildStamp;
  }
  if (chooseCompression)
    ChooseCompression();
  else
    ResetSolver(0, 0);
  TreeBuilt = true;
}

void FreeTreeAndLoadFlags() {
  FreeSolverTree();
  TreeBuilt = false;
  LoadFlag = false;
}

void ApplyCompressionLevel(int level) {
  ActualCompression = level;
  int32_t first, second;
  CompressionPair(level, first, second);
  ResetSolver(first, second);
}

namespace {
// Whether the flop's cards lie in exactly three suits.
bool RainbowFlop(uint64_t flop) {
  int suits = 0;
  for (int s = 0; s < 4; ++s) suits += ((flop >> (13 * s)) & 0x1FFF) != 0;
  return suits == 3;
}
}  // namespace

int ChosenCompressionLevel(const SolverTree& tree) {
  if (CompressionSetting >= 0) return CompressionSetting;
  const uint64_t needed = UncompressedStorageBytes(tree);
  if (Verbosity > 0) Output("[uncompressed storage %lld MB]\n", static_cast<long long>(needed / 1024 / 1024));
  // Applying a level re-creates the storages, so what the tree holds now
  // counts as available.
  uint64_t available = AvailablePhysicalMemory();
  for (const TreeNode& node : tree.nodes) {
    if (!node.prepared) continue;
    available += tree.storedArrays[1] + tree.storedArrays[2] + tree.storedArrays[3];
    break;
  }
  const uint64_t budget = static_cast<uint64_t>(static_cast<double>(available) * 0.85);
  int level = 0;
  if (needed >= budget) {
    const double s = static_cast<double>(needed), b = static_cast<double>(budget);
    if (b > s * 0.58)
      level = 1;
    else if (RainbowFlop(tree.flopMask))
      level = b > s * 0.39 * 0.8 ? 2 : (b > s * 0.29 * 0.8 ? 3 : 4);
    else
      level = b > s * 0.39 ? 2 : (b > s * 0.29 ? 3 : 4);
  }
  Output("#auto compression level %d\n", level);
  return level;
}

void ChooseCompression() {
  if (CurrentTree) ApplyCompressionLevel(ChosenCompressionLevel(*CurrentTree));
}

void ChangeCompressionSetting(int setting) {
  CompressionSetting = setting;
  if (!CurrentTree) return;
  // The same level keeps the storages and the solution in them.
  const int level = ChosenCompressionLevel(*CurrentTree);
  if (level != ActualCompression) ApplyCompressionLevel(level);
}
