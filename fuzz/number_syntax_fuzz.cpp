// The command line's numbers: any text given to ParseNumber (the one reading
// every program shares: decimal, "010" is ten, or hex after 0x; no sign,
// blanks or suffix), to ParseHexDigits (udev's bare hex), and as the value of
// each numeric option of `quelloader-cli flash` as that command registers it
// (the simulated device's overrides, --boards, --expect, --count). Each must
// accept exactly what a plain grammar written here accepts, with the value
// std::from_chars reads, within the option's range; every accepted value
// printed in decimal and in 0x hex reads back as itself.

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "core/parse_number.h"

namespace {

bool AllOf(std::string_view s, bool hex) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool digit = c >= '0' && c <= '9';
    const bool letter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit && !(hex && letter)) return false;
  }
  return true;
}

// Digits of one base only, read by the standard library into 64 bits; any
// longer run of digits is past every maximum anyway, unless it is leading zeros.
std::optional<std::uint64_t> Value(std::string_view digits, int base) {
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  std::uint64_t v = 0;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
  if (r.ec == std::errc::result_out_of_range) return UINT64_MAX;
  if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) std::abort();  // AllOf said digits
  return v;
}

// The grammar: 0x or 0X and hex digits, or decimal digits; nothing else.
std::optional<std::uint64_t> PlainNumber(std::string_view s) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    return AllOf(s.substr(2), true) ? Value(s.substr(2), 16) : std::nullopt;
  }
  return AllOf(s, false) ? Value(s, 10) : std::nullopt;
}

std::optional<std::uint64_t> PlainHex(std::string_view s) {
  return AllOf(s, true) ? Value(s, 16) : std::nullopt;
}

std::optional<std::uint64_t> Within(std::optional<std::uint64_t> v, std::uint64_t lo, std::uint64_t hi) {
  if (v && *v >= lo && *v <= hi) return v;
  return std::nullopt;
}

std::string Hex(std::uint32_t v, bool upper) {
  char buf[16];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
  std::string s(buf, r.ptr);
  if (upper)
    for (char& c : s) c = static_cast<char>(c >= 'a' ? c - 32 : c);
  return s;
}

void ExpectSame(std::optional<std::uint32_t> got, std::optional<std::uint64_t> want) {
  if (got.has_value() != want.has_value()) std::abort();
  if (got && *got != *want) std::abort();
}

struct NumericOption {
  const char* name;
  std::uint64_t lo, hi;
  bool typed;  // stored by the option's own conversion (read back with as<int>)
};

constexpr NumericOption kOptions[] = {
    {"--boot-start", 0, 0xFFFFFFFF, false}, {"--erase-block", 0, 0xFFFF, false}, {"--write-block", 0, 0xFFFF, false},
    {"--boards", 1, 64, true},             {"--expect", 1, 1000, true},        {"--count", 1, 1000000, true},
};

constexpr std::uint32_t kMaxima[] = {0, 1, 9, 10, 15, 16, 255, 1000, 0xFFFF, 1000000, 0x7FFFFFFF, 0xFFFFFFFF};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t max = kMaxima[data[0] % std::size(kMaxima)];
  const NumericOption& option = kOptions[data[1] % std::size(kOptions)];
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  // The shared readings.
  const auto number = ql::ParseNumber(text, max);
  ExpectSame(number, Within(PlainNumber(text), 0, max));
  ExpectSame(ql::ParseHexDigits(text, max), Within(PlainHex(text), 0, max));
  if (number) {
    const std::uint32_t v = *number;
    for (const std::string& printed : {std::to_string(v), "0x" + Hex(v, false), "0X" + Hex(v, true)}) {
      const auto back = ql::ParseNumber(printed, max);
      if (!back || *back != v) std::abort();
    }
    const auto back = ql::ParseHexDigits(Hex(v, data[0] & 0x80), max);
    if (!back || *back != v) std::abort();
  }
  // The command line's wrapper: the same value, or a usage error.
  {
    std::optional<std::uint32_t> got;
    try {
      got = ql::cli::ParseNumber(text, max, "--n");
    } catch (const CLI::ValidationError&) {
    }
    ExpectSame(got, number);
  }

  // The option on the flash command: a command line holds no NUL, so the word ends at one.
  const std::string word = text.substr(0, text.find('\0'));
  // One parser for every input, as CLI11 clears its results before each parse.
  static CLI::App app;
  static const ql::cli::Command flash = ql::cli::AddFlashCommand(app);
  bool accepted = true;
  try {
    app.parse(std::vector<std::string>{std::string(option.name) + "=" + word, "--simulate=pic18", "f.hex", "flash"});
  } catch (const CLI::ParseError&) {
    accepted = false;
  }
  const auto want = Within(PlainNumber(word), option.lo, option.hi);
  if (accepted != want.has_value()) std::abort();
  if (accepted && option.typed) {
    const int stored = flash.app->get_option(option.name)->as<int>();
    if (static_cast<std::uint64_t>(stored) != *want) std::abort();
  }
  return 0;
}
