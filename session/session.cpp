#include "session/session.h"

#include <utility>

#include "core/debug_log.h"

namespace ql {

namespace {

constexpr std::int64_t kBootInfoTimeoutMs = 1000;
constexpr std::int64_t kHandshakeTimeoutMs = 500;

}  // namespace

std::string_view PhaseName(SessionPhase phase) {
  switch (phase) {
    case SessionPhase::Attached: return "attached";
    case SessionPhase::ReadingBootInfo: return "boot-info";
    case SessionPhase::Ready: return "ready";
    case SessionPhase::Connecting: return "connecting";
    case SessionPhase::Connected: return "connected";
    case SessionPhase::Uploading: return "uploading";
    case SessionPhase::Finished: return "finished";
    case SessionPhase::Stopped: return "stopped";
    case SessionPhase::Failed: return "failed";
    case SessionPhase::Gone: return "gone";
  }
  return "unknown";
}

// Marks a step under way; steps do not nest.
struct Session::BusyScope {
  explicit BusyScope(Session& s) : session(s) { session.busy_ = true; }
  ~BusyScope() { session.busy_ = false; }
  Session& session;
};

Session::Session(Exchange& exchange, TJvHidDevice& device, SessionView& view)
    : exchange_(exchange), device_(&device), handler_device_(&device), view_(view) {}

Session::Session(EventLoop& loop, TJvHidDevice& device, SessionView& view, bool blocking_waits)
    : own_exchange_(std::make_unique<Exchange>(loop)),
      exchange_(*own_exchange_),
      device_(&device),
      handler_device_(&device),
      view_(view) {
  exchange_.SetBlockingWaits(blocking_waits);
}

// The device's holder destroys the session before the device.
Session::~Session() {
  if (attached_) handler_device_->SetDataHandler({});
  if (exchange_.CurrentDevice == handler_device_) exchange_.SetCurrentDevice(nullptr);
}

void Session::SetPhase(SessionPhase phase) {
  if (phase == phase_) return;
  phase_ = phase;
  if (DebugEnabled()) DebugLog("session " + handler_device_->PnPInfo().DevicePath() + ": " + std::string(PhaseName(phase)));
  view_.PhaseChanged(phase);
}

bool Session::Attach() {
  if (device_ == nullptr) return false;
  exchange_.SetCurrentDevice(device_);
  if (!device_->CanReadWrite()) {
    device_->SetDataHandler({});
    failure_ = SessionFailure::NoAccess;
    return false;
  }
  // Reports too short for 64 data bytes would cut every packet: such a
  // device is refused, never talked to.
  if (std::string why; !OutputReportUsable(device_->OutputReportByteLength(), &why)) {
    device_->SetDataHandler({});
    exchange_.SetCurrentDevice(nullptr);
    failure_ = SessionFailure::ReportsTooShort;
    view_.AppendHistory(why);
    return false;
  }
  device_->SetDataHandler([this](TJvHidDevice&, std::uint8_t, const std::uint8_t* Data, std::uint16_t Size) {
    exchange_.ShowRead(Data, Size);
  });
  attached_ = true;
  return true;
}

Task<bool> Session::ReadBootInfo() {
  BusyScope busy(*this);
  if (stopped_) {
    failure_ = SessionFailure::Stopped;
    co_return false;
  }
  SetPhase(SessionPhase::ReadingBootInfo);
  exchange_.SendPlainCommand(CMD_BOOT_INFO);
  const WaitResult result = co_await exchange_.Response(CMD_BOOT_INFO, kBootInfoTimeoutMs);
  if (result != WaitResult::WaitOk) {
    if (result == WaitResult::WaitStopped) {
      failure_ = SessionFailure::Stopped;
    } else if (result == WaitResult::WaitWriteStalled) {
      failure_ = SessionFailure::WriteStalled;
      view_.AppendHistory(ReportWaitError(result, view_.DeviceName()));
    } else if (result == WaitResult::WaitNoDevice && device_ == nullptr) {
      failure_ = SessionFailure::Removed;
    } else {
      failure_ = SessionFailure::NotInBootloader;
      view_.AppendHistory("USB HID device is not in bootloader mode.");
      view_.AppendHistory("Reset device.");
    }
    SetPhase(device_ == nullptr ? SessionPhase::Gone : SessionPhase::Failed);
    co_return false;
  }
  // Never below one report, whatever the record says; the upload refuses
  // block sizes it cannot work with.
  exchange_.ApplyBlockSize();
  SetPhase(SessionPhase::Ready);
  co_return true;
}

Task<bool> Session::Connect() {
  BusyScope busy(*this);
  if (stopped_) {
    failure_ = SessionFailure::Stopped;
    co_return false;
  }
  view_.AppendHistory("Waiting MCU response...");
  SetPhase(SessionPhase::Connecting);
  exchange_.SendPlainCommand(CMD_HANDSHAKE_1);
  WaitResult result = co_await exchange_.Response(CMD_HANDSHAKE_1, kHandshakeTimeoutMs);
  // A stop that came with the first answer: the second step is not taken.
  if (result == WaitResult::WaitOk && stopped_) result = WaitResult::WaitStopped;
  if (result == WaitResult::WaitOk) {
    exchange_.SendPlainCommand(CMD_HANDSHAKE_2);
    result = co_await exchange_.Response(CMD_HANDSHAKE_2, kHandshakeTimeoutMs);
  }
  if (result != WaitResult::WaitOk) {
    failure_ = result == WaitResult::WaitStopped        ? SessionFailure::Stopped
               : result == WaitResult::WaitNoDevice     ? SessionFailure::Removed
               : result == WaitResult::WaitWriteStalled ? SessionFailure::WriteStalled
                                                        : SessionFailure::ConnectFailed;
    const std::string line = ReportWaitError(result, view_.DeviceName());
    if (!line.empty()) view_.AppendHistory(line);
    SetPhase(device_ == nullptr ? SessionPhase::Gone : SessionPhase::Ready);
    view_.AppendHistory("Disconnected.");
    co_return false;
  }
  failure_ = SessionFailure::None;
  view_.ClearTerminal();
  view_.AppendHistory("Connected.");
  SetPhase(SessionPhase::Connected);
  co_return true;
}

Task<UploadOutcome> Session::Upload(FlashImage image) {
  BusyScope busy(*this);
  if (stopped_) {
    failure_ = SessionFailure::Stopped;
    co_return UploadOutcome::Stopped;
  }
  SetPhase(SessionPhase::Uploading);
  const UploadOutcome outcome = co_await UploadTask(exchange_, std::move(image), view_);
  switch (outcome) {
    case UploadOutcome::Completed:
      failure_ = SessionFailure::None;
      SetPhase(SessionPhase::Finished);
      break;
    case UploadOutcome::Stopped:
      failure_ = SessionFailure::Stopped;
      SetPhase(SessionPhase::Stopped);
      break;
    case UploadOutcome::Declined:
      failure_ = SessionFailure::Declined;
      SetPhase(SessionPhase::Failed);
      break;
    case UploadOutcome::Refused:
      failure_ = SessionFailure::Refused;
      SetPhase(SessionPhase::Failed);
      break;
    case UploadOutcome::Failed:
      failure_ = device_ == nullptr          ? SessionFailure::Removed
                 : device_->WriteStalled() ? SessionFailure::WriteStalled
                                           : SessionFailure::UploadFailed;
      SetPhase(device_ == nullptr ? SessionPhase::Gone : SessionPhase::Failed);
      break;
  }
  co_return outcome;
}

void Session::Disconnect() {
  exchange_.SendPlainCommand(CMD_RESET);
  SetPhase(SessionPhase::Finished);
}

void Session::DeviceRemoved() {
  device_ = nullptr;
  if (!busy_) SetPhase(SessionPhase::Gone);
  exchange_.SetCurrentDevice(nullptr);
}

}  // namespace ql
