#include "web/web_uploader.h"

#include <utility>

#include "core/bootloader_name.h"
#include "core/full_stop.h"
#include "core/mcu_family.h"
#include "image/flash_image.h"
#include "session/device_link.h"

namespace ql::web {

WebUploader::WebUploader(EventLoop& loop, HidBackend& backend, UploaderView& view) : loop_(loop), view_(view) {
  ctl_ = std::make_unique<TJvHidDeviceController>(loop_, backend);
  // Told from the loop, outside the controller's rebuild: the page may
  // start a flash (and claim the device) right from its handler.
  ctl_->OnDeviceChange = [this] {
    loop_.post([this, alive = alive_] {
      if (*alive) view_.DevicesChanged();
    });
  };
  ctl_->OnRemoval = [this](TJvHidDevice& d) {
    if (&d == device_.get() && session_) session_->DeviceRemoved();
  };
}

WebUploader::~WebUploader() {
  *alive_ = false;
  // The flow first, then its session, then the device, then the controller.
  flow_ = Task<bool>();
  session_.reset();
  device_.reset();
  ctl_.reset();
}

std::vector<WebUploader::DeviceEntry> WebUploader::Devices() {
  // Inside the enumeration an unclaimed device may be opened for its strings.
  std::vector<DeviceEntry> out;
  ctl_->OnEnumerate = [&out](TJvHidDevice& d, int) {
    DeviceEntry e;
    e.name = DeviceName(d);
    e.vendor_id = d.VendorID();
    e.product_id = d.ProductID();
    e.bootloader = d.ProductText() == BootloaderProductName;
    e.busy = d.Claimed();
    out.push_back(std::move(e));
    return true;
  };
  ctl_->EnumerateDevices();
  ctl_->OnEnumerate = {};
  return out;
}

bool WebUploader::Flash(std::string hex_text, std::string file_name) {
  if (busy_) return false;
  busy_ = true;
  started_ = loop_.now();
  result_ = FlashResult{};
  view_.SetDeviceName({});
  int index = -1;
  ctl_->OnEnumerate = [&index](TJvHidDevice& d, int idx) {
    if (d.Claimed() || d.ProductText() != BootloaderProductName) return true;
    index = idx;
    return false;
  };
  ctl_->EnumerateDevices();
  ctl_->OnEnumerate = {};
  if (index >= 0) device_ = ctl_->ClaimByIndex(index);
  if (!device_) {
    result_.outcome = "no-bootloader";
    result_.message = "Unable to find device: " + std::string(BootloaderProductName) + ".";
    End(result_);
    return true;
  }
  session_ = std::make_unique<Session>(loop_, *device_, view_, /*blocking_waits=*/false);
  flow_ = Flow(std::move(hex_text), std::move(file_name));
  return true;
}

void WebUploader::Stop() {
  if (session_) session_->Stop();
}

Task<bool> WebUploader::Flow(std::string hex_text, std::string file_name) {
  Session& s = *session_;
  FlashResult& r = result_;
  const auto fail = [&](const char* outcome, std::string message) {
    r.outcome = outcome;
    r.message = WithFullStop(message);
    End(r);
  };
  const auto step_failure = [&](const char* otherwise, const char* text) {
    switch (s.failure()) {
      case SessionFailure::Removed: return fail("removed", "The bootloader was removed");
      case SessionFailure::WriteStalled: return fail("stalled", "The device stopped taking reports");
      case SessionFailure::Stopped: return fail("stopped", "Stopped");
      default: return fail(otherwise, text);
    }
  };
  if (!s.Attach()) {
    if (s.failure() == SessionFailure::NoAccess) {
      fail("no-access", "The bootloader cannot be opened");
    } else {
      fail("reports-too-short", "The bootloader's reports are too short");
    }
    co_return false;
  }
  if (!co_await s.ReadBootInfo()) {
    step_failure("not-in-bootloader", "The device does not answer as a bootloader");
    co_return false;
  }
  const TBootInfo& info = s.BootInfo();
  r.device = info.BootDeviceName;
  view_.SetDeviceName(info.BootDeviceName);
  r.family = FamilyName(info.McuType);
  FlashImage image;
  const LoadResult loaded = LoadHexText(hex_text, file_name, FamilyFromMcuType(info.McuType), image);
  if (!loaded.ok()) {
    fail("hex-rejected", loaded.message);
    co_return false;
  }
  if (image.ImageEnd() == 0) {
    fail("hex-rejected", "The HEX file holds no data for a " + r.family + " program memory");
    co_return false;
  }
  r.image_bytes = image.ImageEnd();
  if (!co_await s.Connect()) {
    step_failure("connect-failed", "No answer to the handshake");
    co_return false;
  }
  const UploadOutcome outcome = co_await s.Upload(std::move(image));
  switch (outcome) {
    case UploadOutcome::Completed: {
      // The reset must have been taken: a board that stopped listening
      // before it is still in its bootloader.
      if (co_await s.exchange().Sent() == WaitResult::WaitWriteStalled) {
        fail("stalled", "The device did not take the reset: it is still in its bootloader");
        co_return false;
      }
      r.ok = true;
      r.outcome = "completed";
      r.message = "Upload completed.";
      End(r);
      co_return true;
    }
    case UploadOutcome::Declined: fail("declined", "Declined at the bootloader-area question: nothing was written"); break;
    case UploadOutcome::Refused: fail("refused", "The bootloader's boot info or the image cannot be uploaded"); break;
    case UploadOutcome::Stopped: fail("stopped", "Stopped during the upload"); break;
    case UploadOutcome::Failed: step_failure("failed", "The bootloader did not answer"); break;
  }
  co_return false;
}

void WebUploader::End(FlashResult result) {
  result.seconds = static_cast<double>(loop_.now() - started_) / 1e6;
  loop_.post([this, alive = alive_, result = std::move(result)] {
    if (!*alive) return;
    flow_ = Task<bool>();
    session_.reset();
    device_.reset();
    busy_ = false;
    view_.Finished(result);
  });
}

}  // namespace ql::web
