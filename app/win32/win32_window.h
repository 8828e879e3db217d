#pragma once
// The main window qBoot with the system's own controls: the layout's groups,
// labels and markup labels drawn by the window itself, owner-drawn push
// buttons, the link picture, the two display-only lists, the two logs, the
// progress bar and the status bar. What happens on a click, a drop or a
// close is the form's (QBootForm); the window shows what the form asks.
// Positions and font sizes are the layout's pixels at 96 dpi, scaled to the
// monitor's dpi.

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "app/form/qboot_view.h"

namespace ql {

class QBootForm;
class Win32EventLoop;

LRESULT CALLBACK QBootWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK HoverProc(HWND button, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR data);

class Win32Window final : public QBootView {
 public:
  // Creates the window and its controls, hidden.
  explicit Win32Window(Win32EventLoop& loop);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // The form that handles clicks, drops and the close; nullptr once it is gone.
  void SetForm(QBootForm* form) { form_ = form; }
  // Shows the window; the first show tells the form (settings, first lines).
  void Show(int show_command);
  HWND hwnd() const { return hwnd_; }

  // ---- QBootView ------------------------------------------------------------------
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
  void MoveTo(const WindowPlacement& placement) override;
  void SetShowState(ShowState state) override;
  bool AskBootloaderArea() override;
  void DismissQuestion() override;
  void ShowChecksumWarning(std::string_view text) override;
  void ShowUploadEnd(std::string_view content, std::string_view detail) override;
  void ShowError(std::string_view text, bool owned) override;
  std::optional<std::string> BrowseHexFile(std::string_view initial_dir, std::string_view file_name) override;
  void CloseWindow() override;

  // The layout's pixels (96 dpi) in the window's dpi now.
  int Scale(int layout_pixels) const { return MulDiv(layout_pixels, dpi_, 96); }

 private:
  friend LRESULT CALLBACK QBootWindowProc(HWND, UINT, WPARAM, LPARAM);
  friend LRESULT CALLBACK HoverProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);

  // ---- Layout (win32_layout.cpp) ----
  void CreateControls();
  void LayoutControls();  // positions and fonts for the dpi now
  void MakeFonts();
  void FreeFonts();
  void ResizeToClientWidth();
  // A font by face, pixel height at 96 dpi and weight, made for the dpi now
  // (a face the system lacks is replaced by a near one).
  HFONT Font(const std::string& face, int pixels, bool bold);
  HWND Child(Control control) const;

  // ---- Drawing (win32_paint.cpp) ----
  void Paint(HDC dc, const RECT& update);
  void DrawButton(const DRAWITEMSTRUCT& item);
  void DrawListItem(const DRAWITEMSTRUCT& item);
  void DrawStatusPanel(const DRAWITEMSTRUCT& item);
  // `face` and `pixels`: the label's own font, for text whose markup names none.
  void DrawMarkup(HDC dc, const RECT& box, std::string_view markup, COLORREF colour, const std::string& face,
                  int pixels, bool centre_vertically);
  void AppendToMemo(HWND memo, const std::vector<std::string>& lines);
  void DpiChanged(UINT dpi, const RECT& suggested);
  // The rectangle of a group (index in the layout table), in client pixels.
  RECT GroupRect(int group) const;
  COLORREF GroupColour(int group) const;

  Win32EventLoop& loop_;
  QBootForm* form_ = nullptr;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  bool shown_once_ = false;
  bool group_look_ = false;
  int client_width_ = 682;  // layout pixels
  Rgb strip_colour_ = kGroupColour;

  // The controls that are windows of their own.
  HWND buttons_[4] = {};  // by Control
  HWND link_ = nullptr;
  HWND device_box_ = nullptr;
  HWND mcu_box_ = nullptr;
  HWND history_ = nullptr;
  HWND terminal_ = nullptr;
  HWND progress_ = nullptr;
  HWND status_ = nullptr;

  std::string captions_[4];
  int link_picture_ = 0;
  std::string device_item_;
  std::string mcu_item_;
  std::wstring status_text_;
  HWND question_ = nullptr;  // the open bootloader-area question
  HWND hover_ = nullptr;     // the button under the mouse

  std::map<std::tuple<std::string, int, bool>, HFONT> fonts_;
  HFONT ui_font_ = nullptr;  // Tahoma 11: buttons, lists, logs, status bar
  HBRUSH log_brush_ = nullptr;
  HBRUSH list_brush_ = nullptr;
};

}  // namespace ql
