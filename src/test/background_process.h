#ifndef TEST_BACKGROUND_PROCESS_H_
#define TEST_BACKGROUND_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "test/test_util.h"

namespace testing_util {

// Ids of every process below |root| (children, their children, ...), read
// from /proc.
std::vector<pid_t> Descendants(pid_t root);

// Whether a process below |root| runs the program |name| (its "comm").
bool HasDescendantNamed(pid_t root, const std::string& name);

// Whether process |pid| exists and has not ended: a zombie has released
// everything it held (its descriptors, and so its locks).
bool IsRunning(pid_t pid);

// Kills |pids| with SIGKILL and waits, at most 30 seconds, until none of
// them runs, whoever their parent is now.
void KillAndAwait(const std::vector<pid_t>& pids);

// A process started in the background (an updater, a stand-in browser), to
// be killed part way through. Killed with its descendants when it goes away.
class BackgroundRun {
 public:
  BackgroundRun(const std::vector<std::string>& argv,
                const RunOptions& options);
  ~BackgroundRun();
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;

  // Waits until |fact| holds while the process runs. False (and a test
  // failure) when it ended first; false when the fact did not come within
  // 30 seconds.
  bool WaitFor(const std::function<bool()>& fact);

  // Kills the process and the ones it started (shell, tar, gzip, cp) with
  // SIGKILL, as a crash of the session or a power cut would, reaps it and
  // waits until the others have ended too (they may hold its lock).
  void KillWithDescendants();

  // Waits, at most 30 seconds, until the process ends by itself and reaps
  // it. Its exit code; -1 when it did not exit within that time or was
  // killed.
  int WaitForExit();

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

}  // namespace testing_util

#endif  // TEST_BACKGROUND_PROCESS_H_
