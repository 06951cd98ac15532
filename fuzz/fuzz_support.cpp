#include "fuzz_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace sealtool::fuzz {

namespace {

std::string gScratchDir;

void RemoveScratchDir() {
  ClearScratchFiles();
  if (chdir("/") == 0) rmdir(gScratchDir.c_str());
}

}  // namespace

void SetUpOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  struct stat info {};
  const char* base = (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode)) ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/sealtool-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
    std::perror("fuzz scratch directory");
    std::abort();
  }
  gScratchDir = pattern;
  std::atexit(RemoveScratchDir);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::abort();
  }
}

void WriteScratchFile(const char* name, const std::uint8_t* data, std::size_t size) {
  std::FILE* out = std::fopen(name, "wb");
  if (out == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);
}

void ClearScratchFiles() {
  for (const char* name : {"in.bin", "out.bin", "aes.txt", "rsa_priv.txt", "rsa_pub.txt"}) {
    unlink(name);
  }
}

std::uint8_t InputReader::Byte() {
  if (size == 0) return 0;
  --size;
  return *data++;
}

std::uint16_t InputReader::U16() {
  const std::uint16_t low = Byte();
  return static_cast<std::uint16_t>(low | (Byte() << 8));
}

std::string InputReader::Bytes(std::size_t length) {
  if (length > size) length = size;
  std::string bytes(reinterpret_cast<const char*>(data), length);
  data += length;
  size -= length;
  return bytes;
}

std::string InputReader::Rest() { return Bytes(size); }

}  // namespace sealtool::fuzz
