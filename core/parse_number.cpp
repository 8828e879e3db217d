#include "core/parse_number.h"

namespace ql {

namespace {

std::optional<std::uint32_t> ParseDigits(std::string_view text, unsigned base, std::uint32_t max) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value * base + static_cast<unsigned>(digit);
    // Checked per digit, so that no length of leading zeros or digits can wrap.
    if (value > max) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return ParseDigits(text.substr(2), 16, max);
  }
  return ParseDigits(text, 10, max);
}

std::optional<std::uint32_t> ParseHexDigits(std::string_view text, std::uint32_t max) {
  return ParseDigits(text, 16, max);
}

std::string NotANumberText(std::string_view text, std::uint32_t max) {
  return "'" + std::string(text) + "' is not a number from 0 to " + std::to_string(max) + " (decimal, or hex with 0x)";
}

}  // namespace ql
