#include "package_digest.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include "base/eintr_wrapper.h"
#include "hex.h"

static_assert(sizeof(Sha256Digest) == crypto_hash_sha256_BYTES,
              "Sha256Digest holds one SHA-256 digest");

bool ParseSha256Hex(std::string_view text, Sha256Digest* digest) {
  return DecodeHex(text, digest->data(), digest->size());
}

std::string Sha256Hex(const Sha256Digest& digest) {
  return EncodeHex(digest.data(), digest.size());
}

bool Sha256OfFile(const std::string& path, Sha256Digest* digest) {
  int fd = HANDLE_EINTR(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  bool hashed = Sha256OfDescriptor(fd, digest);
  int error = errno;
  close(fd);
  errno = error;
  return hashed;
}

bool Sha256OfDescriptor(int fd, Sha256Digest* digest) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  unsigned char buffer[16 * 1024];
  ssize_t count;
  while ((count = HANDLE_EINTR(read(fd, buffer, sizeof(buffer)))) > 0) {
    crypto_hash_sha256_update(&state, buffer,
                              static_cast<unsigned long long>(count));
  }
  if (count < 0) return false;
  crypto_hash_sha256_final(&state, digest->data());
  return true;
}
