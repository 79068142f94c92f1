// Codec pairs for rows of small non-negative integers (per-hand quantised
// values, at most 1326 a row). A compressor is given each row as zig-zag
// residuals against the row before it (or against a previous row of the
// caller's choosing) and spreads the coded form over up to 24 numbered byte
// channels; the matching decompressor reads the channels back and rebuilds
// the final values. Three pairs exist, told apart by the first byte of
// channel 0:
//   0  adaptive range coder (Compressor / Decompressor)
//   1  bit/nibble/byte packer (FastCompressor / FastDecompressor)
//   2  context-modelled channels under the FSE coder (FSECompressor /
//      FSEDecompressor)
// New data is always written with id 2; ids 0 and 1 are read where found.
//
// Calling order of one coded sequence: CreateCompressor, CompressRow or
// CompressRow16 once per row, DestroyCompressor (which writes what the codec
// still buffers); later CreateDecompressor on the same channel contents,
// DecodeValues or DecodeValues16 once per row with the same counts, widths
// and previous rows in the same order, DestroyDecompressor.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/output.h"

constexpr int kCodecChannels = 24;
constexpr int kMaxRowValues = 1326;

// Moves `length` bytes between `data` and channel `channel` (0..23). The write
// side appends them to the channel; the read side copies the next `length`
// bytes of the channel into `data` and advances the channel. The result is
// the number of bytes moved: a reader returns fewer when the channel holds
// fewer, and the decompressor then reports the channel as run out.
using ChannelFunction = int (*)(void* context, int channel, uint8_t* data, int length);

struct ChannelCallback {
  ChannelFunction function;
  void* context;
};

enum CodecTypeId : uint8_t {
  kRangeCodecId = 0,
  kFastCodecId = 1,
  kFseCodecId = 2,
};

// Counters a compressor keeps while it codes; the owner clears the record
// before creating the compressor.
struct CompressionStats {
  uint32_t rows = 0;
  uint64_t rowsInMode1 = 0;
  uint64_t rawBytes = 0;  // 4 per value
  // Largest w = value - 1, compared as signed 32-bit numbers, over the values
  // coded with the codec's long escape (every non-zero value for codec 0).
  int32_t largestEscaped = 0;

  void Clear() { *this = CompressionStats(); }
};

class CompressorInterface {
 public:
  virtual ~CompressorInterface() = default;
  // Codes one row of `count` (0..1326) zig-zag residuals with `mode` 0
  // (residuals against the row's own previous value) or 1 (against the
  // previous row's differences as well).
  virtual void compress(const uint32_t* residuals, int count, int mode) = 0;
};

// Decoding errors: a damaged block, a table description that does not add
// up, a channel that runs out, a header that is not the codec's. By default
// an error ends the process with "fse error" (data held in memory by this
// process can only be damaged by a fault). A reader of data from outside
// (a file) asks for errors to be reported instead: the decompressor then
// records the first error, writes zeros for the row that met it and every
// later row, and the caller checks Failed() once it is done.
class DecompressorInterface {
 public:
  virtual ~DecompressorInterface() = default;
  // Decodes one row of `count` values into `out`; `previous` is the row the
  // writer coded against, or null. Returns the row's mode.
  virtual int decompress(uint32_t* out, const uint32_t* previous, int count) = 0;
  // The same coded form, rebuilt as 16-bit values.
  virtual int decompress16(uint16_t* out, const uint16_t* previous, int count) = 0;
  // Whether decompress rebuilds the final values itself (every codec does).
  virtual bool isDirect() const = 0;

  void ReportErrors(bool report) { reportErrors_ = report; }
  bool Failed() const { return errorText_ != nullptr; }
  // The first error's text, or null.
  const char* ErrorText() const { return errorText_; }

 protected:
  // Records an error, or ends the process when errors are not reported.
  void RaiseError(const char* text);

 private:
  bool reportErrors_ = false;
  const char* errorText_ = nullptr;
};

// Prints "fse error" straight to standard output and ends the process with
// status 1.
[[noreturn]] void FatalDecodeError();

// A new compressor of `type` writing through {function, context}; it first
// writes the type byte on channel 0. `frequencies` (256 symbol weights) and
// `symbolCounts` (256 counters the range coder clears and counts into) are
// used by type 0 only. Null for an unknown type.
CompressorInterface* CreateCompressor(int type, const uint64_t* frequencies, uint64_t* symbolCounts,
                                      ChannelFunction function, void* context, CompressionStats* stats);
// A new decompressor reading through {function, context}: the type byte of
// channel 0 chooses the codec. Null for an unknown or missing type byte.
// With `reportErrors` the decompressor records errors instead of ending the
// process (see DecompressorInterface).
DecompressorInterface* CreateDecompressor(ChannelFunction function, void* context, bool reportErrors = false);
void DestroyCompressor(CompressorInterface* compressor);
void DestroyDecompressor(DecompressorInterface* decompressor);

// Code one row of `count` values (more than 1326 fails) against `previous`
// (null for none): residuals against the row's own previous value (mode 0),
// or against the change of the previous row as well (mode 1) when that
// leaves strictly fewer non-zero residuals.
void CompressRow(CompressorInterface* compressor, const uint32_t* row, const uint32_t* previous, int count);
void CompressRow16(CompressorInterface* compressor, const uint16_t* row, const uint16_t* previous, int count);
// Decode one row written by CompressRow / CompressRow16 (more than 1326
// values fails).
void DecodeValues(DecompressorInterface* decompressor, uint32_t* out, const uint32_t* previous, int count);
void DecodeValues16(DecompressorInterface* decompressor, uint16_t* out, const uint16_t* previous, int count);

// --- Residuals ---------------------------------------------------------------
inline uint32_t ZigZag(uint32_t d) {
  return (d << 1) ^ static_cast<uint32_t>(static_cast<int32_t>(d) >> 31);
}
inline uint32_t UnZigZag(uint32_t z) { return (z >> 1) ^ (0u - (z & 1)); }

// Both residual rows of `n` values and their non-zero counts (entry 0 counts
// in both): B[i] = ZigZag(c[i] - c[i-1]) (B[0] against p[0], or 0 without a
// previous row), A[i] = ZigZag((c[i] - c[i-1]) - (p[i] - p[i-1])), A[0] = B[0].
// A is left untouched without a previous row. 32-bit wrap-around arithmetic.
struct ResidualCounts {
  int nonZeroA;
  int nonZeroB;
};
ResidualCounts ComputeResiduals(const uint32_t* c, const uint32_t* p, int n, uint32_t* a, uint32_t* b);
ResidualCounts ComputeResiduals16(const uint16_t* c, const uint16_t* p, int n, uint32_t* a, uint32_t* b);

// Rebuilds a row from its residuals: out[i] = out[i-1] + d[i] (+ p[i] - p[i-1]
// in mode 1 with a previous row), out[0] = d[0] (+ p[0] with a previous row),
// with d = UnZigZag(z); wraps at the width of the row's values.
void RebuildRow(uint32_t* out, const uint32_t* previous, const uint32_t* z, int n, int mode);
void RebuildRow(uint16_t* out, const uint16_t* previous, const uint32_t* z, int n, int mode);

// One row of a decoder: the codes from `decodeCodes` (which may find the
// stream damaged; it may write up to the end of the group of eight that
// holds the row's last code), then the values rebuilt against the previous row. A
// damaged stream gives a row of zeros and mode 0.
template <typename T, typename DecodeCodes>
inline int DecodeRowWith(T* out, const T* previous, int count, const bool& damaged, DecodeCodes&& decodeCodes) {
  // Room for a whole last group of eight: decoders may clear a group at once.
  uint32_t codes[kMaxRowValues + 8];
  if (count > kMaxRowValues) Fail();
  const int mode = decodeCodes(codes);
  if (damaged) {
    if (count > 0) std::memset(out, 0, sizeof(T) * static_cast<size_t>(count));
    return 0;
  }
  RebuildRow(out, previous, codes, count, mode);
  return mode;
}
