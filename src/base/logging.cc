#include "base/logging.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "base/debug_util.h"

namespace base {

namespace {

const char* const kSeverityNames[kNumSeverities] = {"INFO", "WARNING", "ERROR",
                                                    "ERROR_REPORT", "FATAL"};

pthread_mutex_t g_static_log_file_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t* g_allocated_log_file_lock = nullptr;

pthread_mutex_t* LogFileLock() {
  if (GetLogSettings().lock_kind == 0) return &g_static_log_file_lock;
  if (!g_allocated_log_file_lock) {
    g_allocated_log_file_lock = new pthread_mutex_t;
    pthread_mutex_init(g_allocated_log_file_lock, nullptr);
  }
  return g_allocated_log_file_lock;
}

// Opens the log file on first use; a failed open is retried by the next
// statement that needs it.
FILE* OpenLogFile() {
  LogSettings& settings = GetLogSettings();
  if (settings.log_file) return settings.log_file;
  if (settings.log_file_name.empty()) settings.log_file_name = "debug.log";
  settings.log_file = fopen(settings.log_file_name.c_str(), "ae");
  return settings.log_file;
}

// Only the part after the last backslash names the file; forward slashes
// stay, so "base/process_util_linux" is printed whole.
const char* ShortFileName(const char* file) {
  const char* last_backslash = strrchr(file, '\\');
  return last_backslash ? last_backslash + 1 : file;
}

// Appends formatted text to a fixed buffer, truncating when it is full.
class FixedWriter {
 public:
  FixedWriter(char* buffer, size_t size) : buffer_(buffer), size_(size) {
    buffer_[0] = '\0';
  }
  __attribute__((format(printf, 2, 3))) void Append(const char* format, ...) {
    if (used_ + 1 >= size_) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer_ + used_, size_ - used_, format, args);
    va_end(args);
    if (n < 0) return;
    used_ += static_cast<size_t>(n);
    if (used_ >= size_) used_ = size_ - 1;
  }
  size_t used() const { return used_; }

 private:
  char* buffer_;
  size_t size_;
  size_t used_ = 0;
};

// Writes all of |text| to |stream|, embedded NUL bytes included, and flushes.
void WriteWhole(FILE* stream, std::string_view text) {
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
}

}  // namespace

const char* SeverityName(Severity severity) {
  if (severity < 0 || severity >= kNumSeverities) return "UNKNOWN";
  return kSeverityNames[severity];
}

LogSettings& GetLogSettings() {
  static LogSettings* settings = new LogSettings;
  return *settings;
}

size_t FormatLogPrefix(char* buffer, size_t size, const char* file, int line,
                       Severity severity) {
  const LogSettings& settings = GetLogSettings();
  FixedWriter out(buffer, size);
  out.Append("[");
  if (settings.prefix_pid) out.Append("%d:", static_cast<int>(getpid()));
  if (settings.prefix_tid) {
    out.Append("%ld:", static_cast<long>(syscall(SYS_gettid)));
  }
  if (settings.prefix_wallclock) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    out.Append("%02d%02d/%02d%02d%02d:", local.tm_mon + 1, local.tm_mday,
               local.tm_hour, local.tm_min, local.tm_sec);
  }
  if (settings.prefix_monotonic_us) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t micros = static_cast<uint64_t>(ts.tv_sec) * 1000000u +
                      static_cast<uint64_t>(ts.tv_nsec) / 1000u;
    out.Append("%llu:", static_cast<unsigned long long>(micros));
  }
  out.Append("%s:%s(%d)] ", SeverityName(severity), ShortFileName(file), line);
  return out.used();
}

void DispatchLogText(Severity severity, std::string_view text,
                     size_t message_start) {
  LogSettings& settings = GetLogSettings();
  if (settings.intercept_hook && settings.intercept_hook(severity, text)) {
    return;
  }
  if (!settings.filter_prefix.empty() &&
      (severity == LOG_INFO || severity == LOG_WARNING) &&
      text.substr(message_start, settings.filter_prefix.size()) !=
          settings.filter_prefix) {
    return;
  }
  if (settings.destination == kLogToStderr ||
      settings.destination == kLogToFileAndStderr || severity >= LOG_ERROR) {
    WriteWhole(stderr, text);
  }
  if (settings.destination == kLogToFile ||
      settings.destination == kLogToFileAndStderr) {
    if (FILE* file = OpenLogFile()) {
      pthread_mutex_t* lock = LogFileLock();
      pthread_mutex_lock(lock);
      WriteWhole(file, text);
      pthread_mutex_unlock(lock);
    }
  }
  // The hooks and the message window get the text without its line end.
  std::string_view without_newline = text.substr(0, text.size() - 1);
  if (severity == LOG_FATAL) {
    FatalEndAction(without_newline);
  } else if (severity == LOG_ERROR_REPORT) {
    ReportEndAction(without_newline);
  }
}

LogEntry::LogEntry(const char* file, int line, Severity severity)
    : severity_(severity) {
  char prefix[1024];
  size_t length = FormatLogPrefix(prefix, sizeof(prefix), file, line, severity);
  stream_.write(prefix, static_cast<std::streamsize>(length));
  // Later insertions with a field width are zero-padded like the timestamp.
  if (GetLogSettings().prefix_wallclock) stream_.fill('0');
  message_start_ = stream_.tellp();
}

LogEntry::~LogEntry() {
  if (severity_ < GetLogSettings().min_severity) return;
  std::string text = stream_.str();
  text.push_back('\n');
  DispatchLogText(severity_, text, static_cast<size_t>(message_start_));
}

SystemErrorLogEntry::SystemErrorLogEntry(const char* file, int line,
                                         Severity severity, int error_number)
    : error_number_(error_number), entry_(file, line, severity) {}

SystemErrorLogEntry::~SystemErrorLogEntry() {
  entry_.stream() << ": " << SystemErrorText(error_number_);
}

std::string SystemErrorText(int error_number) {
  char buffer[256];
  buffer[0] = '\0';
  const char* text = strerror_r(error_number, buffer, sizeof(buffer));
  if (text != buffer) {
    buffer[0] = '\0';
    strncat(buffer, text, sizeof(buffer) - 1);
  }
  return buffer;
}

}  // namespace base
