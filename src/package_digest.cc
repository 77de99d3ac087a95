#include "package_digest.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "base/eintr_wrapper.h"
#include "hex.h"

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
  Sha256Stream stream;
  unsigned char buffer[64 * 1024];
  ssize_t count;
  while ((count = HANDLE_EINTR(read(fd, buffer, sizeof(buffer)))) > 0) {
    if (!stream.Update(buffer, static_cast<size_t>(count))) return false;
  }
  return count == 0 && stream.Finish(digest);
}

// libcrypto's SHA-256 uses the processor's SHA instructions where it has
// them: several times the speed of a portable one, and files of hundreds of
// MiB are hashed on every update (a package, a delta's bases and results).
// libcurl has the library loaded already.
struct Sha256Stream::State {
  EVP_MD_CTX* context = nullptr;
  bool ok = false;
};

Sha256Stream::Sha256Stream() : state_(new State) {
  state_->context = EVP_MD_CTX_new();
  state_->ok = state_->context &&
               EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
}

Sha256Stream::~Sha256Stream() {
  EVP_MD_CTX_free(state_->context);
  delete state_;
}

bool Sha256Stream::Update(const void* data, size_t size) {
  state_->ok = state_->ok && EVP_DigestUpdate(state_->context, data, size) == 1;
  if (!state_->ok) errno = ENOMEM;
  return state_->ok;
}

bool Sha256Stream::Finish(Sha256Digest* digest) {
  Sha256Digest result;
  unsigned int size = 0;
  state_->ok = state_->ok &&
               EVP_DigestFinal_ex(state_->context, result.data(), &size) == 1 &&
               size == result.size();
  if (!state_->ok) {
    errno = ENOMEM;
    return false;
  }
  state_->ok = false;
  *digest = result;
  return true;
}
