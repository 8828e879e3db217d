#pragma once
// The Linux HID backend: interfaces from udev's "hidraw" subsystem, strings
// from the USB parent device (or the HID device's own name where there is no
// USB parent, as with /dev/uhid devices), I/O on /dev/hidrawN, report lengths
// from the report descriptor, and a udev monitor for device-tree changes
// (re-enumerating every 500 ms where no monitor can be had).

#include <memory>

#include "hid/hid_backend.h"

namespace ql {

std::unique_ptr<HidBackend> MakeLinuxHidBackend();

}  // namespace ql
