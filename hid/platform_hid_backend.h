#pragma once
// The HID backend of the system the program runs on: hidraw and udev on
// Linux, setupapi and hid.dll on Windows. Each backend's file defines it.

#include <memory>

#include "hid/hid_backend.h"

namespace ql {

std::unique_ptr<HidBackend> MakePlatformHidBackend();

}  // namespace ql
