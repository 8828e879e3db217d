// The label markup read into styled runs and laid out with word wrap, as the
// Win32 window draws its step labels, progress caption and list items.
#include "app/form/markup_runs.h"

#include <gtest/gtest.h>

namespace ql {
namespace {

// Every character 6 pixels wide (bold ones 7); lines 13 high, ascent 11;
// a size in points adds to both.
MarkupMetrics FixedMetrics() {
  MarkupMetrics m;
  m.text_width = [](const MarkupStyle& s, std::string_view text) {
    return static_cast<int>(text.size()) * (s.bold ? 7 : 6);
  };
  m.line_height = [](const MarkupStyle& s) { return s.size_pt > 0 ? s.size_pt * 2 : 13; };
  m.ascent = [](const MarkupStyle& s) { return s.size_pt > 0 ? s.size_pt * 2 - 4 : 11; };
  return m;
}

TEST(MarkupRuns, TheWindowsLabelsReadAsStyledRuns) {
  const auto step = ParseMarkup(R"(<B><FONT face="Tahoma"  size="8" color="#FF0000">Wait for USB link</FONT></B>)");
  ASSERT_EQ(step.size(), 1u);
  ASSERT_EQ(step[0].runs.size(), 1u);
  EXPECT_EQ(step[0].runs[0].text, "Wait for USB link");
  EXPECT_TRUE(step[0].runs[0].style.bold);
  EXPECT_EQ(step[0].runs[0].style.face, "Tahoma");
  EXPECT_EQ(step[0].runs[0].style.size_pt, 8);
  EXPECT_EQ(step[0].runs[0].style.rgb, 0xFF0000u);
  EXPECT_FALSE(step[0].centred);

  // The progress caption: two lines, grey, in the label's own face and size.
  const auto caption = ParseMarkup(R"(<B><FONT color="#B2B2B2">Bootloading <BR>progress bar</FONT></B>)");
  ASSERT_EQ(caption.size(), 2u);
  EXPECT_EQ(caption[0].runs.at(0).text, "Bootloading ");
  EXPECT_EQ(caption[1].runs.at(0).text, "progress bar");
  EXPECT_EQ(caption[1].runs[0].style.rgb, 0xB2B2B2u);
  EXPECT_TRUE(caption[1].runs[0].style.face.empty());
  EXPECT_EQ(caption[1].runs[0].style.size_pt, 0);

  // A list item: one centred paragraph in the box's own style.
  const auto item = ParseMarkup(R"(<P align="center">PIC18F4550</P>)");
  ASSERT_EQ(item.size(), 1u);
  EXPECT_TRUE(item[0].centred);
  EXPECT_EQ(item[0].runs.at(0).text, "PIC18F4550");
  EXPECT_EQ(item[0].runs[0].style, MarkupStyle{});
}

TEST(MarkupRuns, NestingBlanksEntitiesAndForeignTags) {
  const auto lines = ParseMarkup(
      "<font color=\"#00FF00\">a  <FONT size=\"22\">big</FONT>\n b</font> <i>c</i> &lt;x&gt; &amp; <P>new "
      "para</p>tail");
  ASSERT_EQ(lines.size(), 3u);
  ASSERT_EQ(lines[0].runs.size(), 4u);
  EXPECT_EQ(lines[0].runs[0].text, "a ");
  EXPECT_EQ(lines[0].runs[1].text, "big");
  EXPECT_EQ(lines[0].runs[1].style.size_pt, 22);
  EXPECT_EQ(lines[0].runs[1].style.rgb, 0x00FF00u);  // the inner FONT keeps the outer colour
  EXPECT_EQ(lines[0].runs[2].text, " b");            // closing the inner FONT restores the outer one
  EXPECT_EQ(lines[0].runs[2].style.size_pt, 0);
  // Past the outer FONT: the plain style again; <i> is not part of the markup.
  EXPECT_EQ(lines[0].runs[3].text, " c <x> & ");
  EXPECT_EQ(lines[0].runs[3].style, MarkupStyle{});
  EXPECT_EQ(lines[1].runs.at(0).text, "new para");
  EXPECT_EQ(lines[2].runs.at(0).text, "tail");
  EXPECT_EQ(MarkupPlainText("<B>x</B><BR>  y  &quot;z&quot;"), "x\ny \"z\"");
  // An unterminated tag is text, a bad colour or size is ignored.
  const auto odd = ParseMarkup("<FONT color=\"red\" size=\"x\">q</FONT> 1 < 2");
  ASSERT_EQ(odd.size(), 1u);
  EXPECT_FALSE(odd[0].runs[0].style.rgb.has_value());
  EXPECT_EQ(odd[0].runs[0].style.size_pt, 0);
  EXPECT_EQ(odd[0].runs.back().text.substr(odd[0].runs.back().text.size() - 5), "1 < 2");
}

TEST(MarkupLayout, WrapsAtBlanksCentresAndSharesABaseline) {
  const MarkupMetrics m = FixedMetrics();
  // "Wait for USB link" in bold (7 px a character) in the 64-pixel step label: two lines.
  const auto wrapped = LayoutMarkup(ParseMarkup("<B>Wait for USB link</B>"), 64, m);
  ASSERT_EQ(wrapped.fragments.size(), 2u);
  EXPECT_EQ(wrapped.fragments[0].text, "Wait for");
  EXPECT_EQ(wrapped.fragments[1].text, "USB link");
  EXPECT_EQ(wrapped.fragments[0].x, 0);
  EXPECT_EQ(wrapped.fragments[0].baseline, 11);
  EXPECT_EQ(wrapped.fragments[1].baseline, 24);
  EXPECT_EQ(wrapped.height, 26);

  // Centred in a 153-pixel box: (153 - 5 * 6) / 2.
  const auto centred = LayoutMarkup(ParseMarkup(R"(<P align="center">PIC18</P>)"), 153, m);
  ASSERT_EQ(centred.fragments.size(), 1u);
  EXPECT_EQ(centred.fragments[0].x, 61);

  // A word wider than the box stands alone and is not cut; styles on one
  // line share the tallest baseline; an empty line between two <BR> keeps its height.
  const auto mixed =
      LayoutMarkup(ParseMarkup(R"(Supercalifragilistic <FONT size="10">big</FONT> s<BR><BR>end)"), 60, m);
  ASSERT_EQ(mixed.fragments.size(), 4u);
  EXPECT_EQ(mixed.fragments[0].text, "Supercalifragilistic");
  EXPECT_EQ(mixed.fragments[1].text, "big");
  EXPECT_EQ(mixed.fragments[1].x, 0);
  EXPECT_EQ(mixed.fragments[2].text, " s");
  EXPECT_EQ(mixed.fragments[2].x, 18);
  EXPECT_EQ(mixed.fragments[1].baseline, mixed.fragments[2].baseline);
  EXPECT_EQ(mixed.fragments[1].baseline, 13 + 16);
  EXPECT_EQ(mixed.fragments[3].text, "end");
  EXPECT_EQ(mixed.fragments[3].baseline, 13 + 20 + 13 + 11);
  EXPECT_EQ(mixed.height, 13 + 20 + 13 + 13);
}

}  // namespace
}  // namespace ql
