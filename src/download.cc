#include "download.h"

#include <curl/curl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <memory>

namespace {

// libcurl hands the body over in blocks of 16 KiB. With stdio's default
// buffer of one page every block became two writes; a larger buffer turns
// the writes of a package into a few thousand and lets them keep pace with
// the network.
const size_t kStreamBufferBytes = 256 * 1024;

struct Target {
  FILE* stream;
  bool short_write;
};

size_t WriteBody(char* data, size_t size, size_t count, void* target_data) {
  Target* target = static_cast<Target*>(target_data);
  size_t written = fwrite(data, size, count, target->stream);
  if (written != count) target->short_write = true;
  return written;
}

}  // namespace

int DownloadFile(const std::string& url, const std::string& target_path,
                 long connect_timeout_seconds, bool* write_failed) {
  if (write_failed) *write_failed = false;
  curl_off_t resume_offset = 0;
  struct stat st;
  if (stat(target_path.c_str(), &st) == 0) resume_offset = st.st_size;

  Target target = {fopen(target_path.c_str(), "ab+e"), false};
  if (!target.stream) {
    perror(nullptr);
    return -1;
  }
  // glibc ignores the size unless it is given the buffer too. The buffer
  // outlives the stream: it is freed after the fclose below.
  std::unique_ptr<char[]> stream_buffer(new char[kStreamBufferBytes]);
  setvbuf(target.stream, stream_buffer.get(), _IOFBF, kStreamBufferBytes);

  curl_global_init(CURL_GLOBAL_ALL);
  CURL* curl = curl_easy_init();
  if (!curl) {
    fclose(target.stream);
    curl_global_cleanup();
    fputs("curl_easy_init failed\n", stderr);
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
  // A manifest must not make the updater read local files or speak other
  // protocols; a libcurl that cannot promise that gets no transfer.
  CURLcode result = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  if (result == CURLE_OK) result = curl_easy_perform(curl);

  // The last bytes of a body wait in the stream's buffer; a disk that fills
  // up now loses them as surely as during the transfer.
  if (fclose(target.stream) != 0) {
    target.short_write = true;
    if (result == CURLE_OK) result = CURLE_WRITE_ERROR;
  }
  curl_easy_cleanup(curl);
  curl_global_cleanup();

  if (result != CURLE_OK) {
    if (write_failed) *write_failed = target.short_write;
    fprintf(stderr, "%s\n", curl_easy_strerror(result));
    return -1;
  }
  return 0;
}
