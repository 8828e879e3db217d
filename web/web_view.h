#pragma once
// The window's third view: the page. Every call of the form is handed to a
// JavaScript object (web/page/page.js makes it) under the call's own name in
// camelCase, so the page shows exactly the captions, enabled states, lines
// and dialogs the desktop windows show:
//
//   setCaption(control, text)   control: "ButtonConnect", "ButtonOpenHex",
//   setEnabled(control, on)              "ButtonStartBootloader", "AdvGlowButton1"
//   setLinkPicture(0 | 1), setMcuBox(markup, index), setDeviceBox(markup)
//   appendHistory(line), appendTerminal(lines joined by "\n"), clearTerminal()
//   statusTextWidth(text) -> layout pixels, showStatusText(text)
//   setProgress(position, max), setTitle(text), setClientWidth(width)
//   setStripColour("rgb(r, g, b)"), applyGroupLook()
//   askBootloaderArea(question) -> bool (it must answer at once)
//   dismissQuestion(), showChecksumWarning(text), showUploadEnd(content, detail)
//   showError(text, owned), browseHexFile(initialDir, fileName), closeWindow()
//
// A page cannot block: the end-of-upload dialog answers later (the form is
// told through UploadEndClosed()) and the file picker answers "cancelled"
// here, its choice reaching the form through ChosenInOpenDialog(). A page has
// no window placement and keeps no settings: those calls are answered here.

#include <emscripten/val.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/form/qboot_view.h"

namespace ql::web {

class WebView final : public QBootView {
 public:
  explicit WebView(emscripten::val page) : page_(std::move(page)) {}

  void SetCaption(Control control, std::string_view caption) override;
  void SetEnabled(Control control, bool enabled) override;
  void SetLinkPicture(int picture) override;
  void SetMcuBox(std::string_view item, int item_index) override;
  void SetDeviceBox(std::string_view item) override;

  void AppendHistory(std::string_view line) override;
  void AppendTerminal(const std::vector<std::string>& lines) override;
  void ClearTerminal() override;
  int StatusTextWidth(std::string_view text) override;
  void ShowStatusText(std::string_view text) override;
  void SetProgress(int position, int max) override;

  void SetTitle(std::string_view title) override;
  void SetClientWidth(int width) override;
  void SetStripColour(Rgb colour) override;
  void ApplyGroupLook() override;
  std::string ReadFileVersion() override;

  ScreenInfo Screen() override;
  WindowPlacement Placement() override;
  void MoveTo(const WindowPlacement&) override {}
  void SetShowState(ShowState) override {}

  bool AskBootloaderArea() override;
  void DismissQuestion() override;
  void ShowChecksumWarning(std::string_view text) override;
  void ShowUploadEnd(std::string_view content, std::string_view detail) override;
  void ShowError(std::string_view text, bool owned) override;
  std::optional<std::string> BrowseHexFile(std::string_view initial_dir, std::string_view file_name) override;
  void CloseWindow() override;

 private:
  template <typename... Args>
  emscripten::val Call(const char* name, Args&&... args) {
    return page_.call<emscripten::val>(name, std::forward<Args>(args)...);
  }

  emscripten::val page_;
  int width_ = 0;  // the form sets it as it is created
};

}  // namespace ql::web
