#include "common/receiver_frames.h"

#include <charconv>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace drvnt::sim {
namespace {

using Item = ScenarioItem;

std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

int ParseCount(const std::string& text, const char* what, int min, int max) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    throw std::invalid_argument(std::string("bad ") + what + " \"" + text + "\" (" +
                                std::to_string(min) + ".." + std::to_string(max) + ")");
  }
  return value;
}

std::string Field(const std::string& text, std::size_t width, const char* what) {
  if (text.size() != width) {
    throw std::invalid_argument(std::string("bad ") + what + " \"" + text + "\" (" +
                                std::to_string(width) + " characters)");
  }
  return text;
}

// "event ACCOUNT Q CODE PART ZONE" with optional hdigit=D and hnumber=NN after it; the cut
// command puts the cut position after the zone and may add pause=MS, the glued command puts the
// number of noise bytes there.
EventFields ParseEventWords(const std::vector<std::string>& w, std::size_t extrasFrom, Item& item) {
  EventFields e;
  e.account = Field(w[1], 4, "account");
  e.qualifier = Field(w[2], 1, "qualifier")[0];
  e.code = Field(w[3], 3, "code");
  e.partition = Field(w[4], 2, "partition");
  e.zone = Field(w[5], 3, "zone");
  for (std::size_t i = extrasFrom; i < w.size(); ++i) {
    const std::string& x = w[i];
    if (x.rfind("hdigit=", 0) == 0) {
      e.headerDigit = Field(x.substr(7), 1, "hdigit")[0];
    } else if (x.rfind("hnumber=", 0) == 0) {
      e.headerNumber = Field(x.substr(8), 2, "hnumber");
    } else if (x.rfind("pause=", 0) == 0 && item.kind == Item::Kind::kCut) {
      item.pauseMs = ParseCount(x.substr(6), "pause", 0, 60000);
    } else {
      throw std::invalid_argument("unexpected \"" + x + "\"");
    }
  }
  return e;
}

Item ParseEventLine(const std::vector<std::string>& w, Item::Kind kind) {
  const bool cut = kind == Item::Kind::kCut;
  const bool glued = kind == Item::Kind::kGlued;
  const std::size_t fixed = cut || glued ? 7 : 6;
  if (w.size() < fixed) {
    throw std::invalid_argument(w[0] + " needs ACCOUNT Q CODE PART ZONE" +
                                (cut     ? " AT"
                                 : glued ? " N"
                                         : ""));
  }
  Item item;
  item.kind = kind;
  item.event = ParseEventWords(w, fixed, item);
  if (cut)
    item.number = ParseCount(w[6], "cut position", 1, static_cast<int>(kEventFrameSize) - 1);
  if (glued)
    item.number = ParseCount(w[6], "noise bytes", 1, 100000);
  return item;
}

Item ParseRawLine(std::string_view line, const std::vector<std::string>& w) {
  Item item;
  item.kind = Item::Kind::kRaw;
  const std::size_t at = line.find(w[0]) + w[0].size();
  if (w.size() < 2 || !ParseHex(line.substr(at), item.raw)) {
    throw std::invalid_argument("raw needs hex bytes, such as: raw 39 30 14");
  }
  return item;
}

Item ParseNumberLine(const std::vector<std::string>& w, Item::Kind kind, int max) {
  if (w.size() != 2)
    throw std::invalid_argument(w[0] + " needs one number");
  Item item;
  item.kind = kind;
  item.number = ParseCount(w[1], w[0].c_str(), kind == Item::Kind::kNoise ? 1 : 0, max);
  return item;
}

}  // namespace

Bytes BuildEventFrame(const EventFields& e) {
  const std::string text = "901" + std::string(1, e.headerDigit) + " " + e.headerNumber +
                           e.account + std::string(1, e.qualifier) + e.code + e.partition + e.zone;
  Bytes frame(text.begin(), text.end());
  frame.push_back(kFrameTerminator);
  return frame;
}

Bytes BuildHeartbeatFrame() {
  Bytes frame(kEventFrameSize, ' ');
  frame[0] = '1';
  frame.back() = kFrameTerminator;
  return frame;
}

Fields DescribeEvent(const EventFields& e) {
  return {
      {"account", EscapeText(e.account)},     {"q", EscapeText(std::string(1, e.qualifier))},
      {"code", EscapeText(e.code)},           {"part", EscapeText(e.partition)},
      {"zone", EscapeText(e.zone)},           {"hdigit", EscapeText(std::string(1, e.headerDigit))},
      {"hnumber", EscapeText(e.headerNumber)}};
}

std::optional<ScenarioItem> ParseScenarioLine(std::string_view line) {
  const std::vector<std::string> w = SplitWords(line);
  if (w.empty() || w[0][0] == '#')
    return std::nullopt;
  const std::string& cmd = w[0];
  if (cmd == "event")
    return ParseEventLine(w, Item::Kind::kEvent);
  if (cmd == "cut")
    return ParseEventLine(w, Item::Kind::kCut);
  if (cmd == "glued")
    return ParseEventLine(w, Item::Kind::kGlued);
  if (cmd == "raw")
    return ParseRawLine(line, w);
  if (cmd == "noise")
    return ParseNumberLine(w, Item::Kind::kNoise, 100000);
  if (cmd == "wait")
    return ParseNumberLine(w, Item::Kind::kWait, 3600000);
  if (cmd == "heartbeat") {
    if (w.size() != 1)
      throw std::invalid_argument("heartbeat takes nothing after it");
    Item item;
    item.kind = Item::Kind::kHeartbeat;
    return item;
  }
  throw std::invalid_argument("unknown command \"" + cmd + "\"");
}

std::vector<ScenarioItem> ParseScenario(std::istream& in, const std::string& name) {
  std::vector<ScenarioItem> items;
  int lineNo = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    try {
      if (auto item = ParseScenarioLine(line))
        items.push_back(std::move(*item));
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(name + ":" + std::to_string(lineNo) + ": " + e.what());
    }
  }
  return items;
}

ScenarioItem MixEvent(std::mt19937& rng) {
  struct Kind {
    const char* what;
    char qualifier;
    const char* code;
    bool userZone;  // openings and closings carry a user number where alarms carry a zone
  };
  static const Kind kKinds[] = {
      {"alarm", 'E', "130", false},  {"fire", 'E', "110", false},   {"restore", 'R', "130", false},
      {"opening", 'E', "401", true}, {"closing", 'R', "401", true}, {"trouble", 'E', "301", false},
      {"test", 'E', "602", false},
  };
  static const char* const kAccounts[] = {"0123", "0456", "1002", "2345", "7777"};
  const Kind& k = kKinds[rng() % std::size(kKinds)];
  char zone[8];
  std::snprintf(zone, sizeof zone, "%03u",
                static_cast<unsigned>(1 + rng() % (k.userZone ? 9 : 32)));
  char part[8];
  std::snprintf(part, sizeof part, "%02u", static_cast<unsigned>(1 + rng() % 4));
  ScenarioItem item;
  item.kind = ScenarioItem::Kind::kEvent;
  item.what = k.what;
  item.event.account = kAccounts[rng() % std::size(kAccounts)];
  item.event.qualifier = k.qualifier;
  item.event.code = k.code;
  item.event.partition = part;
  item.event.zone = std::string(k.code) == "602" ? "000" : zone;
  return item;
}

Bytes NoiseBytes(std::mt19937& rng, int count) {
  Bytes b;
  for (int i = 0; i < count; ++i) {
    std::uint8_t v = static_cast<std::uint8_t>(rng());
    if (v == kFrameTerminator)
      v = 0x15;
    b.push_back(v);
  }
  return b;
}

Bytes BuildGluedFrame(std::mt19937& rng, int noise, const EventFields& e) {
  Bytes bytes = NoiseBytes(rng, noise);
  const Bytes frame = BuildEventFrame(e);
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  return bytes;
}

}  // namespace drvnt::sim
