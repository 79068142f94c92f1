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

  // Bytes not yet read, as far as the source knows its size (a file's size is
  // taken when it is opened); unlimited for sources of unknown size.
  uint64_t BytesLeft() const { return byteSize > bytesRead ? byteSize - bytesRead : 0; }

  uint64_t bytesRead = 0;
  int32_t formatVersion = -1;  // set from the file header before versioned records
  uint64_t byteSize = UINT64_MAX;
};

// Throws IOException("invalid file") unless `count` items of `width` bytes
// can still be read: every length taken from a file is checked with this
// before anything is allocated for it.
void RequireBytes(BinaryReader& reader, uint64_t count, uint64_t width);

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
