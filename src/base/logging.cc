#include "base/logging.h"

#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "base/debug_util.h"
#include "base/eintr_wrapper.h"

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

// Appends text and decimal numbers to a fixed buffer, truncating when it is
// full and keeping the text NUL-terminated. It calls no formatting function
// of libc and allocates nothing, so the out-of-memory report can use it.
class FixedWriter {
 public:
  FixedWriter(char* buffer, size_t size) : buffer_(buffer), size_(size) {
    buffer_[0] = '\0';
  }
  void Append(std::string_view text) {
    size_t length = std::min(text.size(), size_ - 1 - used_);
    memcpy(buffer_ + used_, text.data(), length);
    used_ += length;
    buffer_[used_] = '\0';
  }
  // |value| in decimal, zero-filled to at least |min_digits| (at most 20)
  // digits after the sign.
  void AppendNumber(int64_t value, int min_digits = 1) {
    if (value < 0) Append("-");
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value)
                                   : static_cast<uint64_t>(value);
    char digits[20];
    size_t start = sizeof(digits);
    do {
      digits[--start] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0 && start > 0);
    while (sizeof(digits) - start < static_cast<size_t>(min_digits) &&
           start > 0) {
      digits[--start] = '0';
    }
    Append(std::string_view(digits + start, sizeof(digits) - start));
  }
  size_t used() const { return used_; }

 private:
  char* buffer_;
  size_t size_;
  size_t used_ = 0;
};

// The UTC offset of local time, in seconds, that the last look-up found.
std::atomic<long> g_utc_offset{0};

// Local time now, from libc's time-zone code; keeps its UTC offset.
struct tm LookUpLocalTime() {
  time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  g_utc_offset.store(local.tm_gmtoff, std::memory_order_relaxed);
  return local;
}

// Appends the prefix for |settings|; |local| is the time stamp, used only
// when the settings ask for one.
void AppendPrefix(FixedWriter* out, const LogSettings& settings,
                  const struct tm& local, const char* file, int line,
                  Severity severity) {
  out->Append("[");
  if (settings.prefix_pid) {
    out->AppendNumber(getpid());
    out->Append(":");
  }
  if (settings.prefix_tid) {
    out->AppendNumber(syscall(SYS_gettid));
    out->Append(":");
  }
  if (settings.prefix_wallclock) {
    out->AppendNumber(local.tm_mon + 1, 2);
    out->AppendNumber(local.tm_mday, 2);
    out->Append("/");
    out->AppendNumber(local.tm_hour, 2);
    out->AppendNumber(local.tm_min, 2);
    out->AppendNumber(local.tm_sec, 2);
    out->Append(":");
  }
  if (settings.prefix_monotonic_us) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    out->AppendNumber(static_cast<int64_t>(ts.tv_sec) * 1000000 +
                      ts.tv_nsec / 1000);
    out->Append(":");
  }
  out->Append(SeverityName(severity));
  out->Append(":");
  out->Append(ShortFileName(file));
  out->Append("(");
  out->AppendNumber(line);
  out->Append(")] ");
}

// Writes all of |size| bytes at |data| to |fd|; gives up at the first error.
void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = HANDLE_EINTR(write(fd, data, size));
    if (written <= 0) return;
    data += written;
    size -= static_cast<size_t>(written);
  }
}

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
  // Built in static storage at the first call and never destroyed: the
  // out-of-memory report may make that call from inside a failed allocation,
  // and statements written at exit still find the settings.
  alignas(LogSettings) static unsigned char storage[sizeof(LogSettings)];
  static LogSettings* settings = new (storage) LogSettings;
  return *settings;
}

size_t FormatLogPrefix(char* buffer, size_t size, const char* file, int line,
                       Severity severity) {
  const LogSettings& settings = GetLogSettings();
  struct tm local = {};
  if (settings.prefix_wallclock) local = LookUpLocalTime();
  FixedWriter out(buffer, size);
  AppendPrefix(&out, settings, local, file, line, severity);
  return out.used();
}

void NoteUtcOffset() { LookUpLocalTime(); }

void WriteFatalWithoutAllocating(const log_site::Site& site,
                                 std::string_view message) {
  const LogSettings& settings = GetLogSettings();
  if (LOG_FATAL < settings.min_severity) return;
  // localtime_r may hold the time-zone lock around the very allocation that
  // failed, so the stamp is reckoned from the offset it found earlier.
  struct tm local = {};
  if (settings.prefix_wallclock) {
    internal::BreakDownShiftedTime(
        time(nullptr), g_utc_offset.load(std::memory_order_relaxed), &local);
  }
  char text[512];
  // Keep the last byte free for the line end.
  FixedWriter out(text, sizeof(text) - 1);
  AppendPrefix(&out, settings, local, site.file, site.line, LOG_FATAL);
  out.Append(message);
  size_t length = out.used();
  text[length] = '\n';
  WriteAll(STDERR_FILENO, text, length + 1);
  FatalEndAction(std::string_view(text, length));
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

namespace internal {

void BreakDownShiftedTime(int64_t utc_seconds, long utc_offset,
                          struct tm* out) {
  const int64_t kSecondsPerDay = 86400;
  int64_t seconds = utc_seconds + utc_offset;
  int64_t days = seconds / kSecondsPerDay;
  int64_t second_of_day = seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  // The civil date of a day count in the proleptic Gregorian calendar, with
  // years counted from 1 March so that the leap day ends them (the algorithm
  // of Howard Hinnant's "chrono-Compatible Low-Level Date Algorithms").
  days += 719468;  // Days from 0000-03-01 to 1970-01-01.
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 +
                               day_of_era / 36524 - day_of_era / 146096) /
                              365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_from_march = (5 * day_of_year + 2) / 153;
  const int month = static_cast<int>(
      month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  const int64_t year = era * 400 + year_of_era + (month <= 2 ? 1 : 0);
  out->tm_year = static_cast<int>(year - 1900);
  out->tm_mon = month - 1;
  out->tm_mday =
      static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  out->tm_hour = static_cast<int>(second_of_day / 3600);
  out->tm_min = static_cast<int>(second_of_day / 60 % 60);
  out->tm_sec = static_cast<int>(second_of_day % 60);
}

}  // namespace internal

}  // namespace base
