// What the window draws itself: the background panel and its groups, the
// title, the caption and markup labels, the gradient push buttons with the
// link picture, the list items and the status panel. Drawn at the
// monitor's dpi, never stretched from 96-dpi pictures.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "app/form/markup_runs.h"
#include "app/win32/win32_ids.h"
#include "app/win32/win32_window.h"
#include "app/win32/window_layout.h"
#include "core/win32/windows_text.h"

namespace ql {

namespace {

COLORREF Colour(Rgb c) { return RGB(c.r, c.g, c.b); }

struct Stop {
  double at;
  COLORREF colour;
};

COLORREF Mix(COLORREF a, COLORREF b, double t) {
  auto channel = [t](int x, int y) { return static_cast<BYTE>(std::lround(x + (y - x) * t)); };
  return RGB(channel(GetRValue(a), GetRValue(b)), channel(GetGValue(a), GetGValue(b)),
             channel(GetBValue(a), GetBValue(b)));
}

// Fills `r` row by row with a top-to-bottom gradient through `stops`.
void VerticalGradient(HDC dc, const RECT& r, std::initializer_list<Stop> stops) {
  const int height = std::max<int>(1, r.bottom - r.top);
  const HGDIOBJ old = ::SelectObject(dc, ::GetStockObject(DC_BRUSH));
  for (int y = r.top; y < r.bottom; ++y) {
    const double t = (y - r.top + 0.5) / height;
    const Stop* lo = stops.begin();
    const Stop* hi = stops.end() - 1;
    for (const Stop* s = stops.begin(); s + 1 < stops.end(); ++s) {
      if (t >= s->at && t <= (s + 1)->at) {
        lo = s;
        hi = s + 1;
        break;
      }
    }
    const double span = hi->at - lo->at;
    ::SetDCBrushColor(dc, span <= 0 ? lo->colour : Mix(lo->colour, hi->colour, (t - lo->at) / span));
    ::PatBlt(dc, r.left, y, r.right - r.left, 1, PATCOPY);
  }
  ::SelectObject(dc, old);
}

void Fill(HDC dc, const RECT& r, COLORREF colour) {
  ::SetDCBrushColor(dc, colour);
  ::FillRect(dc, &r, static_cast<HBRUSH>(::GetStockObject(DC_BRUSH)));
}

// Runs of blanks in a caption mark where it breaks ("Browse      for HEX");
// they take no room of their own.
std::wstring Simplified(const std::string& caption) {
  std::string out;
  for (char c : caption) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return win32::Widen(out);
}

// The USB trident, 16 x 16 at 96 dpi: the plug's round end on the left,
// the arrow head on the right, a branch ending in a circle above and one
// ending in a square below.
void DrawTrident(HDC dc, int left, int top, int size, COLORREF colour) {
  const double s = size / 16.0;
  auto p = [&](double x, double y) {
    return POINT{left + static_cast<LONG>(std::lround(x * s)), top + static_cast<LONG>(std::lround(y * s))};
  };
  HPEN pen = ::CreatePen(PS_SOLID, std::max(1, static_cast<int>(std::lround(1.4 * s))), colour);
  HBRUSH brush = ::CreateSolidBrush(colour);
  const HGDIOBJ old_pen = ::SelectObject(dc, pen);
  const HGDIOBJ old_brush = ::SelectObject(dc, brush);
  auto disc = [&](double cx, double cy, double r) {
    const POINT a = p(cx - r, cy - r);
    const POINT b = p(cx + r, cy + r);
    ::Ellipse(dc, a.x, a.y, b.x + 1, b.y + 1);
  };
  disc(2.5, 8.0, 1.8);
  const POINT shaft[] = {p(2.5, 8.0), p(12.0, 8.0)};
  ::Polyline(dc, shaft, 2);
  const POINT head[] = {p(15.5, 8.0), p(11.5, 5.8), p(11.5, 10.2)};
  ::Polygon(dc, head, 3);
  const POINT upper[] = {p(5.0, 8.0), p(7.0, 4.0), p(9.5, 4.0)};
  ::Polyline(dc, upper, 3);
  disc(10.6, 4.0, 1.4);
  const POINT lower[] = {p(7.0, 8.0), p(9.0, 12.0), p(10.5, 12.0)};
  ::Polyline(dc, lower, 3);
  const POINT a = p(10.5, 10.8);
  const POINT b = p(12.9, 13.2);
  ::Rectangle(dc, a.x, a.y, b.x + 1, b.y + 1);
  ::SelectObject(dc, old_pen);
  ::SelectObject(dc, old_brush);
  ::DeleteObject(pen);
  ::DeleteObject(brush);
}

layout::Group ButtonGroup(int id) {
  switch (id) {
    case win32::kIdLink:
      return layout::kStep1;
    case win32::kIdButtons + static_cast<int>(Control::ButtonConnect):
      return layout::kStep2;
    case win32::kIdButtons + static_cast<int>(Control::ButtonOpenHex):
      return layout::kStep3;
    case win32::kIdButtons + static_cast<int>(Control::ButtonStartBootloader):
      return layout::kStep4;
    default:
      return layout::kStrip;
  }
}

}  // namespace

RECT Win32Window::GroupRect(int group) const {
  const layout::Box& g = layout::kGroups[group];
  const int x = layout::kPanel.x + g.x;
  const int y = layout::kPanel.y + g.y;
  return RECT{Scale(x), Scale(y), Scale(x + g.w), Scale(y + g.h)};
}

COLORREF Win32Window::GroupColour(int group) const {
  // Until the look is applied a group shows its parent's colour.
  if (!group_look_) return Colour(kBackground);
  if (group == layout::kActivity) return Colour(kActivityColour);
  if (group == layout::kStrip) return Colour(strip_colour_);
  return Colour(kGroupColour);
}

void Win32Window::Paint(HDC target, const RECT& update) {
  RECT client;
  ::GetClientRect(hwnd_, &client);
  // Drawn off screen first: the slide repaints every 15 ms.
  HDC dc = ::CreateCompatibleDC(target);
  HBITMAP bitmap = ::CreateCompatibleBitmap(target, client.right, client.bottom);
  const HGDIOBJ old_bitmap = ::SelectObject(dc, bitmap);
  Fill(dc, client, Colour(kBackground));
  for (int g = 0; g < layout::kGroupCount; ++g) {
    RECT r = GroupRect(g);
    Fill(dc, r, GroupColour(g));
    if (!group_look_) ::DrawEdge(dc, &r, EDGE_ETCHED, BF_RECT);
  }
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextAlign(dc, TA_LEFT | TA_TOP);

  const std::wstring title = L"Quelloader";
  RECT title_box{Scale(layout::kTitle.x), Scale(layout::kTitle.y), Scale(layout::kTitle.x + layout::kTitle.w),
                 Scale(layout::kTitle.y + layout::kTitle.h)};
  ::SelectObject(dc, Font("Impact", 32, true));
  ::SetTextColor(dc, Colour(kTitleRed));
  ::DrawTextW(dc, title.c_str(), static_cast<int>(title.size()), &title_box, DT_LEFT | DT_TOP | DT_SINGLELINE);

  for (const layout::Caption& c : layout::kCaptions) {
    const RECT g = GroupRect(c.group);
    const std::wstring text = win32::Widen(c.text);
    ::SaveDC(dc);
    ::IntersectClipRect(dc, g.left, g.top, g.right, g.bottom);
    ::SelectObject(dc, Font(std::string(c.face), c.pixels, true));
    ::SetTextColor(dc, Colour(kCaptionGrey));
    const layout::Box& box = layout::kGroups[c.group];
    ::TextOutW(dc, Scale(layout::kPanel.x + box.x + c.x), Scale(layout::kPanel.y + box.y + c.y), text.c_str(),
               static_cast<int>(text.size()));
    ::RestoreDC(dc, -1);
  }
  for (const layout::MarkupLabel& label : layout::kMarkupLabels) {
    const layout::Box& g = layout::kGroups[label.group];
    const int x = layout::kPanel.x + g.x + label.box.x;
    const int y = layout::kPanel.y + g.y + label.box.y;
    RECT box{Scale(x), Scale(y), Scale(x + label.box.w), Scale(y + label.box.h)};
    const RECT group = GroupRect(label.group);
    IntersectRect(&box, &box, &group);
    DrawMarkup(dc, box, label.markup, RGB(0, 0, 0), "Verdana", 11, false);
  }
  ::BitBlt(target, update.left, update.top, update.right - update.left, update.bottom - update.top, dc, update.left,
           update.top, SRCCOPY);
  ::SelectObject(dc, old_bitmap);
  ::DeleteObject(bitmap);
  ::DeleteDC(dc);
}

void Win32Window::DrawMarkup(HDC dc, const RECT& box, std::string_view markup, COLORREF colour, const std::string& face,
                             int pixels, bool centre_vertically) {
  auto font_of = [&](const MarkupStyle& style) {
    // A FONT size is in points: 96 dpi has 4 pixels to 3 points.
    const int px = style.size_pt > 0 ? MulDiv(style.size_pt, 96, 72) : pixels;
    return Font(style.face.empty() ? face : style.face, px, style.bold);
  };
  auto metrics_of = [&](const MarkupStyle& style) {
    ::SelectObject(dc, font_of(style));
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc, &tm);
    return tm;
  };
  MarkupMetrics metrics;
  metrics.text_width = [&](const MarkupStyle& style, std::string_view text) {
    ::SelectObject(dc, font_of(style));
    const std::wstring w = win32::Widen(text);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
    return static_cast<int>(size.cx);
  };
  metrics.line_height = [&](const MarkupStyle& style) { return static_cast<int>(metrics_of(style).tmHeight); };
  metrics.ascent = [&](const MarkupStyle& style) { return static_cast<int>(metrics_of(style).tmAscent); };
  const MarkupLayout placed = LayoutMarkup(ParseMarkup(markup), box.right - box.left, metrics);
  const int top = box.top + (centre_vertically ? (box.bottom - box.top - placed.height) / 2 : 0);
  ::SaveDC(dc);
  ::IntersectClipRect(dc, box.left, box.top, box.right, box.bottom);
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextAlign(dc, TA_LEFT | TA_BASELINE);
  for (const MarkupFragment& f : placed.fragments) {
    ::SelectObject(dc, font_of(f.style));
    ::SetTextColor(dc, f.style.rgb ? RGB(*f.style.rgb >> 16, (*f.style.rgb >> 8) & 0xFF, *f.style.rgb & 0xFF) : colour);
    const std::wstring w = win32::Widen(f.text);
    ::TextOutW(dc, box.left + f.x, top + f.baseline, w.c_str(), static_cast<int>(w.size()));
  }
  ::RestoreDC(dc, -1);
}

void Win32Window::DrawButton(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  const RECT r = item.rcItem;
  Fill(dc, r, GroupColour(ButtonGroup(static_cast<int>(item.CtlID))));
  const bool link = item.CtlID == static_cast<UINT>(win32::kIdLink);
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  RECT inner{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
  if (disabled) {
    Fill(dc, inner, RGB(240, 240, 240));
  } else if (pressed) {
    VerticalGradient(dc, inner, {{0.0, RGB(0xc4, 0xda, 0xf3)}, {1.0, RGB(0xe6, 0xf0, 0xfb)}});
  } else if (item.hwndItem == hover_) {
    VerticalGradient(dc, inner,
                     {{0.0, RGB(255, 255, 255)}, {0.5, RGB(0xe6, 0xf0, 0xfb)}, {1.0, RGB(0xc4, 0xda, 0xf3)}});
  } else {
    VerticalGradient(dc, inner,
                     {{0.0, RGB(255, 255, 255)}, {0.5, RGB(0xf0, 0xf0, 0xf0)}, {1.0, RGB(0xd6, 0xd6, 0xd6)}});
  }
  const COLORREF border = disabled                  ? RGB(0xc8, 0xc8, 0xc8)
                          : item.hwndItem == hover_ ? RGB(0x5a, 0x8f, 0xd0)
                                                    : RGB(0x9c, 0x9c, 0x9c);
  HPEN pen = ::CreatePen(PS_SOLID, 1, border);
  const HGDIOBJ old_pen = ::SelectObject(dc, pen);
  const HGDIOBJ old_brush = ::SelectObject(dc, ::GetStockObject(NULL_BRUSH));
  ::RoundRect(dc, r.left, r.top, r.right, r.bottom, Scale(6), Scale(6));
  ::SelectObject(dc, old_pen);
  ::SelectObject(dc, old_brush);
  ::DeleteObject(pen);

  if (link) {
    // Always disabled, never greyed: the picture shows the link.
    const int size = Scale(16);
    DrawTrident(dc, (r.left + r.right - size) / 2, (r.top + r.bottom - size) / 2, size,
                link_picture_ == 1 ? RGB(224, 0, 0) : RGB(150, 150, 150));
    return;
  }
  int index = static_cast<int>(item.CtlID) - win32::kIdButtons;
  if (index < 0 || index > 3) return;
  const std::wstring caption = Simplified(captions_[index]);
  ::SelectObject(dc, ui_font_);
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, disabled ? ::GetSysColor(COLOR_GRAYTEXT) : ::GetSysColor(COLOR_BTNTEXT));
  RECT text{r.left + Scale(3), r.top + Scale(1), r.right - Scale(3), r.bottom - Scale(1)};
  RECT measured = text;
  ::DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &measured, DT_CENTER | DT_WORDBREAK | DT_CALCRECT);
  const int offset = ((text.bottom - text.top) - (measured.bottom - measured.top)) / 2 + (pressed ? 1 : 0);
  text.top += offset;
  text.left += pressed ? 1 : 0;
  ::DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &text, DT_CENTER | DT_WORDBREAK);
  if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) {
    RECT focus{r.left + Scale(3), r.top + Scale(3), r.right - Scale(3), r.bottom - Scale(3)};
    ::DrawFocusRect(dc, &focus);
  }
}

void Win32Window::DrawListItem(const DRAWITEMSTRUCT& item) {
  Fill(item.hDC, item.rcItem, ::GetSysColor(COLOR_BTNFACE));
  if (item.itemID == static_cast<UINT>(-1)) return;
  const std::string& markup = item.CtlID == static_cast<UINT>(win32::kIdDeviceBox) ? device_item_ : mcu_item_;
  RECT box = item.rcItem;
  box.left += Scale(2);
  box.right -= Scale(2);
  DrawMarkup(item.hDC, box, markup, Colour(kLogGrey), "Tahoma", 11, true);
}

void Win32Window::DrawStatusPanel(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT r = item.rcItem;
  RECT bar;
  ::GetClientRect(status_, &bar);
  // The bar's light shading behind the panel, from white down.
  VerticalGradient(dc, RECT{bar.left, bar.top, std::max(bar.right, r.right), bar.bottom},
                   {{0.0, RGB(255, 255, 255)}, {1.0, RGB(213, 209, 201)}});
  ::SaveDC(dc);
  ::IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
  ::SelectObject(dc, ui_font_);
  ::SetTextColor(dc, Colour(kLogGrey));
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextAlign(dc, TA_LEFT | TA_TOP);
  ::TextOutW(dc, r.left + Scale(2), r.top + Scale(4), status_text_.c_str(), static_cast<int>(status_text_.size()));
  ::RestoreDC(dc, -1);
}

}  // namespace ql
