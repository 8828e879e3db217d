#pragma once
// The window's paths are UTF-8 text on every system; std::filesystem reads a
// plain string in the system's narrow code page on Windows, so paths go
// through char8_t.

#include <filesystem>
#include <string>
#include <string_view>

namespace ql {

inline std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string PathUtf8(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

}  // namespace ql
