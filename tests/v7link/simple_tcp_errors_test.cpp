#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "v7link/winsock_errors.h"

namespace drvnt {
namespace {

struct ErrorTextCase {
  std::int32_t code;
  const char* text;
};

constexpr ErrorTextCase kErrorTextCases[] = {
    {10004, "Interrupted system call"},  // first of the table
    {10014, "Bad address"},
    {10035, "Operation would block"},
    {10049, "Can't assign requested address"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10059, "Too many references: can't splice"},
    {10061, "Connection refused"},
    {10093, "WinSock not initialized"},
    {11004, "No Data"},  // last of the table
    // Numbers outside the table: around its ends and in its gaps.
    {-1, "Not a WinSock error ?"},
    {0, "Not a WinSock error ?"},
    {10003, "Not a WinSock error ?"},
    {10072, "Not a WinSock error ?"},
    {11005, "Not a WinSock error ?"},
    {20012, "Not a WinSock error ?"},
};

void PrintTo(const ErrorTextCase& c, std::ostream* os) {
  *os << c.code;
}

class WinsockErrorTextTest : public ::testing::TestWithParam<ErrorTextCase> {};

TEST_P(WinsockErrorTextTest, GivesTheTextOfTheNumber) {
  EXPECT_EQ(WinsockErrorText(GetParam().code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, WinsockErrorTextTest, ::testing::ValuesIn(kErrorTextCases),
                         [](const ::testing::TestParamInfo<ErrorTextCase>& info) {
                           const std::int32_t code = info.param.code;
                           return code < 0 ? "Minus" + std::to_string(-code) : std::to_string(code);
                         });

}  // namespace
}  // namespace drvnt
