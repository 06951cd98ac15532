// The floor for a whole run: a program that only reads a 32768-byte image
// and writes it back out, built like sealtool.
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: copy_image INPUT OUTPUT\n");
    return 2;
  }
  static unsigned char image[32768];
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) return 1;
  const std::size_t size = std::fread(image, 1, sizeof image, in);
  std::fclose(in);
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) return 1;
  const bool written = std::fwrite(image, 1, size, out) == size;
  return (std::fclose(out) == 0 && written) ? 0 : 1;
}
