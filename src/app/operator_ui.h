#pragma once
// The engine's only way to the operator: the three link glyphs, the V8 log box, the modal message
// window and access dialog, the start-up fields, the port controls, the error report and the
// request to close the main window. The Qt window implements it; the tests put a recording front
// end in its place, so the engine runs without a display.

#include <string>
#include <vector>

namespace drvnt {

enum class LinkGlyph { Receiver, V7, V8 };

// Modal results of the access dialog.
enum AccessResult : int { kAccessAccepted = 1, kAccessCancelled = 2, kAccessWrongPassword = 4 };

// What the port controls of the settings page show.
struct PortControls {
  std::string text;               // text of the port box
  std::vector<std::string> list;  // entries of its drop-down list
  bool boxAndRescanEnabled = false;
  std::string startStopCaption;  // "Остановить" (running) or "Запустить" (stopped)
};

class OperatorUi {
 public:
  virtual ~OperatorUi() = default;

  // Redraws a glyph completely from its link-up flag and activity counter (0..16).
  virtual void PaintGlyph(LinkGlyph glyph, bool linkUp, int counter) = 0;
  // Appends one line, date and time already in front, to the V8 log box.
  virtual void AppendLogLine(const std::string& line) = 0;
  // Shows a text in the message window; returns once the operator has closed it.
  virtual void ShowMessageWindow(const std::string& text) = 0;
  // Shows the access dialog modally against the close password; returns its modal result.
  virtual int ShowAccessDialog(const std::string& closePassword) = 0;

  virtual void ShowStartTime(const std::string& text) = 0;
  virtual void ShowClosePassword(const std::string& password) = 0;
  virtual void SetV7RowVisible(bool visible) = 0;
  virtual void ShowPortControls(const PortControls& controls) = 0;

  // The program's error report for an error that escaped a handler or a timer tick.
  virtual void ReportError(const std::string& text) = 0;

  // Asks the main window to close; the window runs the engine's close request.
  virtual void RequestClose() = 0;
};

}  // namespace drvnt
