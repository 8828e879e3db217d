#include "core/write_file.h"

#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "core/win32/windows_text.h"

namespace ql {

int WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const unsigned chunk = left > 0x40000000 ? 0x40000000u : static_cast<unsigned>(left);
    const int n = ::_write(fd, bytes.data() + done, chunk);
    if (n < 0) return errno;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

namespace {

int LastErrno() { return win32::ErrnoFromError(::GetLastError()); }

// Writes everything to an open handle and closes it; 0 or an errno value.
int WriteAndClose(HANDLE file, std::span<const std::uint8_t> bytes) {
  int error = 0;
  std::size_t done = 0;
  while (error == 0 && done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD chunk = left > 0x40000000 ? 0x40000000u : static_cast<DWORD>(left);
    DWORD wrote = 0;
    if (!::WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr)) error = LastErrno();
    done += wrote;
  }
  // A full disk may show only when the data reaches it.
  if (error == 0 && !::FlushFileBuffers(file) && ::GetLastError() == ERROR_DISK_FULL) error = ENOSPC;
  if (!::CloseHandle(file) && error == 0) error = LastErrno();
  return error;
}

int WriteInPlace(const std::wstring& path, std::span<const std::uint8_t> bytes) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrno();
  return WriteAndClose(file, bytes);
}

}  // namespace

int WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  // A regular file (or none yet) is replaced whole: the bytes go to a new
  // file beside it, which then takes the name (ReplaceFileW keeps the
  // earlier file's attributes and security). A failed write leaves the
  // earlier file as it was. A folder or device is opened as named.
  const std::wstring wide = win32::Widen(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
    return WriteInPlace(wide, bytes);
  }
  const auto slash = path.find_last_of("/\\");
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  static std::atomic<unsigned> counter{0};
  std::wstring temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = win32::Widen(dir + "." + name + "." + std::to_string(::GetCurrentProcessId()) + "-" +
                        std::to_string(++counter) + ".part");
    file = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) return WriteInPlace(wide, bytes);  // no room beside it: as before
  int error = WriteAndClose(file, bytes);
  if (error == 0 && exists &&
      !::ReplaceFileW(wide.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    // Some file systems cannot replace (FAT, some shares): a plain move.
    if (!::MoveFileExW(temp.c_str(), wide.c_str(), MOVEFILE_REPLACE_EXISTING)) error = LastErrno();
  } else if (error == 0 && !exists && !::MoveFileExW(temp.c_str(), wide.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = LastErrno();
  }
  if (error != 0) ::DeleteFileW(temp.c_str());
  return error;
}

}  // namespace ql
