#include "app/settings.h"
#include "app/startup_report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace drvnt {
namespace {

TEST(Settings, DefaultsWithoutAFile) {
  std::string host;
  const Settings s = ReadSettings(IniProfile(), [&](const std::string& h) { host = h; });
  EXPECT_EQ(s.ComPort, "COM255");
  EXPECT_EQ(s.n_abs, -1);
  EXPECT_EQ(s.FirstNumber, 4);
  EXPECT_EQ(s.PathForSoob, "");
  EXPECT_EQ(s.host, "localhost");
  EXPECT_EQ(host, "localhost");
  EXPECT_FALSE(s.NotSendToDiskV8);
  EXPECT_FALSE(s.Razdel);
  EXPECT_NEAR(s.AttentionInterval * 1440.0, 10.0, 1e-9);
  EXPECT_FALSE(s.Log);
  EXPECT_FALSE(s.SendV7);
  EXPECT_TRUE(s.SendV8);
  const ServerHostSettings v8 = ReadServerHostSettings(IniProfile());
  EXPECT_EQ(v8.Address, "127.0.0.1");
  EXPECT_EQ(v8.Port, 12543);
  EXPECT_EQ(v8.PacketSize, 2000);
}

TEST(Settings, ValuesByTheProfileRules) {
  const IniProfile ini(
      "[MAIN]\n"
      "comport=COM3\n"
      "N_ABS=0x10\n"
      "FirstNumber= 7\n"
      "PathForSoob=/var/spool/alarm/\n"
      "Host=10.0.0.5\n"
      "NotSendToDiskV8=1\n"
      "Razdel=2\n"
      "Attention=0:30\n"
      "Log=on\n"
      "SendV7=1\n"
      "SendV8=0\n"
      "[serverhost]\n"
      "address=v8.example\n"
      "port=$3100\n");
  const Settings s = ReadSettings(ini);
  EXPECT_EQ(s.ComPort, "COM3");
  EXPECT_EQ(s.n_abs, 16);
  EXPECT_EQ(s.FirstNumber, 7);
  EXPECT_EQ(s.PathForSoob, "/var/spool/alarm/");
  EXPECT_EQ(s.host, "10.0.0.5");
  EXPECT_TRUE(s.NotSendToDiskV8);
  EXPECT_TRUE(s.Razdel);
  EXPECT_NEAR(s.AttentionInterval * 1440.0, 30.0, 1e-9);
  EXPECT_FALSE(s.Log);  // a word gives the default
  EXPECT_TRUE(s.SendV7);
  EXPECT_FALSE(s.SendV8);
  const ServerHostSettings v8 = ReadServerHostSettings(ini);
  EXPECT_EQ(v8.Address, "v8.example");
  EXPECT_EQ(v8.Port, 0x3100);
}

TEST(Settings, AttentionThatDoesNotParseGivesTenMinutes) {
  for (const char* text : {"25:00:00", "ten", "", "1:2:3:4"}) {
    const Settings s = ReadSettings(IniProfile(std::string("[main]\nAttention=") + text + "\n"));
    EXPECT_NEAR(s.AttentionInterval * 1440.0, 10.0, 1e-9) << text;
  }
}

// One warning per unknown section or key and per value that breaks its key's rule; the values
// themselves read as before (a word gives the default).
struct CheckCase {
  const char* name;
  const char* text;
  std::vector<std::string> warnings;
};

class SettingsCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(SettingsCheck, WarnsOncePerProblem) {
  EXPECT_EQ(CheckSettings(IniProfile(GetParam().text)), GetParam().warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsCheck,
    ::testing::Values(
        CheckCase{"Clean",
                  "; comment\n[main]\nComPort=COM3\nSendV8=1\nAttention=0:30\n"
                  "[ServerHost]\nPort=$3100\n[Razdels]\n123_1=777\n[ComPorts]\nCOM3=/dev/x\n",
                  {}},
        CheckCase{"WordForABoolean",
                  "[main]\nSendV8=yes\n",
                  {"[main] SendV8=yes is not a number (0 off, 1 on); the default 1"}},
        CheckCase{"TrailingCharacters",
                  "[ServerHost]\nPort=12543x\n",
                  {"[ServerHost] Port=12543x is not a 32-bit integer; the default 12543"}},
        CheckCase{"TimeOutOfRange",
                  "[MAIN]\nattention=25:00\n",
                  {"[MAIN] attention=25:00 is not a time of day h:m:s or h:m; the default "
                   "00:10:00"}},
        CheckCase{"UnknownSectionAndKeys",
                  "[main]\nComPrt=COM1\n[Server]\nPort=1\n[serverhost]\nHost=x\n",
                  {"unknown key ComPrt in [main]; it is ignored",
                   "unknown section [Server]; it is ignored",
                   "unknown key Host in [serverhost]; it is ignored"}},
        CheckCase{"PartitionOverrideNotANumber",
                  "[Razdels]\n123_1=seven\n",
                  {"[Razdels] 123_1=seven is not an object number; the partition has no "
                   "override"}},
        CheckCase{"TextKeysTakeAnything", "[main]\nComPort=\nhost=\nPathForSoob=x y\n", {}}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST(Settings, ValuesThatWarnStillFollowTheRules) {
  const IniProfile ini("[main]\nSendV8=yes\nSendV7=2\nFirstNumber=7x\n[ServerHost]\nPort=12543x\n");
  const Settings s = ReadSettings(ini);
  EXPECT_TRUE(s.SendV8);
  EXPECT_TRUE(s.SendV7);
  EXPECT_EQ(s.FirstNumber, 4);
  EXPECT_EQ(ReadServerHostSettings(ini).Port, 12543);
}

TEST(StartupSummary, NamesTheFileThePortTheLinksAndTheSpool) {
  StartupFacts f;
  f.iniPath = "/var/lib/drvnt417/drvnt417.ini";
  f.iniFound = true;
  f.directory = "/var/lib/drvnt417";
  f.settings = ReadSettings(
      IniProfile("[main]\nComPort=COM1\nSendV7=1\nhost=10.0.0.5\nPathForSoob=spool/\n"));
  f.v8 = ReadServerHostSettings(IniProfile("[ServerHost]\nAddress=10.0.0.6\nPort=3100\n"));
  f.portDevice = "/dev/serial/by-id/usb-receiver";
  EXPECT_EQ(StartupSummary(f),
            (std::vector<std::string>{
                "settings: /var/lib/drvnt417/drvnt417.ini",
                "port: COM1 on /dev/serial/by-id/usb-receiver",
                "V7 link: 10.0.0.5:7788",
                "V8 link: 10.0.0.6:3100",
                "spool: prefix \"spool/\", files /var/lib/drvnt417/spool/*.dd8 and "
                "/var/lib/drvnt417/spool/*.ddk",
            }));
}

TEST(StartupSummary, WithoutAFileEverySettingIsItsDefault) {
  StartupFacts f;
  f.iniPath = "/tmp/x/drvnt417.ini";
  f.directory = "/tmp/x";
  f.settings = ReadSettings(IniProfile());
  f.v8 = ReadServerHostSettings(IniProfile());
  EXPECT_EQ(StartupSummary(f),
            (std::vector<std::string>{
                "settings: no /tmp/x/drvnt417.ini; every setting has its default",
                "port: none chosen (ComPort=COM255)",
                "V7 link: off (SendV7=0)",
                "V8 link: 127.0.0.1:12543",
                "spool: prefix \"\", files /tmp/x/*.dd8 and /tmp/x/*.ddk",
            }));
}

class IniFileTest : public ::testing::Test {
 protected:
  testing::TempDir tmp_;
  const std::string dir_ = tmp_.Path();
};

TEST_F(IniFileTest, WriterKeepsEveryOtherLine) {
  const std::string text = "; comment\r\n[main]\r\nComPort=COM1\r\nLog=1\r\n[Razdels]\r\n1_1=5\r\n";
  std::ofstream(dir_ + "/drvnt417.ini", std::ios::binary) << text;
  IniFile ini(dir_);
  ini.WriteString("main", "ComPort", "COM4");
  EXPECT_EQ(ReadWholeFile(ini.Path()),
            "; comment\r\n[main]\r\nComPort=COM4\r\nLog=1\r\n[Razdels]\r\n1_1=5\r\n");
  EXPECT_EQ(ini.Load()->ReadString("main", "comport", ""), "COM4");
}

// A large INI file must not be read for every frame: it is read again only when it changed. An
// edit of the same size whose modification time is put back (a copy that keeps times) still shows
// in the entry's change time, and a file replaced by a rename is another file.
TEST_F(IniFileTest, FileIsReadAgainOnlyWhenItChanged) {
  const std::string path = dir_ + "/drvnt417.ini";
  const timespec oneHourAgo{::time(nullptr) - 3600, 0};
  const timespec times[2] = {oneHourAgo, oneHourAgo};
  auto write = [&](const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  write("[Razdels]\n1_1=5\n");
  const IniFile ini(dir_, 0);  // every stamp trusted at once
  for (int frame = 0; frame < 10; ++frame)
    EXPECT_EQ(ini.Load()->ReadInteger("Razdels", "1_1", -1), 5);
  EXPECT_EQ(ini.Readings(), 1u);

  usleep(20 * 1000);  // past the time-stamp tick of the first write
  write("[Razdels]\n1_1=7\n");
  EXPECT_EQ(ini.Load()->ReadInteger("Razdels", "1_1", -1), 7);
  EXPECT_EQ(ini.Readings(), 2u);

  usleep(20 * 1000);
  std::ofstream(dir_ + "/new.ini", std::ios::binary) << "[Razdels]\n1_1=8\n";
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir_ + "/new.ini").c_str(), times, 0), 0);
  std::filesystem::rename(dir_ + "/new.ini", path);
  EXPECT_EQ(ini.Load()->ReadInteger("Razdels", "1_1", -1), 8);
  EXPECT_EQ(ini.Load()->ReadInteger("Razdels", "1_1", -1), 8);
  EXPECT_EQ(ini.Readings(), 3u);

  std::filesystem::remove(path);
  EXPECT_EQ(ini.Load()->ReadInteger("Razdels", "1_1", -1), -1);
  EXPECT_EQ(ini.Load()->ReadInteger("Razdels", "1_1", -1), -1);
  EXPECT_EQ(ini.Readings(), 4u);
}

// A stamp taken right after a change cannot show that no other change of the same size follows
// within the same time-stamp tick: such a file is read again (but parsed again only when its
// text changed), so an edit always counts from the next lookup.
TEST_F(IniFileTest, FreshlyChangedFileIsReadAgain) {
  const std::string path = dir_ + "/drvnt417.ini";
  std::ofstream(path, std::ios::binary) << "[Razdels]\n1_1=5\n";
  const IniFile ini(dir_, 3'000'000'000);  // as on a file system with whole-second stamps
  const auto first = ini.Load();
  EXPECT_EQ(ini.Load(), first);  // read again, the same text: the same profile
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "[Razdels]\n1_1=6\n";
  EXPECT_EQ(ini.Load()->ReadInteger("Razdels", "1_1", -1), 6);
  EXPECT_EQ(ini.Readings(), 3u);
}

TEST_F(IniFileTest, WriterCreatesAMissingFileAndReportsFailure) {
  IniFile ini(dir_);
  ini.WriteString("main", "ComPort", "");
  EXPECT_EQ(ReadWholeFile(ini.Path()), "[main]\nComPort=\n");
  IniFile nowhere(dir_ + "/missing");
  EXPECT_THROW(nowhere.WriteString("main", "ComPort", "COM1"), std::runtime_error);
}

}  // namespace
}  // namespace drvnt
