// Reading a solved game back from a tree file: the game (board, pot, ranges,
// lines), the solver's header and every node's card records and storages.
#pragma once

#include <string>

class BinaryReader;
struct SolverTree;

// The tree file's leading four bytes.
extern const char TreeFileMagic[4];
// The newest file layout this reader knows.
constexpr int kTreeFileVersion = 6;

// Replaces the current tree by the one in the file. Errors are command
// errors: the reader's "can't open file (errno N)" and "can't read from file
// (errno N)", "invalid file" for data that cannot be a tree file (bad magic,
// lengths or values out of their bounds, damaged coded data), "unsupported
// data format, update to latest version", "out of memory", and the build's
// own errors. Everything in front of the node data (header, lines, solver
// header) is read and checked before anything changes, so a file refused
// there leaves the standing tree, lines and settings as they were; a failure
// after the standing tree was freed leaves no tree (load flag clear) and puts
// the settings back: board, pot, ranges, lines, compression level and
// isomorphism flags are as before the command.
void LoadTreeFile(const std::string& path);

// The node part of a file whose tree has been built and whose storages were
// made for the file's compression level: iteration count, card records,
// storage records and save blocks, then the reach rebuilt at a forgotten
// street. Raises IOException for malformed data.
void LoadTreeData(SolverTree& tree, BinaryReader& reader, bool skipCardValues);
// Restores the kept reach of every split point of a forgotten street whose
// card record marks it as not stored, from the strategies above the street.
void RebuildStorages(SolverTree& tree, int forgottenStreet);
