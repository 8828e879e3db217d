#pragma once
// The window's controls that Qt does not have as such: a push button whose
// caption wraps onto two lines, labels and drop-down lists that show the
// label markup, the group panels, the owner-drawn status bar and the two
// pictures of the USB link indicator.

#include <QAbstractScrollArea>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <functional>
#include <vector>

namespace ql {

// A gradient push button whose caption wraps at its spaces.
class GlowButton : public QPushButton {
  Q_OBJECT
 public:
  GlowButton(const QString& caption, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A label showing the window's markup.
class MarkupLabel : public QLabel {
  Q_OBJECT
 public:
  MarkupLabel(const QString& markup, QWidget* parent);
  const QString& markup() const { return markup_; }

 private:
  QString markup_;
};

// A display-only drop-down list whose items are markup, drawn rendered and
// centred.
class MarkupComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit MarkupComboBox(QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A group panel: framed until the window's look is applied at first show,
// then opaque, borderless, in its own colour.
class GroupBox : public QFrame {
  Q_OBJECT
 public:
  explicit GroupBox(QWidget* parent);
  void ApplyLook(const QColor& colour);
  void SetColour(const QColor& colour);
  QColor Colour() const { return colour_; }

 private:
  QColor colour_;
};

// The status bar with its one panel, painted by the window.
class StatusBar : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kPanelWidth = 752;
  explicit StatusBar(QWidget* parent);
  std::function<void(QPainter&, const QRect&)> OnDrawPanel;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A read-only view of many short lines (the terminal log: one line per
// written byte). Appending costs no layout: only the visible lines are drawn.
class LineLogView : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit LineLogView(QWidget* parent);
  void AppendLines(const QStringList& lines);
  void Clear();
  const std::vector<QString>& Lines() const { return lines_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void UpdateScrollBar();
  int LineHeight() const;

  std::vector<QString> lines_;
};

// The two 16 x 16 pictures of the link indicator: 0 no link (grey), 1 link (red).
QPixmap UsbTridentPicture(int index);

}  // namespace ql
