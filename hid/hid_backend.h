#pragma once
// The platform side of the HID transport: which HID interfaces are present,
// opening one, writing an output report, a background reader of input
// reports, and device-tree change notifications. The Linux backend talks to
// hidraw and udev; the virtual backend lets tests plug simulated devices.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/event_loop.h"

namespace ql {

// One HID interface as enumeration finds it.
struct HidInterfaceInfo {
  // Identity that stays the same while the interface is attached (the udev
  // syspath on Linux); rebuilds recognise interfaces by it.
  std::string identity;
  // The path every open uses (/dev/hidrawN on Linux).
  std::string path;
  // The platform has not finished setting the interface up (udev's rules,
  // and with them its permissions, are still to come). It is announced
  // again when it has: see HidChange::revisit.
  bool settling = false;
  // The USB port the device hangs on, as the kernel names it ("1-2.3": bus 1,
  // port 2 of the root hub, port 3 of the hub there); "" when it is on no USB
  // port (a virtual or uhid device). Unlike the path it stays the same across
  // resets, so it names a board on a hub of boards alike.
  std::string port;
};

// What the platform said about a change of the device tree.
struct HidChange {
  // Interfaces (by identity) announced anew while they may already be
  // listed: set up at last, or changed in their access or strings (udev's
  // add, change or bind). A listed one is looked at again.
  std::set<std::string> revisit;
  // Announcements were lost: every listed interface is looked at again.
  bool revisit_all = false;

  void Merge(const HidChange& other) {
    revisit.insert(other.revisit.begin(), other.revisit.end());
    revisit_all = revisit_all || other.revisit_all;
  }
  bool Revisits(const std::string& identity) const {
    return revisit_all || revisit.count(identity) != 0;
  }
};

// Report lengths, each counting the report-ID byte.
struct HidReportCaps {
  std::uint16_t InputReportByteLength = 0;
  std::uint16_t OutputReportByteLength = 0;
};

struct HidAttributes {
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
  std::uint16_t VersionNumber = 0;
};

// The serial number as the platform reports it, with the device's string
// descriptor 0 (its language-ID list; std::nullopt when the device does not
// answer it). Where the platform has already read the serial with the
// device's own language (Linux publishes a serial only then),
// `platform_checked` is set and there is nothing to compare.
struct HidSerialQuery {
  std::u16string serial;
  std::optional<std::vector<std::uint16_t>> language_ids;
  bool platform_checked = false;
};

// An open interface ("handle"). Closing is destruction.
class HidHandle {
 public:
  virtual ~HidHandle() = default;
  // Whether the handle was opened for reading and writing (else query only).
  virtual bool read_write() const = 0;
  virtual std::optional<HidAttributes> GetAttributes() = 0;
  virtual std::optional<std::u16string> GetProductString() = 0;
  virtual std::optional<HidSerialQuery> GetSerialNumberString() = 0;
  virtual std::optional<HidReportCaps> GetCaps() = 0;
  // One output report, byte 0 the report ID. Blocks until taken; true on success.
  virtual bool Write(std::span<const std::uint8_t> report) = 0;
};

// What a reader hands to the event thread: one input report (byte 0 the
// report ID), or the error code of a read that could not be done.
struct HidReaderCallbacks {
  std::function<void(std::span<const std::uint8_t> report)> on_report;
  std::function<void(std::uint32_t error)> on_error;
};

// A running background reader. Its callbacks run on the event thread, one at
// a time, and the reader waits for each to return before reading again.
// Destroying it stops it; no callback runs after the destructor returned.
class HidReader {
 public:
  virtual ~HidReader() = default;
  // Event thread: whether an input report has been received and not yet
  // handed over: in the platform's queue, being read, or waiting for the
  // event thread. A wait whose deadline has passed takes such a report first.
  virtual bool Pending() const { return false; }
};

// How long a device may take to accept one output report. Each report goes
// out in one USB frame (1 ms) when the device listens; one that is not taken
// in this time means the device has stopped listening, and its board fails
// alone instead of holding up the others.
inline constexpr Micros kHidWriteTimeLimit = from_ms(1000);

// What a writer tells the event thread: the end of each report submitted, in
// order (true when the device took it).
struct HidWriterCallbacks {
  std::function<void(bool ok)> on_written;
};

// Writes output reports in the background, in order and one at a time, so
// that a write the device does not take holds up no one but its own board.
// Destroying it lets what is queued go out first, unless the write under way
// has taken longer than kHidWriteTimeLimit; no callback runs after the
// destructor returned.
class HidWriter {
 public:
  virtual ~HidWriter() = default;
  virtual void Submit(std::vector<std::uint8_t> report) = 0;
};

// A writer on a thread of its own over `handle` (opened for reading and
// writing), whose Write blocks until the device took the report.
std::unique_ptr<HidWriter> StartThreadedWriter(std::unique_ptr<HidHandle> handle, EventLoop& loop,
                                               HidWriterCallbacks callbacks);

class HidBackend {
 public:
  virtual ~HidBackend() = default;

  // The present HID interfaces, in platform order.
  virtual std::vector<HidInterfaceInfo> Enumerate() = 0;

  // Opens for reading and writing (`read_write`) or for queries only. Returns
  // null and sets `error` (an errno value) when the interface cannot be opened.
  virtual std::unique_ptr<HidHandle> Open(const HidInterfaceInfo& info, bool read_write,
                                          int* error) = 0;

  // Starts a reader on the interface; `input_length` is the caps'
  // InputReportByteLength and `sleep_ms` the step in which it notices a stop.
  virtual std::unique_ptr<HidReader> StartReader(const HidInterfaceInfo& info,
                                                 EventLoop& loop,
                                                 std::uint16_t input_length,
                                                 int sleep_ms,
                                                 HidReaderCallbacks callbacks) = 0;

  // Starts a writer on the interface; null when it cannot be opened for
  // writing. By default a thread of its own over a read-write handle.
  virtual std::unique_ptr<HidWriter> StartWriter(const HidInterfaceInfo& info, EventLoop& loop,
                                                 HidWriterCallbacks callbacks);

  // Calls `changed` on the event thread whenever the set of HID interfaces,
  // or what one of them offers, may have changed, until StopWatching(). One
  // watcher at a time.
  virtual void WatchChanges(EventLoop& loop, std::function<void(const HidChange&)> changed) = 0;
  virtual void StopWatching() = 0;
};

// UTF-16 <-> UTF-8 for the strings devices report.
std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);

}  // namespace ql
