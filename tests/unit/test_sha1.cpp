#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "encoders/sha1.h"
#include "encoder_test_helpers.h"

namespace {

std::string Digest(const std::string& message) {
  Sha1 digest;
  digest.update(message);
  return digest.final();
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

// The published examples of the standard.
TEST(Sha1, StandardTestVectors) {
  EXPECT_EQ(Sha1().final(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Digest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(Digest(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Every length from 0 to 200 bytes and the lengths around the one-block
// padding limit, against the system's sha1sum, from strings and from files.
TEST(Sha1, MatchesSha1sumOnRandomInputs) {
  TempDir dir("pfsolve_sha1");
  ASSERT_TRUE(dir.ok());
  std::mt19937 rng(20240611);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t n : {55, 56, 63, 64, 119, 120, 127, 128, 4096 + 55}) lengths.push_back(n);
  std::vector<std::string> messages;
  std::string command = "cd " + dir.path() + " && sha1sum";
  for (size_t k = 0; k < lengths.size(); ++k) {
    messages.push_back(RandomBytes(rng, lengths[k]));
    ASSERT_TRUE(WriteFile(dir.File("m" + std::to_string(k)), messages.back()));
    command += " m" + std::to_string(k);
  }
  int status = 0;
  std::istringstream lines(CommandOutput(command, status));
  ASSERT_EQ(status, 0) << "sha1sum failed";
  for (size_t k = 0; k < messages.size(); ++k) {
    std::string expected, name;
    ASSERT_TRUE(static_cast<bool>(lines >> expected >> name));
    ASSERT_EQ(name, "m" + std::to_string(k));
    EXPECT_EQ(Digest(messages[k]), expected) << "length " << messages[k].size();
    EXPECT_EQ(Sha1::from_file(dir.File(name)), expected) << "length " << messages[k].size();
  }
}

// Any split of a message over strings and streams gives the digest of one
// feed, and after final() the object starts a new message.
TEST(Sha1, SplitFeedingAndReuse) {
  std::mt19937 rng(7);
  Sha1 digest;
  for (int trial = 0; trial < 200; ++trial) {
    const std::string message = RandomBytes(rng, rng() % 700);
    const std::string whole = Digest(message);
    size_t at = 0;
    while (at < message.size()) {
      const size_t piece = std::min<size_t>(message.size() - at, rng() % 150);
      const std::string part = message.substr(at, piece);
      if (rng() % 2) {
        digest.update(part);
      } else {
        std::istringstream stream(part);
        digest.update(stream);
      }
      at += piece;
    }
    ASSERT_EQ(digest.final(), whole) << "trial " << trial << ", " << message.size() << " bytes";
  }
  // A failed stream adds nothing.
  std::istringstream failed("ignored");
  failed.setstate(std::ios::failbit);
  digest.update("abc");
  digest.update(failed);
  EXPECT_EQ(digest.final(), Digest("abc"));
}

// Both kernel variants give the same digests, over every pending length
// the final padding meets (one block or two) and over many whole blocks.
TEST(Sha1, BothVariantsGiveTheSameDigests) {
  std::mt19937 rng(99);
  std::vector<std::string> messages;
  for (size_t n = 0; n <= 130; ++n) messages.push_back(RandomBytes(rng, n));
  messages.push_back(RandomBytes(rng, 64 * 1000 + 57));
  const auto digests = WithBothVariants([&] {
    std::vector<std::string> out;
    Sha1 digest;  // reused: final() restarts it
    for (const std::string& message : messages) {
      digest.update(message);
      out.push_back(digest.final());
    }
    return out;
  });
  ASSERT_EQ(digests.first.size(), messages.size());
  for (size_t k = 0; k < messages.size(); ++k)
    EXPECT_EQ(digests.first[k], digests.second[k]) << messages[k].size() << " bytes";
}

// A file that cannot be opened or read is reported as a failure, never as
// the digest of the empty message; an empty file does give that digest.
TEST(Sha1, FileErrorsAreNotTheEmptyDigest) {
  TempDir dir("pfsolve_sha1");
  ASSERT_TRUE(dir.ok());
  EXPECT_EQ(Sha1::from_file(dir.File("missing")), "");
  EXPECT_EQ(Sha1::from_file(dir.path()), "");  // opens, but reading a directory fails
  ASSERT_TRUE(WriteFile(dir.File("empty"), ""));
  EXPECT_EQ(Sha1::from_file(dir.File("empty")), Sha1().final());
  ASSERT_TRUE(WriteFile(dir.File("abc"), "abc"));
  EXPECT_EQ(Sha1::from_file(dir.File("abc")), Digest("abc"));
}

}  // namespace
