#pragma once
// The window's label markup (<B>, FONT with face, size in points and color,
// <BR>, <P align="center">) read into runs of equally styled text, and laid
// out with word wrap into a box. A window whose toolkit draws plain text
// (the Win32 window) measures and draws the fragments; nothing here needs a
// toolkit, so the wrapping and centring are checked without one.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ql {

struct MarkupStyle {
  bool bold = false;
  std::string face;                  // empty: the label's own font
  int size_pt = 0;                   // 0: the label's own size
  std::optional<std::uint32_t> rgb;  // 0xRRGGBB; none: the label's own colour
  friend bool operator==(const MarkupStyle&, const MarkupStyle&) = default;
};

struct MarkupRun {
  MarkupStyle style;
  std::string text;  // white space collapsed to single blanks, entities decoded
};

struct MarkupLine {
  std::vector<MarkupRun> runs;
  bool centred = false;
};

// Lines as the markup breaks them (<BR>, paragraphs); wrapping comes later.
std::vector<MarkupLine> ParseMarkup(std::string_view markup);

// The text without its tags, lines joined by "\n" (what a reader sees).
std::string MarkupPlainText(std::string_view markup);

struct MarkupMetrics {
  // Width in pixels of `text` drawn in `style`.
  std::function<int(const MarkupStyle&, std::string_view)> text_width;
  // Line height and ascent in pixels of `style`'s font.
  std::function<int(const MarkupStyle&)> line_height;
  std::function<int(const MarkupStyle&)> ascent;
};

struct MarkupFragment {
  int x = 0;         // left edge in the box
  int baseline = 0;  // baseline in the box
  MarkupStyle style;
  std::string text;
};

struct MarkupLayout {
  std::vector<MarkupFragment> fragments;
  int height = 0;  // of all lines
};

// Lays the lines out in a box `width` pixels wide, breaking at blanks where
// a line would not fit (a word wider than the box stands alone); centred
// lines are centred in the box.
MarkupLayout LayoutMarkup(const std::vector<MarkupLine>& lines, int width, const MarkupMetrics& metrics);

}  // namespace ql
