// The HID device objects and the controller on the virtual backend, in
// virtual time: the order of the controller's events, claiming and giving
// back, the opening rules, the string caches and the report lengths.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/virtual_event_loop.h"
#include "hid/hid_controller.h"
#include "hid/report_descriptor.h"
#include "hid/virtual_hid_backend.h"
#include "simtool/uhid_descriptor.h"

namespace ql {
namespace {

VirtualHidSpec Named(const std::string& product) {
  VirtualHidSpec spec;
  spec.product = product;
  return spec;
}

// A controller whose events are written into one log, by product string.
class ControllerTest : public ::testing::Test {
 protected:
  void MakeController() {
    ctl = std::make_unique<TJvHidDeviceController>(loop, backend);
    ctl->OnArrival = [this](TJvHidDevice& d) { log.push_back("arrival " + Name(d)); };
    ctl->OnRemoval = [this](TJvHidDevice& d) { log.push_back("removal " + Name(d)); };
    ctl->OnDeviceUnplug = [this](TJvHidDevice& d) { log.push_back("unplug " + Name(d)); };
    ctl->OnDeviceChange = [this] { log.push_back("change"); };
  }
  // Reads the product string inside the event (the device can be opened
  // there) or from the cache once it is gone.
  static std::string Name(TJvHidDevice& d) { return d.ProductText(); }
  void Run() { loop.advance(from_ms(1)); }
  std::vector<std::string> Take() { return std::exchange(log, {}); }

  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  std::unique_ptr<TJvHidDeviceController> ctl;
  std::vector<std::string> log;
};

TEST_F(ControllerTest, FirstRebuildRunsFromTheLoopAndAlwaysReportsAChange) {
  MakeController();
  EXPECT_EQ(ctl->Count(), 0);  // nothing enumerated during creation
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"change"}));
  backend.Notify();  // nothing changed: no event at all
  Run();
  EXPECT_TRUE(Take().empty());
}

TEST_F(ControllerTest, RemovalsFromTheEndBackwardsThenArrivalsThenOneChange) {
  backend.Plug(Named("A"));
  const auto b = backend.Plug(Named("B"));
  const auto c = backend.Plug(Named("C"));
  MakeController();
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"arrival A", "arrival B", "arrival C", "change"}));

  backend.auto_notify = false;
  backend.Unplug(b);
  backend.Unplug(c);
  backend.Plug(Named("D"));
  backend.Notify();
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"unplug C", "removal C", "unplug B", "removal B",
                                              "arrival D", "change"}));
  ASSERT_EQ(ctl->Count(), 2);  // unclaimed removals leave the list at once
  EXPECT_EQ(ctl->Device(0)->ProductText(), "A");
  EXPECT_EQ(ctl->Device(1)->ProductText(), "D");
}

// udev's add, change or bind for a node already listed: what changed in its
// access or strings is taken over and reported as one change; an
// announcement that changes nothing raises nothing.
TEST_F(ControllerTest, ANodeAnnouncedAnewIsLookedAtAgain) {
  VirtualHidSpec locked = Named("A");
  locked.refuse_read_write = true;
  const auto a = backend.Plug(locked);
  MakeController();
  Run();
  Take();
  TJvHidDevice* device = ctl->Device(0);
  EXPECT_FALSE(device->CanReadWrite());

  backend.Announce(a, "change");
  Run();
  EXPECT_TRUE(Take().empty());

  backend.Update(a, [](VirtualHidSpec& s) { s.refuse_read_write = false; });
  backend.Notify();  // not an announcement of this node: not looked at
  Run();
  EXPECT_TRUE(Take().empty());
  EXPECT_FALSE(device->CanReadWrite());
  backend.Announce(a, "add");
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"change"}));
  EXPECT_EQ(ctl->Device(0), device);  // the same object, no removal, no arrival
  EXPECT_TRUE(device->CanReadWrite());

  // Strings too, on a claimed device: its holder sees the new ones.
  auto held = ctl->ClaimByIndex(0);
  backend.Update(a, [](VirtualHidSpec& s) {
    s.product = "A2";
    s.serial = "S1";
  });
  backend.Announce(a, "bind");
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"change"}));
  EXPECT_EQ(held->ProductText(), "A2");
  EXPECT_EQ(held->SerialText(), "S1");
}

TEST_F(ControllerTest, InterfacesThatCannotBeOpenedOrIdentifiedAreLeftOut) {
  VirtualHidSpec closed = Named("closed");
  closed.refuse_open = true;
  VirtualHidSpec anonymous = Named("anonymous");
  anonymous.unidentifiable = true;
  VirtualHidSpec query_only = Named("query only");
  query_only.refuse_read_write = true;
  backend.Plug(closed);
  backend.Plug(anonymous);
  backend.Plug(query_only);
  MakeController();
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"arrival query only", "change"}));
  EXPECT_FALSE(ctl->Device(0)->CanReadWrite());
}

TEST_F(ControllerTest, UnpluggedClaimedDeviceStaysListedUntilGivenBack) {
  const auto a = backend.Plug(Named("A"));
  backend.Plug(Named("B"));
  MakeController();
  Run();
  Take();
  std::unique_ptr<TJvHidDevice> held = ctl->ClaimByIndex(0);
  ASSERT_TRUE(held);

  backend.Unplug(a);
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"unplug A", "removal A", "change"}));
  EXPECT_EQ(ctl->Count(), 2);
  EXPECT_FALSE(held->Present());
  EXPECT_EQ(ctl->UnpluggedCount(), 1);
  // Reported once: a later change elsewhere does not report it again.
  backend.Plug(Named("C"));
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"arrival C", "change"}));

  held.reset();  // giving back an unplugged device removes its slot
  ASSERT_EQ(ctl->Count(), 2);
  EXPECT_EQ(ctl->Device(0)->ProductText(), "B");
  EXPECT_EQ(ctl->Device(1)->ProductText(), "C");
}

TEST_F(ControllerTest, GivingBackAPresentDeviceRenewsItsSlot) {
  const auto a = backend.Plug(Named("A"));
  MakeController();
  Run();
  std::unique_ptr<TJvHidDevice> held = ctl->ClaimByIndex(0);
  ASSERT_TRUE(held);
  int reports = 0;
  held->SetDataHandler([&](TJvHidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) {
    ++reports;
  });
  held->SetReaderSleepTime(250);
  EXPECT_EQ(backend.ReaderCount(a), 1);

  held.reset();
  EXPECT_EQ(backend.ReaderCount(a), 0);  // the reader ended with its device
  ASSERT_EQ(ctl->Count(), 1);
  TJvHidDevice* renewed = ctl->Device(0);
  EXPECT_FALSE(renewed->Claimed());
  EXPECT_FALSE(renewed->HasReader());
  EXPECT_EQ(renewed->ReaderSleepTime(), 250);

  // Claiming it again starts the reader at once, with the kept handler.
  held = ctl->ClaimByIndex(0);
  ASSERT_TRUE(held);
  EXPECT_EQ(held.get(), renewed);
  EXPECT_EQ(backend.ReaderCount(a), 1);
  const std::vector<std::uint8_t> report(65, 0x0F);
  backend.SendInput(a, report);
  Run();
  EXPECT_EQ(reports, 1);
}

TEST_F(ControllerTest, ClaimOutsideTheListOrTwiceGivesNothing) {
  backend.Plug(Named("A"));
  MakeController();
  Run();
  EXPECT_EQ(ctl->ClaimByIndex(-1), nullptr);
  EXPECT_EQ(ctl->ClaimByIndex(1), nullptr);
  auto held = ctl->ClaimByIndex(0);
  ASSERT_TRUE(held);
  EXPECT_EQ(ctl->ClaimByIndex(0), nullptr);
  EXPECT_TRUE(ctl->Device(0)->Claimed());
  EXPECT_EQ(ctl->Count(), 1);
}

TEST_F(ControllerTest, GiveBackOfAVanishedInterfaceDropsTheSlotAndLaterChangesStillWork) {
  const auto a = backend.Plug(Named("A"));
  MakeController();
  Run();
  auto held = ctl->ClaimByIndex(0);
  backend.auto_notify = false;
  backend.Unplug(a);  // gone, and no rebuild has seen it yet
  held.reset();       // the fresh device for the slot cannot be created
  EXPECT_EQ(ctl->Count(), 0);
  Take();
  backend.auto_notify = true;
  backend.Plug(Named("B"));
  Run();
  EXPECT_EQ(Take(), (std::vector<std::string>{"arrival B", "change"}));
}

TEST_F(ControllerTest, NotificationsDuringARebuildAreDroppedAndTheFlagAlwaysClears) {
  MakeController();
  int nested_rebuilds = 0;
  ctl->OnArrival = [&](TJvHidDevice&) {
    EXPECT_TRUE(ctl->Rebuilding());
    ctl->Notify(0);  // dropped: it would re-enter the rebuild
    ++nested_rebuilds;
  };
  backend.Plug(Named("A"));
  Run();
  EXPECT_EQ(nested_rebuilds, 1);
  EXPECT_FALSE(ctl->Rebuilding());

  // A handler that throws leaves the rebuild, but not the flag set.
  ctl->OnDeviceChange = [] { throw std::runtime_error("handler failed"); };
  backend.auto_notify = false;
  backend.Plug(Named("B"));
  EXPECT_THROW(ctl->Notify(0), std::runtime_error);
  EXPECT_FALSE(ctl->Rebuilding());
  ctl->OnDeviceChange = [this] { log.push_back("change"); };
  ctl->OnArrival = [this](TJvHidDevice& d) { log.push_back("arrival " + Name(d)); };
  Take();
  backend.Plug(Named("C"));
  ctl->Notify(0);
  EXPECT_EQ(Take(), (std::vector<std::string>{"arrival C", "change"}));
}

TEST_F(ControllerTest, EnumerateHandsOverPresentDevicesUntilFalse) {
  backend.Plug(Named("A"));
  backend.Plug(Named("B"));
  backend.Plug(Named("C"));
  MakeController();
  Run();
  std::vector<int> seen;
  ctl->OnEnumerate = [&](TJvHidDevice& d, int idx) {
    EXPECT_TRUE(d.InEvent());
    seen.push_back(idx);
    return idx < 1;
  };
  EXPECT_EQ(ctl->EnumerateDevices(), 2);
  EXPECT_EQ(seen, (std::vector<int>{0, 1}));
  EXPECT_FALSE(ctl->Device(0)->InEvent());
}

// ---- The device object --------------------------------------------------------

TEST_F(ControllerTest, OnlyAClaimedDeviceOrOneInsideAnEventCanBeOpened) {
  const auto a = backend.Plug(Named("A"));
  MakeController();
  std::string product_in_event;
  ctl->OnArrival = [&](TJvHidDevice& d) { product_in_event = d.ProductText(); };
  Run();
  EXPECT_EQ(product_in_event, "A");
  TJvHidDevice* d = ctl->Device(0);
  const std::uint8_t report[65] = {0, 0x0F, 0x02};
  EXPECT_FALSE(d->SendReport(report, sizeof report));  // unclaimed, outside an event
  EXPECT_EQ(backend.WriteCount(a), 0);
  auto held = ctl->ClaimByIndex(0);
  EXPECT_TRUE(held->SendReport(report, sizeof report));
  EXPECT_EQ(backend.WriteCount(a), 1);
  // After the unplug the cached product string is still there; writes fail.
  backend.Unplug(a);
  Run();
  EXPECT_EQ(held->ProductText(), "A");
  EXPECT_FALSE(held->SendReport(report, sizeof report));
}

TEST_F(ControllerTest, DeviceRefusingReadWriteHasStringsButNoReaderAndNoWrites) {
  VirtualHidSpec spec = Named(std::string(BootloaderProductName));
  spec.refuse_read_write = true;
  const auto a = backend.Plug(spec);
  MakeController();
  Run();
  auto held = ctl->ClaimByIndex(0);
  held->SetDataHandler([](TJvHidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) {});
  EXPECT_FALSE(held->CanReadWrite());
  EXPECT_EQ(held->ReadWriteError(), EACCES);
  EXPECT_EQ(held->ProductText(), BootloaderProductName);
  EXPECT_FALSE(held->HasReader());
  const std::uint8_t report[65] = {};
  EXPECT_FALSE(held->SendReport(report, sizeof report));
  EXPECT_EQ(backend.WriteCount(a), 0);
}

TEST_F(ControllerTest, SerialNumberRules) {
  struct Case {
    std::optional<std::string> serial;
    std::optional<std::vector<std::uint16_t>> language_ids;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"SN42", std::vector<std::uint16_t>{0x0409}, "SN42"},
      // A serial that merely repeats the language-ID list is no serial.
      {std::string("\xD0\x89"), std::vector<std::uint16_t>{0x0409}, ""},
      // A device that does not answer string descriptor 0 has none either.
      {"SN42", std::nullopt, ""},
      {std::nullopt, std::vector<std::uint16_t>{0x0409}, ""},
  };
  for (const Case& c : cases) {
    VirtualHidSpec spec = Named("X");
    spec.serial = c.serial;
    spec.language_ids = c.language_ids;
    backend.Plug(spec);
  }
  MakeController();
  Run();
  ASSERT_EQ(ctl->Count(), static_cast<int>(cases.size()));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    auto held = ctl->ClaimByIndex(static_cast<int>(i));
    EXPECT_EQ(held->SerialText(), cases[i].expected) << "case " << i;
  }
}

TEST_F(ControllerTest, InputReportArrivesAsReportIdAndSixtyFourDataBytes) {
  const auto a = backend.Plug(Named("A"));
  MakeController();
  Run();
  auto held = ctl->ClaimByIndex(0);
  std::vector<std::uint8_t> got;
  int id = -1;
  held->SetDataHandler([&](TJvHidDevice&, std::uint8_t ReportID, const std::uint8_t* Data,
                           std::uint16_t Size) {
    id = ReportID;
    got.assign(Data, Data + Size);
  });
  std::vector<std::uint8_t> report(65);
  for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<std::uint8_t>(i + 7);
  backend.SendInput(a, report);
  Run();
  EXPECT_EQ(id, 7);
  ASSERT_EQ(got.size(), 64u);
  EXPECT_EQ(got.front(), 8);
  EXPECT_EQ(got.back(), 71);
  // An empty handler stops the reader; later reports go nowhere.
  held->SetDataHandler({});
  EXPECT_EQ(backend.ReaderCount(a), 0);
}

TEST_F(ControllerTest, ReaderSleepTimeAcceptsOnlyTenToTenThousand) {
  backend.Plug(Named("A"));
  MakeController();
  Run();
  TJvHidDevice* d = ctl->Device(0);
  EXPECT_EQ(d->ReaderSleepTime(), 100);
  d->SetReaderSleepTime(9);
  EXPECT_EQ(d->ReaderSleepTime(), 100);
  d->SetReaderSleepTime(10);
  EXPECT_EQ(d->ReaderSleepTime(), 10);
  d->SetReaderSleepTime(10001);
  EXPECT_EQ(d->ReaderSleepTime(), 10);
  d->SetReaderSleepTime(10000);
  EXPECT_EQ(d->ReaderSleepTime(), 10000);
}

TEST_F(ControllerTest, DestroyingTheControllerUnplugsClaimedDevicesAndLeavesThemToTheirHolder) {
  const auto a = backend.Plug(Named("A"));
  backend.Plug(Named("B"));
  MakeController();
  Run();
  auto held = ctl->ClaimByIndex(0);
  held->SetDataHandler([](TJvHidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) {});
  ctl.reset();
  EXPECT_FALSE(held->Present());
  EXPECT_EQ(backend.ReaderCount(a), 1);  // the holder decides when it ends
  held.reset();
  EXPECT_EQ(backend.ReaderCount(a), 0);
}

// ---- Report lengths -------------------------------------------------------------

TEST(ReportDescriptor, LengthsCountTheReportIdByte) {
  // The simulated bootloader's descriptor: 64-byte input and output reports
  // without report IDs.
  const ReportDescriptorInfo sim = ParseReportDescriptor(kBootloaderReportDescriptor);
  EXPECT_FALSE(sim.uses_report_ids);
  EXPECT_EQ(sim.InputReportByteLength, 65);
  EXPECT_EQ(sim.OutputReportByteLength, 65);

  // Two numbered input reports of 8 and 3 bytes, a 2-byte output report
  // declared with a pushed and popped size, and a long item to step over.
  const std::vector<std::uint8_t> numbered = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor)
      0x09, 0x01, 0xA1, 0x01,
      0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02,  // ID 1: 8 x 8 bits in
      0x85, 0x02, 0x95, 0x03, 0x81, 0x02,              // ID 2: 3 x 8 bits in
      0xA4, 0x75, 0x04, 0x95, 0x04, 0x91, 0x02, 0xB4,  // push, 4 x 4 bits out, pop
      0xFE, 0x02, 0x10, 0xAA, 0xBB,                    // long item
      0x95, 0x01, 0x81, 0x02,                          // ID 2: one more byte in (size 8 again)
      0xC0};
  const ReportDescriptorInfo info = ParseReportDescriptor(numbered);
  EXPECT_TRUE(info.uses_report_ids);
  EXPECT_EQ(info.InputReportByteLength, 9);   // 8 bytes + ID
  EXPECT_EQ(info.OutputReportByteLength, 3);  // 16 bits + ID
  EXPECT_EQ(ParseReportDescriptor(std::vector<std::uint8_t>{0x75}).InputReportByteLength, 0);
}

}  // namespace
}  // namespace ql
