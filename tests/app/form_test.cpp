// The window's workflow without a toolkit: connect, upload, stop, removal and
// closing, on a recording view in virtual time with a simulated bootloader.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/app/form_rig.h"

namespace ql::test {
namespace {

using V = std::vector<std::string>;

// The end-of-upload dialog is open: FinishUpload has not run yet.
constexpr Phase kEndDialogOpen{"Disconnect", false, false, "Begin uploading", true};

std::string HexByte(std::uint8_t b) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", b);
  return buf;
}

TEST(FormWorkflow, PhasesFromNoLinkToConnected) {
  FormRig r;
  EXPECT_EQ(r.view.widths, std::vector<int>{489});
  EXPECT_EQ(r.view.title, "Quellotron USB HID Bootloader v1.0.0.0");
  EXPECT_EQ(r.History(), V{kAttach});
  EXPECT_EQ(r.view.status_text, ": No files opened.");
  EXPECT_EQ(r.view.link_picture, 0);
  EXPECT_EQ(r.view.group_looks, 1);
  r.ExpectPhase(kNoLink, "no link");

  // No link: the buttons answer, Browse opens no dialog, Connect finds nothing.
  r.Click(Control::ButtonStartBootloader);
  r.Click(Control::ButtonOpenHex);
  r.Click(Control::ButtonConnect);
  EXPECT_TRUE(r.view.browses.empty());
  EXPECT_EQ(r.History(), (V{kAttach, "Error: Connect first.", "Error: Connect first.",
                            "Unable to find device: USB HID Bootloader."}));
  r.ExpectPhase(kNoLink, "nothing found");

  // Link: picture 1, both boxes filled, no line.
  r.Plug("pic18");
  EXPECT_EQ(r.view.link_picture, 1);
  EXPECT_EQ(r.view.mcu_item, "<P align=\"center\">PIC18</P>");
  EXPECT_EQ(r.view.mcu_index, 0);
  EXPECT_EQ(r.view.device_item, "<P align=\"center\">PIC18F4550</P>");
  EXPECT_EQ(r.History().size(), 4u);
  r.ExpectPhase(kNoLink, "link");

  // Connecting, seen from inside the handshake wait; a click on the disabled
  // upload button does not get through.
  bool start_clicked = true;
  r.At(0.5, [&] {
    r.ExpectPhase(kConnecting, "connecting");
    start_clicked = r.Click(Control::ButtonStartBootloader);
  });
  r.view.terminal = {"old line"};
  r.Connect();
  EXPECT_FALSE(start_clicked);
  r.ExpectPhase(kConnected, "connected");
  EXPECT_EQ(V(r.History().begin() + 4, r.History().end()), (V{"Waiting MCU response...", "Connected."}));
  EXPECT_TRUE(r.view.terminal.empty());  // a connect clears the terminal log

  // Connected without a file.
  r.Click(Control::ButtonStartBootloader);
  EXPECT_EQ(r.History().back(), "Error: Load HEX file first.");

  // Disconnect: the reset makes the device leave, silently.
  const int clears = r.view.terminal_clears;
  r.Click(Control::ButtonConnect);
  r.Run(200);
  EXPECT_FALSE(r.form->Connected());
  EXPECT_EQ(r.view.terminal_clears, clears + 1);
  EXPECT_EQ(V(r.History().begin() + 7, r.History().end()), V{"Disconnected."});
  EXPECT_EQ(r.view.link_picture, 0);
  EXPECT_EQ(r.view.mcu_item, "");
  EXPECT_EQ(r.view.mcu_index, -1);
  EXPECT_EQ(r.view.device_item, "");
  r.ExpectPhase(kNoLink, "disconnected");
}

TEST(FormWorkflow, SilentBootloaderAndRemovalLines) {
  FormRig r;
  sim::Config c = *sim::Preset("pic18");
  c.fault = {sim::FaultKind::Silent, 0};
  r.Plug(c);
  EXPECT_EQ(r.History(), (V{kAttach, "USB HID device is not in bootloader mode.", "Reset device."}));
  EXPECT_EQ(r.view.link_picture, 0);
  r.sim->Unplug();
  r.Run(100);
  EXPECT_EQ(r.History().back(), "Reset device to reenter bootloader mode.");

  // Removed while connected: the name it had, then "Disconnected.", and an
  // empty terminal log, pending lines included.
  r.Plug("pic18");
  r.Connect();
  r.form->AppendTerminal("Erase...");
  r.sim->Unplug();
  r.Run(100);
  const V& h = r.History();
  EXPECT_EQ(V(h.end() - 2, h.end()), (V{"Device PIC18F4550 removed.", "Disconnected."}));
  EXPECT_TRUE(r.view.terminal.empty());
  EXPECT_TRUE(r.form->TerminalLines().empty());
  EXPECT_EQ(r.view.device_item, "");
  EXPECT_EQ(r.view.link_picture, 0);
  r.ExpectPhase(kNoLink, "removed");
}

TEST(FormWorkflow, UnansweredHandshakeIsReportedOnce) {
  FormRig r;
  sim::Config c = *sim::Preset("pic18");
  c.fault = {sim::FaultKind::NoAnswer, 3};  // boot info, handshake 1, then handshake 2 unanswered
  r.Plug(c);
  r.Click(Control::ButtonConnect);
  EXPECT_EQ(r.History(), (V{kAttach, "Waiting MCU response...", "Error: Timeout waiting for MCU.", "Disconnected."}));
  r.ExpectPhase(kNoLink, "failed connect");
}

// ---- Uploads ---------------------------------------------------------------------

TEST(FormUpload, RunsToItsEndDialog) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  const auto bytes = Pattern(100, 0x30);
  const std::string path = WriteHex(dir / "prog.hex", bytes);
  r.view.browse_result = path;
  r.Click(Control::ButtonOpenHex);
  EXPECT_EQ(r.History().back(), "Opened: " + path);

  r.At(3, [&] { r.ExpectPhase(kUploading, "uploading"); });
  std::pair<int, int> progress_at_end;
  std::size_t history_at_end = 0;
  r.view.on_dialog = [&](Dialog) {
    progress_at_end = {r.view.progress, r.view.progress_max};
    history_at_end = r.History().size();
    r.ExpectPhase(kEndDialogOpen, "end dialog open");
  };
  r.view.end_dialog_time = from_ms(300);  // the device restarts meanwhile
  r.Click(Control::ButtonStartBootloader);

  // 100 bytes raised to the write block of 32: 128, 7 a byte.
  EXPECT_EQ(progress_at_end, std::make_pair(896, 896));
  ASSERT_EQ(r.view.Texts(Dialog::UploadEnd), V{"Uploading program has finished."});
  EXPECT_EQ(r.view.dialogs.back().detail, "Uploading program \"" + path + "\" has finished with success.");
  // The restart's removal passes silently; FinishUpload follows the dialog.
  EXPECT_EQ(r.HistoryFrom("Uploading:"), (V{"Uploading:", "Completed successfully.", "Disconnected."}));
  EXPECT_EQ(history_at_end, r.History().size() - 1);
  EXPECT_EQ(r.view.progress, 0);
  r.ExpectPhase(kNoLink, "finished");
  EXPECT_EQ(r.view.close_window_calls, 0);

  // Terminal: one line a byte, even offsets further right; the PIC18 GOTO to
  // 0x7C00 / 2 = 0x3E00 stands for the first four bytes.
  const V& t = r.view.terminal;
  ASSERT_EQ(t.size(), 100u + 3);
  EXPECT_EQ(t[0], "Erase...");
  EXPECT_EQ(t[1], "Write...");
  EXPECT_EQ(t[2], std::string(25, ' ') + "00");
  EXPECT_EQ(t[3], std::string(13, ' ') + "EF");
  EXPECT_EQ(t[4], std::string(25, ' ') + "3E");
  EXPECT_EQ(t[5], std::string(13, ' ') + "F0");
  for (std::size_t i = 4; i < bytes.size(); ++i)
    EXPECT_EQ(t[2 + i], std::string(i % 2 ? 13 : 25, ' ') + HexByte(bytes[i])) << i;
  EXPECT_EQ(t.back(), "Reset...");

  const auto& flash = r.sim->model().flash();
  for (std::size_t i = 4; i < bytes.size(); ++i) EXPECT_EQ(flash[i], bytes[i]) << i;
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(flash[0x7C00 - 4 + i], bytes[i]);
}

// Lines and progress reach the view a frame at a time, not a byte at a time.
TEST(FormUpload, TerminalAndProgressComeOnceAFrame) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  r.form->DropFiles({WriteHex(dir / "mid.hex", Pattern(2000, 3))});
  r.Click(Control::ButtonStartBootloader);
  ASSERT_EQ(r.view.terminal.size(), 2000u + 3);
  ASSERT_GT(r.view.batch_sizes.size(), 2u);
  EXPECT_LT(r.view.batch_sizes.size(), 2000u / 10);
  for (std::size_t i = 0; i < r.view.batch_sizes.size(); ++i) {
    EXPECT_GT(r.view.batch_sizes[i], 0u) << i;
    if (i + 2 < r.view.batch_sizes.size()) {  // the last comes when the upload returns
      EXPECT_GE(r.view.batch_times[i + 1] - r.view.batch_times[i], from_ms(25)) << i;
    }
  }
  // The bar only moves forward in steps of 7 during the transfer, then falls back to 0.
  const auto& p = r.view.progress_calls;
  ASSERT_GT(p.size(), 3u);
  EXPECT_LT(p.size(), 2000u / 10);
  const int max = 2016 * 7;  // 2000 bytes raised to the write block of 32
  EXPECT_EQ(p.front(), std::make_pair(0, max));
  for (std::size_t i = 1; i + 1 < p.size(); ++i) {
    EXPECT_GT(p[i].first, p[i - 1].first) << i;
    EXPECT_EQ(p[i].first % 7, 0) << i;
  }
  EXPECT_EQ(p[p.size() - 2].first, max);
  EXPECT_EQ(p.back(), std::make_pair(0, max));
}

TEST(FormUpload, StopRequestEndsTheTransferAsAborted) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  r.form->DropFiles({WriteHex(dir / "big.hex", Pattern(4000, 1))});
  bool second_click = false;
  r.At(5, [&] {
    r.Click(Control::ButtonStartBootloader);  // the stop request
    r.ExpectPhase(kStopPressed, "stop pressed");
    EXPECT_FALSE(r.form->UploadRunning);
    second_click = r.Click(Control::ButtonStartBootloader);  // must not start a second upload
  });
  r.Click(Control::ButtonStartBootloader);
  EXPECT_TRUE(second_click);
  EXPECT_EQ(r.CountLines("Uploading:"), 1);
  EXPECT_EQ(r.CountLines("Stopping: waiting for the device to finish the erase."), 1);
  ASSERT_EQ(r.view.Texts(Dialog::UploadEnd), V{"Uploading program was aborted."});
  EXPECT_EQ(r.view.dialogs.back().detail, "Uploading program \"\" was aborted.");
  EXPECT_FALSE(r.sim->model().reset_seen());
  EXPECT_LT(r.sim->model().data_blocks(), 4000 / 64);
  EXPECT_EQ(r.History().back(), "Disconnected.");
  EXPECT_EQ(r.view.progress, 0);
  EXPECT_FALSE(r.form->Connected());
  EXPECT_FALSE(r.form->UploadActive());
  r.ExpectPhase(kNoLink, "after the stop");
}

TEST(FormUpload, RemovalEndsItWithoutTheEndDialog) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  r.form->SetCloseWhenFinished(true);  // a failed upload does not close the window
  r.form->DropFiles({WriteHex(dir / "big.hex", Pattern(4000, 2))});
  r.At(8, [&] { r.sim->Unplug(); });
  r.Click(Control::ButtonStartBootloader);
  EXPECT_EQ(r.HistoryFrom("Uploading:"), (V{"Uploading:", "Device PIC18F4550 removed.", "Disconnected.",
                                            "Error: Device PIC18F4550 removed.", "Disconnected."}));
  EXPECT_TRUE(r.view.dialogs.empty());
  EXPECT_TRUE(r.view.terminal.empty());
  EXPECT_EQ(r.view.progress, 0);
  EXPECT_EQ(r.view.link_picture, 0);
  EXPECT_EQ(r.view.close_window_calls, 0);
  EXPECT_FALSE(r.view.closed);
  r.ExpectPhase(kNoLink, "removed");
}

TEST(FormUpload, DropDuringUploadLeavesTheImageAlone) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  const auto bytes = Pattern(300, 3);
  const std::string first = WriteHex(dir / "first.hex", bytes);
  const std::string second = WriteHex(dir / "second.hex", Pattern(300, 99));
  r.form->DropFiles({first});
  const int shows = r.view.status_shows;
  r.At(4, [&] { r.form->DropFiles({second}); });
  r.Click(Control::ButtonStartBootloader);
  EXPECT_EQ(r.CountLines("Error: Upload in progress, not opened: " + second), 1);
  EXPECT_EQ(r.CountLines("Opened: " + second), 0);
  EXPECT_EQ(r.view.status_shows, shows);
  EXPECT_EQ(r.view.status_text, Fitted(first, 489));
  EXPECT_EQ(r.view.Count(Dialog::UploadEnd), 1);
  const auto& flash = r.sim->model().flash();
  for (std::size_t i = 4; i < bytes.size(); ++i) EXPECT_EQ(flash[i], bytes[i]) << i;
  // Afterwards a drop works again.
  r.form->DropFiles({second});
  EXPECT_EQ(r.History().back(), "Opened: " + second);
  EXPECT_EQ(r.view.status_text, Fitted(second, 489));
}

TEST(FormUpload, BootloaderAreaQuestionNo) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  r.form->SetCloseWhenFinished(true);
  r.form->DropFiles({WriteHex(dir / "huge.hex", Pattern(0x7C00 + 16, 6))});
  r.view.area_answer = false;
  r.Click(Control::ButtonStartBootloader);
  EXPECT_EQ(r.view.Count(Dialog::BootloaderArea), 1);
  EXPECT_EQ(r.view.Count(Dialog::UploadEnd), 0);
  ASSERT_FALSE(r.view.terminal.empty());
  EXPECT_EQ(r.view.terminal.back(), "Upload aborted.");
  EXPECT_EQ(r.History().back(), "Disconnected.");
  EXPECT_EQ(r.view.close_window_calls, 0);
  r.ExpectPhase(kNoLink, "declined");
}

// The slide button works at all times, also inside an upload's waits.
TEST(FormUpload, ActivityPanelSlidesDuringAnUpload) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  r.form->DropFiles({WriteHex(dir / "mid.hex", Pattern(2000, 4))});
  r.At(3, [&] { EXPECT_TRUE(r.Click(Control::AdvGlowButton1)); });
  r.Click(Control::ButtonStartBootloader);
  EXPECT_EQ(r.view.widths.back(), 682);
  EXPECT_EQ(r.view.widths.size(), 1u + 10);
}

// ---- A page: steps that park, an end dialog that answers later -------------------

WindowOptions PageOptions() {
  WindowOptions o;
  o.suspending_waits = true;
  o.end_dialog_closes_later = true;
  return o;
}

// Each handler returns at once; the upload ends on the loop, and it is
// finished only when the page's end dialog has been closed.
TEST(FormInAPage, UploadIsFinishedWhenTheEndDialogCloses) {
  const auto dir = FormDir();
  FormRig r(PageOptions());
  r.Plug("pic18");
  r.Click(Control::ButtonConnect);
  EXPECT_FALSE(r.form->Connected());  // the handshake is parked
  r.Run(100);
  ASSERT_TRUE(r.form->Connected());
  r.view.browse_result = WriteHex(dir / "prog.hex", Pattern(300, 9));
  r.Click(Control::ButtonOpenHex);
  r.Click(Control::ButtonStartBootloader);
  EXPECT_TRUE(r.form->UploadActive());
  r.ExpectPhase(kUploading, "returned from the click");
  r.Run(2000);  // the device restarts and leaves meanwhile: silently
  ASSERT_EQ(r.view.Texts(Dialog::UploadEnd), V{"Uploading program has finished."});
  EXPECT_TRUE(r.form->UploadEndOpen());
  EXPECT_EQ(r.History().back(), "Completed successfully.");
  EXPECT_GT(r.view.progress, 0);
  r.ExpectPhase(kEndDialogOpen, "end dialog open");

  r.form->UploadEndClosed();
  EXPECT_FALSE(r.form->UploadEndOpen());
  EXPECT_EQ(r.HistoryFrom("Uploading:"), (V{"Uploading:", "Completed successfully.", "Disconnected."}));
  EXPECT_EQ(r.view.progress, 0);
  r.ExpectPhase(kNoLink, "finished");
  r.form->UploadEndClosed();  // a second close changes nothing
  EXPECT_EQ(r.CountLines("Disconnected."), 1);
}

// After a stop the link is still connected while the aborted dialog is open:
// a click on Begin uploading then must not start a second upload.
TEST(FormInAPage, NoUploadStartsWhileTheEndDialogIsOpen) {
  const auto dir = FormDir();
  FormRig r(PageOptions());
  r.Plug("pic18");
  r.Click(Control::ButtonConnect);
  r.Run(100);
  ASSERT_TRUE(r.form->Connected());
  r.form->DropFiles({WriteHex(dir / "big.hex", Pattern(4000, 2))});
  r.Click(Control::ButtonStartBootloader);
  r.Run(5);
  r.Click(Control::ButtonStartBootloader);  // the stop request
  r.Run(1000);
  ASSERT_EQ(r.view.Texts(Dialog::UploadEnd), V{"Uploading program was aborted."});
  ASSERT_TRUE(r.form->Connected());
  const int blocks = r.sim->model().data_blocks();
  EXPECT_TRUE(r.Click(Control::ButtonStartBootloader));
  r.Run(1000);
  EXPECT_EQ(r.CountLines("Uploading:"), 1);
  EXPECT_EQ(r.sim->model().data_blocks(), blocks);
  EXPECT_FALSE(r.form->UploadActive());

  r.form->UploadEndClosed();
  EXPECT_EQ(r.History().back(), "Disconnected.");
  r.ExpectPhase(kNoLink, "after the aborted dialog");
}

// ---- Closing ---------------------------------------------------------------------

TEST(FormClose, DuringAnUploadStopsItFirst) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  r.form->DropFiles({WriteHex(dir / "big.hex", Pattern(4000, 4))});
  r.At(5, [&] {
    EXPECT_FALSE(r.view.RequestClose());
    EXPECT_FALSE(r.view.RequestClose());  // asked again while it stops: still no
  });
  r.Click(Control::ButtonStartBootloader);
  EXPECT_EQ(r.view.close_answers, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(r.view.close_window_calls, 1);
  EXPECT_TRUE(r.view.closed);
  EXPECT_FALSE(r.form->UploadActive());
  EXPECT_TRUE(r.view.dialogs.empty());
  EXPECT_FALSE(r.sim->model().reset_seen());
  r.Destroy();  // the device list and its reader go with the window
  EXPECT_EQ(r.backend.ReaderCount(r.sim->id()), 0);
}

// A close from outside while the bootloader-area question is open: the
// upload ends before anything is erased or written, and the window closes,
// whether the toolkit can close the question (No) or the user's OK stands.
TEST(FormClose, WhileTheQuestionIsOpenSendsNothing) {
  for (const bool dismissal_answers_no : {true, false}) {
    SCOPED_TRACE(dismissal_answers_no ? "dismissed as No" : "OK stands");
    const auto dir = FormDir();
    FormRig r;
    r.Plug("pic18");
    r.Connect();
    const TBootInfo info = r.sim->model().config().info;
    r.form->DropFiles({WriteHex(dir / "past-boot.hex", Pattern(info.BootStart + 16, 6))});
    const std::vector<std::uint8_t> before = r.sim->model().flash();
    const std::size_t commands = r.sim->model().commands().size();
    r.view.area_answer = true;
    r.view.dismissal_answers_no = dismissal_answers_no;
    r.view.on_dialog = [&](Dialog kind) {
      if (kind == Dialog::BootloaderArea) {
        EXPECT_FALSE(r.view.RequestClose());
      }
    };
    r.Click(Control::ButtonStartBootloader);
    EXPECT_EQ(r.view.Count(Dialog::BootloaderArea), 1);
    EXPECT_EQ(r.view.dismissals, 1);
    EXPECT_EQ(r.view.Count(Dialog::UploadEnd), 0);
    EXPECT_EQ(r.view.close_answers, (std::vector<bool>{false, true}));
    EXPECT_EQ(r.view.close_window_calls, 1);
    EXPECT_EQ(r.sim->model().commands().size(), commands);
    EXPECT_TRUE(r.sim->model().flash() == before);
    EXPECT_FALSE(r.sim->model().reset_seen());
  }
}

// A close inside the connect's wait ends that wait: nothing more goes to the device.
TEST(FormClose, DuringAConnectEndsItsWait) {
  FormRig r;
  r.Plug("pic18");
  std::size_t commands_at_close = 0;
  r.At(0.5, [&] {
    EXPECT_TRUE(r.view.RequestClose());
    commands_at_close = r.sim->model().commands().size();
  });
  r.Click(Control::ButtonConnect);
  r.Run(1000);
  EXPECT_TRUE(r.view.closed);
  EXPECT_FALSE(r.form->Connected());
  EXPECT_EQ(r.sim->model().commands().size(), commands_at_close);
  EXPECT_EQ(r.view.close_window_calls, 0);
  EXPECT_EQ(r.form->Settings().Read("frmqBoot", "FormVersion"), "0");  // gathered by the close
}

TEST(FormClose, AfterACompletedUploadWhenAsked) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  r.form->SetCloseWhenFinished(true);
  r.form->DropFiles({WriteHex(dir / "small.hex", Pattern(40, 5))});
  r.Click(Control::ButtonStartBootloader);
  // The dialog first, then FinishUpload's line, then the close.
  const V& log = r.view.log;
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(V(log.end() - 3, log.end()), (V{"D:UploadEnd", "H:Disconnected.", "CloseWindow"}));
  EXPECT_EQ(r.view.close_answers, std::vector<bool>{true});
  EXPECT_TRUE(r.view.closed);
}

// Closed by the user while the end dialog is open, with the option on: the
// window is not asked to close a second time after the dialog.
TEST(FormClose, AClosedWindowIsNotClosedAgainAfterTheEndDialog) {
  const auto dir = FormDir();
  FormRig r;
  r.Plug("pic18");
  r.Connect();
  r.form->SetCloseWhenFinished(true);
  r.form->DropFiles({WriteHex(dir / "small.hex", Pattern(40, 5))});
  r.view.on_dialog = [&](Dialog kind) {
    if (kind == Dialog::UploadEnd) r.view.RequestClose();
  };
  r.Click(Control::ButtonStartBootloader);
  EXPECT_EQ(r.view.close_answers, std::vector<bool>{true});
  EXPECT_EQ(r.view.close_window_calls, 0);
}

TEST(FormClose, NotAfterAStoppedUploadNorWithoutTheOption) {
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped" : "option off");
    const auto dir = FormDir();
    FormRig r;
    r.Plug("pic18");
    r.Connect();
    r.form->SetCloseWhenFinished(stop);
    r.form->DropFiles({WriteHex(dir / "big.hex", Pattern(stop ? 4000 : 40, 5))});
    if (stop) r.At(5, [&] { r.Click(Control::ButtonStartBootloader); });
    r.Click(Control::ButtonStartBootloader);
    EXPECT_EQ(r.view.Count(Dialog::UploadEnd), 1);
    EXPECT_EQ(r.view.close_window_calls, 0);
    EXPECT_FALSE(r.view.closed);
  }
}

}  // namespace
}  // namespace ql::test
