// Preloaded into a program under test to deliver a signal at an exact
// moment: SEALTOOL_TEST_SIGNAL="SIGNAL:write" raises SIGNAL just before the
// first write to a file (descriptor 3 or above), "SIGNAL:commit" just before
// the first rename that moves a finished file into place.
//
// With SEALTOOL_TEST_SCAN_FREED set to "TEXT|TEXT...", every block handed
// back to the allocator is searched for those texts first; one found ends
// the program with status 99, so that no secret is left in freed memory.
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

bool gRaised = false;

void RaiseIfDue(const char* moment) {
  const char* plan = std::getenv("SEALTOOL_TEST_SIGNAL");
  if (gRaised || plan == nullptr) return;
  const char* colon = std::strchr(plan, ':');
  if (colon == nullptr || std::strcmp(colon + 1, moment) != 0) return;
  gRaised = true;
  raise(std::atoi(plan));
}

}  // namespace

extern "C" void __libc_free(void* block);

namespace {

bool HoldsNeedle(const void* block, std::size_t size, const char* needles) {
  while (*needles != '\0') {
    const char* end = std::strchr(needles, '|');
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - needles)
                                              : std::strlen(needles);
    if (length > 0 && memmem(block, size, needles, length) != nullptr) return true;
    if (end == nullptr) break;
    needles = end + 1;
  }
  return false;
}

}  // namespace

extern "C" void free(void* block) {
  const char* needles = std::getenv("SEALTOOL_TEST_SCAN_FREED");
  if (block != nullptr && needles != nullptr &&
      HoldsNeedle(block, malloc_usable_size(block), needles)) {
    static const char kFound[] = "freed memory holds secret text\n";
    ::write(2, kFound, sizeof kFound - 1);
    _exit(99);
  }
  __libc_free(block);
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  using Write = ssize_t (*)(int, const void*, size_t);
  static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
  if (fd >= 3) RaiseIfDue("write");
  return real(fd, data, size);
}

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to,
                         unsigned int flags) {
  using Rename = int (*)(int, const char*, int, const char*, unsigned int);
  static const auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat2"));
  RaiseIfDue("commit");
  return real(fromDir, from, toDir, to, flags);
}
