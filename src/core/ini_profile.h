#pragma once
// The INI text with the private-profile rules: "[section]" header lines and "key=value" lines,
// section and key names matched without regard to case, blanks around names and values dropped,
// one pair of matching quotes around a value removed, a value taken as at most 2047 characters.
// The first section and the first key of a name count. A missing section or key yields the
// caller's default. A UTF-8 byte-order mark in front of the text is no part of the first line.
// Pure text in, text out: reading and writing the file is the caller's.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace drvnt {

inline constexpr std::size_t kProfileValueMax = 2047;

class IniProfile {
 public:
  IniProfile() = default;
  explicit IniProfile(std::string text);
  // Lookups keep views into the text: a profile stays where it was made (share it by pointer).
  IniProfile(const IniProfile&) = delete;
  IniProfile& operator=(const IniProfile&) = delete;

  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  // By the integer conversion rule; anything that is not an integer gives the default.
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t defaultValue) const;
  // An integer: 0 is false, any other integer true; not an integer gives the default.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

  const std::string& Text() const { return text_; }

  // The text with `key` of `section` set to `value`: the key's line is changed in place, keeping
  // every other line, comment and order; a missing key is added at the end of its section, a
  // missing section at the end of the text.
  static std::string WithValue(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view value);

 private:
  struct NameHash {
    std::size_t operator()(std::string_view name) const;
  };
  struct SameNameAs {
    bool operator()(std::string_view a, std::string_view b) const;
  };
  struct Section {
    std::size_t begin = 0;  // offsets of the body in the text
    std::size_t end = 0;
  };

  void IndexSections();

  std::string text_;
  // Found once, when the text is taken: a lookup reads only its own section, so a large section
  // (a big station's `Razdels`) costs nothing to the others.
  std::unordered_map<std::string_view, Section, NameHash, SameNameAs> sections_;
};

// "h:m:s" or "h:m" (hours 0..23, minutes and seconds 0..59) as a fraction of a day; anything else
// gives nothing.
std::optional<double> ParseTimeOfDay(std::string_view text);

}  // namespace drvnt
