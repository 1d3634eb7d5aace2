#pragma once
// Why the receiver's serial port did not open, as one line for standard error beside the
// operator's message: the port, its device, and the system's reason with what to do about it
// (a service user outside the dialout group cannot open a serial device at all).

#include <string>

#include "platform/serial_device.h"

namespace drvnt {

std::string PortOpenFailureLine(const std::string& portName, const std::string& devicePath,
                                const SerialError& error);

}  // namespace drvnt
