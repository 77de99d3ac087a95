#include "test/test_util.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_util {

namespace {

std::string TempRoot() {
  const char* tmpdir = getenv("TMPDIR");
  return tmpdir && *tmpdir ? tmpdir : "/tmp";
}

// Everything a child needs before exec, made in the parent: a child of a
// multithreaded process (the test server runs threads) must not allocate,
// since another thread may have held the allocator's lock at the fork.
struct ChildSetup {
  std::vector<std::string> environment;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

void PrepareChild(const std::vector<std::string>& argv,
                  const RunOptions& options, ChildSetup* setup) {
  auto name_of = [](const std::string& entry) {
    return entry.substr(0, entry.find('='));
  };
  std::vector<std::string> replaced = options.unset_env;
  for (const std::string& entry : options.set_env) {
    replaced.push_back(name_of(entry));
  }
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    if (std::find(replaced.begin(), replaced.end(), name_of(text)) ==
        replaced.end()) {
      setup->environment.push_back(text);
    }
  }
  setup->environment.insert(setup->environment.end(), options.set_env.begin(),
                            options.set_env.end());
  for (const std::string& arg : argv) {
    setup->argv.push_back(const_cast<char*>(arg.c_str()));
  }
  setup->argv.push_back(nullptr);
  for (std::string& entry : setup->environment) {
    setup->envp.push_back(&entry[0]);
  }
  setup->envp.push_back(nullptr);
}

// Sets up the child side of RunProcess/StartProcess and execs; never returns.
// Makes system calls only.
[[noreturn]] void ExecChild(const ChildSetup& setup, const RunOptions& options,
                            int out_fd, int err_fd) {
  int null_fd = open("/dev/null", O_RDWR);
  dup2(null_fd, 0);
  dup2(out_fd >= 0 ? out_fd : null_fd, 1);
  dup2(err_fd >= 0 ? err_fd : null_fd, 2);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  if (options.file_size_limit >= 0) {
    rlim_t bytes = static_cast<rlim_t>(options.file_size_limit);
    struct rlimit limit = {bytes, bytes};
    signal(SIGXFSZ, SIG_IGN);
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  }
  execvpe(setup.argv[0], setup.argv.data(), setup.envp.data());
  _exit(127);
}

// Forks a child that sets itself up as |options| say and execs |setup|;
// returns its pid, or -1. Under qemu's user emulation a fork in a
// multithreaded program now and then leaves the child stuck in the emulator
// before it runs anything, for good: there the parent waits until the exec
// closes a close-on-exec pipe, and forks again when that takes 10 seconds.
pid_t ForkChild(const ChildSetup& setup, const RunOptions& options, int out_fd,
                int err_fd) {
  if (!UnderEmulation()) {
    pid_t pid = fork();
    if (pid == 0) ExecChild(setup, options, out_fd, err_fd);
    return pid;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    int exec_pipe[2];
    if (pipe2(exec_pipe, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      close(exec_pipe[0]);
      ExecChild(setup, options, out_fd, err_fd);
    }
    close(exec_pipe[1]);
    if (pid < 0) {
      close(exec_pipe[0]);
      return -1;
    }
    struct pollfd exec_end = {exec_pipe[0], POLLIN, 0};
    int ready;
    while ((ready = poll(&exec_end, 1, 10 * 1000)) < 0 && errno == EINTR) {
    }
    close(exec_pipe[0]);
    if (ready > 0) return pid;  // Exec'd, or ended trying.
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  return -1;
}

double NowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

ScopedTempDir::ScopedTempDir() {
  std::string templ = TempRoot() + "/norvane_test.XXXXXX";
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

ScopedTempDir::~ScopedTempDir() { RemoveTree(path_); }

std::string ScopedTempDir::Child(const std::string& name) const {
  return path_ + "/" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

void RemoveTree(const std::string& path) {
  // Make every directory searchable and writable first, so trees that a test
  // left unreadable are removed too.
  RunProcess({"chmod", "-R", "u+rwx", path});
  RunProcess({"rm", "-rf", path});
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const RunOptions& options) {
  ProcessResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    return result;
  }
  ChildSetup setup;
  PrepareChild(argv, options, &setup);
  pid_t pid = ForkChild(setup, options, out_pipe[1], err_pipe[1]);
  result.pid = pid;
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }
  double deadline = NowSeconds() + options.timeout_seconds;
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    double left = deadline - NowSeconds();
    if (left <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left * 1000) + 1);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  // Output can stay open in grandchildren; stop waiting for it at the exit.
  for (struct pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  while (true) {
    pid_t done = waitpid(pid, &status, result.timed_out ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return result;
    if (done == 0) {
      if (NowSeconds() > deadline) {
        kill(pid, SIGKILL);
        result.timed_out = true;
      } else {
        usleep(10000);
      }
    }
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  return result;
}

pid_t StartProcess(const std::vector<std::string>& argv,
                   const RunOptions& options) {
  ChildSetup setup;
  PrepareChild(argv, options, &setup);
  return ForkChild(setup, options, -1, -1);
}

void KillProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool WaitUntil(const std::function<bool()>& fact, int timeout_seconds) {
  const double deadline = NowSeconds() + timeout_seconds;
  while (NowSeconds() < deadline) {
    if (fact()) return true;
    usleep(1000);
  }
  return fact();
}

bool WaitForCommandLine(pid_t pid, const std::string& word) {
  const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
  return WaitUntil(
      [&] { return ReadFile(cmdline).find(word) != std::string::npos; });
}

StderrCapture::StderrCapture() : path_(dir_.Child("stderr")) {
  fflush(stderr);
  saved_ = dup(2);
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  dup2(fd, 2);
  close(fd);
}

StderrCapture::~StderrCapture() { Restore(); }

std::string StderrCapture::Text() {
  fflush(stderr);
  return ReadFile(path_);
}

void StderrCapture::Restore() {
  if (saved_ < 0) return;
  fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  saved_ = -1;
}

int RunTraced(const std::function<void()>& child,
              const std::function<void()>& on_trap) {
  pid_t pid = fork();
  if (pid == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(kCannotTrace);
    // Wait here until the tracer is watching.
    raise(SIGSTOP);
    child();
    _exit(0);
  }
  if (pid < 0) return -1;
  while (true) {
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (!WIFSTOPPED(status)) return status;
    int signal_number = WSTOPSIG(status);
    if (signal_number == SIGTRAP) on_trap();
    int deliver = signal_number == SIGTRAP || signal_number == SIGSTOP
                      ? 0
                      : signal_number;
    ptrace(PTRACE_CONT, pid, nullptr,
           reinterpret_cast<void*>(static_cast<intptr_t>(deliver)));
  }
}

void DisableCoreDumps() {
  struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

namespace {

const char kHelperFlag[] = "--helper=";

std::map<std::string, HelperFunction>& Helpers() {
  static std::map<std::string, HelperFunction>* helpers =
      new std::map<std::string, HelperFunction>;
  return *helpers;
}

}  // namespace

HelperRegistration::HelperRegistration(const char* name,
                                       HelperFunction function) {
  Helpers()[name] = function;
}

std::vector<std::string> HelperCommand(const std::string& name,
                                       const std::vector<std::string>& args) {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length < 0) throw std::runtime_error("readlink /proc/self/exe failed");
  std::vector<std::string> command = {std::string(self, length),
                                      kHelperFlag + name};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

bool RunHelperIfRequested(int argc, char** argv, int* status) {
  if (argc < 2 || strncmp(argv[1], kHelperFlag, strlen(kHelperFlag)) != 0) {
    return false;
  }
  auto helper = Helpers().find(argv[1] + strlen(kHelperFlag));
  if (helper == Helpers().end()) {
    fprintf(stderr, "unknown helper: %s\n", argv[1]);
    *status = 125;
    return true;
  }
  *status = helper->second(std::vector<std::string>(argv + 2, argv + argc));
  fflush(stdout);
  return true;
}

bool UnderEmulation() {
  const char* emulator = getenv("NORVANE_TEST_EMULATOR");
  return emulator && *emulator;
}

std::string WithoutEmulatorReport(const std::string& text) {
  static const char kReport[] =
      "qemu: uncaught target signal 5 (Trace/breakpoint trap) - core dumped\n";
  const size_t length = sizeof(kReport) - 1;
  if (!UnderEmulation() || text.size() < length ||
      text.compare(text.size() - length, length, kReport) != 0) {
    return text;
  }
  return text.substr(0, text.size() - length);
}

std::string MaskLogTimes(const std::string& log) {
  // Each "[" followed by 4 digits, "/", 6 digits and ":"; written out by hand
  // because <regex> draws false warnings from GCC under the sanitizers.
  static const char kShape[] = "[dddd/dddddd:";
  static const char kMask[] = "[MMDD/HHMMSS:";
  const size_t length = sizeof(kShape) - 1;
  std::string masked = log;
  for (size_t start = 0; start + length <= masked.size(); ++start) {
    bool matches = true;
    for (size_t i = 0; i < length && matches; ++i) {
      char c = masked[start + i];
      matches = kShape[i] == 'd' ? c >= '0' && c <= '9' : c == kShape[i];
    }
    if (matches) masked.replace(start, length, kMask);
  }
  return masked;
}

}  // namespace testing_util
