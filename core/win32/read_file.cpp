#include "core/read_file.h"

#include <windows.h>

#include <cerrno>

#include "core/win32/windows_text.h"

namespace ql {

FileContent ReadRegularFile(const std::string& path, std::int64_t max_size) {
  const std::wstring wide = win32::Widen(path);
  WIN32_FILE_ATTRIBUTE_DATA facts{};
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &facts)) {
    // Devices (CON, NUL, COM1...) have no attributes: the type of the open
    // handle below tells them.
    const int error = win32::ErrnoFromError(::GetLastError());
    if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) {
      return FileFailure(FileContent::Status::NotFound, error);
    }
  } else if (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    return FileFailure(FileContent::Status::NotFound, EISDIR);
  }
  const HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return FileFailure(FileContent::Status::ReadError, win32::ErrnoFromError(::GetLastError()));
  }
  // Only a file on a disk has an end (not a console, pipe or device).
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size)) {
    ::CloseHandle(file);
    return FileFailure(FileContent::Status::NotRegular);
  }
  if (size.QuadPart > max_size) {
    ::CloseHandle(file);
    return FileFailure(FileContent::Status::TooLarge);
  }
  FileContent result =
      ReadToEnd(static_cast<std::size_t>(size.QuadPart), max_size, [file](char* into, std::size_t room) {
        DWORD got = 0;
        const DWORD ask = room > 0x40000000 ? 0x40000000 : static_cast<DWORD>(room);
        if (!::ReadFile(file, into, ask, &got, nullptr)) {
          return -static_cast<long long>(win32::ErrnoFromError(::GetLastError()));
        }
        return static_cast<long long>(got);
      });
  ::CloseHandle(file);
  return result;
}

}  // namespace ql
