// The RSA signing step with arbitrary rsa_priv.txt and rsa_pub.txt.
// Input: a 32-byte header digest, a 16-bit length, rsa_priv.txt of that
// length, then rsa_pub.txt.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "image/layout.h"
#include "seal/rsa_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sealtool::fuzz::SetUpOnce();
  sealtool::fuzz::InputReader input{data, size};
  std::uint8_t digest[32] = {};
  const std::string digestBytes = input.Bytes(sizeof digest);
  std::copy(digestBytes.begin(), digestBytes.end(), digest);
  const std::string priv = input.Bytes(input.U16());
  const std::string pub = input.Rest();
  sealtool::fuzz::WriteScratchFile("rsa_priv.txt", reinterpret_cast<const std::uint8_t*>(priv.data()),
                                   priv.size());
  sealtool::fuzz::WriteScratchFile("rsa_pub.txt", reinterpret_cast<const std::uint8_t*>(pub.data()),
                                   pub.size());
  static std::uint8_t image[sealtool::kImageSize];
  std::memset(image, 0, sizeof image);
  sealtool::SignHeaderDigestRsa(digest, image, sealtool::ResolveRunKeys(sealtool::KeySources{}, 0));
  // Only the signature, modulus and exponent may be written.
  for (std::size_t i = 0; i < sizeof image; ++i) {
    const bool written = i >= sealtool::kModulusOffset &&
                         i < sealtool::kRsaSignatureOffset + sealtool::kRsaSignatureSize;
    if (!written && image[i] != 0) __builtin_trap();
  }
  sealtool::fuzz::ClearScratchFiles();
  return 0;
}
