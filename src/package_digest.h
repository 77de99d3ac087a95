#ifndef PACKAGE_DIGEST_H_
#define PACKAGE_DIGEST_H_

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>
#include <string_view>

// The SHA-256 digest that a manifest's key "sha256" gives for its package,
// and the digest of a downloaded package.

typedef std::array<uint8_t, 32> Sha256Digest;

// Reads a digest written as exactly 64 hexadecimal digits of either case,
// with nothing before or after. Returns false, leaving |digest| alone, for
// any other text.
bool ParseSha256Hex(std::string_view text, Sha256Digest* digest);

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const Sha256Digest& digest);

// Computes the SHA-256 digest of the file at |path|, reading it in pieces so
// that memory use does not grow with the file. Returns false, leaving
// |digest| alone and errno telling why, when the file cannot be opened or
// read.
bool Sha256OfFile(const std::string& path, Sha256Digest* digest);
// The same for the rest of the file open on |fd|, which stays open.
bool Sha256OfDescriptor(int fd, Sha256Digest* digest);

// A SHA-256 digest computed over bytes given in pieces, for data that is
// hashed as it is made rather than read back.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  // Adds |size| bytes at |data|. False, with errno set, when the digest
  // cannot be computed; the stream is then of no further use.
  bool Update(const void* data, size_t size);
  // Stores the digest of everything added in |*digest|; the stream is then
  // of no further use. False, leaving |*digest| alone, on failure.
  bool Finish(Sha256Digest* digest);

 private:
  struct State;
  State* state_;
};

#endif  // PACKAGE_DIGEST_H_
