// Port names to device paths: the [ComPorts] section first, then COMn, then the device directory.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/serial_device.h"

namespace drvnt {
namespace {

struct PathCase {
  const char* portName;
  const char* path;
  friend void PrintTo(const PathCase& c, std::ostream* os) { *os << '"' << c.portName << '"'; }
};

class DevicePathTest : public ::testing::TestWithParam<PathCase> {};

// The INI file maps COM1 and one name that is no COM port; a key with an empty value maps nothing.
std::optional<std::string> Configured(std::string_view name) {
  if (name == "COM1")
    return "/dev/ttyUSB0";
  if (name == "RECEIVER")
    return "/dev/serial/by-id/usb-receiver";
  if (name == "COM4")
    return "";
  return std::nullopt;
}

TEST_P(DevicePathTest, PortNameMapsToItsDevice) {
  EXPECT_EQ(SerialDevicePath(GetParam().portName, Configured), GetParam().path)
      << GetParam().portName;
}

INSTANTIATE_TEST_SUITE_P(
    Names, DevicePathTest,
    ::testing::Values(PathCase{"\\\\.\\COM1", "/dev/ttyUSB0"},
                      PathCase{"\\\\.\\RECEIVER", "/dev/serial/by-id/usb-receiver"},
                      PathCase{"\\\\.\\COM2", "/dev/ttyS1"}, PathCase{"\\\\.\\COM4", "/dev/ttyS3"},
                      PathCase{"\\\\.\\COM32", "/dev/ttyS31"},
                      PathCase{"\\\\.\\com3", "/dev/ttyS2"}, PathCase{"COM3", "/dev/ttyS2"},
                      PathCase{"\\\\.\\COM0", "/dev/COM0"}, PathCase{"\\\\.\\COM01", "/dev/COM01"},
                      PathCase{"\\\\.\\COM1X", "/dev/COM1X"},
                      PathCase{"\\\\.\\ttyACM0", "/dev/ttyACM0"}, PathCase{"\\\\.\\", ""},
                      PathCase{"", ""}, PathCase{"\\\\.\\..", ""},
                      PathCase{"\\\\.\\../etc/passwd", ""}, PathCase{"\\\\.\\pts/3", ""}));

TEST(DevicePathLookupTest, WithoutALookupOnlyTheBuiltInRulesApply) {
  EXPECT_EQ(SerialDevicePath("\\\\.\\COM1", {}), "/dev/ttyS0");
}

TEST(ComPortsFromIniFileTest, ReadsTheComPortsSectionOfTheFileAtEachLookup) {
  char tmpl[] = "/tmp/drvnt-comports-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string ini = std::string(tmpl) + "/drvnt417.ini";
  const ComPortsLookup lookup = ComPortsFromIniFile(ini);
  EXPECT_EQ(lookup("COM1"), std::nullopt) << "missing file";
  std::ofstream(ini) << "[main]\nCOM1=/dev/wrong\n[comports]\ncom1 = /dev/ttyUSB0\n";
  EXPECT_EQ(lookup("COM1"), "/dev/ttyUSB0");
  EXPECT_EQ(lookup("COM2"), std::nullopt);
  EXPECT_EQ(SerialDevicePath("\\\\.\\COM1", lookup), "/dev/ttyUSB0");
  std::filesystem::remove_all(tmpl);
}

}  // namespace
}  // namespace drvnt
