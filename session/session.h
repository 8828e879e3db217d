#pragma once
// One upload session per bootloader: it owns that board's exchange (its
// buffer, its deadlines, the reader's hand-over) and runs boot info, connect,
// upload and reset on it, reporting typed state to whatever views it: the
// window's device link, the command line, a test. It knows its own device
// only: another board's removal, reset or time-out cannot reach it, so many
// sessions can run side by side on one event loop.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/event_loop.h"
#include "core/task.h"
#include "hid/hid_device.h"
#include "image/flash_image.h"
#include "protocol/exchange.h"
#include "upload/upload_engine.h"

namespace ql {

enum class SessionPhase {
  Attached,         // bound to its device, nothing asked yet
  ReadingBootInfo,  // the boot-info request is out
  Ready,            // boot info read; not connected
  Connecting,       // the handshake is under way
  Connected,
  Uploading,
  Finished,  // the upload completed and the reset went out (or a disconnect reset it)
  Stopped,   // a stop request ended the upload
  Failed,    // see failure()
  Gone,      // the device left the bus
};

// Why a session did not get where it was asked to go.
enum class SessionFailure {
  None,
  NoAccess,         // the device could not be opened for reading and writing
  ReportsTooShort,  // its output reports cannot hold a packet
  NotInBootloader,  // no boot-info record came
  ConnectFailed,    // the handshake was not answered
  Removed,          // the device left during a step
  Refused,          // boot info or image unusable for the upload
  Declined,         // No at the bootloader-area question
  UploadFailed,     // a wait of the upload failed
  Stopped,          // a stop request
  WriteStalled,     // the device stopped taking reports
};

std::string_view PhaseName(SessionPhase phase);

// What a session's view is told: its history lines, the upload's terminal
// lines and progress, the bootloader-area question, and its phase changes.
// Only the history lines must be shown; the rest defaults to nothing (and
// the question to No).
class SessionView : public UploadUi {
 public:
  void AppendTerminal(std::string_view) override {}
  void ProgressSetMax(std::int64_t) override {}
  void ProgressStep() override {}
  bool AskBootloaderArea() override { return false; }
  void FinishUpload() override {}
  std::string DeviceName() override { return {}; }
  virtual void PhaseChanged(SessionPhase phase) { (void)phase; }
  virtual void ClearTerminal() {}
};

class Session {
 public:
  // A session on the exchange of its holder (the window keeps one exchange
  // across the devices it selects, with blocking waits).
  Session(Exchange& exchange, TJvHidDevice& device, SessionView& view);
  // A session with its own exchange; `blocking_waits` false lets it run beside
  // other sessions on the same loop.
  Session(EventLoop& loop, TJvHidDevice& device, SessionView& view, bool blocking_waits);
  // Takes its data handler off the device and lets go of the exchange.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Installs the reader that feeds the exchange, when the device can be
  // talked to: it must open for reading and writing (NoAccess) and carry 64
  // data bytes per report (ReportsTooShort, with its history line).
  bool Attach();
  // The boot-info request. False: NotInBootloader (with its two lines), Removed
  // or Stopped (quietly).
  Task<bool> ReadBootInfo();
  // The two-step handshake, with its history lines.
  Task<bool> Connect();
  // The upload of `image` (see UploadTask). The outcome says how it ended.
  Task<UploadOutcome> Upload(FlashImage image);
  // The Disconnect click: the reset that ends the connection.
  void Disconnect();
  // A stop request: the running step ends as the upload's stop rules say.
  // It holds for the session's later steps too: one that comes after a
  // step's answer, before the next step begins, keeps that step from
  // starting (the board is in step, nothing more is sent).
  void Stop() {
    stopped_ = true;
    exchange_.CancelWaits();
  }
  bool StopRequested() const { return stopped_; }
  // The device has left the bus: a running wait ends with WaitNoDevice.
  void DeviceRemoved();

  SessionPhase phase() const { return phase_; }
  SessionFailure failure() const { return failure_; }
  bool Busy() const { return busy_; }
  Exchange& exchange() { return exchange_; }
  TJvHidDevice* device() const { return device_; }
  const TBootInfo& BootInfo() const { return exchange_.BootInfo; }

 private:
  void SetPhase(SessionPhase phase);
  struct BusyScope;

  std::unique_ptr<Exchange> own_exchange_;
  Exchange& exchange_;
  TJvHidDevice* device_;           // null once the device has left
  TJvHidDevice* handler_device_;   // where the data handler is installed
  SessionView& view_;
  SessionPhase phase_ = SessionPhase::Attached;
  SessionFailure failure_ = SessionFailure::None;
  bool busy_ = false;
  bool attached_ = false;
  bool stopped_ = false;
};

}  // namespace ql
