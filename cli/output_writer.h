#pragma once
// The writes an output channel's writer thread waits in (cli/output_channel.h),
// each system's own: cli/posix/output_writer.cpp (poll() on the descriptor and
// an eventfd), cli/win32/output_writer.cpp (WriteFile on the descriptor's
// handle, cancelled from another thread).

#include <cstddef>
#include <memory>
#include <string_view>

namespace ql::cli {

class OutputWriter {
 public:
  // Write()'s result once Interrupt() has been called.
  static constexpr int kInterrupted = -1;
  // Whole pieces are gathered into writes of at most this size: a pipe takes
  // that much in one piece, so when stdout and stderr share one pipe (2>&1) a
  // line of one never lands inside a line of the other.
  static const std::size_t kChunk;

  // For `fd`, which stays open and the caller's. Throws std::system_error
  // when the writer cannot be set up.
  explicit OutputWriter(int fd);
  ~OutputWriter();
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // On the writer thread: writes all of `data`, waiting as long as the
  // descriptor takes. 0, the errno of the write that failed, or kInterrupted.
  int Write(std::string_view data);
  // From another thread: ends a Write() that waits, and every later one.
  void Interrupt();

 private:
  struct System;
  std::unique_ptr<System> system_;
};

}  // namespace ql::cli
