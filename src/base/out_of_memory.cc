#include "base/out_of_memory.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <string_view>

#include "base/debug_util.h"
#include "base/logging.h"

namespace base {

namespace {

// Set while this thread is inside ReportOutOfMemory. A thread-local of the
// executable, so reading it needs neither the heap nor a lock.
thread_local bool t_reporting = false;

// Builds "Check failed: false. Out of memory, size = |size|" in |buffer|.
std::string_view SizeMessage(size_t size, char (&buffer)[80]) {
  constexpr std::string_view kText =
      "Check failed: false. Out of memory, size = ";
  memcpy(buffer, kText.data(), kText.size());
  char digits[20];
  size_t start = sizeof(digits);
  do {
    digits[--start] = static_cast<char>('0' + size % 10);
    size /= 10;
  } while (size != 0);
  size_t count = sizeof(digits) - start;
  memcpy(buffer + kText.size(), digits + start, count);
  return std::string_view(buffer, kText.size() + count);
}

}  // namespace

void ReportOutOfMemory(size_t size) {
  if (t_reporting) {
    // The report allocates nothing, so this failure came from the fatal hook;
    // reporting it would run the hook again, and fail again, without end.
    DebugUtil::TrapToDebugger();
    return;
  }
  t_reporting = true;
  int saved_errno = errno;
  if (size != 0) {
    char buffer[80];
    WriteFatalWithoutAllocating(log_site::kOutOfMemorySize,
                                SizeMessage(size, buffer));
  }
  WriteFatalWithoutAllocating(log_site::kOutOfMemory,
                              "Check failed: false. Out of memory.");
  errno = saved_errno;
  t_reporting = false;
}

}  // namespace base
