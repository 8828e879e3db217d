// Reads the running window from outside, as a screen reader would: its
// caption, client size and place on the screen, the buttons' captions and enabled states, both
// logs and the progress bar, through the ordinary window messages of
// another process. The Win32 window test drives the window with real input
// (xdotool) and checks what this prints.
//   window_probe.exe [close]
// prints "key=value" lines, and the logs' lines as "history: ..." and
// "terminal_lines=N"; exit code 1 when no window is found. With "close" it
// asks the window to close, as another program would.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <string>

#include "app/win32/win32_ids.h"
#include "core/win32/windows_text.h"

namespace {

std::string Text(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 5000,
                        &copied);
  text.resize(copied);
  return ql::win32::Narrow(text);
}

}  // namespace

int main(int argc, char** argv) {
  HWND window = ::FindWindowW(ql::win32::kWindowClass, nullptr);
  if (window == nullptr) {
    std::puts("window=none");
    return 1;
  }
  if (argc > 1 && std::string(argv[1]) == "close") {
    // As taskkill without /F, or a logoff, asks a window to close.
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
  }
  std::printf("title=%s\n", Text(window).c_str());
  RECT client{};
  ::GetClientRect(window, &client);
  std::printf("client=%ldx%ld\n", client.right, client.bottom);
  POINT origin{0, 0};
  ::ClientToScreen(window, &origin);
  RECT frame{};
  ::GetWindowRect(window, &frame);
  std::printf("origin=%ld,%ld\n", origin.x, origin.y);
  std::printf("frame=%ld,%ld,%ld,%ld\n", frame.left, frame.top, frame.right, frame.bottom);
  const char* names[] = {"connect", "browse", "start", "activity"};
  for (int i = 0; i < 4; ++i) {
    HWND button = ::GetDlgItem(window, ql::win32::kIdButtons + i);
    std::printf("%s=%s|%d\n", names[i], Text(button).c_str(), ::IsWindowEnabled(button) ? 1 : 0);
  }
  std::string history = Text(::GetDlgItem(window, ql::win32::kIdHistory));
  std::size_t start = 0;
  while (start < history.size()) {
    std::size_t end = history.find("\r\n", start);
    if (end == std::string::npos) end = history.size();
    std::printf("history: %s\n", history.substr(start, end - start).c_str());
    start = end + 2;
  }
  const std::string terminal = Text(::GetDlgItem(window, ql::win32::kIdTerminal));
  std::size_t lines = terminal.empty() ? 0 : 1;
  for (std::size_t at = terminal.find("\r\n"); at != std::string::npos; at = terminal.find("\r\n", at + 2)) ++lines;
  std::printf("terminal_lines=%zu\n", lines);
  std::printf("terminal_last=%s\n",
              terminal.substr(terminal.rfind('\n') == std::string::npos ? 0 : terminal.rfind('\n') + 1).c_str());
  HWND progress = ::GetDlgItem(window, ql::win32::kIdProgress);
  std::printf("progress=%ld/%ld\n", static_cast<long>(::SendMessageW(progress, PBM_GETPOS, 0, 0)),
              static_cast<long>(::SendMessageW(progress, PBM_GETRANGE, FALSE, 0)));
  return 0;
}
