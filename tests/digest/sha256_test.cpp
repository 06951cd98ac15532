#include "digest/sha256.h"
#include "digest/sha256_engines.h"

#include <gtest/gtest.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace sealtool {
namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::string OneShotHex(const std::uint8_t* input, std::int32_t length) {
  std::uint8_t digest[kSha256DigestSize];
  EXPECT_EQ(Sha256OneShot(input, length, digest), 0);
  return Hex(digest, sizeof digest);
}

std::string ReferenceHex(const std::uint8_t* input, std::size_t length) {
  std::uint8_t digest[32];
  EXPECT_EQ(mbedtls_sha256_ret(input, length, digest, 0), 0);
  return Hex(digest, sizeof digest);
}

std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<std::uint8_t> bytes(n);
  for (auto& byte : bytes) {
    byte = static_cast<std::uint8_t>(generator());
  }
  return bytes;
}

// Every test of the module runs through each engine this CPU has.
class Sha256Test : public testing::TestWithParam<Sha256Engine> {
 protected:
  void SetUp() override {
    previous_ = Sha256ActiveEngine();
    if (!Sha256SelectEngine(GetParam())) {
      GTEST_SKIP() << "this CPU has no " << Sha256EngineName(GetParam());
    }
  }
  void TearDown() override { Sha256SelectEngine(previous_); }

 private:
  Sha256Engine previous_ = Sha256Engine::kPortable;
};

TEST_P(Sha256Test, Fips180Examples) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OneShotHex(reinterpret_cast<const std::uint8_t*>(c.message.data()),
                         static_cast<std::int32_t>(c.message.size())),
              c.digest)
        << c.message.size() << " bytes";
  }
}

TEST_P(Sha256Test, NegativeLengthIsTheEmptyMessage) {
  const std::uint8_t byte = 0x61;
  EXPECT_EQ(OneShotHex(&byte, -5), OneShotHex(&byte, 0));
}

TEST_P(Sha256Test, AgreesWithMbedtlsForEveryShortLength) {
  const auto bytes = RandomBytes(200, 1);
  for (std::size_t n = 0; n <= bytes.size(); ++n) {
    ASSERT_EQ(OneShotHex(bytes.data(), static_cast<std::int32_t>(n)), ReferenceHex(bytes.data(), n))
        << n;
  }
  for (const std::size_t n : {511u, 512u, 513u, 4096u, 32768u, 100003u}) {
    const auto large = RandomBytes(n, static_cast<unsigned>(n));
    EXPECT_EQ(OneShotHex(large.data(), static_cast<std::int32_t>(n)), ReferenceHex(large.data(), n))
        << n;
  }
}

TEST_P(Sha256Test, PiecewiseFeedingGivesTheSameDigest) {
  std::mt19937 generator(7);
  for (const std::size_t n : {164u, 200u, 512u, 5000u, 32768u}) {
    const auto bytes = RandomBytes(n, static_cast<unsigned>(n) + 3);
    for (int trial = 0; trial < 20; ++trial) {
      Sha256State state;
      std::memset(&state, 0xA5, sizeof state);  // stale bytes must not matter
      Sha256Begin(&state);
      std::size_t at = 0;
      while (at < n) {
        const std::size_t piece = std::min<std::size_t>(n - at, generator() % 130);
        Sha256Feed(&state, bytes.data() + at, static_cast<std::int32_t>(piece));
        at += piece;
      }
      std::uint8_t digest[kSha256DigestSize];
      Sha256End(&state, digest);
      ASSERT_EQ(Hex(digest, sizeof digest), ReferenceHex(bytes.data(), n)) << n << "/" << trial;
    }
  }
  // The pieces named for the module: 1, 63 and 100 bytes.
  const auto bytes = RandomBytes(164, 11);
  Sha256State state;
  Sha256Begin(&state);
  Sha256Feed(&state, bytes.data(), 1);
  Sha256Feed(&state, bytes.data() + 1, 63);
  Sha256Feed(&state, bytes.data() + 64, 100);
  std::uint8_t digest[kSha256DigestSize];
  Sha256End(&state, digest);
  EXPECT_EQ(Hex(digest, sizeof digest), ReferenceHex(bytes.data(), 164));
}

TEST_P(Sha256Test, OneShotCallsAreIndependent) {
  const auto first = RandomBytes(300, 21);
  const auto second = RandomBytes(77, 22);
  OneShotHex(first.data(), 300);
  EXPECT_EQ(OneShotHex(second.data(), 77), ReferenceHex(second.data(), 77));
}

TEST_P(Sha256Test, ByteCounterCarriesIntoTheHighWord) {
  Sha256State state;
  Sha256Begin(&state);
  state.total[0] = 0xFFFFFFC0u;  // a whole number of blocks: buffer empty
  const auto block = RandomBytes(64, 5);
  Sha256Feed(&state, block.data(), 64);
  EXPECT_EQ(state.total[0], 0u);
  EXPECT_EQ(state.total[1], 1u);
}

TEST_P(Sha256Test, LengthFieldOfTwoTo29Bytes) {
  // 2^29 bytes are 2^32 bits: the length field reads high = 1, low = 0.
  Sha256State counted;
  Sha256Begin(&counted);
  counted.total[0] = 0x20000000u;
  std::uint8_t digest[kSha256DigestSize];
  Sha256End(&counted, digest);

  std::uint8_t lastBlock[64] = {0x80};
  lastBlock[59] = 0x01;  // big-endian high word = 1, low word = 0
  Sha256State expected;
  Sha256Begin(&expected);
  Sha256Compress(&expected, lastBlock);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(counted.hash[i], expected.hash[i]) << i;
  }
}

// The portable rounds and the instruction engine of the build's architecture
// (on a CPU without the instructions, that one skips and says why).
#if defined(__aarch64__)
constexpr Sha256Engine kInstructionEngine = Sha256Engine::kArmv8Sha2;
#else
constexpr Sha256Engine kInstructionEngine = Sha256Engine::kX86ShaExtensions;
#endif

INSTANTIATE_TEST_SUITE_P(
    Engines, Sha256Test, testing::Values(Sha256Engine::kPortable, kInstructionEngine),
    [](const testing::TestParamInfo<Sha256Engine>& info) {
      switch (info.param) {
        case Sha256Engine::kX86ShaExtensions: return std::string("X86ShaExtensions");
        case Sha256Engine::kArmv8Sha2: return std::string("Armv8Sha2");
        default: return std::string("Portable");
      }
    });

// The digest of bytes through engine, fed whole or in random pieces.
std::string EngineHex(Sha256Engine engine, const std::vector<std::uint8_t>& bytes,
                      std::mt19937* pieces) {
  Sha256SelectEngine(engine);
  Sha256State state;
  Sha256Begin(&state);
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t piece =
        pieces == nullptr ? bytes.size() : std::min<std::size_t>(bytes.size() - at, (*pieces)() % 200);
    Sha256Feed(&state, bytes.data() + at, static_cast<std::int32_t>(piece));
    at += piece;
  }
  std::uint8_t digest[kSha256DigestSize];
  Sha256End(&state, digest);
  return Hex(digest, sizeof digest);
}

TEST(Sha256EnginesTest, AcceleratedAndPortableAgreeOnEveryLengthTo2000) {
  const Sha256Engine original = Sha256ActiveEngine();
  Sha256Engine accelerated = Sha256Engine::kPortable;
  for (const Sha256Engine engine : {Sha256Engine::kX86ShaExtensions, Sha256Engine::kArmv8Sha2}) {
    if (Sha256SelectEngine(engine)) accelerated = engine;
  }
  if (accelerated == Sha256Engine::kPortable) {
    Sha256SelectEngine(original);
    GTEST_SKIP() << "this CPU has neither the x86-64 SHA extensions nor ARMv8 SHA-2";
  }
  std::mt19937 pieces(2026);
  for (std::size_t n = 0; n <= 2000; ++n) {
    const auto bytes = RandomBytes(n, static_cast<unsigned>(n) * 7919u + 1u);
    const std::string portable = EngineHex(Sha256Engine::kPortable, bytes, nullptr);
    ASSERT_EQ(EngineHex(accelerated, bytes, nullptr), portable) << n << " bytes, whole";
    ASSERT_EQ(EngineHex(accelerated, bytes, &pieces), portable) << n << " bytes, in pieces";
  }
  Sha256SelectEngine(original);
}

}  // namespace
}  // namespace sealtool
