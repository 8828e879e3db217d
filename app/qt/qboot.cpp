#include "app/qt/qboot.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QUrl>

#include <cmath>

#include "app/qt/qboot_look.h"
#include "app/qt/widgets.h"
#include "core/version.h"

namespace ql {

namespace {

QString FromView(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

TqBoot::TqBoot(EventLoop& loop, HidBackend& backend, WindowDialogs& dialogs, WindowOptions options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      dialogs_(dialogs) {
  InstallFontFallbacks();
  CreateControls();
  setAcceptDrops(true);
  form_ = std::make_unique<QBootForm>(loop, backend, static_cast<QBootView&>(*this), std::move(options));
}

TqBoot::~TqBoot() {
  // The form gathers and writes the settings, reading the window's placement,
  // while the window still exists.
  form_.reset();
}

void TqBoot::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (StatusBar1) StatusBar1->setGeometry(0, 338, width(), 19);
}

void TqBoot::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_once_) return;
  shown_once_ = true;
  form_->Shown();
}

void TqBoot::closeEvent(QCloseEvent* event) {
  if (form_->CloseRequested()) {
    event->accept();
  } else {
    event->ignore();
  }
}

// ---- Controls ------------------------------------------------------------------

QPushButton* TqBoot::Button(Control control) const {
  switch (control) {
    case Control::ButtonConnect:
      return ButtonConnect;
    case Control::ButtonOpenHex:
      return ButtonOpenHex;
    case Control::ButtonStartBootloader:
      return ButtonStartBootloader;
    case Control::AdvGlowButton1:
      return AdvGlowButton1;
  }
  return nullptr;
}

void TqBoot::SetCaption(Control control, std::string_view caption) { Button(control)->setText(FromView(caption)); }

void TqBoot::SetEnabled(Control control, bool enabled) { Button(control)->setEnabled(enabled); }

void TqBoot::SetLinkPicture(int picture) {
  const QPixmap pm = UsbTridentPicture(picture);
  QIcon icon;
  icon.addPixmap(pm, QIcon::Normal);
  icon.addPixmap(pm, QIcon::Disabled);  // the indicator is always disabled, never greyed
  AdvGlowButton2->setIcon(icon);
}

void TqBoot::SetMcuBox(std::string_view item, int item_index) {
  MCUComboBox->clear();
  if (!item.empty()) MCUComboBox->addItem(FromView(item));
  MCUComboBox->setCurrentIndex(item_index);
}

void TqBoot::SetDeviceBox(std::string_view item) {
  DeviceComboBox->clear();
  if (!item.empty()) {
    DeviceComboBox->addItem(FromView(item));
    DeviceComboBox->setCurrentIndex(0);
  }
}

// ---- Logs, status bar and progress ---------------------------------------------

void TqBoot::AppendHistory(std::string_view line) {
  MemoHistoryWindow->appendPlainText(FromView(line));
  MemoHistoryWindow->verticalScrollBar()->setValue(MemoHistoryWindow->verticalScrollBar()->maximum());
}

void TqBoot::AppendTerminal(const std::vector<std::string>& lines) {
  QStringList list;
  list.reserve(static_cast<qsizetype>(lines.size()));
  for (const std::string& l : lines) list.append(QString::fromStdString(l));
  MemoTerminalWindow->AppendLines(list);
}

void TqBoot::ClearTerminal() { MemoTerminalWindow->Clear(); }

QStringList TqBoot::HistoryLines() const {
  const QString text = MemoHistoryWindow->toPlainText();
  return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QStringList TqBoot::TerminalLines() {
  form_->FlushActivity();
  const auto& lines = MemoTerminalWindow->Lines();
  return QStringList(lines.begin(), lines.end());
}

void TqBoot::DropFiles(const QStringList& names) {
  std::vector<std::string> list;
  for (const QString& n : names) list.push_back(n.toStdString());
  form_->DropFiles(list);
}

int TqBoot::StatusTextWidth(std::string_view text) {
  return QFontMetrics(StatusBar1->font()).horizontalAdvance(FromView(text));
}

void TqBoot::ShowStatusText(std::string_view text) {
  status_text_ = FromView(text);
  StatusBar1->update();
}

void TqBoot::StatusBar1DrawPanel(QPainter& painter, const QRect& rect) {
  painter.setFont(StatusBar1->font());
  painter.setPen(ToQColor(kLogGrey));
  painter.setBrush(Qt::NoBrush);
  painter.setClipRect(rect, Qt::IntersectClip);
  const QFontMetrics fm(StatusBar1->font());
  painter.drawText(rect.left() + 2, rect.top() + 4 + fm.ascent(), status_text_);
}

void TqBoot::SetProgress(int position, int max) {
  ProgressBar1->setRange(0, max);
  ProgressBar1->setValue(position);
}

// ---- The window -----------------------------------------------------------------

void TqBoot::SetTitle(std::string_view title) { setWindowTitle(FromView(title)); }

void TqBoot::SetClientWidth(int width) {
  setFixedSize(width, kClientHeight);
  // Set here too: a hidden window gets its resize event only when shown,
  // and a status text set meanwhile is fitted to this width.
  StatusBar1->setGeometry(0, 338, width, 19);
}

void TqBoot::SetStripColour(Rgb colour) { AdvGroupBox8->SetColour(ToQColor(colour)); }

void TqBoot::ApplyGroupLook() {
  for (GroupBox* g : {AdvGroupBox1, AdvGroupBox3, AdvGroupBox4, AdvGroupBox5, AdvGroupBox6, AdvGroupBox7,
                      AdvGroupBox8, AdvGroupBox9})
    g->ApplyLook(ToQColor(kGroupColour));
  AdvGroupBox2->ApplyLook(ToQColor(kActivityColour));
}

std::string TqBoot::ReadFileVersion() { return kVersion; }

// ---- Placement ----------------------------------------------------------------------

ScreenInfo TqBoot::Screen() {
  ScreenInfo s;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    s.width = screen->size().width();
    s.height = screen->size().height();
    s.pixels_per_inch = static_cast<int>(std::lround(screen->logicalDotsPerInch()));
  }
  return s;
}

WindowPlacement TqBoot::Placement() {
  WindowPlacement placement;
  const Qt::WindowStates state = windowState();
  placement.show_cmd = (state & Qt::WindowMinimized) ? 2 : (state & Qt::WindowMaximized) ? 3 : 1;
  const QRect frame = frameGeometry();
  placement.norm = {frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()};
  return placement;
}

void TqBoot::MoveTo(const WindowPlacement& placement) { move(placement.norm[0], placement.norm[1]); }

void TqBoot::SetShowState(ShowState state) {
  switch (state) {
    case ShowState::Minimised:
      setWindowState(windowState() | Qt::WindowMinimized);
      break;
    case ShowState::Maximised:
      setWindowState(windowState() | Qt::WindowMaximized);
      break;
    case ShowState::Normal:
      break;
  }
}

// ---- Dialogs ------------------------------------------------------------------------

bool TqBoot::AskBootloaderArea() { return dialogs_.AskBootloaderArea(this); }

void TqBoot::DismissQuestion() {
  if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this) modal->close();
}

void TqBoot::ShowChecksumWarning(std::string_view text) { dialogs_.ShowChecksumWarning(this, FromView(text)); }

void TqBoot::ShowUploadEnd(std::string_view content, std::string_view detail) {
  dialogs_.ShowUploadEnd(this, FromView(content), FromView(detail));
}

void TqBoot::ShowError(std::string_view text, bool owned) { dialogs_.ShowError(owned ? this : nullptr, FromView(text)); }

std::optional<std::string> TqBoot::BrowseHexFile(std::string_view initial_dir, std::string_view file_name) {
  const std::optional<QString> chosen = dialogs_.BrowseHexFile(this, FromView(initial_dir), FromView(file_name));
  if (!chosen) return std::nullopt;
  return chosen->toStdString();
}

void TqBoot::CloseWindow() { close(); }

// ---- Drops ------------------------------------------------------------------------------

void TqBoot::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TqBoot::dropEvent(QDropEvent* event) {
  QStringList names;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) names << url.toLocalFile();
  event->acceptProposedAction();
  DropFiles(names);
}

}  // namespace ql
