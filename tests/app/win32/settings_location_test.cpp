// Where the Windows window keeps Settings.ini: beside a portable copy it can
// write to, in %APPDATA%\Quelloader for an installed one or one in a folder
// it cannot write to. Real folders in the system's temporary folder.
#include "app/win32/settings_location.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>

#include "app/form/utf8_path.h"
#include "core/win32/windows_text.h"

namespace ql {
namespace {

namespace fs = std::filesystem;

class SettingsLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    root_ = fs::path(temp) / (L"ql-settings-" + std::to_wstring(::GetCurrentProcessId()));
    fs::remove_all(root_);
    fs::create_directories(root_ / L"Zoë portable");
    fs::create_directories(root_ / L"Programs" / L"Quelloader");
    fs::create_directories(root_ / L"Programs2");
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string At(const fs::path& relative) const { return PathUtf8(root_ / relative); }

  fs::path root_;
};

TEST_F(SettingsLocation, APortableCopyKeepsItsFileBesideItAndAnInstalledOneInAppData) {
  const std::string app_data = At(L"AppData");
  const std::vector<std::string> roots{At(L"Programs")};
  // A folder of its own that the user can write to (a name outside the ANSI code page).
  EXPECT_EQ(ChooseSettingsPath(At(L"Zoë portable"), roots, app_data), At(L"Zoë portable\\Settings.ini"));
  // Installed under Program Files: never beside itself, even when it could write there;
  // the folder names compare without regard to case, as Windows' do.
  EXPECT_EQ(ChooseSettingsPath(At(L"Programs\\Quelloader"), roots, app_data), At(L"AppData\\Quelloader\\Settings.ini"));
  std::string upper_root = At(L"Programs");
  for (char& c : upper_root) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(ChooseSettingsPath(At(L"Programs\\Quelloader"), {upper_root}, app_data),
            At(L"AppData\\Quelloader\\Settings.ini"));
  // A folder whose name only begins like the root's is not inside it.
  EXPECT_EQ(ChooseSettingsPath(At(L"Programs2"), roots, app_data), At(L"Programs2\\Settings.ini"));
  // A folder it cannot write to (here: one that does not exist) and that carries no file.
  EXPECT_EQ(ChooseSettingsPath(At(L"gone"), roots, app_data), At(L"AppData\\Quelloader\\Settings.ini"));
}

TEST_F(SettingsLocation, TheWriteProbeLeavesNothingBehind) {
  EXPECT_TRUE(FolderWritable(At(L"Zoë portable")));
  EXPECT_FALSE(FolderWritable(At(L"gone")));
  EXPECT_TRUE(fs::is_empty(root_ / L"Zoë portable"));
}

}  // namespace
}  // namespace ql
