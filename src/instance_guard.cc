#include "instance_guard.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>

#include "base/eintr_wrapper.h"
#include "base/logging.h"
#include "update_log_sites.h"
#include "update_settings.h"

namespace {

// Tries to take an exclusive lock on the pid file, creating it when absent.
// Returns true when another process holds the lock. Otherwise this process
// holds it until it exits (the descriptor stays open, close-on-exec), or the
// pid file could not be opened or locked at all, which leaves the decision
// to the pid file's contents.
bool PidFileIsLockedElsewhere() {
  int fd = HANDLE_EINTR(open(kPidFileName, O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (fd < 0) fd = HANDLE_EINTR(open(kPidFileName, O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  if (HANDLE_EINTR(flock(fd, LOCK_EX | LOCK_NB)) != 0) {
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK;
  }
  return false;
}

}  // namespace

bool ProcessCommandLineContains(const std::string& pid_text,
                                const std::string& word) {
  std::ifstream cmdline("/proc/" + pid_text + "/cmdline", std::ios::binary);
  if (!cmdline.is_open()) return false;
  std::string first_line;
  std::getline(cmdline, first_line);
  return first_line.find(word) != std::string::npos;
}

bool IsAnotherInstanceRunning() {
  if (PidFileIsLockedElsewhere()) return true;
  std::ifstream pid_file(kPidFileName);
  if (!pid_file.is_open()) return false;
  std::string pid_text;
  pid_file >> pid_text;
  if (atoi(pid_text.c_str()) == getpid()) return false;
  return ProcessCommandLineContains(pid_text, kUpdaterWord);
}

bool WritePidFile() {
  FILE* pid_file = fopen(kPidFileName, "we");
  if (!pid_file) {
    LOG_AT(log_site::kCantWritePidFile, base::LOG_ERROR)
        << "can't write pid file." << std::endl;
    return false;
  }
  fprintf(pid_file, "%d", static_cast<int>(getpid()));
  fclose(pid_file);
  return true;
}
