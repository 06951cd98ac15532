#include "driver/output_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>
#include <vector>

#include "secret/wipe_guard.h"

namespace sealtool {
namespace {

int gConsole = -1;  // the console's standard output while a capture runs
int gMemory = -1;
bool gCapturing = false;

constexpr std::size_t kReasonLines = 4;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The line of key bytes a run echoes after "AES-Key:": hex digits and
// blanks only.
bool IsKeyEcho(std::string_view line) {
  bool digits = false;
  for (const char c : line) {
    if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
      digits = true;
    } else if (c != ' ' && c != '\r' && c != '\n') {
      return false;
    }
  }
  return digits;
}

}  // namespace

// One memory file serves every capture of the run, emptied each time.
bool BeginCapture() {
  std::fflush(stdout);
  if (gMemory < 0) gMemory = memfd_create("sealtool-steps", MFD_CLOEXEC);
  if (gMemory < 0 || ftruncate(gMemory, 0) != 0 || lseek(gMemory, 0, SEEK_SET) != 0) return false;
  gConsole = dup(STDOUT_FILENO);
  if (gConsole < 0 || dup2(gMemory, STDOUT_FILENO) < 0) {
    if (gConsole >= 0) close(gConsole);
    gConsole = -1;
    return false;
  }
  gCapturing = true;
  return true;
}

std::string EndCapture() {
  std::fflush(stdout);
  std::string text;
  if (!gCapturing) return text;
  gCapturing = false;
  dup2(gConsole, STDOUT_FILENO);
  close(gConsole);
  gConsole = -1;
  // The steps' text holds the AES key a secure run echoes: it is read into a
  // buffer that is wiped, and the echo is dropped on the way out.
  const off_t size = lseek(gMemory, 0, SEEK_END);
  std::vector<char> raw(size > 0 ? static_cast<std::size_t>(size) : 0);
  const WipeOnExit wipeRaw(raw.data(), raw.size());
  std::size_t read = 0;
  while (read < raw.size()) {
    const ssize_t count = pread(gMemory, raw.data() + read, raw.size() - read, static_cast<off_t>(read));
    if (count <= 0) break;
    read += static_cast<std::size_t>(count);
  }
  if (ftruncate(gMemory, 0) != 0) read = 0;  // the key leaves the memory file too
  text.reserve(read);
  bool afterKeyHeading = false;
  for (std::size_t start = 0; start < read;) {
    const char* end = static_cast<const char*>(std::memchr(raw.data() + start, '\n', read - start));
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - raw.data()) - start + 1 : read - start;
    const std::string_view line(raw.data() + start, length);
    if (!(afterKeyHeading && IsKeyEcho(line))) text.append(line);
    afterKeyHeading = line.rfind("AES-Key:", 0) == 0;
    start += length;
  }
  return text;
}

std::string FailureReason(const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  std::size_t from = lines.size() > kReasonLines ? lines.size() - kReasonLines : 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(" failed", 0) == 0) {
      from = i > 0 ? i - 1 : 0;
      break;
    }
  }
  std::string reason;
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i] != "\r") reason += "  " + lines[i] + "\n";
  }
  return reason;
}

std::string WarningLines(const std::string& text) {
  std::string warnings;
  for (const std::string& line : Lines(text)) {
    if (line.rfind("  ! warning:", 0) == 0) warnings += line + "\n";
  }
  return warnings;
}

}  // namespace sealtool
