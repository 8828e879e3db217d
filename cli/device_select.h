#pragma once
// Finding the bootloader on the real HID transport for quelloader-cli: the
// options naming a device (--path, --serial, --port, --wait) shared by every
// command that talks to one, and, for `info`, a session that finds it and
// reads its boot info through the same device link as the window.

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "core/event_loop.h"
#include "hid/hid_backend.h"
#include "hid/hid_device.h"
#include "protocol/exchange.h"
#include "session/device_link.h"

namespace ql::cli {

// What a device is called where --path names one: a hidraw node on Linux, a
// device path on Windows.
#ifdef _WIN32
inline constexpr const char* kDeviceNodeName = "device path";
#else
inline constexpr const char* kDeviceNodeName = "hidraw node";
// The udev rule the project ships, named in the permission message.
inline constexpr std::string_view kUdevRule = "70-quelloader.rules";
#endif

// Why a device that is there may not be opened, and what to do, for the
// errno of the refused open: "" when there is nothing more to say. Each
// system's own (cli/posix/device_access.cpp, cli/win32/device_access.cpp).
// On Linux EACCES is the node's own permissions (the udev rule is missing)
// and EPERM a policy above them (a sandbox, a container's device list, a
// security module), which no udev rule changes. On Windows EACCES is the
// system keeping the device to itself and EBUSY another program holding it.
std::string AccessRemedy(int error);
// Whether `error` means this user may not open the device (exit code 5).
bool IsAccessError(int error);
// The line under `list` that explains its "[no access]" marks of `error`.
std::string NoAccessText(int error);

// Default and upper limit of --wait, in seconds: the command never waits forever.
inline constexpr int kDefaultWaitSeconds = 30;
inline constexpr int kMaxWaitSeconds = 3600;
// How long a node udev is still setting up is given to become accessible.
inline constexpr std::int64_t kSettleWaitMs = 5000;

// A node given as a symbolic link (/dev/bootloader -> hidraw3) names the
// node; a Windows device path is taken as it is.
std::string CanonicalNode(const std::string& path);
// A device's line in a listing of attached bootloaders: its port, node and name.
std::string AttachedLine(TJvHidDevice& device);

struct RealDeviceOptions {
  std::string path;    // a /dev/hidrawN node, as `list` shows it; "" for any
  std::string serial;  // the bootloader's serial number; "" for any
  int wait_seconds = 0;  // how long to wait for the bootloader to appear
  std::vector<std::string> ports{};  // USB port paths ("1-2.3"); empty for any
};

// Adds --path and --serial to `cmd` under `group`.
void AddRealDeviceOptions(CLI::App& cmd, RealDeviceOptions& options,
                          const std::string& group = "Device selection");
// Adds --wait[=SECONDS] (30 s when given without a value).
void AddWaitOption(CLI::App& cmd, RealDeviceOptions& options,
                   const std::string& group = "Device selection");

// The bootloader behind the device link, for `info`: found (waited for, and
// told apart from others) and its boot info read.
class BootloaderSession {
 public:
  // `history` receives the link's history lines (the window's history log);
  // `backend` null means the Linux backend.
  BootloaderSession(EventLoop& loop, Exchange& exchange, RealDeviceOptions options,
                    std::function<void(std::string_view)> history,
                    std::unique_ptr<HidBackend> backend = nullptr);
  ~BootloaderSession();
  BootloaderSession(const BootloaderSession&) = delete;
  BootloaderSession& operator=(const BootloaderSession&) = delete;

  // Finds the bootloader and reads its boot info, waiting up to the options'
  // wait_seconds for one to appear. Success, NoDevice, PermissionDenied or
  // Failed (present but not answering); `message` gets the diagnostic.
  ExitCode Find(std::string* message);

  DeviceLink& link() { return *link_; }
  // The selected device's node, "" when none.
  std::string Path() const;
  // More than one attached bootloader fits the options; `listing` gets them,
  // one line each.
  bool Ambiguous(std::string* listing) const;

 private:
  class View;
  EventLoop& loop_;
  Exchange& exchange_;
  RealDeviceOptions options_;
  std::unique_ptr<HidBackend> backend_;
  std::unique_ptr<View> view_;
  std::unique_ptr<DeviceLink> link_;
};

// `quelloader-cli list` and `quelloader-cli info`.
Command AddListCommand(CLI::App& app);
Command AddInfoCommand(CLI::App& app);

}  // namespace ql::cli
