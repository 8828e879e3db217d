#pragma once
// The Windows HID backend: interfaces of the HID class from setupapi (their
// path as identity, their USB port from the device's location paths),
// attributes, strings and report lengths from hid.dll, overlapped I/O on the
// interface path, and device-change messages on a hidden window of its own
// thread. hid.dll and setupapi.dll are loaded at run time: without them the
// backend finds no devices, and Problem() says why.

#include <memory>
#include <string>

#include "hid/hid_backend.h"

namespace ql {

std::unique_ptr<HidBackend> MakeWin32HidBackend();

// Why the backend finds no devices: "" when hid.dll and setupapi.dll are
// there, else what is missing ("hid.dll lacks HidD_GetAttributes").
std::string Win32HidProblem();

// The reader thread on an interface path, opened for overlapped reads of
// itself; reads of `input_length` bytes (the report-ID byte first).
std::unique_ptr<HidReader> StartWin32Reader(const std::string& path, EventLoop& loop, std::uint16_t input_length,
                                            int sleep_ms, HidReaderCallbacks callbacks);

}  // namespace ql
