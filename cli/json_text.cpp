#include "cli/json_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace ql::cli {

namespace {

// The length of the valid UTF-8 sequence starting at `s[i]`, or 0 when the
// byte there does not start one (the ranges of RFC 3629, table 3-7 of the
// Unicode standard).
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    const std::size_t n = Utf8SequenceLength(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for the one byte
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  out += '"';
  return out;
}

std::string_view ExitClassName(ExitCode code) {
  switch (code) {
    case ExitCode::Success: return "success";
    case ExitCode::Failed: return "failed";
    case ExitCode::Usage: return "usage";
    case ExitCode::HexRejected: return "hex-rejected";
    case ExitCode::NoDevice: return "no-device";
    case ExitCode::PermissionDenied: return "permission-denied";
    case ExitCode::Interrupted: return "interrupted";
    case ExitCode::Hangup: return "hangup";
    case ExitCode::Terminated: return "terminated";
  }
  return "unknown";
}

void JsonObject::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  text_ += JsonString(key);
  text_ += ':';
}

JsonObject& JsonObject::String(std::string_view key, std::string_view value) {
  Key(key);
  text_ += JsonString(value);
  return *this;
}

JsonObject& JsonObject::StringOrNull(std::string_view key, std::string_view value) {
  if (value.empty()) return Raw(key, "null");
  return String(key, value);
}

JsonObject& JsonObject::Int(std::string_view key, std::int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Seconds(std::string_view key, double value) {
  Key(key);
  if (!std::isfinite(value)) {
    text_ += "null";
    return *this;
  }
  // to_chars: the same text whatever the C locale's decimal point.
  char buf[400];  // the longest double in fixed notation fits
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3);
  text_.append(buf, r.ptr);
  return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
  Key(key);
  text_ += json;
  return *this;
}

}  // namespace ql::cli
