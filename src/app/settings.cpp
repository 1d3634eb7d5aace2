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

IniFile::IniFile(std::string directory) {
  if (!directory.empty() && directory.back() != '/')
    directory += '/';
  path_ = directory + kIniFileName;
}

IniProfile IniFile::Load() const {
  return IniProfile(ReadWholeFile(path_).value_or(""));
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
