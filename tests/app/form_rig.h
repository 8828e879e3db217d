#pragma once
// The window's behaviour on a recording view, in virtual time, with a
// simulated bootloader on the virtual HID backend: what the form tests share.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/form/path_fit.h"
#include "app/form/qboot_form.h"
#include "core/virtual_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"
#include "tests/support/case_dir.h"
#include "tests/support/hex_text.h"
#include "tests/support/recording_form_view.h"

namespace ql::test {

inline const std::string kAttach = "Attach USB HID device or reset if attached.";
inline constexpr char kSep = kPathSeparator;

// The running case's own folder as the system writes paths: absolute, with
// its own separator (a drive letter on Windows).
inline std::filesystem::path FormDir() { return std::filesystem::absolute(FreshCaseDir()).make_preferred(); }

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

inline std::string WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return Utf8(path);
}

// An Intel HEX file of `bytes` from address 0; its path as UTF-8.
inline std::string WriteHex(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes,
                            bool break_checksum = false) {
  return WriteText(path, HexText(bytes, break_checksum));
}

// What the status bar shows for `path` in a window `width` wide, at 6 pixels
// a character: the whole text if it fits in the width less a "W"; else
// "..." and a separator before the longest tail after a separator that fits;
// else the bare name.
inline std::string Fitted(const std::string& path, int width) {
  const std::size_t max_chars = static_cast<std::size_t>(width - 6) / 6;
  if (path.size() + 2 <= max_chars) return ": " + path;
  for (std::size_t at = path.find(kSep); at != std::string::npos; at = path.find(kSep, at + 1)) {
    const std::string tail = std::string("...") + kSep + path.substr(at + 1);
    if (tail.size() <= max_chars) return tail;
  }
  return path.substr(path.rfind(kSep) + 1);
}

// What the four buttons show in one phase of the workflow.
struct Phase {
  const char* connect;
  bool connect_on;
  bool open_on;
  const char* start;
  bool start_on;
};
inline constexpr Phase kNoLink{"Connect", true, true, "Begin uploading", true};
inline constexpr Phase kConnecting{"Waiting... Disconnect", true, true, "Begin uploading", false};
inline constexpr Phase kConnected{"Disconnect", true, true, "Begin uploading", true};
inline constexpr Phase kUploading{"Disconnect", false, false, "Stop uploading", true};
// Connect and Browse wait for the device to close its open command.
inline constexpr Phase kStopPressed{"Disconnect", false, false, "Begin uploading", true};

struct FormRig {
  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  RecordingFormView view{loop};
  std::unique_ptr<VirtualSimBootloader> sim;
  std::unique_ptr<QBootForm> form;

  // `before` scripts the view before the form exists; `show` shows the window.
  explicit FormRig(WindowOptions options = {}, bool show = true,
                   const std::function<void(RecordingFormView&)>& before = {}) {
    if (before) before(view);
    form = std::make_unique<QBootForm>(loop, backend, view, std::move(options));
    view.form = form.get();
    if (show) Show();
  }
  ~FormRig() { Destroy(); }

  void Show() {
    form->Shown();
    Run(100);
  }
  // The window goes: the form writes its settings.
  void Destroy() {
    form.reset();
    view.form = nullptr;
  }
  void Run(int ms) { loop.advance(from_ms(ms)); }
  void Plug(sim::Config config) {
    sim = std::make_unique<VirtualSimBootloader>(backend, loop, std::move(config));
    Run(100);
  }
  void Plug(const char* preset = "pic18") { Plug(*sim::Preset(preset)); }
  // A click as a toolkit delivers it: not on a disabled button, nor on a closed window.
  bool Click(Control c) {
    if (!view.Enabled(c) || view.closed) return false;
    switch (c) {
      case Control::ButtonConnect:
        form->ButtonConnectClick();
        break;
      case Control::ButtonOpenHex:
        form->ButtonOpenHexClick();
        break;
      case Control::ButtonStartBootloader:
        form->ButtonStartBootloaderClick();
        break;
      case Control::AdvGlowButton1:
        form->AdvGlowButton1Click();
        break;
    }
    return true;
  }
  void Connect() {
    Click(Control::ButtonConnect);
    ASSERT_TRUE(form->Connected());
  }
  // Runs `fn` once the clock has moved on by `ms` (inside a wait).
  void At(double ms, std::function<void()> fn) { loop.schedule_after(static_cast<Micros>(ms * 1000), std::move(fn)); }
  const std::vector<std::string>& History() const { return view.history; }
  // The history from the line `first` on.
  std::vector<std::string> HistoryFrom(const std::string& first) const {
    const auto& h = view.history;
    for (auto it = h.begin(); it != h.end(); ++it)
      if (*it == first) return {it, h.end()};
    return {};
  }
  int CountLines(const std::string& line) const {
    return static_cast<int>(std::count(view.history.begin(), view.history.end(), line));
  }

  // The buttons as the phase table has them, seen by the user and held by the form alike.
  void ExpectPhase(const Phase& p, const char* where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(view.Caption(Control::ButtonConnect), p.connect);
    EXPECT_EQ(view.Enabled(Control::ButtonConnect), p.connect_on);
    EXPECT_EQ(view.Enabled(Control::ButtonOpenHex), p.open_on);
    EXPECT_EQ(view.Caption(Control::ButtonStartBootloader), p.start);
    EXPECT_EQ(view.Enabled(Control::ButtonStartBootloader), p.start_on);
    EXPECT_EQ(view.Caption(Control::ButtonOpenHex), "Browse      for HEX");
    for (const Control c :
         {Control::ButtonConnect, Control::ButtonOpenHex, Control::ButtonStartBootloader, Control::AdvGlowButton1}) {
      EXPECT_EQ(form->Caption(c), view.Caption(c));
      EXPECT_EQ(form->Enabled(c), view.Enabled(c));
    }
  }
};

}  // namespace ql::test
