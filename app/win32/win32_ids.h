#pragma once
// The window's class, styles and the ids of its controls.

#include <windows.h>

namespace ql::win32 {

inline constexpr wchar_t kWindowClass[] = L"QuelloaderWindow";
// A fixed single-line border: system menu and minimise only, not resizable.
inline constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
inline constexpr DWORD kWindowExStyle = 0;

enum ControlId : int {
  kIdButtons = 101,  // + Control: Connect, Browse, Begin uploading, Show Activity
  kIdLink = 110,
  kIdDeviceBox,
  kIdMcuBox,
  kIdHistory,
  kIdTerminal,
  kIdProgress,
  kIdStatus,
};

}  // namespace ql::win32
