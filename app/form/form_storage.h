#pragma once
// The window's stored state in Settings.ini, section frmqBoot: its placement
// and the four stored control values. Applying and gathering work on plain
// values so that they can be checked without a window.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "app/form/ini_file.h"

namespace ql {

inline constexpr std::string_view kFormSection = "frmqBoot";

struct ScreenInfo {
  int width = 0;   // primary screen, pixels
  int height = 0;
  int pixels_per_inch = 96;
};

// The window placement in the platform's terms: show state (1 normal,
// 2 minimised, 3 maximised), flags, minimised and maximised positions, and
// the normal rectangle as left, top, right, bottom.
struct WindowPlacement {
  int show_cmd = 1;
  int flags = 0;
  std::array<int, 4> min_max{-1, -1, -1, -1};
  std::array<int, 4> norm{0, 0, 0, 0};
};

struct StoredProps {
  bool close_when_finished = false;  // CheckBoxClose.Checked
  std::string initial_dir;           // OpenDialog1.InitialDir
  std::string file_name;             // OpenDialog1.FileName
  int mcu_item_index = -1;           // MCUComboBox.ItemIndex
};

enum class ShowState { Normal, Minimised, Maximised };
ShowState ShowStateFromCmd(int show_cmd);

// What applying the stored settings asks of the window. Each field is set
// only when the file asks for it.
struct AppliedSettings {
  std::optional<WindowPlacement> placement;  // move to norm's left/top
  std::optional<ShowState> show_state;
  std::optional<bool> close_when_finished;
  std::optional<std::string> initial_dir;
  std::optional<std::string> file_name;
  std::optional<int> mcu_item_index;
  // The conversion error that ended the applying, if any: the general error
  // report shows it.
  std::optional<std::string> error;
};

AppliedSettings ApplyFormSettings(const IniFile& ini, const ScreenInfo& screen,
                                  const WindowPlacement& current);

void GatherFormSettings(IniFile& ini, const ScreenInfo& screen, const WindowPlacement& placement,
                        const StoredProps& props);

// A decimal integer, surrounding blanks allowed; an empty text reads as 0.
std::optional<int> ParseInteger(std::string_view text);
// "TRUE"/"YES"/"Y", "FALSE"/"NO"/"N" in any case, or an integer (non-zero is
// true); anything else gives nothing.
std::optional<bool> ParseBoolean(std::string_view text);
std::string PositionKey(std::string_view base, const ScreenInfo& screen);

}  // namespace ql
