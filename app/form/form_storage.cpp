#include "app/form/form_storage.h"

#include <charconv>
#include <cstdio>

namespace ql {

namespace {

std::string NotAnInteger(std::string_view value) {
  return "'" + std::string(value) + "' is not a valid integer value";
}

std::string FormatPosition(const std::array<int, 4>& v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d,%d,%d,%d", v[0], v[1], v[2], v[3]);
  return buf;
}

// Reads "%d,%d,%d,%d"; a number that cannot be read keeps its fallback.
std::array<int, 4> ParsePosition(std::string_view text, std::array<int, 4> fallback) {
  std::array<int, 4> out = fallback;
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t comma = text.find(',', start);
    const std::string_view field = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
    if (auto n = ParseInteger(field); n && !Trim(field).empty()) out[static_cast<std::size_t>(i)] = *n;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return out;
}

std::optional<std::string> ReadPositionKey(const IniFile& ini, std::string_view base, const ScreenInfo& screen) {
  if (auto v = ini.Read(kFormSection, PositionKey(base, screen))) return v;
  return ini.Read(kFormSection, base);
}

}  // namespace

std::optional<int> ParseInteger(std::string_view text) {
  const std::string t = Trim(text);
  if (t.empty()) return 0;
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (*first == '+') ++first;
  int value = 0;
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last || first == last) return std::nullopt;
  return value;
}

std::optional<bool> ParseBoolean(std::string_view text) {
  const std::string t = Trim(text);
  for (std::string_view w : {"TRUE", "YES", "Y"})
    if (SameName(t, w)) return true;
  for (std::string_view w : {"FALSE", "NO", "N"})
    if (SameName(t, w)) return false;
  if (t.empty()) return std::nullopt;
  if (auto n = ParseInteger(t)) return *n != 0;
  return std::nullopt;
}

std::string PositionKey(std::string_view base, const ScreenInfo& screen) {
  return std::string(base) + "(" + std::to_string(screen.width) + "x" + std::to_string(screen.height) + ")";
}

ShowState ShowStateFromCmd(int show_cmd) {
  switch (show_cmd) {
    case 2:
    case 6:
    case 7:
      return ShowState::Minimised;
    case 3:
      return ShowState::Maximised;
    default:
      return ShowState::Normal;
  }
}

AppliedSettings ApplyFormSettings(const IniFile& ini, const ScreenInfo& screen, const WindowPlacement& current) {
  AppliedSettings out;
  // Integer keys end the applying with a conversion error when they hold
  // something else; a missing key reads as 0.
  auto integer = [&](std::string_view key, int& value) {
    const std::string text = ini.Read(kFormSection, key).value_or("");
    auto n = ParseInteger(text);
    if (!n) {
      out.error = NotAnInteger(text);
      return false;
    }
    value = *n;
    return true;
  };

  int form_version = 0;
  if (!integer("FormVersion", form_version)) return out;
  if (form_version < 0) return out;

  WindowPlacement placement = current;
  if (!integer("Flags", placement.flags)) return out;
  const auto min_max = ReadPositionKey(ini, "MinMaxPos", screen);
  const auto norm = ReadPositionKey(ini, "NormPos", screen);
  if (min_max) placement.min_max = ParsePosition(*min_max, {0, 0, 0, 0});
  if (norm) placement.norm = ParsePosition(*norm, current.norm);
  if (min_max || norm) {
    const bool have_ppi = ini.Read(kFormSection, "PixelsPerInch").has_value();
    int ppi = 0;
    if (!integer("PixelsPerInch", ppi)) return out;
    if (!have_ppi || ppi == screen.pixels_per_inch) out.placement = placement;
  }
  if (ini.Read(kFormSection, "ShowCmd")) {
    int show_cmd = 0;
    if (!integer("ShowCmd", show_cmd)) return out;
    out.show_state = ShowStateFromCmd(show_cmd);
  }

  if (auto v = ini.Read(kFormSection, "CheckBoxClose_Checked")) out.close_when_finished = ParseBoolean(*v);
  if (auto v = ini.Read(kFormSection, "OpenDialog1_InitialDir")) out.initial_dir = *v;
  if (auto v = ini.Read(kFormSection, "OpenDialog1_FileName")) out.file_name = *v;
  if (auto v = ini.Read(kFormSection, "MCUComboBox_ItemIndex")) {
    if (auto n = ParseInteger(*v); n && !Trim(*v).empty()) out.mcu_item_index = *n;
  }
  return out;
}

void GatherFormSettings(IniFile& ini, const ScreenInfo& screen, const WindowPlacement& placement,
                        const StoredProps& props) {
  auto put = [&](std::string_view key, const std::string& value) { ini.Write(kFormSection, key, value); };
  put("FormVersion", "0");
  put("ShowCmd", std::to_string(placement.show_cmd));
  put("Flags", std::to_string(placement.flags));
  put("PixelsPerInch", std::to_string(screen.pixels_per_inch));
  put(PositionKey("MinMaxPos", screen), FormatPosition(placement.min_max));
  put("MinMaxPos", FormatPosition(placement.min_max));
  put(PositionKey("NormPos", screen), FormatPosition(placement.norm));
  put("NormPos", FormatPosition(placement.norm));
  put("CheckBoxClose_Checked", props.close_when_finished ? "TRUE" : "FALSE");
  put("OpenDialog1_InitialDir", props.initial_dir);
  put("OpenDialog1_FileName", props.file_name);
  put("MCUComboBox_ItemIndex", std::to_string(props.mcu_item_index));
}

}  // namespace ql
