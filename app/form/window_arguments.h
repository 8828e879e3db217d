#pragma once
// The window's command line, parsed before any display is opened so that
// --help, --version and usage errors work without one.

#include <optional>
#include <string>

namespace ql {

struct WindowArguments {
  std::optional<std::string> file;  // the HEX file to open at start
  std::string simulate;             // preset of a simulated bootloader, or empty
};

struct ParsedWindowArguments {
  // Set when the program ends without a window: 0 after --help or
  // --version, 2 for a usage error.
  std::optional<int> exit_code;
  std::string out;  // what goes to stdout (help, version)
  std::string err;  // what goes to stderr (the usage error)
  WindowArguments args;
};

// What each system's window says of itself: a line after the version (the
// toolkit's) and the help's footer (where the settings live).
struct WindowProgramText {
  std::string version_extra;
  std::string footer;
};

ParsedWindowArguments ParseWindowArguments(int argc, const char* const* argv, const WindowProgramText& text);

}  // namespace ql
