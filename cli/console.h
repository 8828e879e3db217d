#pragma once
// What quelloader-cli writes for the person at the terminal goes through
// BoardRows (cli/board_rows.h); this is the one text rule they share, and
// what each system answers about its terminal, paths and command line
// (cli/posix/console.cpp, cli/win32/console.cpp).

#include <string>
#include <string_view>
#include <vector>

namespace ql::cli {

// Text for a terminal: CR LF pairs become LF.
std::string TerminalText(std::string_view text);

// Whether `fd` is a terminal a person types at or reads (on Windows a
// console: the NUL device is no terminal there, whatever _isatty says).
bool IsTerminal(int fd);
// Whether the board rows can be drawn on `fd`: a terminal that takes the
// cursor-moving escape sequences. A Windows console is asked to take them
// (virtual terminal processing), and keeps its earlier mode after the run.
bool DrawsRows(int fd);
// The columns of the terminal on `fd`; 0 when it is none or does not say.
int TerminalColumns(int fd);

// `path` as an absolute path (links resolved where the system has them), so
// that a record names the file wherever the command was run from; `path`
// itself when it cannot be resolved.
std::string AbsolutePath(const std::string& path);

// `fd` passes bytes as they are (on Windows a descriptor in text mode would
// turn every 0x0A into 0x0D 0x0A).
void SetBinaryOutput(int fd);

// Readies the process's console and returns the command line's arguments as
// UTF-8: on Windows from the UTF-16 command line (the char arguments there
// are in the ANSI code page, which cannot hold every file name), with the
// console's output set to UTF-8.
std::vector<std::string> ProgramArguments(int argc, char** argv);

#ifdef _WIN32
// The arguments of a Windows command line, split by the system's rules and
// converted to UTF-8.
std::vector<std::string> ArgumentsOfCommandLine(std::wstring_view command_line);
#endif

}  // namespace ql::cli
