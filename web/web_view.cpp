#include "web/web_view.h"

#include <cstdio>

#include "app/form/qboot_form.h"
#include "core/version.h"
#include "upload/upload_engine.h"

namespace ql::web {

namespace {

std::string Text(std::string_view s) { return std::string(s); }

const char* ControlName(Control control) {
  switch (control) {
    case Control::ButtonConnect:
      return "ButtonConnect";
    case Control::ButtonOpenHex:
      return "ButtonOpenHex";
    case Control::ButtonStartBootloader:
      return "ButtonStartBootloader";
    case Control::AdvGlowButton1:
      return "AdvGlowButton1";
  }
  return "";
}

}  // namespace

void WebView::SetCaption(Control control, std::string_view caption) {
  Call("setCaption", std::string(ControlName(control)), Text(caption));
}

void WebView::SetEnabled(Control control, bool enabled) {
  Call("setEnabled", std::string(ControlName(control)), enabled);
}

void WebView::SetLinkPicture(int picture) { Call("setLinkPicture", picture); }

void WebView::SetMcuBox(std::string_view item, int item_index) { Call("setMcuBox", Text(item), item_index); }

void WebView::SetDeviceBox(std::string_view item) { Call("setDeviceBox", Text(item)); }

void WebView::AppendHistory(std::string_view line) { Call("appendHistory", Text(line)); }

void WebView::AppendTerminal(const std::vector<std::string>& lines) {
  // One call a frame, whatever the number of lines: an upload writes one a byte.
  std::string text;
  std::size_t size = 0;
  for (const std::string& l : lines) size += l.size() + 1;
  text.reserve(size);
  for (const std::string& l : lines) {
    if (!text.empty()) text += '\n';
    text += l;
  }
  Call("appendTerminal", text);
}

void WebView::ClearTerminal() { Call("clearTerminal"); }

int WebView::StatusTextWidth(std::string_view text) {
  // The page measures in its status line's font and scales to the form's
  // layout width, so that a path is fitted to the line as the page shows it.
  return Call("statusTextWidth", Text(text), width_).as<int>();
}

void WebView::ShowStatusText(std::string_view text) { Call("showStatusText", Text(text)); }

void WebView::SetProgress(int position, int max) { Call("setProgress", position, max); }

void WebView::SetTitle(std::string_view title) { Call("setTitle", Text(title)); }

void WebView::SetClientWidth(int width) {
  width_ = width;
  Call("setClientWidth", width);
}

void WebView::SetStripColour(Rgb colour) {
  char css[32];
  std::snprintf(css, sizeof css, "rgb(%d, %d, %d)", colour.r, colour.g, colour.b);
  Call("setStripColour", std::string(css));
}

void WebView::ApplyGroupLook() { Call("applyGroupLook"); }

std::string WebView::ReadFileVersion() { return kVersion; }

// Nothing is placed or stored: these only have to be consistent.
ScreenInfo WebView::Screen() { return ScreenInfo{}; }

WindowPlacement WebView::Placement() {
  WindowPlacement placement;
  placement.norm = {0, 0, width_, kClientHeight};
  return placement;
}

bool WebView::AskBootloaderArea() { return Call("askBootloaderArea", std::string(kBootAreaQuestion)).as<bool>(); }

void WebView::DismissQuestion() { Call("dismissQuestion"); }

void WebView::ShowChecksumWarning(std::string_view text) { Call("showChecksumWarning", Text(text)); }

void WebView::ShowUploadEnd(std::string_view content, std::string_view detail) {
  Call("showUploadEnd", Text(content), Text(detail));
}

void WebView::ShowError(std::string_view text, bool owned) { Call("showError", Text(text), owned); }

std::optional<std::string> WebView::BrowseHexFile(std::string_view initial_dir, std::string_view file_name) {
  Call("browseHexFile", Text(initial_dir), Text(file_name));
  return std::nullopt;
}

void WebView::CloseWindow() { Call("closeWindow"); }

}  // namespace ql::web
