#include "core/read_file.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace ql {

FileContent FileFailure(FileContent::Status status, int error) {
  FileContent result;
  result.status = status;
  result.error = error;
  return result;
}

FileContent ReadToEnd(std::size_t size_hint, std::int64_t max_size,
                      const std::function<long long(char* into, std::size_t room)>& read) {
  const std::size_t limit = static_cast<std::size_t>(max_size) + 1;
  FileContent result;
  try {
    std::size_t capacity = std::min<std::size_t>(size_hint + 1, limit);
    result.text.reset(new char[capacity]);
    for (;;) {
      if (result.length == capacity) {
        if (capacity == limit) return FileFailure(FileContent::Status::TooLarge);
        const std::size_t grown = std::min(limit, std::max<std::size_t>(2 * capacity, 65536));
        std::unique_ptr<char[]> bigger(new char[grown]);
        std::memcpy(bigger.get(), result.text.get(), result.length);
        result.text = std::move(bigger);
        capacity = grown;
      }
      const long long got = read(result.text.get() + result.length, capacity - result.length);
      if (got == 0) break;
      if (got < 0) return FileFailure(FileContent::Status::ReadError, static_cast<int>(-got));
      result.length += static_cast<std::size_t>(got);
    }
  } catch (const std::bad_alloc&) {
    return FileFailure(FileContent::Status::OutOfMemory);
  }
  if (result.length > static_cast<std::size_t>(max_size)) return FileFailure(FileContent::Status::TooLarge);
  return result;
}

}  // namespace ql
