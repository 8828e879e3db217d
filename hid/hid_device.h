#pragma once
// One HID device interface: opening it under the claim rules, its attributes,
// product and serial strings (read once, cached), report lengths, writing an
// output report, and the background reader that hands every input report to
// the event thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "core/event_loop.h"
#include "hid/hid_backend.h"
#include "protocol/exchange.h"

namespace ql {

class TJvHidDevice;
class TJvHidDeviceController;

using TJvHidPlugEvent = std::function<void(TJvHidDevice& HidDev)>;
using TJvHidDataEvent = std::function<void(TJvHidDevice& HidDev, std::uint8_t ReportID,
                                           const std::uint8_t* Data, std::uint16_t Size)>;
using TJvHidDataErrorEvent = std::function<void(TJvHidDevice& HidDev, std::uint32_t Error)>;

// Raised by device creation; the controller leaves such an interface out.
class EControllerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kDeviceCannotBeOpened = "Device cannot be opened";
inline constexpr const char* kDeviceCannotBeIdentified = "Device cannot be identified";

// Where an interface is and how rebuilds recognise it.
struct TJvHidPnPInfo {
  HidInterfaceInfo info;
  const std::string& DeviceID() const { return info.identity; }
  const std::string& DevicePath() const { return info.path; }
};

class TJvHidDevice final : public ReportDevice {
 public:
  // Creation opens the interface (read and write, else query only) and reads
  // its attributes. Throws EControllerError when it cannot be opened or
  // identified. `controller` may be null for a device no controller lists.
  TJvHidDevice(TJvHidPnPInfo pnp, HidBackend& backend, EventLoop& loop,
               TJvHidDeviceController* controller);
  ~TJvHidDevice() override;
  TJvHidDevice(const TJvHidDevice&) = delete;
  TJvHidDevice& operator=(const TJvHidDevice&) = delete;

  // ---- Identity and strings ------------------------------------------------
  std::uint16_t VendorID() const { return attributes_.VendorID; }
  std::uint16_t ProductID() const { return attributes_.ProductID; }
  std::uint16_t VersionNumber() const { return attributes_.VersionNumber; }
  const TJvHidPnPInfo& PnPInfo() const { return pnp_; }
  // UTF-8 of the cached product string; read on demand while the device can
  // be opened, at most 254 UTF-16 units, empty until read successfully.
  std::string ProductText();
  std::string SerialText();
  HidReportCaps ReportCaps();
  bool CanReadWrite() const { return can_read_write_; }
  // errno of the refused read-and-write open at creation (0 when it worked).
  int ReadWriteError() const { return read_write_error_; }

  // ---- State ---------------------------------------------------------------
  bool Present() const { return present_; }
  bool Claimed() const { return claimed_; }
  bool InEvent() const { return in_event_; }
  bool HasReader() const { return reader_ != nullptr; }

  int ReaderSleepTime() const { return reader_sleep_time_; }
  // Accepted only in 10..10000 ms; other values are ignored.
  void SetReaderSleepTime(int ms);

  // ---- I/O -------------------------------------------------------------------
  // One output report; false when the device cannot be opened (unclaimed
  // outside an event, unplugged, query only) or the write fails. The report
  // is handed to the device's writer and goes out in the background, so a
  // device that stops taking reports holds up nothing else; WritesPending()
  // tells when it has gone, WriteStalled() when it was not taken within
  // kHidWriteTimeLimit.
  bool SendReport(const std::uint8_t* buffer, std::size_t length);
  // ReportDevice, for the exchange.
  std::uint16_t OutputReportByteLength() override { return ReportCaps().OutputReportByteLength; }
  bool SendReport(std::span<const std::uint8_t> report) override {
    return SendReport(report.data(), report.size());
  }
  bool InputPending() override { return reader_ != nullptr && reader_->Pending(); }
  bool WritesPending() override { return outstanding_ > 0; }
  bool WriteStalled() override { return write_stalled_; }
  void SetWriteStateHandler(std::function<void()> handler) override { write_state_handler_ = std::move(handler); }

  // An empty handler stops the reader first. A reader starts when a handler is
  // set, the device is present, claimed and can read and write, and no reader
  // runs yet.
  void SetDataHandler(TJvHidDataEvent handler);
  const TJvHidDataEvent& DataHandler() const { return data_handler_; }
  void SetDataErrorHandler(TJvHidDataErrorEvent handler) { data_error_handler_ = std::move(handler); }
  void SetUnplugHandler(TJvHidPlugEvent handler) { unplug_handler_ = std::move(handler); }
  const TJvHidPlugEvent& UnplugHandler() const { return unplug_handler_; }

  // Closes the main handle (the reader keeps its own).
  void CloseHandles();

 private:
  friend class TJvHidDeviceController;

  bool OpenMain();
  void StopReader();
  void Written(bool ok);
  void ArmStallCheck(Micros at);
  void WriteStateChanged();
  void StartReaderIfReady();

  TJvHidPnPInfo pnp_;
  HidBackend& backend_;
  EventLoop& loop_;
  TJvHidDeviceController* controller_;
  bool present_ = true;
  bool claimed_ = false;
  bool in_event_ = false;
  std::unique_ptr<HidHandle> main_;
  HidAttributes attributes_;
  std::u16string product_;
  std::u16string serial_;
  std::optional<HidReportCaps> caps_;
  int reader_sleep_time_ = 100;
  TJvHidDataEvent data_handler_;
  TJvHidDataErrorEvent data_error_handler_;
  TJvHidPlugEvent unplug_handler_;
  bool can_read_write_ = false;
  int read_write_error_ = 0;
  std::unique_ptr<HidReader> reader_;
  std::unique_ptr<HidWriter> writer_;
  int outstanding_ = 0;  // reports submitted, not yet ended
  bool write_stalled_ = false;
  TimerId stall_timer_ = 0;
  std::function<void()> write_state_handler_;
};

}  // namespace ql
