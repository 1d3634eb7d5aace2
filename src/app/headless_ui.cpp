#include "app/headless_ui.h"

namespace drvnt {

HeadlessUi::HeadlessUi(std::ostream& err) : err_(err) {}

void HeadlessUi::ShowMessageWindow(const std::string& text) {
  err_ << "message: " << text << std::endl;
}

int HeadlessUi::ShowAccessDialog(const std::string&) {
  err_ << "no window to ask for the close password: refused (close by SIGTERM)" << std::endl;
  return kAccessCancelled;
}

void HeadlessUi::ReportError(const std::string& text) {
  err_ << text << std::endl;
}

void HeadlessUi::RequestClose() {
  if (onClose_)
    onClose_();
}

}  // namespace drvnt
