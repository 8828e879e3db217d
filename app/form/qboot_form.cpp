#include "app/form/qboot_form.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <utility>

#include "app/form/list_items.h"
#include "app/form/path_fit.h"
#include "app/form/utf8_path.h"
#include "core/full_stop.h"

namespace ql {

namespace {

std::size_t Index(Control c) { return static_cast<std::size_t>(c); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
         });
}

}  // namespace

bool IsHexFile(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path p = Utf8Path(path);
  if (!std::filesystem::is_regular_file(p, ec)) return false;
  const std::string name = PathUtf8(p.filename());
  return name.size() >= 4 && EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".hex");
}

QBootForm::QBootForm(EventLoop& loop, HidBackend& backend, QBootView& view, WindowOptions options)
    : loop_(loop), view_(view), options_(std::move(options)), exchange_(loop) {
  // The settings are read while the window's contents are created.
  if (!options_.settings_path.empty()) settings_ = IniFile::Load(options_.settings_path);
  exchange_.SetBlockingWaits(!options_.suspending_waits);
  link_ = std::make_unique<DeviceLink>(loop_, backend, exchange_, *this);
  FormCreate();
}

QBootForm::~QBootForm() {
  // A parked upload ends with its waits.
  steps_.Clear();
  if (flush_timer_) loop_.cancel(flush_timer_);
  if (timer1_) loop_.cancel(timer1_);
  if (!settings_gathered_) GatherSettings();
  // FormDestroy: the device list goes (its readers stop) before the window.
  link_.reset();
  // A save that fails is said once, in the general error report: the window
  // is gone by now, so its history cannot show it.
  std::string error;
  if (!options_.settings_path.empty() && !settings_.Save(options_.settings_path, &error) && !error.empty()) {
    view_.ShowError(
        WithFullStop("The settings could not be saved to \"" + options_.settings_path + "\": " + error), false);
  }
}

void QBootForm::FormCreate() {
  // Exchange and link start with a 64-byte TransferBuffer, not connected,
  // warning on removal; the view takes dropped files.
  FullWidth = kClientWidth;
  SetClientWidth(CollapsedWidth());
  view_.SetTitle(std::string(kWindowCaption) + " v" + view_.ReadFileVersion());
  if (options_.command_line_file) {
    const std::string& arg = *options_.command_line_file;
    if (IsHexFile(arg)) {
      SetStatusText(arg);
      if (LoadFile(arg)) AppendHistory("Opened: " + arg);
    }
  }
}

void QBootForm::Shown() {
  if (shown_once_) return;
  shown_once_ = true;
  ApplySettings();
  FormShow();
}

void QBootForm::FormShow() {
  AppendHistory("Attach USB HID device or reset if attached.");
  view_.ApplyGroupLook();
}

void QBootForm::SetClientWidth(int width) {
  width_ = width;
  view_.SetClientWidth(width);
}

void QBootForm::SetCaption(Control control, std::string_view caption) {
  captions_[Index(control)] = std::string(caption);
  view_.SetCaption(control, caption);
}

void QBootForm::SetEnabled(Control control, bool enabled) {
  enabled_[Index(control)] = enabled;
  view_.SetEnabled(control, enabled);
}

const std::string& QBootForm::Caption(Control control) const { return captions_[Index(control)]; }
bool QBootForm::Enabled(Control control) const { return enabled_[Index(control)]; }

void QBootForm::SetStripColour(Rgb colour) {
  strip_colour_ = colour;
  view_.SetStripColour(colour);
}

// ---- Settings ------------------------------------------------------------------

void QBootForm::ApplySettings() {
  const AppliedSettings applied = ApplyFormSettings(settings_, view_.Screen(), view_.Placement());
  if (applied.placement) view_.MoveTo(*applied.placement);
  if (applied.show_state && *applied.show_state != ShowState::Normal) view_.SetShowState(*applied.show_state);
  if (applied.close_when_finished) close_when_finished_ = *applied.close_when_finished;
  if (applied.initial_dir) open_dialog_initial_dir_ = *applied.initial_dir;
  if (applied.file_name) open_dialog_file_name_ = *applied.file_name;
  // The index selects an entry only if the MCU Type box holds one by now.
  const int count = mcu_item_.empty() ? 0 : 1;
  if (applied.mcu_item_index && *applied.mcu_item_index < count) {
    mcu_item_index_ = std::max(-1, *applied.mcu_item_index);
    view_.SetMcuBox(mcu_item_, mcu_item_index_);
  }
  if (applied.error) view_.ShowError(WithFullStop(*applied.error), true);
}

void QBootForm::GatherSettings() {
  settings_gathered_ = true;
  StoredProps props;
  props.close_when_finished = close_when_finished_;
  props.initial_dir = open_dialog_initial_dir_;
  props.file_name = open_dialog_file_name_;
  props.mcu_item_index = mcu_item_index_;
  GatherFormSettings(settings_, view_.Screen(), view_.Placement(), props);
}

bool QBootForm::CloseRequested() {
  // A close during an upload is its stop request: the window stays until the
  // device has closed its open command (the history says so) and then closes.
  if (upload_active_) {
    if (!closing_) {
      closing_ = true;
      UploadRunning = false;
      SetCaption(Control::ButtonStartBootloader, "Begin uploading");
      link_->Stop();
      // An open question (a close that comes from outside, such as SIGTERM)
      // is answered No: the upload ends before anything is erased.
      view_.DismissQuestion();
    }
    return false;
  }
  // A close inside another wait (a connect) ends that wait first: the
  // handler below it then winds up and nothing keeps talking to the device.
  if (loop_.in_wait()) {
    closing_ = true;
    link_->Stop();
  }
  GatherSettings();
  closed_ = true;
  return true;
}

void QBootForm::CloseWindow() {
  // A close the user made while the end dialog was open has gone through
  // already: a window destroyed on close must not be asked again.
  if (!closed_) view_.CloseWindow();
}

// ---- Logs, status bar and progress ---------------------------------------------

void QBootForm::AppendHistory(std::string_view line) {
  history_.emplace_back(line);
  view_.AppendHistory(line);
}

void QBootForm::AppendTerminal(std::string_view line) {
  // One line per written byte: gathered here and shown once a frame.
  pending_terminal_.emplace_back(line);
  ScheduleFlush();
}

void QBootForm::ClearTerminal() {
  pending_terminal_.clear();
  terminal_.clear();
  view_.ClearTerminal();
}

void QBootForm::ScheduleFlush() {
  if (flush_timer_) return;
  flush_timer_ = loop_.schedule_after(from_ms(kTerminalFlushMs), [this] {
    flush_timer_ = 0;
    FlushActivity();
  });
}

void QBootForm::FlushActivity() {
  if (!pending_terminal_.empty()) {
    view_.AppendTerminal(pending_terminal_);
    terminal_.insert(terminal_.end(), std::make_move_iterator(pending_terminal_.begin()),
                     std::make_move_iterator(pending_terminal_.end()));
    pending_terminal_.clear();
  }
  if (progress_dirty_) {
    progress_dirty_ = false;
    view_.SetProgress(progress_value_, progress_max_);
  }
}

std::vector<std::string> QBootForm::TerminalLines() {
  FlushActivity();
  return terminal_;
}

void QBootForm::SetStatusText(std::string_view path) {
  // Fitted once, to the bar's width now less a "W", in the bar's font.
  const int max_width = width_ - view_.StatusTextWidth("W");
  status_text_ = FitPathToWidth(
      std::string(": ") + std::string(path), [this](std::string_view s) { return view_.StatusTextWidth(s); },
      max_width);
  view_.ShowStatusText(status_text_);
}

void QBootForm::ProgressSetMax(std::int64_t max) {
  progress_max_ = static_cast<int>(std::clamp<std::int64_t>(max, 0, INT32_MAX));
  progress_value_ = 0;
  progress_dirty_ = false;
  view_.SetProgress(0, progress_max_);
}

void QBootForm::ProgressStep() {
  progress_value_ = std::min(progress_value_ + 7, progress_max_);
  progress_dirty_ = true;
  ScheduleFlush();
}

// ---- Link view ------------------------------------------------------------------

void QBootForm::ShowMcuType(std::uint8_t mcu_type) {
  shown_mcu_type_ = mcu_type;
  mcu_item_ = ql::McuItem(mcu_type);
  mcu_item_index_ = mcu_item_.empty() ? -1 : 0;
  view_.SetMcuBox(mcu_item_, mcu_item_index_);
}

void QBootForm::ShowDeviceName(std::string_view boot_device_name) {
  device_item_ = ql::DeviceItem(boot_device_name);
  view_.SetDeviceBox(device_item_);
}

void QBootForm::SetLinkPicture(int picture) {
  link_picture_ = picture;
  view_.SetLinkPicture(picture);
}

void QBootForm::SetConnectCaption(std::string_view caption) { SetCaption(Control::ButtonConnect, caption); }

void QBootForm::SetStartEnabled(bool enabled) { SetEnabled(Control::ButtonStartBootloader, enabled); }

std::string QBootForm::DeviceName() { return link_->RemovedDeviceName(); }

McuFamily QBootForm::ShownFamily() const {
  if (mcu_item_.empty()) return McuFamily::None;
  return FamilyFromMcuType(shown_mcu_type_);
}

// ---- Workflow -------------------------------------------------------------------

void QBootForm::ButtonConnectClick() { link_->ButtonConnectClick(); }

void QBootForm::ButtonStartBootloaderClick() {
  if (!link_->Connected) {
    AppendHistory("Error: Connect first.");
    return;
  }
  if (status_text_ == kNoFileText) {
    AppendHistory("Error: Load HEX file first.");
    return;
  }
  if (UploadRunning) {
    // The stop request. The device may still be inside a write command that
    // takes whatever comes next as data, so Connect and Browse stay disabled
    // until the upload has closed it (FinishUpload enables them).
    UploadRunning = false;
    SetCaption(Control::ButtonStartBootloader, "Begin uploading");
    link_->Stop();
    return;
  }
  // One upload at a time: a stopped transfer may still be ending, or the
  // last one's end dialog still be open.
  if (upload_active_ || end_dialog_open_) return;

  SetEnabled(Control::ButtonConnect, false);
  SetEnabled(Control::ButtonOpenHex, false);
  UploadRunning = true;
  SetCaption(Control::ButtonStartBootloader, "Stop uploading");
  AppendHistory("Uploading:");
  upload_active_ = true;
  steps_.Keep(loop_, exchange_.BlockingWaits(), UploadSteps());
}

struct QBootForm::EndDialogClosed {
  QBootForm& form;
  bool await_ready() const noexcept { return !form.end_dialog_open_; }
  void await_suspend(std::coroutine_handle<> waiter) noexcept { form.end_dialog_waiter_ = waiter; }
  void await_resume() const noexcept {}
};

void QBootForm::UploadEndClosed() {
  if (!end_dialog_open_) return;
  end_dialog_open_ = false;
  if (std::coroutine_handle<> waiter = std::exchange(end_dialog_waiter_, {})) waiter.resume();
}

Task<void> QBootForm::UploadSteps() {
  Task<UploadOutcome> upload = link_->UploadSteps(FlashImage_);
  const UploadOutcome outcome = co_await upload;
  upload_active_ = false;
  FlushActivity();
  if (outcome != UploadOutcome::Completed && outcome != UploadOutcome::Stopped) {
    if (closing_) CloseWindow();
    co_return;
  }

  // The reset has ended the connection: the device's restart, which usually
  // arrives while the dialog is open, is the silent removal it is meant to be.
  if (outcome == UploadOutcome::Completed) link_->Connected = false;
  SetCaption(Control::ButtonStartBootloader, "Begin uploading");
  const bool finished = outcome == UploadOutcome::Completed && UploadRunning;
  if (!closing_) {
    const std::string file = "\"" + open_dialog_file_name_ + "\"";
    end_dialog_open_ = options_.end_dialog_closes_later;
    if (finished) {
      view_.ShowUploadEnd("Uploading program has finished.",
                          "Uploading program " + file + " has finished with success.");
    } else {
      view_.ShowUploadEnd("Uploading program was aborted.", "Uploading program " + file + " was aborted.");
    }
    co_await EndDialogClosed{*this};
  }
  FinishUpload();
  if (closing_) {
    CloseWindow();  // the close that stopped the upload
    co_return;
  }
  if (outcome == UploadOutcome::Completed && close_when_finished_) CloseWindow();
}

void QBootForm::FinishUpload() {
  link_->Connected = false;
  SetEnabled(Control::ButtonConnect, true);
  SetCaption(Control::ButtonConnect, "Connect");
  SetEnabled(Control::ButtonOpenHex, true);
  AppendHistory("Disconnected.");
  FlushActivity();
  progress_value_ = 0;
  progress_dirty_ = false;
  view_.SetProgress(0, progress_max_);
  UploadRunning = false;
  SetCaption(Control::ButtonStartBootloader, "Begin uploading");
}

bool QBootForm::AskBootloaderArea() { return view_.AskBootloaderArea(); }

void QBootForm::AdvGlowButton1Click() {
  if (ActivityShown) {
    SetCaption(Control::AdvGlowButton1, "Show Activity");
    ActivityShown = false;
  } else {
    // The strip takes the panel's colour so that both read as one surface.
    SetStripColour(kActivityColour);
    SetCaption(Control::AdvGlowButton1, "Hide Activity");
    ActivityShown = true;
  }
  RestartTimer1();
}

void QBootForm::RestartTimer1() {
  if (timer1_) loop_.cancel(timer1_);
  timer1_ = loop_.schedule_after(from_ms(kSlideTickMs), [this] {
    timer1_ = 0;
    Timer1Timer();
  });
}

void QBootForm::Timer1Timer() {
  if (timer1_) {
    loop_.cancel(timer1_);
    timer1_ = 0;
  }
  if (ActivityShown) {
    const int next = width_ + kSlideStep;
    if (next >= FullWidth) {
      SetClientWidth(FullWidth);
      return;
    }
    SetClientWidth(next);
  } else {
    const int next = width_ - kSlideStep;
    if (CollapsedWidth() >= next) {
      SetStripColour(kGroupColour);
      SetClientWidth(CollapsedWidth());
      return;
    }
    SetClientWidth(next);
  }
  RestartTimer1();
}

// ---- Choosing a file ------------------------------------------------------------

bool QBootForm::LoadFile(const std::string& path) {
  const LoadResult r = LoadHexFile(path, ShownFamily(), FlashImage_);
  switch (r.status) {
    case LoadResult::Status::Ok:
    case LoadResult::Status::NotFound:
      return true;
    case LoadResult::Status::ChecksumFailed:
      // The load ends normally: the file counts as loaded, with an empty image.
      view_.ShowChecksumWarning(r.message);
      return true;
    default:
      view_.ShowError(WithFullStop(r.message), true);
      return false;
  }
}

void QBootForm::ButtonOpenHexClick() {
  if (!link_->Connected) {
    AppendHistory("Error: Connect first.");
    return;
  }
  const std::optional<std::string> chosen = view_.BrowseHexFile(open_dialog_initial_dir_, open_dialog_file_name_);
  if (chosen) ChosenInOpenDialog(*chosen);
}

void QBootForm::ChosenInOpenDialog(const std::string& path) {
  open_dialog_file_name_ = path;
  if (IsHexFile(path)) {
    SetStatusText(path);
    if (LoadFile(path)) AppendHistory("Opened: " + path);
  } else {
    AppendHistory("File not found: " + path);
  }
}

void QBootForm::DropFiles(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (!IsHexFile(name)) continue;
    if (upload_active_) {
      // The running upload owns its copy of the image; a new file now would
      // only confuse what the status bar names.
      AppendHistory("Error: Upload in progress, not opened: " + name);
      return;
    }
    AppendHistory("Opened: " + name);
    SetStatusText(name);
    LoadFile(name);
    return;
  }
}

}  // namespace ql
