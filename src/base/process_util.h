#ifndef BASE_PROCESS_UTIL_H_
#define BASE_PROCESS_UTIL_H_

#include <stddef.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace base {

// Changes to the environment of a child, applied in order: an empty value
// removes the name, an empty name is skipped.
typedef std::vector<std::pair<std::string, std::string>> EnvironmentChanges;

// (source, target) pairs: the descriptor open as source in the caller is
// available as target in the child. Targets must be pairwise distinct.
typedef std::vector<std::pair<int, int>> DescriptorMap;

// One step of a remapping: make |dest| refer to what |source| refers to, and
// release |source| afterwards when |close_source| is set.
struct DescriptorMove {
  int source;
  int dest;
  bool close_source;
};

// What a remapping does to descriptors; tests substitute their own.
class InjectionDelegate {
 public:
  // Makes a new descriptor for what |fd| refers to and stores it in *out.
  virtual bool CloneDescriptor(int* out, int fd) = 0;
  // Makes |to| refer to what |from| refers to.
  virtual bool RemapDescriptor(int from, int to) = 0;
  // Closes |fd|; failures are ignored.
  virtual void ReleaseDescriptor(int fd) = 0;
  virtual ~InjectionDelegate() {}
};

// Acts on the calling process's descriptor table with dup, dup2 and close.
class FileDescriptorTableInjection : public InjectionDelegate {
 public:
  bool CloneDescriptor(int* out, int fd) override;
  bool RemapDescriptor(int from, int to) override;
  void ReleaseDescriptor(int fd) override;
};

// Performs |moves| in order through |delegate|, saving any source that an
// earlier move would overwrite in a temporary descriptor first. Returns false
// when a clone or remap fails; temporaries made so far then stay open.
bool ApplyDescriptorMoves(const std::vector<DescriptorMove>& moves,
                          InjectionDelegate* delegate);

// Closes every open descriptor of the calling process below the soft
// RLIMIT_NOFILE limit except 0, 1, 2 and the dest of each move.
void CloseInheritedDescriptors(const std::vector<DescriptorMove>& moves);

// Starts argv[0] (looked up through PATH) with |argv| in a child process that
// has |environment_changes| applied and only 0, 1, 2 and the targets of
// |descriptor_map| open. With |wait| the child is waited for (and reaped);
// otherwise the caller must reap it. Stores the child's pid in *out_pid when
// out_pid is not null. Returns false when no child could be created. A child
// that cannot run the program logs why and exits with status 127.
bool LaunchApp(const std::vector<std::string>& argv,
               const EnvironmentChanges& environment_changes,
               const DescriptorMap& descriptor_map, bool wait, pid_t* out_pid);
// The same with no environment changes.
bool LaunchApp(const std::vector<std::string>& argv,
               const DescriptorMap& descriptor_map, bool wait, pid_t* out_pid);

}  // namespace base

#endif  // BASE_PROCESS_UTIL_H_
