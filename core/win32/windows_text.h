#pragma once
// Text at the Windows API: the program keeps UTF-8 everywhere inside and
// converts at the call, so that paths and device strings outside the ANSI
// code page (C:\Users\Zoë\...) work.

#include <string>
#include <string_view>

namespace ql::win32 {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// The errno value closest to a Win32 error code (GetLastError()), so that
// failures are reported with the same texts as on Linux.
int ErrnoFromError(unsigned long error);

}  // namespace ql::win32
