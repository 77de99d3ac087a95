#include "download.h"

#include <curl/curl.h>
#include <stdio.h>
#include <sys/stat.h>

namespace {

size_t WriteBody(char* data, size_t size, size_t count, void* stream) {
  return fwrite(data, size, count, static_cast<FILE*>(stream));
}

}  // namespace

int DownloadFile(const std::string& url, const std::string& target_path,
                 long connect_timeout_seconds) {
  curl_off_t resume_offset = 0;
  struct stat st;
  if (stat(target_path.c_str(), &st) == 0) resume_offset = st.st_size;

  FILE* target = fopen(target_path.c_str(), "ab+e");
  if (!target) {
    perror(nullptr);
    return -1;
  }

  curl_global_init(CURL_GLOBAL_ALL);
  CURL* curl = curl_easy_init();
  if (!curl) {
    fclose(target);
    curl_global_cleanup();
    fputs("curl_easy_init failed\n", stderr);
    return -1;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, resume_offset);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, target);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  // A manifest must not make the updater read local files or speak other
  // protocols; a libcurl that cannot promise that gets no transfer.
  CURLcode result = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  if (result == CURLE_OK) result = curl_easy_perform(curl);

  fclose(target);
  curl_easy_cleanup(curl);
  curl_global_cleanup();

  if (result != CURLE_OK) {
    fprintf(stderr, "%s\n", curl_easy_strerror(result));
    return -1;
  }
  return 0;
}
