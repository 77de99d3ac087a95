#include "delta/file_patch.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <vector>

#include "base/eintr_wrapper.h"
#include "base/file_util.h"
#include "base/logging.h"

namespace {

const int kPatchLevel = 19;
// zstd's smallest window, and the largest one a 32-bit zstd decodes
// (ZSTD_WINDOWLOG_MIN and ZSTD_WINDOWLOG_MAX_32, which zstd.h declares only
// for static linking).
const int kMinWindowLog = 10;
const int kMaxWindowLog = 30;
static_assert(2 * kMaxPatchedFileBytes <= uint64_t{1} << kMaxWindowLog,
              "every patch's window covers its base and its result");

// The window of a patch of a |result_size| file against a |base_size|
// one: a power of two that covers both, so that the end of the result can
// still match the start of the base. Both sides compute it alike.
int PatchWindowLog(uint64_t base_size, uint64_t result_size) {
  uint64_t span = base_size + result_size;
  int log = kMinWindowLog;
  while (log < kMaxWindowLog && (uint64_t{1} << log) < span) ++log;
  return log;
}

// A regular file mapped read-only, unmapped with the object.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() {
    if (data_) munmap(data_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the first |size| bytes of the file open on |fd|, which must be
  // that long. An empty file maps to no bytes. Returns false with errno set.
  bool Map(int fd, uint64_t size) {
    struct stat info;
    if (fstat(fd, &info) != 0) return false;
    if (static_cast<uint64_t>(info.st_size) != size || size > SIZE_MAX) {
      errno = ESTALE;
      return false;
    }
    if (size == 0) return true;
    void* data =
        mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED) return false;
    data_ = data;
    size_ = static_cast<size_t>(size);
    return true;
  }

  const void* data() const { return data_; }
  size_t size() const { return size_; }

  // Drops the mapped pages from this process; later reads map them again
  // from the file. The mapping is read-only, so nothing is lost.
  void Release() const {
    if (data_) (void)madvise(data_, size_, MADV_DONTNEED);
  }

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

// Opens and maps the regular file at |path| whole.
bool MapPath(const std::string& path, MappedFile* mapped, uint64_t* size,
             std::string* problem) {
  int fd = base::OpenRegularFile(path, O_RDONLY);
  struct stat info;
  bool ok = fd >= 0 && fstat(fd, &info) == 0;
  if (ok) {
    *size = static_cast<uint64_t>(info.st_size);
    ok = *size > kMaxPatchedFileBytes || mapped->Map(fd, *size);
  }
  int error = errno;
  if (fd >= 0) close(fd);
  if (!ok) *problem = path + ": " + base::FileErrorText(error);
  return ok;
}

std::string ZstdProblem(size_t code) {
  return std::string("zstd: ") + ZSTD_getErrorName(code);
}

bool WriteNewFile(const std::string& path, const void* data, size_t size,
                  std::string* problem) {
  int fd = HANDLE_EINTR(
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  bool ok = fd >= 0 &&
            base::WriteAll(
                fd, std::string_view(static_cast<const char*>(data), size));
  int error = errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    if (fd >= 0) unlink(path.c_str());
    *problem = path + ": " + base::SystemErrorText(error);
  }
  return ok;
}

// How much output a patch's apply writes between releases of its base's
// pages. zstd holds the result's window itself; a mapped base kept whole
// would add its size again to the process.
const uint64_t kReleaseBaseBytes = 8 << 20;

// Streams the frame read from |patch_fd| through |dctx| into |result_fd|,
// at most |result_size| bytes, releasing the pages of |base| as it goes, and
// hashes what it writes into |digest|.
bool Decompress(ZSTD_DCtx* dctx, int patch_fd, int result_fd,
                uint64_t result_size, const MappedFile& base,
                Sha256Stream* digest, std::string* problem) {
  std::vector<char> in(ZSTD_DStreamInSize());
  std::vector<char> out(ZSTD_DStreamOutSize());
  ZSTD_inBuffer input = {in.data(), 0, 0};
  uint64_t written = 0;
  bool first = true;
  size_t pending = 1;          // Not 0 until the frame is complete and flushed.
  bool output_filled = false;  // zstd may hold more output for the next call.
  while (true) {
    if (input.pos == input.size && (pending == 0 || !output_filled)) {
      ssize_t count = HANDLE_EINTR(read(patch_fd, in.data(), in.size()));
      if (count < 0) {
        *problem = "can't read the patch: " + base::SystemErrorText(errno);
        return false;
      }
      if (count == 0) break;
      input = {in.data(), static_cast<size_t>(count), 0};
      // Before anything is decoded: the frame must say the result's size,
      // which bounds the window zstd allocates.
      if (first && ZSTD_getFrameContentSize(in.data(), input.size) !=
                       static_cast<unsigned long long>(result_size)) {
        *problem = "the patch is not a frame of the listed size";
        return false;
      }
      first = false;
    }
    if (pending == 0) {
      *problem = "the patch has bytes after its frame";
      return false;
    }
    ZSTD_outBuffer output = {out.data(), out.size(), 0};
    pending = ZSTD_decompressStream(dctx, &output, &input);
    output_filled = output.pos == output.size;
    if (ZSTD_isError(pending)) {
      *problem = "the patch is damaged: " + ZstdProblem(pending);
      return false;
    }
    if (output.pos > result_size - written) {
      *problem = "the patch makes a file larger than listed";
      return false;
    }
    if (!base::WriteAll(result_fd, std::string_view(out.data(), output.pos)) ||
        !digest->Update(out.data(), output.pos)) {
      *problem = "can't write the result: " + base::SystemErrorText(errno);
      return false;
    }
    if ((written + output.pos) / kReleaseBaseBytes !=
        written / kReleaseBaseBytes) {
      base.Release();
    }
    written += output.pos;
  }
  if (first || pending != 0) {
    *problem = "the patch is cut short";
    return false;
  }
  if (written != result_size) {
    *problem = "the patch makes a file smaller than listed";
    return false;
  }
  return true;
}

}  // namespace

bool MakeFilePatch(const std::string& base_path, const std::string& result_path,
                   const std::string& patch_path, uint64_t limit, bool* made,
                   std::string* problem) {
  MappedFile base, result;
  uint64_t base_size = 0, result_size = 0;
  if (!MapPath(base_path, &base, &base_size, problem) ||
      !MapPath(result_path, &result, &result_size, problem)) {
    return false;
  }
  if (base_size == 0 || result_size == 0 || limit <= 1 ||
      base_size > kMaxPatchedFileBytes || result_size > kMaxPatchedFileBytes) {
    *made = false;
    return true;
  }
  // Compressed into a buffer one byte smaller than the limit: zstd fails
  // with dstSize_tooSmall when the patch would not be smaller.
  size_t capacity = static_cast<size_t>(
      std::min<uint64_t>(limit - 1, ZSTD_compressBound(result.size())));
  std::vector<char> patch(capacity);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (!cctx) {
    *problem = "zstd: out of memory";
    return false;
  }
  size_t code =
      ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kPatchLevel);
  if (!ZSTD_isError(code)) {
    code = ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
  }
  if (!ZSTD_isError(code)) {
    code = ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog,
                                  PatchWindowLog(base_size, result_size));
  }
  if (!ZSTD_isError(code)) {
    code = ZSTD_CCtx_refPrefix(cctx, base.data(), base.size());
  }
  if (!ZSTD_isError(code)) {
    code = ZSTD_compress2(cctx, patch.data(), patch.size(), result.data(),
                          result.size());
  }
  ZSTD_freeCCtx(cctx);
  if (ZSTD_isError(code)) {
    if (ZSTD_getErrorCode(code) == ZSTD_error_dstSize_tooSmall) {
      *made = false;
      return true;
    }
    *problem = result_path + ": " + ZstdProblem(code);
    return false;
  }
  if (!WriteNewFile(patch_path, patch.data(), code, problem)) return false;
  *made = true;
  return true;
}

bool ApplyFilePatch(int base_fd, uint64_t base_size, int patch_fd,
                    int result_fd, uint64_t result_size,
                    const Sha256Digest& result_sha256, std::string* problem) {
  if (base_size > kMaxPatchedFileBytes || result_size > kMaxPatchedFileBytes) {
    *problem = "the files are too large for a patch";
    return false;
  }
  MappedFile base;
  if (!base.Map(base_fd, base_size)) {
    *problem = "can't map the base: " + base::SystemErrorText(errno);
    return false;
  }
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  if (!dctx) {
    *problem = "zstd: out of memory";
    return false;
  }
  size_t code = ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax,
                                       PatchWindowLog(base_size, result_size));
  if (!ZSTD_isError(code)) {
    code = ZSTD_DCtx_refPrefix(dctx, base.data(), base.size());
  }
  bool ok = !ZSTD_isError(code);
  if (!ok) *problem = ZstdProblem(code);
  Sha256Stream stream;
  ok = ok && Decompress(dctx, patch_fd, result_fd, result_size, base, &stream,
                        problem);
  ZSTD_freeDCtx(dctx);
  if (!ok) return false;
  // Hashed as it was written: the result is not read back.
  Sha256Digest digest;
  if (!stream.Finish(&digest)) {
    *problem = "can't hash the result: " + base::SystemErrorText(errno);
    return false;
  }
  if (digest != result_sha256) {
    *problem = "the patch makes a file with another digest than listed";
    return false;
  }
  return true;
}
