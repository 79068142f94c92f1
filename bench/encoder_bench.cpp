// Times the auxiliary encoders on one core and prints one line each: the
// SHA-1 digest's throughput over a 64 MiB message, and the time to add one
// 512x512 frame at 8 bits to a GIF (a smooth gradient with noise, plain and
// dithered, and pure noise; each the median of several frames), in the
// kernel variant the processor selects (or the AVX baseline with
// --baseline).
// Usage: encoder_bench [--baseline]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/cpu_info.h"
#include "encoders/gif_writer.h"
#include "encoders/sha1.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Best of several digests of the same message, in MB/s (10^6 bytes).
double Sha1MegabytesPerSecond() {
  std::string message(64u << 20, '\0');
  std::mt19937_64 rng(11);
  for (size_t i = 0; i + 8 <= message.size(); i += 8) {
    const uint64_t word = rng();
    for (int j = 0; j < 8; ++j) message[i + j] = static_cast<char>(word >> (8 * j));
  }
  Sha1 digest;
  double best = 1e30;
  std::string text;
  for (int run = 0; run < 5; ++run) {
    const auto start = Clock::now();
    digest.update(message);
    text = digest.final();
    best = std::min(best, Seconds(start, Clock::now()));
  }
  if (text.size() != 40) std::printf("sha1: unexpected digest %s\n", text.c_str());
  return message.size() / best / 1e6;
}

enum class Picture { kGradientNoise, kNoise };

// A 512x512 frame; `seed` varies the noise so every frame differs.
std::vector<uint8_t> MakeFrame(Picture picture, uint32_t size, uint32_t seed) {
  std::vector<uint8_t> frame(size_t(size) * size * 4);
  std::mt19937 rng(seed);
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) {
      uint8_t* p = &frame[(size_t(y) * size + x) * 4];
      const uint32_t noise = rng();
      if (picture == Picture::kNoise) {
        p[0] = static_cast<uint8_t>(noise);
        p[1] = static_cast<uint8_t>(noise >> 8);
        p[2] = static_cast<uint8_t>(noise >> 16);
      } else {
        p[0] = static_cast<uint8_t>(x * 255 / size);
        p[1] = static_cast<uint8_t>(y * 255 / size);
        p[2] = static_cast<uint8_t>(((x + y) * 127 / size + (noise & 31)) & 0xFF);
      }
      p[3] = 255;
    }
  return frame;
}

// Median milliseconds of one AddFrame call over several different frames.
double FrameMilliseconds(Picture picture, bool dither) {
  constexpr uint32_t kSize = 512;
  constexpr int kFrames = 9;
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < kFrames; ++i) frames.push_back(MakeFrame(picture, kSize, 100 + i));
  GifWriterState writer;
  if (!GifWriterOpen(writer, "/dev/null", kSize, kSize, 10)) return -1.0;
  std::vector<double> times;
  for (const auto& frame : frames) {
    const auto start = Clock::now();
    const bool ok = GifWriterAddFrame(writer, frame.data(), kSize, kSize, 10, 8, dither);
    times.push_back(Seconds(start, Clock::now()) * 1e3);
    if (!ok) return -1.0;
  }
  GifWriterClose(writer);
  return Median(times);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--baseline") != 0) {
      std::fprintf(stderr, "usage: encoder_bench [--baseline]\n");
      return 2;
    }
    ForceBaselineKernels(true);
  }
  std::printf("kernels: %s\n", UseAvx2FmaKernels() ? "AVX2" : "AVX baseline");
  std::printf("sha1: %.0f MB/s on one core (64 MiB message)\n", Sha1MegabytesPerSecond());
  std::printf("gif: 512x512 frame at 8 bits: %.2f ms gradient with noise, %.2f ms dithered, %.2f ms pure noise\n",
              FrameMilliseconds(Picture::kGradientNoise, false), FrameMilliseconds(Picture::kGradientNoise, true),
              FrameMilliseconds(Picture::kNoise, false));
  return 0;
}
