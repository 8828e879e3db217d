// The window's device link on the real Linux backend, against quelloader-sim
// as a kernel HID device (/dev/uhid): udev monitoring, hidraw I/O and unplug
// are the kernel's own. Runs inside the end-to-end guest only (it needs
// /dev/uhid), in real time; every wait polls the window's state with a limit.
//
// Environment: QUELLOADER_SIM (the simulator, default quelloader-sim on PATH),
// QUELLOADER_E2E_SIM_ARGS (more arguments for it: "--usb" makes it a USB
// gadget), QUELLOADER_E2E_HEX (the HEX file to upload) and
// QUELLOADER_E2E_EXPECTED (the flash that upload must leave, computed outside
// from the HEX file).
#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>
#include <vector>

#include "app/qt/dialogs.h"
#include "app/qt/qboot.h"
#include "app/qt/qt_event_loop.h"
#include "app/qt/widgets.h"
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
    const QString extra = Env("QUELLOADER_E2E_SIM_ARGS");
    usb_ = extra.contains(QLatin1String("--usb"));
    if (!extra.isEmpty()) args += extra.split(QLatin1Char(' '), Qt::SkipEmptyParts);
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
  // closes, which destroys the device. A USB gadget outlives a killed
  // process, so that one is asked to leave (it unbinds its controller).
  void Kill() {
    if (usb_) {
      proc_.terminate();
    } else {
      proc_.kill();
    }
    proc_.waitForFinished(5000);
  }
  // The gadget's controller binding (configfs), for plugs without a process.
  QString UdcFile() const {
    return QStringLiteral("/sys/kernel/config/usb_gadget/quelloader-sim.%1/UDC").arg(proc_.processId());
  }
  QProcess& process() { return proc_; }
  bool running() const { return proc_.state() != QProcess::NotRunning; }

 private:
  QProcess proc_;
  bool usb_ = false;
};

int CountEntries(const char* dir) {
  return static_cast<int>(
      QDir(QString::fromLatin1(dir)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

bool WriteUdc(const QString& file, const QByteArray& text) {
  QFile f(file);
  return f.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && f.write(text) == text.size();
}


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

int BootloadersListed(Rig& r) {
  int n = 0;
  for (const auto& e : r.w->link().HidDeviceList()) {
    if (e.device && e.device->ProductText() == BootloaderProductName) ++n;
  }
  return n;
}

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

  // Run by the udev_trigger scenario as a user without access to the
  // bootloader's node: the window cannot open it, and the access the
  // scenario's `udevadm trigger` then gives is picked up without a replug.
  void accessGivenByTriggerIsPickedUp() {
    const QString mark = Env("QUELLOADER_E2E_TRIGGER_MARK");
    if (mark.isEmpty()) QSKIP("run by the udev_trigger scenario");
    Rig r;
    QTRY_VERIFY_WITH_TIMEOUT(r.w->link().ListRebuildCount() > 0, kAppearMs);
    QTest::qWait(500);
    QCOMPARE(r.w->LinkPicture(), 0);
    QCOMPARE(BootloadersListed(r), 1);
    {
      QFile f(mark);
      QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QTRY_COMPARE_WITH_TIMEOUT(r.w->LinkPicture(), 1, kAppearMs);
    QVERIFY(!r.w->link().ShownDeviceName().empty());
  }

  // 20 plugs and unplugs of a USB gadget in quick succession (its controller
  // unbound and bound again, some before enumeration ends) while the window
  // runs: afterwards it lists exactly the one bootloader, has as many
  // threads and descriptors as before the storm, and an upload succeeds.
  void plugStormLeavesNothingBehind() {
    if (!Env("QUELLOADER_E2E_SIM_ARGS").contains(QLatin1String("--usb"))) QSKIP("needs a USB gadget");
    const QString hex = Env("QUELLOADER_E2E_HEX");
    const QString expected_path = Env("QUELLOADER_E2E_EXPECTED");
    if (hex.isEmpty() || expected_path.isEmpty()) QSKIP("QUELLOADER_E2E_HEX and QUELLOADER_E2E_EXPECTED not set");
    QTemporaryDir tmp;
    const QString dump = tmp.filePath(QStringLiteral("flash.bin"));
    Rig r;
    SimProcess sim({QStringLiteral("pic18"), QStringLiteral("--dump-flash"), dump});
    QVERIFY(sim.started());
    QVERIFY(r.Appeared(sim));
    QTest::qWait(300);
    const int threads = CountEntries("/proc/self/task"), fds = CountEntries("/proc/self/fd");
    QFile udc_file(sim.UdcFile());
    QVERIFY2(udc_file.open(QIODevice::ReadOnly), qPrintable(sim.UdcFile()));
    const QByteArray udc = udc_file.readAll().trimmed();
    udc_file.close();
    QVERIFY(!udc.isEmpty());

    QElapsedTimer storm;
    storm.start();
    for (int i = 0; i < 20; ++i) {
      QVERIFY(WriteUdc(sim.UdcFile(), "\n"));
      QTest::qWait(10 + (i * 37) % 90);
      QVERIFY(WriteUdc(sim.UdcFile(), udc));
      QTest::qWait(10 + (i * 53) % 120);
    }
    const qint64 storm_ms = storm.elapsed();
    // Settled: the last plug's node is there, and the link answered on it.
    QTRY_VERIFY_WITH_TIMEOUT(r.w->LinkPicture() == 1 && BootloadersListed(r) == 1, kAppearMs);
    QTest::qWait(1000);
    QCOMPARE(BootloadersListed(r), 1);
    QCOMPARE(r.w->LinkPicture(), 1);
    const int threads_after = CountEntries("/proc/self/task"), fds_after = CountEntries("/proc/self/fd");
    qDebug().noquote() << QStringLiteral("storm: 20 cycles in %1 ms; threads %2 -> %3, descriptors %4 -> %5, %6 rebuilds")
                              .arg(storm_ms).arg(threads).arg(threads_after).arg(fds).arg(fds_after)
                              .arg(r.w->link().ListRebuildCount());
    QCOMPARE(threads_after, threads);
    QCOMPARE(fds_after, fds);

    r.w->ButtonConnect->click();
    QVERIFY(r.w->Connected());
    r.w->DropFiles({hex});
    r.w->ButtonStartBootloader->click();
    QTRY_VERIFY2_WITH_TIMEOUT(!r.dialogs.ends.isEmpty() || r.History().contains(QStringLiteral("Disconnected.")),
                              qPrintable(r.History().join(QLatin1Char('|'))), kUploadMs);
    QVERIFY2(r.History().contains(QStringLiteral("Completed successfully.")),
             qPrintable(r.History().join(QLatin1Char('|'))));
    QVERIFY(sim.process().waitForFinished(kLeaveMs));
    QFile got(dump), want(expected_path);
    QVERIFY(got.open(QIODevice::ReadOnly));
    QVERIFY(want.open(QIODevice::ReadOnly));
    QVERIFY(got.readAll() == want.readAll());
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quelloader"));
  WindowLinkTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_link_test.moc"
