// In-memory byte sources and sinks for the record readers and writers.
#pragma once

#include <cstring>
#include <string>

#include "core/binary_reader.h"
#include "storage/storage_interface.h"

class MemoryWriter : public BinaryWriter {
 public:
  void write(const void* data, uint64_t n) override { bytes.append(static_cast<const char*>(data), n); }
  std::string bytes;
};

class MemoryReader : public BinaryReader {
 public:
  explicit MemoryReader(std::string bytes, int32_t version = 5) : bytes_(std::move(bytes)) { formatVersion = version; }
  void read(void* destination, uint64_t n) override {
    if (n == 0) return;
    if (pos_ + n > bytes_.size()) throw IOException("can't read from file (errno 0)");
    memcpy(destination, bytes_.data() + pos_, n);
    pos_ += n;
    bytesRead += n;
  }
  size_t Remaining() const { return bytes_.size() - pos_; }

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

// Appends a value's little-endian bytes.
template <typename T>
void Put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
