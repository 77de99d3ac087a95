// norvane_publish: the update server side of verified updates. Makes the
// signing key pair, writes manifests that carry their package's digest and
// size, the time they expire and the share of installations they are
// offered to, and a delta package offered beside the package, signs them and
// checks them the way the updater does, and makes delta packages that carry
// only what changed between two packages.
//
// Key files hold hexadecimal text and a line end: the secret key file the
// 32-byte seed of the Ed25519 key pair (mode 0600), the public key file the
// 32-byte public key. Exit status: 0 done, 1 failed, 2 wrong usage.
//
// Whatever it writes or signs is checked with the updater's own code: the
// manifest's keys (manifest_terms.h) and limits (update_settings.h), and the
// package unpacked and checked as the updater checks it (package_check.h).

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/eintr_wrapper.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "base/process_util.h"
#include "base/utf_string_conversions.h"
#include "delta/delta_apply.h"
#include "delta/delta_builder.h"
#include "delta/delta_listing.h"
#include "hex.h"
#include "ini/ini_document.h"
#include "install/package_check.h"
#include "manifest_signature.h"
#include "manifest_terms.h"
#include "package_digest.h"
#include "rollout.h"
#include "update_settings.h"
#include "utc_time.h"
#include "version.h"

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

const char kUsage[] =
    "usage: norvane_publish keygen SECRET_KEY_FILE PUBLIC_KEY_FILE\n"
    "       norvane_publish manifest --version V --url URL --package FILE "
    "[--valid-days N] [--rollout PERCENT] [--out FILE]\n"
    "         [--delta-from OLD_VERSION --delta DELTA --delta-url URL]\n"
    "       norvane_publish sign --key SECRET_KEY_FILE MANIFEST\n"
    "       norvane_publish verify --public-key HEX_OR_FILE MANIFEST [SIG]\n"
    "       norvane_publish delta --from OLD_PACKAGE --to NEW_PACKAGE --out "
    "DELTA\n";

const char kPlatformSectionName[] = "ubuntu_debian_i686";
const char kSignatureSuffix[] = ".sig";
const size_t kSeedBytes = crypto_sign_SEEDBYTES;
// How long a new manifest holds unless told otherwise, and at most. Two weeks
// leave time to re-sign it; a year bounds how long a replayed copy serves.
const int kDefaultValidDays = 14;
const int kMaxValidDays = 366;
const int64_t kSecondsPerDay = 86400;

int Usage() {
  fputs(kUsage, stderr);
  return kExitUsage;
}

int Fail(const std::string& message) {
  fprintf(stderr, "norvane_publish: %s\n", message.c_str());
  return kExitFailed;
}

std::string ErrorText(const std::string& path, int error) {
  return path + ": " + base::SystemErrorText(error);
}

// Replaces the file at |path| with |contents| (mode 0644), through a new file
// beside it, so a reader such as the update server never sees half a file.
// On failure returns false with errno set and leaves the old file alone.
bool ReplaceFile(const std::string& path, std::string_view contents) {
  return base::ReplaceFileContents(path, contents, 0644);
}

// Writes |contents| to a new file at |path| that only its owner may read.
// Refuses to replace an existing file. On failure returns false with errno
// set and leaves no file behind.
bool CreatePrivateFile(const std::string& path, std::string_view contents) {
  int fd = HANDLE_EINTR(
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd < 0) return false;
  // The umask may have taken bits away, never added any; this makes the
  // mode exactly 0600.
  bool ok =
      fchmod(fd, 0600) == 0 && base::WriteAll(fd, contents) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(path.c_str());
    errno = error;
  }
  return ok;
}

// The problem that updaters have with a manifest whose keys show |fault|.
std::string FaultText(ManifestFault fault) {
  auto missing = [](const char* key) {
    return std::string("no key \"") + key + "\" in section [" +
           kPlatformSectionName + "]; updaters with a public key refuse it";
  };
  auto malformed = [](const char* key, const char* what) {
    return std::string("its \"") + key + "\" is not " + what +
           "; updaters refuse it";
  };
  const char kTime[] = "a time like 2026-12-31T00:00:00Z";
  switch (fault) {
    case ManifestFault::kNone:
      break;
    case ManifestFault::kNoVersion:
      return std::string("no \"version\" in section [") + kPlatformSectionName +
             "], or only blanks; updaters refuse it";
    case ManifestFault::kSizeMalformed:
      return malformed("size", "a decimal byte count");
    case ManifestFault::kNoSize:
      return missing("size");
    case ManifestFault::kSha256Malformed:
      return malformed("sha256", "64 hex digits");
    case ManifestFault::kNoSha256:
      return missing("sha256");
    case ManifestFault::kNoExpires:
      return missing("expires");
    case ManifestFault::kExpiresMalformed:
      return malformed("expires", kTime);
    case ManifestFault::kRolloutMalformed:
      return malformed("rollout", "a whole percentage 0 to 100");
    case ManifestFault::kNoIssued:
      return missing("issued");
    case ManifestFault::kIssuedMalformed:
      return malformed("issued", kTime);
  }
  return "";
}

// The problem of a delta offer whose keys show |fault|, or "" for kNone.
std::string DeltaFaultText(DeltaOfferFault fault) {
  auto malformed = [](const char* key, const char* what) {
    return std::string("its \"") + key + "\" is " + what +
           "; updaters ignore the delta offer";
  };
  switch (fault) {
    case DeltaOfferFault::kNone:
      break;
    case DeltaOfferFault::kIncomplete:
      return "its delta offer lacks some of \"delta_from\", \"delta_url\", "
             "\"delta_sha256\" and \"delta_size\"; updaters ignore it";
    case DeltaOfferFault::kFromBlank:
      return malformed("delta_from", "blank");
    case DeltaOfferFault::kUrlEmpty:
      return malformed("delta_url", "empty");
    case DeltaOfferFault::kSha256Malformed:
      return malformed("delta_sha256", "not 64 hex digits");
    case DeltaOfferFault::kSizeMalformed:
      return malformed("delta_size", "not a decimal byte count");
  }
  return "";
}

// Reads the manifest |text| the way the updater reads it into |*terms|.
// Returns false when its keys show a fault.
bool ReadTerms(const std::string& text, bool signed_build, ManifestTerms* terms,
               ManifestFault* fault) {
  IniDocument manifest;
  manifest.ReadText(text, false);
  return ReadManifestTerms(manifest, signed_build, terms, fault);
}

// Checks that the manifest |text| is one that updaters with a public key
// take at |now|: within the manifest's size limit, with every key they
// require well-formed, a package URL and an expiry not yet past, and a delta
// offer, if any, whole, well-formed and for an older version. Returns the
// problem, or "" when there is none, with the manifest's terms in |*terms|.
std::string ManifestProblem(const std::string& text, int64_t now,
                            ManifestTerms* terms) {
  if (text.size() > kMaxManifestBytes) {
    return "it is larger than " + std::to_string(kMaxManifestBytes) +
           " bytes; updaters refuse it";
  }
  ManifestFault fault;
  if (!ReadTerms(text, true, terms, &fault)) return FaultText(fault);
  if (terms->url.empty()) {
    return std::string("no \"url\" in section [") + kPlatformSectionName +
           "], or it is empty; updaters cannot fetch the package";
  }
  if (now > *terms->expiry) {
    return "it expired at " + *terms->expires + "; updaters refuse it";
  }
  // A delta offer is only written whole and well-formed, though updaters
  // would fall back on the full package.
  if (terms->delta_fault != DeltaOfferFault::kNone) {
    return DeltaFaultText(terms->delta_fault);
  }
  const std::string version(terms->Version());
  if (terms->delta && CompareVersions(terms->delta->from, version) >= 0) {
    return "its \"delta_from\" " + terms->delta->from +
           " is not older than its version " + version +
           "; no installation needs the delta";
  }
  return "";
}

// Reads the manifest at |path| within the updater's limit into |*text|.
// Returns the problem, or "".
std::string ReadManifestFile(const std::string& path, std::string* text) {
  if (base::ReadFileToString(path, text, kMaxManifestBytes)) return "";
  if (errno == EFBIG) {
    return path + ": it is larger than " + std::to_string(kMaxManifestBytes) +
           " bytes; updaters refuse it";
  }
  return ErrorText(path, errno);
}

// Reads a number of days a manifest holds: 1 to kMaxValidDays, in decimal
// digits. Returns false, leaving |*days| alone, for any other text.
bool ParseValidDays(const std::string& text, int* days) {
  if (text.empty() || text.size() > 3 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  int value = std::stoi(text);
  if (value < 1 || value > kMaxValidDays) return false;
  *days = value;
  return true;
}

// The problem that updaters would have fetching the URL |url|, named |what|
// in the text, or "".
std::string UrlProblem(const std::string& what, const std::string& url) {
  if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) {
    return what + " must start with http:// or https://: " + url;
  }
  // libcurl refuses a URL with blanks or control characters in it.
  for (unsigned char c : url) {
    if (c <= ' ' || c == 0x7f) {
      return what + " must not hold blanks or control characters";
    }
  }
  return "";
}

// Computes the digest and the size of the package at |path| from one open
// file. On failure returns false with errno set.
bool MeasurePackage(const std::string& path, Sha256Digest* digest,
                    uint64_t* size) {
  int fd = HANDLE_EINTR(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && Sha256OfDescriptor(fd, digest);
  int error = errno;
  close(fd);
  errno = error;
  if (ok) *size = static_cast<uint64_t>(info.st_size);
  return ok;
}

// Parses "--name value" options after the command into |options|. Returns
// false on an unknown, repeated or valueless option; other words go to
// |operands|.
bool ParseOptions(const std::vector<std::string>& args,
                  const std::vector<std::string>& known,
                  std::map<std::string, std::string>* options,
                  std::vector<std::string>* operands) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      operands->push_back(arg);
      continue;
    }
    bool is_known = false;
    for (const std::string& name : known) is_known |= arg == "--" + name;
    if (!is_known || i + 1 == args.size() || options->count(arg.substr(2))) {
      return false;
    }
    (*options)[arg.substr(2)] = args[++i];
  }
  return true;
}

int Keygen(const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage();
  const std::string& secret_path = args[0];
  const std::string& public_path = args[1];
  unsigned char seed[kSeedBytes];
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  ManifestPublicKey public_key;
  randombytes_buf(seed, sizeof(seed));
  crypto_sign_seed_keypair(public_key.data(), secret_key, seed);
  std::string secret_text = EncodeHex(seed, sizeof(seed)) + "\n";
  sodium_memzero(seed, sizeof(seed));
  sodium_memzero(secret_key, sizeof(secret_key));
  bool created = CreatePrivateFile(secret_path, secret_text);
  int error = errno;
  sodium_memzero(&secret_text[0], secret_text.size());
  if (!created) {
    if (error == EEXIST) {
      return Fail(secret_path + " exists already; not replacing a key");
    }
    return Fail(ErrorText(secret_path, error));
  }
  std::string public_text =
      EncodeHex(public_key.data(), public_key.size()) + "\n";
  if (!ReplaceFile(public_path, public_text)) {
    error = errno;
    unlink(secret_path.c_str());
    return Fail(ErrorText(public_path, error));
  }
  fputs(public_text.c_str(), stdout);
  return kExitOk;
}

// Runs tar with |args| and waits for it. Returns whether it exited with 0.
bool RunTar(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"tar"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid;
  int status = 0;
  return base::LaunchApp(argv, base::DescriptorMap(), false, &pid) &&
         HANDLE_EINTR(waitpid(pid, &status, 0)) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Removes a temporary tree of the tool's own, however its package set its
// directories' modes.
void DeleteTree(const base::FsPath& dir) { (void)base::DeleteOwnTree(dir); }

// Unpacks the package at |path| as the updater does, with tar, into the
// directory |dir|, and checks the tree with the updater's own check. With
// |keep_modes| the files keep the package's modes whatever the umask.
// Returns the problem, or "" when updaters would install it.
std::string UnpackPackage(const std::string& path, const base::FsPath& dir,
                          bool keep_modes) {
  std::vector<std::string> args = {"-z", "-x", "-f",
                                   path, "-C", dir.AsString()};
  if (keep_modes) args.push_back("-p");
  if (!RunTar(args)) return path + ": tar cannot unpack it; updaters refuse it";
  std::string entry;
  if (FindUnsafeEntry(dir, &entry)) {
    return path + ": unsafe package entry: " + entry + "; updaters refuse it";
  }
  return "";
}

// Unpacks the delta at |path| into the directory |dir| and checks that its
// listing makes exactly the files of the package unpacked in |package_dir|.
// Returns the problem, or "".
std::string DeltaMismatch(const std::string& path, const base::FsPath& dir,
                          const base::FsPath& package_dir) {
  if (!RunTar({"-z", "-x", "-f", path, "-C", dir.AsString()})) {
    return path + ": tar cannot unpack it";
  }
  DeltaListing listing;
  std::string problem;
  if (!ReadDeltaListing(dir.AsString(), &listing, &problem)) {
    return path + ": " + problem;
  }
  if (!ListingMakesTree(listing, package_dir, &problem)) {
    return path + " is no delta to this package: " + problem;
  }
  return "";
}

// Unpacks the package at |path| into a private temporary directory and
// checks it, as UnpackPackage does, and with a |delta| path checks that the
// delta makes that package.
std::string PackageProblem(const std::string& path, const std::string& delta) {
  base::FsPath work;
  if (!base::MakeTempDirectory("norvane_publish", &work)) {
    return "can't make a temporary directory to unpack " + path + ": " +
           base::SystemErrorText(errno);
  }
  const base::FsPath package_dir = work.Join("package");
  const base::FsPath delta_dir = work.Join("delta");
  std::string problem;
  for (const base::FsPath& dir : {package_dir, delta_dir}) {
    if (problem.empty() && mkdir(dir.AsString().c_str(), 0700) != 0) {
      problem = ErrorText(dir.AsString(), errno);
    }
  }
  if (problem.empty()) problem = UnpackPackage(path, package_dir, false);
  if (problem.empty() && !delta.empty()) {
    problem = DeltaMismatch(delta, delta_dir, package_dir);
  }
  DeleteTree(work);
  return problem;
}

// The issue mark for a new manifest that replaces the one at |out| (empty:
// none): the current time, but always later than the mark of the manifest
// it replaces, so that updaters that took that one take this one too.
// Returns the problem, or "" with the mark in |*issued|.
std::string NextIssueMark(const std::string& out, int64_t now,
                          std::string* issued) {
  int64_t mark = now;
  std::string old_text;
  if (!out.empty() &&
      !base::ReadFileToString(out, &old_text, kMaxManifestBytes)) {
    if (errno != ENOENT) {
      return "can't read the issue mark of " + ErrorText(out, errno);
    }
  }
  ManifestTerms old;
  ManifestFault fault;
  ReadTerms(old_text, false, &old, &fault);
  if (old.issue_time && *old.issue_time >= mark) mark = *old.issue_time + 1;
  if (!FormatUtcTime(mark, issued)) {
    return "no issue mark after " + old.issued.value_or("now") +
           " can be written";
  }
  return "";
}

int Manifest(const std::vector<std::string>& args) {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
  if (!ParseOptions(args,
                    {"version", "url", "package", "valid-days", "rollout",
                     "out", "delta-from", "delta", "delta-url"},
                    &options, &operands) ||
      !operands.empty() || !options.count("version") || !options.count("url") ||
      !options.count("package")) {
    return Usage();
  }
  // A delta offer takes all three, or none.
  const size_t delta_options = options.count("delta-from") +
                               options.count("delta") +
                               options.count("delta-url");
  if (delta_options != 0 && delta_options != 3) return Usage();
  const bool with_delta = delta_options == 3;
  const std::string& version = options["version"];
  const std::string& url = options["url"];
  std::string problem = UrlProblem("the URL", url);
  if (problem.empty() && with_delta) {
    problem = UrlProblem("the delta URL", options["delta-url"]);
  }
  if (!problem.empty()) return Fail(problem);
  int valid_days = kDefaultValidDays;
  if (options.count("valid-days") &&
      !ParseValidDays(options["valid-days"], &valid_days)) {
    return Fail("--valid-days must be a whole number of days from 1 to " +
                std::to_string(kMaxValidDays));
  }
  int rollout = kFullRollout;
  if (options.count("rollout") &&
      !ParseRolloutPercent(options["rollout"], &rollout)) {
    return Fail("--rollout must be a whole percentage from 0 to 100");
  }
  const int64_t now = time(nullptr);
  std::string expires;
  if (!FormatUtcTime(now + valid_days * kSecondsPerDay, &expires)) {
    return Fail("the clock is past the year 9999");
  }
  std::string issued;
  const std::string out = options.count("out") ? options["out"] : "";
  problem = NextIssueMark(out, now, &issued);
  if (!problem.empty()) return Fail(problem);
  Sha256Digest digest;
  uint64_t size;
  if (!MeasurePackage(options["package"], &digest, &size)) {
    return Fail(ErrorText(options["package"], errno));
  }
  Sha256Digest delta_digest;
  uint64_t delta_size = 0;
  if (with_delta &&
      !MeasurePackage(options["delta"], &delta_digest, &delta_size)) {
    return Fail(ErrorText(options["delta"], errno));
  }
  problem =
      PackageProblem(options["package"], with_delta ? options["delta"] : "");
  if (!problem.empty()) return Fail(problem);
  std::string text = std::string("[") + kPlatformSectionName +
                     "]\nversion=" + version + "\nurl=" + url +
                     "\nsha256=" + Sha256Hex(digest) +
                     "\nsize=" + std::to_string(size) + "\nexpires=" + expires +
                     "\nissued=" + issued + "\n";
  if (options.count("rollout")) {
    text += "rollout=" + std::to_string(rollout) + "\n";
  }
  if (with_delta) {
    text += "delta_from=" + options["delta-from"] +
            "\ndelta_url=" + options["delta-url"] +
            "\ndelta_sha256=" + Sha256Hex(delta_digest) +
            "\ndelta_size=" + std::to_string(delta_size) + "\n";
  }
  ManifestTerms terms;
  problem = ManifestProblem(text, now, &terms);
  if (!problem.empty()) return Fail("the manifest: " + problem);
  // What the updater will read back must be what was asked for; line ends
  // or malformed UTF-8 in a value would change it.
  if (terms.version != version || terms.url != url) {
    return Fail("the version and the URL must be single lines of UTF-8 text");
  }
  // Blanks around the version take no part in the updater's comparison.
  if (terms.Version() != version) {
    return Fail("the version must not begin or end with blanks");
  }
  if (with_delta &&
      (!terms.delta || terms.delta->from != options["delta-from"] ||
       terms.delta->url != options["delta-url"])) {
    return Fail(
        "the delta's version must be a single line of UTF-8 text without "
        "blanks at its ends");
  }
  // Said aloud, so the publisher knows when to sign again.
  std::string expiry_note = "expires " + expires + ", in " +
                            std::to_string(valid_days) +
                            (valid_days == 1 ? " day" : " days");
  if (!options.count("out")) {
    fputs(text.c_str(), stdout);
    fprintf(stderr, "%s\n", expiry_note.c_str());
    return kExitOk;
  }
  if (!ReplaceFile(options["out"], text)) {
    return Fail(ErrorText(options["out"], errno));
  }
  printf("%s: %s\n", options["out"].c_str(), expiry_note.c_str());
  return kExitOk;
}

// Makes in the private directory |work| the delta package that turns the
// package |from| into the package |to|, checks that it applies to |from| as
// updaters apply it, and writes it to |out| through a new file beside it.
// Returns the problem, or "" with the listing in |*listing|.
std::string MakeDelta(const std::string& from, const std::string& to,
                      const std::string& out, const base::FsPath& work,
                      DeltaListing* listing) {
  const base::FsPath old_dir = work.Join("old"), new_dir = work.Join("new");
  const base::FsPath delta_dir = work.Join("delta");
  const base::FsPath check_dir = work.Join("check");
  for (const base::FsPath& dir : {old_dir, new_dir, delta_dir, check_dir}) {
    if (mkdir(dir.AsString().c_str(), 0700) != 0) {
      return ErrorText(dir.AsString(), errno);
    }
  }
  std::string problem = UnpackPackage(from, old_dir, true);
  if (problem.empty()) problem = UnpackPackage(to, new_dir, true);
  if (!problem.empty()) return problem;
  if (!BuildDelta(old_dir, new_dir, delta_dir, listing, &problem)) {
    return to + ": " + problem;
  }
  if (!ApplyDelta(delta_dir, old_dir, check_dir, DeltaOutput::kWholeTree,
                  nullptr, &problem)) {
    return "the delta does not apply to " + from + ": " + problem;
  }
  // The listing goes first, so that a reader finds it at the start.
  const std::string temp = out + "." + std::to_string(getpid()) + ".tmp";
  if (!RunTar({"-c", "-z", "-f", temp, "-C", delta_dir.AsString(),
               kDeltaListingFileName, "patches", "files"})) {
    unlink(temp.c_str());
    return out + ": tar cannot write it";
  }
  if (rename(temp.c_str(), out.c_str()) != 0) {
    int error = errno;
    unlink(temp.c_str());
    return ErrorText(out, error);
  }
  return "";
}

int Delta(const std::vector<std::string>& args) {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
  if (!ParseOptions(args, {"from", "to", "out"}, &options, &operands) ||
      !operands.empty() || !options.count("from") || !options.count("to") ||
      !options.count("out")) {
    return Usage();
  }
  base::FsPath work;
  if (!base::MakeTempDirectory("norvane_publish", &work)) {
    return Fail("can't make a temporary directory: " +
                base::SystemErrorText(errno));
  }
  DeltaListing listing;
  std::string problem =
      MakeDelta(options["from"], options["to"], options["out"], work, &listing);
  DeleteTree(work);
  if (!problem.empty()) return Fail(problem);
  size_t counts[3] = {0, 0, 0};
  for (const DeltaFile& file : listing.files) {
    ++counts[static_cast<int>(file.method)];
  }
  struct stat info;
  uint64_t size = stat(options["out"].c_str(), &info) == 0
                      ? static_cast<uint64_t>(info.st_size)
                      : 0;
  printf("%s: %zu files: %zu kept, %zu patched, %zu whole; %llu bytes\n",
         options["out"].c_str(), listing.files.size(),
         counts[static_cast<int>(DeltaMethod::kKept)],
         counts[static_cast<int>(DeltaMethod::kPatched)],
         counts[static_cast<int>(DeltaMethod::kWhole)],
         static_cast<unsigned long long>(size));
  return kExitOk;
}

// Reads the secret key file at |path| into |seed|. A secret key file is
// private, as keygen makes it (mode 0600): one that other users may read or
// write is refused, which also keeps a public key file, 64 hex digits as
// well, from being taken for the seed. Returns the problem, or "".
std::string ReadSecretKey(const std::string& path, unsigned char* seed) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return ErrorText(path, errno);
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", info.st_mode & 07777);
    return path + " is open to other users (mode " + mode +
           "), so it is no secret key file; keygen makes them with mode 0600";
  }
  std::string key_text;
  if (!base::ReadRegularFile(path, &key_text, kMaxSignatureFileBytes)) {
    return ErrorText(path, errno);
  }
  bool parsed = DecodeHexLine(key_text, seed, kSeedBytes);
  sodium_memzero(&key_text[0], key_text.size());
  if (!parsed) return path + " is not a secret key file (64 hex digits)";
  return "";
}

int Sign(const std::vector<std::string>& args) {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
  if (!ParseOptions(args, {"key"}, &options, &operands) ||
      !options.count("key") || operands.size() != 1) {
    return Usage();
  }
  const std::string& key_path = options["key"];
  const std::string& manifest_path = operands[0];
  std::string manifest;
  std::string problem = ReadManifestFile(manifest_path, &manifest);
  if (!problem.empty()) return Fail(problem);
  ManifestTerms terms;
  problem = ManifestProblem(manifest, time(nullptr), &terms);
  if (!problem.empty()) return Fail(manifest_path + ": " + problem);

  unsigned char seed[kSeedBytes];
  problem = ReadSecretKey(key_path, seed);
  if (!problem.empty()) return Fail(problem);
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  ManifestPublicKey public_key;
  crypto_sign_seed_keypair(public_key.data(), secret_key, seed);
  sodium_memzero(seed, sizeof(seed));
  ManifestSignature signature;
  crypto_sign_detached(signature.data(), nullptr,
                       reinterpret_cast<const unsigned char*>(manifest.data()),
                       manifest.size(), secret_key);
  sodium_memzero(secret_key, sizeof(secret_key));

  std::string signature_path = manifest_path + kSignatureSuffix;
  if (!ReplaceFile(signature_path, FormatSignatureFile(signature))) {
    return Fail(ErrorText(signature_path, errno));
  }
  printf("%s: signed with the public key %s\n", signature_path.c_str(),
         EncodeHex(public_key.data(), public_key.size()).c_str());
  return kExitOk;
}

int Verify(const std::vector<std::string>& args) {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
  if (!ParseOptions(args, {"public-key"}, &options, &operands) ||
      !options.count("public-key") || operands.empty() || operands.size() > 2) {
    return Usage();
  }
  const std::string& key_arg = options["public-key"];
  const std::string& manifest_path = operands[0];
  std::string signature_path =
      operands.size() == 2 ? operands[1] : manifest_path + kSignatureSuffix;
  ManifestPublicKey key;
  if (!ParsePublicKeyHex(key_arg, &key)) {
    std::string key_text;
    if (!base::ReadFileToString(key_arg, &key_text, kMaxSignatureFileBytes)) {
      return Fail(
          "--public-key is neither 64 hex digits nor a readable "
          "file: " +
          ErrorText(key_arg, errno));
    }
    if (!DecodeHexLine(key_text, key.data(), key.size())) {
      return Fail(key_arg + " is not a public key file (64 hex digits)");
    }
  }
  std::string manifest, signature_text;
  std::string problem = ReadManifestFile(manifest_path, &manifest);
  if (!problem.empty()) return Fail(problem);
  if (!base::ReadFileToString(signature_path, &signature_text,
                              kMaxSignatureFileBytes)) {
    return Fail(ErrorText(signature_path, errno));
  }
  ManifestSignature signature;
  if (!ParseSignatureFile(signature_text, &signature)) {
    return Fail(signature_path +
                " is not a signature file (128 hex digits and a line end)");
  }
  if (!VerifyManifestSignature(manifest, signature, key)) {
    return Fail(signature_path + " is not a valid signature of " +
                manifest_path + " by this key");
  }
  ManifestTerms terms;
  problem = ManifestProblem(manifest, time(nullptr), &terms);
  if (!problem.empty()) {
    return Fail("the signature is valid, but " + manifest_path + ": " +
                problem);
  }
  std::string rollout =
      terms.rollout ? ", rollout " + std::to_string(*terms.rollout) + "%" : "";
  printf("%s: good signature, expires %s%s\n", manifest_path.c_str(),
         terms.expires->c_str(), rollout.c_str());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return Fail("libsodium cannot be initialised");
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "keygen") return Keygen(args);
  if (command == "manifest") return Manifest(args);
  if (command == "sign") return Sign(args);
  if (command == "verify") return Verify(args);
  if (command == "delta") return Delta(args);
  return Usage();
}
