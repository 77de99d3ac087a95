// Replacements for libc's and libstdc++'s allocation entry points. Exported
// from the executable, they take every allocation of the process once the
// loader has set it up, from the shared libraries' constructors on: the
// loader's later ones, libc's, the standard library's and libcurl's included.
// They stop the process when an allocation of a nonzero size fails, so no
// caller ever sees that failure.

#include <errno.h>
#include <malloc.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <new>

#include "base/logging.h"
#include "base/out_of_memory.h"

#if defined(__SANITIZE_ADDRESS__)
#define NORVANE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVANE_ADDRESS_SANITIZER 1
#endif
#endif

// AddressSanitizer brings its own allocator; its builds keep libc's entry
// points as they are.
#if !defined(NORVANE_ADDRESS_SANITIZER)

namespace {

// Runs before the constructors of the shared libraries, whose allocations
// come here too, and takes the UTC offset that the out-of-memory report
// stamps its line with. The time zone needs TZ, but libc sets environ only in
// its own initialiser, which runs after this one, to this same vector.
void TakeTimeZoneBeforeLibraries(int, char**, char** envp) {
  if (!environ) environ = envp;
  base::NoteUtcOffset();
}

__attribute__((section(".preinit_array"), used)) void (*g_take_time_zone)(
    int, char**, char**) = TakeTimeZoneBeforeLibraries;

}  // namespace

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

// libc's aligned_alloc is its memalign under another name.
void* aligned_alloc(size_t alignment, size_t size) noexcept {
  return memalign(alignment, size);
}

// realloc(ptr, count * size). A product that overflows is a failed
// allocation too, reported as SIZE_MAX bytes: the product saturated.
void* reallocarray(void* ptr, size_t count, size_t size) noexcept {
  size_t bytes;
  if (__builtin_mul_overflow(count, size, &bytes)) {
    base::ReportOutOfMemory(SIZE_MAX);
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(ptr, bytes);
}

}  // extern "C"

// Every form of operator new. libstdc++'s own forms call malloc and
// aligned_alloc too, but its aligned form first rounds the size up to a
// multiple of the alignment, which wraps a huge size around to a small one;
// these ask for the size as given. What they return is released by free(),
// as libstdc++'s operator delete in all its forms does, so delete stays
// libstdc++'s. A failure has stopped the process inside malloc or memalign;
// when a debugger or the fatal hook lets it go on, the throwing forms throw
// std::bad_alloc and the others return null. No new handler is called.

void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return malloc(size == 0 ? 1 : size);
}

void* operator new(size_t size, std::align_val_t alignment,
                   const std::nothrow_t&) noexcept {
  return memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size);
}

void* operator new(size_t size) {
  void* result = operator new(size, std::nothrow);
  if (!result) throw std::bad_alloc();
  return result;
}

void* operator new(size_t size, std::align_val_t alignment) {
  void* result = operator new(size, alignment, std::nothrow);
  if (!result) throw std::bad_alloc();
  return result;
}

void* operator new[](size_t size) { return operator new(size); }

void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return operator new(size, std::nothrow);
}

void* operator new[](size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}

void* operator new[](size_t size, std::align_val_t alignment,
                     const std::nothrow_t&) noexcept {
  return operator new(size, alignment, std::nothrow);
}

#endif  // !defined(NORVANE_ADDRESS_SANITIZER)
