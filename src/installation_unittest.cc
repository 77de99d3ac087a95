#include "installation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "instance_guard.h"
#include "test/package_builder.h"
#include "test/test_util.h"
#include "test/updater_test.h"
#include "update_log_sites.h"

namespace {

using testing_util::FileExists;
using testing_util::ProcessResult;
using testing_util::ReadFile;

// The entries below |dir| ("." first), at most |depth| levels down.
std::vector<std::string> ListTree(const std::string& dir,
                                  const std::string& depth = "99") {
  std::string out =
      testing_util::RunProcess(
          {"sh", "-c", "cd \"$0\" && find . -maxdepth $1 | sort", dir, depth})
          .out;
  std::vector<std::string> entries;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos;
       start = end + 1) {
    entries.push_back(out.substr(start, end - start));
  }
  return entries;
}

class InstallRunTest : public UpdateRunTest {
 protected:
  void SetUp() override {
    UpdateRunTest::SetUp();
    WriteInstalled("keltrin", "old binary");
    WriteInstalled("user-settings", "kept");
    testing_util::RunProcess({"mkdir", "-p", InstallPath("lib")});
    WriteInstalled("lib/libold.so", "old lib");
    WriteInstalled("lib/libkeltrin.so", "old keltrin lib");
    package_ = MakePackage({{"keltrin", "new binary"},
                            {"lib/libkeltrin.so", "new keltrin lib"},
                            {"locales/fr/messages", "bonjour"},
                            {".hidden", "not copied"}});
    PublishPackage(package_);
    PublishManifest("2.0");
  }

  void ExpectInstalled() {
    EXPECT_EQ("new binary", ReadInstalled("keltrin"));
    EXPECT_EQ("new keltrin lib", ReadInstalled("lib/libkeltrin.so"));
    EXPECT_EQ("bonjour", ReadInstalled("locales/fr/messages"));
    EXPECT_EQ("old lib", ReadInstalled("lib/libold.so"));
    EXPECT_EQ("kept", ReadInstalled("user-settings"));
    EXPECT_FALSE(FileExists(InstallPath(".hidden")));
    EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
  }
  // The next run downloads the whole package again and installs it.
  void ExpectNextRunInstallsAfresh() {
    server_.ClearRequests();
    EXPECT_EQ(0, RunUpdater("1.0").exit_code);
    ExpectInstalled();
    EXPECT_EQ("", server_.Requests().back().range);
  }

  std::string package_;
};

TEST_F(InstallRunTest, NewerVersionIsInstalledOverTheOldFiles) {
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(0, result.exit_code);
  ExpectInstalled();
  EXPECT_TRUE(LeftTempDirs().empty());
  std::string log = Log();
  size_t tar_line = log.find("\ntar -zxvf norvane.tar.gz -C " + tmp_.path() +
                             "/com.dovamel.keltrin.");
  size_t cp_line =
      log.find("\ncp -v -r -f " + tmp_.path() + "/com.dovamel.keltrin.");
  size_t done = log.find("\nupdate successful!\n");
  EXPECT_NE(std::string::npos, tar_line);
  EXPECT_NE(std::string::npos, cp_line);
  EXPECT_LT(tar_line, cp_line);
  EXPECT_LT(cp_line, done);
  EXPECT_EQ("\nupdate successful!\n", log.substr(done));
  // tar and cp list their files in the log.
  EXPECT_NE(std::string::npos, log.find("locales/fr/messages"));
}

TEST_F(InstallRunTest, PartialPackageIsResumed) {
  // A delta offered beside the package, well-formed or not, leaves the full
  // package to be resumed and installed as before.
  const std::string delta_offer =
      "delta_from=1.0\ndelta_url=" + server_.Url("/packages/d.tar.gz") +
      "\ndelta_sha256=" + Sha256HexOf("d") + "\ndelta_size=1\n";
  for (const std::string& extra_lines :
       {std::string(), delta_offer, std::string("delta_from=1.0\n")}) {
    WriteInstalled("keltrin", "old binary");
    PublishManifestText(ManifestText("2.0", extra_lines));
    server_.ClearRequests();
    PlantPackage(package_.substr(0, 100));
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(0, result.exit_code) << extra_lines;
    ExpectInstalled();
    std::vector<testing_util::ServedRequest> requests = server_.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(kPackagePath, requests.back().path);
    EXPECT_EQ("bytes=100-", requests.back().range) << extra_lines;
    EXPECT_EQ(package_.size() - 100, server_.BodyBytesSent(kPackagePath));
    EXPECT_TRUE(server_.RequestsFor("/packages/d.tar.gz").empty());
  }
}

TEST_F(InstallRunTest, CompletePackageAnsweredWith416IsStillInstalled) {
  PlantPackage(package_);
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(0, result.exit_code);
  ExpectInstalled();
  EXPECT_NE(std::string::npos, Log().find(PackageDownloadEntry()));
}

TEST_F(InstallRunTest, BrokenTransferFailsExtractionAndIsFetchedAfresh) {
  server_.SetBreakAfter(kPackagePath, static_cast<int64_t>(package_.size() / 2),
                        1);
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(
      LogEndsWith(UpdateEntry(log_site::kTarStatus, "tar status error: 2")));
  EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
  EXPECT_TRUE(LeftTempDirs().empty());
  EXPECT_EQ("old binary", ReadInstalled("keltrin"));

  ExpectNextRunInstallsAfresh();
}

// A temporary root that is missing, or in which another user could rename
// the staging directory, fails before anything is unpacked; the package
// stays for the next run.
TEST_F(InstallRunTest, MissingOrSharedTempRootFailsAndKeepsThePackage) {
  const std::string shared = tmp_.Child("shared");
  testing_util::RunProcess({"mkdir", "-m", "0777", shared});
  ASSERT_EQ(0, chmod(shared.c_str(), 0777));  // Whatever the umask.
  struct Case {
    std::string root;
    std::string log_tail;
  };
  const std::string create_error =
      UpdateEntry(log_site::kCreateTempDir, "can'nt create temp dir!");
  std::vector<Case> cases = {
      {tmp_.Child("missing"), create_error},
      {shared,
       UpdateEntry(log_site::kUnsafeTempRoot,
                   "unsafe temp root: " + shared +
                       " is writable by others without the sticky bit!") +
           create_error},
  };
  // Root may write anywhere: only the owner rule keeps it out of a root
  // that another user could rename entries in.
  const std::string foreign = tmp_.Child("foreign");
  if (geteuid() == 0) {
    testing_util::RunProcess({"mkdir", "-m", "0700", foreign});
    testing_util::RunProcess({"chown", "65534:65534", foreign});
    cases.push_back({foreign, UpdateEntry(log_site::kUnsafeTempRoot,
                                          "unsafe temp root: " + foreign +
                                              " belongs to another user!") +
                                  create_error});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    options_.set_env = {"TMPDIR=" + c.root};
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(255, result.exit_code);
    EXPECT_TRUE(LogEndsWith(c.log_tail));
    EXPECT_EQ(package_, ReadInstalled("norvane.tar.gz"));
    EXPECT_EQ("old binary", ReadInstalled("keltrin"));
    EXPECT_TRUE(ListTree(c.root, "1").size() <= 1);
  }
}

// A package that would not fit on the installation's file system is never
// copied; the journal keeps it for a run that finds room. The room is
// measured from the tree as cp writes it, every name of a hard-linked file
// in full, with an inode for each entry. The installation here is a small
// file system of its own, which takes root to mount.
TEST_F(InstallRunTest, PackageWithoutRoomToCopyLeavesTheInstallationAlone) {
  struct Case {
    std::string what;
    std::string mount_options;
    std::vector<testing_util::TarMember> members;
    std::string entry;
  };
  const std::string three_mib(3 << 20, '\0');
  std::vector<testing_util::TarMember> many_files;
  for (int i = 0; i < 40; ++i) {
    many_files.push_back({'0', "f" + std::to_string(i), "x"});
  }
  const Case kCases[] = {
      // 12 MiB: with the margin more than the 24 MiB there, although the
      // margin alone would fit.
      {"a big file",
       "size=24m",
       {{'0', "keltrin", "new binary"},
        {'0', "big.pak", std::string(12 << 20, '\0')}},
       "] not enough room to copy the update: need "},
      // 3 MiB once in the staging directory, 15 MiB once copied.
      {"a file of five hard links",
       "size=24m",
       {{'0', "keltrin", "new binary"},
        {'0', "a.pak", three_mib},
        {'1', "b.pak", "a.pak"},
        {'1', "c.pak", "a.pak"},
        {'1', "d.pak", "a.pak"},
        {'1', "e.pak", "a.pak"}},
       "] not enough room to copy the update: need "},
      {"more files than inodes", "size=24m,nr_inodes=32", many_files,
       "] not enough inodes to copy the update: need "},
  };
  const std::string small = InstallPath("small");
  testing_util::RunProcess({"mkdir", small});
  struct Unmount {
    std::string path;
    ~Unmount() { testing_util::RunProcess({"umount", "-l", path}); }
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    if (testing_util::RunProcess(
            {"mount", "-t", "tmpfs", "-o", c.mount_options, "tmpfs", small})
            .exit_code != 0) {
      GTEST_SKIP() << "cannot mount a small file system here";
    }
    Unmount unmount_small{small};
    testing_util::WriteFile(small + "/keltrin", "old binary");
    PublishPackage(testing_util::HandMadePackage(c.members));
    ProcessResult result = RunUpdaterWithArgs({"1.0", small, "999999999"});
    EXPECT_EQ(255, result.exit_code);
    std::string log = testing_util::MaskLogTimes(
        testing_util::ReadFile(small + "/" + kLogFileName));
    EXPECT_NE(std::string::npos, log.find(c.entry)) << log;
    EXPECT_EQ(std::string::npos, log.find("\ncp -v -r -f "));
    // Nothing but the updater's own files (and no shadow) beside the old.
    for (const std::string& entry : ListTree(small, "1")) {
      EXPECT_TRUE(entry == "." || entry == "./keltrin" || entry == "./pid" ||
                  (entry.rfind("./norvane_", 0) == 0 &&
                   entry != std::string("./") + kShadowDirName))
          << entry;
    }
    EXPECT_EQ("old binary", testing_util::ReadFile(small + "/keltrin"));
    // The journal keeps its one staging directory.
    EXPECT_EQ(1u, LeftTempDirs().size());
    testing_util::RunProcess({"sh", "-c", "rm -rf \"$0\"/*", tmp_.path()});
  }
}

// A directory that the record or the journal names is touched only when
// this updater made it: anything else stays whole, is logged, and the record
// no longer names it. A record without device and inode (a run killed just
// after mkdir) leads to removing an empty directory of the template only.
TEST_F(InstallRunTest, OnlyStagingDirectoriesOfOursAreTouched) {
  struct Case {
    std::string what;
    std::string dir;    // Made under TMPDIR, mode 0700.
    std::string named;  // What the planted file names, under TMPDIR.
    int inode_offset;   // Added to the inode recorded; -1: none recorded.
    bool empty;
    bool journal;  // Planted as the journal instead of the record.
    bool removed;
  };
  const std::string kName = "com.dovamel.keltrin.";
  const Case kCases[] = {
      {"a .. path", "victim/" + kName + "AAAAAA",
       "victim/" + kName + "AAAAAA/../" + kName + "AAAAAA", 0, false, false,
       false},
      {"a .. path in the journal", "victim/" + kName + "AAAAAB",
       "victim/" + kName + "AAAAAB/../" + kName + "AAAAAB", 0, false, true,
       false},
      {"the template elsewhere", "else\\where/" + kName + "BBBBBB",
       "else\\where/" + kName + "BBBBBB", 0, false, false, false},
      {"the right name, another inode", kName + "CCCCCC", kName + "CCCCCC", 1,
       false, false, false},
      {"no inode, empty", kName + "DDDDDD", kName + "DDDDDD", -1, true, false,
       true},
      {"no inode, not empty", kName + "EEEEEE", kName + "EEEEEE", -1, false,
       false, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string dir = tmp_.Child(c.dir);
    const std::string named = tmp_.Child(c.named);
    testing_util::RunProcess({"mkdir", "-p", "-m", "0700", dir});
    if (!c.empty) testing_util::WriteFile(dir + "/keep", "kept");
    struct stat made;
    ASSERT_EQ(0, lstat(dir.c_str(), &made));
    std::string text = "[package]\nurl=" + server_.Url(kPackagePath) +
                       "\nstaging=" + named + "\nentries=1\n";
    if (c.inode_offset >= 0) {
      text += "device=" + std::to_string(made.st_dev) +
              "\ninode=" + std::to_string(made.st_ino + c.inode_offset) + "\n";
    }
    WriteInstalled(c.journal ? kInstallJournalFileName : kPackageRecordFileName,
                   text);
    // The browser is current: only the journal makes the run install.
    EXPECT_EQ(0, RunUpdater("2.0").exit_code);
    EXPECT_EQ(!c.removed, FileExists(dir));
    EXPECT_EQ(c.empty ? "" : "kept", ReadFile(dir + "/keep"));
    // The log writes a backslash as an octal escape.
    std::string escaped = named;
    for (size_t at = 0; (at = escaped.find('\\', at)) != std::string::npos;
         at += 4) {
      escaped.replace(at, 1, "\\134");
    }
    EXPECT_EQ(!c.removed, Log().find(UpdateEntry(
                              log_site::kStagingNotOurs,
                              escaped + " is not a staging directory of this "
                                        "updater, leaving it alone!")) !=
                              std::string::npos);
    EXPECT_EQ(std::string::npos,
              ReadFile(InstallPath(kPackageRecordFileName)).find(named));
    EXPECT_FALSE(FileExists(InstallPath(kInstallJournalFileName)));
  }
}

// A package that ships a file of the package's own name must not leave it
// for the next run to resume onto, whether its copy succeeds or fails.
TEST_F(InstallRunTest, PackageOfHiddenEntriesOnlyFailsTheCopy) {
  PublishPackage(MakePackage({{".only-hidden", "x"}}));
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(
      LogEndsWith(UpdateEntry(log_site::kCpStatus, "cp status error: 1")));
  EXPECT_EQ(1u, LeftTempDirs().size());
  EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
}

// The record and the journal must always be readable: an offer whose URL
// they could not hold is not installed at all.
TEST_F(InstallRunTest, OfferWhoseUrlTheJournalCannotHoldIsNotInstalled) {
  const std::string url =
      server_.Url(kPackagePath) + "?" + std::string(17000, 'q');
  PublishManifestText("[ubuntu_debian_i686]\nversion=2.0\nurl=" + url + "\n");
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(LogEndsWith(UpdateEntry(log_site::kOfferUrlTooLong,
                                      "package URL is longer than " +
                                          std::to_string(kMaxPackageUrlBytes) +
                                          " bytes!")));
  EXPECT_TRUE(server_.RequestsFor(kPackagePath).empty());
  EXPECT_EQ("old binary", ReadInstalled("keltrin"));
  EXPECT_FALSE(FileExists(InstallPath(kPackageRecordFileName)));
  EXPECT_FALSE(FileExists(InstallPath(kInstallJournalFileName)));
  EXPECT_TRUE(LeftTempDirs().empty());
}

TEST_F(InstallRunTest, MovesWaitUntilTheBrowserHasExited) {
  // The stand-in browser leaves a mark just before it exits.
  std::string mark = tmp_.Child("browser-exited");
  pid_t browser = testing_util::StartProcess(
      {"sh", "-c", "sleep 3; touch \"$1\"", "keltrin", mark});
  ASSERT_TRUE(testing_util::WaitForCommandLine(browser, "sleep 3"));
  ProcessResult result = RunUpdater("1.0", std::to_string(browser));
  testing_util::KillProcess(browser);
  EXPECT_EQ(0, result.exit_code);
  ExpectInstalled();
  ASSERT_TRUE(FileExists(mark));
  // The new file's status changed when it was moved into place, after the
  // browser's end; it was copied into the shadow while the browser ran.
  std::string times =
      testing_util::RunProcess({"stat", "-c", "%.9Y", mark}).out +
      testing_util::RunProcess({"stat", "-c", "%.9Z", InstallPath("keltrin")})
          .out;
  double mark_time = std::stod(times);
  double copy_time = std::stod(times.substr(times.find('\n') + 1));
  EXPECT_LE(mark_time, copy_time);
}

TEST_F(InstallRunTest, TempRootWithShellCharactersIsQuoted) {
  std::string hostile = tmp_.Child("a b;touch PWNED");
  testing_util::RunProcess({"mkdir", "-p", hostile});
  options_.set_env = {"TMPDIR=" + hostile};
  options_.cwd = tmp_.path();
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(0, result.exit_code);
  ExpectInstalled();
  EXPECT_FALSE(FileExists(tmp_.Child("PWNED")));
  EXPECT_FALSE(FileExists(InstallPath("PWNED")));
  EXPECT_EQ((std::vector<std::string>{"."}), ListTree(hostile));
  EXPECT_NE(std::string::npos,
            Log().find("\ntar -zxvf norvane.tar.gz -C '" + hostile));
}

// Manifests that give the package's digest.
class DigestRunTest : public InstallRunTest {
 protected:
  void PublishManifestWithDigest(const std::string& sha256) {
    PublishManifestText(ManifestText("2.0", "sha256=" + sha256 + "\n"));
  }
  bool PackageWasRequested() { return !PackageRequests().empty(); }
  std::string MismatchEntry(const std::string& expected,
                            const std::string& actual) {
    return UpdateEntry(log_site::kPackageSha256,
                       "package sha256 error: "
                       "expected " +
                           expected + ", got " + actual);
  }
};

TEST_F(DigestRunTest, MatchingPackageIsInstalledWhateverTheDigestsCase) {
  std::string upper = Sha256HexOf(package_);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  for (const std::string& sha256 : {Sha256HexOf(package_), upper}) {
    WriteInstalled("keltrin", "old binary");
    PublishManifestWithDigest(sha256);
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(0, result.exit_code) << sha256;
    ExpectInstalled();
    std::string log = Log();
    EXPECT_EQ(std::string::npos, log.find("sha256")) << sha256;
    EXPECT_NE(std::string::npos, log.find("\nupdate successful!\n"));
  }
}

TEST_F(DigestRunTest, AlteredPackageIsRefusedRemovedAndFetchedAfresh) {
  std::string tampered = package_;
  tampered[tampered.size() / 2] ^= 0x01;
  PublishPackage(tampered);
  PublishManifestWithDigest(Sha256HexOf(package_));
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(
      LogEndsWith(MismatchEntry(Sha256HexOf(package_), Sha256HexOf(tampered))));
  EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
  EXPECT_TRUE(LeftTempDirs().empty());
  EXPECT_EQ("old binary", ReadInstalled("keltrin"));

  PublishPackage(package_);
  ExpectNextRunInstallsAfresh();
}

TEST_F(DigestRunTest, PartialOlderPackageCompletedWithNewerBytesIsRefused) {
  std::string older = MakePackage({{"keltrin", "older binary, version 1.5"}});
  PlantPackage(older.substr(0, 100), "sha256=" + Sha256HexOf(package_) + "\n");
  PublishManifestWithDigest(Sha256HexOf(package_));
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_EQ("bytes=100-", server_.Requests().back().range);
  EXPECT_TRUE(LogEndsWith(
      MismatchEntry(Sha256HexOf(package_),
                    Sha256HexOf(older.substr(0, 100) + package_.substr(100)))));
  EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
  EXPECT_EQ("old binary", ReadInstalled("keltrin"));

  ExpectNextRunInstallsAfresh();
}

TEST_F(DigestRunTest, MalformedDigestFailsBeforeAnyPackageRequest) {
  const std::string good = Sha256HexOf(package_);
  for (const std::string& sha256 :
       {std::string(), good.substr(1), good + "0", " " + good, good + " ",
        good.substr(0, 63) + "g", "0x" + good.substr(2),
        good.substr(0, 40) + "\xc3\xa9" + good.substr(42)}) {
    for (const char* local : {"1.0", "2.0"}) {
      PublishManifestWithDigest(sha256);
      server_.ClearRequests();
      ProcessResult result = RunUpdater(local);
      EXPECT_EQ(255, result.exit_code) << sha256;
      EXPECT_TRUE(LogEndsWith(
          std::string("current version: 2.0, local version: ") + local + "\n" +
          UpdateEntry(log_site::kManifestSha256Malformed,
                      "package sha256 is not 64 hex digits!")));
      EXPECT_FALSE(PackageWasRequested()) << sha256;
    }
  }
  EXPECT_EQ("old binary", ReadInstalled("keltrin"));
}

TEST_F(DigestRunTest, FailedDownloadLeavesNothingThatPasses) {
  PublishManifestWithDigest(Sha256HexOf(package_));
  server_.SetErrorStatus(kPackagePath, 404);
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(
      LogEndsWith("HTTP response code said error\n" + PackageDownloadEntry() +
                  MismatchEntry(Sha256HexOf(package_), Sha256HexOf(""))));
  EXPECT_FALSE(FileExists(InstallPath("norvane.tar.gz")));
  EXPECT_TRUE(LeftTempDirs().empty());
}

// Nothing is read, written or unpacked through a package file that is not a
// regular file; it goes, so the next run can fetch.
TEST_F(DigestRunTest, PackageFileThatIsNotARegularFileIsRefusedAndRemoved) {
  PublishManifestWithDigest(Sha256HexOf(package_));
  testing_util::ScopedTempDir outside;
  const std::string target = outside.Child("file");
  const std::string package = InstallPath("norvane.tar.gz");
  for (const char* make :
       {"mkdir \"$0\"", "mkfifo \"$0\"", "ln -s \"$1\" \"$0\""}) {
    SCOPED_TRACE(make);
    testing_util::WriteFile(target, "outside");
    ASSERT_EQ(0, testing_util::RunProcess({"sh", "-c", make, package, target})
                     .exit_code);
    server_.ClearRequests();
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(255, result.exit_code);
    EXPECT_TRUE(
        LogEndsWith(UpdateEntry(log_site::kPackageNotRegular,
                                "norvane.tar.gz is not a regular file!")));
    EXPECT_TRUE(PackageRequests().empty());
    EXPECT_EQ("outside", testing_util::ReadFile(target));
    result = RunUpdater("1.0");
    EXPECT_EQ(0, result.exit_code);
    ExpectInstalled();
    WriteInstalled("keltrin", "old binary");
  }
}

// The manifest's "size" bounds the package's download and must match the
// finished file; a value that is no byte count fails before any request.
TEST_F(InstallRunTest, PackageSizeFromTheManifestIsEnforced) {
  const std::string size = std::to_string(package_.size());
  const std::string larger = std::to_string(package_.size() + 1);
  const std::string smaller = std::to_string(package_.size() - 1);
  struct Case {
    std::string value;
    int exit_code;
    std::string log_tail;
    bool requested;
  };
  const Case kCases[] = {
      {size, 0, "\nupdate successful!\n", true},
      {larger, 255,
       UpdateEntry(log_site::kPackageSize,
                   "package size error: expected " + larger + ", got " + size),
       true},
      {smaller, 255,
       UpdateEntry(log_site::kDownloadTooLarge,
                   "download " + server_.Url(kPackagePath) +
                       " is larger than " + smaller + " bytes!") +
           PackageDownloadEntry(),
       true},
      {"12a", 255,
       UpdateEntry(log_site::kManifestSizeMalformed,
                   "package size is not a decimal number!"),
       false},
      {" " + size, 255,
       UpdateEntry(log_site::kManifestSizeMalformed,
                   "package size is not a decimal number!"),
       false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE("size=" + c.value);
    WriteInstalled("keltrin", "old binary");
    PublishManifestText(ManifestText("2.0", "size=" + c.value + "\n"));
    server_.ClearRequests();
    ProcessResult result = RunUpdater("1.0");
    EXPECT_EQ(c.exit_code, result.exit_code);
    EXPECT_TRUE(LogEndsWith(c.log_tail));
    EXPECT_EQ(c.requested, !PackageRequests().empty());
    EXPECT_FALSE(FileExists(InstallPath(kPackageFileName)));
    EXPECT_EQ(c.exit_code == 0 ? "new binary" : "old binary",
              ReadInstalled("keltrin"));
  }
}

TEST_F(DigestRunTest, CompletePackageAnsweredWith416IsCheckedAndInstalled) {
  PlantPackage(package_, "sha256=" + Sha256HexOf(package_) + "\n");
  PublishManifestWithDigest(Sha256HexOf(package_));
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(0, result.exit_code);
  ExpectInstalled();
}

}  // namespace
