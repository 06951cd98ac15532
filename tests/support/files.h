// Temporary directories and whole-file helpers for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sealtool::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the directory, sorted.
  std::vector<std::string> List() const;

 private:
  std::string path_;
};

// Changes the working directory for the lifetime of the object, for the
// in-process tests of steps that open key files by their bare names.
class ScopedWorkDir {
 public:
  explicit ScopedWorkDir(const std::string& path);
  ~ScopedWorkDir();
  ScopedWorkDir(const ScopedWorkDir&) = delete;
  ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

 private:
  std::string previous_;
};

Bytes ReadBytes(const std::string& path);
bool FileExists(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);
void WriteText(const std::string& path, const std::string& text);

}  // namespace sealtool::test
