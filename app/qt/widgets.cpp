#include "app/qt/widgets.h"

#include <QAbstractItemView>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QTextDocument>

#include "app/qt/markup.h"

namespace ql {

GlowButton::GlowButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
  setStyleSheet(QStringLiteral(
      "QPushButton { border: 1px solid #9c9c9c; border-radius: 3px;"
      " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:0.5 #f0f0f0, stop:1 #d6d6d6); }"
      "QPushButton:hover { border-color: #5a8fd0;"
      " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:0.5 #e6f0fb, stop:1 #c4daf3); }"
      "QPushButton:pressed { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #c4daf3, stop:1 #e6f0fb); }"
      "QPushButton:disabled { border-color: #c8c8c8; background: #f0f0f0; }"));
}

void GlowButton::paintEvent(QPaintEvent*) {
  QStylePainter p(this);
  QStyleOptionButton opt;
  initStyleOption(&opt);
  const QString caption = opt.text;
  opt.text.clear();
  p.drawControl(QStyle::CE_PushButton, opt);
  p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  // Runs of spaces in a caption mark where it breaks; they do not take room.
  const QString simplified = caption.simplified();
  p.drawText(rect().adjusted(3, 1, -3, -1), Qt::AlignCenter | Qt::TextWordWrap, simplified);
}

MarkupLabel::MarkupLabel(const QString& markup, QWidget* parent) : QLabel(parent), markup_(markup) {
  setTextFormat(Qt::RichText);
  setWordWrap(true);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setAttribute(Qt::WA_TranslucentBackground);
  setText(MarkupToRichText(markup));
}

MarkupComboBox::MarkupComboBox(QWidget* parent) : QComboBox(parent) {}

void MarkupComboBox::paintEvent(QPaintEvent*) {
  QStylePainter p(this);
  QStyleOptionComboBox opt;
  initStyleOption(&opt);
  const QString markup = opt.currentText;
  opt.currentText.clear();
  p.drawComplexControl(QStyle::CC_ComboBox, opt);
  if (markup.isEmpty()) return;
  const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
  QTextDocument doc;
  doc.setDefaultFont(font());
  doc.setDocumentMargin(0);
  doc.setDefaultStyleSheet(QStringLiteral("body { color: %1; }").arg(palette().color(QPalette::Text).name()));
  doc.setHtml(MarkupToRichText(markup));
  doc.setTextWidth(field.width());
  p.save();
  p.setClipRect(field);
  const qreal top = field.top() + (field.height() - doc.size().height()) / 2.0;
  p.translate(field.left(), top);
  doc.drawContents(&p);
  p.restore();
}

GroupBox::GroupBox(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
}

void GroupBox::ApplyLook(const QColor& colour) {
  setFrameShape(QFrame::NoFrame);
  setAutoFillBackground(true);
  SetColour(colour);
}

void GroupBox::SetColour(const QColor& colour) {
  colour_ = colour;
  QPalette pal = palette();
  pal.setColor(QPalette::Window, colour);
  setPalette(pal);
  update();
}

StatusBar::StatusBar(QWidget* parent) : QWidget(parent) {}

void StatusBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect panel(0, 0, kPanelWidth, height());
  QLinearGradient shade(0, 0, 0, height());
  shade.setColorAt(0.0, QColor(255, 255, 255));
  shade.setColorAt(1.0, QColor(213, 209, 201));
  p.fillRect(rect(), shade);
  p.setPen(QColor(190, 186, 178));
  p.drawLine(0, 0, width(), 0);
  p.setClipRect(panel);
  if (OnDrawPanel) OnDrawPanel(p, panel);
}

LineLogView::LineLogView(QWidget* parent) : QAbstractScrollArea(parent) {
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
}

int LineLogView::LineHeight() const { return QFontMetrics(font()).lineSpacing(); }

void LineLogView::AppendLines(const QStringList& lines) {
  lines_.insert(lines_.end(), lines.begin(), lines.end());
  UpdateScrollBar();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());  // the new last line shows
  viewport()->update();
}

void LineLogView::Clear() {
  lines_.clear();
  UpdateScrollBar();
  viewport()->update();
}

void LineLogView::UpdateScrollBar() {
  const int visible = std::max(1, (viewport()->height() - 2) / std::max(1, LineHeight()));
  verticalScrollBar()->setPageStep(visible);
  verticalScrollBar()->setSingleStep(1);
  verticalScrollBar()->setRange(0, std::max(0, static_cast<int>(lines_.size()) - visible));
}

void LineLogView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBar();
}

void LineLogView::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  p.setFont(font());
  p.setPen(palette().color(QPalette::Text));
  const int h = LineHeight();
  const int ascent = QFontMetrics(font()).ascent();
  const int first = verticalScrollBar()->value();
  const int rows = viewport()->height() / std::max(1, h) + 1;
  for (int i = 0; i < rows && first + i < static_cast<int>(lines_.size()); ++i)
    p.drawText(3, 1 + i * h + ascent, lines_[static_cast<std::size_t>(first + i)]);
}

QPixmap UsbTridentPicture(int index) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor c = index == 1 ? QColor(224, 0, 0) : QColor(150, 150, 150);
  QPen pen(c, 1.4);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(c);
  // Shaft with the plug's round end on the left and the arrow head on the right.
  p.drawEllipse(QPointF(2.5, 8.0), 1.8, 1.8);
  p.drawLine(QPointF(2.5, 8.0), QPointF(12.0, 8.0));
  QPainterPath head;
  head.moveTo(15.5, 8.0);
  head.lineTo(11.5, 5.8);
  head.lineTo(11.5, 10.2);
  head.closeSubpath();
  p.drawPath(head);
  // Upper branch ending in a circle, lower branch ending in a square.
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(QPolygonF({QPointF(5.0, 8.0), QPointF(7.0, 4.0), QPointF(9.5, 4.0)}));
  p.setBrush(c);
  p.drawEllipse(QPointF(10.6, 4.0), 1.4, 1.4);
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(QPolygonF({QPointF(7.0, 8.0), QPointF(9.0, 12.0), QPointF(10.5, 12.0)}));
  p.setBrush(c);
  p.drawRect(QRectF(10.5, 10.8, 2.4, 2.4));
  return pm;
}

}  // namespace ql
