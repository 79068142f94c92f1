#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/cpu_info.h"
#include "encoders/gif_kernels_variants.h"
#include "encoders/gif_writer.h"
#include "encoder_test_helpers.h"

namespace {

using Frame = std::vector<uint8_t>;

// A smooth gradient with noise: many colours, few of them repeated.
Frame ManyColourFrame(uint32_t width, uint32_t height, uint32_t seed) {
  std::mt19937 rng(seed);
  Frame frame(size_t(width) * height * 4);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = &frame[(size_t(y) * width + x) * 4];
      p[0] = static_cast<uint8_t>(x * 255 / width);
      p[1] = static_cast<uint8_t>(y * 255 / height);
      p[2] = static_cast<uint8_t>(rng() & 0x7F);
      p[3] = static_cast<uint8_t>(rng());  // alpha plays no part
    }
  return frame;
}

Frame NoiseFrame(uint32_t width, uint32_t height, uint32_t seed) {
  std::mt19937 rng(seed);
  Frame frame(size_t(width) * height * 4);
  for (uint8_t& byte : frame) byte = static_cast<uint8_t>(rng());
  return frame;
}

Frame SolidFrame(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b) {
  Frame frame(size_t(width) * height * 4);
  for (size_t i = 0; i < frame.size(); i += 4) {
    frame[i] = r;
    frame[i + 1] = g;
    frame[i + 2] = b;
    frame[i + 3] = 255;
  }
  return frame;
}

// The writer's frame buffer split into colours (RGB bytes) and indices.
struct Stored {
  std::string rgb;
  std::string indices;
};

Stored StoredFrame(const GifWriterState& writer) {
  Stored stored;
  const size_t pixels = size_t(writer.width) * writer.height;
  for (size_t i = 0; i < pixels; ++i) {
    stored.rgb.append(reinterpret_cast<const char*>(writer.frame + 4 * i), 3);
    stored.indices.push_back(static_cast<char>(writer.frame[4 * i + 3]));
  }
  return stored;
}

// What the independent decoder (Pillow) reads from a file: frame count,
// size, loop count (-1 without the looping block), the palette indices of
// frame 0 and the composited RGB of every frame.
struct Decoded {
  int frames = 0, width = 0, height = 0, loop = -2;
  std::string indices;
  std::vector<std::string> rgb;
};

const char kDecoderScript[] = R"(import sys
from PIL import Image
for path in sys.argv[1:]:
    im = Image.open(path)
    print("file", path)
    print("frames", im.n_frames)
    print("size", im.size[0], im.size[1])
    print("loop", im.info.get("loop", -1))
    for k in range(im.n_frames):
        im.seek(k)
        if k == 0:
            print("indices", bytes(im.getdata()).hex())
        print("rgb", im.convert("RGB").tobytes().hex())
)";

std::string FromHex(const std::string& hex) {
  std::string bytes(hex.size() / 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return bytes;
}

class GifWriter : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  std::string Path(const std::string& name) const { return dir_.File(name); }

  // Decodes the files with Pillow. Fails (never skips) when python3 with
  // PIL is missing: the CI machine installs python3-pil.
  ::testing::AssertionResult Decode(const std::vector<std::string>& paths, std::vector<Decoded>& out) {
    const std::string script = Path("decode.py");
    if (!WriteFile(script, kDecoderScript)) return ::testing::AssertionFailure() << "cannot write " << script;
    const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    std::string command = python + " " + script;
    for (const std::string& path : paths) command += " " + path;
    int status = 0;
    std::istringstream lines(CommandOutput(command + " 2>&1", status));
    if (status != 0)
      return ::testing::AssertionFailure() << "the GIF decoder (python3 with PIL, Debian package python3-pil) "
                                              "failed:\n"
                                           << lines.str().substr(0, 2000);
    out.clear();
    for (std::string key; lines >> key;) {
      if (key == "file") {
        out.emplace_back();
        lines >> key;
      } else if (out.empty()) {
        return ::testing::AssertionFailure() << "unexpected decoder output";
      } else if (key == "frames") {
        lines >> out.back().frames;
      } else if (key == "size") {
        lines >> out.back().width >> out.back().height;
      } else if (key == "loop") {
        lines >> out.back().loop;
      } else if (key == "indices" || key == "rgb") {
        std::string hex;
        lines >> hex;
        if (key == "indices") out.back().indices = FromHex(hex);
        if (key == "rgb") out.back().rgb.push_back(FromHex(hex));
      }
    }
    if (out.size() != paths.size()) return ::testing::AssertionFailure() << "decoder output incomplete";
    return ::testing::AssertionSuccess();
  }

  Decoded DecodeOne(const std::string& path) {
    std::vector<Decoded> decoded;
    EXPECT_TRUE(Decode({path}, decoded));
    return decoded.empty() ? Decoded() : decoded[0];
  }

  TempDir dir_{"pfsolve_gif"};
};

TEST_F(GifWriter, FileStartLoopBlockAndTrailer) {
  GifWriterState writer;
  ASSERT_TRUE(GifWriterOpen(writer, Path("still.gif").c_str(), 300, 2, 0));
  ASSERT_TRUE(GifWriterClose(writer));
  const std::string still = ReadFile(Path("still.gif"));
  ASSERT_EQ(still.size(), 20u);  // header and trailer
  EXPECT_EQ(still.substr(0, 6), "GIF89a");
  EXPECT_EQ(still.substr(6, 4), std::string("\x2C\x01\x02\x00", 4));  // 300 x 2, little-endian
  EXPECT_EQ(uint8_t(still[10]), 0xF0);
  EXPECT_EQ(uint8_t(still.back()), 0x3B);

  ASSERT_TRUE(GifWriterOpen(writer, Path("looping.gif").c_str(), 300, 2, 7));
  ASSERT_TRUE(GifWriterClose(writer));
  const std::string looping = ReadFile(Path("looping.gif"));
  ASSERT_EQ(looping.size(), 39u);
  EXPECT_EQ(looping.substr(0, 19), still.substr(0, 19));
  EXPECT_EQ(looping.substr(19, 14), std::string("\x21\xFF\x0BNETSCAPE2.0"));
  EXPECT_EQ(uint8_t(looping.back()), 0x3B);
}

// Frame 0 of a file decodes to the writer's own frame buffer, index for
// index and colour for colour, at every bit depth, plain and dithered; the
// first frame has no transparent pixels.
TEST_F(GifWriter, FirstFrameDecodesToTheWritersBufferAtEveryDepth) {
  std::vector<std::string> paths;
  std::vector<Stored> stored;
  const std::vector<uint32_t> widths = {61, 1, 2};  // narrow frames carry the diffused error across rows
  for (int32_t depth = 1; depth <= 8; ++depth)
    for (bool dither : {false, true}) {
      const uint32_t width = widths[size_t(depth) % widths.size()], height = 37;
      const std::string path = Path("depth" + std::to_string(depth) + (dither ? "d" : "") + ".gif");
      GifWriterState writer;
      ASSERT_TRUE(GifWriterOpen(writer, path.c_str(), width, height, 4));
      ASSERT_TRUE(GifWriterAddFrame(writer, ManyColourFrame(width, height, depth).data(), width, height, 4, depth,
                                    dither));
      stored.push_back(StoredFrame(writer));
      ASSERT_TRUE(GifWriterClose(writer));
      paths.push_back(path);
      const std::string& indices = stored.back().indices;
      EXPECT_EQ(std::count(indices.begin(), indices.end(), '\0'), 0) << path;
      EXPECT_LT(uint8_t(*std::max_element(indices.begin(), indices.end())), 1u << depth) << path;
    }
  std::vector<Decoded> decoded;
  ASSERT_TRUE(Decode(paths, decoded));
  for (size_t k = 0; k < paths.size(); ++k) {
    SCOPED_TRACE(paths[k]);
    EXPECT_EQ(decoded[k].frames, 1);
    EXPECT_EQ(decoded[k].loop, 0);
    EXPECT_EQ(decoded[k].indices, stored[k].indices);
    ASSERT_EQ(decoded[k].rgb.size(), 1u);
    EXPECT_EQ(decoded[k].rgb[0], stored[k].rgb);
  }
}

// A noise frame at bit depth 8 needs far more than 4095 codes, so the
// dictionary restarts many times and the code size grows to 12 bits.
TEST_F(GifWriter, LongFrameDecodesAcrossDictionaryRestarts) {
  const uint32_t width = 256, height = 200;
  GifWriterState writer;
  ASSERT_TRUE(GifWriterOpen(writer, Path("noise.gif").c_str(), width, height, 0));
  ASSERT_TRUE(GifWriterAddFrame(writer, NoiseFrame(width, height, 5).data(), width, height, 0, 8, false));
  const Stored stored = StoredFrame(writer);
  ASSERT_TRUE(GifWriterClose(writer));
  // More than 4096 codes of at most 12 bits take more than 6144 bytes.
  EXPECT_GT(ReadFile(Path("noise.gif")).size(), 19u + 18u + 768u + 1u + 6144u + 6144u / 255u);
  const Decoded decoded = DecodeOne(Path("noise.gif"));
  EXPECT_EQ(decoded.frames, 1);
  EXPECT_EQ(decoded.width, int(width));
  EXPECT_EQ(decoded.height, int(height));
  EXPECT_EQ(decoded.loop, -1);
  EXPECT_EQ(decoded.indices, stored.indices);
}

// One colour is reproduced exactly (with an index of 1 or above); added
// again, every pixel is transparent and the picture stays the same.
TEST_F(GifWriter, SingleColourFrameIsExactAndRepeatsTransparent) {
  const uint32_t width = 40, height = 30;
  const Frame solid = SolidFrame(width, height, 37, 201, 90);
  GifWriterState writer;
  ASSERT_TRUE(GifWriterOpen(writer, Path("solid.gif").c_str(), width, height, 0));
  ASSERT_TRUE(GifWriterAddFrame(writer, solid.data(), width, height, 10, 8, false));
  const Stored first = StoredFrame(writer);
  ASSERT_TRUE(GifWriterAddFrame(writer, solid.data(), width, height, 10, 8, false));
  const Stored second = StoredFrame(writer);
  ASSERT_TRUE(GifWriterClose(writer));

  std::string colour;
  for (uint32_t i = 0; i < width * height; ++i) colour += "\x25\xC9\x5A";
  EXPECT_EQ(first.rgb, colour);
  EXPECT_GE(uint8_t(first.indices[0]), 1u);
  EXPECT_EQ(first.indices, std::string(first.indices.size(), first.indices[0]));
  EXPECT_EQ(second.indices, std::string(width * height, '\0'));

  const Decoded decoded = DecodeOne(Path("solid.gif"));
  EXPECT_EQ(decoded.frames, 2);
  ASSERT_EQ(decoded.rgb.size(), 2u);
  EXPECT_EQ(decoded.rgb[0], colour);
  EXPECT_EQ(decoded.rgb[1], colour);
}

// Later frames: a pixel is transparent exactly where the new colour equals
// the colour already shown, and the decoder's composite of every frame is
// the writer's buffer (plain and dithered, repeated and partly changed).
TEST_F(GifWriter, LaterFramesPaintOnlyWhatChanged) {
  const uint32_t width = 48, height = 33;
  // Left half many colours, right half three stripes of one colour each.
  Frame base = ManyColourFrame(width, height, 3);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = width / 2; x < width; ++x) {
      const uint8_t shade = static_cast<uint8_t>(60 + 70 * (y * 3 / height));
      std::fill_n(base.begin() + 4 * (size_t(y) * width + x), 3, shade);
    }
  Frame changed = base;
  for (size_t i = 0; i < changed.size(); i += 4 * 5) changed[i] ^= 0x40;  // every fifth pixel
  std::vector<std::string> paths;
  std::vector<std::vector<Stored>> stored;
  for (bool dither : {false, true}) {
    paths.push_back(Path(dither ? "later_d.gif" : "later.gif"));
    stored.emplace_back();
    GifWriterState writer;
    ASSERT_TRUE(GifWriterOpen(writer, paths.back().c_str(), width, height, 2));
    for (const Frame* frame : std::vector<const Frame*>{&base, &base, &changed}) {
      ASSERT_TRUE(GifWriterAddFrame(writer, frame->data(), width, height, 2, 4, dither));
      stored.back().push_back(StoredFrame(writer));
      if (stored.back().size() == 1 || dither) continue;
      // Without dither the frame's own colours are compared with those shown.
      const std::string& shown = stored.back()[stored.back().size() - 2].rgb;
      for (uint32_t i = 0; i < width * height; ++i) {
        const bool unchanged = std::equal(frame->begin() + 4 * i, frame->begin() + 4 * i + 3,
                                          reinterpret_cast<const uint8_t*>(shown.data()) + 3 * i);
        ASSERT_EQ(stored.back().back().indices[i] == '\0', unchanged) << "pixel " << i;
      }
    }
    ASSERT_TRUE(GifWriterClose(writer));
  }
  // The repeated frame leaves pixels transparent only where the 16-colour
  // palette was exact: some of them, not all.
  const std::string& repeated = stored[0][1].indices;
  EXPECT_GT(std::count(repeated.begin(), repeated.end(), '\0'), 0);
  EXPECT_LT(std::count(repeated.begin(), repeated.end(), '\0'), int(repeated.size()));

  std::vector<Decoded> decoded;
  ASSERT_TRUE(Decode(paths, decoded));
  for (size_t k = 0; k < paths.size(); ++k) {
    SCOPED_TRACE(paths[k]);
    EXPECT_EQ(decoded[k].frames, 3);
    ASSERT_EQ(decoded[k].rgb.size(), 3u);
    for (size_t f = 0; f < 3; ++f) EXPECT_EQ(decoded[k].rgb[f], stored[k][f].rgb) << "frame " << f;
  }
}

TEST_F(GifWriter, RefusesBadSizesDepthsAndStates) {
  GifWriterState writer;
  for (const auto& size : std::vector<std::pair<uint32_t, uint32_t>>{{0, 5}, {5, 0}, {65536, 1}, {1, 65536}}) {
    EXPECT_FALSE(GifWriterOpen(writer, Path("bad.gif").c_str(), size.first, size.second, 0));
    EXPECT_EQ(writer.file, nullptr);
  }
  EXPECT_NE(access(Path("bad.gif").c_str(), F_OK), 0) << "a refused open creates no file";
  EXPECT_FALSE(GifWriterOpen(writer, Path("no/such/dir.gif").c_str(), 5, 5, 0));

  const Frame frame = ManyColourFrame(9, 7, 1);
  EXPECT_FALSE(GifWriterAddFrame(writer, frame.data(), 9, 7, 0, 8, false)) << "closed writer";
  EXPECT_FALSE(GifWriterClose(writer)) << "closed writer";

  ASSERT_TRUE(GifWriterOpen(writer, Path("good.gif").c_str(), 9, 7, 0));
  EXPECT_FALSE(GifWriterOpen(writer, Path("other.gif").c_str(), 9, 7, 0)) << "already open";
  EXPECT_FALSE(GifWriterAddFrame(writer, frame.data(), 7, 9, 0, 8, false));
  EXPECT_FALSE(GifWriterAddFrame(writer, frame.data(), 9, 6, 0, 8, false));
  EXPECT_FALSE(GifWriterAddFrame(writer, frame.data(), 9, 7, 0, 0, false));
  EXPECT_FALSE(GifWriterAddFrame(writer, frame.data(), 9, 7, 0, 9, true));
  EXPECT_FALSE(GifWriterAddFrame(writer, nullptr, 9, 7, 0, 8, false));
  ASSERT_TRUE(GifWriterAddFrame(writer, frame.data(), 9, 7, 0, 8, false));
  ASSERT_TRUE(GifWriterClose(writer));
  EXPECT_FALSE(GifWriterAddFrame(writer, frame.data(), 9, 7, 0, 8, false)) << "closed again";
  EXPECT_FALSE(GifWriterClose(writer)) << "second close";

  // The refused frames left no trace: the file holds the one good frame.
  const Decoded decoded = DecodeOne(Path("good.gif"));
  EXPECT_EQ(decoded.frames, 1);
  EXPECT_EQ(decoded.width, 9);
  EXPECT_EQ(decoded.height, 7);
}

// A file whose writes fail is never reported as written.
TEST_F(GifWriter, WriteFailureIsReported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  const Frame frame = NoiseFrame(128, 128, 2);  // more than the stream's buffer
  GifWriterState writer;
  ASSERT_TRUE(GifWriterOpen(writer, "/dev/full", 128, 128, 0));
  EXPECT_FALSE(GifWriterAddFrame(writer, frame.data(), 128, 128, 0, 8, false));
  EXPECT_FALSE(GifWriterClose(writer));
  EXPECT_EQ(writer.file, nullptr);

  // Even when everything fits in the stream's buffer, the failure shows at
  // the close.
  ASSERT_TRUE(GifWriterOpen(writer, "/dev/full", 2, 2, 0));
  EXPECT_FALSE(GifWriterClose(writer));
}


// The median split written plainly, step for step (a swap per taken pixel,
// recursion as the palette is defined), to check the writer's own.
struct PlainSplit {
  GifPaletteTree& tree;
  bool forDither;

  static int Value(const uint8_t* pixel, int component) { return pixel[component]; }

  static void Swap(uint8_t* a, uint8_t* b) { std::swap_ranges(a, a + 4, b); }

  static size_t Partition(uint8_t* px, size_t left, size_t right, size_t pivotIndex, int component) {
    const int pivotValue = Value(px + 4 * pivotIndex, component);
    Swap(px + 4 * pivotIndex, px + 4 * (right - 1));
    size_t store = left;
    bool toggle = false;
    for (size_t i = left; i + 1 < right; ++i) {
      const int value = Value(px + 4 * i, component);
      if (value < pivotValue || (value == pivotValue && toggle)) Swap(px + 4 * i, px + 4 * store++);
      if (value == pivotValue) toggle = !toggle;
    }
    Swap(px + 4 * store, px + 4 * (right - 1));
    return store;
  }

  void Split(uint8_t* px, size_t count, int first, int last, int split, int distance, int node) {
    if (last <= first || count == 0) return;
    uint8_t* colour[3] = {tree.red, tree.green, tree.blue};
    if (last == first + 1) {
      for (int c = 0; c < 3; ++c) {
        int low = 255, high = 0;
        uint64_t sum = 0;
        for (size_t i = 0; i < count; ++i) {
          low = std::min(low, Value(px + 4 * i, c));
          high = std::max(high, Value(px + 4 * i, c));
          sum += Value(px + 4 * i, c);
        }
        const bool darkest = forDither && first == 1, lightest = forDither && first == (1 << tree.bitDepth) - 1;
        colour[c][first] = uint8_t(darkest ? low : lightest ? high : (sum + count / 2) / count);
      }
      return;
    }
    int range[3];
    for (int c = 0; c < 3; ++c) {
      int low = 255, high = 0;
      for (size_t i = 0; i < count; ++i) {
        low = std::min(low, Value(px + 4 * i, c));
        high = std::max(high, Value(px + 4 * i, c));
      }
      range[c] = high - low;
    }
    int component = range[2] > range[1] ? 2 : 1;
    if (range[0] > range[1] && range[0] > range[2]) component = 0;
    const size_t countA = count * size_t(split - first) / size_t(last - first);
    for (size_t left = 0, right = count; left + 1 < right;) {
      const size_t position = Partition(px, left, right, left + (right - left) / 2, component);
      if (position == countA) break;
      (position > countA ? right : left) = position > countA ? position : position + 1;
    }
    tree.splitComponent[node] = uint8_t(component);
    tree.splitValue[node] = px[4 * countA + component];
    Split(px, countA, first, split, split - distance, distance / 2, 2 * node);
    Split(px + 4 * countA, count - countA, split, last, split + distance, distance / 2, 2 * node + 1);
  }
};

GifPaletteTree PlainPalette(const Frame& frame, const uint8_t* previous, int32_t depth, bool forDither) {
  GifPaletteTree tree;
  tree.bitDepth = depth;
  Frame pixels;
  for (size_t i = 0; i < frame.size(); i += 4)
    if (previous == nullptr || !std::equal(frame.begin() + i, frame.begin() + i + 3, previous + i))
      pixels.insert(pixels.end(), frame.begin() + i, frame.begin() + i + 4);
  PlainSplit split{tree, forDither};
  const int leaves = 1 << depth;
  split.Split(pixels.data(), pixels.size() / 4, 1, leaves, leaves / 2, leaves / 4, 1);
  tree.splitComponent[leaves / 2] = 0;
  tree.splitValue[leaves / 2] = 0;
  return tree;
}

::testing::AssertionResult SameTree(const GifPaletteTree& a, const GifPaletteTree& b) {
  if (a.bitDepth != b.bitDepth) return ::testing::AssertionFailure() << "bit depth";
  for (int i = 0; i < 256; ++i)
    if (a.red[i] != b.red[i] || a.green[i] != b.green[i] || a.blue[i] != b.blue[i] ||
        a.splitComponent[i] != b.splitComponent[i] || a.splitValue[i] != b.splitValue[i])
      return ::testing::AssertionFailure() << "entry or node " << i;
  return ::testing::AssertionSuccess();
}

// Frames of many kinds: noise, few colours with many repeats (ties in the
// selection), gradients; whole frames and changed pixels only.
TEST(GifPalette, MatchesThePlainMedianSplitAndNearestColour) {
  std::mt19937 rng(17);
  for (int trial = 0; trial < 120; ++trial) {
    const uint32_t width = 1 + rng() % 90, height = 1 + rng() % 70;
    const int32_t depth = 1 + trial % 8;
    Frame frame = trial % 3 == 0 ? NoiseFrame(width, height, trial) : ManyColourFrame(width, height, trial);
    if (trial % 3 == 2)
      for (uint8_t& byte : frame) byte &= 0xE0;  // a few distinct values, many equal ones
    Frame previous = ManyColourFrame(width, height, trial + 1000);
    for (size_t i = 0; i < previous.size(); i += 8)  // every second pixel unchanged
      std::copy(frame.begin() + i, frame.begin() + i + 4, previous.begin() + i);
    const bool forDither = trial % 2 == 1;
    for (const uint8_t* before : std::vector<const uint8_t*>{nullptr, previous.data()}) {
      SCOPED_TRACE("trial " + std::to_string(trial) + (before ? ", changed pixels" : ", whole frame"));
      GifPaletteTree tree;
      ASSERT_TRUE(GifMakePalette(before, frame.data(), uint64_t(width) * height, depth, forDither, tree));
      ASSERT_TRUE(SameTree(tree, PlainPalette(frame, before, depth, forDither)));
    }

    // The writer's plain mapping of a first frame: the tree's nearest colour.
    GifWriterState writer;
    ASSERT_TRUE(GifWriterOpen(writer, "/dev/null", width, height, 0));
    ASSERT_TRUE(GifWriterAddFrame(writer, frame.data(), width, height, 0, depth, false));
    GifPaletteTree tree;
    ASSERT_TRUE(GifMakePalette(nullptr, frame.data(), uint64_t(width) * height, depth, false, tree));
    for (uint32_t i = 0; i < width * height; ++i) {
      int32_t index = 1, distance = 1000000;
      GifNearestColor(tree, frame[4 * i], frame[4 * i + 1], frame[4 * i + 2], index, distance);
      ASSERT_EQ(writer.frame[4 * i + 3], index) << "trial " << trial << ", pixel " << i;
      ASSERT_EQ(writer.frame[4 * i], tree.red[index]);
    }
    GifWriterClose(writer);
  }
}

// Error diffusion written plainly, pixel by pixel, from the frame's palette
// and the tree search; the stored bytes it gives. Only pixels still to come
// take error (a one-pixel-wide frame's left-below position is the pixel
// itself).
std::string PlainDither(const Frame& frame, const uint8_t* previous, uint32_t width, const GifPaletteTree& tree) {
  const size_t count = frame.size() / 4;
  std::vector<int32_t> value(frame.begin(), frame.end());
  for (int32_t& v : value) v *= 256;
  const size_t offsets[4] = {1, width - 1u, width, width + 1u};
  const int32_t factors[4] = {7, 3, 5, 1};
  for (size_t k = 0; k < count; ++k) {
    int32_t* p = &value[4 * k];
    const int32_t wanted[3] = {(p[0] + 127) / 256, (p[1] + 127) / 256, (p[2] + 127) / 256};
    if (previous != nullptr && std::equal(wanted, wanted + 3, previous + 4 * k)) {
      std::copy(wanted, wanted + 3, p);
      p[3] = 0;
      continue;
    }
    int32_t index = 0, distance = 1000000;
    GifNearestColor(tree, wanted[0], wanted[1], wanted[2], index, distance);
    const int32_t colour[3] = {tree.red[index], tree.green[index], tree.blue[index]};
    int32_t error[3];
    for (int c = 0; c < 3; ++c) {
      error[c] = p[c] - 256 * colour[c];
      p[c] = colour[c];
    }
    p[3] = index;
    for (int n = 0; n < 4; ++n) {
      const size_t position = k + offsets[n];
      if (position <= k || position >= count) continue;
      for (int c = 0; c < 3; ++c) {
        int32_t& target = value[4 * position + c];
        target += std::max(-target, error[c] * factors[n] / 16);
      }
    }
  }
  std::string bytes;
  for (int32_t v : value) bytes.push_back(static_cast<char>(v & 0xFF));
  return bytes;
}

// The writer's dithered frames, first and later (with transparent pixels),
// are the plain error diffusion's, for narrow and wide frames, colours that
// run past the palette's ends and every bit depth.
TEST(GifDither, MatchesThePlainErrorDiffusion) {
  int trial = 0;
  for (uint32_t width : {1u, 2u, 3u, 61u, 200u})
    for (int32_t depth = 1; depth <= 8; ++depth) {
      ++trial;
      const uint32_t height = 6000 / width / 4 + 1;
      const Frame first = trial % 2 ? NoiseFrame(width, height, trial) : ManyColourFrame(width, height, trial);
      Frame second = first;
      for (size_t i = 0; i < second.size(); i += 4 * 3) second[i + 1] ^= 0x21;  // every third pixel changes
      GifWriterState writer;
      ASSERT_TRUE(GifWriterOpen(writer, "/dev/null", width, height, 0));
      Frame previous;
      for (const Frame* frame : {&first, static_cast<const Frame*>(&second)}) {
        SCOPED_TRACE("width " + std::to_string(width) + ", depth " + std::to_string(depth) +
                     (frame == &first ? ", first frame" : ", second frame"));
        GifPaletteTree tree;
        ASSERT_TRUE(GifMakePalette(nullptr, frame->data(), frame->size() / 4, depth, true, tree));
        const std::string expected = PlainDither(*frame, previous.empty() ? nullptr : previous.data(), width, tree);
        ASSERT_TRUE(GifWriterAddFrame(writer, frame->data(), width, height, 0, depth, true));
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(writer.frame), frame->size()), expected);
        previous.assign(writer.frame, writer.frame + frame->size());
      }
      GifWriterClose(writer);
    }
}

// The AVX2 variant and the AVX baseline write the same files, frame
// buffers and palette trees: small and large frames, many and few colours,
// plain and dithered, first and later frames.
TEST_F(GifWriter, BothVariantsWriteTheSameBytes) {
  struct Case {
    uint32_t width, height;
    int kind;  // 0 noise, 1 many colours, 2 few colours
  };
  const std::vector<Case> cases = {{1, 1, 0}, {1, 50, 1}, {7, 3, 2}, {64, 48, 0}, {300, 200, 1}, {257, 129, 2}};
  const std::string path = Path("variant.gif");
  const auto written = WithBothVariants([&] {
    std::vector<std::string> out;
    for (const Case& c : cases)
      for (int32_t depth : {1, 3, 8})
        for (bool dither : {false, true}) {
          Frame frame = c.kind == 0 ? NoiseFrame(c.width, c.height, depth) : ManyColourFrame(c.width, c.height, depth);
          if (c.kind == 2)
            for (uint8_t& byte : frame) byte &= 0xC0;
          GifWriterState writer;
          if (!GifWriterOpen(writer, path.c_str(), c.width, c.height, 5)) return out;
          std::string stored;
          for (int f = 0; f < 3; ++f) {
            if (f == 2)
              for (size_t i = 0; i < frame.size(); i += 4 * 7) frame[i] ^= 0x30;
            GifWriterAddFrame(writer, frame.data(), c.width, c.height, 5, depth, dither);
            stored.append(reinterpret_cast<const char*>(writer.frame), frame.size());
          }
          GifWriterClose(writer);
          GifPaletteTree tree;
          GifMakePalette(nullptr, frame.data(), frame.size() / 4, depth, dither, tree);
          const char* treeBytes = reinterpret_cast<const char*>(&tree);
          out.push_back(ReadFile(path) + stored + std::string(treeBytes, sizeof tree));
        }
    return out;
  });
  ASSERT_EQ(written.first.size(), cases.size() * 6);
  for (size_t k = 0; k < written.first.size(); ++k) EXPECT_TRUE(written.first[k] == written.second[k]) << "case " << k;
}

// The mapping's working space, with room for the given number of coarse
// list entries and candidate groups.
struct MappingSpace {
  MappingSpace(uint32_t listRoom, uint32_t groupRoom)
      : coarse(GifMapperSpace::kCoarseCells), fine(GifMapperSpace::kFineCells), lists(listRoom), groups(groupRoom) {
    space.coarseCells = coarse.data();
    space.fineCells = fine.data();
    space.coarseLists = lists.data();
    space.coarseCapacity = listRoom;
    space.groups = groups.data();
    space.groupCapacity = groupRoom;
  }
  std::vector<uint32_t> coarse, fine;
  std::vector<uint8_t> lists;
  std::vector<GifCandidateGroup> groups;
  GifMapperSpace space;
};

// When the cell lists run out of room, the cells met later use the tree
// search, and the frame comes out the same in both variants: the plain
// mapping is the tree's nearest colour, the dithered one the plain error
// diffusion.
TEST(GifMapping, FramesAreTheSameWhateverRoomTheCellListsHave) {
  struct Variant {
    const char* name;
    decltype(&kernels_avx::MakeGifPalette) palette;
    decltype(&kernels_avx::MapGifFrame) map;
    decltype(&kernels_avx::DitherGifFrame) dither;
  };
  std::vector<Variant> variants = {
      {"AVX", kernels_avx::MakeGifPalette, kernels_avx::MapGifFrame, kernels_avx::DitherGifFrame}};
  if (CpuSupportsAvx2Fma())
    variants.push_back({"AVX2", kernels_avx2::MakeGifPalette, kernels_avx2::MapGifFrame, kernels_avx2::DitherGifFrame});
  const uint32_t width = 160, height = 120;
  const size_t count = size_t(width) * height;
  const Frame frame = NoiseFrame(width, height, 8);
  const std::vector<std::pair<uint32_t, uint32_t>> rooms = {{1u << 16, 1u << 14}, {300, 1u << 14}, {1u << 16, 40}, {0, 0}};
  for (const Variant& variant : variants)
    for (bool dither : {false, true}) {
      SCOPED_TRACE(std::string(variant.name) + (dither ? ", dithered" : ", plain"));
      GifPaletteTree tree;
      std::vector<uint32_t> scratch(2 * count);
      ASSERT_TRUE(variant.palette(nullptr, frame.data(), count, 8, dither, scratch.data(), tree))
          << "every palette entry gets pixels, so the cells are used";
      std::string expected;
      if (dither) {
        expected = PlainDither(frame, nullptr, width, tree);
      } else {
        for (size_t i = 0; i < count; ++i) {
          int32_t index = 1, distance = 1000000;
          GifNearestColor(tree, frame[4 * i], frame[4 * i + 1], frame[4 * i + 2], index, distance);
          expected += std::string{char(tree.red[index]), char(tree.green[index]), char(tree.blue[index]), char(index)};
        }
      }
      for (const auto& room : rooms) {
        MappingSpace space(room.first, room.second);
        std::vector<uint8_t> out(4 * count);
        std::vector<int32_t> work(4 * count);
        if (dither) {
          variant.dither(nullptr, frame.data(), out.data(), width, count, tree, true, work.data(), space.space);
        } else {
          variant.map(nullptr, frame.data(), out.data(), count, tree, true, space.space);
        }
        EXPECT_TRUE(std::string(out.begin(), out.end()) == expected) << "room " << room.first << ", " << room.second;
      }
    }
}

// 4200 x 4100 pixels: the pixel count times the index span of the first
// split passes 2^31, which a 32-bit product would wrap.
TEST(GifPalette, LargeFrameSplitsWithoutOverflow) {
  const uint64_t pixels = 4200ull * 4100ull;
  Frame frame(pixels * 4);
  for (uint64_t i = 0; i < pixels; ++i) {
    const bool dark = i % 3 == 0;
    frame[4 * i] = dark ? 10 : 250;
    frame[4 * i + 1] = dark ? 20 : 240;
    frame[4 * i + 2] = dark ? 30 : 230;
  }
  GifPaletteTree tree;
  ASSERT_TRUE(GifMakePalette(nullptr, frame.data(), pixels, 8, false, tree));
  for (const uint8_t* colour : {frame.data(), frame.data() + 4}) {
    int32_t index = 1, distance = 1000000;
    GifNearestColor(tree, colour[0], colour[1], colour[2], index, distance);
    EXPECT_EQ(distance, 0);
    EXPECT_EQ(tree.red[index], colour[0]);
  }
}

}  // namespace
