#pragma once
// The main window qBoot: the four workflow steps on the left, device name,
// MCU type and history on the right, the progress strip and the sliding
// terminal-activity panel, and the status bar naming the loaded HEX file.

#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

#include "app/dialogs.h"
#include "app/form_storage.h"
#include "app/ini_file.h"
#include "core/event_loop.h"
#include "session/device_link.h"
#include "image/flash_image.h"
#include "protocol/exchange.h"
#include "upload/upload_engine.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QCheckBox;

namespace ql {

class GlowButton;
class LineLogView;
class GroupBox;
class MarkupComboBox;
class MarkupLabel;
class StatusBar;

struct WindowOptions {
  // Where Settings.ini is read from and written to; empty: no settings file.
  std::string settings_path;
  // The HEX file named on the command line, if any.
  std::optional<QString> command_line_file;
};

// Fonts the window names, mapped to installed ones when missing.
void InstallFontFallbacks();

class TqBoot : public QWidget, public DeviceLinkView {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 682;
  static constexpr int kClientHeight = 357;
  inline static const QString NoFileText = QStringLiteral(": No files opened.");

  TqBoot(EventLoop& loop, HidBackend& backend, WindowDialogs& dialogs, WindowOptions options,
         QWidget* parent = nullptr);
  ~TqBoot() override;

  // ---- Workflow state ------------------------------------------------------
  bool Connected() const { return link_->Connected; }
  bool UploadRunning = false;
  bool ActivityShown = false;
  int FullWidth = kClientWidth;
  // The Device group's right edge + 6: the activity panel starts beyond it.
  int CollapsedWidth() const;
  // True from the start of an upload until it has returned (also after
  // a stop request, while the stopped transfer ends).
  bool UploadActive() const { return upload_active_; }

  DeviceLink& link() { return *link_; }
  Exchange& exchange() { return exchange_; }
  const FlashImage& image() const { return FlashImage_; }

  // ---- Handlers --------------------------------------------------------------
  void ButtonConnectClick();
  void ButtonOpenHexClick();
  void ButtonStartBootloaderClick();
  void AdvGlowButton1Click();
  void Timer1Timer();
  // Files dropped on the window, in the order the desktop gives them.
  void DropFiles(const QStringList& names);

  // ---- Logs and status (the window's side) ---------------------------------
  void AppendHistory(std::string_view line) override;
  void AppendTerminal(std::string_view line) override;
  void ClearTerminal() override;
  void SetStatusText(const QString& path);
  const QString& StatusText() const { return status_text_; }
  QStringList HistoryLines() const;
  QStringList TerminalLines();  // shows pending lines first
  // Appends the terminal lines and the progress gathered since the last frame.
  void FlushActivity();
  int ProgressPosition() const { return progress_value_; }
  bool CloseWhenFinished() const;
  void SetCloseWhenFinished(bool on);
  const QString& OpenDialogFileName() const { return open_dialog_file_name_; }
  const QString& OpenDialogInitialDir() const { return open_dialog_initial_dir_; }

  // ---- The session's upload view --------------------------------------------------
  void ProgressSetMax(std::int64_t max) override;
  void ProgressStep() override;
  bool AskBootloaderArea() override;
  void FinishUpload() override;
  std::string DeviceName() override;

  // ---- DeviceLinkView ------------------------------------------------------------
  void ShowMcuType(std::uint8_t mcu_type) override;
  void ShowDeviceName(std::string_view boot_device_name) override;
  void SetLinkPicture(int picture) override;
  void SetConnectCaption(std::string_view caption) override;
  void SetStartEnabled(bool enabled) override;
  int LinkPicture() const { return link_picture_; }

  // The store as it would be written now (tests and the writer).
  void GatherSettings();
  const IniFile& Settings() const { return settings_; }

  // ---- Controls, by their layout names -------------------------------------------
  QWidget* AdvPanel1 = nullptr;
  QLabel* JvLabel4 = nullptr;
  GroupBox* AdvGroupBox1 = nullptr;  // history
  GroupBox* AdvGroupBox2 = nullptr;  // activity panel
  GroupBox* AdvGroupBox3 = nullptr;  // device
  GroupBox* AdvGroupBox4 = nullptr;  // step 1
  GroupBox* AdvGroupBox5 = nullptr;  // step 2
  GroupBox* AdvGroupBox6 = nullptr;  // step 3
  GroupBox* AdvGroupBox7 = nullptr;  // step 4
  GroupBox* AdvGroupBox8 = nullptr;  // progress strip
  GroupBox* AdvGroupBox9 = nullptr;  // MCU type
  QWidget* Panel1 = nullptr;
  QLabel* JvLabel1 = nullptr;
  QLabel* JvLabel2 = nullptr;
  QLabel* JvLabel3 = nullptr;
  QLabel* JvLabel5 = nullptr;
  MarkupLabel* HTMLabel1 = nullptr;
  MarkupLabel* HTMLabel2 = nullptr;
  MarkupLabel* HTMLabel7 = nullptr;
  MarkupLabel* HTMLabel8 = nullptr;
  MarkupLabel* HTMLabel9 = nullptr;
  MarkupLabel* HTMLabel10 = nullptr;
  MarkupLabel* HTMLabel11 = nullptr;
  MarkupLabel* HTMLabel12 = nullptr;
  MarkupLabel* HTMLabel14 = nullptr;
  MarkupComboBox* DeviceComboBox = nullptr;
  MarkupComboBox* MCUComboBox = nullptr;
  GlowButton* AdvGlowButton2 = nullptr;  // LinkIndicator
  GlowButton* ButtonConnect = nullptr;
  GlowButton* ButtonOpenHex = nullptr;
  GlowButton* ButtonStartBootloader = nullptr;
  GlowButton* AdvGlowButton1 = nullptr;
  QPlainTextEdit* MemoHistoryWindow = nullptr;
  LineLogView* MemoTerminalWindow = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  StatusBar* StatusBar1 = nullptr;
  QCheckBox* CheckBoxClose = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateControls();
  void FormCreate();
  void FormShow();
  void ApplySettings();
  void StatusBar1DrawPanel(QPainter& painter, const QRect& rect);
  // Loads `path` under the family the MCU Type box shows. False when the
  // general error report ended the handler.
  bool LoadFile(const QString& path);
  McuFamily ShownFamily() const;
  void SetClientWidth(int width);
  void RestartTimer1();
  void ScheduleFlush();

  EventLoop& loop_;
  WindowDialogs& dialogs_;
  WindowOptions options_;
  IniFile settings_;
  bool settings_gathered_ = false;
  bool shown_once_ = false;
  bool upload_active_ = false;
  bool closing_ = false;

  Exchange exchange_;
  FlashImage FlashImage_;
  std::unique_ptr<DeviceLink> link_;

  QString status_text_;
  QString open_dialog_initial_dir_;
  QString open_dialog_file_name_;
  int link_picture_ = 0;
  std::uint8_t shown_mcu_type_ = 0;  // the family the MCU Type box shows

  QStringList pending_terminal_;
  int progress_value_ = 0;
  int progress_max_ = 100;
  bool progress_dirty_ = false;
  TimerId flush_timer_ = 0;
  TimerId timer1_ = 0;
};

}  // namespace ql
