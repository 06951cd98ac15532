#include "helper_report.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <mbedtls/bignum.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/rsa.h>

#include "console/console.h"
#include "image/hex_text.h"
#include "keys/key_handle.h"
#include "keys/key_id.h"
#include "release/json_document.h"
#include "secret/system_random.h"

namespace sealkey {
namespace {

using sealtool::Json;
using sealtool::KeyHandle;
using sealtool::KeyRole;

constexpr std::size_t kBlock = 16;
constexpr std::size_t kRsaBlock = 128;

struct TrialOutcome {
  const char* mode;
  const char* role;
  bool done;
  std::string text;
};

bool RandomBytes(std::uint8_t* bytes, std::size_t size) {
  sealtool::SystemRandom random{};
  const bool ok = sealtool::SeedSystemRandom(&random, "sealkey helper check") &&
                  mbedtls_ctr_drbg_random(&random.drbg, bytes, size) == 0;
  sealtool::FreeSystemRandom(&random);
  return ok;
}

// A random block below N, signed by the helper and verified under N and E.
TrialOutcome SigningTrial(const char* ref, const mbedtls_mpi* n, const mbedtls_mpi* e) {
  TrialOutcome trial{"RSA", "signing key", false, ""};
  std::uint8_t block[kRsaBlock] = {};
  std::uint8_t signature[kRsaBlock] = {};
  std::uint8_t recovered[kRsaBlock] = {};
  if (!RandomBytes(block + 1, sizeof block - 1)) {
    trial.text = "no random block: the system gave no random numbers";
    return trial;
  }
  const KeyHandle key = sealtool::ResolveKey(ref, KeyRole::kRsaPrivate);
  const KeyHandle publicKey = sealtool::ResolvePublicKey(nullptr, ref, KeyRole::kRsaPublic);
  if (!sealtool::KeySignRaw(key, publicKey, block, signature)) {
    trial.text = "the helper did not sign (its reason is above)";
    return trial;
  }
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
  const bool verified = mbedtls_rsa_import(&rsa, n, nullptr, nullptr, nullptr, e) == 0 &&
                        mbedtls_rsa_complete(&rsa) == 0 && mbedtls_rsa_public(&rsa, signature, recovered) == 0 &&
                        std::memcmp(recovered, block, sizeof block) == 0;
  mbedtls_rsa_free(&rsa);
  trial.done = verified;
  trial.text = verified ? "a random block signed and verified under the helper's public key"
                        : "the signature does not verify under the helper's public key";
  return trial;
}

// Zero-IV CBC: one zero block, then two, whose first block must be the one
// block's cipher text.
TrialOutcome EncryptionTrial(const char* ref) {
  TrialOutcome trial{"AES-seal", "body or seal key", false, ""};
  const KeyHandle key = sealtool::ResolveKey(ref, KeyRole::kAesKey);
  std::uint8_t one[kBlock] = {};
  std::uint8_t two[2 * kBlock] = {};
  if (!sealtool::KeyEncryptCbc(key, sealtool::KeyEcho::kNone, one, sizeof one) ||
      !sealtool::KeyEncryptCbc(key, sealtool::KeyEcho::kNone, two, sizeof two)) {
    trial.text = "the helper did not encrypt (its reason is above)";
    return trial;
  }
  trial.done = std::memcmp(one, two, kBlock) == 0;
  trial.text = trial.done ? "one and two blocks encrypted, chained as CBC with a zero IV"
                          : "two blocks do not start as one block does: not CBC with a zero IV";
  return trial;
}

TrialOutcome WrappingTrial(const char* ref) {
  TrialOutcome trial{"key-record", "user key", false, ""};
  std::uint8_t wrappingKey[kBlock] = {};
  std::uint8_t wrapped[kBlock] = {};
  if (!RandomBytes(wrappingKey, sizeof wrappingKey)) {
    trial.text = "no random key: the system gave no random numbers";
    return trial;
  }
  const KeyHandle key = sealtool::ResolveKey(ref, KeyRole::kAesKey);
  trial.done = sealtool::KeyWrap(key, sealtool::KeyEcho::kNone, wrappingKey, wrapped);
  trial.text = trial.done ? "the key wrapped under a random key" : "the helper did not wrap (its reason is above)";
  return trial;
}

void PrintText(const char* ref, const char* kind, const std::string& ids, const std::vector<TrialOutcome>& trials) {
  std::printf("key:         %s\n", sealtool::KeyRefForDisplay(ref).text);
  std::printf("kind:        %s\n", kind);
  if (!ids.empty()) std::printf("key ids:     %s\n", ids.c_str());
  std::string printed;
  for (const TrialOutcome& trial : trials) {
    if (trial.text == printed) continue;  // one trial serves two modes
    std::printf("trial:       %s: %s\n", trial.done ? "done" : "failed", trial.text.c_str());
    printed = trial.text;
  }
  for (const TrialOutcome& trial : trials) {
    if (trial.done) {
      std::printf("%s mode (%s): can seal\n", trial.mode, trial.role);
    } else {
      std::printf("%s mode (%s): cannot seal: %s\n", trial.mode, trial.role, trial.text.c_str());
    }
  }
}

void PrintJson(const char* ref, const char* kind, const std::vector<TrialOutcome>& trials) {
  Json report;
  report["key"] = sealtool::KeyRefForDisplay(ref).text;
  report["kind"] = kind;
  report["modes"] = Json::array();
  for (const TrialOutcome& trial : trials) {
    report["modes"].push_back({{"mode", trial.mode}, {"role", trial.role}, {"can_seal", trial.done},
                               {"trial", trial.text}});
  }
  std::fputs(sealtool::DumpJson(report).c_str(), stdout);
}

std::string KeyIdsText(const mbedtls_mpi* n, const mbedtls_mpi* e) {
  sealtool::KeyIds ids{};
  if (!sealtool::ComputeKeyIds(n, e, &ids)) return "";
  return "header " + sealtool::HexString(ids.header, sizeof ids.header) + ", spki " +
         sealtool::HexString(ids.spki, sizeof ids.spki);
}

}  // namespace

KeyToolOutcome CheckHelperKey(const char* ref, bool json) {
  mbedtls_mpi n;
  mbedtls_mpi e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  std::vector<TrialOutcome> trials;
  std::string ids;
  const char* kind = "";
  sealtool::SayOnStandardError(true);
  const char* carrier = "";
  const KeyHandle publicKey = sealtool::ResolvePublicKey(nullptr, ref, KeyRole::kRsaPublic);
  if (sealtool::KeyPublicKey(publicKey, &n, &e, &carrier)) {
    kind = "RSA, its public key from the helper";
    ids = KeyIdsText(&n, &e);
    trials.push_back(SigningTrial(ref, &n, &e));
  } else {
    std::fprintf(stderr, "(no public key: the helper is taken to hold an AES key)\n");
    kind = "AES, no public key from the helper";
    TrialOutcome encryption = EncryptionTrial(ref);
    trials.push_back(encryption);
    encryption.mode = "RSA";
    encryption.role = "body key";
    trials.push_back(encryption);
    trials.push_back(WrappingTrial(ref));
  }
  sealtool::SayOnStandardError(false);
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  if (json) {
    PrintJson(ref, kind, trials);
  } else {
    PrintText(ref, kind, ids, trials);
  }
  bool all = true;
  for (const TrialOutcome& trial : trials) all = all && trial.done;
  return all ? KeyToolOutcome::kDone : KeyToolOutcome::kCheckFailed;
}

}  // namespace sealkey
