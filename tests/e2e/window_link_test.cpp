// The window's device link on the real Linux backend, against quelloader-sim
// as a kernel HID device (/dev/uhid): udev monitoring, hidraw I/O and unplug
// are the kernel's own. Runs inside the end-to-end guest only (it needs
// /dev/uhid), in real time; every wait polls the window's state with a limit.
//
// Environment: QUELLOADER_SIM (the simulator, default quelloader-sim on PATH),
// QUELLOADER_E2E_HEX (the HEX file to upload) and QUELLOADER_E2E_EXPECTED (the
// flash that upload must leave, computed outside from the HEX file).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>
#include <vector>

#include "app/dialogs.h"
#include "app/qboot.h"
#include "app/qt_event_loop.h"
#include "app/widgets.h"
#include "hid/linux_hid_backend.h"

using namespace ql;

namespace {

// Real time in the emulated guest is slow: generous limits, polled.
constexpr int kAppearMs = 20000;
constexpr int kLeaveMs = 10000;
constexpr int kUploadMs = 20000;

struct RecordingDialogs final : WindowDialogs {
  QStringList ends, errors, warnings;
  bool AskBootloaderArea(QWidget*) override { return false; }
  void ShowChecksumWarning(QWidget*, const QString& text) override { warnings << text; }
  void ShowUploadEnd(QWidget*, const QString& content, const QString&) override { ends << content; }
  void ShowError(QWidget*, const QString& text) override { errors << text; }
  std::optional<QString> BrowseHexFile(QWidget*, const QString&, const QString&) override {
    return std::nullopt;
  }
};

QString Env(const char* name, const char* fallback = "") {
  const QByteArray v = qgetenv(name);
  return v.isEmpty() ? QString::fromLatin1(fallback) : QString::fromLocal8Bit(v);
}

// quelloader-sim as a child process: its device exists while it runs.
class SimProcess {
 public:
  explicit SimProcess(QStringList args) {
    proc_.setProcessChannelMode(QProcess::ForwardedChannels);
    proc_.start(Env("QUELLOADER_SIM", "quelloader-sim"), args);
  }
  ~SimProcess() {
    if (proc_.state() != QProcess::NotRunning) {
      proc_.kill();
      proc_.waitForFinished(5000);
    }
  }
  bool started() { return proc_.waitForStarted(5000); }
  // Unplug as the kernel sees it: the process dies and its /dev/uhid file
  // closes, which destroys the device.
  void Kill() {
    proc_.kill();
    proc_.waitForFinished(5000);
  }
  QProcess& process() { return proc_; }
  bool running() const { return proc_.state() != QProcess::NotRunning; }

 private:
  QProcess proc_;
};

struct Rig {
  QtEventLoop loop;
  std::unique_ptr<HidBackend> backend = MakeLinuxHidBackend();
  RecordingDialogs dialogs;
  std::unique_ptr<TqBoot> w;

  Rig() {
    w = std::make_unique<TqBoot>(loop, *backend, dialogs, WindowOptions{});
    w->show();
  }
  QStringList History() const { return w->HistoryLines(); }
  // Waits for the link picture to turn red (a bootloader answered), or for
  // the simulator to end first.
  bool Appeared(SimProcess& sim) {
    QElapsedTimer t;
    t.start();
    while (w->LinkPicture() != 1 && sim.running() && t.elapsed() < kAppearMs) QTest::qWait(20);
    return w->LinkPicture() == 1;
  }
};

}  // namespace

class WindowLinkTest : public QObject {
  Q_OBJECT

 private slots:
  void linkTurnsRedWhenTheBootloaderAppears() {
    Rig r;
    QCOMPARE(r.w->LinkPicture(), 0);
    SimProcess sim({QStringLiteral("pic18")});
    QVERIFY(sim.started());
    QVERIFY(r.Appeared(sim));
    QVERIFY(!r.w->link().ShownDeviceName().empty());
    QVERIFY(!r.w->Connected());
    // Leaving the bus while not connected: the picture goes back, silently.
    sim.Kill();
    QTRY_COMPARE_WITH_TIMEOUT(r.w->LinkPicture(), 0, kLeaveMs);
    for (const QString& line : r.History()) QVERIFY2(!line.contains(QLatin1String("removed")), qPrintable(line));
  }

  void connectUploadAndTheResetLeavesTheBus() {
    const QString hex = Env("QUELLOADER_E2E_HEX");
    const QString expected_path = Env("QUELLOADER_E2E_EXPECTED");
    if (hex.isEmpty() || expected_path.isEmpty()) QSKIP("QUELLOADER_E2E_HEX and QUELLOADER_E2E_EXPECTED not set");
    QTemporaryDir tmp;
    const QString dump = tmp.filePath(QStringLiteral("flash.bin"));
    Rig r;
    SimProcess sim({QStringLiteral("pic18"), QStringLiteral("--dump-flash"), dump});
    QVERIFY(sim.started());
    QVERIFY(r.Appeared(sim));

    r.w->ButtonConnect->click();
    QVERIFY(r.w->Connected());
    r.w->DropFiles({hex});
    QCOMPARE(r.w->StatusText(), QStringLiteral(": ") + hex);  // the status panel names the loaded file
    r.w->ButtonStartBootloader->click();
    QTRY_VERIFY2_WITH_TIMEOUT(!r.dialogs.ends.isEmpty() || r.History().contains(QStringLiteral("Disconnected.")),
                              qPrintable(r.History().join(QLatin1Char('|'))), kUploadMs);
    QVERIFY2(r.dialogs.ends == QStringList{QStringLiteral("Uploading program has finished.")},
             qPrintable(r.History().join(QLatin1Char('|'))));
    QVERIFY(r.History().contains(QStringLiteral("Completed successfully.")));
    QVERIFY(r.dialogs.errors.isEmpty());

    // The reset makes the device leave the bus; its removal passes silently.
    QVERIFY(sim.process().waitForFinished(kLeaveMs));
    QCOMPARE(sim.process().exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(r.w->LinkPicture(), 0, kLeaveMs);
    QVERIFY(!r.w->Connected());
    for (const QString& line : r.History()) QVERIFY2(!line.contains(QLatin1String("removed")), qPrintable(line));

    QFile got(dump), want(expected_path);
    QVERIFY(got.open(QIODevice::ReadOnly));
    QVERIFY(want.open(QIODevice::ReadOnly));
    const QByteArray a = got.readAll(), b = want.readAll();
    QCOMPARE(a.size(), b.size());
    for (qsizetype i = 0; i < a.size(); ++i) {
      if (a[i] != b[i]) QFAIL(qPrintable(QStringLiteral("flash differs first at 0x%1").arg(i, 0, 16)));
    }
  }

  void removalWhileConnectedIsReported() {
    Rig r;
    SimProcess sim({QStringLiteral("pic18")});
    QVERIFY(sim.started());
    QVERIFY(r.Appeared(sim));
    const QString name = QString::fromStdString(r.w->link().ShownDeviceName());
    r.w->ButtonConnect->click();
    QVERIFY(r.w->Connected());

    sim.Kill();
    QTRY_VERIFY_WITH_TIMEOUT(!r.w->Connected(), kLeaveMs);
    QCOMPARE(r.w->LinkPicture(), 0);
    const QStringList h = r.History();
    const qsizetype at = h.indexOf(QStringLiteral("Device %1 removed.").arg(name));
    QVERIFY2(at >= 0, qPrintable(h.join(QLatin1Char('|'))));
    QVERIFY(at + 1 < h.size());
    QCOMPARE(h[at + 1], QStringLiteral("Disconnected."));
    QCOMPARE(r.w->ButtonConnect->text(), QStringLiteral("Connect"));
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quelloader"));
  WindowLinkTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_link_test.moc"
