#pragma once
// What the simulated alarm receiver sends: the 21-byte event frame with its fields at fixed
// positions, a non-event frame, and the scenario that lists frames, noise, cuts and pauses. Pure:
// the bytes are built here and written to the line elsewhere.
//
// Event frame, position: content
//   0 "9"  1-2 "01"  3 header digit  4 " "  5-6 header number  7-10 account  11 qualifier
//   12-14 code  15-16 partition  17-19 zone  20 0x14

#include <cstdint>
#include <istream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/le_bytes.h"
#include "common/line_out.h"

namespace drvnt::sim {

inline constexpr std::uint8_t kFrameTerminator = 0x14;
inline constexpr std::uint8_t kFrameAck = 0x06;
inline constexpr std::size_t kEventFrameSize = 21;

// Each text has exactly the width of its field; validated by the scenario reader.
struct EventFields {
  std::string account = "0000";
  char qualifier = 'E';
  std::string code = "000";
  std::string partition = "00";
  std::string zone = "000";
  char headerDigit = '1';
  std::string headerNumber = "18";
};

Bytes BuildEventFrame(const EventFields& e);
// A frame of another kind: "1" in front, blanks, the terminator; the driver acknowledges it and
// takes it as a sign of life only.
Bytes BuildHeartbeatFrame();
// account=0123 q=E code=130 part=01 zone=015 hdigit=1 hnumber=18
Fields DescribeEvent(const EventFields& e);

struct ScenarioItem {
  enum class Kind { kEvent, kHeartbeat, kNoise, kCut, kGlued, kRaw, kWait };
  Kind kind = Kind::kWait;
  EventFields event;  // kEvent, kCut, kGlued
  // kNoise, kGlued: noise bytes; kCut: bytes before the pause; kWait: milliseconds
  int number = 0;
  int pauseMs = 150;  // kCut: longer than the driver's 80 ms packet time-out
  Bytes raw;          // kRaw
  std::string what;   // kind of event for the built-in mix: "alarm", "opening", ...
};

// One scenario line; nothing for a blank line or a "#" comment. Throws std::invalid_argument
// with the reason for a line it cannot read.
std::optional<ScenarioItem> ParseScenarioLine(std::string_view line);

// The whole file; a bad line throws std::invalid_argument "NAME:LINE: reason".
std::vector<ScenarioItem> ParseScenario(std::istream& in, const std::string& name);

// One event of the built-in mix: alarms, restores, openings, closings, troubles and tests over a
// few accounts, partitions and zones. Never the code that the driver drops.
ScenarioItem MixEvent(std::mt19937& rng);

// The bytes of a noise item: random, never the terminator.
Bytes NoiseBytes(std::mt19937& rng, int count);

// A glued item: `noise` bytes of noise directly followed by the event frame, as a line that
// picked up noise just before the frame brings them.
Bytes BuildGluedFrame(std::mt19937& rng, int noise, const EventFields& e);

}  // namespace drvnt::sim
