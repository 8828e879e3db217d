#include "app/qboot.h"

#include <QCheckBox>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
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

#include <algorithm>
#include <cmath>

#include "app/list_items.h"
#include "app/markup.h"
#include "app/path_fit.h"
#include "app/qboot_look.h"
#include "app/widgets.h"
#include "core/version.h"

namespace ql {

namespace {

constexpr int kTerminalFlushMs = 25;  // about one repaint per frame
constexpr int kSlideStep = 20;
constexpr int kSlideTickMs = 15;

QString FromView(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

bool IsHexFile(const QString& path) {
  const QFileInfo info(path);
  return info.isFile() && info.fileName().endsWith(QStringLiteral(".hex"), Qt::CaseInsensitive);
}

}  // namespace

TqBoot::TqBoot(EventLoop& loop, HidBackend& backend, WindowDialogs& dialogs, WindowOptions options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      loop_(loop),
      dialogs_(dialogs),
      options_(std::move(options)),
      exchange_(loop) {
  InstallFontFallbacks();
  // The settings are read while the window's contents are created.
  if (!options_.settings_path.empty()) settings_ = IniFile::Load(options_.settings_path);
  CreateControls();
  link_ = std::make_unique<DeviceLink>(loop_, backend, exchange_, *this);
  FormCreate();
}

TqBoot::~TqBoot() {
  if (flush_timer_) loop_.cancel(flush_timer_);
  if (timer1_) loop_.cancel(timer1_);
  if (!settings_gathered_) GatherSettings();
  // FormDestroy: the device list goes (its readers stop) before the window.
  link_.reset();
  // A save that fails is said once, in the general error report: the window
  // is gone by now, so its history cannot show it.
  std::string error;
  if (!options_.settings_path.empty() && !settings_.Save(options_.settings_path, &error) && !error.empty()) {
    dialogs_.ShowError(nullptr, ErrorReportText(QStringLiteral("The settings could not be saved to \"%1\": %2")
                                                    .arg(QString::fromStdString(options_.settings_path),
                                                         QString::fromStdString(error))));
  }
}

void TqBoot::FormCreate() {
  // Exchange and link start with a 64-byte TransferBuffer, not connected,
  // warning on removal.
  setAcceptDrops(true);
  FullWidth = kClientWidth;
  SetClientWidth(CollapsedWidth());
  setWindowTitle(windowTitle() + QStringLiteral(" v") + QString::fromLatin1(kVersion));

  if (options_.command_line_file) {
    const QString& arg = *options_.command_line_file;
    if (IsHexFile(arg)) {
      SetStatusText(arg);
      if (LoadFile(arg)) AppendHistory(("Opened: " + arg).toStdString());
    }
  }
}

int TqBoot::CollapsedWidth() const {
  return AdvPanel1->x() + AdvGroupBox3->x() + AdvGroupBox3->width() + 6;
}

void TqBoot::SetClientWidth(int width) {
  setFixedSize(width, kClientHeight);
  // Set here too: a hidden window gets its resize event only when shown,
  // and a status text set meanwhile is fitted to this width.
  StatusBar1->setGeometry(0, 338, width, 19);
}

void TqBoot::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (StatusBar1) StatusBar1->setGeometry(0, 338, width(), 19);
}

void TqBoot::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_once_) return;
  shown_once_ = true;
  ApplySettings();
  FormShow();
}

void TqBoot::FormShow() {
  AppendHistory("Attach USB HID device or reset if attached.");
  for (GroupBox* g : {AdvGroupBox1, AdvGroupBox3, AdvGroupBox4, AdvGroupBox5, AdvGroupBox6, AdvGroupBox7,
                      AdvGroupBox8, AdvGroupBox9})
    g->ApplyLook(kGroupColour);
  AdvGroupBox2->ApplyLook(kActivityColour);
}

// ---- Settings ------------------------------------------------------------------

namespace {

ScreenInfo CurrentScreen() {
  ScreenInfo s;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    s.width = screen->size().width();
    s.height = screen->size().height();
    s.pixels_per_inch = static_cast<int>(std::lround(screen->logicalDotsPerInch()));
  }
  return s;
}

}  // namespace

void TqBoot::ApplySettings() {
  WindowPlacement current;
  const QRect frame = frameGeometry();
  current.norm = {frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()};
  const AppliedSettings applied = ApplyFormSettings(settings_, CurrentScreen(), current);
  if (applied.placement) move(applied.placement->norm[0], applied.placement->norm[1]);
  if (applied.show_state) {
    switch (*applied.show_state) {
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
  if (applied.close_when_finished) CheckBoxClose->setChecked(*applied.close_when_finished);
  if (applied.initial_dir) open_dialog_initial_dir_ = QString::fromStdString(*applied.initial_dir);
  if (applied.file_name) open_dialog_file_name_ = QString::fromStdString(*applied.file_name);
  if (applied.mcu_item_index && *applied.mcu_item_index < MCUComboBox->count())
    MCUComboBox->setCurrentIndex(std::max(-1, *applied.mcu_item_index));
  if (applied.error) dialogs_.ShowError(this, ErrorReportText(QString::fromStdString(*applied.error)));
}

void TqBoot::GatherSettings() {
  settings_gathered_ = true;
  WindowPlacement placement;
  const Qt::WindowStates state = windowState();
  placement.show_cmd = (state & Qt::WindowMinimized) ? 2 : (state & Qt::WindowMaximized) ? 3 : 1;
  const QRect frame = frameGeometry();
  placement.norm = {frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()};
  StoredProps props;
  props.close_when_finished = CheckBoxClose->isChecked();
  props.initial_dir = open_dialog_initial_dir_.toStdString();
  props.file_name = open_dialog_file_name_.toStdString();
  props.mcu_item_index = MCUComboBox->currentIndex();
  GatherFormSettings(settings_, CurrentScreen(), placement, props);
}

bool TqBoot::CloseWhenFinished() const { return CheckBoxClose->isChecked(); }
void TqBoot::SetCloseWhenFinished(bool on) { CheckBoxClose->setChecked(on); }

void TqBoot::closeEvent(QCloseEvent* event) {
  // A close during an upload is its stop request: the window stays until the
  // device has closed its open command (the history says so) and then closes.
  if (upload_active_) {
    if (!closing_) {
      closing_ = true;
      UploadRunning = false;
      ButtonStartBootloader->setText(QStringLiteral("Begin uploading"));
      link_->Stop();
      // An open question (a close that comes from outside, such as SIGTERM)
      // is answered No: the upload ends before anything is erased.
      if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this) modal->close();
    }
    event->ignore();
    return;
  }
  // A close inside another wait (a connect) ends that wait first: the
  // handler below it then winds up and nothing keeps talking to the device.
  if (loop_.in_wait()) {
    closing_ = true;
    link_->Stop();
  }
  GatherSettings();
  event->accept();
}

// ---- Logs, status bar and progress ---------------------------------------------

void TqBoot::AppendHistory(std::string_view line) {
  MemoHistoryWindow->appendPlainText(FromView(line));
  MemoHistoryWindow->verticalScrollBar()->setValue(MemoHistoryWindow->verticalScrollBar()->maximum());
}

void TqBoot::AppendTerminal(std::string_view line) {
  // One line per written byte: gathered here and shown once a frame.
  pending_terminal_.append(FromView(line));
  ScheduleFlush();
}

void TqBoot::ClearTerminal() {
  pending_terminal_.clear();
  MemoTerminalWindow->Clear();
}

void TqBoot::ScheduleFlush() {
  if (flush_timer_) return;
  flush_timer_ = loop_.schedule_after(from_ms(kTerminalFlushMs), [this] {
    flush_timer_ = 0;
    FlushActivity();
  });
}

void TqBoot::FlushActivity() {
  if (!pending_terminal_.isEmpty()) {
    MemoTerminalWindow->AppendLines(pending_terminal_);
    pending_terminal_.clear();
  }
  if (progress_dirty_) {
    progress_dirty_ = false;
    ProgressBar1->setValue(progress_value_);
  }
}

QStringList TqBoot::HistoryLines() const {
  const QString text = MemoHistoryWindow->toPlainText();
  return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QStringList TqBoot::TerminalLines() {
  FlushActivity();
  const auto& lines = MemoTerminalWindow->Lines();
  return QStringList(lines.begin(), lines.end());
}

void TqBoot::SetStatusText(const QString& path) {
  const QFontMetrics fm(StatusBar1->font());
  const int max_width = StatusBar1->width() - fm.horizontalAdvance(QStringLiteral("W"));
  status_text_ = FitPathToWidth(QStringLiteral(": ") + path,
                                [&fm](const QString& s) { return fm.horizontalAdvance(s); }, max_width);
  StatusBar1->update();
}

void TqBoot::StatusBar1DrawPanel(QPainter& painter, const QRect& rect) {
  painter.setFont(StatusBar1->font());
  painter.setPen(kLogGrey);
  painter.setBrush(Qt::NoBrush);
  painter.setClipRect(rect, Qt::IntersectClip);
  const QFontMetrics fm(StatusBar1->font());
  painter.drawText(rect.left() + 2, rect.top() + 4 + fm.ascent(), status_text_);
}

void TqBoot::ProgressSetMax(std::int64_t max) {
  progress_max_ = static_cast<int>(std::clamp<std::int64_t>(max, 0, INT32_MAX));
  progress_value_ = 0;
  progress_dirty_ = false;
  ProgressBar1->setRange(0, progress_max_);
  ProgressBar1->setValue(0);
}

void TqBoot::ProgressStep() {
  progress_value_ = std::min(progress_value_ + 7, progress_max_);
  progress_dirty_ = true;
  ScheduleFlush();
}

// ---- Link view ------------------------------------------------------------------

void TqBoot::ShowMcuType(std::uint8_t mcu_type) {
  shown_mcu_type_ = mcu_type;
  const std::string item = McuItem(mcu_type);
  MCUComboBox->clear();
  if (!item.empty()) {
    MCUComboBox->addItem(FromView(item));
    MCUComboBox->setCurrentIndex(0);
  }
}

void TqBoot::ShowDeviceName(std::string_view boot_device_name) {
  const std::string item = DeviceItem(boot_device_name);
  DeviceComboBox->clear();
  if (!item.empty()) {
    DeviceComboBox->addItem(FromView(item));
    DeviceComboBox->setCurrentIndex(0);
  }
}

void TqBoot::SetLinkPicture(int picture) {
  link_picture_ = picture;
  const QPixmap pm = UsbTridentPicture(picture);
  QIcon icon;
  icon.addPixmap(pm, QIcon::Normal);
  icon.addPixmap(pm, QIcon::Disabled);  // the indicator is always disabled, never greyed
  AdvGlowButton2->setIcon(icon);
}

void TqBoot::SetConnectCaption(std::string_view caption) { ButtonConnect->setText(FromView(caption)); }

void TqBoot::SetStartEnabled(bool enabled) { ButtonStartBootloader->setEnabled(enabled); }

std::string TqBoot::DeviceName() { return link_->RemovedDeviceName(); }

McuFamily TqBoot::ShownFamily() const {
  if (MCUComboBox->count() == 0) return McuFamily::None;
  return FamilyFromMcuType(shown_mcu_type_);
}

// ---- Workflow -------------------------------------------------------------------

void TqBoot::ButtonConnectClick() { link_->ButtonConnectClick(); }

void TqBoot::ButtonStartBootloaderClick() {
  if (!link_->Connected) {
    AppendHistory("Error: Connect first.");
    return;
  }
  if (status_text_ == NoFileText) {
    AppendHistory("Error: Load HEX file first.");
    return;
  }
  if (UploadRunning) {
    // The stop request. The device may still be inside a write command that
    // takes whatever comes next as data, so Connect and Browse stay disabled
    // until the upload has closed it (FinishUpload enables them).
    UploadRunning = false;
    ButtonStartBootloader->setText(QStringLiteral("Begin uploading"));
    link_->Stop();
    return;
  }
  if (upload_active_) return;  // a stopped transfer is still ending: one upload at a time

  ButtonConnect->setEnabled(false);
  ButtonOpenHex->setEnabled(false);
  UploadRunning = true;
  ButtonStartBootloader->setText(QStringLiteral("Stop uploading"));
  AppendHistory("Uploading:");

  upload_active_ = true;
  const UploadOutcome outcome = link_->Upload(FlashImage_);
  upload_active_ = false;
  FlushActivity();
  if (outcome != UploadOutcome::Completed && outcome != UploadOutcome::Stopped) {
    if (closing_) close();
    return;
  }

  // The reset has ended the connection: the device's restart, which usually
  // arrives while the dialog is open, is the silent removal it is meant to be.
  if (outcome == UploadOutcome::Completed) link_->Connected = false;
  ButtonStartBootloader->setText(QStringLiteral("Begin uploading"));
  const bool finished = outcome == UploadOutcome::Completed && UploadRunning;
  if (!closing_) {
    const QString file = QLatin1Char('"') + open_dialog_file_name_ + QLatin1Char('"');
    if (finished) {
      dialogs_.ShowUploadEnd(this, QStringLiteral("Uploading program has finished."),
                             QStringLiteral("Uploading program ") + file + QStringLiteral(" has finished with success."));
    } else {
      dialogs_.ShowUploadEnd(this, QStringLiteral("Uploading program was aborted."),
                             QStringLiteral("Uploading program ") + file + QStringLiteral(" was aborted."));
    }
  }
  FinishUpload();
  if (closing_) {
    close();  // the close that stopped the upload
    return;
  }
  if (outcome == UploadOutcome::Completed && CheckBoxClose->isChecked()) close();
}

void TqBoot::FinishUpload() {
  link_->Connected = false;
  ButtonConnect->setEnabled(true);
  ButtonConnect->setText(QStringLiteral("Connect"));
  ButtonOpenHex->setEnabled(true);
  AppendHistory("Disconnected.");
  FlushActivity();
  progress_value_ = 0;
  progress_dirty_ = false;
  ProgressBar1->setValue(0);
  UploadRunning = false;
  ButtonStartBootloader->setText(QStringLiteral("Begin uploading"));
}

bool TqBoot::AskBootloaderArea() { return dialogs_.AskBootloaderArea(this); }

void TqBoot::AdvGlowButton1Click() {
  if (ActivityShown) {
    AdvGlowButton1->setText(QStringLiteral("Show Activity"));
    ActivityShown = false;
  } else {
    // The strip takes the panel's colour so that both read as one surface.
    AdvGroupBox8->SetColour(kActivityColour);
    AdvGlowButton1->setText(QStringLiteral("Hide Activity"));
    ActivityShown = true;
  }
  RestartTimer1();
}

void TqBoot::RestartTimer1() {
  if (timer1_) loop_.cancel(timer1_);
  timer1_ = loop_.schedule_after(from_ms(kSlideTickMs), [this] {
    timer1_ = 0;
    Timer1Timer();
  });
}

void TqBoot::Timer1Timer() {
  if (timer1_) {
    loop_.cancel(timer1_);
    timer1_ = 0;
  }
  if (ActivityShown) {
    const int next = width() + kSlideStep;
    if (next >= FullWidth) {
      SetClientWidth(FullWidth);
      return;
    }
    SetClientWidth(next);
  } else {
    const int next = width() - kSlideStep;
    if (CollapsedWidth() >= next) {
      AdvGroupBox8->SetColour(kGroupColour);
      SetClientWidth(CollapsedWidth());
      return;
    }
    SetClientWidth(next);
  }
  RestartTimer1();
}

// ---- Choosing a file ------------------------------------------------------------

bool TqBoot::LoadFile(const QString& path) {
  const LoadResult r = LoadHexFile(path.toStdString(), ShownFamily(), FlashImage_);
  switch (r.status) {
    case LoadResult::Status::Ok:
    case LoadResult::Status::NotFound:
      return true;
    case LoadResult::Status::ChecksumFailed:
      // The load ends normally: the file counts as loaded, with an empty image.
      dialogs_.ShowChecksumWarning(this, QString::fromStdString(r.message));
      return true;
    default:
      dialogs_.ShowError(this, ErrorReportText(QString::fromStdString(r.message)));
      return false;
  }
}

void TqBoot::ButtonOpenHexClick() {
  if (!link_->Connected) {
    AppendHistory("Error: Connect first.");
    return;
  }
  const std::optional<QString> chosen =
      dialogs_.BrowseHexFile(this, open_dialog_initial_dir_, open_dialog_file_name_);
  if (!chosen) return;
  const QString path = *chosen;
  open_dialog_file_name_ = path;
  if (IsHexFile(path)) {
    SetStatusText(path);
    if (LoadFile(path)) AppendHistory(("Opened: " + path).toStdString());
  } else {
    AppendHistory(("File not found: " + path).toStdString());
  }
}

void TqBoot::DropFiles(const QStringList& names) {
  for (const QString& name : names) {
    if (!IsHexFile(name)) continue;
    if (upload_active_) {
      // The running upload owns its copy of the image; a new file now would
      // only confuse what the status bar names.
      AppendHistory(("Error: Upload in progress, not opened: " + name).toStdString());
      return;
    }
    AppendHistory(("Opened: " + name).toStdString());
    SetStatusText(name);
    LoadFile(name);
    return;
  }
}

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
