#include "core/cpu_info.h"

#include <atomic>
#include <cpuid.h>
#include <cstdio>

#include "core/output.h"

namespace {

CpuidRegisters Cpuid(uint32_t leaf, uint32_t subleaf) {
  CpuidRegisters r{0, 0, 0, 0};
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
}

std::string Trim(const std::string& text) {
  size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  size_t e = text.find_last_not_of(' ');
  return text.substr(b, e - b + 1);
}

const CpuInfoProbe g_probe = ProbeCpu();

}  // namespace

CpuInfoProbe ProbeCpu() {
  CpuInfoProbe p;
  CpuidRegisters r0 = Cpuid(0, 0);
  p.highestLeaf = static_cast<int>(r0.eax);
  for (uint32_t leaf = 0; leaf <= static_cast<uint32_t>(p.highestLeaf); ++leaf)
    p.standardLeaves.push_back(Cpuid(leaf, 0));
  char vendor[13];
  const uint32_t words[3] = {r0.ebx, r0.edx, r0.ecx};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) vendor[4 * i + j] = static_cast<char>(words[i] >> (8 * j));
  vendor[12] = '\0';
  p.vendor.assign(vendor, 12);
  p.isIntel = p.vendor == "GenuineIntel";
  p.isAmd = p.vendor == "AuthenticAMD";
  if (p.highestLeaf >= 1) {
    p.leaf1Ecx = p.standardLeaves[1].ecx;
    p.leaf1Edx = p.standardLeaves[1].edx;
  }
  if (p.highestLeaf >= 7) {
    p.leaf7Ebx = p.standardLeaves[7].ebx;
    p.leaf7Ecx = p.standardLeaves[7].ecx;
  }
  CpuidRegisters e0 = Cpuid(0x80000000u, 0);
  p.highestExtendedLeaf = static_cast<int>(e0.eax);
  const uint32_t highestExt = e0.eax;
  if (highestExt >= 0x80000000u && highestExt < 0x80000100u) {
    for (uint32_t leaf = 0x80000000u; leaf <= highestExt; ++leaf)
      p.extendedLeaves.push_back(Cpuid(leaf, 0));
    if (highestExt >= 0x80000001u) {
      p.ext1Ecx = p.extendedLeaves[1].ecx;
      p.ext1Edx = p.extendedLeaves[1].edx;
    }
    if (highestExt >= 0x80000004u) {
      char brand[49];
      for (int i = 0; i < 3; ++i) {
        const CpuidRegisters& r = p.extendedLeaves[2 + i];
        const uint32_t regs[4] = {r.eax, r.ebx, r.ecx, r.edx};
        for (int k = 0; k < 4; ++k)
          for (int j = 0; j < 4; ++j) brand[16 * i + 4 * k + j] = static_cast<char>(regs[k] >> (8 * j));
      }
      brand[48] = '\0';
      p.brand = brand;  // up to the first NUL
    }
  }
  return p;
}

const CpuInfoProbe& CpuProbe() { return g_probe; }

bool CpuHasAvx() { return (g_probe.leaf1Ecx >> 28) & 1; }
bool CpuHasAvx2() { return (g_probe.leaf7Ebx >> 5) & 1; }

const CpuFeature kCpuFeatures[51] = {
    {"3DNOW", 0x80000001u, 'd', 31, 'A'},   {"3DNOWEXT", 0x80000001u, 'd', 30, 'A'},
    {"ABM", 0x80000001u, 'c', 5, 'A'},      {"ADX", 7, 'b', 19, 0},
    {"AES", 1, 'c', 25, 0},                 {"AVX", 1, 'c', 28, 0},
    {"AVX2", 7, 'b', 5, 0},                 {"AVX512CD", 7, 'b', 28, 0},
    {"AVX512ER", 7, 'b', 27, 0},            {"AVX512F", 7, 'b', 16, 0},
    {"AVX512PF", 7, 'b', 26, 0},            {"BMI1", 7, 'b', 3, 0},
    {"BMI2", 7, 'b', 8, 0},                 {"CLFSH", 1, 'd', 19, 0},
    {"CMPXCHG16B", 1, 'c', 13, 0},          {"CX8", 1, 'd', 8, 0},
    {"ERMS", 7, 'b', 9, 0},                 {"F16C", 1, 'c', 29, 0},
    {"FMA", 1, 'c', 12, 0},                 {"FSGSBASE", 7, 'b', 0, 0},
    {"FXSR", 1, 'd', 24, 0},                {"HLE", 7, 'b', 4, 'I'},
    {"INVPCID", 7, 'b', 10, 0},             {"LAHF", 0x80000001u, 'c', 0, 0},
    {"LZCNT", 0x80000001u, 'c', 5, 'I'},    {"MMX", 1, 'd', 23, 0},
    {"MMXEXT", 0x80000001u, 'd', 22, 'A'},  {"MONITOR", 1, 'c', 3, 0},
    {"MOVBE", 1, 'c', 22, 0},               {"MSR", 1, 'd', 5, 0},
    {"OSXSAVE", 1, 'c', 27, 0},             {"PCLMULQDQ", 1, 'c', 1, 0},
    {"POPCNT", 1, 'c', 23, 0},              {"PREFETCHWT1", 7, 'c', 0, 0},
    {"RDRAND", 1, 'c', 30, 0},              {"RDSEED", 7, 'b', 18, 0},
    {"RDTSCP", 0x80000001u, 'd', 27, 'I'},  {"RTM", 7, 'b', 11, 'I'},
    {"SEP", 1, 'd', 11, 0},                 {"SHA", 7, 'b', 29, 0},
    {"SSE", 1, 'd', 25, 0},                 {"SSE2", 1, 'd', 26, 0},
    {"SSE3", 1, 'c', 0, 0},                 {"SSE4.1", 1, 'c', 19, 0},
    {"SSE4.2", 1, 'c', 20, 0},              {"SSE4a", 0x80000001u, 'c', 6, 'A'},
    {"SSSE3", 1, 'c', 9, 0},                {"SYSCALL", 0x80000001u, 'd', 11, 'I'},
    {"TBM", 0x80000001u, 'c', 21, 'A'},     {"XOP", 0x80000001u, 'c', 11, 'A'},
    {"XSAVE", 1, 'c', 26, 0},
};

bool CpuFeaturePresent(const CpuInfoProbe& p, const CpuFeature& f) {
  if (f.vendor == 'I' && !p.isIntel) return false;
  if (f.vendor == 'A' && !p.isAmd) return false;
  uint32_t word = 0;
  if (f.leaf == 1)
    word = f.reg == 'c' ? p.leaf1Ecx : p.leaf1Edx;
  else if (f.leaf == 7)
    word = f.reg == 'b' ? p.leaf7Ebx : p.leaf7Ecx;
  else
    word = f.reg == 'c' ? p.ext1Ecx : p.ext1Edx;
  return (word >> f.bit) & 1;
}

std::string FormatCpuFeatures(const CpuInfoProbe& p) {
  std::string text;
  char cell[32];
  for (int i = 0; i < 51; ++i) {
    snprintf(cell, sizeof cell, "%s%-13s", CpuFeaturePresent(p, kCpuFeatures[i]) ? "[x] " : "[ ] ",
             kCpuFeatures[i].name);
    text += cell;
    const int n = i + 1;
    if (n == 8 || n == 16 || n == 24 || n == 32 || n == 40 || n == 47 || n == 51) text += '\n';
  }
  return text;
}

const char* InstructionSetName() {
  if (CpuHasAvx2()) return "AVX2";
  if (CpuHasAvx()) return "AVX";
  return "SSE3";
}

std::string CpuDescription() {
  return Trim(g_probe.vendor) + "\n" + Trim(g_probe.brand) + "\n" + FormatCpuFeatures(g_probe);
}

// --- Kernel variants -------------------------------------------------------

bool CpuSupportsAvx2Fma() {
  const uint32_t ecx1 = g_probe.leaf1Ecx, edx1 = g_probe.leaf1Edx, ebx7 = g_probe.leaf7Ebx;
  const auto bit = [](uint32_t word, int b) { return ((word >> b) & 1u) != 0; };
  const bool all = bit(edx1, 25) && bit(edx1, 26) &&                    // SSE, SSE2
                   bit(ecx1, 0) && bit(ecx1, 9) &&                      // SSE3, SSSE3
                   bit(ecx1, 19) && bit(ecx1, 20) && bit(ecx1, 23) &&   // SSE4.1, SSE4.2, POPCNT
                   bit(ecx1, 29) && bit(ecx1, 28) && bit(ecx1, 12) &&   // F16C, AVX, FMA
                   bit(ecx1, 27) &&                                     // OSXSAVE
                   bit(ebx7, 3) && bit(ebx7, 8) && bit(ebx7, 5) &&      // BMI1, BMI2, AVX2
                   bit(g_probe.ext1Ecx, 5);                             // LZCNT
  if (!all) return false;
  // The operating system must save the XMM and YMM registers.
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (lo & 6u) == 6u;
}

namespace {
std::atomic<uint32_t> g_kernelFeatures{CpuSupportsAvx2Fma() ? kKernelFeatureAvx2Fma : 0u};
}

uint32_t KernelFeatureWord() { return g_kernelFeatures.load(std::memory_order_relaxed); }

void ForceBaselineKernels(bool force) {
  g_kernelFeatures.store(force || !CpuSupportsAvx2Fma() ? 0u : kKernelFeatureAvx2Fma,
                         std::memory_order_relaxed);
}
