#pragma once
// The front end of a driver that runs without a screen (a service, a machine with no display):
// it creates no widget. Operator messages and error reports go to standard error, one line each;
// the V8 log lines reach standard output through the engine already, so nothing is repeated here.
// Nobody can answer the access dialog, so it is "cancelled": such a driver closes by SIGTERM or
// SIGINT, or by the V7 server's close command. Nothing here ever waits for a person.

#include <functional>
#include <ostream>
#include <string>

#include "app/operator_ui.h"

namespace drvnt {

class HeadlessUi final : public OperatorUi {
 public:
  explicit HeadlessUi(std::ostream& err);

  // Runs the engine's close request when the engine asks the "window" to close.
  void SetCloseRequestHandler(std::function<void()> handler) { onClose_ = std::move(handler); }

  void PaintGlyph(LinkGlyph, bool, int) override {}
  void AppendLogLine(const std::string&) override {}
  void ShowMessageWindow(const std::string& text) override;
  int ShowAccessDialog(const std::string& closePassword) override;
  void ShowStartTime(const std::string&) override {}
  void ShowClosePassword(const std::string&) override {}
  void SetV7RowVisible(bool) override {}
  void ShowPortControls(const PortControls&) override {}
  void ReportError(const std::string& text) override;
  void RequestClose() override;

 private:
  std::ostream& err_;
  std::function<void()> onClose_;
};

}  // namespace drvnt
