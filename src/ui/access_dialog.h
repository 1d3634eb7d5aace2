#pragma once
// The access dialog: asks for the close password before the program closes or the serial port
// stops. Five digits at most, shown as "*". Its result is kAccessAccepted (1), kAccessWrongPassword
// (4) or kAccessCancelled (2); closing the window by its frame or Escape is a cancel. The field
// keeps what was typed last time and is selected whenever the dialog becomes active, so the
// operator either confirms it or types over it. Never shows or logs the password.

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace drvnt {

class TForm2 final : public QDialog {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* parent = nullptr);

  // Shows the dialog modally (a nested event loop) against the close password; returns its result.
  int Ask(const std::string& closePassword);

  // "ОК": the password check.
  void BitBtn1Click();
  // The dialog became the active window: select the whole field and give it the focus.
  void FormActivate();

 public slots:
  void reject() override;

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QLabel* Label1_;
  QLineEdit* MaskEdit1_;
  QPushButton* BitBtn1_;
  QPushButton* BitBtn2_;
  std::string closePassword_;
};

}  // namespace drvnt
