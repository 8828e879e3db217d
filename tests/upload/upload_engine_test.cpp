#include <gtest/gtest.h>

#include <coroutine>
#include <string>
#include <utility>
#include <vector>

#include "image/flash_image.h"
#include "upload_test_support.h"

namespace ql::test {
namespace {

// PIC18, E = 64, write blocks of 32, bootloader at 0x7C00, a 0x1234-byte image.
TEST(UploadWorkedExample, ShortPic18ImageByteForByte) {
  Rig r(Device("pic18"));
  const FlashImage image = PatternImage(0x1234);
  ASSERT_EQ(r.Run(image), UploadOutcome::Completed);

  ASSERT_EQ(r.packets.size(), 2u + 73 + 3 + 1);
  EXPECT_EQ(HexBytes(r.packets[0]), "0F 15 00 12 00 00 49 00");
  EXPECT_EQ(HexBytes(r.packets[1]), "0F 0B 00 00 00 00 40 12");
  const std::uint8_t goto_bootloader[4] = {0x00, 0xEF, 0x3E, 0xF0};
  for (int b = 0; b < 73; ++b) {
    const auto& block = r.packets[2 + b];
    ASSERT_EQ(block.size(), 64u) << "block " << b;
    for (int i = 0; i < 64; ++i) {
      const int a = b * 64 + i;
      const std::uint8_t want = a < 4 ? goto_bootloader[a] : a < 0x1234 ? image.bytes[a] : 0xFF;
      ASSERT_EQ(block[i], want) << "address " << a;
    }
  }
  EXPECT_EQ(HexBytes(r.packets[75]), "0F 15 C0 7B 00 00 01 00");
  EXPECT_EQ(HexBytes(r.packets[76]), "0F 0B C0 7B 00 00 40 00");
  std::vector<std::uint8_t> final_block(64, 0xFF);
  std::copy_n(image.bytes.begin(), 4, final_block.begin() + 60);
  EXPECT_EQ(r.packets[77], final_block);
  EXPECT_EQ(HexBytes(r.packets[78]), "0F 04");

  // The bar fills exactly with the main write's last byte; the final block
  // does not move it.
  EXPECT_EQ(r.ui.progress_max, 32704);
  EXPECT_EQ(r.ui.progress_steps, 0x1240);
  EXPECT_EQ(r.ui.progress, 32704);

  // One terminal line per image byte, the GOTO in place of the first four.
  ASSERT_EQ(r.ui.terminal_count, 0x1234u + 3);
  EXPECT_EQ(r.ui.terminal[0], "Erase...");
  EXPECT_EQ(r.ui.terminal[1], "Write...");
  EXPECT_EQ(r.ui.terminal[2], Line(25, "00"));
  EXPECT_EQ(r.ui.terminal[3], Line(13, "EF"));
  EXPECT_EQ(r.ui.terminal[4], Line(25, "3E"));
  EXPECT_EQ(r.ui.terminal[5], Line(13, "F0"));
  EXPECT_EQ(r.ui.terminal[6], std::string(25, ' ') + HexOf(image.bytes[4]));
  EXPECT_EQ(r.ui.terminal[2 + 0x1233], std::string(13, ' ') + HexOf(image.bytes[0x1233]));
  EXPECT_EQ(r.ui.terminal.back(), "Reset...");

  EXPECT_EQ(r.ui.history, (std::vector<std::string>{"Completed successfully."}));
  EXPECT_EQ(r.ui.questions, 0);
  EXPECT_EQ(r.ui.finish_calls, 0);
  EXPECT_TRUE(r.dev.reset_seen());
  EXPECT_EQ(r.dev.refused().size(), 0u);
  EXPECT_EQ(r.dev.flash(), ExpectedFlash(r.before, r.info, image.bytes, 0x1240, 73 * 64));
}

// The same device with an image ending 16 bytes into the final block.
TEST(UploadWorkedExample, ImageReachingIntoTheFinalBlock) {
  Rig r(Device("pic18"));
  const FlashImage image = PatternImage(0x7BD0);
  ASSERT_EQ(r.Run(image), UploadOutcome::Completed);
  EXPECT_EQ(HexBytes(r.packets[0]), "0F 15 80 7B 00 00 EF 01");
  EXPECT_EQ(HexBytes(r.packets[1]), "0F 0B 00 00 00 00 C0 7B");
  EXPECT_EQ(r.packets.size(), 2u + 495 + 3 + 1);
  EXPECT_EQ(r.ui.questions, 0);
  EXPECT_EQ(r.ui.terminal_count, 0x7BC0u + 3);
  EXPECT_EQ(r.dev.refused().size(), 0u);
  EXPECT_EQ(r.dev.flash(), ExpectedFlash(r.before, r.info, image.bytes, 0x7BC0, 0x7BC0));
}

// Image lengths around the final block and the bootloader, on both families.
struct LayoutCase {
  const char* name;
  sim::Config device;
  std::size_t length;
  bool asks;
  std::vector<Rig::Cmd> main;  // the main erase and write commands
  std::size_t W;
  friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }
};

class UploadLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(UploadLayout, LeavesTheLayoutAndStaysOutOfTheBootloader) {
  const LayoutCase& c = GetParam();
  Rig r(c.device);
  r.HoldOlderProgram();
  const TBootInfo& info = c.device.info;
  const FlashImage image = PatternImage(c.length, info.McuType == 2 ? McuFamily::Pic18 : McuFamily::Pic16);
  ASSERT_EQ(r.Run(image), UploadOutcome::Completed);
  EXPECT_EQ(r.ui.questions, c.asks ? 1 : 0);

  const std::uint32_t E = info.EraseBlockSize;
  const std::uint32_t final_block = info.BootStart - E;
  std::vector<Rig::Cmd> want = c.main;
  want.push_back({CMD_ERASE, final_block, 1});
  want.push_back({CMD_WRITE, final_block, static_cast<std::uint16_t>(E)});
  want.push_back({CMD_RESET, 0, 0});
  EXPECT_EQ(r.Commands(2), want);
  EXPECT_EQ(r.dev.refused().size(), 0u);

  std::size_t erased_to = 0;
  for (const auto& cmd : c.main)
    if (cmd.code == CMD_ERASE) erased_to = std::max<std::size_t>(erased_to, cmd.address + E);
  EXPECT_EQ(r.dev.flash(), ExpectedFlash(r.before, info, image.bytes, c.W, erased_to));
  EXPECT_EQ(r.ui.progress_max, 7 * static_cast<std::int64_t>(c.W));
  EXPECT_EQ(r.ui.progress, r.ui.progress_max);
}

sim::Config WithWriteBlock(sim::Config c, std::uint16_t write_block) {
  c.info.WriteBlockSize = write_block;
  return c;
}
const sim::Config kPic18 = Device("pic18");
INSTANTIATE_TEST_SUITE_P(
    Edges, UploadLayout,
    testing::Values(
        LayoutCase{"ExactMultipleOfEraseBlock", kPic18, 0x1000, false,
                   {{CMD_ERASE, 0xFC0, 64}, {CMD_WRITE, 0, 0x1000}}, 0x1000},
        LayoutCase{"EndsAtFinalBlock", kPic18, 0x7BC0, false,
                   {{CMD_ERASE, 0x7B80, 495}, {CMD_WRITE, 0, 0x7BC0}}, 0x7BC0},
        LayoutCase{"OneByteIntoFinalBlock", kPic18, 0x7BC1, false,
                   {{CMD_ERASE, 0x7B80, 495}, {CMD_WRITE, 0, 0x7BC0}}, 0x7BC0},
        // Continued past the question: neither the erase nor the write may
        // reach the final block or the bootloader.
        LayoutCase{"OneByteIntoBootloaderContinued", kPic18, 0x7C01, true,
                   {{CMD_ERASE, 0x7B80, 495}, {CMD_WRITE, 0, 0x7BC0}}, 0x7BC0},
        // Rounding up to a write block would pass the final block's start.
        LayoutCase{"WriteRoundingStopsAtFinalBlock", WithWriteBlock(kPic18, 128), 0x7BB0, false,
                   {{CMD_ERASE, 0x7B80, 495}, {CMD_WRITE, 0, 0x7BC0}}, 0x7BC0},
        // Write blocks larger than the erase block: the write stops where
        // the main erase did, so no byte lands on the older program.
        LayoutCase{"WriteRoundingStopsAtTheErasedBlocks", WithWriteBlock(kPic18, 1024), 0x1001, false,
                   {{CMD_ERASE, 0x1000, 65}, {CMD_WRITE, 0, 0x1040}}, 0x1040},
        // PIC16: bytes 0-3 as the image holds them, final block blank.
        LayoutCase{"Pic16RoundedToWriteBlock", Device("pic16"), 259, false,
                   {{CMD_ERASE, 0x100, 5}, {CMD_WRITE, 0, 0x140}}, 0x140},
        // A write longer than one command carries, cut on erase blocks.
        LayoutCase{"Pic18jLargeImageContinued", Device("pic18j"), 0x11000, true,
                   {{CMD_ERASE, 0xE800, 59}, {CMD_WRITE, 0, 0x7C00}, {CMD_WRITE, 0x7C00, 0x7000}}, 0xEC00}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// Assembler output as the loader reads it, on a device fresh from the
// factory: every image byte below the final block arrives, the final block
// carries the reset vector, and the bootloader area stays as it was.
struct FixtureCase {
  const char* file;
  McuFamily family;
  const char* preset;
  bool asks;
  friend void PrintTo(const FixtureCase& c, std::ostream* os) { *os << c.file; }
};

class UploadFixture : public testing::TestWithParam<FixtureCase> {};

TEST_P(UploadFixture, EveryImageByteBelowTheFinalBlockArrives) {
  const FixtureCase& c = GetParam();
  FlashImage image;
  ASSERT_TRUE(LoadHexFile(std::string(QUELLOADER_FIXTURES) + "/" + c.file, c.family, image).ok());
  Rig r(Device(c.preset));
  ASSERT_EQ(r.Run(image), UploadOutcome::Completed);
  EXPECT_EQ(r.ui.questions, c.asks ? 1 : 0);
  EXPECT_TRUE(r.dev.refused().empty());
  EXPECT_TRUE(r.dev.model().BootAreaIntact());
  const std::size_t below_final = std::min<std::size_t>(image.bytes.size(), r.info.BootStart - r.info.EraseBlockSize);
  EXPECT_EQ(r.dev.flash(), ExpectedFlash(r.before, r.info, image.bytes, below_final, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Assembled, UploadFixture,
    testing::Values(FixtureCase{"pic18-app-24k.hex", McuFamily::Pic18, "pic18", false},
                    FixtureCase{"pic18-edge-below-boot.hex", McuFamily::Pic18, "pic18", false},
                    FixtureCase{"pic18-into-boot.hex", McuFamily::Pic18, "pic18", true},
                    FixtureCase{"pic18-app-70k.hex", McuFamily::Pic18, "pic18j", true},
                    FixtureCase{"pic16-app-4kw.hex", McuFamily::Pic16, "pic16", false}));

// More than 32767 erase blocks and bytes: every command carries its own
// address, and every byte below the final block arrives.
TEST(UploadLayoutLarge, SplitsEraseAndWriteSoEveryByteArrives) {
  sim::Config device = Device("pic18");
  device.info.BootStart = 0x240000;
  device.flash_size = 0x240400;
  const TBootInfo info = device.info;
  Rig r(device);
  r.ui.keep_terminal = 4;
  const FlashImage image = PatternImage(0x210000);
  ASSERT_EQ(r.Run(image), UploadOutcome::Completed);

  std::vector<Rig::Cmd> want = {{CMD_ERASE, 32766 * 64, 32767}, {CMD_ERASE, 33791 * 64, 1025}};
  const std::uint32_t chunk = 32767 / 64 * 64;  // whole erase blocks per write command
  for (std::uint32_t a = 0; a < 0x210000; a += chunk)
    want.push_back({CMD_WRITE, a, static_cast<std::uint16_t>(std::min<std::uint32_t>(chunk, 0x210000 - a))});
  want.push_back({CMD_ERASE, 0x240000 - 64, 1});
  want.push_back({CMD_WRITE, 0x240000 - 64, 64});
  want.push_back({CMD_RESET, 0, 0});
  EXPECT_EQ(r.Commands(), want);
  EXPECT_EQ(r.dev.refused().size(), 0u);
  EXPECT_EQ(r.dev.flash(), ExpectedFlash(r.before, info, image.bytes, 0x210000, 0x210000));
}

TEST(UploadQuestion, NoLeavesTheDeviceUntouchedAndSelected) {
  Rig r(Device("pic18"));
  r.ui.answer = false;
  EXPECT_EQ(r.Run(PatternImage(0x7C01)), UploadOutcome::Declined);
  EXPECT_EQ(r.ui.questions, 1);
  EXPECT_TRUE(r.packets.empty());
  EXPECT_EQ(r.dev.flash(), r.before);
  EXPECT_EQ(r.ui.terminal, (std::vector<std::string>{"Upload aborted."}));
  EXPECT_EQ(r.ui.history, (std::vector<std::string>{"Disconnected."}));
  EXPECT_EQ(r.ex.CurrentDevice, &r.dev);
}

// A front end that answers the question later, while the event loop goes on
// (several boards on one loop, the answer typed on a terminal).
class LaterAnswerUi : public RecordingUi {
 public:
  struct Later {
    LaterAnswerUi& ui;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept { ui.waiting = h; }
    bool await_resume() const noexcept { return ui.answer; }
  };
  Task<bool> AskBootloaderAreaTask() override {
    ++questions;
    const bool yes = co_await Later{*this};
    co_return yes;
  }
  std::coroutine_handle<> waiting;
};

// The upload awaits the answer without holding up the loop: nothing is sent
// while the question is open, and the answer, when it comes, decides.
TEST(UploadQuestion, AnsweredLaterWhileTheLoopGoesOn) {
  for (const bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "yes" : "no");
    Rig r(Device("pic18"));
    r.ex.SetBlockingWaits(false);
    LaterAnswerUi ui;
    ui.answer = yes;
    Task<UploadOutcome> upload = UploadTask(r.ex, PatternImage(0x7C01), ui);
    r.loop.run_until([] { return false; }, r.loop.now() + from_ms(10000));
    ASSERT_FALSE(upload.done());
    ASSERT_TRUE(ui.waiting);
    EXPECT_EQ(ui.questions, 1);
    EXPECT_TRUE(r.packets.empty()) << "nothing erased before the answer";
    std::exchange(ui.waiting, {}).resume();
    r.loop.run_until([&] { return upload.done(); }, r.loop.now() + from_ms(60000));
    ASSERT_TRUE(upload.done());
    EXPECT_EQ(upload.result(), yes ? UploadOutcome::Completed : UploadOutcome::Declined);
    if (yes) {
      EXPECT_EQ(r.dev.commands().back().code, CMD_RESET);
    } else {
      EXPECT_EQ(r.dev.flash(), r.before);
    }
  }
}

TEST(UploadImage, EveryUploadOfOneImageSavesItsOwnResetVector) {
  const FlashImage image = PatternImage(0x200);
  const std::vector<std::uint8_t> loaded = image.bytes;
  for (int run = 0; run < 2; ++run) {
    Rig r(Device("pic18"));
    ASSERT_EQ(r.Run(image), UploadOutcome::Completed);
    EXPECT_TRUE(std::equal(loaded.begin(), loaded.begin() + 4, r.dev.flash().begin() + 0x7BFC)) << "run " << run;
  }
  EXPECT_EQ(image.bytes, loaded);
}

// Images and boot info the upload cannot carry are refused before any packet.
TEST(UploadRefusal, UnusableImagesAndBootInfo) {
  struct Case {
    const char* why;
    TBootInfo info;
    std::size_t length;
  };
  const TBootInfo pic18 = Device("pic18").info;
  const Case cases[] = {
      {"nothing loaded", Device("pic16").info, 0},
      {"nothing loaded", pic18, 0},
      {"no room for the reset vector", pic18, 3},
      {"erase block 0", {0, 0x7C00, 2, 0, 32, "x"}, 0x100},
      {"write block 0", {0, 0x7C00, 2, 64, 0, "x"}, 0x100},
      {"bootloader below one block", {0, 0x20, 2, 64, 32, "x"}, 0x10},
      {"final block is block 0 (PIC18)", {0, 0x40, 2, 64, 32, "x"}, 0x10},
      {"final block is block 0 (PIC16)", {0, 0x40, 1, 64, 64, "x"}, 0x10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Rig r(Device("pic18"));
    r.ex.BootInfo = c.info;
    EXPECT_EQ(r.Run(PatternImage(c.length)), UploadOutcome::Refused);
    EXPECT_TRUE(r.packets.empty());
    ASSERT_EQ(r.ui.history.size(), 2u);
    EXPECT_EQ(r.ui.history[0].rfind("Error: ", 0), 0u) << r.ui.history[0];
    EXPECT_EQ(r.ui.history[1], "Disconnected.");
    EXPECT_EQ(r.ui.finish_calls, 1);
  }
}

}  // namespace
}  // namespace ql::test
