#include "app/port_open_report.h"

namespace drvnt {
namespace {

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

}  // namespace

std::string PortOpenFailureLine(const std::string& portName, const std::string& devicePath,
                                const SerialError& error) {
  std::string line = "port " + portName + " (" + (devicePath.empty() ? "no device" : devicePath) +
                     ") did not open: " + Reason(error);
  if (!error.text.empty() && error.text != Reason(error))
    line += " (" + error.text + ")";
  return line;
}

}  // namespace drvnt
