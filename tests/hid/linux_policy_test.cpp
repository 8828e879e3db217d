// The Linux backend's decisions that need no kernel: the bus that takes the
// USB device's strings, what udev's actions mean, and a monitor overrun.

#include <gtest/gtest.h>

#include <cerrno>

#include "hid/linux_hid_policy.h"

namespace ql {
namespace {

TEST(LinuxHidPolicy, OnlyHidDevicesOnTheUsbBusTakeTheUsbDevicesStrings) {
  const auto usb = ParseHidId("0003:000004D8:0000003C");
  ASSERT_TRUE(usb);
  EXPECT_EQ(usb->bus, kHidBusUsb);
  EXPECT_EQ(usb->vendor, 0x04D8);
  EXPECT_EQ(usb->product, 0x003C);
  EXPECT_EQ(ChooseStringSource(usb, true), StringSource::UsbDevice);
  // Through /dev/uhid: on the USB bus by its ID, but no USB device above it.
  EXPECT_EQ(ChooseStringSource(usb, false), StringSource::HidDevice);
  // Bluetooth behind a USB adapter: the adapter's strings are not its own.
  const auto bluetooth = ParseHidId("0005:0000046D:0000B01E");
  ASSERT_TRUE(bluetooth);
  EXPECT_EQ(bluetooth->bus, kHidBusBluetooth);
  EXPECT_EQ(ChooseStringSource(bluetooth, true), StringSource::HidDevice);
  // Without a readable HID_ID nothing says the device is on USB.
  EXPECT_FALSE(ParseHidId("garbage"));
  // Only the kernel's three hex fields: no sign, no tail, nothing wider
  // than 16 bits (it would otherwise pass for another vendor).
  for (const char* bad : {"0003:000004D8", "0003:000004D8:0000003C:1", "0003:-4D8:003C", "0003:000104D8:0000003C",
                          "0003: 4D8:003C", "0003:04D8:003C "})
    EXPECT_FALSE(ParseHidId(bad)) << bad;
  EXPECT_EQ(ChooseStringSource(std::nullopt, true), StringSource::HidDevice);
}

TEST(LinuxHidPolicy, AddChangeAndBindOfANodeLookAtItAgain) {
  MonitorDrain drain;
  EXPECT_FALSE(drain.changed());
  drain.Event("change", "/sys/class/hidraw/hidraw1");
  drain.Event("bind", "/sys/class/hidraw/hidraw2");
  drain.Event("add", "/sys/class/hidraw/hidraw3");
  drain.Event("remove", "/sys/class/hidraw/hidraw4");
  drain.Event("unbind", "/sys/class/hidraw/hidraw5");
  EXPECT_TRUE(drain.changed());
  EXPECT_FALSE(drain.overrun());
  EXPECT_EQ(drain.revisit(), (std::set<std::string>{"/sys/class/hidraw/hidraw1",
                                                    "/sys/class/hidraw/hidraw2",
                                                    "/sys/class/hidraw/hidraw3"}));
  EXPECT_FALSE(drain.Error(EAGAIN));  // nothing more to read
}

TEST(LinuxHidPolicy, AnOverrunRebuildsAndLooksAtEveryNodeAgain) {
  MonitorDrain drain;
  // The kernel dropped events: the drain reads on, and even without a single
  // event received the list is rebuilt with every node looked at again.
  EXPECT_TRUE(drain.Error(ENOBUFS));
  EXPECT_TRUE(drain.changed());
  EXPECT_TRUE(drain.overrun());
  EXPECT_FALSE(drain.Error(EAGAIN));
}

}  // namespace
}  // namespace ql
