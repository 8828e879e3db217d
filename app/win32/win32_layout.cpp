// The window's controls, laid out as the form places them, and its fonts,
// both made for the monitor's dpi.
#include <windows.h>

#include <commctrl.h>
#include <uxtheme.h>

#include <stdexcept>
#include <string>

#include "app/form/qboot_form.h"
#include "app/win32/dpi.h"
#include "app/win32/win32_ids.h"
#include "app/win32/win32_window.h"
#include "app/win32/window_layout.h"
#include "core/win32/windows_text.h"

namespace ql {

namespace {

int CALLBACK NoteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FaceInstalled(const std::wstring& face) {
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  face.copy(lf.lfFaceName, LF_FACESIZE - 1);
  bool found = false;
  HDC dc = ::GetDC(nullptr);
  ::EnumFontFamiliesExW(dc, &lf, NoteFace, reinterpret_cast<LPARAM>(&found), 0);
  ::ReleaseDC(nullptr, dc);
  return found;
}

// The layout names Windows' own fonts; a system without one (Wine has its
// own Tahoma only) gets the nearest installed face rather than the default.
std::wstring ResolveFace(const std::string& face) {
  static std::map<std::string, std::wstring> resolved;
  if (auto it = resolved.find(face); it != resolved.end()) return it->second;
  std::vector<std::wstring> candidates{win32::Widen(face)};
  if (face == "Impact") {
    candidates.insert(candidates.end(), {L"Arial Narrow", L"Liberation Sans Narrow", L"DejaVu Sans Condensed"});
  }
  candidates.insert(candidates.end(), {L"Tahoma", L"Verdana", L"DejaVu Sans", L"Liberation Sans", L"Arial"});
  std::wstring chosen = candidates.front();
  for (const std::wstring& c : candidates) {
    if (FaceInstalled(c)) {
      chosen = c;
      break;
    }
  }
  resolved.emplace(face, chosen);
  return chosen;
}

}  // namespace

// The buttons light up under the mouse, as the Linux window's do: a button
// tells its own mouse moves, not its parent.
LRESULT CALLBACK HoverProc(HWND button, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR data) {
  auto* window = reinterpret_cast<Win32Window*>(data);
  if (message == WM_MOUSEMOVE && window->hover_ != button) {
    if (window->hover_ != nullptr) ::InvalidateRect(window->hover_, nullptr, FALSE);
    window->hover_ = button;
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, button, 0};
    ::TrackMouseEvent(&track);
    ::InvalidateRect(button, nullptr, FALSE);
  } else if (message == WM_MOUSELEAVE && window->hover_ == button) {
    window->hover_ = nullptr;
    ::InvalidateRect(button, nullptr, FALSE);
  } else if (message == WM_NCDESTROY) {
    ::RemoveWindowSubclass(button, HoverProc, 0);
  }
  return ::DefSubclassProc(button, message, wparam, lparam);
}

Win32Window::Win32Window(Win32EventLoop& loop) : loop_(loop) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&icc);
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = QBootWindowProc;
  wc.hInstance = instance;
  wc.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hIconSm = wc.hIcon;
  wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = win32::kWindowClass;
  ::RegisterClassExW(&wc);

  captions_[0] = "Connect";
  captions_[1] = "Browse      for HEX";
  captions_[2] = "Begin uploading";
  captions_[3] = "Show Activity";
  hwnd_ = ::CreateWindowExW(win32::kWindowExStyle, win32::kWindowClass, win32::Widen(kWindowCaption).c_str(),
                            win32::kWindowStyle, 234, 120, 100, 100, nullptr, nullptr, instance, this);
  if (hwnd_ == nullptr) throw std::runtime_error("cannot create the window");
  dpi_ = win32::WindowDpi(hwnd_);
  log_brush_ = ::CreateSolidBrush(RGB(255, 255, 255));
  list_brush_ = ::CreateSolidBrush(::GetSysColor(COLOR_BTNFACE));
  MakeFonts();
  CreateControls();
  LayoutControls();
  ResizeToClientWidth();
  ::DragAcceptFiles(hwnd_, TRUE);
}

Win32Window::~Win32Window() {
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  FreeFonts();
  ::DeleteObject(log_brush_);
  ::DeleteObject(list_brush_);
}

HFONT Win32Window::Font(const std::string& face, int pixels, bool bold) {
  const auto key = std::make_tuple(face, pixels, bold);
  if (auto it = fonts_.find(key); it != fonts_.end()) return it->second;
  HFONT font = ::CreateFontW(-Scale(pixels), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                             ResolveFace(face).c_str());
  fonts_.emplace(key, font);
  return font;
}

void Win32Window::MakeFonts() { ui_font_ = Font("Tahoma", 11, false); }

void Win32Window::FreeFonts() {
  for (auto& [key, font] : fonts_) ::DeleteObject(font);
  fonts_.clear();
  ui_font_ = nullptr;
}

HWND Win32Window::Child(Control control) const { return buttons_[static_cast<int>(control)]; }

void Win32Window::CreateControls() {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  auto child = [&](DWORD ex_style, const wchar_t* cls, const std::wstring& text, DWORD style, int id) {
    return ::CreateWindowExW(ex_style, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  };
  for (int i = 0; i < 4; ++i) {
    buttons_[i] = child(0, L"BUTTON", win32::Widen(captions_[i]), WS_TABSTOP | BS_OWNERDRAW, win32::kIdButtons + i);
    ::SetWindowSubclass(buttons_[i], HoverProc, 0, reinterpret_cast<DWORD_PTR>(this));
  }
  // Display only: disabled for good, never clickable.
  link_ = child(0, L"BUTTON", L"", BS_OWNERDRAW | WS_DISABLED, win32::kIdLink);
  const DWORD list_style = WS_DISABLED | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS;
  device_box_ = child(0, WC_COMBOBOXW, L"", list_style, win32::kIdDeviceBox);
  mcu_box_ = child(0, WC_COMBOBOXW, L"", list_style, win32::kIdMcuBox);
  const DWORD memo_style = WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL;
  history_ = child(WS_EX_CLIENTEDGE, WC_EDITW, L"", memo_style, win32::kIdHistory);
  terminal_ = child(WS_EX_CLIENTEDGE, WC_EDITW, L"", memo_style, win32::kIdTerminal);
  for (HWND memo : {history_, terminal_}) ::SendMessageW(memo, EM_SETLIMITTEXT, 0, 0);  // no limit but memory
  progress_ = child(0, PROGRESS_CLASSW, L"", 0, win32::kIdProgress);
  ::SendMessageW(progress_, PBM_SETRANGE32, 0, 100);
  // A row of green blocks on every system: drawn without the theme, whose
  // bar is the theme's colour (blue on some), in the window's own green.
  ::SetWindowTheme(progress_, L" ", L" ");
  ::SendMessageW(progress_, PBM_SETBARCOLOR, 0, RGB(41, 211, 49));
  ::SendMessageW(progress_, PBM_SETBKCOLOR, 0, ::GetSysColor(COLOR_WINDOW));
  status_ = child(0, STATUSCLASSNAMEW, L"", CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER, win32::kIdStatus);
  status_text_ = win32::Widen(kNoFileText);
}

void Win32Window::LayoutControls() {
  using namespace layout;
  auto place = [&](HWND control, Group group, const Box& box, int extra_height = 0) {
    const Box& g = kGroups[group];
    ::SetWindowPos(control, nullptr, Scale(kPanel.x + g.x + box.x), Scale(kPanel.y + g.y + box.y), Scale(box.w),
                   Scale(box.h + extra_height), SWP_NOZORDER | SWP_NOACTIVATE);
  };
  place(link_, kStep1, kLinkIndicator);
  place(buttons_[static_cast<int>(Control::ButtonConnect)], kStep2, kStepButton);
  place(buttons_[static_cast<int>(Control::ButtonOpenHex)], kStep3, kStepButton);
  place(buttons_[static_cast<int>(Control::ButtonStartBootloader)], kStep4, kStepButton);
  place(buttons_[static_cast<int>(Control::AdvGlowButton1)], kStrip, kActivityButton);
  // A list's window reaches down over its drop-down part (153 x 200).
  place(device_box_, kDevice, kDeviceBox, 200);
  place(mcu_box_, kMcu, kMcuBox, 200);
  place(history_, kHistory, kHistoryMemo);
  place(terminal_, kActivity, kTerminalMemo);
  place(progress_, kStrip, kProgressBar);
  for (HWND control :
       {buttons_[0], buttons_[1], buttons_[2], buttons_[3], link_, device_box_, mcu_box_, history_, terminal_, status_})
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(ui_font_), FALSE);
  // The closed list is 22 pixels high: its field plus the frame.
  const int frame = win32::MetricForDpi(SM_CYEDGE, dpi_) * 2 + 2;
  for (HWND box : {device_box_, mcu_box_}) {
    ::SendMessageW(box, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), Scale(22) - frame);
    ::SendMessageW(box, CB_SETITEMHEIGHT, 0, Scale(16));
  }
  ::SetWindowPos(status_, nullptr, 0, Scale(kStatusTop), Scale(client_width_), Scale(kStatusHeight),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  int parts[1] = {Scale(kStatusPanelWidth)};
  ::SendMessageW(status_, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));
  ::SendMessageW(status_, SB_SETTEXTW, 0 | SBT_OWNERDRAW, 0);
  ::InvalidateRect(hwnd_, nullptr, TRUE);
}

void Win32Window::ResizeToClientWidth() {
  RECT r{0, 0, Scale(client_width_), Scale(kClientHeight)};
  win32::AdjustWindowRectForDpi(&r, win32::kWindowStyle, win32::kWindowExStyle, dpi_);
  ::SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  ::SetWindowPos(status_, nullptr, 0, Scale(layout::kStatusTop), Scale(client_width_), Scale(layout::kStatusHeight),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace ql
