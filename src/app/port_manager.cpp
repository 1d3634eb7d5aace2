#include "app/port_manager.h"

#include <algorithm>

namespace drvnt {

namespace {

const std::string kDevicePrefix = "\\\\.\\";

}  // namespace

PortControls PortManager::Controls() const {
  PortControls c;
  c.text = text_;
  c.list = list_;
  c.boxAndRescanEnabled = !running_;
  c.startStopCaption = running_ ? kCaptionRunning : kCaptionStopped;
  return c;
}

void PortManager::StartupScan() {
  ClearList();
  SelectFirstEntry();
  AdvGlowButton1Click();
}

void PortManager::ShowConfiguredPort(const std::string& comPort) {
  SetText(comPort);
}

void PortManager::EnterStoppedState() {
  SetRunning(false);
}

void PortManager::AdvGlowButton1Click() {
  struct Scan {
    PortManagerHost& host;
    explicit Scan(PortManagerHost& h) : host(h) { host.ScanBegins(); }
    ~Scan() { host.ScanEnds(); }
  } scan(host_);
  ClearList();
  for (int n = kScanFirstPort; n <= kScanLastPort; ++n) {
    const std::string name = "COM" + std::to_string(n);
    host_.SetPortName(kDevicePrefix + name);
    if (!TryOpenPort())
      continue;  // absent or held by another program
    host_.ClosePort();
    AddEntry(name);
  }
  SelectFirstEntry();
  AdvOfficeComboBox1Select();
}

void PortManager::AdvGlowButton2Click() {
  if (running_) {
    Stop();
  } else {
    Start();
  }
}

void PortManager::AdvOfficeComboBox1Select() {
  if (running_)
    return;
  try {
    host_.WriteComPort(text_);
    host_.SetRememberedPortName(text_);
    host_.SendPortStatus();
  } catch (...) {
    // The operator sees nothing; the error log keeps the trace.
    host_.LogError(kSelectionErrorCode);
  }
}

void PortManager::TextEdited(const std::string& text) {
  SetText(text);
}

void PortManager::EntryPicked(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= list_.size())
    return;
  SetText(list_[static_cast<std::size_t>(index)]);
  AdvOfficeComboBox1Select();
}

void PortManager::EnterPressed() {
  AdvOfficeComboBox1Select();
}

void PortManager::SetText(const std::string& text) {
  if (text == text_)
    return;
  text_ = text;
  Changed();
  AdvOfficeComboBox1Select();
}

void PortManager::ClearList() {
  if (list_.empty())
    return;
  list_.clear();
  Changed();
  ClearTextNotInList();
}

void PortManager::AddEntry(const std::string& entry) {
  list_.push_back(entry);
  Changed();
  ClearTextNotInList();
}

void PortManager::ClearTextNotInList() {
  if (std::find(list_.begin(), list_.end(), text_) == list_.end())
    SetText("");
}

void PortManager::SelectFirstEntry() {
  if (!list_.empty())
    SetText(list_.front());
}

bool PortManager::TryOpenPort() {
  try {
    return host_.OpenPort();
  } catch (...) {
    return false;
  }
}

void PortManager::Stop() {
  if (host_.ShowAccessDialog() == kAccessAccepted) {
    if (host_.IsPortOpen())
      host_.ClosePort();
    SetRunning(false);
  } else {
    host_.ShowMessageWindow(kStopRefusedText);
  }
  host_.SendPortStatus();
}

void PortManager::Start() {
  host_.SetPortName(kDevicePrefix + text_);
  if (TryOpenPort()) {
    host_.SetDtr(true);
    SetRunning(true);
  } else {
    host_.PortDidNotOpen();
    host_.ShowMessageWindow(kPortBusyText);
    AdvGlowButton1Click();
  }
  host_.SendPortStatus();
}

void PortManager::SetRunning(bool running) {
  if (running == running_)
    return;
  running_ = running;
  Changed();
}

void PortManager::Changed() {
  host_.PortControlsChanged(Controls());
}

}  // namespace drvnt
