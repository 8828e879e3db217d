#pragma once
// The device link: the window's side of the HID transport. It answers the
// controller's events, claims every present HID device, recognises the
// bootloader by its product string, asks it for its boot info, runs the
// connect and disconnect steps behind the Connect button, and reacts when the
// bootloader goes away.
//
// Everything runs on the event thread. The list rebuild (with its boot-info
// request) never runs nested inside a running wait: it is deferred until the
// wait has ended. The removal of the selected device is not deferred: it
// clears CurrentDevice, which ends a running wait with WaitNoDevice at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/bootloader_name.h"
#include "core/event_loop.h"
#include "hid/hid_backend.h"
#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "protocol/exchange.h"

namespace ql {

// What the link shows; the window implements it (the command line too).
class DeviceLinkView {
 public:
  virtual ~DeviceLinkView() = default;
  // MCU Type box: emptied, then `item` added and selected unless it is empty.
  virtual void SetMcuItem(std::string_view item) = 0;
  // Device box: emptied, then `item` added and selected unless it is empty.
  virtual void SetDeviceItem(std::string_view item) = 0;
  // LinkIndicator picture: 0 no bootloader, 1 a bootloader answered.
  virtual void SetLinkPicture(int picture) = 0;
  // Caption of ButtonConnect: "Connect", "Waiting... Disconnect", "Disconnect".
  virtual void SetConnectCaption(std::string_view caption) = 0;
  // Whether ButtonStartBootloader is enabled.
  virtual void SetStartEnabled(bool enabled) = 0;
  virtual void AppendHistory(std::string_view line) = 0;
  virtual void ClearTerminal() = 0;
};

// Items of the two boxes ("" = no item).
std::string McuItem(std::uint8_t mcu_type);
std::string DeviceItem(std::string_view boot_device_name);

// List text of a device: its product string, or "Device VID=%.4X PID=%.4X",
// then " (Serial=%s)" when it has a serial number.
std::string DeviceName(TJvHidDevice& HidDev);

class DeviceLink {
 public:
  // Creates the controller HidCtl on `backend` (its first rebuild runs when
  // the loop next processes events) and takes over exchange.OnResetSent.
  DeviceLink(EventLoop& loop, HidBackend& backend, Exchange& exchange, DeviceLinkView& view);
  // Gives every held device back (stopping its reader) before the controller goes.
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // ---- State the window, the upload and the command line read -------------
  bool Connected = false;
  bool WarnOnRemoval = true;
  // The selected bootloader (also exchange.CurrentDevice), or null.
  TJvHidDevice* CurrentDevice() const { return current_; }
  // True between a Connect click and the end of its handshake.
  bool Connecting() const { return connecting_; }
  // The device name the Device box shows now ("" when empty).
  const std::string& ShownDeviceName() const { return shown_name_; }
  // The name for a "Device ... removed." line: the box's name, or the one it
  // showed before the last removal emptied it.
  std::string RemovedDeviceName() const;
  // Counts the boot-info records shown so far (lets a caller see a new one).
  int BootInfoShownCount() const { return boot_info_shown_; }
  // Counts the completed list rebuilds (each ends with its selection).
  int ListRebuildCount() const { return list_rebuilds_; }

  struct Entry {
    std::string text;
    std::unique_ptr<TJvHidDevice> device;  // null when the claim failed
  };
  const std::vector<Entry>& HidDeviceList() const { return list_; }
  TJvHidDeviceController& HidCtl() { return *ctl_; }
  Exchange& exchange() { return exchange_; }

  // Replaces the product-string test of SelectBootloader (the command line's
  // --path and --serial). Empty: the product string must equal `name` exactly.
  std::function<bool(TJvHidDevice& HidDev, std::string_view name)> Matches;

  // ---- Controller events ----------------------------------------------------
  void HidCtlDeviceChange();
  bool HidCtlEnumerate(TJvHidDevice& HidDev, int Idx);
  void HidCtlRemoval(TJvHidDevice& HidDev);
  void HidCtlArrival(TJvHidDevice& HidDev);
  void HidCtlDeviceDataError(TJvHidDevice& HidDev, std::uint32_t Error);

  // ---- Operations ------------------------------------------------------------
  void SelectBootloader(std::string_view name);
  void ShowBootInfo();
  // Connect, or disconnect when Connected. A click while a connect attempt
  // waits ("Waiting... Disconnect") cancels that attempt.
  void ButtonConnectClick();

 private:
  void RebuildList();
  void SetCurrent(TJvHidDevice* device);

  EventLoop& loop_;
  Exchange& exchange_;
  DeviceLinkView& view_;
  std::vector<Entry> list_;
  std::unique_ptr<TJvHidDeviceController> ctl_;
  TJvHidDevice* current_ = nullptr;
  bool connecting_ = false;
  bool handshaking_ = false;
  bool rebuild_pending_ = false;
  bool rebuild_running_ = false;
  std::string shown_name_;
  std::string removed_name_;
  int boot_info_shown_ = 0;
  int list_rebuilds_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ql
