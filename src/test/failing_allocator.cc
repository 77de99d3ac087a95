// A stand-in for libc's allocator that fails on request, for tests that
// preload it (LD_PRELOAD) into a program carrying the allocation replacements
// of base/process_util_linux.cc. Those call __libc_malloc and its siblings by
// name, so the definitions here see every allocation the program makes
// through them, and pass each on to libc's own or fail it.
//
// NORVANE_FAIL_ALLOCATIONS_FROM=N fails the call numbered N (counting from 0)
// and every later one, except calls whose size is zero. The size is the one
// the out-of-memory report names: the element size for calloc.
// NORVANE_FAIL_ALLOCATIONS_OVER=BYTES fails every call of at least that size
// as well, as an exhausted address space would.
// NORVANE_ALLOCATION_RECORD=PATH names a file that receives "failed SIZE" at
// the first failure and "calls COUNT" when the program exits normally.
//
// The first calls come before libc has set up environ, so both settings are
// read from /proc/self/environ; nothing here allocates.

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "base/eintr_wrapper.h"

namespace {

const char kFailFromName[] = "NORVANE_FAIL_ALLOCATIONS_FROM=";
const char kRecordName[] = "NORVANE_ALLOCATION_RECORD=";
const char kFailOverName[] = "NORVANE_FAIL_ALLOCATIONS_OVER=";

typedef void* (*SizeFunction)(size_t);
typedef void* (*ReallocFunction)(void*, size_t);
typedef void* (*CallocFunction)(size_t, size_t);
typedef void* (*MemalignFunction)(size_t, size_t);

// Written once, before g_state becomes kReady.
struct Setup {
  uint64_t fail_from = UINT64_MAX;
  uint64_t fail_over = UINT64_MAX;
  char record[512] = "";
  SizeFunction malloc = nullptr;
  SizeFunction valloc = nullptr;
  SizeFunction pvalloc = nullptr;
  ReallocFunction realloc = nullptr;
  CallocFunction calloc = nullptr;
  MemalignFunction memalign = nullptr;
};

enum State { kUnread, kReading, kReady };

Setup g_setup;
std::atomic<int> g_state{kUnread};
std::atomic<uint64_t> g_calls{0};
std::atomic<bool> g_failed{false};

// Keeps the value of the environment entry that starts with |name| from one
// NUL-terminated |entry|.
void TakeEntry(const char* entry, const char* name, char* value, size_t size) {
  size_t name_length = strlen(name);
  if (strncmp(entry, name, name_length) != 0) return;
  size_t length = strnlen(entry + name_length, size - 1);
  memcpy(value, entry + name_length, length);
  value[length] = '\0';
}

// The decimal number at the start of |text|; UINT64_MAX for none.
uint64_t Number(const char* text) {
  if (*text < '0' || *text > '9') return UINT64_MAX;
  uint64_t value = 0;
  for (const char* digit = text; *digit >= '0' && *digit <= '9'; ++digit) {
    value = value * 10 + static_cast<uint64_t>(*digit - '0');
  }
  return value;
}

// Reads the settings from the process's initial environment.
void ReadSettings(Setup* setup) {
  int fd = HANDLE_EINTR(open("/proc/self/environ", O_RDONLY | O_CLOEXEC));
  if (fd < 0) return;
  // Entries longer than this cannot be ours and are skipped.
  char entry[600];
  size_t used = 0;
  bool too_long = false;
  char fail_from[32] = "";
  char fail_over[32] = "";
  char chunk[4096];
  ssize_t length;
  while ((length = HANDLE_EINTR(read(fd, chunk, sizeof(chunk)))) > 0) {
    for (ssize_t i = 0; i < length; ++i) {
      if (chunk[i] != '\0') {
        if (used + 1 < sizeof(entry)) {
          entry[used++] = chunk[i];
        } else {
          too_long = true;
        }
        continue;
      }
      entry[used] = '\0';
      if (!too_long) {
        TakeEntry(entry, kFailFromName, fail_from, sizeof(fail_from));
        TakeEntry(entry, kFailOverName, fail_over, sizeof(fail_over));
        TakeEntry(entry, kRecordName, setup->record, sizeof(setup->record));
      }
      used = 0;
      too_long = false;
    }
  }
  close(fd);
  setup->fail_from = Number(fail_from);
  setup->fail_over = Number(fail_over);
}

template <typename Function>
void Resolve(const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The settings and libc's functions, taken at the first call from whichever
// thread makes it; other threads wait for them. dlsym finds a symbol of an
// object already loaded without allocating (were it to allocate, the call
// would come back here and wait for itself, and the test would time out).
const Setup& GetSetup() {
  if (g_state.load(std::memory_order_acquire) == kReady) return g_setup;
  int expected = kUnread;
  if (g_state.compare_exchange_strong(expected, kReading,
                                      std::memory_order_acq_rel)) {
    ReadSettings(&g_setup);
    Resolve("__libc_malloc", &g_setup.malloc);
    Resolve("__libc_valloc", &g_setup.valloc);
    Resolve("__libc_pvalloc", &g_setup.pvalloc);
    Resolve("__libc_realloc", &g_setup.realloc);
    Resolve("__libc_calloc", &g_setup.calloc);
    Resolve("__libc_memalign", &g_setup.memalign);
    g_state.store(kReady, std::memory_order_release);
  } else {
    while (g_state.load(std::memory_order_acquire) != kReady) sched_yield();
  }
  return g_setup;
}

// Appends "|label| |value|\n" to the record file, if one is named.
void Record(const char* label, uint64_t value) {
  const Setup& setup = GetSetup();
  if (setup.record[0] == '\0') return;
  char line[64];
  size_t length = strlen(label);
  memcpy(line, label, length);
  line[length++] = ' ';
  char digits[24];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) line[length++] = digits[--count];
  line[length++] = '\n';
  int fd = HANDLE_EINTR(
      open(setup.record, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (fd < 0) return;
  static_cast<void>(HANDLE_EINTR(write(fd, line, length)));
  close(fd);
}

// Counts the call and tells whether it fails. |size| is the size the report
// would name; zero-size calls cannot fail.
bool ShouldFail(size_t size) {
  uint64_t call = g_calls.fetch_add(1, std::memory_order_relaxed);
  const Setup& setup = GetSetup();
  if (size == 0 || (call < setup.fail_from && size < setup.fail_over)) {
    return false;
  }
  if (!g_failed.exchange(true)) Record("failed", size);
  return true;
}

__attribute__((destructor)) void RecordCallCount() {
  Record("calls", g_calls.load());
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* __libc_malloc(size_t size) {
  return ShouldFail(size) ? nullptr : GetSetup().malloc(size);
}

__attribute__((visibility("default"))) void* __libc_valloc(size_t size) {
  return ShouldFail(size) ? nullptr : GetSetup().valloc(size);
}

__attribute__((visibility("default"))) void* __libc_pvalloc(size_t size) {
  return ShouldFail(size) ? nullptr : GetSetup().pvalloc(size);
}

// A failed realloc leaves the old block as it was.
__attribute__((visibility("default"))) void* __libc_realloc(void* ptr,
                                                            size_t size) {
  return ShouldFail(size) ? nullptr : GetSetup().realloc(ptr, size);
}

__attribute__((visibility("default"))) void* __libc_calloc(size_t count,
                                                           size_t size) {
  return ShouldFail(size) ? nullptr : GetSetup().calloc(count, size);
}

__attribute__((visibility("default"))) void* __libc_memalign(size_t alignment,
                                                             size_t size) {
  return ShouldFail(size) ? nullptr : GetSetup().memalign(alignment, size);
}

}  // extern "C"
