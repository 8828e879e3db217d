#pragma once
// A folder of the running test case's own. CTest runs every case as its own
// process, side by side with the others, so cases must not share files.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace ql::test {

// QUELLOADER_TEST_TMP/<suite>.<case>, created if missing and kept as it is,
// so that a case may ask for it more than once.
inline std::filesystem::path CaseDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const auto dir =
      std::filesystem::path(QUELLOADER_TEST_TMP) / (std::string(info->test_suite_name()) + "." + info->name());
  std::filesystem::create_directories(dir);
  return dir;
}

// The same folder, emptied: what an earlier run left does not count.
inline std::filesystem::path FreshCaseDir() {
  std::filesystem::remove_all(CaseDir());
  return CaseDir();
}

// Paths and UTF-8 strings both ways, as the program keeps paths (the
// system's own encoding is wide on Windows).
inline std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace ql::test
