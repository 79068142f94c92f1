// The two instruction-set variants of the GIF writer's palette split and
// colour mapping (the median split of GifMakePalette, the nearest-colour
// mapping and the error diffusion of GifWriterAddFrame). Both variants give
// the same palette and the same frame bytes; the writer chooses one with
// UseAvx2FmaKernels().
#pragma once

#include <cstddef>
#include <cstdint>

#include "encoders/gif_writer.h"

// Eight candidate colours of a colour cell, in lanes (see GifMapperSpace).
struct alignas(16) GifCandidateGroup {
  int16_t red[8];
  int16_t green[8];
  int16_t blue[8];
  uint8_t index[8];
};

// Working space of the nearest-colour mapping, taken by the caller per frame
// (the mapping itself allocates nothing). The colour space, 0..511 per
// component, is cut into coarse cells of 32 per side and fine cells of 16 per
// side; a cell, when first met, lists the palette colours that can be nearest
// to some point in it. The coarse lists and the fine cells' candidate groups
// are handed out in order; once either runs short, fine cells met later use
// the tree search, with the same result.
struct GifMapperSpace {
  static constexpr uint32_t kCoarseCells = 1u << 12;
  static constexpr uint32_t kFineCells = 1u << 15;
  uint32_t* coarseCells = nullptr;  // kCoarseCells
  uint32_t* fineCells = nullptr;    // kFineCells
  uint8_t* coarseLists = nullptr;   // coarseCapacity palette indices
  uint32_t coarseCapacity = 0;
  GifCandidateGroup* groups = nullptr;  // groupCapacity groups
  uint32_t groupCapacity = 0;
};

namespace kernels_avx2 {
bool MakeGifPalette(const uint8_t* previous, const uint8_t* rgbaFrame, size_t pixelCount, int32_t bitDepth,
                    bool forDither, uint32_t* scratch, GifPaletteTree& tree);
void MapGifFrame(const uint8_t* previous, const uint8_t* rgbaFrame, uint8_t* out, size_t pixelCount,
                 const GifPaletteTree& tree, bool leavesOnTheirSides, GifMapperSpace& space);
void DitherGifFrame(const uint8_t* previous, const uint8_t* rgbaFrame, uint8_t* out, uint32_t width,
                    size_t pixelCount, const GifPaletteTree& tree, bool leavesOnTheirSides, int32_t* work,
                    GifMapperSpace& space);
}  // namespace kernels_avx2

namespace kernels_avx {
bool MakeGifPalette(const uint8_t* previous, const uint8_t* rgbaFrame, size_t pixelCount, int32_t bitDepth,
                    bool forDither, uint32_t* scratch, GifPaletteTree& tree);
void MapGifFrame(const uint8_t* previous, const uint8_t* rgbaFrame, uint8_t* out, size_t pixelCount,
                 const GifPaletteTree& tree, bool leavesOnTheirSides, GifMapperSpace& space);
void DitherGifFrame(const uint8_t* previous, const uint8_t* rgbaFrame, uint8_t* out, uint32_t width,
                    size_t pixelCount, const GifPaletteTree& tree, bool leavesOnTheirSides, int32_t* work,
                    GifMapperSpace& space);
}  // namespace kernels_avx
