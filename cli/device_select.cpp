#include "cli/device_select.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "cli/device_options.h"
#include "hid/platform_hid_backend.h"

namespace ql::cli {

std::string AttachedLine(TJvHidDevice& device) {
  const HidInterfaceInfo& info = device.PnPInfo().info;
  return "  " + (info.port.empty() ? std::string("-") : "port " + info.port) + "  " + info.path + "  " +
         DeviceName(device);
}

void AddRealDeviceOptions(CLI::App& cmd, RealDeviceOptions& options, const std::string& group) {
  cmd.add_option("--path", options.path,
                 std::string("The bootloader's ") + kDeviceNodeName +
                     ", as `quelloader-cli list` shows it (any HID device named there is taken as the bootloader)")
      ->type_name("PATH")
      ->group(group);
  cmd.add_option("--serial", options.serial, "Only the bootloader with this serial number")
      ->type_name("S")
      ->group(group);
  cmd.add_option("--port", options.ports,
                 "Only the bootloader on this USB port, as `quelloader-cli list` shows it (1-2.3); "
                 "stays the same when the board resets; repeatable")
      ->type_name("PORT")
      ->group(group);
}

void AddWaitOption(CLI::App& cmd, RealDeviceOptions& options, const std::string& group) {
  // A flag with an optional attached value: "--wait" or "--wait=SECONDS", so
  // that "--wait FILE" never takes the file for the number.
  cmd.add_flag("--wait{" + std::to_string(kDefaultWaitSeconds) + "}", options.wait_seconds,
               "Wait for the bootloader to appear: --wait for " +
                   std::to_string(kDefaultWaitSeconds) + " s, --wait=SECONDS for longer or shorter")
      ->transform(CommandLineNumber())
      ->check(CLI::Range(0, kMaxWaitSeconds))
      ->option_text("[=SECONDS]")
      ->group(group);
}

// The link's view on a command line: the history lines.
class BootloaderSession::View final : public DeviceLinkView {
 public:
  explicit View(std::function<void(std::string_view)> history) : history_(std::move(history)) {}
  void ShowMcuType(std::uint8_t) override {}
  void ShowDeviceName(std::string_view) override {}
  void SetLinkPicture(int) override {}
  void SetConnectCaption(std::string_view) override {}
  void SetStartEnabled(bool) override {}
  void AppendHistory(std::string_view line) override {
    if (history_) history_(line);
  }

 private:
  std::function<void(std::string_view)> history_;
};

BootloaderSession::BootloaderSession(EventLoop& loop, Exchange& exchange,
                                     RealDeviceOptions options,
                                     std::function<void(std::string_view)> history,
                                     std::unique_ptr<HidBackend> backend)
    : loop_(loop),
      exchange_(exchange),
      options_(std::move(options)),
      backend_(backend ? std::move(backend) : MakePlatformHidBackend()),
      view_(std::make_unique<View>(std::move(history))) {
  if (!options_.path.empty()) options_.path = CanonicalNode(options_.path);
  link_ = std::make_unique<DeviceLink>(loop_, *backend_, exchange_, *view_);
  link_->Matches = [this](TJvHidDevice& d, std::string_view name) {
    if (!options_.path.empty()) {
      if (d.PnPInfo().DevicePath() != options_.path) return false;
    } else if (d.ProductText() != name) {
      return false;
    }
    if (!options_.ports.empty() &&
        std::find(options_.ports.begin(), options_.ports.end(), d.PnPInfo().info.port) == options_.ports.end())
      return false;
    return options_.serial.empty() || d.SerialText() == options_.serial;
  };
}

BootloaderSession::~BootloaderSession() {
  link_.reset();
  backend_.reset();
}

bool BootloaderSession::Ambiguous(std::string* listing) const {
  int count = 0;
  for (const DeviceLink::Entry& entry : link_->HidDeviceList()) {
    if (!entry.device || !link_->Matches(*entry.device, BootloaderProductName)) continue;
    ++count;
    *listing += AttachedLine(*entry.device) + "\n";
  }
  if (!listing->empty()) listing->pop_back();
  return count > 1;
}

std::string BootloaderSession::Path() const {
  const TJvHidDevice* d = link_->CurrentDevice();
  return d != nullptr ? d->PnPInfo().DevicePath() : std::string();
}

ExitCode BootloaderSession::Find(std::string* message) {
  const Micros deadline = loop_.now() + from_ms(std::int64_t{options_.wait_seconds} * 1000);
  // The first list rebuild runs as soon as the loop does; its boot-info
  // request takes at most a second.
  loop_.run_until([this] { return link_->ListRebuildCount() > 0; }, loop_.now() + from_ms(5000));
  // Two bootloaders and nothing that tells them apart: taking the first
  // would flash whichever the kernel happened to list first.
  if (std::string listing; Ambiguous(&listing)) {
    if (message != nullptr) {
      *message = "more than one bootloader is attached; choose one with --port, --serial or --path "
                 "(or flash them all with --all):\n" + listing;
    }
    return ExitCode::Usage;
  }
  // A node udev has not finished with may not be open to this user yet: its
  // rule's access comes with udev's announcement, which is waited for.
  const Micros settle_deadline = std::max(deadline, loop_.now() + from_ms(kSettleWaitMs));
  for (;;) {
    if (TJvHidDevice* d = link_->CurrentDevice()) {
      // Access that came after the selection (udev's announcement of the
      // node) has set off a new selection, which is still to run.
      const bool reselection_due = d->CanReadWrite() && !d->HasReader();
      if (d->CanReadWrite() && !reselection_due) return ExitCode::Success;
      if ((reselection_due || d->PnPInfo().info.settling) && loop_.now() < settle_deadline) {
        const int seen = link_->ListRebuildCount();
        loop_.run_until(
            [this, seen] {
              const TJvHidDevice* c = link_->CurrentDevice();
              return link_->ListRebuildCount() != seen || c == nullptr ||
                     (!c->PnPInfo().info.settling && !c->CanReadWrite());
            },
            settle_deadline);
        continue;
      }
      if (reselection_due) break;
      const int error = d->ReadWriteError();
      if (message != nullptr) {
        *message = "cannot open " + d->PnPInfo().DevicePath() + " (" + DeviceName(*d) +
                   "): " + std::strerror(error);
        if (const std::string remedy = AccessRemedy(error); !remedy.empty()) {
          *message += ".\n" + remedy;
        }
      }
      return IsAccessError(error) ? ExitCode::PermissionDenied : ExitCode::Failed;
    }
    if (loop_.now() >= deadline) break;
    const int seen = link_->ListRebuildCount();
    loop_.run_until([this, seen] { return link_->ListRebuildCount() != seen; }, deadline);
  }
  if (link_->FailureSeen(SessionFailure::ReportsTooShort)) {
    if (message != nullptr) *message = "the bootloader cannot be used: its output reports are too short";
    return ExitCode::Failed;
  }
  if (message != nullptr) {
    if (link_->FailureSeen(SessionFailure::NotInBootloader)) {
      *message = "the bootloader does not answer: reset the device into its bootloader";
    } else if (!options_.path.empty()) {
      *message = "no HID device at " + options_.path;
    } else {
      *message = "no bootloader found: no HID device named \"" +
                 std::string(BootloaderProductName) + "\"";
      if (!options_.serial.empty()) *message += " with serial number " + options_.serial;
      *message += " is attached";
    }
  }
  return link_->FailureSeen(SessionFailure::NotInBootloader) ? ExitCode::Failed : ExitCode::NoDevice;
}


}  // namespace ql::cli
