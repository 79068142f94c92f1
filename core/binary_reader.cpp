#include "core/binary_reader.h"

#include <cerrno>

#include <sys/stat.h>

FileReader::FileReader(const std::string& path) {
  file_ = fopen(path.c_str(), "rb");
  if (!file_) throw IOException("can't open file (errno " + std::to_string(errno) + ")");
  struct stat info;
  if (fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode)) byteSize = static_cast<uint64_t>(info.st_size);
}

FileReader::~FileReader() {
  if (file_) fclose(file_);
}

void FileReader::read(void* destination, uint64_t n) {
  if (n == 0) return;
  // A plain end of file sets no errno: cleared first, the message then
  // reads errno 0 rather than what some earlier call left.
  errno = 0;
  if (fread(destination, n, 1, file_) != 1)
    throw IOException("can't read from file (errno " + std::to_string(errno) + ")");
  bytesRead += n;
}

void CheckFileReadable(const std::string& path) { FileReader reader(path); }

void RequireBytes(BinaryReader& reader, uint64_t count, uint64_t width) {
  if (width != 0 && count > reader.BytesLeft() / width) throw IOException("invalid file");
}
