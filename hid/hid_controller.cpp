#include "hid/hid_controller.h"

#include <algorithm>
#include <utility>

namespace ql {

TJvHidDeviceController::TJvHidDeviceController(EventLoop& loop, HidBackend& backend)
    : loop_(loop), backend_(backend) {
  // Nothing is enumerated during creation: the first rebuild runs when the
  // loop delivers this notification, after the owner has set its handlers.
  loop_.post([this, alive = alive_] {
    if (*alive) Notify(-1);
  });
  backend_.WatchChanges(loop_, [this, alive = alive_](const HidChange& change) {
    if (!*alive) return;
    // Kept until a rebuild has looked: a notification dropped while one
    // runs must not lose what the next one is to look at again.
    pending_change_.Merge(change);
    Notify(0);
  });
}

TJvHidDeviceController::~TJvHidDeviceController() {
  *alive_ = false;
  OnArrival = {};
  OnEnumerate = {};
  OnDeviceChange = {};
  OnDeviceData = {};
  OnDeviceDataError = {};
  OnDeviceUnplug = {};
  OnRemoval = {};
  backend_.StopWatching();
  std::vector<Slot> list = std::move(list_);
  list_.clear();
  for (Slot& slot : list) {
    TJvHidDevice* device = slot.device;
    device->controller_ = nullptr;
    if (device->claimed_) {
      // Left to its holder, which destroys it.
      device->CloseHandles();
      device->present_ = false;
      if (TJvHidPlugEvent unplug = std::exchange(device->unplug_handler_, {})) unplug(*device);
    }
    slot.owned.reset();
  }
}

TJvHidDevice* TJvHidDeviceController::Device(int Idx) const {
  if (Idx < 0 || Idx >= Count()) return nullptr;
  return list_[static_cast<std::size_t>(Idx)].device;
}

void TJvHidDeviceController::Notify(std::int64_t param) {
  if (rebuilding_) return;  // dropped, not deferred
  last_param_ = param;
  rebuilding_ = true;
  // Cleared whatever happens inside the rebuild, or every later
  // notification would be dropped.
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{rebuilding_};
  DeviceChange();
}

std::vector<std::unique_ptr<TJvHidDevice>> TJvHidDeviceController::EnumeratePresent() {
  std::vector<std::unique_ptr<TJvHidDevice>> fresh;
  for (HidInterfaceInfo& info : backend_.Enumerate()) {
    try {
      fresh.push_back(std::make_unique<TJvHidDevice>(TJvHidPnPInfo{std::move(info)}, backend_,
                                                     loop_, this));
    } catch (const EControllerError&) {
      // Left out without a message.
    }
  }
  return fresh;
}

bool TJvHidDeviceController::TakeOverChanges(TJvHidDevice& listed, TJvHidDevice& fresh) {
  // The fresh object reads its strings as a device inside an event does.
  fresh.in_event_ = true;
  fresh.ProductText();
  fresh.SerialText();
  fresh.in_event_ = false;
  fresh.CloseHandles();
  listed.pnp_.info.settling = fresh.pnp_.info.settling;
  if (listed.can_read_write_ == fresh.can_read_write_ && listed.product_ == fresh.product_ &&
      listed.serial_ == fresh.serial_) {
    return false;
  }
  listed.can_read_write_ = fresh.can_read_write_;
  listed.read_write_error_ = fresh.read_write_error_;
  listed.product_ = fresh.product_;
  listed.serial_ = fresh.serial_;
  listed.attributes_ = fresh.attributes_;
  listed.caps_.reset();
  listed.StartReaderIfReady();
  return true;
}

void TJvHidDeviceController::DeviceChange() {
  bool changed = last_param_ == -1;
  const HidChange change = std::exchange(pending_change_, {});
  std::vector<std::unique_ptr<TJvHidDevice>> fresh = EnumeratePresent();
  auto in_fresh = [&fresh](const TJvHidDevice& device) {
    return std::any_of(fresh.begin(), fresh.end(), [&device](const auto& f) {
      return f->pnp_.DeviceID() == device.pnp_.DeviceID();
    });
  };

  // Removals, from the end of the list backwards.
  for (std::size_t i = list_.size(); i-- > 0;) {
    if (i >= list_.size()) continue;  // a handler shortened the list
    TJvHidDevice* device = list_[i].device;
    if (device->present_ && in_fresh(*device)) continue;
    if (!device->present_) {
      // Already reported gone; it waits for its holder to give it back.
      continue;
    }
    changed = true;
    device->CloseHandles();
    device->present_ = false;
    if (TJvHidPlugEvent unplug = std::exchange(device->unplug_handler_, {})) unplug(*device);
    device->in_event_ = true;
    if (OnRemoval) {
      TJvHidPlugEvent handler = OnRemoval;
      handler(*device);
    }
    device->in_event_ = false;
    if (!device->claimed_) {
      const auto at = std::find_if(list_.begin(), list_.end(),
                                   [device](const Slot& s) { return s.device == device; });
      if (at != list_.end()) {
        std::unique_ptr<TJvHidDevice> owned = std::move(at->owned);
        list_.erase(at);
        if (owned) owned->controller_ = nullptr;
      }
    }
  }

  // Interfaces already listed: their fresh objects go without touching the
  // list. One the platform announced anew is looked at again through its
  // fresh object first: access granted by udev after the interface was
  // first seen, or changed strings, count as a change of the device tree.
  std::vector<std::unique_ptr<TJvHidDevice>> arrivals;
  for (auto& f : fresh) {
    const auto listed = std::find_if(list_.begin(), list_.end(), [&f](const Slot& s) {
      return s.device->present_ && s.device->pnp_.DeviceID() == f->pnp_.DeviceID();
    });
    if (listed != list_.end()) {
      if (change.Revisits(f->pnp_.DeviceID()) && TakeOverChanges(*listed->device, *f)) {
        changed = true;
      }
      f->controller_ = nullptr;
      f.reset();
    } else {
      arrivals.push_back(std::move(f));
    }
  }

  for (auto& f : arrivals) {
    TJvHidDevice* device = f.get();
    list_.push_back(Slot{device, std::move(f)});
    changed = true;
    device->in_event_ = true;
    if (OnArrival) {
      TJvHidPlugEvent handler = OnArrival;
      handler(*device);
    }
    device->in_event_ = false;
  }

  Recount();
  if (changed && OnDeviceChange) {
    std::function<void()> handler = OnDeviceChange;
    handler();
  }
}

int TJvHidDeviceController::EnumerateDevices() {
  if (!OnEnumerate) return 0;
  int count = 0;
  for (std::size_t i = 0; i < list_.size(); ++i) {
    TJvHidDevice* device = list_[i].device;
    if (!device->present_) continue;
    device->in_event_ = true;
    TJvHidEnumerateEvent handler = OnEnumerate;
    const bool go_on = handler(*device, static_cast<int>(i));
    device->in_event_ = false;
    if (!device->claimed_) device->CloseHandles();
    ++count;
    if (!go_on) break;
  }
  return count;
}

std::unique_ptr<TJvHidDevice> TJvHidDeviceController::ClaimByIndex(int Idx) {
  if (Idx < 0 || Idx >= Count()) return nullptr;
  Slot& slot = list_[static_cast<std::size_t>(Idx)];
  if (slot.device->claimed_ || !slot.owned) return nullptr;
  std::unique_ptr<TJvHidDevice> device = std::move(slot.owned);
  device->claimed_ = true;
  device->StartReaderIfReady();
  return device;
}

void TJvHidDeviceController::GiveBack(TJvHidDevice& device, TJvHidDataEvent data_handler,
                                      TJvHidPlugEvent unplug_handler, int sleep_time) {
  const auto at = std::find_if(list_.begin(), list_.end(),
                               [&device](const Slot& s) { return s.device == &device; });
  if (at == list_.end()) return;
  const std::size_t index = static_cast<std::size_t>(at - list_.begin());
  if (device.present_) {
    try {
      auto renewed = std::make_unique<TJvHidDevice>(device.pnp_, backend_, loop_, this);
      renewed->data_handler_ = std::move(data_handler);
      renewed->unplug_handler_ = std::move(unplug_handler);
      renewed->reader_sleep_time_ = sleep_time;
      list_[index].device = renewed.get();
      list_[index].owned = std::move(renewed);
      Recount();
      return;
    } catch (const EControllerError&) {
      // The interface vanished since the last rebuild: the slot goes, and
      // the next rebuild's notification finds the list consistent.
    }
  }
  list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(index));
  Recount();
}

void TJvHidDeviceController::SetDevThreadSleepTime(int ms) {
  for (const Slot& slot : list_) {
    if (slot.device->reader_sleep_time_ == dev_thread_sleep_time_) {
      slot.device->SetReaderSleepTime(ms);
    }
  }
  dev_thread_sleep_time_ = ms;
}

void TJvHidDeviceController::Recount() {
  unclaimed_ = claimed_ = unplugged_ = 0;
  for (const Slot& slot : list_) {
    if (!slot.device->present_) {
      ++unplugged_;
    } else if (slot.device->claimed_) {
      ++claimed_;
    } else {
      ++unclaimed_;
    }
  }
}

}  // namespace ql
