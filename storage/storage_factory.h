// Which storage each node gets, preparing whole trees and sub-trees, the
// compression levels and the memory figures behind the automatic level.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SolverTree;
struct TreeNode;
class DealTable;
struct StorageLayout;

// The level the user asked for: -1 automatic, 0..4 fixed.
extern int32_t CompressionSetting;
// The level last applied.
extern int32_t ActualCompression;

// "auto", "none", "low", "medium", "high", "max" for -1..4.
const char* CompressionLevelName(int level);
// The stream levels of the regret and sum storages of river nodes.
void CompressionPair(int level, int32_t& first, int32_t& second);

// Replaces a node's storages with the kinds its street, the root street and
// the compression pair call for, and adds its first storage's element count
// to the street's figure. Terminals are left alone.
void BuildNodeStorage(TreeNode& node, const DealTable& table, const StorageLayout* layout, uint64_t* storedElements,
                      bool averaging, int rootStreet, const int32_t* pair, bool version5);
// BuildNodeStorage with the tree's layout, averaging, root street,
// compression pair and format version.
void MakeNodeStorage(SolverTree& tree, TreeNode& node);
// Prepares every storage not yet prepared; false when memory is missing
// (the storages this call prepared are made anew, unprepared, and a later
// call tries again).
bool AllStoragesReady(SolverTree& tree);
// What a pass adds besides its working memory: to the card records of the
// tree's chance nodes, an update pass's sums of each player's reach at the
// deals it reaches, an evaluation's values at every deal (records keep what
// they made, so a pass counts only the blocks still missing); to the
// streams of compressed river storages, the blocks a solve's passes make
// the regret streams grow to by the solve's first check (counted until that
// check, less what the streams hold already), the sum streams' first write
// before the iteration that starts averaging, and never less than the last
// iteration's growth.
enum PassGrowth : unsigned { kNoGrowth = 0, kDealReachGrowth = 1, kDealValueGrowth = 2, kStreamGrowth = 4 };
// The iteration of a solve's first check of its exploitability.
constexpr int32_t kFirstCheckIteration = 25;
// The memory a pass over the tree (an iteration, an evaluation, a report's
// walk) allocates besides the storages: for each thread (PassThreadBytes),
// the rows it keeps along its deepest path (reach, values and the strategy
// rows of every level) and the blocks and coders it decodes and codes
// compressed river storages with; for the team (PassSharedBytes), the rows
// and tasks of the chance nodes, what the allocators map besides the rows,
// the growth of the records and streams (`growth`) and a slack. Rows count
// at the address space their blocks take (AlignedArrayAddressBytes).
uint64_t PassThreadBytes(SolverTree& tree);
uint64_t PassSharedBytes(SolverTree& tree, unsigned growth);
// The growth a pass adds (`growth`) and the slack: what a pass needs of a
// team that has run passes over the tree and keeps their rows mapped.
uint64_t PassGrowthBytes(SolverTree& tree, unsigned growth);
// Sizes the calling thread's team for a pass over the tree and makes it
// ready (MakeTeamReady): `requested` threads, or the largest smaller team
// whose new workers' stacks and working memory the address space left holds
// (TeamThatFits). Returns the team's size, 0 when not even one thread fits.
// With `standing` (the size of a team that works already), a team no larger
// than that is only sized: nothing is made and the runtime's size is left.
int FitPassTeam(SolverTree& tree, int requested, unsigned growth, int standing = 0);
// AllStoragesReady for a command that reads or solves the tree: when a
// storage cannot be made the command is refused ("ERROR: <command> out of
// memory") before its pass, which would read the storages that are missing
// as empty rows. Nothing of the tree changes but the storages made. The
// calling thread's team is sized and made ready for the pass too
// (FitPassTeam, from the size set by set_threads), and the command refused
// the same way when not even one thread fits.
void RequireAllStoragesReady(SolverTree& tree, unsigned growth = kNoGrowth);
// Re-creates and prepares the storages of a sub-tree below a forgotten street.
void BuildTreeStorage(SolverTree& tree, TreeNode& node, bool force);
// The bytes of every node's storages at compression level 0 (the figure the
// automatic level is chosen by), whatever the tree's storages are now.
uint64_t UncompressedStorageBytes(const SolverTree& tree);
// A copy of the current tree's element counts and byte estimates (4 + 4),
// empty when there is no tree.
std::vector<uint64_t> StorageSizeInfo();

