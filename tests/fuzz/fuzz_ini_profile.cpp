// Fuzz target: the INI file, as a station's staff or their editors may leave it. The input is a
// section name, a key name and a value (a length byte and the bytes each; the value's length byte
// is a multiple of 256 from 0xF0 up, to reach the 2047-character cut), then the text of the file.
// The text goes through the reader (a lookup of the section and key, and the driver's settings) and
// through the one-key writer, which sets the key as the port controls do.
//
// The names and the value are made the kind the driver writes (no line break in any, a key
// without "=" that does not begin with "[", a section without "]", no blanks around the names).
// Checks: a value read is never longer than 2047 characters; the writer keeps every line of the
// text but the one it changes or adds (and the header of a section it adds), in order; and the
// text it makes reads back the value written.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"
#include "core/ini_profile.h"
#include "core/int_conv.h"
#include "fuzz_check.h"

namespace drvnt::fuzz {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Text(std::span<const std::uint8_t> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A name as the driver writes it: `bad` characters and blanks at either end become "_".
std::string Name(std::span<const std::uint8_t> bytes, std::string_view bad) {
  std::string s = Text(bytes);
  for (char& c : s) {
    if (c == '\r' || c == '\n' || bad.find(c) != std::string_view::npos)
      c = '_';
  }
  if (!s.empty() && IsBlank(s.front()))
    s.front() = '_';
  if (!s.empty() && IsBlank(s.back()))
    s.back() = '_';
  return s;
}

// What the reader gives back for a value written: blanks around it dropped, one pair of matching
// quotes removed, at most 2047 characters.
std::string ReadBack(std::string_view v) {
  while (!v.empty() && IsBlank(v.front()))
    v.remove_prefix(1);
  while (!v.empty() && IsBlank(v.back()))
    v.remove_suffix(1);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v.substr(0, kProfileValueMax));
}

// The lines of a text as the reader splits them: at "\n", after a UTF-8 byte-order mark. Every "\r"
// at the end of a line is left out: the writer adds a line break after a last line that has none,
// and a "\r" that ended the text is then no longer the one before the break (the reader drops it
// from names and values all the same).
std::vector<std::string_view> Lines(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF"))
    text.remove_prefix(3);
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    while (line.ends_with('\r'))
      line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
  }
  return lines;
}

bool SameLines(const std::vector<std::string_view>& a, std::size_t aFrom,
               const std::vector<std::string_view>& b, std::size_t bFrom) {
  return a.size() - aFrom == b.size() - bFrom &&
         std::equal(a.begin() + aFrom, a.end(), b.begin() + bFrom);
}

// The written text is the old one with the key's line changed or added, or with the section and
// the key's line added at the end.
void CheckLinesKept(std::string_view before, std::string_view after, const std::string& section,
                    const std::string& keyLine) {
  const std::vector<std::string_view> in = Lines(before);
  const std::vector<std::string_view> out = Lines(after);
  std::size_t i = 0;
  while (i < in.size() && i < out.size() && in[i] == out[i])
    ++i;
  if (i == out.size()) {
    // The key's line was changed into what it was.
    FUZZ_CHECK(in.size() == out.size() && std::find(out.begin(), out.end(), keyLine) != out.end());
    return;
  }
  if (out[i] == keyLine && (SameLines(in, i + 1, out, i + 1) || SameLines(in, i, out, i + 1)))
    return;
  FUZZ_CHECK(i == in.size());
  FUZZ_CHECK(out.size() == i + 2 && out[i] == "[" + section + "]" && out[i + 1] == keyLine);
}

void CheckReader(const IniProfile& ini, const std::string& section, const std::string& key) {
  const std::optional<std::string> value = ini.Find(section, key);
  if (!value)
    return;
  FUZZ_CHECK(value->size() <= kProfileValueMax);
  (void)ini.ReadInteger(section, key, -1);
  (void)ini.ReadBool(section, key, false);
  if (const std::optional<double> t = ParseTimeOfDay(*value))
    FUZZ_CHECK(*t >= 0.0 && *t < 1.0);
}

std::size_t ValueLength(std::uint8_t b) {
  return b < 0xF0 ? b : static_cast<std::size_t>(b - 0xEF) * 256;
}

}  // namespace
}  // namespace drvnt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace drvnt;
  fuzz::InputReader in(data, size);
  const std::string section = fuzz::Name(in.Take(in.Byte() % 24), "]");
  const std::string key = fuzz::Name(in.Take(in.Byte() % 24), "=");
  const std::string safeKey = !key.empty() && key.front() == '[' ? "_" + key.substr(1) : key;
  std::string value = fuzz::Text(in.Take(fuzz::ValueLength(in.Byte())));
  for (char& c : value) {
    if (c == '\r' || c == '\n')
      c = ' ';  // the driver refuses a value with a line break
  }
  const std::string text = fuzz::Text(in.Rest());

  const IniProfile before(text);
  fuzz::CheckReader(before, section, safeKey);
  // The driver's own settings, over whatever the text holds.
  const Settings settings = ReadSettings(before);
  FUZZ_CHECK(settings.AttentionInterval >= 0.0 && settings.AttentionInterval < 1.0);
  FUZZ_CHECK(settings.PathForSoob.size() <= kProfileValueMax);
  (void)ReadServerHostSettings(before);

  const std::string written = IniProfile::WithValue(text, section, safeKey, value);
  fuzz::CheckLinesKept(text, written, section, safeKey + "=" + value);
  const IniProfile after(written);
  FUZZ_CHECK(after.Find(section, safeKey) == fuzz::ReadBack(value));
  return 0;
}
