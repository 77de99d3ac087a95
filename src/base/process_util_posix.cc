#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "base/eintr_wrapper.h"
#include "base/logging.h"
#include "base/process_util.h"

namespace base {

namespace {

// Used when the descriptor limit cannot be read.
const int kDefaultDescriptorLimit = 8192;
const int kMaxDescriptorLimit = 2147483647;

int DescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return kDefaultDescriptorLimit;
  if (limit.rlim_cur > static_cast<rlim_t>(kMaxDescriptorLimit)) {
    return kMaxDescriptorLimit;
  }
  return static_cast<int>(limit.rlim_cur);
}

bool IsKept(long fd, const std::vector<DescriptorMove>& moves) {
  if (fd <= STDERR_FILENO) return true;
  return std::any_of(
      moves.begin(), moves.end(),
      [fd](const DescriptorMove& move) { return move.dest == fd; });
}

bool IsLaterTarget(const std::vector<DescriptorMove>& moves, size_t first,
                   int fd) {
  return std::any_of(
      moves.begin() + first, moves.end(),
      [fd](const DescriptorMove& move) { return move.dest == fd; });
}

// Clones |fd| onto a number that no move from |first_later| on targets. A
// clone takes the lowest free number, which may be such a target; that move
// would overwrite the saved descriptor, and releasing the temporaries at the
// end would then close the target.
bool CloneAvoidingTargets(const std::vector<DescriptorMove>& moves,
                          size_t first_later, int fd,
                          InjectionDelegate* delegate, int* out) {
  std::vector<int> in_the_way;
  int clone = -1;
  bool cloned = delegate->CloneDescriptor(&clone, fd);
  while (cloned && IsLaterTarget(moves, first_later, clone)) {
    in_the_way.push_back(clone);
    cloned = delegate->CloneDescriptor(&clone, clone);
  }
  for (int blocker : in_the_way) delegate->ReleaseDescriptor(blocker);
  if (!cloned) return false;
  *out = clone;
  return true;
}

// The child's side of LaunchApp: never returns.
[[noreturn]] void RunChild(const std::vector<std::string>& argv,
                           char* const* args,
                           const EnvironmentChanges& environment_changes,
                           const std::vector<DescriptorMove>& moves) {
  for (const auto& [name, value] : environment_changes) {
    if (name.empty()) continue;
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  FileDescriptorTableInjection injection;
  if (!ApplyDescriptorMoves(moves, &injection)) _exit(127);
  // SBX_D belongs to the launching process alone; no program it starts may
  // see it, whatever the caller's changes say.
  unsetenv("SBX_D");
  CloseInheritedDescriptors(moves);
  execvp(args[0], args);
  int error = errno;
  PLOG_AT(log_site::kExecvpFailed, LOG_ERROR, error)
      << "LaunchApp: execvp(" << argv[0] << ") failed";
  _exit(127);
}

}  // namespace

bool FileDescriptorTableInjection::CloneDescriptor(int* out, int fd) {
  *out = HANDLE_EINTR(dup(fd));
  return *out >= 0;
}

bool FileDescriptorTableInjection::RemapDescriptor(int from, int to) {
  return HANDLE_EINTR(dup2(from, to)) != -1;
}

void FileDescriptorTableInjection::ReleaseDescriptor(int fd) {
  HANDLE_EINTR(close(fd));
}

bool ApplyDescriptorMoves(const std::vector<DescriptorMove>& moves,
                          InjectionDelegate* delegate) {
  std::vector<DescriptorMove> pending(moves);
  std::vector<int> temporaries;
  for (size_t i = 0; i < pending.size(); ++i) {
    DescriptorMove& move = pending[i];
    const bool is_identity = move.source == move.dest;
    int temp = -1;
    for (size_t j = i + 1; j < pending.size(); ++j) {
      DescriptorMove& later = pending[j];
      if (!is_identity && move.dest == later.source) {
        // This move overwrites what the later one still needs: save it.
        if (temp == -1) {
          if (!CloneAvoidingTargets(pending, i + 1, move.dest, delegate,
                                    &temp)) {
            return false;
          }
          temporaries.push_back(temp);
        }
        later.source = temp;
        later.close_source = false;
      }
      if (move.close_source) {
        if (move.source == later.dest) {
          // The later move replaces the source anyway.
          move.close_source = false;
        } else if (move.source == later.source) {
          // The later move still reads the source; it releases it instead.
          move.close_source = false;
          later.close_source = true;
        }
      }
    }
    if (is_identity) continue;
    if (!delegate->RemapDescriptor(move.source, move.dest)) return false;
    if (move.close_source) delegate->ReleaseDescriptor(move.source);
  }
  for (int temp : temporaries) delegate->ReleaseDescriptor(temp);
  return true;
}

void CloseInheritedDescriptors(const std::vector<DescriptorMove>& moves) {
  const int limit = DescriptorLimit();
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) {
    for (int fd = 0; fd < limit; ++fd) {
      if (!IsKept(fd, moves)) HANDLE_EINTR(close(fd));
    }
    return;
  }
  const int dir_fd = dirfd(dir);
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    errno = 0;
    char* end = nullptr;
    long fd = strtol(entry->d_name, &end, 10);
    if (entry->d_name[0] == '\0' || *end != '\0' || fd < 0 || errno != 0) {
      continue;
    }
    if (IsKept(fd, moves) || fd == dir_fd || fd >= limit) continue;
    HANDLE_EINTR(close(static_cast<int>(fd)));
  }
  closedir(dir);
}

bool LaunchApp(const std::vector<std::string>& argv,
               const EnvironmentChanges& environment_changes,
               const DescriptorMap& descriptor_map, bool wait, pid_t* out_pid) {
  if (argv.empty()) return false;
  // Built before fork so the child has less to do before exec.
  std::vector<DescriptorMove> moves;
  for (const auto& [source, target] : descriptor_map) {
    moves.push_back(DescriptorMove{source, target, false});
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) RunChild(argv, args.data(), environment_changes, moves);

  if (wait) HANDLE_EINTR(waitpid(pid, nullptr, 0));
  if (out_pid) *out_pid = pid;
  return true;
}

bool LaunchApp(const std::vector<std::string>& argv,
               const DescriptorMap& descriptor_map, bool wait, pid_t* out_pid) {
  return LaunchApp(argv, EnvironmentChanges(), descriptor_map, wait, out_pid);
}

}  // namespace base
