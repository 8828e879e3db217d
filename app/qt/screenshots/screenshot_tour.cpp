#include "app/qt/screenshots/screenshot_tour.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QGuiApplication>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>

#include <memory>

#include "app/qt/qboot.h"

namespace ql {

namespace {

void SaveWindow(QWidget& w, const QString& path) { w.grab().save(path); }

void SaveScreenArea(const QRect& area, const QString& path) {
  if (QScreen* s = QGuiApplication::primaryScreen()) s->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(path);
}

}  // namespace

void StartScreenshotTour(TqBoot& window, const QString& out_dir, const QString& hex_file) {
  QDir().mkpath(out_dir);
  QTimer::singleShot(800, &window, [&window, out_dir] { SaveWindow(window, out_dir + "/collapsed.png"); });
  QTimer::singleShot(900, &window, [&window] { window.AdvGlowButton1Click(); });
  QTimer::singleShot(1700, &window, [&window, out_dir] { SaveWindow(window, out_dir + "/activity.png"); });
  QTimer::singleShot(1800, &window, [&window] { window.ButtonConnectClick(); });
  QTimer::singleShot(2300, &window, [&window, hex_file] { window.DropFiles({hex_file}); });
  QTimer::singleShot(2600, &window, [&window, out_dir] {
    // While the upload runs (the click below returns only after its end
    // dialog), a timer takes the picture of the running upload and another
    // answers the end dialog.
    auto* during = new QTimer(&window);
    QObject::connect(during, &QTimer::timeout, &window, [&window, out_dir, during] {
      if (window.ProgressPosition() * 5 < window.ProgressBar1->maximum() * 2) return;  // 40 %
      during->stop();
      SaveWindow(window, out_dir + "/uploading.png");
    });
    during->start(20);
    auto* watch = new QTimer(&window);
    QObject::connect(watch, &QTimer::timeout, &window, [&window, out_dir, watch] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      if (dialog->property("tour").toBool()) return;  // already being answered
      dialog->setProperty("tour", true);
      if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
        // The bootloader-area question: pictured once, answered OK.
        QTimer::singleShot(300, box, [&window, box, out_dir] {
          SaveScreenArea(window.frameGeometry().united(box->frameGeometry()), out_dir + "/question.png");
          if (box->defaultButton()) box->defaultButton()->click();
        });
        return;
      }
      watch->stop();
      QTimer::singleShot(300, dialog, [&window, dialog, out_dir] {
        const QRect area = window.frameGeometry().united(dialog->frameGeometry());
        SaveScreenArea(area, out_dir + "/finished-dialog.png");
        dialog->accept();
      });
    });
    watch->start(100);
    window.ButtonStartBootloaderClick();
    QTimer::singleShot(600, &window, [&window, out_dir] {
      SaveWindow(window, out_dir + "/after.png");
      window.close();
    });
  });
}

}  // namespace ql
