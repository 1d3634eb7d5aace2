#include "app/error_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace drvnt {
namespace {

TEST(ErrorLog, LinesInWindows1251CreatedThenAppended) {
  testing::TempDir tmp;
  const std::string path = tmp.Path() + "/error.txt";
  ErrorLog log(path);
  log.LogError(9);
  log.LogError(9);
  const std::string line = "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9\x39\x0D\x0A";
  EXPECT_EQ(ReadWholeFile(path), line + line);
  log.LogError(19);
  EXPECT_EQ(ReadWholeFile(path)->substr(22),
            "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9"
            "19\r\n");
}

TEST(ErrorLog, AnUnwritableLogIsReportedOnceAndNeverThrows) {
  ErrorLog log("/nonexistent-dir/error.txt");
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(log.LogError(9));
  EXPECT_NO_THROW(log.LogError(9));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/nonexistent-dir/error.txt"), std::string::npos);
  EXPECT_EQ(err.find("/nonexistent-dir/error.txt"), err.rfind("/nonexistent-dir/error.txt"));
}

}  // namespace
}  // namespace drvnt
