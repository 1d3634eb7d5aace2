#pragma once
// The main window: the operator's only view of the driver. The status page shows the three link
// glyphs, the start time, the close password and the V8 log; the settings page carries the port
// controls. Minimising hides the window into the tray (where the desktop has one), whose menu
// restores it or asks to close the program.
//
// The window renders what the engine tells it through OperatorUi and forwards the operator's
// actions through hooks; it keeps no state of the driver. Every way of closing it (its close
// button, the tray's "Закрыть", the engine's RequestClose) asks the engine's close handler first
// and stays open when the handler says no. Main thread only.

#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <string>

#include "app/operator_ui.h"

class QAbstractButton;
class QAction;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;
class QToolButton;

namespace drvnt {

class PortManager;
class TForm2;
class Tadvsm;

// What the operator does on the port controls.
struct PortActions {
  std::function<void(const std::string&)> textEdited;  // every keystroke that changes the text
  std::function<void(int)> entryPicked;                // a list entry chosen, by index
  std::function<void()> enterPressed;
  std::function<void()> startStopClicked;
  std::function<void()> rescanClicked;
};

// The port actions forwarded to a port-management model.
PortActions PortActionsFor(PortManager& manager);

class TForm1 final : public QWidget, public OperatorUi {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The two other windows, created by the program entry; without them the window shows no
  // message and refuses every access.
  void SetAccessDialog(TForm2* dialog);
  void SetMessageWindow(Tadvsm* window);
  // Asked before the window closes; true lets it close. Without a handler it closes.
  void SetCloseRequestHandler(std::function<bool()> mayClose) { mayClose_ = std::move(mayClose); }
  // Called once the window has closed (the program's cue to end its event loop).
  void SetClosedHandler(std::function<void()> closed) { closed_ = std::move(closed); }
  void SetPortActions(PortActions actions) { portActions_ = std::move(actions); }

  // Whether minimising goes to the tray. It starts as the desktop's tray availability: without a
  // tray a minimised window stays a normal minimised window, so the operator never loses it.
  void SetTrayMode(bool on);
  bool TrayMode() const { return trayMode_; }
  // Turns tray mode on once a notification area is there; a timer asks every few seconds while
  // there is none. `available` replaces the desktop's answer (for tests).
  void CheckForTray();
  void SetTrayAvailability(std::function<bool()> available) {
    trayAvailable_ = std::move(available);
  }

  // The caption band's maximise button: maximised, or back to the fixed normal size.
  void ToggleMaximized();

  // The page buttons, "Состояние" and "Настройки".
  void AdvGlowButton28Click();
  void AdvGlowButton47Click();
  void SelectPage(const QString& name);
  QString ActivePageName() const;

  void ApplicationEvents1Minimize();
  // Tray menu: "Восстановить" and "Закрыть".
  void N4Click();
  void N6Click();

  // OperatorUi
  void PaintGlyph(LinkGlyph glyph, bool linkUp, int counter) override;
  void AppendLogLine(const std::string& line) override;
  void ShowMessageWindow(const std::string& text) override;
  int ShowAccessDialog(const std::string& closePassword) override;
  void ShowStartTime(const std::string& text) override;
  void ShowClosePassword(const std::string& password) override;
  void SetV7RowVisible(bool visible) override;
  void ShowPortControls(const PortControls& controls) override;
  void ReportError(const std::string& text) override;
  void RequestClose() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void BuildCaptionBand();
  void BuildPageBar();
  QToolButton* BuildPageToolbar(QWidget* bar, const QString& name, int left, const QString& caption,
                                const QIcon& icon);
  void BuildNotebook();
  void BuildStatusPage(QWidget* page);
  void BuildSetupPage(QWidget* page);
  void BuildTray();
  QLabel* AddLabel(QWidget* parent, const QString& name, const QString& text, int left, int top);
  static void FitWidth(QLabel* label, int available);
  QLabel* AddGlyph(QWidget* parent, const QString& name, int left, int top);
  void MirrorPortBox(const PortControls& controls);
  void ConnectPortControls();
  void ReportClosed();

  QStackedWidget* Notebook1_ = nullptr;
  QButtonGroup* pageButtons_ = nullptr;
  QToolButton* AdvGlowButton28_ = nullptr;
  QToolButton* AdvGlowButton47_ = nullptr;
  QLabel* Image1_ = nullptr;  // V7 link
  QLabel* Image2_ = nullptr;  // receiver link
  QLabel* Image3_ = nullptr;  // V8 link
  QLabel* Label6_ = nullptr;
  QLabel* Label13_ = nullptr;
  QLabel* Label15_ = nullptr;
  QPlainTextEdit* Memo1_ = nullptr;
  QComboBox* AdvOfficeComboBox1_ = nullptr;
  QPushButton* AdvGlowButton1_ = nullptr;
  QPushButton* AdvGlowButton2_ = nullptr;
  QSystemTrayIcon* RxTrayIcon1_ = nullptr;
  QTimer* trayWatch_ = nullptr;
  std::function<bool()> trayAvailable_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  QWidget* captionBand_ = nullptr;
  QPoint normalPosition_;
  QMenu* AdvPopupMenu1_ = nullptr;

  QPointer<TForm2> accessDialog_;
  QPointer<Tadvsm> messageWindow_;
  QPointer<QMessageBox> errorBox_;
  std::function<bool()> mayClose_;
  std::function<void()> closed_;
  PortActions portActions_;
  bool trayMode_ = false;
  bool centred_ = false;
  bool closing_ = false;  // inside closeEvent, asking the engine
  bool closedReported_ = false;
};

}  // namespace drvnt
