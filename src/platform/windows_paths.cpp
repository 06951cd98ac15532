#include "platform/windows_paths.h"

#include <windows.h>

#include <mutex>
#include <vector>

#include "platform/staged_file.h"

namespace sealtool {
namespace {

constexpr int kWorkingFolderHandle = -100;
constexpr std::size_t kClassicPathLimit = 260;

std::vector<std::wstring> gFolders;  // by handle; an empty entry is free
std::mutex gFoldersLock;

}  // namespace

std::wstring Widen(const char* utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), length);
  wide.resize(static_cast<std::size_t>(length - 1));
  return wide;
}

const int kWorkingFolder = kWorkingFolderHandle;

std::wstring SystemPath(const char* utf8) { return LongPathForm(Widen(utf8)); }

std::wstring LongPathForm(std::wstring wide) {
  if (wide.size() < kClassicPathLimit || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  full.resize(written);
  return L"\\\\?\\" + full;
}

const std::wstring* FolderOfHandle(int handle) {
  static const std::wstring kHere = L".";
  if (handle == kWorkingFolderHandle) return &kHere;
  const std::lock_guard<std::mutex> hold(gFoldersLock);
  if (handle < 0 || static_cast<std::size_t>(handle) >= gFolders.size() || gFolders[handle].empty()) return nullptr;
  return &gFolders[handle];
}

int HandleForFolder(const std::wstring& folder) {
  const std::lock_guard<std::mutex> hold(gFoldersLock);
  for (std::size_t i = 0; i < gFolders.size(); ++i) {
    if (gFolders[i].empty()) {
      gFolders[i] = folder;
      return static_cast<int>(i);
    }
  }
  gFolders.push_back(folder);
  return static_cast<int>(gFolders.size() - 1);
}

void ReleaseFolderHandle(int handle) {
  const std::lock_guard<std::mutex> hold(gFoldersLock);
  if (handle >= 0 && static_cast<std::size_t>(handle) < gFolders.size()) gFolders[handle].clear();
}

std::wstring PathInFolder(int handle, const char* name) {
  const std::wstring* folder = FolderOfHandle(handle);
  if (folder == nullptr || handle == kWorkingFolderHandle) return SystemPath(name);
  // A \\?\ path is taken literally: no doubled separator may enter it.
  const bool endsInSeparator = !folder->empty() && (folder->back() == L'\\' || folder->back() == L'/');
  return LongPathForm(*folder + (endsInSeparator ? L"" : L"\\") + Widen(name));
}

}  // namespace sealtool
