// Physical memory figures from sysinfo and /proc/meminfo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern uint64_t MemInfoBuffers;  // kB, "Buffers" at the last read
extern uint64_t MemInfoCached;   // kB, "Cached" at the last read

// Scans meminfo text and stores the "Buffers" and "Cached" values it finds;
// a key that is absent leaves its value unchanged.
void ParseMemInfo(const char* text, uint64_t& buffers, uint64_t& cached);
// Refreshes the two figures; the file is opened on the first call and kept
// open. An unopenable file ends the process with status 102, an unreadable
// one with 103.
void ReadMemInfo();
// (Buffers + Cached) * 1024 + the free RAM reported by sysinfo, in bytes.
uint64_t AvailablePhysicalMemory();
uint64_t TotalPhysicalMemory();

