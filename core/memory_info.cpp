#include "core/memory_info.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include "core/output.h"

uint64_t MemInfoBuffers = 0;
uint64_t MemInfoCached = 0;

namespace {
int g_memInfoFd = -1;
}

void ParseMemInfo(const char* text, uint64_t& buffers, uint64_t& cached) {
  const char* line = text;
  for (;;) {
    const char* colon = strchr(line, ':');
    if (!colon) return;
    const size_t keyLength = static_cast<size_t>(colon - line);
    if (keyLength < 16) {
      const std::string key(line, keyLength);
      if (key == "Buffers")
        buffers = strtoull(colon + 1, nullptr, 10);
      else if (key == "Cached")
        cached = strtoull(colon + 1, nullptr, 10);
    }
    const char* lf = strchr(colon, '\n');
    if (!lf) return;
    line = lf + 1;
  }
}

void ReadMemInfo() {
  if (g_memInfoFd < 0) {
    g_memInfoFd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (g_memInfoFd < 0) {
      fprintf(stderr, "can't open /proc/meminfo\n");
      fflush(nullptr);
      _exit(102);
    }
  }
  char buffer[2048];
  lseek(g_memInfoFd, 0, SEEK_SET);
  ssize_t n = read(g_memInfoFd, buffer, sizeof buffer - 1);
  if (n < 0) {
    perror("/proc/meminfo");
    fflush(nullptr);
    _exit(103);
  }
  buffer[n] = '\0';
  ParseMemInfo(buffer, MemInfoBuffers, MemInfoCached);
}

uint64_t AvailablePhysicalMemory() {
  struct sysinfo info;
  sysinfo(&info);
  ReadMemInfo();
  // The free RAM is taken as bytes, as the memory-level choice expects.
  return (MemInfoBuffers + MemInfoCached) * 1024 + static_cast<uint64_t>(info.freeram);
}

uint64_t TotalPhysicalMemory() {
  struct sysinfo info;
  sysinfo(&info);
  return static_cast<uint64_t>(info.totalram) * info.mem_unit;
}
