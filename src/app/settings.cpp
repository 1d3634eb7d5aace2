#include "app/settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <span>
#include <stdexcept>
#include <variant>

#include "core/int_conv.h"
#include "platform/files.h"

namespace drvnt {
namespace {

constexpr const char* kMain = "main";
constexpr const char* kServerHost = "ServerHost";
constexpr const char* kKnownSections[] = {"main", "Razdels", "ServerHost", "ComPorts"};

// One key of a section and the field its value goes to. The field's type says how the value
// reads: text as it stands, integers and booleans by the integer rule, a date-time as a time of
// day h:m:s or h:m.
template <typename S>
struct KeyRule {
  const char* name;
  std::variant<std::string S::*, std::int32_t S::*, bool S::*, DateTime S::*> field;
};

const KeyRule<Settings> kMainKeys[] = {
    {"ComPort", &Settings::ComPort},
    {"n_abs", &Settings::n_abs},
    {"FirstNumber", &Settings::FirstNumber},
    {"PathForSoob", &Settings::PathForSoob},
    {"host", &Settings::host},
    {"NotSendToDiskV8", &Settings::NotSendToDiskV8},
    {"Razdel", &Settings::Razdel},
    {"Attention", &Settings::AttentionInterval},
    {"Log", &Settings::Log},
    {"SendV7", &Settings::SendV7},
    {"SendV8", &Settings::SendV8},
};

const KeyRule<ServerHostSettings> kServerHostKeys[] = {
    {"Address", &ServerHostSettings::Address},
    {"Port", &ServerHostSettings::Port},
    {"PacketSize", &ServerHostSettings::PacketSize},
};

template <typename S>
void ReadKey(const IniProfile& ini, const char* section, const KeyRule<S>& rule, S& s) {
  std::visit(
      [&](auto field) {
        auto& value = s.*field;
        using T = std::remove_reference_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>) {
          value = ini.ReadString(section, rule.name, value);
        } else if constexpr (std::is_same_v<T, bool>) {
          value = ini.ReadBool(section, rule.name, value);
        } else if constexpr (std::is_same_v<T, std::int32_t>) {
          value = ini.ReadInteger(section, rule.name, value);
        } else if (const auto text = ini.Find(section, rule.name)) {
          value = ParseTimeOfDay(*text).value_or(value);
        }
      },
      rule.field);
}

// "h:mm:ss" with two digits at least in each field; a default longer than a day keeps its hours.
std::string TimeText(DateTime fraction) {
  const long seconds = std::lround(fraction * 86400.0);
  std::string text;
  for (const long field : {seconds / 3600, seconds / 60 % 60, seconds % 60}) {
    if (!text.empty())
      text += ':';
    if (field < 10)
      text += '0';
    text += std::to_string(field);
  }
  return text;
}

// Why a value breaks its key's rule, with the default that applies instead; nothing for a value
// that reads.
template <typename S>
std::optional<std::string> ValueProblem(const KeyRule<S>& rule, const std::string& text) {
  const S defaults;
  return std::visit(
      [&](auto field) -> std::optional<std::string> {
        const auto& value = defaults.*field;
        using T = std::remove_cvref_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return std::nullopt;
        } else if constexpr (std::is_same_v<T, bool>) {
          if (ParseInteger(text))
            return std::nullopt;
          return std::string("is not a number (0 off, 1 on); the default ") + (value ? "1" : "0");
        } else if constexpr (std::is_same_v<T, std::int32_t>) {
          if (ParseInteger(text))
            return std::nullopt;
          return "is not a 32-bit integer; the default " + std::to_string(value);
        } else {
          if (ParseTimeOfDay(text))
            return std::nullopt;
          return "is not a time of day h:m:s or h:m; the default " + TimeText(value);
        }
      },
      rule.field);
}

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos)
    return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A section of the file with the keys written in it, in file order. The keys are kept only for
// the sections whose keys are checked one by one; the lines of `Razdels` are checked as they are
// read, since a large station's section holds a million of them.
struct SectionKeys {
  std::string name;
  std::vector<std::string_view> keys;
};

// A value as the reader takes it: one pair of quotes around it goes.
std::string_view Unquoted(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v;
}

bool KeysChecked(std::string_view section) {
  return SameName(section, kMain) || SameName(section, kServerHost);
}

// The bad override values of `Razdels`: the first few are named, the rest counted.
class RazdelsCheck {
 public:
  void Line(std::string_view section, std::string_view key, std::string_view value) {
    if (ParseInteger(value))
      return;
    if (++bad_ <= kNamed) {
      std::string line = "[";
      line.append(section).append("] ").append(key).append("=").append(value);
      named_.push_back(line.append(" is not an object number; the partition has no override"));
    }
  }
  void AddTo(std::vector<std::string>& warnings) const {
    warnings.insert(warnings.end(), named_.begin(), named_.end());
    if (bad_ > kNamed) {
      warnings.push_back(std::to_string(bad_ - kNamed) +
                         " more values in [Razdels] are not object numbers");
    }
  }

 private:
  static constexpr std::size_t kNamed = 20;
  std::size_t bad_ = 0;
  std::vector<std::string> named_;
};

// Lines that begin with ";" or "#" are comments.
std::vector<SectionKeys> ListSections(std::string_view text, RazdelsCheck& razdels) {
  std::vector<SectionKeys> sections;
  // An editor may put a UTF-8 byte-order mark in front of the first section.
  std::size_t pos = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  bool inRazdels = false;
  while (pos < text.size()) {
    const std::size_t nl = std::min(text.find('\n', pos), text.size());
    const std::string_view line = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    if (line.empty() || line.front() == ';' || line.front() == '#')
      continue;
    if (line.front() == '[') {
      sections.push_back({std::string(Trim(line.substr(1, line.find(']') - 1))), {}});
      inRazdels = SameName(sections.back().name, "Razdels");
    } else if (const auto eq = line.find('='); eq != std::string_view::npos && !sections.empty()) {
      const std::string_view key = Trim(line.substr(0, eq));
      if (inRazdels)
        razdels.Line(sections.back().name, key, Unquoted(Trim(line.substr(eq + 1))));
      else if (KeysChecked(sections.back().name))
        sections.back().keys.push_back(key);
    }
  }
  return sections;
}

template <typename S>
void CheckSection(const IniProfile& ini, const SectionKeys& section,
                  std::span<const KeyRule<S>> rules, std::vector<std::string>& warnings) {
  for (const std::string_view key : section.keys) {
    const auto rule = std::find_if(rules.begin(), rules.end(),
                                   [&](const KeyRule<S>& r) { return SameName(r.name, key); });
    if (rule == rules.end()) {
      warnings.push_back("unknown key " + std::string(key) + " in [" + section.name +
                         "]; it is ignored");
      continue;
    }
    const auto text = ini.Find(section.name, key);
    if (!text)
      continue;  // a later section or line of the same name, which the reader ignores
    if (const auto problem = ValueProblem(*rule, *text))
      warnings.push_back("[" + section.name + "] " + std::string(key) + "=" + *text + " " +
                         *problem);
  }
}

}  // namespace

Settings ReadSettings(const IniProfile& ini,
                      const std::function<void(const std::string&)>& onHost) {
  Settings s;
  for (const KeyRule<Settings>& rule : kMainKeys) {
    ReadKey(ini, kMain, rule, s);
    if (onHost && std::holds_alternative<std::string Settings::*>(rule.field) &&
        std::get<std::string Settings::*>(rule.field) == &Settings::host) {
      onHost(s.host);
    }
  }
  return s;
}

ServerHostSettings ReadServerHostSettings(const IniProfile& ini) {
  ServerHostSettings s;
  for (const auto& rule : kServerHostKeys)
    ReadKey(ini, kServerHost, rule, s);
  return s;
}

std::vector<std::string> CheckSettings(const IniProfile& ini) {
  std::vector<std::string> warnings;
  RazdelsCheck razdels;
  for (const SectionKeys& section : ListSections(ini.Text(), razdels)) {
    if (SameName(section.name, kMain)) {
      CheckSection<Settings>(ini, section, kMainKeys, warnings);
    } else if (SameName(section.name, kServerHost)) {
      CheckSection<ServerHostSettings>(ini, section, kServerHostKeys, warnings);
    } else if (std::none_of(std::begin(kKnownSections), std::end(kKnownSections),
                            [&](const char* known) { return SameName(known, section.name); })) {
      warnings.push_back("unknown section [" + section.name + "]; it is ignored");
    }
  }
  razdels.AddTo(warnings);
  return warnings;
}

namespace {

// File systems with ticks of a second or two (FAT, ext3) keep no fraction of a second; the others
// tick with the kernel's coarse clock, a few milliseconds. A fine stamp that falls on a whole
// second by chance is only trusted later.
std::int64_t UntrustedStampNs(const FileStamp& stamp) {
  constexpr std::int64_t kSecond = 1'000'000'000;
  const bool wholeSeconds = stamp.modifiedNs % kSecond == 0 && stamp.changedNs % kSecond == 0;
  return wholeSeconds ? 3 * kSecond : kSecond / 10;
}

}  // namespace

IniFile::IniFile(std::string directory, std::optional<std::int64_t> untrustedStampNs)
    : untrustedStampNs_(untrustedStampNs) {
  if (!directory.empty() && directory.back() != '/')
    directory += '/';
  path_ = directory + kIniFileName;
}

std::shared_ptr<const IniProfile> IniFile::Load() const {
  std::lock_guard lock(mutex_);
  // The stamp is taken before the reading: a change made while reading shows as a new stamp.
  const std::optional<FileStamp> stamp = StampOf(path_);
  if (profile_ && stamp == stamp_ && stampTrusted_)
    return profile_;
  std::string text = ReadWholeFile(path_).value_or("");
  ++readings_;
  if (!profile_ || text != profile_->Text())
    profile_ = std::make_shared<const IniProfile>(std::move(text));
  stamp_ = stamp;
  stampTrusted_ =
      !stamp || !IsRecentChange(*stamp, untrustedStampNs_.value_or(UntrustedStampNs(*stamp)));
  return profile_;
}

std::uint64_t IniFile::Readings() const {
  std::lock_guard lock(mutex_);
  return readings_;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) const {
  // A file that exists but cannot be read must not be replaced by one holding only this key.
  const std::optional<std::string> current = ReadWholeFile(path_);
  if (!current && PathExists(path_))
    throw std::runtime_error("Cannot read " + path_);
  const std::string text = current.value_or("");
  if (auto error = ReplaceFile(path_, IniProfile::WithValue(text, section, key, value))) {
    throw std::runtime_error("Cannot write " + path_ + ": " + error->text);
  }
}

}  // namespace drvnt
