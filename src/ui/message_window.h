#pragma once
// The message window: the program's one way of telling the operator something. One line of
// bold text over an OK button, the window as wide as the text needs at ten pixels a character,
// shown modally (a nested event loop, so the serial line, the timers and both server links keep
// working while it is open). Created once and hidden between uses; never holds state between them.

#include <QDialog>
#include <string>

class QLabel;
class QPushButton;

namespace drvnt {

class Tadvsm final : public QDialog {
  Q_OBJECT

 public:
  explicit Tadvsm(QWidget* parent = nullptr);

  // Fits the window to the text and shows it modally; returns once the operator has closed it.
  void ShowText(const std::string& text);
  // The fitting alone: label text, window width, label and button positions.
  void FitText(const std::string& text);

 private:
  void FitFont(int available);

  QLabel* label1_;
  QPushButton* BitBtn1_;
};

}  // namespace drvnt
