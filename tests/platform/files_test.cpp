#include "platform/files.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace drvnt {
namespace {

namespace fs = std::filesystem;

class SpoolDirTest : public ::testing::Test {
 protected:
  void Touch(const std::string& name, const std::string& content = "x") {
    std::ofstream(dir_ + "/" + name) << content;
  }

  testing::TempDir tmp_;
  const std::string dir_ = tmp_.Path();
  SpoolDir& spool_ = SystemSpoolDir();
};

TEST_F(SpoolDirTest, AtomicWriteLeavesTheWholeFileAndNoTemporary) {
  const std::vector<std::uint8_t> data{1, 2, 3, 4};
  ASSERT_FALSE(spool_.WriteAtomically(dir_ + "/A.dd8", data));
  FileError err;
  EXPECT_EQ(spool_.Read(dir_ + "/A.dd8", 100, &err), data);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(SpoolDirTest, FailedWriteReportsTheErrorAndLeavesNothing) {
  const std::vector<std::uint8_t> data{1};
  const auto err = spool_.WriteAtomically(dir_ + "/missing/A.dd8", data);
  ASSERT_TRUE(err);
  EXPECT_FALSE(err->text.empty());
  EXPECT_FALSE(spool_.FindFirst(dir_ + "/missing/", "*.dd8"));
}

TEST_F(SpoolDirTest, MakeDirectoriesMakesTheParentsAndSaysWhetherItDid) {
  bool created = false;
  ASSERT_FALSE(spool_.MakeDirectories(dir_ + "/a/b//c", created));
  EXPECT_TRUE(created);
  EXPECT_TRUE(fs::is_directory(dir_ + "/a/b/c"));
  ASSERT_FALSE(spool_.MakeDirectories(dir_ + "/a/b/c", created));
  EXPECT_FALSE(created);
  ASSERT_FALSE(spool_.MakeDirectories("/", created));
  EXPECT_FALSE(created);
}

// Something other than a directory in the way fails, also for root, who may write anywhere.
TEST_F(SpoolDirTest, MakeDirectoriesFailsWhereAFileStands) {
  Touch("file");
  bool created = true;
  for (const std::string& path : {dir_ + "/file", dir_ + "/file/sub/dir"}) {
    const auto err = spool_.MakeDirectories(path, created);
    ASSERT_TRUE(err) << path;
    EXPECT_EQ(err->text, "Not a directory") << path;
    EXPECT_FALSE(created);
  }
}

TEST_F(SpoolDirTest, SearchMatchesOnlyFinishedFilesOfTheExtension) {
  Touch("1.dd8.tmp");  // what a crash between write and rename leaves
  Touch("2.ddk");
  Touch("3.dd8.bad");
  EXPECT_FALSE(spool_.FindFirst(dir_ + "/", "*.dd8"));
  Touch("4.dd8");
  EXPECT_EQ(spool_.FindFirst(dir_ + "/", "*.dd8"), dir_ + "/4.dd8");
}

TEST_F(SpoolDirTest, PrefixWithoutSeparatorSearchesBesideTheDirectory) {
  fs::create_directory(dir_ + "/spool");
  Touch("spool5265C00.ddk");
  Touch("other.ddk");
  EXPECT_EQ(spool_.FindFirst(dir_ + "/spool", "*.ddk"), dir_ + "/spool5265C00.ddk");
}

// The prefix is matched as written: a station's old settings may end it in a backslash, and a
// directory may hold brackets, a question mark or a star in its name.
TEST_F(SpoolDirTest, PrefixIsTakenLiterally) {
  for (const std::string lead : {"sp\\", "sp[1]", "sp?", "sp*", "[!a]"}) {
    Touch(lead + "5265C00.dd8");
    EXPECT_EQ(spool_.FindFirst(dir_ + "/" + lead, "*.dd8"), dir_ + "/" + lead + "5265C00.dd8")
        << lead;
    fs::remove(dir_ + "/" + lead + "5265C00.dd8");
  }
  // Names the prefix would match as a pattern are not its files.
  Touch("spX5265C00.dd8");
  Touch("sp15265C00.dd8");
  EXPECT_FALSE(spool_.FindFirst(dir_ + "/sp?", "*.dd8"));
  EXPECT_FALSE(spool_.FindFirst(dir_ + "/sp[1]", "*.dd8"));
  fs::create_directory(dir_ + "/d[1]");
  Touch("d[1]/A.ddk");
  EXPECT_EQ(spool_.FindFirst(dir_ + "/d[1]/", "*.ddk"), dir_ + "/d[1]/A.ddk");
}

TEST_F(SpoolDirTest, SearchPassesOverSkippedFiles) {
  Touch("A.dd8");
  const SkipFile skipA = [&](const std::string& path) { return path == dir_ + "/A.dd8"; };
  EXPECT_FALSE(spool_.FindFirst(dir_ + "/", "*.dd8", skipA));
  // The miss above held only for that caller: without the list the file is found at once.
  EXPECT_EQ(spool_.FindFirst(dir_ + "/", "*.dd8"), dir_ + "/A.dd8");
  Touch("B.dd8");
  EXPECT_EQ(spool_.FindFirst(dir_ + "/", "*.dd8", skipA), dir_ + "/B.dd8");
}

TEST_F(SpoolDirTest, FileArrivingAfterAMissIsFound) {
  EXPECT_FALSE(spool_.FindFirst(dir_ + "/", "*.dd8"));
  EXPECT_FALSE(spool_.FindFirst(dir_ + "/", "*.dd8"));
  usleep(20 * 1000);  // past the file system's time-stamp granularity
  Touch("5.dd8");
  EXPECT_EQ(spool_.FindFirst(dir_ + "/", "*.dd8"), dir_ + "/5.dd8");
}

TEST_F(SpoolDirTest, SetAsideRenamesOutOfTheSearch) {
  Touch("7.ddk");
  ASSERT_FALSE(spool_.SetAside(dir_ + "/7.ddk"));
  EXPECT_FALSE(spool_.FindFirst(dir_ + "/", "*.ddk"));
  EXPECT_TRUE(fs::exists(dir_ + "/7.ddk.bad"));
}

// A file set aside earlier under the same name may hold an event someone still wants: it is kept,
// and setting the new one aside fails.
TEST_F(SpoolDirTest, SetAsideKeepsAnEarlierBadFile) {
  Touch("7.ddk", "new");
  Touch("7.ddk.bad", "old");
  EXPECT_TRUE(spool_.SetAside(dir_ + "/7.ddk"));
  EXPECT_EQ(ReadWholeFile(dir_ + "/7.ddk"), "new");
  EXPECT_EQ(ReadWholeFile(dir_ + "/7.ddk.bad"), "old");
}

TEST_F(SpoolDirTest, ReadStopsAtTheLimit) {
  Touch("big.ddk", std::string(1000, 'a'));
  const auto data = spool_.Read(dir_ + "/big.ddk", 555, nullptr);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->size(), 555u);
  EXPECT_FALSE(spool_.Read(dir_ + "/none.ddk", 555, nullptr));
}

TEST_F(SpoolDirTest, AppendCreatesThenAppends) {
  const std::string path = dir_ + "/log";
  const std::uint8_t a[] = {'a'};
  ASSERT_FALSE(AppendToFile(path, a));
  ASSERT_FALSE(AppendToFile(path, a));
  EXPECT_EQ(ReadWholeFile(path), "aa");
  EXPECT_TRUE(AppendToFile(dir_ + "/missing/log", a));
}

}  // namespace
}  // namespace drvnt
