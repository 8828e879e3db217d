#pragma once
// The main window qBoot in Qt: the four workflow steps on the left, device
// name, MCU type and history on the right, the progress strip and the sliding
// terminal-activity panel, and the status bar naming the loaded HEX file. What
// it does lives in QBootForm (app/form/); this is how Qt shows it.

#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

#include "app/form/qboot_form.h"
#include "app/form/qboot_view.h"
#include "app/qt/dialogs.h"
#include "core/event_loop.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace ql {

class GlowButton;
class LineLogView;
class GroupBox;
class MarkupComboBox;
class MarkupLabel;
class StatusBar;

// Fonts the window names, mapped to installed ones when missing.
void InstallFontFallbacks();

class TqBoot : public QWidget, private QBootView {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = ql::kClientWidth;
  static constexpr int kClientHeight = ql::kClientHeight;
  inline static const QString NoFileText = QStringLiteral(": No files opened.");

  TqBoot(EventLoop& loop, HidBackend& backend, WindowDialogs& dialogs, WindowOptions options,
         QWidget* parent = nullptr);
  ~TqBoot() override;

  // The window's behaviour and state.
  QBootForm& form() { return *form_; }
  const QBootForm& form() const { return *form_; }

  // ---- Shortcuts into the form -------------------------------------------------
  bool Connected() const { return form_->Connected(); }
  bool UploadActive() const { return form_->UploadActive(); }
  DeviceLink& link() { return form_->link(); }
  Exchange& exchange() { return form_->exchange(); }
  const FlashImage& image() const { return form_->image(); }
  void ButtonConnectClick() { form_->ButtonConnectClick(); }
  void ButtonOpenHexClick() { form_->ButtonOpenHexClick(); }
  void ButtonStartBootloaderClick() { form_->ButtonStartBootloaderClick(); }
  void AdvGlowButton1Click() { form_->AdvGlowButton1Click(); }
  void DropFiles(const QStringList& names);
  void AppendTerminal(std::string_view line) { form_->AppendTerminal(line); }
  void SetStatusText(const QString& path) { form_->SetStatusText(path.toStdString()); }
  QString StatusText() const { return QString::fromStdString(form_->StatusText()); }
  int ProgressPosition() const { return form_->ProgressPosition(); }
  bool CloseWhenFinished() const { return form_->CloseWhenFinished(); }
  void SetCloseWhenFinished(bool on) { form_->SetCloseWhenFinished(on); }
  QString OpenDialogFileName() const { return QString::fromStdString(form_->OpenDialogFileName()); }
  QString OpenDialogInitialDir() const { return QString::fromStdString(form_->OpenDialogInitialDir()); }
  int LinkPicture() const { return form_->LinkPicture(); }
  void GatherSettings() { form_->GatherSettings(); }
  const IniFile& Settings() const { return form_->Settings(); }

  // ---- What the widgets show -----------------------------------------------------
  QStringList HistoryLines() const;
  QStringList TerminalLines();  // shows pending lines first

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

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // ---- QBootView ----------------------------------------------------------------
  void SetCaption(Control control, std::string_view caption) override;
  void SetEnabled(Control control, bool enabled) override;
  void SetLinkPicture(int picture) override;
  void SetMcuBox(std::string_view item, int item_index) override;
  void SetDeviceBox(std::string_view item) override;
  void AppendHistory(std::string_view line) override;
  void AppendTerminal(const std::vector<std::string>& lines) override;
  void ClearTerminal() override;
  int StatusTextWidth(std::string_view text) override;
  void ShowStatusText(std::string_view text) override;
  void SetProgress(int position, int max) override;
  void SetTitle(std::string_view title) override;
  void SetClientWidth(int width) override;
  void SetStripColour(Rgb colour) override;
  void ApplyGroupLook() override;
  std::string ReadFileVersion() override;
  ScreenInfo Screen() override;
  WindowPlacement Placement() override;
  void MoveTo(const WindowPlacement& placement) override;
  void SetShowState(ShowState state) override;
  bool AskBootloaderArea() override;
  void DismissQuestion() override;
  void ShowChecksumWarning(std::string_view text) override;
  void ShowUploadEnd(std::string_view content, std::string_view detail) override;
  void ShowError(std::string_view text, bool owned) override;
  std::optional<std::string> BrowseHexFile(std::string_view initial_dir, std::string_view file_name) override;
  void CloseWindow() override;

  void CreateControls();
  void StatusBar1DrawPanel(QPainter& painter, const QRect& rect);
  QPushButton* Button(Control control) const;

  WindowDialogs& dialogs_;
  std::unique_ptr<QBootForm> form_;
  bool shown_once_ = false;
  QString status_text_;
};

}  // namespace ql
