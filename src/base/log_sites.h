#ifndef BASE_LOG_SITES_H_
#define BASE_LOG_SITES_H_

// A log statement's site: the source name and line number printed in its
// prefix. They are part of the log's format, which people and tools read,
// so each layer fixes its sites in a table instead of letting them follow
// the code around. These are the support library's own.

namespace log_site {

struct Site {
  const char* file;
  int line;
};

constexpr Site kCouldntStat{"base/file_util_posix", 588};
constexpr Site kExecvpFailed{"base/process_util_posix", 443};
constexpr Site kOutOfMemorySize{"base/process_util_linux", 505};
constexpr Site kOutOfMemory{"base/process_util_linux", 506};

}  // namespace log_site

#endif  // BASE_LOG_SITES_H_
