#include "hid/device_link.h"

#include <cstdio>
#include <utility>

namespace ql {

namespace {

constexpr std::string_view kCaptionConnect = "Connect";
constexpr std::string_view kCaptionWaiting = "Waiting... Disconnect";
constexpr std::string_view kCaptionDisconnect = "Disconnect";

constexpr std::int64_t kBootInfoTimeoutMs = 1000;
constexpr std::int64_t kHandshakeTimeoutMs = 500;

}  // namespace

std::string McuItem(std::uint8_t mcu_type) {
  switch (mcu_type) {
    case 1:
      return "<P align=\"center\">PIC16</P>";
    case 2:
      return "<P align=\"center\">PIC18</P>";
    default:
      return {};
  }
}

std::string DeviceItem(std::string_view boot_device_name) {
  if (boot_device_name.empty()) return {};
  return "<P align=\"center\">" + std::string(boot_device_name) + "</P>";
}

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
  SetCurrent(nullptr);
  exchange_.OnResetSent = {};
  // The controller goes first, so that destroying the held devices stops
  // their readers without renewing list slots nobody will read.
  ctl_.reset();
  list_.clear();
}

void DeviceLink::SetCurrent(TJvHidDevice* device) {
  current_ = device;
  exchange_.CurrentDevice = device;
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
      RebuildList();
    });
  });
}

void DeviceLink::RebuildList() {
  rebuild_running_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{rebuild_running_};
  // The held devices are given back; the pointer to the selected one goes with them.
  SetCurrent(nullptr);
  for (Entry& entry : list_) entry.device.reset();
  list_.clear();
  ctl_->EnumerateDevices();
  SelectBootloader(BootloaderProductName);
  ++list_rebuilds_;
}

bool DeviceLink::HidCtlEnumerate(TJvHidDevice& HidDev, int Idx) {
  Entry entry;
  entry.text = DeviceName(HidDev);
  entry.device = ctl_->ClaimByIndex(Idx);
  list_.push_back(std::move(entry));
  return true;
}

void DeviceLink::HidCtlArrival(TJvHidDevice& /*HidDev*/) {}

void DeviceLink::HidCtlDeviceDataError(TJvHidDevice& /*HidDev*/, std::uint32_t /*Error*/) {}

void DeviceLink::SelectBootloader(std::string_view name) {
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
  SetCurrent(found);
  if (found == nullptr) return;
  if (!found->CanReadWrite()) {
    found->SetDataHandler({});
    return;
  }
  // Reports too short for 64 data bytes would cut every packet: such a
  // device is refused, never talked to.
  if (std::string why; !OutputReportUsable(found->OutputReportByteLength(), &why)) {
    found->SetDataHandler({});
    SetCurrent(nullptr);
    view_.AppendHistory(why);
    return;
  }
  found->SetDataHandler([this](TJvHidDevice&, std::uint8_t, const std::uint8_t* Data,
                               std::uint16_t Size) { exchange_.ShowRead(Data, Size); });
  exchange_.SendPlainCommand(CMD_BOOT_INFO);
  const WaitResult result = exchange_.WaitForResponse(CMD_BOOT_INFO, kBootInfoTimeoutMs);
  if (result != WaitResult::WaitOk) {
    if (result != WaitResult::WaitStopped) {
      view_.AppendHistory("USB HID device is not in bootloader mode.");
      view_.AppendHistory("Reset device.");
    }
    SetCurrent(nullptr);
    return;
  }
  ShowBootInfo();
}

void DeviceLink::ShowBootInfo() {
  const TBootInfo& info = exchange_.BootInfo;
  view_.SetMcuItem(McuItem(info.McuType));
  view_.SetDeviceItem(DeviceItem(info.BootDeviceName));
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
    exchange_.SendPlainCommand(CMD_RESET);
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

  connecting_ = true;
  struct Reset {
    DeviceLink& link;
    ~Reset() {
      link.connecting_ = false;
      link.handshaking_ = false;
    }
  } reset{*this};

  if (current_ == nullptr) SelectBootloader(BootloaderProductName);
  if (!exchange_.WaitForDevice()) {
    view_.AppendHistory("Unable to find device: " + std::string(BootloaderProductName) + ".");
    return;
  }
  view_.AppendHistory("Waiting MCU response...");
  view_.SetConnectCaption(kCaptionWaiting);
  view_.SetStartEnabled(false);
  handshaking_ = true;

  exchange_.SendPlainCommand(CMD_HANDSHAKE_1);
  WaitResult result = exchange_.WaitForResponse(CMD_HANDSHAKE_1, kHandshakeTimeoutMs);
  if (result == WaitResult::WaitOk) {
    exchange_.SendPlainCommand(CMD_HANDSHAKE_2);
    result = exchange_.WaitForResponse(CMD_HANDSHAKE_2, kHandshakeTimeoutMs);
  }
  if (result != WaitResult::WaitOk) {
    const std::string line = ReportWaitError(result, RemovedDeviceName());
    if (!line.empty()) view_.AppendHistory(line);
    view_.SetConnectCaption(kCaptionConnect);
    view_.AppendHistory("Disconnected.");
  } else {
    Connected = true;
    view_.ClearTerminal();
    view_.AppendHistory("Connected.");
    view_.SetConnectCaption(kCaptionDisconnect);
  }
  view_.SetStartEnabled(true);
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
  SetCurrent(nullptr);
  view_.SetMcuItem("");
  view_.SetDeviceItem("");
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
