#pragma once
// The Windows HID class driver (hid.dll), device installation services
// (setupapi.dll) and configuration manager (cfgmgr32.dll), loaded by name at
// run time into one table: a system that lacks them still runs the program,
// which then finds no devices and says why.

#include <windows.h>

#include <cfgmgr32.h>
#include <hidsdi.h>
#include <setupapi.h>

#include <string>

namespace ql::win32 {

struct HidLibraries {
  // hid.dll
  decltype(&::HidD_GetHidGuid) HidD_GetHidGuid = nullptr;
  decltype(&::HidD_GetAttributes) HidD_GetAttributes = nullptr;
  decltype(&::HidD_GetProductString) HidD_GetProductString = nullptr;
  decltype(&::HidD_GetSerialNumberString) HidD_GetSerialNumberString = nullptr;
  decltype(&::HidD_GetIndexedString) HidD_GetIndexedString = nullptr;
  decltype(&::HidD_GetPreparsedData) HidD_GetPreparsedData = nullptr;
  decltype(&::HidD_FreePreparsedData) HidD_FreePreparsedData = nullptr;
  decltype(&::HidP_GetCaps) HidP_GetCaps = nullptr;
  // setupapi.dll
  decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW = nullptr;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces = nullptr;
  decltype(&::SetupDiGetDeviceInterfaceDetailW) SetupDiGetDeviceInterfaceDetailW = nullptr;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList = nullptr;
  // Optional (the USB port; nothing else needs them): null when missing.
  decltype(&::SetupDiGetDevicePropertyW) SetupDiGetDevicePropertyW = nullptr;
  decltype(&::SetupDiCreateDeviceInfoList) SetupDiCreateDeviceInfoList = nullptr;
  decltype(&::SetupDiOpenDeviceInfoW) SetupDiOpenDeviceInfoW = nullptr;
  decltype(&::CM_Get_Parent) CM_Get_Parent = nullptr;
  decltype(&::CM_Get_Device_IDW) CM_Get_Device_IDW = nullptr;

  // Whether every required function was found; else `problem` says what is
  // missing ("hid.dll lacks HidD_GetAttributes").
  bool loaded = false;
  std::string problem;
  // The HID interface class (the platform's value when hid.dll is missing).
  GUID hid_guid{};

  bool port_lookup() const {
    return SetupDiGetDevicePropertyW && SetupDiCreateDeviceInfoList && SetupDiOpenDeviceInfoW && CM_Get_Parent &&
           CM_Get_Device_IDW;
  }
};

// Loaded once per process and kept: the libraries stay loaded to its end.
const HidLibraries& LoadHidLibraries();

// "the system's text for `error` (error N)", for debug lines.
std::string Win32ErrorText(DWORD error);

// A kernel handle closed with its owner.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      h_ = other.h_;
      other.h_ = nullptr;
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void reset() {
    if (h_ != nullptr) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace ql::win32
