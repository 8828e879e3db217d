#pragma once
// The main window's behaviour without a toolkit: the workflow state, which
// control is enabled and what each caption says in each phase, what each
// handler does, the history and terminal lines, the status text, the slide of
// the activity panel and the settings. It shows itself through a QBootView;
// the Qt window, the Win32 window and the browser page are such views.

#include <coroutine>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/form/form_storage.h"
#include "app/form/ini_file.h"
#include "app/form/qboot_view.h"
#include "core/event_loop.h"
#include "image/flash_image.h"
#include "protocol/exchange.h"
#include "session/device_link.h"
#include "session/kept_tasks.h"
#include "upload/upload_engine.h"

namespace ql {

struct WindowOptions {
  // Where Settings.ini is read from and written to; empty: no settings file.
  std::string settings_path;
  // The HEX file named on the command line, if any (UTF-8).
  std::optional<std::string> command_line_file;
  // Waits park instead of processing events nested (a page in the browser,
  // which cannot block); the handlers then return before their steps end.
  bool suspending_waits = false;
  // The end-of-upload dialog stays open after ShowUploadEnd has returned (a
  // page's dialog cannot block): the upload is finished once the view calls
  // UploadEndClosed(), as a blocking dialog finishes it when it returns.
  bool end_dialog_closes_later = false;
};

// The layout's numbers the behaviour depends on.
inline constexpr int kClientWidth = 682;
inline constexpr int kClientHeight = 357;
// The Device group's right edge + 6 (263 + 220 + 6): the activity panel lies beyond it.
inline constexpr int kCollapsedWidth = 489;
inline constexpr int kSlideStep = 20;      // pixels a tick
inline constexpr int kSlideTickMs = 15;    // Timer1
inline constexpr int kTerminalFlushMs = 25;  // terminal lines and progress: about one repaint a frame

inline constexpr std::string_view kNoFileText = ": No files opened.";
inline constexpr std::string_view kWindowCaption = "Quellotron USB HID Bootloader";

class QBootForm final : public DeviceLinkView {
 public:
  // Reads the settings and runs the creation steps; `view` must be able to
  // show things already (its controls exist).
  QBootForm(EventLoop& loop, HidBackend& backend, QBootView& view, WindowOptions options);
  // Gathers the settings if the close did not, lets the devices go and writes
  // Settings.ini (a failure is reported once, with no window to own it).
  ~QBootForm() override;
  QBootForm(const QBootForm&) = delete;
  QBootForm& operator=(const QBootForm&) = delete;

  // ---- Workflow state ------------------------------------------------------------
  bool Connected() const { return link_->Connected; }
  bool UploadRunning = false;
  bool ActivityShown = false;
  int FullWidth = kClientWidth;
  int CollapsedWidth() const { return kCollapsedWidth; }
  // The window's width now (it slides between the two widths).
  int Width() const { return width_; }
  // True from the start of an upload until it has returned (also after a
  // stop request, while the stopped transfer ends).
  bool UploadActive() const { return upload_active_; }

  DeviceLink& link() { return *link_; }
  Exchange& exchange() { return exchange_; }
  const FlashImage& image() const { return FlashImage_; }

  // ---- What the view reports ------------------------------------------------------
  // The window is shown for the first time: the settings are applied, then FormShow.
  void Shown();
  // The window is asked to close; false keeps it open (an upload first stops).
  bool CloseRequested();
  void ButtonConnectClick();
  void ButtonOpenHexClick();
  // What follows the file-open dialog: a view whose dialog cannot block (a
  // browser's file picker) answers "cancelled" to BrowseHexFile and calls
  // this once the user has picked a file.
  void ChosenInOpenDialog(const std::string& path);
  void ButtonStartBootloaderClick();
  // The end-of-upload dialog has been closed (WindowOptions::end_dialog_closes_later).
  void UploadEndClosed();
  bool UploadEndOpen() const { return end_dialog_open_; }
  void AdvGlowButton1Click();
  void Timer1Timer();
  // Files dropped on the window, in the order the desktop gives them.
  void DropFiles(const std::vector<std::string>& names);

  // ---- Logs and status ---------------------------------------------------------------
  void AppendHistory(std::string_view line) override;
  void AppendTerminal(std::string_view line) override;
  void ClearTerminal() override;
  void SetStatusText(std::string_view path);
  const std::string& StatusText() const { return status_text_; }
  const std::vector<std::string>& HistoryLines() const { return history_; }
  // Every terminal line since the last clear, pending ones included.
  std::vector<std::string> TerminalLines();
  // Hands the terminal lines and the progress gathered since the last frame to the view.
  void FlushActivity();
  int ProgressPosition() const { return progress_value_; }
  int ProgressMax() const { return progress_max_; }
  bool CloseWhenFinished() const { return close_when_finished_; }
  void SetCloseWhenFinished(bool on) { close_when_finished_ = on; }
  const std::string& OpenDialogFileName() const { return open_dialog_file_name_; }
  const std::string& OpenDialogInitialDir() const { return open_dialog_initial_dir_; }
  int LinkPicture() const { return link_picture_; }
  const std::string& Caption(Control control) const;
  bool Enabled(Control control) const;
  const std::string& McuItem() const { return mcu_item_; }
  int McuItemIndex() const { return mcu_item_index_; }
  const std::string& DeviceItem() const { return device_item_; }
  Rgb StripColour() const { return strip_colour_; }

  // ---- The session's upload view -------------------------------------------------------
  void ProgressSetMax(std::int64_t max) override;
  void ProgressStep() override;
  bool AskBootloaderArea() override;
  void FinishUpload() override;
  std::string DeviceName() override;

  // ---- DeviceLinkView ----------------------------------------------------------------------
  void ShowMcuType(std::uint8_t mcu_type) override;
  void ShowDeviceName(std::string_view boot_device_name) override;
  void SetLinkPicture(int picture) override;
  void SetConnectCaption(std::string_view caption) override;
  void SetStartEnabled(bool enabled) override;

  // The store as it would be written now (tests and the writer).
  void GatherSettings();
  const IniFile& Settings() const { return settings_; }

 private:
  void FormCreate();
  void FormShow();
  void ApplySettings();
  // Loads `path` under the family the MCU Type box shows. False when the
  // general error report ended the handler.
  bool LoadFile(const std::string& path);
  McuFamily ShownFamily() const;
  void SetClientWidth(int width);
  void SetCaption(Control control, std::string_view caption);
  void SetEnabled(Control control, bool enabled);
  void SetStripColour(Rgb colour);
  void CloseWindow();
  void RestartTimer1();
  void ScheduleFlush();
  // The upload after its checks, to the end dialog: with blocking waits it
  // ends inside the click; with suspending ones (the browser) it parks.
  Task<void> UploadSteps();
  // Parks the upload's steps until UploadEndClosed().
  struct EndDialogClosed;

  EventLoop& loop_;
  QBootView& view_;
  WindowOptions options_;
  IniFile settings_;
  bool settings_gathered_ = false;
  bool shown_once_ = false;
  bool upload_active_ = false;
  bool closing_ = false;
  bool closed_ = false;  // a close has been accepted
  bool close_when_finished_ = false;
  bool end_dialog_open_ = false;
  std::coroutine_handle<> end_dialog_waiter_;

  Exchange exchange_;
  FlashImage FlashImage_;
  std::unique_ptr<DeviceLink> link_;

  std::vector<std::string> history_;
  std::vector<std::string> terminal_;        // shown
  std::vector<std::string> pending_terminal_;  // gathered for the next frame
  std::string status_text_{kNoFileText};
  std::string open_dialog_initial_dir_;
  std::string open_dialog_file_name_;
  int link_picture_ = 0;
  std::uint8_t shown_mcu_type_ = 0;  // the family the MCU Type box shows
  std::string mcu_item_;
  int mcu_item_index_ = -1;
  std::string device_item_;
  std::string captions_[4] = {"Connect", "Browse      for HEX", "Begin uploading", "Show Activity"};
  bool enabled_[4] = {true, true, true, true};
  Rgb strip_colour_ = kGroupColour;
  int width_ = kClientWidth;

  int progress_value_ = 0;
  int progress_max_ = 100;
  bool progress_dirty_ = false;
  TimerId flush_timer_ = 0;
  TimerId timer1_ = 0;
  KeptTasks steps_;
};

// Whether `path` names an existing regular file whose extension is ".hex" in
// any letter case (UTF-8 path).
bool IsHexFile(const std::string& path);

}  // namespace ql
