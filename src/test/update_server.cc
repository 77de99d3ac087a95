#include "test/update_server.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

#include "base/eintr_wrapper.h"
#include "httplib.h"

namespace testing_util {

namespace {

const char kHost[] = "127.0.0.1";
const size_t kChunkSize = 64 * 1024;
// How long a stalled response holds its connection at most; Stop ends it
// sooner.
const int64_t kStallMilliseconds = 120 * 1000;

// An open file that closes itself; shared by a response and its provider.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) return std::string();
  return resolved;
}

// The file under |root| that |url_path| names, or "" when the path is not
// absolute, has a ".." segment or a NUL byte, or resolves outside the root.
std::string ResolveUnderRoot(const std::string& root,
                             const std::string& url_path) {
  if (url_path.empty() || url_path[0] != '/' ||
      url_path.find('\0') != std::string::npos) {
    return std::string();
  }
  size_t start = 1;
  while (start <= url_path.size()) {
    size_t end = url_path.find('/', start);
    if (end == std::string::npos) end = url_path.size();
    if (url_path.compare(start, end - start, "..") == 0) return std::string();
    start = end + 1;
  }
  std::string real_root = RealPath(root);
  std::string real_file = RealPath(root + url_path);
  if (real_root.empty() || real_file.empty()) return std::string();
  if (real_file.compare(0, real_root.size() + 1, real_root + "/") != 0) {
    return std::string();
  }
  return real_file;
}

// Parses "bytes=FIRST-" or "bytes=FIRST-LAST". False for every other form
// (suffix ranges, several ranges), which are answered with the whole file.
bool ParseRange(const std::string& value, uint64_t* first, uint64_t* last,
                bool* has_last) {
  const std::string kPrefix = "bytes=";
  if (value.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  size_t pos = kPrefix.size();
  auto parse_number = [&value, &pos](uint64_t* number) {
    size_t begin = pos;
    uint64_t result = 0;
    while (pos < value.size() && value[pos] >= '0' && value[pos] <= '9') {
      uint64_t digit = static_cast<uint64_t>(value[pos] - '0');
      if (result > (UINT64_MAX - digit) / 10) return false;
      result = result * 10 + digit;
      ++pos;
    }
    *number = result;
    return pos > begin;
  };
  uint64_t start = 0;
  if (!parse_number(&start)) return false;
  if (pos >= value.size() || value[pos] != '-') return false;
  ++pos;
  uint64_t end = 0;
  bool end_given = pos < value.size();
  if (end_given && (!parse_number(&end) || pos != value.size() || end < start))
    return false;
  *first = start;
  *last = end;
  *has_last = end_given;
  return true;
}

void SetErrorAnswer(int status, httplib::Response& response) {
  response.status = status;
  response.set_content("error " + std::to_string(status) + "\n", "text/plain");
}

}  // namespace

bool ServedRequest::operator==(const ServedRequest& other) const {
  return method == other.method && path == other.path && range == other.range &&
         status == other.status && body_bytes == other.body_bytes;
}

std::ostream& operator<<(std::ostream& out, const ServedRequest& request) {
  return out << "{" << request.method << " " << request.path << " range \""
             << request.range << "\" status " << request.status << " body "
             << request.body_bytes << "}";
}

UpdateServer::UpdateServer(const std::string& root) : root_(root) {}

UpdateServer::~UpdateServer() { Stop(); }

bool UpdateServer::Start(int port) {
  if (server_) return false;
  auto server = std::make_unique<httplib::Server>();
  // SO_REUSEADDR only: httplib's default adds SO_REUSEPORT, which would let
  // two servers share the test port silently.
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  // One request per connection, so Stop never waits for idle keep-alives.
  server->set_keep_alive_max_count(1);
  server->set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        HandleRequest(request, response);
        return httplib::Server::HandlerResponse::Handled;
      });

  int bound = port;
  if (port == 0) {
    bound = server->bind_to_any_port(kHost);
  } else if (!server->bind_to_port(kHost, port)) {
    bound = -1;
  }
  if (bound <= 0) return false;

  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  httplib::Server* raw = server.get();
  thread_ = std::thread([raw, finished] {
    raw->listen_after_bind();
    *finished = true;
  });
  // Stop() only takes effect once the accept loop runs.
  while (!raw->is_running() && !*finished) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_ = std::move(server);
  port_ = bound;
  if (*finished) {
    Stop();
    return false;
  }
  return true;
}

void UpdateServer::Stop() {
  if (!server_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

std::string UpdateServer::Url(const std::string& path) const {
  return std::string("http://") + kHost + ":" + std::to_string(port_) + path;
}

void UpdateServer::SetErrorStatus(const std::string& path, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status == 0) {
    error_status_.erase(path);
  } else {
    error_status_[path] = status;
  }
}

void UpdateServer::SetBreakAfter(const std::string& path, int64_t bytes,
                                 int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes < 0 || times == 0) {
    break_after_.erase(path);
  } else {
    break_after_[path] = BreakRule{bytes, times};
  }
}

void UpdateServer::SetDelay(const std::string& path, int milliseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (milliseconds <= 0) {
    delay_ms_.erase(path);
  } else {
    delay_ms_[path] = milliseconds;
  }
}

void UpdateServer::SetThrottle(const std::string& path,
                               int64_t bytes_per_second, int64_t after_bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes_per_second <= 0) {
    throttle_.erase(path);
  } else {
    throttle_[path] = {bytes_per_second, after_bytes};
  }
}

void UpdateServer::SetStallAfter(const std::string& path, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes < 0) {
    stall_after_.erase(path);
  } else {
    stall_after_[path] = bytes;
  }
}

void UpdateServer::SetEndlessBody(const std::string& path, EndlessBody body) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (body == EndlessBody::kOff) {
    endless_.erase(path);
  } else {
    endless_[path] = body;
  }
}

void UpdateServer::SetIgnoreRange(const std::string& path,
                                  IgnoredRange answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (answer == IgnoredRange::kOff) {
    ignored_range_.erase(path);
  } else {
    ignored_range_[path] = answer;
  }
}

std::vector<ServedRequest> UpdateServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ServedRequest> requests;
  for (const auto& request : requests_) requests.push_back(*request);
  return requests;
}

std::vector<ServedRequest> UpdateServer::RequestsFor(
    const std::string& path) const {
  std::vector<ServedRequest> requests = Requests();
  requests.erase(std::remove_if(requests.begin(), requests.end(),
                                [&path](const ServedRequest& request) {
                                  return request.path != path;
                                }),
                 requests.end());
  return requests;
}

std::vector<std::string> UpdateServer::RequestedPaths() const {
  std::vector<std::string> paths;
  for (const ServedRequest& request : Requests()) paths.push_back(request.path);
  return paths;
}

void UpdateServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

uint64_t UpdateServer::BodyBytesSent(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t total = 0;
  for (const auto& request : requests_) {
    if (request->path == path) total += request->body_bytes;
  }
  return total;
}

void UpdateServer::HandleRequest(const httplib::Request& request,
                                 httplib::Response& response) {
  // httplib would cut every answer (error texts included) to the requested
  // range on its own; ranges are answered here instead. The request object
  // is httplib's own non-const local, handed to us as const.
  const_cast<httplib::Request&>(request).ranges.clear();

  auto record = std::make_shared<ServedRequest>();
  record->method = request.method;
  record->path = request.path;
  record->range = request.get_header_value("Range");

  Delay(request.path);
  if (request.method != "GET" && request.method != "HEAD") {
    SetErrorAnswer(405, response);
  } else if (int status = ErrorStatusFor(request.path)) {
    if (status >= 400) {
      SetErrorAnswer(status, response);
    } else {
      response.status = status;
    }
  } else if (EndlessBody body = EndlessBodyFor(request.path);
             body != EndlessBody::kOff) {
    ServeEndlessBody(body, record, response);
  } else {
    ServeFile(request, record, response);
  }
  if (response.status == -1) response.status = 500;
  record->status = response.status;
  if (request.method != "HEAD") {
    record->body_bytes = response.body.size();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(record);
}

void UpdateServer::ServeFile(const httplib::Request& request,
                             const std::shared_ptr<ServedRequest>& record,
                             httplib::Response& response) {
  std::string path = ResolveUnderRoot(root_, request.path);
  int fd = path.empty()
               ? -1
               : HANDLE_EINTR(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  auto file = std::make_shared<FileHandle>(fd);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    SetErrorAnswer(404, response);
    return;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  uint64_t start = 0;
  uint64_t end = size;  // One past the last byte sent.
  response.status = 200;
  uint64_t first = 0, last = 0;
  bool has_last = false;
  const IgnoredRange ignored = IgnoredRangeFor(request.path);
  if (ignored == IgnoredRange::kOff &&
      ParseRange(request.get_header_value("Range"), &first, &last, &has_last)) {
    if (first >= size) {
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(size));
      return;
    }
    start = first;
    if (has_last && last < size) end = last + 1;
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(start) +
                                             "-" + std::to_string(end - 1) +
                                             "/" + std::to_string(size));
  }
  response.set_header("Accept-Ranges", "bytes");
  const char kType[] = "application/octet-stream";
  if (end == start) {
    response.set_content(std::string(), kType);
    return;
  }
  const uint64_t length = end - start;
  if (ignored == IgnoredRange::kUndeclared) {
    // Chunked, so that no length is declared.
    response.set_chunked_content_provider(
        kType,
        [this, file, length, record](size_t offset, httplib::DataSink& sink) {
          if (offset >= length) {
            sink.done();
            return true;
          }
          char buffer[kChunkSize];
          size_t count = static_cast<size_t>(
              std::min<uint64_t>(length - offset, kChunkSize));
          ssize_t got = HANDLE_EINTR(
              pread(file->fd(), buffer, count, static_cast<off_t>(offset)));
          if (got <= 0) return false;
          AddBodyBytes(record.get(), got);
          return sink.write(buffer, static_cast<size_t>(got));
        });
    return;
  }
  const int64_t break_after = TakeBreak(request.path, length);
  const Throttle throttle = ThrottleFor(request.path);
  const int64_t stall_after = StallFor(request.path);
  auto sent = std::make_shared<uint64_t>(0);
  response.set_content_provider(
      static_cast<size_t>(length), kType,
      [this, file, start, break_after, throttle, stall_after, record, sent](
          size_t offset, size_t wanted, httplib::DataSink& sink) {
        uint64_t limit = wanted;
        const uint64_t fast = static_cast<uint64_t>(throttle.after_bytes);
        if (*sent < fast && limit > fast - *sent) limit = fast - *sent;
        const int64_t rate = *sent < fast ? 0 : throttle.bytes_per_second;
        if (stall_after >= 0) {
          uint64_t allowed = static_cast<uint64_t>(stall_after);
          if (*sent >= allowed) {
            Pause(kStallMilliseconds);
            return false;
          }
          if (limit > allowed - *sent) limit = allowed - *sent;
        }
        if (rate > 0) {
          uint64_t slice = static_cast<uint64_t>(rate / 20 + 1);
          if (limit > slice) limit = slice;
        }
        if (break_after >= 0) {
          uint64_t allowed = static_cast<uint64_t>(break_after);
          if (*sent >= allowed) return false;
          if (limit > allowed - *sent) limit = allowed - *sent;
        }
        char buffer[kChunkSize];
        size_t count =
            limit < kChunkSize ? static_cast<size_t>(limit) : kChunkSize;
        ssize_t got = HANDLE_EINTR(pread(file->fd(), buffer, count,
                                         static_cast<off_t>(start + offset)));
        if (got <= 0) return false;  // The file shrank or cannot be read.
        // Counted before writing, so a client that has the bytes never sees
        // a smaller total.
        AddBodyBytes(record.get(), got);
        *sent += static_cast<uint64_t>(got);
        if (!sink.write(buffer, static_cast<size_t>(got))) {
          AddBodyBytes(record.get(), -got);
          return false;
        }
        return rate <= 0 || Pause(static_cast<int64_t>(got) * 1000 / rate);
      });
}

void UpdateServer::ServeEndlessBody(
    EndlessBody body, const std::shared_ptr<ServedRequest>& record,
    httplib::Response& response) {
  response.status = 200;
  auto provide = [this, record](size_t, httplib::DataSink& sink) {
    const std::string chunk(kChunkSize, 'x');
    AddBodyBytes(record.get(), static_cast<int64_t>(chunk.size()));
    return sink.write(chunk.data(), chunk.size());
  };
  const char kType[] = "application/octet-stream";
  if (body == EndlessBody::kDeclared) {
    response.set_content_provider(
        SIZE_MAX / 2, kType,
        [provide](size_t offset, size_t, httplib::DataSink& sink) {
          return provide(offset, sink);
        });
  } else {
    response.set_chunked_content_provider(kType, provide);
  }
}

void UpdateServer::Delay(const std::string& path) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = delay_ms_.find(path);
  if (it == delay_ms_.end()) return;
  stop_cv_.wait_for(lock, std::chrono::milliseconds(it->second),
                    [this] { return stopping_; });
}

bool UpdateServer::Pause(int64_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stop_cv_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [this] { return stopping_; });
}

void UpdateServer::AddBodyBytes(ServedRequest* record, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  record->body_bytes += static_cast<uint64_t>(bytes);
}

int64_t UpdateServer::TakeBreak(const std::string& path, uint64_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = break_after_.find(path);
  if (it == break_after_.end()) return -1;
  BreakRule& rule = it->second;
  if (static_cast<uint64_t>(rule.bytes) >= length) return -1;
  int64_t bytes = rule.bytes;
  if (rule.times > 0 && --rule.times == 0) break_after_.erase(it);
  return bytes;
}

UpdateServer::Throttle UpdateServer::ThrottleFor(
    const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = throttle_.find(path);
  return it == throttle_.end() ? Throttle() : it->second;
}

int64_t UpdateServer::StallFor(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = stall_after_.find(path);
  return it == stall_after_.end() ? -1 : it->second;
}

UpdateServer::EndlessBody UpdateServer::EndlessBodyFor(
    const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endless_.find(path);
  return it == endless_.end() ? EndlessBody::kOff : it->second;
}

UpdateServer::IgnoredRange UpdateServer::IgnoredRangeFor(
    const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = ignored_range_.find(path);
  return it == ignored_range_.end() ? IgnoredRange::kOff : it->second;
}

int UpdateServer::ErrorStatusFor(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = error_status_.find(path);
  return it == error_status_.end() ? 0 : it->second;
}

}  // namespace testing_util
