#include "keys/pkcs8_algorithm.h"

#include <cstring>

#include <mbedtls/pk.h>

#include "keys/aes_cbc.h"
#include "keys/pkcs8.h"

namespace sealtool {
namespace {

bool OidIs(const mbedtls_asn1_buf& oid, const unsigned char* expected, std::size_t size) {
  return oid.len == size && std::memcmp(oid.p, expected, size) == 0;
}

// PBKDF2-params; parameters holds the content of their SEQUENCE, as
// mbedtls_asn1_get_alg leaves it.
int ParsePbkdf2(const mbedtls_asn1_buf& parameters, Pbes2Parameters* out) {
  if (parameters.tag != (MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE)) {
    return MBEDTLS_ERR_ASN1_UNEXPECTED_TAG;
  }
  unsigned char* p = parameters.p;
  const unsigned char* end = p + parameters.len;
  int ret = mbedtls_asn1_get_tag(&p, end, &out->salt.len, MBEDTLS_ASN1_OCTET_STRING);
  if (ret != 0) return ret;
  out->salt.p = p;
  p += out->salt.len;
  ret = mbedtls_asn1_get_int(&p, end, &out->iterations);
  if (ret != 0) return ret;
  int keyLength = 0;
  if (p < end && *p == MBEDTLS_ASN1_INTEGER && (ret = mbedtls_asn1_get_int(&p, end, &keyLength)) != 0) {
    return ret;
  }
  out->prf = MBEDTLS_MD_SHA1;  // the default when no prf is named
  if (p < end) {
    mbedtls_asn1_buf prf{}, prfParameters{};
    ret = mbedtls_asn1_get_alg(&p, end, &prf, &prfParameters);
    if (ret == 0) ret = mbedtls_oid_get_md_hmac(&prf, &out->prf);
  }
  return ret;
}

bool IterationsAcceptable(int iterations) {
  return iterations > 0 && iterations <= kPkcs8MaxIterations;
}

// The iteration count of PKCS#12 password-based encryption, which mbedtls
// decrypts: PKCS12PBEParams ::= SEQUENCE { salt, iterations }.
int CheckPkcs12Iterations(const mbedtls_asn1_buf& parameters) {
  unsigned char* p = parameters.p;
  const unsigned char* end = p + parameters.len;
  std::size_t saltLength = 0;
  int iterations = 0;
  if (parameters.tag != (MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) ||
      mbedtls_asn1_get_tag(&p, end, &saltLength, MBEDTLS_ASN1_OCTET_STRING) != 0) {
    return kNotAes;  // malformed: mbedtls refuses it
  }
  p += saltLength;
  if (mbedtls_asn1_get_int(&p, end, &iterations) != 0) return kNotAes;
  return IterationsAcceptable(iterations) ? kNotAes : kTooManyIterations;
}

}  // namespace

int ParseAlgorithm(unsigned char** p, const unsigned char* end, Pbes2Parameters* out) {
  mbedtls_asn1_buf oid{}, parameters{};
  int ret = mbedtls_asn1_get_alg(p, end, &oid, &parameters);
  // Anything but an encrypted PKCS#8 key (a plain key, say) is mbedtls's.
  if (ret != 0) return kNotAes;
  const std::size_t pkcs12 = sizeof kOidPkcs12Pbe - 1;
  if (oid.len == pkcs12 + 1 && std::memcmp(oid.p, kOidPkcs12Pbe, pkcs12) == 0) {
    return CheckPkcs12Iterations(parameters);
  }
  if (!OidIs(oid, kOidPbes2, sizeof kOidPbes2 - 1)) return kNotAes;
  unsigned char* q = parameters.p;
  const unsigned char* qEnd = q + parameters.len;
  mbedtls_asn1_buf kdf{}, kdfParameters{}, scheme{}, schemeParameters{};
  if ((ret = mbedtls_asn1_get_alg(&q, qEnd, &kdf, &kdfParameters)) != 0 ||
      (ret = mbedtls_asn1_get_alg(&q, qEnd, &scheme, &schemeParameters)) != 0) {
    return ret;
  }
  if (!OidIs(kdf, kOidPbkdf2, sizeof kOidPbkdf2 - 1)) return kNotAes;
  ret = ParsePbkdf2(kdfParameters, out);
  if (ret != 0) return ret;
  if (!IterationsAcceptable(out->iterations)) return kTooManyIterations;
  out->keyBits = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (OidIs(scheme, kOidAesCbc[i], sizeof kOidAesCbc[i] - 1)) out->keyBits = kAesKeyBits[i];
  }
  if (out->keyBits == 0) return kNotAes;
  if (schemeParameters.tag != MBEDTLS_ASN1_OCTET_STRING || schemeParameters.len != kAesBlockSize) {
    return MBEDTLS_ERR_PK_KEY_INVALID_FORMAT;
  }
  out->iv = schemeParameters;
  return 0;
}

}  // namespace sealtool
