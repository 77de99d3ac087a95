#include "download.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "test/test_util.h"
#include "test/update_server.h"

namespace {

using testing_util::FileExists;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::ServedRequest;
using testing_util::StderrCapture;
using testing_util::UpdateServer;
using testing_util::WriteFile;

const long kTimeout = 8;
const char kPackagePath[] = "/update/norvane.tar.gz";

// Distinct bytes at every offset, longer than one chunk of the server.
std::string PackageBytes() {
  std::string bytes;
  for (int i = 0; i < 300000; ++i) {
    bytes.push_back(static_cast<char>((i * 7 + i / 256) & 0xff));
  }
  return bytes;
}

// Compares file contents, reporting sizes and the first differing offset
// instead of printing megabytes.
testing::AssertionResult SameBytes(const std::string& expected,
                                   const std::string& actual) {
  if (expected == actual) return testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() &&
         expected[at] == actual[at]) {
    ++at;
  }
  return testing::AssertionFailure()
         << "expected " << expected.size() << " bytes, got " << actual.size()
         << ", first difference at offset " << at;
}

// The last line of |text|, without its line end.
std::string LastLine(const std::string& text) {
  std::string body = text;
  if (!body.empty() && body.back() == '\n') body.pop_back();
  size_t start = body.rfind('\n');
  return start == std::string::npos ? body : body.substr(start + 1);
}

class DownloadFileTest : public testing::Test {
 protected:
  DownloadFileTest() : server_(root_.path()), package_(PackageBytes()) {}

  void SetUp() override {
    mkdir(root_.Child("update").c_str(), 0755);
    WriteFile(root_.Child("update/norvane.tar.gz"), package_);
    ASSERT_TRUE(server_.Start(0));
  }

  std::string Target() const { return work_.Child("norvane.tar.gz"); }

  // Runs DownloadFile with standard error captured into |err|.
  int Download(const std::string& url, const std::string& target,
               std::string* err) {
    StderrCapture capture;
    int result = DownloadFile(url, target, kTimeout);
    *err = capture.Text();
    return result;
  }

  ScopedTempDir root_;
  ScopedTempDir work_;
  UpdateServer server_;
  const std::string package_;
};

TEST_F(DownloadFileTest, FetchesWholeFileIntoAbsentTarget) {
  std::string err;
  EXPECT_EQ(0, Download(server_.Url(kPackagePath), Target(), &err));
  EXPECT_TRUE(SameBytes(package_, ReadFile(Target())));
  EXPECT_EQ((std::vector<ServedRequest>{
                {"GET", kPackagePath, "", 200, package_.size()}}),
            server_.Requests());
}

TEST_F(DownloadFileTest, ResumesAfterExistingBytes) {
  // The existing bytes differ from the server's, to show that they are kept
  // and the rest is appended after them.
  const size_t kHave = 70001;
  const std::string existing(kHave, 'x');
  WriteFile(Target(), existing);
  std::string err;
  EXPECT_EQ(0, Download(server_.Url(kPackagePath), Target(), &err));
  EXPECT_TRUE(SameBytes(existing + package_.substr(kHave), ReadFile(Target())));
  EXPECT_EQ((std::vector<ServedRequest>{{"GET", kPackagePath, "bytes=70001-",
                                         206, package_.size() - kHave}}),
            server_.Requests());
}

TEST_F(DownloadFileTest, BrokenTransferKeepsWhatArrivedAndResumes) {
  server_.SetBreakAfter(kPackagePath, 100000, 1);
  std::string err;
  EXPECT_EQ(-1, Download(server_.Url(kPackagePath), Target(), &err));
  EXPECT_EQ("Transferred a partial file", LastLine(err));
  EXPECT_TRUE(SameBytes(package_.substr(0, 100000), ReadFile(Target())));

  EXPECT_EQ(0, Download(server_.Url(kPackagePath), Target(), &err));
  EXPECT_TRUE(SameBytes(package_, ReadFile(Target())));
  EXPECT_EQ((std::vector<ServedRequest>{{"GET", kPackagePath, "", 200, 100000},
                                        {"GET", kPackagePath, "bytes=100000-",
                                         206, package_.size() - 100000}}),
            server_.Requests());
}

TEST_F(DownloadFileTest, CompleteTargetGetsRangeNotSatisfiable) {
  WriteFile(Target(), package_);
  std::string err;
  EXPECT_EQ(-1, Download(server_.Url(kPackagePath), Target(), &err));
  EXPECT_EQ("HTTP response code said error", LastLine(err));
  EXPECT_TRUE(SameBytes(package_, ReadFile(Target())));
  EXPECT_EQ((std::vector<ServedRequest>{
                {"GET", kPackagePath, "bytes=300000-", 416, 0}}),
            server_.Requests());
}

// Error answers are not written into the target, whatever it held.
TEST_F(DownloadFileTest, ErrorStatusLeavesTargetAsItWas) {
  struct Case {
    int status;
    bool target_exists;
    std::string before;
  };
  const Case kCases[] = {
      {404, false, ""},
      {503, false, ""},
      {404, true, "partial"},
      {500, true, "partial"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.status);
    SCOPED_TRACE(c.before);
    std::string target = work_.Child("target");
    remove(target.c_str());
    if (c.target_exists) WriteFile(target, c.before);
    server_.SetErrorStatus(kPackagePath, c.status);
    std::string err;
    EXPECT_EQ(-1, Download(server_.Url(kPackagePath), target, &err));
    EXPECT_EQ("HTTP response code said error", LastLine(err));
    EXPECT_TRUE(FileExists(target));
    EXPECT_EQ(c.before, ReadFile(target));
  }
  // A missing file on the server is a plain 404 as well.
  std::string err;
  EXPECT_EQ(-1, Download(server_.Url("/update/missing"), Target(), &err));
  EXPECT_EQ("HTTP response code said error", LastLine(err));
  EXPECT_TRUE(FileExists(Target()));
  EXPECT_EQ("", ReadFile(Target()));
}

// URLs that never reach the server fail with libcurl's text and leave an
// empty target; other schemes never touch local files or other services.
TEST_F(DownloadFileTest, UnusableUrlsFail) {
  const std::string local = work_.Child("local.ini");
  WriteFile(local, "[secret]\n");
  UpdateServer stopped(root_.path());
  ASSERT_TRUE(stopped.Start(0));
  const std::string closed_url = stopped.Url(kPackagePath);
  stopped.Stop();

  struct Case {
    std::string url;
    std::string error;
  };
  const Case kCases[] = {
      {"", "URL using bad/illegal format or missing URL"},
      {"file://" + local, "Unsupported protocol"},
      {"FILE://" + local, "Unsupported protocol"},
      {"ftp://127.0.0.1:" + std::to_string(server_.port()) + "/x",
       "Unsupported protocol"},
      {"dict://127.0.0.1:" + std::to_string(server_.port()) + "/x",
       "Unsupported protocol"},
      {closed_url, "Couldn't connect to server"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.url);
    remove(Target().c_str());
    std::string err;
    EXPECT_EQ(-1, Download(c.url, Target(), &err));
    EXPECT_EQ(c.error, LastLine(err));
    EXPECT_TRUE(FileExists(Target()));
    EXPECT_EQ("", ReadFile(Target()));
  }
  EXPECT_EQ("[secret]\n", ReadFile(local));
  EXPECT_TRUE(server_.Requests().empty());
}

// Keeps this process's writes to files within |bytes| while it lives, as a
// full disk would: a write past it fails with EFBIG.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    saved_handler_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {bytes, saved_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~ScopedFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, saved_handler_);
  }

 private:
  struct rlimit saved_;
  sighandler_t saved_handler_;
};

// Each failure says why: only a target that cannot take the data counts as
// a write failure, which the caller keeps instead of going on with it; a
// target that is not a regular file is never written.
TEST_F(DownloadFileTest, ReportsWhyATransferFailed) {
  WriteFile(work_.Child("complete"), package_);
  ASSERT_EQ(0, mkfifo(work_.Child("fifo").c_str(), 0644));
  ASSERT_EQ(
      0, symlink(work_.Child("complete").c_str(), work_.Child("link").c_str()));
  struct Case {
    std::string url;
    std::string target;
    int break_after;    // -1: whole transfer.
    rlim_t size_limit;  // RLIM_INFINITY: none.
    int result;
    DownloadError error;
    std::string message;  // Last line on stderr.
  };
  const std::string kWriteError =
      "Failed writing received data to disk/application";
  const Case kCases[] = {
      {server_.Url(kPackagePath), work_.Child("limited"), -1, 100000, -1,
       DownloadError::kWrite, kWriteError},
      {server_.Url(kPackagePath), work_.Child("fresh"), -1, RLIM_INFINITY, 0,
       DownloadError::kNone, ""},
      {server_.Url(kPackagePath), work_.Child("broken"), 1000, RLIM_INFINITY,
       -1, DownloadError::kTransfer, "Transferred a partial file"},
      {server_.Url(kPackagePath), work_.Child("complete"), -1, RLIM_INFINITY,
       -1, DownloadError::kTransfer, "HTTP response code said error"},
      {server_.Url("/update/missing"), work_.Child("missing"), -1,
       RLIM_INFINITY, -1, DownloadError::kTransfer,
       "HTTP response code said error"},
      {server_.Url(kPackagePath), work_.Child("no-dir/x"), -1, RLIM_INFINITY,
       -1, DownloadError::kTarget, "No such file or directory"},
      {server_.Url(kPackagePath), "/dev/full", -1, RLIM_INFINITY, -1,
       DownloadError::kTarget, "Not a regular file"},
      {server_.Url(kPackagePath), work_.Child("fifo"), -1, RLIM_INFINITY, -1,
       DownloadError::kTarget, "Not a regular file"},
      {server_.Url(kPackagePath), work_.Child("link"), -1, RLIM_INFINITY, -1,
       DownloadError::kTarget, "Not a regular file"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.url + " -> " + c.target);
    server_.SetBreakAfter(kPackagePath, c.break_after, 1);
    DownloadError error = DownloadError::kNone;
    std::string err;
    {
      StderrCapture capture;
      ScopedFileSizeLimit limit(c.size_limit);
      EXPECT_EQ(c.result, DownloadFile(c.url, c.target, kTimeout,
                                       DownloadLimits(), &error));
      err = capture.Text();
    }
    EXPECT_EQ(c.error, error);
    if (c.result != 0) {
      EXPECT_EQ(c.message, LastLine(err));
    }
  }
  // Nothing was written through the link.
  EXPECT_TRUE(SameBytes(package_, ReadFile(work_.Child("complete"))));
}

// When the target cannot be opened only the system's text is written and no
// request is made.
TEST_F(DownloadFileTest, UnopenableTargetFailsBeforeTransfer) {
  mkdir(work_.Child("dir").c_str(), 0755);
  struct Case {
    std::string target;
    std::string err;
  };
  const Case kCases[] = {
      {work_.Child("dir"), "Is a directory\n"},
      {work_.Child("missing/norvane.tar.gz"), "No such file or directory\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.target);
    std::string err;
    EXPECT_EQ(-1, Download(server_.Url(kPackagePath), c.target, &err));
    EXPECT_EQ(c.err, err);
  }
  EXPECT_FALSE(FileExists(work_.Child("missing")));
  EXPECT_TRUE(server_.Requests().empty());
}

}  // namespace
