#pragma once
// The little JSON that quelloader-cli writes: flat objects of strings,
// integers, seconds and nested objects, one per line. Written by hand because
// that is all it needs; a full JSON library would be a runtime dependency of
// the package for a few dozen lines of output.

#include <cstdint>
#include <string>
#include <string_view>

#include "cli/exit_codes.h"

namespace ql::cli {

// `text` as a quoted JSON string. Quotes, backslashes and control characters
// are escaped; bytes that are not valid UTF-8 (stray continuation bytes,
// overlong forms, surrogates, code points past U+10FFFF, truncated sequences)
// become U+FFFD, one per byte, so the result is always valid JSON whatever a
// device or a file name holds.
std::string JsonString(std::string_view text);

// The exit class's name in machine-readable output: "success", "failed",
// "usage", "hex-rejected", "no-device", "permission-denied", "interrupted",
// "hangup", "terminated".
std::string_view ExitClassName(ExitCode code);

// Builds one JSON object, fields in the order they are added.
class JsonObject {
 public:
  JsonObject& String(std::string_view key, std::string_view value);
  // null when `value` is empty: an unknown port, serial or path.
  JsonObject& StringOrNull(std::string_view key, std::string_view value);
  JsonObject& Int(std::string_view key, std::int64_t value);
  // Seconds with millisecond resolution; null when not finite.
  JsonObject& Seconds(std::string_view key, double value);
  // `json` must already be one JSON value (an object or an array).
  JsonObject& Raw(std::string_view key, std::string_view json);
  // The object's text, without a line end.
  std::string Text() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

}  // namespace ql::cli
