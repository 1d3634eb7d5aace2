#include "v8link/version_record.h"

#include <gtest/gtest.h>

namespace drvnt {
namespace {

TEST(V8VersionRecord, VersionStringRule) {
  struct Case {
    const char* text;
    v8::VersionNumbers expected;
  };
  const Case cases[] = {
      {"2.10.0.7", {2, 10, 0, 7}},
      {"1.2", {1, 0, 0, 2}},
      {"1.2.3.4.5", {1, 2, 3, 0}},
      {"7", {0, 0, 0, 0}},
      {"", {0, 0, 0, 0}},
      {"1..3.4", {1, 0, 3, 4}},
      {"a.b.3.x", {0, 0, 3, 0}},
      {"1.2.3.", {1, 2, 3, 0}},
      {"70000.65536.1.2", {4464, 0, 1, 2}},  // low 16 bits
      {"-1.+2.3.4", {65535, 2, 3, 4}},
      {"$10.0x1.1 .+-1", {0, 0, 0, 0}},     // hexadecimal, blanks, two signs: not decimal
      {"99999999999.1.1.1", {0, 1, 1, 1}},  // beyond 32 bits: not an integer
  };
  for (const Case& c : cases) {
    const v8::VersionNumbers v = ParseVersionString(c.text);
    EXPECT_EQ(v, c.expected) << '"' << c.text << "\" gave " << v.major << '.' << v.minor << '.'
                             << v.release << '.' << v.build;
  }
}

}  // namespace
}  // namespace drvnt
