// The window driven through its buttons in virtual time, with a simulated
// bootloader on the virtual HID backend and the dialogs replaced by a
// recorder.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QtTest>

#include <functional>
#include <thread>

#include <unistd.h>
#include <memory>
#include <vector>

#include "app/qt/dialogs.h"
#include "app/qt/qboot.h"
#include "app/qt/qt_event_loop.h"
#include "app/qt/widgets.h"
#include "core/virtual_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"
#include "tests/support/hex_text.h"

using namespace ql;

namespace {

const QString kAttach = QStringLiteral("Attach USB HID device or reset if attached.");

struct FakeDialogs final : WindowDialogs {
  bool area_answer = true;
  int area_questions = 0;
  QStringList warnings, errors;
  struct End {
    QString content, detail;
  };
  std::vector<End> ends;
  std::optional<QString> browse_result;
  int browses = 0;
  // Runs inside each dialog, to look at the window while it is open.
  std::function<void()> on_dialog;

  void Seen() {
    if (on_dialog) on_dialog();
  }
  bool AskBootloaderArea(QWidget*) override {
    ++area_questions;
    Seen();
    return area_answer;
  }
  void ShowChecksumWarning(QWidget*, const QString& text) override {
    warnings << text;
    Seen();
  }
  void ShowUploadEnd(QWidget*, const QString& content, const QString& detail) override {
    ends.push_back({content, detail});
    Seen();
  }
  void ShowError(QWidget*, const QString& text) override {
    errors << text;
    Seen();
  }
  std::optional<QString> BrowseHexFile(QWidget*, const QString&, const QString&) override {
    ++browses;
    return browse_result;
  }
};

QString TmpDir() {
  const QString dir = QStringLiteral(QUELLOADER_TEST_TMP "/window");
  QDir().mkpath(dir);
  return dir;
}

// An Intel HEX file of `bytes` from address 0, 16 bytes a record, in the test folder.
QString WriteHex(const QString& name, const std::vector<std::uint8_t>& bytes, bool break_checksum = false) {
  const QString text = QString::fromStdString(ql::test::HexText(bytes, break_checksum));
  const QString path = TmpDir() + QLatin1Char('/') + name;
  QFile f(path);
  f.open(QIODevice::WriteOnly | QIODevice::Truncate);
  f.write(text.toLatin1());
  return path;
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

struct Rig {
  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  FakeDialogs dialogs;
  std::unique_ptr<VirtualSimBootloader> sim;
  std::unique_ptr<TqBoot> w;

  explicit Rig(WindowOptions options = {}) {
    w = std::make_unique<TqBoot>(loop, backend, dialogs, std::move(options));
    w->show();
    Run(100);
  }
  void Run(int ms) { loop.advance(from_ms(ms)); }
  void Plug(sim::Config config) {
    sim = std::make_unique<VirtualSimBootloader>(backend, loop, std::move(config));
    Run(100);
  }
  void Plug(const char* preset = "pic18") { Plug(*sim::Preset(preset)); }
  void Connect() {
    w->ButtonConnect->click();
    QVERIFY(w->Connected());
  }
  // Runs `fn` once the loop's clock has moved on by `ms` (inside a wait).
  void At(double ms, std::function<void()> fn) {
    loop.schedule_after(static_cast<Micros>(ms * 1000), std::move(fn));
  }
  QStringList History() const { return w->HistoryLines(); }
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QDir(TmpDir()).removeRecursively(); }

  // The Qt loop wakes for work posted by a reader thread and for a readable
  // descriptor, instead of sleeping until its deadline.
  void qtLoopWakesForOtherThreads() {
    QtEventLoop loop;
    const Micros far = loop.now() + from_ms(10000);
    bool posted = false;
    std::thread poster([&] { loop.post([&] { posted = true; }); });
    QVERIFY(loop.run_until([&] { return posted; }, far));
    poster.join();

    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    int reads = 0;
    const auto watch = loop.watch_readable(fds[0], [&] {
      char c;
      if (::read(fds[0], &c, 1) == 1) ++reads;
    });
    std::thread writer([&] { QCOMPARE(::write(fds[1], "x", 1), 1); });
    QVERIFY(loop.run_until([&] { return reads == 1; }, far));
    writer.join();
    loop.unwatch(watch);
    ::close(fds[0]);
    ::close(fds[1]);
    QVERIFY(loop.now() < far - from_ms(5000));
  }

  void qtLoopRunsTimersInOrderAndNotCancelledOnes() {
    QtEventLoop loop;
    QList<int> ran;
    loop.schedule_after(from_ms(2), [&] { ran << 2; });
    const TimerId dropped = loop.schedule_after(0, [&] { ran << 99; });
    loop.schedule_after(0, [&] { ran << 1; });
    loop.cancel(dropped);
    QVERIFY(loop.run_until([&] { return ran.size() == 2; }, loop.now() + from_ms(10000)));
    QCOMPARE(ran, (QList<int>{1, 2}));
  }

  void endDialogTogglesItsDetails() {
    UploadEndDialog d(nullptr, "Uploading program has finished.", "Uploading program \"/a.hex\" has finished with success.");
    QCOMPARE(d.windowTitle(), QStringLiteral("Success"));
    QCOMPARE(d.findChild<QLabel*>("instruction")->text(), QStringLiteral("Restarting MCU..."));
    QVERIFY(d.detail()->isHidden());
    QCOMPARE(d.toggle()->text(), QStringLiteral("Show details"));
    d.toggle()->click();
    QVERIFY(!d.detail()->isHidden());
    QCOMPARE(d.toggle()->text(), QStringLiteral("Hide details"));
    d.toggle()->click();
    QVERIFY(d.detail()->isHidden());
    QCOMPARE(d.toggle()->text(), QStringLiteral("Show details"));
  }

  // Enter presses OK: where the focus starts when the dialog opens, and also
  // after the toggle was used (Space on it still toggles).
  void endDialogEnterPressesOk() {
    for (bool use_toggle : {false, true}) {
      UploadEndDialog d(nullptr, "Uploading program has finished.", "detail");
      bool active = false;
      QTimer::singleShot(0, [&] {
        QApplication::setActiveWindow(&d);
        active = QTest::qWaitForWindowActive(&d);
        if (use_toggle) {
          d.toggle()->setFocus();
          QTest::keyClick(d.toggle(), Qt::Key_Space);
        }
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &d, Qt::Key_Return);
        if (d.isVisible()) d.reject();  // Enter did not answer: end the dialog so that the test goes on
      });
      const int result = d.exec();
      QVERIFY(active);
      QCOMPARE(result, static_cast<int>(QDialog::Accepted));
      QCOMPARE(d.detail()->isHidden(), !use_toggle);
    }
  }

  // The real question box: No then OK, OK the default, Esc answers No.
  void bootloaderAreaQuestionKeys() {
    QtWindowDialogs dialogs;
    QStringList order;
    auto answer = [&](int key) {
      QTimer::singleShot(0, [&, key] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        order.clear();
        for (QAbstractButton* b : box->findChildren<QPushButton*>()) order << b->text();
        QTest::keyClick(box, static_cast<Qt::Key>(key));
      });
    };
    answer(Qt::Key_Escape);
    QVERIFY(!dialogs.AskBootloaderArea(nullptr));
    answer(Qt::Key_Return);
    QVERIFY(dialogs.AskBootloaderArea(nullptr));
    QCOMPARE(order, (QStringList{"No", "OK"}));
  }

  void phasesFromNoLinkToConnected() {
    Rig r;
    TqBoot& w = *r.w;
    QCOMPARE(w.width(), 489);
    QCOMPARE(w.windowTitle(), QStringLiteral("Quellotron USB HID Bootloader v1.0.0.0"));
    QCOMPARE(r.History(), QStringList{kAttach});
    QCOMPARE(w.StatusText(), QStringLiteral(": No files opened."));
    QCOMPARE(w.LinkPicture(), 0);
    QCOMPARE(w.ButtonOpenHex->text(), QStringLiteral("Browse      for HEX"));

    // No link: the buttons answer, the Browse click opens no dialog.
    w.ButtonStartBootloader->click();
    w.ButtonOpenHex->click();
    w.ButtonConnect->click();
    QCOMPARE(r.dialogs.browses, 0);
    QCOMPARE(r.History(), (QStringList{kAttach, "Error: Connect first.", "Error: Connect first.",
                                       "Unable to find device: USB HID Bootloader."}));
    QCOMPARE(w.ButtonConnect->text(), QStringLiteral("Connect"));

    // Link: picture 1, both lists filled, no line.
    r.Plug("pic18");
    QCOMPARE(w.LinkPicture(), 1);
    QCOMPARE(w.MCUComboBox->currentText(), QStringLiteral("<P align=\"center\">PIC18</P>"));
    QCOMPARE(w.DeviceComboBox->currentText(), QStringLiteral("<P align=\"center\">PIC18F4550</P>"));
    QCOMPARE(r.History().size(), 4);

    // Connecting, seen from inside the handshake wait.
    QString caption;
    bool start_enabled = true;
    r.At(0.5, [&] {
      caption = w.ButtonConnect->text();
      start_enabled = w.ButtonStartBootloader->isEnabled();
    });
    r.Connect();
    QCOMPARE(caption, QStringLiteral("Waiting... Disconnect"));
    QVERIFY(!start_enabled);
    QCOMPARE(w.ButtonConnect->text(), QStringLiteral("Disconnect"));
    QVERIFY(w.ButtonStartBootloader->isEnabled() && w.ButtonOpenHex->isEnabled());
    QCOMPARE(r.History().mid(4), (QStringList{"Waiting MCU response...", "Connected."}));

    // Connected without a file.
    w.ButtonStartBootloader->click();
    QCOMPARE(r.History().last(), QStringLiteral("Error: Load HEX file first."));

    // Disconnect: the reset makes the device leave, silently.
    w.ButtonConnect->click();
    r.Run(200);
    QVERIFY(!w.Connected());
    QCOMPARE(w.ButtonConnect->text(), QStringLiteral("Connect"));
    QCOMPARE(r.History().mid(7), QStringList{"Disconnected."});
    QCOMPARE(w.LinkPicture(), 0);
    QCOMPARE(w.MCUComboBox->count(), 0);
  }

  void silentBootloaderAndRemovalLines() {
    Rig r;
    sim::Config c = *sim::Preset("pic18");
    c.fault = {sim::FaultKind::Silent, 0};
    r.Plug(c);
    QCOMPARE(r.History().mid(1), (QStringList{"USB HID device is not in bootloader mode.", "Reset device."}));
    QCOMPARE(r.w->LinkPicture(), 0);
    r.sim->Unplug();
    r.Run(100);
    QCOMPARE(r.History().last(), QStringLiteral("Reset device to reenter bootloader mode."));

    // Removed while connected: the shown name, then "Disconnected.", and an
    // empty terminal log.
    r.Plug("pic18");
    r.Connect();
    r.w->AppendTerminal("Erase...");
    r.sim->Unplug();
    r.Run(100);
    QCOMPARE(r.History().mid(r.History().size() - 2), (QStringList{"Device PIC18F4550 removed.", "Disconnected."}));
    QVERIFY(r.w->TerminalLines().isEmpty());
    QCOMPARE(r.w->ButtonConnect->text(), QStringLiteral("Connect"));
    QCOMPARE(r.w->DeviceComboBox->count(), 0);
  }

  void unansweredHandshakeReportsOnce() {
    Rig r;
    sim::Config c = *sim::Preset("pic18");
    c.fault = {sim::FaultKind::NoAnswer, 3};  // boot info, handshake 1, then handshake 2 unanswered
    r.Plug(c);
    r.w->ButtonConnect->click();
    QCOMPARE(r.History().mid(1), (QStringList{"Waiting MCU response...", "Error: Timeout waiting for MCU.",
                                              "Disconnected."}));
    QCOMPARE(r.w->ButtonConnect->text(), QStringLiteral("Connect"));
    QVERIFY(r.w->ButtonStartBootloader->isEnabled());
  }

  void uploadRunsToItsEndDialog() {
    Rig r;
    r.Plug("pic18");
    r.Connect();
    const auto bytes = Pattern(100, 0x30);
    const QString path = WriteHex("prog.hex", bytes);
    r.dialogs.browse_result = path;
    r.w->ButtonOpenHex->click();
    QCOMPARE(r.History().last(), "Opened: " + path);

    bool connect_enabled = true, open_enabled = true;
    QString start_caption;
    r.At(3, [&] {
      connect_enabled = r.w->ButtonConnect->isEnabled();
      open_enabled = r.w->ButtonOpenHex->isEnabled();
      start_caption = r.w->ButtonStartBootloader->text();
    });
    int progress_at_end = -1, progress_max = -1;
    r.dialogs.on_dialog = [&] {
      progress_at_end = r.w->ProgressPosition();
      progress_max = r.w->ProgressBar1->maximum();
    };
    r.w->ButtonStartBootloader->click();

    QVERIFY(!connect_enabled && !open_enabled);
    QCOMPARE(start_caption, QStringLiteral("Stop uploading"));
    // 100 bytes raised to the write block of 32: W = 128, 7 a byte.
    QCOMPARE(progress_max, 896);
    QCOMPARE(progress_at_end, 896);
    QCOMPARE(r.dialogs.ends.size(), std::size_t{1});
    QCOMPARE(r.dialogs.ends[0].content, QStringLiteral("Uploading program has finished."));
    QCOMPARE(r.dialogs.ends[0].detail, "Uploading program \"" + path + "\" has finished with success.");

    // FinishUpload after the dialog; the restart's removal passes silently.
    r.Run(200);
    const QStringList h = r.History();
    QCOMPARE(h.mid(h.indexOf("Uploading:")), (QStringList{"Uploading:", "Completed successfully.", "Disconnected."}));
    QCOMPARE(r.w->ProgressBar1->value(), 0);
    QCOMPARE(r.w->ButtonConnect->text(), QStringLiteral("Connect"));
    QCOMPARE(r.w->ButtonStartBootloader->text(), QStringLiteral("Begin uploading"));
    QVERIFY(r.w->ButtonConnect->isEnabled() && r.w->ButtonOpenHex->isEnabled());

    // Terminal: one line per image byte, even addresses further right; the
    // PIC18 GOTO to 0x7C00 / 2 = 0x3E00 stands for the first four bytes.
    const QStringList t = r.w->TerminalLines();
    QCOMPARE(t.size(), 100 + 3);
    QCOMPARE(t[0], QStringLiteral("Erase..."));
    QCOMPARE(t[1], QStringLiteral("Write..."));
    QCOMPARE(t[2], QString(25, ' ') + "00");
    QCOMPARE(t[3], QString(13, ' ') + "EF");
    QCOMPARE(t[4], QString(25, ' ') + "3E");
    QCOMPARE(t[5], QString(13, ' ') + "F0");
    QCOMPARE(t[6], QString(25, ' ') + QStringLiteral("%1").arg(bytes[4], 2, 16, QLatin1Char('0')).toUpper());
    QCOMPARE(t.last(), QStringLiteral("Reset..."));

    // The device holds the program and, below its bootloader, the saved vector.
    const auto& flash = r.sim->model().flash();
    for (std::size_t i = 4; i < bytes.size(); ++i) QCOMPARE(flash[i], bytes[i]);
    for (std::size_t i = 0; i < 4; ++i) QCOMPARE(flash[0x7C00 - 4 + i], bytes[i]);
  }

  void stopRequestEndsTheTransferAsAborted() {
    Rig r;
    r.Plug("pic18");
    r.Connect();
    r.w->DropFiles({WriteHex("big.hex", Pattern(4000, 1))});
    bool restored = false;
    r.At(5, [&] {
      r.w->ButtonStartBootloader->click();  // the stop request
      // Connect and Browse wait until the device has finished the erase.
      restored = !r.w->ButtonConnect->isEnabled() && !r.w->ButtonOpenHex->isEnabled() && !r.w->form().UploadRunning &&
                 r.w->ButtonStartBootloader->text() == QStringLiteral("Begin uploading");
      r.w->ButtonStartBootloader->click();  // must not start a second upload
    });
    r.w->ButtonStartBootloader->click();
    QVERIFY(restored);
    QVERIFY(r.w->ButtonConnect->isEnabled() && r.w->ButtonOpenHex->isEnabled());
    QCOMPARE(r.History().count("Uploading:"), 1);
    QVERIFY(r.History().contains("Stopping: waiting for the device to finish the erase."));
    QCOMPARE(r.dialogs.ends.size(), std::size_t{1});
    QCOMPARE(r.dialogs.ends[0].content, QStringLiteral("Uploading program was aborted."));
    QCOMPARE(r.dialogs.ends[0].detail, QStringLiteral("Uploading program \"\" was aborted."));
    QVERIFY(!r.sim->model().reset_seen());
    QVERIFY(r.sim->model().data_blocks() < 4000 / 64);
    QCOMPARE(r.History().last(), QStringLiteral("Disconnected."));
    QVERIFY(!r.w->Connected());
  }

  // A stop during the write, by the button or by closing the window: the
  // device is left in step, so the next Connect in this window (or in the
  // next one) succeeds, and its flash holds nothing but the image's bytes or
  // the erased value.
  void stopDuringTheWriteLeavesTheBootloaderInStep() {
    for (const bool by_closing : {false, true}) {
      Rig r;
      r.Plug("pic18");
      r.Connect();
      const auto bytes = Pattern(4000, 7);
      r.w->DropFiles({WriteHex("big.hex", bytes)});
      bool shown_while_stopping = false;
      int blocks_at_stop = 0;
      r.At(200, [&] {
        blocks_at_stop = r.sim->model().data_blocks();
        if (by_closing) r.w->close();
        else r.w->ButtonStartBootloader->click();
      });
      r.At(205, [&] {
        shown_while_stopping = r.w->isVisible() && !r.w->ButtonConnect->isEnabled() &&
                               r.History().last().startsWith(QStringLiteral("Stopping: finishing the write command"));
      });
      r.w->ButtonStartBootloader->click();
      QVERIFY(blocks_at_stop > 0 && blocks_at_stop < 60);
      QVERIFY(shown_while_stopping);
      QCOMPARE(r.sim->model().data_blocks(), 63);  // the write command's every block, nothing more
      QVERIFY(!r.sim->model().reset_seen());
      QVERIFY(r.sim->model().refused().empty());
      const auto& flash = r.sim->model().flash();
      const std::uint8_t goto_bootloader[4] = {0x00, 0xEF, 0x3E, 0xF0};
      for (std::size_t a = 0; a < 0x7C00; ++a) {
        const std::uint8_t planned = a < 4 ? goto_bootloader[a] : a < bytes.size() ? bytes[a] : 0xFF;
        QVERIFY2(flash[a] == planned || flash[a] == 0xFF, qPrintable(QString::number(a)));
      }

      if (by_closing) {
        QVERIFY(!r.w->isVisible());
        QVERIFY(r.dialogs.ends.empty());
        r.w.reset();
        r.w = std::make_unique<TqBoot>(r.loop, r.backend, r.dialogs, WindowOptions{});
        r.w->show();
        r.Run(100);
      } else {
        QCOMPARE(r.dialogs.ends.size(), std::size_t{1});
        QCOMPARE(r.dialogs.ends[0].content, QStringLiteral("Uploading program was aborted."));
        QCOMPARE(r.History().last(), QStringLiteral("Disconnected."));
      }
      QCOMPARE(r.w->LinkPicture(), 1);
      const int records = r.w->link().BootInfoShownCount();
      r.Connect();
      QCOMPARE(r.History().last(), QStringLiteral("Connected."));
      r.w->link().HidCtlDeviceChange();  // a fresh boot-info request to the same device
      r.Run(100);
      QCOMPARE(r.w->link().BootInfoShownCount(), records + 1);
      QCOMPARE(r.w->DeviceComboBox->currentText(), QStringLiteral("<P align=\"center\">PIC18F4550</P>"));
      QCOMPARE(r.sim->model().ignored_reports(), 0);
    }
  }

  void removalDuringUploadEndsIt() {
    Rig r;
    r.Plug("pic18");
    r.Connect();
    r.w->DropFiles({WriteHex("big.hex", Pattern(4000, 2))});
    r.At(8, [&] { r.sim->Unplug(); });
    r.w->ButtonStartBootloader->click();
    const QStringList h = r.History();
    QCOMPARE(h.mid(h.indexOf("Uploading:")),
             (QStringList{"Uploading:", "Device PIC18F4550 removed.", "Disconnected.",
                          "Error: Device PIC18F4550 removed.", "Disconnected."}));
    QVERIFY(r.dialogs.ends.empty());
    QVERIFY(r.w->TerminalLines().isEmpty());
    QCOMPARE(r.w->ProgressBar1->value(), 0);
    QCOMPARE(r.w->LinkPicture(), 0);
  }

  void dropDuringUploadLeavesTheImageAlone() {
    Rig r;
    r.Plug("pic18");
    r.Connect();
    const auto bytes = Pattern(300, 3);
    const QString first = WriteHex("first.hex", bytes);
    const QString second = WriteHex("second.hex", Pattern(300, 99));
    r.w->DropFiles({first});
    r.At(4, [&] { r.w->DropFiles({second}); });
    r.w->ButtonStartBootloader->click();
    QVERIFY(r.History().contains("Error: Upload in progress, not opened: " + second));
    QVERIFY(!r.History().contains("Opened: " + second));
    QVERIFY(r.w->StatusText().endsWith("first.hex"));
    QCOMPARE(r.dialogs.ends.size(), std::size_t{1});
    const auto& flash = r.sim->model().flash();
    for (std::size_t i = 4; i < bytes.size(); ++i) QCOMPARE(flash[i], bytes[i]);
    // Afterwards a drop works again.
    r.w->DropFiles({second});
    QCOMPARE(r.History().last(), "Opened: " + second);
  }

  void closingDuringUploadStopsItFirst() {
    Rig r;
    r.Plug("pic18");
    r.Connect();
    r.w->DropFiles({WriteHex("big.hex", Pattern(4000, 4))});
    r.At(5, [&] { r.w->close(); });
    r.w->ButtonStartBootloader->click();
    QVERIFY(!r.w->isVisible());
    QVERIFY(!r.w->UploadActive());
    QVERIFY(r.dialogs.ends.empty());
    QVERIFY(!r.sim->model().reset_seen());
    r.w.reset();  // the device list and its reader go with the window
    QCOMPARE(r.backend.ReaderCount(r.sim->id()), 0);
  }

  // A close from outside (SIGTERM closes the window) while the
  // bootloader-area question is open: the upload ends before anything is
  // erased or written, and the window closes.
  void closingWhileTheQuestionIsOpenSendsNothing() {
    Rig r;
    r.Plug("pic18");
    r.Connect();
    const TBootInfo info = r.sim->model().config().info;
    r.w->DropFiles({WriteHex("past-boot.hex", Pattern(info.BootStart + 16, 6))});
    const std::vector<std::uint8_t> before = r.sim->model().flash();
    const std::size_t commands = r.sim->model().commands().size();
    r.dialogs.area_answer = true;
    r.dialogs.on_dialog = [&] { r.w->close(); };
    r.w->ButtonStartBootloader->click();
    r.dialogs.on_dialog = nullptr;
    QCOMPARE(r.dialogs.area_questions, 1);
    QVERIFY(!r.w->isVisible());
    QCOMPARE(r.sim->model().commands().size(), commands);
    QVERIFY(r.sim->model().flash() == before);
    QVERIFY(!r.sim->model().reset_seen());
  }

  void closesAfterACompletedUploadWhenAsked() {
    Rig r;
    r.Plug("pic18");
    r.Connect();
    r.w->SetCloseWhenFinished(true);
    r.w->DropFiles({WriteHex("small.hex", Pattern(40, 5))});
    r.w->ButtonStartBootloader->click();
    QCOMPARE(r.dialogs.ends.size(), std::size_t{1});
    QVERIFY(!r.w->isVisible());
  }

  void bootloaderAreaQuestionNo() {
    Rig r;
    r.Plug("pic18");
    r.Connect();
    r.w->DropFiles({WriteHex("huge.hex", Pattern(0x7C00 + 16, 6))});
    r.dialogs.area_answer = false;
    r.w->ButtonStartBootloader->click();
    QCOMPARE(r.dialogs.area_questions, 1);
    QVERIFY(r.dialogs.ends.empty());
    QCOMPARE(r.w->TerminalLines().last(), QStringLiteral("Upload aborted."));
    QCOMPARE(r.History().last(), QStringLiteral("Disconnected."));
    QVERIFY(r.w->ButtonConnect->isEnabled());
  }

  void slideWidthsTickByTick() {
    Rig r;
    TqBoot& w = *r.w;
    auto ticks = [&](int n) {
      QList<int> widths;
      for (int i = 0; i < n; ++i) {
        r.Run(15);
        widths << w.width();
      }
      return widths;
    };
    w.AdvGlowButton1->click();
    QCOMPARE(w.AdvGlowButton1->text(), QStringLiteral("Hide Activity"));
    QCOMPARE(w.AdvGroupBox8->Colour(), QColor(220, 220, 220));  // at once
    QCOMPARE(ticks(11), (QList<int>{509, 529, 549, 569, 589, 609, 629, 649, 669, 682, 682}));

    w.AdvGlowButton1->click();
    QCOMPARE(w.AdvGlowButton1->text(), QStringLiteral("Show Activity"));
    QList<int> widths = ticks(9);
    QCOMPARE(widths, (QList<int>{662, 642, 622, 602, 582, 562, 542, 522, 502}));
    QCOMPARE(w.AdvGroupBox8->Colour(), QColor(220, 220, 220));  // not before the last tick
    QCOMPARE(ticks(2), (QList<int>{489, 489}));
    QCOMPARE(w.AdvGroupBox8->Colour(), QColor(250, 250, 250));

    // A click during a slide reverses it from where it is.
    w.AdvGlowButton1->click();
    QCOMPARE(ticks(3), (QList<int>{509, 529, 549}));
    w.AdvGlowButton1->click();
    QCOMPARE(ticks(4), (QList<int>{529, 509, 489, 489}));
  }

  void commandLineFile() {
    const QString path = WriteHex("cmd.HEX", Pattern(20, 7));
    {
      WindowOptions o;
      o.command_line_file = path.toStdString();
      Rig r(o);
      QCOMPARE(r.History(), (QStringList{"Opened: " + path, kAttach}));
      QCOMPARE(r.w->StatusText(), ": " + path);
      QCOMPARE(r.w->image().ImageEnd(), 20);
      QCOMPARE(r.w->image().family, McuFamily::None);
    }
    {
      // A path too long for the collapsed status bar loses its leading
      // directories and fits, measured in the bar's own font.
      const QString deep = TmpDir() + "/a-rather-long-folder-name/another-long-folder-name/and-a-third-one";
      QDir().mkpath(deep);
      QFile::copy(path, deep + "/deep.hex");
      WindowOptions o;
      o.command_line_file = (deep + "/deep.hex").toStdString();
      Rig r(o);
      const QFontMetrics fm(r.w->StatusBar1->font());
      QCOMPARE(r.w->StatusBar1->width(), 489);
      QVERIFY(r.w->StatusText().startsWith(".../"));
      QVERIFY(r.w->StatusText().endsWith("/and-a-third-one/deep.hex"));
      QVERIFY(fm.horizontalAdvance(r.w->StatusText()) <= 489 - fm.horizontalAdvance("W"));
    }
    QDir().mkpath(TmpDir() + "/folder.hex");
    QFile::copy(path, TmpDir() + "/cmd.hex.bak");
    for (const QString& arg : {TmpDir() + "/cmd.hex.bak", TmpDir() + "/missing.hex", TmpDir() + "/folder.hex"}) {
      WindowOptions o;
      o.command_line_file = arg.toStdString();
      Rig r(o);
      QCOMPARE(r.History(), QStringList{kAttach});
      QCOMPARE(r.w->StatusText(), QStringLiteral(": No files opened."));
    }
  }

  void browseAndDropLineOrders() {
    Rig r;
    const QString good = WriteHex("good.hex", Pattern(32, 8));
    const QString bad = WriteHex("bad.hex", Pattern(32, 9), true);
    const QString text = TmpDir() + "/notes.txt";
    QFile::copy(good, text);

    // A drop needs no connection; only the first qualifying file is taken.
    r.w->DropFiles({text, good, bad});
    QCOMPARE(r.History().last(), "Opened: " + good);
    QCOMPARE(r.History().count(), 2);
    QCOMPARE(r.w->image().ImageEnd(), 32);

    // A dropped file failing its checksum: "Opened:" before the warning.
    int lines_at_warning = -1;
    r.dialogs.on_dialog = [&] { lines_at_warning = static_cast<int>(r.History().size()); };
    r.w->DropFiles({bad});
    QCOMPARE(lines_at_warning, 3);
    QCOMPARE(r.dialogs.warnings.size(), 1);
    QVERIFY(r.dialogs.warnings[0].startsWith("CRC check failed. Invalid CRC at line 0 in file 'bad.hex'."));

    r.Plug("pic18");
    r.Connect();
    const int before = static_cast<int>(r.History().size());
    // Browse to a missing file: one line, status and image unchanged.
    r.dialogs.browse_result = TmpDir() + "/nothing.hex";
    r.w->ButtonOpenHex->click();
    QCOMPARE(r.History().last(), "File not found: " + TmpDir() + "/nothing.hex");
    QVERIFY(r.w->StatusText().endsWith("bad.hex"));
    // Cancelled: nothing.
    r.dialogs.browse_result.reset();
    r.w->ButtonOpenHex->click();
    QCOMPARE(static_cast<int>(r.History().size()), before + 1);

    // Browse to a file failing its checksum: the warning comes first, then
    // "Opened:"; the file counts as loaded with an empty image.
    r.dialogs.browse_result = bad;
    r.w->ButtonOpenHex->click();
    QCOMPARE(lines_at_warning, before + 1);
    QCOMPARE(r.History().last(), "Opened: " + bad);
    QCOMPARE(r.w->StatusText(), ": " + bad);
    QVERIFY(r.w->image().empty());
    QCOMPARE(r.w->OpenDialogFileName(), bad);
  }

  // A file the loader cannot convert ends the handler through the general
  // error report: Browse then writes no "Opened:" line, a drop already has.
  void conversionErrorEndsTheHandler() {
    Rig r;
    const QString path = TmpDir() + "/broken.hex";
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(":02000000GG00FE\n:00000001FF\n");
    f.close();
    r.Plug("pic18");
    r.Connect();
    const int before = static_cast<int>(r.History().size());
    r.dialogs.browse_result = path;
    r.w->ButtonOpenHex->click();
    QCOMPARE(r.dialogs.errors.size(), 1);
    QVERIFY(r.dialogs.errors[0].endsWith(QLatin1Char('.')));
    QCOMPARE(static_cast<int>(r.History().size()), before);
    QCOMPARE(r.w->StatusText(), ": " + path);  // set before the load

    r.w->DropFiles({path});
    QCOMPARE(r.dialogs.errors.size(), 2);
    QCOMPARE(r.History().last(), "Opened: " + path);
  }

  void settingsRoundTrip() {
    const QString path = TmpDir() + "/settings/Settings.ini";
    QDir().mkpath(TmpDir() + "/settings");
    const QByteArray hand =
        "; written by hand\n"
        "[Extra]\n"
        "Colour = blue\n"
        "[frmqboot]\n"
        "CheckBoxClose_Checked = yes\n"
        "MyNote=keep me\n"
        "OpenDialog1_InitialDir=/srv/hex\n"
        "NormPos=300,200,789,557\n";
    {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
      f.write(hand);
    }
    {
      WindowOptions o;
      o.settings_path = path.toStdString();
      Rig r(o);
      QVERIFY(r.w->CloseWhenFinished());
      QCOMPARE(r.w->OpenDialogInitialDir(), QStringLiteral("/srv/hex"));
      QCOMPARE(r.w->pos(), QPoint(300, 200));
      QCOMPARE(r.w->width(), 489);  // always the collapsed width at start
      r.w->close();
    }
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString out = QString::fromLatin1(f.readAll());
    const QStringList lines = out.split("\r\n");
    QVERIFY(!out.contains("; written by hand"));
    QVERIFY(!out.contains(QRegularExpression("[^\r]\n")));
    QCOMPARE(lines.mid(0, 3), (QStringList{"[Extra]", "Colour=blue", ""}));
    QCOMPARE(lines[3], QStringLiteral("[frmqboot]"));
    // Keys read keep their places, the window's new keys follow in order.
    QCOMPARE(lines.mid(4, 3),
             (QStringList{"CheckBoxClose_Checked=TRUE", "MyNote=keep me", "OpenDialog1_InitialDir=/srv/hex"}));
    QVERIFY(lines[7].startsWith("NormPos=300,200,"));  // where the window was; its frame decides the rest
    QCOMPARE(lines[8], QStringLiteral("FormVersion=0"));
    QVERIFY(lines.contains("OpenDialog1_FileName="));
    QVERIFY(lines.contains("MCUComboBox_ItemIndex=-1"));
    f.close();

    // Read-only: read at start, never changed.
    QFile::setPermissions(path, QFileDevice::ReadOwner);
    {
      WindowOptions o;
      o.settings_path = path.toStdString();
      Rig r(o);
      r.w->SetCloseWhenFinished(false);
    }
    QFile again(path);
    QVERIFY(again.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromLatin1(again.readAll()), out);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  }

  // A save that fails is said once, in the error box; nothing else breaks.
  void settingsNotSavedIsReported() {
    const QString blocker = TmpDir() + "/not-a-folder";
    QFile f(blocker);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));  // a file where the folder should be
    f.close();
    WindowOptions o;
    o.settings_path = (blocker + "/Settings.ini").toStdString();
    Rig r(o);
    QVERIFY(r.dialogs.errors.isEmpty());
    r.w->close();
    r.w.reset();
    QCOMPARE(r.dialogs.errors.size(), 1);
    QVERIFY2(r.dialogs.errors[0].startsWith("The settings could not be saved to \"" + blocker + "/Settings.ini\": "),
             qPrintable(r.dialogs.errors[0]));
    QVERIFY2(r.dialogs.errors[0].endsWith(QLatin1Char('.')), qPrintable(r.dialogs.errors[0]));
  }

  // A file name chosen in the dialog that holds a line break must not
  // become keys of its own at the next start.
  void settingsFileNameWithLineBreak() {
    const QString dir = TmpDir() + "/line-break";
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QString path = dir + "/Settings.ini";
    WindowOptions o;
    o.settings_path = path.toStdString();
    const QString good = WriteHex("kept.hex", Pattern(16, 1));
    for (const QString& chosen : {good, dir + "/x\nFormVersion=zz\n.hex"}) {
      Rig r(o);
      r.Plug("pic18");
      r.Connect();
      r.dialogs.browse_result = chosen;
      r.w->ButtonOpenHex->click();
      r.w->SetCloseWhenFinished(true);
      r.w->close();
    }
    Rig again(o);
    QCOMPARE(again.dialogs.errors, QStringList{});
    QVERIFY(again.w->CloseWhenFinished());  // the settings were applied
    QCOMPARE(again.w->OpenDialogFileName(), good);
  }

  // A ".hex" file past the loader's size limit: the general error report.
  void fileTooLargeIsAnError() {
    const QString path = TmpDir() + "/huge.hex";
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(f.resize(kMaxHexFileSize + 1));
    f.close();
    Rig r;
    r.w->DropFiles({path});
    f.remove();
    QCOMPARE(r.dialogs.errors.size(), 1);
    QVERIFY2(r.dialogs.errors[0].contains("larger than the"), qPrintable(r.dialogs.errors[0]));
    QVERIFY(r.w->image().empty());
  }

  void settingsConversionErrorStopsApplying() {
    const QString path = TmpDir() + "/bad-settings/Settings.ini";
    QDir().mkpath(TmpDir() + "/bad-settings");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[frmqBoot]\r\nFormVersion=0\r\nFlags=x1\r\nCheckBoxClose_Checked=TRUE\r\n");
    f.close();
    WindowOptions o;
    o.settings_path = path.toStdString();
    Rig r(o);
    QCOMPARE(r.dialogs.errors, QStringList{"'x1' is not a valid integer value."});
    QVERIFY(!r.w->CloseWhenFinished());
    QCOMPARE(r.History(), QStringList{kAttach});
  }
};

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  WindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
