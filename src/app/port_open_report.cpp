#include "app/port_open_report.h"

namespace drvnt {
namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";

std::string Reason(const SerialError& error) {
  switch (error.code) {
    case SerialErrorCode::kNotFound:
      return "no such device";
    case SerialErrorCode::kAccessDenied:
      return "permission denied: add the service user to the dialout group";
    case SerialErrorCode::kBusy:
      return "held by another program";
    case SerialErrorCode::kNotSerial:
      return "not a serial device";
    case SerialErrorCode::kUnsupported:
      return "the device does not take the line settings (2400 bit/s 8N1)";
    case SerialErrorCode::kNone:
      return "the port name names no device";
    case SerialErrorCode::kNotOpen:
    case SerialErrorCode::kIo:
      break;
  }
  return "input/output error";
}

std::string WithSystemText(std::string reason, const SerialError& error) {
  if (!error.text.empty() && error.text != reason)
    reason += " (" + error.text + ")";
  return reason;
}

}  // namespace

std::string PortLabel(const TCommPortDriver& port) {
  std::string name = port.PortName();
  if (name.starts_with(kDevicePrefix))
    name.erase(0, kDevicePrefix.size());
  const std::string device = port.DevicePath();
  return name + " (" + (device.empty() ? "no device" : device) + ")";
}

std::string PortOpenFailureLine(const std::string& portLabel, const SerialError& error) {
  return "port " + portLabel + " did not open: " + WithSystemText(Reason(error), error);
}

std::string LineLostLine(const std::string& portLabel, const SerialError& error,
                         std::uint32_t reopenIntervalMs) {
  return "port " + portLabel + ": the line is lost (" +
         WithSystemText(
             error.code == SerialErrorCode::kNotFound ? "the device is gone" : "the device hung up",
             error) +
         "); opening it again every " +
         (reopenIntervalMs % 1000 == 0 ? std::to_string(reopenIntervalMs / 1000) + " s"
                                       : std::to_string(reopenIntervalMs) + " ms");
}

std::string LineBackLine(const std::string& portLabel) {
  return "port " + portLabel + ": the line is back";
}

}  // namespace drvnt
