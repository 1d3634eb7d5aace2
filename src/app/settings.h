#pragma once
// The driver's settings: section `main` of "drvnt417.ini", read once at start-up in a fixed order
// and kept for the life of the process. `Razdels` (every event frame), `ServerHost` (the V8
// worker, at every connection attempt) and `ComPorts` (every opening of a serial port) are read
// where they are used.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "core/ini_profile.h"

namespace drvnt {

inline constexpr const char* kIniFileName = "drvnt417.ini";
inline constexpr const char* kNoPortChosen = "COM255";

struct Settings {
  std::string ComPort = kNoPortChosen;
  std::int32_t n_abs = -1;
  std::int32_t FirstNumber = 4;
  std::string PathForSoob;
  std::string host = "localhost";
  bool NotSendToDiskV8 = false;
  bool Razdel = false;
  DateTime AttentionInterval = 10.0 / 1440.0;  // 00:10:00
  bool Log = false;
  bool SendV7 = false;
  bool SendV8 = true;
};

// Reads section `main` key by key, driven by a table of its keys, in the order ComPort, n_abs,
// FirstNumber, PathForSoob, host, NotSendToDiskV8, Razdel, Attention, Log, SendV7, SendV8. `onHost`
// receives `host` as soon as it has been read.
Settings ReadSettings(const IniProfile& ini,
                      const std::function<void(const std::string&)>& onHost = {});

// What a reader of the file should know and the driver cannot tell the operator otherwise: one
// line per unknown section, per unknown key of `main` or `ServerHost`, and per value that does
// not follow its key's rule and so gives the default (`SendV8=yes`, `Port=12543x`). The values
// themselves still read as ReadSettings reads them.
std::vector<std::string> CheckSettings(const IniProfile& ini);

// The V8 server of section `ServerHost`.
struct ServerHostSettings {
  std::string Address = "127.0.0.1";
  std::int32_t Port = 12543;
  std::int32_t PacketSize = 2000;
};

ServerHostSettings ReadServerHostSettings(const IniProfile& ini);

// The INI file "drvnt417.ini" of a directory, read afresh at every call.
class IniFile {
 public:
  explicit IniFile(std::string directory);

  const std::string& Path() const { return path_; }
  // The file's text; a missing or unreadable file reads as empty, which gives every default.
  IniProfile Load() const;
  // Changes one key in place, keeping every other line; throws std::runtime_error on failure.
  void WriteString(const std::string& section, const std::string& key,
                   const std::string& value) const;

 private:
  std::string path_;
};

}  // namespace drvnt
