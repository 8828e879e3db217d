#pragma once
// What the fuzz targets of the machine-readable outputs (--json events, the
// --log record) check of every line, written apart from the product's JSON
// writer: the text a string field must read back as, and a strict reading of
// one line with a JSON library. Each check aborts on a violation.
//
// json_line_check.cpp is built without coverage instrumentation: the
// fuzzer's guidance should come from the writer, not from the paths taken
// inside the JSON library reading its output.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzzcheck {

// The documented rule for text from outside: valid UTF-8 passes unchanged,
// every byte that is not part of a valid sequence becomes U+FFFD. Decoded
// here by value (code point, shortest form, no surrogates, at most
// U+10FFFF), not by the byte ranges the writer uses.
std::string ExpectedText(std::string_view s);

// A line as a reader takes it: ends in its one line feed, holds no raw
// control character (U+0000 to U+001F, U+007F), and parses as one JSON
// object (the library refuses invalid UTF-8) with no key twice at any level.
nlohmann::json ReadLine(std::string_view line);

// A string field holding `written`: null when empty (unknown) if `null_when_empty`.
void ExpectString(const nlohmann::json& j, const char* key, std::string_view written, bool null_when_empty);

void ExpectInt(const nlohmann::json& j, const char* key, std::int64_t value);

// Seconds to the millisecond, null when not finite: the number read back is
// the value rounded to three decimals.
void ExpectSeconds(const nlohmann::json& j, const char* key, double value);

// The names of the exit classes, as docs/json-events.md lists them.
const char* ExitClass(int code);

inline constexpr int kExitCodes[] = {0, 1, 2, 3, 4, 5, 130};

}  // namespace fuzzcheck
