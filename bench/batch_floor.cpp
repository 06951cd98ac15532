// The floor a batch is measured against: what writing N sealed images can
// cost at least. For each image it reads the input, takes one SHA-256 of
// the image and one AES-128-CBC of its body, at the fastest this machine
// offers (OpenSSL's, where the benchmark is built with it), and writes it
// the way the batch does: a staged file beside the name, renamed into place
// once all are staged, no fsync.
//   batch_floor aes INPUT FOLDER N
// And the RSA floor: N raw RSA-1024 private operations with one mbedtls
// context whose blinding is updated from the previous operation, as a
// batch can do (a fresh key is made first; run it with N and 1 and take the
// difference).
//   batch_floor rsa N
// And a token's own floor: N C_Sign calls (CKM_RSA_X_509) with one session
// and one login, on the private key of id 01 (PIN from SEALTOOL_PIN).
//   batch_floor token MODULE N
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <mbedtls/aes.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/rsa.h>

#ifdef SEALTOOL_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

#include "digest/sha256.h"

#include <p11-kit/pkcs11.h>

namespace {

constexpr std::size_t kImageSize = 32768;
constexpr std::size_t kBodyOffset = 512;
unsigned char gImage[kImageSize];

void Sha256(const unsigned char* bytes, std::size_t size, unsigned char* digest) {
#ifdef SEALTOOL_BENCH_OPENSSL
  unsigned int length = 0;
  EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr);
#else
  sealtool::Sha256OneShot(bytes, static_cast<std::int32_t>(size), digest);
#endif
}

bool EncryptBody(const unsigned char* key) {
  unsigned char iv[16] = {};
  unsigned char* body = gImage + kBodyOffset;
  const std::size_t length = kImageSize - kBodyOffset;
#ifdef SEALTOOL_BENCH_OPENSSL
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int written = 0;
  const bool ok = context != nullptr && EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr, key, iv) == 1 &&
                  EVP_CIPHER_CTX_set_padding(context, 0) == 1 &&
                  EVP_EncryptUpdate(context, body, &written, body, static_cast<int>(length)) == 1;
  EVP_CIPHER_CTX_free(context);
  return ok;
#else
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  const bool ok = mbedtls_aes_setkey_enc(&aes, key, 128) == 0 &&
                  mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, length, iv, body, body) == 0;
  mbedtls_aes_free(&aes);
  return ok;
#endif
}

bool ReadInput(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::memset(gImage, 0, sizeof gImage);
  const ssize_t got = read(fd, gImage, sizeof gImage);
  close(fd);
  return got >= 0;
}

bool Stage(int folder, const std::string& name) {
  const int fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, gImage, sizeof gImage) == static_cast<ssize_t>(sizeof gImage);
  return close(fd) == 0 && written;
}

int SealImages(const char* input, const char* folderPath, int count) {
  const int folder = open(folderPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return 1;
  const unsigned char key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                 0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
  unsigned char digest[32];
  for (int i = 0; i < count; ++i) {
    const std::string staged = ".floor-" + std::to_string(i);
    if (!ReadInput(input)) return 1;
    Sha256(gImage, kImageSize, digest);
    std::memcpy(gImage + 480, digest, sizeof digest);
    if (!EncryptBody(key) || !Stage(folder, staged)) return 1;
  }
  for (int i = 0; i < count; ++i) {
    const std::string staged = ".floor-" + std::to_string(i);
    const std::string name = "floor" + std::to_string(i) + ".bin";
    if (renameat(folder, staged.c_str(), folder, name.c_str()) != 0) return 1;
  }
  close(folder);
  return 0;
}

int PrivateOperations(int count) {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_rsa_context rsa;
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);
  mbedtls_rsa_init(&rsa, 0, 0);
  int ret = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0);
  if (ret == 0) ret = mbedtls_rsa_gen_key(&rsa, mbedtls_ctr_drbg_random, &drbg, 1024, 65537);
  unsigned char block[128] = {0x00, 0x01};
  unsigned char signature[128];
  for (int i = 0; ret == 0 && i < count; ++i) {
    block[127] = static_cast<unsigned char>(i);
    ret = mbedtls_rsa_private(&rsa, mbedtls_ctr_drbg_random, &drbg, block, signature);
  }
  mbedtls_rsa_free(&rsa);
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  return ret == 0 ? 0 : 1;
}

// Finds the first token's private key of id 01 and signs a block count
// times in one session.
int TokenSignatures(const char* modulePath, int count) {
  void* module = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return 1;
  auto* getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR p11 = nullptr;
  if (getList == nullptr || getList(&p11) != CKR_OK || p11->C_Initialize(nullptr) != CKR_OK) return 1;
  CK_SLOT_ID slots[8];
  CK_ULONG slotCount = 8;
  CK_SESSION_HANDLE session = 0;
  const char* pin = std::getenv("SEALTOOL_PIN");
  if (pin == nullptr || p11->C_GetSlotList(CK_TRUE, slots, &slotCount) != CKR_OK || slotCount == 0 ||
      p11->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK ||
      p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                   std::strlen(pin)) != CKR_OK) {
    return 1;
  }
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_BYTE id = 1;
  CK_ATTRIBUTE search[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, &id, 1}};
  CK_OBJECT_HANDLE key = 0;
  CK_ULONG found = 0;
  if (p11->C_FindObjectsInit(session, search, 2) != CKR_OK || p11->C_FindObjects(session, &key, 1, &found) != CKR_OK ||
      p11->C_FindObjectsFinal(session) != CKR_OK || found != 1) {
    return 1;
  }
  CK_MECHANISM mechanism = {CKM_RSA_X_509, nullptr, 0};
  unsigned char block[128] = {0x00, 0x01};
  unsigned char signature[128];
  for (int i = 0; i < count; ++i) {
    CK_ULONG length = sizeof signature;
    block[127] = static_cast<unsigned char>(i);
    if (p11->C_SignInit(session, &mechanism, key) != CKR_OK ||
        p11->C_Sign(session, block, sizeof block, signature, &length) != CKR_OK) {
      return 1;
    }
  }
  p11->C_Logout(session);
  p11->C_CloseSession(session);
  p11->C_Finalize(nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "aes") == 0) return SealImages(argv[2], argv[3], std::atoi(argv[4]));
  if (argc == 3 && std::strcmp(argv[1], "rsa") == 0) return PrivateOperations(std::atoi(argv[2]));
  if (argc == 4 && std::strcmp(argv[1], "token") == 0) return TokenSignatures(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: batch_floor aes INPUT FOLDER N\n       batch_floor rsa N\n"
                       "       batch_floor token MODULE N\n");
  return 2;
}
