#pragma once
// A HID backend without hardware: tests (and the demo) plug and unplug
// virtual devices, which may wrap the simulated bootloader. Everything runs on
// the event loop, without threads, so it works in virtual time.

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bootloader_name.h"
#include "core/event_loop.h"
#include "hid/hid_backend.h"

namespace ql {

struct VirtualHidSpec {
  std::uint16_t vid = 0x04D8;
  std::uint16_t pid = 0x003C;
  std::uint16_t version = 0x0100;
  std::optional<std::string> product = std::string(BootloaderProductName);  // nullopt: none
  std::optional<std::string> serial;                                        // nullopt: none
  // String descriptor 0; nullopt when the device does not answer it.
  std::optional<std::vector<std::uint16_t>> language_ids = std::vector<std::uint16_t>{0x0409};
  bool refuse_read_write = false;  // only a query-only open works
  bool refuse_open = false;        // no open at all
  int open_error = EACCES;         // errno of a refused open
  bool settling = false;           // udev has not finished with the node yet
  std::string port;                // the USB port it hangs on ("" none)
  bool unidentifiable = false;     // attributes cannot be read
  bool writes_fail = false;        // opened read-write, but every write fails
  // How long the device takes to accept each output report (0: at once). At
  // kHidWriteTimeLimit or more it has stopped listening; reports still queued
  // when the device object goes are then lost, else they go out at once.
  Micros write_delay = 0;
  // How long an input report takes from the device to the event thread, as
  // a reader thread that lags behind on a busy machine (0: the next turn).
  Micros input_delay = 0;
  int reader_error = 0;            // StartReader throws std::system_error with this errno
  std::uint16_t input_length = 65;
  std::uint16_t output_length = 65;
};

class VirtualHidBackend final : public HidBackend {
 public:
  using DeviceId = int;
  // Receives every output report written to the device (byte 0 = report ID).
  using OutputSink = std::function<void(std::span<const std::uint8_t> report)>;

  explicit VirtualHidBackend(EventLoop& loop) : loop_(loop) {}
  ~VirtualHidBackend() override;

  // Attaches a device and announces the change (unless auto_notify is off).
  DeviceId Plug(VirtualHidSpec spec, OutputSink on_output = {});
  // Detaches it and announces the change.
  void Unplug(DeviceId id);
  bool Attached(DeviceId id) const;
  // An input report from the device (byte 0 = report ID). It reaches the
  // running reader through the event loop; with no reader it is lost, as
  // with a real device nobody reads.
  void SendInput(DeviceId id, std::span<const std::uint8_t> report);
  // Announces a device-tree change without changing anything.
  void Notify();
  // Changes what an attached device offers (its access, its strings)
  // without announcing it, as udev's rules do before udev says so.
  void Update(DeviceId id, const std::function<void(VirtualHidSpec&)>& edit);
  // Announces the node as udev would, with `action` ("add", "change",
  // "bind", "remove" ...). After add, change or bind udev has finished with
  // it: it no longer counts as settling, and a listed one is looked at again.
  void Announce(DeviceId id, std::string_view action);
  bool auto_notify = true;

  // ---- Inspection for tests ------------------------------------------------
  int ReaderCount(DeviceId id) const;
  int WriteCount(DeviceId id) const;
  std::string Path(DeviceId id) const;

  // ---- HidBackend ------------------------------------------------------------
  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<HidHandle> Open(const HidInterfaceInfo& info, bool read_write,
                                  int* error) override;
  std::unique_ptr<HidReader> StartReader(const HidInterfaceInfo& info, EventLoop& loop,
                                         std::uint16_t input_length, int sleep_ms,
                                         HidReaderCallbacks callbacks) override;
  // On the event loop, without threads: each report reaches the device after
  // its spec's write_delay.
  std::unique_ptr<HidWriter> StartWriter(const HidInterfaceInfo& info, EventLoop& loop,
                                         HidWriterCallbacks callbacks) override;
  void WatchChanges(EventLoop& loop, std::function<void(const HidChange&)> changed) override;
  void StopWatching() override;

  struct Device;

 private:
  std::shared_ptr<Device> Find(const HidInterfaceInfo& info) const;

  EventLoop& loop_;
  DeviceId next_id_ = 1;
  std::map<DeviceId, std::shared_ptr<Device>> devices_;
  void Post(HidChange change);

  std::function<void(const HidChange&)> changed_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ql
