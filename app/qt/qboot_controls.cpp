#include "app/qt/qboot.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>

#include "app/qt/qboot_look.h"
#include "app/qt/widgets.h"

// The window's controls, laid out as the form places them, and its fonts.

namespace ql {

namespace {

QFont PixelFont(const QString& family, int pixels, bool bold = false) {
  QFont f(family);
  f.setPixelSize(pixels);
  f.setBold(bold);
  return f;
}

QLabel* CaptionLabel(const QString& text, const QFont& font, QWidget* parent, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->setFont(font);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, ToQColor(kCaptionGrey));
  label->setPalette(pal);
  label->setAttribute(Qt::WA_TranslucentBackground);
  label->adjustSize();
  label->move(x, y);
  return label;
}

QPlainTextEdit* LogView(QWidget* parent, const QRect& geometry) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setGeometry(geometry);
  memo->setReadOnly(true);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo->setFont(PixelFont(QStringLiteral("Tahoma"), 11));
  memo->setUndoRedoEnabled(false);
  QPalette pal = memo->palette();
  pal.setColor(QPalette::Text, ToQColor(kLogGrey));
  memo->setPalette(pal);
  return memo;
}

}  // namespace

void InstallFontFallbacks() {
  static bool done = false;
  if (done) return;
  done = true;
  QFont::insertSubstitutions(QStringLiteral("Tahoma"), {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
  QFont::insertSubstitutions(QStringLiteral("Verdana"), {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
  QFont::insertSubstitutions(QStringLiteral("Impact"),
                             {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow")});
}

void TqBoot::CreateControls() {
  setWindowTitle(QStringLiteral("Quellotron USB HID Bootloader"));
  setFont(PixelFont(QStringLiteral("Tahoma"), 11));
  setFixedSize(kClientWidth, kClientHeight);
  move(234, 120);

  AdvPanel1 = new QWidget(this);
  AdvPanel1->setGeometry(0, 0, 684, 339);
  AdvPanel1->setAutoFillBackground(true);
  {
    QPalette pal = AdvPanel1->palette();
    pal.setColor(QPalette::Window, QColor(237, 237, 237));
    AdvPanel1->setPalette(pal);
  }
  AdvPanel1->setFont(PixelFont(QStringLiteral("Verdana"), 11));

  auto group = [this](int x, int y, int w, int h) {
    auto* g = new GroupBox(AdvPanel1);
    g->setGeometry(x, y, w, h);
    return g;
  };
  auto step_button = [](const QString& caption, QWidget* parent, const QRect& r) {
    auto* b = new GlowButton(caption, parent);
    b->setGeometry(r);
    b->setFont(PixelFont(QStringLiteral("Tahoma"), 11));
    return b;
  };

  JvLabel4 = new QLabel(QStringLiteral("Quelloader"), AdvPanel1);
  JvLabel4->setGeometry(13, 12, 221, 39);
  JvLabel4->setFont(PixelFont(QStringLiteral("Impact"), 32, true));
  JvLabel4->setAttribute(Qt::WA_TranslucentBackground);
  {
    QPalette pal = JvLabel4->palette();
    pal.setColor(QPalette::WindowText, QColor(255, 0, 0));
    JvLabel4->setPalette(pal);
  }

  const QFont tahoma_caption = PixelFont(QStringLiteral("Tahoma"), 11, true);
  const QFont list_font = PixelFont(QStringLiteral("Tahoma"), 11);
  auto list_box = [&](QWidget* parent, const QRect& r) {
    auto* box = new MarkupComboBox(parent);
    box->setGeometry(r);
    box->setFont(list_font);
    box->setEnabled(false);
    QPalette pal = box->palette();
    pal.setColor(QPalette::Disabled, QPalette::Text, ToQColor(kLogGrey));
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, ToQColor(kLogGrey));
    box->setPalette(pal);
    return box;
  };

  AdvGroupBox3 = group(263, 19, 220, 30);
  JvLabel1 = CaptionLabel(QStringLiteral("Device"), tahoma_caption, AdvGroupBox3, 11, 8);
  DeviceComboBox = list_box(AdvGroupBox3, QRect(56, 5, 153, 22));

  AdvGroupBox4 = group(0, 65, 216, 39);
  HTMLabel1 = new MarkupLabel(QStringLiteral("<B><FONT  size=\"22\" color=\"#FF0000\">1</FONT></B>"), AdvGroupBox4);
  HTMLabel1->setGeometry(13, 2, 24, 36);
  HTMLabel2 = new MarkupLabel(
      QStringLiteral("<B><FONT face=\"Tahoma\"  size=\"8\" color=\"#FF0000\">Wait for USB link</FONT></B>"), AdvGroupBox4);
  HTMLabel2->setGeometry(40, 7, 64, 33);
  AdvGlowButton2 = step_button(QString(), AdvGroupBox4, QRect(141, 5, 47, 30));
  AdvGlowButton2->setEnabled(false);
  AdvGlowButton2->setIconSize(QSize(16, 16));

  AdvGroupBox9 = group(232, 65, 251, 39);
  JvLabel5 = CaptionLabel(QStringLiteral("MCU Type"), tahoma_caption, AdvGroupBox9, 16, 13);
  MCUComboBox = list_box(AdvGroupBox9, QRect(87, 10, 153, 22));

  AdvGroupBox5 = group(-1, 117, 217, 39);
  HTMLabel7 = new MarkupLabel(QStringLiteral("<B><FONT  size=\"22\" color=\"#FF0000\">2</FONT></B>"), AdvGroupBox5);
  HTMLabel7->setGeometry(14, 2, 24, 36);
  HTMLabel8 = new MarkupLabel(QStringLiteral("<B><FONT color=\"#FF0000\">Connect with MCU</FONT></B>"), AdvGroupBox5);
  HTMLabel8->setGeometry(40, 7, 65, 32);
  ButtonConnect = step_button(QStringLiteral("Connect"), AdvGroupBox5, QRect(126, 5, 81, 30));

  AdvGroupBox1 = group(232, 117, 251, 147);
  JvLabel2 = CaptionLabel(QStringLiteral("History Window"), PixelFont(QStringLiteral("Verdana"), 12, true), AdvGroupBox1, 6, 5);
  MemoHistoryWindow = LogView(AdvGroupBox1, QRect(0, 21, 240, 126));

  AdvGroupBox6 = group(-1, 170, 217, 39);
  HTMLabel9 = new MarkupLabel(QStringLiteral("<B><FONT  size=\"22\" color=\"#FF0000\">3</FONT></B>"), AdvGroupBox6);
  HTMLabel9->setGeometry(14, 1, 24, 36);
  HTMLabel10 = new MarkupLabel(QStringLiteral("<B><FONT color=\"#FF0000\">Choose HEX file</FONT></B>"), AdvGroupBox6);
  HTMLabel10->setGeometry(40, 6, 65, 33);
  ButtonOpenHex = step_button(QStringLiteral("Browse      for HEX"), AdvGroupBox6, QRect(126, 5, 81, 30));

  AdvGroupBox7 = group(-1, 224, 217, 39);
  HTMLabel11 = new MarkupLabel(QStringLiteral("<B><FONT  size=\"22\" color=\"#FF0000\">4</FONT></B>"), AdvGroupBox7);
  HTMLabel11->setGeometry(14, 2, 24, 36);
  HTMLabel12 = new MarkupLabel(QStringLiteral("<B><FONT color=\"#FF0000\">Start bootloader</FONT></B>"), AdvGroupBox7);
  HTMLabel12->setGeometry(40, 7, 84, 33);
  ButtonStartBootloader = step_button(QStringLiteral("Begin uploading"), AdvGroupBox7, QRect(126, 5, 81, 30));

  AdvGroupBox8 = group(-1, 280, 497, 45);
  HTMLabel14 =
      new MarkupLabel(QStringLiteral("<B><FONT color=\"#B2B2B2\">Bootloading <BR>progress bar</FONT></B>"), AdvGroupBox8);
  HTMLabel14->setGeometry(14, 8, 93, 27);
  ProgressBar1 = new QProgressBar(AdvGroupBox8);
  ProgressBar1->setGeometry(111, 12, 266, 22);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setStyleSheet(QStringLiteral(
      "QProgressBar { border: 1px solid #a0a0a0; background: palette(base); padding: 1px; }"
      "QProgressBar::chunk { margin-right: 1px; width: 7px;"
      " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #29d331, stop:1 #adefad); }"));
  AdvGlowButton1 = step_button(QStringLiteral("Show Activity"), AdvGroupBox8, QRect(390, 12, 83, 22));

  AdvGroupBox2 = group(495, 11, 177, 314);
  JvLabel3 = CaptionLabel(QStringLiteral("Terminal Activity"), PixelFont(QStringLiteral("Tahoma"), 12, true), AdvGroupBox2, 12, 6);
  MemoTerminalWindow = new LineLogView(AdvGroupBox2);
  MemoTerminalWindow->setGeometry(12, 23, 153, 281);
  MemoTerminalWindow->setFont(PixelFont(QStringLiteral("Tahoma"), 11));
  {
    QPalette pal = MemoTerminalWindow->palette();
    pal.setColor(QPalette::Text, ToQColor(kLogGrey));
    MemoTerminalWindow->setPalette(pal);
  }

  // The hidden group with "Close when finished" shows nothing: its value
  // lives in the form, from the settings.

  StatusBar1 = new StatusBar(this);
  StatusBar1->setGeometry(0, 338, width(), 19);
  StatusBar1->setFont(PixelFont(QStringLiteral("Tahoma"), 11));
  StatusBar1->OnDrawPanel = [this](QPainter& p, const QRect& r) { StatusBar1DrawPanel(p, r); };
  status_text_ = NoFileText;
  SetLinkPicture(0);

  connect(ButtonConnect, &QPushButton::clicked, this, [this] { ButtonConnectClick(); });
  connect(ButtonOpenHex, &QPushButton::clicked, this, [this] { ButtonOpenHexClick(); });
  connect(ButtonStartBootloader, &QPushButton::clicked, this, [this] { ButtonStartBootloaderClick(); });
  connect(AdvGlowButton1, &QPushButton::clicked, this, [this] { AdvGlowButton1Click(); });
}

}  // namespace ql
