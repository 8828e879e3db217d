// The numeric options of `quelloader-cli flash` as the command registers
// them: every one reads a number the way ParseNumber does (decimal, "010" is
// ten; hex after 0x; no sign, blanks or suffix), whichever part of the
// command line converts it.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#ifdef QUELLOADER_HAVE_HID
#include "cli/device_select.h"
#endif

namespace {

// The value the flash command stores for `option=text`, or nullopt when the
// command line is refused.
std::optional<int> Parsed(const std::string& option, const std::string& text) {
  CLI::App app;
  const ql::cli::Command flash = ql::cli::AddFlashCommand(app);
  try {
    // CLI11 takes the words last first.
    app.parse(std::vector<std::string>{option + "=" + text, "--simulate=pic18", "f.hex", "flash"});
  } catch (const CLI::ParseError&) {
    return std::nullopt;
  }
  return flash.app->get_option(option)->as<int>();
}

TEST(FlashNumberOptions, ReadLikeEveryOtherNumber) {
  for (const std::string option : {"--boards", "--expect", "--count"}) {
    SCOPED_TRACE(option);
    EXPECT_EQ(Parsed(option, "10"), 10);
    EXPECT_EQ(Parsed(option, "010"), 10);  // not octal eight
    EXPECT_EQ(Parsed(option, "0x10"), 16);
    EXPECT_EQ(Parsed(option, "0X0a"), 10);
    for (const std::string refused : {"+5", "-5", " 7", "7 ", "0b11", "0o7", "1e1", "5.0", "", "0x"}) {
      EXPECT_EQ(Parsed(option, refused), std::nullopt) << "'" << refused << "'";
    }
  }
}

TEST(FlashNumberOptions, KeepTheirRanges) {
  EXPECT_EQ(Parsed("--boards", "0"), std::nullopt);
  EXPECT_EQ(Parsed("--boards", "64"), 64);
  EXPECT_EQ(Parsed("--boards", "0x41"), std::nullopt);
  EXPECT_EQ(Parsed("--expect", "1000"), 1000);
  EXPECT_EQ(Parsed("--expect", "1001"), std::nullopt);
  EXPECT_EQ(Parsed("--count", "1000000"), 1000000);
  EXPECT_EQ(Parsed("--count", "0x0F4241"), std::nullopt);
  // Past every int: refused, not wrapped into the range.
  EXPECT_EQ(Parsed("--count", "4294967297"), std::nullopt);
}

#ifdef QUELLOADER_HAVE_HID
TEST(FlashNumberOptions, WaitReadsLikeEveryOtherNumber) {
  EXPECT_EQ(Parsed("--wait", "010"), 10);
  EXPECT_EQ(Parsed("--wait", "0x1e"), 30);
  EXPECT_EQ(Parsed("--wait", "+5"), std::nullopt);
  EXPECT_EQ(Parsed("--wait", " 5"), std::nullopt);
  EXPECT_EQ(Parsed("--wait", std::to_string(ql::cli::kMaxWaitSeconds + 1)), std::nullopt);
}

// The flag alone still means its default wait.
TEST(FlashNumberOptions, WaitAloneWaitsTheDefault) {
  CLI::App app;
  const ql::cli::Command flash = ql::cli::AddFlashCommand(app);
  app.parse(std::vector<std::string>{"--wait", "--simulate=pic18", "f.hex", "flash"});
  EXPECT_EQ(flash.app->get_option("--wait")->as<int>(), ql::cli::kDefaultWaitSeconds);
}
#endif

}  // namespace
