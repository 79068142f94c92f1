// Incremental SHA-1 digest (FIPS 180-4) over strings, input streams and whole
// files; the digest is returned as 40 lowercase hexadecimal characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

class Sha1 {
 public:
  Sha1();

  // Appends the bytes of a string to the message.
  void update(const std::string& text);
  // Appends everything the stream yields until its end or a failure; a
  // stream that is already failed contributes nothing.
  void update(std::istream& input);
  // Pads the message, returns its digest and puts the object back in the
  // initial state, ready for a new message.
  std::string final();

  // Digest of a whole file read in binary mode. Returns an empty string when
  // the file cannot be opened or a read fails, so that a failure is never
  // mistaken for the digest of the empty message.
  static std::string from_file(const std::string& fileName);

 private:
  void Reset();
  void Absorb(const uint8_t* data, size_t length);

  uint32_t h_[5];
  uint8_t buffer_[64];  // pending input bytes, fewer than 64 between calls
  size_t bufferLength_;
  uint64_t blockCount_;  // 64-byte blocks already compressed
};
