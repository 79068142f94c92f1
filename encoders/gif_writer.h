// Writer of animated GIF89a files from 32-bit RGBA frames.
//
// Each frame gets its own palette of 2^bitDepth colours, built by recursive
// median splitting of the frame's colours; the splits form a k-d tree that
// also finds the nearest palette colour of a pixel. Frames are mapped to the
// palette directly or with Floyd-Steinberg error diffusion and LZW coded.
// Pixels whose colour did not change from the previous frame become the
// transparent index 0, so later frames only paint what changed.
//
// Usage: GifWriterOpen, then GifWriterAddFrame per frame, then GifWriterClose,
// which reports whether the whole file reached the disk.
#pragma once

#include <cstdint>
#include <cstdio>

struct GifWriterState {
  FILE* file = nullptr;  // null while closed
  // The previous frame as written, width x height pixels of 4 bytes: the
  // palette colour's red, green, blue, then its palette index.
  uint8_t* frame = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  bool firstFrame = true;
};

// A frame's palette and the k-d tree over it. Entry i of red/green/blue is
// palette index i; index 0 is the transparent colour, always black. Inner
// nodes 1 .. 2^bitDepth - 1 are heap ordered (children of node k at 2k and
// 2k + 1); node 2^bitDepth + i is the leaf of palette index i.
struct GifPaletteTree {
  int32_t bitDepth = 0;
  uint8_t red[256] = {};
  uint8_t green[256] = {};
  uint8_t blue[256] = {};
  uint8_t splitComponent[256] = {};  // 0 red, 1 green, 2 blue
  uint8_t splitValue[256] = {};
};

// Largest width or height a GIF can state.
constexpr uint32_t kGifMaxSide = 65535;

// Opens fileName for writing and writes the file header, with the block that
// makes the animation loop forever when delay is not 0. Returns false, with
// nothing opened or created, for a width or height of 0 or above 65535, and
// false when the file cannot be opened or the frame buffer not allocated. A
// writer that is already open is refused.
bool GifWriterOpen(GifWriterState& writer, const char* fileName, uint32_t width, uint32_t height,
                   uint16_t delay);

// Adds one frame of width x height RGBA pixels (alpha ignored) shown for
// delay hundredths of a second. Returns false, writing nothing, when the
// writer is closed, the size differs from the one given at open or bitDepth
// is outside 1..8; also false when memory for the frame's working buffers
// runs out or the file reports a write error.
bool GifWriterAddFrame(GifWriterState& writer, const uint8_t* rgbaFrame, uint32_t width, uint32_t height,
                       uint16_t delay, int32_t bitDepth, bool dither);

// Writes the trailer byte, closes the file and frees the frame buffer.
// Returns false when the writer was not open, and false when any write to
// the file or its closing failed (the file is then incomplete).
bool GifWriterClose(GifWriterState& writer);

// Builds the palette tree of pixelCount RGBA pixels. With `previous` given,
// only the pixels whose red, green and blue differ from it take part.
// forDither gives palette index 1 the darkest and the last index the
// lightest components of the frame, so error diffusion can reach them.
// Returns false when the scratch copy cannot be allocated.
bool GifMakePalette(const uint8_t* previous, const uint8_t* rgbaFrame, uint64_t pixelCount, int32_t bitDepth,
                    bool forDither, GifPaletteTree& tree);

// Nearest palette colour to (r, g, b) by the sum of absolute differences,
// never index 0: searches the tree from `node`, replacing bestIndex and
// bestDistance when a strictly closer colour is found.
void GifNearestColor(const GifPaletteTree& tree, int32_t r, int32_t g, int32_t b, int32_t& bestIndex,
                     int32_t& bestDistance, int32_t node = 1);
