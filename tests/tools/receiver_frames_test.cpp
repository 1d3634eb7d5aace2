// The receiver's frames as the simulated receiver builds them, and the scenario lines it reads.

#include "common/receiver_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace drvnt::sim {
namespace {

std::string Text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

TEST(ReceiverFrame, EventFieldsSitAtTheirPositions) {
  EventFields e;
  e.account = "0123";
  e.qualifier = 'E';
  e.code = "130";
  e.partition = "01";
  e.zone = "015";
  e.headerDigit = '3';
  e.headerNumber = "42";
  const std::string frame = Text(BuildEventFrame(e));
  ASSERT_EQ(frame.size(), 21u);
  struct Slot {
    std::size_t position, length;
    const char* content;
  };
  const Slot slots[] = {{0, 1, "9"},    {3, 1, "3"},   {5, 2, "42"},   {7, 4, "0123"}, {11, 1, "E"},
                        {12, 3, "130"}, {15, 2, "01"}, {17, 3, "015"}, {20, 1, "\x14"}};
  for (const Slot& s : slots) {
    EXPECT_EQ(frame.substr(s.position, s.length), s.content) << "position " << s.position;
  }
  // Only the last byte may be the terminator, or the driver would see the frame end early.
  EXPECT_EQ(frame.find('\x14'), 20u);
}

TEST(ReceiverFrame, HeartbeatIsATerminatedFrameOfAnotherKind) {
  const Bytes f = BuildHeartbeatFrame();
  ASSERT_EQ(f.size(), 21u);
  EXPECT_NE(f.front(), '9');
  EXPECT_EQ(f.back(), kFrameTerminator);
  EXPECT_EQ(std::count(f.begin(), f.end(), kFrameTerminator), 1);
}

TEST(ReceiverFrame, MixAndNoiseKeepTheFrameRules) {
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    const ScenarioItem item = MixEvent(rng);
    const Bytes f = BuildEventFrame(item.event);
    ASSERT_EQ(f.size(), 21u) << Text(f);
    EXPECT_EQ(std::count(f.begin(), f.end(), kFrameTerminator), 1) << Text(f);
    // E 001 becomes the code that the driver drops; the mix is meant to arrive.
    EXPECT_FALSE(item.event.qualifier == 'E' && item.event.code == "001");
  }
  const Bytes noise = NoiseBytes(rng, 5000);
  EXPECT_EQ(noise.size(), 5000u);
  EXPECT_EQ(std::count(noise.begin(), noise.end(), kFrameTerminator), 0);
}

TEST(Scenario, ReadsEveryCommand) {
  using K = ScenarioItem::Kind;
  auto ev = ParseScenarioLine("event 12B4 e 001 99 ABC hdigit=7 hnumber=05");
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->kind, K::kEvent);
  EXPECT_EQ(Text(BuildEventFrame(ev->event)), "9017 0512B4e00199ABC\x14");

  auto cut = ParseScenarioLine("  cut 0123 E 130 01 015 10 pause=200");
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->kind, K::kCut);
  EXPECT_EQ(cut->number, 10);
  EXPECT_EQ(cut->pauseMs, 200);
  EXPECT_EQ(ParseScenarioLine("cut 0123 E 130 01 015 10")->pauseMs, 150);

  auto glued = ParseScenarioLine("glued 0123 E 130 01 015 5 hnumber=42");
  ASSERT_TRUE(glued);
  EXPECT_EQ(glued->kind, K::kGlued);
  EXPECT_EQ(glued->number, 5);
  std::mt19937 rng(3);
  const Bytes bytes = BuildGluedFrame(rng, glued->number, glued->event);
  ASSERT_EQ(bytes.size(), 26u);
  EXPECT_EQ(Text(Bytes(bytes.begin() + 5, bytes.end())), "9011 420123E13001015\x14");
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), kFrameTerminator), 1);

  EXPECT_EQ(ParseScenarioLine("raw 39 30 14")->raw, (Bytes{0x39, 0x30, 0x14}));
  EXPECT_EQ(ParseScenarioLine("raw 393014")->raw, (Bytes{0x39, 0x30, 0x14}));
  EXPECT_EQ(ParseScenarioLine("noise 5")->number, 5);
  EXPECT_EQ(ParseScenarioLine("wait 250")->kind, K::kWait);
  EXPECT_EQ(ParseScenarioLine("heartbeat")->kind, K::kHeartbeat);
  EXPECT_FALSE(ParseScenarioLine(""));
  EXPECT_FALSE(ParseScenarioLine("   # event 0123 E 130 01 015"));
}

TEST(Scenario, RejectsLinesItCannotSend) {
  struct Case {
    const char* line;
    const char* reason;
  };
  const Case cases[] = {
      {"event 123 E 130 01 015", "account"},
      {"event 0123 EE 130 01 015", "qualifier"},
      {"event 0123 E 130 01", "needs"},
      {"event 0123 E 130 01 015 zone=1", "zone=1"},
      {"event 0123 E 130 01 015 hnumber=123", "hnumber"},
      {"cut 0123 E 130 01 015", "needs"},
      {"cut 0123 E 130 01 015 21", "cut position"},
      {"glued 0123 E 130 01 015", "needs ACCOUNT Q CODE PART ZONE N"},
      {"glued 0123 E 130 01 015 0", "noise bytes"},
      {"glued 0123 E 130 01 015 3 pause=5", "pause=5"},
      {"raw", "hex"},
      {"raw 3", "hex"},
      {"raw 3 9", "hex"},
      {"raw 3G", "hex"},
      {"noise 0", "noise"},
      {"wait -5", "wait"},
      {"wait 5ms", "wait"},
      {"heartbeat now", "heartbeat"},
      {"beep", "unknown"},
  };
  for (const Case& c : cases) {
    try {
      ParseScenarioLine(c.line);
      ADD_FAILURE() << "accepted: " << c.line;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos)
          << c.line << " -> " << e.what();
    }
  }
}

TEST(Scenario, NamesTheFileAndLineOfAMistake) {
  std::istringstream in("# demo\nevent 0123 E 130 01 015\n\nwait x\n");
  try {
    ParseScenario(in, "demo.txt");
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind("demo.txt:4: ", 0), 0u) << e.what();
  }
}

}  // namespace
}  // namespace drvnt::sim
