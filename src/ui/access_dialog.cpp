#include "ui/access_dialog.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "app/access_check.h"
#include "app/operator_ui.h"

namespace drvnt {

namespace {

constexpr int kPasswordDigits = 5;

// Masks every character as "*" instead of the style's own bullet.
class StarPasswordStyle final : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter)
      return '*';
    if (hint == SH_LineEdit_PasswordMaskDelay)
      return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

}  // namespace

TForm2::TForm2(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      Label1_(new QLabel(QStringLiteral("Введите пароль для доступа"), this)),
      MaskEdit1_(new QLineEdit(this)),
      BitBtn1_(new QPushButton(QStringLiteral("ОК"), this)),
      BitBtn2_(new QPushButton(QStringLiteral("Отмена"), this)) {
  setObjectName(QStringLiteral("TForm2"));
  setWindowTitle(QStringLiteral("Закрытый доступ"));
  setFixedSize(281, 93);
  // Closing this dialog while the main window sits in the tray must not end the program.
  setAttribute(Qt::WA_QuitOnClose, false);

  Label1_->setObjectName(QStringLiteral("Label1"));
  Label1_->move(48, 8);
  Label1_->adjustSize();

  MaskEdit1_->setObjectName(QStringLiteral("MaskEdit1"));
  MaskEdit1_->setGeometry(120, 33, 49, 19);
  MaskEdit1_->setMaxLength(kPasswordDigits);
  MaskEdit1_->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[0-9]{0,5}")), MaskEdit1_));
  auto* style = new StarPasswordStyle;
  style->setParent(this);
  MaskEdit1_->setStyle(style);
  MaskEdit1_->setEchoMode(QLineEdit::Password);

  BitBtn1_->setObjectName(QStringLiteral("BitBtn1"));
  BitBtn1_->setGeometry(67, 58, 72, 25);
  BitBtn1_->setDefault(true);
  BitBtn2_->setObjectName(QStringLiteral("BitBtn2"));
  BitBtn2_->setGeometry(145, 58, 72, 25);
  connect(BitBtn1_, &QPushButton::clicked, this, &TForm2::BitBtn1Click);
  connect(BitBtn2_, &QPushButton::clicked, this, [this] { done(kAccessCancelled); });
}

int TForm2::Ask(const std::string& closePassword) {
  closePassword_ = closePassword;
  return exec();
}

void TForm2::BitBtn1Click() {
  done(CheckAccess(MaskEdit1_->text().toStdString(), closePassword_));
}

void TForm2::FormActivate() {
  MaskEdit1_->selectAll();
  MaskEdit1_->setFocus(Qt::ActiveWindowFocusReason);
  MaskEdit1_->update();
}

void TForm2::reject() {
  done(kAccessCancelled);
}

void TForm2::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow())
    FormActivate();
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Where the window system never activates the dialog, the field is still ready to type over.
  FormActivate();
}

}  // namespace drvnt
