// A tree-file writer for the tests: the system only reads tree files, so the
// tests make their own from the current tree, in any of the layouts the
// reader knows. It is the mirror of the reader, written from the layout, and
// uses the storages' own Save where they have one.
#pragma once

#include <cstdint>
#include <string>

#include "codecs/codec.h"

struct TreeFileOptions {
  int version = 6;
  bool skipCardValues = false;  // the R byte (versions 4 and later)
  bool fastBlocks = true;       // save blocks in the fast form (version 6)
  int codec = kFseCodecId;      // codec of slow save blocks
};

// The bytes of a tree file of the current tree, board, pot, ranges and lines.
std::string TreeFileBytes(const TreeFileOptions& options);
void WriteTreeFile(const std::string& path, const TreeFileOptions& options);
void WriteBytes(const std::string& path, const std::string& bytes);
