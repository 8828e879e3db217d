#pragma once
// The exit codes of quelloader-cli, one meaning each, shown in --help.
//
// Scripts and production lines branch on these numbers, so a code is only
// ever added, never removed, renumbered or given another meaning. A new kind
// of failure that fits no existing meaning gets a new number (and a line in
// kExitCodesHelp, the README and the manual page).

#include <string_view>

namespace ql::cli {

enum class ExitCode : int {
  Success = 0,
  Failed = 1,            // the upload or the device failed (or an output could not be written)
  Usage = 2,             // bad command line
  HexRejected = 3,       // the HEX file was rejected: checksum, format, unreadable, too large, no data
  NoDevice = 4,          // no bootloader device found
  PermissionDenied = 5,  // the device exists but may not be opened
  Hangup = 129,          // stopped by SIGHUP (the terminal closed)
  Interrupted = 130,     // stopped by Ctrl+C (SIGINT)
  Terminated = 143,      // stopped by SIGTERM (kill, timeout, systemctl stop)
};

constexpr int ToInt(ExitCode code) { return static_cast<int>(code); }

// The --help footer listing the codes.
inline constexpr std::string_view kExitCodesHelp =
    "Exit codes:\n"
    "  0    success\n"
    "  1    the upload or the device failed\n"
    "  2    usage error\n"
    "  3    the HEX file was rejected (checksum, format, unreadable, too large, no data)\n"
    "  4    no bootloader device found\n"
    "  5    permission denied on the device\n"
#ifdef _WIN32
    "  129  stopped because its console window was closed\n"
    "  130  interrupted (Ctrl+C or Ctrl+Break)\n"
    "  143  stopped because Windows is logging off or shutting down";
#else
    "  129  stopped by SIGHUP (the terminal closed)\n"
    "  130  interrupted (Ctrl+C)\n"
    "  143  stopped by SIGTERM (kill, timeout, systemctl stop)";
#endif

}  // namespace ql::cli
