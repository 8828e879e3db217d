#pragma once
// The page's side of the HID transport: the device controller on a backend
// (WebHID, or the virtual one with a simulated board), the list of devices
// for the page, and the flash of a HEX file into the bootloader through one
// session with suspending waits: boot info, the image for the family the
// bootloader reports, connect, upload, reset. Nothing waits: each step is
// resumed by the page's event loop.
//
// The bootloader is the first device whose product string is
// BootloaderProductName, as the desktop recognises it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "core/task.h"
#include "hid/hid_backend.h"
#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "session/session.h"

namespace ql::web {

// How a flash ended.
struct FlashResult {
  bool ok = false;
  // "completed", "no-bootloader", "no-access", "reports-too-short",
  // "not-in-bootloader", "hex-rejected", "connect-failed", "declined",
  // "refused", "failed", "stalled", "removed", "stopped".
  std::string outcome;
  std::string message;  // what the page says of it, one sentence
  std::string device;   // the boot info's device name ("" before it came)
  std::string family;   // "PIC16", "PIC18" ("" before the boot info)
  std::int64_t image_bytes = 0;
  double seconds = 0;
};

// What the page shows. The session's lines, terminal, progress and phases
// come through SessionView; the bootloader-area question is AskBootloaderArea.
class UploaderView : public SessionView {
 public:
  // The device list may have changed (see WebUploader::Devices()).
  virtual void DevicesChanged() {}
  // The flash has ended; the uploader can flash again from here on.
  virtual void Finished(const FlashResult& result) = 0;
  // The bootloader's name in a removal line: its boot info's device name.
  std::string DeviceName() override { return device_name_; }
  void SetDeviceName(std::string name) { device_name_ = std::move(name); }

 private:
  std::string device_name_;
};

class WebUploader {
 public:
  // The controller's first rebuild runs when the loop next turns.
  WebUploader(EventLoop& loop, HidBackend& backend, UploaderView& view);
  ~WebUploader();
  WebUploader(const WebUploader&) = delete;
  WebUploader& operator=(const WebUploader&) = delete;

  struct DeviceEntry {
    std::string name;  // product string, or "Device VID=.... PID=...."
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    bool bootloader = false;
    bool busy = false;  // being flashed
  };
  std::vector<DeviceEntry> Devices();

  // Starts flashing `hex_text` (named `file_name` in messages) into the
  // bootloader. False when a flash is under way; with no bootloader present
  // it ends at once (Finished, "no-bootloader") and returns true.
  bool Flash(std::string hex_text, std::string file_name);
  // A stop request for the flash under way.
  void Stop();
  bool Busy() const { return busy_; }
  // The session of the flash under way, or null.
  Session* session() const { return session_.get(); }

 private:
  Task<bool> Flow(std::string hex_text, std::string file_name);
  // Ends the flash: the session and the device go on the next turn (never
  // from inside the flow), then the view hears of it.
  void End(FlashResult result);

  EventLoop& loop_;
  UploaderView& view_;
  std::unique_ptr<TJvHidDeviceController> ctl_;
  std::unique_ptr<TJvHidDevice> device_;
  std::unique_ptr<Session> session_;
  Task<bool> flow_;
  bool busy_ = false;
  Micros started_ = 0;
  FlashResult result_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ql::web
