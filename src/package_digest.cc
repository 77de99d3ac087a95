#include "package_digest.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <memory>

#include "base/eintr_wrapper.h"
#include "hex.h"

namespace {

struct FreeDigestContext {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

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
  // libcrypto's SHA-256 uses the processor's SHA instructions where it has
  // them: several times the speed of a portable one, and files of hundreds
  // of MiB are hashed on every update (a package, a delta's bases and
  // results). libcurl has the library loaded already.
  std::unique_ptr<EVP_MD_CTX, FreeDigestContext> context(EVP_MD_CTX_new());
  if (!context ||
      EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    errno = ENOMEM;
    return false;
  }
  unsigned char buffer[64 * 1024];
  ssize_t count;
  while ((count = HANDLE_EINTR(read(fd, buffer, sizeof(buffer)))) > 0) {
    if (EVP_DigestUpdate(context.get(), buffer, static_cast<size_t>(count)) !=
        1) {
      errno = ENOMEM;
      return false;
    }
  }
  if (count < 0) return false;
  Sha256Digest result;
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), result.data(), &size) != 1 ||
      size != result.size()) {
    errno = ENOMEM;
    return false;
  }
  *digest = result;
  return true;
}
