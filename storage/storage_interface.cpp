#include "storage/storage_interface.h"

#include "game/block_allocator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/binary_reader.h"
#include "core/output.h"
#include "core/parallel.h"

// --- NodeRecord -------------------------------------------------------------------

void NodeRecord::SetMask(const uint8_t* bytes, int32_t n) {
  if (!bytes || n <= 0) {
    ClearMask();
    return;
  }
  if (!mask || maskLength != n) {
    delete[] mask;
    mask = new uint8_t[n];
  }
  memcpy(mask, bytes, static_cast<size_t>(n));
  maskLength = n;
  flags |= kNodeComboLocked;
}

void NodeRecord::ClearMask() {
  delete[] mask;
  mask = nullptr;
  maskLength = 0;
  flags &= ~kNodeComboLocked;
}

// NodeRecordBlock: u32 flags; when bit 1 is set, i16 mask length, i16 run
// count N and N i16 run lengths, alternating runs of 0-bytes and 1-bytes
// beginning with 0-bytes.
void LoadNodeRecord(NodeRecord& record, BinaryReader& reader, int32_t expectedLength) {
  const uint32_t flags = ReadValue<uint32_t>(reader);
  record.flags = flags;
  if (!(flags & kNodeComboLocked)) {
    // Without the flag the record carries no mask: a stale mask would go on
    // locking hands that the file says are free.
    delete[] record.mask;
    record.mask = nullptr;
    record.maskLength = 0;
    return;
  }
  const int16_t length = ReadValue<int16_t>(reader);
  if (length < 0) throw IOException("corrupt lock record (mask length " + std::to_string(length) + ")");
  const int16_t runCount = ReadValue<int16_t>(reader);
  if (runCount < 0) throw IOException("corrupt lock record (run count " + std::to_string(runCount) + ")");
  if (expectedLength >= 0 && length != expectedLength)
    throw IOException("corrupt lock record (mask of " + std::to_string(length) + " hands)");
  RequireBytes(reader, static_cast<uint64_t>(runCount), sizeof(int16_t));

  // A mask of another length than the file's is replaced: filling it in place
  // would write past its end.
  if (!record.mask || record.maskLength != length) {
    delete[] record.mask;
    record.mask = new uint8_t[length > 0 ? length : 1];
  }
  record.maskLength = length;

  uint8_t value = 0;
  int32_t position = 0;
  for (int16_t i = 0; i < runCount; ++i) {
    // Every run is read, also those after the mask is full, so that the
    // reader stays on the record boundary.
    const int16_t run = ReadValue<int16_t>(reader);
    if (position < length && run > 0) {
      const int32_t end = position + run < length ? position + run : length;
      memset(record.mask + position, value, static_cast<size_t>(end - position));
      position = end;
    }
    value ^= 1;
  }
  if (position < length) {
    // The runs leave the rest of the mask undefined: refuse the record and
    // leave no half-filled mask behind.
    record.ClearMask();
    throw IOException("corrupt lock record (runs cover " + std::to_string(position) + " of " +
                      std::to_string(length) + " hands)");
  }
}

void SaveNodeRecord(const NodeRecord& record, BinaryWriter& writer) {
  const uint32_t flags = record.flags;
  writer.write(&flags, sizeof flags);
  if (!(flags & kNodeComboLocked)) return;
  const int32_t length = record.mask ? record.maskLength : 0;
  // Hand lists hold at most 1326 hands, far inside the 16-bit field.
  if (length > INT16_MAX) Fail("lock mask too long to save");
  const int16_t length16 = static_cast<int16_t>(length > 0 ? length : 0);
  writer.write(&length16, sizeof length16);

  int16_t runCount = 0;
  if (length16 > 0) {
    // The first run is of 0-bytes (empty when the mask begins with a 1).
    runCount = record.mask[0] != 0 ? 1 : 0;
    for (int32_t i = 0; i < length16; ++i)
      if (i == 0 || (record.mask[i] != 0) != (record.mask[i - 1] != 0)) ++runCount;
  }
  writer.write(&runCount, sizeof runCount);
  if (length16 == 0) return;
  bool ones = false;
  int32_t run = 0;
  for (int32_t i = 0; i < length16; ++i) {
    const bool one = record.mask[i] != 0;
    if (one != ones) {
      const int16_t r = static_cast<int16_t>(run);
      writer.write(&r, sizeof r);
      ones = one;
      run = 0;
    }
    ++run;
  }
  const int16_t last = static_cast<int16_t>(run);
  writer.write(&last, sizeof last);
}

// --- AlignedFloatArray ----------------------------------------------------------------

AlignedFloatArray::~AlignedFloatArray() { ReleaseAlignedFloatArray(*this); }

void ResizeAlignedFloatArray(AlignedFloatArray& array, uint32_t n) {
  if (n == array.count && (array.data || n == 0)) return;
  ReleaseAlignedFloatArray(array);
  if (n == 0) return;
  void* block = AllocateAlignedBlock(static_cast<size_t>(n) * sizeof(float), kAlignedArrayAlignment);
  if (!block) AllocationFailed();
  array.data = static_cast<float*>(block);
  array.count = n;
}

void ReleaseAlignedFloatArray(AlignedFloatArray& array) {
  if (array.data) FreeAlignedBlock(array.data);
  array.data = nullptr;
  array.count = 0;
}

// --- Result rows ----------------------------------------------------------------------

void ReleaseRows(std::vector<AlignedArray>& rows) {
  for (AlignedArray& row : rows) {
    ReleaseAlignedArray(row);
    row.count = 0;
  }
  rows.clear();
}

void SizeResultRows(std::vector<AlignedArray>& rows, size_t count, uint32_t n) {
  for (size_t i = count; i < rows.size(); ++i) ReleaseAlignedArray(rows[i]);
  rows.resize(count);
  for (AlignedArray& row : rows) {
    if (row.count == n && (row.data || n == 0)) continue;
    // A count without a block would keep ResizeAlignedArray from allocating.
    ReleaseAlignedArray(row);
    row.data = nullptr;
    row.count = 0;
    ResizeAlignedArray(row, n);
  }
}
