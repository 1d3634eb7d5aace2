#include "core/ini_profile.h"

#include <cstring>
#include <vector>

#include "core/int_conv.h"

namespace drvnt {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i]))
      return false;
  }
  return true;
}

struct Line {
  std::string_view raw;  // without the line break
  std::size_t begin;     // offset of the line in the text
  std::size_t end;       // offset just past the line break
};

// An editor may save the file with a UTF-8 byte-order mark in front; it belongs to no line.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::size_t TextStart(std::string_view text) {
  return text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
}

// The line that begins at `pos`.
Line LineAt(std::string_view text, std::size_t pos) {
  const std::size_t nl = text.find('\n', pos);
  const std::size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
  std::size_t stop = nl == std::string_view::npos ? text.size() : nl;
  if (stop > pos && text[stop - 1] == '\r')
    --stop;
  return {text.substr(pos, stop - pos), pos, next};
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  for (std::size_t pos = TextStart(text); pos < text.size();) {
    lines.push_back(LineAt(text, pos));
    pos = lines.back().end;
  }
  return lines;
}

// The section name of a header line, or nothing when the line is not a header.
std::optional<std::string_view> SectionName(std::string_view raw) {
  const std::string_view t = Trim(raw);
  if (t.empty() || t.front() != '[')
    return std::nullopt;
  const std::size_t close = t.find(']');
  if (close == std::string_view::npos)
    return Trim(t.substr(1));
  return Trim(t.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> ParseKeyLine(std::string_view raw) {
  const std::size_t eq = raw.find('=');
  if (eq == std::string_view::npos)
    return std::nullopt;
  return KeyLine{Trim(raw.substr(0, eq)), Trim(raw.substr(eq + 1))};
}

std::string CleanValue(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  if (v.size() > kProfileValueMax)
    v = v.substr(0, kProfileValueMax);
  return std::string(v);
}

// The offset of the line after the one that begins at `pos`.
std::size_t NextLine(std::string_view text, std::size_t pos) {
  const void* nl = std::memchr(text.data() + pos, '\n', text.size() - pos);
  return nl == nullptr ? text.size() : static_cast<const char*>(nl) - text.data() + 1;
}

// The first character of the line that is not a blank.
std::size_t SkipIndent(std::string_view text, std::size_t pos, std::size_t end) {
  while (pos < end && IsBlank(text[pos]))
    ++pos;
  return pos;
}

}  // namespace

IniProfile::IniProfile(std::string text) : text_(std::move(text)) {
  IndexSections();
}

std::size_t IniProfile::NameHash::operator()(std::string_view name) const {
  std::size_t h = 14695981039346656037ull;
  for (const char c : name)
    h = (h ^ static_cast<unsigned char>(Lower(c))) * 1099511628211ull;
  return h;
}

bool IniProfile::SameNameAs::operator()(std::string_view a, std::string_view b) const {
  return SameName(a, b);
}

// One pass over the text for the section headers, looking at little more than the first
// character of each line. Only the first section of a name counts.
void IniProfile::IndexSections() {
  const std::string_view text(text_);
  Section* open = nullptr;
  for (std::size_t pos = TextStart(text); pos < text.size();) {
    const std::size_t next = NextLine(text, pos);
    const std::size_t first = SkipIndent(text, pos, next);
    if (first < next && text[first] == '[') {
      if (open)
        open->end = pos;
      const std::string_view name = *SectionName(LineAt(text, pos).raw);
      const auto [it, added] = sections_.try_emplace(name, Section{next, text.size()});
      open = added ? &it->second : nullptr;
    }
    pos = next;
  }
}

// Reads the section line by line; a line is parsed only when it begins with the key's name, so
// that a section of a million lines is read in one quick pass.
std::optional<std::string> IniProfile::Find(std::string_view section, std::string_view key) const {
  const auto it = sections_.find(section);
  if (it == sections_.end())
    return std::nullopt;
  const std::string_view text(text_);
  for (std::size_t pos = it->second.begin; pos < it->second.end;) {
    const std::size_t next = NextLine(text, pos);
    const std::size_t first = SkipIndent(text, pos, next);
    const bool candidate =
        next - first > key.size() && SameName(text.substr(first, key.size()), key);
    if (candidate) {
      if (auto kv = ParseKeyLine(LineAt(text, pos).raw); kv && SameName(kv->key, key))
        return CleanValue(kv->value);
    }
    pos = next;
  }
  return std::nullopt;
}

std::string IniProfile::ReadString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
  if (auto v = Find(section, key))
    return *v;
  return std::string(defaultValue);
}

std::int32_t IniProfile::ReadInteger(std::string_view section, std::string_view key,
                                     std::int32_t defaultValue) const {
  if (auto v = Find(section, key))
    return StrToIntDef(*v, defaultValue);
  return defaultValue;
}

bool IniProfile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  if (auto v = Find(section, key)) {
    if (auto n = ParseInteger(*v))
      return *n != 0;
  }
  return defaultValue;
}

std::string IniProfile::WithValue(std::string_view text, std::string_view section,
                                  std::string_view key, std::string_view value) {
  const std::vector<Line> lines = SplitLines(text);
  const std::string newLine = std::string(key) + "=" + std::string(value);
  const std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";

  bool inSection = false;
  std::optional<std::size_t> sectionEnd;  // offset where a new key of the section goes
  for (const Line& line : lines) {
    if (auto name = SectionName(line.raw)) {
      if (inSection)
        break;
      if (!sectionEnd && SameName(*name, section)) {
        inSection = true;
        sectionEnd = line.end;
      }
      continue;
    }
    if (!inSection)
      continue;
    if (auto kv = ParseKeyLine(line.raw); kv && SameName(kv->key, key)) {
      std::string out(text.substr(0, line.begin));
      out += newLine;
      out += text.substr(line.begin + line.raw.size());
      return out;
    }
    if (!Trim(line.raw).empty())
      sectionEnd = line.end;
  }

  std::string out(text);
  if (sectionEnd) {
    std::string insert = newLine + eol;
    if (*sectionEnd > 0 && text[*sectionEnd - 1] != '\n')
      insert = eol + insert;
    out.insert(*sectionEnd, insert);
    return out;
  }
  // A last line without a line break gets one; a byte-order mark alone is no line.
  if (out.size() > TextStart(out) && out.back() != '\n')
    out += eol;
  out.append("[").append(section).append("]").append(eol).append(newLine).append(eol);
  return out;
}

std::optional<double> ParseTimeOfDay(std::string_view text) {
  text = Trim(text);
  int parts[3] = {0, 0, 0};
  int count = 0;
  std::size_t pos = 0;
  while (true) {
    if (count == 3)
      return std::nullopt;
    const std::size_t colon = text.find(':', pos);
    const std::string_view piece =
        text.substr(pos, colon == std::string_view::npos ? std::string_view::npos : colon - pos);
    if (piece.empty() || piece.size() > 2)
      return std::nullopt;
    int v = 0;
    for (char c : piece) {
      if (c < '0' || c > '9')
        return std::nullopt;
      v = v * 10 + (c - '0');
    }
    parts[count++] = v;
    if (colon == std::string_view::npos)
      break;
    pos = colon + 1;
  }
  if (count < 2)
    return std::nullopt;
  if (parts[0] > 23 || parts[1] > 59 || parts[2] > 59)
    return std::nullopt;
  return (parts[0] * 3600.0 + parts[1] * 60.0 + parts[2]) / 86400.0;
}

}  // namespace drvnt
