#include "driver/output_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <vector>

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
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t count = pread(gMemory, buffer, sizeof buffer, at);
    if (count <= 0) break;
    text.append(buffer, static_cast<std::size_t>(count));
    at += count;
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
