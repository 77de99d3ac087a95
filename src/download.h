#ifndef DOWNLOAD_H_
#define DOWNLOAD_H_

#include <stdint.h>

#include <string>

// The bounds of one transfer. A transfer that breaks one fails.
struct DownloadLimits {
  // A transfer that receives fewer than |stall_bytes_per_second| on average
  // over |stall_seconds| has stalled: a server that sends nothing, or a
  // trickle, or a connection the network dropped without a word. 0: never.
  long stall_seconds = 0;
  long stall_bytes_per_second = 0;
  // The whole transfer, connecting included, must end within this many
  // seconds, however steadily the bytes come. 0: no limit.
  long total_seconds = 0;
  // The target may grow to at most this many bytes, the bytes it held before
  // the call included.
  uint64_t max_file_bytes = UINT64_MAX;
};

// Why DownloadFile failed.
enum class DownloadError {
  kNone,
  kTarget,     // The target could not be opened or is not a regular file.
  kTransfer,   // The transfer failed: no connection, an HTTP error, a break.
  kStalled,    // No connection within the timeout, or the transfer stalled.
  kWrite,      // The target could not take the data: a full disk, a file size
               // limit. A retry on the same disk cannot mend it.
  kTooLarge,   // The body would have made the target larger than allowed.
  kOutOfTime,  // The transfer took longer than its total time limit.
};

// Fetches |url| with an HTTP GET and appends the body to |target_path|,
// asking the server to start where the file ends, so an interrupted transfer
// is resumed by the next call; callers that want a fresh copy remove the
// file first. A server (or a proxy) that answers such a request with the
// whole resource instead of the rest (200, not 206) has the file emptied
// before its body is written, with an entry of its own in the log, so the
// file ends up as if there had been no partial file. Only http and https
// URLs are fetched. Every block received is in the file before the next is
// received, so a killed process loses nothing it was given. The target is
// opened without following a symbolic link and only when it is a regular
// file.
//
// Returns 0 when the transfer completed. Returns -1 when the target cannot
// be opened (the system's error text on stderr) or the transfer fails
// (libcurl's text on stderr: "Timeout was reached" for a stall; for a body
// past |limits.max_file_bytes| also an entry of its own in the log, and the
// block that would pass it is not written, nor any block when the declared
// length passes it; for a transfer past |limits.total_seconds| "Timeout was
// reached" and an entry of its own); what arrived before a failure stays in
// the file. Sets |*error|, when not null, to why.
// Not thread-safe: initialises and cleans up libcurl globally.
int DownloadFile(const std::string& url, const std::string& target_path,
                 long connect_timeout_seconds,
                 const DownloadLimits& limits = DownloadLimits(),
                 DownloadError* error = nullptr);

#endif  // DOWNLOAD_H_
