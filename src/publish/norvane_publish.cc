// norvane_publish: the update server side of verified updates. Makes the
// signing key pair, writes manifests that carry their package's digest and
// size, the time they expire and the share of installations they are
// offered to, signs them and checks them the way the updater does.
//
// Key files hold hexadecimal text and a line end: the secret key file the
// 32-byte seed of the Ed25519 key pair (mode 0600), the public key file the
// 32-byte public key. Exit status: 0 done, 1 failed, 2 wrong usage.

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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
#include "base/utf_string_conversions.h"
#include "hex.h"
#include "ini/ini_document.h"
#include "manifest_signature.h"
#include "package_digest.h"
#include "rollout.h"
#include "utc_time.h"

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

const char kUsage[] =
    "usage: norvane_publish keygen SECRET_KEY_FILE PUBLIC_KEY_FILE\n"
    "       norvane_publish manifest --version V --url URL --package FILE "
    "[--valid-days N] [--rollout PERCENT] [--out FILE]\n"
    "       norvane_publish sign --key SECRET_KEY_FILE MANIFEST\n"
    "       norvane_publish verify --public-key HEX_OR_FILE MANIFEST [SIG]\n";

const char kPlatformSection[] = "ubuntu_debian_i686";
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

// Reads the value of |key| in the platform section of the manifest |text|
// the way the updater reads it: present tells whether the key is there.
struct ManifestValue {
  bool present = false;
  std::string value;
};
std::map<std::string, ManifestValue> ReadManifestValues(
    const std::string& text, const std::vector<std::string>& keys) {
  IniDocument manifest;
  std::wistringstream in(base::Utf8ToWide(text));
  manifest.Read(in, false);
  std::map<std::string, ManifestValue> values;
  const IniSection* section =
      manifest.FindSection(base::Utf8ToWide(kPlatformSection));
  for (const std::string& name : keys) {
    const IniKey* key =
        section ? section->FindKey(base::Utf8ToWide(name)) : nullptr;
    if (key) values[name] = {true, base::WideToUtf8(key->value())};
  }
  return values;
}

// Checks that the manifest |text| has what updaters with a public key
// require: the package's digest and size, a time it expires that is not past
// at |now|, and a percentage if it has a rollout. Returns the problem, or ""
// when there is none.
std::string ManifestProblem(const std::string& text, int64_t now) {
  std::map<std::string, ManifestValue> values =
      ReadManifestValues(text, {"sha256", "size", "expires", "rollout"});
  for (const char* name : {"sha256", "size", "expires"}) {
    if (!values[name].present) {
      return std::string("no key \"") + name + "\" in section [" +
             kPlatformSection + "]; updaters with a public key refuse it";
    }
  }
  Sha256Digest digest;
  if (!ParseSha256Hex(values["sha256"].value, &digest)) {
    return "its \"sha256\" is not 64 hex digits; updaters refuse it";
  }
  const std::string& expires = values["expires"].value;
  int64_t expiry;
  if (!ParseUtcTime(expires, &expiry)) {
    return "its \"expires\" is not a time like 2026-12-31T00:00:00Z; "
           "updaters refuse it";
  }
  if (now > expiry) return "it expired at " + expires + "; updaters refuse it";
  int percent;
  if (values["rollout"].present &&
      !ParseRolloutPercent(values["rollout"].value, &percent)) {
    return "its \"rollout\" is not a whole percentage 0 to 100; updaters "
           "refuse it";
  }
  return "";
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

int Manifest(const std::vector<std::string>& args) {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
  if (!ParseOptions(
          args, {"version", "url", "package", "valid-days", "rollout", "out"},
          &options, &operands) ||
      !operands.empty() || !options.count("version") || !options.count("url") ||
      !options.count("package")) {
    return Usage();
  }
  const std::string& version = options["version"];
  const std::string& url = options["url"];
  if (version.empty()) return Fail("the version is empty");
  if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) {
    return Fail("the URL must start with http:// or https://: " + url);
  }
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
  std::string expires;
  if (!FormatUtcTime(time(nullptr) + valid_days * kSecondsPerDay, &expires)) {
    return Fail("the clock is past the year 9999");
  }
  Sha256Digest digest;
  uint64_t size;
  if (!MeasurePackage(options["package"], &digest, &size)) {
    return Fail(ErrorText(options["package"], errno));
  }
  std::string text =
      std::string("[") + kPlatformSection + "]\nversion=" + version +
      "\nurl=" + url + "\nsha256=" + Sha256Hex(digest) +
      "\nsize=" + std::to_string(size) + "\nexpires=" + expires + "\n";
  if (options.count("rollout")) {
    text += "rollout=" + std::to_string(rollout) + "\n";
  }
  // What the updater will read back must be what was asked for; line ends
  // or malformed UTF-8 in a value would change it.
  std::map<std::string, ManifestValue> values =
      ReadManifestValues(text, {"version", "url"});
  if (values["version"].value != version || values["url"].value != url) {
    return Fail("the version and the URL must be single lines of UTF-8 text");
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
  if (!base::ReadFileToString(manifest_path, &manifest)) {
    return Fail(ErrorText(manifest_path, errno));
  }
  std::string problem = ManifestProblem(manifest, time(nullptr));
  if (!problem.empty()) return Fail(manifest_path + ": " + problem);

  std::string key_text;
  if (!base::ReadFileToString(key_path, &key_text)) {
    return Fail(ErrorText(key_path, errno));
  }
  unsigned char seed[kSeedBytes];
  bool parsed = DecodeHexLine(key_text, seed, sizeof(seed));
  sodium_memzero(&key_text[0], key_text.size());
  if (!parsed) {
    return Fail(key_path + " is not a secret key file (64 hex digits)");
  }
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
    if (!base::ReadFileToString(key_arg, &key_text)) {
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
  if (!base::ReadFileToString(manifest_path, &manifest)) {
    return Fail(ErrorText(manifest_path, errno));
  }
  if (!base::ReadFileToString(signature_path, &signature_text)) {
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
  std::string problem = ManifestProblem(manifest, time(nullptr));
  if (!problem.empty()) {
    return Fail("the signature is valid, but " + manifest_path + ": " +
                problem);
  }
  std::map<std::string, ManifestValue> terms =
      ReadManifestValues(manifest, {"expires", "rollout"});
  std::string rollout = terms["rollout"].present
                            ? ", rollout " + terms["rollout"].value + "%"
                            : "";
  printf("%s: good signature, expires %s%s\n", manifest_path.c_str(),
         terms["expires"].value.c_str(), rollout.c_str());
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
  return Usage();
}
