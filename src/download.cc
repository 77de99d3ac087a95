#include "download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>

#include "base/file_util.h"
#include "base/logging.h"
#include "update_log_sites.h"

namespace {

// libcurl hands the body over in blocks of at most this size, each written
// to the file before the callback returns. Its default of 16 KiB costs a
// write per 16 KiB; larger blocks let the writes keep pace with the network
// without any buffer that outlives a callback.
const long kReceiveBufferBytes = 256 * 1024;

struct Target {
  int fd;
  uint64_t size;  // Bytes in the file so far.
  uint64_t max_size;
  bool short_write;
  bool too_large;
};

size_t WriteBody(char* data, size_t size, size_t count, void* target_data) {
  Target* target = static_cast<Target*>(target_data);
  size_t bytes = size * count;
  if (bytes > target->max_size - target->size) {
    target->too_large = true;
    return 0;
  }
  if (!base::WriteAll(target->fd, std::string_view(data, bytes))) {
    target->short_write = true;
    return 0;
  }
  target->size += bytes;
  return count;
}

}  // namespace

int DownloadFile(const std::string& url, const std::string& target_path,
                 long connect_timeout_seconds, const DownloadLimits& limits,
                 DownloadError* error) {
  if (error) *error = DownloadError::kNone;
  int fd = base::OpenRegularFile(target_path, O_WRONLY | O_CREAT | O_APPEND);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    int open_error = errno;
    if (fd >= 0) close(fd);
    fprintf(stderr, "%s\n", base::FileErrorText(open_error).c_str());
    if (error) *error = DownloadError::kTarget;
    return -1;
  }
  Target target = {fd, static_cast<uint64_t>(status.st_size),
                   limits.max_file_bytes, false, false};
  curl_off_t resume_offset = static_cast<curl_off_t>(target.size);

  curl_global_init(CURL_GLOBAL_ALL);
  CURL* curl = curl_easy_init();
  if (!curl) {
    close(fd);
    curl_global_cleanup();
    fputs("curl_easy_init failed\n", stderr);
    if (error) *error = DownloadError::kTransfer;
    return -1;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, resume_offset);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  if (limits.stall_seconds > 0) {
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stall_seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT,
                     limits.stall_bytes_per_second);
  }
  // A declared length past the limit fails before any byte is written; the
  // write callback holds the limit for bodies of undeclared length. 0 would
  // mean no limit, so a file that is already full is left to the callback.
  if (target.size < target.max_size && target.max_size <= INT64_MAX) {
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(target.max_size - target.size));
  }
  // A manifest must not make the updater read local files or speak other
  // protocols; a libcurl that cannot promise that gets no transfer.
  CURLcode result = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  if (result == CURLE_OK) result = curl_easy_perform(curl);

  // Not repeated on EINTR: Linux has released the descriptor then.
  if (close(fd) != 0 && errno != EINTR) {
    target.short_write = true;
    if (result == CURLE_OK) result = CURLE_WRITE_ERROR;
  }
  curl_easy_cleanup(curl);
  curl_global_cleanup();

  if (result == CURLE_OK) return 0;
  fprintf(stderr, "%s\n", curl_easy_strerror(result));
  bool too_large = target.too_large || result == CURLE_FILESIZE_EXCEEDED;
  if (too_large) {
    LOG_AT(log_site::kDownloadTooLarge, base::LOG_ERROR)
        << "download " << url << " is larger than " << target.max_size
        << " bytes!" << std::endl;
  }
  if (error) {
    *error = too_large                            ? DownloadError::kTooLarge
             : target.short_write                 ? DownloadError::kWrite
             : result == CURLE_OPERATION_TIMEDOUT ? DownloadError::kStalled
                                                  : DownloadError::kTransfer;
  }
  return -1;
}
