#pragma once
// The debug channel for field reports: with -vv (the command line) or
// QUELLOADER_DEBUG=1 (the window), reader errors, udev monitor failures and
// the sessions' phase changes go to stderr, one timestamped line each.
// Callable from any thread.

#include <functional>
#include <string>
#include <string_view>

namespace ql {

bool DebugEnabled();
void SetDebugEnabled(bool on);
// Turns the channel on when QUELLOADER_DEBUG is set to anything but "" or "0".
void EnableDebugFromEnvironment();
// "2026-12-09T04:01:02.345Z quelloader: TEXT" on stderr, when enabled.
void DebugLog(std::string_view text);
// Where the lines go instead of straight to stderr (the command line's
// stderr channel, so that a stalled reader of stderr holds up no board);
// called from any thread, one line at a time, without its line feed. Empty:
// stderr again.
void SetDebugSink(std::function<void(std::string line)> sink);

}  // namespace ql
