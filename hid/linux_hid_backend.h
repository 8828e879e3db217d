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

// The reader thread on an open descriptor (taken over: closed with the
// reader). Each read gives one report; without report IDs a 0 byte is put in
// front of it. Exposed for tests, which feed it through a socket pair.
std::unique_ptr<HidReader> StartFdReader(int fd, bool uses_report_ids, std::uint16_t input_length,
                                         int sleep_ms, EventLoop& loop,
                                         HidReaderCallbacks callbacks);

}  // namespace ql
