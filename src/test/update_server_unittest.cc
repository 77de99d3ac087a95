#include "test/update_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "httplib.h"
#include "test/test_util.h"

namespace testing_util {
namespace {

// Every byte value, longer than the server's chunk so streaming and offsets
// across chunks are exercised.
std::string FileBytes() {
  std::string bytes;
  for (int i = 0; i < 200000; ++i) {
    bytes.push_back(static_cast<char>((i * 13 + i / 1000) & 0xff));
  }
  return bytes;
}

// One answer as a client received it.
struct Answer {
  int status = 0;  // 0 when no answer arrived.
  std::string content_range;
  std::string content_length;
  std::string body;  // As much of the body as arrived.
  bool complete = false;
};

class UpdateServerTest : public testing::Test {
 protected:
  UpdateServerTest() : server_(root_.path()), file_(FileBytes()) {}

  void SetUp() override {
    WriteFile(root_.Child("f"), file_);
    ASSERT_TRUE(server_.Start(0));
  }

  Answer Get(const std::string& path, const std::string& range = "") {
    httplib::Client client("127.0.0.1", server_.port());
    httplib::Headers headers;
    if (!range.empty()) headers.emplace("Range", range);
    Answer answer;
    auto result = client.Get(
        path.c_str(), headers,
        [&answer](const httplib::Response& response) {
          answer.status = response.status;
          answer.content_range = response.get_header_value("Content-Range");
          answer.content_length = response.get_header_value("Content-Length");
          return true;
        },
        [&answer](const char* data, size_t length) {
          answer.body.append(data, length);
          return true;
        });
    answer.complete = static_cast<bool>(result);
    return answer;
  }

  ScopedTempDir root_;
  UpdateServer server_;
  const std::string file_;
};

TEST_F(UpdateServerTest, AnswersRanges) {
  const std::string size = std::to_string(file_.size());
  struct Case {
    std::string range;
    int status;
    std::string content_range;
    std::string body;
  };
  const Case kCases[] = {
      {"", 200, "", file_},
      {"bytes=0-", 206, "bytes 0-199999/" + size, file_},
      {"bytes=70000-", 206, "bytes 70000-199999/" + size, file_.substr(70000)},
      {"bytes=199999-", 206, "bytes 199999-199999/" + size,
       file_.substr(199999)},
      {"bytes=5-9", 206, "bytes 5-9/" + size, file_.substr(5, 5)},
      {"bytes=200000-", 416, "bytes */" + size, ""},
      {"bytes=300000-", 416, "bytes */" + size, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.range);
    Answer answer = Get("/f", c.range);
    EXPECT_TRUE(answer.complete);
    EXPECT_EQ(c.status, answer.status);
    EXPECT_EQ(c.content_range, answer.content_range);
    EXPECT_EQ(std::to_string(c.body.size()), answer.content_length);
    EXPECT_TRUE(c.body == answer.body);
    EXPECT_EQ(c.body.size(), server_.Requests().back().body_bytes);
  }
}

TEST_F(UpdateServerTest, NeverServesOutsideRoot) {
  ScopedTempDir outside;
  WriteFile(outside.Child("secret"), "secret");
  ASSERT_EQ(
      0, symlink(outside.Child("secret").c_str(), root_.Child("link").c_str()));
  ASSERT_EQ(0, symlink(outside.path().c_str(), root_.Child("dir").c_str()));
  mkdir(root_.Child("sub").c_str(), 0755);
  const std::string escape =
      "/../" + outside.path().substr(outside.path().rfind('/') + 1) + "/secret";
  for (const std::string& path :
       {escape, "/sub/.." + escape, "/%2e%2e" + escape.substr(3),
        std::string("/link"), std::string("/dir/secret"), std::string("/sub"),
        std::string("/missing")}) {
    SCOPED_TRACE(path);
    Answer answer = Get(path);
    EXPECT_EQ(404, answer.status);
    EXPECT_EQ(std::string::npos, answer.body.find("secret"));
  }
}

TEST_F(UpdateServerTest, ErrorStatusWinsOverFileAndRange) {
  server_.SetErrorStatus("/f", 503);
  Answer answer = Get("/f", "bytes=100-");
  EXPECT_EQ(503, answer.status);
  EXPECT_EQ("", answer.content_range);
  EXPECT_EQ("error 503\n", answer.body);

  server_.SetErrorStatus("/f", 0);
  EXPECT_EQ(200, Get("/f").status);
  EXPECT_EQ((std::vector<ServedRequest>{{"GET", "/f", "bytes=100-", 503, 10},
                                        {"GET", "/f", "", 200, file_.size()}}),
            server_.Requests());
}

TEST_F(UpdateServerTest, BreaksTransferOffAfterChosenBytes) {
  server_.SetBreakAfter("/f", 1000, 1);
  Answer broken = Get("/f", "bytes=10-");
  EXPECT_FALSE(broken.complete);
  EXPECT_EQ(206, broken.status);
  EXPECT_EQ(std::to_string(file_.size() - 10), broken.content_length);
  EXPECT_TRUE(file_.substr(10, 1000) == broken.body);

  Answer whole = Get("/f");
  EXPECT_TRUE(whole.complete);
  EXPECT_TRUE(file_ == whole.body);
  EXPECT_EQ(1000 + file_.size(), server_.BodyBytesSent("/f"));
}

TEST(UpdateServerStartTest, RefusesPortInUse) {
  ScopedTempDir root;
  UpdateServer first(root.path());
  ASSERT_TRUE(first.Start(0));
  UpdateServer second(root.path());
  EXPECT_FALSE(second.Start(first.port()));
  first.Stop();
  EXPECT_TRUE(second.Start(first.port()));
}

}  // namespace
}  // namespace testing_util
