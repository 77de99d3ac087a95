#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "delta/delta_apply.h"
#include "gtest/gtest.h"
#include "hex.h"
#include "manifest_signature.h"
#include "test/test_util.h"
#include "test/tree_util.h"
#include "update_settings.h"
#include "utc_time.h"

namespace {

using testing_util::FileExists;
using testing_util::ProcessResult;
using testing_util::ReadFile;
using testing_util::WriteFile;

const char kUsage[] =
    "usage: norvane_publish keygen SECRET_KEY_FILE PUBLIC_KEY_FILE\n"
    "       norvane_publish manifest --version V --url URL --package FILE "
    "[--valid-days N] [--rollout PERCENT] [--out FILE]\n"
    "         [--delta-from OLD_VERSION --delta DELTA --delta-url URL]\n"
    "       norvane_publish sign --key SECRET_KEY_FILE MANIFEST\n"
    "       norvane_publish verify --public-key HEX_OR_FILE MANIFEST [SIG]\n"
    "       norvane_publish delta --from OLD_PACKAGE --to NEW_PACKAGE --out "
    "DELTA\n";
const char kAbcUrl[] = "https://updates.example/keltrin-2.0.tar.gz";
const char kAbcDigest[] =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kIssued[] = "2025-06-01T00:00:00Z";
// A manifest for the package of |digest| and |size|, expiring at |expires|
// and issued at |issued|, as "manifest" writes it.
std::string ManifestFor(const std::string& digest, size_t size,
                        const std::string& expires,
                        const std::string& issued = kIssued) {
  return std::string("[ubuntu_debian_i686]\nversion=2.0\nurl=") + kAbcUrl +
         "\nsha256=" + digest + "\nsize=" + std::to_string(size) +
         "\nexpires=" + expires + "\nissued=" + issued + "\n";
}
// The same for a package "abc", for the commands that do not read it.
std::string ManifestForAbc(const std::string& expires) {
  return ManifestFor(kAbcDigest, 3, expires);
}
const char kFarExpiry[] = "2099-12-31T23:59:59Z";
const char kDaysError[] =
    "--valid-days must be a whole number of days from 1 to 366";
const char kRolloutError[] =
    "--rollout must be a whole percentage from 0 to 100";
const std::string kManifestForAbc = ManifestForAbc(kFarExpiry);

int FileMode(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : -1;
}

class PublishToolTest : public testing::Test {
 protected:
  ProcessResult Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {NORVANE_PUBLISH_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_util::RunProcess(argv);
  }
  std::string Path(const std::string& name) { return dir_.Child(name); }

  // Packs |files| (names at the top, contents) with tar into |name| and
  // returns the archive's bytes.
  std::string WritePackage(
      const std::string& name,
      const std::vector<std::pair<std::string, std::string>>& files = {
          {"keltrin", "new binary"}}) {
    testing_util::ScopedTempDir tree;
    std::vector<std::string> tar = {"tar", "-czf", Path(name), "-C",
                                    tree.path()};
    for (const auto& [file, contents] : files) {
      size_t slash = file.rfind('/');
      if (slash != std::string::npos) {
        testing_util::RunProcess(
            {"mkdir", "-p", tree.Child(file.substr(0, slash))});
      }
      WriteFile(tree.Child(file), contents);
      tar.push_back(file);
    }
    EXPECT_EQ(0, testing_util::RunProcess(tar).exit_code);
    return ReadFile(Path(name));
  }
  static std::string DigestOf(const std::string& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest,
                       reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size());
    return EncodeHex(digest, sizeof(digest));
  }

  // Writes a secret key file for |seed_text| (32 bytes) and returns the hex
  // of its public key.
  std::string WriteSecretKey(const std::string& name,
                             const std::string& seed_text) {
    const unsigned char* seed =
        reinterpret_cast<const unsigned char*>(seed_text.data());
    WriteFile(Path(name), EncodeHex(seed, crypto_sign_SEEDBYTES) + "\n");
    chmod(Path(name).c_str(), 0600);
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(public_key, secret_key, seed);
    return EncodeHex(public_key, sizeof(public_key));
  }
  // The signature file that signing |text| with |seed_text| must give.
  std::string ExpectedSignatureFile(const std::string& text,
                                    const std::string& seed_text) {
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(
        public_key, secret_key,
        reinterpret_cast<const unsigned char*>(seed_text.data()));
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr,
                         reinterpret_cast<const unsigned char*>(text.data()),
                         text.size(), secret_key);
    return EncodeHex(signature, sizeof(signature)) + "\n";
  }
  // Writes the manifest for a package "abc" with the tool and |extra|
  // options, and checks that it expires |days| from now, as it says, and
  // ends with |extra_lines|.
  void WriteAbcManifest(const std::vector<std::string>& extra = {},
                        int days = 14, const std::string& extra_lines = "") {
    std::string package = WritePackage("package.tar.gz");
    std::string old = ReadFile(Path("manifest.ini"));
    int64_t old_mark = 0;
    size_t old_at = old.find("issued=");
    if (old_at != std::string::npos) {
      ParseUtcTime(old.substr(old_at + 7, 20), &old_mark);
    }
    std::vector<std::string> args = {"manifest",
                                     "--version",
                                     "2.0",
                                     "--url",
                                     kAbcUrl,
                                     "--package",
                                     Path("package.tar.gz"),
                                     "--out",
                                     Path("manifest.ini")};
    args.insert(args.end(), extra.begin(), extra.end());
    int64_t start = time(nullptr);
    ProcessResult result = Run(args);
    ASSERT_EQ(0, result.exit_code) << result.err;
    std::string text = ReadFile(Path("manifest.ini"));
    std::string expires = text.substr(text.find("expires=") + 8, 20);
    std::string issued = text.substr(text.find("issued=") + 7, 20);
    EXPECT_EQ(ManifestFor(DigestOf(package), package.size(), expires, issued) +
                  extra_lines,
              text);
    int64_t expiry = 0, mark = 0;
    EXPECT_TRUE(ParseUtcTime(expires, &expiry));
    EXPECT_NEAR(start + days * 86400, expiry, 5);
    // The current time, but always after the manifest it replaces.
    EXPECT_TRUE(ParseUtcTime(issued, &mark));
    EXPECT_GT(mark, old_mark);
    EXPECT_LE(start, mark);
    EXPECT_EQ(Path("manifest.ini") + ": expires " + expires + ", in " +
                  std::to_string(days) + (days == 1 ? " day\n" : " days\n"),
              result.out);
  }

  const std::string kSeed = "publish tool test seed, 32 bytes";
  const std::string kOtherSeed = "another seed of thirty-two bytes";
  testing_util::ScopedTempDir dir_;
};

TEST_F(PublishToolTest, WrongUsageShowsTheUsage) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {},
           {"bogus"},
           {"keygen", "secret"},
           {"keygen", "a", "b", "c"},
           {"manifest", "--version", "2.0", "--url", "http://x/p"},
           {"manifest", "--version", "2.0", "--version", "2.1", "--url",
            "http://x/p", "--package", "p"},
           {"manifest", "--version", "2.0", "--url", "http://x/p", "--package",
            "p", "stray"},
           {"manifest", "--version", "2.0", "--url", "http://x/p", "--package",
            "p", "--bogus", "x"},
           {"manifest", "--version", "2.0", "--url", "http://x/p", "--package",
            "p", "--delta-from", "1.0", "--delta", "d"},
           {"sign", "manifest"},
           {"sign", "manifest", "--key"},
           {"sign", "--key", "k", "one", "two"},
           {"verify", "manifest"},
           {"verify", "--public-key", "k"},
           {"verify", "--public-key", "k", "m", "s", "extra"},
           {"delta", "--from", "a", "--to", "b"},
           {"delta", "--from", "a", "--to", "b", "--out", "c", "stray"},
       }) {
    ProcessResult result = Run(args);
    std::string joined;
    for (const std::string& arg : args) joined += arg + " ";
    EXPECT_EQ(2, result.exit_code) << joined;
    EXPECT_EQ("", result.out) << joined;
    EXPECT_EQ(kUsage, result.err) << joined;
  }
}

TEST_F(PublishToolTest, KeygenWritesAPrivateSeedAndPrintsThePublicKey) {
  // Even a permissive umask leaves the secret key to its owner.
  ProcessResult result = testing_util::RunProcess(
      {"sh", "-c", "umask 000; exec \"$0\" keygen \"$1\" \"$2\"",
       NORVANE_PUBLISH_BINARY, Path("secret.key"), Path("public.key")});
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ("", result.err);
  EXPECT_EQ(0600, FileMode(Path("secret.key")));

  std::string secret = ReadFile(Path("secret.key"));
  unsigned char seed[crypto_sign_SEEDBYTES];
  ASSERT_EQ(65u, secret.size());
  ASSERT_EQ(0, sodium_hex2bin(seed, sizeof(seed), secret.data(), 64, nullptr,
                              nullptr, nullptr));
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(public_key, secret_key, seed);
  std::string public_line = EncodeHex(public_key, sizeof(public_key)) + "\n";
  EXPECT_EQ(public_line, result.out);
  EXPECT_EQ(public_line, ReadFile(Path("public.key")));

  // A second pair is a different one.
  ASSERT_EQ(
      0, Run({"keygen", Path("secret2.key"), Path("public2.key")}).exit_code);
  EXPECT_NE(secret, ReadFile(Path("secret2.key")));
}

TEST_F(PublishToolTest, KeygenNeverReplacesASecretKey) {
  WriteFile(Path("secret.key"), "precious\n");
  ProcessResult result =
      Run({"keygen", Path("secret.key"), Path("public.key")});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("norvane_publish: " + Path("secret.key") +
                " exists already; not replacing a key\n",
            result.err);
  EXPECT_EQ("", result.out);
  EXPECT_EQ("precious\n", ReadFile(Path("secret.key")));
  EXPECT_FALSE(FileExists(Path("public.key")));

  // Nor leaves half a pair behind when the public key cannot be written.
  result = Run({"keygen", Path("new.key"), Path("missing/public.key")});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("norvane_publish: " + Path("missing/public.key") +
                ": No such file or directory\n",
            result.err);
  EXPECT_FALSE(FileExists(Path("new.key")));
}

TEST_F(PublishToolTest, ManifestCarriesThePackagesDigestSizeAndExpiry) {
  std::string package = WritePackage("package.tar.gz");
  ProcessResult result =
      Run({"manifest", "--url", "https://updates.example/keltrin-2.0.tar.gz",
           "--package", Path("package.tar.gz"), "--version", "2.0"});
  EXPECT_EQ(0, result.exit_code) << result.err;
  std::string expires = result.out.substr(result.out.find("expires=") + 8, 20);
  std::string issued = result.out.substr(result.out.find("issued=") + 7, 20);
  EXPECT_EQ(ManifestFor(DigestOf(package), package.size(), expires, issued),
            result.out);
  // The manifest alone goes to standard output, the note beside it.
  EXPECT_EQ("expires " + expires + ", in 14 days\n", result.err);

  WriteFile(Path("manifest.ini"), "old manifest");
  WriteAbcManifest();
  // A replaced manifest's mark may lie ahead of the clock.
  WriteFile(Path("manifest.ini"),
            ManifestFor(kAbcDigest, 3, kFarExpiry, "2098-01-01T00:00:00Z"));
  WriteAbcManifest();
  WriteAbcManifest({"--valid-days", "1"}, 1);
  WriteAbcManifest({"--rollout", "10"}, 14, "rollout=10\n");
  EXPECT_EQ(0644, FileMode(Path("manifest.ini")));

  // With a delta made for the package, its offer; signed, it verifies.
  WritePackage("old.tar.gz", {{"keltrin", "old binary"}});
  ASSERT_EQ(0, Run({"delta", "--from", Path("old.tar.gz"), "--to",
                    Path("package.tar.gz"), "--out", Path("delta.tar.gz")})
                   .exit_code);
  const std::string delta = ReadFile(Path("delta.tar.gz"));
  WriteAbcManifest({"--delta-from", "1.0", "--delta", Path("delta.tar.gz"),
                    "--delta-url", "https://updates.example/d.tar.gz"},
                   14,
                   "delta_from=1.0\ndelta_url=https://updates.example/"
                   "d.tar.gz\ndelta_sha256=" +
                       DigestOf(delta) +
                       "\ndelta_size=" + std::to_string(delta.size()) + "\n");
  std::string public_key = WriteSecretKey("secret.key", kSeed);
  ASSERT_EQ(0, Run({"sign", "--key", Path("secret.key"), Path("manifest.ini")})
                   .exit_code);
  ProcessResult verified =
      Run({"verify", "--public-key", public_key, Path("manifest.ini")});
  EXPECT_EQ(0, verified.exit_code) << verified.err;
  // No temporary file is left beside it.
  EXPECT_EQ(
      "delta.tar.gz\nmanifest.ini\nmanifest.ini.sig\nold.tar.gz\n"
      "package.tar.gz\nsecret.key\n",
      testing_util::RunProcess({"ls", dir_.path()}).out);
}

TEST_F(PublishToolTest, ManifestRefusesValuesTheUpdaterWouldReadOtherwise) {
  WritePackage("p");
  const std::string p = Path("p");
  WriteFile(Path("abc"), "abc");
  WritePackage("state.tar.gz",
               {{"keltrin", "new"}, {"norvane_upgrade_linux.ini", "[main]\n"}});
  const std::string lines =
      "the version and the URL must be single lines of UTF-8 text";
  const std::string blanks =
      "the URL must not hold blanks or control characters";
  const std::string no_version =
      "the manifest: no \"version\" in section [ubuntu_debian_i686], or "
      "only blanks; updaters refuse it";
  struct Case {
    std::string version, url, package, error;
  } cases[] = {
      {"", "http://x/p", p, no_version},
      {"  ", "http://x/p", p, no_version},
      {" 2.0", "http://x/p", p,
       "the version must not begin or end with blanks"},
      {"2.0\nurl=http://evil/p", "http://x/p", p, lines},
      {"2.0", "http://x/p\r", p, blanks},
      {"2.0", "http://x/p ", p, blanks},
      {"2.0\xff", "http://x/p", p, lines},
      {"2.0", "file:///etc/passwd", p,
       "the URL must start with http:// or https://: file:///etc/passwd"},
      {"2.0", "http://x/p", Path("missing"),
       Path("missing") + ": No such file or directory"},
      {"2.0", "http://x/p", Path("abc"),
       Path("abc") + ": tar cannot unpack it; updaters refuse it"},
      {"2.0", "http://x/p", Path("state.tar.gz"),
       Path("state.tar.gz") +
           ": unsafe package entry: norvane_upgrade_linux.ini; updaters "
           "refuse it"},
  };
  for (const Case& c : cases) {
    ProcessResult result =
        Run({"manifest", "--version", c.version, "--url", c.url, "--package",
             c.package, "--out", Path("manifest.ini")});
    EXPECT_EQ(1, result.exit_code) << c.error;
    // tar says why it failed before the tool's own line.
    std::string last =
        result.err.substr(result.err.rfind('\n', result.err.size() - 2) + 1);
    EXPECT_EQ("norvane_publish: " + c.error + "\n", last);
    EXPECT_FALSE(FileExists(Path("manifest.ini"))) << c.error;
  }
  // Deltas from the same old package to "p" and to another package.
  WritePackage("old", {{"keltrin", "old binary"}});
  WritePackage("other", {{"keltrin", "odd binary"}});
  const std::string d = Path("d"), other_d = Path("other-d");
  for (const auto& [to, delta] :
       {std::pair(p, d), std::pair(Path("other"), other_d)}) {
    ASSERT_EQ(0,
              Run({"delta", "--from", Path("old"), "--to", to, "--out", delta})
                  .exit_code);
  }
  auto with_delta = [](const std::string& from, const std::string& delta,
                       const std::string& url = "http://x/d") {
    return std::vector<std::string>{"--delta-from", from,          "--delta",
                                    delta,          "--delta-url", url};
  };
  const std::string not_older =
      "the manifest: its \"delta_from\" 2.0 is not older than its version "
      "2.0; no installation needs the delta";
  struct OptionCase {
    std::vector<std::string> options;
    std::string error;
  } option_cases[] = {
      {{"--valid-days", "0"}, kDaysError},
      {{"--valid-days", "367"}, kDaysError},
      {{"--rollout", "101"}, kRolloutError},
      {with_delta("1.0", other_d),
       other_d + " is no delta to this package: keltrin: the delta makes "
                 "another file than the package's"},
      {with_delta(" ", d),
       "the manifest: its \"delta_from\" is blank; updaters ignore the "
       "delta offer"},
      {with_delta("2.0", d), not_older},
      {with_delta("2.0.0", d),
       "the manifest: its \"delta_from\" 2.0.0 is "
       "not older than its version 2.0; no "
       "installation needs the delta"},
      {with_delta("1.0 ", d),
       "the delta's version must be a single line of UTF-8 text without "
       "blanks at its ends"},
      {with_delta("1.0", d, "http://x/d\t"),
       "the delta URL must not hold blanks or control characters"},
  };
  for (const OptionCase& c : option_cases) {
    std::vector<std::string> args = {
        "manifest", "--version",  "2.0",
        "--url",    "http://x/p", "--package",
        p,          "--out",      Path("manifest.ini")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ProcessResult result = Run(args);
    EXPECT_EQ(1, result.exit_code) << c.error;
    EXPECT_EQ("norvane_publish: " + c.error + "\n", result.err);
    EXPECT_FALSE(FileExists(Path("manifest.ini"))) << c.error;
  }
}

TEST_F(PublishToolTest, DeltaTurnsTheOldPackageIntoTheNewOne) {
  // Bytes that do not compress, with a small edit in the middle: only a
  // patch against the old file makes them small.
  std::string binary(1 << 20, '\0');
  srandom(7);
  for (char& byte : binary) byte = static_cast<char>(random());
  std::string edited = binary;
  edited.replace(600000, 5, "edit!");
  WritePackage("old.tar.gz", {{"keltrin", binary},
                              {"lib/libsame.so", "unchanged"},
                              {"lib/removed.so", "old only"}});
  // The old package's "share" is a link: what is below it is no base.
  testing_util::RunProcess(
      {"sh", "-ec",
       "cd \"$0\" && mkdir -p linked/data && echo same > linked/data/f && "
       "ln -s data linked/share && gunzip old.tar.gz && "
       "tar -rf old.tar -C linked share data && gzip old.tar",
       dir_.path()});
  WritePackage("new.tar.gz", {{"keltrin", edited},
                              {"lib/libsame.so", "unchanged"},
                              {"share/added.txt", "new file"},
                              {"share/f", "same\n"}});
  ProcessResult result =
      Run({"delta", "--from", Path("old.tar.gz"), "--to", Path("new.tar.gz"),
           "--out", Path("delta.tar.gz")});
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ("", result.err);
  std::string summary =
      Path("delta.tar.gz") + ": 4 files: 1 kept, 1 patched, 2 whole; ";
  EXPECT_EQ(summary, result.out.substr(0, summary.size()));
  EXPECT_LT(ReadFile(Path("delta.tar.gz")).size(), 4096u);

  // Applied as updaters will: unpacked, against the old package unpacked.
  for (const char* tree : {"old", "new", "delta", "result"}) {
    testing_util::RunProcess({"mkdir", Path(tree)});
  }
  for (const char* tree : {"old", "new", "delta"}) {
    ASSERT_EQ(0, testing_util::RunProcess({"tar", "-xzf",
                                           Path(std::string(tree) + ".tar.gz"),
                                           "-C", Path(tree)})
                     .exit_code);
  }
  std::string problem;
  ASSERT_TRUE(ApplyDelta(base::FsPath(Path("delta")), base::FsPath(Path("old")),
                         base::FsPath(Path("result")), DeltaOutput::kWholeTree,
                         nullptr, &problem))
      << problem;
  EXPECT_TRUE(testing_util::SameTree(testing_util::ReadTree(Path("new")),
                                     testing_util::ReadTree(Path("result"))));
  EXPECT_EQ(FileMode(Path("new/keltrin")), FileMode(Path("result/keltrin")));

  // What cannot make a delta that updaters apply leaves no file behind.
  WriteFile(Path("abc"), "abc");
  testing_util::RunProcess({"sh", "-ec",
                            "cd \"$0\" && mkdir t && ln -s keltrin t/link && "
                            "echo x > t/keltrin && tar -czf link.tar.gz -C t "
                            "keltrin link",
                            dir_.path()});
  struct Case {
    std::string from, to, out, error;
  } cases[] = {
      {Path("old.tar.gz"), Path("abc"), Path("d.tar.gz"),
       Path("abc") + ": tar cannot unpack it; updaters refuse it"},
      {Path("missing.tar.gz"), Path("new.tar.gz"), Path("d.tar.gz"),
       Path("missing.tar.gz") + ": tar cannot unpack it; updaters refuse it"},
      {Path("old.tar.gz"), Path("link.tar.gz"), Path("d.tar.gz"),
       Path("link.tar.gz") +
           ": link: a delta carries only regular files and directories"},
      {Path("old.tar.gz"), Path("new.tar.gz"), Path("missing/d.tar.gz"),
       Path("missing/d.tar.gz") + ": tar cannot write it"},
  };
  for (const Case& c : cases) {
    result = Run({"delta", "--from", c.from, "--to", c.to, "--out", c.out});
    EXPECT_EQ(1, result.exit_code) << c.error;
    std::string last =
        result.err.substr(result.err.rfind('\n', result.err.size() - 2) + 1);
    EXPECT_EQ("norvane_publish: " + c.error + "\n", last);
    EXPECT_FALSE(FileExists(c.out)) << c.error;
  }
}

TEST_F(PublishToolTest, SignWritesTheDetachedSignatureAndVerifyAcceptsIt) {
  std::string public_key = WriteSecretKey("secret.key", kSeed);
  WriteFile(Path("public.key"), public_key + "\n");
  WriteFile(Path("manifest.ini"), kManifestForAbc);
  ProcessResult result =
      Run({"sign", "--key", Path("secret.key"), Path("manifest.ini")});
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ(Path("manifest.ini.sig") + ": signed with the public key " +
                public_key + "\n",
            result.out);
  EXPECT_EQ(ExpectedSignatureFile(kManifestForAbc, kSeed),
            ReadFile(Path("manifest.ini.sig")));

  testing_util::RunProcess(
      {"cp", Path("manifest.ini.sig"), Path("elsewhere.sig")});
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"verify", "--public-key", public_key, Path("manifest.ini")},
           {"verify", Path("manifest.ini"), "--public-key", Path("public.key")},
           {"verify", "--public-key", public_key, Path("manifest.ini"),
            Path("elsewhere.sig")},
       }) {
    result = Run(args);
    EXPECT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ(
        Path("manifest.ini") + ": good signature, expires " + kFarExpiry + "\n",
        result.out);
    EXPECT_EQ("", result.err);
  }
}

TEST_F(PublishToolTest, VerifyRefusesWhatTheUpdaterWouldRefuse) {
  std::string public_key = WriteSecretKey("secret.key", kSeed);
  WriteAbcManifest();
  const std::string manifest = Path("manifest.ini");
  const std::string sig = Path("manifest.ini.sig");
  const std::string not_valid =
      sig + " is not a valid signature of " + manifest + " by this key";
  struct Case {
    std::string what, manifest_text, signature_file, key, error;
  };
  // A manifest signed with the right key that updaters refuse all the same.
  auto refused = [&](const std::string& what, const std::string& text,
                     const std::string& problem) {
    return Case{what, text, ExpectedSignatureFile(text, kSeed), public_key,
                "the signature is valid, but " + manifest + ": " + problem};
  };
  std::string without_size = kManifestForAbc;
  without_size.erase(without_size.find("size=3\n"), 7);
  std::string sized_with_blank = kManifestForAbc;
  sized_with_blank.replace(sized_with_blank.find("size=3\n"), 7, "size=3 \n");
  const Case cases[] = {
      {"altered manifest", std::string(kManifestForAbc) + "\n",
       ExpectedSignatureFile(kManifestForAbc, kSeed), public_key, not_valid},
      {"another key", kManifestForAbc,
       ExpectedSignatureFile(kManifestForAbc, kOtherSeed), public_key,
       not_valid},
      {"malformed signature", kManifestForAbc, "00\n", public_key,
       sig + " is not a signature file (128 hex digits and a line end)"},
      refused("no digest", "[ubuntu_debian_i686]\nversion=2.0\nsize=3\n",
              "no key \"sha256\" in section [ubuntu_debian_i686]; updaters "
              "with a public key refuse it"),
      refused("size with a blank", sized_with_blank,
              "its \"size\" is not a decimal byte count; updaters refuse it"),
      refused("no size", without_size,
              "no key \"size\" in section [ubuntu_debian_i686]; updaters "
              "with a public key refuse it"),
      refused("expired", ManifestForAbc("2020-01-01T00:00:00Z"),
              "it expired at 2020-01-01T00:00:00Z; updaters refuse it"),
      refused("malformed rollout", kManifestForAbc + "rollout=ten\n",
              "its \"rollout\" is not a whole percentage 0 to 100; "
              "updaters refuse it"),
      refused("half a delta offer", kManifestForAbc + "delta_from=1.0\n",
              "its delta offer lacks some of \"delta_from\", \"delta_url\", "
              "\"delta_sha256\" and \"delta_size\"; updaters ignore it"),
      refused("malformed delta size",
              kManifestForAbc + "delta_from=1.0\ndelta_url=http://x/d\n" +
                  "delta_sha256=" + kAbcDigest + "\ndelta_size=3 \n",
              "its \"delta_size\" is not a decimal byte count; updaters "
              "ignore the delta offer"),
      {"bad key", kManifestForAbc,
       ExpectedSignatureFile(kManifestForAbc, kSeed), Path("no-such-key"),
       "--public-key is neither 64 hex digits nor a readable file: " +
           Path("no-such-key") + ": No such file or directory"},
  };
  for (const Case& c : cases) {
    WriteFile(manifest, c.manifest_text);
    WriteFile(sig, c.signature_file);
    ProcessResult result = Run({"verify", "--public-key", c.key, manifest});
    EXPECT_EQ(1, result.exit_code) << c.what;
    EXPECT_EQ("", result.out) << c.what;
    EXPECT_EQ("norvane_publish: " + c.error + "\n", result.err) << c.what;
  }

  testing_util::RunProcess({"rm", sig});
  ProcessResult result = Run({"verify", "--public-key", public_key, manifest});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("norvane_publish: " + sig + ": No such file or directory\n",
            result.err);
}

TEST_F(PublishToolTest, SignRefusesManifestsAndKeysThatCannotServe) {
  std::string public_key = WriteSecretKey("secret.key", kSeed);
  WriteFile(Path("bad.key"), "not a key\n");
  chmod(Path("bad.key").c_str(), 0600);
  // As keygen writes it: beside the secret key, readable by all.
  WriteFile(Path("signing.pub"), public_key + "\n");
  chmod(Path("signing.pub").c_str(), 0644);
  WriteFile(Path("unsized.ini"), "[ubuntu_debian_i686]\nversion=2.0\n");
  WriteFile(Path("stale.ini"), ManifestForAbc("2020-01-01T00:00:00Z"));
  std::string without_version = kManifestForAbc;
  without_version.replace(0, without_version.find("url="),
                          "[ubuntu_debian_i686]\nversion=  \n");
  WriteFile(Path("unversioned.ini"), without_version);
  std::string without_url = kManifestForAbc;
  without_url.erase(without_url.find("url="),
                    without_url.find("sha256=") - without_url.find("url="));
  WriteFile(Path("nourl.ini"), without_url);
  std::string without_issued = kManifestForAbc;
  without_issued.erase(without_issued.find("issued="));
  WriteFile(Path("unissued.ini"), without_issued);
  WriteFile(Path("huge.ini"),
            kManifestForAbc + "#" + std::string(kMaxManifestBytes, 'x') + "\n");
  WriteAbcManifest();
  struct Case {
    std::string key, manifest, error;
  } cases[] = {
      {Path("secret.key"), Path("unsized.ini"),
       Path("unsized.ini") +
           ": no key \"size\" in section [ubuntu_debian_i686]; updaters "
           "with a public key refuse it"},
      {Path("secret.key"), Path("stale.ini"),
       Path("stale.ini") +
           ": it expired at 2020-01-01T00:00:00Z; updaters refuse it"},
      {Path("secret.key"), Path("unversioned.ini"),
       Path("unversioned.ini") +
           ": no \"version\" in section [ubuntu_debian_i686], or only "
           "blanks; updaters refuse it"},
      {Path("secret.key"), Path("nourl.ini"),
       Path("nourl.ini") +
           ": no \"url\" in section [ubuntu_debian_i686], or it is empty; "
           "updaters cannot fetch the package"},
      {Path("secret.key"), Path("unissued.ini"),
       Path("unissued.ini") +
           ": no key \"issued\" in section [ubuntu_debian_i686]; updaters "
           "with a public key refuse it"},
      {Path("secret.key"), Path("huge.ini"),
       Path("huge.ini") +
           ": it is larger than 1048576 bytes; updaters refuse it"},
      {Path("bad.key"), Path("manifest.ini"),
       Path("bad.key") + " is not a secret key file (64 hex digits)"},
      {Path("signing.pub"), Path("manifest.ini"),
       Path("signing.pub") +
           " is open to other users (mode 0644), so it is no secret key "
           "file; keygen makes them with mode 0600"},
      {Path("missing.key"), Path("manifest.ini"),
       Path("missing.key") + ": No such file or directory"},
  };
  for (const Case& c : cases) {
    ProcessResult result = Run({"sign", "--key", c.key, c.manifest});
    EXPECT_EQ(1, result.exit_code) << c.error;
    EXPECT_EQ("norvane_publish: " + c.error + "\n", result.err);
    EXPECT_FALSE(FileExists(c.manifest + ".sig")) << c.error;
  }
}

}  // namespace
