#include "simtool/uhid_bridge.h"

#include <linux/input.h>
#include <linux/uhid.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "simtool/uhid_descriptor.h"

namespace ql {

namespace {

void CopyText(std::uint8_t* to, std::size_t room, std::string_view text) {
  std::memcpy(to, text.data(), std::min(text.size(), room - 1));
}

}  // namespace

UhidBridge::UhidBridge(int fd, EventLoop& loop, sim::Config config, UhidIdentity identity)
    : fd_(fd), driver_(loop, std::move(config)), identity_(std::move(identity)) {
  driver_.on_input = [this](std::span<const std::uint8_t> data) { Input(data); };
  driver_.on_unplug = [this] { Destroy(); };
  driver_.log = [this](std::string_view line) {
    if (log) log(line);
  };
}

UhidBridge::~UhidBridge() { Destroy(); }

bool UhidBridge::WriteEvent(const void* event, std::size_t size) {
  for (;;) {
    const ssize_t n = write(fd_, event, size);
    if (n < 0 && errno == EINTR) continue;
    return n == static_cast<ssize_t>(size);
  }
}

bool UhidBridge::Create(std::string* error) {
  uhid_event ev{};
  ev.type = UHID_CREATE2;
  CopyText(ev.u.create2.name, sizeof ev.u.create2.name, identity_.name);
  CopyText(ev.u.create2.phys, sizeof ev.u.create2.phys, "quelloader-sim");
  CopyText(ev.u.create2.uniq, sizeof ev.u.create2.uniq, identity_.serial);
  ev.u.create2.rd_size = static_cast<__u16>(kBootloaderReportDescriptor.size());
  ev.u.create2.bus = BUS_USB;
  ev.u.create2.vendor = kSimVendorId;
  ev.u.create2.product = kSimProductId;
  ev.u.create2.version = 0x0100;
  std::copy(kBootloaderReportDescriptor.begin(), kBootloaderReportDescriptor.end(),
            ev.u.create2.rd_data);
  if (!WriteEvent(&ev, sizeof ev)) {
    if (error != nullptr) *error = std::string("cannot create the HID device: ") + std::strerror(errno);
    return false;
  }
  created_ = true;
  return true;
}

void UhidBridge::Destroy() {
  if (!created_ || finished_) return;
  uhid_event ev{};
  ev.type = UHID_DESTROY;
  WriteEvent(&ev, sizeof ev);
  finished_ = true;
  driver_.Unplug();  // nothing more goes to a destroyed device
}

bool UhidBridge::OnReadable() {
  uhid_event ev{};
  const ssize_t n = read(fd_, &ev, sizeof ev);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (n == 0) return false;
  switch (ev.type) {
    case UHID_START:
      if (log) log("started by the kernel");
      break;
    case UHID_OPEN:
      if (log) log("opened by a host program");
      break;
    case UHID_CLOSE:
      if (log) log("closed by the host program");
      break;
    case UHID_STOP:
      if (log) log("stopped by the kernel");
      break;
    case UHID_OUTPUT: {
      const std::size_t size = std::min<std::size_t>(ev.u.output.size, UHID_DATA_MAX);
      Output(std::span<const std::uint8_t>(ev.u.output.data, size));
      break;
    }
    case UHID_GET_REPORT: {
      // No feature or input reports on request: the bootloader has none.
      uhid_event reply{};
      reply.type = UHID_GET_REPORT_REPLY;
      reply.u.get_report_reply.id = ev.u.get_report.id;
      reply.u.get_report_reply.err = EIO;
      WriteEvent(&reply, sizeof reply);
      break;
    }
    case UHID_SET_REPORT: {
      uhid_event reply{};
      reply.type = UHID_SET_REPORT_REPLY;
      reply.u.set_report_reply.id = ev.u.set_report.id;
      reply.u.set_report_reply.err = EIO;
      WriteEvent(&reply, sizeof reply);
      break;
    }
    default:
      break;
  }
  return true;
}

void UhidBridge::Output(std::span<const std::uint8_t> report) {
  if (finished_) return;
  if (on_report) on_report(report);
  // Without numbered reports the kernel passes the report-ID byte 0 first,
  // as the host wrote it.
  driver_.Receive(report);
}

void UhidBridge::Input(std::span<const std::uint8_t> data) {
  if (finished_) return;
  uhid_event ev{};
  ev.type = UHID_INPUT2;
  const std::size_t size = std::min<std::size_t>(data.size(), UHID_DATA_MAX);
  ev.u.input2.size = static_cast<__u16>(size);
  std::copy_n(data.begin(), size, ev.u.input2.data);
  WriteEvent(&ev, sizeof ev);
}

}  // namespace ql
