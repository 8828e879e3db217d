#include "hid/win32_hid_backend.h"

// After <windows.h>, which the API table's header brings first.
#include "hid/win32_hid_api.h"

#include <dbt.h>
#include <devpropdef.h>

#include <array>
#include <future>
#include <thread>
#include <utility>

#include "core/debug_log.h"
#include "hid/platform_hid_backend.h"
#include "hid/win32_device_names.h"

namespace ql {

namespace {

using win32::HidLibraries;
using win32::LoadHidLibraries;
using win32::UniqueHandle;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 at the API");

// The device's location paths ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)").
constexpr DEVPROPKEY kLocationPaths = {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}},
                                       37};

// The length of a string the HID class driver returns, in UTF-16 units.
constexpr std::size_t kStringUnits = 254;

std::wstring Wide(std::string_view text) {
  const std::u16string u16 = ToUtf16(text);
  return std::wstring(reinterpret_cast<const wchar_t*>(u16.data()), u16.size());
}

std::u16string_view View(const wchar_t* text, std::size_t units) {
  return std::u16string_view(reinterpret_cast<const char16_t*>(text), units);
}

std::string Narrow(const wchar_t* text) { return ToUtf8(View(text, wcslen(text))); }

std::vector<std::string> LocationPaths(const HidLibraries& api, HDEVINFO set, SP_DEVINFO_DATA& device) {
  DEVPROPTYPE type = 0;
  DWORD size = 0;
  api.SetupDiGetDevicePropertyW(set, &device, &kLocationPaths, &type, nullptr, 0, &size, 0);
  if (size == 0 || type != DEVPROP_TYPE_STRING_LIST) return {};
  std::vector<wchar_t> buffer((size + 1) / sizeof(wchar_t));
  if (!api.SetupDiGetDevicePropertyW(set, &device, &kLocationPaths, &type, reinterpret_cast<PBYTE>(buffer.data()),
                                     static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &size, 0)) {
    return {};
  }
  return SplitStringList(View(buffer.data(), std::min<std::size_t>(size / sizeof(wchar_t), buffer.size())));
}

// The USB port of a HID interface's device: its own location paths, else
// those of the USB device (or composite function) it belongs to. A HID
// device on another bus (Bluetooth) is on no USB port, whatever its adapter.
std::string PortOf(const HidLibraries& api, HDEVINFO set, SP_DEVINFO_DATA& device) {
  if (api.SetupDiGetDevicePropertyW == nullptr) return {};
  std::string port = PortOfLocationPaths(LocationPaths(api, set, device));
  if (!port.empty() || !api.port_lookup()) return port;
  DEVINST parent = 0;
  std::array<wchar_t, MAX_DEVICE_ID_LEN> id{};
  if (api.CM_Get_Parent(&parent, device.DevInst, 0) != CR_SUCCESS ||
      api.CM_Get_Device_IDW(parent, id.data(), static_cast<ULONG>(id.size()), 0) != CR_SUCCESS ||
      _wcsnicmp(id.data(), L"USB\\", 4) != 0) {
    return {};
  }
  HDEVINFO parents = api.SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (parents == INVALID_HANDLE_VALUE) return {};
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  if (api.SetupDiOpenDeviceInfoW(parents, id.data(), nullptr, 0, &data)) {
    port = PortOfLocationPaths(LocationPaths(api, parents, data));
  }
  api.SetupDiDestroyDeviceInfoList(parents);
  return port;
}

class Win32Handle final : public HidHandle {
 public:
  Win32Handle(const HidLibraries& api, UniqueHandle handle, bool read_write)
      : api_(api), handle_(std::move(handle)), read_write_(read_write) {}

  bool read_write() const override { return read_write_; }

  std::optional<HidAttributes> GetAttributes() override {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!api_.HidD_GetAttributes(handle_.get(), &attributes)) return std::nullopt;
    return HidAttributes{attributes.VendorID, attributes.ProductID, attributes.VersionNumber};
  }

  std::optional<std::u16string> GetProductString() override {
    std::array<wchar_t, kStringUnits> buffer{};
    if (!api_.HidD_GetProductString(handle_.get(), buffer.data(), sizeof buffer)) return std::nullopt;
    return TextOfWideBuffer(View(buffer.data(), buffer.size()));
  }

  std::optional<HidSerialQuery> GetSerialNumberString() override {
    std::array<wchar_t, kStringUnits> serial{};
    if (!api_.HidD_GetSerialNumberString(handle_.get(), serial.data(), sizeof serial)) return std::nullopt;
    // String descriptor 0, the device's language IDs: the buffer, filled
    // first, shows how much of it the driver wrote, whatever the call says.
    std::array<std::uint16_t, kStringUnits> ids;
    ids.fill(0xFFFF);
    api_.HidD_GetIndexedString(handle_.get(), 0, ids.data(), sizeof ids);
    HidSerialQuery query;
    query.serial.assign(View(serial.data(), serial.size()));  // the whole buffer: it is compared unit by unit
    query.language_ids = LanguageIdsOfBuffer(ids);
    return query;
  }

  std::optional<HidReportCaps> GetCaps() override {
    if (!caps_) {
      PHIDP_PREPARSED_DATA preparsed = nullptr;
      if (!api_.HidD_GetPreparsedData(handle_.get(), &preparsed)) return std::nullopt;
      HIDP_CAPS caps{};
      if (api_.HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
        caps_ = HidReportCaps{caps.InputReportByteLength, caps.OutputReportByteLength};
      }
      api_.HidD_FreePreparsedData(preparsed);
    }
    return caps_;
  }

  // Overlapped, so that a device that stops taking reports holds up its
  // writer for kHidWriteTimeLimit at most.
  bool Write(std::span<const std::uint8_t> report) override {
    if (!read_write_ || report.empty()) return false;
    const auto caps = GetCaps();
    const std::vector<std::uint8_t> data = FitReport(report, caps ? caps->OutputReportByteLength : 0);
    if (!write_event_) write_event_ = UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!write_event_) return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = write_event_.get();
    DWORD written = 0;
    if (!WriteFile(handle_.get(), data.data(), static_cast<DWORD>(data.size()), nullptr, &overlapped)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) {
        if (DebugEnabled()) DebugLog("write failed: " + win32::Win32ErrorText(error));
        return false;
      }
      const DWORD limit_ms = static_cast<DWORD>(kHidWriteTimeLimit / 1000);
      if (WaitForSingleObject(write_event_.get(), limit_ms) != WAIT_OBJECT_0) {
        // Only this thread's own write is cancelled; the record stays valid
        // until the driver let go of it.
        CancelIo(handle_.get());
        GetOverlappedResult(handle_.get(), &overlapped, &written, TRUE);
        if (DebugEnabled()) DebugLog("write not taken in time: cancelled");
        return false;
      }
    }
    if (!GetOverlappedResult(handle_.get(), &overlapped, &written, FALSE)) {
      if (DebugEnabled()) DebugLog("write failed: " + win32::Win32ErrorText(GetLastError()));
      return false;
    }
    return written == data.size();
  }

 private:
  const HidLibraries& api_;
  UniqueHandle handle_;
  bool read_write_;
  std::optional<HidReportCaps> caps_;
  UniqueHandle write_event_;
};

// The device-change messages: a message-only window on a thread of its own,
// registered for the HID interface class, posting what each message means to
// the event thread.
class ChangeWatcher {
 public:
  ChangeWatcher(const GUID& hid_class, EventLoop& loop, std::function<void(const HidChange&)> changed)
      : loop_(loop), changed_(std::make_shared<const std::function<void(const HidChange&)>>(std::move(changed))) {
    // Owned by the thread too: it may still be letting go of the promise
    // when the window it made is already in use here.
    auto created = std::make_shared<std::promise<HWND>>();
    std::future<HWND> window = created->get_future();
    thread_ = std::thread([this, hid_class, created] { Run(hid_class, *created); });
    window_ = window.get();
    if (window_ == nullptr) thread_.join();
  }

  // Event thread: nothing posted before runs after this.
  ~ChangeWatcher() {
    *alive_ = false;
    if (window_ != nullptr) {
      PostMessageW(window_, WM_CLOSE, 0, 0);
      thread_.join();
    }
  }
  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

 private:
  static constexpr const wchar_t* kClassName = L"QuelloaderHidChanges";

  void Run(GUID hid_class, std::promise<HWND>& created) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = &ChangeWatcher::Procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kClassName;
    HWND window = nullptr;
    if (RegisterClassExW(&window_class) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
      window =
          CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, window_class.hInstance, nullptr);
    }
    if (window == nullptr) {
      DebugLog("device-change window unavailable: " + win32::Win32ErrorText(GetLastError()));
      created.set_value(nullptr);
      return;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = hid_class;
    HDEVNOTIFY notify = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (notify == nullptr) DebugLog("device-change notices unavailable: " + win32::Win32ErrorText(GetLastError()));
    created.set_value(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    if (notify != nullptr) UnregisterDeviceNotification(notify);
  }

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<ChangeWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && self != nullptr) {
      self->Changed(static_cast<std::uint32_t>(wparam), lparam);
      return TRUE;
    }
    if (message == WM_CLOSE) {
      DestroyWindow(window);
      return 0;
    }
    if (message == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  // Watcher thread.
  void Changed(std::uint32_t event, LPARAM lparam) {
    std::string path;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
    if ((event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE) && header != nullptr &&
        header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      path = Narrow(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header)->dbcc_name);
    }
    std::optional<HidChange> change = ChangeOfDeviceEvent(event, path);
    if (!change) return;
    if (DebugEnabled()) DebugLog("device change " + std::to_string(event) + (path.empty() ? "" : ": " + path));
    loop_.post([alive = alive_, changed = changed_, change = std::move(*change)] {
      if (*alive) (*changed)(change);
    });
  }

  EventLoop& loop_;
  std::shared_ptr<const std::function<void(const HidChange&)>> changed_;
  // Read and cleared on the event thread alone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::thread thread_;
  HWND window_ = nullptr;
};

class Win32HidBackend final : public HidBackend {
 public:
  Win32HidBackend() : api_(LoadHidLibraries()) {}
  ~Win32HidBackend() override { StopWatching(); }

  std::vector<HidInterfaceInfo> Enumerate() override {
    std::vector<HidInterfaceInfo> out;
    if (!api_.loaded) return out;
    GUID hid_class = api_.hid_guid;
    HDEVINFO set = api_.SetupDiGetClassDevsW(&hid_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA interface_data{};
      interface_data.cbSize = sizeof interface_data;
      if (!api_.SetupDiEnumDeviceInterfaces(set, nullptr, &hid_class, index, &interface_data)) break;
      DWORD size = 0;
      api_.SetupDiGetDeviceInterfaceDetailW(set, &interface_data, nullptr, 0, &size, nullptr);
      if (size == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) continue;
      // DWORDs, for the detail record's alignment; one more for a NUL.
      std::vector<DWORD> storage(size / sizeof(DWORD) + 2, 0);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      SP_DEVINFO_DATA device{};
      device.cbSize = sizeof device;
      if (!api_.SetupDiGetDeviceInterfaceDetailW(set, &interface_data, detail, size, nullptr, &device)) continue;
      HidInterfaceInfo info;
      info.path = Narrow(detail->DevicePath);
      info.identity = IdentityOfInterfacePath(info.path);
      info.port = PortOf(api_, set, device);
      out.push_back(std::move(info));
    }
    api_.SetupDiDestroyDeviceInfoList(set);
    return out;
  }

  std::unique_ptr<HidHandle> Open(const HidInterfaceInfo& info, bool read_write, int* error) override {
    if (!api_.loaded) {
      if (error != nullptr) *error = ENODEV;
      return nullptr;
    }
    // Shared, as every program that talks to HID devices opens them; a
    // query-only open (access 0) reads strings even of devices the system
    // keeps to itself.
    UniqueHandle handle(CreateFileW(Wide(info.path).c_str(), read_write ? GENERIC_READ | GENERIC_WRITE : 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    read_write ? FILE_FLAG_OVERLAPPED : 0, nullptr));
    if (!handle) {
      const DWORD code = GetLastError();
      if (DebugEnabled()) DebugLog("cannot open " + info.path + ": " + win32::Win32ErrorText(code));
      if (error != nullptr) *error = ErrnoOfWin32Error(code);
      return nullptr;
    }
    return std::make_unique<Win32Handle>(api_, std::move(handle), read_write);
  }

  std::unique_ptr<HidReader> StartReader(const HidInterfaceInfo& info, EventLoop& loop, std::uint16_t input_length,
                                         int sleep_ms, HidReaderCallbacks callbacks) override {
    return StartWin32Reader(info.path, loop, input_length, sleep_ms, std::move(callbacks));
  }

  void WatchChanges(EventLoop& loop, std::function<void(const HidChange&)> changed) override {
    StopWatching();
    if (!api_.loaded) return;  // no devices, so no changes
    watcher_ = std::make_unique<ChangeWatcher>(api_.hid_guid, loop, std::move(changed));
  }

  void StopWatching() override { watcher_.reset(); }

 private:
  const HidLibraries& api_;
  std::unique_ptr<ChangeWatcher> watcher_;
};

}  // namespace

std::unique_ptr<HidBackend> MakeWin32HidBackend() { return std::make_unique<Win32HidBackend>(); }

std::unique_ptr<HidBackend> MakePlatformHidBackend() { return MakeWin32HidBackend(); }

std::string Win32HidProblem() { return LoadHidLibraries().problem; }

}  // namespace ql
