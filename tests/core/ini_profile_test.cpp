#include "core/ini_profile.h"

#include <gtest/gtest.h>

namespace drvnt {
namespace {

const char* kText =
    "; driver settings\r\n"
    "[Main]\r\n"
    "ComPort = COM3 \r\n"
    "FIRSTNUMBER=$10\r\n"
    "Log=yes\r\n"
    "SendV7=2\r\n"
    "PathForSoob=\"/var/spool/alarm/\"\r\n"
    "Empty=\r\n"
    "[Razdels]\r\n"
    "123_1=777\r\n"
    "124_1=-1\r\n"
    "[main]\r\n"
    "ComPort=COM9\r\n";

TEST(IniProfile, ReadingRules) {
  const IniProfile ini(kText);
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"main", "comport", "COM3"},  // names without case, blanks dropped, first section
      {"MAIN", "ComPort", "COM3"},
      {"main", "PathForSoob", "/var/spool/alarm/"},  // one pair of quotes removed
      {"main", "Empty", ""},
      {"main", "missing", std::nullopt},
      {"nosuch", "ComPort", std::nullopt},
      {"razdels", "123_1", "777"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.Find(c.section, c.key), c.value) << c.section << "/" << c.key;
  }
  EXPECT_EQ(ini.ReadInteger("main", "FirstNumber", 4), 16);
  EXPECT_EQ(ini.ReadInteger("main", "ComPort", 4), 4);
  EXPECT_EQ(ini.ReadBool("main", "Log", false), false);  // a word gives the default
  EXPECT_EQ(ini.ReadBool("main", "Log", true), true);
  EXPECT_EQ(ini.ReadBool("main", "SendV7", false), true);
  EXPECT_EQ(ini.ReadBool("main", "SendV8", true), true);
  EXPECT_EQ(ini.ReadInteger("Razdels", "124_1", -1), -1);
  EXPECT_EQ(IniProfile().ReadString("main", "host", "localhost"), "localhost");
}

TEST(IniProfile, ValuesAreCutAt2047Characters) {
  const std::string longValue(3000, 'a');
  const IniProfile ini("[main]\nPathForSoob=" + longValue + "\n");
  EXPECT_EQ(ini.ReadString("main", "PathForSoob", "").size(), 2047u);
}

TEST(IniProfile, WriterChangesOneLineInPlace) {
  const std::string out = IniProfile::WithValue(kText, "MAIN", "comport", "COM7");
  std::string expected = kText;
  expected.replace(expected.find("ComPort = COM3 "), 15, "comport=COM7");
  EXPECT_EQ(out, expected);
}

TEST(IniProfile, WriterAddsMissingKeysAndSections) {
  EXPECT_EQ(IniProfile::WithValue("[main]\nLog=1\n\n[Other]\nA=1\n", "main", "ComPort", "COM2"),
            "[main]\nLog=1\nComPort=COM2\n\n[Other]\nA=1\n");
  EXPECT_EQ(IniProfile::WithValue("; only a comment", "main", "ComPort", ""),
            "; only a comment\n[main]\nComPort=\n");
  EXPECT_EQ(IniProfile::WithValue("", "main", "ComPort", "COM1"), "[main]\nComPort=COM1\n");
  EXPECT_EQ(IniProfile::WithValue("[main]", "main", "ComPort", "COM1"), "[main]\nComPort=COM1\n");
}

// Editors that save UTF-8 put a byte-order mark in front; the first section must still count.
TEST(IniProfile, ByteOrderMarkBeforeTheFirstSection) {
  const std::string bom = "\xEF\xBB\xBF";
  const IniProfile ini(bom + "[main]\r\nComPort=COM3\r\n[Razdels]\r\n123_1=777\r\n");
  EXPECT_EQ(ini.Find("main", "ComPort"), "COM3");
  EXPECT_EQ(ini.ReadInteger("Razdels", "123_1", -1), 777);
  // A key before any section: the mark is no part of its name either.
  EXPECT_EQ(IniProfile(bom + "[main]\nLog=1\n").ReadBool("main", "Log", false), true);
  // The writer keeps the mark and changes the key in the first section.
  EXPECT_EQ(IniProfile::WithValue(bom + "[main]\nComPort=COM3\n", "main", "ComPort", "COM4"),
            bom + "[main]\nComPort=COM4\n");
  // A file that holds only the mark is empty: the new section is its first line.
  EXPECT_EQ(IniProfile::WithValue(bom, "main", "ComPort", "COM4"), bom + "[main]\nComPort=COM4\n");
}

// A section is read within its own bounds: the same key in a later section, or in a repeated
// section of the same name, is not taken; an empty section has no keys.
TEST(IniProfile, LookupStaysInTheFirstSectionOfItsName) {
  const IniProfile ini(
      "A=0\n[main]\n[Razdels]\n1_1=5\n[ComPorts]\nCOM1=/dev/ttyS9\n[razdels]\n2_1=6\n");
  EXPECT_EQ(ini.Find("main", "1_1"), std::nullopt);
  EXPECT_EQ(ini.Find("main", "A"), std::nullopt);
  EXPECT_EQ(ini.Find("Razdels", "1_1"), "5");
  EXPECT_EQ(ini.Find("Razdels", "COM1"), std::nullopt);
  EXPECT_EQ(ini.Find("Razdels", "2_1"), std::nullopt);
  EXPECT_EQ(ini.Find("ComPorts", "com1"), "/dev/ttyS9");
  EXPECT_EQ(ini.Find("ComPorts", "2_1"), std::nullopt);
}

TEST(TimeOfDay, AttentionValues) {
  struct Case {
    const char* text;
    std::optional<double> seconds;
  };
  const Case cases[] = {
      {"00:10:00", 600},          {"0:30", 1800},
      {"23:59:59", 86399},        {" 1:02:03 ", 3723},
      {"25:00:00", std::nullopt}, {"12:60", std::nullopt},
      {"10", std::nullopt},       {"ten minutes", std::nullopt},
      {"1:2:3:4", std::nullopt},  {"", std::nullopt},
      {"1::3", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto v = ParseTimeOfDay(c.text);
    ASSERT_EQ(v.has_value(), c.seconds.has_value()) << c.text;
    if (v) {
      EXPECT_NEAR(*v * 86400.0, *c.seconds, 1e-6) << c.text;
    }
  }
}

}  // namespace
}  // namespace drvnt
