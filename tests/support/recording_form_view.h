#pragma once
// A window without a toolkit: it records everything the form shows it and
// answers its dialogs as the test scripts them. What it records is what a
// user would see, so tests read the view rather than the form's own state.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/form/qboot_form.h"
#include "app/form/qboot_view.h"
#include "core/virtual_event_loop.h"

namespace ql::test {

enum class Dialog { BootloaderArea, ChecksumWarning, UploadEnd, Error, Browse };

class RecordingFormView final : public QBootView {
 public:
  explicit RecordingFormView(VirtualEventLoop& loop) : loop_(loop) {}

  // The form shown here: a close of the window asks it, as a toolkit does.
  QBootForm* form = nullptr;

  // ---- Scripted -------------------------------------------------------------------
  std::string version = "1.0.0.0";
  int char_width = 6;  // the status bar's font: every character this wide
  ScreenInfo screen{1920, 1080, 96};
  WindowPlacement placement{1, 0, {-1, -1, -1, -1}, {234, 120, 234 + kCollapsedWidth, 120 + kClientHeight}};
  bool area_answer = true;
  // Whether a dismissed question answers No (a toolkit that cannot close it
  // from outside leaves the user's answer standing).
  bool dismissal_answers_no = true;
  std::optional<std::string> browse_result;
  // Runs inside every dialog, while it is open.
  std::function<void(Dialog)> on_dialog;
  // How long the user keeps the end-of-upload dialog open; the loop runs meanwhile.
  Micros end_dialog_time = 0;

  // ---- Recorded -------------------------------------------------------------------
  std::string caption[4] = {"Connect", "Browse      for HEX", "Begin uploading", "Show Activity"};
  bool enabled[4] = {true, true, true, true};
  int link_picture = 0;
  std::string mcu_item;
  int mcu_index = -1;
  std::string device_item;
  std::vector<std::string> history;
  std::vector<std::string> terminal;  // shown since the last clear
  std::vector<std::size_t> batch_sizes;
  std::vector<Micros> batch_times;
  int terminal_clears = 0;
  std::string status_text = std::string(kNoFileText);
  int status_shows = 0;
  int progress = 0, progress_max = 100;
  std::vector<std::pair<int, int>> progress_calls;
  std::string title;
  std::vector<int> widths;
  std::vector<Rgb> strip_colours;
  int group_looks = 0;
  std::vector<WindowPlacement> moves;
  std::vector<ShowState> show_states;
  struct Seen {
    Dialog kind;
    std::string text, detail;
    bool owned = true;
  };
  std::vector<Seen> dialogs;
  struct Browse {
    std::string initial_dir, file_name;
  };
  std::vector<Browse> browses;
  int dismissals = 0;
  int close_window_calls = 0;
  std::vector<bool> close_answers;  // each close asked of the form, accepted or not
  bool closed = false;
  // What happened, in order: history lines as "H:<line>", dialogs as
  // "D:<kind>", "MoveTo", "GroupLook", "CloseWindow".
  std::vector<std::string> log;

  std::string Caption(Control c) const { return caption[static_cast<int>(c)]; }
  bool Enabled(Control c) const { return enabled[static_cast<int>(c)]; }
  std::vector<std::string> Texts(Dialog kind) const {
    std::vector<std::string> out;
    for (const Seen& d : dialogs)
      if (d.kind == kind) out.push_back(d.text);
    return out;
  }
  int Count(Dialog kind) const { return static_cast<int>(Texts(kind).size()); }

  // The user (or the system) asks the window to close.
  bool RequestClose() {
    const bool accepted = form->CloseRequested();
    close_answers.push_back(accepted);
    if (accepted) closed = true;
    return accepted;
  }

  // ---- QBootView --------------------------------------------------------------------
  void SetCaption(Control c, std::string_view text) override { caption[static_cast<int>(c)] = text; }
  void SetEnabled(Control c, bool on) override { enabled[static_cast<int>(c)] = on; }
  void SetLinkPicture(int picture) override { link_picture = picture; }
  void SetMcuBox(std::string_view item, int index) override {
    mcu_item = item;
    mcu_index = index;
  }
  void SetDeviceBox(std::string_view item) override { device_item = item; }
  void AppendHistory(std::string_view line) override {
    history.emplace_back(line);
    log.push_back("H:" + std::string(line));
  }
  void AppendTerminal(const std::vector<std::string>& lines) override {
    terminal.insert(terminal.end(), lines.begin(), lines.end());
    batch_sizes.push_back(lines.size());
    batch_times.push_back(loop_.now());
  }
  void ClearTerminal() override {
    terminal.clear();
    ++terminal_clears;
  }
  int StatusTextWidth(std::string_view text) override {
    int chars = 0;
    for (const char c : text)
      if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
    return chars * char_width;
  }
  void ShowStatusText(std::string_view text) override {
    status_text = text;
    ++status_shows;
  }
  void SetProgress(int position, int max) override {
    progress = position;
    progress_max = max;
    progress_calls.emplace_back(position, max);
  }
  void SetTitle(std::string_view text) override { title = text; }
  void SetClientWidth(int width) override { widths.push_back(width); }
  void SetStripColour(Rgb colour) override { strip_colours.push_back(colour); }
  void ApplyGroupLook() override {
    ++group_looks;
    log.emplace_back("GroupLook");
  }
  std::string ReadFileVersion() override { return version; }
  ScreenInfo Screen() override { return screen; }
  WindowPlacement Placement() override { return placement; }
  void MoveTo(const WindowPlacement& to) override {
    moves.push_back(to);
    log.emplace_back("MoveTo");
    const int w = placement.norm[2] - placement.norm[0], h = placement.norm[3] - placement.norm[1];
    placement.norm = {to.norm[0], to.norm[1], to.norm[0] + w, to.norm[1] + h};
  }
  void SetShowState(ShowState state) override {
    show_states.push_back(state);
    placement.show_cmd = state == ShowState::Minimised ? 2 : state == ShowState::Maximised ? 3 : 1;
  }
  bool AskBootloaderArea() override {
    question_open_ = true;
    question_dismissed_ = false;
    Open({Dialog::BootloaderArea, std::string(kBootAreaQuestion), {}, true});
    question_open_ = false;
    return question_dismissed_ && dismissal_answers_no ? false : area_answer;
  }
  void DismissQuestion() override {
    ++dismissals;
    if (question_open_) question_dismissed_ = true;
  }
  void ShowChecksumWarning(std::string_view text) override {
    Open({Dialog::ChecksumWarning, std::string(text), {}, true});
  }
  void ShowUploadEnd(std::string_view content, std::string_view detail) override {
    Open({Dialog::UploadEnd, std::string(content), std::string(detail), true});
    if (end_dialog_time > 0) loop_.advance(end_dialog_time);
  }
  void ShowError(std::string_view text, bool owned) override { Open({Dialog::Error, std::string(text), {}, owned}); }
  std::optional<std::string> BrowseHexFile(std::string_view initial_dir, std::string_view file_name) override {
    browses.push_back({std::string(initial_dir), std::string(file_name)});
    Open({Dialog::Browse, {}, {}, true});
    return browse_result;
  }
  void CloseWindow() override {
    ++close_window_calls;
    log.emplace_back("CloseWindow");
    RequestClose();
  }

 private:
  void Open(Seen seen) {
    static constexpr const char* kNames[] = {"BootloaderArea", "ChecksumWarning", "UploadEnd", "Error", "Browse"};
    log.push_back(std::string("D:") + kNames[static_cast<int>(seen.kind)]);
    const Dialog kind = seen.kind;
    dialogs.push_back(std::move(seen));
    if (on_dialog) on_dialog(kind);
  }

  VirtualEventLoop& loop_;
  bool question_open_ = false;
  bool question_dismissed_ = false;
};

}  // namespace ql::test
