// Micro-benchmarks: the SHA-256 module beside mbedtls's, the body encryption,
// the RSA signing step, and each whole mode of a run in process (no process
// start; the image stays in memory, key files sit on tmpfs).
#include <benchmark/benchmark.h>
#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/run.h"
#include "example_image.h"
#include "image/layout.h"
#include "keys/aes_cbc.h"
#include "secret/system_random.h"
#include "keys/aes_key_file.h"
#include "keys/rsa_key_files.h"
#include "rsa_keygen.h"
#include "seal/rsa_signature.h"
#include "seal/seal_image.h"
#include "digest/sha256.h"
#include "digest/sha256_engines.h"

#ifdef SEALTOOL_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

std::vector<std::uint8_t> Bytes(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return bytes;
}

// The module's SHA-256 through one engine; the run is skipped where the CPU
// lacks it.
void BM_Sha256OneShot(benchmark::State& state, sealtool::Sha256Engine engine) {
  const sealtool::Sha256Engine previous = sealtool::Sha256ActiveEngine();
  if (!sealtool::Sha256SelectEngine(engine)) {
    state.SkipWithError("this CPU lacks the engine");
    return;
  }
  const auto input = Bytes(static_cast<std::size_t>(state.range(0)));
  std::uint8_t digest[32];
  for (auto _ : state) {
    sealtool::Sha256OneShot(input.data(), static_cast<std::int32_t>(input.size()), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  sealtool::Sha256SelectEngine(previous);
}
BENCHMARK_CAPTURE(BM_Sha256OneShot, portable, sealtool::Sha256Engine::kPortable)
    ->Arg(64)->Arg(512)->Arg(32768);
BENCHMARK_CAPTURE(BM_Sha256OneShot, x86_sha, sealtool::Sha256Engine::kX86ShaExtensions)
    ->Arg(64)->Arg(512)->Arg(32768);
BENCHMARK_CAPTURE(BM_Sha256OneShot, armv8_sha2, sealtool::Sha256Engine::kArmv8Sha2)
    ->Arg(64)->Arg(512)->Arg(32768);

#ifdef SEALTOOL_BENCH_OPENSSL
// OpenSSL's SHA-256, the ceiling: benchmark only, never linked into the tool.
void BM_OpensslSha256(benchmark::State& state) {
  const auto input = Bytes(static_cast<std::size_t>(state.range(0)));
  unsigned char digest[32];
  unsigned int length = 0;
  for (auto _ : state) {
    EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpensslSha256)->Arg(64)->Arg(512)->Arg(32768);
#endif

// The same RSA key every time, from the project's generator and a counter.
void MakeBenchKey(mbedtls_rsa_context* rsa) {
  unsigned counter = 0;
  auto random = [](void* state, unsigned char* out, std::size_t n) {
    auto* c = static_cast<unsigned*>(state);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>((++*c * 2654435761u) >> 24);
    return 0;
  };
  if (!sealtool::GenerateSealingRsaKey(rsa, random, &counter)) std::abort();
}

// What --signature adds to a run: S^E mod N with E = 65537 on RSA-1024.
void BM_SignatureCheck(benchmark::State& state) {
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  MakeBenchKey(&rsa);
  std::uint8_t block[128] = {0x11, 0x22};
  std::uint8_t signature[128];
  std::uint8_t recovered[128];
  if (mbedtls_rsa_private(&rsa, nullptr, nullptr, block, signature) != 0) std::abort();
  for (auto _ : state) {
    if (mbedtls_rsa_public(&rsa, signature, recovered) != 0) state.SkipWithError("failed");
    benchmark::DoNotOptimize(recovered);
  }
  mbedtls_rsa_free(&rsa);
}
BENCHMARK(BM_SignatureCheck);

void BM_MbedtlsSha256(benchmark::State& state) {
  const auto input = Bytes(static_cast<std::size_t>(state.range(0)));
  std::uint8_t digest[32];
  for (auto _ : state) {
    mbedtls_sha256_ret(input.data(), input.size(), digest, 0);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MbedtlsSha256)->Arg(64)->Arg(512)->Arg(32768);

void BM_BodyEncryption(benchmark::State& state) {
  auto body = Bytes(sealtool::kBodyAreaSize);
  const std::uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (auto _ : state) {
    sealtool::AesCbcZeroIv(key, MBEDTLS_AES_ENCRYPT, body.data(), body.size());
    benchmark::DoNotOptimize(body.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_BodyEncryption);

// The blinded private operation alone, one context for every operation, its
// blinding values updated from the previous one (as a batch does).
void BM_RsaPrivateBlinded(benchmark::State& state) {
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  MakeBenchKey(&rsa);
  sealtool::SystemRandom random;
  if (!sealtool::SeedSystemRandom(&random, "bench")) std::abort();
  std::uint8_t block[128] = {0x00, 0x01};
  std::uint8_t signature[128];
  for (auto _ : state) {
    if (mbedtls_rsa_private(&rsa, mbedtls_ctr_drbg_random, &random.drbg, block, signature) != 0) {
      state.SkipWithError("failed");
    }
    benchmark::DoNotOptimize(signature);
  }
  sealtool::FreeSystemRandom(&random);
  mbedtls_rsa_free(&rsa);
}
BENCHMARK(BM_RsaPrivateBlinded);

#ifdef SEALTOOL_BENCH_OPENSSL
// OpenSSL's AES-128-CBC over the body, the ceiling the tool's mbedtls CBC
// is held against (benchmark only).
void BM_OpensslBodyEncryption(benchmark::State& state) {
  auto body = Bytes(sealtool::kBodyAreaSize);
  const std::uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const std::uint8_t iv[16] = {};
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    int written = 0;
    EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EVP_EncryptUpdate(context, body.data(), &written, body.data(), static_cast<int>(body.size()));
    benchmark::DoNotOptimize(body.data());
  }
  EVP_CIPHER_CTX_free(context);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_OpensslBodyEncryption);
#endif

// A scratch folder on tmpfs with an RSA key made once by the project's
// generator from a fixed seed.
void PrepareScratchFolder() {
  static bool done = false;
  if (done) return;
  done = true;
  char path[] = "/dev/shm/sealtool-bench-XXXXXX";
  if (mkdtemp(path) == nullptr || chdir(path) != 0) std::abort();
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  MakeBenchKey(&rsa);
  char text[sealtool::kKeyFileTextSize];
  std::size_t length = 0;
  std::FILE* priv = std::fopen("rsa_priv.txt", "w");
  if (sealtool::FormatRsaPrivateKeyFile(&rsa, text, sizeof text, &length) != 0) std::abort();
  std::fwrite(text, 1, length, priv);
  std::FILE* pub = std::fopen("rsa_pub.txt", "w");
  if (sealtool::FormatRsaPublicKeyFile(&rsa, text, sizeof text, &length) != 0) std::abort();
  std::fwrite(text, 1, length, pub);
  std::fclose(priv);
  std::fclose(pub);
  mbedtls_rsa_free(&rsa);
}

void BM_RsaSigning(benchmark::State& state) {
  PrepareScratchFolder();
  std::uint8_t digest[32] = {0x5A, 0x11};
  static std::uint8_t image[sealtool::kImageSize];
  for (auto _ : state) {
    if (!sealtool::SignHeaderDigestRsa(digest, image, sealtool::ResolveRunKeys(sealtool::KeySources{}, 0))) {
      state.SkipWithError("refused");
    }
    benchmark::DoNotOptimize(image);
  }
}
BENCHMARK(BM_RsaSigning);

void BM_WholeMode(benchmark::State& state, std::int32_t chip, std::int32_t secureBoot) {
  PrepareScratchFolder();
  std::vector<std::uint8_t> input(sealtool::kImageSize, 0);
  sealtool::BuildExampleImage(chip, 1, input.data(), sealtool::kExampleImageDefaultSize);
  static std::uint8_t image[sealtool::kImageSize];
  const sealtool::CommandLine commandLine{"in.bin", "out.bin", true, true, chip, secureBoot, {}, nullptr, nullptr};
  for (auto _ : state) {
    std::memcpy(image, input.data(), input.size());
    if (!sealtool::ProcessImage(image, commandLine)) state.SkipWithError("run failed");
    benchmark::DoNotOptimize(image);
  }
}
BENCHMARK_CAPTURE(BM_WholeMode, plain, 753, 0);
BENCHMARK_CAPTURE(BM_WholeMode, key_record, 753, 3);
BENCHMARK_CAPTURE(BM_WholeMode, aes_seal, 753, 1);
BENCHMARK_CAPTURE(BM_WholeMode, rsa, 742, 2);

}  // namespace

// The steps print as the tool does; their lines go to /dev/null and the
// report to standard error.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
