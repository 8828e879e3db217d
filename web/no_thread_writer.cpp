#include "hid/hid_backend.h"

namespace ql {

// The browser has no threads to write on: a backend there brings its own
// writer (WebHID's promises, the virtual backend's loop). One that does not
// gets none, and the device writes through its handle at once.
std::unique_ptr<HidWriter> HidBackend::StartWriter(const HidInterfaceInfo& /*info*/, EventLoop& /*loop*/,
                                                   HidWriterCallbacks /*callbacks*/) {
  return nullptr;
}

}  // namespace ql
