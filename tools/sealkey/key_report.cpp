#include "key_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>
#include <nlohmann/json.hpp>

#include "image/hex_text.h"
#include "console/console.h"
#include "image/layout.h"
#include "keys/key_formats.h"
#include "keys/key_id.h"
#include "keys/rsa_key_files.h"
#include "keys/rsa_signing_keys.h"
#include "keys/key_check_value.h"
#include "keys/key_handle.h"
#include "keys/public_key.h"
#include "platform/file_facts.h"
#include "seal/rsa_seal.h"
#include "seal/rsa_signature.h"
#include "secret/secret_file.h"
#include "secret/system_random.h"

namespace sealkey {

namespace {

using Json = nlohmann::ordered_json;

std::uint8_t TopByte(const mbedtls_mpi* n) {
  std::uint8_t modulus[sealtool::kRsaBlockSize] = {};
  return mbedtls_mpi_write_binary(n, modulus, sizeof modulus) == 0 ? modulus[0] : 0;
}

struct KeyCheck {
  std::string name;
  bool ok;
  bool warningOnly;
  std::string detail;
};

// (value - 1) mod modulus == 0, with the operands as mpis.
bool IsCongruentToOne(const mbedtls_mpi* value, const mbedtls_mpi* modulus) {
  mbedtls_mpi reduced, one;
  mbedtls_mpi_init(&reduced);
  mbedtls_mpi_init(&one);
  const bool ok = mbedtls_mpi_lset(&one, 1) == 0 && mbedtls_mpi_mod_mpi(&reduced, value, modulus) == 0 &&
                  mbedtls_mpi_cmp_mpi(&reduced, &one) == 0;
  mbedtls_mpi_free(&reduced);
  mbedtls_mpi_free(&one);
  return ok;
}

// The arithmetic of the CRT key: N = P Q, D E = 1 mod lcm(P-1, Q-1),
// DP = D mod P-1, DQ = D mod Q-1, QP Q = 1 mod P.
void CheckArithmetic(const mbedtls_rsa_context& rsa, std::vector<KeyCheck>* checks) {
  mbedtls_mpi product, p1, q1, lcm, reduced;
  for (mbedtls_mpi* value : {&product, &p1, &q1, &lcm, &reduced}) mbedtls_mpi_init(value);
  bool ok = mbedtls_mpi_mul_mpi(&product, &rsa.P, &rsa.Q) == 0;
  checks->push_back({"n = p * q", ok && mbedtls_mpi_cmp_mpi(&product, &rsa.N) == 0, false, ""});
  ok = sealtool::PrimesLcm(&rsa, &lcm) == 0 && mbedtls_mpi_sub_int(&p1, &rsa.P, 1) == 0 &&
       mbedtls_mpi_sub_int(&q1, &rsa.Q, 1) == 0;
  const bool dFits = ok && mbedtls_mpi_mul_mpi(&product, &rsa.D, &rsa.E) == 0 &&
                     IsCongruentToOne(&product, &lcm);
  checks->push_back({"d * e = 1", dFits, false, "modulo lcm(p - 1, q - 1)"});
  const bool dp = ok && mbedtls_mpi_mod_mpi(&reduced, &rsa.D, &p1) == 0 &&
                  mbedtls_mpi_cmp_mpi(&reduced, &rsa.DP) == 0;
  checks->push_back({"dp", dp, false, "d mod (p - 1)"});
  const bool dq = ok && mbedtls_mpi_mod_mpi(&reduced, &rsa.D, &q1) == 0 &&
                  mbedtls_mpi_cmp_mpi(&reduced, &rsa.DQ) == 0;
  checks->push_back({"dq", dq, false, "d mod (q - 1)"});
  const bool qp = mbedtls_mpi_mul_mpi(&product, &rsa.QP, &rsa.Q) == 0 && IsCongruentToOne(&product, &rsa.P);
  checks->push_back({"qp", qp, false, "q^-1 mod p"});
  for (mbedtls_mpi* value : {&product, &p1, &q1, &lcm, &reduced}) mbedtls_mpi_free(value);
}

bool ArePrimes(const mbedtls_rsa_context& rsa) {
  sealtool::SystemRandom random;
  bool ok = sealtool::SeedSystemRandom(&random, "sealkey prime test");
  ok = ok && mbedtls_mpi_is_prime_ext(&rsa.P, 40, mbedtls_ctr_drbg_random, &random.drbg) == 0 &&
       mbedtls_mpi_is_prime_ext(&rsa.Q, 40, mbedtls_ctr_drbg_random, &random.drbg) == 0;
  sealtool::FreeSystemRandom(&random);
  return ok;
}

std::string ShareText(double share) {
  char text[96];
  if (share <= 0) return "no image";
  std::snprintf(text, sizeof text, "about 1 image in %.0f (%.3f %%)", 1.0 / share, 100.0 * share);
  return text;
}

void CheckPublicKey(const char* path, mbedtls_rsa_context* rsa, std::vector<KeyCheck>* checks) {
  const std::string pubPath = PublicKeyBeside(path);
  mbedtls_mpi n;
  mbedtls_mpi_init(&n);
  mbedtls_mpi* const values[] = {&n, &rsa->E};
  if (sealtool::KindOfFile(pubPath.c_str(), true) == sealtool::FileKind::kMissing) {
    mbedtls_mpi_lset(&rsa->E, kUsualExponent);
    // Nothing was compared: a warning, never an ok.
    checks->push_back({"public key", false, true,
                       "not compared: no " + pubPath + " beside the key; E taken as 65537"});
  } else if (sealtool::ReadRsaKeyValues(pubPath.c_str(), values, 2) != sealtool::RsaKeyFileRead::kRead) {
    checks->push_back({"public key", false, false, pubPath + " cannot be read"});
  } else {
    checks->push_back({"public key", mbedtls_mpi_cmp_mpi(&n, &rsa->N) == 0, false,
                       "N of " + pubPath + " against N of the private key"});
  }
  mbedtls_mpi_free(&n);
  const bool usual = mbedtls_mpi_cmp_int(&rsa->E, kUsualExponent) >= 0;
  checks->push_back({"exponent", usual, false, usual ? "E is at least 65537" : "E is below 65537"});
}

KeyToolOutcome PrintChecks(const char* path, const std::vector<KeyCheck>& checks, std::uint8_t topByte,
                double share, bool json) {
  bool failed = false;
  for (const KeyCheck& check : checks) failed = failed || (!check.ok && !check.warningOnly);
  if (json) {
    Json list = Json::array();
    for (const KeyCheck& check : checks) {
      list.push_back({{"name", check.name},
                      {"verdict", check.ok ? "ok" : (check.warningOnly ? "warning" : "failed")},
                      {"detail", check.detail}});
    }
    const Json report = {{"file", path}, {"checks", list}, {"modulus_top_byte", topByte},
                         {"refusal_share", share}, {"result", failed ? "failed" : "ok"}};
    std::printf("%s\n", report.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  } else {
    std::printf("key file: %s\n", path);
    for (const KeyCheck& check : checks) {
      std::printf("  %-12s %s%s%s\n", check.name.c_str(),
                  check.ok ? "ok" : (check.warningOnly ? "warning" : "FAILED"),
                  check.detail.empty() ? "" : ": ", check.detail.c_str());
    }
    std::printf("result: %s\n", failed ? "FAILED" : "ok");
  }
  return failed ? KeyToolOutcome::kCheckFailed : KeyToolOutcome::kDone;
}

}  // namespace

std::string PublicKeyBeside(const char* privatePath) {
  const std::string path = privatePath;
  const std::size_t slash = path.rfind('/');
  return (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + sealtool::kRsaPublicKeyFileName;
}

double RefusalShare(const mbedtls_mpi* n) {
  // The smallest refused block is ceil(N / 2^768) * 2^768; blocks are the
  // 2^256 multiples of 2^768 below 2^1024.
  mbedtls_mpi threshold;
  mbedtls_mpi_init(&threshold);
  std::uint8_t bytes[32] = {};
  const bool ok = mbedtls_mpi_sub_int(&threshold, n, 1) == 0 &&
                  mbedtls_mpi_shift_r(&threshold, 768) == 0 &&
                  mbedtls_mpi_add_int(&threshold, &threshold, 1) == 0 &&
                  mbedtls_mpi_write_binary(&threshold, bytes, sizeof bytes) == 0;
  mbedtls_mpi_free(&threshold);
  if (!ok) return 1.0;
  double accepted = 0;
  for (int i = 7; i >= 0; --i) accepted = (accepted + bytes[i]) / 256.0;
  return 1.0 - accepted;
}

namespace {

// An AES key's check value, as id shows it.
KeyToolOutcome ShowCheckValue(const char* ref, sealtool::KeyRole role, bool json) {
  std::uint8_t value[sealtool::kKeyCheckValueSize] = {};
  const bool computed = sealtool::KeyCheckValue(sealtool::ResolveKey(ref, role), value);
  sealtool::CloseKeys();
  if (!computed) return KeyToolOutcome::kUnreadable;
  const sealtool::KeyRefText source = sealtool::KeyRefForDisplay(ref);
  const std::string hex = sealtool::HexString(value, sizeof value);
  if (json) {
    const Json report = {{"source", source.text}, {"kind", "AES-128 key"}, {"check_value", hex}};
    std::printf("%s\n", report.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  } else {
    std::printf("source: %s (AES-128 key)\n", source.text);
    std::printf("key check value (AES-128-ECB of a zero block, first 3 bytes): %s\n", hex.c_str());
  }
  return KeyToolOutcome::kDone;
}

}  // namespace

KeyToolOutcome ShowKeyIds(const char* ref, bool json) {
  if (sealtool::KeyRole role{}; sealtool::RefNamesAesKey(ref, &role)) return ShowCheckValue(ref, role, json);
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* kind = "";
  KeyToolOutcome status = sealtool::LoadPublicKey(ref, &n, &e, &kind) ? KeyToolOutcome::kDone : KeyToolOutcome::kUnreadable;
  sealtool::CloseKeys();
  sealtool::KeyIds ids{};
  if (status == KeyToolOutcome::kDone && !sealtool::ComputeKeyIds(&n, &e, &ids)) {
    std::fprintf(stderr, "sealkey: the key is no RSA-1024 key with an exponent of 32 bytes or less\n");
    status = KeyToolOutcome::kUnreadable;
  }
  const sealtool::KeyRefText source =
      sealtool::KeyRefForDisplay(ref != nullptr ? ref : sealtool::kRsaPublicKeyFileName);
  if (status == KeyToolOutcome::kDone && json) {
    const Json report = {{"source", source.text},
                         {"kind", kind},
                         {"modulus_bits", mbedtls_mpi_bitlen(&n)},
                         {"key_id_header", sealtool::HexString(ids.header, sizeof ids.header)},
                         {"key_id_spki", sealtool::HexString(ids.spki, sizeof ids.spki)}};
    std::printf("%s\n", report.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  } else if (status == KeyToolOutcome::kDone) {
    std::printf("source: %s (%s), modulus of %zu bits\n", source.text, kind, mbedtls_mpi_bitlen(&n));
    std::printf("key id (image header: SHA-256 of N and E as stored): %s\n",
                sealtool::HexString(ids.header, sizeof ids.header).c_str());
    std::printf("key id (SHA-256 of the DER SubjectPublicKeyInfo):    %s\n",
                sealtool::HexString(ids.spki, sizeof ids.spki).c_str());
  }
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  return status;
}

KeyToolOutcome CheckKeyFile(const char* path, bool json) {
  if (path == nullptr) path = sealtool::kRsaPrivateKeyFileName;
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  if (!sealtool::ReadRsaPrivateKeyFile(path, &rsa) || mbedtls_mpi_bitlen(&rsa.N) == 0) {
    std::fprintf(stderr, "sealkey: %s holds no readable RSA private key (N, D, P, Q, DP, DQ, QP)\n", path);
    mbedtls_rsa_free(&rsa);
    return KeyToolOutcome::kUnreadable;
  }
  std::vector<KeyCheck> checks;
  const std::size_t bits = mbedtls_mpi_bitlen(&rsa.N);
  checks.push_back({"size", bits == 1024, false, std::to_string(bits) + " bits; RSA mode needs 1024"});
  CheckPublicKey(path, &rsa, &checks);
  CheckArithmetic(rsa, &checks);
  checks.push_back({"primes", ArePrimes(rsa), false, "p and q are probable primes"});
  const std::uint8_t topByte = TopByte(&rsa.N);
  const double share = RefusalShare(&rsa.N);
  char top[64];
  std::snprintf(top, sizeof top, "N's top byte is 0x%02x", topByte);
  checks.push_back({"top byte", topByte == 0xFF, true, top});
  checks.push_back({"refusals", share <= kRefusalShareWarning, true,
                    "RSA mode refuses " + ShareText(share)});
  mbedtls_rsa_free(&rsa);
  return PrintChecks(path, checks, topByte, share, json);
}

}  // namespace sealkey
