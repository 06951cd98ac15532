// A whole run of the tool, in process, on an arbitrary input image, chip,
// secure-boot number and key files. Input: a chip byte, a secure-boot byte,
// then aes.txt, rsa_priv.txt and rsa_pub.txt, each behind a 16-bit length
// (0xFFFF: the file is absent), then the input image.
#include <sys/stat.h>

#include <cstdio>

#include <string>

#include "driver/run.h"
#include "fuzz_support.h"
#include "image/checksum.h"
#include "image/layout.h"

namespace {

constexpr std::int32_t kChips[8] = {742, 753, 764, 775, 0, 731, 2, -1};
constexpr std::uint16_t kAbsent = 0xFFFF;

void PutKeyFile(sealtool::fuzz::InputReader* input, const char* name) {
  const std::uint16_t length = input->U16();
  if (length == kAbsent) return;
  const std::string text = input->Bytes(length);
  sealtool::fuzz::WriteScratchFile(name, reinterpret_cast<const std::uint8_t*>(text.data()),
                                   text.size());
}

long OutputSize() {
  struct stat info {};
  return stat("out.bin", &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

// A plain run's output satisfies the checksum invariant.
bool PlainOutputChecksumHolds() {
  static std::uint8_t output[sealtool::kImageSize];
  std::FILE* in = std::fopen("out.bin", "rb");
  if (in == nullptr) return false;
  const bool whole = std::fread(output, 1, sizeof output, in) == sizeof output;
  std::fclose(in);
  return whole && sealtool::ImageChecksumHolds(output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sealtool::fuzz::SetUpOnce();
  sealtool::fuzz::InputReader input{data, size};
  const std::string chip = std::to_string(kChips[input.Byte() % 8]);
  const std::uint8_t secureByte = input.Byte();
  const std::string secure = std::to_string(secureByte < 200 ? secureByte % 4 : secureByte);
  PutKeyFile(&input, "aes.txt");
  PutKeyFile(&input, "rsa_priv.txt");
  PutKeyFile(&input, "rsa_pub.txt");
  const std::string image = input.Rest();
  sealtool::fuzz::WriteScratchFile("in.bin", reinterpret_cast<const std::uint8_t*>(image.data()),
                                   image.size());

  char* argv[] = {const_cast<char*>("sealtool"), const_cast<char*>("in.bin"),
                  const_cast<char*>("out.bin"), const_cast<char*>(chip.c_str()),
                  const_cast<char*>(secure.c_str()), nullptr};
  const int result = sealtool::RunSealTool(5, argv);
  // Success writes one whole image; failure writes nothing at all.
  const long written = OutputSize();
  if (result == 0 && written != static_cast<long>(sealtool::kImageSize)) __builtin_trap();
  if (result != 0 && (result != -1 || written != -1)) __builtin_trap();
  if (result == 0 && image.size() > sealtool::kImageSize) __builtin_trap();
  if (result == 0 && secure == "0" && !PlainOutputChecksumHolds()) __builtin_trap();
  sealtool::fuzz::ClearScratchFiles();
  return 0;
}
