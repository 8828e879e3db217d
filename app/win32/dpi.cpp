#include "app/win32/dpi.h"

namespace ql::win32 {

namespace {

template <typename Fn>
Fn User32Function(const char* name) {
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(user32, name)));
}

UINT SystemDpi() {
  HDC dc = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
  ::ReleaseDC(nullptr, dc);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

}  // namespace

UINT WindowDpi(HWND hwnd) {
  using Fn = UINT(WINAPI*)(HWND);
  static const Fn get_dpi_for_window = User32Function<Fn>("GetDpiForWindow");
  if (get_dpi_for_window != nullptr && hwnd != nullptr) {
    const UINT dpi = get_dpi_for_window(hwnd);
    if (dpi != 0) return dpi;
  }
  return SystemDpi();
}

void AdjustWindowRectForDpi(RECT* rect, DWORD style, DWORD ex_style, UINT dpi) {
  using Fn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const Fn adjust = User32Function<Fn>("AdjustWindowRectExForDpi");
  if (adjust != nullptr && adjust(rect, style, FALSE, ex_style, dpi)) return;
  ::AdjustWindowRectEx(rect, style, FALSE, ex_style);
}

int MetricForDpi(int index, UINT dpi) {
  using Fn = int(WINAPI*)(int, UINT);
  static const Fn metric = User32Function<Fn>("GetSystemMetricsForDpi");
  if (metric != nullptr) return metric(index, dpi);
  return ::GetSystemMetrics(index);
}

}  // namespace ql::win32
