#include "receiver/spool_writer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace drvnt {
namespace {

namespace fs = std::filesystem;

class SpoolWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CalendarTime t{2026, 3, 15, 10, 30, 0, 250, 0};  // stem 4F802D3A
    DateTime now;
    ASSERT_TRUE(TryEncodeDateTime(t, now));
    clock_.SetNow(now);
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_))
      names.insert(e.path().filename());
    return names;
  }

  testing::TempDir tmp_;
  const std::string dir_ = tmp_.Path() + "/";
  testing::FakeClock clock_;
  std::vector<int> logged_;
  SpoolWriter writer_{SystemSpoolDir(), clock_, [this](int code) { logged_.push_back(code); }};
};

TEST_F(SpoolWriterTest, NamesFromTheStem) {
  const std::uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(writer_.Write(dir_, "", ".dd8", data), dir_ + "4F802D3A.dd8");
  EXPECT_EQ(writer_.Write(dir_, "_-1", ".ddk", data), dir_ + "4F802D3A_-1.ddk");
  EXPECT_EQ(Names(), (std::set<std::string>{"4F802D3A.dd8", "4F802D3A_-1.ddk"}));
}

// The same millisecond, or the same day and time of another month, must not replace a file.
TEST_F(SpoolWriterTest, TakenNameMovesOnToTheNextStem) {
  const std::uint8_t first[] = {1};
  const std::uint8_t second[] = {2};
  const std::uint8_t third[] = {3};
  writer_.Write(dir_, "", ".dd8", first);
  EXPECT_EQ(writer_.Write(dir_, "", ".dd8", second), dir_ + "4F802D3B.dd8");
  EXPECT_EQ(writer_.Write(dir_, "", ".dd8", third), dir_ + "4F802D3C.dd8");
  std::ifstream in(dir_ + "4F802D3A.dd8", std::ios::binary);
  EXPECT_EQ(in.get(), 1);
  // Another extension does not collide.
  EXPECT_EQ(writer_.Write(dir_, "", ".ddk", first), dir_ + "4F802D3A.ddk");
}

TEST_F(SpoolWriterTest, PrefixWithoutSeparatorPutsFilesBesideTheDirectory) {
  fs::create_directory(dir_ + "spool");
  const std::uint8_t data[] = {1};
  EXPECT_EQ(writer_.Write(dir_ + "spool", "", ".ddk", data), dir_ + "spool4F802D3A.ddk");
}

TEST_F(SpoolWriterTest, FailedWriteIsNoSuccessAndLeavesNothing) {
  const std::uint8_t data[] = {1};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(writer_.Write(dir_ + "missing/", "", ".dd8", data), std::nullopt);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(dir_ + "missing/4F802D3A.dd8"), std::string::npos) << err;
  EXPECT_TRUE(Names().empty());
}

TEST_F(SpoolWriterTest, NoCalendarTimeLogsErrorElevenAndNamesByExtension) {
  clock_.SetNow(1e300);
  const std::uint8_t data[] = {1};
  EXPECT_EQ(writer_.Write(dir_, "", ".dd8", data), dir_ + ".dd8");
  EXPECT_EQ(writer_.Write(dir_, "", ".dd8", data), dir_ + "1.dd8");
  EXPECT_EQ(logged_, (std::vector<int>{11, 11}));
}

}  // namespace
}  // namespace drvnt
