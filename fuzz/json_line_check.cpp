#include "json_line_check.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <vector>

namespace fuzzcheck {

std::string ExpectedText(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (b < 0x80) {
      n = 1;
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4;
      cp = b & 0x07;
    }
    bool ok = n != 0 && i + n <= s.size();
    for (std::size_t k = 1; ok && k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (ok) {
      static constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
      if (cp < kShortest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) ok = false;
    }
    if (ok) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      i += 1;
    }
  }
  return out;
}

nlohmann::json ReadLine(std::string_view line) {
  if (line.empty() || line.back() != '\n') std::abort();
  const std::string_view body = line.substr(0, line.size() - 1);
  for (char c : body) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) std::abort();
  }
  // Keys seen per open object, to catch a key written twice (the library
  // itself would keep one of them silently).
  std::vector<std::set<std::string>> open;
  bool duplicate = false;
  const auto callback = [&](int /*depth*/, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    using E = nlohmann::json::parse_event_t;
    if (event == E::object_start) open.emplace_back();
    if (event == E::object_end) open.pop_back();
    if (event == E::key && !open.empty() && !open.back().insert(parsed.get<std::string>()).second) duplicate = true;
    return true;
  };
  nlohmann::json j = nlohmann::json::parse(body.begin(), body.end(), callback, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object() || duplicate) std::abort();
  return j;
}

void ExpectString(const nlohmann::json& j, const char* key, std::string_view written, bool null_when_empty) {
  if (!j.contains(key)) std::abort();
  const nlohmann::json& v = j.at(key);
  if (null_when_empty && written.empty()) {
    if (!v.is_null()) std::abort();
    return;
  }
  if (!v.is_string() || v.get<std::string>() != ExpectedText(written)) std::abort();
}

void ExpectInt(const nlohmann::json& j, const char* key, std::int64_t value) {
  if (!j.contains(key)) std::abort();
  const nlohmann::json& v = j.at(key);
  if (!v.is_number_integer() || v.get<std::int64_t>() != value) std::abort();
  if (value >= 0 && v.is_number_unsigned() && v.get<std::uint64_t>() != static_cast<std::uint64_t>(value)) std::abort();
}

void ExpectSeconds(const nlohmann::json& j, const char* key, double value) {
  if (!j.contains(key)) std::abort();
  const nlohmann::json& v = j.at(key);
  if (!std::isfinite(value)) {
    if (!v.is_null()) std::abort();
    return;
  }
  if (!v.is_number()) std::abort();
  const double back = v.get<double>();
  if (!(std::fabs(back - value) <= 0.0005 + std::fabs(value) * 1e-15)) std::abort();
}

const char* ExitClass(int code) {
  switch (code) {
    case 0: return "success";
    case 1: return "failed";
    case 2: return "usage";
    case 3: return "hex-rejected";
    case 4: return "no-device";
    case 5: return "permission-denied";
    case 130: return "interrupted";
  }
  std::abort();
}

}  // namespace fuzzcheck
