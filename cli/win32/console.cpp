// The console, paths and the command line on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h:
#include <shellapi.h>

#include <mutex>

#include "cli/console.h"
#include "core/win32/windows_text.h"

namespace ql::cli {

namespace {

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// The console modes this program changed, put back when it ends: the
// console is the shell's too.
class ConsoleModes {
 public:
  ~ConsoleModes() {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, mode] : saved_) ::SetConsoleMode(handle, mode);
  }
  bool Add(HANDLE handle, DWORD mode, DWORD flag) {
    if (!::SetConsoleMode(handle, mode | flag)) return false;
    std::lock_guard lock(mutex_);
    saved_.emplace_back(handle, mode);
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<HANDLE, DWORD>> saved_;
};

ConsoleModes g_modes;

struct OutputCodePage {
  OutputCodePage() : earlier(::GetConsoleOutputCP()) {}
  ~OutputCodePage() {
    if (earlier != 0) ::SetConsoleOutputCP(earlier);
  }
  const UINT earlier;
};

}  // namespace

bool IsTerminal(int fd) {
  DWORD mode = 0;
  return ::GetConsoleMode(HandleOf(fd), &mode) != 0;
}

bool DrawsRows(int fd) {
  const HANDLE handle = HandleOf(fd);
  DWORD mode = 0;
  if (!::GetConsoleMode(handle, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  // Consoles before Windows 10 refuse the mode: plain lines there.
  return g_modes.Add(handle, mode, ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int TerminalColumns(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(HandleOf(fd), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

std::string AbsolutePath(const std::string& path) {
  const std::wstring wide = win32::Widen(path);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return path;
    if (n < full.size()) {
      full.resize(n);
      return win32::Narrow(full);
    }
    full.resize(n);  // n counts the terminating NUL when the buffer was short
  }
}

void SetBinaryOutput(int fd) { ::_setmode(fd, _O_BINARY); }

std::vector<std::string> ArgumentsOfCommandLine(std::wstring_view command_line) {
  const std::wstring text(command_line);
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(text.c_str(), &count);
  if (wide == nullptr) return {};
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(win32::Narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  // Names and messages go out as UTF-8; the console's own code page is put back at the end.
  static OutputCodePage code_page;
  ::SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> args = ArgumentsOfCommandLine(::GetCommandLineW());
  if (args.empty()) args.assign(argv, argv + argc);
  return args;
}

}  // namespace ql::cli
