#ifndef DOWNLOAD_H_
#define DOWNLOAD_H_

#include <string>

// Fetches |url| with an HTTP GET and appends the body to |target_path|,
// asking the server to start where the file ends, so an interrupted transfer
// is resumed by the next call; callers that want a fresh copy remove the
// file first. Only http and https URLs are fetched. Returns 0 when the
// transfer completed. Returns -1 when the target cannot be opened (the
// system's error text on stderr) or the transfer fails (libcurl's text on
// stderr); what arrived before a failure stays in the file. When
// |write_failed| is not null it is set to whether the transfer failed because
// the target could not take the data (a full disk, a file size limit), which
// a retry on the same disk cannot mend.
// Not thread-safe: initialises and cleans up libcurl globally.
int DownloadFile(const std::string& url, const std::string& target_path,
                 long connect_timeout_seconds, bool* write_failed = nullptr);

#endif  // DOWNLOAD_H_
