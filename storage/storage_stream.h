// A storage stream keeps one coded block of per-hand rows in memory.
// Compressed river storage owns one stream per board and hands it out through
// OpenBoard and CloseBoard; the walks that open and close river sub-trees
// return the streams, and their callers end each read pass with EndRead and
// each write pass with EndWrite on every stream returned. River storages that
// are not compressed return no stream.
//
// One write pass: BeginWrite; WriteRow32 or WriteRow16 once per row;
// EndWrite. One read pass: HasData (go on only when true); BeginRead;
// ReadRow32 or ReadRow16 once per row, with the same widths, counts and
// previous-row choices as the write pass, in the same order; EndRead. A
// previous row is a row of the same pass that the caller already wrote or
// read; the stream keeps no rows itself.
#pragma once

#include <cstdint>

class BinaryReader;
class BinaryWriter;

class StorageStreamInterface {
 public:
  virtual ~StorageStreamInterface() = default;
  // Drops the current block and starts a new one.
  virtual void BeginWrite() = 0;
  // Finishes the block begun by BeginWrite.
  virtual void EndWrite() = 0;
  // True when the stream holds a block to read.
  virtual bool HasData() = 0;
  // Positions the stream at the start of its block.
  virtual void BeginRead() = 0;
  virtual void EndRead() = 0;
  virtual void WriteRow32(const uint32_t* values, const uint32_t* previous, int32_t count) = 0;
  virtual void WriteRow16(const uint16_t* values, const uint16_t* previous, int32_t count) = 0;
  virtual void ReadRow32(uint32_t* out, const uint32_t* previous, int32_t count) = 0;
  virtual void ReadRow16(uint16_t* out, const uint16_t* previous, int32_t count) = 0;
  // The stream record of a tree file, written and read between passes.
  virtual void Save(BinaryWriter& writer) = 0;
  virtual void Load(BinaryReader& reader) = 0;
};

// Ends a read or a write pass on each of the per-player streams that a
// sub-tree walk returned (none for storages that are not compressed).
inline void EndStreamReads(void* const streams[2]) {
  for (int p = 0; p < 2; ++p)
    if (streams[p]) static_cast<StorageStreamInterface*>(streams[p])->EndRead();
}
inline void EndStreamWrites(void* const streams[2]) {
  for (int p = 0; p < 2; ++p)
    if (streams[p]) static_cast<StorageStreamInterface*>(streams[p])->EndWrite();
}
