#include "manifest_signature.h"

#include <sodium.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "hex.h"
#include "test/test_util.h"
#include "test/updater_test.h"
#include "update_log_sites.h"

namespace {

using testing_util::ProcessResult;

// The seed of the key pair whose public key the signed end-to-end updater
// carries (NORVANE_E2E_PUBLIC_KEY).
const char kTestSeed[] = "norvane e2e manifest signing key";
const char kOtherSeed[] = "some other key, not the updaters";

struct KeyPair {
  ManifestPublicKey public_key;
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
};

KeyPair KeyPairFromSeed(const char* seed) {
  static_assert(sizeof(kTestSeed) - 1 == crypto_sign_SEEDBYTES, "seed size");
  static_assert(sizeof(kOtherSeed) - 1 == crypto_sign_SEEDBYTES, "seed size");
  KeyPair pair;
  crypto_sign_seed_keypair(pair.public_key.data(), pair.secret_key,
                           reinterpret_cast<const unsigned char*>(seed));
  return pair;
}

ManifestSignature Sign(const std::string& text, const char* seed) {
  KeyPair pair = KeyPairFromSeed(seed);
  ManifestSignature signature;
  crypto_sign_detached(signature.data(), nullptr,
                       reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), pair.secret_key);
  return signature;
}

// Signature files as a publisher writes them: lower-case hex and a line end.
std::string SignatureFile(const std::string& text, const char* seed) {
  ManifestSignature signature = Sign(text, seed);
  return EncodeHex(signature.data(), signature.size()) + "\n";
}

TEST(ManifestSignatureTest, SignatureFileIsHexWithAnOptionalLineEnd) {
  ManifestSignature expected = Sign("manifest", kTestSeed);
  std::string hex = SignatureFile("manifest", kTestSeed);
  hex.pop_back();
  std::string upper = hex;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  for (const std::string& file : {hex, hex + "\n", hex + "\r\n", upper}) {
    ManifestSignature signature{};
    ASSERT_TRUE(ParseSignatureFile(file, &signature)) << file;
    EXPECT_EQ(expected, signature);
  }
  EXPECT_EQ(hex + "\n", FormatSignatureFile(expected));
}

TEST(ManifestSignatureTest, MalformedSignatureFilesAreRefused) {
  std::string hex = SignatureFile("manifest", kTestSeed);
  hex.pop_back();
  for (const std::string& file :
       {std::string(), std::string("\n"), hex.substr(2), hex + "00",
        hex + "\n\n", hex + " \n", " " + hex, hex.substr(0, 127) + "x",
        hex.substr(0, 64) + "\n" + hex.substr(64), hex + "\r",
        hex + "\nsecond line\n"}) {
    ManifestSignature signature;
    signature.fill(0x5a);
    EXPECT_FALSE(ParseSignatureFile(file, &signature)) << file;
    ManifestSignature untouched;
    untouched.fill(0x5a);
    EXPECT_EQ(untouched, signature) << file;
  }
}

TEST(ManifestSignatureTest, PublicKeyIsExactlySixtyFourHexDigits) {
  ManifestPublicKey key;
  EXPECT_TRUE(ParsePublicKeyHex(NORVANE_E2E_PUBLIC_KEY, &key));
  EXPECT_EQ(KeyPairFromSeed(kTestSeed).public_key, key);
  std::string hex = NORVANE_E2E_PUBLIC_KEY;
  for (const std::string& text : {std::string(), hex + "\n", hex.substr(1),
                                  hex + "a", "z" + hex.substr(1)}) {
    EXPECT_FALSE(ParsePublicKeyHex(text, &key)) << text;
  }
}

TEST(ManifestSignatureTest, OnlyTheExactBytesAndTheRightKeyVerify) {
  const std::string manifest = "[ubuntu_debian_i686]\nversion=2.0\n";
  ManifestSignature signature = Sign(manifest, kTestSeed);
  ManifestPublicKey key = KeyPairFromSeed(kTestSeed).public_key;
  EXPECT_TRUE(VerifyManifestSignature(manifest, signature, key));

  std::string altered = manifest;
  altered[altered.size() - 2] = '1';
  EXPECT_FALSE(VerifyManifestSignature(altered, signature, key));
  EXPECT_FALSE(VerifyManifestSignature(manifest + "\n", signature, key));
  EXPECT_FALSE(VerifyManifestSignature(manifest.substr(1), signature, key));
  EXPECT_FALSE(VerifyManifestSignature(manifest, signature,
                                       KeyPairFromSeed(kOtherSeed).public_key));
  ManifestSignature flipped = signature;
  flipped[10] ^= 0x01;
  EXPECT_FALSE(VerifyManifestSignature(manifest, flipped, key));
  EXPECT_FALSE(VerifyManifestSignature(manifest, ManifestSignature{}, key));
}

// The end-to-end updater built with the test key.
class SignedRunTest : public UpdateRunTest {
 protected:
  static constexpr char kSignaturePath[] =
      "/update/norvane_update_linux.ini.sig";
  static constexpr char kFreshExpiry[] = "expires=2099-12-31T23:59:59Z\n";
  static constexpr char kIssued[] = "issued=2025-06-01T00:00:00Z\n";

  void SetUp() override {
    updater_path_ = NORVANE_E2E_SIGNED_BINARY;
    UpdateRunTest::SetUp();
    WriteInstalled("keltrin", "old binary");
    package_ = MakePackage({{"keltrin", "new binary"}});
    PublishPackage(package_);
    manifest_ = ManifestText("2.0", RequiredLines());
  }

  // The lines a signed build requires after "url": the package's digest,
  // its size, |expiry_line| and |issued_line|.
  std::string RequiredLines(const std::string& expiry_line = kFreshExpiry,
                            const std::string& issued_line = kIssued) {
    return DigestLine() + SizeLine() + expiry_line + issued_line;
  }
  std::string DigestLine() { return "sha256=" + Sha256HexOf(package_) + "\n"; }
  std::string SizeLine() {
    return "size=" + std::to_string(package_.size()) + "\n";
  }

  void PublishSigned(const std::string& manifest,
                     const std::string& signature_file) {
    PublishManifestText(manifest);
    testing_util::WriteFile(root_.Child(kSignaturePath), signature_file);
  }
  // Runs the updater on an installation of |local| (outdated by default)
  // and expects a refusal with |entry| as the log's last entry, before any
  // package request.
  void ExpectRefused(const std::string& entry, const std::string& what,
                     const std::string& local = "1.0") {
    server_.ClearRequests();
    ProcessResult result = RunUpdater(local);
    EXPECT_EQ(255, result.exit_code) << what;
    EXPECT_TRUE(LogEndsWith(entry)) << what;
    EXPECT_TRUE(PackageRequests().empty()) << what;
    EXPECT_EQ("old binary", ReadInstalled("keltrin")) << what;
  }

  std::string package_;
  std::string manifest_;
};

TEST_F(SignedRunTest, CorrectlySignedUpdateIsInstalled) {
  std::string signature = SignatureFile(manifest_, kTestSeed);
  PublishSigned(manifest_, signature);
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ("new binary", ReadInstalled("keltrin"));
  EXPECT_EQ((std::vector<std::string>{kCheckUrlPath, kManifestUrlPath,
                                      kSignaturePath, kPackagePath}),
            server_.RequestedPaths());
  EXPECT_EQ(signature, ReadInstalled("norvane_update_linux.ini.sig"));
  std::string log = Log();
  // The only entry is the first run's missing schedule state.
  EXPECT_EQ(log.find("ERROR"), log.rfind("ERROR"));
  EXPECT_NE(std::string::npos,
            log.find("\ncurrent version: 2.0, local version: 1.0\n"));
  EXPECT_NE(std::string::npos, log.find("\nupdate successful!\n"));
}

TEST_F(SignedRunTest, SignatureIsFetchedAfreshOnEveryRun) {
  PublishSigned(manifest_, SignatureFile(manifest_, kTestSeed));
  for (int run = 0; run < 2; ++run) {
    server_.ClearRequests();
    ProcessResult result = RunUpdater("2.0");
    EXPECT_EQ(0, result.exit_code) << run;
    std::vector<testing_util::ServedRequest> requests = server_.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(kSignaturePath, requests.back().path);
    EXPECT_EQ("", requests.back().range);
  }
}

TEST_F(SignedRunTest, UnsignedManifestIsRefused) {
  PublishManifestText(manifest_);
  ExpectRefused(
      "HTTP response code said error\n" +
          UpdateEntry(log_site::kDownloadSignature,
                      "download " + server_.Url(kSignaturePath) + " error!"),
      "no signature");
}

TEST_F(SignedRunTest, EndlessSignatureStopsAtItsLimit) {
  using Body = testing_util::UpdateServer::EndlessBody;
  PublishManifestText(manifest_);
  const std::string url = server_.Url(kSignaturePath);
  for (Body body : {Body::kDeclared, Body::kUndeclared}) {
    server_.SetEndlessBody(kSignaturePath, body);
    ExpectRefused(
        UpdateEntry(log_site::kDownloadTooLarge,
                    "download " + url + " is larger than " +
                        std::to_string(kMaxSignatureFileBytes) + " bytes!") +
            UpdateEntry(log_site::kDownloadSignature,
                        "download " + url + " error!"),
        body == Body::kDeclared ? "declared" : "undeclared");
    EXPECT_LE(ReadInstalled(kSignatureFileName).size(), kMaxSignatureFileBytes);
  }
}

TEST_F(SignedRunTest, WrongSignaturesAreRefused) {
  const std::string verify_error =
      UpdateEntry(log_site::kVerifySignature, "manifest signature error!");
  const std::string load_error =
      UpdateEntry(log_site::kLoadSignature, "load signature file error!");
  std::string altered = manifest_;
  altered.replace(altered.find("version=2.0"), 11, "version=2.1");
  std::string signature = SignatureFile(manifest_, kTestSeed);
  struct Case {
    std::string what, manifest, signature, entry;
  } cases[] = {
      {"altered after signing", altered, signature, verify_error},
      {"another key", manifest_, SignatureFile(manifest_, kOtherSeed),
       verify_error},
      {"another manifest", manifest_,
       SignatureFile(
           ManifestText("2.0", "sha256=" + std::string(64, '0') + "\n"),
           kTestSeed),
       verify_error},
      {"line end added", manifest_ + "\n", signature, verify_error},
      {"empty signature file", manifest_, "", load_error},
      {"not hex", manifest_, std::string(128, 'x') + "\n", load_error},
      {"two signatures", manifest_, signature + signature, load_error},
  };
  for (const Case& c : cases) {
    PublishSigned(c.manifest, c.signature);
    ExpectRefused(c.entry, c.what);
  }
}

TEST_F(SignedRunTest, SignedManifestMustCarryAWellFormedDigest) {
  std::string without =
      ManifestText("2.0", SizeLine() + kFreshExpiry + kIssued);
  PublishSigned(without, SignatureFile(without, kTestSeed));
  ExpectRefused(UpdateEntry(log_site::kManifestSha256Missing,
                            "get package sha256 error!"),
                "no sha256");

  std::string malformed =
      ManifestText("2.0", "sha256=abc\n" + SizeLine() + kFreshExpiry + kIssued);
  PublishSigned(malformed, SignatureFile(malformed, kTestSeed));
  ExpectRefused(UpdateEntry(log_site::kManifestSha256Malformed,
                            "package sha256 is not 64 hex digits!"),
                "malformed sha256");
}

TEST_F(SignedRunTest, StaleIncompleteOrMalformedTermsAreRefused) {
  struct Case {
    std::string what, lines, entry;
  } cases[] = {
      {"expired", RequiredLines("expires=2020-01-01T00:00:00Z\n"),
       UpdateEntry(log_site::kManifestExpired,
                   "manifest expired at 2020-01-01T00:00:00Z!")},
      {"no expires", RequiredLines(""),
       UpdateEntry(log_site::kManifestExpiresMissing,
                   "get manifest expires error!")},
      {"no size", DigestLine() + kFreshExpiry + kIssued,
       UpdateEntry(log_site::kManifestSizeMissing, "get package size error!")},
      {"no issued", RequiredLines(kFreshExpiry, ""),
       UpdateEntry(log_site::kManifestIssuedMissing,
                   "get manifest issued error!")},
      {"issued with an offset",
       RequiredLines(kFreshExpiry, "issued=2025-06-01T00:00:00+01:00\n"),
       UpdateEntry(log_site::kManifestIssuedMalformed,
                   "manifest issued is not a time like 2026-12-31T00:00:00Z!")},
      {"no such day", RequiredLines("expires=2099-02-29T00:00:00Z\n"),
       UpdateEntry(
           log_site::kManifestExpiresMalformed,
           "manifest expires is not a time like 2026-12-31T00:00:00Z!")},
      {"rollout not a percentage", RequiredLines() + "rollout=50%\n",
       UpdateEntry(log_site::kManifestRolloutMalformed,
                   "manifest rollout is not a whole percentage 0 to 100!")},
  };
  for (const Case& c : cases) {
    std::string manifest = ManifestText("2.0", c.lines);
    PublishSigned(manifest, SignatureFile(manifest, kTestSeed));
    // Neither installs nor tells a current browser that it is current.
    ExpectRefused(c.entry, c.what);
    ExpectRefused(c.entry, c.what, "2.0");
  }
}

// Signed manifests are ordered by their issue marks alone: an older one is
// refused whatever its version, and the version order only decides whether
// the offer is newer than the browser.
TEST_F(SignedRunTest, ManifestsAreTakenInTheOrderOfTheirIssueMarks) {
  struct Served {
    std::string version, issued, rollout;
    std::string local;       // The browser's version on this run.
    std::string refused_by;  // Issue mark of the manifest taken, if refused.
  };
  struct Case {
    std::string what;
    std::string state;  // The state file before the first run, if any.
    std::vector<Served> runs;
    std::string installed;      // "keltrin" at the end.
    std::string mark, version;  // The state file's record at the end.
    std::string entry;          // An entry of the last run's log, if any.
  };
  const std::string kEarly = "2025-01-01T00:00:00Z";
  const std::string kLate = "2025-02-01T00:00:00Z";
  const Case kCases[] = {
      {"withdrawn release replayed",
       "",
       {{"2.0", kEarly, "100", "2.0", ""},
        {"2.0", kLate, "0", "1.0", ""},
        {"2.0", kEarly, "100", "1.0", kLate}},
       "old binary",
       kLate,
       "2.0",
       ""},
      {"older release on a fresh newer installation",
       "",
       {{"2.0", kEarly, "100", "2.1", ""}},
       "old binary",
       kEarly,
       "2.1",
       ""},
      {"outranking version seen once, then the release",
       "",
       {{"2.0rc1", kEarly, "0", "1.0", ""},
        {"2.0", kLate, "100", "1.0", ""},
        {"2.0", kLate, "100", "2.0", ""}},
       "new binary",
       kLate,
       "2.0",
       ""},
      {"record without a mark that outranks the release",
       "[main]\nAcceptedVersion=2.0rc1\n",
       {{"2.0", kEarly, "100", "1.0", ""}},
       "new binary",
       kEarly,
       "2.0",
       ""},
      {"damaged mark",
       "[main]\nManifestIssued=yesterday\n",
       {{"2.0", kEarly, "100", "1.0", ""}},
       "new binary",
       kEarly,
       "2.0",
       UpdateEntry(log_site::kStoredIssuedMalformed,
                   "stored manifest issue mark is not a time, taking this "
                   "manifest!")},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    WriteInstalled("keltrin", "old binary");
    (void)remove(InstallPath(kStateFileName).c_str());
    if (!c.state.empty()) WriteInstalled(kStateFileName, c.state);
    for (const Served& run : c.runs) {
      SCOPED_TRACE(run.version + " issued " + run.issued + " to " + run.local);
      std::string manifest = ManifestText(
          run.version,
          RequiredLines(kFreshExpiry, "issued=" + run.issued + "\n") +
              "rollout=" + run.rollout + "\n");
      PublishSigned(manifest, SignatureFile(manifest, kTestSeed));
      if (!run.refused_by.empty()) {
        ExpectRefused(UpdateEntry(log_site::kManifestIssuedGoesBack,
                                  "manifest issued at " + run.issued +
                                      " is older than the manifest taken "
                                      "before, issued at " +
                                      run.refused_by + "!"),
                      "replay", run.local);
        continue;
      }
      EXPECT_EQ(0, RunUpdater(run.local).exit_code);
    }
    EXPECT_EQ(c.installed, ReadInstalled("keltrin"));
    std::string state = ReadInstalled(kStateFileName);
    EXPECT_NE(std::string::npos,
              state.find("\nManifestIssued=" + c.mark + "\n"))
        << state;
    EXPECT_NE(std::string::npos,
              state.find("\nAcceptedVersion=" + c.version + "\n"))
        << state;
    if (!c.entry.empty()) {
      EXPECT_NE(std::string::npos, Log().find(c.entry));
    }
    EXPECT_NE(std::string::npos, state.find("\nLastUpdateTime=")) << state;
  }
}

TEST_F(SignedRunTest, SignedDigestStillGuardsThePackage) {
  PublishSigned(manifest_, SignatureFile(manifest_, kTestSeed));
  std::string tampered = package_;
  tampered[tampered.size() / 2] ^= 0x01;
  PublishPackage(tampered);
  ProcessResult result = RunUpdater("1.0");
  EXPECT_EQ(255, result.exit_code);
  EXPECT_TRUE(LogEndsWith(UpdateEntry(log_site::kPackageSha256,
                                      "package sha256 error: expected " +
                                          Sha256HexOf(package_) + ", got " +
                                          Sha256HexOf(tampered))));
  EXPECT_EQ("old binary", ReadInstalled("keltrin"));
}

TEST_F(SignedRunTest, UpdatePublishedWithTheToolIsInstalled) {
  testing_util::WriteFile(root_.Child("secret.key"),
                          EncodeHex(reinterpret_cast<const uint8_t*>(kTestSeed),
                                    crypto_sign_SEEDBYTES) +
                              "\n");
  ASSERT_EQ(0, chmod(root_.Child("secret.key").c_str(), 0600));
  std::string manifest = root_.Child(kManifestUrlPath);
  std::string withheld;  // The first stage's manifest and signature.
  // Out in stages, as a publisher does it: to no installation, then to all.
  for (const std::string rollout : {"0", "100"}) {
    ProcessResult result;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{
             {"manifest", "--version", "2.0", "--url",
              server_.Url(kPackagePath), "--package", root_.Child(kPackagePath),
              "--rollout", rollout, "--out", manifest},
             {"sign", "--key", root_.Child("secret.key"), manifest},
             {"verify", "--public-key", NORVANE_E2E_PUBLIC_KEY, manifest},
         }) {
      std::vector<std::string> argv = {NORVANE_PUBLISH_BINARY};
      argv.insert(argv.end(), args.begin(), args.end());
      result = testing_util::RunProcess(argv);
      ASSERT_EQ(0, result.exit_code) << args[0] << ": " << result.err;
    }
    EXPECT_NE(std::string::npos, result.out.find(", rollout " + rollout + "%"));
    result = RunUpdater("1.0");
    EXPECT_EQ(0, result.exit_code);
    EXPECT_EQ(rollout == "0",
              LogHas("\nupdate held back: rollout 0%, bucket "));
    EXPECT_EQ(rollout == "0" ? "old binary" : "new binary",
              ReadInstalled("keltrin"));
    if (withheld.empty()) {
      withheld = testing_util::ReadFile(manifest);
      testing_util::RunProcess({"cp", manifest + ".sig", tmp_.Child("sig")});
    }
  }
  // The stages follow within a second, yet the first one's mark is older.
  PublishSigned(withheld, testing_util::ReadFile(tmp_.Child("sig")));
  WriteInstalled("keltrin", "old binary");
  EXPECT_EQ(255, RunUpdater("1.0").exit_code);
  EXPECT_TRUE(LogHas("is older than the manifest taken before"));
  EXPECT_EQ("old binary", ReadInstalled("keltrin"));
}

}  // namespace
