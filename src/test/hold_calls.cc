// Preloaded (LD_PRELOAD) into the updater by tests that kill it at a chosen
// point of its moves: the updater makes the system call and this library
// holds it there, before the call, until the test kills the process.
//
//   NORVANE_HOLD_RENAMES=N     holds renameat once N calls of it have passed
//   NORVANE_HOLD_UNLINK=NAME   holds unlink of NAME
//   NORVANE_HOLD_CREATE=NAME   holds an openat that may create NAME (a last
//                              component, as the updater passes it)
//   NORVANE_HOLD_MARK=PATH     the file it makes once it holds
//   NORVANE_TRACE_CALLS=PATH   appends a line to PATH for each renameat,
//                              rename, unlink, fsync and syncfs, so that a
//                              test can check what reached the disk when
//
// The moves are the updater's only renameat calls, removing the install
// journal its only unlink of that name, and making the files of a delta's
// update its only openat calls that create files of a package's names. The
// settings are read once at load and removed from the environment with
// LD_PRELOAD itself, so the shell, tar and cp that the updater starts run as
// they are.

// Built without large-file redirection, so that openat and openat64 are two
// functions here, as they are two symbols in the C library.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace {

const char* hold_mark = nullptr;
long hold_renames = -1;
const char* hold_unlink = nullptr;
const char* hold_create = nullptr;
int trace_fd = -1;

void Trace(const char* call, const char* path = nullptr) {
  if (trace_fd < 0) return;
  char line[4096];
  int length = snprintf(line, sizeof(line), "%s%s%s\n", call, path ? " " : "",
                        path ? path : "");
  if (length > 0) {
    size_t size = std::min(static_cast<size_t>(length), sizeof(line) - 1);
    ssize_t written = write(trace_fd, line, size);
    (void)written;
  }
}

char* Take(const char* name) {
  const char* value = getenv(name);
  char* copy = value ? strdup(value) : nullptr;
  unsetenv(name);
  return copy;
}

__attribute__((constructor)) void ReadSettings() {
  hold_mark = Take("NORVANE_HOLD_MARK");
  if (char* renames = Take("NORVANE_HOLD_RENAMES")) {
    hold_renames = atol(renames);
    free(renames);
  }
  hold_unlink = Take("NORVANE_HOLD_UNLINK");
  hold_create = Take("NORVANE_HOLD_CREATE");
  if (char* trace = Take("NORVANE_TRACE_CALLS")) {
    trace_fd = open(trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    free(trace);
  }
  unsetenv("LD_PRELOAD");
}

[[noreturn]] void Hold() {
  if (hold_mark) {
    int fd = open(hold_mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
  }
  for (;;) pause();
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

long renames_passed = 0;

}  // namespace

extern "C" int renameat(int old_dir_fd, const char* old_path, int new_dir_fd,
                        const char* new_path) {
  if (hold_renames >= 0 && renames_passed++ == hold_renames) Hold();
  Trace("renameat", new_path);
  using Renameat = int (*)(int, const char*, int, const char*);
  static Renameat real = Next<Renameat>("renameat");
  return real(old_dir_fd, old_path, new_dir_fd, new_path);
}

extern "C" int unlink(const char* path) {
  if (hold_unlink && strcmp(hold_unlink, path) == 0) Hold();
  Trace("unlink", path);
  using Unlink = int (*)(const char*);
  static Unlink real = Next<Unlink>("unlink");
  return real(path);
}

extern "C" int rename(const char* old_path, const char* new_path) {
  Trace("rename", new_path);
  using Rename = int (*)(const char*, const char*);
  static Rename real = Next<Rename>("rename");
  return real(old_path, new_path);
}

extern "C" int fsync(int fd) {
  Trace("fsync");
  using Fsync = int (*)(int);
  static Fsync real = Next<Fsync>("fsync");
  return real(fd);
}

extern "C" int syncfs(int fd) {
  Trace("syncfs");
  using Syncfs = int (*)(int);
  static Syncfs real = Next<Syncfs>("syncfs");
  return real(fd);
}

namespace {

using Openat = int (*)(int, const char*, int, ...);

int OpenatHeld(Openat real, int dir_fd, const char* path, int flags,
               va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
    mode = va_arg(args, mode_t);
  }
  if (hold_create && (flags & O_CREAT) && strcmp(hold_create, path) == 0) {
    Hold();
  }
  return real(dir_fd, path, flags, mode);
}

}  // namespace

extern "C" int openat(int dir_fd, const char* path, int flags, ...) {
  static Openat real = Next<Openat>("openat");
  va_list args;
  va_start(args, flags);
  int fd = OpenatHeld(real, dir_fd, path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int openat64(int dir_fd, const char* path, int flags, ...) {
  static Openat real = Next<Openat>("openat64");
  va_list args;
  va_start(args, flags);
  int fd = OpenatHeld(real, dir_fd, path, flags, args);
  va_end(args);
  return fd;
}
