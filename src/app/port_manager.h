#pragma once
// Port management: the "Com порт" controls of the settings page as a model, and the operator's
// ways of choosing, stopping and starting the receiver's serial port with them.
//
// The model holds the port box (its text and its drop-down list), whether the box and the rescan
// button are enabled, and the start/stop button's caption, which is the state: "Остановить" while
// the port runs, "Запустить" while it is stopped. Two rules of the box drive everything:
//   1. every change of the box's text runs the selection, whoever changes it; setting the text it
//      already has is no change;
//   2. every change of the list (cleared while it had entries, or an entry added) clears a text
//      that is not one of the entries.
// The selection stores the box's text (INI key ComPort, the remembered port name, a port-status
// record), but only while the port is stopped; in the running state it does nothing, which is why
// the runs that start-up causes store nothing.
//
// The model reaches the serial port, the INI file, the V8 link and the operator's dialogs only
// through PortManagerHost, and never touches a widget: the window mirrors Controls() whenever the
// host is told that they changed. Main thread only.

#include <string>
#include <vector>

#include "app/operator_ui.h"

namespace drvnt {

inline constexpr const char* kCaptionRunning = "Остановить";
inline constexpr const char* kCaptionStopped = "Запустить";
inline constexpr const char* kStopRefusedText = "Неправильный пароль. В доступе отказано";
inline constexpr const char* kPortBusyText = "Порт уже занят!";
inline constexpr int kScanFirstPort = 1;
inline constexpr int kScanLastPort = 32;
inline constexpr int kSelectionErrorCode = 19;

// What port management needs from the engine.
class PortManagerHost {
 public:
  virtual ~PortManagerHost() = default;

  // The serial port. SetPortName takes the device name ("\\.\COM3"); OpenPort may throw, which
  // counts as a failed open.
  virtual void SetPortName(const std::string& deviceName) = 0;
  virtual bool OpenPort() = 0;
  virtual void ClosePort() = 0;
  virtual bool IsPortOpen() = 0;
  virtual void SetDtr(bool on) = 0;

  // Writes [main] ComPort of the INI file; throws on failure.
  virtual void WriteComPort(const std::string& value) = 0;
  virtual void SetRememberedPortName(const std::string& name) = 0;
  // A port-status record of the remembered name and IsPortOpen(), when the V8 link exists.
  virtual void SendPortStatus() = 0;
  virtual void LogError(int code) = 0;

  // Modal; kAccessAccepted, kAccessCancelled or kAccessWrongPassword.
  virtual int ShowAccessDialog() = 0;
  virtual void ShowMessageWindow(const std::string& text) = 0;
  // The operator's Start could not open the port; the engine says why on standard error.
  virtual void PortDidNotOpen() {}

  // The controls changed; the engine hands them to the window.
  virtual void PortControlsChanged(const PortControls& controls) = 0;

  // A scan of the ports begins and ends: the engine reads the device names of the ports from its
  // INI file once for the whole scan, not once for every port.
  virtual void ScanBegins() {}
  virtual void ScanEnds() {}
};

class PortManager {
 public:
  explicit PortManager(PortManagerHost& host) : host_(host) {}
  PortManager(const PortManager&) = delete;
  PortManager& operator=(const PortManager&) = delete;

  PortControls Controls() const;
  bool IsRunning() const { return running_; }

  // Start-up: clear the list, select its first entry, and scan (the state is still running).
  void StartupScan();
  // Start-up: put the configured ComPort into the box.
  void ShowConfiguredPort(const std::string& comPort);
  // Start-up, when no port is configured or the configured one did not open.
  void EnterStoppedState();

  // The rescan button, and the scan of start-up and of a failed Start.
  void AdvGlowButton1Click();
  // The start/stop button: Stop while running, Start while stopped.
  void AdvGlowButton2Click();
  // The selection: stores the box's text while stopped.
  void AdvOfficeComboBox1Select();

  // The operator's inputs on the port box.
  void TextEdited(const std::string& text);
  void EntryPicked(int index);
  void EnterPressed();

 private:
  void SetText(const std::string& text);
  void ClearList();
  void AddEntry(const std::string& entry);
  void ClearTextNotInList();
  void SelectFirstEntry();
  bool TryOpenPort();
  void Stop();
  void Start();
  void SetRunning(bool running);
  void Changed();

  PortManagerHost& host_;
  std::string text_;
  std::vector<std::string> list_;
  bool running_ = true;  // the window is created in the running state
};

}  // namespace drvnt
