#include "v8link/server_address.h"

#include <gtest/gtest.h>

namespace drvnt {
namespace {

TEST(V8ServerHost, AddressesAndPortsThatCanOrCannotBeTried) {
  struct Case {
    const char* address;
    std::int32_t port;
    bool usable;
  };
  const Case cases[] = {
      {"127.0.0.1", 12543, true},
      {"10.20.30.40", 1, true},
      {"255.255.255.255", 65535, true},
      {"localhost", 12543, true},
      {"v8-server.station.example", 12543, true},
      {"server.", 12543, true},
      {"127.0.0.1", 0, false},
      {"127.0.0.1", 65536, false},
      {"127.0.0.1", 99999999, false},
      {"127.0.0.1", -1, false},
      {"", 12543, false},
      {"10.0.0.300", 12543, false},
      {"10.0.0", 12543, false},
      {"1.2.3.4.5", 12543, false},
      {"127.0.0.1:12543", 12543, false},
      {"server host", 12543, false},
      {"-server", 12543, false},
      {"a..b", 12543, false},
      {"http://server", 12543, false},
      {"сервер", 12543, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + ":" + std::to_string(c.port));
    EXPECT_EQ(WhyServerHostUnusable(c.address, c.port).empty(), c.usable);
  }
  const std::string both = WhyServerHostUnusable("10.0.0.300", 99999999);
  EXPECT_NE(both.find("Address=10.0.0.300"), std::string::npos);
  EXPECT_NE(both.find("Port=99999999"), std::string::npos);
}

TEST(V8ServerHost, EachReasonIsReportedOnceAndAgainAfterAChange) {
  ServerHostProblem problem;
  EXPECT_FALSE(problem.Report(""));
  const auto first = problem.Report("Port=0 is not a TCP port (1..65535)");
  ASSERT_TRUE(first);
  EXPECT_NE(first->find("Port=0"), std::string::npos);
  EXPECT_FALSE(problem.Report("Port=0 is not a TCP port (1..65535)"));
  EXPECT_TRUE(problem.Report("Port=70000 is not a TCP port (1..65535)"));
  EXPECT_FALSE(problem.Report(""));  // corrected
  EXPECT_TRUE(problem.Report("Port=70000 is not a TCP port (1..65535)"));
}

}  // namespace
}  // namespace drvnt
