#pragma once
// The one reading of a number given on a command line, shared by every
// program: decimal ("010" is ten, as scripts written for quelloader-cli
// expect), or hexadecimal after 0x or 0X. No sign, no spaces, no suffix.

#include <cstdint>
#include <optional>
#include <string_view>

namespace ql {

// The value of `text`, or std::nullopt when it is not such a number or
// exceeds `max`.
std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max);

}  // namespace ql
