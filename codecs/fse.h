// Finite-state-entropy block coder (table-based asymmetric numeral systems)
// for byte strings of up to 64 KiB and more. A coded block is a header with
// the normalised symbol counts followed by one bit stream that two
// interleaved coder states carry. Every table lives for one call only, so the
// functions may run on any number of threads at once.
//
// Results are 64-bit sizes; an error is returned as the negation of its code
// (FSE_isError tells them apart, FSE_getErrorName names them).
#pragma once

#include <cstddef>
#include <cstdint>

enum FseErrorCode : int {
  FSE_OK_NoError = 0,
  FSE_ERROR_GENERIC = 1,
  FSE_ERROR_tableLog_tooLarge = 2,
  FSE_ERROR_maxSymbolValue_tooLarge = 3,
  FSE_ERROR_maxSymbolValue_tooSmall = 4,
  FSE_ERROR_dstSize_tooSmall = 5,
  FSE_ERROR_srcSize_wrong = 6,
  FSE_ERROR_corruptionDetected = 7,
  FSE_ERROR_maxCode = 8,
};

constexpr unsigned kFseMinTableLog = 5;
constexpr unsigned kFseMaxTableLog = 12;
constexpr unsigned kFseDefaultTableLog = 11;
constexpr unsigned kFseMaxSymbolValue = 255;
// The header field can say up to 20; the header reader accepts up to 15.
constexpr unsigned kFseHeaderMaxTableLog = 15;

// Codes `srcSize` bytes (at most 2^32 - 1, else the process fails) with the
// full byte alphabet and table log 11. 0: not worth coding (store raw);
// 1: every byte is the same (store the byte); an error code; else the coded
// size, always below srcSize - 1.
size_t FSE_compress(void* dst, size_t dstCapacity, const void* src, size_t srcSize);
// Decodes one coded block of exactly `srcSize` bytes into dst; the number of
// bytes produced or an error code. Never reads or writes outside the buffers.
size_t FSE_decompress(void* dst, size_t dstCapacity, const void* src, size_t srcSize);
// The largest coded size of n bytes: n + n/128 + 512.
constexpr size_t FSE_compressBound(size_t n) { return n + (n >> 7) + 512; }
unsigned FSE_isError(size_t code);
const char* FSE_getErrorName(size_t code);

// --- Steps of the two operations, usable on their own ----------------------
// Histogram of src: counts[0..*maxSymbolValue] (the value is lowered to the
// largest byte present); result the largest count. A requested value below
// 255 (0 means 255) is checked against every byte (error GENERIC).
size_t FSE_count(unsigned* counts, unsigned* maxSymbolValue, const void* src, size_t srcSize);
unsigned FSE_optimalTableLog(unsigned maxTableLog, size_t srcSize, unsigned maxSymbolValue);
// Normalised counts summing (in absolute value) to 2^tableLog; -1 marks a
// symbol with less than one slot's worth. Result tableLog or an error.
size_t FSE_normalizeCount(int16_t* norm, unsigned tableLog, const unsigned* counts, size_t total,
                          unsigned maxSymbolValue);
// The count header; result its length in bytes or an error.
size_t FSE_writeNCount(void* dst, size_t dstCapacity, const int16_t* norm, unsigned maxSymbolValue,
                       unsigned tableLog);
// Reads a count header: norm[0..*maxSymbolValue] (lowered to the last symbol
// read), *tableLog; result the header length or an error.
size_t FSE_readNCount(int16_t* norm, unsigned* maxSymbolValue, unsigned* tableLog, const void* src,
                      size_t srcSize);

// Encoding table: state table and per-symbol transforms.
struct FseSymbolTransform {
  int32_t deltaFindState;
  uint32_t deltaNbBits;
};
struct FseCTable {
  uint16_t tableLog;
  uint16_t maxSymbolValue;
  uint16_t stateTable[1u << kFseMaxTableLog];
  FseSymbolTransform transforms[kFseMaxSymbolValue + 1];
};
size_t FSE_buildCTable(FseCTable* table, const int16_t* norm, unsigned maxSymbolValue, unsigned tableLog);
// The bit stream of src under `table`; its size, or 0 when it did not fit.
size_t FSE_compress_usingCTable(void* dst, size_t dstCapacity, const void* src, size_t srcSize,
                                const FseCTable* table);

// Decoding table: one cell per state.
struct FseDecodeCell {
  uint16_t newState;
  uint8_t symbol;
  uint8_t nbBits;
};
struct FseDTable {
  uint16_t tableLog;
  uint16_t fastMode;  // 1 when no symbol holds half the table or more
  FseDecodeCell cells[1u << kFseMaxTableLog];
};
size_t FSE_buildDTable(FseDTable* table, const int16_t* norm, unsigned maxSymbolValue, unsigned tableLog);
size_t FSE_decompress_usingDTable(void* dst, size_t dstCapacity, const void* src, size_t srcSize,
                                  const FseDTable* table);
