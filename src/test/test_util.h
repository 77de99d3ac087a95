#ifndef TEST_TEST_UTIL_H_
#define TEST_TEST_UTIL_H_

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_util {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string Child(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers; ReadFile returns "" for a missing file.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
// Runs "rm -rf" on |path|, independently of the code under test.
void RemoveTree(const std::string& path);

struct ProcessResult {
  pid_t pid = -1;       // The child's process id.
  bool exited = false;  // Ended by exit(); exit_code is valid.
  int exit_code = -1;
  int term_signal = 0;     // Signal that ended it, when !exited.
  bool timed_out = false;  // Killed by RunProcess after the timeout.
  std::string out;         // Standard output.
  std::string err;         // Standard error.
};

struct RunOptions {
  std::string cwd;                     // Empty: the caller's directory.
  std::vector<std::string> set_env;    // "NAME=value" entries to set.
  std::vector<std::string> unset_env;  // Names to remove.
  int timeout_seconds = 120;
  // When not negative, the child's file size limit (RLIMIT_FSIZE) in bytes,
  // with SIGXFSZ ignored so that writes past it fail with EFBIG as on a full
  // disk. Both are inherited through exec.
  int64_t file_size_limit = -1;
};

// Runs |argv| (argv[0] looked up through PATH) with standard input from
// /dev/null, collecting its output; kills it with SIGKILL after the timeout.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const RunOptions& options = RunOptions());

// Starts |argv| in the background with the given options and no output
// capture (output goes to /dev/null). Returns its pid, or -1.
pid_t StartProcess(const std::vector<std::string>& argv,
                   const RunOptions& options = RunOptions());

// Kills and reaps a process started by StartProcess.
void KillProcess(pid_t pid);

// Polls |fact| every millisecond for at most |timeout_seconds|; whether it
// came.
bool WaitUntil(const std::function<bool()>& fact, int timeout_seconds = 30);

// Waits at most 30 seconds until the command line of process |pid|, as
// /proc shows it, contains |word| (a started child has exec'd its program);
// whether it did.
bool WaitForCommandLine(pid_t pid, const std::string& word);

// Sends standard error (descriptor 2) to a file for the lifetime of the object.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written to standard error so far.
  std::string Text();
  // Points standard error back where it was; Text() stays readable.
  void Restore();

 private:
  ScopedTempDir dir_;
  std::string path_;
  int saved_ = -1;
};

// Forks a child that is traced by this process and runs |child| in it (the
// child then exits with status 0 unless |child| ends it otherwise). Every stop
// of the child is resumed; at each SIGTRAP stop |on_trap| runs first and the
// signal is discarded, as a debugger does when told to continue. Returns the
// child's wait status; a child that could not be traced exits with
// kCannotTrace.
const int kCannotTrace = 97;
int RunTraced(const std::function<void()>& child,
              const std::function<void()>& on_trap);

// Keeps a process that is meant to die by a signal from writing a core file.
void DisableCoreDumps();

// Helper modes. A test program linked with norvane_test_main can be re-run as
// "PROGRAM --helper=NAME ARGS..." to do NAME's work in a fresh process, which
// reports through its output and exit status. Define a helper at file scope:
//   TEST_HELPER(list_fds) { ...; return 0; }  // |args| holds ARGS...
typedef int (*HelperFunction)(const std::vector<std::string>& args);

class HelperRegistration {
 public:
  HelperRegistration(const char* name, HelperFunction function);
};

#define TEST_HELPER(name)                                               \
  static int name##_helper(const std::vector<std::string>& args);       \
  static ::testing_util::HelperRegistration name##_helper_registration( \
      #name, name##_helper);                                            \
  static int name##_helper(                                             \
      [[maybe_unused]] const std::vector<std::string>& args)

// The argument vector that re-runs this program as helper |name|.
std::vector<std::string> HelperCommand(
    const std::string& name, const std::vector<std::string>& args = {});

// If argv asks for a helper, runs it and stores its exit status in *status.
// Returns false when argv is an ordinary test run.
bool RunHelperIfRequested(int argc, char** argv, int* status);

// Whether the tests run under qemu's user-mode emulation: the test command
// sets NORVANE_TEST_EMULATOR (to qemu-i386) when it runs them that way.
bool UnderEmulation();

// qemu reports a program that a signal ends with one more line on that
// program's standard error: "qemu: uncaught target signal 5
// (Trace/breakpoint trap) - core dumped". Under emulation, and only there,
// returns |text| without that line at its end; otherwise |text| unchanged.
std::string WithoutEmulatorReport(const std::string& text);

// Replaces the "MMDD/HHMMSS" stamp of every log line in |log| by
// "MMDD/HHMMSS", so whole logs can be compared.
std::string MaskLogTimes(const std::string& log);

}  // namespace testing_util

#endif  // TEST_TEST_UTIL_H_
