#include "hid/linux_hid_backend.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "core/debug_log.h"
#include "core/parse_number.h"
#include "hid/linux_hid_policy.h"
#include "hid/platform_hid_backend.h"
#include "hid/reader_hand_over.h"
#include "hid/report_descriptor.h"

namespace ql {

namespace {

constexpr Micros kPollInterval = from_ms(500);
constexpr int kMaxReceivesPerDrain = 4096;

// What sysfs and udev say about one hidraw node.
struct NodeFacts {
  std::optional<HidAttributes> attributes;
  std::optional<std::string> product;
  std::optional<std::string> serial;
  std::string hid_syspath;  // the HID device (parent of the hidraw node)
};

std::optional<std::string> Attr(udev_device* dev, const char* name) {
  if (dev == nullptr) return std::nullopt;
  const char* value = udev_device_get_sysattr_value(dev, name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

NodeFacts ReadFacts(udev* context, const std::string& syspath) {
  NodeFacts facts;
  udev_device* node = udev_device_new_from_syspath(context, syspath.c_str());
  if (node == nullptr) return facts;
  // Parents belong to the child device: no unref of their own.
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(node, "hid", nullptr);
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device");
  std::optional<HidId> id;
  if (hid != nullptr) {
    facts.hid_syspath = udev_device_get_syspath(hid);
    if (const char* text = udev_device_get_property_value(hid, "HID_ID")) id = ParseHidId(text);
  }
  const bool from_usb = ChooseStringSource(id, usb != nullptr) == StringSource::UsbDevice;
  if (id) {
    HidAttributes attributes;
    attributes.VendorID = id->vendor;
    attributes.ProductID = id->product;
    if (auto bcd = from_usb ? Attr(usb, "bcdDevice") : std::nullopt) {
      if (const auto version = ParseHexDigits(*bcd, 0xFFFF)) {
        attributes.VersionNumber = static_cast<std::uint16_t>(*version);
      }
    }
    facts.attributes = attributes;
  }
  if (from_usb) {
    facts.product = Attr(usb, "product");
    facts.serial = Attr(usb, "serial");
  } else if (hid != nullptr) {
    // Devices without a USB parent (those made through /dev/uhid), and those
    // on another bus behind a USB adapter (Bluetooth), carry their name and
    // serial on the HID device itself.
    if (const char* name = udev_device_get_property_value(hid, "HID_NAME")) facts.product = name;
    if (const char* uniq = udev_device_get_property_value(hid, "HID_UNIQ"); uniq && *uniq) {
      facts.serial = uniq;
    }
  }
  if (facts.serial && facts.serial->empty()) facts.serial.reset();
  udev_device_unref(node);
  return facts;
}

std::vector<std::uint8_t> DescriptorFromFd(int fd) {
  int size = 0;
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0) return {};
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<__u32>(std::min(size, HID_MAX_DESCRIPTOR_SIZE));
  if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) return {};
  return {descriptor.value, descriptor.value + descriptor.size};
}

std::vector<std::uint8_t> DescriptorFromSysfs(const std::string& hid_syspath) {
  if (hid_syspath.empty()) return {};
  std::ifstream in(hid_syspath + "/report_descriptor", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class LinuxHandle final : public HidHandle {
 public:
  LinuxHandle(int fd, NodeFacts facts) : fd_(fd), facts_(std::move(facts)) {}
  ~LinuxHandle() override {
    if (fd_ >= 0) close(fd_);
  }
  LinuxHandle(const LinuxHandle&) = delete;
  LinuxHandle& operator=(const LinuxHandle&) = delete;

  bool read_write() const override { return fd_ >= 0; }
  std::optional<HidAttributes> GetAttributes() override { return facts_.attributes; }
  std::optional<std::u16string> GetProductString() override {
    if (!facts_.product) return std::nullopt;
    return ToUtf16(*facts_.product);
  }
  std::optional<HidSerialQuery> GetSerialNumberString() override {
    if (!facts_.serial) return std::nullopt;
    // The kernel reads strings in the device's first language and publishes
    // a serial number only when the device answered.
    return HidSerialQuery{ToUtf16(*facts_.serial), std::nullopt, true};
  }
  std::optional<HidReportCaps> GetCaps() override {
    std::vector<std::uint8_t> descriptor =
        fd_ >= 0 ? DescriptorFromFd(fd_) : DescriptorFromSysfs(facts_.hid_syspath);
    if (descriptor.empty()) return std::nullopt;
    const ReportDescriptorInfo info = ParseReportDescriptor(descriptor);
    return HidReportCaps{info.InputReportByteLength, info.OutputReportByteLength};
  }
  bool Write(std::span<const std::uint8_t> report) override {
    if (fd_ < 0 || report.empty()) return false;
    for (;;) {
      const ssize_t n = write(fd_, report.data(), report.size());
      if (n < 0 && errno == EINTR) continue;
      return n == static_cast<ssize_t>(report.size());
    }
  }

 private:
  int fd_;
  NodeFacts facts_;
};

// A reader thread: waits for input reports on its own descriptor and hands
// each to the event thread, waiting until the handler has returned.
class LinuxReader final : public HidReader {
 public:
  LinuxReader(int fd, bool uses_report_ids, std::uint16_t input_length, int sleep_ms,
              EventLoop& loop, HidReaderCallbacks callbacks)
      : hand_over_(ReaderHandOver::Make(loop, std::move(callbacks))),
        fd_(fd),
        wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        uses_report_ids_(uses_report_ids),
        length_(input_length > 1 ? input_length : 65),
        sleep_ms_(sleep_ms) {
    thread_ = std::thread([this] { Run(); });
  }

  ~LinuxReader() override {
    hand_over_->Stop();
    if (wake_fd_ >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
    }
    thread_.join();
    hand_over_->Close();
    if (fd_ >= 0) close(fd_);
    if (wake_fd_ >= 0) close(wake_fd_);
  }
  LinuxReader(const LinuxReader&) = delete;
  LinuxReader& operator=(const LinuxReader&) = delete;

  bool Pending() const override {
    // The kernel's queue first, then the reader: a report the reader takes in
    // between is already marked as held when it leaves the queue.
    if (fd_ >= 0) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) return true;
    }
    return hand_over_->Holding();
  }

 private:
  void Run() {
    std::vector<std::uint8_t> buffer(length_);
    ReaderHandOver& h = *hand_over_;
    while (!h.Stopping()) {
      std::fill(buffer.begin(), buffer.end(), 0);
      if (fd_ < 0) {
        if (!h.Error(static_cast<std::uint32_t>(EBADF))) break;
        if (!h.Pause(sleep_ms_)) break;
        continue;
      }
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      const int ready = poll(fds, wake_fd_ >= 0 ? 2 : 1, sleep_ms_);
      if (ready < 0 && errno != EINTR) {
        if (DebugEnabled()) DebugLog("reader (fd " + std::to_string(fd_) + ")" + ": poll failed: " + std::strerror(errno));
        if (!h.Pause(sleep_ms_)) break;
        continue;
      }
      if (ready <= 0 || h.Stopping()) continue;
      if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0) continue;
      // Without report IDs the node gives the data alone; the report-ID byte
      // 0 goes in front, as the handler expects.
      const std::size_t offset = uses_report_ids_ ? 0 : 1;
      h.SetHolding(true);
      const ssize_t n = read(fd_, buffer.data() + offset, buffer.size() - offset);
      if (n <= 0) h.SetHolding(false);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        // Nothing to read although the node said so: it has gone.
        const int error = n < 0 ? errno : EIO;
        if (DebugEnabled()) DebugLog("reader (fd " + std::to_string(fd_) + ")" + ": read failed: " + std::strerror(error));
        if (!h.Error(static_cast<std::uint32_t>(error))) break;
        // A device that went away fails every read at once: wait a step
        // instead of spinning until its holder gives it back.
        if (!h.Pause(sleep_ms_)) break;
        continue;
      }
      std::vector<std::uint8_t> report(buffer.begin(),
                                       buffer.begin() + static_cast<std::ptrdiff_t>(offset + n));
      if (!h.Report(std::move(report))) break;
    }
  }

  std::shared_ptr<ReaderHandOver> hand_over_;
  int fd_;
  int wake_fd_;
  bool uses_report_ids_;
  std::size_t length_;
  int sleep_ms_;
  std::thread thread_;
};

bool UdevdRunning() { return access("/run/udev/control", F_OK) == 0; }

class LinuxHidBackend final : public HidBackend {
 public:
  LinuxHidBackend() : udev_(udev_new()) {}
  ~LinuxHidBackend() override {
    StopWatching();
    if (udev_ != nullptr) udev_unref(udev_);
  }
  LinuxHidBackend(const LinuxHidBackend&) = delete;
  LinuxHidBackend& operator=(const LinuxHidBackend&) = delete;

  std::vector<HidInterfaceInfo> Enumerate() override {
    std::vector<HidInterfaceInfo> out;
    if (udev_ == nullptr) return out;
    udev_enumerate* e = udev_enumerate_new(udev_);
    if (e == nullptr) return out;
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_scan_devices(e);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
      const char* syspath = udev_list_entry_get_name(entry);
      udev_device* dev = udev_device_new_from_syspath(udev_, syspath);
      if (dev == nullptr) continue;
      if (const char* node = udev_device_get_devnode(dev)) {
        // With udevd running, a node it has not finished with has its rules
        // (and the access they give) still to come; its "add" says when.
        const bool settling = UdevdRunning() && udev_device_get_is_initialized(dev) == 0;
        std::string port;
        if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device")) {
          if (const char* name = udev_device_get_sysname(usb)) port = name;
        }
        out.push_back({syspath, node, settling, std::move(port)});
      }
      udev_device_unref(dev);
    }
    udev_enumerate_unref(e);
    // Numeric order of the nodes (hidraw2 before hidraw10), as users read them.
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
      return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
    });
    return out;
  }

  std::unique_ptr<HidHandle> Open(const HidInterfaceInfo& info, bool read_write,
                                  int* error) override {
    int fd = -1;
    if (read_write) {
      fd = open(info.path.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) {
        if (error != nullptr) *error = errno;
        return nullptr;
      }
    } else if (access(info.path.c_str(), F_OK) != 0) {
      // A query-only open needs the node to exist; the facts come from sysfs.
      if (error != nullptr) *error = errno;
      return nullptr;
    }
    return std::make_unique<LinuxHandle>(fd, ReadFacts(udev_, info.identity));
  }

  std::unique_ptr<HidReader> StartReader(const HidInterfaceInfo& info, EventLoop& loop,
                                         std::uint16_t input_length, int sleep_ms,
                                         HidReaderCallbacks callbacks) override {
    const int fd = open(info.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    bool uses_report_ids = false;
    if (fd >= 0) uses_report_ids = ParseReportDescriptor(DescriptorFromFd(fd)).uses_report_ids;
    return StartFdReader(fd, uses_report_ids, input_length, sleep_ms, loop, std::move(callbacks));
  }

  void WatchChanges(EventLoop& loop, std::function<void(const HidChange&)> changed) override {
    StopWatching();
    loop_ = &loop;
    changed_ = std::move(changed);
    if (udev_ != nullptr) {
      // udevd's events come after its rules have set the node's permissions;
      // without a running udevd, the kernel's own events are all there is.
      monitor_ = udev_monitor_new_from_netlink(udev_, UdevdRunning() ? "udev" : "kernel");
      // A burst (udevadm trigger, a hub full of boards) must not overrun it;
      // should it still, Drain() re-enumerates. A smaller buffer than asked
      // for (the kernel caps it for ordinary users) is no reason to give up.
      if (monitor_ != nullptr) {
        udev_monitor_set_receive_buffer_size(monitor_, kMonitorReceiveBufferBytes);
      }
      if (monitor_ != nullptr &&
          (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
           udev_monitor_enable_receiving(monitor_) < 0)) {
        DebugLog(std::string("udev monitor: cannot receive events: ") + std::strerror(errno));
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
      }
      if (monitor_ != nullptr) {
        watch_ = loop.watch_readable(udev_monitor_get_fd(monitor_), [this] { Drain(); });
      }
    }
    if (watch_ == 0) {
      DebugLog("udev monitor: not available; looking for changes every half second");
      if (monitor_ != nullptr) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
      }
      for (const auto& info : Enumerate()) known_.insert(info.identity);
      ScheduleRescan();
    }
  }

  void StopWatching() override {
    if (loop_ != nullptr) {
      if (watch_ != 0) loop_->unwatch(watch_);
      if (timer_ != 0) loop_->cancel(timer_);
    }
    watch_ = 0;
    timer_ = 0;
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    changed_ = {};
    known_.clear();
  }

 private:
  void Drain() {
    MonitorDrain drain;
    // Bounded, so that a monitor that never runs dry still lets the loop
    // serve everything else; the watch calls again while events are queued.
    for (int i = 0; i < kMaxReceivesPerDrain; ++i) {
      errno = 0;
      udev_device* dev = udev_monitor_receive_device(monitor_);
      if (dev == nullptr) {
        if (errno != 0 && errno != EAGAIN && DebugEnabled()) {
          DebugLog(std::string("udev monitor: receive failed: ") + std::strerror(errno));
        }
        if (!drain.Error(errno)) break;
        continue;
      }
      const char* action = udev_device_get_action(dev);
      const char* syspath = udev_device_get_syspath(dev);
      drain.Event(action != nullptr ? action : "", syspath != nullptr ? syspath : "");
      udev_device_unref(dev);
    }
    if (drain.changed() && changed_) {
      HidChange change;
      change.revisit = drain.revisit();
      change.revisit_all = drain.overrun();
      std::function<void(const HidChange&)> changed = changed_;
      changed(change);
    }
  }

  void ScheduleRescan() {
    timer_ = loop_->schedule_after(kPollInterval, [this] {
      timer_ = 0;
      std::set<std::string> now;
      for (const auto& info : Enumerate()) now.insert(info.identity);
      const bool differs = now != known_;
      known_ = std::move(now);
      ScheduleRescan();
      if (differs && changed_) {
        std::function<void(const HidChange&)> changed = changed_;
        changed(HidChange{});
      }
    });
  }

  udev* udev_;
  udev_monitor* monitor_ = nullptr;
  EventLoop* loop_ = nullptr;
  EventLoop::WatchId watch_ = 0;
  TimerId timer_ = 0;
  std::function<void(const HidChange&)> changed_;
  std::set<std::string> known_;
};

}  // namespace

std::unique_ptr<HidBackend> MakeLinuxHidBackend() { return std::make_unique<LinuxHidBackend>(); }

std::unique_ptr<HidReader> StartFdReader(int fd, bool uses_report_ids, std::uint16_t input_length,
                                         int sleep_ms, EventLoop& loop,
                                         HidReaderCallbacks callbacks) {
  return std::make_unique<LinuxReader>(fd, uses_report_ids, input_length, sleep_ms, loop,
                                       std::move(callbacks));
}

std::unique_ptr<HidBackend> MakePlatformHidBackend() { return MakeLinuxHidBackend(); }

}  // namespace ql
