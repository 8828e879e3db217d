#pragma once
// The window's layout in pixels at 96 dpi: the groups on the background
// panel, the labels the window draws and the controls that are windows of
// their own, each relative to its group.

#include <string_view>

namespace ql::layout {

struct Box {
  int x, y, w, h;
};

enum Group { kDevice, kStep1, kMcu, kStep2, kHistory, kStep3, kStep4, kStrip, kActivity, kGroupCount };

inline constexpr Box kGroups[kGroupCount] = {
    {263, 19, 220, 30},    // AdvGroupBox3: Device
    {0, 65, 216, 39},      // AdvGroupBox4: step 1
    {232, 65, 251, 39},    // AdvGroupBox9: MCU Type
    {-1, 117, 217, 39},    // AdvGroupBox5: step 2
    {232, 117, 251, 147},  // AdvGroupBox1: history
    {-1, 170, 217, 39},    // AdvGroupBox6: step 3
    {-1, 224, 217, 39},    // AdvGroupBox7: step 4
    {-1, 280, 497, 45},    // AdvGroupBox8: progress strip
    {495, 11, 177, 314},   // AdvGroupBox2: activity panel
};

inline constexpr Box kPanel{0, 0, 684, 339};  // AdvPanel1
inline constexpr int kStatusTop = 338;        // StatusBar1, 19 high
inline constexpr int kStatusHeight = 19;
inline constexpr int kStatusPanelWidth = 752;
inline constexpr Box kTitle{13, 12, 221, 39};  // JvLabel4 on the panel

// Caption labels: bold grey, at their group's offset.
struct Caption {
  Group group;
  int x, y;
  std::string_view text, face;
  int pixels;
};
inline constexpr Caption kCaptions[] = {
    {kDevice, 11, 8, "Device", "Tahoma", 11},
    {kMcu, 16, 13, "MCU Type", "Tahoma", 11},
    {kHistory, 6, 5, "History Window", "Verdana", 12},
    {kActivity, 12, 6, "Terminal Activity", "Tahoma", 12},
};

// Markup labels, in the panel's font (Verdana 11) unless their markup says.
struct MarkupLabel {
  Group group;
  Box box;
  std::string_view markup;
};
inline constexpr MarkupLabel kMarkupLabels[] = {
    {kStep1, {13, 2, 24, 36}, R"(<B><FONT  size="22" color="#FF0000">1</FONT></B>)"},
    {kStep1, {40, 7, 64, 33}, R"(<B><FONT face="Tahoma"  size="8" color="#FF0000">Wait for USB link</FONT></B>)"},
    {kStep2, {14, 2, 24, 36}, R"(<B><FONT  size="22" color="#FF0000">2</FONT></B>)"},
    {kStep2, {40, 7, 65, 32}, R"(<B><FONT color="#FF0000">Connect with MCU</FONT></B>)"},
    {kStep3, {14, 1, 24, 36}, R"(<B><FONT  size="22" color="#FF0000">3</FONT></B>)"},
    {kStep3, {40, 6, 65, 33}, R"(<B><FONT color="#FF0000">Choose HEX file</FONT></B>)"},
    {kStep4, {14, 2, 24, 36}, R"(<B><FONT  size="22" color="#FF0000">4</FONT></B>)"},
    {kStep4, {40, 7, 84, 33}, R"(<B><FONT color="#FF0000">Start bootloader</FONT></B>)"},
    {kStrip, {14, 8, 93, 27}, R"(<B><FONT color="#B2B2B2">Bootloading <BR>progress bar</FONT></B>)"},
};

// The controls that are windows, relative to their group.
inline constexpr Box kLinkIndicator{141, 5, 47, 30};  // in step 1
inline constexpr Box kDeviceBox{56, 5, 153, 22};      // in Device
inline constexpr Box kMcuBox{87, 10, 153, 22};        // in MCU Type
inline constexpr Box kStepButton{126, 5, 81, 30};     // in steps 2, 3 and 4
inline constexpr Box kHistoryMemo{0, 21, 240, 126};   // in history
inline constexpr Box kProgressBar{111, 12, 266, 22};  // in the strip
inline constexpr Box kActivityButton{390, 12, 83, 22};
inline constexpr Box kTerminalMemo{12, 23, 153, 281};  // in the activity panel

}  // namespace ql::layout
