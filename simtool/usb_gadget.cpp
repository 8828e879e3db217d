#include "simtool/usb_gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "core/blocking_event_loop.h"
#include "protocol/exchange.h"
#include "simtool/uhid_descriptor.h"

namespace ql {

namespace {

constexpr const char* kFunction = "functions/hid.usb0";
constexpr const char* kConfig = "configs/c.1";
constexpr const char* kNamePrefix = "quelloader-sim.";

// configfs makes every attribute with its directory, so O_CREAT only ever
// matters in a plain folder standing in for it.
bool WriteText(const std::string& path, std::string_view text, int* error = nullptr) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error != nullptr) *error = errno;
    return false;
  }
  ssize_t n;
  do {
    n = write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  const int write_error = errno;
  close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    if (error != nullptr) *error = n < 0 ? write_error : EIO;
    return false;
  }
  return true;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  return text;
}

bool IsDir(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// configfs removes a directory's attributes with it; a plain folder (tests)
// needs them unlinked first. Unlinking an attribute in configfs just fails.
void RemoveDir(const std::string& dir) {
  for (const std::string& name : Entries(dir)) {
    const std::string p = dir + "/" + name;
    struct stat st{};
    if (lstat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) unlink(p.c_str());
  }
  rmdir(dir.c_str());
}

std::string Line(const std::string& text) { return text + "\n"; }

std::string Hex4(std::uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", v);
  return text;
}

}  // namespace

// ---- The gadget in configfs --------------------------------------------------

UsbGadget::UsbGadget(std::string configfs, std::string udc_class, std::string name,
                     UsbGadgetIdentity identity)
    : configfs_(std::move(configfs)),
      udc_class_(std::move(udc_class)),
      name_(std::move(name)),
      path_(configfs_ + "/usb_gadget/" + name_),
      identity_(std::move(identity)) {}

UsbGadget::~UsbGadget() { Remove(); }

std::string UsbGadget::NameForThisProcess() {
  static int made = 0;
  std::string name = kNamePrefix + std::to_string(getpid());
  if (made++ > 0) name += "." + std::to_string(made);
  return name;
}

bool UsbGadget::Create(std::string* error) {
  auto fail = [&](std::string why) {
    if (error != nullptr) *error = std::move(why);
    Remove();
    return false;
  };
  if (!IsDir(configfs_ + "/usb_gadget")) {
    std::ifstream filesystems("/proc/filesystems");
    const std::string all((std::istreambuf_iterator<char>(filesystems)), std::istreambuf_iterator<char>());
    if (all.find("configfs") == std::string::npos) {
      return fail("configfs is not available: load it with  sudo modprobe configfs  (the kernel needs CONFIG_CONFIGFS_FS)");
    }
    if (!IsDir(configfs_) || Entries(configfs_).empty()) {
      return fail("configfs is not mounted on " + configfs_ + ": mount it with  sudo mount -t configfs none " + configfs_);
    }
    return fail("no usb_gadget in " + configfs_ +
                ": the USB gadget framework is not loaded; load it with  sudo modprobe libcomposite");
  }
  if (mkdir(path_.c_str(), 0755) != 0) {
    const int e = errno;
    if (e == EACCES || e == EPERM) {
      return fail("cannot make a USB gadget in " + configfs_ + "/usb_gadget (" + std::strerror(e) +
                  "): run it as root (sudo quelloader-sim ... --usb)");
    }
    return fail("cannot make " + path_ + ": " + std::strerror(e));
  }
  created_ = true;
  const std::string strings = path_ + "/strings/0x409";
  const std::string config = path_ + "/" + kConfig;
  const std::string function = path_ + "/" + kFunction;
  int e = 0;
  auto put = [&](const std::string& file, std::string_view text) {
    if (WriteText(file, text, &e)) return true;
    if (error != nullptr) *error = "cannot write " + file + ": " + std::strerror(e);
    return false;
  };
  // Every string is written, empty ones too: the gadget's string table ends
  // at the first one never set, which would hide the product behind a
  // missing manufacturer. An empty string reads as none on the host; it is
  // written as a lone newline, which configfs strips (it refuses 0 bytes).
  if (!put(path_ + "/idVendor", Hex4(identity_.vendor_id)) ||
      !put(path_ + "/idProduct", Hex4(identity_.product_id)) || !put(path_ + "/bcdDevice", "0x0100") ||
      !put(path_ + "/bcdUSB", "0x0200")) {
    Remove();
    return false;
  }
  mkdir((path_ + "/strings").c_str(), 0755);
  if ((mkdir(strings.c_str(), 0755) != 0 && errno != EEXIST) ||
      !put(strings + "/manufacturer", Line(identity_.manufacturer)) ||
      !put(strings + "/product", Line(identity_.product)) || !put(strings + "/serialnumber", Line(identity_.serial))) {
    if (error != nullptr && error->empty()) *error = "cannot make " + strings + ": " + std::strerror(errno);
    Remove();
    return false;
  }
  mkdir((path_ + "/configs").c_str(), 0755);
  mkdir((config).c_str(), 0755);
  mkdir((config + "/strings").c_str(), 0755);
  mkdir((config + "/strings/0x409").c_str(), 0755);
  if (!IsDir(config) || !put(config + "/MaxPower", "100") ||
      !put(config + "/strings/0x409/configuration", "Bootloader")) {
    Remove();
    return false;
  }
  mkdir((path_ + "/functions").c_str(), 0755);
  if (mkdir(function.c_str(), 0755) != 0) {
    const int me = errno;
    return fail(me == ENOENT || me == ENODEV
                    ? "the kernel has no HID gadget function: load it with  sudo modprobe usb_f_hid"
                    : "cannot make " + function + ": " + std::strerror(me));
  }
  const std::string descriptor(kBootloaderReportDescriptor.begin(), kBootloaderReportDescriptor.end());
  if (!put(function + "/protocol", "0") || !put(function + "/subclass", "0") ||
      !put(function + "/report_length", "64") || !put(function + "/report_desc", descriptor)) {
    Remove();
    return false;
  }
  if (symlink(function.c_str(), (config + "/hid.usb0").c_str()) != 0) {
    return fail("cannot add the HID function to the configuration: " + std::string(std::strerror(errno)));
  }
  return true;
}

bool UsbGadget::Bind(const std::string& udc, std::string* error) {
  std::vector<std::string> candidates;
  if (!udc.empty()) {
    candidates.push_back(udc);
  } else {
    candidates = Entries(udc_class_);
  }
  if (candidates.empty()) {
    if (error != nullptr) {
      *error = "no USB device controller in " + udc_class_ +
               ": this machine has no USB device port, or its driver is not loaded "
               "(a Raspberry Pi needs dtoverlay=dwc2; for a test without one:  sudo modprobe dummy_hcd)";
    }
    return false;
  }
  int last = 0;
  for (const std::string& name : candidates) {
    // A controller bound to another gadget refuses (EBUSY); try the next.
    if (WriteText(path_ + "/UDC", name, &last)) {
      udc_ = name;
      bound_ = true;
      return true;
    }
  }
  if (error != nullptr) {
    if (!udc.empty()) {
      *error = "cannot bind to the USB device controller " + udc + " (" + std::strerror(last) +
               "): it is missing or in use by another gadget; the machine has: ";
      const auto all = Entries(udc_class_);
      for (std::size_t i = 0; i < all.size(); ++i) *error += (i ? ", " : "") + all[i];
      if (all.empty()) *error += "none";
    } else {
      *error = "every USB device controller is in use by another gadget (" + std::to_string(candidates.size()) +
               " in " + udc_class_ + ")";
    }
  }
  return false;
}

void UsbGadget::Unbind() {
  if (!bound_) return;
  WriteText(path_ + "/UDC", "\n");
  bound_ = false;
}

void UsbGadget::Remove() {
  Unbind();
  if (!created_) return;
  created_ = false;
  unlink((path_ + "/" + kConfig + "/hid.usb0").c_str());
  RemoveDir(path_ + "/" + kConfig + "/strings/0x409");
  RemoveDir(path_ + "/" + kConfig + "/strings");
  RemoveDir(path_ + "/" + kConfig);
  RemoveDir(path_ + "/configs");
  RemoveDir(path_ + "/" + kFunction);
  RemoveDir(path_ + "/functions");
  RemoveDir(path_ + "/strings/0x409");
  RemoveDir(path_ + "/strings");
  RemoveDir(path_);
}

std::string UsbGadget::DeviceNode() const {
  if (!bound_) return "";
  const std::string dev = ReadText(path_ + "/" + kFunction + "/dev");  // "MAJOR:MINOR"
  if (dev.empty()) return "";
  std::istringstream uevent(ReadText("/sys/dev/char/" + dev + "/uevent"));
  for (std::string line; std::getline(uevent, line);) {
    if (line.rfind("DEVNAME=", 0) == 0) return "/dev/" + line.substr(8);
  }
  return "";
}

void UsbGadget::RemoveStale(const std::string& configfs) {
  const std::string root = configfs + "/usb_gadget";
  for (const std::string& name : Entries(root)) {
    if (name.rfind(kNamePrefix, 0) != 0) continue;
    const std::string pid = name.substr(std::strlen(kNamePrefix), name.find('.', std::strlen(kNamePrefix)) -
                                                                      std::strlen(kNamePrefix));
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (kill(static_cast<pid_t>(std::stol(pid)), 0) == 0 || errno == EPERM) continue;
    UsbGadget stale(configfs, "", name, {});
    stale.created_ = true;
    stale.bound_ = !ReadText(stale.path_ + "/UDC").empty();
    stale.Remove();
  }
}

// ---- The model behind /dev/hidgN ---------------------------------------------

UsbGadgetBridge::UsbGadgetBridge(EventLoop& loop, sim::Config config) : loop_(loop), driver_(loop, std::move(config)) {
  driver_.on_input = [this](std::span<const std::uint8_t> data) { Send(std::vector<std::uint8_t>(data.begin(), data.end())); };
  driver_.on_unplug = [this] {
    Detach();
    if (on_leave) on_leave();
  };
  driver_.log = [this](std::string_view line) {
    if (log) log(line);
  };
}

UsbGadgetBridge::~UsbGadgetBridge() { Detach(); }

void UsbGadgetBridge::Attach(int fd) {
  Detach();
  fd_ = fd;
}

void UsbGadgetBridge::Detach() {
  driver_.CancelAnswers();
  if (retry_) loop_.cancel(*retry_);
  retry_.reset();
  queue_.clear();
  fd_ = -1;
}

bool UsbGadgetBridge::OnReadable() {
  if (fd_ < 0) return true;
  std::uint8_t report[256];
  const ssize_t n = read(fd_, report, sizeof report);
  if (n < 0) {
    // The controller left the bus under it (ESHUTDOWN) or nothing is there.
    return errno == EAGAIN || errno == EINTR || errno == ESHUTDOWN || errno == ECONNRESET;
  }
  if (n == 0) return true;
  Handle(std::span<const std::uint8_t>(report, static_cast<std::size_t>(n)));
  return true;
}

void UsbGadgetBridge::Handle(std::span<const std::uint8_t> data) {
  if (!driver_.present()) return;
  if (on_report) on_report(data);
  // Interrupt OUT carries the 64 data bytes alone: without numbered reports
  // the host's report-ID byte 0 never reaches the wire. The driver takes the
  // report as a host writes it, ID first.
  std::vector<std::uint8_t> report;
  report.reserve(data.size() + 1);
  report.push_back(0);
  report.insert(report.end(), data.begin(), data.end());
  driver_.Receive(report);
}

void UsbGadgetBridge::Send(std::vector<std::uint8_t> data) {
  if (fd_ < 0) return;
  queue_.push_back(std::move(data));
  if (!retry_) Flush();
}

void UsbGadgetBridge::Flush() {
  retry_.reset();
  while (!queue_.empty() && fd_ >= 0) {
    const std::vector<std::uint8_t>& data = queue_.front();
    const ssize_t n = write(fd_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The IN endpoint still holds the last report: the host has not
      // polled it yet (or no program has the node open). Try again soon,
      // less often the longer it waits.
      retry_delay_ = retry_delay_ == 0 ? 1000 : std::min<Micros>(retry_delay_ * 2, from_ms(50));
      retry_ = loop_.schedule_after(retry_delay_, [this] { Flush(); });
      return;
    }
    retry_delay_ = 0;
    if (n == static_cast<ssize_t>(data.size())) ++sent_;
    queue_.erase(queue_.begin());  // sent, or refused for good (off the bus)
  }
}

// ---- quelloader-sim --usb --------------------------------------------------

namespace {

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int ServeUsbGadget(const UsbServeOptions& options) {
  auto say = [&](const std::string& line) {
    if (options.quiet) return;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  // Signals are taken before the gadget exists, so that none can end the
  // process between its making and the loop that removes it.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

  UsbGadget::RemoveStale(options.configfs);
  UsbGadget gadget(options.configfs, options.udc_class, UsbGadget::NameForThisProcess(), options.identity);
  std::string error;
  if (!gadget.Create(&error) || !gadget.Bind(options.udc, &error)) {
    std::fprintf(stderr, "quelloader-sim: %s\n", error.c_str());
    if (signal_fd >= 0) close(signal_fd);
    return 1;
  }

  BlockingEventLoop loop;
  UsbGadgetBridge bridge(loop, options.config);
  if (!options.quiet) {
    bridge.log = [](std::string_view line) {
      std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
      std::fflush(stdout);
    };
  }
  if (options.verbose && !options.quiet) {
    bridge.on_report = [](std::span<const std::uint8_t> report) {
      std::printf("report: %s\n", HexBytes(report).c_str());
      std::fflush(stdout);
    };
  }

  int fd = -1;
  EventLoop::WatchId watch = 0;
  bool stop = false;
  bool broken = false;
  // The node comes with the bind; devtmpfs makes it at once, udevd may
  // take a moment to give it its mode.
  auto open_node = [&]() -> bool {
    const Micros until = loop.now() + from_ms(5000);
    std::string node;
    while (loop.now() < until) {
      node = gadget.DeviceNode();
      if (!node.empty()) {
        fd = open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) break;
      }
      loop.sleep(from_ms(10));
    }
    if (fd < 0) {
      std::fprintf(stderr, "quelloader-sim: cannot open the gadget's HID node %s: %s\n",
                   node.empty() ? "(none)" : node.c_str(), std::strerror(errno));
      return false;
    }
    bridge.Attach(fd);
    watch = loop.watch_readable(fd, [&] {
      if (!bridge.OnReadable()) {
        broken = true;
        stop = true;
      }
      // A device that has stopped taking reports no longer reads its OUT
      // endpoint: the gadget driver's few buffers fill, the endpoint NAKs and
      // the host's writes stall.
      if (bridge.model().deaf() && watch != 0) {
        loop.unwatch(watch);
        watch = 0;
        say("no longer taking reports");
      }
    });
    say("quelloader-sim: on the bus through " + gadget.udc() + " (" + node + ")");
    return true;
  };
  auto close_node = [&] {
    bridge.Detach();
    if (watch != 0) loop.unwatch(watch);
    watch = 0;
    if (fd >= 0) close(fd);
    fd = -1;
  };
  bool finished = false;
  bridge.on_leave = [&] {
    // Posted: the node must not be closed inside its own handlers.
    loop.post([&] {
      close_node();
      gadget.Unbind();
      if (!options.come_back_ms) {
        finished = true;
        return;
      }
      loop.schedule_after(from_ms(*options.come_back_ms), [&] {
        bridge.ComeBack();
        std::string why;
        if (!gadget.Bind(gadget.udc(), &why) && !gadget.Bind("", &why)) {
          std::fprintf(stderr, "quelloader-sim: cannot come back on the bus: %s\n", why.c_str());
          broken = true;
          stop = true;
          return;
        }
        say("back in the bootloader");
        if (!open_node()) {
          broken = true;
          stop = true;
        }
      });
    });
  };
  if (!open_node()) {
    gadget.Remove();
    if (signal_fd >= 0) close(signal_fd);
    return 1;
  }
  if (!options.quiet) {
    const auto& info = options.config.info;
    std::printf("quelloader-sim: \"%s\" (USB ID %04x:%04x, %s), bootloader at 0x%X, erase block %u, write block %u\n",
                options.identity.product.c_str(), options.identity.vendor_id, options.identity.product_id,
                info.BootDeviceName.c_str(), static_cast<unsigned>(info.BootStart),
                static_cast<unsigned>(info.EraseBlockSize), static_cast<unsigned>(info.WriteBlockSize));
    std::fflush(stdout);
  }
  if (signal_fd >= 0) {
    loop.watch_readable(signal_fd, [&] {
      signalfd_siginfo info{};
      while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) stop = true;
    });
  }
  while (!stop && !finished) loop.process_events(loop.now() + from_ms(1000));
  close_node();
  gadget.Remove();

  int code = broken ? 1 : 0;
  if (broken && !options.quiet) std::fprintf(stderr, "quelloader-sim: the gadget's HID node failed\n");
  if (!options.dump_flash.empty()) {
    if (WriteFile(options.dump_flash, bridge.model().flash())) {
      say("flash written to " + options.dump_flash);
    } else {
      std::fprintf(stderr, "quelloader-sim: cannot write \"%s\": %s\n", options.dump_flash.c_str(),
                   std::strerror(errno));
      code = 1;
    }
  }
  if (signal_fd >= 0) close(signal_fd);
  return code;
}

}  // namespace ql
