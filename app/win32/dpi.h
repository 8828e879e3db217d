#pragma once
// The monitor's dpi for a window. The per-monitor functions came with
// Windows 10; they are looked up at run time so that an older system gets
// the system-wide dpi instead of a program that does not start.

#include <windows.h>

namespace ql::win32 {

UINT WindowDpi(HWND hwnd);
// The outer rectangle for a client rectangle, frame sized for `dpi`.
void AdjustWindowRectForDpi(RECT* rect, DWORD style, DWORD ex_style, UINT dpi);
// A system metric (SM_CXVSCROLL...) at `dpi`.
int MetricForDpi(int index, UINT dpi);

}  // namespace ql::win32
