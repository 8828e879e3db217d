#pragma once
// The window's modal dialogs behind one small interface, so that the
// workflow can be driven without anybody at the keyboard.

#include <QDialog>
#include <QString>

#include <optional>

class QLabel;
class QPushButton;

namespace ql {

class WindowDialogs {
 public:
  virtual ~WindowDialogs() = default;
  // The bootloader-area warning: true for OK, false for No (and Esc).
  virtual bool AskBootloaderArea(QWidget* parent) = 0;
  // The HEX loader's checksum warning ("Warning", one OK).
  virtual void ShowChecksumWarning(QWidget* parent, const QString& text) = 0;
  // The end-of-upload dialog: title "Success", instruction "Restarting MCU...".
  virtual void ShowUploadEnd(QWidget* parent, const QString& content, const QString& detail) = 0;
  // The general error report; `text` already carries its full stop.
  virtual void ShowError(QWidget* parent, const QString& text) = 0;
  // The file-open dialog; nothing when cancelled.
  virtual std::optional<QString> BrowseHexFile(QWidget* parent, const QString& initial_dir,
                                               const QString& file_name) = 0;
};

// The real dialogs.
class QtWindowDialogs final : public WindowDialogs {
 public:
  bool AskBootloaderArea(QWidget* parent) override;
  void ShowChecksumWarning(QWidget* parent, const QString& text) override;
  void ShowUploadEnd(QWidget* parent, const QString& content, const QString& detail) override;
  void ShowError(QWidget* parent, const QString& text) override;
  std::optional<QString> BrowseHexFile(QWidget* parent, const QString& initial_dir,
                                       const QString& file_name) override;
};

// The end-of-upload dialog: instruction, content, a detail text behind a
// "Show details"/"Hide details" toggle, one OK button.
class UploadEndDialog : public QDialog {
  Q_OBJECT
 public:
  UploadEndDialog(QWidget* parent, const QString& content, const QString& detail);
  QPushButton* toggle() const { return toggle_; }
  QLabel* detail() const { return detail_; }

 private:
  QPushButton* toggle_;
  QLabel* detail_;
};

// The text with the general error report's full stop (see core/full_stop.h).
QString ErrorReportText(const QString& text);

}  // namespace ql
