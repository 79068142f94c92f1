#include <gtest/gtest.h>

#include <xmmintrin.h>

#include "core/cpu_info.h"
#include "core/memory_info.h"
#include "core/parallel.h"
#include "solver/engine_state.h"

namespace {
CpuInfoProbe ProbeWithAllBits(const char* vendor) {
  CpuInfoProbe p;
  p.vendor = vendor;
  p.isIntel = p.vendor == "GenuineIntel";
  p.isAmd = p.vendor == "AuthenticAMD";
  p.leaf1Ecx = p.leaf1Edx = p.leaf7Ebx = p.leaf7Ecx = p.ext1Ecx = p.ext1Edx = 0xFFFFFFFFu;
  return p;
}
bool Present(const CpuInfoProbe& p, const std::string& name) {
  for (const CpuFeature& f : kCpuFeatures)
    if (name == f.name) return CpuFeaturePresent(p, f);
  ADD_FAILURE() << "no feature " << name;
  return false;
}
}  // namespace

TEST(CpuFeatures, VendorBoundFeatures) {
  const CpuInfoProbe amd = ProbeWithAllBits("AuthenticAMD");
  const CpuInfoProbe intel = ProbeWithAllBits("GenuineIntel");
  for (const char* name : {"HLE", "LZCNT", "RDTSCP", "RTM", "SYSCALL"}) {
    EXPECT_FALSE(Present(amd, name)) << name;
    EXPECT_TRUE(Present(intel, name)) << name;
  }
  for (const char* name : {"3DNOW", "3DNOWEXT", "ABM", "MMXEXT", "SSE4a", "TBM", "XOP"}) {
    EXPECT_TRUE(Present(amd, name)) << name;
    EXPECT_FALSE(Present(intel, name)) << name;
  }
  EXPECT_TRUE(Present(amd, "AVX"));
}

TEST(CpuFeatures, ListLayout) {
  CpuInfoProbe none;
  none.vendor = "GenuineIntel";
  none.isIntel = true;
  none.leaf1Ecx = 1u << 28;  // AVX only
  const std::string text = FormatCpuFeatures(none);
  std::vector<std::string> rows;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    rows.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  const size_t cells[] = {8, 8, 8, 8, 8, 7, 4};
  ASSERT_EQ(rows.size(), 7u);
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(rows[i].size(), cells[i] * 17) << "row " << i;
  EXPECT_EQ(rows[0].substr(0, 17), "[ ] 3DNOW        ");
  EXPECT_EQ(rows[0].substr(5 * 17, 17), "[x] AVX          ");
  EXPECT_EQ(rows[6].substr(3 * 17), "[ ] XSAVE        ");
}

TEST(CpuFeatures, ProbeAgreesWithTheCompiler) {
  // The build machine runs the tests, so the probe must see what the
  // compiler's own detection sees.
  __builtin_cpu_init();
  EXPECT_EQ(CpuHasAvx(), __builtin_cpu_supports("avx") != 0);
  EXPECT_EQ(CpuHasAvx2(), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(CpuProbe().vendor.size(), 12u);
}

TEST(KernelVariants, BaselineSwitch) {
  const uint32_t before = KernelFeatureWord();
  ForceBaselineKernels(true);
  EXPECT_FALSE(UseAvx2FmaKernels());
  ForceBaselineKernels(false);
  EXPECT_EQ(UseAvx2FmaKernels(), CpuSupportsAvx2Fma());
  // Leave the switch as the test run set it.
  ForceBaselineKernels((before & kKernelFeatureAvx2Fma) == 0);
  EXPECT_EQ(KernelFeatureWord(), before);
}

TEST(FloatingPointMode, WorkerThreadsFlushDenormals) {
  _mm_setcsr(_mm_getcsr() | 0x8040);  // what start-up does on the main thread
  libsubgame_init(0);
  int bad = 0;
#pragma omp parallel num_threads(4) reduction(+ : bad)
  {
    if ((_mm_getcsr() & 0x8040) != 0x8040) ++bad;
    volatile float tiny = 1e-38f;
    volatile float product = tiny * 1e-3f;  // a denormal result flushes to zero
    if (product != 0.0f) ++bad;
  }
  EXPECT_EQ(bad, 0);
}

TEST(MemInfo, ParsesBuffersAndCachedOnly) {
  uint64_t buffers = 7, cached = 9;
  ParseMemInfo("MemTotal:       1000 kB\nBuffers:          123 kB\nCached:   456 kB\nSwapCached: 5 kB\n",
               buffers, cached);
  EXPECT_EQ(buffers, 123u);
  EXPECT_EQ(cached, 456u);
  buffers = 7;
  cached = 9;
  ParseMemInfo("MemFree: 1 kB\nNoColonHere\n", buffers, cached);
  EXPECT_EQ(buffers, 7u);
  EXPECT_EQ(cached, 9u);
  ParseMemInfo("", buffers, cached);
  EXPECT_EQ(buffers, 7u);
}

TEST(MemInfo, AvailableMemoryIsPlausible) {
  const uint64_t total = TotalPhysicalMemory();
  const uint64_t available = AvailablePhysicalMemory();
  EXPECT_GT(total, 0u);
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, total + (total >> 2));
}
