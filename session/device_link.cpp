#include "session/device_link.h"

#include <cstdio>
#include <utility>

namespace ql {

namespace {

constexpr std::string_view kCaptionConnect = "Connect";
constexpr std::string_view kCaptionWaiting = "Waiting... Disconnect";
constexpr std::string_view kCaptionDisconnect = "Disconnect";

// A step awaited the blocking way: done on return (the loop runs until it
// is, should a wait of it suspend after all).
template <typename T>
T Finished(EventLoop& loop, Task<T>& task) {
  while (!task.done()) loop.process_events(loop.now() + from_ms(1000));
  return task.result();
}

}  // namespace

std::string DeviceName(TJvHidDevice& HidDev) {
  std::string text = HidDev.ProductText();
  if (text.empty()) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "Device VID=%.4X PID=%.4X",
                  static_cast<unsigned>(HidDev.VendorID()),
                  static_cast<unsigned>(HidDev.ProductID()));
    text = buffer;
  }
  const std::string serial = HidDev.SerialText();
  if (!serial.empty()) text += " (Serial=" + serial + ")";
  return text;
}

DeviceLink::DeviceLink(EventLoop& loop, HidBackend& backend, Exchange& exchange,
                       DeviceLinkView& view)
    : loop_(loop), exchange_(exchange), view_(view) {
  ctl_ = std::make_unique<TJvHidDeviceController>(loop_, backend);
  ctl_->OnArrival = [this](TJvHidDevice& d) { HidCtlArrival(d); };
  ctl_->OnEnumerate = [this](TJvHidDevice& d, int i) { return HidCtlEnumerate(d, i); };
  ctl_->OnDeviceChange = [this] { HidCtlDeviceChange(); };
  ctl_->OnDeviceDataError = [this](TJvHidDevice& d, std::uint32_t e) {
    HidCtlDeviceDataError(d, e);
  };
  ctl_->OnRemoval = [this](TJvHidDevice& d) { HidCtlRemoval(d); };
  // Sending CMD_RESET makes the restart's removal pass silently.
  exchange_.OnResetSent = [this] { WarnOnRemoval = false; };
}

DeviceLink::~DeviceLink() {
  *alive_ = false;
  // Parked steps go first: their waits end with them.
  steps_.Clear();
  SetCurrent(nullptr);
  session_.reset();
  exchange_.OnResetSent = {};
  // The controller goes first, so that destroying the held devices stops
  // their readers without renewing list slots nobody will read.
  ctl_.reset();
  list_.clear();
}

void DeviceLink::SetCurrent(TJvHidDevice* device) {
  current_ = device;
  exchange_.SetCurrentDevice(device);
}

bool DeviceLink::FailureSeen(SessionFailure failure) const {
  return (failures_seen_ & (1u << static_cast<unsigned>(failure))) != 0;
}

void DeviceLink::SessionStepEnded() {
  if (!rebuild_after_step_) return;
  rebuild_after_step_ = false;
  HidCtlDeviceChange();
}

void DeviceLink::PhaseChanged(SessionPhase phase) {
  if (!connecting_) return;
  switch (phase) {
    case SessionPhase::Connecting:
      view_.SetConnectCaption(kCaptionWaiting);
      view_.SetStartEnabled(false);
      handshaking_ = true;
      break;
    case SessionPhase::Connected:
      view_.SetConnectCaption(kCaptionDisconnect);
      break;
    case SessionPhase::Ready:
    case SessionPhase::Gone:
      view_.SetConnectCaption(kCaptionConnect);
      break;
    default:
      break;
  }
}

std::string DeviceLink::RemovedDeviceName() const {
  return shown_name_.empty() ? removed_name_ : shown_name_;
}

void DeviceLink::HidCtlDeviceChange() {
  // The rebuild runs outside the controller's own rebuild (so that a change
  // during its boot-info request is not dropped) and outside any running
  // wait (its request would discard the answer that wait is waiting for).
  // Changes that come in before it ran are served by the same rebuild.
  if (rebuild_pending_) return;
  rebuild_pending_ = true;
  loop_.post([this, alive = alive_] {
    if (!*alive) return;
    loop_.run_outside_waits([this, alive] {
      if (!*alive) return;
      rebuild_pending_ = false;
      if (session_ && session_->Busy()) {
        rebuild_after_step_ = true;
        return;
      }
      RebuildList();
    });
  });
}

void DeviceLink::RebuildList() { Keep(RebuildSteps()); }

Task<void> DeviceLink::RebuildSteps() {
  rebuild_running_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{rebuild_running_};
  // The held devices are given back; the pointer to the selected one and
  // its session go with them.
  SetCurrent(nullptr);
  session_.reset();
  for (Entry& entry : list_) entry.device.reset();
  list_.clear();
  ctl_->EnumerateDevices();
  Task<void> select = SelectSteps(std::string(BootloaderProductName));
  co_await select;
  ++list_rebuilds_;
  if (connect_after_rebuild_) {
    connect_after_rebuild_ = false;
    rebuild_running_ = false;
    ButtonConnectClick();
  }
}

void DeviceLink::Keep(Task<void> task) { steps_.Keep(loop_, exchange_.BlockingWaits(), std::move(task)); }

bool DeviceLink::HidCtlEnumerate(TJvHidDevice& HidDev, int Idx) {
  Entry entry;
  entry.text = ql::DeviceName(HidDev);
  entry.device = ctl_->ClaimByIndex(Idx);
  list_.push_back(std::move(entry));
  return true;
}

void DeviceLink::HidCtlArrival(TJvHidDevice& /*HidDev*/) {}

void DeviceLink::HidCtlDeviceDataError(TJvHidDevice& /*HidDev*/, std::uint32_t /*Error*/) {}

void DeviceLink::SelectBootloader(std::string_view name) { Keep(SelectSteps(std::string(name))); }

Task<void> DeviceLink::SelectSteps(std::string name) {
  TJvHidDevice* found = nullptr;
  for (Entry& entry : list_) {
    if (!entry.device) continue;
    const bool match =
        Matches ? Matches(*entry.device, name) : entry.device->ProductText() == name;
    if (match) {
      found = entry.device.get();
      break;
    }
  }
  if (session_ && session_->Busy()) co_return;  // never from under a running step
  session_.reset();
  SetCurrent(found);
  if (found == nullptr) co_return;
  session_ = std::make_unique<Session>(exchange_, *found, static_cast<SessionView&>(*this));
  const bool attached = session_->Attach();
  failures_seen_ |= 1u << static_cast<unsigned>(session_->failure());
  if (!attached) {
    // A node that cannot be opened for writing stays selected, so that its
    // holder can say why it is refused.
    if (session_->failure() == SessionFailure::ReportsTooShort) SetCurrent(nullptr);
    co_return;
  }
  Session* session = session_.get();
  Task<bool> boot_info = session->ReadBootInfo();
  const bool read = co_await boot_info;
  // A rebuild while the request was parked may have replaced the session.
  if (session_.get() != session) co_return;
  failures_seen_ |= 1u << static_cast<unsigned>(session_->failure());
  SessionStepEnded();
  if (!read) {
    SetCurrent(nullptr);
    co_return;
  }
  ShowBootInfo();
}

void DeviceLink::ShowBootInfo() {
  const TBootInfo& info = exchange_.BootInfo;
  view_.ShowMcuType(info.McuType);
  view_.ShowDeviceName(info.BootDeviceName);
  shown_name_ = info.BootDeviceName;
  // Never below one report, whatever the record says; the upload refuses
  // block sizes it cannot work with.
  exchange_.ApplyBlockSize();
  view_.SetLinkPicture(1);
  ++boot_info_shown_;
}

void DeviceLink::ButtonConnectClick() {
  if (connecting_) {
    // "Waiting... Disconnect": the click ends the running attempt instead of
    // starting a second one inside it.
    if (handshaking_) exchange_.CancelWaits();
    return;
  }
  if (Connected) {
    if (session_) {
      session_->Disconnect();
    } else {
      exchange_.SendPlainCommand(CMD_RESET);
    }
    Connected = false;
    view_.SetConnectCaption(kCaptionConnect);
    view_.ClearTerminal();
    view_.AppendHistory("Disconnected.");
    return;
  }
  if (loop_.in_wait() && rebuild_running_) {
    // The list rebuild is waiting for a boot-info record: connect once it has
    // its answer, rather than sending a handshake into its wait.
    loop_.run_outside_waits([this, alive = alive_] {
      if (*alive) ButtonConnectClick();
    });
    return;
  }
  if (rebuild_running_) {
    // The same with suspending waits: the rebuild's request is parked.
    connect_after_rebuild_ = true;
    return;
  }

  Keep(ConnectSteps());
}

Task<void> DeviceLink::ConnectSteps() {
  connecting_ = true;
  struct Reset {
    DeviceLink& link;
    ~Reset() {
      link.connecting_ = false;
      link.handshaking_ = false;
    }
  } reset{*this};

  if (current_ == nullptr) {
    Task<void> select = SelectSteps(std::string(BootloaderProductName));
    co_await select;
  }
  if (!exchange_.WaitForDevice() || !session_) {
    view_.AppendHistory("Unable to find device: " + std::string(BootloaderProductName) + ".");
    co_return;
  }
  Task<bool> connect = session_->Connect();
  const bool connected = co_await connect;
  Connected = connected;
  SessionStepEnded();
  view_.SetStartEnabled(true);
}

UploadOutcome DeviceLink::Upload(FlashImage image) {
  Task<UploadOutcome> upload = UploadSteps(std::move(image));
  return Finished(loop_, upload);
}

Task<UploadOutcome> DeviceLink::UploadSteps(FlashImage image) {
  if (!session_) {
    // No bootloader was ever selected: the upload finds no device, and says so.
    co_return RunUpload(exchange_, std::move(image), *this);
  }
  Task<UploadOutcome> upload = session_->Upload(std::move(image));
  const UploadOutcome outcome = co_await upload;
  SessionStepEnded();
  co_return outcome;
}

void DeviceLink::HidCtlRemoval(TJvHidDevice& HidDev) {
  // Only the selected device's departure ends its session: another board
  // that leaves (one a second program has just reset, say) is no concern of
  // this one, whatever its name. With none selected (a silent bootloader the
  // user was told to reset), a bootloader's departure still gets its line;
  // the product string is the cached one, the device can no longer be opened.
  if (current_ != nullptr ? &HidDev != current_
                          : HidDev.ProductText() != BootloaderProductName) {
    return;
  }
  removed_name_ = shown_name_;
  if (session_ && session_->device() == &HidDev) session_->DeviceRemoved();
  SetCurrent(nullptr);
  view_.ShowMcuType(0);
  view_.ShowDeviceName("");
  shown_name_.clear();
  view_.SetLinkPicture(0);
  if (Connected) {
    Connected = false;
    view_.ClearTerminal();
    view_.SetConnectCaption(kCaptionConnect);
    view_.AppendHistory("Device " + removed_name_ + " removed.");
    view_.AppendHistory("Disconnected.");
  } else if (WarnOnRemoval) {
    view_.AppendHistory("Reset device to reenter bootloader mode.");
  } else {
    WarnOnRemoval = true;
  }
}

}  // namespace ql
