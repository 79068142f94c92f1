#include "codecs/codec.h"


#include <cstdio>

#include "codecs/fast_codec.h"
#include "codecs/fse_codec.h"
#include "codecs/range_codec.h"
#include "codecs/residuals_variants.h"
#include "core/cpu_info.h"
#include "core/output.h"

void FatalDecodeError() { FatalLine("fse error\n"); }

void DecompressorInterface::RaiseError(const char* text) {
  if (!reportErrors_) FatalDecodeError();
  if (!errorText_) errorText_ = text;
}

CompressorInterface* CreateCompressor(int type, const uint64_t* frequencies, uint64_t* symbolCounts,
                                      ChannelFunction function, void* context, CompressionStats* stats) {
  if (type < 0 || type > 2) return nullptr;
  ChannelCallback* callback = new ChannelCallback{function, context};
  uint8_t id = static_cast<uint8_t>(type);
  function(context, 0, &id, 1);
  try {
    switch (type) {
      case kRangeCodecId:
        return CreateCompressorObject(callback, frequencies, symbolCounts, stats);
      case kFastCodecId:
        return CreateFastCompressor(callback, stats);
      default:
        return new FSECompressor(callback, stats);
    }
  } catch (...) {
    delete callback;
    throw;
  }
}

DecompressorInterface* CreateDecompressor(ChannelFunction function, void* context, bool reportErrors) {
  uint8_t id = 0xFF;
  if (function(context, 0, &id, 1) != 1 || id > 2) return nullptr;
  ChannelCallback* callback = new ChannelCallback{function, context};
  DecompressorInterface* decompressor = nullptr;
  try {
    switch (id) {
      case kRangeCodecId:
        decompressor = CreateDecompressorObject(callback, reportErrors);
        break;
      case kFastCodecId:
        decompressor = CreateFastDecompressor(callback);
        break;
      default:
        decompressor = new FSEDecompressor(callback);
        break;
    }
  } catch (...) {
    delete callback;
    throw;
  }
  decompressor->ReportErrors(reportErrors);
  return decompressor;
}

void DestroyCompressor(CompressorInterface* compressor) { delete compressor; }

void DestroyDecompressor(DecompressorInterface* decompressor) { delete decompressor; }

ResidualCounts ComputeResiduals(const uint32_t* c, const uint32_t* p, int n, uint32_t* a, uint32_t* b) {
  if (n <= 0) return {0, 0};
  return UseAvx2FmaKernels() ? kernels_avx2::ComputeResiduals(c, p, n, a, b)
                             : kernels_avx::ComputeResiduals(c, p, n, a, b);
}

ResidualCounts ComputeResiduals16(const uint16_t* c, const uint16_t* p, int n, uint32_t* a, uint32_t* b) {
  if (n <= 0) return {0, 0};
  return UseAvx2FmaKernels() ? kernels_avx2::ComputeResiduals16(c, p, n, a, b)
                             : kernels_avx::ComputeResiduals16(c, p, n, a, b);
}

void RebuildRow(uint32_t* out, const uint32_t* previous, const uint32_t* z, int n, int mode) {
  if (UseAvx2FmaKernels())
    kernels_avx2::RebuildRow32(out, previous, z, n, mode);
  else
    kernels_avx::RebuildRow32(out, previous, z, n, mode);
}

void RebuildRow(uint16_t* out, const uint16_t* previous, const uint32_t* z, int n, int mode) {
  if (UseAvx2FmaKernels())
    kernels_avx2::RebuildRow16(out, previous, z, n, mode);
  else
    kernels_avx::RebuildRow16(out, previous, z, n, mode);
}

namespace {

template <typename T>
void CompressRowOf(CompressorInterface* compressor, const T* row, const T* previous, int count) {
  if (count > kMaxRowValues) Fail();
  if (count < 0) count = 0;
  uint32_t a[kMaxRowValues], b[kMaxRowValues];
  // An empty row has no c[0] to read: its coded form is the mode alone.
  if (count == 0) {
    compressor->compress(nullptr, 0, 0);
    return;
  }
  ResidualCounts counts;
  if constexpr (sizeof(T) == 2)
    counts = ComputeResiduals16(row, previous, count, a, b);
  else
    counts = ComputeResiduals(row, previous, count, a, b);
  if (previous && counts.nonZeroA < counts.nonZeroB)
    compressor->compress(a, count, 1);
  else
    compressor->compress(b, count, 0);
}

}  // namespace

void CompressRow(CompressorInterface* compressor, const uint32_t* row, const uint32_t* previous, int count) {
  CompressRowOf(compressor, row, previous, count);
}

void CompressRow16(CompressorInterface* compressor, const uint16_t* row, const uint16_t* previous, int count) {
  CompressRowOf(compressor, row, previous, count);
}

void DecodeValues(DecompressorInterface* decompressor, uint32_t* out, const uint32_t* previous, int count) {
  if (count > kMaxRowValues) Fail();
  if (count < 0) count = 0;
  if (decompressor->isDirect()) decompressor->decompress(out, previous, count);
}

void DecodeValues16(DecompressorInterface* decompressor, uint16_t* out, const uint16_t* previous, int count) {
  if (count > kMaxRowValues) Fail();
  if (count < 0) count = 0;
  if (decompressor->isDirect()) decompressor->decompress16(out, previous, count);
}
