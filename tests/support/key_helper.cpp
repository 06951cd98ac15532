// A key helper program for the tests of both systems: the contract of
// "helper:" keys, its keys given by the environment as the memory token's
// are (SEALTOOL_MEMORY_AES: 32 hex digits; SEALTOOL_MEMORY_RSA: a PEM or
// DER private key file), its crypto mbedtls's.
//   key_helper rsa-sign-raw | rsa-public-key | aes-cbc-encrypt | aes-ecb-wrap
#include <mbedtls/aes.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr std::size_t kAesBytes = 16;

std::vector<unsigned char> ReadInput() {
  std::vector<unsigned char> input;
  unsigned char bytes[4096];
  std::size_t got = 0;
  while ((got = std::fread(bytes, 1, sizeof bytes, stdin)) > 0) input.insert(input.end(), bytes, bytes + got);
  return input;
}

bool Answer(const unsigned char* bytes, std::size_t size) {
  return std::fwrite(bytes, 1, size, stdout) == size && std::fflush(stdout) == 0;
}

bool AesKey(unsigned char* key) {
  const char* hex = std::getenv("SEALTOOL_MEMORY_AES");
  if (hex == nullptr || std::strlen(hex) != 2 * kAesBytes) return false;
  for (std::size_t i = 0; i < kAesBytes; ++i) {
    const char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
    key[i] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
  }
  return true;
}

bool WithRsaKey(int (*use)(mbedtls_rsa_context* rsa)) {
  mbedtls_pk_context key;
  mbedtls_pk_init(&key);
  const char* path = std::getenv("SEALTOOL_MEMORY_RSA");
  const bool ok = path != nullptr && mbedtls_pk_parse_keyfile(&key, path, nullptr) == 0 &&
                  mbedtls_pk_get_type(&key) == MBEDTLS_PK_RSA && use(mbedtls_pk_rsa(key)) == 0;
  mbedtls_pk_free(&key);
  return ok;
}

int SignRaw(mbedtls_rsa_context* rsa) {
  const std::vector<unsigned char> block = ReadInput();
  unsigned char signature[512];
  if (block.size() != mbedtls_rsa_get_len(rsa)) return -1;
  if (mbedtls_rsa_private(rsa, nullptr, nullptr, block.data(), signature) != 0) return -1;
  return Answer(signature, block.size()) ? 0 : -1;
}

int PublicKey(mbedtls_rsa_context* rsa) {
  char n[1100];
  char e[64];
  std::size_t length = 0;
  if (mbedtls_mpi_write_string(&rsa->N, 16, n, sizeof n, &length) != 0 ||
      mbedtls_mpi_write_string(&rsa->E, 16, e, sizeof e, &length) != 0) {
    return -1;
  }
  return std::printf("N = %s\r\nE = %s\r\n", n, e) > 0 ? 0 : -1;
}

bool Encrypt(bool wrap) {
  unsigned char key[kAesBytes];
  std::vector<unsigned char> input = ReadInput();
  if (!AesKey(key) || input.empty() || input.size() % kAesBytes != 0) return false;
  std::vector<unsigned char> output(wrap ? kAesBytes : input.size());
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  unsigned char iv[kAesBytes] = {};
  // To wrap, the input is the wrapping key and the helper's key the data.
  const bool ok = wrap ? input.size() == kAesBytes && mbedtls_aes_setkey_enc(&aes, input.data(), 128) == 0 &&
                             mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, key, output.data()) == 0
                       : mbedtls_aes_setkey_enc(&aes, key, 128) == 0 &&
                             mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, input.size(), iv, input.data(),
                                                   output.data()) == 0;
  mbedtls_aes_free(&aes);
  return ok && Answer(output.data(), output.size());
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (argc < 2) return 2;
  bool ok = false;
  if (std::strcmp(argv[1], "rsa-sign-raw") == 0) ok = WithRsaKey(SignRaw);
  if (std::strcmp(argv[1], "rsa-public-key") == 0) ok = WithRsaKey(PublicKey);
  if (std::strcmp(argv[1], "aes-cbc-encrypt") == 0) ok = Encrypt(false);
  if (std::strcmp(argv[1], "aes-ecb-wrap") == 0) ok = Encrypt(true);
  if (!ok) std::fprintf(stderr, "key_helper: %s failed\n", argv[1]);
  return ok ? 0 : 1;
}
