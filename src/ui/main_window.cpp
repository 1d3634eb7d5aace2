#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QResizeEvent>
#include <QScreen>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <iostream>

#include "app/glyph.h"
#include "app/port_manager.h"
#include "ui/access_dialog.h"
#include "ui/message_window.h"
#include "ui/pictures.h"

namespace drvnt {

namespace {

constexpr int kClientWidth = 447;
constexpr int kClientHeight = 331;
constexpr int kCaptionBandHeight = 57;
constexpr int kPageBarHeight = 81;
constexpr int kNotebookTop = kCaptionBandHeight + kPageBarHeight;  // 138
constexpr int kGlyphSide = 16;
constexpr int kWindowPixelSize = 11;
constexpr int kSmallestPixelSize = 8;
constexpr int kCaptionGap = 2;  // between a caption and the glyph of its row
constexpr int kCaptionButtonsWidth = 3 * 28 + 4;
// How often a window without a notification area looks for one.
constexpr int kTrayWatchMs = 5000;
// The log box keeps this many lines; a driver that runs for months unattended would otherwise
// grow it without bound (a server that stays down adds a line every five seconds).
constexpr int kLogLinesKept = 10000;

const QString kStatusPage = QStringLiteral("Default");
const QString kSetupPage = QStringLiteral("setup");

// Style sheets only on the two bands: a style sheet on the window would cut the window's font
// off from the pages.
const char* kCaptionBandStyle = R"(
#CaptionBand { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2c4a73, stop:1 #1b3152); }
#CaptionText { color: white; font-weight: bold; font-size: 14px; }
QToolButton { color: white; background: transparent; border: none; font-size: 13px; }
QToolButton:hover { background: #3d6296; }
)";

const char* kPageBarStyle = R"(
#PageBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #eef3fa, stop:1 #d5e0ee); }
QLabel { color: #1b3152; }
)";

// Log box, menus and labels: an 11-pixel font, as small as the window was laid out for.
QFont WindowFont(const QFont& base) {
  QFont font = base;
  font.setPixelSize(kWindowPixelSize);
  return font;
}

// The caption band: dragging it moves the window, as a title bar does.
class CaptionBand final : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && window()->windowHandle() != nullptr &&
        !window()->isMaximized()) {
      window()->windowHandle()->startSystemMove();
    }
    QWidget::mousePressEvent(event);
  }
};

}  // namespace

PortActions PortActionsFor(PortManager& manager) {
  PortActions a;
  a.textEdited = [&manager](const std::string& text) { manager.TextEdited(text); };
  a.entryPicked = [&manager](int index) { manager.EntryPicked(index); };
  a.enterPressed = [&manager] { manager.EnterPressed(); };
  a.startStopClicked = [&manager] { manager.AdvGlowButton2Click(); };
  a.rescanClicked = [&manager] { manager.AdvGlowButton1Click(); };
  return a;
}

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("TForm1"));
  // The caption band is the window's only title bar: a window manager's own would add a second
  // one, with a second set of buttons, above it.
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setWindowTitle(QStringLiteral("Драйвер NT417P"));
  setWindowIcon(ApplicationIcon());
  setFixedSize(kClientWidth, kClientHeight);
  setFont(WindowFont(font()));
  BuildCaptionBand();
  BuildPageBar();
  BuildNotebook();
  BuildTray();
  SetTrayMode(QSystemTrayIcon::isSystemTrayAvailable());
  // A desktop may start its notification area after the driver: it is used once it appears.
  trayWatch_ = new QTimer(this);
  connect(trayWatch_, &QTimer::timeout, this, &TForm1::CheckForTray);
  if (!trayMode_)
    trayWatch_->start(kTrayWatchMs);
}

void TForm1::CheckForTray() {
  if (trayMode_ || !trayAvailable_())
    return;
  SetTrayMode(true);
  trayWatch_->stop();
}

TForm1::~TForm1() {
  delete errorBox_;  // a top-level window of its own, not a child
}

void TForm1::SetAccessDialog(TForm2* dialog) {
  accessDialog_ = dialog;
}

void TForm1::SetMessageWindow(Tadvsm* window) {
  messageWindow_ = window;
}

void TForm1::BuildCaptionBand() {
  auto* band = new CaptionBand(this);
  captionBand_ = band;
  band->setObjectName(QStringLiteral("CaptionBand"));
  band->setAttribute(Qt::WA_StyledBackground);
  band->setStyleSheet(QString::fromUtf8(kCaptionBandStyle));
  band->setGeometry(0, 0, kClientWidth, kCaptionBandHeight);
  auto* text = new QLabel(QStringLiteral("ЛМС Сайвер 2008 - Драйвер NT417"), band);
  text->setObjectName(QStringLiteral("CaptionText"));
  text->setGeometry(12, 0, 340, kCaptionBandHeight);

  struct Caption {
    const char* name;
    QString glyph;
    std::function<void()> action;
  };
  const Caption buttons[] = {
      {"MinimizeButton", QStringLiteral("\u2013"), [this] { showMinimized(); }},
      {"MaximizeButton", QStringLiteral("\u25a1"), [this] { ToggleMaximized(); }},
      {"CloseButton", QStringLiteral("\u2715"), [this] { close(); }},
  };
  int left = kClientWidth - kCaptionButtonsWidth;
  for (const Caption& c : buttons) {
    auto* button = new QToolButton(band);
    button->setObjectName(QString::fromLatin1(c.name));
    button->setText(c.glyph);
    button->setGeometry(left, 4, 28, 22);
    button->setFocusPolicy(Qt::NoFocus);
    connect(button, &QToolButton::clicked, this, c.action);
    left += 28;
  }
}

void TForm1::ToggleMaximized() {
  // The window has a fixed size in its normal state; maximised it takes the screen, its bands
  // across the whole width and the pages where they were.
  if (isMaximized()) {
    showNormal();
    setFixedSize(kClientWidth, kClientHeight);
    move(normalPosition_);
  } else {
    normalPosition_ = pos();
    setMinimumSize(kClientWidth, kClientHeight);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    showMaximized();
  }
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int w = std::max(width(), kClientWidth);
  captionBand_->resize(w, kCaptionBandHeight);
  int left = w - kCaptionButtonsWidth;
  for (const char* name : {"MinimizeButton", "MaximizeButton", "CloseButton"}) {
    if (auto* button = captionBand_->findChild<QToolButton*>(QString::fromLatin1(name))) {
      button->move(left, button->y());
      left += button->width();
    }
  }
  if (auto* bar = findChild<QWidget*>(QStringLiteral("PageBar"), Qt::FindDirectChildrenOnly))
    bar->resize(w, kPageBarHeight);
}

void TForm1::BuildPageBar() {
  auto* bar = new QWidget(this);
  bar->setObjectName(QStringLiteral("PageBar"));
  bar->setAttribute(Qt::WA_StyledBackground);
  bar->setStyleSheet(QString::fromUtf8(kPageBarStyle));
  bar->setGeometry(0, kCaptionBandHeight, kClientWidth, kPageBarHeight);
  AdvGlowButton28_ = BuildPageToolbar(bar, QStringLiteral("AdvGlowButton28"), 3,
                                      QStringLiteral("Состояние"), StatusPageIcon());
  AdvGlowButton47_ = BuildPageToolbar(bar, QStringLiteral("AdvGlowButton47"), 83,
                                      QStringLiteral("Настройки"), SettingsPageIcon());
  // One exclusive group: a click on the button that is down leaves it down.
  pageButtons_ = new QButtonGroup(this);
  pageButtons_->setExclusive(true);
  pageButtons_->addButton(AdvGlowButton28_);
  pageButtons_->addButton(AdvGlowButton47_);
  AdvGlowButton28_->setChecked(true);
  connect(AdvGlowButton28_, &QToolButton::clicked, this, &TForm1::AdvGlowButton28Click);
  connect(AdvGlowButton47_, &QToolButton::clicked, this, &TForm1::AdvGlowButton47Click);
}

QToolButton* TForm1::BuildPageToolbar(QWidget* bar, const QString& name, int left,
                                      const QString& caption, const QIcon& icon) {
  auto* toolbar = new QFrame(bar);
  toolbar->setObjectName(name + QStringLiteral("Bar"));
  toolbar->setGeometry(left, 4, 76, 74);
  auto* button = new QToolButton(toolbar);
  button->setObjectName(name);
  button->setGeometry(2, 2, 72, 54);
  button->setCheckable(true);
  button->setIcon(icon);
  button->setIconSize(QSize(40, 40));
  button->setFocusPolicy(Qt::NoFocus);
  auto* label = new QLabel(caption, toolbar);
  label->setObjectName(name + QStringLiteral("Caption"));
  label->setGeometry(0, 57, 76, 16);
  label->setAlignment(Qt::AlignCenter);
  return button;
}

void TForm1::BuildNotebook() {
  Notebook1_ = new QStackedWidget(this);
  Notebook1_->setObjectName(QStringLiteral("Notebook1"));
  Notebook1_->setGeometry(0, kNotebookTop, kClientWidth, kClientHeight - kNotebookTop);
  // Pages join the notebook before they are filled, so that their labels measure their text in
  // the window's font.
  auto* status = new QWidget(Notebook1_);
  status->setObjectName(kStatusPage);
  Notebook1_->addWidget(status);
  BuildStatusPage(status);
  auto* setup = new QWidget(Notebook1_);
  setup->setObjectName(kSetupPage);
  Notebook1_->addWidget(setup);
  BuildSetupPage(setup);
  SelectPage(kStatusPage);
}

QLabel* TForm1::AddLabel(QWidget* parent, const QString& name, const QString& text, int left,
                         int top) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->move(left, top);
  label->adjustSize();
  return label;
}

void TForm1::FitWidth(QLabel* label, int available) {
  // Where the desktop's font is wider than the one the rows were laid out for, shrink it rather
  // than let a caption run under a glyph or lose its first letters.
  QFont font = label->font();
  if (font.pixelSize() <= 0)
    font.setPixelSize(QFontInfo(font).pixelSize());
  while (label->sizeHint().width() > available && font.pixelSize() > kSmallestPixelSize) {
    font.setPixelSize(font.pixelSize() - 1);
    label->setFont(font);
  }
  if (label->width() > available || label->width() < label->sizeHint().width()) {
    label->resize(std::min(available, label->sizeHint().width()), label->sizeHint().height());
  }
}

QLabel* TForm1::AddGlyph(QWidget* parent, const QString& name, int left, int top) {
  auto* glyph = new QLabel(parent);
  glyph->setObjectName(name);
  glyph->setGeometry(left, top, kGlyphSide, kGlyphSide);
  glyph->setContentsMargins(0, 0, 0, 0);
  return glyph;  // empty until its link is first painted
}

void TForm1::BuildStatusPage(QWidget* page) {
  // The rows were laid out for a narrow font: the captions must end before their glyphs.
  QFont narrow = page->font();
  narrow.setStretch(QFont::SemiCondensed);
  page->setFont(narrow);

  FitWidth(AddLabel(page, QStringLiteral("Label12"), QStringLiteral("Контроль связи со станцией"),
                    8, 10),
           176 - 8 - kCaptionGap);
  Image2_ = AddGlyph(page, QStringLiteral("Image2"), 176, 8);
  FitWidth(AddLabel(page, QStringLiteral("Label23"), QStringLiteral("Связь с сервером сообщений"),
                    256, 10),
           416 - 256 - kCaptionGap);
  Image3_ = AddGlyph(page, QStringLiteral("Image3"), 416, 8);

  QLabel* label1 =
      AddLabel(page, QStringLiteral("Label1"), QStringLiteral("Дата и время запуска"), 7, 37);
  label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  FitWidth(label1, 111);
  label1->setGeometry(7, 37, 111, label1->height());
  Label6_ = AddLabel(page, QStringLiteral("Label6"), QString(), 124, 37);
  Label13_ = AddLabel(page, QStringLiteral("Label13"), QStringLiteral("Связь с сервером сообщений"),
                      256, 37);
  FitWidth(Label13_, 416 - 256 - kCaptionGap);
  Image1_ = AddGlyph(page, QStringLiteral("Image1"), 416, 35);
  SetV7RowVisible(false);  // until start-up has read whether the V7 link is on

  AddLabel(page, QStringLiteral("Label17"), QStringLiteral("Пароль для закрытия"), 7, 65);
  Label15_ = AddLabel(page, QStringLiteral("Label15"), QStringLiteral("Пароль"), 124, 65);

  Memo1_ = new QPlainTextEdit(page);
  Memo1_->setObjectName(QStringLiteral("Memo1"));
  Memo1_->setGeometry(7, 84, 432, 100);
  Memo1_->setReadOnly(true);
  Memo1_->setMaximumBlockCount(kLogLinesKept);
}

void TForm1::BuildSetupPage(QWidget* page) {
  auto* group = new QGroupBox(QStringLiteral("Com порт"), page);
  group->setObjectName(QStringLiteral("GroupBox1"));
  group->setGeometry(9, 3, 428, 62);

  AdvOfficeComboBox1_ = new QComboBox(group);
  AdvOfficeComboBox1_->setObjectName(QStringLiteral("AdvOfficeComboBox1"));
  AdvOfficeComboBox1_->setEditable(true);
  AdvOfficeComboBox1_->setGeometry(18, 25, 103, 19);
  AdvOfficeComboBox1_->setMaxVisibleItems(8);
  // The list holds only what the last scan found; typed text never becomes an entry, and no
  // completion may change what the operator types (every text is stored as typed).
  AdvOfficeComboBox1_->setInsertPolicy(QComboBox::NoInsert);
  AdvOfficeComboBox1_->setCompleter(nullptr);
  // A control character would break the INI line the text is stored in.
  AdvOfficeComboBox1_->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[^\\x00-\\x1f\\x7f]*")), AdvOfficeComboBox1_));

  AdvGlowButton2_ = new QPushButton(QString::fromUtf8(kCaptionRunning), group);
  AdvGlowButton2_->setObjectName(QStringLiteral("AdvGlowButton2"));
  AdvGlowButton2_->setGeometry(143, 22, 94, 25);
  AdvGlowButton1_ = new QPushButton(QStringLiteral("Сканировать заново"), group);
  AdvGlowButton1_->setObjectName(QStringLiteral("AdvGlowButton1"));
  AdvGlowButton1_->setGeometry(243, 22, 170, 25);

  // The window is created in the running state.
  AdvOfficeComboBox1_->setEnabled(false);
  AdvGlowButton1_->setEnabled(false);
  ConnectPortControls();
}

void TForm1::ConnectPortControls() {
  QLineEdit* edit = AdvOfficeComboBox1_->lineEdit();
  // textEdited, activated and returnPressed come from the operator only, never from mirroring.
  connect(edit, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (portActions_.textEdited)
      portActions_.textEdited(text.toStdString());
  });
  connect(AdvOfficeComboBox1_, &QComboBox::activated, this, [this](int index) {
    if (portActions_.entryPicked)
      portActions_.entryPicked(index);
  });
  connect(edit, &QLineEdit::returnPressed, this, [this] {
    if (portActions_.enterPressed)
      portActions_.enterPressed();
  });
  connect(AdvGlowButton2_, &QPushButton::clicked, this, [this] {
    if (portActions_.startStopClicked)
      portActions_.startStopClicked();
  });
  connect(AdvGlowButton1_, &QPushButton::clicked, this, [this] {
    if (portActions_.rescanClicked)
      portActions_.rescanClicked();
  });
}

void TForm1::BuildTray() {
  AdvPopupMenu1_ = new QMenu(this);
  AdvPopupMenu1_->setObjectName(QStringLiteral("AdvPopupMenu1"));
  QAction* restore = AdvPopupMenu1_->addAction(QStringLiteral("Восстановить"));
  restore->setObjectName(QStringLiteral("N4"));
  AdvPopupMenu1_->addSeparator();
  QAction* close = AdvPopupMenu1_->addAction(QStringLiteral("Закрыть"));
  close->setObjectName(QStringLiteral("N6"));
  connect(restore, &QAction::triggered, this, &TForm1::N4Click);
  connect(close, &QAction::triggered, this, &TForm1::N6Click);

  // The menu opens on the right button; left clicks and double clicks do nothing, so the
  // icon's activated signal stays unconnected.
  RxTrayIcon1_ = new QSystemTrayIcon(ApplicationIcon(), this);
  RxTrayIcon1_->setObjectName(QStringLiteral("RxTrayIcon1"));
  RxTrayIcon1_->setToolTip(QStringLiteral("Драйвер NT417"));
  RxTrayIcon1_->setContextMenu(AdvPopupMenu1_);
}

void TForm1::SetTrayMode(bool on) {
  trayMode_ = on;
  RxTrayIcon1_->setVisible(on);
}

void TForm1::AdvGlowButton28Click() {
  SelectPage(kStatusPage);
  AdvGlowButton28_->setChecked(true);  // the group releases the other button
}

void TForm1::AdvGlowButton47Click() {
  SelectPage(kSetupPage);
  AdvGlowButton47_->setChecked(true);
}

void TForm1::SelectPage(const QString& name) {
  if (auto* page = Notebook1_->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly)) {
    Notebook1_->setCurrentWidget(page);
  }
}

QString TForm1::ActivePageName() const {
  return Notebook1_->currentWidget()->objectName();
}

void TForm1::ApplicationEvents1Minimize() {
  if (!trayMode_)
    return;  // no tray: stay a normal minimised window
  // Hidden after the state change has been handled: hiding inside the notification confuses
  // some window managers.
  QTimer::singleShot(0, this, [this] {
    if (windowState() & Qt::WindowMinimized)
      hide();
  });
}

void TForm1::N4Click() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TForm1::N6Click() {
  close();
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
    ApplicationEvents1Minimize();
  }
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (centred_)
    return;
  centred_ = true;
  if (const QScreen* s = screen())
    move(s->availableGeometry().center() - rect().center());
}

void TForm1::closeEvent(QCloseEvent* event) {
  closing_ = true;
  const bool mayClose = !mayClose_ || mayClose_();
  closing_ = false;
  if (!mayClose) {
    event->ignore();
    return;
  }
  event->accept();
  ReportClosed();
}

void TForm1::ReportClosed() {
  if (closedReported_)
    return;
  closedReported_ = true;
  if (closed_)
    closed_();
}

void TForm1::PaintGlyph(LinkGlyph glyph, bool linkUp, int counter) {
  QLabel* target = glyph == LinkGlyph::Receiver ? Image2_
                   : glyph == LinkGlyph::V7     ? Image1_
                                                : Image3_;
  target->setPixmap(QPixmap::fromImage(GlyphImage(PaintGlyphPixels(linkUp, counter))));
}

void TForm1::AppendLogLine(const std::string& line) {
  Memo1_->appendPlainText(QString::fromStdString(line));
}

void TForm1::ShowMessageWindow(const std::string& text) {
  if (messageWindow_)
    messageWindow_->ShowText(text);
}

int TForm1::ShowAccessDialog(const std::string& closePassword) {
  // Without a dialog nothing can be confirmed: refuse, as a cancel would.
  return accessDialog_ ? accessDialog_->Ask(closePassword) : kAccessCancelled;
}

void TForm1::ShowStartTime(const std::string& text) {
  Label6_->setText(QString::fromStdString(text));
  Label6_->adjustSize();
}

void TForm1::ShowClosePassword(const std::string& password) {
  Label15_->setText(QString::fromStdString(password));
  Label15_->adjustSize();
}

void TForm1::SetV7RowVisible(bool visible) {
  Label13_->setVisible(visible);
  Image1_->setVisible(visible);
}

void TForm1::ShowPortControls(const PortControls& controls) {
  MirrorPortBox(controls);
  AdvOfficeComboBox1_->setEnabled(controls.boxAndRescanEnabled);
  AdvGlowButton1_->setEnabled(controls.boxAndRescanEnabled);
  AdvGlowButton2_->setText(QString::fromStdString(controls.startStopCaption));
}

void TForm1::MirrorPortBox(const PortControls& controls) {
  QComboBox* box = AdvOfficeComboBox1_;
  const QSignalBlocker block(box);
  QStringList items;
  for (const std::string& entry : controls.list)
    items << QString::fromStdString(entry);
  QStringList shown;
  for (int i = 0; i < box->count(); ++i)
    shown << box->itemText(i);
  if (shown != items) {
    box->clear();
    box->addItems(items);
  }
  // The current entry follows the text whenever the text is an entry, so that finishing an edit
  // never makes the box report a pick of its own.
  const QString text = QString::fromStdString(controls.text);
  const int index = box->findText(text);
  if (index >= 0 && index != box->currentIndex())
    box->setCurrentIndex(index);
  if (box->lineEdit()->text() != text)
    box->lineEdit()->setText(text);
}

void TForm1::ReportError(const std::string& text) {
  std::cerr << text << std::endl;
  if (errorBox_ && errorBox_->isVisible())
    return;  // one box at a time; the rest go to stderr
  delete errorBox_;
  auto* box = new QMessageBox(QMessageBox::Critical, QGuiApplication::applicationDisplayName(),
                              QString::fromStdString(text), QMessageBox::Ok);
  box->setObjectName(QStringLiteral("ErrorReport"));
  box->setAttribute(Qt::WA_QuitOnClose, false);
  // Not modal: the handler that failed returns at once and processing goes on.
  box->setModal(false);
  box->show();
  errorBox_ = box;
}

void TForm1::RequestClose() {
  // Qt ignores a close of a window whose close is under way, and the operator's close request
  // may be waiting in the access dialog right now. A close that needs no password (SIGTERM, the
  // V7 server's command) must not wait for that dialog: the engine decides at once, and ending
  // the event loop also ends the dialog's.
  if (closing_) {
    if (mayClose_ && mayClose_()) {
      hide();
      ReportClosed();
    }
    return;
  }
  close();
}

}  // namespace drvnt
