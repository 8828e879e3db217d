// The Windows backend's decisions that need no Windows: the USB port of a
// device's location paths, the errno of a refused open, the buffers the HID
// class driver fills, and what a device-change message asks of the list.

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "hid/win32_device_names.h"

namespace ql {
namespace {

TEST(Win32DeviceNames, LocationPathsNameThePortAsTheKernelDoes) {
  EXPECT_EQ(PortOfLocationPath("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"), "1-2");
  // Hubs below hubs, with ports of two digits; the second root hub is bus 2.
  EXPECT_EQ(PortOfLocationPath("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"), "1-2.3");
  EXPECT_EQ(PortOfLocationPath("PCIROOT(0)#PCI(0802)#USBROOT(1)#USB(12)#USB(4)#USB(7)"), "2-12.4.7");
  // A composite device's function lies on its device's port.
  EXPECT_EQ(PortOfLocationPath("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(1)"), "1-2");

  for (const char* none : {
           "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)",  // no USB root hub
           "PCIROOT(0)#PCI(1400)#USBROOT(0)",                         // the root hub itself
           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(0)",                  // ports count from 1
           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(1)#USB(3)",  // nothing below a function
           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(x)",
           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB()",
           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2",
           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(-2)",
           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#",
           "PCIROOT(0)#PCI(1400)#USBROOT()#USB(2)",
           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(99999999999)",
           "",
       }) {
    EXPECT_EQ(PortOfLocationPath(none), std::nullopt) << none;
  }

  // A device lists its ACPI path too; the first path that names a port counts.
  EXPECT_EQ(
      PortOfLocationPaths({"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)",
                           "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(9)"}),
      "1-2.3");
  EXPECT_EQ(PortOfLocationPaths({}), "");
  EXPECT_EQ(PortOfLocationPaths({"ACPI(_SB_)#ACPI(PCI0)"}), "");
}

TEST(Win32DeviceNames, DriverBuffersAreReadToTheirEndsWithOrWithoutTerminators) {
  using namespace std::string_view_literals;
  EXPECT_EQ(SplitStringList(u"PCIROOT(0)#USBROOT(0)#USB(2)\0ACPI(_SB_)\0\0"sv),
            (std::vector<std::string>{"PCIROOT(0)#USBROOT(0)#USB(2)", "ACPI(_SB_)"}));
  EXPECT_EQ(SplitStringList(u"A\0B"sv), (std::vector<std::string>{"A", "B"}));   // cut short
  EXPECT_EQ(SplitStringList(u"A\0\0B\0\0"sv), (std::vector<std::string>{"A"}));  // ends at the empty one
  EXPECT_TRUE(SplitStringList(u""sv).empty());

  EXPECT_EQ(TextOfWideBuffer(u"USB HID Bootloader\0garbage"sv), u"USB HID Bootloader");
  EXPECT_EQ(TextOfWideBuffer(u"full"sv), u"full");  // no room left for a NUL
  EXPECT_EQ(TextOfWideBuffer(u"\0x"sv), u"");

  // The language-ID buffer was filled with 0xFFFF: what the driver wrote ends
  // at the last other entry, its closing 0 not part of the list.
  const std::vector<std::uint16_t> terminated = {0x0409, 0x0407, 0, 0xFFFF, 0xFFFF};
  EXPECT_EQ(LanguageIdsOfBuffer(terminated), (std::vector<std::uint16_t>{0x0409, 0x0407}));
  const std::vector<std::uint16_t> unterminated = {0x0409, 0xFFFF, 0xFFFF};
  EXPECT_EQ(LanguageIdsOfBuffer(unterminated), (std::vector<std::uint16_t>{0x0409}));
  // A 0 inside the list is the device's, not an end.
  const std::vector<std::uint16_t> inner_zero = {0x0409, 0, 0x0407, 0xFFFF};
  EXPECT_EQ(LanguageIdsOfBuffer(inner_zero), (std::vector<std::uint16_t>{0x0409, 0, 0x0407}));
  const std::vector<std::uint16_t> full = {0x0409, 0x0407};
  EXPECT_EQ(LanguageIdsOfBuffer(full), full);
  const std::vector<std::uint16_t> untouched = {0xFFFF, 0xFFFF, 0xFFFF};
  EXPECT_TRUE(LanguageIdsOfBuffer(untouched).empty());
  const std::vector<std::uint16_t> only_end = {0, 0xFFFF};
  EXPECT_TRUE(LanguageIdsOfBuffer(only_end).empty());
}

TEST(Win32DeviceNames, ARefusedOpenSaysWhetherItIsHeldGoneOrForbidden) {
  EXPECT_EQ(ErrnoOfWin32Error(5), EACCES);     // ERROR_ACCESS_DENIED: a keyboard or mouse
  EXPECT_EQ(ErrnoOfWin32Error(32), EBUSY);     // ERROR_SHARING_VIOLATION: another program holds it
  EXPECT_EQ(ErrnoOfWin32Error(2), ENOENT);     // ERROR_FILE_NOT_FOUND: the interface went
  EXPECT_EQ(ErrnoOfWin32Error(3), ENOENT);     // ERROR_PATH_NOT_FOUND
  EXPECT_EQ(ErrnoOfWin32Error(1167), ENODEV);  // ERROR_DEVICE_NOT_CONNECTED
  EXPECT_EQ(ErrnoOfWin32Error(433), ENODEV);   // ERROR_NO_SUCH_DEVICE
  EXPECT_EQ(ErrnoOfWin32Error(8), ENOMEM);
  EXPECT_EQ(ErrnoOfWin32Error(31), EIO);  // ERROR_GEN_FAILURE and everything unknown
  EXPECT_EQ(ErrnoOfWin32Error(0xFFFFFFFF), EIO);
}

TEST(Win32DeviceNames, DeviceChangeMessagesAskTheListForWhatTheyKnow) {
  // Messages spell paths in capitals that enumeration gives in small letters.
  const std::string path = R"(\\?\HID#VID_04D8&PID_003C#7&1A2B3C4D&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
  const std::string listed = R"(\\?\hid#vid_04d8&pid_003c#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
  EXPECT_EQ(IdentityOfInterfacePath(path), IdentityOfInterfacePath(listed));

  const auto arrival = ChangeOfDeviceEvent(kDbtDeviceArrival, path);
  ASSERT_TRUE(arrival);
  EXPECT_TRUE(arrival->Revisits(IdentityOfInterfacePath(listed)));
  EXPECT_FALSE(arrival->revisit_all);
  EXPECT_FALSE(arrival->Revisits(IdentityOfInterfacePath(R"(\\?\hid#vid_046d&pid_c52b#x)")));
  // An arrival without a name, or a change of the tree, names nothing.
  EXPECT_TRUE(ChangeOfDeviceEvent(kDbtDeviceArrival, "")->revisit_all);
  EXPECT_TRUE(ChangeOfDeviceEvent(kDbtDevNodesChanged, "")->revisit_all);
  // A removal rebuilds the list and looks at nothing again.
  const auto removal = ChangeOfDeviceEvent(kDbtDeviceRemoveComplete, path);
  ASSERT_TRUE(removal);
  EXPECT_FALSE(removal->revisit_all);
  EXPECT_TRUE(removal->revisit.empty());
  // A removal only asked for (DBT_DEVICEQUERYREMOVE) changes nothing yet.
  EXPECT_FALSE(ChangeOfDeviceEvent(0x8001, path));
}

TEST(Win32DeviceNames, OutputReportsGoOutAtTheDevicesOwnLength) {
  const std::vector<std::uint8_t> packet = {0x00, 0x0F, 0x02, 0x04};
  const auto padded = FitReport(packet, 65);
  ASSERT_EQ(padded.size(), 65u);
  EXPECT_TRUE(std::equal(packet.begin(), packet.end(), padded.begin()));
  EXPECT_TRUE(std::all_of(padded.begin() + 4, padded.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(FitReport(packet, 2), (std::vector<std::uint8_t>{0x00, 0x0F}));
  EXPECT_EQ(FitReport(packet, 0), packet);  // length unknown: as it is
}

}  // namespace
}  // namespace ql
