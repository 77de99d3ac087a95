#include "instance_guard.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <sstream>
#include <string_view>

#include "base/eintr_wrapper.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

// The descriptor that holds the lock on the pid file, or -1.
int g_lock_fd = -1;

// The kernel's command lines are bounded, but a probe reads no more than
// this of one anyway.
const size_t kMaxCommandLineBytes = 1024 * 1024;

// Reads at most |max_size| bytes from the start of the file open on |fd|,
// which it closes, into |*contents|. False when reading fails.
bool ReadPrefix(int fd, size_t max_size, std::string* contents) {
  std::string bytes(max_size, '\0');
  size_t used = 0;
  ssize_t count = 1;
  while (used < max_size && count > 0) {
    count = HANDLE_EINTR(read(fd, &bytes[used], max_size - used));
    if (count > 0) used += static_cast<size_t>(count);
  }
  close(fd);
  if (count < 0) return false;
  bytes.resize(used);
  contents->swap(bytes);
  return true;
}

bool IsProcessIdText(const std::string& text) {
  return !text.empty() &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// Tries to take an exclusive lock on the pid file, creating it when absent.
// Returns true when another process holds the lock. Otherwise this process
// holds it until it exits (the descriptor stays open, close-on-exec, in
// g_lock_fd), or the pid file could not be opened or locked at all (it is
// not a regular file, say), which leaves the decision to the pid file's
// contents.
bool PidFileIsLockedElsewhere() {
  int fd = base::OpenRegularFile(kPidFileName, O_RDWR | O_CREAT);
  if (fd < 0) fd = base::OpenRegularFile(kPidFileName, O_RDONLY);
  if (fd < 0) return false;
  if (HANDLE_EINTR(flock(fd, LOCK_EX | LOCK_NB)) != 0) {
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK;
  }
  if (g_lock_fd >= 0) close(g_lock_fd);
  g_lock_fd = fd;
  return false;
}

}  // namespace

bool ProcessCommandLineContains(const std::string& pid_text,
                                const std::string& word) {
  // Only a process id names a process: "self", "thread-self" or "1/../self"
  // would name this very process, which would then wait for itself.
  if (!IsProcessIdText(pid_text)) return false;
  int fd = HANDLE_EINTR(
      open(("/proc/" + pid_text + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC));
  std::string cmdline;
  if (fd < 0 || !ReadPrefix(fd, kMaxCommandLineBytes, &cmdline)) return false;
  std::string_view first_line(cmdline);
  first_line = first_line.substr(0, first_line.find('\n'));
  return first_line.find(word) != std::string_view::npos;
}

bool IsAnotherInstanceRunning() {
  if (PidFileIsLockedElsewhere()) return true;
  // Not followed when it is a link, and only its start is read: a process
  // id is a few digits.
  int fd = base::OpenRegularFile(kPidFileName, O_RDONLY);
  std::string contents;
  if (fd < 0 || !ReadPrefix(fd, kMaxPidFileBytes, &contents)) return false;
  // One word: leading white space skipped, then up to the next white space.
  std::istringstream words(contents);
  std::string pid_text;
  words >> pid_text;
  if (atoi(pid_text.c_str()) == getpid()) return false;
  return ProcessCommandLineContains(pid_text, kUpdaterWord);
}

void SetInstanceLockInherited(bool inherited) {
  if (g_lock_fd < 0) return;
  int flags = fcntl(g_lock_fd, F_GETFD);
  if (flags < 0) return;
  flags = inherited ? flags & ~FD_CLOEXEC : flags | FD_CLOEXEC;
  (void)fcntl(g_lock_fd, F_SETFD, flags);
}

bool WritePidFile() {
  int fd = base::OpenRegularFile(kPidFileName, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) {
    LOG_AT(log_site::kCantWritePidFile, base::LOG_ERROR)
        << "can't write pid file." << std::endl;
    return false;
  }
  (void)base::WriteAll(fd, std::to_string(static_cast<int>(getpid())));
  close(fd);
  return true;
}
