#include "keys/held_key_files.h"

#include <cstring>
#include <string>

#include <mbedtls/platform_util.h>

#include "keys/aes_key_file.h"
#include "secret/system_random.h"

namespace sealtool {
namespace {

// A batch names few key files: a fixed room, so that no key byte is ever
// moved by a growing container. A key beyond it is read each time.
constexpr std::size_t kMaxHeldAesKeys = 16;
constexpr std::size_t kMaxHeldRsaKeys = 4;
constexpr std::size_t kMaxHeldPublicKeys = 8;

struct HeldAesKey {
  bool used;
  std::string name;  // the reference, the role and the chip group it was read for
  std::uint8_t bytes[kKeyBufferSize];
};

struct HeldRsaKey {
  enum class State { kFree, kLoading, kLoaded } state;
  std::string path;
  mbedtls_rsa_context rsa;
};

struct HeldPublicKey {
  bool used;
  std::string name;
  mbedtls_mpi n, e;
  const char* kind;
};

bool gHolding = false;
HeldAesKey gAesKeys[kMaxHeldAesKeys];
HeldRsaKey gRsaKeys[kMaxHeldRsaKeys];
HeldPublicKey gPublicKeys[kMaxHeldPublicKeys];
SystemRandom gRandom;
bool gRandomSeeded = false;

std::string AesKeyName(const char* ref, KeyRole role, std::int32_t chip) {
  // Only the default key of a missing file depends on the chip, and only on
  // whether it is chip 742.
  return std::to_string(static_cast<int>(role)) + (chip == 742 ? "/742/" : "/*/") + (ref != nullptr ? ref : "");
}

}  // namespace

void HoldKeyFilesForRun() { gHolding = true; }

bool HoldingKeyFiles() { return gHolding; }

bool FindHeldAesKey(const char* ref, KeyRole role, std::int32_t chip, std::uint8_t* bytes) {
  if (!gHolding) return false;
  const std::string name = AesKeyName(ref, role, chip);
  for (const HeldAesKey& held : gAesKeys) {
    if (!held.used || held.name != name) continue;
    std::memcpy(bytes, held.bytes, kKeyBufferSize);
    return true;
  }
  return false;
}

void HoldAesKey(const char* ref, KeyRole role, std::int32_t chip, const std::uint8_t* bytes) {
  if (!gHolding) return;
  for (HeldAesKey& held : gAesKeys) {
    if (held.used) continue;
    held.used = true;
    held.name = AesKeyName(ref, role, chip);
    std::memcpy(held.bytes, bytes, kKeyBufferSize);
    return;
  }
}

mbedtls_rsa_context* FindHeldRsaKey(const char* path, bool* loaded) {
  *loaded = false;
  if (!gHolding) return nullptr;
  for (HeldRsaKey& held : gRsaKeys) {
    if (held.state == HeldRsaKey::State::kLoaded && held.path == path) {
      *loaded = true;
      return &held.rsa;
    }
  }
  for (HeldRsaKey& held : gRsaKeys) {
    if (held.state != HeldRsaKey::State::kFree) continue;
    held.state = HeldRsaKey::State::kLoading;
    held.path = path;
    mbedtls_rsa_init(&held.rsa, 0, 0);
    return &held.rsa;
  }
  return nullptr;
}

void KeepHeldRsaKey(mbedtls_rsa_context* rsa) {
  for (HeldRsaKey& held : gRsaKeys) {
    if (&held.rsa == rsa) held.state = HeldRsaKey::State::kLoaded;
  }
}

void DropHeldRsaKey(mbedtls_rsa_context* rsa) {
  for (HeldRsaKey& held : gRsaKeys) {
    if (&held.rsa != rsa) continue;
    mbedtls_rsa_free(&held.rsa);
    held.state = HeldRsaKey::State::kFree;
    held.path.clear();
  }
}

bool FindHeldPublicKey(const std::string& name, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  if (!gHolding) return false;
  for (const HeldPublicKey& held : gPublicKeys) {
    if (!held.used || held.name != name) continue;
    *kind = held.kind;
    return mbedtls_mpi_copy(n, &held.n) == 0 && mbedtls_mpi_copy(e, &held.e) == 0;
  }
  return false;
}

void HoldPublicKey(const std::string& name, const mbedtls_mpi* n, const mbedtls_mpi* e, const char* kind) {
  if (!gHolding) return;
  for (HeldPublicKey& held : gPublicKeys) {
    if (held.used) continue;
    mbedtls_mpi_init(&held.n);
    mbedtls_mpi_init(&held.e);
    if (mbedtls_mpi_copy(&held.n, n) != 0 || mbedtls_mpi_copy(&held.e, e) != 0) {
      mbedtls_mpi_free(&held.n);
      mbedtls_mpi_free(&held.e);
      return;
    }
    held.used = true;
    held.name = name;
    held.kind = kind;
    return;
  }
}

mbedtls_ctr_drbg_context* HeldRandom() {
  if (!gRandomSeeded) {
    if (!SeedSystemRandom(&gRandom, "sealtool rsa blinding")) {
      FreeSystemRandom(&gRandom);
      return nullptr;
    }
    gRandomSeeded = true;
  }
  return &gRandom.drbg;
}

void ForgetHeldKeyFiles() {
  for (HeldAesKey& held : gAesKeys) {
    mbedtls_platform_zeroize(held.bytes, sizeof held.bytes);
    held.used = false;
    held.name.clear();
  }
  for (HeldRsaKey& held : gRsaKeys) {
    if (held.state != HeldRsaKey::State::kFree) mbedtls_rsa_free(&held.rsa);
    held.state = HeldRsaKey::State::kFree;
    held.path.clear();
  }
  for (HeldPublicKey& held : gPublicKeys) {
    if (held.used) {
      mbedtls_mpi_free(&held.n);
      mbedtls_mpi_free(&held.e);
    }
    held.used = false;
    held.name.clear();
  }
  if (gRandomSeeded) FreeSystemRandom(&gRandom);
  gRandomSeeded = false;
  gHolding = false;
}

}  // namespace sealtool
