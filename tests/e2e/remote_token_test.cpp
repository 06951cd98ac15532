// Tokens reached another way than directly: through p11-kit's server and
// client module (the HSM on a signing host), through a token that offers
// only ECB, and through p11-kit's configuration by module name. Each image
// equals the one the same keys as files give.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "e2e_support.h"
#include "remote_token.h"
#include "softhsm_token.h"
#include "token_setup.h"

namespace sealtool::test {
namespace {


const Equivalence kModes[] = {
    {"Rsa", 742, 2, {"--aes-key", "body.txt"},
     {"--rsa-key", "object=rsa;type=private", "--aes-key", "object=aes"}},
    {"RsaBodyKeyOnly", 775, 2, {"--aes-key", "body.txt"}, {"--aes-key", "object=aes"}},
    {"AesSeal", 775, 1, {"--aes-key", "body.txt", "--seal-key", "seal.txt"},
     {"--aes-key", "object=aes", "--seal-key", "object=seal"}},
    {"AesSeal753", 753, 5, {"--aes-key", "body.txt", "--seal-key", "seal.txt"},
     {"--aes-key", "object=aes", "--seal-key", "id=%03"}},
};

std::vector<std::string> Positional(const Equivalence& c, const char* output) {
  return {"in.bin", output, std::to_string(c.chip), std::to_string(c.secureBoot)};
}

// Seals with the key files, then with the token keys that uri makes, and
// expects the same bytes.
template <typename MakeUri>
void ExpectSameImage(const TokenSetup& setup, const Equivalence& c, MakeUri uri,
                     const std::vector<std::string>& environment) {
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(c.chip, 21));
  std::vector<std::string> args = c.fileKeys;
  for (const std::string& word : Positional(c, "file.bin")) args.push_back(word);
  const ProcessResult files = setup.Run(args);
  ASSERT_EQ(files.exitStatus, 0) << files.out;
  args.clear();
  for (const std::string& word : c.tokenKeys) args.push_back(word.rfind("--", 0) == 0 ? word : uri(word));
  for (const std::string& word : Positional(c, "token.bin")) args.push_back(word);
  const ProcessResult token = setup.Run(args, environment);
  ASSERT_EQ(token.exitStatus, 0) << token.out;
  EXPECT_EQ(ReadBytes(setup.dir.File("token.bin")), ReadBytes(setup.dir.File("file.bin")));
}

class ChainedEcbTest : public testing::TestWithParam<Equivalence> {};

// A token that offers ECB but not CBC gives the CBC image all the same.
TEST_P(ChainedEcbTest, SealsAsCbcDoes) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  ExpectSameImage(setup, GetParam(), Faulty,
                  {std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule(), "SEALTOOL_FAULT=no-aes-cbc"});
}

INSTANTIATE_TEST_SUITE_P(Modes, ChainedEcbTest, testing::ValuesIn(kModes),
                         [](const testing::TestParamInfo<Equivalence>& info) { return std::string(info.param.name); });

class RemoteTokenTest : public testing::TestWithParam<Equivalence> {};

// Through p11-kit's remoting, which carries ECB but not CBC's IV: RSA mode
// and AES-seal give the images of the key files.
TEST_P(RemoteTokenTest, SealsThroughTheSigningHostAsTheFileKeys) {
  if (!HaveRemoteToken()) GTEST_SKIP() << kNeedsRemoteToken;
  TokenSetup setup;
  RemoteTokenServer server(setup.dir, setup.token);
  ExpectSameImage(setup, GetParam(), [&](const std::string& words) { return server.Uri(words); },
                  {server.AddressEnvironment()});
}

INSTANTIATE_TEST_SUITE_P(Modes, RemoteTokenTest, testing::ValuesIn(kModes),
                         [](const testing::TestParamInfo<Equivalence>& info) { return std::string(info.param.name); });

// What the remote path cannot do, and a signing host that is not there,
// each say so and write nothing.
TEST(RemoteTokenFailureTest, KeyRecordAndAnUnreachableHostSayWhy) {
  if (!HaveRemoteToken()) GTEST_SKIP() << kNeedsRemoteToken;
  TokenSetup setup;
  RemoteTokenServer server(setup.dir, setup.token);
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(753, 22));
  const std::string missing = "P11_KIT_SERVER_ADDRESS=unix:path=" + setup.dir.File("gone.sock");
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string environment;
    std::string message;
  } cases[] = {
      {"key record: no wrapping crosses", {"--aes-key", server.Uri("object=aes"), "in.bin", "out.bin", "753", "3"},
       server.AddressEnvironment(), "the token does not offer AES-ECB or AES-CBC key wrapping"},
      {"no server at the address", {"--aes-key", server.Uri("object=aes"), "in.bin", "out.bin", "753", "1"},
       missing,
       "the PKCS#11 module " + RemoteClientModule() + " reports no token\n  ! is the signing host "
       "reachable? " + missing + "\n  ! key: pkcs11:"},
  };
  for (const auto& c : cases) {
    const ProcessResult run = setup.Run(c.args, {c.environment});
    EXPECT_EQ(run.exitStatus, 255) << c.name << "\n" << run.out;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << c.name << "\n" << run.out;
    EXPECT_FALSE(FileExists(setup.dir.File("out.bin"))) << c.name;
  }
}

// Two copies of the fault-injecting module registered with p11-kit as
// "faulty" and "other", in a module folder of the test's own. p11-kit reads
// a user's folder (under HOME) except as root; as root the folder is put
// over the system's in a private mount namespace, which leaves the system's
// configuration as it is.
struct ConfiguredModules {
  TempDir home;
  std::string modules = home.File(".config/pkcs11/modules");
  std::string otherCopy = home.File("other-faulty.so");
  ConfiguredModules() {
    std::filesystem::create_directories(modules);
    std::filesystem::copy_file(FAULTY_PKCS11, otherCopy);
    WriteText(modules + "/faulty.module", std::string("module: ") + FAULTY_PKCS11 + "\n");
    WriteText(modules + "/other.module", "module: " + otherCopy + "\n");
  }
  static bool AsRoot() { return geteuid() == 0; }
  // Whether this machine lets root make a private mount namespace.
  static bool CanMountPrivately() {
    return RunProgram("/usr/bin/unshare", {"-m", "/bin/true"}, ProcessOptions{}).exitStatus == 0;
  }
  ProcessResult Run(const TokenSetup& setup, const std::vector<std::string>& args,
                    std::vector<std::string> environment) const {
    ProcessOptions options;
    options.workDir = setup.dir.path();
    options.environment = setup.token.Environment();
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    options.environment.push_back("HOME=" + home.path());
    if (!AsRoot()) return RunProgram(SEALTOOL_EXE, args, options);
    std::vector<std::string> words = {
        "-m", "/bin/sh", "-c", "mount --bind \"$0\" " P11KIT_SYSTEM_MODULES " && exec \"$@\"", modules,
        SEALTOOL_EXE};
    words.insert(words.end(), args.begin(), args.end());
    return RunProgram("/usr/bin/unshare", words, options);
  }
};

std::string Lines(const std::string& path, const std::string& containing) {
  const Bytes bytes = ReadBytes(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::string line, found;
  while (std::getline(in, line)) {
    if (line.find(containing) != std::string::npos) found += line + "\n";
  }
  return found;
}

// module-name starts the one module it names; a URI without a module
// attribute still searches every configured one.
TEST(ModuleNameTest, OnlyTheNamedModuleIsInitialized) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  if (ConfiguredModules::AsRoot() && !ConfiguredModules::CanMountPrivately()) {
    GTEST_SKIP() << "as root p11-kit reads only the system's module folder, and this machine "
                    "gives no private mount namespace to put a test's folder over it";
  }
  TokenSetup setup;
  ConfiguredModules configured;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(753, 23));
  const ProcessResult files = setup.Run({"--aes-key", "body.txt", "in.bin", "file.bin", "753", "1"});
  ASSERT_EQ(files.exitStatus, 0) << files.out;
  const std::string log = setup.dir.File("calls.log");
  const std::vector<std::string> environment = {
      std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule(), "SEALTOOL_FAULT_LOG=" + log,
      "SEALTOOL_FAULT_LOG_MODULE=1"};
  const std::string faultyName = std::filesystem::path(FAULTY_PKCS11).filename();

  const ProcessResult named = configured.Run(
      setup, {"--aes-key", "pkcs11:token=sealtest;object=aes?module-name=faulty", "in.bin", "named.bin", "753", "1"},
      environment);
  ASSERT_EQ(named.exitStatus, 0) << named.out;
  EXPECT_EQ(ReadBytes(setup.dir.File("named.bin")), ReadBytes(setup.dir.File("file.bin")));
  EXPECT_EQ(Lines(log, "C_Initialize"), "C_Initialize " + faultyName + "\n");
  EXPECT_EQ(Lines(log, "other-faulty.so"), "") << "the other module is never started";

  std::remove(log.c_str());
  const ProcessResult other = configured.Run(
      setup, {"--aes-key", "pkcs11:token=sealtest;object=aes?module-name=other", "in.bin", "other.bin", "753", "1"},
      environment);
  ASSERT_EQ(other.exitStatus, 0) << other.out;
  EXPECT_EQ(Lines(log, "C_Initialize"), "C_Initialize other-faulty.so\n");

  // Without a module attribute every configured module is searched, as
  // before: the key is then in two modules' tokens, which is refused.
  std::remove(log.c_str());
  const ProcessResult all = configured.Run(
      setup, {"--aes-key", "pkcs11:token=sealtest;object=aes", "in.bin", "all.bin", "753", "1"}, environment);
  EXPECT_EQ(all.exitStatus, 255) << all.out;
  EXPECT_NE(all.out.find("keys in more than one token match"), std::string::npos) << all.out;
  EXPECT_NE(Lines(log, "C_Initialize " + faultyName), "");
  EXPECT_NE(Lines(log, "C_Initialize other-faulty.so"), "");
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

ProcessResult RunTokenCheck(const TokenSetup& setup, const std::vector<std::string>& args,
                            std::vector<std::string> environment) {
  ProcessOptions options;
  options.workDir = setup.dir.path();
  options.environment = setup.token.Environment();
  options.environment.insert(options.environment.end(), environment.begin(), environment.end());
  std::vector<std::string> words = {"token-check"};
  words.insert(words.end(), args.begin(), args.end());
  return RunOwnProgram(SEALKEY_EXE, words, options);
}

// The per-mode verdicts of a JSON report, "mode=yes" or "mode=no: reason".
std::vector<std::string> ModeLines(const std::string& json) {
  std::vector<std::string> lines;
  const nlohmann::json report = nlohmann::json::parse(json);
  for (const auto& mode : report.at("modes")) {
    std::string line = mode.at("mode").get<std::string>() + "=";
    line += mode.at("can_seal").get<bool>() ? "yes" : "no: " + mode.at("reason").get<std::string>();
    lines.push_back(line);
  }
  return lines;
}

// sealkey token-check tells, for a key local or behind a signing host, which
// modes can seal with it and why the others cannot; its exit status says
// whether all of them can.
TEST(TokenCheckTest, EachModeOfTheKeySaysWhetherItCanSeal) {
  if (!HaveRemoteToken()) GTEST_SKIP() << kNeedsRemoteToken;
  TokenSetup setup;
  setup.token.ImportAesKey(kBodyKey.data(), kBodyKey.size(), "kept", "\x05", false);
  RemoteTokenServer server(setup.dir, setup.token);
  const std::string wrapping = "key-record=no: the token does not offer AES-ECB or AES-CBC key wrapping";
  const struct {
    const char* name;
    std::string uri;
    std::vector<std::string> environment;
    int exitStatus;
    std::vector<std::string> modes;
  } cases[] = {
      {"local RSA key", setup.token.Uri("object=rsa;type=private"), {}, 0, {"RSA=yes"}},
      {"local RSA key, no type", setup.token.Uri("object=rsa"), {}, 0, {"RSA=yes"}},
      {"local AES key", setup.token.Uri("object=aes"), {}, 0, {"RSA=yes", "AES-seal=yes", "key-record=yes"}},
      {"local AES key, not extractable", setup.token.Uri("object=kept"), {}, 1,
       {"RSA=yes", "AES-seal=yes", "key-record=no: the key is not extractable (CKA_EXTRACTABLE is false)"}},
      {"raw RSA not offered", Faulty("object=rsa;type=private"),
       {std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule(), "SEALTOOL_FAULT=no-raw-rsa"}, 1,
       {"RSA=no: the token does not offer raw RSA signing (RSA-X-509)"}},
      {"remote RSA key", server.Uri("object=rsa;type=private"), {server.AddressEnvironment()}, 0, {"RSA=yes"}},
      {"remote AES key", server.Uri("object=aes"), {server.AddressEnvironment()}, 1,
       {"RSA=yes", "AES-seal=yes", wrapping}},
  };
  for (const auto& c : cases) {
    const ProcessResult json = RunTokenCheck(setup, {"--json", c.uri}, c.environment);
    EXPECT_EQ(json.exitStatus, c.exitStatus) << c.name << "\n" << json.out << json.err;
    ASSERT_TRUE(nlohmann::json::accept(json.out)) << c.name << "\n" << json.out;
    EXPECT_EQ(ModeLines(json.out), c.modes) << c.name;
    const ProcessResult text = RunTokenCheck(setup, {c.uri}, c.environment);
    EXPECT_EQ(text.exitStatus, c.exitStatus) << c.name;
    EXPECT_NE(text.out.find("token:       " + std::string(kTokenLabel) + " (SoftHSM project"), std::string::npos)
        << c.name << "\n" << text.out;
    EXPECT_EQ(text.out.find(kTokenPin), std::string::npos) << "no PIN is shown";
  }
}

TEST(TokenCheckTest, TheTrialsAreThoseARunMakes) {
  if (!HaveRemoteToken()) GTEST_SKIP() << kNeedsRemoteToken;
  TokenSetup setup;
  RemoteTokenServer server(setup.dir, setup.token);
  const ProcessResult local = RunTokenCheck(setup, {setup.token.Uri("object=rsa;type=private")}, {});
  EXPECT_NE(local.out.find("trial:       done: a random block signed and verified under the key's public key"),
            std::string::npos) << local.out;
  const ProcessResult remote = RunTokenCheck(setup, {"--json", server.Uri("object=aes")}, {server.AddressEnvironment()});
  const nlohmann::json report = nlohmann::json::parse(remote.out);
  EXPECT_EQ(report.at("mechanisms").at("AES-CBC encrypt"), false);
  EXPECT_EQ(report.at("mechanisms").at("AES-ECB encrypt"), true);
  EXPECT_EQ(report.at("trials").at(0).at("text"), "one block encrypted with AES-ECB, chained as CBC");
  EXPECT_EQ(report.at("bits"), 128);
  EXPECT_EQ(report.at("module").at("file"), RemoteClientModule());
}

TEST(TokenCheckTest, AKeyThatCannotBeFoundIsSaidOnStandardError) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--json", setup.token.Uri("object=nothing")}, "no private or secret key matches"},
      {{setup.token.Uri("object=nothing;type=private")}, "no object matches"},
      {{"aes.txt"}, "token-check needs a pkcs11: URI"},
  };
  for (const auto& c : cases) {
    const ProcessResult run = RunTokenCheck(setup, c.args, {});
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace sealtool::test
