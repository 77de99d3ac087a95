#include "download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <string_view>

#include "base/eintr_wrapper.h"
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
  CURL* curl = nullptr;
  const std::string* url = nullptr;
  int fd = -1;
  uint64_t size = 0;  // Bytes in the file so far.
  uint64_t max_size = 0;
  bool range_requested = false;  // The request asked for bytes from |size| on.
  bool headers_done = false;     // The final answer's headers have arrived.
  // The transfer must be over by then, when it has a total time limit.
  std::chrono::steady_clock::time_point deadline;
  bool short_write = false;
  bool too_large = false;
  bool out_of_time = false;
};

// How many more bytes the file may take.
uint64_t Room(const Target& target) {
  return target.max_size > target.size ? target.max_size - target.size : 0;
}

// Readies the file for the body of a successful answer with |status|, once
// its headers are in. Returns false to end the transfer.
bool StartBody(Target* target, long status) {
  // Any success but 206 carries the resource from its first byte, whatever
  // range was asked for: appended to the partial file it would make a file
  // that is neither, and every later resume would ask past its end.
  const bool whole = target->range_requested && status != 206;
  const uint64_t room = whole ? target->max_size : Room(*target);
  curl_off_t declared = -1;
  if (curl_easy_getinfo(target->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                        &declared) == CURLE_OK &&
      declared > 0 && static_cast<uint64_t>(declared) > room) {
    target->too_large = true;
    return false;
  }
  if (!whole) return true;
  if (HANDLE_EINTR(ftruncate(target->fd, 0)) != 0) {
    target->short_write = true;
    return false;
  }
  LOG_AT(log_site::kDownloadRangeIgnored, base::LOG_ERROR)
      << "download " << *target->url << " ignored the range from byte "
      << target->size << ", fetching it from byte 0!" << std::endl;
  target->size = 0;
  return true;
}

// Receives every header line of every answer, and acts at the end of the
// final answer's headers, before any of its body.
size_t ReadHeader(char* data, size_t size, size_t count, void* target_data) {
  Target* target = static_cast<Target*>(target_data);
  size_t bytes = size * count;
  std::string_view line(data, bytes);
  if (target->headers_done || (line != "\r\n" && line != "\n")) return bytes;
  long status = 0;
  curl_easy_getinfo(target->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200) return bytes;  // An interim answer; the final one follows.
  target->headers_done = true;
  // An error's body is never written; a redirect's is not the resource.
  if (status >= 300) return bytes;
  return StartBody(target, status) ? bytes : 0;
}

// Called by libcurl at least once a second while the transfer runs, from
// name resolution to the last byte: ends it once its deadline has passed.
int CheckDeadline(void* target_data, curl_off_t, curl_off_t, curl_off_t,
                  curl_off_t) {
  Target* target = static_cast<Target*>(target_data);
  if (std::chrono::steady_clock::now() < target->deadline) return 0;
  target->out_of_time = true;
  return 1;
}

size_t WriteBody(char* data, size_t size, size_t count, void* target_data) {
  Target* target = static_cast<Target*>(target_data);
  size_t bytes = size * count;
  if (bytes > Room(*target)) {
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
  const uint64_t resume_offset = static_cast<uint64_t>(status.st_size);

  curl_global_init(CURL_GLOBAL_ALL);
  CURL* curl = curl_easy_init();
  if (!curl) {
    close(fd);
    curl_global_cleanup();
    fputs("curl_easy_init failed\n", stderr);
    if (error) *error = DownloadError::kTransfer;
    return -1;
  }
  Target target;
  target.curl = curl;
  target.url = &url;
  target.fd = fd;
  target.size = resume_offset;
  target.max_size = limits.max_file_bytes;
  target.range_requested = resume_offset > 0;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
  // The range is asked for by hand rather than with CURLOPT_RESUME_FROM, with
  // which libcurl fails an answer that ignores it and keeps the partial file
  // as it is, so every later run would fail the same way.
  const std::string range = std::to_string(resume_offset) + "-";
  if (resume_offset > 0) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &target);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, ReadHeader);
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
  // The header callback holds the byte limit for a declared length, before
  // any byte is written; the write callback for bodies of undeclared length.
  // Kept here rather than with CURLOPT_TIMEOUT, whose end libcurl reports
  // just as it reports a stall.
  if (limits.total_seconds > 0) {
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &target);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckDeadline);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  // A manifest must not make the updater read local files or speak other
  // protocols; a libcurl that cannot promise that gets no transfer.
  CURLcode result = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  target.deadline = std::chrono::steady_clock::now() +
                    std::chrono::seconds(limits.total_seconds);
  if (result == CURLE_OK) result = curl_easy_perform(curl);
  if (target.out_of_time) result = CURLE_OPERATION_TIMEDOUT;

  // Not repeated on EINTR: Linux has released the descriptor then.
  if (close(fd) != 0 && errno != EINTR) {
    target.short_write = true;
    if (result == CURLE_OK) result = CURLE_WRITE_ERROR;
  }
  curl_easy_cleanup(curl);
  curl_global_cleanup();

  if (result == CURLE_OK) return 0;
  fprintf(stderr, "%s\n", curl_easy_strerror(result));
  if (target.too_large) {
    LOG_AT(log_site::kDownloadTooLarge, base::LOG_ERROR)
        << "download " << url << " is larger than " << target.max_size
        << " bytes!" << std::endl;
  }
  if (target.out_of_time) {
    LOG_AT(log_site::kDownloadOutOfTime, base::LOG_ERROR)
        << "download " << url << " took longer than " << limits.total_seconds
        << " seconds!" << std::endl;
  }
  if (error) {
    *error = target.too_large                     ? DownloadError::kTooLarge
             : target.short_write                 ? DownloadError::kWrite
             : target.out_of_time                 ? DownloadError::kOutOfTime
             : result == CURLE_OPERATION_TIMEDOUT ? DownloadError::kStalled
                                                  : DownloadError::kTransfer;
  }
  return -1;
}
