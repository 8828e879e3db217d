#pragma once
// The HID device controller: keeps one device object per present HID
// interface, rebuilds that list on every device-tree change (all removals from
// the end of the list backwards, then all arrivals, then one OnDeviceChange),
// and lets its owner claim devices and give them back.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "hid/hid_backend.h"
#include "hid/hid_device.h"

namespace ql {

using TJvHidEnumerateEvent = std::function<bool(TJvHidDevice& HidDev, int Idx)>;

class TJvHidDeviceController {
 public:
  // Posts itself one device-change notification: the first rebuild runs when
  // the event loop delivers it. Starts watching the backend for changes.
  TJvHidDeviceController(EventLoop& loop, HidBackend& backend);
  // Claimed devices are unplugged and left to their holders; the rest go.
  ~TJvHidDeviceController();
  TJvHidDeviceController(const TJvHidDeviceController&) = delete;
  TJvHidDeviceController& operator=(const TJvHidDeviceController&) = delete;

  // ---- Events (empty when not set), in their published order ---------------
  TJvHidPlugEvent OnArrival;
  TJvHidEnumerateEvent OnEnumerate;
  std::function<void()> OnDeviceChange;
  TJvHidDataEvent OnDeviceData;
  TJvHidDataErrorEvent OnDeviceDataError;
  TJvHidPlugEvent OnDeviceUnplug;
  TJvHidPlugEvent OnRemoval;

  static constexpr const char* Version = "1.0.34";

  // Rebuilds the list and raises the events.
  void DeviceChange();
  // Hands every present device to OnEnumerate with its index; stops after the
  // first false. Returns how many were handed over.
  int EnumerateDevices();
  // Null when `Idx` is outside the list or the device there is claimed.
  // Otherwise the holder owns it until it destroys it (giving it back).
  std::unique_ptr<TJvHidDevice> ClaimByIndex(int Idx);

  // A device-change notification; `param` -1 is the one posted at creation.
  // Dropped while a rebuild runs.
  void Notify(std::int64_t param);

  int DevThreadSleepTime() const { return dev_thread_sleep_time_; }
  void SetDevThreadSleepTime(int ms);

  // ---- Inspection ------------------------------------------------------------
  int Count() const { return static_cast<int>(list_.size()); }
  TJvHidDevice* Device(int Idx) const;
  bool Rebuilding() const { return rebuilding_; }
  int UnclaimedCount() const { return unclaimed_; }
  int ClaimedCount() const { return claimed_; }
  int UnpluggedCount() const { return unplugged_; }

 private:
  friend class TJvHidDevice;

  struct Slot {
    TJvHidDevice* device = nullptr;
    std::unique_ptr<TJvHidDevice> owned;  // empty while claimed
  };

  // The controller's side of destroying a device.
  void GiveBack(TJvHidDevice& device, TJvHidDataEvent data_handler,
                TJvHidPlugEvent unplug_handler, int sleep_time);
  std::vector<std::unique_ptr<TJvHidDevice>> EnumeratePresent();
  // Gives a listed device what a fresh object for the same interface found
  // (access, strings); true when that differs from what it had.
  bool TakeOverChanges(TJvHidDevice& listed, TJvHidDevice& fresh);
  void Recount();

  EventLoop& loop_;
  HidBackend& backend_;
  std::vector<Slot> list_;
  bool rebuilding_ = false;
  std::int64_t last_param_ = 0;
  // What the platform asked the next rebuild to look at again.
  HidChange pending_change_;
  int dev_thread_sleep_time_ = 100;
  int unclaimed_ = 0;
  int claimed_ = 0;
  int unplugged_ = 0;
  // Guards the posted first notification against a controller already gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ql
