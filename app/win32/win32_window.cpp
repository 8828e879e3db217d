// The window's messages, handed to the form, and what the form asks of it.
#include "app/win32/win32_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include "app/form/qboot_form.h"
#include "app/win32/win32_ids.h"
#include "app/win32/window_layout.h"
#include "core/win32/windows_text.h"

namespace ql {

LRESULT CALLBACK QBootWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* window = static_cast<Win32Window*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    window->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
  }
  auto* window = reinterpret_cast<Win32Window*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (window == nullptr) return ::DefWindowProcW(hwnd, message, wparam, lparam);
  return window->HandleMessage(message, wparam, lparam);
}

LRESULT Win32Window::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(hwnd_, &ps);
      Paint(dc, ps.rcPaint);
      ::EndPaint(hwnd_, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers every pixel
    case WM_DRAWITEM: {
      const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
      // The control's own DC: handed back as it came.
      const int saved = ::SaveDC(item.hDC);
      if (item.CtlID == static_cast<UINT>(win32::kIdStatus))
        DrawStatusPanel(item);
      else if (item.CtlType == ODT_COMBOBOX)
        DrawListItem(item);
      else if (item.CtlType == ODT_BUTTON)
        DrawButton(item);
      ::RestoreDC(item.hDC, saved);
      return TRUE;
    }
    case WM_MEASUREITEM: {
      auto& item = *reinterpret_cast<MEASUREITEMSTRUCT*>(lparam);
      if (item.CtlType == ODT_COMBOBOX) item.itemHeight = static_cast<UINT>(Scale(16));
      return TRUE;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT: {
      const auto control = reinterpret_cast<HWND>(lparam);
      if (control == history_ || control == terminal_) {
        HDC dc = reinterpret_cast<HDC>(wparam);
        ::SetTextColor(dc, RGB(kLogGrey.r, kLogGrey.g, kLogGrey.b));
        ::SetBkColor(dc, RGB(255, 255, 255));
        return reinterpret_cast<LRESULT>(log_brush_);
      }
      break;
    }
    case WM_COMMAND: {
      const int id = LOWORD(wparam);
      if (HIWORD(wparam) == BN_CLICKED && form_ != nullptr && id >= win32::kIdButtons && id < win32::kIdButtons + 4) {
        switch (static_cast<Control>(id - win32::kIdButtons)) {
          case Control::ButtonConnect:
            form_->ButtonConnectClick();
            break;
          case Control::ButtonOpenHex:
            form_->ButtonOpenHexClick();
            break;
          case Control::ButtonStartBootloader:
            form_->ButtonStartBootloaderClick();
            break;
          case Control::AdvGlowButton1:
            form_->AdvGlowButton1Click();
            break;
        }
        return 0;
      }
      break;
    }
    case WM_DROPFILES: {
      const auto drop = reinterpret_cast<HDROP>(wparam);
      std::vector<std::string> names;
      const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
      for (UINT i = 0; i < count; ++i) {
        std::wstring name(::DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
        name.resize(::DragQueryFileW(drop, i, name.data(), static_cast<UINT>(name.size())));
        names.push_back(win32::Narrow(name));
      }
      ::DragFinish(drop);  // also when no file qualifies
      if (form_ != nullptr) form_->DropFiles(names);
      return 0;
    }
    case WM_DPICHANGED:
      DpiChanged(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return 0;
    case WM_CLOSE:
      // The form decides: during an upload the close is its stop request.
      if (form_ == nullptr || form_->CloseRequested()) ::DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      question_ = nullptr;
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd_, message, wparam, lparam);
}

void Win32Window::DpiChanged(UINT dpi, const RECT& suggested) {
  // New fonts first, then the old ones go: a control never holds a deleted font.
  auto old_fonts = std::move(fonts_);
  fonts_.clear();
  dpi_ = dpi;
  MakeFonts();
  LayoutControls();
  for (auto& [key, font] : old_fonts) ::DeleteObject(font);
  ::SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ResizeToClientWidth();
}

void Win32Window::Show(int show_command) {
  ::ShowWindow(hwnd_, show_command);
  ::UpdateWindow(hwnd_);
  if (shown_once_) return;
  shown_once_ = true;
  if (form_ != nullptr) form_->Shown();
}

// ---- Controls ----------------------------------------------------------------------

void Win32Window::SetCaption(Control control, std::string_view caption) {
  captions_[static_cast<int>(control)] = std::string(caption);
  if (hwnd_ == nullptr) return;
  // The window text too: what tools that read the screen say.
  ::SetWindowTextW(Child(control), win32::Widen(caption).c_str());
  ::InvalidateRect(Child(control), nullptr, FALSE);
}

void Win32Window::SetEnabled(Control control, bool enabled) {
  if (hwnd_ != nullptr) ::EnableWindow(Child(control), enabled ? TRUE : FALSE);
}

void Win32Window::SetLinkPicture(int picture) {
  link_picture_ = picture;
  if (hwnd_ != nullptr) ::InvalidateRect(link_, nullptr, FALSE);
}

namespace {

void ShowListItem(HWND box, std::string_view item, int index) {
  ::SendMessageW(box, CB_RESETCONTENT, 0, 0);
  if (!item.empty()) ::SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(win32::Widen(item).c_str()));
  ::SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(item.empty() ? -1 : index), 0);
  ::InvalidateRect(box, nullptr, FALSE);
}

}  // namespace

void Win32Window::SetMcuBox(std::string_view item, int item_index) {
  mcu_item_ = std::string(item);
  if (hwnd_ != nullptr) ShowListItem(mcu_box_, item, item_index);
}

void Win32Window::SetDeviceBox(std::string_view item) {
  device_item_ = std::string(item);
  if (hwnd_ != nullptr) ShowListItem(device_box_, item, 0);
}

// ---- Logs, status panel, progress ------------------------------------------------------

void Win32Window::AppendToMemo(HWND memo, const std::vector<std::string>& lines) {
  if (hwnd_ == nullptr || lines.empty()) return;
  // One replacement at the end for the whole batch: an upload writes a line
  // a byte, thousands a second.
  const int length = ::GetWindowTextLengthW(memo);
  std::wstring text;
  for (const std::string& line : lines) {
    if (length > 0 || !text.empty()) text += L"\r\n";
    text += win32::Widen(line);
  }
  ::SendMessageW(memo, EM_SETSEL, static_cast<WPARAM>(length), static_cast<LPARAM>(length));
  ::SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  ::SendMessageW(memo, WM_VSCROLL, SB_BOTTOM, 0);  // the new last line shows
}

void Win32Window::AppendHistory(std::string_view line) { AppendToMemo(history_, {std::string(line)}); }

void Win32Window::AppendTerminal(const std::vector<std::string>& lines) { AppendToMemo(terminal_, lines); }

void Win32Window::ClearTerminal() {
  if (hwnd_ != nullptr) ::SetWindowTextW(terminal_, L"");
}

int Win32Window::StatusTextWidth(std::string_view text) {
  const std::wstring w = win32::Widen(text);
  HDC dc = ::GetDC(status_);
  const HGDIOBJ old = ::SelectObject(dc, ui_font_);
  SIZE size{};
  ::GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(status_, dc);
  // In the layout's pixels, as the form fits to the layout's width.
  return MulDiv(size.cx, 96, static_cast<int>(dpi_));
}

void Win32Window::ShowStatusText(std::string_view text) {
  status_text_ = win32::Widen(text);
  if (hwnd_ != nullptr) ::InvalidateRect(status_, nullptr, FALSE);
}

void Win32Window::SetProgress(int position, int max) {
  if (hwnd_ == nullptr) return;
  ::SendMessageW(progress_, PBM_SETRANGE32, 0, max);
  ::SendMessageW(progress_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

// ---- The window ------------------------------------------------------------------------

void Win32Window::SetTitle(std::string_view title) {
  if (hwnd_ != nullptr) ::SetWindowTextW(hwnd_, win32::Widen(title).c_str());
}

void Win32Window::SetClientWidth(int width) {
  client_width_ = width;
  if (hwnd_ != nullptr) ResizeToClientWidth();
}

void Win32Window::SetStripColour(Rgb colour) {
  strip_colour_ = colour;
  if (hwnd_ == nullptr) return;
  const RECT strip = GroupRect(layout::kStrip);
  ::InvalidateRect(hwnd_, &strip, FALSE);
  ::InvalidateRect(Child(Control::AdvGlowButton1), nullptr, FALSE);  // its corners show the strip
}

void Win32Window::ApplyGroupLook() {
  group_look_ = true;
  if (hwnd_ != nullptr) ::RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

// ---- Placement --------------------------------------------------------------------------

ScreenInfo Win32Window::Screen() {
  ScreenInfo s;
  s.width = ::GetSystemMetrics(SM_CXSCREEN);
  s.height = ::GetSystemMetrics(SM_CYSCREEN);
  s.pixels_per_inch = static_cast<int>(dpi_);
  return s;
}

WindowPlacement Win32Window::Placement() {
  WindowPlacement p;
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  if (hwnd_ == nullptr || !::GetWindowPlacement(hwnd_, &wp)) return p;
  p.show_cmd = static_cast<int>(wp.showCmd);
  p.flags = static_cast<int>(wp.flags);
  p.min_max = {wp.ptMinPosition.x, wp.ptMinPosition.y, wp.ptMaxPosition.x, wp.ptMaxPosition.y};
  p.norm = {wp.rcNormalPosition.left, wp.rcNormalPosition.top, wp.rcNormalPosition.right, wp.rcNormalPosition.bottom};
  return p;
}

void Win32Window::MoveTo(const WindowPlacement& placement) {
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  if (hwnd_ == nullptr || !::GetWindowPlacement(hwnd_, &wp)) return;
  // The stored left and top edge; the size stays, the border being fixed.
  const LONG width = wp.rcNormalPosition.right - wp.rcNormalPosition.left;
  const LONG height = wp.rcNormalPosition.bottom - wp.rcNormalPosition.top;
  wp.rcNormalPosition = {placement.norm[0], placement.norm[1], placement.norm[0] + width, placement.norm[1] + height};
  wp.ptMinPosition = {placement.min_max[0], placement.min_max[1]};
  wp.ptMaxPosition = {placement.min_max[2], placement.min_max[3]};
  wp.showCmd = ::IsWindowVisible(hwnd_) ? SW_SHOWNA : SW_HIDE;
  ::SetWindowPlacement(hwnd_, &wp);
}

void Win32Window::SetShowState(ShowState state) {
  if (hwnd_ == nullptr) return;
  switch (state) {
    case ShowState::Minimised:
      ::ShowWindow(hwnd_, SW_MINIMIZE);
      break;
    case ShowState::Maximised:
      ::ShowWindow(hwnd_, SW_MAXIMIZE);
      break;
    case ShowState::Normal:
      ::ShowWindow(hwnd_, SW_RESTORE);
      break;
  }
}

void Win32Window::CloseWindow() {
  // As a click on the close button: the form is asked first.
  if (hwnd_ != nullptr) ::SendMessageW(hwnd_, WM_CLOSE, 0, 0);
}

}  // namespace ql
