#pragma once
// Pipes and files for the tests of the command line's writers, on Linux and
// Windows alike: a pipe whose writer can be held back (filled first, so that
// every later write waits for the reader) and a file opened for writing.

#include <fcntl.h>

#include <cstddef>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#endif

namespace ql::test {

// A pipe whose buffer takes `size` bytes (by default the smallest the system
// gives, a page), both ends in binary mode. False when it cannot be made.
inline bool MakePipe(int fds[2], unsigned size = 4096) {
#ifdef _WIN32
  return ::_pipe(fds, size, _O_BINARY | _O_NOINHERIT) == 0;
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(size));
  return true;
#endif
}

// Fills the pipe whose write end is `fd` with NUL bytes, without waiting; the
// count written.
inline std::size_t FillPipe(int fd) {
  const std::string zeros(4096, '\0');
  std::size_t filled = 0;
#ifdef _WIN32
  // Through a moment in which the pipe does not wait for its reader.
  const HANDLE pipe = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD mode = PIPE_NOWAIT;
  ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  for (DWORD n = 0; ::WriteFile(pipe, zeros.data(), static_cast<DWORD>(zeros.size()), &n, nullptr) && n > 0;) {
    filled += n;
  }
  mode = PIPE_WAIT;
  ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
#else
  // Through a non-blocking moment of its own.
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  for (ssize_t n; (n = ::write(fd, zeros.data(), zeros.size())) > 0 || (n < 0 && errno == EINTR);) {
    if (n > 0) filled += static_cast<std::size_t>(n);
  }
  ::fcntl(fd, F_SETFL, flags);
#endif
  return filled;
}

// `path` created (or emptied) and opened for writing bytes as they are.
inline int OpenForWriting(const std::string& path) {
#ifdef _WIN32
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
#else
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
#endif
}

}  // namespace ql::test
