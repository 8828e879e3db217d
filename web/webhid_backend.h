#pragma once
// HID through WebHID, the browser's own: the devices the page has been
// granted (navigator.hid.getDevices(), then its connect and disconnect
// events), their details read once from what WebHID tells without opening
// them (product name, vendor and product ID, report lengths from the
// collections), input reports from the 'inputreport' event, output reports
// through device.sendReport(). Nothing here waits: every WebHID call is a
// promise, and its end comes back through the page's event loop.
//
// A device is opened (device.open()) when its first reader or writer starts,
// which is when its holder claims it and talks to it, and closed when the
// last of them has gone and what they queued has been sent.
//
// The JavaScript side is web/webhid_library.js.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "hid/hid_backend.h"

namespace ql::web {

// What WebHID tells of a device without opening it.
struct WebHidDetails {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string product_name;  // UTF-8; "" when it has none
  // Report lengths with the report-ID byte, as the HID capabilities count
  // them: the longest input and output report of its collections, plus one.
  std::uint16_t input_length = 0;
  std::uint16_t output_length = 0;
};

class WebHidBackend final : public HidBackend {
 public:
  // Watches navigator.hid at once; the devices already granted are listed
  // when getDevices() has answered, and a change is announced then.
  explicit WebHidBackend(EventLoop& loop);
  ~WebHidBackend() override;
  WebHidBackend(const WebHidBackend&) = delete;
  WebHidBackend& operator=(const WebHidBackend&) = delete;

  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<HidHandle> Open(const HidInterfaceInfo& info, bool read_write, int* error) override;
  std::unique_ptr<HidReader> StartReader(const HidInterfaceInfo& info, EventLoop& loop, std::uint16_t input_length,
                                         int sleep_ms, HidReaderCallbacks callbacks) override;
  std::unique_ptr<HidWriter> StartWriter(const HidInterfaceInfo& info, EventLoop& loop,
                                         HidWriterCallbacks callbacks) override;
  void WatchChanges(EventLoop& loop, std::function<void(const HidChange&)> changed) override;
  void StopWatching() override;

  // Whether navigator.hid was there (a browser without WebHID, or a page not
  // served from a secure origin, has none: no device is ever listed).
  bool Available() const { return available_; }
  // Whether the device is open in the browser now (tests, diagnostics).
  bool DeviceOpen(const std::string& identity) const;

  // ---- What the JavaScript side reports ----------------------------------
  void DeviceAdded(int id, WebHidDetails details);
  void DeviceRemoved(int id);
  void DevicesListed();
  void InputReport(int id, std::uint8_t report_id, std::span<const std::uint8_t> data);
  void OpenEnded(int id, bool ok);
  void WriteEnded(int id, bool ok);

  struct Device;

 private:
  class Reader;
  class Writer;

  Device* Find(const HidInterfaceInfo& info) const;
  void Acquire(Device& d);
  void Release(Device& d);
  void SendNext(Device& d);
  // Every queued report ends as failed.
  void DropQueue(Device& d);
  void Announce();

  EventLoop& loop_;
  bool available_ = false;
  std::map<int, std::shared_ptr<Device>> devices_;
  std::function<void(const HidChange&)> changed_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ql::web
