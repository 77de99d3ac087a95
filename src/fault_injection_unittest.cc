// End-to-end tests of the updater when things go wrong: killed at every
// stage, broken transfers, a full disk, hostile manifests and packages.
// They run the real updater against the local server with the system's tar
// and cp, and compare whole installation trees.

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "instance_guard.h"
#include "test/test_util.h"
#include "test/updater_test.h"

namespace {

using testing_util::FileExists;
using testing_util::ProcessResult;
using testing_util::ReadFile;
using testing_util::ServedRequest;
using testing_util::WriteFile;

typedef std::vector<std::pair<std::string, std::string>> FileList;

// A directory tree as a value: path below the top -> "dir", "file:" + bytes,
// "link:" + target, or "special" for anything else.
typedef std::map<std::string, std::string> Tree;

void ReadTreeInto(const std::string& dir, const std::string& prefix,
                  Tree* tree) {
  DIR* stream = opendir(dir.c_str());
  if (!stream) return;
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(stream)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(stream);
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    std::string key = prefix + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      (*tree)[key] = "unreadable";
    } else if (S_ISDIR(st.st_mode)) {
      (*tree)[key] = "dir";
      ReadTreeInto(path, key + "/", tree);
    } else if (S_ISREG(st.st_mode)) {
      (*tree)[key] = "file:" + ReadFile(path);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t length = readlink(path.c_str(), target, sizeof(target));
      (*tree)[key] = "link:" + std::string(target, length > 0 ? length : 0);
    } else {
      (*tree)[key] = "special";
    }
  }
}

Tree ReadTree(const std::string& dir) {
  Tree tree;
  ReadTreeInto(dir, "", &tree);
  return tree;
}

std::string Describe(const Tree& tree, const std::string& key) {
  auto it = tree.find(key);
  if (it == tree.end()) return "absent";
  if (it->second.compare(0, 5, "file:") == 0) {
    return "file of " + std::to_string(it->second.size() - 5) + " bytes";
  }
  return it->second;
}

// Compares trees whole, naming the first differing paths instead of printing
// megabytes.
testing::AssertionResult SameTree(const Tree& expected, const Tree& actual) {
  if (expected == actual) return testing::AssertionSuccess();
  Tree all = expected;
  all.insert(actual.begin(), actual.end());
  testing::AssertionResult failure = testing::AssertionFailure();
  int shown = 0;
  for (const auto& entry : all) {
    const std::string& key = entry.first;
    auto a = expected.find(key), b = actual.find(key);
    if (a != expected.end() && b != actual.end() && a->second == b->second) {
      continue;
    }
    if (++shown > 10) break;
    failure << "\n  " << key << ": expected " << Describe(expected, key)
            << ", got " << Describe(actual, key);
  }
  return failure;
}

// |tree| with |files| written over it, as cp copies a package: the entries
// at the top whose names begin with a dot are not copied.
Tree WithFiles(Tree tree, const FileList& files) {
  for (const auto& [path, contents] : files) {
    if (path[0] == '.') continue;
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      tree[path.substr(0, slash)] = "dir";
    }
    tree[path] = "file:" + contents;
  }
  return tree;
}

// Deterministic bytes that do not compress.
std::string RandomBytes(std::mt19937* rng, size_t size) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>((*rng)() & 0xff);
  return bytes;
}

// Ids of the processes whose parent is |parent|, read from /proc.
std::vector<pid_t> ChildProcesses(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (!proc) return children;
  while (struct dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::string stat =
        ReadFile(std::string("/proc/") + entry->d_name + "/stat");
    // "PID (COMMAND) STATE PPID ...": the command may hold spaces and ")".
    size_t paren = stat.rfind(')');
    int ppid = 0;
    if (paren != std::string::npos &&
        sscanf(stat.c_str() + paren + 1, " %*c %d", &ppid) == 1 &&
        ppid == parent) {
      children.push_back(static_cast<pid_t>(atoi(entry->d_name)));
    }
  }
  closedir(proc);
  return children;
}

std::vector<pid_t> Descendants(pid_t root) {
  std::vector<pid_t> found = ChildProcesses(root);
  for (size_t i = 0; i < found.size(); ++i) {
    std::vector<pid_t> more = ChildProcesses(found[i]);
    found.insert(found.end(), more.begin(), more.end());
  }
  return found;
}

bool HasDescendantNamed(pid_t root, const std::string& name) {
  for (pid_t pid : Descendants(root)) {
    if (ReadFile("/proc/" + std::to_string(pid) + "/comm") == name + "\n") {
      return true;
    }
  }
  return false;
}

// Polls |fact| every millisecond for at most 30 seconds; whether it came.
bool WaitUntil(const std::function<bool()>& fact) {
  const time_t deadline = time(nullptr) + 30;
  while (time(nullptr) < deadline) {
    if (fact()) return true;
    usleep(1000);
  }
  return false;
}

// A process started in the background (an updater, a stand-in browser), to
// be killed part way through.
class BackgroundRun {
 public:
  BackgroundRun(const std::vector<std::string>& argv,
                const testing_util::RunOptions& options)
      : pid_(testing_util::StartProcess(argv, options)) {}
  ~BackgroundRun() { KillWithDescendants(); }
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;

  // Waits until |fact| holds while the updater runs. False when the updater
  // ended first or the fact did not come within 30 seconds.
  bool WaitFor(const std::function<bool()>& fact) {
    bool ended = false;
    bool came = WaitUntil([&] {
      int status;
      ended = waitpid(pid_, &status, WNOHANG) == pid_;
      return ended || fact();
    });
    if (ended) {
      reaped_ = true;
      ADD_FAILURE() << "the updater ended before it could be killed";
    }
    return came && !ended;
  }

  // Kills the updater and the processes it started (shell, tar, gzip, cp)
  // with SIGKILL, as a crash of the session or a power cut would.
  void KillWithDescendants() {
    if (reaped_ || pid_ <= 0) return;
    // Gathered first: once the updater is gone they have a new parent.
    std::vector<pid_t> descendants = Descendants(pid_);
    kill(pid_, SIGKILL);
    for (pid_t pid : descendants) kill(pid, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

// One member of a hand-made tar archive.
struct TarMember {
  char type;  // '0' file, '1' hard link, '2' symbolic link, '6' FIFO.
  std::string name;
  std::string data;  // File contents, or the link target.
};

void PutOctal(char* field, size_t width, unsigned long long value) {
  snprintf(field, width, "%0*llo", static_cast<int>(width - 1), value);
}

// A ustar header; tar itself would refuse to write most hostile members.
std::string TarHeader(const TarMember& member) {
  char header[512] = {};
  std::string name = member.name, prefix;
  if (name.size() > 100) {
    // Split at the first "/" that leaves at most 100 bytes of name.
    size_t slash = name.find('/', name.size() - 101);
    EXPECT_TRUE(slash != std::string::npos && slash <= 155) << name;
    if (slash == std::string::npos) slash = 0;
    prefix = name.substr(0, slash);
    name = name.substr(slash + 1);
  }
  memcpy(header, name.data(), std::min<size_t>(name.size(), 100));
  PutOctal(header + 100, 8, member.type == '2' ? 0777 : 0644);
  PutOctal(header + 108, 8, 0);
  PutOctal(header + 116, 8, 0);
  PutOctal(header + 124, 12, member.type == '0' ? member.data.size() : 0);
  PutOctal(header + 136, 12, 1700000000);
  memset(header + 148, ' ', 8);
  header[156] = member.type;
  if (member.type == '1' || member.type == '2') {
    memcpy(header + 157, member.data.data(),
           std::min<size_t>(member.data.size(), 100));
  }
  memcpy(header + 257, "ustar", 6);
  memcpy(header + 263, "00", 2);
  memcpy(header + 345, prefix.data(), std::min<size_t>(prefix.size(), 155));
  unsigned sum = 0;
  for (unsigned char byte : header) sum += byte;
  snprintf(header + 148, 8, "%06o", sum);
  header[155] = ' ';
  return std::string(header, sizeof(header));
}

// A gzip-compressed tar archive of |members|, in this order.
std::string HandMadePackage(const std::vector<TarMember>& members) {
  std::string tar;
  for (const TarMember& member : members) {
    tar += TarHeader(member);
    if (member.type == '0') {
      tar += member.data;
      tar.append((512 - member.data.size() % 512) % 512, '\0');
    }
  }
  tar.append(1024, '\0');
  testing_util::ScopedTempDir dir;
  WriteFile(dir.Child("p.tar"), tar);
  ProcessResult gzip =
      testing_util::RunProcess({"gzip", "-n", "-c", dir.Child("p.tar")});
  EXPECT_EQ(0, gzip.exit_code) << gzip.err;
  return gzip.out;
}

const FileList kOldInstallation = {
    {"keltrin", "old binary"},
    {"lib/libkeltrin.so", "old keltrin lib"},
    {"lib/libold.so", "old lib, not in the package"},
    {"user-settings", "kept"},
    {"resources/d00/f000.pak", "old resource"},
    {"resources/d00/old.pak", "old resource, not in the package"},
};

// Files of the installation directory that belong to the updater itself.
const char* const kUpdaterFiles[] = {
    "norvane_update.log", "pid", "norvane_upgrade_linux.ini",
    "norvane_check_linux.ini", "norvane_update_linux.ini"};

class FaultTest : public UpdateRunTest {
 protected:
  // A package big enough for tar and cp to be caught at work: 240 small
  // files and two big ones, about 2 MB that do not compress. Built once.
  static const FileList& PackageFiles() {
    static const FileList* files = [] {
      std::mt19937 rng(1234567);
      FileList* list = new FileList;
      list->push_back({"keltrin", RandomBytes(&rng, 384 * 1024)});
      list->push_back({"lib/libkeltrin.so", RandomBytes(&rng, 256 * 1024)});
      for (int dir = 0; dir < 12; ++dir) {
        for (int file = 0; file < 20; ++file) {
          char name[64];
          snprintf(name, sizeof(name), "resources/d%02d/f%03d.pak", dir, file);
          list->push_back({name, RandomBytes(&rng, 512 + rng() % 7680)});
        }
      }
      list->push_back({".hidden", "not copied"});
      return list;
    }();
    return *files;
  }
  static const std::string& Package() {
    static const std::string* package =
        new std::string(MakePackage(PackageFiles()));
    return *package;
  }

  void SetUp() override {
    UpdateRunTest::SetUp();
    WriteOldInstallation();
    old_tree_ = Installed();
    if (PublishesBigPackage()) PublishPackage(Package());
    PublishManifest("2.0");
  }
  // Tests that publish packages of their own spare building the big one.
  virtual bool PublishesBigPackage() const { return true; }

  void WriteOldInstallation() {
    testing_util::RunProcess(
        {"mkdir", "-p", InstallPath("lib"), InstallPath("resources/d00")});
    for (const auto& [path, contents] : kOldInstallation) {
      WriteInstalled(path, contents);
    }
  }
  // Empties the installation and the temporary root and writes the old
  // installation again.
  void ResetInstallation() {
    testing_util::RunProcess({"sh", "-c",
                              "rm -rf \"$0\"/* \"$0\"/.[!.]* \"$1\"/*",
                              install_.path(), tmp_.path()});
    WriteOldInstallation();
  }

  // The installation directory without the updater's own files.
  Tree Installed() const {
    Tree tree = ReadTree(install_.path());
    for (const char* name : kUpdaterFiles) tree.erase(name);
    return tree;
  }
  testing::AssertionResult IsUpdated() const {
    if (FileExists(InstallPath("norvane.tar.gz"))) {
      return testing::AssertionFailure() << "the package was left behind";
    }
    return SameTree(WithFiles(old_tree_, PackageFiles()), Installed());
  }
  testing::AssertionResult IsUntouched() const {
    Tree installed = Installed();
    installed.erase("norvane.tar.gz");
    return SameTree(old_tree_, installed);
  }

  // How many temporary directories the updater left behind.
  size_t LeftTempDirs() const {
    size_t count = 0;
    DIR* stream = opendir(tmp_.path().c_str());
    while (struct dirent* entry = stream ? readdir(stream) : nullptr) {
      count += entry->d_name[0] != '.';
    }
    if (stream) closedir(stream);
    return count;
  }

  std::vector<ServedRequest> PackageRequests() const {
    std::vector<ServedRequest> requests;
    for (const ServedRequest& request : server_.Requests()) {
      if (request.path == kPackagePath) requests.push_back(request);
    }
    return requests;
  }

  std::vector<std::string> UpdaterCommand(
      const std::string& browser_pid = "999999999") const {
    return {UpdaterPath(), "1.0", install_.path(), browser_pid};
  }
  bool LogHas(const std::string& text) const {
    return ReadInstalled("norvane_update.log").find(text) != std::string::npos;
  }
  // The last |size| bytes of the log with their timestamps masked (masking
  // keeps the length), without masking megabytes of tar listings.
  std::string LogTail(size_t size) const {
    std::string log = ReadInstalled("norvane_update.log");
    return testing_util::MaskLogTimes(
        log.substr(log.size() - std::min(size, log.size())));
  }
  void ExpectLogEndsWith(const std::string& expected) const {
    EXPECT_EQ(expected, LogTail(expected.size()));
  }

  // The second run after a kill: it must finish the update.
  void ExpectNextRunFinishes() {
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(0, result.exit_code);
    EXPECT_TRUE(IsUpdated());
    ExpectLogEndsWith("\nupdate successful!\n");
  }
  // The next run finishes with one request for the package's bytes from
  // |offset| on.
  void ExpectNextRunResumesFrom(size_t offset) {
    server_.ClearRequests();
    ExpectNextRunFinishes();
    EXPECT_EQ((std::vector<ServedRequest>{
                  {"GET", kPackagePath, "bytes=" + std::to_string(offset) + "-",
                   206, Package().size() - offset}}),
              PackageRequests());
  }

  Tree old_tree_;
};

// ---------------------------------------------------------------------------
// Killed at every stage, then run again.

TEST_F(FaultTest, KilledDuringManifestDownload) {
  server_.SetDelay(kManifestPath, 60000);
  {
    BackgroundRun run(UpdaterCommand(), options_);
    ASSERT_TRUE(run.WaitFor([this] {
      return LogHas(std::string("GET ") + kManifestPath + " HTTP/1.1");
    }));
    run.KillWithDescendants();
  }
  EXPECT_TRUE(IsUntouched());
  EXPECT_TRUE(PackageRequests().empty());
  server_.SetDelay(kManifestPath, 0);
  ExpectNextRunFinishes();
}

TEST_F(FaultTest, KilledDuringPackageDownloadResumesWhereTheFileEnds) {
  server_.SetThrottle(kPackagePath, 2 * 1024 * 1024);
  const std::string archive = InstallPath("norvane.tar.gz");
  {
    BackgroundRun run(UpdaterCommand(), options_);
    ASSERT_TRUE(run.WaitFor([&archive] {
      struct stat st;
      return stat(archive.c_str(), &st) == 0 && st.st_size >= 256 * 1024;
    }));
    run.KillWithDescendants();
  }
  // Bytes still in the stdio buffer die with the process; the file holds a
  // true prefix of the package all the same.
  const std::string partial = ReadFile(archive);
  ASSERT_GE(partial.size(), 256u * 1024);
  ASSERT_LT(partial.size(), Package().size());
  EXPECT_TRUE(partial == Package().substr(0, partial.size()));
  EXPECT_TRUE(IsUntouched());

  server_.SetThrottle(kPackagePath, 0);
  ExpectNextRunResumesFrom(partial.size());
}

TEST_F(FaultTest, KilledDuringExtractionKeepsTheWholePackage) {
  // A tar in front of the real one holds the updater inside its extraction
  // step once everything is unpacked, so the kill lands there every time.
  testing_util::ScopedTempDir tools;
  std::string real_tar =
      testing_util::RunProcess({"sh", "-c", "command -v tar"}).out;
  real_tar.erase(real_tar.find_last_not_of('\n') + 1);
  const std::string unpacked = tools.Child("unpacked");
  testing_util::WriteFile(tools.Child("tar"), "#!/bin/sh\n\"" + real_tar +
                                                  "\" \"$@\"\nstatus=$?\n"
                                                  "touch \"" +
                                                  unpacked +
                                                  "\"\nsleep 60\n"
                                                  "exit $status\n");
  ASSERT_EQ(0, chmod(tools.Child("tar").c_str(), 0755));
  testing_util::RunOptions held_tar = options_;
  held_tar.set_env.push_back("PATH=" + tools.path() + ":" + getenv("PATH"));
  {
    BackgroundRun run(UpdaterCommand(), held_tar);
    ASSERT_TRUE(run.WaitFor([&] { return FileExists(unpacked); }));
    run.KillWithDescendants();
  }
  // The archive is removed only after tar has finished.
  EXPECT_TRUE(ReadInstalled("norvane.tar.gz") == Package());
  EXPECT_TRUE(IsUntouched());

  server_.ClearRequests();
  ExpectNextRunFinishes();
  // Nothing is fetched again: the server refuses the range past the end,
  // and the complete package is installed all the same.
  EXPECT_EQ((std::vector<ServedRequest>{
                {"GET", kPackagePath,
                 "bytes=" + std::to_string(Package().size()) + "-", 416, 0}}),
            PackageRequests());
  EXPECT_TRUE(LogHas("ERROR:norvane_update(175)] download " +
                     server_.Url(kPackagePath) + " error!\n\n"));
}

TEST_F(FaultTest, KilledWhileWaitingForTheBrowser) {
  BackgroundRun browser({"sh", "-c", "sleep 60; exit 0", "keltrin"},
                        testing_util::RunOptions());
  const std::string browser_pid = std::to_string(browser.pid());
  ASSERT_TRUE(WaitUntil([&browser_pid] {
    return ProcessCommandLineContains(browser_pid, "keltrin");
  }));
  {
    BackgroundRun run(UpdaterCommand(browser_pid), options_);
    // Unpacked and the archive removed: the updater waits for the browser.
    ASSERT_TRUE(run.WaitFor([this] {
      return LogHas("\ntar -zxvf norvane.tar.gz -C ") &&
             !FileExists(InstallPath("norvane.tar.gz"));
    }));
    run.KillWithDescendants();
  }
  browser.KillWithDescendants();
  EXPECT_TRUE(IsUntouched());
  EXPECT_FALSE(LogHas("\ncp -v -r -f "));

  // The archive went after unpacking, so the package is fetched again.
  server_.ClearRequests();
  ExpectNextRunFinishes();
  EXPECT_EQ((std::vector<ServedRequest>{
                {"GET", kPackagePath, "", 200, Package().size()}}),
            PackageRequests());
}

TEST_F(FaultTest, KilledDuringCopyIsRepairedByTheNextRun) {
  {
    BackgroundRun run(UpdaterCommand(), options_);
    ASSERT_TRUE(
        run.WaitFor([&run] { return HasDescendantNamed(run.pid(), "cp"); }));
    run.KillWithDescendants();
  }
  // The installation may now be half copied; the next run copies it all.
  ExpectNextRunFinishes();
}

// ---------------------------------------------------------------------------
// Broken transfers and a full disk.

TEST_F(FaultTest, TransfersBrokenAtRandomOffsetsEndInOneWholeDownload) {
  const uint64_t size = Package().size();
  std::mt19937 rng(20240611);
  std::vector<uint64_t> breaks = {0, size - 1};
  for (int i = 0; i < 4; ++i) breaks.push_back(rng() % size);

  uint64_t received_by_broken_runs = 0;
  for (uint64_t offset : breaks) {
    SCOPED_TRACE("broken after " + std::to_string(offset) + " bytes");
    server_.SetBreakAfter(kPackagePath, static_cast<int64_t>(offset), 1);
    uint64_t before = server_.BodyBytesSent(kPackagePath);
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(offset, server_.BodyBytesSent(kPackagePath) - before);
    received_by_broken_runs += offset;
    EXPECT_EQ(255, result.exit_code);
    ExpectLogEndsWith(
        "[MMDD/HHMMSS:ERROR:norvane_update(204)] tar status error: 2\n\n");
    EXPECT_TRUE(IsUntouched());
    // The partial archive is gone: the next run starts from the beginning.
    EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
  }
  ExpectNextRunFinishes();
  EXPECT_EQ(size + received_by_broken_runs,
            server_.BodyBytesSent(kPackagePath));
  EXPECT_EQ(breaks.size() + 1, PackageRequests().size());
}

TEST_F(FaultTest, FullDiskKeepsThePartialPackageForTheNextRun) {
  const int64_t kLimit = 1024 * 1024;
  options_.file_size_limit = kLimit;
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  ExpectLogEndsWith(
      "\nFailed writing received data to disk/application\n"
      "[MMDD/HHMMSS:ERROR:norvane_update(175)] download " +
      server_.Url(kPackagePath) + " error!\n\n");
  const std::string partial = ReadInstalled("norvane.tar.gz");
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LE(partial.size(), static_cast<size_t>(kLimit));
  EXPECT_TRUE(partial == Package().substr(0, partial.size()));
  EXPECT_TRUE(IsUntouched());
  EXPECT_EQ(0u, LeftTempDirs());  // Not unpacked.

  options_.file_size_limit = -1;
  ExpectNextRunResumesFrom(partial.size());
}

// ---------------------------------------------------------------------------
// Hostile manifests.

TEST_F(FaultTest, ManifestOfMegabytesOfGarbageIsRefused) {
  std::mt19937 rng(42);
  PublishManifestText(RandomBytes(&rng, 8 * 1024 * 1024));
  options_.timeout_seconds = 60;
  ProcessResult result = RunUpdater("1.0");
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(255, result.exit_code);
  ExpectLogEndsWith(
      "[MMDD/HHMMSS:ERROR:norvane_update(163)] get version number error!\n\n");
  EXPECT_TRUE(PackageRequests().empty());
  EXPECT_TRUE(IsUntouched());
}

TEST_F(FaultTest, MegabyteVersionsAreComparedAndReported) {
  const size_t kMiB = 1024 * 1024;
  std::string dotted;
  while (dotted.size() < kMiB) dotted += "1.";
  dotted += "1";
  struct Case {
    std::string version;
    bool newer;
  };
  const Case kCases[] = {
      {std::string(kMiB, '0'), false},
      {std::string(kMiB, '9'), true},
      {dotted, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.version.substr(0, 8) + "...");
    ResetInstallation();
    server_.ClearRequests();
    PublishManifest(c.version);
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(0, result.exit_code);
    EXPECT_TRUE(
        LogHas("\ncurrent version: " + c.version + ", local version: 1.0\n"));
    if (c.newer) {
      EXPECT_TRUE(IsUpdated());
      ExpectLogEndsWith("\nupdate successful!\n");
    } else {
      EXPECT_TRUE(IsUntouched());
      EXPECT_TRUE(PackageRequests().empty());
    }
  }
}

// ---------------------------------------------------------------------------
// Hostile packages. A sentinel directory beside the installation and the
// temporary root stands for everything outside them.

class HostilePackageTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    WriteFile(sentinel_.Child("file"), "sentinel");
    sentinel_tree_ = ReadTree(sentinel_.path());
  }
  bool PublishesBigPackage() const override { return false; }
  // The sentinel's path from the temporary directory the updater makes.
  std::string SentinelFromTempDir() const {
    return "../../" + sentinel_.path().substr(sentinel_.path().rfind('/') + 1);
  }
  // The sentinel's path from the installation directory.
  std::string SentinelFromInstallation() const {
    return "../" + sentinel_.path().substr(sentinel_.path().rfind('/') + 1);
  }

  testing_util::ScopedTempDir sentinel_;
  Tree sentinel_tree_;
};

TEST_F(HostilePackageTest, EntriesThatLeadOutsideAreRefusedOrKeptInside) {
  const std::string outside = sentinel_.path();
  const std::string tar_error =
      "\n[MMDD/HHMMSS:ERROR:norvane_update(204)] tar status error: 2\n\n";
  struct Case {
    std::string what;
    std::vector<TarMember> members;
    int exit_code;
    std::string log_tail;  // The end of the log.
    Tree installed;        // Entries added to the installation.
  };
  const std::string unsafe =
      "\n[MMDD/HHMMSS:ERROR:norvane_update(228)] unsafe package entry: ";
  const std::string stripped = outside.substr(1);
  Tree stripped_dirs;
  for (size_t slash = 0;
       (slash = stripped.find('/', slash + 1)) != std::string::npos;) {
    stripped_dirs[stripped.substr(0, slash)] = "dir";
  }
  stripped_dirs[stripped] = "dir";
  Tree absolute_installed = stripped_dirs;
  absolute_installed[stripped + "/abs"] = "file:x";

  const Case kCases[] = {
      // tar drops the leading "/": the file lands inside.
      {"absolute name",
       {{'0', outside + "/abs", "x"}},
       0,
       "\nupdate successful!\n",
       absolute_installed},
      {"name with ..",
       {{'0', "ok", "x"}, {'0', SentinelFromTempDir() + "/dotdot", "x"}},
       255,
       tar_error,
       {}},
      // tar makes a placeholder for a link that leads outside until the end,
      // so the member written through it fails.
      {"write through absolute link",
       {{'2', "escape", outside}, {'0', "escape/pwned", "x"}},
       255,
       tar_error,
       {}},
      {"write through relative link",
       {{'2', "escape", SentinelFromTempDir()}, {'0', "escape/pwned", "x"}},
       255,
       tar_error,
       {}},
      {"write through link to a link to the top",
       {{'2', "x", "."}, {'2', "y", "x/.."}, {'0', "y/pwned", "x"}},
       255,
       tar_error,
       {}},
      {"hard link to a file outside",
       {{'1', "hard", outside + "/file"}},
       255,
       tar_error,
       {}},
      // Links that tar accepts, but through which a later package would
      // write outside the installation.
      {"absolute link",
       {{'2', "escape", outside}},
       255,
       unsafe + "escape -> " + outside + "\n\n",
       {}},
      {"absolute link to a file",
       {{'2', "user-settings", outside + "/file"}},
       255,
       unsafe + "user-settings -> " + outside + "/file\n\n",
       {}},
      {"relative link climbing out",
       {{'0', "lib/libnew.so", "x"},
        {'2', "lib/up", "../" + SentinelFromInstallation()}},
       255,
       unsafe + "lib/up -> ../" + SentinelFromInstallation() + "\n\n",
       {}},
      {"link through a link to the top",
       {{'2', "x", "."}, {'2', "y", "x/.."}},
       255,
       unsafe + "y -> x/..\n\n",
       {}},
      {"FIFO",
       {{'6', "resources/pipe", ""}},
       255,
       unsafe + "resources/pipe\n\n",
       {}},
      {"name that forges a log line",
       {{'2', "a\n[0101/000000:ERROR:norvane_update(175)] forged", "/"}},
       255,
       unsafe + "a\\012[MMDD/HHMMSS:ERROR:norvane_update(175)] forged -> /\n\n",
       {}},
      {"links that stay inside",
       {{'0', "lib/libnew.so.1", "new"},
        {'2', "lib/libnew.so", "libnew.so.1"},
        {'2', "bin/keltrin", "../keltrin"}},
       0,
       "\nupdate successful!\n",
       {{"lib/libnew.so.1", "file:new"},
        {"lib/libnew.so", "link:libnew.so.1"},
        {"bin", "dir"},
        {"bin/keltrin", "link:../keltrin"}}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    PublishPackage(HandMadePackage(c.members));
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(c.exit_code, result.exit_code);
    ExpectLogEndsWith(c.log_tail);
    EXPECT_EQ(std::string::npos,
              ReadInstalled("norvane_update.log").find("\n[0101/000000:"));
    Tree expected = old_tree_;
    for (const auto& entry : c.installed) expected[entry.first] = entry.second;
    EXPECT_TRUE(SameTree(expected, Installed()));
    EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
    EXPECT_TRUE(SameTree(sentinel_tree_, ReadTree(sentinel_.path())));
    // A refused package leaves nothing of itself in the temporary root.
    if (c.log_tail.find("(228)") != std::string::npos) {
      EXPECT_EQ(0u, LeftTempDirs());
    }
  }
}

// The two-step attack across updates: the first package would leave a link
// to a file outside, the second would have cp write through it.
TEST_F(HostilePackageTest, LaterPackageCannotWriteThroughAnEarlierLink) {
  PublishPackage(
      HandMadePackage({{'2', "user-settings", sentinel_.Child("file")}}));
  EXPECT_EQ(255, RunUpdater("1.0").exit_code);

  PublishPackage(HandMadePackage({{'0', "user-settings", "overwritten"}}));
  EXPECT_EQ(0, RunUpdater("1.0").exit_code);
  EXPECT_TRUE(SameTree(sentinel_tree_, ReadTree(sentinel_.path())));
  Tree expected = old_tree_;
  expected["user-settings"] = "file:overwritten";
  EXPECT_TRUE(SameTree(expected, Installed()));
}

}  // namespace
