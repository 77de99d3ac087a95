#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/debug_util.h"
#include "base/eintr_wrapper.h"
#include "base/logging.h"
#include "base/process_util.h"

namespace base {

namespace internal {

bool StatusFileShowsTracer(const char* path) {
  int fd = HANDLE_EINTR(open(path, O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  // Only what one read of this size returns is looked at; the field sits
  // near the top of the kernel's status file.
  char buffer[1024];
  ssize_t length = HANDLE_EINTR(read(fd, buffer, sizeof(buffer)));
  if (HANDLE_EINTR(close(fd)) < 0) return false;
  if (length <= 0) return false;

  std::string_view status(buffer, static_cast<size_t>(length));
  constexpr std::string_view kField = "TracerPid:\t";
  size_t field = status.find(kField);
  if (field == std::string_view::npos) return false;
  size_t value = field + kField.size();
  // A tracer pid of 0 means no tracer.
  return value < status.size() && status[value] != '0';
}

}  // namespace internal

bool DebugUtil::IsDebuggerAttached() {
  return internal::StatusFileShowsTracer("/proc/self/status");
}

void DebugUtil::TrapToDebugger() {
#if defined(__i386__) || defined(__x86_64__)
  // The breakpoint instruction stops a debugger right here. Without one the
  // kernel forces SIGTRAP's default action even where the signal is blocked
  // or ignored, so the process cannot go on.
  asm volatile("int3");
#else
  sigset_t trap;
  sigemptyset(&trap);
  sigaddset(&trap, SIGTRAP);
  struct sigaction action;
  if (sigaction(SIGTRAP, nullptr, &action) == 0 &&
      action.sa_handler == SIG_IGN) {
    signal(SIGTRAP, SIG_DFL);
  }
  pthread_sigmask(SIG_UNBLOCK, &trap, nullptr);
  raise(SIGTRAP);
#endif
}

void FatalEndAction(std::string_view text) {
  if (DebugUtil::IsDebuggerAttached()) {
    DebugUtil::TrapToDebugger();
    return;
  }
  if (LogEndHook hook = GetLogSettings().fatal_hook) {
    hook(text);
    return;
  }
  DebugUtil::TrapToDebugger();
}

void ReportEndAction(std::string_view text) {
  if (LogEndHook hook = GetLogSettings().report_hook) {
    hook(text);
    return;
  }
  ShowMessageWindow(text);
}

void ShowMessageWindow(std::string_view text) {
  if (text.empty()) return;
  std::vector<std::string> argv = {"xmessage", std::string(text)};
  // A window that cannot be shown leaves only the child's failure line.
  static_cast<void>(LaunchApp(argv, DescriptorMap(), true, nullptr));
}

}  // namespace base
