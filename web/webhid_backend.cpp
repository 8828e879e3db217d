#include "web/webhid_backend.h"

#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <cerrno>
#include <cstring>
#include <utility>

// clang-format off
EM_JS(int, ql_webhid_watch, (void* backend), {
  const hid = (typeof navigator !== 'undefined' && navigator.hid) ? navigator.hid : undefined;
  return Module.qlWebHid.watch(backend, hid) ? 1 : 0;
});
EM_JS(void, ql_webhid_unwatch, (void* backend), { Module.qlWebHid.unwatch(backend); });
EM_JS(void, ql_webhid_open, (void* backend, int id), { Module.qlWebHid.open(backend, id); });
EM_JS(void, ql_webhid_close, (void* backend, int id), { Module.qlWebHid.close(backend, id); });
EM_JS(void, ql_webhid_send, (void* backend, int id, int report_id, const void* data, int length), {
  Module.qlWebHid.send(backend, id, report_id, data, length);
});
// clang-format on

extern "C" {

EMSCRIPTEN_KEEPALIVE void ql_webhid_device_added(ql::web::WebHidBackend* backend, int id, int vendor_id,
                                                 int product_id, const char* product_name, int input_length,
                                                 int output_length) {
  ql::web::WebHidDetails d;
  d.vendor_id = static_cast<std::uint16_t>(vendor_id);
  d.product_id = static_cast<std::uint16_t>(product_id);
  d.product_name = product_name;
  d.input_length = static_cast<std::uint16_t>(input_length);
  d.output_length = static_cast<std::uint16_t>(output_length);
  backend->DeviceAdded(id, std::move(d));
}
EMSCRIPTEN_KEEPALIVE void ql_webhid_device_removed(ql::web::WebHidBackend* backend, int id) {
  backend->DeviceRemoved(id);
}
EMSCRIPTEN_KEEPALIVE void ql_webhid_devices_listed(ql::web::WebHidBackend* backend) { backend->DevicesListed(); }
EMSCRIPTEN_KEEPALIVE void ql_webhid_input(ql::web::WebHidBackend* backend, int id, int report_id,
                                          const std::uint8_t* data, int length) {
  backend->InputReport(id, static_cast<std::uint8_t>(report_id),
                       std::span<const std::uint8_t>(data, static_cast<std::size_t>(length)));
}
EMSCRIPTEN_KEEPALIVE void ql_webhid_open_ended(ql::web::WebHidBackend* backend, int id, int ok) {
  backend->OpenEnded(id, ok != 0);
}
EMSCRIPTEN_KEEPALIVE void ql_webhid_write_ended(ql::web::WebHidBackend* backend, int id, int ok) {
  backend->WriteEnded(id, ok != 0);
}

}  // extern "C"

namespace ql::web {

namespace {

struct ReaderState {
  HidReaderCallbacks callbacks;
  bool active = true;
  int in_flight = 0;  // reports the page has had, not yet handed over
};

struct WriterState {
  HidWriterCallbacks callbacks;
  bool owner_gone = false;
  int queued = 0;  // reports submitted whose end has not come
};

}  // namespace

struct WebHidBackend::Device {
  enum class OpenState { Closed, Opening, Open, Failed };
  struct Pending {
    std::vector<std::uint8_t> report;
    std::shared_ptr<WriterState> writer;
  };

  int id = 0;
  WebHidDetails details;
  bool attached = true;
  // Readers and writers running, and writers gone with reports still queued.
  int users = 0;
  OpenState open = OpenState::Closed;
  std::vector<std::weak_ptr<ReaderState>> readers;
  std::deque<Pending> queue;  // front: the report being sent while `sending`
  bool sending = false;

  std::string identity() const { return "webhid:" + std::to_string(id); }
};

namespace {

class WebHidHandle final : public HidHandle {
 public:
  WebHidHandle(std::shared_ptr<WebHidBackend::Device> device, bool read_write)
      : device_(std::move(device)), read_write_(read_write) {}

  bool read_write() const override { return read_write_; }
  std::optional<HidAttributes> GetAttributes() override {
    if (!device_->attached) return std::nullopt;
    return HidAttributes{device_->details.vendor_id, device_->details.product_id, 0};
  }
  std::optional<std::u16string> GetProductString() override {
    if (!device_->attached || device_->details.product_name.empty()) return std::nullopt;
    return ToUtf16(device_->details.product_name);
  }
  // WebHID tells no serial number.
  std::optional<HidSerialQuery> GetSerialNumberString() override { return std::nullopt; }
  std::optional<HidReportCaps> GetCaps() override {
    if (!device_->attached) return std::nullopt;
    return HidReportCaps{device_->details.input_length, device_->details.output_length};
  }
  // The page cannot write and wait: reports go through the backend's writer.
  bool Write(std::span<const std::uint8_t>) override { return false; }

 private:
  std::shared_ptr<WebHidBackend::Device> device_;
  bool read_write_;
};

}  // namespace

// Readers and writers hold the device open while they run.
class WebHidBackend::Reader final : public HidReader {
 public:
  Reader(WebHidBackend& backend, std::shared_ptr<Device> device, std::shared_ptr<ReaderState> state)
      : backend_(backend), alive_(backend.alive_), device_(std::move(device)), state_(std::move(state)) {}
  ~Reader() override {
    state_->active = false;
    if (*alive_) backend_.Release(*device_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  bool Pending() const override { return state_->in_flight > 0; }

 private:
  WebHidBackend& backend_;
  std::shared_ptr<bool> alive_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<ReaderState> state_;
};

// Reports go out in order, one sendReport() at a time. One that cannot go
// (the device has gone, or would not open) ends as failed on the next turn.
// A writer destroyed with reports queued lets them go out (the reset that
// ends an upload), telling no one, and holds the device open until then.
class WebHidBackend::Writer final : public HidWriter {
 public:
  Writer(WebHidBackend& backend, std::shared_ptr<Device> device, std::shared_ptr<WriterState> state)
      : backend_(backend), alive_(backend.alive_), device_(std::move(device)), state_(std::move(state)) {}
  ~Writer() override {
    state_->owner_gone = true;
    if (*alive_ && state_->queued == 0) backend_.Release(*device_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void Submit(std::vector<std::uint8_t> report) override {
    Device& d = *device_;
    if (!*alive_ || !d.attached || d.open == Device::OpenState::Failed || report.empty()) {
      Fail(backend_.loop_, state_);
      return;
    }
    ++state_->queued;
    d.queue.push_back({std::move(report), state_});
    backend_.SendNext(d);
  }

  // One report's end, told on the next turn unless the writer has gone by then.
  static void Fail(EventLoop& loop, const std::shared_ptr<WriterState>& state) {
    loop.post([state] {
      if (!state->owner_gone && state->callbacks.on_written) state->callbacks.on_written(false);
    });
  }

 private:
  WebHidBackend& backend_;
  std::shared_ptr<bool> alive_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<WriterState> state_;
};

WebHidBackend::WebHidBackend(EventLoop& loop) : loop_(loop) { available_ = ql_webhid_watch(this) != 0; }

WebHidBackend::~WebHidBackend() {
  *alive_ = false;
  if (available_) ql_webhid_unwatch(this);
}

WebHidBackend::Device* WebHidBackend::Find(const HidInterfaceInfo& info) const {
  for (const auto& [id, device] : devices_) {
    if (device->attached && device->identity() == info.identity) return device.get();
  }
  return nullptr;
}

bool WebHidBackend::DeviceOpen(const std::string& identity) const {
  for (const auto& [id, device] : devices_) {
    if (device->identity() == identity) return device->open == Device::OpenState::Open;
  }
  return false;
}

std::vector<HidInterfaceInfo> WebHidBackend::Enumerate() {
  std::vector<HidInterfaceInfo> out;
  for (const auto& [id, device] : devices_) {
    if (device->attached) out.push_back({device->identity(), device->identity(), false, ""});
  }
  return out;
}

std::unique_ptr<HidHandle> WebHidBackend::Open(const HidInterfaceInfo& info, bool read_write, int* error) {
  Device* d = Find(info);
  if (d == nullptr) {
    if (error != nullptr) *error = ENOENT;
    return nullptr;
  }
  return std::make_unique<WebHidHandle>(devices_.at(d->id), read_write);
}

std::unique_ptr<HidReader> WebHidBackend::StartReader(const HidInterfaceInfo& info, EventLoop& /*loop*/,
                                                      std::uint16_t /*input_length*/, int /*sleep_ms*/,
                                                      HidReaderCallbacks callbacks) {
  Device* d = Find(info);
  auto state = std::make_shared<ReaderState>();
  state->callbacks = std::move(callbacks);
  if (d == nullptr) {
    state->active = false;
    return std::make_unique<Reader>(*this, std::make_shared<Device>(), std::move(state));
  }
  std::erase_if(d->readers, [](const auto& w) { return w.expired(); });
  d->readers.push_back(state);
  Acquire(*d);
  return std::make_unique<Reader>(*this, devices_.at(d->id), std::move(state));
}

std::unique_ptr<HidWriter> WebHidBackend::StartWriter(const HidInterfaceInfo& info, EventLoop& /*loop*/,
                                                      HidWriterCallbacks callbacks) {
  Device* d = Find(info);
  if (d == nullptr) return nullptr;
  auto state = std::make_shared<WriterState>();
  state->callbacks = std::move(callbacks);
  Acquire(*d);
  return std::make_unique<Writer>(*this, devices_.at(d->id), std::move(state));
}

void WebHidBackend::WatchChanges(EventLoop& /*loop*/, std::function<void(const HidChange&)> changed) {
  changed_ = std::move(changed);
}

void WebHidBackend::StopWatching() { changed_ = {}; }

void WebHidBackend::Acquire(Device& d) {
  ++d.users;
  if (d.open == Device::OpenState::Closed) {
    d.open = Device::OpenState::Opening;
    ql_webhid_open(this, d.id);
  }
}

void WebHidBackend::Release(Device& d) {
  if (d.users > 0) --d.users;
  if (d.users > 0) return;
  if (d.open == Device::OpenState::Open) ql_webhid_close(this, d.id);
  // One still opening is closed when the open ends; a failed open is tried
  // again by the next holder.
  if (d.open != Device::OpenState::Opening) d.open = Device::OpenState::Closed;
}

void WebHidBackend::SendNext(Device& d) {
  if (d.sending || d.queue.empty() || d.open != Device::OpenState::Open || !d.attached) return;
  d.sending = true;
  const std::vector<std::uint8_t>& report = d.queue.front().report;
  // Byte 0 is the report ID; the rest goes as the report's data.
  ql_webhid_send(this, d.id, report[0], report.data() + 1, static_cast<int>(report.size() - 1));
}

void WebHidBackend::DropQueue(Device& d) {
  while (!d.queue.empty()) {
    Device::Pending pending = std::move(d.queue.front());
    d.queue.pop_front();
    --pending.writer->queued;
    Writer::Fail(loop_, pending.writer);
    if (pending.writer->owner_gone && pending.writer->queued == 0) Release(d);
  }
}

void WebHidBackend::Announce() {
  if (!changed_) return;
  // Told on the next turn, as every platform's watcher does.
  loop_.post([this, alive = alive_] {
    if (*alive && changed_) {
      std::function<void(const HidChange&)> changed = changed_;
      changed(HidChange{});
    }
  });
}

void WebHidBackend::DeviceAdded(int id, WebHidDetails details) {
  auto device = std::make_shared<Device>();
  device->id = id;
  device->details = std::move(details);
  devices_[id] = std::move(device);
}

void WebHidBackend::DevicesListed() { Announce(); }

void WebHidBackend::DeviceRemoved(int id) {
  const auto it = devices_.find(id);
  if (it == devices_.end()) return;
  std::shared_ptr<Device> d = it->second;
  devices_.erase(it);
  d->attached = false;
  // Nothing queued can go any more, and the report under way has gone
  // nowhere: each ends as failed.
  d->sending = false;
  DropQueue(*d);
  Announce();
}

void WebHidBackend::InputReport(int id, std::uint8_t report_id, std::span<const std::uint8_t> data) {
  const auto it = devices_.find(id);
  if (it == devices_.end()) return;
  std::vector<std::uint8_t> report;
  report.reserve(data.size() + 1);
  report.push_back(report_id);
  report.insert(report.end(), data.begin(), data.end());
  for (const auto& weak : it->second->readers) {
    auto state = weak.lock();
    if (!state || !state->active) continue;
    ++state->in_flight;
    loop_.post([state, report] {
      --state->in_flight;
      if (state->active && state->callbacks.on_report) state->callbacks.on_report(report);
    });
  }
}

void WebHidBackend::OpenEnded(int id, bool ok) {
  const auto it = devices_.find(id);
  if (it == devices_.end()) return;
  Device& d = *it->second;
  if (d.users == 0) {
    // Everyone let go while it opened.
    if (ok) ql_webhid_close(this, id);
    d.open = Device::OpenState::Closed;
    return;
  }
  d.open = ok ? Device::OpenState::Open : Device::OpenState::Failed;
  if (!ok) {
    DropQueue(d);
    return;
  }
  SendNext(d);
}

void WebHidBackend::WriteEnded(int id, bool ok) {
  std::shared_ptr<Device> d;
  if (const auto it = devices_.find(id); it != devices_.end()) d = it->second;
  if (!d || !d->sending || d->queue.empty()) return;
  d->sending = false;
  Device::Pending done = std::move(d->queue.front());
  d->queue.pop_front();
  WriterState& w = *done.writer;
  --w.queued;
  if (!w.owner_gone) {
    if (w.callbacks.on_written) {
      std::function<void(bool)> written = w.callbacks.on_written;
      written(ok);
    }
  } else if (w.queued == 0) {
    Release(*d);  // the hold of a writer that went with reports queued
  }
  SendNext(*d);
}

}  // namespace ql::web
