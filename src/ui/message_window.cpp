#include "ui/message_window.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

#include "app/message_geometry.h"

namespace drvnt {
namespace {

// Narrower than this a text would be hard to read; a longer one is cut.
constexpr int kNarrowestStretch = 70;

}  // namespace

Tadvsm::Tadvsm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      label1_(new QLabel(this)),
      BitBtn1_(new QPushButton(QStringLiteral("ОК"), this)) {
  setObjectName(QStringLiteral("advsm"));
  setWindowTitle(QStringLiteral("advsm"));
  // Closing this window while the main window sits in the tray must not end the program.
  setAttribute(Qt::WA_QuitOnClose, false);

  label1_->setObjectName(QStringLiteral("label1"));
  QFont font = label1_->font();
  font.setPointSize(kMessageFontPoints);
  font.setBold(true);
  label1_->setFont(font);
  label1_->setAlignment(Qt::AlignCenter);
  label1_->setWordWrap(false);
  label1_->move(8, kMessageLabelTop);

  BitBtn1_->setObjectName(QStringLiteral("BitBtn1"));
  BitBtn1_->setDefault(true);
  connect(BitBtn1_, &QPushButton::clicked, this, [this] { done(1); });
  FitText("");
}

void Tadvsm::FitText(const std::string& text) {
  const MessageGeometry g = FitMessage(text);
  label1_->setText(QString::fromStdString(text));
  FitFont(g.windowWidth - 2 * kMessageTextMargin);
  setFixedSize(g.windowWidth, kMessageClientHeight);
  label1_->setGeometry(g.labelLeft, kMessageLabelTop, g.labelWidth, label1_->sizeHint().height());
  BitBtn1_->setGeometry(g.buttonLeft, kMessageButtonTop, kMessageButtonWidth, kMessageButtonHeight);
  label1_->update();
}

// The window is ten pixels wide per character, which a bold 12-point face of today's desktops
// overruns: the text runs narrower, never smaller, until it fits.
void Tadvsm::FitFont(int available) {
  QFont font = label1_->font();
  font.setStretch(QFont::SemiCondensed);
  while (QFontMetrics(font).horizontalAdvance(label1_->text()) > available &&
         font.stretch() > kNarrowestStretch) {
    font.setStretch(font.stretch() - 3);
  }
  label1_->setFont(font);
}

void Tadvsm::ShowText(const std::string& text) {
  FitText(text);
  exec();
}

}  // namespace drvnt
