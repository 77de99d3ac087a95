// Loads and initialises libcurl as DownloadFile does, makes and frees one
// easy handle and transfers nothing: the memory any libcurl client needs
// before its first byte, against which the download's peak is read.
//
//   bench_curl_floor

#include <curl/curl.h>

int main() {
  curl_global_init(CURL_GLOBAL_ALL);
  CURL* curl = curl_easy_init();
  if (curl) curl_easy_cleanup(curl);
  curl_global_cleanup();
  return curl ? 0 : 1;
}
