#pragma once
// The tools' report: one line per frame, message or packet seen or sent, "verb key=value ...",
// written and flushed at once so that a test reading the pipe sees it without delay. No value
// contains a blank, so a line splits on blanks and then on the first "=" of each word.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace drvnt::sim {

struct Field {
  std::string key;
  std::string value;
};
using Fields = std::vector<Field>;

// A message or packet taken apart for its line.
struct Decoded {
  std::string type;  // the name printed as type=
  Fields fields;     // what follows type= on the line
  std::string key;   // events only: equal keys mean the same event delivered again
};

// Bytes of a text received on a wire: printable ASCII stays, every other byte, the blank and "%"
// itself become "%XX" (three blanks print as %20%20%20).
std::string EscapeText(std::string_view bytes);

std::string HexValue(std::uint32_t value, int digits);  // "0x02000003" for digits 8

std::string FormatLine(std::string_view verb, const Fields& fields);

// Writes one line to standard output and flushes it. A closed output is ignored: the tool goes
// on with its peer.
void EmitLine(std::string_view line);
inline void Emit(std::string_view verb, const Fields& fields) {
  EmitLine(FormatLine(verb, fields));
}

}  // namespace drvnt::sim
