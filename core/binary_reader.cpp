#include "core/binary_reader.h"

#include <cerrno>

FileReader::FileReader(const std::string& path) {
  file_ = fopen(path.c_str(), "rb");
  if (!file_) throw IOException("can't open file (errno " + std::to_string(errno) + ")");
}

FileReader::~FileReader() {
  if (file_) fclose(file_);
}

void FileReader::read(void* destination, uint64_t n) {
  if (n == 0) return;
  if (fread(destination, n, 1, file_) != 1)
    throw IOException("can't read from file (errno " + std::to_string(errno) + ")");
  bytesRead += n;
}

void CheckFileReadable(const std::string& path) { FileReader reader(path); }
