#include "common/line_out.h"

#include <cstdio>

namespace drvnt::sim {

std::string EscapeText(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += ch;
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

std::string HexValue(std::uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

std::string FormatLine(std::string_view verb, const Fields& fields) {
  std::string line(verb);
  for (const Field& f : fields) {
    line += ' ';
    line += f.key;
    line += '=';
    line += f.value;
  }
  return line;
}

void EmitLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace drvnt::sim
