#include "codecs/fse.h"

#include <cstring>

#include "codecs/fse_variants.h"
#include "core/cpu_info.h"
#include "core/output.h"

namespace {

inline size_t ErrorResult(FseErrorCode code) { return static_cast<size_t>(0) - static_cast<size_t>(code); }

// Index of the highest set bit (x > 0).
inline unsigned HighBit(uint32_t x) { return 31u - static_cast<unsigned>(__builtin_clz(x)); }

inline uint32_t LoadLe32(const uint8_t* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);  // the target is little-endian
  return v;
}

inline void StoreLe64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Four bytes at `pos`, bytes past the end of the input read as 0.
inline uint32_t LoadLe32Bounded(const uint8_t* in, size_t size, size_t pos) {
  if (pos + 4 <= size) return LoadLe32(in + pos);
  uint32_t v = 0;
  for (size_t k = 0; k < 4 && pos + k < size; ++k) v |= static_cast<uint32_t>(in[pos + k]) << (8 * k);
  return v;
}

// The step that spreads symbols over the table; odd for every table of 8 or
// more cells, so the walk visits every cell once.
inline uint32_t TableStep(uint32_t tableSize) { return (tableSize >> 1) + (tableSize >> 3) + 3; }

// Smallest table log that can represent `maxSymbolValue + 1` symbols of a
// block of `srcSize` bytes.
inline unsigned MinTableLog(size_t srcSize, unsigned maxSymbolValue) {
  const unsigned fromSize = HighBit(static_cast<uint32_t>(srcSize - 1)) + 1;
  const unsigned fromSymbols = maxSymbolValue ? HighBit(maxSymbolValue) + 2 : 1;  // hb(0) counts as -1
  return fromSize < fromSymbols ? fromSize : fromSymbols;
}

// Symbol positions of a table: low-probability symbols at the top, the others
// spread by the fixed step. Shared by both table builders; false when the
// counts do not describe a full table.
bool SpreadSymbols(uint8_t* symbolAt, const int16_t* norm, unsigned maxSymbolValue, unsigned tableLog) {
  const uint32_t tableSize = 1u << tableLog, mask = tableSize - 1, step = TableStep(tableSize);
  int64_t highThreshold = static_cast<int64_t>(tableSize) - 1;
  int64_t cells = 0;
  for (unsigned s = 0; s <= maxSymbolValue; ++s) {
    if (norm[s] == -1) {
      if (highThreshold < 0) return false;
      symbolAt[highThreshold--] = static_cast<uint8_t>(s);
    } else if (norm[s] > 0) {
      cells += norm[s];
    }
  }
  // The symbols in order, each repeated by its count, go to the positions 0,
  // step, 2 step, ... (mod the table size) that lie below the top. They are
  // written out in a run first (eight bytes a store) and then scattered.
  if (cells > highThreshold + 1) return false;  // more cells than the table holds
  uint8_t run[(1u << kFseMaxTableLog) + 8];
  size_t length = 0;
  for (unsigned s = 0; s <= maxSymbolValue; ++s) {
    const uint64_t eight = 0x0101010101010101ull * s;
    for (int i = 0; i < norm[s]; i += 8) std::memcpy(run + length + i, &eight, 8);
    if (norm[s] > 0) length += static_cast<size_t>(norm[s]);
  }
  uint32_t position = 0;
  if (highThreshold == static_cast<int64_t>(tableSize) - 1) {
    // No symbol at the top, so no position is skipped.
    for (size_t i = 0; i < length; ++i) {
      symbolAt[position] = run[i];
      position = (position + step) & mask;
    }
  } else {
    for (size_t i = 0; i < length; ++i) {
      symbolAt[position] = run[i];
      position = (position + step) & mask;
      while (position > highThreshold) position = (position + step) & mask;
    }
  }
  return position == 0;
}

// --- Bit stream reader ------------------------------------------------------
// Reads the bit stream from its end towards its start; `pos` is the offset
// of the 8 bytes in the container (or 0 for inputs below 8 bytes, which are
// loaded once). `consumed` counts bits taken from the container's top.
enum ReaderStatus { kUnfinished = 0, kEndOfBuffer = 1, kCompleted = 2, kOverflow = 3 };

struct BitReader {
  uint64_t container = 0;
  unsigned consumed = 0;
  const uint8_t* start = nullptr;
  size_t pos = 0;

  size_t Init(const uint8_t* src, size_t size) {
    if (size < 1) return ErrorResult(FSE_ERROR_srcSize_wrong);
    start = src;
    const uint8_t last = src[size - 1];
    if (last == 0) return ErrorResult(FSE_ERROR_GENERIC);  // no end mark
    if (size >= 8) {
      pos = size - 8;
      container = LoadLe64(src + pos);
      consumed = 8 - HighBit(last);
    } else {
      pos = 0;
      container = 0;
      for (size_t k = 0; k < size; ++k) container |= static_cast<uint64_t>(src[k]) << (8 * k);
      consumed = 8 - HighBit(last) + static_cast<unsigned>(8 - size) * 8;
    }
    return size;
  }
  uint64_t Read(unsigned nbBits) {
    const uint64_t v = (container << (consumed & 63)) >> 1 >> ((63 - nbBits) & 63);
    consumed += nbBits;
    return v;
  }
  // For nbBits >= 1 only.
  uint64_t ReadFast(unsigned nbBits) {
    const uint64_t v = (container << (consumed & 63)) >> ((64 - nbBits) & 63);
    consumed += nbBits;
    return v;
  }
  ReaderStatus Reload() {
    if (consumed > 64) return kOverflow;
    if (pos >= 8) {
      pos -= consumed >> 3;
      consumed &= 7;
      container = LoadLe64(start + pos);
      return kUnfinished;
    }
    if (pos == 0) return consumed < 64 ? kEndOfBuffer : kCompleted;
    size_t bytes = consumed >> 3;
    ReaderStatus status = kUnfinished;
    if (bytes > pos) {
      bytes = pos;
      status = kEndOfBuffer;
    }
    pos -= bytes;
    consumed -= static_cast<unsigned>(bytes * 8);
    container = LoadLe64(start + pos);
    return status;
  }
  bool AtEnd() const { return pos == 0 && consumed == 64; }
};

template <bool kFast>
inline uint8_t DecodeSymbol(uint32_t& state, BitReader& reader, const FseDecodeCell* cells) {
  const FseDecodeCell cell = cells[state];
  const uint64_t low = kFast ? reader.ReadFast(cell.nbBits) : reader.Read(cell.nbBits);
  state = cell.newState + static_cast<uint32_t>(low);
  return cell.symbol;
}

template <bool kFast>
size_t DecodeStream(uint8_t* dst, size_t capacity, const uint8_t* src, size_t size, const FseDTable* table) {
  BitReader reader;
  const size_t init = reader.Init(src, size);
  if (FSE_isError(init)) return init;
  const FseDecodeCell* cells = table->cells;
  uint32_t state1 = static_cast<uint32_t>(reader.Read(table->tableLog));
  reader.Reload();
  uint32_t state2 = static_cast<uint32_t>(reader.Read(table->tableLog));
  reader.Reload();

  size_t op = 0;
  // Four symbols per container refill (4 x 12 bits + 7 fit in 64).
  while (reader.Reload() == kUnfinished && capacity - op > 3) {
    dst[op] = DecodeSymbol<kFast>(state1, reader, cells);
    dst[op + 1] = DecodeSymbol<kFast>(state2, reader, cells);
    dst[op + 2] = DecodeSymbol<kFast>(state1, reader, cells);
    dst[op + 3] = DecodeSymbol<kFast>(state2, reader, cells);
    op += 4;
  }
  // Tail: one symbol at a time, stopping at the end of the stream.
  for (;;) {
    if (reader.Reload() > kCompleted || op == capacity || (reader.AtEnd() && (kFast || state1 == 0))) break;
    dst[op++] = DecodeSymbol<kFast>(state1, reader, cells);
    if (reader.Reload() > kCompleted || op == capacity || (reader.AtEnd() && (kFast || state2 == 0))) break;
    dst[op++] = DecodeSymbol<kFast>(state2, reader, cells);
  }
  if (reader.AtEnd() && state1 == 0 && state2 == 0) return op;
  if (op == capacity) return ErrorResult(FSE_ERROR_dstSize_tooSmall);
  return ErrorResult(FSE_ERROR_corruptionDetected);
}

}  // namespace

unsigned FSE_isError(size_t code) { return code > ErrorResult(FSE_ERROR_maxCode) ? 1u : 0u; }

const char* FSE_getErrorName(size_t code) {
  static const char* const kNames[] = {
      "FSE_OK_NoError",
      "FSE_ERROR_GENERIC",
      "FSE_ERROR_tableLog_tooLarge",
      "FSE_ERROR_maxSymbolValue_tooLarge",
      "FSE_ERROR_maxSymbolValue_tooSmall",
      "FSE_ERROR_dstSize_tooSmall",
      "FSE_ERROR_srcSize_wrong",
      "FSE_ERROR_corruptionDetected",
      "FSE_ERROR_maxCode",
  };
  if (!FSE_isError(code)) return "Unspecified error code";
  return kNames[static_cast<size_t>(0) - code];
}

size_t FSE_count(unsigned* counts, unsigned* maxSymbolValue, const void* src, size_t srcSize) {
  const uint8_t* in = static_cast<const uint8_t*>(src);
  unsigned requested = *maxSymbolValue;
  if (requested == 0) requested = 255;
  const bool check = requested < 255;
  if (!check) requested = 255;
  uint32_t totals[256];
  const unsigned largest = UseAvx2FmaKernels() ? kernels_avx2::CountBytes(in, srcSize, totals)
                                               : kernels_avx::CountBytes(in, srcSize, totals);
  // A byte above the requested symbol is an error, so the largest count of
  // all bytes is the largest of those kept.
  if (check)
    for (unsigned s = requested + 1; s < 256; ++s)
      if (totals[s] > 0) return ErrorResult(FSE_ERROR_GENERIC);
  for (unsigned s = 0; s <= requested; ++s) counts[s] = totals[s];
  while (requested > 0 && counts[requested] == 0) --requested;
  *maxSymbolValue = requested;
  return largest;
}

unsigned FSE_optimalTableLog(unsigned maxTableLog, size_t srcSize, unsigned maxSymbolValue) {
  unsigned tableLog = maxTableLog == 0 ? kFseDefaultTableLog : maxTableLog;
  const uint32_t n1 = static_cast<uint32_t>(srcSize - 1);
  // hb(0) counts as -1; the subtraction then wraps and changes nothing.
  const uint32_t hb = n1 ? HighBit(n1) : static_cast<uint32_t>(-1);
  const uint32_t maxBitsSrc = hb - 2;
  if (maxBitsSrc < tableLog) tableLog = maxBitsSrc;
  const uint32_t minBitsSize = hb + 1;
  const uint32_t minBitsSymbols = (maxSymbolValue ? HighBit(maxSymbolValue) : static_cast<uint32_t>(-1)) + 2;
  const uint32_t minBits = minBitsSize < minBitsSymbols ? minBitsSize : minBitsSymbols;
  if (minBits > tableLog) tableLog = minBits;
  if (tableLog < kFseMinTableLog) tableLog = kFseMinTableLog;
  if (tableLog > kFseMaxTableLog) tableLog = kFseMaxTableLog;
  return tableLog;
}

size_t FSE_normalizeCount(int16_t* norm, unsigned tableLog, const unsigned* counts, size_t total,
                          unsigned maxSymbolValue) {
  if (tableLog == 0) tableLog = kFseDefaultTableLog;
  if (tableLog < kFseMinTableLog || tableLog > kFseMaxTableLog) return ErrorResult(FSE_ERROR_GENERIC);
  if (total == 0 || maxSymbolValue > kFseMaxSymbolValue) return ErrorResult(FSE_ERROR_GENERIC);
  if (total > 1 && tableLog < MinTableLog(total, maxSymbolValue)) return ErrorResult(FSE_ERROR_GENERIC);

  static const uint32_t kRestToBeat[8] = {0, 473195, 504333, 520860, 550000, 700000, 750000, 830000};
  const unsigned scale = 62 - tableLog;
  const uint64_t step = (uint64_t{1} << 62) / total;
  const uint64_t vStep = uint64_t{1} << (scale - 20);
  int stillToDistribute = 1 << tableLog;
  unsigned largest = 0;
  int16_t largestP = 0;
  const uint32_t lowThreshold = static_cast<uint32_t>(total >> tableLog);
  for (unsigned s = 0; s <= maxSymbolValue; ++s) {
    if (counts[s] == total) return 0;  // a single symbol: nothing to code
    if (counts[s] == 0) {
      norm[s] = 0;
      continue;
    }
    if (counts[s] <= lowThreshold) {
      norm[s] = -1;
      --stillToDistribute;
      continue;
    }
    const uint64_t scaled = counts[s] * step;
    int16_t proba = static_cast<int16_t>(scaled >> scale);
    if (proba < 8) {
      const uint64_t restToBeat = vStep * kRestToBeat[proba];
      proba = static_cast<int16_t>(proba + (scaled - (static_cast<uint64_t>(proba) << scale) > restToBeat));
    }
    if (proba > largestP) largestP = proba, largest = s;
    norm[s] = proba;
    stillToDistribute -= proba;
  }
  if (-stillToDistribute >= (norm[largest] >> 1)) {
    const size_t r = UseAvx2FmaKernels() ? kernels_avx2::NormalizeM2(norm, tableLog, counts, total, maxSymbolValue)
                                         : kernels_avx::NormalizeM2(norm, tableLog, counts, total, maxSymbolValue);
    if (FSE_isError(r)) return r;
  } else {
    norm[largest] = static_cast<int16_t>(norm[largest] + stillToDistribute);
  }
  return tableLog;
}

size_t FSE_writeNCount(void* dst, size_t dstCapacity, const int16_t* norm, unsigned maxSymbolValue,
                       unsigned tableLog) {
  if (tableLog < kFseMinTableLog || tableLog > kFseMaxTableLog) return ErrorResult(FSE_ERROR_GENERIC);
  if (maxSymbolValue > kFseMaxSymbolValue) return ErrorResult(FSE_ERROR_GENERIC);
  const size_t bound = maxSymbolValue ? (((maxSymbolValue + 1) * tableLog) >> 3) + 3 : 512;
  const bool checked = dstCapacity < bound;
  uint8_t* const out0 = static_cast<uint8_t*>(dst);
  size_t out = 0;
  // Stores two bytes of the accumulator; the checked form refuses when fewer
  // than two bytes remain.
  uint32_t bitStream = 0;
  int bitCount = 0;
  auto store2 = [&]() -> bool {
    if (checked && dstCapacity - out < 2) return false;
    out0[out] = static_cast<uint8_t>(bitStream);
    out0[out + 1] = static_cast<uint8_t>(bitStream >> 8);
    out += 2;
    return true;
  };
  if (dstCapacity < 2 && checked) return ErrorResult(FSE_ERROR_dstSize_tooSmall);

  const int tableSize = 1 << tableLog;
  int remaining = tableSize + 1;  // +1 for extra accuracy
  int threshold = tableSize;
  int nbBits = static_cast<int>(tableLog) + 1;
  unsigned s = 0;
  bool previousWasZero = false;
  bitStream = tableLog - kFseMinTableLog;
  bitCount = 4;
  while (remaining > 1) {
    if (previousWasZero) {
      unsigned start = s;
      while (s <= maxSymbolValue && norm[s] == 0) ++s;
      if (s > maxSymbolValue) return ErrorResult(FSE_ERROR_GENERIC);
      while (s >= start + 24) {
        start += 24;
        bitStream += 0xFFFFu << bitCount;
        if (!store2()) return ErrorResult(FSE_ERROR_dstSize_tooSmall);
        bitStream >>= 16;
      }
      while (s >= start + 3) {
        start += 3;
        bitStream += 3u << bitCount;
        bitCount += 2;
      }
      bitStream += (s - start) << bitCount;
      bitCount += 2;
      if (bitCount > 16) {
        if (!store2()) return ErrorResult(FSE_ERROR_dstSize_tooSmall);
        bitStream >>= 16;
        bitCount -= 16;
      }
    }
    if (s > maxSymbolValue) return ErrorResult(FSE_ERROR_GENERIC);
    int count = norm[s++];
    const int max = (2 * threshold - 1) - remaining;
    remaining -= count < 0 ? -count : count;
    if (remaining < 1) return ErrorResult(FSE_ERROR_GENERIC);
    ++count;  // +1 for extra accuracy
    if (count >= threshold) count += max;
    bitStream += static_cast<uint32_t>(count) << bitCount;
    bitCount += nbBits;
    bitCount -= (count < max);
    previousWasZero = (count == 1);
    while (remaining < threshold) --nbBits, threshold >>= 1;
    if (bitCount > 16) {
      if (!store2()) return ErrorResult(FSE_ERROR_dstSize_tooSmall);
      bitStream >>= 16;
      bitCount -= 16;
    }
  }
  // The last partial bytes: stored as two, counted as far as they hold bits.
  if (!store2()) return ErrorResult(FSE_ERROR_dstSize_tooSmall);
  out -= 2;
  out += static_cast<size_t>((bitCount + 7) / 8);
  if (s > maxSymbolValue + 1) return ErrorResult(FSE_ERROR_GENERIC);
  return out;
}

size_t FSE_readNCount(int16_t* norm, unsigned* maxSymbolValue, unsigned* tableLogOut, const void* src,
                      size_t srcSize) {
  const uint8_t* in = static_cast<const uint8_t*>(src);
  if (srcSize < 4) return ErrorResult(FSE_ERROR_srcSize_wrong);
  // Positions are kept so that the 4-byte window at ip lies inside the input
  // for well-formed headers; LoadLe32Bounded keeps damaged ones inside too.
  size_t ip = 0;
  const size_t iend = srcSize;
  uint32_t bitStream = LoadLe32(in);
  int nbBits = static_cast<int>(bitStream & 0xF) + static_cast<int>(kFseMinTableLog);
  if (nbBits > static_cast<int>(kFseHeaderMaxTableLog)) return ErrorResult(FSE_ERROR_tableLog_tooLarge);
  bitStream >>= 4;
  int bitCount = 4;
  *tableLogOut = static_cast<unsigned>(nbBits);
  int remaining = (1 << nbBits) + 1;
  int threshold = 1 << nbBits;
  ++nbBits;
  unsigned s = 0;
  bool previousWasZero = false;
  // Whether the window can move forward by the whole bytes consumed.
  auto windowFits = [&](size_t at, int bits) { return at + static_cast<size_t>(bits >> 3) + 4 <= iend; };

  while (remaining > 1 && s <= *maxSymbolValue) {
    if (previousWasZero) {
      unsigned n0 = s;
      while ((bitStream & 0xFFFF) == 0xFFFF) {
        n0 += 24;
        if (ip + 5 < iend) {
          ip += 2;
          bitStream = LoadLe32Bounded(in, iend, ip) >> (bitCount & 31);
        } else {
          bitStream >>= 16;
          bitCount += 16;
        }
      }
      while ((bitStream & 3) == 3) {
        n0 += 3;
        bitStream >>= 2;
        bitCount += 2;
      }
      n0 += bitStream & 3;
      bitCount += 2;
      if (n0 > *maxSymbolValue) return ErrorResult(FSE_ERROR_maxSymbolValue_tooSmall);
      while (s < n0) norm[s++] = 0;
      if (windowFits(ip, bitCount)) {
        ip += static_cast<size_t>(bitCount >> 3);
        bitCount &= 7;
        bitStream = LoadLe32Bounded(in, iend, ip) >> bitCount;
      } else {
        bitStream >>= 2;
      }
    }
    const int max = (2 * threshold - 1) - remaining;
    int count;
    if (static_cast<int>(bitStream & static_cast<uint32_t>(threshold - 1)) < max) {
      count = static_cast<int>(bitStream & static_cast<uint32_t>(threshold - 1));
      bitCount += nbBits - 1;
    } else {
      count = static_cast<int>(bitStream & static_cast<uint32_t>(2 * threshold - 1));
      if (count >= threshold) count -= max;
      bitCount += nbBits;
    }
    --count;  // extra accuracy
    remaining -= count < 0 ? -count : count;
    norm[s++] = static_cast<int16_t>(count);
    previousWasZero = (count == 0);
    while (remaining < threshold) {
      --nbBits;
      threshold >>= 1;
    }
    if (windowFits(ip, bitCount)) {
      ip += static_cast<size_t>(bitCount >> 3);
      bitCount &= 7;
    } else {
      bitCount -= static_cast<int>(8 * (iend - 4 - ip));
      ip = iend - 4;
    }
    bitStream = LoadLe32Bounded(in, iend, ip) >> (bitCount & 31);
  }
  if (remaining != 1) return ErrorResult(FSE_ERROR_GENERIC);
  *maxSymbolValue = s - 1;
  ip += static_cast<size_t>((bitCount + 7) >> 3);
  if (ip > srcSize) return ErrorResult(FSE_ERROR_srcSize_wrong);
  return ip;
}

size_t FSE_buildCTable(FseCTable* table, const int16_t* norm, unsigned maxSymbolValue, unsigned tableLog) {
  if (maxSymbolValue > kFseMaxSymbolValue) return ErrorResult(FSE_ERROR_maxSymbolValue_tooLarge);
  if (tableLog < kFseMinTableLog || tableLog > kFseMaxTableLog) return ErrorResult(FSE_ERROR_GENERIC);
  const uint32_t tableSize = 1u << tableLog;
  table->tableLog = static_cast<uint16_t>(tableLog);
  table->maxSymbolValue = static_cast<uint16_t>(maxSymbolValue);
  uint8_t symbolAt[1u << kFseMaxTableLog];
  uint32_t cumul[kFseMaxSymbolValue + 2];
  cumul[0] = 0;
  for (unsigned s = 0; s <= maxSymbolValue; ++s) {
    if (norm[s] < -1) return ErrorResult(FSE_ERROR_GENERIC);
    cumul[s + 1] = cumul[s] + static_cast<uint32_t>(norm[s] == -1 ? 1 : norm[s]);
  }
  if (cumul[maxSymbolValue + 1] != tableSize) return ErrorResult(FSE_ERROR_GENERIC);
  if (!SpreadSymbols(symbolAt, norm, maxSymbolValue, tableLog)) return ErrorResult(FSE_ERROR_GENERIC);
  // State table: the states of each symbol in table order, symbol by symbol.
  for (uint32_t u = 0; u < tableSize; ++u) {
    const uint8_t s = symbolAt[u];
    table->stateTable[cumul[s]++] = static_cast<uint16_t>(tableSize + u);
  }
  uint32_t total = 0;
  for (unsigned s = 0; s <= maxSymbolValue; ++s) {
    FseSymbolTransform& t = table->transforms[s];
    const int n = norm[s];
    if (n == 0) {
      t.deltaFindState = 0;
      t.deltaNbBits = 0;
    } else if (n == -1 || n == 1) {
      t.deltaNbBits = tableLog << 16;
      t.deltaFindState = static_cast<int32_t>(total) - 1;
      total += 1;
    } else {
      const uint32_t maxBitsOut = tableLog - HighBit(static_cast<uint32_t>(n - 1));
      t.deltaNbBits = (maxBitsOut << 16) - (static_cast<uint32_t>(n) << maxBitsOut);
      t.deltaFindState = static_cast<int32_t>(total) - n;
      total += static_cast<uint32_t>(n);
    }
  }
  return 0;
}

size_t FSE_compress_usingCTable(void* dst, size_t dstCapacity, const void* src, size_t srcSize,
                                const FseCTable* table) {
  if (UseAvx2FmaKernels()) return kernels_avx2::EncodeFseStream(dst, dstCapacity, src, srcSize, table);
  return kernels_avx::EncodeFseStream(dst, dstCapacity, src, srcSize, table);
}

size_t FSE_compress(void* dst, size_t dstCapacity, const void* src, size_t srcSize) {
  // Counts and the 32-bit block fields of callers hold at most 2^32 - 1.
  if (srcSize > 0xFFFFFFFFull) Fail();
  if (srcSize < 2) return 0;
  unsigned counts[256];
  unsigned maxSymbolValue = kFseMaxSymbolValue;
  const size_t largest = FSE_count(counts, &maxSymbolValue, src, srcSize);
  if (largest == srcSize) return 1;
  if (largest == 1 || largest < (srcSize >> 7)) return 0;
  const unsigned tableLog = FSE_optimalTableLog(kFseDefaultTableLog, srcSize, maxSymbolValue);
  int16_t norm[kFseMaxSymbolValue + 1];
  const size_t normalized = FSE_normalizeCount(norm, tableLog, counts, srcSize, maxSymbolValue);
  if (FSE_isError(normalized)) return normalized;
  uint8_t* out = static_cast<uint8_t*>(dst);
  const size_t header = FSE_writeNCount(out, dstCapacity, norm, maxSymbolValue, tableLog);
  if (FSE_isError(header)) return header;
  FseCTable table;
  const size_t built = FSE_buildCTable(&table, norm, maxSymbolValue, tableLog);
  if (FSE_isError(built)) return built;
  const size_t stream = FSE_compress_usingCTable(out + header, dstCapacity - header, src, srcSize, &table);
  if (stream == 0 || header + stream >= srcSize - 1) return 0;
  return header + stream;
}

size_t FSE_buildDTable(FseDTable* table, const int16_t* norm, unsigned maxSymbolValue, unsigned tableLog) {
  if (maxSymbolValue > kFseMaxSymbolValue) return ErrorResult(FSE_ERROR_maxSymbolValue_tooLarge);
  if (tableLog > kFseMaxTableLog) return ErrorResult(FSE_ERROR_tableLog_tooLarge);
  if (tableLog < kFseMinTableLog) return ErrorResult(FSE_ERROR_GENERIC);
  const uint32_t tableSize = 1u << tableLog;
  const int largeLimit = 1 << (tableLog - 1);
  uint32_t next[kFseMaxSymbolValue + 1];
  uint32_t sum = 0;
  uint16_t fastMode = 1;
  for (unsigned s = 0; s <= maxSymbolValue; ++s) {
    if (norm[s] < -1) return ErrorResult(FSE_ERROR_GENERIC);
    if (norm[s] == -1) {
      next[s] = 1;
    } else {
      if (norm[s] >= largeLimit) fastMode = 0;
      next[s] = static_cast<uint32_t>(norm[s]);
    }
    sum += next[s];
  }
  if (sum != tableSize) return ErrorResult(FSE_ERROR_GENERIC);
  uint8_t symbolAt[1u << kFseMaxTableLog];
  if (!SpreadSymbols(symbolAt, norm, maxSymbolValue, tableLog)) return ErrorResult(FSE_ERROR_GENERIC);
  table->tableLog = static_cast<uint16_t>(tableLog);
  table->fastMode = fastMode;
  for (uint32_t u = 0; u < tableSize; ++u) {
    const uint8_t s = symbolAt[u];
    const uint32_t x = next[s]++;
    const uint32_t nbBits = tableLog - HighBit(x);
    table->cells[u].symbol = s;
    table->cells[u].nbBits = static_cast<uint8_t>(nbBits);
    table->cells[u].newState = static_cast<uint16_t>((x << nbBits) - tableSize);
  }
  return 0;
}

size_t FSE_decompress_usingDTable(void* dst, size_t dstCapacity, const void* src, size_t srcSize,
                                  const FseDTable* table) {
  uint8_t* out = static_cast<uint8_t*>(dst);
  const uint8_t* in = static_cast<const uint8_t*>(src);
  if (table->fastMode) return DecodeStream<true>(out, dstCapacity, in, srcSize, table);
  return DecodeStream<false>(out, dstCapacity, in, srcSize, table);
}

size_t FSE_decompress(void* dst, size_t dstCapacity, const void* src, size_t srcSize) {
  const uint8_t* in = static_cast<const uint8_t*>(src);
  if (srcSize < 2) return ErrorResult(FSE_ERROR_srcSize_wrong);
  int16_t norm[kFseMaxSymbolValue + 1];
  unsigned maxSymbolValue = kFseMaxSymbolValue, tableLog = 0;
  const size_t header = FSE_readNCount(norm, &maxSymbolValue, &tableLog, in, srcSize);
  if (FSE_isError(header)) return header;
  if (header >= srcSize) return ErrorResult(FSE_ERROR_srcSize_wrong);
  FseDTable table;
  const size_t built = FSE_buildDTable(&table, norm, maxSymbolValue, tableLog);
  if (FSE_isError(built)) return built;
  return FSE_decompress_usingDTable(dst, dstCapacity, in + header, srcSize - header, &table);
}
