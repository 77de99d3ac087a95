// Replacements for libc's allocation entry points. Exported from the
// executable, they take every allocation of the process, libc's, the
// standard library's and libcurl's included, and stop the process when an
// allocation of a nonzero size fails, so no caller ever sees that failure.

#include <errno.h>
#include <malloc.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string_view>

#include "base/debug_util.h"
#include "base/eintr_wrapper.h"
#include "base/logging.h"
#include "base/process_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define NORVANE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVANE_ADDRESS_SANITIZER 1
#endif
#endif

namespace base {

namespace {

// Room for the longest prefix (pid, tid, time, microseconds) and message.
const size_t kReportSize = 512;

// The report must not allocate: the allocator has just failed, and a failing
// allocation inside the report would come back here. Load what the prefix
// needs (the time zone, the settings) while memory is still available.
[[maybe_unused]] const bool g_report_ready = [] {
  tzset();
  GetLogSettings();
  return true;
}();

// Writes one FATAL statement from |site| with |message|, built in a fixed
// buffer and written to standard error in one write, then runs the FATAL end
// action. A FATAL statement below the minimum severity is dropped whole.
void ReportFatal(const log_site::Site& site, const char* message) {
  if (LOG_FATAL < GetLogSettings().min_severity) return;
  char text[kReportSize];
  // Keep the last byte free for the line end.
  size_t length =
      FormatLogPrefix(text, sizeof(text) - 1, site.file, site.line, LOG_FATAL);
  size_t message_length = strnlen(message, sizeof(text) - 1 - length);
  memcpy(text + length, message, message_length);
  length += message_length;
  text[length] = '\n';
  HANDLE_EINTR(write(STDERR_FILENO, text, length + 1));
  FatalEndAction(std::string_view(text, length));
}

}  // namespace

void ReportOutOfMemory(size_t size) {
  if (size != 0) {
    char message[96];
    snprintf(message, sizeof(message),
             "Check failed: false. Out of memory, size = %zu", size);
    ReportFatal(log_site::kOutOfMemorySize, message);
  }
  ReportFatal(log_site::kOutOfMemory, "Check failed: false. Out of memory.");
}

}  // namespace base

// AddressSanitizer brings its own allocator; its builds keep libc's entry
// points as they are.
#if !defined(NORVANE_ADDRESS_SANITIZER)

extern "C" {

void* __libc_malloc(size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) noexcept {
  void* result = __libc_malloc(size);
  if (!result && size != 0) base::ReportOutOfMemory(size);
  return result;
}

void* valloc(size_t size) noexcept {
  void* result = __libc_valloc(size);
  if (!result && size != 0) base::ReportOutOfMemory(size);
  return result;
}

void* pvalloc(size_t size) noexcept {
  void* result = __libc_pvalloc(size);
  if (!result && size != 0) base::ReportOutOfMemory(size);
  return result;
}

// realloc(ptr, 0) releases the block and may return null; that is no failure.
void* realloc(void* ptr, size_t size) noexcept {
  void* result = __libc_realloc(ptr, size);
  if (!result && size != 0) base::ReportOutOfMemory(size);
  return result;
}

// The element size, not the product, is tested and reported.
void* calloc(size_t count, size_t size) noexcept {
  void* result = __libc_calloc(count, size);
  if (!result && size != 0) base::ReportOutOfMemory(size);
  return result;
}

void* memalign(size_t alignment, size_t size) noexcept {
  void* result = __libc_memalign(alignment, size);
  if (!result && size != 0) base::ReportOutOfMemory(size);
  return result;
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  // Only a power of two multiple of sizeof(void*) is a valid alignment;
  // memalign would quietly round any other up.
  if (alignment == 0 || alignment % sizeof(void*) != 0 ||
      (alignment & (alignment - 1)) != 0) {
    return EINVAL;
  }
  // A failure of nonzero size has stopped the process inside memalign.
  *out = memalign(alignment, size);
  return 0;
}

}  // extern "C"

#endif  // !defined(NORVANE_ADDRESS_SANITIZER)
