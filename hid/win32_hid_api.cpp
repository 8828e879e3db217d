#include "hid/win32_hid_api.h"

#include "core/debug_log.h"
#include "hid/hid_backend.h"

namespace ql::win32 {

namespace {

// The HID interface class, for a system whose hid.dll cannot say it.
constexpr GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// One library and the functions looked up in it; the first that is missing
// becomes the table's problem.
class Library {
 public:
  Library(const wchar_t* name, const char* label, std::string& problem) : label_(label), problem_(problem) {
    // From the system folder alone: a copy planted beside the program is
    // never taken for the driver's.
    module_ = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module_ == nullptr) Miss(std::string("cannot load ") + label_ + ": " + Win32ErrorText(GetLastError()));
  }

  template <typename Fn>
  void Find(Fn& slot, const char* function, bool required = true) {
    if (module_ == nullptr) return;
    // Through the generic function type, which converts to any other.
    if (FARPROC proc = GetProcAddress(module_, function)) {
      slot = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
    } else if (required) {
      Miss(std::string(label_) + " lacks " + function);
    }
  }

 private:
  void Miss(std::string text) {
    if (problem_.empty()) problem_ = std::move(text);
  }

  const char* label_;
  std::string& problem_;
  HMODULE module_ = nullptr;
};

HidLibraries Load() {
  HidLibraries api;
  std::string problem;
  Library setupapi(L"setupapi.dll", "setupapi.dll", problem);
  setupapi.Find(api.SetupDiGetClassDevsW, "SetupDiGetClassDevsW");
  setupapi.Find(api.SetupDiEnumDeviceInterfaces, "SetupDiEnumDeviceInterfaces");
  setupapi.Find(api.SetupDiGetDeviceInterfaceDetailW, "SetupDiGetDeviceInterfaceDetailW");
  setupapi.Find(api.SetupDiDestroyDeviceInfoList, "SetupDiDestroyDeviceInfoList");
  setupapi.Find(api.SetupDiGetDevicePropertyW, "SetupDiGetDevicePropertyW", false);
  setupapi.Find(api.SetupDiCreateDeviceInfoList, "SetupDiCreateDeviceInfoList", false);
  setupapi.Find(api.SetupDiOpenDeviceInfoW, "SetupDiOpenDeviceInfoW", false);
  Library hid(L"hid.dll", "hid.dll", problem);
  hid.Find(api.HidD_GetHidGuid, "HidD_GetHidGuid");
  hid.Find(api.HidD_GetAttributes, "HidD_GetAttributes");
  hid.Find(api.HidD_GetProductString, "HidD_GetProductString");
  hid.Find(api.HidD_GetSerialNumberString, "HidD_GetSerialNumberString");
  hid.Find(api.HidD_GetIndexedString, "HidD_GetIndexedString");
  hid.Find(api.HidD_GetPreparsedData, "HidD_GetPreparsedData");
  hid.Find(api.HidD_FreePreparsedData, "HidD_FreePreparsedData");
  hid.Find(api.HidP_GetCaps, "HidP_GetCaps");
  // The port alone needs the configuration manager.
  std::string optional_problem;
  Library cfgmgr(L"cfgmgr32.dll", "cfgmgr32.dll", optional_problem);
  cfgmgr.Find(api.CM_Get_Parent, "CM_Get_Parent", false);
  cfgmgr.Find(api.CM_Get_Device_IDW, "CM_Get_Device_IDW", false);

  api.loaded = problem.empty();
  api.problem = std::move(problem);
  api.hid_guid = kHidInterfaceClass;
  if (api.loaded) {
    api.HidD_GetHidGuid(&api.hid_guid);
  } else {
    DebugLog("HID devices unavailable: " + api.problem);
  }
  if (!optional_problem.empty()) DebugLog("USB ports unknown: " + optional_problem);
  return api;
}

}  // namespace

const HidLibraries& LoadHidLibraries() {
  static const HidLibraries api = Load();
  return api;
}

std::string Win32ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text != nullptr) {
    out = ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), n));
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
      out.pop_back();
    }
  }
  if (text != nullptr) LocalFree(text);
  if (out.empty()) return "error " + std::to_string(error);
  return out + " (error " + std::to_string(error) + ")";
}

}  // namespace ql::win32
