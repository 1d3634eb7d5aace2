#include "app/settings.h"

#include <stdexcept>

#include "platform/files.h"

namespace drvnt {

ServerHostSettings ReadServerHostSettings(const IniProfile& ini) {
  ServerHostSettings s;
  s.Address = ini.ReadString("ServerHost", "Address", s.Address);
  s.Port = ini.ReadInteger("ServerHost", "Port", s.Port);
  s.PacketSize = ini.ReadInteger("ServerHost", "PacketSize", s.PacketSize);
  return s;
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
