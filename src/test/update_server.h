#ifndef TEST_UPDATE_SERVER_H_
#define TEST_UPDATE_SERVER_H_

#include <stdint.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
struct Request;
struct Response;
class Server;
}  // namespace httplib

namespace testing_util {

// One request as the server saw and answered it.
struct ServedRequest {
  std::string method;       // "GET", "HEAD".
  std::string path;         // URL path, decoded, without the query.
  std::string range;        // Value of the Range header, "" when absent.
  int status = 0;           // Status code answered.
  uint64_t body_bytes = 0;  // Body bytes handed to the connection.

  bool operator==(const ServedRequest& other) const;
};
std::ostream& operator<<(std::ostream& out, const ServedRequest& request);

// An HTTP server on 127.0.0.1 that serves the files under a root directory:
// the URL path /a/b answers ROOT/a/b, read at each request, so tests may change
// the files between requests. Paths that lead outside the root (through ".."
// or symbolic links) answer 404. "Range: bytes=N-" (and "bytes=N-M") answers
// 206 with the rest of the file, or 416 with "Content-Range: bytes */SIZE"
// when N is at or past the end. Files are streamed in chunks, never held in
// memory whole.
//
// Per path, tests can make it answer an error status, break a transfer off
// mid-body, or wait before answering. Every request is recorded. All methods
// are thread-safe; requests are served on a pool of threads.
class UpdateServer {
 public:
  explicit UpdateServer(const std::string& root);
  ~UpdateServer();  // Stops the server.
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Binds 127.0.0.1:|port| (0 picks a free port) and serves on a thread of
  // its own. Returns once connections are accepted; false when the port
  // cannot be bound or the server already runs.
  bool Start(int port);
  // Stops accepting, cuts short pending delays and waits for the threads.
  // Transfers in progress may be cut off. Safe to call when not running.
  void Stop();

  // The bound port, 0 before Start.
  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + |path|.
  std::string Url(const std::string& path) const;

  // Requests for |path| answer |status| with a short text body instead of
  // the file. 0 restores normal serving.
  void SetErrorStatus(const std::string& path, int status);
  // Responses for |path| whose body is longer than |bytes| send that many
  // body bytes after headers announcing the full length, then close the
  // connection. |times| limits how many responses are broken (negative: all);
  // SetBreakAfter(path, -1) or a count used up restores normal serving.
  void SetBreakAfter(const std::string& path, int64_t bytes, int times = -1);
  // Requests for |path| wait |milliseconds| before being answered.
  // 0 removes the delay.
  void SetDelay(const std::string& path, int milliseconds);
  // Bodies for |path| are sent at about |bytes_per_second|, in slices of a
  // twentieth of a second, after their first |after_bytes| went at full
  // speed, so a client can be caught mid-transfer. 0 removes the limit.
  void SetThrottle(const std::string& path, int64_t bytes_per_second,
                   int64_t after_bytes = 0);
  // Responses for |path| send |bytes| body bytes (0: the headers alone) and
  // then nothing more, holding the connection open until Stop, like a server
  // that hangs or a network that drops the connection silently. -1 restores
  // normal serving.
  void SetStallAfter(const std::string& path, int64_t bytes);
  // Requests for |path| answer 200 with a body that never ends, whatever the
  // file holds: with a Content-Length far beyond any limit (kDeclared) or
  // chunked, with no length at all (kUndeclared). kOff restores normal
  // serving.
  enum class EndlessBody { kOff, kDeclared, kUndeclared };
  void SetEndlessBody(const std::string& path, EndlessBody body);

  // Requests for |path| answer 200 with the whole file whatever range they
  // ask for, like a server or a proxy that ignores Range: with the file's
  // Content-Length (kDeclared) or chunked, with no length (kUndeclared).
  // kOff restores normal serving.
  enum class IgnoredRange { kOff, kDeclared, kUndeclared };
  void SetIgnoreRange(const std::string& path, IgnoredRange answer);

  // The requests received so far, in the order their answers began.
  std::vector<ServedRequest> Requests() const;
  // Those of them for |path|.
  std::vector<ServedRequest> RequestsFor(const std::string& path) const;
  // The paths of all of them, in order.
  std::vector<std::string> RequestedPaths() const;
  void ClearRequests();
  // Sum of body bytes sent for |path| over all recorded requests.
  uint64_t BodyBytesSent(const std::string& path) const;

 private:
  struct BreakRule {
    int64_t bytes = -1;
    int times = -1;
  };
  struct Throttle {
    int64_t bytes_per_second = 0;
    int64_t after_bytes = 0;
  };

  void HandleRequest(const httplib::Request& request,
                     httplib::Response& response);
  // Waits out the delay set for |path|, or until Stop.
  void Delay(const std::string& path);
  // Waits |milliseconds| or until Stop; false when stopping.
  bool Pause(int64_t milliseconds);
  // Adds |bytes| (may be negative) to the body bytes of |record|.
  void AddBodyBytes(ServedRequest* record, int64_t bytes);
  // How many body bytes a response of |length| for |path| may send before
  // the connection is closed; -1 for no break. Uses up one break.
  int64_t TakeBreak(const std::string& path, uint64_t length);
  int ErrorStatusFor(const std::string& path) const;
  Throttle ThrottleFor(const std::string& path) const;
  int64_t StallFor(const std::string& path) const;
  EndlessBody EndlessBodyFor(const std::string& path) const;
  IgnoredRange IgnoredRangeFor(const std::string& path) const;
  void ServeEndlessBody(EndlessBody body,
                        const std::shared_ptr<ServedRequest>& record,
                        httplib::Response& response);
  void ServeFile(const httplib::Request& request,
                 const std::shared_ptr<ServedRequest>& record,
                 httplib::Response& response);

  const std::string root_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
  std::map<std::string, int> error_status_;
  std::map<std::string, BreakRule> break_after_;
  std::map<std::string, int> delay_ms_;
  std::map<std::string, Throttle> throttle_;
  std::map<std::string, int64_t> stall_after_;
  std::map<std::string, EndlessBody> endless_;
  std::map<std::string, IgnoredRange> ignored_range_;
  // Shared with the content providers that count the body bytes.
  std::vector<std::shared_ptr<ServedRequest>> requests_;
};

}  // namespace testing_util

#endif  // TEST_UPDATE_SERVER_H_
