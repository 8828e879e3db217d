#include "app/win32/settings_location.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cwctype>

#include "core/win32/windows_text.h"

namespace ql {

namespace {

std::wstring Folder(const std::string& dir) {
  std::wstring w = win32::Widen(dir);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  while (w.size() > 3 && w.back() == L'\\') w.pop_back();  // "C:\" keeps its separator
  return w;
}

// `dir` is `root` or lies below it; names compare without regard to case, as Windows does.
bool Within(const std::wstring& dir, const std::wstring& root) {
  if (root.empty() || dir.size() < root.size()) return false;
  for (std::size_t i = 0; i < root.size(); ++i)
    if (std::towlower(dir[i]) != std::towlower(root[i])) return false;
  return dir.size() == root.size() || dir[root.size()] == L'\\' || root.back() == L'\\';
}

std::string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::string result;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path))) result = win32::Narrow(path);
  ::CoTaskMemFree(path);
  return result;
}

}  // namespace

bool FolderWritable(const std::string& dir) {
  const std::wstring probe =
      Folder(dir) + L"\\.quelloader-write-test-" + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
  HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

std::string ChooseSettingsPath(const std::string& executable_dir, const std::vector<std::string>& install_roots,
                               const std::string& app_data) {
  const std::wstring dir = Folder(executable_dir);
  bool installed = false;
  for (const std::string& root : install_roots)
    if (Within(dir, Folder(root))) installed = true;
  // A portable copy on a medium it cannot write to still reads the file it carries.
  const std::wstring beside = dir + L"\\Settings.ini";
  const bool carries_file = ::GetFileAttributesW(beside.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!installed && (carries_file || FolderWritable(executable_dir))) return win32::Narrow(beside);
  return win32::Narrow(Folder(app_data) + L"\\Quelloader\\Settings.ini");
}

std::string WindowsSettingsPath() {
  std::wstring exe(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (n == 0) return {};
    if (n < exe.size()) {
      exe.resize(n);
      break;
    }
    exe.resize(exe.size() * 2);
  }
  const std::wstring dir = exe.substr(0, exe.find_last_of(L"\\/"));
  // The installer's folders: for all users, and a user's own, which some
  // systems (Wine) do not name: it is %LOCALAPPDATA%\Programs.
  std::string user_programs = KnownFolder(FOLDERID_UserProgramFiles);
  if (user_programs.empty()) {
    const std::string local = KnownFolder(FOLDERID_LocalAppData);
    if (!local.empty()) user_programs = local + "\\Programs";
  }
  return ChooseSettingsPath(win32::Narrow(dir),
                            {KnownFolder(FOLDERID_ProgramFiles), KnownFolder(FOLDERID_ProgramFilesX86), user_programs},
                            KnownFolder(FOLDERID_RoamingAppData));
}

WindowProgramText Win32WindowProgramText() {
  return {"\nWindows controls (comctl32 6)",
          "Files:\n"
          "  Settings.ini beside quelloader.exe when you can write to its folder (a portable copy);\n"
          "  installed (below Program Files or %LOCALAPPDATA%\\Programs), or in a folder you cannot\n"
          "  write to, it uses %APPDATA%\\Quelloader\\Settings.ini"};
}

}  // namespace ql
