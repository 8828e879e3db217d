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
#include "image/flash_image.h"
#include "protocol/exchange.h"
#include "session/kept_tasks.h"
#include "session/session.h"
#include "upload/upload_engine.h"

namespace ql {

// What the link shows; the window implements it (the command line too). It
// is the view of the selected bootloader's session as well: the upload's
// lines, terminal and progress reach it through the link.
class DeviceLinkView : public SessionView {
 public:
  // MCU Type box: emptied, then the family `mcu_type` stands for shown
  // (1 PIC16, 2 PIC18; any other value leaves it empty).
  virtual void ShowMcuType(std::uint8_t mcu_type) = 0;
  // Device box: emptied, then the bootloader's device name shown ("" none).
  virtual void ShowDeviceName(std::string_view boot_device_name) = 0;
  // LinkIndicator picture: 0 no bootloader, 1 a bootloader answered.
  virtual void SetLinkPicture(int picture) = 0;
  // Caption of ButtonConnect: "Connect", "Waiting... Disconnect", "Disconnect".
  virtual void SetConnectCaption(std::string_view caption) = 0;
  // Whether ButtonStartBootloader is enabled.
  virtual void SetStartEnabled(bool enabled) = 0;
};

// List text of a device: its product string, or "Device VID=%.4X PID=%.4X",
// then " (Serial=%s)" when it has a serial number.
std::string DeviceName(TJvHidDevice& HidDev);

class DeviceLink final : private SessionView {
 public:
  // Creates the controller HidCtl on `backend` (its first rebuild runs when
  // the loop next processes events) and takes over exchange.OnResetSent.
  DeviceLink(EventLoop& loop, HidBackend& backend, Exchange& exchange, DeviceLinkView& view);
  // Gives every held device back (stopping its reader) before the controller goes.
  ~DeviceLink() override;
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
  // The selected bootloader's session, or null (kept after its device left,
  // until the next selection).
  Session* session() const { return session_.get(); }
  // Whether a selection has met a bootloader that failed this way (a
  // silent one, one whose reports are too short) since the link started.
  bool FailureSeen(SessionFailure failure) const;

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
  // The upload into the connected bootloader (the window's Begin uploading,
  // the command line's flash), through its session: awaited the blocking
  // way, or as a step of its caller.
  UploadOutcome Upload(FlashImage image);
  Task<UploadOutcome> UploadSteps(FlashImage image);
  // Steps of connects and rebuilds still parked (suspending waits only).
  std::size_t StepsRunning() const { return steps_.running(); }
  // A stop request for the running step.
  void Stop() { exchange_.CancelWaits(); }

 private:
  // Connects, selections and rebuilds are steps: with blocking waits they
  // end inside the call that starts them; with suspending waits (the
  // browser) they park and the link keeps them.
  void RebuildList();
  Task<void> RebuildSteps();
  Task<void> SelectSteps(std::string name);
  Task<void> ConnectSteps();
  void Keep(Task<void> task);
  void SetCurrent(TJvHidDevice* device);
  void SessionStepEnded();

  // ---- SessionView: the session's events, shown through view_ --------------
  void AppendHistory(std::string_view line) override { view_.AppendHistory(line); }
  void AppendTerminal(std::string_view line) override { view_.AppendTerminal(line); }
  void ProgressSetMax(std::int64_t max) override { view_.ProgressSetMax(max); }
  void ProgressStep() override { view_.ProgressStep(); }
  bool AskBootloaderArea() override { return view_.AskBootloaderArea(); }
  void FinishUpload() override { view_.FinishUpload(); }
  std::string DeviceName() override { return RemovedDeviceName(); }
  void ClearTerminal() override { view_.ClearTerminal(); }
  void PhaseChanged(SessionPhase phase) override;

  EventLoop& loop_;
  Exchange& exchange_;
  DeviceLinkView& view_;
  std::vector<Entry> list_;
  std::unique_ptr<TJvHidDeviceController> ctl_;
  TJvHidDevice* current_ = nullptr;
  std::unique_ptr<Session> session_;
  unsigned failures_seen_ = 0;
  // A rebuild that came while the session was in a step runs when it ends:
  // it would send a boot-info request into the step (into a write command,
  // as data) and take the device from under it.
  bool rebuild_after_step_ = false;
  bool connecting_ = false;
  bool handshaking_ = false;
  bool rebuild_pending_ = false;
  bool rebuild_running_ = false;
  bool connect_after_rebuild_ = false;
  std::string shown_name_;
  std::string removed_name_;
  int boot_info_shown_ = 0;
  int list_rebuilds_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  KeptTasks steps_;
};

}  // namespace ql
