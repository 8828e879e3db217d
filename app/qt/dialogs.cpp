#include "app/qt/dialogs.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "core/full_stop.h"
#include "upload/upload_engine.h"

namespace ql {

QString ErrorReportText(const QString& text) {
  return QString::fromStdString(WithFullStop(text.toStdString()));
}

bool QtWindowDialogs::AskBootloaderArea(QWidget* parent) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"),
                  QString::fromUtf8(kBootAreaQuestion.data(), static_cast<qsizetype>(kBootAreaQuestion.size()))
                      .replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                  QMessageBox::NoButton, parent);
  // One role for both keeps them in this order, No first, whatever the
  // desktop's button layout.
  QPushButton* no = box.addButton(QStringLiteral("No"), QMessageBox::ActionRole);
  QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::ActionRole);
  box.setDefaultButton(ok);
  box.setEscapeButton(no);
  box.exec();
  return box.clickedButton() == ok;
}

void QtWindowDialogs::ShowChecksumWarning(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                  QMessageBox::Ok, parent);
  box.exec();
}

void QtWindowDialogs::ShowUploadEnd(QWidget* parent, const QString& content, const QString& detail) {
  UploadEndDialog dialog(parent, content, detail);
  dialog.exec();
}

void QtWindowDialogs::ShowError(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Quelloader"), text, QMessageBox::Ok, parent);
  box.exec();
}

std::optional<QString> QtWindowDialogs::BrowseHexFile(QWidget* parent, const QString& initial_dir,
                                                      const QString& file_name) {
  QFileDialog dialog(parent);
  dialog.setNameFilter(QStringLiteral("HEX files (*.hex)"));
  dialog.setDefaultSuffix(QStringLiteral("hex"));
  dialog.setFileMode(QFileDialog::AnyFile);  // the window checks the file itself
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (!initial_dir.isEmpty()) dialog.setDirectory(initial_dir);
  else if (!file_name.isEmpty()) dialog.setDirectory(QFileInfo(file_name).absolutePath());
  if (!file_name.isEmpty()) dialog.selectFile(QFileInfo(file_name).fileName());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front();
}

UploadEndDialog::UploadEndDialog(QWidget* parent, const QString& content, const QString& detail)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Success"));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);
  top->addWidget(icon);
  auto* texts = new QVBoxLayout;
  auto* instruction = new QLabel(QStringLiteral("Restarting MCU..."), this);
  instruction->setObjectName(QStringLiteral("instruction"));
  QFont big = instruction->font();
  big.setPointSizeF(big.pointSizeF() * 1.35);
  instruction->setFont(big);
  instruction->setStyleSheet(QStringLiteral("color: #003399;"));
  texts->addWidget(instruction);
  auto* content_label = new QLabel(content, this);
  content_label->setObjectName(QStringLiteral("content"));
  texts->addWidget(content_label);
  top->addLayout(texts, 1);
  layout->addLayout(top);

  detail_ = new QLabel(detail, this);
  detail_->setObjectName(QStringLiteral("detail"));
  detail_->setWordWrap(true);
  detail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  detail_->setVisible(false);

  auto* buttons = new QHBoxLayout;
  toggle_ = new QPushButton(QStringLiteral("Show details"), this);
  toggle_->setFlat(true);
  // In a dialog every push button defaults to taking Enter while it has the
  // focus, and the toggle comes first: Enter must answer OK, not open the
  // details.
  toggle_->setAutoDefault(false);
  buttons->addWidget(toggle_);
  buttons->addStretch(1);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setDefault(true);
  buttons->addWidget(ok);
  ok->setFocus();
  layout->addLayout(buttons);
  layout->addWidget(detail_);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(toggle_, &QPushButton::clicked, this, [this] {
    const bool show = detail_->isHidden();
    detail_->setVisible(show);
    toggle_->setText(show ? QStringLiteral("Hide details") : QStringLiteral("Show details"));
  });
}

}  // namespace ql
