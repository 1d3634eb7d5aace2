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
  void IndexSections();

  std::string text_;
  // Lower-case section name: where its body begins and ends in the text.
  std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> sections_;
};

// "h:m:s" or "h:m" (hours 0..23, minutes and seconds 0..59) as a fraction of a day; anything else
// gives nothing.
std::optional<double> ParseTimeOfDay(std::string_view text);

}  // namespace drvnt
