// The window's dialogs: the bootloader-area question and the end-of-upload
// dialog as task dialogs, the checksum warning and the error report as
// message boxes, the file-open dialog; and the program's file version.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>

#include <string>
#include <vector>

#include "app/win32/win32_window.h"
#include "core/win32/windows_text.h"
#include "upload/upload_engine.h"

namespace ql {

namespace {

using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// Task dialogs come with comctl32 6, which the program's manifest asks for;
// looked up at run time so that a system that still hands out version 5
// falls back to a message box instead of refusing to start the program.
TaskDialogIndirectFn TaskDialogFunction() {
  HMODULE comctl = ::GetModuleHandleW(L"comctl32.dll");
  if (comctl == nullptr) return nullptr;
  return reinterpret_cast<TaskDialogIndirectFn>(
      reinterpret_cast<void*>(::GetProcAddress(comctl, "TaskDialogIndirect")));
}

struct DialogContext {
  HWND owner;
  HWND* dialog;  // set while the dialog is open, when asked for
};

// Centres the dialog over the window, as a message box is: not every
// implementation of task dialogs does it for TDF_POSITION_RELATIVE_TO_WINDOW.
void CentreOver(HWND dialog, HWND owner) {
  RECT o{};
  RECT d{};
  if (owner == nullptr || !::GetWindowRect(owner, &o) || !::GetWindowRect(dialog, &d)) return;
  const LONG w = d.right - d.left;
  const LONG h = d.bottom - d.top;
  ::SetWindowPos(dialog, nullptr, (o.left + o.right - w) / 2, (o.top + o.bottom - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HRESULT CALLBACK DialogEvents(HWND hwnd, UINT notification, WPARAM, LPARAM, LONG_PTR data) {
  auto* context = reinterpret_cast<DialogContext*>(data);
  if (notification == TDN_CREATED) {
    CentreOver(hwnd, context->owner);
    if (context->dialog != nullptr) *context->dialog = hwnd;
  }
  if (notification == TDN_DESTROYED && context->dialog != nullptr) *context->dialog = nullptr;
  return S_OK;
}

}  // namespace

bool Win32Window::AskBootloaderArea() {
  const std::wstring text = win32::Widen(kBootAreaQuestion);
  const TaskDialogIndirectFn task_dialog = TaskDialogFunction();
  if (task_dialog == nullptr) {
    return ::MessageBoxW(hwnd_, text.c_str(), L"Warning", MB_OKCANCEL | MB_ICONWARNING) == IDOK;
  }
  // No and OK in this order, OK the default, Esc answers No.
  const TASKDIALOG_BUTTON buttons[] = {{IDNO, L"No"}, {IDOK, L"OK"}};
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hwndParent = hwnd_;
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
  config.pszWindowTitle = L"Warning";
  config.pszMainIcon = TD_WARNING_ICON;
  config.pszContent = text.c_str();
  config.pButtons = buttons;
  config.cButtons = 2;
  config.nDefaultButton = IDOK;
  DialogContext context{hwnd_, &question_};
  config.pfCallback = DialogEvents;
  config.lpCallbackData = reinterpret_cast<LONG_PTR>(&context);
  int pressed = IDNO;
  if (FAILED(task_dialog(&config, &pressed, nullptr, nullptr))) pressed = IDNO;
  question_ = nullptr;
  return pressed == IDOK;
}

void Win32Window::DismissQuestion() {
  if (question_ != nullptr) ::PostMessageW(question_, TDM_CLICK_BUTTON, IDNO, 0);
}

void Win32Window::ShowChecksumWarning(std::string_view text) {
  ::MessageBoxW(hwnd_, win32::Widen(text).c_str(), L"Warning", MB_OK | MB_ICONWARNING);
}

void Win32Window::ShowUploadEnd(std::string_view content, std::string_view detail) {
  const std::wstring content_text = win32::Widen(content);
  const std::wstring detail_text = win32::Widen(detail);
  const TaskDialogIndirectFn task_dialog = TaskDialogFunction();
  if (task_dialog == nullptr) {
    const std::wstring text = L"Restarting MCU...\r\n\r\n" + content_text + L"\r\n\r\n" + detail_text;
    ::MessageBoxW(hwnd_, text.c_str(), L"Success", MB_OK | MB_ICONINFORMATION);
    return;
  }
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hwndParent = hwnd_;
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
  config.dwCommonButtons = TDCBF_OK_BUTTON;
  config.pszWindowTitle = L"Success";
  config.pszMainIcon = TD_INFORMATION_ICON;
  config.pszMainInstruction = L"Restarting MCU...";
  config.pszContent = content_text.c_str();
  // The detail starts hidden behind its toggle.
  config.pszExpandedInformation = detail_text.c_str();
  config.pszCollapsedControlText = L"Show details";
  config.pszExpandedControlText = L"Hide details";
  DialogContext context{hwnd_, nullptr};
  config.pfCallback = DialogEvents;
  config.lpCallbackData = reinterpret_cast<LONG_PTR>(&context);
  task_dialog(&config, nullptr, nullptr, nullptr);
}

void Win32Window::ShowError(std::string_view text, bool owned) {
  ::MessageBoxW(owned ? hwnd_ : nullptr, win32::Widen(text).c_str(), L"Quelloader", MB_OK | MB_ICONERROR);
}

std::optional<std::string> Win32Window::BrowseHexFile(std::string_view initial_dir, std::string_view file_name) {
  std::wstring file = win32::Widen(file_name);
  file.resize(32768, L'\0');
  const std::wstring dir = win32::Widen(initial_dir);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = L"HEX files\0*.hex\0";
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
  ofn.lpstrDefExt = L"hex";
  // The chosen file need not exist: the form checks it and says so.
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_ENABLESIZING;
  if (!::GetOpenFileNameW(&ofn)) return std::nullopt;
  return win32::Narrow(file.c_str());
}

std::string Win32Window::ReadFileVersion() {
  // The wide functions: the program may live in a folder whose name the
  // ANSI code page cannot spell.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<BYTE> data(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO))
    return {};
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
}

}  // namespace ql
