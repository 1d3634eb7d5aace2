#include "v7link/server_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/bytes.h"

namespace drvnt {
namespace {

V7Piece Piece(std::uint8_t first, std::uint8_t type, double when = 0) {
  V7Piece m{};
  m[0] = first;
  m[1] = 0xFF;
  m[2] = type;
  PutDouble(&m[30], when);
  return m;
}

TEST(V7ServerMessage, WhatEachPieceAsks) {
  struct Case {
    const char* name;
    V7Piece piece;
    V7ServerRequest request;
  };
  const Case cases[] = {
      {"no marker", Piece(0xFE, v7type::kClose), V7ServerRequest::kNotAMessage},
      {"close", Piece(0xFF, v7type::kClose), V7ServerRequest::kClose},
      {"other type", Piece(0xFF, 0x31), V7ServerRequest::kNothing},
      {"time", Piece(0xFF, v7type::kTime, 46389.5), V7ServerRequest::kSetTime},
      {"time not a number", Piece(0xFF, v7type::kTime, std::nan("")), V7ServerRequest::kBadTime},
      {"time infinite", Piece(0xFF, v7type::kTime, std::numeric_limits<double>::infinity()),
       V7ServerRequest::kBadTime},
      {"time past the year 9999", Piece(0xFF, v7type::kTime, 3e6), V7ServerRequest::kBadTime},
      {"time before the year 1", Piece(0xFF, v7type::kTime, -1e300), V7ServerRequest::kBadTime},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ReadServerMessage(c.piece).request, c.request) << c.name;
}

TEST(V7ServerMessage, TimeMessageCarriesTheCalendarTime) {
  const V7ServerMessage m = ReadServerMessage(Piece(0xFF, v7type::kTime, 46389.5));
  EXPECT_EQ(m.time, (CalendarTime{2027, 1, 2, 12, 0, 0, 0, 6}));
  EXPECT_EQ(m.sentTime, 46389.5);
}

}  // namespace
}  // namespace drvnt
