// Keys in a signing service of the user's own, named "helper:PROGRAM" or
// "helper:PROGRAM?key=NAME": PROGRAM runs once for each key operation, as
// "PROGRAM OPERATION [NAME]", with the operation's input on its standard
// input and its result on its standard output. Only results cross: what it
// answers is checked for its length (and an RSA signature against the
// public key stored beside it) before anything is written.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>

#include "console/console.h"
#include "image/layout.h"
#include "keys/helper_ref.h"
#include "keys/helper_reply.h"
#include "keys/key_handle.h"
#include "keys/key_id.h"
#include "keys/rsa_key_files.h"
#include "keys/rsa_signing_keys.h"
#include "platform/run_program.h"

namespace sealtool {
namespace {

constexpr unsigned kDefaultTimeoutSeconds = 120;
constexpr unsigned long kMaxTimeoutSeconds = 86400;
constexpr char kTimeoutVariable[] = "SEALTOOL_HELPER_TIMEOUT";
constexpr std::size_t kErrorLimit = 4096;  // of the helper's standard error, passed through
constexpr std::size_t kAesBlock = 16;

// Room for the body, the largest input and output of an operation.
std::uint8_t gHelperOutput[kBodyAreaSize];

// One operation, as the helper is asked it.
struct HelperCall {
  const char* operation;
  const std::uint8_t* input;
  std::size_t inputSize;
  std::size_t expected;   // the exact length of the answer; 0: any length up to the room
  const char* keyId;      // for rsa-sign-raw: the id of the key stored beside the signature
};

const char* RoleName(KeyRole role) {
  switch (role) {
    case KeyRole::kAesKey: return "aes_key";
    case KeyRole::kSealKey: return "seal_key";
    default: return "rsa_key";
  }
}

void PrintKeyLine(const KeyHandle& key) { Say("  ! key: %s\n\n", key.ref); }

// The time limit; false (said why) for a value that is no number of seconds.
bool HelperTimeout(unsigned* seconds) {
  const char* text = std::getenv(kTimeoutVariable);
  *seconds = kDefaultTimeoutSeconds;
  if (text == nullptr) return true;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || value == 0 || value > kMaxTimeoutSeconds) {
    SayFailed("  ! %s=%s is no time limit: give whole seconds from 1 to %lu\n\n", kTimeoutVariable, text,
              kMaxTimeoutSeconds);
    return false;
  }
  *seconds = static_cast<unsigned>(value);
  return true;
}

// Why a finished run of the helper gave no answer.
void PrintRunFailure(const KeyHandle& key, const HelperCall& call, const ProgramResult& result, unsigned timeout) {
  char how[128];
  switch (result.end) {
    case ProgramEnd::kNotStarted:
      std::snprintf(how, sizeof how, "it cannot be run: %s", ProgramErrorText(result.error));
      break;
    case ProgramEnd::kTimedOut:
      std::snprintf(how, sizeof how, "it was ended after the time limit of %u s (%s)", timeout, kTimeoutVariable);
      break;
    case ProgramEnd::kSignalled:
      std::snprintf(how, sizeof how, "it was ended by signal %d", result.status);
      break;
    case ProgramEnd::kExited:
      std::snprintf(how, sizeof how, "exit status %d", result.status);
      break;
  }
  SayFailed("  ! the helper failed %s: %s, %zu bytes back", call.operation, how, result.outputSize);
  if (call.expected != 0) Say(" (%zu expected)", call.expected);
  Say("\n");
  if (result.errorLeftOut > 0) Say("  ! (%zu more bytes of its standard error were left out)\n", result.errorLeftOut);
  PrintKeyLine(key);
}

bool AnswerIsWhole(const KeyHandle& key, const HelperCall& call, const ProgramResult& result, unsigned timeout) {
  switch (JudgeHelperAnswer(result, call.expected, sizeof gHelperOutput)) {
    case HelperAnswer::kWhole:
      return true;
    case HelperAnswer::kInputLeft:
      SayFailed("  ! the helper answered %s without reading its input: %zu of its %zu bytes were left\n",
                call.operation, result.inputLeft, call.inputSize);
      PrintKeyLine(key);
      return false;
    case HelperAnswer::kNoAnswer:
    case HelperAnswer::kWrongLength:
      break;
  }
  PrintRunFailure(key, call, result, timeout);
  return false;
}

// Runs the helper for call; its answer is left in gHelperOutput. False
// after saying why.
bool AskHelper(const KeyHandle& key, const HelperCall& call, std::size_t* answerSize) {
  HelperRef ref{};
  const char* why = "";
  unsigned timeout = 0;
  if (!ParseHelperRef(key.ref, &ref, &why)) {
    SayFailed("  ! not a helper reference: %s\n", why);
    PrintKeyLine(key);
    return false;
  }
  if (!HelperTimeout(&timeout)) return false;
  const char* arguments[] = {ref.program, call.operation, ref.keyName[0] != '\0' ? ref.keyName : nullptr, nullptr};
  char role[64];
  char keyId[96];
  std::snprintf(role, sizeof role, "SEALTOOL_KEY_ROLE=%s", RoleName(key.role));
  std::snprintf(keyId, sizeof keyId, "SEALTOOL_KEY_ID=%s", call.keyId != nullptr ? call.keyId : "");
  // The token PIN of this run is no business of the helper's.
  const char* environment[] = {"SEALTOOL_PIN", role, call.keyId != nullptr ? keyId : nullptr, nullptr};
  const ProgramRun run{arguments, environment, call.input, call.inputSize, gHelperOutput, sizeof gHelperOutput,
                       kErrorLimit, timeout};
  const ProgramResult result = RunProgram(run);
  if (!AnswerIsWhole(key, call, result, timeout)) {
    mbedtls_platform_zeroize(gHelperOutput, sizeof gHelperOutput);
    return false;
  }
  *answerSize = result.outputSize;
  return true;
}

constexpr char kHeldWhere[] = "in the helper";

bool EncryptWithHelper(const KeyHandle& key, KeyEcho echo, std::uint8_t* data, std::size_t length) {
  BeginHeldKeyEcho(echo);
  std::size_t answer = 0;
  if (length > sizeof gHelperOutput || !AskHelper(key, {"aes-cbc-encrypt", data, length, length, nullptr}, &answer)) {
    return false;
  }
  std::memcpy(data, gHelperOutput, length);
  mbedtls_platform_zeroize(gHelperOutput, length);
  EndHeldKeyEcho(echo, kHeldWhere);
  return true;
}

bool WrapWithHelper(const KeyHandle& key, KeyEcho echo, const std::uint8_t* wrappingKey, std::uint8_t* wrapped) {
  BeginHeldKeyEcho(echo);
  std::size_t answer = 0;
  if (!AskHelper(key, {"aes-ecb-wrap", wrappingKey, kAesBlock, kAesBlock, nullptr}, &answer)) return false;
  std::memcpy(wrapped, gHelperOutput, kAesBlock);
  mbedtls_platform_zeroize(gHelperOutput, kAesBlock);
  EndHeldKeyEcho(echo, kHeldWhere);
  return true;
}

bool HelperPublicKey(const KeyHandle& key, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  *kind = "helper";
  std::size_t answer = 0;
  if (!AskHelper(key, {"rsa-public-key", nullptr, 0, 0, nullptr}, &answer)) return false;
  const char* why = "";
  if (!ParsePublicKeyReply(reinterpret_cast<const char*>(gHelperOutput), answer, n, e, &why)) {
    SayFailed("  ! the helper's answer to rsa-public-key is not N and E as rsa_pub.txt holds them: %s\n", why);
    PrintKeyLine(key);
    return false;
  }
  return true;
}

// The SubjectPublicKeyInfo key id of the key the run stores, in hex; and
// that key's N, for the check that the block is below it.
bool StoredKeyId(const KeyHandle& publicKey, mbedtls_mpi* n, char (&hex)[2 * kKeyIdSize + 1]) {
  mbedtls_mpi e;
  mbedtls_mpi_init(&e);
  const char* kind = "";
  KeyIds ids{};
  const bool ok = KeyPublicKey(publicKey, n, &e, &kind) && ComputeKeyIds(n, &e, &ids);
  mbedtls_mpi_free(&e);
  if (!ok) return false;
  for (std::size_t i = 0; i < kKeyIdSize; ++i) std::snprintf(hex + 2 * i, 3, "%02x", ids.spki[i]);
  return true;
}

bool SignWithHelper(const KeyHandle& key, const KeyHandle& publicKey, const std::uint8_t* block,
                    std::uint8_t* signature) {
  mbedtls_mpi n;
  mbedtls_mpi_init(&n);
  char keyId[2 * kKeyIdSize + 1] = "";
  bool ok = StoredKeyId(publicKey, &n, keyId);
  if (ok && BlockNotBelowModulus(block, &n)) {
    std::uint8_t modulus[kRsaBlockSize] = {};
    mbedtls_mpi_write_binary(&n, modulus, sizeof modulus);
    SayFailed("%s", "");
    PrintBlockNotBelowModulus(block, modulus[0]);
    ok = false;
  }
  mbedtls_mpi_free(&n);
  std::size_t answer = 0;
  ok = ok && AskHelper(key, {"rsa-sign-raw", block, kRsaBlockSize, kRsaBlockSize, keyId}, &answer);
  if (ok) std::memcpy(signature, gHelperOutput, kRsaBlockSize);
  return ok;
}

KeyRefText HelperRefText(const char* ref) {
  KeyRefText text{};
  std::snprintf(text.text, sizeof text.text, "%s", ref);
  return text;
}

bool HelperRerunText(const char* ref, char* out, std::size_t size) {
  return static_cast<std::size_t>(std::snprintf(out, size, "%s", ref)) < size;
}

bool HelperUsable(const char* ref, char* why, std::size_t size) {
  HelperRef parsed{};
  const char* reason = "";
  if (!ParseHelperRef(ref, &parsed, &reason)) {
    std::snprintf(why, size, "not a helper reference: %s", reason);
    return false;
  }
  if (!FileRunnable(parsed.program)) {
    std::snprintf(why, size, "the helper %s is not a program this user may run", parsed.program);
    return false;
  }
  return true;
}

std::vector<KeyFileUse> HelperProgram(const char* ref) {
  HelperRef parsed{};
  const char* why = "";
  if (!ParseHelperRef(ref, &parsed, &why)) return {};
  return {{parsed.program, " (its helper program)"}};
}

}  // namespace

const KeySourceInfo kHelperKeySource = {
    .name = "helper", .claims = IsHelperRef, .givesOwnPublicKey = true, .refIsPath = false,
    .display = HelperRefText, .rerunText = HelperRerunText, .encryptCbc = EncryptWithHelper,
    .wrapKey = WrapWithHelper, .signRaw = SignWithHelper, .publicKey = HelperPublicKey, .usable = HelperUsable,
    .filesRead = HelperProgram,
};

}  // namespace sealtool
