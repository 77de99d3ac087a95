#include "base/process_util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "test/test_util.h"

extern char** environ;

namespace base {
namespace {

using testing_util::HelperCommand;
using testing_util::MaskLogTimes;
using testing_util::RunProcess;
using testing_util::ScopedTempDir;

// What descriptor |fd| refers to: "pipe", "null" for /dev/null, or the base
// name of a file.
std::string DescribeDescriptor(int fd) {
  char target[4096];
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
  if (length < 0) return "?";
  std::string path(target, static_cast<size_t>(length));
  if (path.compare(0, 5, "pipe:") == 0) return "pipe";
  return path.substr(path.rfind('/') + 1);
}

// Prints this process's open descriptors as "fd:what" separated by spaces.
TEST_HELPER(list_fds) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 1;
  std::vector<int> fds;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = atoi(entry->d_name);
    if (fd != dirfd(dir)) fds.push_back(fd);
  }
  closedir(dir);
  std::sort(fds.begin(), fds.end());
  std::string out;
  for (int fd : fds) {
    if (!out.empty()) out += ' ';
    out += std::to_string(fd) + ":" + DescribeDescriptor(fd);
  }
  printf("%s\n", out.c_str());
  return 0;
}

// Args: DIR, then "open:FD:NAME" (DIR/NAME opened as FD), "map:SOURCE:TARGET"
// and "limit:N" (soft descriptor limit). Starts with only 0, 1 and 2 open,
// sets up the descriptors and launches list_fds with the map, waiting for it.
TEST_HELPER(launch_list_fds) {
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  DescriptorMap map;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& item = args[i];
    int number = 0;
    char name[256];
    int source = 0, target = 0;
    if (sscanf(item.c_str(), "open:%d:%255s", &number, name) == 2) {
      int fd = open((args[0] + "/" + name).c_str(), O_RDWR | O_CREAT, 0600);
      if (fd < 0 || dup2(fd, number) < 0) return 3;
      if (fd != number) close(fd);
    } else if (sscanf(item.c_str(), "map:%d:%d", &source, &target) == 2) {
      map.emplace_back(source, target);
    } else if (sscanf(item.c_str(), "limit:%d", &number) == 1) {
      struct rlimit limit;
      getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = static_cast<rlim_t>(number);
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 4;
    } else {
      return 5;
    }
  }
  return LaunchApp(HelperCommand("list_fds"), map, true, nullptr) ? 0 : 2;
}

// Prints the whole environment, sorted, one entry a line.
TEST_HELPER(print_env) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) entries.push_back(*entry);
  std::sort(entries.begin(), entries.end());
  for (const std::string& entry : entries) printf("%s\n", entry.c_str());
  return 0;
}

struct ChildDescriptorCase {
  const char* name;
  std::vector<std::string> setup;
  const char* expected;  // What the launched program finds open.
};

TEST(LaunchAppTest, ChildSeesOnlyStandardAndMappedDescriptors) {
  // 0 is /dev/null, 1 and 2 are the output pipes of RunProcess.
  const ChildDescriptorCase kCases[] = {
      {"empty map",
       {"open:3:a", "open:4:b", "open:9:c"},
       "0:null 1:pipe 2:pipe"},
      {"onto stdin", {"open:5:a", "map:5:0"}, "0:a 1:pipe 2:pipe"},
      {"swap",
       {"open:3:a", "open:4:b", "map:3:4", "map:4:3"},
       "0:null 1:pipe 2:pipe 3:b 4:a"},
      {"identity",
       {"open:3:a", "open:4:b", "map:3:3"},
       "0:null 1:pipe 2:pipe 3:a"},
      // Saving 4 for the last move takes the lowest free number, 5, which
      // the second move targets.
      {"temporary on a later target",
       {"open:3:a", "open:4:b", "open:7:c", "map:3:4", "map:7:5", "map:4:3"},
       "0:null 1:pipe 2:pipe 3:b 4:a 5:c"},
      {"at or above the limit",
       {"open:3:a", "open:60:b", "open:61:c", "limit:60"},
       "0:null 1:pipe 2:pipe 60:b 61:c"},
  };
  for (const ChildDescriptorCase& test : kCases) {
    SCOPED_TRACE(test.name);
    ScopedTempDir dir;
    std::vector<std::string> args = {dir.path()};
    args.insert(args.end(), test.setup.begin(), test.setup.end());
    testing_util::ProcessResult result =
        RunProcess(HelperCommand("launch_list_fds", args));
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(0, result.exit_code);
    EXPECT_EQ(std::string(test.expected) + "\n", result.out);
    EXPECT_EQ("", result.err);
  }
}

// Reads |fd| to its end and closes it.
std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

// Launches |argv| with a pipe as descriptor |target| and returns what the
// child wrote there; stores its wait status in *status.
std::string LaunchAndRead(const std::vector<std::string>& argv,
                          const EnvironmentChanges& changes, int target,
                          int* status) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
  pid_t pid = -1;
  bool launched = LaunchApp(argv, changes, {{fds[1], target}}, false, &pid);
  close(fds[1]);
  std::string text = ReadAll(fds[0]);
  EXPECT_TRUE(launched);
  EXPECT_GT(pid, 0);
  EXPECT_EQ(pid, waitpid(pid, status, 0));
  return text;
}

class ScopedEnvironment {
 public:
  ScopedEnvironment() {
    for (char** entry = environ; *entry; ++entry) saved_.push_back(*entry);
  }
  ~ScopedEnvironment() {
    clearenv();
    for (const std::string& entry : saved_) {
      size_t eq = entry.find('=');
      setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
  }

 private:
  std::vector<std::string> saved_;
};

TEST(LaunchAppTest, ChildGetsEnvironmentChangesButNeverSbxD) {
  ScopedEnvironment restore;
  setenv("NORVANE_KEPT", "kept", 1);
  setenv("NORVANE_REPLACED", "old", 1);
  setenv("NORVANE_REMOVED", "here", 1);
  setenv("SBX_D", "outer", 1);
  std::vector<std::string> expected;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (name != "NORVANE_KEPT" && name != "NORVANE_REPLACED" &&
        name != "NORVANE_REMOVED" && name != "NORVANE_ADDED" &&
        name != "SBX_D") {
      expected.push_back(text);
    }
  }
  expected.push_back("NORVANE_ADDED=added");
  expected.push_back("NORVANE_KEPT=kept");
  expected.push_back("NORVANE_REPLACED=new");
  std::sort(expected.begin(), expected.end());
  std::string expected_text;
  for (const std::string& entry : expected) expected_text += entry + "\n";

  const EnvironmentChanges changes = {
      {"", "nameless"},
      {"NORVANE_ADDED", "added"},
      {"NORVANE_REPLACED", "new"},
      {"NORVANE_REMOVED", ""},
      {"SBX_D", "inner"},
  };
  int status = 0;
  EXPECT_EQ(expected_text,
            LaunchAndRead(HelperCommand("print_env"), changes, 1, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // The caller's own environment is untouched.
  EXPECT_STREQ("old", getenv("NORVANE_REPLACED"));
  EXPECT_STREQ("here", getenv("NORVANE_REMOVED"));
  EXPECT_STREQ("outer", getenv("SBX_D"));
  EXPECT_EQ(nullptr, getenv("NORVANE_ADDED"));
}

TEST(LaunchAppTest, MissingProgramLogsInTheChildWhichExitsWith127) {
  int status = 0;
  std::string log = LaunchAndRead({"norvane-no-such-program", "x"},
                                  EnvironmentChanges(), 2, &status);
  EXPECT_EQ(
      "[MMDD/HHMMSS:ERROR:base/process_util_posix(443)] LaunchApp: "
      "execvp(norvane-no-such-program) failed: No such file or directory\n",
      MaskLogTimes(log));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(127, WEXITSTATUS(status));
}

TEST(LaunchAppTest, WaitReapsTheChildBeforeReturning) {
  ScopedTempDir dir;
  std::string marker = dir.Child("marker");
  pid_t pid = -1;
  ASSERT_TRUE(LaunchApp({"sh", "-c", "echo done > \"$0\"", marker},
                        DescriptorMap(), true, &pid));
  EXPECT_GT(pid, 0);
  EXPECT_EQ("done\n", testing_util::ReadFile(marker));
  errno = 0;
  EXPECT_EQ(-1, waitpid(pid, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
}

TEST(LaunchAppTest, EmptyArgumentVectorStartsNothing) {
  pid_t pid = 12345;
  EXPECT_FALSE(LaunchApp({}, DescriptorMap(), true, &pid));
  EXPECT_EQ(12345, pid);
}

// Records what a remapping does; clones take the lowest free number, as dup
// does. Descriptors in fail_on make the operation on them fail.
class RecordingDelegate : public InjectionDelegate {
 public:
  RecordingDelegate(std::set<int> open, std::set<int> fail_on)
      : open_(std::move(open)), fail_on_(std::move(fail_on)) {}

  bool CloneDescriptor(int* out, int fd) override {
    if (fail_on_.count(fd)) {
      Record("clone " + std::to_string(fd) + " failed");
      *out = -1;
      return false;
    }
    int lowest = 0;
    while (open_.count(lowest)) ++lowest;
    open_.insert(lowest);
    *out = lowest;
    Record("clone " + std::to_string(fd) + "->" + std::to_string(lowest));
    return true;
  }
  bool RemapDescriptor(int from, int to) override {
    if (fail_on_.count(from)) {
      Record("remap " + std::to_string(from) + " failed");
      return false;
    }
    open_.insert(to);
    Record("remap " + std::to_string(from) + "->" + std::to_string(to));
    return true;
  }
  void ReleaseDescriptor(int fd) override {
    open_.erase(fd);
    Record("release " + std::to_string(fd));
  }

  const std::string& log() const { return log_; }

 private:
  void Record(const std::string& call) {
    if (!log_.empty()) log_ += ", ";
    log_ += call;
  }

  std::set<int> open_;
  std::set<int> fail_on_;
  std::string log_;
};

std::string MovesText(const std::vector<DescriptorMove>& moves) {
  std::string text;
  for (const DescriptorMove& move : moves) {
    text += std::to_string(move.source) + ">" + std::to_string(move.dest) +
            (move.close_source ? "c " : " ");
  }
  return text;
}

struct MovesCase {
  const char* name;
  std::set<int> open;
  std::vector<DescriptorMove> moves;
  std::set<int> fail_on;
  bool result;
  const char* calls;
};

TEST(ApplyDescriptorMovesTest, PerformsMovesInOrderThroughTheDelegate) {
  const std::set<int> kUpTo4 = {0, 1, 2, 3, 4};
  const MovesCase kCases[] = {
      {"no moves", kUpTo4, {}, {}, true, ""},
      {"single", {0, 1, 2, 5}, {{5, 0, false}}, {}, true, "remap 5->0"},
      {"identity", kUpTo4, {{3, 3, false}}, {}, true, ""},
      {"swap",
       kUpTo4,
       {{3, 4, false}, {4, 3, false}},
       {},
       true,
       "clone 4->5, remap 3->4, remap 5->3, release 5"},
      {"temporary kept off a later target",
       {0, 1, 2, 3, 4, 7},
       {{3, 4, false}, {7, 5, false}, {4, 3, false}},
       {},
       true,
       "clone 4->5, clone 5->6, release 5, remap 3->4, remap 7->5, "
       "remap 6->3, release 6"},
      {"chain",
       {0, 1, 2, 3, 4, 5},
       {{3, 4, false}, {4, 5, false}, {5, 6, false}},
       {},
       true,
       "clone 4->6, clone 6->7, release 6, remap 3->4, "
       "clone 5->6, clone 6->8, release 6, remap 7->5, remap 8->6, "
       "release 7, release 8"},
      {"close source",
       {0, 1, 2, 3},
       {{3, 4, true}},
       {},
       true,
       "remap 3->4, release 3"},
      {"release passed to a later move reading the same source",
       {0, 1, 2, 3},
       {{3, 4, true}, {3, 5, false}},
       {},
       true,
       "remap 3->4, remap 3->5, release 3"},
      {"no release of a source a later move replaces",
       {0, 1, 2, 3, 5},
       {{3, 4, true}, {5, 3, false}},
       {},
       true,
       "remap 3->4, remap 5->3"},
      {"a temporary source is never released by its move",
       kUpTo4,
       {{3, 4, false}, {4, 5, true}},
       {},
       true,
       "clone 4->5, clone 5->6, release 5, remap 3->4, remap 6->5, "
       "release 6"},
      {"failed clone",
       kUpTo4,
       {{3, 4, false}, {4, 3, false}},
       {4},
       false,
       "clone 4 failed"},
      {"failed remap leaves temporaries open",
       kUpTo4,
       {{3, 4, false}, {4, 3, false}},
       {3},
       false,
       "clone 4->5, remap 3 failed"},
  };
  for (const MovesCase& test : kCases) {
    SCOPED_TRACE(test.name);
    RecordingDelegate delegate(test.open, test.fail_on);
    std::string moves_before = MovesText(test.moves);
    EXPECT_EQ(test.result, ApplyDescriptorMoves(test.moves, &delegate));
    EXPECT_EQ(test.calls, delegate.log());
    EXPECT_EQ(moves_before, MovesText(test.moves));
  }
}

}  // namespace
}  // namespace base
