// The terminal, paths and the command line on Linux.
#include <limits.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/console.h"

namespace ql::cli {

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

bool DrawsRows(int fd) { return IsTerminal(fd); }

int TerminalColumns(int fd) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0) return ws.ws_col;
  return 0;
}

std::string AbsolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

void SetBinaryOutput(int) {}

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv, argv + argc}; }

}  // namespace ql::cli
