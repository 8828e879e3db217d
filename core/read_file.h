#pragma once
// Reading a whole regular file at once, as the HEX loader does: only a
// regular file has an end (a device such as /dev/zero or a pipe would be
// read until memory runs out), and a file over the caller's limit is not
// read at all. Each system has its own implementation (core/posix/,
// core/win32/); paths are UTF-8.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ql {

struct FileContent {
  enum class Status {
    Ok,
    NotFound,     // cannot be found or is a folder; `error` says why
    NotRegular,   // a device, FIFO or socket
    TooLarge,     // longer than the limit
    ReadError,    // could not be opened or read; `error` says why
    OutOfMemory,
  };
  Status status = Status::Ok;
  int error = 0;  // an errno value
  std::unique_ptr<char[]> text;
  std::size_t length = 0;
};

FileContent ReadRegularFile(const std::string& path, std::int64_t max_size);

// What every system's ReadRegularFile shares.
FileContent FileFailure(FileContent::Status status, int error = 0);

// Reads with `read(into, room)` (bytes read, 0 at the end, or minus an errno
// value) into one buffer sized from `size_hint` (no second copy); should the
// file have grown since, the buffer grows with it up to one byte past
// `max_size`, which tells a file that is now too long.
FileContent ReadToEnd(std::size_t size_hint, std::int64_t max_size,
                      const std::function<long long(char* into, std::size_t room)>& read);

}  // namespace ql
