#include "hid/hid_device.h"

#include <algorithm>
#include <array>
#include <utility>

#include "hid/hid_controller.h"

namespace ql {

namespace {

// Strings come in buffers of 254 UTF-16 units; the text ends at the first NUL.
constexpr std::size_t kStringUnits = 254;

std::u16string UpToNul(std::u16string_view units) {
  units = units.substr(0, kStringUnits);
  const auto nul = units.find(u'\0');
  return std::u16string(units.substr(0, nul));
}

}  // namespace

TJvHidDevice::TJvHidDevice(TJvHidPnPInfo pnp, HidBackend& backend, EventLoop& loop,
                           TJvHidDeviceController* controller)
    : pnp_(std::move(pnp)), backend_(backend), loop_(loop), controller_(controller) {
  if (controller_ != nullptr) {
    // No reader starts: the device is not claimed yet.
    SetDataHandler(controller_->OnDeviceData);
    unplug_handler_ = controller_->OnDeviceUnplug;
  }
  int error = 0;
  main_ = backend_.Open(pnp_.info, true, &error);
  can_read_write_ = main_ != nullptr;
  if (!can_read_write_) {
    read_write_error_ = error;
    main_ = backend_.Open(pnp_.info, false, &error);
  }
  if (!main_) throw EControllerError(kDeviceCannotBeOpened);
  const auto attributes = main_->GetAttributes();
  if (!attributes) {
    main_.reset();
    throw EControllerError(kDeviceCannotBeIdentified);
  }
  attributes_ = *attributes;
  main_.reset();
}

TJvHidDevice::~TJvHidDevice() {
  // What is queued (the reset that ends an upload) goes out first.
  writer_.reset();
  if (stall_timer_ != 0) loop_.cancel(stall_timer_);
  TJvHidDataEvent data_handler = data_handler_;
  TJvHidPlugEvent unplug_handler = unplug_handler_;
  SetDataHandler({});
  unplug_handler_ = {};
  CloseHandles();
  caps_.reset();
  if (controller_ != nullptr) {
    controller_->GiveBack(*this, std::move(data_handler), std::move(unplug_handler),
                          reader_sleep_time_);
  }
}

bool TJvHidDevice::OpenMain() {
  if (main_) return true;
  if (!present_ || !(claimed_ || in_event_)) return false;
  int error = 0;
  main_ = backend_.Open(pnp_.info, true, &error);
  if (!main_) main_ = backend_.Open(pnp_.info, false, &error);
  return main_ != nullptr;
}

void TJvHidDevice::CloseHandles() { main_.reset(); }

std::string TJvHidDevice::ProductText() {
  if (product_.empty() && OpenMain()) {
    if (auto text = main_->GetProductString()) product_ = UpToNul(*text);
    main_.reset();
  }
  return ToUtf8(product_);
}

std::string TJvHidDevice::SerialText() {
  if (serial_.empty() && OpenMain()) {
    auto query = main_->GetSerialNumberString();
    main_.reset();
    if (!query) return {};
    if (query->platform_checked) {
      serial_ = UpToNul(query->serial);
      return ToUtf8(serial_);
    }
    // A serial number that merely repeats the language-ID list, or that of a
    // device without a language-ID list, counts as none.
    std::array<char16_t, kStringUnits> buffer{};
    std::copy_n(query->serial.begin(), std::min(query->serial.size(), kStringUnits),
                buffer.begin());
    std::array<std::uint16_t, kStringUnits> ids;
    ids.fill(0xFFFF);
    if (query->language_ids) {
      const auto& list = *query->language_ids;
      const std::size_t n = std::min(list.size(), kStringUnits);
      std::copy_n(list.begin(), n, ids.begin());
      if (n < kStringUnits) ids[n] = 0;
    }
    std::size_t length = 0;
    for (std::size_t i = kStringUnits; i-- > 0;) {
      if (ids[i] != 0xFFFF) {
        length = ids[i] == 0 ? i : i + 1;
        break;
      }
    }
    for (std::size_t i = 0; i < length; ++i) {
      if (ids[i] != static_cast<std::uint16_t>(buffer[i])) {
        serial_ = UpToNul(std::u16string_view(buffer.data(), buffer.size()));
        break;
      }
    }
  }
  return ToUtf8(serial_);
}

HidReportCaps TJvHidDevice::ReportCaps() {
  if (!caps_ && OpenMain()) {
    caps_ = main_->GetCaps();
    main_.reset();
  }
  return caps_.value_or(HidReportCaps{});
}

void TJvHidDevice::SetReaderSleepTime(int ms) {
  if (ms >= 10 && ms <= 10000) reader_sleep_time_ = ms;
}

bool TJvHidDevice::SendReport(const std::uint8_t* buffer, std::size_t length) {
  if (!OpenMain() || !main_->read_write()) return false;
  if (!writer_) {
    HidWriterCallbacks callbacks;
    callbacks.on_written = [this](bool ok) { Written(ok); };
    writer_ = backend_.StartWriter(pnp_.info, loop_, std::move(callbacks));
    // Without a writer of its own the report goes out here and now.
    if (!writer_) return main_->Write(std::span<const std::uint8_t>(buffer, length));
  }
  writer_->Submit(std::vector<std::uint8_t>(buffer, buffer + length));
  if (outstanding_++ == 0) {
    ArmStallCheck(loop_.now() + kHidWriteTimeLimit);
    WriteStateChanged();
  }
  return true;
}

void TJvHidDevice::Written(bool /*ok*/) {
  // A failed write is not reported: its acknowledgement will not come.
  if (outstanding_ > 0) --outstanding_;
  if (outstanding_ > 0) {
    // The next report is under way from now on.
    ArmStallCheck(loop_.now() + kHidWriteTimeLimit);
    return;
  }
  if (stall_timer_ != 0) loop_.cancel(stall_timer_);
  stall_timer_ = 0;
  WriteStateChanged();
}

void TJvHidDevice::ArmStallCheck(Micros at) {
  if (stall_timer_ != 0) loop_.cancel(stall_timer_);
  stall_timer_ = loop_.schedule_at(at, [this, at] {
    stall_timer_ = 0;
    if (outstanding_ == 0 || write_stalled_) return;
    // A check that runs late (the process was stopped, the machine is busy)
    // lets the writer report first: its write may have ended meanwhile.
    constexpr Micros kLate = from_ms(50);
    if (loop_.now() - at > kLate) {
      ArmStallCheck(loop_.now() + kLate);
      return;
    }
    write_stalled_ = true;
    WriteStateChanged();
  });
}

void TJvHidDevice::WriteStateChanged() {
  if (!write_state_handler_) return;
  std::function<void()> handler = write_state_handler_;  // it may replace itself
  handler();
}

void TJvHidDevice::SetDataHandler(TJvHidDataEvent handler) {
  if (!handler) StopReader();
  data_handler_ = std::move(handler);
  StartReaderIfReady();
}

void TJvHidDevice::StopReader() { reader_.reset(); }

void TJvHidDevice::StartReaderIfReady() {
  if (!data_handler_ || !present_ || !claimed_ || !can_read_write_ || reader_) return;
  const HidReportCaps caps = ReportCaps();
  HidReaderCallbacks callbacks;
  callbacks.on_report = [this](std::span<const std::uint8_t> report) {
    if (report.empty() || !data_handler_) return;
    // A copy: the handler may replace itself while it runs.
    TJvHidDataEvent handler = data_handler_;
    handler(*this, report[0], report.data() + 1, static_cast<std::uint16_t>(report.size() - 1));
  };
  callbacks.on_error = [this](std::uint32_t error) {
    if (!data_error_handler_) return;
    TJvHidDataErrorEvent handler = data_error_handler_;
    handler(*this, error);
  };
  reader_ = backend_.StartReader(pnp_.info, loop_, caps.InputReportByteLength,
                                 reader_sleep_time_, std::move(callbacks));
}

}  // namespace ql
