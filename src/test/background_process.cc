#include "test/background_process.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>

#include "gtest/gtest.h"

namespace testing_util {

namespace {

// Ids of the processes whose parent is |parent|, read from /proc.
std::vector<pid_t> ChildProcesses(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (!proc) return children;
  while (struct dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::string stat =
        ReadFile(std::string("/proc/") + entry->d_name + "/stat");
    // "PID (COMMAND) STATE PPID ...": the command may hold spaces and ")".
    size_t paren = stat.rfind(')');
    int ppid = 0;
    if (paren != std::string::npos &&
        sscanf(stat.c_str() + paren + 1, " %*c %d", &ppid) == 1 &&
        ppid == parent) {
      children.push_back(static_cast<pid_t>(atoi(entry->d_name)));
    }
  }
  closedir(proc);
  return children;
}

}  // namespace

std::vector<pid_t> Descendants(pid_t root) {
  std::vector<pid_t> found = ChildProcesses(root);
  for (size_t i = 0; i < found.size(); ++i) {
    std::vector<pid_t> more = ChildProcesses(found[i]);
    found.insert(found.end(), more.begin(), more.end());
  }
  return found;
}

bool HasDescendantNamed(pid_t root, const std::string& name) {
  for (pid_t pid : Descendants(root)) {
    if (ReadFile("/proc/" + std::to_string(pid) + "/comm") == name + "\n") {
      return true;
    }
  }
  return false;
}

bool IsRunning(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() &&
         stat[paren + 2] != 'Z';
}

void KillAndAwait(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) kill(pid, SIGKILL);
  EXPECT_TRUE(WaitUntil([&] {
    return std::none_of(pids.begin(), pids.end(), IsRunning);
  })) << "a killed process still runs";
}

BackgroundRun::BackgroundRun(const std::vector<std::string>& argv,
                             const RunOptions& options)
    : pid_(StartProcess(argv, options)) {}

BackgroundRun::~BackgroundRun() { KillWithDescendants(); }

bool BackgroundRun::WaitFor(const std::function<bool()>& fact) {
  bool ended = false;
  bool came = WaitUntil([&] {
    int status;
    ended = waitpid(pid_, &status, WNOHANG) == pid_;
    return ended || fact();
  });
  if (ended) {
    reaped_ = true;
    ADD_FAILURE() << "the process ended before it could be killed";
  }
  return came && !ended;
}

int BackgroundRun::WaitForExit() {
  int status = 0;
  if (reaped_ ||
      !WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) {
    return -1;
  }
  reaped_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BackgroundRun::KillWithDescendants() {
  if (reaped_ || pid_ <= 0) return;
  // Gathered first: once the process is gone they have a new parent. Each is
  // stopped until no new one appears, so that none forks a child after the
  // gathering that would outlive the kill (and hold the run's lock).
  kill(pid_, SIGSTOP);
  std::vector<pid_t> descendants = Descendants(pid_);
  for (size_t stopped = 0; stopped < descendants.size();) {
    for (; stopped < descendants.size(); ++stopped) {
      kill(descendants[stopped], SIGSTOP);
    }
    for (pid_t pid : Descendants(pid_)) {
      if (std::find(descendants.begin(), descendants.end(), pid) ==
          descendants.end()) {
        descendants.push_back(pid);
      }
    }
  }
  kill(pid_, SIGKILL);
  KillAndAwait(descendants);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

}  // namespace testing_util
