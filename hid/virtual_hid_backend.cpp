#include "hid/virtual_hid_backend.h"

#include <cerrno>
#include <deque>
#include <system_error>
#include <utility>

#include "hid/linux_hid_policy.h"

namespace ql {

namespace {

struct ReaderState {
  HidReaderCallbacks callbacks;
  bool active = true;
  int in_flight = 0;  // reports sent by the device, not yet handed over
};

}  // namespace

struct VirtualHidBackend::Device {
  DeviceId id = 0;
  VirtualHidSpec spec;
  OutputSink on_output;
  bool attached = true;
  int writes = 0;
  std::vector<std::weak_ptr<ReaderState>> readers;

  std::string identity() const { return "virtual:" + std::to_string(id); }
  std::string path() const { return "/dev/virtual-hidraw" + std::to_string(id); }
};

namespace {

class VirtualHandle final : public HidHandle {
 public:
  VirtualHandle(std::shared_ptr<VirtualHidBackend::Device> device, bool read_write)
      : device_(std::move(device)), read_write_(read_write) {}

  bool read_write() const override { return read_write_; }

  std::optional<HidAttributes> GetAttributes() override {
    if (!device_->attached || device_->spec.unidentifiable) return std::nullopt;
    return HidAttributes{device_->spec.vid, device_->spec.pid, device_->spec.version};
  }
  std::optional<std::u16string> GetProductString() override {
    if (!device_->attached || !device_->spec.product) return std::nullopt;
    return ToUtf16(*device_->spec.product);
  }
  std::optional<HidSerialQuery> GetSerialNumberString() override {
    if (!device_->attached || !device_->spec.serial) return std::nullopt;
    return HidSerialQuery{ToUtf16(*device_->spec.serial), device_->spec.language_ids, false};
  }
  std::optional<HidReportCaps> GetCaps() override {
    if (!device_->attached) return std::nullopt;
    return HidReportCaps{device_->spec.input_length, device_->spec.output_length};
  }
  bool Write(std::span<const std::uint8_t> report) override {
    if (!read_write_ || !device_->attached || device_->spec.writes_fail) return false;
    ++device_->writes;
    // A copy: the sink may unplug the device, which drops it.
    if (VirtualHidBackend::OutputSink sink = device_->on_output) sink(report);
    return true;
  }

 private:
  std::shared_ptr<VirtualHidBackend::Device> device_;
  bool read_write_;
};

// A writer on the event loop. Its state outlives it while a delayed report
// is still on its way, as a write the device has not taken yet does.
class VirtualWriter final : public HidWriter {
 public:
  VirtualWriter(std::shared_ptr<VirtualHidBackend::Device> device, EventLoop& loop,
                HidWriterCallbacks callbacks)
      : state_(std::make_shared<State>(std::move(device), loop, std::move(callbacks))) {}

  ~VirtualWriter() override {
    State& s = *state_;
    s.owner_gone = true;
    // What is queued goes out now, as the blocking destructor of a real
    // writer waits for it, unless the device has stopped taking reports.
    if (s.device->spec.write_delay >= kHidWriteTimeLimit) {
      s.queue.clear();
      return;
    }
    if (s.timer != 0) s.loop.cancel(s.timer);
    s.timer = 0;
    while (!s.queue.empty()) {
      Deliver(s, s.queue.front());
      s.queue.pop_front();
    }
  }
  VirtualWriter(const VirtualWriter&) = delete;
  VirtualWriter& operator=(const VirtualWriter&) = delete;

  void Submit(std::vector<std::uint8_t> report) override {
    state_->queue.push_back(std::move(report));
    if (state_->timer == 0 && state_->queue.size() == 1) Next(state_);
  }

 private:
  struct State {
    State(std::shared_ptr<VirtualHidBackend::Device> d, EventLoop& l, HidWriterCallbacks c)
        : device(std::move(d)), loop(l), callbacks(std::move(c)) {}
    std::shared_ptr<VirtualHidBackend::Device> device;
    EventLoop& loop;
    HidWriterCallbacks callbacks;
    std::deque<std::vector<std::uint8_t>> queue;
    TimerId timer = 0;
    bool owner_gone = false;
  };

  static bool Deliver(State& s, const std::vector<std::uint8_t>& report) {
    VirtualHidBackend::Device& d = *s.device;
    if (!d.attached || d.spec.writes_fail) return false;
    ++d.writes;
    // A copy: the sink may unplug the device, which drops it.
    if (VirtualHidBackend::OutputSink sink = d.on_output) sink(report);
    return true;
  }

  // Sends the front report: at once, or after the device's delay.
  static void Next(const std::shared_ptr<State>& state) {
    State& s = *state;
    while (!s.queue.empty() && s.timer == 0) {
      const Micros delay = s.device->spec.write_delay;
      if (delay > 0) {
        s.timer = s.loop.schedule_after(delay, [state] {
          state->timer = 0;
          Finish(state);
          Next(state);
        });
        return;
      }
      Finish(state);
    }
  }

  // The front report reaches the device; its end is told on the next turn.
  static void Finish(const std::shared_ptr<State>& state) {
    State& s = *state;
    if (s.queue.empty()) return;
    const std::vector<std::uint8_t> report = std::move(s.queue.front());
    s.queue.pop_front();
    const bool ok = Deliver(s, report);
    if (s.owner_gone || !s.callbacks.on_written) return;
    s.loop.post([state, ok] {
      if (!state->owner_gone) state->callbacks.on_written(ok);
    });
  }

  std::shared_ptr<State> state_;
};

class VirtualReader final : public HidReader {
 public:
  explicit VirtualReader(std::shared_ptr<ReaderState> state) : state_(std::move(state)) {}
  ~VirtualReader() override { state_->active = false; }
  bool Pending() const override { return state_->in_flight > 0; }

 private:
  std::shared_ptr<ReaderState> state_;
};

}  // namespace

VirtualHidBackend::~VirtualHidBackend() { *alive_ = false; }

VirtualHidBackend::DeviceId VirtualHidBackend::Plug(VirtualHidSpec spec, OutputSink on_output) {
  auto device = std::make_shared<Device>();
  device->id = next_id_++;
  device->spec = std::move(spec);
  device->on_output = std::move(on_output);
  devices_[device->id] = device;
  if (auto_notify) Notify();
  return device->id;
}

void VirtualHidBackend::Unplug(DeviceId id) {
  const auto it = devices_.find(id);
  if (it == devices_.end()) return;
  it->second->attached = false;
  devices_.erase(it);
  if (auto_notify) Notify();
}

bool VirtualHidBackend::Attached(DeviceId id) const { return devices_.count(id) != 0; }

void VirtualHidBackend::SendInput(DeviceId id, std::span<const std::uint8_t> report) {
  const auto it = devices_.find(id);
  if (it == devices_.end()) return;
  for (const auto& weak : it->second->readers) {
    auto state = weak.lock();
    if (!state || !state->active) continue;
    ++state->in_flight;
    auto deliver = [state, bytes = std::vector<std::uint8_t>(report.begin(), report.end())] {
      --state->in_flight;
      if (state->active && state->callbacks.on_report) state->callbacks.on_report(bytes);
    };
    // A reader that lags (a busy machine) has the report in hand for a while
    // before the event thread sees it.
    if (it->second->spec.input_delay > 0) {
      loop_.schedule_after(it->second->spec.input_delay, std::move(deliver));
    } else {
      loop_.post(std::move(deliver));
    }
  }
}

void VirtualHidBackend::Notify() { Post(HidChange{}); }

void VirtualHidBackend::Post(HidChange change) {
  // Only a watcher that exists when the change happens hears of it.
  if (!changed_) return;
  loop_.post([this, alive = alive_, change = std::move(change)] {
    if (*alive && changed_) {
      std::function<void(const HidChange&)> changed = changed_;
      changed(change);
    }
  });
}

void VirtualHidBackend::Update(DeviceId id, const std::function<void(VirtualHidSpec&)>& edit) {
  const auto it = devices_.find(id);
  if (it != devices_.end()) edit(it->second->spec);
}

void VirtualHidBackend::Announce(DeviceId id, std::string_view action) {
  HidChange change;
  const auto it = devices_.find(id);
  if (it != devices_.end() && MeaningOfUdevAction(action) == UdevActionMeaning::Revisit) {
    it->second->spec.settling = false;
    change.revisit.insert(it->second->identity());
  }
  Post(std::move(change));
}

int VirtualHidBackend::ReaderCount(DeviceId id) const {
  const auto it = devices_.find(id);
  if (it == devices_.end()) return 0;
  int count = 0;
  for (const auto& weak : it->second->readers) {
    if (auto state = weak.lock(); state && state->active) ++count;
  }
  return count;
}

int VirtualHidBackend::WriteCount(DeviceId id) const {
  const auto it = devices_.find(id);
  return it == devices_.end() ? 0 : it->second->writes;
}

std::string VirtualHidBackend::Path(DeviceId id) const {
  const auto it = devices_.find(id);
  return it == devices_.end() ? std::string() : it->second->path();
}

std::vector<HidInterfaceInfo> VirtualHidBackend::Enumerate() {
  std::vector<HidInterfaceInfo> out;
  for (const auto& [id, device] : devices_) {
    out.push_back({device->identity(), device->path(), device->spec.settling, device->spec.port});
  }
  return out;
}

std::shared_ptr<VirtualHidBackend::Device> VirtualHidBackend::Find(
    const HidInterfaceInfo& info) const {
  for (const auto& [id, device] : devices_) {
    if (device->identity() == info.identity) return device;
  }
  return nullptr;
}

std::unique_ptr<HidHandle> VirtualHidBackend::Open(const HidInterfaceInfo& info, bool read_write,
                                                   int* error) {
  auto device = Find(info);
  int code = 0;
  if (!device) {
    code = ENOENT;
  } else if (device->spec.refuse_open || (read_write && device->spec.refuse_read_write)) {
    code = device->spec.open_error;
  }
  if (code != 0) {
    if (error != nullptr) *error = code;
    return nullptr;
  }
  return std::make_unique<VirtualHandle>(std::move(device), read_write);
}

std::unique_ptr<HidReader> VirtualHidBackend::StartReader(const HidInterfaceInfo& info,
                                                          EventLoop& /*loop*/,
                                                          std::uint16_t /*input_length*/,
                                                          int /*sleep_ms*/,
                                                          HidReaderCallbacks callbacks) {
  auto state = std::make_shared<ReaderState>();
  state->callbacks = std::move(callbacks);
  if (auto device = Find(info); device && device->spec.reader_error != 0) {
    // As a reader thread that cannot be created.
    throw std::system_error(device->spec.reader_error, std::generic_category(), "cannot start the reader");
  }
  if (auto device = Find(info)) {
    auto& readers = device->readers;
    std::erase_if(readers, [](const auto& w) { return w.expired(); });
    readers.push_back(state);
  }
  return std::make_unique<VirtualReader>(std::move(state));
}

std::unique_ptr<HidWriter> VirtualHidBackend::StartWriter(const HidInterfaceInfo& info, EventLoop& loop,
                                                          HidWriterCallbacks callbacks) {
  auto device = Find(info);
  if (!device || device->spec.refuse_open || device->spec.refuse_read_write) return nullptr;
  return std::make_unique<VirtualWriter>(std::move(device), loop, std::move(callbacks));
}

void VirtualHidBackend::WatchChanges(EventLoop& /*loop*/,
                                     std::function<void(const HidChange&)> changed) {
  changed_ = std::move(changed);
}

void VirtualHidBackend::StopWatching() { changed_ = {}; }

}  // namespace ql
