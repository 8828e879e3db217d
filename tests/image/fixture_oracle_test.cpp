// Loads every assembler-made fixture under each family and compares the image
// with what srec_cat makes of the same file.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "image/flash_image.h"
#include "tests/support/srec_oracle.h"

namespace ql {
namespace {

namespace fs = std::filesystem;

using test::HaveSrecCat;

// The family's rule applies to each data record's start address, so the
// records it leaves out are dropped from a copy of the file before srec_cat
// sees it (a crop would cut records that start below the limit and run past it).
fs::path DropRecordsFrom(const std::string& hex, std::int64_t limit, const fs::path& out) {
  std::ifstream in(hex);
  std::ofstream os(out);
  std::string line;
  std::int64_t upper = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 9) {
      const auto type = std::stoul(line.substr(7, 2), nullptr, 16);
      if (type == 4) upper = static_cast<std::int64_t>(std::stoul(line.substr(9, 4), nullptr, 16));
      const std::int64_t start = upper * 0x10000 + static_cast<std::int64_t>(std::stoul(line.substr(3, 4), nullptr, 16));
      if (type == 0 && limit >= 0 && start >= limit) continue;
    }
    os << line << '\n';
  }
  return out;
}

// srec_cat's binary image of `hex` from address 0 to its highest written
// address, holes filled with `fill`.
std::optional<std::vector<std::uint8_t>> SrecImage(const fs::path& hex, int fill) {
  return test::SrecImage(hex, fill, hex.parent_path() / (hex.stem().string() + "-" + std::to_string(fill) + ".bin"));
}

struct FamilyCase {
  McuFamily family;
  std::int64_t limit;  // start address from which records are left out (-1: none)
  const char* name;
};

class FixtureOracle : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(FixtureOracle, EveryFixtureMatchesSrecCat) {
  if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat is not installed";
  const FamilyCase fc = GetParam();
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(QUELLOADER_FIXTURES)) {
    if (entry.path().extension() != ".hex") continue;
    const std::string hex = entry.path().string();
    SCOPED_TRACE(hex);
    // Two fills tell written bytes (equal in both) from holes (they differ).
    const fs::path dir = fs::path(QUELLOADER_TEST_TMP) / fc.name;
    fs::create_directories(dir);
    const fs::path kept = DropRecordsFrom(hex, fc.limit, dir / entry.path().filename());
    auto zeros = SrecImage(kept, 0x00);
    auto ones = SrecImage(kept, 0xFF);
    ASSERT_TRUE(zeros && ones);
    ASSERT_EQ(zeros->size(), ones->size());
    std::vector<std::uint8_t> expected(zeros->size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if ((*zeros)[i] == (*ones)[i]) {
        expected[i] = (*zeros)[i];
      } else {
        // Erased PIC16 words read 0x3FFF, everything else reads 0xFF.
        expected[i] = (fc.family == McuFamily::Pic16 && i % 2 == 1) ? 0x3F : 0xFF;
      }
    }

    FlashImage image;
    const LoadResult r = LoadHexFile(hex, fc.family, image);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(image.family, fc.family);
    ASSERT_EQ(image.bytes.size(), expected.size());
    EXPECT_TRUE(image.bytes == expected);
    ++checked;
  }
  EXPECT_GE(checked, 5);
}

INSTANTIATE_TEST_SUITE_P(Families, FixtureOracle,
                         ::testing::Values(FamilyCase{McuFamily::None, -1, "None"},
                                           FamilyCase{McuFamily::Pic18, 0x300000, "Pic18"},
                                           FamilyCase{McuFamily::Pic16, 0x400E, "Pic16"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ql
