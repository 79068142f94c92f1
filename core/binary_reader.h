// The byte source of the tree-file reader and its error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Raised for every failure to open or read a tree file, and for records whose
// contents cannot be trusted. Deliberately not a std::exception: the loader
// catches it around the whole load and reports its message.
class IOException {
 public:
  explicit IOException(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

class BinaryReader {
 public:
  virtual ~BinaryReader() = default;
  // Delivers exactly n bytes or throws IOException; n = 0 does nothing.
  virtual void read(void* destination, uint64_t n) = 0;

  uint64_t bytesRead = 0;
  int32_t formatVersion = -1;  // set from the file header before versioned records
};

class FileReader : public BinaryReader {
 public:
  explicit FileReader(const std::string& path);
  ~FileReader() override;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  void read(void* destination, uint64_t n) override;

 private:
  FILE* file_ = nullptr;
};

// Opens a file and closes it again without reading (throws when it cannot be
// opened).
void CheckFileReadable(const std::string& path);

// Little-endian scalar reads.
template <typename T>
T ReadValue(BinaryReader& reader) {
  T value;
  reader.read(&value, sizeof value);
  return value;
}
