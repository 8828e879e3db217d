#pragma once
// The one reading of a number given on a command line, shared by every
// program: decimal ("010" is ten, as scripts written for quelloader-cli
// expect), or hexadecimal after 0x or 0X. No sign, no spaces, no suffix.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ql {

// The value of `text`, or std::nullopt when it is not such a number or
// exceeds `max`.
std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max);

// Hexadecimal digits alone, as udev and sysfs write them ("04D8", "0100"):
// no prefix, no sign, no spaces; std::nullopt otherwise or past `max`.
std::optional<std::uint32_t> ParseHexDigits(std::string_view text, std::uint32_t max);

// What a command line says of a word ParseNumber refuses.
std::string NotANumberText(std::string_view text, std::uint32_t max);

}  // namespace ql
