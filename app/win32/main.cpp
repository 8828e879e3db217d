// quelloader.exe: the window. Usage: quelloader [--simulate PRESET] [FILE] (see --help)
#include <windows.h>

#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "app/form/qboot_form.h"
#include "app/form/window_arguments.h"
#include "app/win32/settings_location.h"
#include "app/win32/win32_event_loop.h"
#include "app/win32/win32_window.h"
#include "core/debug_log.h"
#include "core/win32/windows_text.h"
#include "hid/platform_hid_backend.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"

namespace {

// Help, version and usage errors. A window program has no console of its
// own: started with its output redirected (a script, a test, a pipe) it
// writes there; started from the desktop or a console window, whose prompt
// does not wait for a window program, the text would be lost or land
// under the next prompt, so it is shown in a message box.
void Report(const std::string& out, const std::string& err, bool error) {
  const std::string text = out + err;
  if (text.empty()) return;
  HANDLE handle = ::GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_UNKNOWN) {
    DWORD written = 0;
    ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  ::MessageBoxW(nullptr, ql::win32::Widen(crlf).c_str(), L"Quelloader",
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

std::vector<std::string> Arguments() {
  int argc = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(ql::win32::Narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

}  // namespace

int main() {
  // The command line as UTF-8: a file name outside the ANSI code page survives.
  const std::vector<std::string> args = Arguments();
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  const ql::ParsedWindowArguments parsed =
      ql::ParseWindowArguments(static_cast<int>(argv.size()), argv.data(), ql::Win32WindowProgramText());
  if (parsed.exit_code) {
    Report(parsed.out, parsed.err, *parsed.exit_code != 0);
    return *parsed.exit_code;
  }

  // QUELLOADER_DEBUG=1: timestamped debug lines on stderr for field reports.
  ql::EnableDebugFromEnvironment();
  ql::Win32EventLoop loop;

  std::unique_ptr<ql::HidBackend> backend;
  ql::VirtualHidBackend* virtual_backend = nullptr;
  std::unique_ptr<ql::VirtualSimBootloader> simulator;
  std::optional<ql::sim::Config> config;
  if (!parsed.args.simulate.empty()) {
    config = ql::sim::Preset(parsed.args.simulate);  // a known name: the parser checked it
    auto vb = std::make_unique<ql::VirtualHidBackend>(loop);
    virtual_backend = vb.get();
    backend = std::move(vb);
    simulator = std::make_unique<ql::VirtualSimBootloader>(*virtual_backend, loop, *config);
  } else {
    backend = ql::MakePlatformHidBackend();
  }

  ql::WindowOptions options;
  options.settings_path = ql::WindowsSettingsPath();
  options.command_line_file = parsed.args.file;

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  ::GetStartupInfoW(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWNORMAL;
  {
    ql::Win32Window window(loop);
    {
      ql::QBootForm form(loop, *backend, window, options);
      window.SetForm(&form);
      loop.SetKeyboardWindow(window.hwnd());
      window.Show(show);
      // The demo board goes back into its bootloader within two seconds
      // after it left the bus (after an upload's reset, or a disconnect),
      // so the workflow can be tried again without restarting.
      ql::TimerId replug_timer = 0;
      std::function<void()> replug = [&] {
        if (!simulator->attached())
          simulator = std::make_unique<ql::VirtualSimBootloader>(*virtual_backend, loop, *config);
        replug_timer = loop.schedule_after(ql::from_ms(2000), replug);
      };
      if (simulator) replug_timer = loop.schedule_after(ql::from_ms(2000), replug);
      while (!loop.quit()) loop.process_events(loop.now() + ql::from_ms(60'000));
      if (replug_timer) loop.cancel(replug_timer);
      window.SetForm(nullptr);
    }  // the form writes Settings.ini; a failure is reported with no window to own it
  }
  simulator.reset();
  return loop.exit_code();
}
