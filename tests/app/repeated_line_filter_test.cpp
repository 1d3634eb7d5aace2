// Standard output of the V8 log: an unchanged line at most once a minute, with the count of the
// repeats held back; every change at once.

#include "app/repeated_line_filter.h"

#include <gtest/gtest.h>

namespace drvnt {
namespace {

struct Step {
  std::uint32_t at;
  const char* message;
  std::vector<std::string> printed;
};

void Expect(RepeatedLineFilter& filter, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    const std::string line =
        std::string("t").append(std::to_string(s.at)).append(" ").append(s.message);
    EXPECT_EQ(filter.Take(s.message, line, s.at), s.printed) << "at " << s.at;
  }
}

TEST(RepeatedLineFilter, ConnectingEveryFiveSecondsShowsOncePerMinute) {
  RepeatedLineFilter filter;
  std::vector<Step> steps{{0, "Соединение...", {"t0 Соединение..."}}};
  for (std::uint32_t at = 5000; at < 60000; at += 5000)
    steps.push_back({at, "Соединение...", {}});
  steps.push_back(
      {60000, "Соединение...", {"t60000 Соединение... (12 times since the last shown)"}});
  steps.push_back({65000, "Соединение...", {}});
  steps.push_back({66000,
                   "Соединение установлено.",
                   {"(\"Соединение...\" repeated 1 more time)", "t66000 Соединение установлено."}});
  Expect(filter, steps);
}

TEST(RepeatedLineFilter, ChangingLinesAndSlowRepeatsAllShow) {
  RepeatedLineFilter filter;
  Expect(filter, {{0, "a", {"t0 a"}},
                  {10, "b", {"t10 b"}},
                  {20, "a", {"t20 a"}},
                  {60020, "a", {"t60020 a"}},
                  {120020, "a", {"t120020 a"}}});
}

TEST(RepeatedLineFilter, TickWrapDoesNotHoldLinesBack) {
  RepeatedLineFilter filter;
  Expect(filter, {{0xFFFFF000u, "a", {"t4294963200 a"}},
                  {1000, "a", {}},
                  {0xFFFFF000u + 60000u, "a", {"t55904 a (2 times since the last shown)"}}});
}

}  // namespace
}  // namespace drvnt
