#include <gtest/gtest.h>

#include "core/parse_number.h"

namespace ql {
namespace {

TEST(ParseNumber, DecimalOrHexWithItsPrefixAndNothingElse) {
  EXPECT_EQ(ParseNumber("010", 0xFFFF), 10u) << "leading zeros are decimal, never octal";
  EXPECT_EQ(ParseNumber("0", 0xFFFF), 0u);
  EXPECT_EQ(ParseNumber("0x7C00", 0xFFFF), 0x7C00u);
  EXPECT_EQ(ParseNumber("0XfF", 0xFFFF), 0xFFu);
  EXPECT_EQ(ParseNumber("0x0010", 0xFFFF), 0x10u);
  for (const char* bad : {"", "0x", "x10", "-1", "+1", " 1", "1 ", "10k", "0x7G00", "1e3", "0b101", "7C00"})
    EXPECT_EQ(ParseNumber(bad, 0xFFFF), std::nullopt) << '"' << bad << '"';
}

TEST(ParseNumber, BoundedByTheMaximumWithoutWrapping) {
  EXPECT_EQ(ParseNumber("65535", 0xFFFF), 65535u);
  EXPECT_EQ(ParseNumber("65536", 0xFFFF), std::nullopt);
  EXPECT_EQ(ParseNumber("0xFFFFFFFF", 0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("0x100000000", 0xFFFFFFFFu), std::nullopt);
  // 2^64 + 10 would read as 10 if the value wrapped.
  EXPECT_EQ(ParseNumber("18446744073709551626", 0xFFFFFFFFu), std::nullopt);
  EXPECT_EQ(ParseNumber("0x1000000000000000A", 0xFFFFFFFFu), std::nullopt);
  EXPECT_EQ(ParseNumber("00000000000000000000000042", 0xFF), 42u) << "leading zeros of any length";
}

TEST(ParseHexDigits, BareHexDigitsAsUdevWritesThem) {
  EXPECT_EQ(ParseHexDigits("04D8", 0xFFFF), 0x04D8u);
  EXPECT_EQ(ParseHexDigits("0100", 0xFFFF), 0x0100u) << "hex, not decimal";
  EXPECT_EQ(ParseHexDigits("0000003c", 0xFFFF), 0x3Cu);
  EXPECT_EQ(ParseHexDigits("10000", 0xFFFF), std::nullopt);
  for (const char* bad : {"", "0x10", "-1", "+1", " 1", "1 ", "12g"})
    EXPECT_EQ(ParseHexDigits(bad, 0xFFFF), std::nullopt) << '"' << bad << '"';
}

}  // namespace
}  // namespace ql
