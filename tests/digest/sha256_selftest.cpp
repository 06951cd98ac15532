// The SHA-256 module on its own, without the test framework, so that it can
// be built for another architecture and run under emulation: the FIPS 180-4
// examples through every engine this CPU has, and the engines against the
// portable rounds on every length from 0 to 2000, fed whole and in random
// pieces. Prints the engine in use; exits 0 when everything agreed.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "digest/sha256_engines.h"

namespace {

using sealtool::Sha256Engine;

std::string DigestHex(Sha256Engine engine, const std::uint8_t* bytes, std::size_t size,
                      std::mt19937* pieces) {
  sealtool::Sha256SelectEngine(engine);
  sealtool::Sha256State state;
  sealtool::Sha256Begin(&state);
  std::size_t at = 0;
  while (at < size) {
    const std::size_t piece = pieces == nullptr ? size - at : std::min<std::size_t>(size - at, (*pieces)() % 200);
    sealtool::Sha256Feed(&state, bytes + at, static_cast<std::int32_t>(piece));
    at += piece;
  }
  std::uint8_t digest[sealtool::kSha256DigestSize];
  sealtool::Sha256End(&state, digest);
  std::string hex;
  char pair[3];
  for (const std::uint8_t byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

int CheckFipsExamples(Sha256Engine engine) {
  const struct {
    std::string message;
    const char* digest;
  } kExamples[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  int failures = 0;
  for (const auto& example : kExamples) {
    const std::string got = DigestHex(engine, reinterpret_cast<const std::uint8_t*>(example.message.data()),
                                      example.message.size(), nullptr);
    if (got != example.digest) {
      std::printf("FAILED: %s on %zu bytes gives %s\n", sealtool::Sha256EngineName(engine),
                  example.message.size(), got.c_str());
      ++failures;
    }
  }
  return failures;
}

int CheckAgainstPortable(Sha256Engine engine) {
  std::mt19937 bytes(1), pieces(2);
  int failures = 0;
  for (std::size_t n = 0; n <= 2000; ++n) {
    std::vector<std::uint8_t> input(n);
    for (auto& byte : input) byte = static_cast<std::uint8_t>(bytes());
    const std::string portable = DigestHex(Sha256Engine::kPortable, input.data(), n, nullptr);
    if (DigestHex(engine, input.data(), n, nullptr) != portable ||
        DigestHex(engine, input.data(), n, &pieces) != portable) {
      std::printf("FAILED: %s and the portable rounds differ on %zu bytes\n",
                  sealtool::Sha256EngineName(engine), n);
      ++failures;
    }
  }
  return failures;
}

}  // namespace

int main() {
  const Sha256Engine chosen = sealtool::Sha256ActiveEngine();
  std::printf("engine in use: %s\n", sealtool::Sha256EngineName(chosen));
  int failures = CheckFipsExamples(Sha256Engine::kPortable);
  for (const Sha256Engine engine : {Sha256Engine::kX86ShaExtensions, Sha256Engine::kArmv8Sha2}) {
    if (!sealtool::Sha256SelectEngine(engine)) continue;
    std::printf("checking %s against FIPS 180-4 and the portable rounds\n",
                sealtool::Sha256EngineName(engine));
    failures += CheckFipsExamples(engine) + CheckAgainstPortable(engine);
  }
  std::printf("%s\n", failures == 0 ? "all digests agree" : "DIGESTS DIFFER");
  return failures == 0 ? 0 : 1;
}
