// The page's uploader in virtual time, on the virtual backend with the
// simulated bootloader: what each way a flash can end tells the page, and
// that the device is let go afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/virtual_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "image/flash_image.h"
#include "sim/simulated_bootloader.h"
#include "tests/support/expected_flash.h"
#include "web/web_uploader.h"

namespace ql::web::test {
namespace {

class RecordingView final : public UploaderView {
 public:
  void AppendHistory(std::string_view line) override { history.emplace_back(line); }
  void PhaseChanged(SessionPhase phase) override { phases.emplace_back(PhaseName(phase)); }
  void DevicesChanged() override { ++changes; }
  void Finished(const FlashResult& r) override { result = r; }

  std::vector<std::string> history;
  std::vector<std::string> phases;
  int changes = 0;
  std::optional<FlashResult> result;
};

std::string DemoHex() {
  std::ifstream in(std::string(QUELLOADER_SOURCE) + "/examples/demo-pic18.hex", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Page {
  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  RecordingView view;
  std::optional<VirtualSimBootloader> board;
  WebUploader uploader{loop, backend, view};

  void Plug(sim::Fault fault = {}) {
    sim::Config config = *sim::Preset("pic18");
    config.fault = fault;
    board.emplace(backend, loop, config);
    loop.advance(from_ms(1));
  }
  bool RunUntilFinished(Micros limit = from_ms(60000)) {
    const Micros until = loop.now() + limit;
    while (!view.result && loop.now() < until) loop.advance(from_ms(10));
    return view.result.has_value();
  }
};

TEST(WebUploader, FlashesTheBootloaderAndLetsItGo) {
  Page page;
  page.Plug();
  ASSERT_GE(page.view.changes, 1);
  const auto devices = page.uploader.Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_TRUE(devices[0].bootloader);
  EXPECT_EQ(devices[0].name, "USB HID Bootloader");
  const std::vector<std::uint8_t> before = page.board->model().flash();
  const std::string hex = DemoHex();

  ASSERT_TRUE(page.uploader.Flash(hex, "demo-pic18.hex"));
  EXPECT_TRUE(page.uploader.Busy());
  EXPECT_FALSE(page.uploader.Flash(hex, "demo-pic18.hex")) << "one flash at a time";
  EXPECT_TRUE(page.uploader.Devices()[0].busy);
  ASSERT_TRUE(page.RunUntilFinished());

  const FlashResult& r = *page.view.result;
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.outcome, "completed");
  EXPECT_EQ(r.device, "PIC18F4550");
  EXPECT_EQ(r.family, "PIC18");
  FlashImage image;
  ASSERT_TRUE(LoadHexText(hex, "demo-pic18.hex", McuFamily::Pic18, image).ok());
  EXPECT_EQ(r.image_bytes, image.ImageEnd());
  EXPECT_EQ(page.board->model().flash(), ql::test::ExpectedFlash(before, page.board->model().config().info, image.bytes));
  EXPECT_FALSE(page.uploader.Busy());
  EXPECT_EQ(page.uploader.session(), nullptr) << "the session goes with the flash";
  EXPECT_EQ(page.view.phases.back(), "finished");
}

TEST(WebUploader, NoBootloaderEndsAtOnceOnTheNextTurn) {
  Page page;
  page.backend.Plug(VirtualHidSpec{.product = std::string("Keyboard")});
  page.loop.advance(from_ms(1));
  ASSERT_TRUE(page.uploader.Flash(DemoHex(), "demo-pic18.hex"));
  EXPECT_FALSE(page.view.result) << "told from the loop, never from inside Flash()";
  page.loop.advance(0);
  ASSERT_TRUE(page.view.result);
  EXPECT_EQ(page.view.result->outcome, "no-bootloader");
  EXPECT_FALSE(page.uploader.Busy());
}

TEST(WebUploader, ABadHexFileIsRefusedAfterTheBootInfoWithNothingErased) {
  Page page;
  page.Plug();
  ASSERT_TRUE(page.uploader.Flash(":0400000001020304F1\n", "bad.hex"));
  ASSERT_TRUE(page.RunUntilFinished());
  EXPECT_EQ(page.view.result->outcome, "hex-rejected");
  EXPECT_NE(page.view.result->message.find("CRC check failed"), std::string::npos);
  EXPECT_EQ(page.view.result->family, "PIC18");
  ASSERT_EQ(page.board->model().commands().size(), 1u);
  EXPECT_EQ(page.board->model().commands()[0].code, CMD_BOOT_INFO);
}

TEST(WebUploader, RemovedDuringTheUpload) {
  Page page;
  page.Plug({sim::FaultKind::Unplug, 40});
  ASSERT_TRUE(page.uploader.Flash(DemoHex(), "demo-pic18.hex"));
  ASSERT_TRUE(page.RunUntilFinished());
  EXPECT_EQ(page.view.result->outcome, "removed");
  EXPECT_NE(std::find(page.view.history.begin(), page.view.history.end(), "Error: Device PIC18F4550 removed."),
            page.view.history.end());
  EXPECT_TRUE(page.uploader.Devices().empty());
}

TEST(WebUploader, StoppedDuringTheUpload) {
  Page page;
  page.Plug();
  ASSERT_TRUE(page.uploader.Flash(DemoHex(), "demo-pic18.hex"));
  while (page.board->model().data_blocks() < 20) page.loop.advance(from_ms(1));
  page.uploader.Stop();
  ASSERT_TRUE(page.RunUntilFinished());
  EXPECT_EQ(page.view.result->outcome, "stopped");
  EXPECT_FALSE(page.board->model().reset_seen()) << "a stopped upload leaves the board in its bootloader";
  // The uploader can flash again.
  page.view.result.reset();
  ASSERT_TRUE(page.uploader.Flash(DemoHex(), "demo-pic18.hex"));
  ASSERT_TRUE(page.RunUntilFinished());
  EXPECT_EQ(page.view.result->outcome, "completed");
}

TEST(WebUploader, ASilentDeviceIsNotInItsBootloader) {
  Page page;
  page.Plug({sim::FaultKind::Silent, 0});
  ASSERT_TRUE(page.uploader.Flash(DemoHex(), "demo-pic18.hex"));
  ASSERT_TRUE(page.RunUntilFinished());
  EXPECT_EQ(page.view.result->outcome, "not-in-bootloader");
  EXPECT_NE(std::find(page.view.history.begin(), page.view.history.end(), "USB HID device is not in bootloader mode."),
            page.view.history.end());
}

}  // namespace
}  // namespace ql::web::test
