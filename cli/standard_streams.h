#pragma once
// stderr and (with --json) stdout of `quelloader-cli flash`, each through an
// output channel of its own, so that neither a terminal on hold nor a pipe
// whose reader has stopped holds up a board. A stdout that can no longer be
// written (its reader gone, a full disk) ends the JSON events with one line
// on stderr; the boards carry on.

#include <functional>
#include <optional>
#include <string>

#include "cli/output_channel.h"
#include "core/event_loop.h"

namespace ql::cli {

class StandardStreams {
 public:
  // `json`: stdout carries JSON events (their drop notice is an event too).
  StandardStreams(EventLoop& loop, bool json);
  StandardStreams(const StandardStreams&) = delete;
  StandardStreams& operator=(const StandardStreams&) = delete;

  OutputChannel& err() { return err_; }
  // Null without `json`.
  OutputChannel* out() { return out_ ? &*out_ : nullptr; }

  // Where a line about the streams goes: the board rows or the console, so a
  // terminal's rows stay right. Until set, straight into stderr's channel.
  std::function<void(const std::string&)> say;

  // The end of a run: both drained (true), or given up once `abandon()`
  // holds (false), checked after every event of the loop.
  bool Finish(const std::function<bool()>& abandon);

 private:
  void StdoutFailed(int error);

  OutputChannel err_;
  std::optional<OutputChannel> out_;
};

// The line that says stdout failed with `error`.
std::string StdoutFailureText(int error);

}  // namespace ql::cli
