// What the production log's file does alike on every system: it owns its
// handle (-1 for none); opening, writing and closing are each system's own.
#include "cli/log_file.h"

#include <utility>

namespace ql::cli {

LogFile::LogFile(LogFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

LogFile& LogFile::operator=(LogFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

LogFile::~LogFile() { Close(); }

}  // namespace ql::cli
