#pragma once
// What the window's behaviour (QBootForm) asks of a window toolkit: show this
// caption, enable that control, append these lines, ask this question, open
// this dialog. The Qt window, the Win32 window and the browser page each
// implement it; the form's tests implement it with a recorder.
//
// Every call comes on the event thread. The dialogs are modal: they return
// when the user has answered, and the event loop keeps running meanwhile
// (reports, timers, a device that leaves).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/form/form_storage.h"

namespace ql {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The window's colours.
inline constexpr Rgb kGroupColour{250, 250, 250};     // every group
inline constexpr Rgb kActivityColour{220, 220, 220};  // the activity panel (and the strip beside it)
inline constexpr Rgb kCaptionGrey{178, 178, 178};     // the caption labels
inline constexpr Rgb kLogGrey{128, 128, 128};         // log, list and status text
inline constexpr Rgb kBackground{237, 237, 237};      // the background panel
inline constexpr Rgb kTitleRed{255, 0, 0};            // "Quelloader"

// The controls whose caption or enabled state changes at run time.
enum class Control { ButtonConnect, ButtonOpenHex, ButtonStartBootloader, AdvGlowButton1 };

class QBootView {
 public:
  virtual ~QBootView() = default;

  // ---- Controls ----------------------------------------------------------------
  virtual void SetCaption(Control control, std::string_view caption) = 0;
  virtual void SetEnabled(Control control, bool enabled) = 0;
  // The link picture: 0 the grey trident (no link), 1 the red one.
  virtual void SetLinkPicture(int picture) = 0;
  // The MCU Type and Device boxes: their one item in the label markup ("" for
  // none), and which item is selected (-1 none, 0 the item).
  virtual void SetMcuBox(std::string_view item, int item_index) = 0;
  virtual void SetDeviceBox(std::string_view item) = 0;

  // ---- Logs, status panel, progress -----------------------------------------------
  virtual void AppendHistory(std::string_view line) = 0;
  // A frame's worth of terminal lines at once (an upload writes one a byte).
  virtual void AppendTerminal(const std::vector<std::string>& lines) = 0;
  virtual void ClearTerminal() = 0;
  // Width in pixels of `text` in the status bar's font, for fitting a path.
  virtual int StatusTextWidth(std::string_view text) = 0;
  // The status panel's text changed: repaint it.
  virtual void ShowStatusText(std::string_view text) = 0;
  virtual void SetProgress(int position, int max) = 0;

  // ---- The window ---------------------------------------------------------------
  virtual void SetTitle(std::string_view title) = 0;
  // The window's width in layout pixels (the height stays 357).
  virtual void SetClientWidth(int width) = 0;
  // The progress strip's colour (it takes the activity panel's while shown).
  virtual void SetStripColour(Rgb colour) = 0;
  // The groups' look, applied when the window is first shown.
  virtual void ApplyGroupLook() = 0;
  // The four-part file version of the running program ("" when it has none).
  virtual std::string ReadFileVersion() = 0;

  // ---- Placement (the settings) ------------------------------------------------------
  virtual ScreenInfo Screen() = 0;
  virtual WindowPlacement Placement() = 0;
  // Moves the window to the placement's normal left and top (its size is fixed).
  virtual void MoveTo(const WindowPlacement& placement) = 0;
  virtual void SetShowState(ShowState state) = 0;

  // ---- Dialogs ---------------------------------------------------------------------
  // The bootloader-area question: true for OK, false for No (and Esc).
  virtual bool AskBootloaderArea() = 0;
  // Closes an open bootloader-area question as No (a close from outside).
  virtual void DismissQuestion() = 0;
  virtual void ShowChecksumWarning(std::string_view text) = 0;
  // The end-of-upload dialog: title "Success", instruction "Restarting MCU...",
  // the content line, the detail text behind "Show details", one OK.
  virtual void ShowUploadEnd(std::string_view content, std::string_view detail) = 0;
  // The general error report (`text` carries its full stop). `owned` is false
  // when the window is already gone (a settings file that cannot be saved).
  virtual void ShowError(std::string_view text, bool owned) = 0;
  // The file-open dialog ("HEX files|*.hex"); nothing when cancelled.
  virtual std::optional<std::string> BrowseHexFile(std::string_view initial_dir, std::string_view file_name) = 0;

  // Closes the window: the program ends. The toolkit then asks the form
  // (CloseRequested) as for a click on the close button.
  virtual void CloseWindow() = 0;
};

}  // namespace ql
