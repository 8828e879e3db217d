#pragma once
// The production log's file (cli/production_log.h), each system's own:
// cli/posix/log_file.cpp (O_APPEND, flock), cli/win32/log_file.cpp (writes
// to the end of file, LockFileEx). Several processes append to one file at
// once; each line goes in one write, so lines never interleave.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ql::cli {

class LogFile {
 public:
  // Opens `path` for appending, creating it (mode 0644 before the umask on
  // Linux). nullopt with `error` set to the errno when it cannot.
  static std::optional<LogFile> Open(const std::string& path, int& error);

  LogFile(LogFile&& other) noexcept;
  LogFile& operator=(LogFile&& other) noexcept;
  ~LogFile();

  struct Appended {
    std::size_t written = 0;  // bytes of the line the file took
    int error = 0;            // errno of the write that failed, 0 when none did
    int cut_error = 0;        // errno of taking back a part that went in, 0 when it went
  };
  // Appends `line` under an exclusive lock on the file: only so that taking
  // back a torn line cannot cut into another process's line written after
  // it (the append itself is atomic without it). A line the file took only
  // part of is cut off again.
  Appended Append(std::string_view line);

 private:
  explicit LogFile(std::intptr_t handle) : handle_(handle) {}
  void Close();
  std::intptr_t handle_ = -1;  // the descriptor on Linux, the file's HANDLE on Windows
};

}  // namespace ql::cli
