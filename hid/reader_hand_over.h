#pragma once
// What a reader thread shares with the event thread, on every platform: the
// one input report (or read error) on its way, handed over synchronously, and
// the stop. The reader thread waits until the event thread has run the
// callback before it reads again; stopping runs a hand-over that is waiting,
// so a reader is never left blocked on a loop that is busy stopping it.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/event_loop.h"
#include "hid/hid_backend.h"

namespace ql {

class ReaderHandOver : public std::enable_shared_from_this<ReaderHandOver> {
 public:
  // Shared: hand-overs posted to the loop may outlive the reader.
  static std::shared_ptr<ReaderHandOver> Make(EventLoop& loop, HidReaderCallbacks callbacks);

  // ---- Reader thread ---------------------------------------------------------
  // Hands a report (byte 0 the report ID) or a read's error code to the event
  // thread and waits until its callback ran; false when told to stop first.
  bool Report(std::vector<std::uint8_t> report);
  bool Error(std::uint32_t error);
  // Waits `ms` unless told to stop first; false when told to stop.
  bool Pause(int ms);
  bool Stopping() const;
  // A report is on its way (read or being read) and not yet handed over.
  void SetHolding(bool on);

  // ---- Event thread ----------------------------------------------------------
  // Whether a report has been read and not yet taken by the event thread.
  bool Holding() const;
  // Tells the reader thread to stop and runs a hand-over that is waiting;
  // the caller then wakes and joins the thread.
  void Stop();
  // After the thread ended: nothing runs any more, not even a posted hand-over.
  void Close();

  ReaderHandOver(EventLoop& loop, HidReaderCallbacks callbacks) : loop_(loop), callbacks_(std::move(callbacks)) {}

 private:
  struct Item {
    std::vector<std::uint8_t> report;  // empty: an error
    std::uint32_t error = 0;
  };
  bool HandOver(Item item);
  void RunPending();

  EventLoop& loop_;
  HidReaderCallbacks callbacks_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool holding_ = false;
  std::optional<Item> pending_;
  bool gone_ = false;  // the reader object has been destroyed
};

}  // namespace ql
