#pragma once
// Output that never holds up the event thread. Every board's exchange runs on
// that one thread, so a write to stdout or stderr that blocks (a pipe whose
// reader has stopped, a terminal on hold) would stall every board at once.
// The event thread hands its text to a channel and goes on; a writer thread
// of the channel's own does the blocking writes, in order.
//
// A reader that stays away must not make the queue grow without end:
// - Keep text (a board's result, board-lost, the summary, the final table) is
//   never dropped;
// - Ordinary text (history lines, phase events, -v packets) waits up to a
//   bound in bytes; beyond it, it is dropped and counted, and a notice with
//   the count is written where the output flows again;
// - "latest" text under a key (a board's progress) replaces the entry of the
//   same key still waiting, so a stalled reader never piles them up.
//
// The descriptor is not made non-blocking: its open file description is
// shared with the shell and the terminal. A write that fails (EPIPE with
// SIGPIPE ignored, ENOSPC, EFBIG with SIGXFSZ ignored, EIO) ends the channel:
// nothing more is written, and the error is reported once on the event thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/event_loop.h"

namespace ql::cli {

enum class OutputKind {
  Keep,      // never dropped
  Ordinary,  // dropped beyond the channel's bound, with a notice
};

class OutputChannel {
 public:
  struct Options {
    // Bytes of Ordinary text that may wait; more is dropped.
    std::size_t ordinary_bound = std::size_t{4} << 20;
    // The notice written in place of `dropped` Ordinary pieces (called on the
    // writer thread). None: the pieces go without a word.
    std::function<std::string(std::uint64_t dropped)> drop_notice;
  };

  // Writes to `fd`, which stays open and the caller's. `on_error` runs once on
  // `loop`'s thread with the errno of the write that failed. The loop must
  // outlive the channel.
  OutputChannel(int fd, EventLoop& loop, Options options, std::function<void(int error)> on_error = {});
  // Waits until everything handed over is written (or the channel failed);
  // after Abandon() or an abandoned Finish(), returns at once.
  ~OutputChannel();
  OutputChannel(const OutputChannel&) = delete;
  OutputChannel& operator=(const OutputChannel&) = delete;

  // Queues `text`. False when it will not be written: Ordinary text beyond the
  // bound, or a channel that has failed or been abandoned.
  bool Write(OutputKind kind, std::string text);
  // Queues `text` under `key`: an entry of the same key not yet written is
  // taken out, and this one goes to the end of the queue.
  bool WriteLatest(const std::string& key, std::string text);

  // Bytes handed over and not yet written (queued or being written).
  std::size_t backlog() const;
  // The errno of the write that failed, 0 while none has.
  int error() const;
  bool failed() const { return error() != 0; }
  // Ordinary pieces dropped so far.
  std::uint64_t dropped() const;

  // Calls `fn` once, on the event thread, the next time the backlog is 0
  // (at once, through the loop, if it is 0 now). A later call replaces an
  // earlier one that has not run; an empty `fn` cancels it.
  void NotifyWhenDrained(std::function<void()> fn);

  // The end of a run: runs `loop` until everything queued is written (true)
  // or the channel fails (true: there is nothing left it could write), or
  // until `abandon()` holds (false; what is still queued is then lost and the
  // writer let go). `abandon` is checked after every event, so a stop signal
  // seen by the loop ends the wait.
  bool Finish(const std::function<bool()>& abandon);
  // Gives up what is queued and lets the writer go, without waiting for it.
  void Abandon();

 private:
  struct State;
  static void Run(std::shared_ptr<State> state);

  EventLoop& loop_;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace ql::cli
