#pragma once
// The receiver's serial port in lines for standard error, beside what the operator sees: why it
// did not open, in the system's words with what to do about it (a service user outside the
// dialout group cannot open a serial device at all), and a line that went away and came back.

#include <string>

#include "platform/serial_device.h"
#include "receiver/comm_port_driver.h"

namespace drvnt {

// "COM1 (/dev/ttyUSB0)": the port as the operator names it, and the device it opens.
std::string PortLabel(const TCommPortDriver& port);

std::string PortOpenFailureLine(const std::string& portLabel, const SerialError& error);
std::string LineLostLine(const std::string& portLabel, const SerialError& error,
                         std::uint32_t reopenIntervalMs);
std::string LineBackLine(const std::string& portLabel);

}  // namespace drvnt
