// End-to-end tests of the updater when things go wrong: killed at every
// stage, broken transfers, a full disk, hostile manifests and packages.
// They run the real updater against the local server with the system's tar
// and cp, and compare whole installation trees.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "instance_guard.h"
#include "test/background_process.h"
#include "test/package_builder.h"
#include "test/test_util.h"
#include "test/tree_util.h"
#include "test/updater_test.h"
#include "update_log_sites.h"

namespace {

using testing_util::BackgroundRun;
using testing_util::FileExists;
using testing_util::FileList;
using testing_util::HandMadePackage;
using testing_util::ProcessResult;
using testing_util::ReadFile;
using testing_util::ReadTree;
using testing_util::SameTree;
using testing_util::ServedRequest;
using testing_util::TarMember;
using testing_util::Tree;
using testing_util::WithFiles;
using testing_util::WriteFile;

// Deterministic bytes that do not compress.
std::string RandomBytes(std::mt19937* rng, size_t size) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>((*rng)() & 0xff);
  return bytes;
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
const char* const kUpdaterFiles[] = {kLogFileName,
                                     kPidFileName,
                                     kStateFileName,
                                     kCheckFileName,
                                     kManifestFileName,
                                     kPackageRecordFileName,
                                     kInstallJournalFileName,
                                     kShadowDirName,
                                     kDeltaFileName,
                                     kDeltaRecordFileName};

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
    const std::string shadow = std::string(kShadowDirName) + "/";
    tree.erase(tree.lower_bound(shadow),
               tree.lower_bound(kShadowDirName + std::string("0")));
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

  std::vector<std::string> UpdaterCommand(
      const std::string& browser_pid = "999999999") const {
    return {UpdaterPath(), "1.0", install_.path(), browser_pid};
  }
  // The same with the updater whose transfers never stall out, so that a
  // transfer the server holds lasts until the test kills the run.
  std::vector<std::string> PatientUpdaterCommand() const {
    return {NORVANE_E2E_PATIENT_BINARY, "1.0", install_.path(), "999999999"};
  }
  // Options that put a shell script named |tool| in front of the real one,
  // which the script finds in "$REAL"; "$MARK" names ToolMark(), a file for
  // the script to touch when the test should know it got somewhere.
  testing_util::RunOptions WithTool(const std::string& tool,
                                    const std::string& script) {
    std::string real =
        testing_util::RunProcess({"sh", "-c", "command -v " + tool}).out;
    real.erase(real.find_last_not_of('\n') + 1);
    WriteFile(tools_.Child(tool), "#!/bin/sh\nREAL='" + real + "'\nMARK='" +
                                      ToolMark() + "'\n" + script + "\n");
    EXPECT_EQ(0, chmod(tools_.Child(tool).c_str(), 0755));
    testing_util::RunOptions options = options_;
    options.set_env.push_back("PATH=" + tools_.path() + ":" + getenv("PATH"));
    return options;
  }
  std::string ToolMark() const { return tools_.Child("mark"); }
  // Root reads and deletes whatever the modes say, so tests of what modes
  // do run the updater as user nobody (65534) when they run as root:
  // HandOverToNobody gives it the installation and the temporary root, and
  // AsNobody makes |command| run as it.
  static bool AsRoot() { return geteuid() == 0; }
  void HandOverToNobody() {
    testing_util::RunProcess(
        {"chown", "-R", "65534:65534", install_.path(), tmp_.path()});
  }
  // Whether user nobody can run the updater where the build is (a build
  // inside a directory private to root cannot be).
  static bool NobodyCanRunTheUpdater() {
    ProcessResult result = testing_util::RunProcess(AsNobody({UpdaterPath()}));
    return result.exited && result.exit_code == 255 &&
           result.err == "parameter error!\n";
  }
  static std::vector<std::string> AsNobody(std::vector<std::string> command) {
    command.insert(command.begin(), {"setpriv", "--reuid=65534",
                                     "--regid=65534", "--clear-groups"});
    return command;
  }
  // A cp that stops part way and waits to be killed: it copies the first
  // top-level entry whole and the first 1000 bytes of the second entry's
  // first file, as a cp cut off there leaves them, then touches the mark.
  testing_util::RunOptions WithCpHeldPartWay() {
    return WithTool(
        "cp",
        "for last; do :; done\n"
        "\"$REAL\" -r -f \"$4\" \"$last\" || exit 1\n"
        "file=$(cd \"$5\" && find . -type f | sort | head -n 1)\n"
        "to=\"$last/${5##*/}/$file\"\n"
        "mkdir -p \"${to%/*}\" && head -c 1000 \"$5/$file\" >\"$to\"\n"
        "touch \"$MARK\"\n"
        "exec sleep 600");
  }

  // Options that preload the library holding the updater at the system
  // call that |setting| names until the test kills it; it touches ToolMark()
  // once it holds.
  testing_util::RunOptions HeldAt(const std::string& setting) const {
    testing_util::RunOptions options = options_;
    options.set_env.push_back(std::string("LD_PRELOAD=") + NORVANE_HOLD_CALLS);
    options.set_env.push_back("NORVANE_HOLD_MARK=" + ToolMark());
    options.set_env.push_back(setting);
    // A sanitized updater takes a preloaded library before its runtime.
    const char* asan = getenv("ASAN_OPTIONS");
    options.set_env.push_back(std::string("ASAN_OPTIONS=") +
                              (asan ? std::string(asan) + ":" : "") +
                              "verify_asan_link_order=0");
    return options;
  }
  bool JournalIsMoving() const {
    return ReadFile(InstallPath(kInstallJournalFileName))
               .find("phase=moving") != std::string::npos;
  }

  // The second run after a kill: it must finish the update.
  void ExpectNextRunFinishes() {
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(0, result.exit_code);
    EXPECT_TRUE(IsUpdated());
    EXPECT_TRUE(LogEndsWith("\nupdate successful!\n"));
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
  testing_util::ScopedTempDir tools_;
};

// ---------------------------------------------------------------------------
// Killed at every stage, then run again.

TEST_F(FaultTest, KilledDuringManifestDownload) {
  // The server holds the manifest after its headers until the kill.
  server_.SetStallAfter(kManifestUrlPath, 0);
  {
    BackgroundRun run(PatientUpdaterCommand(), options_);
    ASSERT_TRUE(run.WaitFor(
        [this] { return !server_.RequestsFor(kManifestUrlPath).empty(); }));
    run.KillWithDescendants();
  }
  EXPECT_TRUE(IsUntouched());
  EXPECT_TRUE(PackageRequests().empty());
  server_.SetStallAfter(kManifestUrlPath, -1);
  ExpectNextRunFinishes();
}

TEST_F(FaultTest, KilledDuringPackageDownloadResumesWhereTheFileEnds) {
  // 256 KiB at once, then a trickle that would take minutes but stays above
  // the stall floor: the download is still going when the kill comes.
  server_.SetThrottle(kPackagePath, 4096, 256 * 1024);
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
  testing_util::RunOptions held_tar =
      WithTool("tar",
               "\"$REAL\" \"$@\"; status=$?; touch \"$MARK\"; sleep 600; "
               "exit $status");
  {
    BackgroundRun run(UpdaterCommand(), held_tar);
    ASSERT_TRUE(run.WaitFor([this] { return FileExists(ToolMark()); }));
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
  EXPECT_NE(std::string::npos, Log().find(PackageDownloadEntry()));
}

TEST_F(FaultTest, KilledWhileWaitingForTheBrowser) {
  BackgroundRun browser({"sh", "-c", "sleep 600; exit 0", "keltrin"},
                        testing_util::RunOptions());
  const std::string browser_pid = std::to_string(browser.pid());
  ASSERT_TRUE(testing_util::WaitForCommandLine(browser.pid(), "keltrin"));
  {
    BackgroundRun run(UpdaterCommand(browser_pid), options_);
    // Copied into the shadow, which is on disk: the updater waits for the
    // browser before the moves.
    ASSERT_TRUE(run.WaitFor([this] { return JournalIsMoving(); }));
    run.KillWithDescendants();
  }
  browser.KillWithDescendants();
  EXPECT_TRUE(IsUntouched());
  EXPECT_TRUE(LogHas("\ncp -v -r -f "));

  // The next run moves the shadow into place without the server.
  server_.ClearRequests();
  ExpectNextRunFinishes();
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(FaultTest, KilledDuringCopyIsRepairedByTheNextRun) {
  {
    BackgroundRun run(UpdaterCommand(), WithCpHeldPartWay());
    ASSERT_TRUE(run.WaitFor([this] { return FileExists(ToolMark()); }));
    run.KillWithDescendants();
  }
  // cp writes into the shadow only; the next run copies again.
  EXPECT_TRUE(IsUntouched());
  ExpectNextRunFinishes();
}

// A killed run's cp that goes on writing keeps every next run out until it
// is gone: two copies at once would interleave their bytes in one file.
TEST_F(FaultTest, KilledRunsCopyKeepsTheNextRunOutWhileItRuns) {
  std::vector<pid_t> children;
  {
    BackgroundRun run(UpdaterCommand(), WithCpHeldPartWay());
    // The held cp has become its sleep: no short-lived child (its touch) is
    // left among the descendants.
    ASSERT_TRUE(run.WaitFor([&run] {
      return testing_util::HasDescendantNamed(run.pid(), "sleep");
    }));
    // Only the updater dies; its shell and cp live on, handed to another
    // parent once it is gone.
    children = testing_util::Descendants(run.pid());
    ASSERT_FALSE(children.empty());
    ASSERT_EQ(0, kill(run.pid(), SIGKILL));
    ASSERT_TRUE(testing_util::WaitUntil(
        [&] { return testing_util::Descendants(run.pid()).empty(); }));
  }
  for (pid_t child : children) EXPECT_TRUE(testing_util::IsRunning(child));
  server_.ClearRequests();
  ProcessResult refused = RunUpdater("1.0");
  EXPECT_EQ(255, refused.exit_code);
  EXPECT_TRUE(LogEndsWith(
      UpdateEntry(log_site::kAnotherInstance, "another instance is running!")));
  EXPECT_TRUE(server_.Requests().empty());

  testing_util::KillAndAwait(children);
  ExpectNextRunFinishes();
}

// Whoever reads a file of the installation during the update reads it
// whole, old or new; whoever has one mapped keeps its old bytes.
TEST_F(FaultTest, FilesStayWholeForReadersAndMappersDuringTheUpdate) {
  const std::string library = InstallPath("lib/libkeltrin.so");
  const std::string old_library = ReadFile(library);
  int fd = open(library.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  void* mapped =
      mmap(nullptr, old_library.size(), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(MAP_FAILED, mapped);

  const std::string browser = InstallPath("keltrin");
  const std::string old_browser = ReadFile(browser);
  const std::string& new_browser = PackageFiles()[0].second;
  std::atomic<bool> done{false};
  std::vector<size_t> torn_reads;
  int reads = 0;
  std::thread reader([&] {
    while (!done) {
      std::string bytes = ReadFile(browser);
      if (bytes != old_browser && bytes != new_browser) {
        torn_reads.push_back(bytes.size());
      }
      ++reads;
    }
  });
  ProcessResult result = RunUpdater("1.0");
  done = true;
  reader.join();
  EXPECT_EQ(0, result.exit_code);
  EXPECT_TRUE(IsUpdated());
  EXPECT_TRUE(torn_reads.empty()) << torn_reads.size() << " of " << reads;
  EXPECT_EQ(old_library,
            std::string(static_cast<const char*>(mapped), old_library.size()));
  munmap(mapped, old_library.size());
}

// The shadow is on disk before the journal names it, and the moves before
// the journal goes: the order of the updater's own system calls.
TEST_F(FaultTest, WhatTheJournalNamesIsOnDiskFirst) {
  const std::string trace_path = tools_.Child("trace");
  testing_util::RunOptions traced = HeldAt("NORVANE_TRACE_CALLS=" + trace_path);
  ASSERT_EQ(0, testing_util::RunProcess(UpdaterCommand(), traced).exit_code);
  std::vector<std::string> calls;
  std::string trace = ReadFile(trace_path);
  for (size_t start = 0, end; (end = trace.find('\n', start)) != trace.npos;
       start = end + 1) {
    calls.push_back(trace.substr(start, end - start));
  }
  auto find = [&calls](const std::string& call, size_t from) {
    return static_cast<size_t>(
        std::find(calls.begin() + std::min(from, calls.size()), calls.end(),
                  call) -
        calls.begin());
  };
  const std::string journal_written =
      std::string("rename ") + kInstallJournalFileName;
  const size_t copying = find(journal_written, 0);
  const size_t moving = find(journal_written, copying + 1);
  const size_t first_move = find("renameat keltrin", 0);
  const size_t journal_gone =
      find(std::string("unlink ") + kInstallJournalFileName, 0);
  ASSERT_LT(journal_gone, calls.size()) << trace;
  EXPECT_LT(find("syncfs", copying), moving) << trace;
  EXPECT_LT(moving, first_move) << trace;
  size_t last_move = first_move;
  while (find("renameat", last_move + 1) < journal_gone) {
    last_move = find("renameat", last_move + 1);
  }
  EXPECT_LT(find("fsync", last_move), journal_gone) << trace;
}

// What changes during the wait for the browser ends the install before the
// first move, with the installation as it was.
TEST_F(FaultTest, ChangesWhileWaitingEndTheInstallUntouched) {
  struct Case {
    std::string what;
    std::string change;  // Run in the installation directory.
    std::string entry;
  };
  const Case kCases[] = {
      {"a file added to the shadow",
       std::string("echo x >") + kShadowDirName + "/resources/planted",
       UpdateEntry(log_site::kTreeChanged,
                   "the unpacked package changed while waiting!")},
      {"a directory where the package has a file",
       "rm lib/libkeltrin.so && mkdir lib/libkeltrin.so",
       UpdateEntry(log_site::kMoveConflict,
                   "can't move the update into place: lib/libkeltrin.so: a "
                   "file of the package where the installation has a "
                   "directory!")},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    BackgroundRun browser({"sh", "-c", "sleep 600", "keltrin"},
                          testing_util::RunOptions());
    ASSERT_TRUE(testing_util::WaitForCommandLine(browser.pid(), "sleep 600"));
    BackgroundRun run(UpdaterCommand(std::to_string(browser.pid())), options_);
    ASSERT_TRUE(run.WaitFor([this] { return JournalIsMoving(); }));
    ASSERT_EQ(0, testing_util::RunProcess(
                     {"sh", "-c", "cd \"$0\" && " + c.change, install_.path()})
                     .exit_code);
    const Tree changed = Installed();
    browser.KillWithDescendants();
    EXPECT_EQ(255, run.WaitForExit());
    EXPECT_TRUE(LogEndsWith(c.entry));
    EXPECT_TRUE(SameTree(changed, Installed()));
    EXPECT_FALSE(FileExists(InstallPath(kShadowDirName)));
  }
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
    EXPECT_TRUE(
        LogEndsWith(UpdateEntry(log_site::kTarStatus, "tar status error: 2")));
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
  EXPECT_TRUE(
      LogEndsWith("\nFailed writing received data to disk/application\n" +
                  PackageDownloadEntry()));
  const std::string partial = ReadInstalled("norvane.tar.gz");
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LE(partial.size(), static_cast<size_t>(kLimit));
  EXPECT_TRUE(partial == Package().substr(0, partial.size()));
  EXPECT_TRUE(IsUntouched());
  EXPECT_TRUE(LeftTempDirs().empty());  // Not unpacked.

  options_.file_size_limit = -1;
  ExpectNextRunResumesFrom(partial.size());
}

// ---------------------------------------------------------------------------
// The install as a transaction: whatever ends a copy, the next run repairs
// the installation, whatever version the browser then reports.

TEST_F(FaultTest, EveryWayACopyCanEndIsRepairedByTheNextRun) {
  enum End {
    kDiskFull,
    kKilledCopying,
    kKilledAfterCopy,
    kKilledWaiting,
    kKilledMoving,
    kKilledAfterMoves
  };
  // What becomes of the staging directory before the next run.
  enum Staging { kKept, kLost, kChanged };
  struct Case {
    std::string what;
    End end;
    Staging staging;
    // When not empty, the journal is replaced by these bytes before the next
    // run: a journal that cannot be read still stands for the install.
    std::string damaged_journal = "";
  };
  const std::string kOversizedJournal =
      "[package]\nurl=" + server_.Url(kPackagePath) + "\n" +
      std::string(16 * 1024, ';');
  const Case kCases[] = {
      {"disk full during the copy", kDiskFull, kKept},
      {"killed while cp copies", kKilledCopying, kKept},
      {"killed while cp copies, staging lost", kKilledCopying, kLost},
      {"killed while cp copies, staging changed", kKilledCopying, kChanged},
      {"killed after cp", kKilledAfterCopy, kKept},
      {"killed after cp, staging lost", kKilledAfterCopy, kLost},
      {"killed waiting for the browser", kKilledWaiting, kKept},
      {"killed between two moves", kKilledMoving, kKept},
      {"killed after the moves, before the journal goes", kKilledAfterMoves,
       kKept},
      {"killed while cp copies, journal garbled", kKilledCopying, kKept,
       "a file of the package\n"},
      {"killed between two moves, journal past its limit", kKilledMoving, kKept,
       kOversizedJournal},
  };
  const Tree updated = WithFiles(old_tree_, PackageFiles());
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    (void)remove(ToolMark().c_str());
    if (c.end == kDiskFull) {
      // cp may write no file past 100 KiB, as a disk that fills up lets it.
      testing_util::RunOptions plain = options_;
      options_ =
          WithTool("cp", "ulimit -f 200; trap '' XFSZ; exec \"$REAL\" \"$@\"");
      ProcessResult result = RunUpdater("1.0");
      options_ = plain;
      EXPECT_EQ(255, result.exit_code);
      EXPECT_TRUE(
          LogEndsWith(UpdateEntry(log_site::kCpStatus, "cp status error: 1")));
    } else {
      BackgroundRun browser({"sh", "-c", "sleep 600", "keltrin"},
                            testing_util::RunOptions());
      ASSERT_TRUE(testing_util::WaitForCommandLine(browser.pid(), "sleep 600"));
      testing_util::RunOptions options =
          c.end == kKilledCopying ? WithCpHeldPartWay()
          : c.end == kKilledAfterCopy
              ? WithTool("cp", "\"$REAL\" \"$@\"; touch \"$MARK\"; sleep 600")
          : c.end == kKilledMoving ? HeldAt("NORVANE_HOLD_RENAMES=2")
          : c.end == kKilledAfterMoves
              ? HeldAt(std::string("NORVANE_HOLD_UNLINK=") +
                       kInstallJournalFileName)
              : options_;
      BackgroundRun run(UpdaterCommand(std::to_string(browser.pid())), options);
      // The copy into the shadow runs while the browser does; only the
      // moves wait for it.
      ASSERT_TRUE(run.WaitFor([&] {
        return c.end < kKilledWaiting ? FileExists(ToolMark())
                                      : JournalIsMoving();
      }));
      if (c.end != kKilledWaiting) {
        browser.KillWithDescendants();
        ASSERT_TRUE(run.WaitFor([this] { return FileExists(ToolMark()); }));
      }
      run.KillWithDescendants();
    }
    // Until the moves, nothing of the installation changes; during them
    // each file is whole, old or new.
    const Tree installed = Installed();
    if (c.end < kKilledMoving) {
      EXPECT_TRUE(SameTree(old_tree_, installed));
    }
    for (const auto& [path, entry] : installed) {
      auto old_entry = old_tree_.find(path);
      EXPECT_TRUE(updated.at(path) == entry ||
                  (old_entry != old_tree_.end() && old_entry->second == entry))
          << path;
    }
    ASSERT_TRUE(FileExists(InstallPath(kInstallJournalFileName)));
    if (c.staging != kKept) {
      testing_util::RunProcess(
          {"sh", "-c",
           c.staging == kLost ? "rm -rf \"$0\"/*"
                              : "rm \"$0\"/*/package/resources/d05/f005.pak",
           tmp_.path()});
    }
    const bool damaged = !c.damaged_journal.empty();
    if (damaged) WriteInstalled(kInstallJournalFileName, c.damaged_journal);
    // The browser that starts the next run may be the new one already.
    server_.ClearRequests();
    ProcessResult result = RunUpdater("2.0");
    EXPECT_EQ(0, result.exit_code);
    EXPECT_TRUE(IsUpdated());
    EXPECT_TRUE(LogEndsWith("\nupdate successful!\n"));
    const std::string unreadable =
        UpdateEntry(log_site::kJournalUnreadable,
                    std::string("can't read the install journal ") +
                        kInstallJournalFileName + ", installing again!");
    EXPECT_EQ(damaged, Log().find(unreadable) != std::string::npos);
    EXPECT_EQ(c.staging != kKept,
              LogHas(" is gone or changed, fetching the package again!"));
    EXPECT_EQ(c.staging != kKept || damaged ? 1u : 0u,
              PackageRequests().size());
    // Moves under way finish from the shadow without the server.
    EXPECT_EQ(c.end >= kKilledWaiting && !damaged,
              server_.RequestsFor(kManifestUrlPath).empty());
    EXPECT_FALSE(FileExists(InstallPath(kInstallJournalFileName)));
    EXPECT_FALSE(FileExists(InstallPath(kShadowDirName)));
    EXPECT_TRUE(LeftTempDirs().empty());
  }
}

// However runs fail, at most one staging directory exists: each failure
// removes what it made unless a journal still needs it, and a run removes
// what an earlier one left.
TEST_F(FaultTest, FailingRunsLeaveAtMostOneStagingDirectory) {
  {
    testing_util::RunOptions held_tar =
        WithTool("tar", "\"$REAL\" \"$@\"; touch \"$MARK\"; sleep 600");
    BackgroundRun run(UpdaterCommand(), held_tar);
    ASSERT_TRUE(run.WaitFor([this] { return FileExists(ToolMark()); }));
    run.KillWithDescendants();
  }
  EXPECT_EQ(1u, LeftTempDirs().size());
  // Releases that fail: a package tar cannot unpack, then one whose copy can
  // never succeed, which the journal keeps its one directory for.
  auto release = [this](const std::string& version, const std::string& bytes,
                        const std::string& extra_lines = "") {
    const std::string path = "/packages/" + version + ".tar.gz";
    WriteFile(root_.Child(path), bytes);
    PublishManifestText("[ubuntu_debian_i686]\nversion=" + version +
                        "\nurl=" + server_.Url(path) + "\n" + extra_lines);
  };
  release("2.1", Package().substr(0, 1000));
  EXPECT_EQ(255, RunUpdater("1.0").exit_code);
  EXPECT_TRUE(LeftTempDirs().empty());
  release("2.2", MakePackage({{".only-hidden", "x"}}));
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(255, RunUpdater("1.0").exit_code);
    EXPECT_EQ(1u, LeftTempDirs().size());
  }
  // The next release repairs it, even offered to no installation yet: the
  // repair of a half-done install comes before the rollout.
  release("2.3", Package(), "rollout=0\n");
  EXPECT_EQ(0, RunUpdater("1.0").exit_code);
  EXPECT_TRUE(IsUpdated());
  EXPECT_TRUE(LeftTempDirs().empty());
}

// Whatever modes the package gives its directories, the staging directory
// goes once the copy is done; one that cannot be deleted stays named in the
// record, and a later run deletes it.
TEST_F(FaultTest, StagingDirectoriesGoWhateverModesThePackageGives) {
  const bool as_root = AsRoot();
  if (as_root && !NobodyCanRunTheUpdater()) {
    GTEST_SKIP() << "user nobody cannot run the updater from this build";
  }
  auto run = [&](const std::string& version) {
    std::vector<std::string> command = UpdaterCommand();
    command[1] = version;
    return testing_util::RunProcess(as_root ? AsNobody(command) : command,
                                    options_);
  };
  struct Case {
    std::string what;
    mode_t top_mode;      // The mode of the directory that is archived.
    std::string members;  // What tar archives of it.
  };
  const Case kCases[] = {
      {"a directory of mode 0555", 0755, "keltrin ro"},
      {"a ./ entry of mode 0555, applied to the unpack directory", 0555, "."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    testing_util::ScopedTempDir tree;
    WriteFile(tree.Child("keltrin"), "new binary");
    ASSERT_EQ(0, mkdir(tree.Child("ro").c_str(), 0755));
    WriteFile(tree.Child("ro/file"), "read only");
    ASSERT_EQ(0, chmod(tree.Child("ro").c_str(), 0555));
    ASSERT_EQ(0, chmod(tree.path().c_str(), c.top_mode));
    const std::string archive = tools_.Child("package.tar.gz");
    ASSERT_EQ(0, testing_util::RunProcess({"sh", "-c",
                                           "cd \"$0\" && tar -czf \"$1\" $2",
                                           tree.path(), archive, c.members})
                     .exit_code);
    PublishPackage(ReadFile(archive));
    if (as_root) HandOverToNobody();
    ProcessResult result = run("1.0");
    EXPECT_EQ(0, result.exit_code);
    EXPECT_TRUE(LogEndsWith("\nupdate successful!\n"));
    EXPECT_EQ("read only", ReadInstalled("ro/file"));
    EXPECT_TRUE(LeftTempDirs().empty());
    EXPECT_FALSE(FileExists(InstallPath(kPackageRecordFileName)));
  }

  if (!as_root) return;  // Only root can plant a part this user cannot delete.
  ResetInstallation();
  const std::string staging = tmp_.Child("com.dovamel.keltrin.Ab12Cd");
  ASSERT_EQ(0, testing_util::RunProcess(
                   {"mkdir", "-p", "-m", "0700", staging + "/package/foreign"})
                   .exit_code);
  ASSERT_EQ(0, chmod(staging.c_str(), 0700));
  WriteFile(staging + "/package/foreign/file", "not this user's");
  struct stat made;
  ASSERT_EQ(0, lstat(staging.c_str(), &made));
  const std::string record = "[package]\nurl=" + server_.Url(kPackagePath) +
                             "\nstaging=" + staging +
                             "\ndevice=" + std::to_string(made.st_dev) +
                             "\ninode=" + std::to_string(made.st_ino) + "\n";
  WriteInstalled(kPackageRecordFileName, record);
  HandOverToNobody();
  ASSERT_EQ(0, chown((staging + "/package/foreign").c_str(), 0, 0));
  ASSERT_EQ(0, chown((staging + "/package/foreign/file").c_str(), 0, 0));
  EXPECT_EQ(0, run("2.0").exit_code);
  EXPECT_NE(std::string::npos,
            Log().find(UpdateEntry(log_site::kStagingNotRemoved,
                                   "can't remove " + staging +
                                       ": Permission denied, keeping it for "
                                       "the next run!")));
  EXPECT_NE(std::string::npos, ReadInstalled(kPackageRecordFileName)
                                   .find("\nstaging=" + staging + "\n"));
  EXPECT_TRUE(FileExists(staging + "/package/foreign/file"));
  // Once it can be deleted, the next run deletes it.
  ASSERT_EQ(0, chown((staging + "/package/foreign").c_str(), 65534, 65534));
  EXPECT_EQ(0, run("2.0").exit_code);
  EXPECT_TRUE(LeftTempDirs().empty());
  EXPECT_FALSE(FileExists(InstallPath(kPackageRecordFileName)));
}

// The private directory stays this user's and private whatever owner and
// mode the package gives its top entry, and TMPDIR is resolved once: a
// link re-pointed while the updater waits changes nothing.
TEST_F(FaultTest, StagingDirectoryStaysPrivateAndInPlace) {
  testing_util::ScopedTempDir root_a, root_b, tree;
  const std::string link = tmp_.Child("tmpdir");
  ASSERT_EQ(0, symlink(root_a.path().c_str(), link.c_str()));
  const FileList files = {{"keltrin", "new binary"}, {"lib/libnew.so", "new"}};
  for (const auto& [path, contents] : files) {
    testing_util::RunProcess({"mkdir", "-p", tree.Child("lib")});
    WriteFile(tree.Child(path), contents);
  }
  ASSERT_EQ(0, chmod(tree.path().c_str(), 0755));
  std::string package = tree.path() + ".tar.gz";
  ASSERT_EQ(0,
            testing_util::RunProcess({"tar", "--owner=4321", "--group=4321",
                                      "-czf", package, "-C", tree.path(), "."})
                .exit_code);
  PublishPackage(ReadFile(package));
  testing_util::RunProcess({"rm", "-f", package});
  BackgroundRun browser({"sh", "-c", "sleep 600", "keltrin"},
                        testing_util::RunOptions());
  ASSERT_TRUE(testing_util::WaitForCommandLine(browser.pid(), "sleep 600"));
  options_.set_env = {"TMPDIR=" + link};
  pid_t updater = testing_util::StartProcess(
      UpdaterCommand(std::to_string(browser.pid())), options_);
  ASSERT_TRUE(testing_util::WaitUntil(
      [this] { return FileExists(InstallPath(kInstallJournalFileName)); }));
  // Sorted, the staging directory itself comes first.
  Tree staged = ReadTree(root_a.path());
  ASSERT_FALSE(staged.empty());
  const std::string staging = root_a.Child(staged.begin()->first);
  struct stat status;
  ASSERT_EQ(0, lstat(staging.c_str(), &status));
  EXPECT_EQ(geteuid(), status.st_uid);
  EXPECT_EQ(0700u, status.st_mode & 07777);
  // Re-pointed while the updater waits.
  ASSERT_EQ(0, unlink(link.c_str()));
  ASSERT_EQ(0, symlink(root_b.path().c_str(), link.c_str()));
  browser.KillWithDescendants();
  int wait_status = 0;
  ASSERT_TRUE(testing_util::WaitUntil(
      [&] { return waitpid(updater, &wait_status, WNOHANG) == updater; }));
  EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0);
  EXPECT_TRUE(SameTree(WithFiles(old_tree_, files), Installed()));
  EXPECT_TRUE(ReadTree(root_a.path()).empty());
  EXPECT_TRUE(ReadTree(root_b.path()).empty());
}

// ---------------------------------------------------------------------------
// Stalled and endless transfers.

// The package's size in the manifest, so its downloads know their limit.
std::string SizeLine(const std::string& package) {
  return "size=" + std::to_string(package.size()) + "\n";
}

// A transfer that makes no progress ends the run within the stall time,
// like a broken one, and a small file that comes too slowly within its total
// time; what a stalled package download received stays, and the next run asks
// for exactly the rest. A package transfer broken short of the manifest's size
// is kept the same way.
TEST_F(FaultTest, StalledTransfersEndTheRunAndTheNextResumes) {
  // kSlow: a kilobyte a second, well above the stall floor.
  enum Fault { kStall, kTrickle, kSlow, kBreak };
  struct Case {
    std::string what;
    const char* path;
    Fault fault;
    int64_t after;  // Body bytes before the stall or the break.
    std::string local_version;
    int exit_code;
    std::string log_tail;
    std::string log_entry;  // Anywhere in the log, when not empty.
  };
  const std::string package_entry = PackageDownloadEntry();
  const std::string manifest_entry =
      UpdateEntry(log_site::kDownloadManifest,
                  "download " + server_.Url(kManifestUrlPath) + " error!");
  auto out_of_time_entry = [this](const char* path) {
    return UpdateEntry(log_site::kDownloadOutOfTime,
                       "download " + server_.Url(path) + " took longer than " +
                           std::to_string(NORVANE_E2E_SMALL_FILE_SECONDS) +
                           " seconds!");
  };
  const Case kCases[] = {
      {"check file stalls after its headers", kCheckUrlPath, kStall, 0, "2.0",
       0, ", local version: 2.0\n", ""},
      {"check file comes too slowly", kCheckUrlPath, kSlow, 0, "2.0", 0,
       ", local version: 2.0\n",
       "Timeout was reached\n" + out_of_time_entry(kCheckUrlPath)},
      {"manifest trickles a byte a second", kManifestUrlPath, kTrickle, 0,
       "1.0", 255, "Timeout was reached\n" + manifest_entry, ""},
      {"manifest comes too slowly", kManifestUrlPath, kSlow, 0, "1.0", 255,
       "Timeout was reached\n" + out_of_time_entry(kManifestUrlPath) +
           manifest_entry,
       ""},
      {"package stalls half way", kPackagePath, kStall, 300000, "1.0", 255,
       "Timeout was reached\n" + package_entry, ""},
      {"package broken short of its size", kPackagePath, kBreak, 300000, "1.0",
       255, "Transferred a partial file\n" + package_entry, ""},
  };
  // Both small files take more than twice their total time at a kilobyte a
  // second.
  WriteFile(root_.Child(kCheckUrlPath),
            std::string(NORVANE_E2E_SMALL_FILE_SECONDS * 1500, 'c'));
  PublishManifestText(ManifestText(
      "2.0", SizeLine(Package()) +
                 std::string(NORVANE_E2E_SMALL_FILE_SECONDS * 2048, ';')));
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    (void)remove(InstallPath(kStateFileName).c_str());
    if (c.fault == kStall) server_.SetStallAfter(c.path, c.after);
    if (c.fault == kTrickle) server_.SetThrottle(c.path, 1);
    if (c.fault == kSlow) server_.SetThrottle(c.path, 1024);
    if (c.fault == kBreak) server_.SetBreakAfter(c.path, c.after, 1);
    time_t start = time(nullptr);
    ProcessResult result = RunUpdater(c.local_version);
    // libcurl averages the speed over the last few seconds, so the stall
    // time starts once the bytes before it have aged out of that window.
    EXPECT_LE(time(nullptr) - start, c.fault == kSlow
                                         ? NORVANE_E2E_SMALL_FILE_SECONDS + 5
                                         : NORVANE_E2E_STALL_SECONDS + 10);
    EXPECT_EQ(c.exit_code, result.exit_code);
    EXPECT_TRUE(LogEndsWith(c.log_tail));
    EXPECT_NE(std::string::npos, Log().find(c.log_entry));
    EXPECT_TRUE(IsUntouched());
    server_.SetStallAfter(c.path, -1);
    server_.SetThrottle(c.path, 0);
    if (c.path == kPackagePath) {
      EXPECT_TRUE(ReadInstalled(kPackageFileName) ==
                  Package().substr(0, c.after));
      ExpectNextRunResumesFrom(c.after);
    }
  }
}

TEST_F(FaultTest, KilledDuringAStallKeepsEveryByteReceived) {
  const uint64_t kSent = 300000;  // More than libcurl hands over at once.
  server_.SetStallAfter(kPackagePath, kSent);
  {
    BackgroundRun run(PatientUpdaterCommand(), options_);
    ASSERT_TRUE(run.WaitFor([&] {
      return server_.BodyBytesSent(kPackagePath) == kSent &&
             ReadInstalled(kPackageFileName).size() == kSent;
    }));
    run.KillWithDescendants();
  }
  EXPECT_TRUE(ReadInstalled(kPackageFileName) == Package().substr(0, kSent));
  server_.SetStallAfter(kPackagePath, -1);
  ExpectNextRunResumesFrom(kSent);
}

// Every download has a byte limit that holds whether or not the server
// declares the body's length; past it the transfer fails with its own entry
// and the file holds no more than the limit.
TEST_F(FaultTest, EndlessBodiesStopAtEachDownloadsLimit) {
  using Body = testing_util::UpdateServer::EndlessBody;
  struct Case {
    const char* path;
    const char* file;
    uint64_t limit;
    int exit_code;
  };
  const Case kCases[] = {
      {kCheckUrlPath, kCheckFileName, kMaxCheckFileBytes, 0},
      {kManifestUrlPath, kManifestFileName, kMaxManifestBytes, 255},
      {kPackagePath, kPackageFileName, Package().size(), 255},
  };
  PublishManifestText(ManifestText("2.0", SizeLine(Package())));
  for (const Case& c : kCases) {
    for (Body body : {Body::kDeclared, Body::kUndeclared}) {
      SCOPED_TRACE(std::string(c.path) +
                   (body == Body::kDeclared ? ", declared" : ", undeclared"));
      ResetInstallation();
      server_.SetEndlessBody(c.path, body);
      ProcessResult result =
          RunUpdater(c.path == kCheckUrlPath ? "2.0" : "1.0");
      server_.SetEndlessBody(c.path, Body::kOff);
      EXPECT_EQ(c.exit_code, result.exit_code);
      EXPECT_NE(std::string::npos,
                Log().find(UpdateEntry(
                    log_site::kDownloadTooLarge,
                    "download " + server_.Url(c.path) + " is larger than " +
                        std::to_string(c.limit) + " bytes!")));
      EXPECT_LE(ReadInstalled(c.file).size(), c.limit);
      EXPECT_TRUE(IsUntouched());
    }
  }
}

// A server or proxy that answers the resumed package request with the whole
// package (200, not 206) has the partial file replaced by it in the same
// transfer, whether it declares the length or not; the run installs.
TEST_F(FaultTest, ServerThatIgnoresTheRangeIsFetchedWhole) {
  using Ignored = testing_util::UpdateServer::IgnoredRange;
  const size_t kHave = 300000;
  PublishManifestText(ManifestText("2.0", SizeLine(Package())));
  for (Ignored answer : {Ignored::kDeclared, Ignored::kUndeclared}) {
    SCOPED_TRACE(answer == Ignored::kDeclared ? "declared" : "undeclared");
    ResetInstallation();
    PlantPackage(Package().substr(0, kHave), SizeLine(Package()));
    server_.SetIgnoreRange(kPackagePath, answer);
    server_.ClearRequests();
    ProcessResult result = RunUpdater("1.0");
    server_.SetIgnoreRange(kPackagePath, Ignored::kOff);
    EXPECT_EQ(0, result.exit_code);
    EXPECT_TRUE(IsUpdated());
    EXPECT_NE(std::string::npos,
              Log().find(UpdateEntry(log_site::kDownloadRangeIgnored,
                                     "download " + server_.Url(kPackagePath) +
                                         " ignored the range from byte " +
                                         std::to_string(kHave) +
                                         ", fetching it from byte 0!")));
    EXPECT_EQ((std::vector<ServedRequest>{
                  {"GET", kPackagePath, "bytes=" + std::to_string(kHave) + "-",
                   200, Package().size()}}),
              PackageRequests());
  }
}

// A state file that is there but cannot be read ends the run before the
// manifest, and is left exactly as it was: taken for empty it would be
// replaced, the rollout bucket drawn anew and the accepted version dropped.
TEST_F(FaultTest, UnreadableStateFileEndsTheRunAndIsKept) {
  struct Case {
    std::string what;
    mode_t mode;
    size_t padding;  // Comment bytes after the keys.
    std::string reason;
  };
  const Case kCases[] = {
      {"write-only", 0200, 0, "Permission denied"},
      {"past its limit", 0644, kMaxStateFileBytes, "File too large"},
  };
  PublishManifestText(ManifestText("2.0", "rollout=10\n"));
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    const std::string state = "[main]\nLastUpdateTime=1\nRolloutBucket=73\n" +
                              std::string(c.padding, ';');
    WriteInstalled(kStateFileName, state);
    ASSERT_EQ(0, chmod(InstallPath(kStateFileName).c_str(), c.mode));
    std::vector<std::string> command = UpdaterCommand();
    if (c.mode == 0200 && AsRoot()) {
      // Root reads the file whatever its mode; nobody must run the updater.
      if (!NobodyCanRunTheUpdater()) continue;
      HandOverToNobody();
      command = AsNobody(command);
    }
    server_.ClearRequests();
    ProcessResult result = testing_util::RunProcess(command, options_);
    EXPECT_EQ(255, result.exit_code);
    EXPECT_TRUE(LogEndsWith(UpdateEntry(
        log_site::kStateFileUnreadable,
        std::string("can't read ") + kStateFileName + ": " + c.reason + "!")));
    EXPECT_TRUE(server_.Requests().empty());
    struct stat status;
    ASSERT_EQ(0, stat(InstallPath(kStateFileName).c_str(), &status));
    EXPECT_EQ(c.mode, status.st_mode & 07777);
    ASSERT_EQ(0, chmod(InstallPath(kStateFileName).c_str(), 0644));
    EXPECT_TRUE(ReadInstalled(kStateFileName) == state);
    EXPECT_TRUE(IsUntouched());
  }
}

// ---------------------------------------------------------------------------
// Files of the installation directory that are not what they should be.

// A whole package of one release, left by a run that stopped before
// unpacking, is never taken for the next release's.
TEST_F(FaultTest, PackageLeftFromAnotherReleaseIsFetchedAfresh) {
  options_.set_env = {"TMPDIR=" + tmp_.Child("missing")};
  EXPECT_EQ(255, RunUpdater("1.0").exit_code);
  ASSERT_TRUE(ReadInstalled(kPackageFileName) == Package());

  const FileList release_b = {{"keltrin", "release B"}};
  const std::string package_b = MakePackage(release_b);
  ASSERT_LT(package_b.size(), Package().size());
  WriteFile(root_.Child("/packages/b.tar.gz"), package_b);
  PublishManifestText("[ubuntu_debian_i686]\nversion=2.1\nurl=" +
                      server_.Url("/packages/b.tar.gz") + "\n");
  options_.set_env = {"TMPDIR=" + tmp_.path()};
  server_.ClearRequests();
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(0, result.exit_code);
  EXPECT_NE(std::string::npos,
            Log().find(UpdateEntry(log_site::kStalePackage,
                                   "norvane.tar.gz is not the offered package, "
                                   "fetching it afresh!")));
  EXPECT_EQ((std::vector<ServedRequest>{
                {"GET", "/packages/b.tar.gz", "", 200, package_b.size()}}),
            server_.RequestsFor("/packages/b.tar.gz"));
  EXPECT_TRUE(SameTree(WithFiles(old_tree_, release_b), Installed()));
}

// A pid file that names no process by its digits lets the run proceed; a
// link in the place of the pid file or the log is never followed.
TEST_F(FaultTest, PidAndLogFilesThatAreNotWhatTheySeem) {
  testing_util::ScopedTempDir outside;
  const std::string target = outside.Child("file");
  struct Case {
    std::string what;
    std::string pid_text;  // Written into "pid" unless empty.
    const char* link;      // Made to point at |target| unless null.
    int exit_code;
    std::string err;
    std::string log;  // The whole log, when the run gets that far.
  };
  const Case kCases[] = {
      {"self", "self", nullptr, 0, "", ""},
      {"thread-self", "thread-self", nullptr, 0, "", ""},
      {"1/../self", "1/../self", nullptr, 0, "", ""},
      {"pid links outside", "", kPidFileName, 255, "",
       UpdateEntry(log_site::kCantWritePidFile, "can't write pid file.") +
           UpdateEntry(log_site::kWritePidFileFailed,
                       "write pid file failed!")},
      {"log links outside", "", kLogFileName, 255,
       "can't open norvane_update.log: Not a regular file\n", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    PublishManifest("1.0");
    WriteFile(target, "outside");
    if (!c.pid_text.empty()) WriteInstalled(kPidFileName, c.pid_text);
    if (c.link) {
      ASSERT_EQ(0, symlink(target.c_str(), InstallPath(c.link).c_str()));
    }
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(c.exit_code, result.exit_code);
    EXPECT_EQ(c.err, result.err);
    if (c.exit_code == 0) {
      EXPECT_EQ(std::to_string(result.pid), ReadInstalled(kPidFileName));
    } else if (!c.log.empty()) {
      EXPECT_EQ(c.log, Log());
    }
    EXPECT_EQ("outside", ReadFile(target));
  }
}

// ---------------------------------------------------------------------------
// Hostile manifests.

TEST_F(FaultTest, ManifestOfAMegabyteOfGarbageIsRefused) {
  std::mt19937 rng(42);
  // Just within the manifest's size limit.
  PublishManifestText(RandomBytes(&rng, kMaxManifestBytes));
  options_.timeout_seconds = 60;
  ProcessResult result = RunUpdater("1.0");
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(LogEndsWith(
      UpdateEntry(log_site::kManifestVersion, "get version number error!")));
  EXPECT_TRUE(PackageRequests().empty());
  EXPECT_TRUE(IsUntouched());
}

TEST_F(FaultTest, HalfMegabyteVersionsAreComparedAndReported) {
  // As long as a manifest within its size limit can hold.
  const size_t kLength = kMaxManifestBytes / 2;
  std::string dotted;
  while (dotted.size() < kLength) dotted += "1.";
  dotted += "1";
  struct Case {
    std::string version;
    bool newer;
  };
  const Case kCases[] = {
      {std::string(kLength, '0'), false},
      {std::string(kLength, '9'), true},
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
      EXPECT_TRUE(LogEndsWith("\nupdate successful!\n"));
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
      "\n" + UpdateEntry(log_site::kTarStatus, "tar status error: 2");
  struct Case {
    std::string what;
    std::vector<TarMember> members;
    int exit_code;
    std::string log_tail;  // The end of the log.
    Tree installed;        // Entries added to the installation.
  };
  auto unsafe = [](const std::string& entry) {
    return "\n" + UpdateEntry(log_site::kUnsafePackageEntry,
                              "unsafe package entry: " + entry);
  };
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
       unsafe("escape -> " + outside),
       {}},
      {"absolute link to a file",
       {{'2', "user-settings", outside + "/file"}},
       255,
       unsafe("user-settings -> " + outside + "/file"),
       {}},
      {"relative link climbing out",
       {{'0', "lib/libnew.so", "x"},
        {'2', "lib/up", "../" + SentinelFromInstallation()}},
       255,
       unsafe("lib/up -> ../" + SentinelFromInstallation()),
       {}},
      {"link through a link to the top",
       {{'2', "x", "."}, {'2', "y", "x/.."}},
       255,
       unsafe("y -> x/.."),
       {}},
      {"FIFO",
       {{'6', "resources/pipe", ""}},
       255,
       unsafe("resources/pipe"),
       {}},
      // Links that stay inside, but lock later runs out of their own files.
      {"link in the place of the log",
       {{'2', "norvane_update.log", "keltrin"}},
       255,
       unsafe("norvane_update.log"),
       {}},
      {"link in the place of the manifest",
       {{'2', "norvane_update_linux.ini", "keltrin"}},
       255,
       unsafe("norvane_update_linux.ini"),
       {}},
      // Nor may a package replace the updater's own state: one slip would
      // give every installation the same rollout bucket.
      {"state file shipped",
       {{'0', "norvane_upgrade_linux.ini",
         "[main]\nRolloutBucket=0\nAcceptedVersion=from the package\n"}},
       255,
       unsafe("norvane_upgrade_linux.ini"),
       {}},
      {"package file shipped",
       {{'0', "keltrin", "new"}, {'0', "norvane.tar.gz", "x"}},
       255,
       unsafe("norvane.tar.gz"),
       {}},
      {"name that forges a log line",
       {{'2', "a\n[0101/000000:ERROR:norvane_update(175)] forged", "/"}},
       255,
       unsafe("a\\012[MMDD/HHMMSS:ERROR:norvane_update(175)] forged -> /"),
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
      // The updater may update itself.
      {"the updater's executable",
       {{'0', "norvane_update_bin", "new updater"}},
       0,
       "\nupdate successful!\n",
       {{"norvane_update_bin", "file:new updater"}}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    PublishPackage(HandMadePackage(c.members));
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(c.exit_code, result.exit_code);
    EXPECT_TRUE(LogEndsWith(c.log_tail));
    EXPECT_EQ(std::string::npos,
              ReadInstalled("norvane_update.log").find("\n[0101/000000:"));
    Tree expected = old_tree_;
    for (const auto& entry : c.installed) expected[entry.first] = entry.second;
    EXPECT_TRUE(SameTree(expected, Installed()));
    EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
    EXPECT_EQ(std::string::npos,
              ReadInstalled(kStateFileName).find("from the package"));
    EXPECT_TRUE(SameTree(sentinel_tree_, ReadTree(sentinel_.path())));
    // A refused package leaves nothing of itself in the temporary root.
    if (c.log_tail.find("unsafe package entry: ") != std::string::npos) {
      EXPECT_TRUE(LeftTempDirs().empty());
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

// ---------------------------------------------------------------------------
// Delta updates: every way a delta can fail ends with the release installed.

class DeltaTest : public FaultTest {
 protected:
  static constexpr char kDeltaPath[] = "/packages/delta.tar.gz";
  bool PublishesBigPackage() const override { return false; }

  // Release 1.0 as installed, and 2.0 after it: keltrin edited in two
  // places (patched), the library unchanged (kept), a resource rewritten
  // and one new in a new directory (carried whole).
  static FileList Release(const std::string& version) {
    std::mt19937 rng(99);
    std::string binary = RandomBytes(&rng, 200 * 1024);
    FileList files = {{"lib/libkeltrin.so", RandomBytes(&rng, 64 * 1024)},
                      {"resources/d00/f000.pak", "resource " + version}};
    if (version == "2.0") {
      binary.replace(1000, 7, "edition");
      binary.replace(150000, 3, "two");
      files.push_back({"resources/d01/new.pak", "new in 2.0"});
    }
    files.push_back({"keltrin", binary});
    return files;
  }

  // Writes |name| in the publisher's directory and returns its path.
  std::string Published(const std::string& name, const std::string& bytes) {
    WriteFile(publisher_.Child(name), bytes);
    return publisher_.Child(name);
  }
  // The delta from 1.0 to 2.0, as the publishing tool makes it.
  std::string MakeDelta() {
    const std::string out = publisher_.Child("delta.tar.gz");
    ProcessResult made = testing_util::RunProcess(
        {NORVANE_PUBLISH_BINARY, "delta", "--from",
         Published("1.0.tar.gz", MakePackage(Release("1.0"))), "--to",
         Published("2.0.tar.gz", MakePackage(Release("2.0"))), "--out", out});
    EXPECT_EQ(0, made.exit_code) << made.err;
    return ReadFile(out);
  }
  // |delta| with one byte of keltrin's patch changed, packed again.
  std::string WithCorruptPatch(const std::string& delta) {
    const std::string dir = publisher_.Child("corrupt");
    ProcessResult made = testing_util::RunProcess(
        {"sh", "-ec",
         "mkdir \"$0\" && tar -xzf \"$1\" -C \"$0\" && "
         "printf X | dd of=\"$0/patches/keltrin\" bs=1 seek=40 conv=notrunc "
         "2>/dev/null && tar -czf \"$1\" -C \"$0\" norvane_delta.ini patches "
         "files",
         dir, Published("corrupt.tar.gz", delta)});
    EXPECT_EQ(0, made.exit_code) << made.err;
    return ReadFile(publisher_.Child("corrupt.tar.gz"));
  }
  // Serves 2.0's manifest offering the package and a delta from 1.0 with
  // |delta|'s size and the digest |sha256|, at |url_path|.
  void PublishDeltaOffer(const std::string& delta, const std::string& sha256,
                         const std::string& url_path) {
    PublishManifestText(ManifestText(
        "2.0", "delta_from=1.0\ndelta_url=" + server_.Url(url_path) +
                   "\ndelta_sha256=" + sha256 +
                   "\ndelta_size=" + std::to_string(delta.size()) + "\n"));
  }

  testing_util::ScopedTempDir publisher_;
};

TEST_F(DeltaTest, EveryDeltaEndsWithTheReleaseInstalled) {
  const std::string delta = MakeDelta();
  const std::string corrupt = WithCorruptPatch(delta);
  PublishPackage(MakePackage(Release("2.0")));
  WriteFile(root_.Child(kDeltaPath), delta);
  enum Serving { kDelta, kCorruptPatch, kOtherDigest, kMissing };
  const std::string kNotItsBase =
      ": the installed file is not the one the delta was made for";
  struct Case {
    std::string what;
    Serving serving;
    std::string installed_change;  // Run in the installation first.
    std::string problem;           // Why it falls back; "" when it does not.
    enum { kRuns, kKilledApplying, kStalls } first = kRuns;
  } cases[] = {
      {"applies", kDelta, "", ""},
      {"a changed base", kDelta, "echo >> keltrin", "keltrin" + kNotItsBase},
      {"a kept file damaged", kDelta, "echo >> lib/libkeltrin.so",
       "lib/libkeltrin.so" + kNotItsBase},
      {"a corrupt patch", kCorruptPatch, "", "keltrin: the patch is damaged"},
      {"a digest mismatch", kOtherDigest, "",
       "delta sha256 error: expected " + Sha256HexOf("other") + ", got " +
           Sha256HexOf(delta)},
      {"a delta that is not there", kMissing, "", "it can't be downloaded"},
      {"killed while applying", kDelta, "", "", Case::kKilledApplying},
      // A stall ends the run, as it would for the package; the next run
      // resumes the delta.
      {"a delta that stalls half way", kDelta, "", "", Case::kStalls},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetInstallation();
    for (const auto& [path, contents] : Release("1.0")) {
      WriteInstalled(path, contents);
    }
    if (!c.installed_change.empty()) {
      testing_util::RunOptions in_installation;
      in_installation.cwd = install_.path();
      testing_util::RunProcess({"sh", "-c", c.installed_change},
                               in_installation);
    }
    const Tree before = Installed();
    if (c.serving == kCorruptPatch) {
      WriteFile(root_.Child("/packages/corrupt.tar.gz"), corrupt);
      PublishDeltaOffer(corrupt, Sha256HexOf(corrupt),
                        "/packages/corrupt.tar.gz");
    } else {
      PublishDeltaOffer(
          delta, Sha256HexOf(c.serving == kOtherDigest ? "other" : delta),
          c.serving == kMissing ? "/packages/none" : kDeltaPath);
    }
    server_.ClearRequests();
    const size_t half = delta.size() / 2;
    if (c.first == Case::kStalls) {
      server_.SetStallAfter(kDeltaPath, half);
      EXPECT_EQ(255, RunUpdater("1.0").exit_code);
      server_.SetStallAfter(kDeltaPath, -1);
      EXPECT_TRUE(LogEndsWith(
          UpdateEntry(log_site::kDownloadDelta,
                      "download " + server_.Url(kDeltaPath) + " error!")));
      EXPECT_EQ(half, ReadFile(InstallPath(kDeltaFileName)).size());
      EXPECT_TRUE(SameTree(before, Installed()));
      server_.ClearRequests();
    }
    if (c.first == Case::kKilledApplying) {
      // Held as it makes the new resource, after keltrin's patch.
      (void)remove(ToolMark().c_str());
      BackgroundRun run(UpdaterCommand(),
                        HeldAt("NORVANE_HOLD_CREATE=new.pak"));
      ASSERT_TRUE(run.WaitFor([this] { return FileExists(ToolMark()); }));
      run.KillWithDescendants();
      EXPECT_TRUE(SameTree(before, Installed()));
    }
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(0, result.exit_code);
    EXPECT_TRUE(SameTree(WithFiles(before, Release("2.0")), Installed()));
    EXPECT_TRUE(LogEndsWith("\nupdate successful!\n"));
    const bool falls_back = !c.problem.empty();
    EXPECT_EQ(falls_back,
              LogHas("(" + std::to_string(log_site::kDeltaNotUsed.line) +
                     ")] can't use the delta from 1.0: " + c.problem));
    EXPECT_EQ(falls_back, LogHas(", installing the full package!\n"));
    EXPECT_EQ(falls_back ? 1u : 0u, PackageRequests().size());
    if (c.first == Case::kStalls) {
      EXPECT_EQ((std::vector<ServedRequest>{
                    {"GET", kDeltaPath, "bytes=" + std::to_string(half) + "-",
                     206, delta.size() - half}}),
                server_.RequestsFor(kDeltaPath));
    }
    if (!falls_back) {
      // Only what changed is copied in.
      EXPECT_TRUE(
          LogHas("made the update from the delta: 1 patched, 2 "
                 "whole, 1 kept\n"));
      EXPECT_FALSE(LogHas("libkeltrin.so"));
    }
    EXPECT_FALSE(FileExists(InstallPath(kDeltaFileName)));
    EXPECT_FALSE(FileExists(InstallPath(kDeltaRecordFileName)));
    EXPECT_TRUE(LeftTempDirs().empty());
  }
}

}  // namespace
