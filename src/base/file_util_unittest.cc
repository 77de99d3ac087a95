#include "base/file_util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/logging.h"
#include "gtest/gtest.h"
#include "test/scoped_log_settings.h"
#include "test/test_util.h"

// The test binary is linked with --wrap for unlink, rmdir and unlinkat, so
// every removal the code under test makes passes through here and can be
// recorded as "unlink PATH" or "rmdir PATH" before it is forwarded.
namespace {
std::vector<std::string>* g_removals = nullptr;

// The path that |name| names relative to the directory open on |dir_fd|.
std::string PathAt(int dir_fd, const char* name) {
  if (dir_fd == AT_FDCWD || name[0] == '/') return name;
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", dir_fd);
  char target[PATH_MAX];
  ssize_t length = readlink(link, target, sizeof(target));
  if (length < 0) return std::string("?/") + name;
  return std::string(target, length) + "/" + name;
}
}  // namespace

extern "C" {
int __real_unlink(const char* path);
int __real_rmdir(const char* path);
int __real_unlinkat(int dir_fd, const char* name, int flags);

int __wrap_unlink(const char* path) {
  if (g_removals) g_removals->push_back(std::string("unlink ") + path);
  return __real_unlink(path);
}

int __wrap_rmdir(const char* path) {
  if (g_removals) g_removals->push_back(std::string("rmdir ") + path);
  return __real_rmdir(path);
}

int __wrap_unlinkat(int dir_fd, const char* name, int flags) {
  if (g_removals) {
    g_removals->push_back((flags & AT_REMOVEDIR ? "rmdir " : "unlink ") +
                          PathAt(dir_fd, name));
  }
  return __real_unlinkat(dir_fd, name, flags);
}
}  // extern "C"

namespace base {
namespace {

using testing_util::FileExists;
using testing_util::MaskLogTimes;
using testing_util::RunProcess;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

const char kStem[] = "com.dovamel.keltrin.";

// Records the removals made while it lives.
class RemovalRecorder {
 public:
  RemovalRecorder() { g_removals = &removals_; }
  ~RemovalRecorder() { g_removals = nullptr; }
  const std::vector<std::string>& removals() const { return removals_; }

 private:
  std::vector<std::string> removals_;
};

bool IsRealDirectory(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void MakeDirectory(const std::string& path) {
  ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path;
}

void MakeLink(const std::string& target, const std::string& path) {
  ASSERT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
}

// A tree described by relative paths: a trailing "/" makes a directory,
// anything else a file.
void MakeTree(const std::string& root, const std::vector<std::string>& items) {
  MakeDirectory(root);
  for (const std::string& item : items) {
    if (item.back() == '/') {
      MakeDirectory(root + "/" + item.substr(0, item.size() - 1));
    } else {
      WriteFile(root + "/" + item, item);
    }
  }
}

// The names in |dir| in the order readdir delivers them, without "." and
// "..". An unchanged directory is delivered in the same order every time.
std::vector<std::string> ListingOrder(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = opendir(dir.c_str());
  if (!stream) return names;
  while (struct dirent* entry = readdir(stream)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(stream);
  return names;
}

// The order in which a recursive walk of |dir| meets its entries: a whole
// listing first, then the sub-directories, the last listed first. Symbolic
// links are entries, and directories in |unreadable| are not listed.
void ExpectedWalk(const std::string& dir, std::vector<std::string>* walk,
                  const std::set<std::string>& unreadable = {}) {
  if (unreadable.count(dir)) return;
  std::vector<std::string> subdirs;
  for (const std::string& name : ListingOrder(dir)) {
    std::string path = dir + "/" + name;
    walk->push_back(path);
    if (IsRealDirectory(path)) subdirs.push_back(path);
  }
  for (auto it = subdirs.rbegin(); it != subdirs.rend(); ++it) {
    ExpectedWalk(*it, walk, unreadable);
  }
}

// The removals of a recursive delete of |root|: every file in walk order,
// then the directories in the reverse order, then the root.
std::vector<std::string> ExpectedRemovals(const std::string& root) {
  std::vector<std::string> walk;
  ExpectedWalk(root, &walk);
  std::vector<std::string> removals;
  for (const std::string& path : walk) {
    if (!IsRealDirectory(path)) removals.push_back("unlink " + path);
  }
  for (auto it = walk.rbegin(); it != walk.rend(); ++it) {
    if (IsRealDirectory(*it)) removals.push_back("rmdir " + *it);
  }
  removals.push_back("rmdir " + root);
  return removals;
}

std::vector<std::string> WalkAll(const std::string& root, bool recursive,
                                 WalkKinds kinds) {
  DirectoryWalker walker(FsPath(root), recursive, kinds);
  std::vector<std::string> paths;
  for (FsPath path = walker.NextPath(); !path.IsEmpty();
       path = walker.NextPath()) {
    paths.push_back(path.AsString());
  }
  return paths;
}

// A scratch directory given by its resolved path, so that recorded paths
// built from /proc/self/fd match the paths built by the tests.
class FileUtilTest : public testing::Test {
 protected:
  void SetUp() override {
    char* resolved = realpath(scratch_.path().c_str(), nullptr);
    ASSERT_TRUE(resolved);
    dir_ = resolved;
    free(resolved);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // The tree of the worked example: R holds a, d1 and d2; d1 holds b and
  // d3; d3 holds c; d2 holds e.
  std::string MakeWorkedTree() {
    std::string root = Path("R");
    MakeTree(root, {"a", "d1/", "d2/", "d1/b", "d1/d3/", "d1/d3/c", "d2/e"});
    return root;
  }

  ScopedTempDir scratch_;
  std::string dir_;
};

// ---------------------------------------------------------------------------
// Temporary directories.

class TempDirTest : public FileUtilTest {
 protected:
  void SetUp() override {
    FileUtilTest::SetUp();
    const char* tmpdir = getenv("TMPDIR");
    had_tmpdir_ = tmpdir != nullptr;
    if (tmpdir) saved_tmpdir_ = tmpdir;
    ASSERT_TRUE(getcwd(saved_cwd_, sizeof(saved_cwd_)));
  }
  void TearDown() override {
    ASSERT_EQ(0, chdir(saved_cwd_));
    if (had_tmpdir_) {
      setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    for (const std::string& made : made_) rmdir(made.c_str());
  }

  // Makes a temporary directory and checks that it is |parent| followed by
  // the template's stem and six characters, a directory for its owner alone.
  // Returns its path.
  std::string ExpectMadeIn(const std::string& parent,
                           const std::string& prefix = "norvane_update") {
    FsPath path("unchanged");
    EXPECT_TRUE(MakeTempDirectory(prefix, &path));
    const std::string& made = path.AsString();
    made_.push_back(made);
    EXPECT_EQ(parent.size() + strlen(kStem) + 6, made.size()) << made;
    EXPECT_EQ(parent + kStem, made.substr(0, parent.size() + strlen(kStem)));
    EXPECT_NE("XXXXXX", made.substr(made.size() - 6));
    struct stat status;
    EXPECT_EQ(0, lstat(made.c_str(), &status)) << made;
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(0700u, status.st_mode & 07777);
    return made;
  }

  bool had_tmpdir_ = false;
  std::string saved_tmpdir_;
  char saved_cwd_[PATH_MAX];
  std::vector<std::string> made_;
};

TEST_F(TempDirTest, LocateTempRoot) {
  FsPath root("unchanged");
  unsetenv("TMPDIR");
  EXPECT_TRUE(LocateTempRoot(&root));
  EXPECT_EQ("/tmp", root.AsString());
  setenv("TMPDIR", "", 1);
  EXPECT_TRUE(LocateTempRoot(&root));
  EXPECT_EQ("", root.AsString());
  setenv("TMPDIR", "/no/such/dir//", 1);
  EXPECT_TRUE(LocateTempRoot(&root));
  EXPECT_EQ("/no/such/dir//", root.AsString());
}

TEST_F(TempDirTest, MakesDirectoryUnderTmpWhenTmpdirUnset) {
  unsetenv("TMPDIR");
  ExpectMadeIn("/tmp/");
}

TEST_F(TempDirTest, DropsTrailingSeparatorsOfTmpdir) {
  setenv("TMPDIR", (dir_ + "/").c_str(), 1);
  ExpectMadeIn(dir_ + "/");
  setenv("TMPDIR", (dir_ + "///").c_str(), 1);
  ExpectMadeIn(dir_ + "/");
}

TEST_F(TempDirTest, MakesDirectoryUnderFileSystemRoot) {
  setenv("TMPDIR", "/", 1);
  if (access("/", W_OK) == 0) {
    ExpectMadeIn("/");
  } else {
    FsPath path("unchanged");
    EXPECT_FALSE(MakeTempDirectory("norvane_update", &path));
    EXPECT_EQ("unchanged", path.AsString());
  }
}

TEST_F(TempDirTest, EmptyOrDotTmpdirMakesRelativeDirectory) {
  ASSERT_EQ(0, chdir(dir_.c_str()));
  for (const char* tmpdir : {"", "."}) {
    SCOPED_TRACE(std::string("TMPDIR=\"") + tmpdir + "\"");
    setenv("TMPDIR", tmpdir, 1);
    ExpectMadeIn("");
    EXPECT_TRUE(IsRealDirectory(dir_ + "/" + made_.back()));
  }
}

TEST_F(TempDirTest, MissingTmpdirFailsAndLeavesPathAlone) {
  setenv("TMPDIR", Path("missing").c_str(), 1);
  FsPath path("unchanged");
  EXPECT_FALSE(MakeTempDirectory("norvane_update", &path));
  EXPECT_EQ("unchanged", path.AsString());
  EXPECT_FALSE(FileExists(Path("missing")));
}

TEST_F(TempDirTest, EachCallMakesANewDirectoryWhateverThePrefix) {
  setenv("TMPDIR", dir_.c_str(), 1);
  std::set<std::string> made;
  for (const char* prefix : {"norvane_update", "norvane_update", "", "p/q"}) {
    SCOPED_TRACE(std::string("prefix \"") + prefix + "\"");
    made.insert(ExpectMadeIn(dir_ + "/", prefix));
  }
  EXPECT_EQ(4u, made.size());
}

// ---------------------------------------------------------------------------
// Directory listing.

bool ByName(const ListedEntry& a, const ListedEntry& b) {
  return a.name.AsString() < b.name.AsString();
}

TEST_F(FileUtilTest, ListDirectoryTakesEveryEntryWithItsStatus) {
  std::string dir = Path("L");
  MakeTree(dir, {"f", "d/"});
  MakeLink(Path("L/d"), Path("L/link"));
  MakeLink("nowhere", Path("L/dangling"));

  for (bool links_as_entries : {true, false}) {
    SCOPED_TRACE(links_as_entries ? "lstat" : "stat");
    testing_util::ScopedLogSettings log(
        testing_util::ScopedLogSettings::kIntercepted);
    std::vector<ListedEntry> entries(1);
    entries[0].name = FsPath("kept");
    ASSERT_TRUE(ListDirectory(&entries, FsPath(dir + "/"), links_as_entries));
    ASSERT_EQ(7u, entries.size());
    EXPECT_EQ("kept", entries[0].name.AsString());
    std::sort(entries.begin() + 1, entries.end(), ByName);
    const char* names[] = {".", "..", "d", "dangling", "f", "link"};
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(names[i], entries[i + 1].name.AsString());
    }
    EXPECT_TRUE(S_ISDIR(entries[1].status.st_mode));
    EXPECT_TRUE(S_ISDIR(entries[2].status.st_mode));
    EXPECT_TRUE(S_ISDIR(entries[3].status.st_mode));
    EXPECT_TRUE(S_ISREG(entries[5].status.st_mode));
    EXPECT_EQ(1, entries[5].status.st_size);
    if (links_as_entries) {
      EXPECT_TRUE(S_ISLNK(entries[4].status.st_mode));
      EXPECT_TRUE(S_ISLNK(entries[6].status.st_mode));
      EXPECT_TRUE(log.texts().empty());
    } else {
      // The dangling link cannot be followed: logged, kept, zeroed.
      struct stat zero;
      memset(&zero, 0, sizeof(zero));
      EXPECT_EQ(0, memcmp(&zero, &entries[4].status, sizeof(zero)));
      EXPECT_TRUE(S_ISDIR(entries[6].status.st_mode));
      ASSERT_EQ(1u, log.texts().size());
      EXPECT_EQ("[MMDD/HHMMSS:ERROR:base/file_util_posix(588)] Couldn't stat " +
                    dir + "/dangling: No such file or directory\n",
                log.texts()[0]);
    }
  }
}

TEST_F(FileUtilTest, ListDirectoryFailsOnlyWhenItCannotOpen) {
  WriteFile(Path("file"), "x");
  for (const std::string& path :
       {Path("missing"), Path("file"), std::string()}) {
    std::vector<ListedEntry> entries(1);
    EXPECT_FALSE(ListDirectory(&entries, FsPath(path), true)) << path;
    EXPECT_EQ(1u, entries.size());
  }
}

// ---------------------------------------------------------------------------
// Walking.

TEST_F(FileUtilTest, WalkYieldsListingsInOrder) {
  std::string root = MakeWorkedTree();
  std::vector<std::string> expected;
  ExpectedWalk(root, &expected);
  ASSERT_EQ(7u, expected.size());

  DirectoryWalker walker(FsPath(root + "//"), true,
                         kWalkFiles | kWalkDirectories | kWalkLinksAsEntries);
  FoundEntry info;
  info.name = "unchanged";
  walker.CurrentEntry(&info);
  EXPECT_EQ("unchanged", info.name);
  for (const std::string& want : expected) {
    FsPath path = walker.NextPath();
    EXPECT_EQ(want, path.AsString());
    walker.CurrentEntry(&info);
    EXPECT_EQ(path.LastComponent().AsString(), info.name);
    EXPECT_EQ(IsRealDirectory(want), S_ISDIR(info.status.st_mode)) << want;
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(walker.NextPath().IsEmpty());
  }
  info.name = "unchanged";
  walker.CurrentEntry(&info);
  EXPECT_EQ("unchanged", info.name);
}

TEST_F(FileUtilTest, WalkKindsAndRecursion) {
  std::string root = MakeWorkedTree();
  std::vector<std::string> all;
  ExpectedWalk(root, &all);
  std::vector<std::string> files, directories, top;
  for (const std::string& path : all) {
    (IsRealDirectory(path) ? directories : files).push_back(path);
    if (path.find('/', root.size() + 1) == std::string::npos) {
      top.push_back(path);
    }
  }
  EXPECT_EQ(files, WalkAll(root, true, kWalkFiles));
  EXPECT_EQ(directories, WalkAll(root, true, kWalkDirectories));
  EXPECT_EQ(top, WalkAll(root, false, kWalkFiles | kWalkDirectories));
  EXPECT_EQ(std::vector<std::string>(), WalkAll(root, true, 0));
}

TEST_F(FileUtilTest, WalkOfDotRootYieldsRelativePaths) {
  std::string root = MakeWorkedTree();
  std::vector<std::string> names = ListingOrder(root);
  char cwd[PATH_MAX];
  ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(root.c_str()));
  std::vector<std::string> walked =
      WalkAll(".", false, kWalkFiles | kWalkDirectories);
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ(names, walked);
}

TEST_F(FileUtilTest, WalkTreatsLinksAsEntriesOnlyWhenAsked) {
  std::string root = Path("R");
  MakeTree(root, {"d/", "d/f"});
  MakeLink(root + "/d", root + "/link");
  std::vector<std::string> with_links =
      WalkAll(root, true, kWalkFiles | kWalkLinksAsEntries);
  std::sort(with_links.begin(), with_links.end());
  EXPECT_EQ(std::vector<std::string>({root + "/d/f", root + "/link"}),
            with_links);

  std::vector<std::string> following = WalkAll(root, true, kWalkFiles);
  std::sort(following.begin(), following.end());
  EXPECT_EQ(std::vector<std::string>({root + "/d/f", root + "/link/f"}),
            following);
}

TEST_F(FileUtilTest, WalkOfUnopenableRootYieldsNothing) {
  WriteFile(Path("file"), "x");
  for (const std::string& root :
       {Path("missing"), Path("file"), std::string()}) {
    DirectoryWalker walker(FsPath(root), true, kWalkFiles | kWalkDirectories);
    EXPECT_TRUE(walker.NextPath().IsEmpty()) << root;
    EXPECT_TRUE(walker.NextPath().IsEmpty()) << root;
    FoundEntry info;
    info.name = "unchanged";
    walker.CurrentEntry(&info);
    EXPECT_EQ("unchanged", info.name);
  }
}

TEST(DirectoryWalkerTest, ShouldOmit) {
  EXPECT_TRUE(DirectoryWalker::ShouldOmit(FsPath("/r/.")));
  EXPECT_TRUE(DirectoryWalker::ShouldOmit(FsPath("/r/..")));
  EXPECT_TRUE(DirectoryWalker::ShouldOmit(FsPath("..")));
  EXPECT_FALSE(DirectoryWalker::ShouldOmit(FsPath("/r/.x")));
  EXPECT_FALSE(DirectoryWalker::ShouldOmit(FsPath("/r/...")));
}

// ---------------------------------------------------------------------------
// Deleting.

TEST_F(FileUtilTest, RecursiveDeleteRemovesFilesThenDirectoriesDeepestFirst) {
  std::string root = MakeWorkedTree();
  std::vector<std::string> expected = ExpectedRemovals(root);
  ASSERT_EQ(8u, expected.size());
  RemovalRecorder recorder;
  EXPECT_TRUE(DeletePath(FsPath(root), true));
  EXPECT_EQ(expected, recorder.removals());
  EXPECT_FALSE(FileExists(root));
}

TEST_F(FileUtilTest, RecursiveDeleteOfEmptyDirectory) {
  MakeDirectory(Path("empty"));
  RemovalRecorder recorder;
  EXPECT_TRUE(DeletePath(FsPath(Path("empty")), true));
  EXPECT_EQ(std::vector<std::string>({"rmdir " + Path("empty")}),
            recorder.removals());
  EXPECT_FALSE(FileExists(Path("empty")));
}

TEST_F(FileUtilTest, RecursiveDeleteUnlinksLinksWithoutFollowing) {
  MakeTree(Path("outside"), {"keep", "sub/", "sub/keep"});
  std::string root = Path("R");
  MakeTree(root, {"f", "d/"});
  MakeLink(Path("outside"), root + "/link");
  MakeLink(Path("outside/keep"), root + "/d/filelink");
  std::vector<std::string> expected = ExpectedRemovals(root);
  RemovalRecorder recorder;
  EXPECT_TRUE(DeletePath(FsPath(root), true));
  EXPECT_EQ(expected, recorder.removals());
  EXPECT_FALSE(FileExists(root));
  EXPECT_EQ("keep", testing_util::ReadFile(Path("outside/keep")));
  EXPECT_EQ("sub/keep", testing_util::ReadFile(Path("outside/sub/keep")));
}

TEST_F(FileUtilTest, DeleteOfFile) {
  for (bool recursive : {false, true}) {
    WriteFile(Path("file"), "x");
    RemovalRecorder recorder;
    EXPECT_TRUE(DeletePath(FsPath(Path("file")), recursive));
    EXPECT_EQ(std::vector<std::string>({"unlink " + Path("file")}),
              recorder.removals());
    EXPECT_FALSE(FileExists(Path("file")));
  }
}

TEST_F(FileUtilTest, NonRecursiveDeleteOfDirectory) {
  MakeDirectory(Path("empty"));
  EXPECT_TRUE(DeletePath(FsPath(Path("empty")), false));
  EXPECT_FALSE(FileExists(Path("empty")));

  MakeTree(Path("full"), {"f", "d/"});
  RemovalRecorder recorder;
  EXPECT_FALSE(DeletePath(FsPath(Path("full")), false));
  EXPECT_EQ(std::vector<std::string>({"rmdir " + Path("full")}),
            recorder.removals());
  EXPECT_TRUE(FileExists(Path("full/f")));
  EXPECT_TRUE(IsRealDirectory(Path("full/d")));
}

TEST_F(FileUtilTest, DeleteOfMissingPathSucceedsWithoutRemovals) {
  WriteFile(Path("file"), "x");
  for (const std::string& path : {Path("missing"), Path("missing/below"),
                                  Path("file/below"), std::string()}) {
    for (bool recursive : {false, true}) {
      RemovalRecorder recorder;
      EXPECT_TRUE(DeletePath(FsPath(path), recursive)) << path;
      EXPECT_TRUE(recorder.removals().empty()) << path;
    }
  }
  EXPECT_TRUE(FileExists(Path("file")));
}

TEST_F(FileUtilTest, DeleteFailsOnOtherStatusErrors) {
  MakeLink("loop", Path("loop"));
  RemovalRecorder recorder;
  EXPECT_FALSE(DeletePath(FsPath(Path("loop")), true));
  EXPECT_FALSE(DeletePath(FsPath(Path("loop")), false));
  EXPECT_TRUE(recorder.removals().empty());
  EXPECT_TRUE(FileExists(Path("loop")));
}

TEST_F(FileUtilTest, DeleteOfLinkAsTopPath) {
  MakeTree(Path("target"), {"keep"});
  WriteFile(Path("file"), "x");
  MakeLink(Path("nowhere"), Path("dangling"));
  MakeLink(Path("file"), Path("filelink"));
  MakeLink(Path("target"), Path("dirlink"));
  MakeLink(Path("target"), Path("slashlink"));
  MakeLink(Path("target"), Path("slashlink2"));
  struct Case {
    std::string link;
    std::string given;  // How the path is written.
    bool recursive;
    bool result;
    std::vector<std::string> removals;
    bool stays;
  };
  const Case kCases[] = {
      {"dangling", "dangling", true, true, {}, true},
      {"filelink",
       "filelink",
       true,
       true,
       {"unlink " + Path("filelink")},
       false},
      {"dirlink", "dirlink", false, false, {"rmdir " + Path("dirlink")}, true},
      {"dirlink", "dirlink", true, true, {"unlink " + Path("dirlink")}, false},
      // A trailing separator must not lead the walk into the target.
      {"slashlink",
       "slashlink/",
       true,
       true,
       {"unlink " + Path("slashlink")},
       false},
      {"slashlink2",
       "slashlink2//",
       true,
       true,
       {"unlink " + Path("slashlink2")},
       false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.given + (c.recursive ? ", recursive" : ""));
    RemovalRecorder recorder;
    EXPECT_EQ(c.result, DeletePath(FsPath(Path(c.given)), c.recursive));
    EXPECT_EQ(c.removals, recorder.removals());
    EXPECT_EQ(c.stays, FileExists(Path(c.link)));
  }
  EXPECT_TRUE(FileExists(Path("file")));
  EXPECT_EQ("keep", testing_util::ReadFile(Path("target/keep")));
}

// Runs a recursive delete of |root| in a child process without privileges:
// as root, the scratch tree is handed to "nobody" and the child becomes
// "nobody". Before deleting, the child checks that |restricted| really
// refuses |access_mode|. Returns 1 or 0 for the delete's result, or -1 when
// the restriction cannot be put in force here.
int DeleteUnprivileged(
    const std::string& scratch, const std::string& root,
    const std::string& restricted, int access_mode,
    bool (*remove)(const FsPath&) = [](const FsPath& path) {
      return DeletePath(path, true);
    }) {
  const uid_t kNobody = 65534;
  bool as_root = geteuid() == 0;
  if (as_root) {
    testing_util::ProcessResult chown = RunProcess(
        {"chown", "-R", std::to_string(kNobody) + ":" + std::to_string(kNobody),
         scratch});
    if (!chown.exited || chown.exit_code != 0) return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (as_root && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                    setuid(kNobody) != 0)) {
      _exit(3);
    }
    if (access(root.c_str(), F_OK) != 0) _exit(3);
    if (access(restricted.c_str(), access_mode) == 0) _exit(3);
    _exit(remove(FsPath(root)) ? 1 : 0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return -2;
  }
  return WEXITSTATUS(status) == 3 ? -1 : WEXITSTATUS(status);
}

TEST_F(FileUtilTest, UnopenableSubdirectoryStopsDirectoryRemovals) {
  std::string root = Path("R");
  std::string locked = root + "/locked";
  MakeTree(root, {"f1", "a/", "a/f2", "locked/", "locked/f3", "locked/sub/",
                  "z/", "z/f4", "z/y/", "z/y/f5"});
  std::vector<std::string> walk;
  ExpectedWalk(root, &walk, {locked});
  std::vector<bool> is_directory;
  for (const std::string& path : walk) {
    is_directory.push_back(IsRealDirectory(path));
  }
  ASSERT_EQ(0, chmod(locked.c_str(), 0));

  int result = DeleteUnprivileged(scratch_.path(), root, locked, R_OK);
  if (result == -1) GTEST_SKIP() << "cannot make a directory unreadable here";
  EXPECT_EQ(0, result);

  // Files outside the locked directory are gone; directories met after it
  // are removed, those met before it (and the root) stay.
  bool before_locked = true;
  for (size_t i = 0; i < walk.size(); ++i) {
    const std::string& path = walk[i];
    if (path == locked) {
      EXPECT_TRUE(IsRealDirectory(path));
      before_locked = false;
    } else if (!is_directory[i]) {
      EXPECT_FALSE(FileExists(path)) << path;
    } else {
      EXPECT_EQ(before_locked, IsRealDirectory(path)) << path;
    }
  }
  EXPECT_TRUE(IsRealDirectory(root));
  ASSERT_EQ(0, chmod(locked.c_str(), 0755));
  EXPECT_TRUE(FileExists(locked + "/f3"));
  EXPECT_TRUE(IsRealDirectory(locked + "/sub"));
}

TEST_F(FileUtilTest, FailedUnlinkEndsTheWalkAndRemovesNoDirectory) {
  std::string root = Path("R");
  std::string readonly = root + "/ro";
  MakeTree(root, {"ro/", "ro/g", "d/"});
  ASSERT_EQ(0, chmod(readonly.c_str(), 0555));

  int result = DeleteUnprivileged(scratch_.path(), root, readonly, W_OK);
  if (result == -1) GTEST_SKIP() << "cannot make a directory read-only here";
  EXPECT_EQ(0, result);
  EXPECT_TRUE(FileExists(readonly + "/g"));
  EXPECT_TRUE(IsRealDirectory(root + "/d"));
}

// A tree of the caller's own goes whatever modes its package gave its
// directories, and what its links lead to stays.
TEST_F(FileUtilTest, DeleteOwnTreeRemovesDirectoriesOfAnyModeNotLinkTargets) {
  MakeTree(Path("outside"), {"keep", "sub/", "sub/keep"});
  std::string root = Path("R");
  MakeTree(root, {"f", "ro/", "ro/g", "ro/inner/", "ro/inner/h", "none/",
                  "none/deep/", "none/deep/i", "write-only/", "write-only/j"});
  MakeLink(Path("outside"), root + "/ro/dirlink");
  MakeLink(Path("outside/keep"), root + "/none/filelink");
  ASSERT_EQ(0, chmod((root + "/ro/inner").c_str(), 0555));
  ASSERT_EQ(0, chmod((root + "/ro").c_str(), 0555));
  ASSERT_EQ(0, chmod((root + "/none/deep").c_str(), 0));
  ASSERT_EQ(0, chmod((root + "/none").c_str(), 0));
  ASSERT_EQ(0, chmod((root + "/write-only").c_str(), 0300));
  ASSERT_EQ(0, chmod(root.c_str(), 0500));

  int result = DeleteUnprivileged(scratch_.path(), root, root + "/none", R_OK,
                                  DeleteOwnTree);
  if (result == -1) GTEST_SKIP() << "cannot make a directory unreadable here";
  EXPECT_EQ(1, result);
  EXPECT_FALSE(FileExists(root));
  EXPECT_EQ("keep", testing_util::ReadFile(Path("outside/keep")));
  EXPECT_EQ("sub/keep", testing_util::ReadFile(Path("outside/sub/keep")));

  // A file or a link at the top is unlinked; nothing there counts as gone.
  MakeLink(Path("outside"), Path("toplink"));
  for (const char* top : {"toplink", "outside/keep", "missing"}) {
    SCOPED_TRACE(top);
    EXPECT_TRUE(DeleteOwnTree(FsPath(Path(top))));
    EXPECT_FALSE(FileExists(Path(top)));
  }
  EXPECT_TRUE(IsRealDirectory(Path("outside/sub")));
}

TEST(ReadFileToStringTest, ReadsWholeFilesWithinTheLimitOnly) {
  testing_util::ScopedTempDir dir;
  std::string big(200000, 'x');
  big[123456] = '\0';
  testing_util::WriteFile(dir.Child("big"), big);
  testing_util::WriteFile(dir.Child("empty"), "");
  std::string contents = "old";
  EXPECT_TRUE(ReadFileToString(dir.Child("big"), &contents));
  EXPECT_EQ(big, contents);
  EXPECT_TRUE(ReadFileToString(dir.Child("big"), &contents, big.size()));
  EXPECT_EQ(big, contents);
  EXPECT_TRUE(ReadFileToString(dir.Child("empty"), &contents));
  EXPECT_EQ("", contents);

  contents = "old";
  errno = 0;
  EXPECT_FALSE(ReadFileToString(dir.Child("big"), &contents, big.size() - 1));
  EXPECT_EQ(EFBIG, errno);
  EXPECT_FALSE(ReadFileToString(dir.Child("missing"), &contents));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(ReadFileToString(dir.path(), &contents));  // A directory.
  EXPECT_EQ("old", contents);
}

}  // namespace
}  // namespace base
