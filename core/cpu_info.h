// Processor queries: the CPUID probe filled before main, the feature list of
// show_cpu_info, and the run-time choice of kernel variants.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CpuidRegisters {
  uint32_t eax, ebx, ecx, edx;
};

struct CpuInfoProbe {
  int highestLeaf = 0;
  int highestExtendedLeaf = 0;
  std::string vendor;  // 12 characters
  std::string brand;   // up to 48 characters
  bool isIntel = false;
  bool isAmd = false;
  uint32_t leaf1Ecx = 0, leaf1Edx = 0;
  uint32_t leaf7Ebx = 0, leaf7Ecx = 0;
  uint32_t ext1Ecx = 0, ext1Edx = 0;
  std::vector<CpuidRegisters> standardLeaves;
  std::vector<CpuidRegisters> extendedLeaves;
};

// Filled by a static initialiser; read-only afterwards.
const CpuInfoProbe& CpuProbe();
// Fills a probe from the CPUID instruction.
CpuInfoProbe ProbeCpu();

bool CpuHasAvx();
bool CpuHasAvx2();

struct CpuFeature {
  const char* name;
  uint32_t leaf;  // 1, 7 or 0x80000001
  char reg;       // 'a' 'b' 'c' 'd'
  int bit;
  char vendor;    // 0 any, 'I' Intel only, 'A' AMD only
};
extern const CpuFeature kCpuFeatures[51];
// Whether a feature is present on the probed processor.
bool CpuFeaturePresent(const CpuInfoProbe& probe, const CpuFeature& feature);
// The feature table as show_cpu_info prints it (8 cells a row, then 7 and 4).
std::string FormatCpuFeatures(const CpuInfoProbe& probe);

// "AVX2", "AVX" or "SSE3": the best instruction set the processor offers.
const char* InstructionSetName();
// Vendor line, brand line and the feature table, as show_cpu_info prints them.
std::string CpuDescription();

// --- Kernel variants -------------------------------------------------------
// Hot kernels exist as an AVX2/FMA variant and an AVX baseline. The choice is
// one cached feature word, computed once at start-up; every kernel consults it
// through UseAvx2FmaKernels(). ForceBaselineKernels is for tests, so that both
// variants can be exercised on one machine.
constexpr uint32_t kKernelFeatureAvx2Fma = 1u << 0;

uint32_t KernelFeatureWord();
inline bool UseAvx2FmaKernels() { return (KernelFeatureWord() & kKernelFeatureAvx2Fma) != 0; }
void ForceBaselineKernels(bool force);
// Whether the processor and the operating system support the AVX2/FMA variant.
bool CpuSupportsAvx2Fma();
